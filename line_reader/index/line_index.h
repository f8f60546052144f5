// The owner type's line index: where each line starts, in about two bytes a
// line, with any line's start found in constant time.
//
// Lines are kept in blocks of 256. A block holds the first line's offset in
// the text and the other starts as offsets from it: 16 bits wide where the
// block spans less than 64 KiB (every block of lines shorter than 256
// bytes), 32 bits where it spans less than 4 GiB, else 64-bit offsets from
// the text's start. The offsets lie in chunks that never move while they
// grow, so building never holds two copies of the index.
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
  // 256, a whole block unless it is the last). False when there is no
  // memory; the index is then unusable.
  bool append(const std::uint64_t* staged, std::uint32_t count) noexcept;
  // Gives back what the last chunk and the block table hold beyond their use.
  void shrink() noexcept;

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

  // Heap bytes held: the block table and the chunks, as allocated.
  std::size_t bytes() const noexcept;

private:
  // The first start of the block, with the offsets' width in the top two
  // bits (0: 16 bits, 1: 32 bits, 2: 64-bit starts).
  struct Block {
    std::uint64_t base;
    const void* offsets;
  };
  static constexpr int width_shift = 62;
  static constexpr std::uint64_t base_mask = (std::uint64_t{1} << width_shift) - 1;

  struct Chunk {
    unsigned char* memory;
    std::size_t capacity;
    std::size_t used;
  };

  void* room_for(std::size_t bytes) noexcept;
  std::size_t block_bytes(std::size_t b) const noexcept;

  Block* blocks_ = nullptr;
  std::size_t block_count_ = 0;
  std::size_t block_capacity_ = 0;
  Chunk* chunks_ = nullptr;
  std::size_t chunk_count_ = 0;
  std::size_t chunk_capacity_ = 0;
  std::size_t last_chunk_first_block_ = 0;
  std::uint32_t entries_in_last_block_ = 0;
};

// What a finished build tells beside the starts.
struct LineTotals {
  std::uint64_t line_count = 0;
  std::uint64_t longest_line = 0;
  std::uint64_t longest_length = 0;
  bool trailing = false; // the last line has no line end
};

// Builds a LineIndex from a line-end scan over a text that may arrive in
// pieces: scan() each stretch as it arrives, then finish().
class LineIndexBuilder {
public:
  // Scans with the LF-mode stage of `stages` when `lf` (line ends of one or
  // two bytes), else with the CR LF one.
  LineIndexBuilder(LineIndex& into, const LineEndStages& stages, bool lf) noexcept;
  LineIndexBuilder(const LineIndexBuilder&) = delete;
  LineIndexBuilder& operator=(const LineIndexBuilder&) = delete;

  // Scans [from, to) of the text, continuing where the last call stopped
  // (from is where it stopped); to - from is a multiple of 64, and reading
  // up to `to` must be safe.
  void scan(const char* text, std::uint64_t from, std::uint64_t to) noexcept {
    stage_(scan_, text, from, to);
  }
  // Ends the index of a text of `size` bytes, all scanned. False when there
  // was no memory for it.
  bool finish(std::uint64_t size, LineTotals& totals) noexcept;

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
  std::uint32_t measured_ = 1; // staged starts already measured (the first line's start ends none)
  bool out_of_memory_ = false;
};

} // namespace line_reader::detail
