// The saved form of a file's index: fixed-width little-endian fields, the
// same on every platform. A lookup reads and checks a bounded number of small
// pieces whatever the file's size: the header, which holds a hash of itself,
// the range table and the top table; one page of block words, whose hash the
// top table holds; and one block's offsets, whose hash its word holds.
//
//   offset  bytes  field
//        0      8  magic "LRINDEX\n"
//        8      4  format version, 3
//       12      4  line ends: 0 CR LF, 1 LF
//       16      8  the file's device (on Windows its volume's serial number)
//       24      8  the file's inode (on Windows its file index)
//       32      8  the bytes indexed: the file's size when it was last indexed
//       40      8  its modification time then (ns since 1970; 100 ns units on Windows)
//       48      8  its change time then, in the same units
//       56      8  XXH3-64 of its first 64 KiB (all of it when shorter)
//       64      8  XXH3-64 of the 64 KiB before the indexed end
//       72      8  line ends found
//       80      8  the longest line (from 1; 0 when none)
//       88      8  its length
//       96      8  word pages P
//      104      4  ranges R
//      108      8  the bytes of the compressed file's piece C at the end (0 for a plain file)
//      116      4  zeros
//      120      8  XXH3-64 of the 120 bytes before it, the range table and the top table
//      128   32 R  the range table: a range each: line ends before it, its line ends, its
//                  blocks B, its blocks' bytes D
//           24 P  the top table: a page of block words each: the first start in it, where
//                  its first block's bytes lie in the saved index, XXH3-64 of the page
//                  then for each range: its pages of block words, 256 to a page (the
//                  range's last may hold fewer), 16 bytes a block: its word (its first
//                  start in bits 0-59, the kind of its line ends in 60-61: none, all or
//                  some two bytes, the width of its offsets in 62-63: 16, 32 or 64 bits),
//                  where its bytes lie from its page's first block's (4 bytes), and the
//                  low 32 bits of their XXH3-64 (4 bytes); then its D bytes: each block's
//                  offsets from its first start, after a bitmap of 32 bytes of its
//                  two-byte line ends where only some are; then zeros to a multiple of 8
//            C     for a compressed file: its kind (4: 1 gzip, 2 zstd, 3 xz), 4 zeros,
//                  the compressed bytes indexed (the identity above is of these), the
//                  checkpoints K, the bytes of windows W, XXH3-64 of the rest of the
//                  piece xor that of its first 32 bytes; K checkpoints of 32 bytes (the
//                  bit where decoding starts, the text's offset there, where its window
//                  lies in the windows, its bytes, a detail of its kind); the W bytes of
//                  deflated windows; zeros to a multiple of 8
//
// Nothing read from a saved index is used before it is checked: the hashes
// catch accidents, and the structure is checked beside them, since anyone
// can write an index whose hashes are right. Every start lies after the one
// before it and within the indexed bytes, counts agree with the blocks, and
// widths and kinds are ones the format has.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <system_error>
#include <vector>

#include "line_reader/index/ranged_index.h"
#include "line_reader/source/compressed.h"
#include "platform/platform.h"

namespace line_reader::detail {

// What a saved index says of its file beside the index itself.
struct SavedIdentity {
  bool lf = false;
  std::uint64_t device = 0;
  std::uint64_t file_id = 0;
  std::uint64_t size = 0;
  std::int64_t modified = 0;
  std::int64_t changed = 0;
  std::uint64_t head_hash = 0;
  std::uint64_t tail_hash = 0;
};

// Writes `index` to `path`, whole or not at all: to a file beside it with a
// name of its own (flushed to the disk when `flushed`), then renamed over
// it. The file is its owner's alone. errc::bad_index when a piece of a
// lazily loaded index that must be copied is damaged.
// A compressed file's checkpoints go with it.
std::error_code save_index(const char* path, const SavedIdentity& identity, const RangedIndex& index,
                           bool flushed = true, const CompressedText* compressed = nullptr) noexcept;

// How load_index reads: every piece read and checked now, into memory or
// served from a view of the saved index; or each piece checked when a
// lookup first needs it, from a view (`lazy_mapped`) or read into memory
// then (`lazy`), which keeps the saved index open. Where the system has no
// views, `mapped` and `lazy_mapped` read everything.
enum class LoadMode { read, mapped, lazy, lazy_mapped };

// Reads and checks a saved index into an empty `index`, its blocks on up to
// `threads` threads (0: one a core); errc::bad_index when it is damaged or
// not an index, errc::unsupported_index when it is of an older format.
// An index of a compressed file gives its checkpoints to `compressed`, and
// is stale_index where none is given.
std::error_code load_index(const char* path, SavedIdentity& identity, RangedIndex& index,
                           LoadMode mode = LoadMode::read, unsigned threads = 0,
                           std::unique_ptr<CompressedText>* compressed = nullptr) noexcept;

// XXH3-64 of `bytes` bytes.
std::uint64_t hash_bytes(const void* bytes, std::size_t count) noexcept;

// The checked metadata of a saved index: its ranges, where their pieces
// lie, and the top table.
struct SavedLayout {
  struct Range {
    std::uint64_t first = 0;   // line ends before it
    std::uint64_t entries = 0; // its line ends
    std::uint64_t blocks = 0;
    std::uint64_t data_bytes = 0;
    std::uint64_t words_at = 0; // where its pages of block words begin in the saved index
    std::uint64_t data_at = 0;  // where its blocks' bytes begin
    std::uint64_t first_page = 0;
    std::uint64_t first_block = 0; // blocks of the ranges before it
  };
  std::vector<Range> ranges;
  const unsigned char* top = nullptr; // 24 bytes a page
  std::uint64_t pages = 0;
  std::uint64_t size = 0; // the bytes indexed

