// The block stages that the scanners can run with. Every variant finds the
// same breaks in the same order; count_crlf and build_line_index use the
// fastest one this processor runs. Tests and benchmarks name them directly.
#pragma once

#include <cstdint>
#include <span>

#include "line_reader/line_reader.h"

enum class ScanVariant {
  portable,       // byte compares, no vector instructions
  sse2_cr_mask,   // SSE2 CR mask, each CR checked against the byte after it
  sse2_pair_mask, // SSE2 CR mask and LF mask joined, only real breaks visited
};

// The variants built in and supported by this processor, best last.
std::span<const ScanVariant> available_scan_variants();
const char* scan_variant_name(ScanVariant variant);

std::uint32_t count_crlf_with(ScanVariant variant, const char* data, std::uint32_t size);
std::uint32_t build_line_index_with(ScanVariant variant, LineRecord* record);
