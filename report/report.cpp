#include "report/report.h"

#include "line_reader/text_file.h"
#include "platform/platform.h"
#include "report/console_output.h"

namespace {

constexpr const char* line_end = "\r\n";

// Counts are unsigned: on a 64-bit build a line can pass 2^31 - 1 bytes, and
// its size must not print as a negative number.
void write_count(std::uint32_t value, const char* text) {
  char digits[decimal_text_bytes];
  format_unsigned_decimal(value, digits);
  write_text(digits);
  write_text(text);
}

} // namespace

void report_file(LineRecord& record, const char* name, const FileTexts& texts) {
  line_reader::platform::zero_memory(&record, sizeof record);
  // Neither result matters here: a record that did not load stays empty and
  // reports zeros, and a failed build leaves zeros too.
  load_text_file(name, &record);
  record.command = LINE_CMD_TERMINATE;
  run_line_command(&record);

  write_count(record.line_count, texts.after_line_count);
  write_count(record.longest_line, texts.after_longest_line);
  write_count(record.longest_length, texts.after_longest_length);

  record.command = LINE_CMD_FETCH;
  for (;;) {
    ++record.line_number;
    if (run_line_command(&record) == 0) break;
    write_text(record.current_line);
    write_text(line_end);
  }

  record.command = LINE_CMD_RELEASE;
  run_line_command(&record);
}

void run_report() {
  LineRecord record{};
  report_file(record, "testbrok.txt",
              {"  line count of testbrok.txt\r\n", "  line number with the largest size\r\n",
               "  size max for a line\r\n"});
  report_file(record, "testworked.txt",
              {"  line count of testworked.txt\r\n", " line number with the largest size\r\n",
               " size max for a line\r\n"});
}
