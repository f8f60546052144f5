// The block stage on AVX-512: each 64-byte block in one compare per byte
// kind, straight into a 64-bit mask, and the mask's set bits turned into
// positions sixteen at a time by a byte compress. This file alone is compiled
// for x86-64-v4 (AVX-512 F, BW, CD, DQ and VL, and x86-64-v3) and AVX-512
// VBMI2; the dispatch asks the processor for all of them before any of it
// runs.
#include <immintrin.h>

#include "line_reader/scan/entries_avx2.h"
#include "line_reader/scan/line_ends.h"
#include "line_reader/scan/scan_engine.h"
#include "line_reader/scan/stages.h"

namespace {

inline std::uint64_t pair_mask64(const char* b) {
  const __m512i crs = _mm512_loadu_si512(b);
  const __m512i lfs = _mm512_loadu_si512(b + 1);
  return _mm512_cmpeq_epi8_mask(crs, _mm512_set1_epi8(CR)) &
         _mm512_cmpeq_epi8_mask(lfs, _mm512_set1_epi8(LF));
}

inline std::uint32_t pair_mask32(const char* b) {
  const __m256i crs = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b));
  const __m256i lfs = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + 1));
  return _mm256_cmpeq_epi8_mask(crs, _mm256_set1_epi8(CR)) &
         _mm256_cmpeq_epi8_mask(lfs, _mm256_set1_epi8(LF));
}

struct Avx512Pairs {
  using Mask = std::uint64_t;
  // Two passes pay at every size (256 MiB of prose: 10.8 to 16.9 GB/s).
  static constexpr std::uint32_t two_passes_up_to = 0xFFFFFFFFu;
  static constexpr bool two_passes_when_dense = true;
  static Mask mask(const char* b) { return pair_mask64(b); }
  static std::uint32_t mask32(const char* b) { return pair_mask32(b); }
  static const std::uint32_t* entries(IndexSink& sink, const std::uint32_t* q, const std::uint32_t* end) {
    return entries_avx2(sink, q, end);
  }

  // The set bits as positions: the compress packs the offsets 0..63 of the
  // set bits into the low bytes, and each group of sixteen is widened and
  // stored whole. Stores reach up to 16 slots past the last real bit, so
  // they are made only while 64 slots remain; a slot past the last real bit
  // is overwritten by the next mask's.
  static void decode(PositionSink& found, std::uint32_t base, Mask mask) {
    if (found.end - found.out < 64) {
      found.each_bit<true>(base, mask);
      return;
    }
    const __m512i offsets = _mm512_maskz_compress_epi8(
        mask,
        _mm512_set_epi8(63, 62, 61, 60, 59, 58, 57, 56, 55, 54, 53, 52, 51, 50, 49, 48, 47, 46, 45, 44, 43,
                        42, 41, 40, 39, 38, 37, 36, 35, 34, 33, 32, 31, 30, 29, 28, 27, 26, 25, 24, 23, 22,
                        21, 20, 19, 18, 17, 16, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0));
    const __m512i at = _mm512_set1_epi32(static_cast<int>(base));
    const auto bits = static_cast<std::uint32_t>(_mm_popcnt_u64(mask));
    _mm512_storeu_si512(found.out,
                        _mm512_add_epi32(_mm512_cvtepu8_epi32(_mm512_castsi512_si128(offsets)), at));
    if (bits > 16) {
      _mm512_storeu_si512(found.out + 16,
                          _mm512_add_epi32(_mm512_cvtepu8_epi32(_mm512_extracti32x4_epi32(offsets, 1)), at));
      if (bits > 32) {
        _mm512_storeu_si512(
            found.out + 32,
            _mm512_add_epi32(_mm512_cvtepu8_epi32(_mm512_extracti32x4_epi32(offsets, 2)), at));
        _mm512_storeu_si512(
            found.out + 48,
            _mm512_add_epi32(_mm512_cvtepu8_epi32(_mm512_extracti32x4_epi32(offsets, 3)), at));
      }
    }
    found.out += bits;
  }
};

