// The lines program's system calls on Windows, through the kernel's file,
// console and time services. Names are in the process's code page, as the
// library's are.
#include <windows.h>

#include <cstdlib>
#include <cstring>

#include "lines/system.h"
#include "platform/platform.h"

namespace lines::system {

double steady_seconds() {
  LARGE_INTEGER count{};
  LARGE_INTEGER frequency{};
  QueryPerformanceCounter(&count);
  QueryPerformanceFrequency(&frequency);
  return static_cast<double>(count.QuadPart) / static_cast<double>(frequency.QuadPart);
}

bool error_is_terminal() {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

namespace {

bool write_all(DWORD stream, const char* bytes, std::size_t count, bool& closed, std::string& reason) {
  closed = false;
  const HANDLE out = GetStdHandle(stream);
  while (count > 0) {
    DWORD put = 0;
    const DWORD ask = count > (1u << 30) ? (1u << 30) : static_cast<DWORD>(count);
    if (!WriteFile(out, bytes, ask, &put, nullptr) || put == 0) {
      const DWORD code = GetLastError();
      closed = code == ERROR_NO_DATA || code == ERROR_BROKEN_PIPE;
      reason = line_reader::platform::failure_text();
      return false;
    }
    bytes += put;
    count -= put;
  }
  return true;
}

} // namespace

bool write_output(const char* bytes, std::size_t count, bool& closed, std::string& reason) {
  return write_all(STD_OUTPUT_HANDLE, bytes, count, closed, reason);
}

void write_error(const std::string& text) {
  bool closed = false;
  std::string reason;
  (void)write_all(STD_ERROR_HANDLE, text.data(), text.size(), closed, reason);
}

// The 32-bit build reads files in pieces and holds no views of them.
int open_stream(const std::string& file, bool& is_stream, std::string&) {
  // Standard input only: named pipes are not looked for here.
  is_stream = file == "-";
  return is_stream ? 0 : -1;
}

long read_stream(int, char* into, std::size_t count, std::string& reason) {
  DWORD got = 0;
  const DWORD ask = count > (1u << 30) ? (1u << 30) : static_cast<DWORD>(count);
  if (ReadFile(GetStdHandle(STD_INPUT_HANDLE), into, ask, &got, nullptr)) return static_cast<long>(got);
  // The writer of a pipe closing its end is the stream's end.
  if (GetLastError() == ERROR_BROKEN_PIPE) return 0;
  reason = "error " + std::to_string(GetLastError());
  return -1;
}

// A pipe's reader going away is seen at the next write here.
void end_if_output_closed() {}

void prepare_process() {}

} // namespace lines::system
