// Runs the report in this process on every case that report_cases.sh wrote
// and compares its standard output byte for byte with the expected report.
// Under an emulator every process start costs about a minute, so the Windows
// build checks all its cases in one start; each case still goes through the
// platform layer's file, memory and console services with standard output
// sent to a file, as a user's redirection does.
// Usage: report_cases CASES_DIR
#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "report/report.h"

namespace fs = std::filesystem;

namespace {

std::string contents(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Runs the report with standard output sent to `file`, then puts it back.
bool report_into(const fs::path& file) {
  std::fflush(stdout);
#ifdef _WIN32
  const HANDLE out =
      CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (out == INVALID_HANDLE_VALUE) return false;
  const HANDLE saved = GetStdHandle(STD_OUTPUT_HANDLE);
  SetStdHandle(STD_OUTPUT_HANDLE, out);
  run_report();
  SetStdHandle(STD_OUTPUT_HANDLE, saved);
  CloseHandle(out);
#else
  const int out = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (out < 0) return false;
  const int saved = dup(STDOUT_FILENO);
  dup2(out, STDOUT_FILENO);
  close(out);
  run_report();
  dup2(saved, STDOUT_FILENO);
  close(saved);
#endif
  return true;
}

// The first byte where the two differ, for the failure message.
std::size_t first_difference(const std::string& a, const std::string& b) {
  return static_cast<std::size_t>(std::mismatch(a.begin(), a.end(), b.begin(), b.end()).first - a.begin());
}

} // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: report_cases CASES_DIR\n");
    return 2;
  }
  std::vector<fs::path> cases;
  for (const fs::directory_entry& entry : fs::directory_iterator(argv[1]))
    if (entry.is_directory()) cases.push_back(entry.path());
  std::sort(cases.begin(), cases.end());

  const fs::path home = fs::current_path();
  const fs::path scratch = fs::temp_directory_path() / "line_report_cases";
  unsigned passed = 0;
  unsigned failed = 0;
  for (const fs::path& case_dir : cases) {
    const std::string name = case_dir.filename().string();
    // A fresh directory holding only this case's inputs is the current one.
    const fs::path run = scratch / name;
    fs::remove_all(run);
    fs::create_directories(run.parent_path());
    fs::copy(case_dir / "run", run, fs::copy_options::recursive);
    fs::current_path(run);
    const fs::path actual_file = case_dir / "actual";
    const bool ran = report_into(actual_file);
    fs::current_path(home);
    fs::remove_all(run);

    const std::string expected = contents(case_dir / "expected");
    const std::string actual = ran ? contents(actual_file) : std::string();
    if (ran && actual == expected) {
      ++passed;
      std::printf("ok   %s\n", name.c_str());
    } else {
      ++failed;
      std::printf("FAIL %s: %s at byte %zu (expected %zu bytes, got %zu)\n", name.c_str(),
                  ran ? "output differs" : "cannot open the output file", first_difference(expected, actual),
                  expected.size(), actual.size());
    }
  }
  fs::remove_all(scratch);
  std::printf("%u passed, %u failed\n", passed, failed);
  return failed == 0 && passed != 0 ? 0 : 1;
}
