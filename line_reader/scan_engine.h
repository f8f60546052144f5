// The three-stage scan and the two sinks that the scanners feed, shared by
// the scanner files. Everything here has internal linkage on purpose: the
// files are compiled for different instruction sets, and an inline function
// merged across them could run AVX2 code on a processor without it.
#pragma once

#include <bit>
#include <cstdint>

#include "line_reader/line_reader.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

constexpr char CR = 0x0D;
constexpr char LF = 0x0A;

// The three-stage scan shared by both scanners. The head walk and the tail
// report breaks to the sink one at a time, as offsets from p, in ascending
// order; `blocks(from, to)` runs the block stage over [from, to). Returns
// true when the scan ran to its normal end, false when a NUL byte in the head
// walk, or nothing left after it, ended the scan early.
template <class Sink, class Blocks> bool scan(const char* p, std::uint32_t n, Sink& sink, Blocks&& blocks) {
  std::uint32_t pos = 0;
  if (const auto misalign = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(p) & 15);
      misalign != 0) {
    for (const std::uint32_t head = 16 - misalign; pos < head; ++pos) {
      // pos == n is the first zero byte after the data.
      if (pos == n || p[pos] == 0) return false;
      if (p[pos] == CR && p[pos + 1] == LF) sink.one(pos);
    }
  }
  if (pos == n) return false;
  const std::uint32_t blocks_end = pos + (n - pos) / 32 * 32;
  blocks(pos, blocks_end);
  for (pos = blocks_end; pos < n; ++pos) {
    if (p[pos] == CR && p[pos + 1] == LF) sink.one(pos);
  }
  return true;
}

struct CountSink {
  std::uint32_t count = 0;
  void one(std::uint32_t) { ++count; }
};

// Fills the table as breaks arrive. The statistics live in locals and reach
// the record once at the end: stores into the table could otherwise alias them
// and force a reload on every line.
struct IndexSink {
  char* data;
  LineEntry* table;
  LineEntry* cursor;
  std::uint32_t line_start;
  std::uint32_t longest_length;
  std::uint32_t longest_line;

  // The longest-line rule: strictly longer wins, so the first of equal
  // lengths stays. Called once the cursor has passed the line's entry.
  void note_longest(std::uint32_t length) {
    if (length > longest_length) {
      longest_length = length;
      longest_line = static_cast<std::uint32_t>(cursor - table);
    }
  }

  void one(std::uint32_t q) {
    const std::uint32_t length = q - line_start;
    *cursor = LineEntry{data + line_start, length};
    ++cursor;
    note_longest(length);
    line_start = q + 2;
  }

  // Visits the set bits lowest first, one branch per bit.
  template <class Mask> void each_bit(std::uint32_t base, Mask mask) {
    for (; mask != 0; mask &= mask - 1)
      one(base + static_cast<std::uint32_t>(std::countr_zero(mask)));
  }

  // The same entries with a branch only for the second and later breaks of a
  // mask. Whether a block holds a break is a coin toss for prose, so its first
  // break is written without asking: the slot at the cursor always lies inside
  // the table (at worst it is the trailing line's), and a write for an empty
  // mask is overwritten by the next line or cleared at the end. A new longest
  // line is rare after the first few, so that branch stays predictable.
  template <class Mask> void first_bit_unconditionally(std::uint32_t base, Mask mask) {
    // All-ones when the mask holds a break; selects are written as masks so
    // that the compiler cannot turn them back into a branch.
    const std::uint32_t found = 0u - static_cast<std::uint32_t>(mask != 0);
    const std::uint32_t q = base + static_cast<std::uint32_t>(std::countr_zero(mask));
    const std::uint32_t length = (q - line_start) & found;
    *cursor = LineEntry{data + line_start, length};
    cursor += found & 1;
    note_longest(length);
    line_start = ((q + 2) & found) | (line_start & ~found);
  }

  // Two breaks without a branch, then the rest one by one. The second write
  // lands one slot on only when the mask held a first break, so it stays
  // inside the table too.
  template <class Mask> void two_bits_unconditionally(std::uint32_t base, Mask mask) {
    first_bit_unconditionally(base, mask);
    mask &= mask - 1;
    first_bit_unconditionally(base, mask);
    each_bit(base, mask & (mask - 1));
  }
};

// The tuned block loop of the index, over a block stage `pair_mask` that
// gives the break mask of 32 bytes. Two blocks a step with their masks joined
// halve the work per byte, and four blocks without a break are passed over
// at once: prose almost never has 128 bytes without one, so the test costs
// it nothing, while long lines skip most of their text.
template <std::uint32_t (*pair_mask)(const char*)>
void index_blocks(IndexSink& sink, const char* data, std::uint32_t from, std::uint32_t to) {
  const auto pair = [data](std::uint32_t at) {
    return pair_mask(data + at) | std::uint64_t{pair_mask(data + at + 32)} << 32;
  };
  for (; to - from >= 128; from += 128) {
    const std::uint64_t first = pair(from);
    const std::uint64_t second = pair(from + 64);
    if ((first | second) == 0) continue;
    sink.two_bits_unconditionally(from, first);
    sink.two_bits_unconditionally(from + 64, second);
  }
  if (to - from >= 64) {
    sink.two_bits_unconditionally(from, pair(from));
    from += 64;
  }
  if (from < to) sink.two_bits_unconditionally(from, pair_mask(data + from));
}

// Ends the index: the trailing line, and every statistic of the record set
// from this scan alone, whatever an earlier index left there.
std::uint32_t trailing_line(LineRecord* record, const IndexSink& sink, bool completed) {
  record->longest_length = sink.longest_length;
  record->longest_line = sink.longest_line;
  // The slot after the last entry goes back to zero, whatever an
  // unconditional write left in it.
  *sink.cursor = LineEntry{};
  const bool trailing = completed && record->buffer[record->size - 1] != LF;
  if (trailing) *sink.cursor = LineEntry{record->buffer + sink.line_start, record->size - sink.line_start};
  record->unterminated = trailing ? 1 : 0;
  return record->unterminated;
}

IndexSink index_sink(LineRecord* record) { return {record->buffer, record->table, record->table, 0, 0, 0}; }

// The tuned scanners over a block counter `count_blocks(data, from, to)` and
// a block stage `pair_mask(block)`.
template <std::uint32_t (*count_blocks)(const char*, std::uint32_t, std::uint32_t)>
std::uint32_t count_with_pairs(const char* data, std::uint32_t size) {
  CountSink sink;
  scan(data, size, sink,
       [&](std::uint32_t from, std::uint32_t to) { sink.count += count_blocks(data, from, to); });
  return sink.count;
}

template <std::uint32_t (*pair_mask)(const char*)> std::uint32_t index_with_pairs(LineRecord* record) {
  IndexSink sink = index_sink(record);
  const char* data = record->buffer;
  const bool completed = scan(data, record->size, sink, [&](std::uint32_t from, std::uint32_t to) {
    index_blocks<pair_mask>(sink, data, from, to);
  });
  return trailing_line(record, sink, completed);
}

} // namespace

namespace line_reader::detail {
// The AVX2 scanners, built where the compiler can target AVX2; call only
// where the processor has it.
std::uint32_t count_crlf_avx2(const char* data, std::uint32_t size);
std::uint32_t build_line_index_avx2(LineRecord* record);
} // namespace line_reader::detail
