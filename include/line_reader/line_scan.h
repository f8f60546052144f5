// The two scanners over a loaded buffer. Both walk the data with the same
// three stages (a byte-wise head walk up to a 16-byte boundary, 32-byte
// blocks, a byte-wise tail) and so find the same CR LF pairs.
//
// A line break is the pair CR LF. The data must be followed by zero bytes:
// every stage reads at most one byte past the data. Only the head walk looks
// for NUL bytes; one there ends the scan early, and an early end records no
// trailing line.
#pragma once

#include <cstdint>

#include "line_reader/line_reader.h"

// Number of line breaks in the size bytes at data.
std::uint32_t count_crlf(const char* data, std::uint32_t size);

// Fills record->table with one entry per line, in file order, and sets
// longest_length, longest_line and unterminated from this data alone, whatever
// they held before. The table must have room for
// count_crlf(buffer, size) + 1 entries. Returns 1 when a trailing line (text
// after the last break, in data whose last byte is not LF) was recorded.
// When table_bytes states the table's size, (count + 1) * sizeof(LineEntry),
// as the build sets it, the fill may use the table's tail as scratch space
// and runs faster; with table_bytes 0 it writes only the entries.
std::uint32_t build_line_index(LineRecord* record);

// Makes `entry` the longest line when `length` is strictly greater than
// longest_length; an equal length keeps the earlier line.
void note_longest_line(LineRecord* record, std::uint32_t length, const LineEntry* entry);
