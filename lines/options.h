// The command line of the lines program.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace lines {

// Lines first..last, from 1; `last` is the largest number for "N-".
struct Range {
  std::uint64_t first = 1;
  std::uint64_t last = 1;
  bool to_the_end = false;
};

struct Options {
  std::string file;
  std::vector<std::string> files; // --count and --summary: every file named, `file` the first
  std::vector<Range> ranges;
  bool tail = false;
  std::uint64_t tail_lines = 0;
  bool number = false;
  bool count = false;
  bool summary = false;
  bool json = false;
  bool crlf = false;
  bool follow = false;
  bool no_cache = false;
  bool raw = false;
  bool verbose = false;
  bool offsets = false;     // each line after its byte offset, as grep -b
  std::uint64_t split = 0;  // --split=N: N parts' first and last lines, offset, length
  std::uint64_t sample = 0; // --sample=K: K distinct lines, chosen uniformly
  bool sampled = false;     // --sample was given (K may be 0)
  bool seeded = false;
  std::uint64_t seed = 0;
  bool labelled = false; // several files: each count and summary names its file
  unsigned threads = 0;
  bool help = false;
  bool version = false;
};

// Reads the range N, N-M or N-; an empty text, or the reason it is not one.
std::string parse_range(const char* text, Range& range);
// Reads the command line into `options`; an empty text, or the usage error.
std::string parse_options(int argc, char** argv, Options& options);

extern const char usage_text[];

} // namespace lines
