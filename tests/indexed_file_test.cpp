// The owner type against a naive split in both line-end modes, on every
// block stage, and against the record API on the same data.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <ranges>
#include <stdexcept>
#include <string>
#include <vector>

#include "line_reader/indexed_file.h"
#include "line_reader/scan/variants.h"
#include "line_record_helpers.h"
#include "naive_split.h"
#include "temp_directory.h"

namespace {

using line_reader::IndexedFile;
using line_reader::LineEnds;
using namespace std::string_view_literals;

static_assert(std::ranges::random_access_range<IndexedFile>);
static_assert(!std::is_copy_constructible_v<IndexedFile> &&
              std::is_nothrow_move_constructible_v<IndexedFile>);

void expect_naive(const IndexedFile& file, std::string_view text, LineEnds ends, const std::string& what) {
  const NaiveSplit want = naive_split(text, ends);
  ASSERT_EQ(file.text(), text) << what;
  ASSERT_EQ(file.line_count(), want.lines.size()) << what;
  EXPECT_EQ(file.longest_line(), want.longest_line) << what;
  EXPECT_EQ(file.longest_length(), want.longest_length) << what;
  for (std::size_t i = 0; i < want.lines.size(); ++i)
    ASSERT_EQ(file.line(i + 1), want.lines[i]) << what << " line " << i + 1;
  EXPECT_TRUE(std::ranges::equal(file, want.lines)) << what;
  EXPECT_THROW((void)file.line(0), std::out_of_range) << what;
  EXPECT_THROW((void)file.line(file.line_count() + 1), std::out_of_range) << what;
}

std::string random_text(std::mt19937& random, std::size_t size) {
  std::string text(size, 'a');
  for (char& c : text)
    c = "ab\r\n\r\n \0zz"[random() % 10];
  return text;
}

// Each text through each block stage and both modes.
void expect_naive_everywhere(const std::vector<std::string>& texts) {
  const line_reader::ScanVariant selected = line_reader::selected_scan_variant();
  for (const line_reader::ScanVariant variant : line_reader::available_scan_variants()) {
    line_reader::select_scan_variant(variant);
    for (const LineEnds ends : {LineEnds::crlf, LineEnds::lf}) {
      for (const std::string& text : texts) {
        const std::string what = std::string(line_reader::scan_variant_name(variant)) +
                                 (ends == LineEnds::lf ? " lf" : " crlf") + " size " +
                                 std::to_string(text.size());
        std::error_code error;
        const IndexedFile file = IndexedFile::copy_of(text, error, ends);
        ASSERT_FALSE(error) << what << ": " << error.message();
        expect_naive(file, text, ends, what);
      }
    }
  }
  line_reader::select_scan_variant(selected);
}

TEST(IndexedFile, MatchesANaiveSplit) {
  std::mt19937 random(16);
  std::vector<std::string> texts = {
      "", "a", "\n", "\r", "ab", "\r\n", "\n\r", "a\r\nb\n", std::string("a\0\n"sv)};
  // Every size up to a few steps of the scan, and sizes around its 64-byte
  // steps and the index's 256-line blocks.
  for (std::size_t size = 0; size < 200; ++size)
    texts.push_back(random_text(random, size));
  for (const std::size_t size : {511, 512, 513, 1023, 1024, 1025, 4095, 4096, 4097})
    texts.push_back(random_text(random, size));
  // A CR LF at every place across a step's edge.
  for (std::size_t q = 56; q < 72; ++q) {
    std::string text(130, 'x');
    text[q] = '\r';
    text[q + 1] = '\n';
    texts.push_back(text);
  }
  // Lines long enough for 32-bit offsets in some blocks.
  std::string long_lines;
  for (int i = 0; i < 600; ++i)
    long_lines += std::string(i % 7 == 0 ? 70000 : 3, 'y') + (i % 2 ? "\r\n" : "\n");
  texts.push_back(long_lines);
  expect_naive_everywhere(texts);
}

TEST(IndexedFile, ALineEndAcrossThePiecesOfARead) {
  // The text arrives in pieces of 256 KiB; a CR ends one and its LF begins
  // the next, and the same near the edge.
  constexpr std::size_t piece = 256 * 1024;
  std::vector<std::string> texts;
  for (const std::size_t at : {piece - 2, piece - 1, piece, 2 * piece - 1}) {
    std::string text(2 * piece + 100, 'p');
    for (std::size_t i = 100; i < text.size(); i += 100)
      text[i] = '\n';
    text[at] = '\r';
    text[at + 1] = '\n';
    texts.push_back(text);
  }
  expect_naive_everywhere(texts);
}

TEST(IndexedFile, AgreesWithTheRecordApi) {
  // Apart from a tail that ends in LF, which the record drops and the owner
  // keeps, on any data that the record indexes.
  std::mt19937 random(11);
  for (int i = 0; i < 300; ++i) {
    const std::string text = random_text(random, 3 + random() % 300);
    std::error_code error;
    IndexedFile file = IndexedFile::copy_of(text, error);
    LineRecord record = record_holding(text);
    std::vector<std::string_view> want;
    while (run(record, LINE_CMD_FETCH, static_cast<std::uint32_t>(want.size() + 1)) == 1)
      want.emplace_back(record.current_line, record.current_length);
    EXPECT_EQ(file.longest_line(), record.longest_line) << text;
    EXPECT_EQ(file.longest_length(), record.longest_length) << text;
    const std::size_t kept_tail = file.line_count() == want.size() + 1 && text.back() == '\n' ? 1 : 0;
    ASSERT_EQ(file.line_count(), want.size() + kept_tail) << text;
    EXPECT_TRUE(std::ranges::equal(file | std::views::take(want.size()), want)) << text;

    // Moved, the lines stay where they were; the moved-from owner is empty.
    const IndexedFile moved = std::move(file);
    EXPECT_TRUE(file.empty());
    EXPECT_TRUE(std::ranges::equal(moved | std::views::take(want.size()), want)) << text;
    run(record, LINE_CMD_RELEASE); // `want` views its buffer until here
  }
}

TEST(IndexedFile, NulTerminatedLinesAreCStringsAndKeepTheirLengths) {
  for (const LineEnds ends : {LineEnds::crlf, LineEnds::lf}) {
    for (const std::string_view text : {"ab\r\n\r\ncd"sv, "a\0\nb\r\n\n\r\nlast\n"sv, "\0\r\n\r\r\n\n"sv}) {
      std::error_code error;
      IndexedFile file = IndexedFile::copy_of(std::string(text), error, ends);
      const NaiveSplit want = naive_split(text, ends);
      ASSERT_TRUE(file.nul_terminate());
      ASSERT_TRUE(file.nul_terminate()); // again changes nothing
      ASSERT_EQ(file.line_count(), want.lines.size());
      for (std::size_t i = 0; i < want.lines.size(); ++i) {
        const std::string_view line = file.line(i + 1);
        EXPECT_EQ(line, want.lines[i]) << "line " << i + 1;
        EXPECT_EQ(line.data()[line.size()], '\0') << "line " << i + 1;
      }
    }
  }
}

// A file large enough for a thread a core, with a CR LF across each share's
// first byte (shares start on 2 MiB edges) and a long line across another.
TEST(IndexedFile, OpenOnEveryCoreMatchesANaiveSplit) {
  TempDirectory dir;
  std::mt19937 random(22);
  std::string text = random_text(random, (9u << 20) + 77);
  for (std::size_t edge = 2u << 20; edge < text.size(); edge += 2u << 20) {
    text[edge - 1] = '\r';
    text[edge] = '\n';
  }
  std::fill(text.begin() + (6u << 20) - 3000, text.begin() + (6u << 20) - 2, 'w');
  const std::string path = dir.write("big.txt", text);
  for (const LineEnds ends : {LineEnds::crlf, LineEnds::lf}) {
    std::error_code error;
    const IndexedFile file = IndexedFile::open(path.c_str(), error, ends);
    ASSERT_FALSE(error) << error.message();
    expect_naive(file, text, ends, ends == LineEnds::lf ? "lf" : "crlf");
  }
}

TEST(IndexedFile, IndexMemoryPerLine) {
  // Lines shorter than 256 bytes: at most 2.1 bytes a line and a fixed 64;
  // any lines: at most 4.2 bytes a line and 64 KiB.
  for (std::size_t lines : {0u, 1u, 2u, 10u, 100u, 255u, 256u, 1000u, 5000u}) {
    std::error_code error;
    const IndexedFile file = IndexedFile::copy_of(std::string(lines * 3, '\n'), error, LineEnds::lf);
    EXPECT_LE(static_cast<double>(file.index_bytes()), 2.1 * static_cast<double>(file.line_count()) + 64)
        << file.line_count() << " lines";
  }
  std::mt19937 random(3);
  std::string prose;
  std::string long_lines;
  while (prose.size() < (8u << 20))
    prose += std::string(random() % 254, 'w') + "\r\n";
  while (long_lines.size() < (8u << 20))
    long_lines += std::string(256 + random() % 2000, 'w') + "\r\n";
  std::error_code error;
  const IndexedFile short_file = IndexedFile::copy_of(prose, error);
  EXPECT_LE(static_cast<double>(short_file.index_bytes()),
            2.1 * static_cast<double>(short_file.line_count()));
  const IndexedFile long_file = IndexedFile::copy_of(long_lines, error);
  EXPECT_LE(static_cast<double>(long_file.index_bytes()),
            4.2 * static_cast<double>(long_file.line_count()) + 65536);
}

TEST(IndexedFile, OpenSaysWhyItFailed) {
  TempDirectory dir;
  std::filesystem::create_directory(dir.path() / "directory");
  const struct {
    std::string name;
    line_reader::errc reason;
  } cases[] = {
      {(dir.path() / "missing.txt").string(), line_reader::errc::not_found},
      {(dir.path() / "missing" / "file.txt").string(), line_reader::errc::not_found},
      {(dir.path() / "directory").string(), line_reader::errc::not_a_regular_file},
      // Wildcards, which a Windows lookup would match against other files.
      {(dir.path() / "o*.txt").string(), line_reader::errc::not_found},
      {(dir.path() / "o?.txt").string(), line_reader::errc::not_found},
  };
  dir.write("ok.txt", "a\r\nb\n");
  for (const auto& c : cases) {
    std::error_code error;
    const IndexedFile file = IndexedFile::open(c.name.c_str(), error);
    EXPECT_EQ(error, c.reason) << c.name << ": " << error.message();
    EXPECT_TRUE(file.empty());
  }
  std::error_code error;
  const IndexedFile file = IndexedFile::open((dir.path() / "ok.txt").string().c_str(), error, LineEnds::lf);
  EXPECT_FALSE(error);
  EXPECT_EQ(file.line(2), "b");
}

// Iterators follow the owner's text and index across moves and swaps, as a
// vector's do.
TEST(IndexedFile, IteratorsFollowTheTextAcrossMoves) {
  std::error_code error;
  IndexedFile a = IndexedFile::copy_of("a1\r\na2\r\n", error);
  IndexedFile b = IndexedFile::copy_of("b1\r\nb2\r\nb3", error);
  const auto in_a = a.begin() + 1;
  const auto in_b = b.begin() + 2;
  std::swap(a, b);
  std::vector<IndexedFile> files;
  files.push_back(std::move(a));
  EXPECT_EQ(*in_a, "a2");
  EXPECT_EQ(*in_b, "b3");
}

} // namespace
