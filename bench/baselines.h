// What the line reader is measured against, in the same run: the memory's
// own limit for one pass, and the usual ways of building the same table.
#pragma once

#include <cstdint>
#include <vector>

#include "line_reader/line_reader.h"

// Sums the buffer's 64-bit words: one streaming pass, the limit of one core.
std::uint64_t sum_words(const char* data, std::size_t size);

// A line table built the usual way: memchr for each LF, a check for the CR
// before it, a counting pass and then a filling pass into a table of the same
// entries. Returns the number of lines (the trailing line included).
std::uint32_t memchr_index(const char* data, std::uint32_t size, std::vector<LineEntry>& table);

// The same with a plain byte loop instead of memchr.
std::uint32_t byte_loop_index(const char* data, std::uint32_t size, std::vector<LineEntry>& table);
