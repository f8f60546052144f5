// The closing key wait of the real program with a terminal as its input: one
// key ends it, nothing is echoed, and the terminal's settings are put back.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "temp_directory.h"

namespace {

// Reads from fd until `wanted` has arrived or ten seconds pass.
bool read_until(int fd, std::string& got, const std::string& wanted) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (got.find(wanted) == std::string::npos) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    pollfd in{fd, POLLIN, 0};
    if (poll(&in, 1, 100) <= 0) continue;
    char chunk[256];
    const ssize_t n = read(fd, chunk, sizeof chunk);
    if (n <= 0) return false;
    got.append(chunk, static_cast<std::size_t>(n));
  }
  return true;
}

bool same_settings(const termios& a, const termios& b) {
  return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_lflag == b.c_lflag &&
         a.c_cc[VMIN] == b.c_cc[VMIN] && a.c_cc[VTIME] == b.c_cc[VTIME];
}

class KeyWaitOnATerminal : public testing::TestWithParam<char> {};

TEST_P(KeyWaitOnATerminal, OneKeyEndsItAndTheSettingsComeBack) {
  TempDirectory dir;
  int master = -1;
  int slave = -1;
  ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
  termios before{};
  ASSERT_EQ(tcgetattr(slave, &before), 0);
  int output[2];
  ASSERT_EQ(pipe(output), 0);

  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    setsid();
    dup2(slave, STDIN_FILENO);
    dup2(output[1], STDOUT_FILENO);
    close(master);
    close(output[0]);
    if (chdir(dir.path().c_str()) == 0) execl(LINE_REPORT_PATH, "line_report", nullptr);
    _exit(127);
  }
  close(output[1]);

  std::string got;
  ASSERT_TRUE(read_until(output[0], got, "Press any key to continue ...")) << got;
  // The prompt goes out before the terminal is switched; wait for the switch.
  termios during{};
  for (int i = 0; i < 1000 && tcgetattr(slave, &during) == 0 && (during.c_lflag & ICANON); ++i)
    usleep(10000);
  EXPECT_FALSE(during.c_lflag & (ICANON | ECHO)) << "waits for one key, unechoed";

  ASSERT_EQ(write(master, &GetParam(), 1), 1);
  EXPECT_TRUE(read_until(output[0], got, "continue ...\r\n")) << got;
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

  termios after{};
  ASSERT_EQ(tcgetattr(slave, &after), 0);
  EXPECT_TRUE(same_settings(before, after));
  pollfd echoed{master, POLLIN, 0};
  EXPECT_EQ(poll(&echoed, 1, 0), 0) << "the key was echoed";
  close(master);
  close(slave);
  close(output[0]);
}

// A letter, Enter, and Ctrl-C, which must end the wait like any other key
// rather than end the program with the terminal left switched.
INSTANTIATE_TEST_SUITE_P(Keys, KeyWaitOnATerminal, testing::Values('q', '\r', '\x03'));

} // namespace
