// The entry pass of the two-pass fill on AVX2, for the files compiled for
// AVX2 or more. Internal linkage, as everything that scan_engine.h holds.
#pragma once

#include <immintrin.h>

#include "line_reader/scan/scan_engine.h"

namespace {

// The entries of the positions [q, end), eight at a time, as the SSE2 pass
// does them four at a time; returns where it stopped.
inline const std::uint32_t* entries_avx2(IndexSink& sink, const std::uint32_t* q, const std::uint32_t* end) {
  if (end - q < 8) return q;
  const __m256i two = _mm256_set1_epi32(2);
  const __m256i one_back = _mm256_setr_epi32(7, 0, 1, 2, 3, 4, 5, 6);
  __m256i previous = _mm256_set1_epi32(static_cast<int>(sink.line_start - 2)); // lane 7: the last break
  __m256i longest = _mm256_setzero_si256();
  __m256i longest_at = _mm256_setzero_si256();
  const auto index = static_cast<int>(sink.cursor - sink.table);
  __m256i number = _mm256_add_epi32(_mm256_setr_epi32(1, 2, 3, 4, 5, 6, 7, 8), _mm256_set1_epi32(index));
  const __m256i eight = _mm256_set1_epi32(8);
  const __m256i base =
      _mm256_set1_epi64x(static_cast<long long>(reinterpret_cast<std::uintptr_t>(sink.data)));
  auto* out = reinterpret_cast<__m256i*>(sink.cursor);
  static_assert(sizeof(LineEntry) == 16, "64-bit entries: address, length, padding");
  for (; end - q >= 8; q += 8) {
    const __m256i breaks = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q));
    // Each line starts two bytes after the break before it.
    const __m256i before = _mm256_blend_epi32(_mm256_permutevar8x32_epi32(breaks, one_back),
                                              _mm256_permutevar8x32_epi32(previous, _mm256_set1_epi32(7)), 1);
    const __m256i starts = _mm256_add_epi32(before, two);
    const __m256i lengths = _mm256_sub_epi32(breaks, starts);
    previous = breaks;
    const __m256i kept = _mm256_cmpeq_epi32(_mm256_max_epu32(lengths, longest), longest);
    longest = _mm256_max_epu32(lengths, longest);
    longest_at = _mm256_blendv_epi8(number, longest_at, kept);
    number = _mm256_add_epi32(number, eight);
    const __m256i starts_low = _mm256_add_epi64(_mm256_cvtepu32_epi64(_mm256_castsi256_si128(starts)), base);
    const __m256i starts_high =
        _mm256_add_epi64(_mm256_cvtepu32_epi64(_mm256_extracti128_si256(starts, 1)), base);
    const __m256i lengths_low = _mm256_cvtepu32_epi64(_mm256_castsi256_si128(lengths));
    const __m256i lengths_high = _mm256_cvtepu32_epi64(_mm256_extracti128_si256(lengths, 1));
    // unpack pairs within 128-bit halves: entries 0 and 2, then 1 and 3.
    const __m256i even_low = _mm256_unpacklo_epi64(starts_low, lengths_low);
    const __m256i odd_low = _mm256_unpackhi_epi64(starts_low, lengths_low);
    const __m256i even_high = _mm256_unpacklo_epi64(starts_high, lengths_high);
    const __m256i odd_high = _mm256_unpackhi_epi64(starts_high, lengths_high);
    _mm256_storeu_si256(out + 0, _mm256_permute2x128_si256(even_low, odd_low, 0x20));
    _mm256_storeu_si256(out + 1, _mm256_permute2x128_si256(even_low, odd_low, 0x31));
    _mm256_storeu_si256(out + 2, _mm256_permute2x128_si256(even_high, odd_high, 0x20));
    _mm256_storeu_si256(out + 3, _mm256_permute2x128_si256(even_high, odd_high, 0x31));
    out += 4;
  }
  sink.cursor = reinterpret_cast<LineEntry*>(out);
  sink.line_start = q[-1] + 2;
  alignas(32) std::uint32_t lane_longest[8];
  alignas(32) std::uint32_t lane_at[8];
  _mm256_store_si256(reinterpret_cast<__m256i*>(lane_longest), longest);
  _mm256_store_si256(reinterpret_cast<__m256i*>(lane_at), longest_at);
  join_lanes(sink, lane_longest, lane_at, 8);
  return q;
}

} // namespace
