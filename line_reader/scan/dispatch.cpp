// Which block stage the scanners run: the processor is asked once, and a
// stage is offered only where it has every feature that the stage's file is
// compiled for (CMakeLists.txt lists the same levels).
#include "line_reader/line_scan.h"
#include "line_reader/scan/line_ends.h"
#include "line_reader/scan/scan_engine.h"
#include "line_reader/scan/stages.h"
#include "line_reader/scan/variants.h"

#if defined(__SSE2__)
#define LINE_READER_HAVE_SSE2 1
#endif
#if defined(LINE_READER_HAVE_AVX2) && defined(__clang__)
#include <cpuid.h>
#endif

namespace line_reader {
namespace {

// The block stage without vector instructions: the break mask of the 32
// bytes at b, bit i set when b[i] is CR and b[i + 1] is LF. For bit 31 that
// is the first byte after the block, at worst the first byte after the data,
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

struct PortableLanes {
  static void masks(const char* b, std::uint64_t& lf, std::uint64_t& cr) {
    for (unsigned i = 0; i < 64; ++i) {
      lf |= std::uint64_t{b[i] == LF} << i;
      cr |= std::uint64_t{b[i] == CR} << i;
    }
  }
};

#if LINE_READER_HAVE_AVX2
// Whether the processor and the system run code built for x86-64-v3
// (-march=x86-64-v3): GCC asks for the whole level at once. clang 14 knows
// no level names, so each feature of the level is asked for; those that it
// cannot be asked by name come from CPUID itself.
bool runs_x86_64_v3() {
#if defined(__clang__)
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) return false;
  const bool movbe = (ecx & bit_MOVBE) != 0, f16c = (ecx & bit_F16C) != 0, cx16 = (ecx & bit_CMPXCHG16B) != 0;
  if (__get_cpuid(0x80000001, &eax, &ebx, &ecx, &edx) == 0) return false;
  const bool lzcnt = (ecx & bit_LZCNT) != 0, lahf = (ecx & bit_LAHF_LM) != 0;
  return movbe && f16c && cx16 && lzcnt && lahf && __builtin_cpu_supports("popcnt") &&
         __builtin_cpu_supports("sse3") && __builtin_cpu_supports("ssse3") &&
         __builtin_cpu_supports("sse4.1") && __builtin_cpu_supports("sse4.2") &&
         __builtin_cpu_supports("avx") && __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") &&
         __builtin_cpu_supports("bmi2") && __builtin_cpu_supports("fma");
#else
  return __builtin_cpu_supports("x86-64-v3");
#endif
}

// The same for x86-64-v4.
bool runs_x86_64_v4() {
#if defined(__clang__)
  return runs_x86_64_v3() && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
         __builtin_cpu_supports("avx512cd") && __builtin_cpu_supports("avx512dq") &&
         __builtin_cpu_supports("avx512vl");
#else
  return __builtin_cpu_supports("x86-64-v4");
#endif
}
#endif

// The variants built in, in order of speed; the AVX2 and AVX-512 ones only
// where the processor runs every instruction that their files may hold.
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
    // avx2.cpp: -march=x86-64-v3. Some virtual machines show AVX2 and hide
    // BMI, or POPCNT.
    if (runs_x86_64_v3()) list[count++] = ScanVariant::avx2_pair_mask;
#endif
#if LINE_READER_HAVE_AVX512
    // avx512.cpp: -march=x86-64-v4 -mavx512vbmi2.
    if (runs_x86_64_v4() && __builtin_cpu_supports("avx512vbmi2"))
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
  case ScanVariant::sse2_cr_mask: return detail::count_crlf_sse2_cr_mask(data, size);
  case ScanVariant::sse2_pair_mask: return detail::count_crlf_sse2(data, size);
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
  case ScanVariant::sse2_cr_mask: return detail::build_line_index_sse2_cr_mask(record);
  case ScanVariant::sse2_pair_mask: return detail::build_line_index_sse2(record);
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

detail::LineEndStages line_end_stages_with(ScanVariant variant) {
  switch (variant) {
#if LINE_READER_HAVE_SSE2
  case ScanVariant::sse2_cr_mask:
  case ScanVariant::sse2_pair_mask: return detail::line_end_stages_sse2();
#endif
#if LINE_READER_HAVE_AVX2
  case ScanVariant::avx2_pair_mask: return detail::line_end_stages_avx2();
#endif
#if LINE_READER_HAVE_AVX512
  case ScanVariant::avx512_pair_mask: return detail::line_end_stages_avx512();
#endif
  default: return detail::line_end_stages_portable();
  }
}

void select_scan_variant(ScanVariant variant) { current_variant = variant; }

ScanVariant selected_scan_variant() { return current_variant; }

detail::LineEndStages detail::line_end_stages_portable() { return line_end_stages_of<PortableLanes>(); }

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
