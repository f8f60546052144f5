// Indexes a buffer by hand through the installed headers and library.
#include <line_reader/line_reader.h>
#include <line_reader/line_scan.h>

#include <cstdio>
#include <cstring>
#include <vector>

int main() {
  alignas(16) char data[64] = "one\r\ntwo\r\nthree";
  const auto size = static_cast<std::uint32_t>(std::strlen(data));
  std::vector<LineEntry> table(count_crlf(data, size) + 1);
  LineRecord record{};
  record.buffer = data;
  record.size = size;
  record.table = table.data();
  const std::uint32_t trailing = build_line_index(&record);
  const bool ok = table.size() == 3 && trailing == 1 && record.longest_line == 1 && table[2].length == 5;
  std::puts(ok ? "consumer: ok" : "consumer: wrong index");
  return ok ? 0 : 1;
}
