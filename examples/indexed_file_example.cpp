#include <line_reader/indexed_file.h>
#include <line_reader/version.h>

#include <algorithm>
#include <iostream>

int main() {
  std::error_code error;
  // LineEnds::lf: every LF ends a line, with or without a CR before it.
  const auto file = line_reader::IndexedFile::open("notes.txt", error, line_reader::LineEnds::lf);
  if (error) {
    std::cerr << "notes.txt: " << error.message() << '\n';
    return 1;
  }
  std::cout << file.line_count() << " lines, longest is line " << file.longest_line() << " ("
            << file.longest_length() << " bytes), index " << file.index_bytes() << " bytes\n";
  for (std::string_view line : file)
    std::cout << line << '\n';
  const auto blank =
      std::count_if(file.begin(), file.end(), [](std::string_view line) { return line.empty(); });
  std::cout << blank << " blank, read with line_reader " << LINE_READER_VERSION << '\n';
}
