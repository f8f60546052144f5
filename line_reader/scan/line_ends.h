// The line-end scan over a `Lanes` block stage, shared by the files of each
// instruction set; internal linkage and no standard templates, as in
// scan_engine.h.
//
// `Lanes::masks(b, lf, cr)` sets bit i of `lf` when b[i] is LF and of `cr`
// when it is CR, for the 64 bytes at b. A stage may also give
// `Lanes::starts(slot, at, ends, two_byte)`, which writes the staged form
// (stages.h) of the start at + i + 1 after each set bit i of `ends`, lowest
// first, at `slot`, the line end being two bytes where bit i of `two_byte` is
// set; it may write up to staging_slack - 64 slots past them, and returns how
// many it wrote. And `Lanes::crlf_ends(text, at)`, the mask of the LFs right
// after a CR in the 64 bytes at text + at (at > 0), which loads the byte
// before them itself.
#pragma once

#include <cstdint>

#include "line_reader/scan/stages.h"

namespace {

template <class Lanes, bool lf_mode>
void scan_line_ends(line_reader::detail::LineEndScan& scan, const char* text, std::uint64_t from,
                    std::uint64_t to) {
  using line_reader::detail::lines_per_block;
  std::uint64_t cr_before = scan.cr_before;
  std::uint32_t staged = scan.staged_count;
  const std::uint64_t first = from;
  // Kept in a register: the stores of starts into the scan could alias it.
  const std::uint64_t base = scan.base;
  // First the line-end masks of a window of steps, then their starts. The
  // masks' loads do not wait for the starts, so many of them are in flight
  // at once: in one loop, the chain of stores into the staging area held the
  // scan of 256 MiB to a third of the speed it had in cache.
  constexpr std::uint64_t window = 64;
  std::uint64_t ends_of[window];
  std::uint64_t two_byte_of[window];
  while (from < to) {
    const std::uint64_t steps = (to - from) / 64 < window ? (to - from) / 64 : window;
    // An LF right after a CR; the CR may be the last byte of the step
    // before, or of the piece before, which `cr_before` remembers. In LF
    // mode those are the line ends of two bytes.
    const auto by_masks = [&](std::uint64_t at, std::uint64_t& two_byte) {
      std::uint64_t lf = 0;
      std::uint64_t cr = 0;
      Lanes::masks(text + at, lf, cr);
      const std::uint64_t after_cr = lf & (cr << 1 | cr_before);
      cr_before = cr >> 63;
      two_byte = after_cr;
      return lf_mode ? lf : after_cr;
    };
    if constexpr (!lf_mode && requires { Lanes::crlf_ends(text, from); }) {
      // The text's first step has no byte before it to load, nor has a
      // stretch whose byte before is another thread's.
      std::uint64_t i = 0;
      if ((from == 0 || scan.unloaded_before != 0) && steps != 0)
        ends_of[i++] = by_masks(from, two_byte_of[0]);
      scan.unloaded_before = 0;
      for (; i < steps; ++i)
        ends_of[i] = Lanes::crlf_ends(text, from + 64 * i);
    } else {
      for (std::uint64_t i = 0; i < steps; ++i)
        ends_of[i] = by_masks(from + 64 * i, two_byte_of[i]);
    }
    for (std::uint64_t i = 0; i < steps; ++i, from += 64) {
      // The next window's lines are fetched while this one's starts are
      // written, so that its masks do not wait for memory.
      __builtin_prefetch(text + from + 64 * window);
      std::uint64_t ends = ends_of[i];
      // In CR LF mode every line end is two bytes.
      const std::uint64_t two_byte = lf_mode ? two_byte_of[i] : ~std::uint64_t{0};
      std::uint64_t* slot = scan.staged + staged;
      std::uint32_t count = 0;
      if constexpr (requires { Lanes::starts(slot, from, ends, two_byte); }) {
        count = Lanes::starts(slot, base + from, ends, two_byte);
      } else {
        count = static_cast<std::uint32_t>(__builtin_popcountll(ends));
        // Four slots are written whatever the mask holds, so that prose
        // (about one line end a step) takes no branch that depends on the
        // text. A slot past the last real start is overwritten by the next
        // step's; the staging area has room for them (staging_slack). With
        // bit 63 forced on, an empty mask gives a harmless 63 in place of a
        // bit number, without a branch, and a real bit is found as it is.
        const std::uint64_t at = 2 * (base + from + 1);
        const auto staged_at = [=](std::uint64_t bit) {
          return at + 2 * bit + (lf_mode ? two_byte >> bit & 1 : 1);
        };
        for (int k = 0; k < 4; ++k) {
          slot[k] = staged_at(static_cast<std::uint64_t>(__builtin_ctzll(ends | std::uint64_t{1} << 63)));
          ends &= ends - 1;
        }
        for (int k = 4; ends != 0; ++k) {
          slot[k] = staged_at(static_cast<std::uint64_t>(__builtin_ctzll(ends)));
          ends &= ends - 1;
        }
      }
      staged += count;
      if (staged >= lines_per_block) {
        scan.staged_count = staged;
        scan.take(scan);
        staged = scan.staged_count;
      }
    }
  }
  // The stretch's last byte, for the next stretch, which may be another
  // buffer's: the loads one byte back do not keep it.
  if constexpr (!lf_mode && requires { Lanes::crlf_ends(text, from); }) {
    if (to > first) cr_before = text[to - 1] == '\r' ? 1 : 0;
  }
  scan.cr_before = cr_before;
  scan.staged_count = staged;
}

// The longest of the lines that the `count` staged starts at `staged` end,
// `previous` (staged) being the start before the first; without a branch,
// so that the compiler takes the vector lanes of the stage's instruction set.
inline std::uint64_t widest_line(const std::uint64_t* staged, std::uint32_t count, std::uint64_t previous,
                                 std::uint64_t& two_bytes_any, std::uint64_t& two_bytes_all) {
  using line_reader::detail::staged_line_length;
  if (count == 0) return 0;
  std::uint64_t widest = staged_line_length(previous, staged[0]);
  std::uint64_t any = two_bytes_any | staged[0];
  std::uint64_t all = two_bytes_all & staged[0];
  for (std::uint32_t k = 1; k < count; ++k) {
    const std::uint64_t length = staged_line_length(staged[k - 1], staged[k]);
    widest = length > widest ? length : widest;
    any |= staged[k];
    all &= staged[k];
  }
  two_bytes_any = any & 1;
  two_bytes_all = all & 1;
  return widest;
}

template <class Lanes> line_reader::detail::LineEndStages line_end_stages_of() {
  return {scan_line_ends<Lanes, false>, scan_line_ends<Lanes, true>, widest_line};
}

} // namespace
