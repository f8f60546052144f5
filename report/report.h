// The report on the two fixed files.
#pragma once

#include "line_reader/line_reader.h"

// The texts written after one file's three statistics.
struct FileTexts {
  const char* after_line_count;
  const char* after_longest_line;
  const char* after_longest_length;
};

// One file's report: its line count, longest line and that line's length,
// each followed by its text, then every line followed by CR LF. A file that is
// missing, unreadable or too small reports three zeros and no lines. Uses
// `record` from empty and leaves it empty.
void report_file(LineRecord& record, const char* name, const FileTexts& texts);

// The reports on "testbrok.txt" and "testworked.txt", in that order, from
// the current directory.
void run_report();
