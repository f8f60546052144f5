#include <cstdint>
#include <limits>

#include "line_reader/line_reader.h"
#include "line_reader/line_scan.h"
#include "platform/platform.h"

namespace {

constexpr std::uint32_t failure = 0;
constexpr std::uint32_t success = 1;

// Frees what the record names and clears it. Each free's outcome is ignored:
// there is nothing a caller could do about it and the record is cleared anyway.
void release(LineRecord* record) {
  if (record->buffer != nullptr) {
    line_reader::platform::block_unlock(record->buffer_block);
    line_reader::platform::block_free(record->buffer_block);
  }
  if (record->table != nullptr) line_reader::platform::heap_free(record->heap, record->table);
  if (record->aux_handle != 0) line_reader::platform::close_handle(record->aux_handle);
  line_reader::platform::zero_memory(record, sizeof *record);
}

std::uint32_t build(LineRecord* record) {
  // A rebuild replaces the earlier index whole. The scan sets the statistics;
  // they are cleared here too so that a rebuild whose table cannot be had
  // does not show the earlier file's longest line beside a count of 0.
  if (record->table != nullptr) line_reader::platform::heap_free(record->heap, record->table);
  record->table = nullptr;
  record->table_bytes = 0;
  record->line_count = 0;
  record->longest_length = 0;
  record->longest_line = 0;
  record->unterminated = 0;

  const std::uint32_t count = count_crlf(record->buffer, record->size);
  record->heap = line_reader::platform::process_heap();
  if (record->heap == 0) return failure;

  // The table size and the request are worked out in 32 bits, as the record
  // holds them; a size that does not fit fails like a failed allocation.
  const std::uint64_t table_bytes = (std::uint64_t{count} + 1) * sizeof(LineEntry);
  constexpr std::uint64_t max_u32 = std::numeric_limits<std::uint32_t>::max();
  if (table_bytes > max_u32) return failure;
  record->table_bytes = static_cast<std::uint32_t>(table_bytes);
  if (table_bytes + 17 > max_u32) return failure;
  const auto request = static_cast<std::size_t>((table_bytes + 17) & ~std::uint64_t{15});
  record->table = static_cast<LineEntry*>(line_reader::platform::heap_allocate_zeroed(record->heap, request));
  if (record->table == nullptr) return failure;

  const std::uint32_t trailing = build_line_index(record);
  record->line_count = count + trailing;
  record->unterminated = trailing;
  return success;
}

std::uint32_t fetch(LineRecord* record) {
  if (record->line_number < 1 || record->line_number > record->line_count) return failure;
  const LineEntry& entry = record->table[record->line_number - 1];
  record->current_line = entry.start;
  record->current_length = entry.length;
  return success;
}

std::uint32_t terminate_lines(LineRecord* record) {
  const std::uint32_t ended = record->line_count - record->unterminated;
  if (ended == 0 || record->table == nullptr) return failure;
  for (std::uint32_t i = 0; i < ended; ++i) {
    char* cr = record->table[i].start + record->table[i].length;
    cr[0] = 0;
    cr[1] = 0;
  }
  return success;
}

std::uint32_t run(LineRecord* record, std::uint32_t code) {
  switch (code) {
  case LINE_CMD_BUILD: return build(record);
  case LINE_CMD_FETCH:
  case LINE_CMD_FETCH_RETURN: return fetch(record);
  case LINE_CMD_TERMINATE: return terminate_lines(record);
  case LINE_CMD_RELEASE:
  case LINE_CMD_RELEASE_ALT: release(record); return success;
  default: return failure;
  }
}

bool is_release(std::uint32_t code) { return code == LINE_CMD_RELEASE || code == LINE_CMD_RELEASE_ALT; }

std::uint32_t validated_run(LineRecord* record) {
  const std::uint32_t code = record->command;
  if (code == 0 || code > LINE_CMD_RELEASE_ALT) return failure;
  if (record->size <= 2 || record->buffer == nullptr) {
    // Too small to index, yet it may hold a loaded buffer: release still frees
    // it, so a tiny file never leaks, and still reports the failure.
    if (is_release(code)) release(record);
    return failure;
  }
  const bool needs_index =
      code == LINE_CMD_FETCH || code == LINE_CMD_FETCH_RETURN || code == LINE_CMD_TERMINATE;
  if (needs_index && record->heap == 0 && build(record) == failure) return failure;
  return run(record, code);
}

} // namespace

std::uint32_t run_line_command(LineRecord* record, LineFetch* fetched) {
  if (record == nullptr) return failure;
  const std::uint32_t code = record->command;
  const std::uint32_t result = validated_run(record);
  if (fetched != nullptr && code == LINE_CMD_FETCH_RETURN) {
    *fetched = LineFetch{record->current_line, record->current_length};
  }
  return result;
}
