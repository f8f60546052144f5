#include <line_reader/file_index.h>

#include <fstream>
#include <iostream>
#include <string>

// Indexes a log, saves the index, loads it again, and follows the log as
// lines are appended to it.
int main() {
  const char* log = "app.log";
  std::ofstream(log) << "started\nlistening on port 8080\n";

  std::error_code error;
  line_reader::IndexOptions options;
  options.ends = line_reader::LineEnds::lf;
  auto index = line_reader::FileIndex::build(log, error, options);
  if (error) {
    std::cerr << log << ": " << error.message() << '\n';
    return 1;
  }
  index.save("app.log.idx", error); // whole or not at all
  index = line_reader::FileIndex::load("app.log.idx", log, error, options);
  if (error) {
    std::cerr << "app.log.idx: " << error.message() << '\n';
    return 1;
  }

  std::string buffer;
  for (int request = 1; request <= 3; ++request) {
    std::ofstream(log, std::ios::app) << "request " << request << " served\n";
    const std::uint64_t before = index.line_count();
    if (index.refresh(error) == line_reader::FileIndex::Change::replaced)
      std::cout << "(the log was replaced)\n";
    for (std::uint64_t n = before + 1; !error && n <= index.line_count(); ++n)
      std::cout << n << ": " << index.read_line(n, buffer, error) << '\n';
  }
  std::cout << index.line_count() << " lines, " << index.index_bytes() << " index bytes\n";
  return error ? 1 : 0;
}
