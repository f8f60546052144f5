// Indexes the input with IndexedFile::copy_of and checks every line and
// statistic against a naive split. Byte 0 picks the line ends (low bit) and
// the block stage (the rest); the remaining bytes are the text.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "line_reader/indexed_file.h"
#include "line_reader/scan/variants.h"
#include "naive_split.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  using namespace line_reader;
  const LineEnds ends = data[0] & 1 ? LineEnds::lf : LineEnds::crlf;
  const auto variants = available_scan_variants();
  select_scan_variant(variants[(data[0] >> 1) % variants.size()]);
  const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
  std::error_code error;
  const IndexedFile file = IndexedFile::copy_of(text, error, ends);
  const NaiveSplit want = naive_split(text, ends);
  bool same = !error && file.line_count() == want.lines.size() && file.longest_line() == want.longest_line &&
              file.longest_length() == want.longest_length && file.text() == text;
  for (std::size_t i = 0; same && i < want.lines.size(); ++i)
    same = file.line(i + 1) == want.lines[i];
  if (!same) {
    std::fprintf(stderr, "IndexedFile differs from the naive split\n");
    std::abort();
  }
  return 0;
}
