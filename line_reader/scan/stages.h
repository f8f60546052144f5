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

// Room past a full block in the staging area: one 64-byte step adds up to
// 64 starts, and a step writes whole groups of slots (four, or eight with
// AVX-512) whatever its mask holds.
inline constexpr std::uint32_t staging_slack = 64 + 8;

// The state of a line-end scan, carried from one stretch of text to the
// next so that a text read in pieces is scanned as it arrives. A line ends
// at an LF: in LF mode at every LF (a CR right before it belongs to the line
// end), in CR LF mode only at an LF right after a CR. The scan stages the
// start after each line end; once a block's worth is staged, `take` hands
// them on and keeps what is left over.
//
// A staged start is twice the start, plus 1 when the line end before it is
// two bytes: the length of each line then follows from two staged starts
// alone, with no look at the text.
struct LineEndScan {
  std::uint64_t cr_before; // 1 when the byte before the next stretch is CR
  std::uint64_t base;      // where the stretch's first byte stands in the text
  // 1 when the byte before the next stretch must not be loaded (another
  // thread's, or another buffer's): `cr_before` tells it.
  std::uint32_t unloaded_before;
  std::uint32_t staged_count;
  void (*take)(LineEndScan& scan);
  void* builder; // whatever `take` hands the starts to
  std::uint64_t staged[lines_per_block + staging_slack];
};

// Internal linkage: a copy built into a stage's file, with its instruction
// set, must not serve the rest of the program.
namespace {
inline constexpr std::uint64_t start_of_staged(std::uint64_t staged) { return staged >> 1; }
// The length of the line from the staged start `from` to the one after it,
// its line end not counted.
inline constexpr std::uint64_t staged_line_length(std::uint64_t from, std::uint64_t next) {
  return (next >> 1) - (from >> 1) - 1 - (next & 1);
}
} // namespace

// Scans the text's bytes [from, to) for line ends; `to - from` is a multiple
// of 64, and reading up to `to` must be safe (the buffer's zero tail covers
// the last stretch). The stage of each mode.
using LineEndStage = void (*)(LineEndScan& scan, const char* text, std::uint64_t from, std::uint64_t to);
// The longest of the lines that `count` staged starts end, `previous` being
// the staged start before the first; `two_bytes_any` and `two_bytes_all`
// take in (or and and) whether their line ends are two bytes, in bit 0.
using WidestLine = std::uint64_t (*)(const std::uint64_t* staged, std::uint32_t count, std::uint64_t previous,
                                     std::uint64_t& two_bytes_any, std::uint64_t& two_bytes_all);
struct LineEndStages {
  LineEndStage crlf;
  LineEndStage lf;
  WidestLine widest;
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
