#include "line_reader/line_scan.h"

#include <algorithm>
#include <bit>

#include "line_reader/scan_engine.h"
#include "line_reader/scan_variants.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#define LINE_READER_HAVE_SSE2 1
#endif

namespace line_reader {
namespace {

// Block stages: the break mask of the 32 bytes at b (b on a 16-byte
// boundary), bit i set when b[i] is CR and b[i + 1] is LF. For bit 31 that is
// the first byte after the block, at worst the first byte after the data,
// which the zero tail covers.

struct PortableBlock {
  static std::uint32_t breaks(const char* b) {
    std::uint32_t mask = 0;
    for (unsigned i = 0; i < 32; ++i) {
      mask |= static_cast<std::uint32_t>(b[i] == CR && b[i + 1] == LF) << i;
    }
    return mask;
  }
};

#if LINE_READER_HAVE_SSE2
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
      const int i = std::countr_zero(crs);
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
    const std::uint32_t stop = from + std::min<std::uint32_t>(to - from, 255 * 32);
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
#endif

// The plain variants: one break mask per block, its bits visited one by one.
template <class Block> std::uint32_t count_with(const char* data, std::uint32_t size) {
  CountSink sink;
  scan(data, size, sink, [&](std::uint32_t from, std::uint32_t to) {
    for (; from < to; from += 32)
      sink.count += static_cast<std::uint32_t>(std::popcount(Block::breaks(data + from)));
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

// The variants built in, in order of speed; the AVX2 one only where the
// processor runs it.
struct Variants {
  ScanVariant list[5];
  std::size_t count = 0;
  Variants() {
    list[count++] = ScanVariant::portable;
#if LINE_READER_HAVE_SSE2
    list[count++] = ScanVariant::sse2_cr_mask;
    list[count++] = ScanVariant::sse2_pair_mask;
#endif
#if LINE_READER_HAVE_AVX2
    if (__builtin_cpu_supports("avx2")) list[count++] = ScanVariant::avx2_pair_mask;
#endif
#if LINE_READER_HAVE_AVX512
    if (__builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vl") &&
        __builtin_cpu_supports("avx512vbmi2"))
      list[count++] = ScanVariant::avx512_pair_mask;
#endif
  }
};

const Variants& variants() {
  static const Variants built;
  return built;
}

ScanVariant current_variant = variants().list[variants().count - 1];

} // namespace

std::span<const ScanVariant> available_scan_variants() { return {variants().list, variants().count}; }

const char* scan_variant_name(ScanVariant variant) {
  switch (variant) {
  case ScanVariant::portable: return "portable";
  case ScanVariant::sse2_cr_mask: return "sse2_cr_mask";
  case ScanVariant::sse2_pair_mask: return "sse2_pair_mask";
  case ScanVariant::avx2_pair_mask: return "avx2_pair_mask";
  case ScanVariant::avx512_pair_mask: return "avx512_pair_mask";
  }
  return "unknown";
}

std::uint32_t count_crlf_with(ScanVariant variant, const char* data, std::uint32_t size) {
  switch (variant) {
#if LINE_READER_HAVE_SSE2
  case ScanVariant::sse2_cr_mask: return count_with<Sse2CrMaskBlock>(data, size);
  case ScanVariant::sse2_pair_mask: return count_with_pairs<count_pair_blocks>(data, size);
#endif
#if LINE_READER_HAVE_AVX2
  case ScanVariant::avx2_pair_mask: return detail::count_crlf_avx2(data, size);
#endif
#if LINE_READER_HAVE_AVX512
  case ScanVariant::avx512_pair_mask: return detail::count_crlf_avx512(data, size);
#endif
  default: return count_with<PortableBlock>(data, size);
  }
}

std::uint32_t build_line_index_with(ScanVariant variant, LineRecord* record) {
  switch (variant) {
#if LINE_READER_HAVE_SSE2
  case ScanVariant::sse2_cr_mask: return index_with<Sse2CrMaskBlock>(record);
  case ScanVariant::sse2_pair_mask: return index_with_pairs<Sse2Pairs>(record);
#endif
#if LINE_READER_HAVE_AVX2
  case ScanVariant::avx2_pair_mask: return detail::build_line_index_avx2(record);
#endif
#if LINE_READER_HAVE_AVX512
  case ScanVariant::avx512_pair_mask: return detail::build_line_index_avx512(record);
#endif
  default: return index_with<PortableBlock>(record);
  }
}

void select_scan_variant(ScanVariant variant) { current_variant = variant; }

ScanVariant selected_scan_variant() { return current_variant; }

} // namespace line_reader

using namespace line_reader;

std::uint32_t count_crlf(const char* data, std::uint32_t size) {
  return count_crlf_with(current_variant, data, size);
}

std::uint32_t build_line_index(LineRecord* record) { return build_line_index_with(current_variant, record); }

void note_longest_line(LineRecord* record, std::uint32_t length, const LineEntry* entry) {
  if (length > record->longest_length) {
    record->longest_length = length;
    record->longest_line = static_cast<std::uint32_t>(entry - record->table) + 1;
  }
}
