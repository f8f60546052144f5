#include "line_reader/compression.h"

#include <cstring>

#include "line_reader/source/compressed.h"

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

bool decodes(Compression compression) noexcept { return detail::decodes(compression); }

namespace {

class CallbackInput final : public detail::ByteInput {
public:
  explicit CallbackInput(const std::function<long(void*, std::size_t)>& read) : read_(read) {}
  bool read(unsigned char* into, std::uint32_t count, std::uint32_t& got) override {
    long bytes = -1;
    try {
      bytes = read_(into, count);
    } catch (...) {
    }
    if (bytes < 0 || static_cast<unsigned long>(bytes) > count) return false;
    got = static_cast<std::uint32_t>(bytes);
    return true;
  }

private:
  const std::function<long(void*, std::size_t)>& read_;
};

class CallbackSink final : public detail::TextSink {
public:
  explicit CallbackSink(const std::function<bool(std::string_view)>& take) : take_(take) {}
  bool take(const char* text, std::uint64_t bytes, std::uint64_t, bool) override {
    try {
      return bytes == 0 || take_(std::string_view(text, static_cast<std::size_t>(bytes)));
    } catch (...) {
      return false;
    }
  }

private:
  const std::function<bool(std::string_view)>& take_;
};

} // namespace

std::error_code decode_stream(Compression compression,
                              const std::function<long(void* into, std::size_t count)>& read,
                              const std::function<bool(std::string_view text)>& take) noexcept {
  CallbackInput input(read);
  CallbackSink sink(take);
  detail::Output out(sink, 0);
  detail::DecodeJob job;
  job.input = &input;
  job.size = UINT64_MAX;
  errc failure = detail::decode(compression, job, out);
  if (failure == errc{} && !out.finish()) failure = errc::cancelled;
  if (failure == errc{} && job.cut) failure = errc::damaged;
  return failure;
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
