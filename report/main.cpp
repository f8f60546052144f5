// line_report: reports on testbrok.txt and testworked.txt in the current
// directory, then waits for a key. Takes no arguments; always exits with 0.
#include "platform/platform.h"
#include "report/console_output.h"
#include "report/report.h"

int main() {
  // A reader that goes away early or an output that is full must not end the
  // run or change its status.
  line_reader::platform::ignore_write_failure_signals();
  run_report();
  write_text("Press any key to continue ...");
  line_reader::platform::wait_for_key();
  write_text("\r\n");
  line_reader::platform::exit_process(0);
}
