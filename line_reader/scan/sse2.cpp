// The block stages on SSE2, the baseline of the 32-bit target: the record's
// scanners over 32-byte blocks in two 16-byte halves, and the line-end scan
// over 64 bytes in four.
#if defined(__SSE2__)
#include <emmintrin.h>

#include "line_reader/scan/line_ends.h"
#include "line_reader/scan/scan_engine.h"
#include "line_reader/scan/stages.h"

namespace {

inline std::uint32_t byte_mask32(__m128i low, __m128i high, __m128i wanted) {
  const auto lo = static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(low, wanted)));
  const auto hi = static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(high, wanted)));
  return lo | hi << 16;
}

inline __m128i load_aligned(const char* at) { return _mm_load_si128(reinterpret_cast<const __m128i*>(at)); }

inline __m128i load_unaligned(const char* at) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
}

struct Sse2CrMaskBlock {
  static std::uint32_t breaks(const char* b) {
    std::uint32_t crs = byte_mask32(load_aligned(b), load_aligned(b + 16), _mm_set1_epi8(CR));
    std::uint32_t mask = 0;
    while (crs != 0) {
      const int i = trailing_zeros(crs);
      crs &= crs - 1;
      if (b[i + 1] == LF) mask |= 1u << i;
    }
    return mask;
  }
};

// Bit i set when b[i] is CR and b[i + 1] is LF, for the 16 bytes at b: the LF
// compare is taken one byte on, and the two compares are joined before the
// mask is extracted.
inline std::uint32_t pair_mask16(const char* b) {
  const __m128i crs = _mm_cmpeq_epi8(load_aligned(b), _mm_set1_epi8(CR));
  const __m128i lfs = _mm_cmpeq_epi8(load_unaligned(b + 1), _mm_set1_epi8(LF));
  return static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_and_si128(crs, lfs)));
}

struct Sse2PairMaskBlock {
  static std::uint32_t breaks(const char* b) { return pair_mask16(b) | pair_mask16(b + 16) << 16; }
};

// 32-bit masks: the 32-bit target has no 64-bit bit scan.
struct Sse2Pairs {
  using Mask = std::uint32_t;
  // Two passes pay in cache only: on 2 MiB of prose the fill fell from 8.9 to
  // 5.5 GB/s, on 1 MiB it rose from 8.8 to 10.0.
  static constexpr std::uint32_t two_passes_up_to = std::uint32_t{1} << 20;
  static constexpr bool two_passes_when_dense = false;
  static Mask mask(const char* b) { return Sse2PairMaskBlock::breaks(b); }
  static std::uint32_t mask32(const char* b) { return Sse2PairMaskBlock::breaks(b); }
};

// Counts the breaks in the blocks from `from` to `to` without leaving the
// vector registers: a match compares to -1, so subtracting the compare adds
// one to a byte counter; the counters are summed every 255 blocks, before a
// lane can pass 255.
std::uint32_t count_pair_blocks(const char* p, std::uint32_t from, std::uint32_t to) {
  const __m128i cr = _mm_set1_epi8(CR);
  const __m128i lf = _mm_set1_epi8(LF);
  const __m128i zero = _mm_setzero_si128();
  std::uint32_t total = 0;
  while (from < to) {
    const std::uint32_t stop = from + (to - from < 255 * 32 ? to - from : 255 * 32);
    __m128i low = zero;
    __m128i high = zero;
    for (; from < stop; from += 32) {
      const char* b = p + from;
      low = _mm_sub_epi8(
          low, _mm_and_si128(_mm_cmpeq_epi8(load_aligned(b), cr), _mm_cmpeq_epi8(load_unaligned(b + 1), lf)));
      high = _mm_sub_epi8(high, _mm_and_si128(_mm_cmpeq_epi8(load_aligned(b + 16), cr),
                                              _mm_cmpeq_epi8(load_unaligned(b + 17), lf)));
    }
    // Each 64-bit sum is at most 255 * 16, so its low 32 bits hold it whole.
    const __m128i sums = _mm_add_epi64(_mm_sad_epu8(low, zero), _mm_sad_epu8(high, zero));
    total += static_cast<std::uint32_t>(_mm_cvtsi128_si32(sums)) +
             static_cast<std::uint32_t>(_mm_cvtsi128_si32(_mm_srli_si128(sums, 8)));
  }
  return total;
}

// Bit i set in `lf` when b[i] is LF, in `cr` when it is CR, for 64 bytes.
struct Sse2Lanes {
  // The LFs right after a CR, the CRs found by loads one byte back.
  static std::uint64_t crlf_ends(const char* text, std::uint64_t at) {
    const char* b = text + at;
    std::uint64_t ends = 0;
    for (int i = 0; i < 4; ++i) {
      const __m128i pairs = _mm_and_si128(_mm_cmpeq_epi8(load_unaligned(b + 16 * i), _mm_set1_epi8(LF)),
                                          _mm_cmpeq_epi8(load_unaligned(b + 16 * i - 1), _mm_set1_epi8(CR)));
      ends |= std::uint64_t{static_cast<std::uint32_t>(_mm_movemask_epi8(pairs))} << (16 * i);
    }
    return ends;
  }

  static void masks(const char* b, std::uint64_t& lf, std::uint64_t& cr) {
    const __m128i lfs = _mm_set1_epi8(LF);
    const __m128i crs = _mm_set1_epi8(CR);
    std::uint64_t lf_mask = 0;
    std::uint64_t cr_mask = 0;
    for (int i = 0; i < 4; ++i) {
      const __m128i bytes = load_unaligned(b + 16 * i);
      lf_mask |= static_cast<std::uint64_t>(
                     static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, lfs))))
                 << (16 * i);
      cr_mask |= static_cast<std::uint64_t>(
                     static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, crs))))
                 << (16 * i);
    }
    lf = lf_mask;
    cr = cr_mask;
  }
};

} // namespace

namespace line_reader::detail {

std::uint32_t count_crlf_sse2_cr_mask(const char* data, std::uint32_t size) {
  return count_with<Sse2CrMaskBlock>(data, size);
}

std::uint32_t build_line_index_sse2_cr_mask(LineRecord* record) {
  return index_with<Sse2CrMaskBlock>(record);
}

std::uint32_t count_crlf_sse2(const char* data, std::uint32_t size) {
  return count_with_pairs<count_pair_blocks>(data, size);
}

std::uint32_t build_line_index_sse2(LineRecord* record) { return index_with_pairs<Sse2Pairs>(record); }

LineEndStages line_end_stages_sse2() { return line_end_stages_of<Sse2Lanes>(); }

} // namespace line_reader::detail
#endif
