// Loading POSIX files that are not regular files or not readable.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "line_reader/indexed_file.h"
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

// The reason that IndexedFile::open gives an unprivileged user: root passes
// every permission check, so the open runs in a child that gives root up.
int reason_as_nobody(const std::string& path) {
  const pid_t child = fork();
  if (child == 0) {
    if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(100);
    std::error_code error;
    (void)line_reader::IndexedFile::open(path.c_str(), error);
    _exit(error.value());
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(LoadSpecialFiles, ReasonsForWhatCannotBeRead) {
  TempDirectory dir;
  chmod(dir.path().c_str(), 0755);
  std::filesystem::create_directory(dir.path() / "closed");
  const std::string inside = dir.write("closed/inside.txt", "ab\r\n");
  chmod((dir.path() / "closed").c_str(), 0);
  const std::string unreadable = dir.write("unreadable.txt", "ab\r\n");
  chmod(unreadable.c_str(), 0);
  const std::string unreadable_directory = (dir.path() / "unreadable_directory").string();
  std::filesystem::create_directory(unreadable_directory);
  chmod(unreadable_directory.c_str(), 0);
  const std::string socket_path = (dir.path() / "socket").string();
  const int listener = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, socket_path.c_str(), sizeof address.sun_path - 1);
  ASSERT_EQ(bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);

  const struct {
    std::string path;
    line_reader::errc reason;
  } cases[] = {
      {inside, line_reader::errc::no_access}, // in a folder that may not be searched
      {unreadable, line_reader::errc::no_access},
      {unreadable_directory, line_reader::errc::not_a_regular_file},
      {socket_path, line_reader::errc::not_a_regular_file},
  };
  for (const auto& c : cases)
    EXPECT_EQ(reason_as_nobody(c.path), static_cast<int>(c.reason)) << c.path;
  close(listener);
  chmod((dir.path() / "closed").c_str(), 0755);
}

// Files of the kernel's own report a size that is not what they hold (0 for
// /proc, a page for sysfs): they are read to their end, as cat does.
TEST(LoadSpecialFiles, KernelFilesAreReadToTheirEnd) {
  for (const char* name :
       {"/proc/self/mounts", "/proc/self/limits", "/sys/kernel/mm/transparent_hugepage/enabled"}) {
    std::ifstream in(name, std::ios::binary);
    if (!in) continue;
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::error_code error;
    const auto file = line_reader::IndexedFile::open(name, error, line_reader::LineEnds::lf);
    EXPECT_FALSE(error) << name << ": " << error.message();
    EXPECT_EQ(file.text(), text) << name;
    EXPECT_EQ(file.line_count(), static_cast<std::uint64_t>(std::count(text.begin(), text.end(), '\n')))
        << name;
  }
}

// Running out of descriptors is not a permission problem: the system's own
// code says what happened.
TEST(LoadSpecialFiles, NoDescriptorLeftGivesTheSystemsReason) {
  TempDirectory dir;
  const std::string path = dir.write("f.txt", "ab\r\n");
  const pid_t child = fork();
  if (child == 0) {
    // Every descriptor in use, then the open; the sanitizers' runtimes need
    // a descriptor of their own, so they get them back before the check.
    rlimit few{64, 64};
    if (setrlimit(RLIMIT_NOFILE, &few) != 0) _exit(100);
    std::vector<int> taken;
    for (int fd = dup(0); fd >= 0; fd = dup(0))
      taken.push_back(fd);
    std::error_code error;
    (void)line_reader::IndexedFile::open(path.c_str(), error);
    for (const int fd : taken)
      close(fd);
    _exit(error == std::errc::too_many_files_open && error.category() == std::system_category() ? 0 : 1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
}

} // namespace
