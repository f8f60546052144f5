// load_text_file on POSIX files that are not regular files or not readable.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "line_record_helpers.h"
#include "temp_directory.h"

namespace {

TEST(LoadSpecialFiles, AreRefusedAtOnce) {
  TempDirectory dir;
  const std::string fifo = (dir.path() / "fifo.txt").string();
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const char* names[] = {fifo.c_str(), "/dev/zero", "/dev/null"};
  for (const char* name : names) {
    LineRecord record{};
    EXPECT_EQ(load_text_file(name, &record), 0u) << name << " (a FIFO must not block)";
    EXPECT_TRUE(is_all_zero(record)) << name;
  }
}

TEST(LoadSpecialFiles, AnUnreadableFileIsRefused) {
  if (geteuid() == 0) GTEST_SKIP() << "root reads files whatever their mode";
  TempDirectory dir;
  const std::string file = dir.write("unreadable.txt", "ab\r\n");
  chmod(file.c_str(), 0);
  LineRecord record{};
  EXPECT_EQ(load_text_file(file.c_str(), &record), 0u);
  EXPECT_TRUE(is_all_zero(record));
}

} // namespace
