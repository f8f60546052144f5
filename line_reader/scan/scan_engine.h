// The three-stage scan and the two sinks that the scanners feed, shared by
// the scanner files. Everything here has internal linkage on purpose: the
// files are compiled for different instruction sets, and an inline function
// merged across them could run AVX2 code on a processor without it. For the
// same reason nothing here calls a standard template (std::countr_zero,
// std::min, ...): its out-of-line copy would be a weak symbol, built with
// this file's instruction set, and the linker keeps one copy for the whole
// program. The bit helpers below use the compiler's builtins instead.
#pragma once

#include <cstdint>

#include "line_reader/line_reader.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

constexpr char CR = 0x0D;
constexpr char LF = 0x0A;

// The number of zero bits below the lowest set bit; the mask's width for 0.
template <class Mask> int trailing_zeros(Mask mask) {
  if constexpr (sizeof(Mask) == 8) {
    return mask == 0 ? 64 : __builtin_ctzll(mask);
  } else {
    return mask == 0 ? 32 : __builtin_ctz(mask);
  }
}

template <class Mask> int set_bits(Mask mask) {
  if constexpr (sizeof(Mask) == 8) {
    return __builtin_popcountll(mask);
  } else {
    return __builtin_popcount(mask);
  }
}

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
      one(base + static_cast<std::uint32_t>(trailing_zeros(mask)));
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
    const std::uint32_t q = base + static_cast<std::uint32_t>(trailing_zeros(mask));
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

// Break positions in scan order, into an array sized to exactly the number of
// breaks that the count pass found; no write passes its end.
struct PositionSink {
  std::uint32_t* out;
  std::uint32_t* end;

  void one(std::uint32_t q) {
    if (out != end) *out++ = q;
  }

  // The set bits of `mask`, lowest first, as positions from `base`. While 16
  // slots or more remain, a first group of slots (four for sparse breaks,
  // eight for dense ones), and a second when the mask holds more bits, are
  // written without asking: a slot past the last real bit is overwritten by
  // the next mask's (countr_zero of an empty mask gives the mask's width, a
  // harmless value), and every slot lies inside the array. Only the last few
  // slots take the careful loop. The group size keeps the branch on the bit
  // count predictable for the text's density.
  template <bool dense, class Mask> void each_bit(std::uint32_t base, Mask mask) {
    constexpr int group = dense ? 8 : 4;
    if (end - out < 2 * group) {
      for (; mask != 0; mask &= mask - 1)
        one(base + static_cast<std::uint32_t>(trailing_zeros(mask)));
      return;
    }
#if defined(__POPCNT__)
    // The slots' addresses do not wait for each other.
    const int bits = set_bits(mask);
    for (int i = 0; i < group; ++i) {
      out[i] = base + static_cast<std::uint32_t>(trailing_zeros(mask));
      mask &= mask - 1;
    }
    if (bits > group) {
      for (int i = group; i < 2 * group; ++i) {
        out[i] = base + static_cast<std::uint32_t>(trailing_zeros(mask));
        mask &= mask - 1;
      }
    }
    out += bits < 2 * group ? bits : 2 * group;
#else
    // Without a popcount instruction each slot moves on only past a real bit.
    for (int i = 0; i < group; ++i) {
      *out = base + static_cast<std::uint32_t>(trailing_zeros(mask));
      out += mask != 0;
      mask &= mask - 1;
    }
    if (mask == 0) return;
    for (int i = 0; i < group; ++i) {
      *out = base + static_cast<std::uint32_t>(trailing_zeros(mask));
      out += mask != 0;
      mask &= mask - 1;
    }
#endif
    for (; mask != 0 && out != end; mask &= mask - 1)
      *out++ = base + static_cast<std::uint32_t>(trailing_zeros(mask));
  }
};

// Joins per-lane longest lines into the sink's: the longest length, and the
// smallest line number that has it (each lane holds the first of its own).
inline void join_lanes(IndexSink& sink, const std::uint32_t* longest, const std::uint32_t* at, int lanes) {
  for (int lane = 0; lane < lanes; ++lane) {
    if (longest[lane] > sink.longest_length ||
        (longest[lane] == sink.longest_length && longest[lane] != 0 && at[lane] < sink.longest_line)) {
      sink.longest_length = longest[lane];
      sink.longest_line = at[lane];
    }
  }
}