  std::uint64_t page_first_start(std::uint64_t g) const noexcept;
  std::uint64_t page_data_at(std::uint64_t g) const noexcept;
  // Where starts of page g must end: before the next page's first start, or
  // within the indexed bytes.
  std::uint64_t page_bound(std::uint64_t g) const noexcept;
};

// A saved index served piece by piece, each page and block checked when a
// lookup first needs it: from a view of it, or read from its open file into
// memory, where it stays. Nothing is viewed in the second way, so a saved
// index truncated in place fails the lookups that need a lost piece instead
// of faulting. Lookups may run on many threads at once.
class SavedPages {
public:
  SavedPages(const void* view, std::uint64_t view_bytes) noexcept : view_(view), view_bytes_(view_bytes) {}
  // Reads from `file`, which it closes when it goes.
  explicit SavedPages(platform::Handle file) noexcept : file_(file) {}
  SavedPages(const SavedPages&) = delete;
  SavedPages& operator=(const SavedPages&) = delete;
  ~SavedPages();

  // Takes the checked layout, and the metadata that its top table lies in
  // when there is no view; false when there is no memory for the marks.
  bool adopt(SavedLayout layout, std::vector<unsigned char> metadata = {}) noexcept;

  // The start after entry k of saved range r and whether its line end is
  // two bytes; false when a piece that holds it is damaged.
  bool entry(std::size_t r, std::uint64_t k, std::uint64_t& start, bool& two) const noexcept;
  // Entries k..k + count - 1 of saved range r, all in one block: as entry().
  bool entries(std::size_t r, std::uint64_t k, std::size_t count, std::uint64_t* starts,
               bool* twos) const noexcept;
  // Block b of saved range r, checked: its word, bytes and their count.
  bool block(std::size_t r, std::uint64_t b, std::uint64_t& word, const unsigned char*& data,
             std::size_t& bytes) const noexcept;
  std::uint64_t block_count(std::size_t r) const noexcept { return layout_.ranges[r].blocks; }
  std::uint64_t entry_count(std::size_t r) const noexcept { return layout_.ranges[r].entries; }
  std::size_t bytes() const noexcept; // heap bytes: the marks, the range table and pieces read

private:
  bool page(std::size_t r, std::uint64_t p, const unsigned char*& entries) const noexcept;
  // Piece `n` of `copies`, `count` bytes at `at` in the saved index, read
  // and checked by `good` the first time; false when it cannot be read or
  // is damaged.
  template <class Check>
  bool copy(std::atomic<unsigned char*>* copies, std::uint64_t n, std::uint64_t at, std::size_t count,
            const unsigned char*& piece, Check good) const noexcept;

  const void* view_ = nullptr;
  std::uint64_t view_bytes_ = 0;
  platform::Handle file_ = 0;
  SavedLayout layout_;
  std::vector<unsigned char> metadata_;
  // With a view: one bit a page and a block, checked and found good.
  std::unique_ptr<std::atomic<std::uint32_t>[]> page_good_;
  std::unique_ptr<std::atomic<std::uint32_t>[]> block_good_;
  // Without: each page and block read, checked, once.
  std::unique_ptr<std::atomic<unsigned char*>[]> page_copies_;
  std::unique_ptr<std::atomic<unsigned char*>[]> block_copies_;
  mutable std::atomic<std::size_t> copied_bytes_{0};
};

} // namespace line_reader::detail
