// The block stages that the scanners can run with. Every variant finds the
// same breaks in the same order; count_crlf and build_line_index use the
// fastest one this processor runs. Tests and benchmarks name them directly.
#pragma once

#include <cstdint>
#include <span>

#include "line_reader/line_reader.h"
#include "line_reader/scan/stages.h"

namespace line_reader {

enum class ScanVariant {
  portable,         // byte compares, no vector instructions
  sse2_cr_mask,     // SSE2 CR mask, each CR checked against the byte after it
  sse2_pair_mask,   // SSE2 CR mask and LF mask joined, only real breaks visited
  avx2_pair_mask,   // the same with AVX2 compares, where the processor has them
  avx512_pair_mask, // 64-byte AVX-512 compares and a compress of the mask's bits, where the
                    // processor has AVX-512 BW, VL and VBMI2
};

// The variants built in and supported by this processor, best last.
std::span<const ScanVariant> available_scan_variants();
const char* scan_variant_name(ScanVariant variant);

// Makes count_crlf and build_line_index (and so every command) use `variant`
// from now on; the default is the last of available_scan_variants().
void select_scan_variant(ScanVariant variant);
ScanVariant selected_scan_variant();

std::uint32_t count_crlf_with(ScanVariant variant, const char* data, std::uint32_t size);
std::uint32_t build_line_index_with(ScanVariant variant, LineRecord* record);
// The line-end scan of the owner type's index, on the same block stage.
detail::LineEndStages line_end_stages_with(ScanVariant variant);

} // namespace line_reader
