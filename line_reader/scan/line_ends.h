// The line-end scan over a `Lanes` block stage, shared by the files of each
// instruction set; internal linkage and no standard templates, as in
// scan_engine.h.
//
// `Lanes::masks(b, lf, cr)` sets bit i of `lf` when b[i] is LF and of `cr`
// when it is CR, for the 64 bytes at b.
#pragma once

#include <cstdint>

#include "line_reader/scan/stages.h"

namespace {

template <class Lanes, bool lf_mode>
void scan_line_ends(line_reader::detail::LineEndScan& scan, const char* text, std::uint64_t from,
                    std::uint64_t to) {
  using line_reader::detail::lines_per_block;
  // The hot fields live in locals: the stores into `staged` could otherwise
  // alias them and force a reload for every line.
  std::uint64_t line_start = scan.line_start;
  std::uint64_t cr_before = scan.cr_before;
  std::uint64_t lines = scan.lines;
  std::uint64_t longest_length = scan.longest_length;
  std::uint64_t longest_line = scan.longest_line;
  std::uint32_t staged = scan.staged_count;
  for (; from < to; from += 64) {
    std::uint64_t lf = 0;
    std::uint64_t cr = 0;
    Lanes::masks(text + from, lf, cr);
    // An LF right after a CR; the CR may be the last byte of the stretch
    // before, or of the chunk before, which `cr_before` remembers.
    const std::uint64_t after_cr = lf & (cr << 1 | cr_before);
    cr_before = cr >> 63;
    for (std::uint64_t ends = lf_mode ? lf : after_cr; ends != 0; ends &= ends - 1) {
      const int bit = __builtin_ctzll(ends);
      const std::uint64_t next = from + static_cast<std::uint64_t>(bit) + 1;
      const std::uint64_t ending = lf_mode ? 1 + (after_cr >> bit & 1) : 2;
      const std::uint64_t length = next - ending - line_start;
      ++lines;
      // Strictly longer wins, so the first of equal lengths stays; a new
      // longest line is rare after the first few, so the branch predicts.
      if (length > longest_length) {
        longest_length = length;
        longest_line = lines;
      }
      line_start = next;
      scan.staged[staged++] = next;
      if (staged == lines_per_block) {
        scan.staged_count = staged;
        scan.take(scan);
        staged = scan.staged_count;
      }
    }
  }
  scan.line_start = line_start;
  scan.cr_before = cr_before;
  scan.lines = lines;
  scan.longest_length = longest_length;
  scan.longest_line = longest_line;
  scan.staged_count = staged;
}

template <class Lanes> line_reader::detail::LineEndStages line_end_stages_of() {
  return {scan_line_ends<Lanes, false>, scan_line_ends<Lanes, true>};
}

} // namespace
