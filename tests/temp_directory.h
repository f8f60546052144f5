// A fresh directory for one test, removed with everything in it afterwards.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <string_view>

class TempDirectory {
public:
  TempDirectory() {
    std::random_device seed;
    path_ = std::filesystem::temp_directory_path() / ("line_reader_test_" + std::to_string(seed()));
    std::filesystem::create_directories(path_);
  }
  ~TempDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDirectory(const TempDirectory&) = delete;
  TempDirectory& operator=(const TempDirectory&) = delete;

  const std::filesystem::path& path() const { return path_; }

  std::string write(const std::string& name, std::string_view bytes) const {
    const auto file = path_ / name;
    std::ofstream(file, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return file.string();
  }

  // Whether this host can hold files of 4 GiB and more: a 32-bit Windows
  // program under the user-mode emulator qemu-i386 is refused them ("File too
  // large") and then killed, so run-tests.sh sets LINE_READER_NO_HUGE_FILES
  // there. The files are sparse and take neither disk nor memory.
  static bool huge_files_allowed() { return std::getenv("LINE_READER_NO_HUGE_FILES") == nullptr; }

private:
  std::filesystem::path path_;
};