#if defined(__SSE2__)
// The entries of the positions [q, end), four at a time, from the sink's
// cursor on; returns where it stopped (fewer than four left). Each lane keeps
// the first of its longest lines, so that the earliest of equal lengths
// still wins when the lanes are joined. Every store covers whole entries,
// their padding included, and entry i still ends before position i + 1.
inline const std::uint32_t* entries_from_positions(IndexSink& sink, const std::uint32_t* q,
                                                   const std::uint32_t* end) {
  if (end - q < 4) return q;
  const __m128i bias = _mm_set1_epi32(static_cast<int>(0x80000000u)); // unsigned compares, signed
  const __m128i two = _mm_set1_epi32(2);
  const __m128i four = _mm_set1_epi32(4);
  __m128i previous = _mm_set1_epi32(static_cast<int>(sink.line_start - 2)); // lane 3: the last break
  __m128i longest = bias;                                                   // 0, biased
  __m128i longest_at = _mm_setzero_si128();
  __m128i number = _mm_setr_epi32(1, 2, 3, 4); // line numbers in the lanes
  const auto index = static_cast<std::uint32_t>(sink.cursor - sink.table);
  number = _mm_add_epi32(number, _mm_set1_epi32(static_cast<int>(index)));
  auto* out = reinterpret_cast<__m128i*>(sink.cursor);
#if UINTPTR_MAX > 0xFFFFFFFFu
  const __m128i base = _mm_set1_epi64x(static_cast<long long>(reinterpret_cast<std::uintptr_t>(sink.data)));
#else
  const __m128i base = _mm_set1_epi32(static_cast<int>(reinterpret_cast<std::uintptr_t>(sink.data)));
#endif
  for (; end - q >= 4; q += 4) {
    const __m128i breaks = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q));
    // Each line starts two bytes after the break before it.
    const __m128i before = _mm_or_si128(_mm_slli_si128(breaks, 4), _mm_srli_si128(previous, 12));
    const __m128i starts = _mm_add_epi32(before, two);
    const __m128i lengths = _mm_sub_epi32(breaks, starts);
    previous = breaks;
    const __m128i biased = _mm_xor_si128(lengths, bias);
    const __m128i longer = _mm_cmpgt_epi32(biased, longest);
    longest = _mm_or_si128(_mm_and_si128(longer, biased), _mm_andnot_si128(longer, longest));
    longest_at = _mm_or_si128(_mm_and_si128(longer, number), _mm_andnot_si128(longer, longest_at));
    number = _mm_add_epi32(number, four);
#if UINTPTR_MAX > 0xFFFFFFFFu
    // 16-byte entries: address, length, zero padding.
    const __m128i zero = _mm_setzero_si128();
    const __m128i starts_low = _mm_add_epi64(_mm_unpacklo_epi32(starts, zero), base);
    const __m128i starts_high = _mm_add_epi64(_mm_unpackhi_epi32(starts, zero), base);
    const __m128i lengths_low = _mm_unpacklo_epi32(lengths, zero);
    const __m128i lengths_high = _mm_unpackhi_epi32(lengths, zero);
    _mm_storeu_si128(out + 0, _mm_unpacklo_epi64(starts_low, lengths_low));
    _mm_storeu_si128(out + 1, _mm_unpackhi_epi64(starts_low, lengths_low));
    _mm_storeu_si128(out + 2, _mm_unpacklo_epi64(starts_high, lengths_high));
    _mm_storeu_si128(out + 3, _mm_unpackhi_epi64(starts_high, lengths_high));
    out += 4;
#else
    // 8-byte entries: address, length.
    const __m128i addresses = _mm_add_epi32(starts, base);
    _mm_storeu_si128(out + 0, _mm_unpacklo_epi32(addresses, lengths));
    _mm_storeu_si128(out + 1, _mm_unpackhi_epi32(addresses, lengths));
    out += 2;
#endif
  }
  sink.cursor = reinterpret_cast<LineEntry*>(out);
  sink.line_start = q[-1] + 2;
  alignas(16) std::uint32_t lane_longest[4];
  alignas(16) std::uint32_t lane_at[4];
  _mm_store_si128(reinterpret_cast<__m128i*>(lane_longest), _mm_xor_si128(longest, bias));
  _mm_store_si128(reinterpret_cast<__m128i*>(lane_at), longest_at);
  join_lanes(sink, lane_longest, lane_at, 4);
  return q;
}
#endif

// Decoding depends on the density of breaks, which the count tells before a
// byte is read: more than two in 64 bytes is dense.
inline bool is_dense(std::uint32_t count, std::uint32_t size) { return std::uint64_t{count} * 32 > size; }

