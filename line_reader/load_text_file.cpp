#include "line_reader/load_file.h"
#include "line_reader/text_file.h"
#include "platform/platform.h"

namespace line_reader::detail {

namespace {

// Reads exactly `size` bytes: short and interrupted reads are continued, and a
// read error or an early end of file is a failure, never zeros in place of data.
errc read_whole(platform::Handle file, char* into, std::uint32_t size) {
  std::uint32_t done = 0;
  while (done < size) {
    std::uint32_t got = 0;
    if (!platform::read_file(file, into + done, size - done, got)) return errc::read_error;
    if (got == 0) return errc::changed_while_reading;
    done += got;
  }
  return errc{};
}

bool is_empty(const LineRecord& record) {
  return record.buffer_block == 0 && record.buffer == nullptr && record.size == 0 && record.heap == 0 &&
         record.table == nullptr && record.table_bytes == 0 && record.aux_handle == 0 &&
         record.command == 0 && record.line_number == 0 && record.longest_length == 0 &&
         record.longest_line == 0 && record.line_count == 0 && record.unterminated == 0 &&
         record.current_length == 0 && record.current_line == nullptr;
}

// A zero-filled buffer of the loader's form for `size` data bytes, locked.
char* new_buffer(std::uint64_t size, platform::Handle& block) {
  block = platform::block_allocate_zeroed(file_buffer_bytes(size));
  char* data = block == 0 ? nullptr : static_cast<char*>(platform::block_lock(block));
  if (data == nullptr && block != 0) {
    platform::block_free(block);
    block = 0;
  }
  return data;
}

void free_buffer(platform::Handle block) {
  platform::block_unlock(block);
  platform::block_free(block);
}

} // namespace

std::error_code reason_for(const platform::OpenFailure& failure) noexcept {
  switch (failure.kind) {
  case platform::OpenFailure::missing: return errc::not_found;
  case platform::OpenFailure::not_regular: return errc::not_a_regular_file;
  case platform::OpenFailure::denied: return errc::no_access;
  default: return {failure.system_code, std::system_category()};
  }
}

std::error_code open_text_file(const char* name, std::uint64_t max_size, platform::Handle& file,
                               platform::FileState& state) {
  platform::OpenFailure failure;
  std::uint64_t found_size = 0;
  if (name == nullptr) return errc::not_found;
  if (!platform::find_file_size(name, found_size, failure)) return reason_for(failure);
  if (found_size > max_size) return errc::too_large;

  // The size that decides the load is the opened file's: a file renamed over
  // the name since the lookup is refused, not read as far as the old size.
  file = platform::open_regular_file_for_reading(name, state, failure);
  // Gone since the lookup found it: replaced, not missing.
  if (file == 0)
    return failure.kind == platform::OpenFailure::missing ? errc::changed_while_reading : reason_for(failure);
  if (state.size != found_size) {
    platform::close_handle(file);
    file = 0;
    return errc::changed_while_reading;
  }
  return {};
}

std::error_code load_file(const char* name, LineRecord* record) {
  // Anything but the empty record still names a buffer, a table or lines of
  // another file.
  if (record == nullptr || !is_empty(*record)) return errc::no_access;
  platform::Handle file = 0;
  platform::FileState state;
  if (const std::error_code opened = open_text_file(name, max_text_file_size, file, state)) return opened;

  platform::Handle block = 0;
  char* data = new_buffer(state.size, block);
  const auto size32 = static_cast<std::uint32_t>(state.size);
  const errc read = data == nullptr ? errc::no_memory : read_whole(file, data, size32);
  platform::close_handle(file);
  if (read != errc{}) {
    if (data != nullptr) free_buffer(block);
    return read;
  }
  record->buffer_block = block;
  record->buffer = data;
  record->size = size32;
  return {};
}

} // namespace line_reader::detail

std::uint32_t load_text_file(const char* name, LineRecord* record) {
  return line_reader::detail::load_file(name, record) ? 0 : 1;
}
