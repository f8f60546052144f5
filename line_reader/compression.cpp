#include "line_reader/compression.h"

#include <cstring>

namespace line_reader {

Compression compression_of(const void* head, std::size_t count) noexcept {
  const auto* b = static_cast<const unsigned char*>(head);
  auto starts = [&](const char* magic, std::size_t length) {
    return count >= length && std::memcmp(b, magic, length) == 0;
  };
  // gzip with deflate, the only method it has.
  if (starts("\x1f\x8b\x08", 3)) return Compression::gzip;
  // A zstd frame, or a skippable frame (0x184D2A50 to 0x184D2A5F).
  if (starts("\x28\xb5\x2f\xfd", 4) ||
      (count >= 4 && (b[0] & 0xF0) == 0x50 && b[1] == 0x2a && b[2] == 0x4d && b[3] == 0x18))
    return Compression::zstd;
  if (starts("\xfd"
             "7zXZ\0",
             6))
    return Compression::xz;
  // "BZh", a block size from 1 to 9, then a block's or the end's signature.
  if (count >= 10 && starts("BZh", 3) && b[3] >= '1' && b[3] <= '9' &&
      (std::memcmp(b + 4, "\x31\x41\x59\x26\x53\x59", 6) == 0 ||
       std::memcmp(b + 4, "\x17\x72\x45\x38\x50\x90", 6) == 0))
    return Compression::bzip2;
  if (starts("\x04\x22\x4d\x18", 4)) return Compression::lz4;
  if (starts("PK\x03\x04", 4)) return Compression::zip;
  return Compression::none;
}

const char* name_of(Compression compression) noexcept {
  switch (compression) {
  case Compression::none: return "";
  case Compression::gzip: return "gzip";
  case Compression::zstd: return "zstd";
  case Compression::xz: return "xz";
  case Compression::bzip2: return "bzip2";
  case Compression::lz4: return "lz4";
  case Compression::zip: return "zip";
  }
  return "";
}

} // namespace line_reader
