// Loads mutated saved indexes of a fixed text, read whole and lazily. The
// input is taken as the saved form with every hash then written right, so
// that the fuzzer reaches the structural checks behind the hashes; an
// input whose first byte is 0xFF is loaded as it is, to reach the hash
// checks too. The identity of the text is written into the others, so
// that their lookups are reached. The load must fail with a reason, or give lines that lie
// inside the file; never crash, and never allocate more than a few times
// the index's own size.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>

#include "line_reader/file_index.h"
#include "saved_form.h"

namespace {

// The text, and the index path, in a folder of the process's own.
struct Files {
  std::string text;
  std::string index;
  std::string identity; // the text's identity as a saved index holds it (bytes 16 to 72)
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
    const std::string seed = std::string(folder) + "/seed.idx";
    std::error_code error;
    line_reader::FileIndex::build(text.c_str(), error).save(seed.c_str(), error);
    std::FILE* in = std::fopen(seed.c_str(), "rb");
    char bytes[72];
    if (in == nullptr || std::fread(bytes, 1, sizeof bytes, in) != sizeof bytes) std::abort();
    std::fclose(in);
    identity.assign(bytes + 16, 56);
  }
};

// Allocations beyond this, for a saved index of the input's size, mean the
// loader trusted a size it read.
std::size_t allowed_bytes = 0;
bool allocating_too_much(std::size_t bytes) { return allowed_bytes != 0 && bytes > allowed_bytes; }

} // namespace

void* operator new(std::size_t bytes) {
  if (allocating_too_much(bytes)) std::abort();
  if (void* memory = std::malloc(bytes == 0 ? 1 : bytes)) return memory;
  throw std::bad_alloc();
}
void* operator new[](std::size_t bytes) { return operator new(bytes); }
void* operator new(std::size_t bytes, const std::nothrow_t&) noexcept {
  if (allocating_too_much(bytes)) std::abort();
  return std::malloc(bytes == 0 ? 1 : bytes);
}
void* operator new[](std::size_t bytes, const std::nothrow_t& tag) noexcept {
  return operator new(bytes, tag);
}
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete[](void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::size_t) noexcept { std::free(memory); }

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const Files files;
  const bool as_is = size != 0 && data[0] == 0xFF;
  SavedForm form(std::string(reinterpret_cast<const char*>(data) + (as_is ? 1 : 0), size - (as_is ? 1 : 0)));
  if (!as_is && form.bytes().size() >= 128) {
    // The text's own identity, so that loads reach the lookups.
    for (std::size_t k = 0; k < files.identity.size(); ++k)
      form.put<char>(16 + k, files.identity[k]);
    form.rehash();
  }
  std::FILE* out = std::fopen(files.index.c_str(), "wb");
  if (out == nullptr || std::fwrite(form.bytes().data(), 1, form.bytes().size(), out) != form.bytes().size())
    std::abort();
  std::fclose(out);
  // Whole, lazily from a view and lazily by reads, in both line-end modes.
  for (int way = 0; way < 6; ++way) {
    line_reader::IndexOptions options;
    options.ends = way % 2 == 0 ? line_reader::LineEnds::crlf : line_reader::LineEnds::lf;
    options.lazy = way >= 2;
    options.lazy_reads = way >= 4;
    std::error_code error;
    // The index's own memory, a small multiple of its saved size, and the
    // threads' buffers of the appended bytes' scan.
    allowed_bytes = 4 * form.bytes().size() + (1 << 20);
    const line_reader::FileIndex index =
        line_reader::FileIndex::load(files.index.c_str(), files.text.c_str(), error, options);
    if (error) {
      allowed_bytes = 0;
      if (index.line_count() != 0) std::abort();
      continue;
    }
    std::string buffer;
    for (std::uint64_t n = 1; n <= index.line_count(); ++n) {
      const line_reader::FileIndex::Span span = index.span(n, error);
      if (span.offset > index.indexed_bytes() || span.length > index.indexed_bytes() - span.offset)
        std::abort();
      (void)index.read_line(n, buffer, error);
    }
    allowed_bytes = 0;
  }
  return 0;
}
