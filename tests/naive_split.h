// Lines split by their definitions, for the owner type's tests and fuzzing.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "line_reader/indexed_file.h"

// The lines by the definitions: a line ends at CR LF (crlf) or at LF with
// an optional CR before it (lf); the text after the last end is a line when
// it is not empty; the longest is the first of the greatest length among the
// lines that have an end.
struct NaiveSplit {
  std::vector<std::string_view> lines;
  std::uint64_t longest_line = 0;
  std::uint64_t longest_length = 0;
};

inline NaiveSplit naive_split(std::string_view text, line_reader::LineEnds ends) {
  NaiveSplit split;
  std::size_t start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\n') continue;
    const bool after_cr = i > start && text[i - 1] == '\r';
    if (ends == line_reader::LineEnds::crlf && !(i > 0 && text[i - 1] == '\r')) continue;
    const std::size_t end = after_cr ? i - 1 : i;
    split.lines.push_back(text.substr(start, end - start));
    if (end - start > split.longest_length) {
      split.longest_length = end - start;
      split.longest_line = split.lines.size();
    }
    start = i + 1;
  }
  if (start < text.size()) split.lines.push_back(text.substr(start));
  return split;
}
