// Loads arbitrary bytes as a saved index of a fixed text: the load must fail
// with a reason or give lines that lie inside the file, never crash.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "line_reader/file_index.h"

namespace {

// The text, and the index path, in a folder of the process's own.
struct Files {
  std::string text;
  std::string index;
  Files() {
    char folder[] = "/tmp/fuzz_file_index_XXXXXX";
    if (mkdtemp(folder) == nullptr) std::abort();
    text = std::string(folder) + "/text.txt";
    index = std::string(folder) + "/text.idx";
    std::FILE* out = std::fopen(text.c_str(), "wb");
    for (int i = 0; i < 600; ++i)
      std::fprintf(out, "line %d%s", i, i % 3 == 0 ? "\r\n" : "\n");
    std::fclose(out);
    // The seeds' shape: the index of this text, as the corpus holds it.
    std::error_code error;
    line_reader::FileIndex::build(text.c_str(), error)
        .save((std::string(folder) + "/seed.idx").c_str(), error);
  }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const Files files;
  std::FILE* out = std::fopen(files.index.c_str(), "wb");
  if (out == nullptr || std::fwrite(data, 1, size, out) != size) std::abort();
  std::fclose(out);
  for (const line_reader::LineEnds ends : {line_reader::LineEnds::crlf, line_reader::LineEnds::lf}) {
    line_reader::IndexOptions options;
    options.ends = ends;
    std::error_code error;
    const line_reader::FileIndex index =
        line_reader::FileIndex::load(files.index.c_str(), files.text.c_str(), error, options);
    if (error) {
      if (index.line_count() != 0) std::abort();
      continue;
    }
    std::string buffer;
    for (std::uint64_t n = 1; n <= index.line_count(); ++n) {
      const line_reader::FileIndex::Span span = index.span(n);
      if (span.offset > index.indexed_bytes() || span.length > index.indexed_bytes() - span.offset)
        std::abort();
      (void)index.read_line(n, buffer, error);
    }
  }
  return 0;
}
