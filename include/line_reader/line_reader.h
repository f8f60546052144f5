// The line reader: a caller-owned command record and one entry operation.
//
// The caller loads a file into an empty LineRecord (load_text_file in
// text_file.h, or a buffer of the same form: the data followed by at least 18
// zero bytes), sets `command` (and `line_number` for fetches) and calls
// run_line_command. Results come back as 1 or 0 and in the record's fields.
//
// Limits: a file of up to 4 GiB - 34 bytes loads. The table's size
// ((line breaks + 1) * sizeof(LineEntry)) and its request (17 bytes more) are
// held in 32 bits, so data with more than 536,870,908 line breaks (8-byte
// entries, the 32-bit target) or 268,435,453 (16-byte entries, 64-bit hosts:
// 512 MiB of empty CR LF lines is enough) cannot be indexed: the build fails
// and the record reports zeros.
//
// Alignment: the scan walks byte by byte up to the first 16-byte boundary and
// stops there at a NUL byte, or when the data ends inside that walk; then no
// break after it is found and no trailing line is recorded. A loaded file
// always starts on a boundary, so this never applies to it. A buffer that the
// caller fills gives results that depend on its distance from a boundary
// unless it starts on one.
#pragma once

#include <cstdint>

// A handle or token of the platform layer; 0 never names anything.
using LineHandle = std::uintptr_t;

// One line of the table: where it starts inside the buffer and how many bytes
// it holds, its CR LF not counted.
struct LineEntry {
  char* start;
  std::uint32_t length;
};

// The command record. All-zero is the empty record and every use starts from
// it. The record owns the file buffer and the line table that its fields name
// until LINE_CMD_RELEASE (or LINE_CMD_RELEASE_ALT) frees them. A buffer that
// the caller filled in with buffer_block left 0 stays the caller's: release
// frees only the table then.
struct LineRecord {
  LineHandle buffer_block;      // memory block that holds the file data
  char* buffer;                 // first data byte, on a 16-byte boundary when loaded
  std::uint32_t size;           // number of data bytes
  LineHandle heap;              // allocator of the table; non-zero once an index exists
  LineEntry* table;             // line_count entries, file order
  std::uint32_t table_bytes;    // (line breaks found + 1) * sizeof(LineEntry)
  LineHandle aux_handle;        // closed by release when non-zero
  std::uint32_t command;        // LINE_CMD_*, set by the caller
  std::uint32_t line_number;    // line to fetch, from 1, set by the caller
  std::uint32_t longest_length; // longest line that ends in CR LF, CR LF not counted
  std::uint32_t longest_line;   // its number; 0 while no line is longer than 0
  std::uint32_t line_count;     // line breaks plus the trailing line (0 or 1)
  std::uint32_t unterminated;   // 1 when a trailing line without CR LF was recorded
  std::uint32_t current_length; // length of the last fetched line
  char* current_line;           // first byte of the last fetched line
};

#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(LineEntry) == 8, "a line entry is two 32-bit words");
static_assert(sizeof(LineRecord) == 60, "the record is fifteen 32-bit words");
#endif

// Command codes for LineRecord::command.
inline constexpr std::uint32_t LINE_CMD_BUILD = 1;        // index the buffer
inline constexpr std::uint32_t LINE_CMD_FETCH = 2;        // line line_number -> current_*
inline constexpr std::uint32_t LINE_CMD_FETCH_RETURN = 3; // as FETCH, and hand current_* back
inline constexpr std::uint32_t LINE_CMD_RELEASE = 4;      // free buffer and table, clear the record
inline constexpr std::uint32_t LINE_CMD_TERMINATE = 5;    // overwrite each CR LF with two NUL bytes
inline constexpr std::uint32_t LINE_CMD_RELEASE_ALT = 6;  // same as RELEASE

// What LINE_CMD_FETCH_RETURN hands back: the record's current_line and
// current_length as they stand when the call ends (after a failed fetch, the
// previous fetch's values, or zero).
struct LineFetch {
  char* line;
  std::uint32_t length;
};

// Runs record->command on the record and returns 1 on success, 0 on failure.
//
// Fetches and LINE_CMD_TERMINATE build the index first when none exists yet;
// a failed build fails the call. A call that fails validation (size of 2 bytes
// or fewer, a command outside 1..6, no buffer) changes nothing, except that the
// release commands still free and clear a record whose buffer is too small to
// index, so that no buffer is ever left behind. Fetched lines are addresses
// inside the buffer, NUL-terminated once LINE_CMD_TERMINATE has run, and stay
// valid until release. When `fetched` is non-null and the command is
// LINE_CMD_FETCH_RETURN, it receives current_line and current_length.
std::uint32_t run_line_command(LineRecord* record, LineFetch* fetched = nullptr);
