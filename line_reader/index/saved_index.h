// The saved form of a file's index: fixed-width little-endian fields, the
// same on every platform, and a hash of all of them at the end.
//
//   offset  bytes  field
//        0      8  magic "LRINDEX\n"
//        8      4  format version (2; version 1 has no padding after a range's D bytes)
//       12      4  line ends: 0 CR LF, 1 LF
//       16      8  the file's device (on Windows its volume's serial number)
//       24      8  the file's inode (on Windows its file index)
//       32      8  the bytes indexed: the file's size when it was last indexed
//       40      8  its modification time then (ns since 1970; 100 ns units on Windows)
//       48      8  XXH3-64 of its first 64 KiB (all of it when shorter)
//       56      8  XXH3-64 of the 64 KiB before the indexed end
//       64      8  line ends found
//       72      8  the longest line (from 1; 0 when none)
//       80      8  its length
//       88      8  the last line end's start, twice, plus 1 when that end is two bytes
//       96      4  ranges R
//      100      4  0
//      104   32 R  a range each: line ends before it, its line ends, its blocks B, its blocks' bytes D
//                  then for each range: B words of 8 (a block's first start in bits 0-59, the
//                  kind of its line ends in 60-61, the width of its offsets in 62-63), then D bytes,
//                  then zeros to a multiple of 8
//        end      8  XXH3-64 of every byte before it
#pragma once

#include <cstdint>
#include <system_error>

#include "line_reader/index/ranged_index.h"
#include "platform/platform.h"

namespace line_reader::detail {

// What a saved index says of its file beside the index itself.
struct SavedIdentity {
  bool lf = false;
  std::uint64_t device = 0;
  std::uint64_t file_id = 0;
  std::uint64_t size = 0;
  std::int64_t modified = 0;
  std::uint64_t head_hash = 0;
  std::uint64_t tail_hash = 0;
};

// Writes `index` to `path`, whole or not at all: to a file beside it
// (flushed to the disk when `flushed`), then renamed over it.
std::error_code save_index(const char* path, const SavedIdentity& identity, const RangedIndex& index,
                           bool flushed = true) noexcept;
// A view of a saved index that the loaded index reads from, which must
// outlive it.
struct SavedView {
  const void* bytes = nullptr;
  std::uint64_t size = 0;
};
// Reads and checks a saved index; errc::bad_index when it is damaged or not
// an index. With `view`, the index is read from a view of the file where the
// system has one, and the view is given to the caller in *view (else that
// stays empty).
std::error_code load_index(const char* path, SavedIdentity& identity, RangedIndex& index,
                           SavedView* view = nullptr) noexcept;

// XXH3-64 of `bytes` bytes.
std::uint64_t hash_bytes(const void* bytes, std::size_t count) noexcept;

} // namespace line_reader::detail
