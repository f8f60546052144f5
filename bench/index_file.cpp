// index_file FILE: loads FILE and builds its line index, as the report does,
// and prints the line count; for timing whole runs against other tools.
// index_file --write-prose FILE BYTES: writes the benchmark's prose text.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

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
  if (argc != 2) {
    std::fprintf(stderr, "usage: index_file FILE | index_file --write-prose FILE BYTES\n");
    return 2;
  }
  LineRecord record{};
  if (load_text_file(argv[1], &record) == 0) return 1;
  record.command = LINE_CMD_BUILD;
  const std::uint32_t built = run_line_command(&record);
  std::printf("%u\n", record.line_count);
  record.command = LINE_CMD_RELEASE;
  run_line_command(&record);
  return built == 1 ? 0 : 1;
}
