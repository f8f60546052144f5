// A program with its own platform::zero_memory links beside the library.
#include <line_reader/indexed_file.h>

#include <cstddef>
#include <cstring>

namespace platform {
void zero_memory(void* memory, std::size_t bytes) { std::memset(memory, 0, bytes); }
} // namespace platform

int main() {
  char bytes[4] = {1, 2, 3, 4};
  platform::zero_memory(bytes, sizeof bytes);
  std::error_code error;
  const auto file = line_reader::IndexedFile::copy_of("one\r\ntwo", error);
  return !error && file.line_count() == 2 && bytes[3] == 0 ? 0 : 1;
}