// The breaks of the blocks from `from` to `to` (a multiple of 32 bytes).
std::uint32_t count_pair_blocks(const char* p, std::uint32_t from, std::uint32_t to) {
  std::uint64_t total = 0;
  for (; to - from >= 64; from += 64)
    total += static_cast<std::uint64_t>(_mm_popcnt_u64(pair_mask64(p + from)));
  if (from < to) total += static_cast<std::uint64_t>(_mm_popcnt_u32(pair_mask32(p + from)));
  return static_cast<std::uint32_t>(total);
}

struct Avx512Lanes {
  static void masks(const char* b, std::uint64_t& lf, std::uint64_t& cr) {
    const __m512i bytes = _mm512_loadu_si512(b);
    lf = _mm512_cmpeq_epi8_mask(bytes, _mm512_set1_epi8(LF));
    cr = _mm512_cmpeq_epi8_mask(bytes, _mm512_set1_epi8(CR));
  }

  // The LFs right after a CR, the CRs found by a load one byte back.
  static std::uint64_t crlf_ends(const char* text, std::uint64_t at) {
    const __m512i before = _mm512_loadu_si512(text + at - 1);
    const __m512i bytes = _mm512_loadu_si512(text + at);
    return _mm512_cmpeq_epi8_mask(bytes, _mm512_set1_epi8(LF)) &
           _mm512_cmpeq_epi8_mask(before, _mm512_set1_epi8(CR));
  }

  // The compress packs the staged offsets of the set bits (twice the bit's
  // number, plus 1 for a two-byte line end) into the low bytes; the first
  // eight are widened, offset and stored whole, which covers prose without a
  // branch. Up to seven slots past the last start are written.
  static std::uint32_t starts(std::uint64_t* slot, std::uint64_t from, std::uint64_t ends,
                              std::uint64_t two_byte) {
    const __m512i doubled = _mm512_set_epi8(
        126, 124, 122, 120, 118, 116, 114, 112, 110, 108, 106, 104, 102, 100, 98, 96, 94, 92, 90, 88, 86, 84,
        82, 80, 78, 76, 74, 72, 70, 68, 66, 64, 62, 60, 58, 56, 54, 52, 50, 48, 46, 44, 42, 40, 38, 36, 34,
        32, 30, 28, 26, 24, 22, 20, 18, 16, 14, 12, 10, 8, 6, 4, 2, 0);
    const __m512i offsets = _mm512_maskz_compress_epi8(
        ends, _mm512_mask_add_epi8(doubled, two_byte, doubled, _mm512_set1_epi8(1)));
    const __m512i at = _mm512_set1_epi64(static_cast<long long>(2 * (from + 1)));
    const auto count = static_cast<std::uint32_t>(_mm_popcnt_u64(ends));
    _mm512_storeu_si512(slot, _mm512_add_epi64(_mm512_cvtepu8_epi64(_mm512_castsi512_si128(offsets)), at));
    if (count > 8) {
      alignas(64) std::uint8_t numbers[64];
      _mm512_store_si512(numbers, offsets);
      for (std::uint32_t k = 8; k < count; k += 8) {
        const __m128i group = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(numbers + k));
        _mm512_storeu_si512(slot + k, _mm512_add_epi64(_mm512_cvtepu8_epi64(group), at));
      }
    }
    return count;
  }
};

} // namespace

line_reader::detail::LineEndStages line_reader::detail::line_end_stages_avx512() {
  return line_end_stages_of<Avx512Lanes>();
}

std::uint32_t line_reader::detail::count_crlf_avx512(const char* data, std::uint32_t size) {
  return count_with_pairs<count_pair_blocks>(data, size);
}

std::uint32_t line_reader::detail::build_line_index_avx512(LineRecord* record) {
  return index_with_pairs<Avx512Pairs>(record);
}
