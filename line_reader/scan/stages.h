// The block stages of each instruction set, for the dispatch: the record's
// two scanners, and the line-end scan that the owner type's index is built
// from. A stage of an instruction set beyond the baseline is called only
// where the processor has every feature its file is compiled for.
#pragma once

#include <cstdint>

#include "line_reader/line_reader.h"

namespace line_reader::detail {

// Lines are handed to the index 256 at a time.
inline constexpr std::uint32_t lines_per_block = 256;

// The state of a line-end scan, carried from one stretch of text to the next
// so that a text read in chunks is scanned as it arrives. A line ends at an
// LF: in LF mode at every LF (a CR right before it belongs to the line end),
// in CR LF mode only at an LF right after a CR.
struct LineEndScan {
  std::uint64_t line_start;     // where the current line begins
  std::uint64_t cr_before;      // 1 when the byte before the next stretch is CR
  std::uint64_t lines;          // lines ended so far
  std::uint64_t longest_length; // the longest of them, its line end not counted
  std::uint64_t longest_line;   // its number, from 1; 0 while none is longer than 0
  // Line starts not yet handed over: the first line's, then the start after
  // each line end. When it holds lines_per_block of them they go to `take`.
  std::uint64_t staged[lines_per_block];
  std::uint32_t staged_count;
  void (*take)(LineEndScan& scan);
  void* index;
};

// Scans the text's bytes [from, to) for line ends; `to - from` is a multiple
// of 64, and reading up to `to` must be safe (the buffer's zero tail covers
// the last stretch). The stage of each mode.
using LineEndStage = void (*)(LineEndScan& scan, const char* text, std::uint64_t from, std::uint64_t to);
struct LineEndStages {
  LineEndStage crlf;
  LineEndStage lf;
};

LineEndStages line_end_stages_portable();
#if defined(__SSE2__)
std::uint32_t count_crlf_sse2_cr_mask(const char* data, std::uint32_t size);
std::uint32_t build_line_index_sse2_cr_mask(LineRecord* record);
std::uint32_t count_crlf_sse2(const char* data, std::uint32_t size);
std::uint32_t build_line_index_sse2(LineRecord* record);
LineEndStages line_end_stages_sse2();
#endif
#if defined(LINE_READER_HAVE_AVX2)
std::uint32_t count_crlf_avx2(const char* data, std::uint32_t size);
std::uint32_t build_line_index_avx2(LineRecord* record);
LineEndStages line_end_stages_avx2();
#endif
#if defined(LINE_READER_HAVE_AVX512)
std::uint32_t count_crlf_avx512(const char* data, std::uint32_t size);
std::uint32_t build_line_index_avx512(LineRecord* record);
LineEndStages line_end_stages_avx512();
#endif

} // namespace line_reader::detail
