// load_text_file on POSIX: what loads, what is refused, and the buffer's form.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "line_record_helpers.h"
#include "temp_directory.h"

namespace {

TEST(LoadTextFile, BufferSizes) {
  EXPECT_EQ(file_buffer_bytes(0), 32u);
  EXPECT_EQ(file_buffer_bytes(15), 48u);
  EXPECT_EQ(file_buffer_bytes(16), 48u);
  EXPECT_EQ(file_buffer_bytes(31), 64u);
  EXPECT_EQ(file_buffer_bytes(32), 64u);
}

TEST(LoadTextFile, DataIsAlignedWholeAndFollowedByZeros) {
  TempDirectory dir;
  for (std::size_t size : {0u, 1u, 15u, 16u, 31u, 32u, 100u, 4097u, (1u << 20) + 3}) {
    std::string bytes(size, 0);
    for (std::size_t i = 0; i < size; ++i)
      bytes[i] = static_cast<char>(i * 131 + 7);
    const std::string file = dir.write("f.txt", bytes);
    LineRecord record{};
    ASSERT_EQ(load_text_file(file.c_str(), &record), 1u) << size;
    EXPECT_EQ(record.size, size);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(record.buffer) % 16, 0u) << size;
    EXPECT_EQ(std::memcmp(record.buffer, bytes.data(), size), 0) << size;
    for (std::uint64_t i = size; i < file_buffer_bytes(size); ++i) {
      ASSERT_EQ(record.buffer[i], 0) << "tail byte " << i << " of size " << size;
    }
    EXPECT_EQ(record.heap, 0u);
    record.command = LINE_CMD_RELEASE;
    run_line_command(&record);
  }
}

TEST(LoadTextFile, AnEmptyFileLoadsAndThenFailsEveryCommand) {
  TempDirectory dir;
  const std::string file = dir.write("empty.txt", "");
  LineRecord record{};
  ASSERT_EQ(load_text_file(file.c_str(), &record), 1u);
  EXPECT_EQ(record.size, 0u);
  for (std::uint32_t code = 1; code <= 3; ++code)
    EXPECT_EQ(run(record, code, 1), 0u);
  EXPECT_EQ(run(record, LINE_CMD_TERMINATE), 0u);
  EXPECT_EQ(run(record, LINE_CMD_RELEASE), 0u);
  EXPECT_TRUE(is_all_zero(record)) << "release still frees the buffer";
}

TEST(LoadTextFile, RefusedNamesLeaveTheRecordEmpty) {
  TempDirectory dir;
  const std::string fifo = (dir.path() / "fifo.txt").string();
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::filesystem::create_directory(dir.path() / "directory.txt");
  const std::string unreadable = dir.write("unreadable.txt", "ab\r\n");
  chmod(unreadable.c_str(), 0);
  const bool root = geteuid() == 0; // root reads files whatever their mode

  struct Case {
    const char *what;
    std::string name;
  };
  const Case cases[] = {
      {"missing", (dir.path() / "missing.txt").string()},
      {"directory", (dir.path() / "directory.txt").string()},
      {"fifo (must not block)", fifo},
      {"character device", "/dev/zero"},
      {"empty name", ""},
  };
  for (const Case &c : cases) {
    LineRecord record{};
    EXPECT_EQ(load_text_file(c.name.c_str(), &record), 0u) << c.what;
    EXPECT_TRUE(is_all_zero(record)) << c.what;
  }
  if (!root) {
    LineRecord record{};
    EXPECT_EQ(load_text_file(unreadable.c_str(), &record), 0u);
  }
  LineRecord record{};
  EXPECT_EQ(load_text_file(nullptr, &record), 0u);
}

TEST(LoadTextFile, ARecordThatHoldsABufferIsNotOverwritten) {
  TempDirectory dir;
  const std::string file = dir.write("f.txt", "ab\r\n");
  LineRecord record = record_holding("held\r\n");
  const LineRecord before = record;
  EXPECT_EQ(load_text_file(file.c_str(), &record), 0u);
  EXPECT_EQ(std::memcmp(&before, &record, sizeof record), 0);
  run(record, LINE_CMD_RELEASE);
}

TEST(LoadTextFile, AFileOverFourGibibytesIsRefusedNotTruncated) {
  // Sparse: takes neither disk nor memory. Its low 32 bits say 8 bytes.
  TempDirectory dir;
  const std::string file = dir.write("huge.txt", "");
  ASSERT_EQ(truncate(file.c_str(), (std::int64_t{1} << 32) + 8), 0);
  LineRecord record{};
  EXPECT_EQ(load_text_file(file.c_str(), &record), 0u);
  EXPECT_TRUE(is_all_zero(record));

  ASSERT_EQ(truncate(file.c_str(), max_text_file_size + 1), 0);
  EXPECT_EQ(load_text_file(file.c_str(), &record), 0u) << "size + 33 would not fit in 32 bits";
  EXPECT_TRUE(is_all_zero(record));
}

} // namespace
