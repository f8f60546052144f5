// Records that hold given bytes the way the loader would: a platform block,
// the data on a 16-byte boundary, a zero tail.
#pragma once

#include <cstring>
#include <string_view>

#include "line_reader/line_reader.h"
#include "line_reader/text_file.h"
#include "platform/platform.h"

inline LineRecord record_holding(std::string_view bytes) {
  LineRecord record{};
  record.buffer_block = line_reader::platform::block_allocate_zeroed(file_buffer_bytes(bytes.size()));
  record.buffer = static_cast<char*>(line_reader::platform::block_lock(record.buffer_block));
  record.size = static_cast<std::uint32_t>(bytes.size());
  std::memcpy(record.buffer, bytes.data(), bytes.size());
  return record;
}

inline std::uint32_t run(LineRecord& record, std::uint32_t command, std::uint32_t line_number = 0) {
  record.command = command;
  record.line_number = line_number;
  return run_line_command(&record);
}

inline bool is_all_zero(const LineRecord& record) {
  static const LineRecord empty{};
  return std::memcmp(&record, &empty, sizeof record) == 0;
}
