// Loading a whole file into a LineRecord.
#pragma once

#include <cstdint>

#include "line_reader/line_reader.h"

// Bytes of the buffer block for `size` data bytes: size + 33 rounded down to a
// multiple of 16, so the data is followed by 18 to 33 zero bytes that the scan
// and the printing of an unterminated last line rely on.
constexpr std::uint64_t file_buffer_bytes(std::uint64_t size) { return (size + 33) & ~std::uint64_t{15}; }

// Largest file that loads: its buffer size must fit in 32 bits.
inline constexpr std::uint64_t max_text_file_size = 0xFFFFFFFFu - 33;

// Reads the regular file `name` (relative names resolve against the current
// directory) whole into a new zero-padded buffer, data on a 16-byte boundary,
// and stores buffer_block, buffer and size in `record`, which must be empty.
// Returns 1 on success. On any failure (no such file, not a regular file, too
// large, no memory, a read error or an early end of file, a record that is not
// empty) returns 0 with the record unchanged, nothing allocated and the file
// closed. Loads use process-wide state and must not overlap.
std::uint32_t load_text_file(const char* name, LineRecord* record);
