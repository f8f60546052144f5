// The line index of both owner types: where each line starts, in about two
// bytes a line, with any line's start found in constant time, and whether
// the line end before it is two bytes (CR LF).
//
// Lines are kept in blocks of 256. A block holds the first line's offset in
// the text and the other starts as offsets from it: 16 bits wide where the
// block spans less than 64 KiB (every block of lines shorter than 256
// bytes), 32 bits where it spans less than 4 GiB, else 64-bit offsets from
// the text's start. Whether each start follows a two-byte line end is told
// for the block as a whole where all or none of them do, else by a bitmap
// of 32 bytes before its offsets. The offsets lie in chunks that never move
// while they grow, so building never holds two copies of the index.
#pragma once

#include <cstddef>
#include <cstdint>

#include "line_reader/scan/stages.h"

namespace line_reader::detail {

class LineIndex {
public:
  LineIndex() noexcept = default;
  LineIndex(const LineIndex&) = delete;
  LineIndex& operator=(const LineIndex&) = delete;
  ~LineIndex();

  // Appends the next `count` starts, in their staged form (stages.h; at most
  // 256, a whole block unless it is the last). With `first_is_text_start`,
  // the first is the text's start, which follows no line end. False when
  // there is no memory; the index is then unusable.
  // `kind` says what the starts' line ends are, where the caller knows
  // (kind_none, kind_all); kind_unknown has them looked at.
  static constexpr int kind_unknown = -1;
  bool append(const std::uint64_t* staged, std::uint32_t count, bool first_is_text_start = false,
              int kind = kind_unknown) noexcept;
  // Gives back what the last chunk and the block table hold beyond their use.
  void shrink() noexcept;
  // The starts of the last block in their staged form, when it holds fewer
  // than 256 entries, into `staged` (room for 256); their count (0 when the
  // last block is full or there is none).
  std::uint32_t partial_block(std::uint64_t* staged) const noexcept;
  // Puts the blocks of `tail` in place of this index's partial last block
  // (whose starts `tail` must begin with) and after it, moving them and
  // their memory without a copy; `tail` is left empty. False when there is
  // no memory, and nothing changes.
  bool absorb(LineIndex& tail) noexcept;

  // The start of entry i (counted from 0) of those appended.
  std::uint64_t start(std::uint64_t i) const noexcept {
    const Block& block = blocks_[i >> 8];
    const std::uint64_t base = block.base & base_mask;
    const std::size_t k = static_cast<std::size_t>(i & 255);
    switch (block.base >> width_shift) {
    case 0: return base + static_cast<const std::uint16_t*>(block.offsets)[k];
    case 1: return base + static_cast<const std::uint32_t*>(block.offsets)[k];
    default: return static_cast<const std::uint64_t*>(block.offsets)[k];
    }
  }
  // Whether the line end before start i is two bytes.
  bool after_two_bytes(std::uint64_t i) const noexcept {
    const Block& block = blocks_[i >> 8];
    switch (block.base >> kind_shift & 3) {
    case kind_none: return false;
    case kind_all: return true;
    default: {
      // The bitmap stands right before the offsets.
      const auto* bits = static_cast<const unsigned char*>(block.offsets) - bitmap_bytes;
      const std::size_t k = static_cast<std::size_t>(i & 255);
      return (bits[k >> 3] >> (k & 7) & 1) != 0;
    }
    }
  }
  // Entries from..from + count - 1 of block b (within it): their starts
  // and whether each follows a two-byte line end. A block at a time, one
  // look at its word: spans of many lines run at memory speed.
  void block_entries(std::size_t b, std::size_t from, std::size_t count, std::uint64_t* starts,
                     bool* twos) const noexcept {
    const Block& block = blocks_[b];
    const std::uint64_t base = block.base & base_mask;
    switch (block.base >> width_shift) {
    case 0: {
      const auto* offsets = static_cast<const std::uint16_t*>(block.offsets) + from;
      for (std::size_t k = 0; k < count; ++k)
        starts[k] = base + offsets[k];
      break;
    }
    case 1: {
      const auto* offsets = static_cast<const std::uint32_t*>(block.offsets) + from;
      for (std::size_t k = 0; k < count; ++k)
        starts[k] = base + offsets[k];
      break;
    }
    default: {
      const auto* offsets = static_cast<const std::uint64_t*>(block.offsets) + from;
      for (std::size_t k = 0; k < count; ++k)
        starts[k] = offsets[k];
    }
    }
    switch (block.base >> kind_shift & 3) {
    case kind_none:
      for (std::size_t k = 0; k < count; ++k)
        twos[k] = false;
      break;
    case kind_all:
      for (std::size_t k = 0; k < count; ++k)
        twos[k] = true;
      break;
    default: {
      const auto* bits = static_cast<const unsigned char*>(block.offsets) - bitmap_bytes;
      for (std::size_t k = 0; k < count; ++k)
        twos[k] = (bits[(from + k) >> 3] >> ((from + k) & 7) & 1) != 0;
    }
    }
  }
  std::uint64_t entry_count() const noexcept {
    return block_count_ == 0 ? 0 : (block_count_ - 1) * std::uint64_t{256} + entries_in_last_block_;
  }

