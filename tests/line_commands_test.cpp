// The command rules of run_line_command.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "line_record_helpers.h"
#include "reference_index.h"

namespace {

std::string line_at(const LineRecord& record) { return {record.current_line, record.current_length}; }

TEST(LineCommands, ValidationFailuresLeaveTheRecordByteForByte) {
  struct Case {
    const char* name;
    std::string data;
    std::uint32_t command;
  };
  const Case cases[] = {
      {"command 0", "ab\r\ncd\r\n", 0},
      {"command 7", "ab\r\ncd\r\n", 7},
      {"command 0xFFFFFFFF", "ab\r\n", ~0u},
      {"2 bytes, build", "\r\n", LINE_CMD_BUILD},
      {"2 bytes, fetch", "ab", LINE_CMD_FETCH},
      {"1 byte, terminate", "a", LINE_CMD_TERMINATE},
      {"0 bytes, fetch+return", "", LINE_CMD_FETCH_RETURN},
  };
  for (const Case& c : cases) {
    LineRecord record = record_holding(c.data);
    record.command = c.command;
    record.line_number = 1;
    const LineRecord before = record;
    EXPECT_EQ(run_line_command(&record), 0u) << c.name;
    EXPECT_EQ(std::memcmp(&before, &record, sizeof record), 0) << c.name;
    run(record, LINE_CMD_RELEASE);
  }
}

TEST(LineCommands, ReleaseOfATooSmallRecordFreesItButStillFails) {
  for (std::uint32_t code : {LINE_CMD_RELEASE, LINE_CMD_RELEASE_ALT}) {
    LineRecord record = record_holding("ab");
    EXPECT_EQ(run(record, code), 0u);
    EXPECT_TRUE(is_all_zero(record)) << code;
  }
  LineRecord empty{};
  EXPECT_EQ(run(empty, LINE_CMD_RELEASE), 0u);
  EXPECT_EQ(run_line_command(nullptr), 0u);
}

TEST(LineCommands, FetchBuildsTheIndexFirst) {
  LineRecord record = record_holding("a\r\n");
  ASSERT_EQ(run(record, LINE_CMD_FETCH, 1), 1u);
  EXPECT_NE(record.heap, 0u);
  EXPECT_EQ(record.line_count, 1u);
  EXPECT_EQ(record.unterminated, 0u);
  EXPECT_EQ(record.longest_length, 1u);
  EXPECT_EQ(record.longest_line, 1u);
  EXPECT_EQ(record.current_line, record.buffer);
  EXPECT_EQ(record.current_length, 1u);
  EXPECT_EQ(record.command, LINE_CMD_FETCH);
  run(record, LINE_CMD_RELEASE);
}

TEST(LineCommands, FetchRangeAndAnIndexedRecordIsNotRebuilt) {
  LineRecord record = record_holding("ab\r\ncde\r\nf");
  ASSERT_EQ(run(record, LINE_CMD_BUILD), 1u);
  ASSERT_EQ(record.line_count, 3u);
  EXPECT_EQ(record.table_bytes, 3 * sizeof(LineEntry));
  const LineEntry* table = record.table;

  EXPECT_EQ(run(record, LINE_CMD_FETCH, 0), 0u);
  EXPECT_EQ(record.current_line, nullptr);
  EXPECT_EQ(run(record, LINE_CMD_FETCH, 2), 1u);
  EXPECT_EQ(line_at(record), "cde");
  EXPECT_EQ(run(record, LINE_CMD_FETCH, 4), 0u);
  EXPECT_EQ(line_at(record), "cde") << "a failed fetch keeps the previous line";
  EXPECT_EQ(run(record, LINE_CMD_FETCH, 3), 1u);
  EXPECT_EQ(line_at(record), "f");
  EXPECT_EQ(record.table, table);
  run(record, LINE_CMD_RELEASE);
}

TEST(LineCommands, OutOfRangeFetchKeepsTheIndexItBuilt) {
  LineRecord record = record_holding("ab\r\n");
  EXPECT_EQ(run(record, LINE_CMD_FETCH, 2), 0u);
  EXPECT_NE(record.heap, 0u);
  EXPECT_NE(record.table, nullptr);
  EXPECT_EQ(record.line_count, 1u);
  run(record, LINE_CMD_RELEASE);
}

TEST(LineCommands, FetchReturnHandsBackWhatTheRecordHolds) {
  LineRecord record = record_holding("xy\r\nz");
  LineFetch fetched{};
  record.command = LINE_CMD_FETCH_RETURN;
  for (std::uint32_t line : {0u, 1u, 2u, 3u}) {
    record.line_number = line;
    const std::uint32_t result = run_line_command(&record, &fetched);
    EXPECT_EQ(result, line == 1 || line == 2 ? 1u : 0u) << line;
    EXPECT_EQ(fetched.line, record.current_line) << line;
    EXPECT_EQ(fetched.length, record.current_length) << line;
  }
  EXPECT_EQ(std::string(fetched.line, fetched.length), "z");
  run(record, LINE_CMD_RELEASE);
}

TEST(LineCommands, TerminateOverwritesEveryCrLfAndOnlyThose) {
  const std::string text = "ab\r\n\r\ncd\r\r\nlast";
  LineRecord record = record_holding(text);
  ASSERT_EQ(run(record, LINE_CMD_TERMINATE), 1u);
  std::string want = text;
  for (std::size_t q : {2u, 4u, 9u})
    want[q] = want[q + 1] = 0;
  EXPECT_EQ(std::string(record.buffer, record.size), want);
  ASSERT_EQ(run(record, LINE_CMD_TERMINATE), 1u) << "terminating again writes the same zeros";
  EXPECT_EQ(std::string(record.buffer, record.size), want);
  const char* lines[] = {"ab", "", "cd\r", "last"};
  for (std::uint32_t i = 0; i < 4; ++i) {
    ASSERT_EQ(run(record, LINE_CMD_FETCH, i + 1), 1u);
    EXPECT_STREQ(record.current_line, lines[i]);
  }
  run(record, LINE_CMD_RELEASE);
}

TEST(LineCommands, TerminateWithoutAnyCrLfFailsAndTouchesNothing) {
  const std::string text = "twenty bytes of text";
  LineRecord record = record_holding(text);
  EXPECT_EQ(run(record, LINE_CMD_TERMINATE), 0u);
  EXPECT_EQ(record.line_count, 1u);
  EXPECT_EQ(record.unterminated, 1u);
  EXPECT_EQ(std::string(record.buffer, record.size), text);
  run(record, LINE_CMD_RELEASE);
}

TEST(LineCommands, ReleaseClearsAndTheRecordLoadsAgain) {
  for (std::uint32_t code : {LINE_CMD_RELEASE, LINE_CMD_RELEASE_ALT}) {
    LineRecord record = record_holding("one\r\ntwo\r\n");
    ASSERT_EQ(run(record, LINE_CMD_TERMINATE), 1u);
    EXPECT_EQ(run(record, code), 1u);
    EXPECT_TRUE(is_all_zero(record));
    record = record_holding("three\r\n");
    ASSERT_EQ(run(record, LINE_CMD_FETCH, 1), 1u);
    EXPECT_STREQ(std::string(record.current_line, record.current_length).c_str(), "three");
    EXPECT_EQ(run(record, code), 1u);
  }
}

TEST(LineCommands, RebuildReplacesTheIndexAndItsStatistics) {
  LineRecord record = record_holding("longest line\r\nab\r\ntail");
  ASSERT_EQ(run(record, LINE_CMD_TERMINATE), 1u);
  EXPECT_EQ(record.longest_length, 12u);
  // The CR LF pairs are gone now: a rebuild sees a single trailing line.
  ASSERT_EQ(run(record, LINE_CMD_BUILD), 1u);
  EXPECT_EQ(record.line_count, 1u);
  EXPECT_EQ(record.unterminated, 1u);
  EXPECT_EQ(record.longest_length, 0u);
  EXPECT_EQ(record.longest_line, 0u);
  EXPECT_EQ(record.table_bytes, sizeof(LineEntry));
  run(record, LINE_CMD_RELEASE);
}

TEST(LineCommands, BuildMatchesTheReferenceOnEveryShape) {
  const std::string seeds[] = {"ab\r\ncd\r\n",
                               "ab\r\ncde",
                               "\r\r\n",
                               "\r\n\r\nx",
                               "a\nb\nc\n",
                               "x\r",
                               std::string(40, 'q') + "\r\n" + std::string(70, 'w') + "\r\nend"};
  for (const std::string& seed : seeds) {
    for (std::size_t pad = 0; pad < 40; ++pad) {
      const std::string text = std::string(pad, '.') + seed + std::string(pad % 7, ',');
      LineRecord record = record_holding(text);
      const ReferenceIndex want = reference_index(record.buffer, record.size);
      const std::uint32_t result = run(record, LINE_CMD_BUILD);
      ASSERT_EQ(result, text.size() > 2 ? 1u : 0u) << text;
      if (result == 1) {
        EXPECT_EQ(record.line_count, want.lines.size()) << text;
        EXPECT_EQ(record.longest_line, want.longest_line) << text;
        EXPECT_EQ(record.longest_length, want.longest_length) << text;
        EXPECT_EQ(record.table_bytes, (want.breaks + 1) * sizeof(LineEntry)) << text;
        for (std::uint32_t i = 0; i < record.line_count; ++i) {
          EXPECT_EQ(record.table[i].start - record.buffer, want.lines[i].offset) << text;
          EXPECT_EQ(record.table[i].length, want.lines[i].length) << text;
        }
      }
      run(record, LINE_CMD_RELEASE);
    }
  }
}

} // namespace

namespace {

TEST(LineCommands, ACallersOwnBufferIsNotFreed) {
  alignas(16) char data[64] = "mine\r\nyours";
  LineRecord record{};
  record.buffer = data;
  record.size = 11;
  ASSERT_EQ(run(record, LINE_CMD_TERMINATE), 1u);
  ASSERT_EQ(run(record, LINE_CMD_FETCH, 2), 1u);
  EXPECT_STREQ(record.current_line, "yours");
  EXPECT_EQ(run(record, LINE_CMD_RELEASE), 1u);
  EXPECT_TRUE(is_all_zero(record));
  EXPECT_STREQ(data, "mine");
}

} // namespace
