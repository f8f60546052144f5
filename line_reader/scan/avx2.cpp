// The block stage on AVX2: each 32-byte block in one compare per byte kind.
// This file alone is compiled for x86-64-v3 (AVX2, BMI1 and BMI2, FMA, F16C,
// LZCNT, MOVBE, POPCNT and SSE4.2 among them); the dispatch asks the
// processor for the whole level before any of it runs.
#include <immintrin.h>

#include "line_reader/scan/entries_avx2.h"
#include "line_reader/scan/line_ends.h"
#include "line_reader/scan/scan_engine.h"
#include "line_reader/scan/stages.h"

namespace {

// Bit i set when b[i] is CR and b[i + 1] is LF. b is only 16-byte aligned,
// and b + 32 is at worst the first byte after the data.
inline std::uint32_t pair_mask32(const char* b) {
  const __m256i crs =
      _mm256_cmpeq_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(b)), _mm256_set1_epi8(CR));
  const __m256i lfs =
      _mm256_cmpeq_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + 1)), _mm256_set1_epi8(LF));
  return static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_and_si256(crs, lfs)));
}

struct Avx2Pairs {
  using Mask = std::uint64_t;
  // Two passes pay up to 2 MiB (prose: 10.2 to 14.6 GB/s); on 4 MiB the fill
  // fell from 12.3 to 9.4 GB/s.
  static constexpr std::uint32_t two_passes_up_to = std::uint32_t{2} << 20;
  static constexpr bool two_passes_when_dense = true;
  static Mask mask(const char* b) { return pair_mask32(b) | std::uint64_t{pair_mask32(b + 32)} << 32; }
  static std::uint32_t mask32(const char* b) { return pair_mask32(b); }

  static const std::uint32_t* entries(IndexSink& sink, const std::uint32_t* q, const std::uint32_t* end) {
    return entries_avx2(sink, q, end);
  }
};

// As the SSE2 counter: byte counters summed every 255 blocks.
std::uint32_t count_pair_blocks(const char* p, std::uint32_t from, std::uint32_t to) {
  const __m256i cr = _mm256_set1_epi8(CR);
  const __m256i lf = _mm256_set1_epi8(LF);
  const __m256i zero = _mm256_setzero_si256();
  std::uint32_t total = 0;
  while (from < to) {
    const std::uint32_t stop = from + (to - from < 255 * 32 ? to - from : 255 * 32);
    __m256i counts = zero;
    for (; from < stop; from += 32) {
      const char* b = p + from;
      const __m256i crs = _mm256_cmpeq_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(b)), cr);
      const __m256i lfs = _mm256_cmpeq_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + 1)), lf);
      counts = _mm256_sub_epi8(counts, _mm256_and_si256(crs, lfs));
    }
    const __m256i sums = _mm256_sad_epu8(counts, zero);
    const __m128i pair = _mm_add_epi64(_mm256_castsi256_si128(sums), _mm256_extracti128_si256(sums, 1));
    total += static_cast<std::uint32_t>(_mm_cvtsi128_si32(pair)) +
             static_cast<std::uint32_t>(_mm_cvtsi128_si32(_mm_srli_si128(pair, 8)));
  }
  return total;
}

struct Avx2Lanes {
  // The LFs right after a CR, the CRs found by loads one byte back.
  static std::uint64_t crlf_ends(const char* text, std::uint64_t at) {
    const char* b = text + at;
    const __m256i lfs = _mm256_set1_epi8(LF);
    const __m256i crs = _mm256_set1_epi8(CR);
    const __m256i low =
        _mm256_and_si256(_mm256_cmpeq_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(b)), lfs),
                         _mm256_cmpeq_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(b - 1)), crs));
    const __m256i high = _mm256_and_si256(
        _mm256_cmpeq_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + 32)), lfs),
        _mm256_cmpeq_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + 31)), crs));
    return static_cast<std::uint32_t>(_mm256_movemask_epi8(low)) |
           std::uint64_t{static_cast<std::uint32_t>(_mm256_movemask_epi8(high))} << 32;
  }

  static void masks(const char* b, std::uint64_t& lf, std::uint64_t& cr) {
    const __m256i low = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b));
    const __m256i high = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + 32));
    const __m256i lfs = _mm256_set1_epi8(LF);
    const __m256i crs = _mm256_set1_epi8(CR);
    lf = static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(low, lfs))) |
         std::uint64_t{static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(high, lfs)))} << 32;
    cr = static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(low, crs))) |
         std::uint64_t{static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(high, crs)))} << 32;
  }
};

} // namespace

line_reader::detail::LineEndStages line_reader::detail::line_end_stages_avx2() {
  return line_end_stages_of<Avx2Lanes>();
}

std::uint32_t line_reader::detail::count_crlf_avx2(const char* data, std::uint32_t size) {
  return count_with_pairs<count_pair_blocks>(data, size);
}

std::uint32_t line_reader::detail::build_line_index_avx2(LineRecord* record) {
  return index_with_pairs<Avx2Pairs>(record);
}