  // The saved form: one word a block (its base with the width and the kind
  // of its line ends in the top bits) and the block's bytes, each block's
  // after the one before.
  std::size_t block_count() const noexcept { return block_count_; }
  std::uint64_t block_word(std::size_t b) const noexcept { return blocks_[b].base; }
  const void* block_data(std::size_t b) const noexcept {
    return static_cast<const unsigned char*>(blocks_[b].offsets) -
           ((blocks_[b].base >> kind_shift & 3) == kind_mixed ? bitmap_bytes : 0);
  }
  std::size_t block_data_bytes(std::size_t b) const noexcept { return block_bytes(b); }
  // The bytes that blocks of these words hold, for `entries` entries; 0 when
  // the words cannot describe blocks.
  static std::size_t data_bytes_for(const std::uint64_t* words, std::size_t block_count,
                                    std::uint64_t entries) noexcept;
  // Takes over `data` (from the platform's heap, data_bytes_for() bytes) as
  // the blocks' bytes of an empty index. False when there is no memory; the
  // data is freed either way when the index goes.
  // With `borrowed` the data stays the caller's (a view of a saved index,
  // on an 8-byte boundary) and must outlive the index.
  bool adopt(const std::uint64_t* words, std::size_t block_count, std::uint64_t entries, unsigned char* data,
             std::size_t data_bytes, bool borrowed = false) noexcept;

  // Heap bytes held: the block table and the chunks, as allocated.
  std::size_t bytes() const noexcept;

private:
  // The first start of the block, with the offsets' width in the top two
  // bits (0: 16 bits, 1: 32 bits, 2: 64-bit starts) and the kind of its line
  // ends in the two below.
  struct Block {
    std::uint64_t base;
    const void* offsets;
  };
  static constexpr int width_shift = 62;
  static constexpr int kind_shift = 60;

public:
  static constexpr std::uint64_t kind_none = 0, kind_all = 1, kind_mixed = 2;

private:
  static constexpr std::uint64_t base_mask = (std::uint64_t{1} << kind_shift) - 1;
  static constexpr std::size_t bitmap_bytes = 32;

  struct Chunk {
    unsigned char* memory;
    std::size_t capacity;
    std::size_t used;
    bool borrowed = false; // not the index's to free
  };

  void* room_for(std::size_t bytes) noexcept;
  std::size_t block_bytes(std::size_t b) const noexcept;

  Block* blocks_ = nullptr;
  std::size_t block_count_ = 0;
  std::size_t block_capacity_ = 0;
  Chunk* chunks_ = nullptr;
  std::size_t chunk_count_ = 0;
  std::size_t chunk_capacity_ = 0;
  std::uint32_t entries_in_last_block_ = 0;
};

// What a finished build tells beside the starts.
struct LineTotals {
  std::uint64_t line_count = 0;
  std::uint64_t longest_line = 0;
  std::uint64_t longest_length = 0;
  bool trailing = false; // the last line has no line end
};

// What a finished range tells: the line ends found in it, its longest line
// that began and ended in it (its number counted from the range's first line
// end), and the first and last line ends' starts, staged (stages.h), for
// the lines that cross its edges.
struct RangeTotals {
  std::uint64_t found = 0;
  std::uint64_t longest_line = 0;
  std::uint64_t longest_length = 0;
  std::uint64_t first_found = 0; // when found != 0
  std::uint64_t last_found = 0;  // when found != 0
};

// Builds a LineIndex from a line-end scan over a text that may arrive in
// pieces: scan() each stretch as it arrives, then finish(). A builder of a
// range of the text, which does not start with the text, takes only the
// starts after the line ends it finds, and ends with finish_range().
class LineIndexBuilder {
public:
  // Scans with the LF-mode stage of `stages` when `lf` (line ends of one or
  // two bytes), else with the CR LF one.
  LineIndexBuilder(LineIndex& into, const LineEndStages& stages, bool lf,
                   bool from_text_start = true) noexcept;
  LineIndexBuilder(const LineIndexBuilder&) = delete;
  LineIndexBuilder& operator=(const LineIndexBuilder&) = delete;

  // Scans [from, to) of the text, continuing where the last call stopped
  // (from is where it stopped); to - from is a multiple of 64, and reading
  // up to `to` must be safe.
  void scan(const char* text, std::uint64_t from, std::uint64_t to) noexcept {
    stage_(scan_, text, from, to);
  }
  // Scans the `bytes` bytes at `piece` (a multiple of 64, and reading up to
  // piece + bytes must be safe), which stand at `offset` in the text.
  void scan_piece(const char* piece, std::uint64_t bytes, std::uint64_t offset) noexcept {
    scan_.base = offset;
    stage_(scan_, piece, 0, bytes);
  }
  // Whether the byte before the first one scanned is CR.
  void set_cr_before(bool cr) noexcept {
    scan_.cr_before = cr ? 1 : 0;
    scan_.unloaded_before = 1;
  }
  // Ends the index of a text of `size` bytes, all scanned. False when there
  // was no memory for it.
  bool finish(std::uint64_t size, LineTotals& totals) noexcept;
  // Ends the index of a range, all of it scanned. False when there was no
  // memory for it.
  bool finish_range(RangeTotals& totals) noexcept;

private:
  static void take(LineEndScan& scan) noexcept;
  // The statistics of the lines that the staged starts end, then every whole
  // block to the index; the rest stays staged. With `all`, the rest too.
  void hand_over(bool all) noexcept;

  LineEndScan scan_{};
  LineEndStage stage_;
  WidestLine widest_;
  LineIndex* index_;
  std::uint64_t line_start_ = 0; // the start before the first staged one, staged
  std::uint64_t lines_ = 0;      // lines ended by the starts handed over
  std::uint64_t longest_length_ = 0;
  std::uint64_t longest_line_ = 0;
  std::uint32_t measured_ = 0; // staged starts already measured (the text's start ends none)
  std::uint64_t first_found_ = 0;
  // Whether any, and all, of the staged starts not yet handed over follow
  // two-byte line ends (bit 0), so that blocks need not be looked at.
  std::uint64_t carried_any_ = 0;
  std::uint64_t carried_all_ = 1;
  bool from_text_start_;
  bool line_start_known_;
  bool out_of_memory_ = false;
};

} // namespace line_reader::detail
