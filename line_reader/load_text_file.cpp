#include "line_reader/text_file.h"
#include "platform/platform.h"

namespace {

// Reads exactly `size` bytes: short and interrupted reads are continued, and a
// read error or an early end of file is a failure, never zeros in place of data.
bool read_whole(line_reader::platform::Handle file, char* into, std::uint32_t size) {
  std::uint32_t done = 0;
  while (done < size) {
    std::uint32_t got = 0;
    if (!line_reader::platform::read_file(file, into + done, size - done, got) || got == 0) return false;
    done += got;
  }
  return true;
}

bool is_empty(const LineRecord& record) {
  return record.buffer_block == 0 && record.buffer == nullptr && record.size == 0 && record.heap == 0 &&
         record.table == nullptr && record.table_bytes == 0 && record.aux_handle == 0 &&
         record.command == 0 && record.line_number == 0 && record.longest_length == 0 &&
         record.longest_line == 0 && record.line_count == 0 && record.unterminated == 0 &&
         record.current_length == 0 && record.current_line == nullptr;
}

} // namespace

std::uint32_t load_text_file(const char* name, LineRecord* record) {
  // Anything else still names a buffer, a table or lines of another file.
  if (name == nullptr || record == nullptr || !is_empty(*record)) return 0;
  std::uint64_t size = 0;
  if (!line_reader::platform::find_file_size(name, size) || size > max_text_file_size) return 0;

  // The size that decides the load is the opened file's: a file renamed over
  // the name since the lookup is refused, not read as far as the old size.
  std::uint64_t opened_size = 0;
  const line_reader::platform::Handle file =
      line_reader::platform::open_regular_file_for_reading(name, opened_size);
  if (file == 0) return 0;
  if (opened_size != size) {
    line_reader::platform::close_handle(file);
    return 0;
  }

  const line_reader::platform::Handle block =
      line_reader::platform::block_allocate_zeroed(file_buffer_bytes(size));
  char* data = block == 0 ? nullptr : static_cast<char*>(line_reader::platform::block_lock(block));
  const auto size32 = static_cast<std::uint32_t>(size);
  const bool loaded = data != nullptr && read_whole(file, data, size32);
  line_reader::platform::close_handle(file);
  if (!loaded) {
    if (data != nullptr) line_reader::platform::block_unlock(block);
    if (block != 0) line_reader::platform::block_free(block);
    return 0;
  }
  record->buffer_block = block;
  record->buffer = data;
  record->size = size32;
  return 1;
}
