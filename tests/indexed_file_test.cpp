// The C++ owner type against the record API on the same data, and the
// reasons it gives for a failed open.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <ranges>
#include <stdexcept>
#include <string>
#include <vector>

#include "line_reader/indexed_file.h"
#include "line_record_helpers.h"
#include "temp_directory.h"

namespace {

using line_reader::IndexedFile;

static_assert(std::ranges::random_access_range<IndexedFile>);
static_assert(!std::is_copy_constructible_v<IndexedFile> &&
              std::is_nothrow_move_constructible_v<IndexedFile>);

// What the record API says of the same bytes, loaded as the loader would.
std::vector<std::string_view> record_lines(LineRecord& record) {
  std::vector<std::string_view> lines;
  while (run(record, LINE_CMD_FETCH, static_cast<std::uint32_t>(lines.size() + 1)) == 1)
    lines.emplace_back(record.current_line, record.current_length);
  return lines;
}

TEST(IndexedFile, AgreesWithTheRecordApi) {
  std::mt19937 random(11);
  std::vector<std::string> texts = {"", "ab", "a\r\n", "ab\r\ncd\r\n", "\r\n\r\nx", "one\ntwo\n", "x\r"};
  for (int i = 0; i < 60; ++i) {
    std::string text(random() % 300, 'a');
    for (char& c : text)
      c = "ab\r\n\r\n \0"[random() % 8];
    texts.push_back(text);
  }
  for (const std::string& text : texts) {
    std::error_code error;
    IndexedFile file = IndexedFile::copy_of(text, error);
    ASSERT_FALSE(error) << error.message();
    LineRecord record = record_holding(text);
    const std::vector<std::string_view> want = record_lines(record);
    EXPECT_EQ(file.line_count(), record.line_count) << text;
    EXPECT_EQ(file.longest_line(), record.longest_line) << text;
    EXPECT_EQ(file.longest_length(), record.longest_length) << text;
    EXPECT_TRUE(std::ranges::equal(file, want)) << text;

    // Moved, the lines stay where they were; the moved-from owner is empty.
    const IndexedFile moved = std::move(file);
    EXPECT_TRUE(file.empty());
    EXPECT_TRUE(std::ranges::equal(moved, want)) << text;
    if (!want.empty()) {
      EXPECT_EQ(moved.line(moved.line_count()), want.back());
    }
    EXPECT_THROW((void)moved.line(moved.line_count() + 1), std::out_of_range);
    run(record, LINE_CMD_RELEASE); // `want` views its buffer until here
  }
}

TEST(IndexedFile, NulTerminatedLinesAreCStrings) {
  std::error_code error;
  IndexedFile file = IndexedFile::copy_of("ab\r\n\r\ncd", error);
  ASSERT_TRUE(file.nul_terminate());
  for (std::string_view line : file)
    EXPECT_EQ(line.data()[line.size()], '\0');
}

TEST(IndexedFile, OpenSaysWhyItFailed) {
  TempDirectory dir;
  std::filesystem::create_directory(dir.path() / "directory");
  const std::string huge = dir.write("huge.txt", "");
  if (TempDirectory::huge_files_allowed()) std::filesystem::resize_file(huge, std::uint64_t{1} << 32);
  const struct {
    std::string name;
    line_reader::errc reason;
  } cases[] = {
      {(dir.path() / "missing.txt").string(), line_reader::errc::not_found},
      {(dir.path() / "directory").string(), line_reader::errc::not_a_regular_file},
      {huge, line_reader::errc::too_large},
  };
  for (const auto& c : cases) {
    if (c.name == huge && !TempDirectory::huge_files_allowed()) continue;
    std::error_code error;
    const IndexedFile file = IndexedFile::open(c.name.c_str(), error);
    EXPECT_EQ(error, c.reason) << c.name << ": " << error.message();
    EXPECT_TRUE(file.empty());
  }
  std::error_code error;
  const IndexedFile file = IndexedFile::open(dir.write("ok.txt", "a\r\nb").c_str(), error);
  EXPECT_FALSE(error);
  EXPECT_EQ(file.line(2), "b");
}

} // namespace
