// Loads a saved index of a fixed gzip file whose piece of checkpoints is
// the input, with its hash and the header's written right, so that the
// fuzzer reaches the checks of the checkpoints and the decoder primed from
// them (bit positions, windows). Every line is then read: the load must
// fail with a reason, or give lines that lie inside the text; never crash.
// With LINE_READER_FUZZ_SEED set, the file's own piece is written there
// (the seed corpus).
#include <unistd.h>
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "line_reader/file_index.h"
#include "saved_form.h"

namespace {

std::string read_all(const std::string& path) {
  std::string bytes;
  std::FILE* in = std::fopen(path.c_str(), "rb");
  if (in == nullptr) std::abort();
  char buffer[65536];
  for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, in)) != 0;)
    bytes.append(buffer, got);
  std::fclose(in);
  return bytes;
}

// A text of about 300 KiB in two members, its index with checkpoints every 4 KiB,
// and that index without its piece.
struct Files {
  std::string gz;
  std::string index;
  std::string prefix;
  Files() {
    char folder[] = "/tmp/fuzz_gzip_checkpoints_XXXXXX";
    if (mkdtemp(folder) == nullptr) std::abort();
    gz = std::string(folder) + "/text.gz";
    index = std::string(folder) + "/text.idx";
    for (int member = 0; member < 2; ++member) {
      gzFile out = gzopen(gz.c_str(), member == 0 ? "wb6" : "ab1");
      // Numbers that repeat little, so that blocks end often.
      for (unsigned i = 0; i < 6000; ++i)
        gzprintf(out, "member %d line %u %08x%s", member, i, i * 2654435761u, i % 3 == 0 ? "\r\n" : "\n");
      gzclose(out);
    }
    line_reader::IndexOptions options;
    options.checkpoint_spacing = 4096;
    std::error_code error;
    line_reader::FileIndex::build(gz.c_str(), error, options).save(index.c_str(), error);
    if (error) std::abort();
    const std::string saved = read_all(index);
    SavedForm form(saved);
    const std::uint64_t piece = form.get<std::uint64_t>(108);
    prefix = saved.substr(0, saved.size() - piece);
    if (const char* seed = std::getenv("LINE_READER_FUZZ_SEED")) {
      std::FILE* out = std::fopen(seed, "wb");
      std::fwrite(saved.data() + prefix.size(), 1, piece, out);
      std::fclose(out);
    }
  }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const Files files;
  std::string piece(reinterpret_cast<const char*>(data), size);
  piece.resize((piece.size() + 7) / 8 * 8, '\0');
  if (piece.size() >= 40) {
    const std::uint64_t hash = line_reader::detail::hash_bytes(piece.data() + 40, piece.size() - 40) ^
                               line_reader::detail::hash_bytes(piece.data(), 32);
    std::memcpy(piece.data() + 32, &hash, sizeof hash);
  }
  SavedForm form(files.prefix + piece);
  form.put<std::uint64_t>(108, piece.size());
  form.rehash();
  std::FILE* out = std::fopen(files.index.c_str(), "wb");
  if (out == nullptr || std::fwrite(form.bytes().data(), 1, form.bytes().size(), out) != form.bytes().size())
    std::abort();
  std::fclose(out);
  for (const bool lazy : {false, true}) {
    line_reader::IndexOptions options;
    options.lazy = lazy;
    std::error_code error;
    const line_reader::FileIndex index =
        line_reader::FileIndex::load(files.index.c_str(), files.gz.c_str(), error, options);
    if (error) {
      if (index.line_count() != 0) std::abort();
      continue;
    }
    std::string buffer;
    for (std::uint64_t n = 1; n <= index.line_count(); n += 97) {
      const std::string_view line = index.read_line(n, buffer, error);
      if (!error && line.size() != index.span(n).length) std::abort();
    }
  }
  return 0;
}
