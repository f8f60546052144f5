// Whole-process runs for timing against other tools (bench/compare.sh):
//   index_file FILE            IndexedFile::open, then prints line_count()
//   index_file --record FILE   the record API: load_text_file and code 1
//   index_file --lf FILE       IndexedFile::open in LF mode
//   index_file --write-prose FILE BYTES   writes the benchmark's prose text
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "line_reader/indexed_file.h"
#include "line_reader/line_reader.h"
#include "line_reader/text_file.h"
#include "text_shapes.h"

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "--write-prose") == 0) {
    std::vector<char> text(std::strtoull(argv[3], nullptr, 10));
    fill_text(Shape::prose, text.data(), text.size());
    std::FILE* out = std::fopen(argv[2], "wb");
    const bool ok = out != nullptr && std::fwrite(text.data(), 1, text.size(), out) == text.size();
    if (out != nullptr) std::fclose(out);
    return ok ? 0 : 1;
  }
  if (argc == 3 && std::strcmp(argv[1], "--record") == 0) {
    LineRecord record{};
    if (load_text_file(argv[2], &record) == 0) return 1;
    record.command = LINE_CMD_BUILD;
    const std::uint32_t built = run_line_command(&record);
    std::printf("%u\n", record.line_count);
    record.command = LINE_CMD_RELEASE;
    run_line_command(&record);
    return built == 1 ? 0 : 1;
  }
  const bool lf = argc == 3 && std::strcmp(argv[1], "--lf") == 0;
  if (argc != 2 && !lf) {
    std::fprintf(stderr, "usage: index_file [--record | --lf] FILE | index_file --write-prose FILE BYTES\n");
    return 2;
  }
  std::error_code error;
  const auto file = line_reader::IndexedFile::open(
      argv[argc - 1], error, lf ? line_reader::LineEnds::lf : line_reader::LineEnds::crlf);
  if (error) {
    std::fprintf(stderr, "%s: %s\n", argv[argc - 1], error.message().c_str());
    return 1;
  }
  std::printf("%llu\n", static_cast<unsigned long long>(file.line_count()));
  return 0;
}
