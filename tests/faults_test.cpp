// Loads and builds while the platform layer fails on purpose: every
// allocation in turn, reads that fail, end early or come in small pieces.
// Each failure must give result 0, leave the record as stated, close the file
// and leak nothing, which the platform layer's live counts show.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <string>

#include "line_reader/file_index.h"
#include "line_reader/indexed_file.h"
#include "line_record_helpers.h"
#include "platform/fault_injection.h"
#include "temp_directory.h"

namespace {

using namespace line_reader::platform::faults;

class Faults : public testing::Test {
protected:
  void SetUp() override { reset(); }
  void TearDown() override {
    reset();
    EXPECT_EQ(live_allocations(), 0u) << "leaked";
    EXPECT_EQ(open_handles(), 0u) << "file left open";
  }
  TempDirectory dir;
};

std::string sample_text() {
  std::string text;
  for (int i = 0; i < 300; ++i)
    text += "line " + std::to_string(i) + "\r\n";
  return text + "last";
}

// Load, terminate (which builds), fetch every line, release: the report's road.
struct RoadResult {
  std::uint32_t loaded = 0;
  std::uint32_t terminated = 0;
  std::uint32_t fetched = 0;
  LineRecord after_terminate{};
};

RoadResult run_the_road(const std::string& file) {
  RoadResult result;
  LineRecord record{};
  result.loaded = load_text_file(file.c_str(), &record);
  result.terminated = ::run(record, LINE_CMD_TERMINATE);
  result.after_terminate = record;
  while (::run(record, LINE_CMD_FETCH, result.fetched + 1) == 1)
    ++result.fetched;
  ::run(record, LINE_CMD_RELEASE);
  EXPECT_TRUE(is_all_zero(record));
  return result;
}

TEST_F(Faults, EveryAllocationFailingInTurn) {
  const std::string file = dir.write("f.txt", sample_text());
  // The road allocates twice: the file buffer, then the line table.
  for (unsigned nth = 1; nth <= 3; ++nth) {
    fail_allocation(nth);
    const RoadResult result = run_the_road(file);
    reset();
    if (nth == 1) { // no buffer: the load fails and the record stays empty
      EXPECT_EQ(result.loaded, 0u);
      EXPECT_EQ(result.after_terminate.buffer, nullptr);
      EXPECT_EQ(result.after_terminate.size, 0u);
      EXPECT_EQ(result.after_terminate.heap, 0u);
    } else if (nth == 2) { // no table: indexed without lines, and nothing to fetch
      EXPECT_EQ(result.loaded, 1u);
      EXPECT_EQ(result.terminated, 0u);
      EXPECT_NE(result.after_terminate.heap, 0u);
      EXPECT_EQ(result.after_terminate.table, nullptr);
      EXPECT_EQ(result.after_terminate.line_count, 0u);
      EXPECT_EQ(result.fetched, 0u);
    } else { // nothing failed
      EXPECT_EQ(result.terminated, 1u);
      EXPECT_EQ(result.fetched, 301u);
    }
    EXPECT_EQ(live_allocations(), 0u) << "allocation " << nth;
    EXPECT_EQ(open_handles(), 0u) << "allocation " << nth;
  }
}

TEST_F(Faults, ARebuildWhoseTableFailsLeavesNoTable) {
  LineRecord record = record_holding(sample_text());
  ASSERT_EQ(run(record, LINE_CMD_BUILD), 1u);
  fail_allocation(1);
  EXPECT_EQ(run(record, LINE_CMD_BUILD), 0u);
  EXPECT_EQ(record.table, nullptr);
  EXPECT_EQ(record.line_count, 0u);
  EXPECT_EQ(run(record, LINE_CMD_FETCH, 1), 0u);
  EXPECT_EQ(run(record, LINE_CMD_RELEASE), 1u);
}

TEST_F(Faults, ReadsThatFailOrEndEarlyFailTheLoad) {
  const std::string text(100000, 'x');
  const std::string file = dir.write("f.txt", text);
  for (unsigned nth = 1; nth <= 3; ++nth) {
    for (bool as_error : {true, false}) {
      limit_read(40000); // three reads to get it all
      if (as_error) {
        fail_read(nth);
      } else {
        end_read_early(nth);
      }
      LineRecord record{};
      EXPECT_EQ(load_text_file(file.c_str(), &record), 0u) << nth << (as_error ? " error" : " early end");
      EXPECT_TRUE(is_all_zero(record));
      EXPECT_EQ(live_allocations(), 0u);
      EXPECT_EQ(open_handles(), 0u);
      reset();
    }
  }
}

// Another file renamed over the name between the lookup and the open: the
// size looked up is not the opened file's, and the load is refused.
std::string swapped_name;
std::string swapped_in;

TEST_F(Faults, AFileSwappedAfterTheLookupIsRefused) {
  swapped_name = dir.write("f.txt", "ab\r\ncd\r\n");
  swapped_in = dir.write("bigger.txt", sample_text());
  before_open([] { std::filesystem::rename(swapped_in, swapped_name); });
  LineRecord record{};
  EXPECT_EQ(load_text_file(swapped_name.c_str(), &record), 0u);
  EXPECT_TRUE(is_all_zero(record));
}

TEST_F(Faults, ShortReadsAreContinued) {
  const std::string text = sample_text();
  const std::string file = dir.write("f.txt", text);
  for (std::uint32_t piece : {1u, 7u, 4096u}) {
    limit_read(piece);
    LineRecord record{};
    ASSERT_EQ(load_text_file(file.c_str(), &record), 1u) << piece;
    EXPECT_EQ(std::string(record.buffer, record.size), text) << piece;
    run(record, LINE_CMD_RELEASE);
  }
}

// The owner type's open under each fault: the reason it gives, no lines,
// nothing leaked (TearDown), and whole text however short the reads are.
TEST_F(Faults, IndexedFileSaysWhyAndKeepsNothing) {
  using line_reader::errc;
  const std::string text = sample_text();
  const std::string file = dir.write("f.txt", text);
  swapped_name = file;
  swapped_in = dir.write("bigger.txt", text + text);
  const struct {
    const char* what;
    void (*plan)();
    errc reason;
  } cases[] = {
      {"no memory for the text", [] { fail_allocation(1); }, errc::no_memory},
      {"no memory for the index", [] { fail_allocation(2); }, errc::no_memory},
      {"a read error", [] { limit_read(1000), fail_read(2); }, errc::read_error},
      {"an early end", [] { limit_read(1000), end_read_early(2); }, errc::changed_while_reading},
      {"reads of 7 bytes", [] { limit_read(7); }, errc{}},
      {"reads of 100 bytes", [] { limit_read(100); }, errc{}},
      {"a file swapped after the lookup",
       [] { before_open([] { std::filesystem::rename(swapped_in, swapped_name); }); },
       errc::changed_while_reading},
  };
  for (const auto& c : cases) {
    c.plan();
    std::error_code error;
    const line_reader::IndexedFile opened = line_reader::IndexedFile::open(file.c_str(), error);
    reset();
    if (c.reason == errc{}) {
      EXPECT_FALSE(error) << c.what << ": " << error.message();
      EXPECT_EQ(opened.text(), text) << c.what;
      EXPECT_EQ(opened.line_count(), 301u) << c.what;
    } else {
      EXPECT_EQ(error, c.reason) << c.what << ": " << error.message();
      EXPECT_TRUE(opened.empty()) << c.what;
    }
  }
}

// A file rewritten in place during the read, to the same size: the text
// would hold old and new bytes.
std::string rewritten;

TEST_F(Faults, IndexedFileRewrittenDuringTheReadIsRefused) {
  const std::string text(1 << 20, 'a');
  rewritten = dir.write("f.txt", text);
  after_read(1, [] {
    std::FILE* file = std::fopen(rewritten.c_str(), "r+b");
    std::fputs("rewritten", file);
    std::fclose(file);
    // A later time than the first write's, whatever the clock's grain.
    const timespec later[2] = {{0, UTIME_OMIT}, {std::time(nullptr) + 10, 0}};
    utimensat(AT_FDCWD, rewritten.c_str(), later, 0);
  });
  std::error_code error;
  const line_reader::IndexedFile opened = line_reader::IndexedFile::open(rewritten.c_str(), error);
  EXPECT_EQ(error, line_reader::errc::changed_while_reading) << error.message();
  EXPECT_TRUE(opened.empty());
}

// The file index under each fault, built, refreshed after an append, and
// loaded: the reason, no lines, nothing left (TearDown); whole lines however
// short the reads.
TEST_F(Faults, FileIndexSaysWhyAndKeepsNothing) {
  using line_reader::errc;
  using line_reader::FileIndex;
  const std::string text = sample_text();
  const std::string file = dir.write("f.txt", text);
  const std::string saved = (dir.path() / "f.idx").string();
  line_reader::IndexOptions one_thread;
  one_thread.threads = 1;
  std::error_code error;
  FileIndex::build(file.c_str(), error, one_thread).save(saved.c_str(), error);
  ASSERT_FALSE(error);
  const struct {
    const char* what;
    void (*plan)();
    errc reason;
  } cases[] = {
      // The first read looks at the file's head for a compressed form.
      {"a read error", [] { fail_read(2); }, errc::read_error},
      {"an early end", [] { end_read_early(2); }, errc::changed_while_reading},
      {"reads of 7 bytes", [] { limit_read(7); }, errc{}},
  };
  for (const auto& c : cases) {
    c.plan();
    const FileIndex built = FileIndex::build(file.c_str(), error, one_thread);
    reset();
    EXPECT_EQ(error.value(), static_cast<int>(c.reason)) << c.what << ": " << error.message();
    EXPECT_EQ(built.line_count(), c.reason == errc{} ? 301u : 0u) << c.what;
    c.plan();
    const FileIndex loaded = FileIndex::load(saved.c_str(), file.c_str(), error, one_thread);
    reset();
    // A saved index that ends early is damaged.
    const errc wanted = c.reason == errc::changed_while_reading ? errc::bad_index : c.reason;
    EXPECT_EQ(error.value(), static_cast<int>(wanted)) << c.what << ", loaded: " << error.message();
    EXPECT_EQ(loaded.line_count(), c.reason == errc{} ? 301u : 0u) << c.what;
  }
  // Every allocation in turn, until none is left to fail.
  for (unsigned nth = 1;; ++nth) {
    fail_allocation(nth);
    const FileIndex built = FileIndex::build(file.c_str(), error, one_thread);
    reset();
    if (!error) {
      EXPECT_EQ(built.line_count(), 301u);
      break;
    }
    EXPECT_EQ(error, errc::no_memory) << "allocation " << nth << ": " << error.message();
    EXPECT_EQ(built.line_count(), 0u);
  }
  FileIndex growing = FileIndex::build(file.c_str(), error, one_thread);
  std::FILE* out = std::fopen(file.c_str(), "ab");
  std::fputs("more\r\n", out);
  std::fclose(out);
  fail_read(1);
  EXPECT_EQ(growing.refresh(error), FileIndex::Change::none);
  reset();
  EXPECT_EQ(error, errc::read_error);
  EXPECT_EQ(growing.line_count(), 301u) << "the index as it was";
  EXPECT_EQ(growing.refresh(error), FileIndex::Change::appended);
  std::string buffer;
  EXPECT_EQ(growing.read_line(301, buffer, error), "lastmore");
}

TEST_F(Faults, TinyAndEmptyFilesGiveTheirBuffersBack) {
  for (const char* text : {"", "a", "ab"}) {
    const std::string file = dir.write("tiny.txt", text);
    const RoadResult result = run_the_road(file);
    EXPECT_EQ(result.loaded, 1u) << text;
    EXPECT_EQ(result.terminated, 0u) << text;
    EXPECT_EQ(live_allocations(), 0u) << '"' << text << '"';
  }
}

} // namespace