// Break positions of the whole scan into `found`, with the block stage's own
// decoder where it brings one.
template <class Pairs, bool dense> bool decode_blocks(const LineRecord* record, PositionSink& found) {
  using Mask = typename Pairs::Mask;
  const auto decode = [&found](std::uint32_t base, Mask mask) {
    if constexpr (requires { Pairs::decode(found, base, mask); }) {
      Pairs::decode(found, base, mask);
    } else {
      found.each_bit<dense>(base, mask);
    }
  };
  const char* data = record->buffer;
  return scan(data, record->size, found, [&](std::uint32_t from, std::uint32_t to) {
    constexpr std::uint32_t width = sizeof(Mask) * 8; // bytes a mask covers
    constexpr std::uint32_t per_step = 128 / width;
    // 128 bytes a step; a step without a break is passed over at once, which
    // long lines gain most from.
    for (; to - from >= 128; from += 128) {
      Mask masks[per_step];
      Mask any = 0;
      for (std::uint32_t i = 0; i < per_step; ++i)
        any |= masks[i] = Pairs::mask(data + from + i * width);
      if (any == 0) continue;
      for (std::uint32_t i = 0; i < per_step; ++i)
        decode(from + i * width, masks[i]);
    }
    for (; to - from >= width; from += width)
      decode(from, Pairs::mask(data + from));
    if (from < to) found.each_bit<dense>(from, Pairs::mask32(data + from));
  });
}

// The fill in two passes, for a table whose size the record states: the
// block stage decodes break positions into the table's last
// 4 * count bytes, then the entries are written from the front. Entry i ends
// before position i + 1 begins (an entry is at least twice a position's
// size), so no position is overwritten before it is read. Decoding without
// the entries' chain of line starts, and the entries without the bit
// scanning, halves the instructions per line on prose.
template <class Pairs> std::uint32_t index_in_two_passes(LineRecord* record, std::uint32_t count) {
  auto* positions =
      reinterpret_cast<std::uint32_t*>(reinterpret_cast<char*>(record->table) + record->table_bytes) - count;
  PositionSink found{positions, positions + count};
  const bool dense = is_dense(count, record->size);
  const bool completed =
      dense ? decode_blocks<Pairs, true>(record, found) : decode_blocks<Pairs, false>(record, found);
  IndexSink sink = index_sink(record);
  const std::uint32_t* q = positions;
  if constexpr (requires { Pairs::entries(sink, q, q); }) q = Pairs::entries(sink, q, found.out);
#if defined(__SSE2__)
  q = entries_from_positions(sink, q, found.out);
#endif
  for (; q != found.out; ++q)
    sink.one(*q);
  return trailing_line(record, sink, completed);
}

// The breaks that a table of the record's stated size has room for, or 0
// when the record does not state it (a caller of build_line_index may leave
// table_bytes 0) or the table is too small for the two-pass fill to pay.
inline std::uint32_t stated_breaks(const LineRecord* record) {
  const std::uint32_t entries = record->table_bytes / sizeof(LineEntry);
  return entries > 16 ? entries - 1 : 0;
}

// The plain stages: one break mask per block, its bits visited one by one.
template <class Block> std::uint32_t count_with(const char* data, std::uint32_t size) {
  CountSink sink;
  scan(data, size, sink, [&](std::uint32_t from, std::uint32_t to) {
    for (; from < to; from += 32)
      sink.count += static_cast<std::uint32_t>(set_bits(Block::breaks(data + from)));
  });
  return sink.count;
}

template <class Block> std::uint32_t index_with(LineRecord* record) {
  IndexSink sink = index_sink(record);
  const char* data = record->buffer;
  const bool completed = scan(data, record->size, sink, [&](std::uint32_t from, std::uint32_t to) {
    for (; from < to; from += 32)
      sink.each_bit(from, Block::breaks(data + from));
  });
  return trailing_line(record, sink, completed);
}

// The tuned counter over a block counter `count_blocks(data, from, to)`.
template <std::uint32_t (*count_blocks)(const char*, std::uint32_t, std::uint32_t)>
std::uint32_t count_with_pairs(const char* data, std::uint32_t size) {
  CountSink sink;
  scan(data, size, sink,
       [&](std::uint32_t from, std::uint32_t to) { sink.count += count_blocks(data, from, to); });
  return sink.count;
}

// The tuned index over a `Pairs` block stage, in two passes where the record
// states its table's size, else in one.
//
// A `Pairs` block stage gives `mask32(b)`, the break mask of the 32 bytes at
// b, and `mask(b)` for a `Mask`'s width in bytes (32 or 64).
template <class Pairs> std::uint32_t index_with_pairs(LineRecord* record) {
  // A block stage keeps to one pass where two measured slower: for dense
  // breaks without popcount (SSE2), and above a size where the scalar decode
  // of the masks fell behind (SSE2 and AVX2; the AVX-512 compress did not).
  if (const std::uint32_t count = stated_breaks(record);
      count != 0 && record->size <= Pairs::two_passes_up_to &&
      (Pairs::two_passes_when_dense || !is_dense(count, record->size)))
    return index_in_two_passes<Pairs>(record, count);
  IndexSink sink = index_sink(record);
  const char* data = record->buffer;
  const bool completed = scan(data, record->size, sink, [&](std::uint32_t from, std::uint32_t to) {
    index_blocks<Pairs::mask32>(sink, data, from, to);
  });
  return trailing_line(record, sink, completed);
}

} // namespace
