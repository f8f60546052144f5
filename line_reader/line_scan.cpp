#include "line_reader/line_scan.h"

#include <bit>

#include "line_reader/scan_variants.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#define LINE_READER_HAVE_SSE2 1
#endif

namespace {

constexpr char CR = 0x0D;
constexpr char LF = 0x0A;

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

struct Sse2PairMaskBlock {
  static std::uint32_t breaks(const char* b) {
    const std::uint32_t crs = byte_mask32(load_aligned(b), load_aligned(b + 16), _mm_set1_epi8(CR));
    // The LF mask is taken one byte on, so bit i says whether b[i + 1] is LF.
    const std::uint32_t lfs = byte_mask32(load_unaligned(b + 1), load_unaligned(b + 17), _mm_set1_epi8(LF));
    return crs & lfs;
  }
};
#endif

// The three-stage scan shared by both scanners. Reports breaks to the sink in
// ascending order, each as an offset from p; returns true when the scan ran to
// its normal end, false when a NUL byte in the head walk, or nothing left
// after it, ended the scan early.
template <class Block, class Sink> bool scan(const char* p, std::uint32_t n, Sink& sink) {
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
  for (const std::uint32_t blocks_end = pos + (n - pos) / 32 * 32; pos < blocks_end; pos += 32) {
    sink.block(pos, Block::breaks(p + pos));
  }
  for (; pos < n; ++pos) {
    if (p[pos] == CR && p[pos + 1] == LF) sink.one(pos);
  }
  return true;
}

struct CountSink {
  std::uint32_t count = 0;
  void one(std::uint32_t) { ++count; }
  void block(std::uint32_t, std::uint32_t mask) { count += static_cast<std::uint32_t>(std::popcount(mask)); }
};

// Fills the table as breaks arrive. The statistics live in locals and reach
// the record once at the end: stores into the table could otherwise alias them
// and force a reload on every line.
struct IndexSink {
  char* data;
  LineEntry* table;
  LineEntry* cursor;
  std::uint32_t line_start = 0;
  std::uint32_t longest_length;
  std::uint32_t longest_line;

  void one(std::uint32_t q) {
    const std::uint32_t length = q - line_start;
    *cursor = LineEntry{data + line_start, length};
    ++cursor;
    if (length > longest_length) {
      longest_length = length;
      longest_line = static_cast<std::uint32_t>(cursor - table);
    }
    line_start = q + 2;
  }
  void block(std::uint32_t base, std::uint32_t mask) {
    while (mask != 0) {
      one(base + static_cast<std::uint32_t>(std::countr_zero(mask)));
      mask &= mask - 1;
    }
  }
};

template <class Block> std::uint32_t count_with(const char* data, std::uint32_t size) {
  CountSink sink;
  scan<Block>(data, size, sink);
  return sink.count;
}

template <class Block> std::uint32_t index_with(LineRecord* record) {
  IndexSink sink{record->buffer,         record->table,       record->table, 0,
                 record->longest_length, record->longest_line};
  const bool completed = scan<Block>(record->buffer, record->size, sink);
  record->longest_length = sink.longest_length;
  record->longest_line = sink.longest_line;
  if (!completed || record->buffer[record->size - 1] == LF) return 0;
  *sink.cursor = LineEntry{record->buffer + sink.line_start, record->size - sink.line_start};
  record->unterminated = 1;
  return 1;
}

constexpr ScanVariant built_variants[] = {
    ScanVariant::portable,
#if LINE_READER_HAVE_SSE2
    ScanVariant::sse2_cr_mask,
    ScanVariant::sse2_pair_mask,
#endif
};

constexpr ScanVariant best_variant = built_variants[std::size(built_variants) - 1];

} // namespace

std::span<const ScanVariant> available_scan_variants() { return built_variants; }

const char* scan_variant_name(ScanVariant variant) {
  switch (variant) {
  case ScanVariant::portable: return "portable";
  case ScanVariant::sse2_cr_mask: return "sse2_cr_mask";
  case ScanVariant::sse2_pair_mask: return "sse2_pair_mask";
  }
  return "unknown";
}

std::uint32_t count_crlf_with(ScanVariant variant, const char* data, std::uint32_t size) {
  switch (variant) {
#if LINE_READER_HAVE_SSE2
  case ScanVariant::sse2_cr_mask: return count_with<Sse2CrMaskBlock>(data, size);
  case ScanVariant::sse2_pair_mask: return count_with<Sse2PairMaskBlock>(data, size);
#endif
  default: return count_with<PortableBlock>(data, size);
  }
}

std::uint32_t build_line_index_with(ScanVariant variant, LineRecord* record) {
  switch (variant) {
#if LINE_READER_HAVE_SSE2
  case ScanVariant::sse2_cr_mask: return index_with<Sse2CrMaskBlock>(record);
  case ScanVariant::sse2_pair_mask: return index_with<Sse2PairMaskBlock>(record);
#endif
  default: return index_with<PortableBlock>(record);
  }
}

std::uint32_t count_crlf(const char* data, std::uint32_t size) {
  return count_crlf_with(best_variant, data, size);
}

std::uint32_t build_line_index(LineRecord* record) { return build_line_index_with(best_variant, record); }

void note_longest_line(LineRecord* record, std::uint32_t length, const LineEntry* entry) {
  if (length > record->longest_length) {
    record->longest_length = length;
    record->longest_line = static_cast<std::uint32_t>(entry - record->table) + 1;
  }
}
