#include <cstdio>
#include <line_reader/line_reader.h>
#include <line_reader/text_file.h>

int main() {
  LineRecord record{}; // all-zero: the empty record
  if (load_text_file("notes.txt", &record) == 0) return 1;

  record.command = LINE_CMD_TERMINATE; // builds the index, then NUL-ends every line
  run_line_command(&record);
  std::printf("%u lines, longest is line %u (%u bytes)\n", record.line_count, record.longest_line,
              record.longest_length);

  record.command = LINE_CMD_FETCH;
  for (record.line_number = 1; run_line_command(&record) == 1; ++record.line_number)
    std::printf("%s\n", record.current_line); // in place, inside the buffer

  record.command = LINE_CMD_RELEASE; // frees buffer and table, clears the record
  run_line_command(&record);
}
