// The closing key wait of the real program with a terminal as its input: one
// key ends it, nothing is echoed, and the terminal's settings are put back.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstring>
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

// The program in a fresh directory with a pseudo-terminal as its standard
// input, standard output a pipe, run up to its key wait.
class ProgramAtItsKeyWait {
public:
  // In a session of its own, or in a process group of its own inside this
  // process's session, where a stop signal stops it (in a new session its
  // group would be orphaned, and the kernel discards such stops).
  explicit ProgramAtItsKeyWait(int input_flags = 0, bool own_session = true) {
    if (openpty(&master_, &slave_, nullptr, nullptr, nullptr) != 0 || tcgetattr(slave_, &before_) != 0 ||
        pipe(output_) != 0)
      return;
    if (input_flags != 0) fcntl(slave_, F_SETFL, fcntl(slave_, F_GETFL) | input_flags);
    child_ = fork();
    if (child_ == 0) {
      if (own_session) {
        setsid();
      } else {
        setpgid(0, 0);
      }
      dup2(slave_, STDIN_FILENO);
      dup2(output_[1], STDOUT_FILENO);
      close(master_);
      close(output_[0]);
      if (chdir(dir_.path().c_str()) == 0) execl(LINE_REPORT_PATH, "line_report", nullptr);
      _exit(127);
    }
    close(output_[1]);
    if (!read_until(output_[0], output, "Press any key to continue ...")) return;
    // The prompt goes out before the terminal is switched; wait for the switch.
    waiting_ = switched();
  }

  // Waits up to ten seconds for the switch to an unechoed one-key read.
  bool switched() const {
    termios during{};
    for (int i = 0; i < 1000 && tcgetattr(slave_, &during) == 0 && (during.c_lflag & ICANON); ++i)
      usleep(10000);
    return !(during.c_lflag & (ICANON | ECHO));
  }
  ~ProgramAtItsKeyWait() {
    if (child_ > 0 && waitpid(child_, nullptr, WNOHANG) == 0) {
      kill(child_, SIGKILL);
      waitpid(child_, nullptr, 0);
    }
    close(master_);
    close(slave_);
    close(output_[0]);
  }

  // Switched to an unechoed one-key read, as the wait must be.
  bool waiting() const { return waiting_; }
  void type(const std::string& keys) {
    ASSERT_EQ(write(master_, keys.data(), keys.size()), ssize_t(keys.size()));
  }
  int end_status() {
    int status = -1;
    waitpid(child_, &status, 0);
    child_ = -1;
    return status;
  }
  bool still_running() { return waitpid(child_, nullptr, WNOHANG) == 0; }
  bool stopped() {
    int status = 0;
    return waitpid(child_, &status, WUNTRACED) == child_ && WIFSTOPPED(status);
  }
  pid_t pid() const { return child_; }
  bool settings_are_back() const {
    termios after{};
    return tcgetattr(slave_, &after) == 0 && same_settings(before_, after);
  }
  // Bytes that the terminal holds for the next program to read it.
  std::size_t left_for_the_next_reader() const {
    termios raw{};
    tcgetattr(slave_, &raw);
    cfmakeraw(&raw);
    raw.c_cc[VMIN] = 0;
    raw.c_cc[VTIME] = 0;
    tcsetattr(slave_, TCSANOW, &raw);
    char rest[64];
    const ssize_t n = read(slave_, rest, sizeof rest);
    tcsetattr(slave_, TCSANOW, &before_);
    return n > 0 ? static_cast<std::size_t>(n) : 0;
  }
  bool echoed() const {
    pollfd from_terminal{master_, POLLIN, 0};
    return poll(&from_terminal, 1, 0) != 0;
  }

  std::string output;
  int output_fd() const { return output_[0]; }

private:
  TempDirectory dir_;
  int master_ = -1;
  int slave_ = -1;
  int output_[2] = {-1, -1};
  pid_t child_ = -1;
  termios before_{};
  bool waiting_ = false;
};

constexpr const char* key_names[] = {"letter", "enter", "ctrl_c", "arrow", "two_byte_utf8"};

class KeyWaitOnATerminal : public testing::TestWithParam<std::string> {};

TEST_P(KeyWaitOnATerminal, OneKeyEndsItWholeAndTheSettingsComeBack) {
  ProgramAtItsKeyWait program;
  ASSERT_TRUE(program.waiting()) << program.output;
  program.type(GetParam());
  EXPECT_TRUE(read_until(program.output_fd(), program.output, "continue ...\r\n")) << program.output;
  const int status = program.end_status();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_TRUE(program.settings_are_back());
  EXPECT_FALSE(program.echoed()) << "the key was echoed";
  EXPECT_EQ(program.left_for_the_next_reader(), 0u) << "part of the key press was left for the shell";
}

// A letter, Enter, Ctrl-C (which must end the wait like any other key rather
// than end the program with the terminal left switched), an arrow key's
// escape sequence and a two-byte UTF-8 character.
INSTANTIATE_TEST_SUITE_P(Keys, KeyWaitOnATerminal, testing::Values("q", "\r", "\x03", "\x1b[A", "\xc3\xa9"),
                         [](const testing::TestParamInfo<std::string>& info) {
                           return key_names[info.index];
                         });

class KeyWaitEndedBySignal : public testing::TestWithParam<int> {};

TEST_P(KeyWaitEndedBySignal, PutsTheSettingsBackFirst) {
  ProgramAtItsKeyWait program;
  ASSERT_TRUE(program.waiting()) << program.output;
  kill(program.pid(), GetParam());
  const int status = program.end_status();
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == GetParam()) << status;
  EXPECT_TRUE(program.settings_are_back());
}

INSTANTIATE_TEST_SUITE_P(Signals, KeyWaitEndedBySignal, testing::Values(SIGTERM, SIGHUP, SIGINT, SIGQUIT),
                         [](const testing::TestParamInfo<int>& info) {
                           return std::string(sigabbrev_np(info.param));
                         });

class KeyWaitStopped : public testing::TestWithParam<int> {};

TEST_P(KeyWaitStopped, GivesTheSettingsBackAndTakesThemAgainOnContinue) {
  ProgramAtItsKeyWait program(0, false);
  ASSERT_TRUE(program.waiting()) << program.output;
  kill(program.pid(), GetParam());
  ASSERT_TRUE(program.stopped());
  EXPECT_TRUE(program.settings_are_back());
  kill(program.pid(), SIGCONT);
  EXPECT_TRUE(program.switched());
  program.type("q");
  const int status = program.end_status();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_TRUE(program.settings_are_back());
}

INSTANTIATE_TEST_SUITE_P(Signals, KeyWaitStopped, testing::Values(SIGTSTP, SIGTTIN, SIGTTOU),
                         [](const testing::TestParamInfo<int>& info) {
                           return std::string(sigabbrev_np(info.param));
                         });

TEST(KeyWait, ANonBlockingTerminalStillWaitsForTheKey) {
  ProgramAtItsKeyWait program(O_NONBLOCK);
  ASSERT_TRUE(program.waiting()) << program.output;
  usleep(200000);
  EXPECT_TRUE(program.still_running()) << "ended without a key";
  program.type("q");
  const int status = program.end_status();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_TRUE(program.settings_are_back());
}

// A job-control shell on a terminal of its own, in a child process: it
// starts the program as a job, in the foreground or the background, and
// moves it with fg and bg as a shell does.
class JobControlShell {
public:
  // Runs `scenario` as the shell, in a session whose controlling terminal
  // is a new pseudo-terminal; true when it returned true.
  static bool run(bool (*scenario)(JobControlShell&)) {
    const pid_t shell = fork();
    if (shell == 0) {
      JobControlShell self;
      _exit(self.ready() && scenario(self) ? 0 : 1);
    }
    int status = 0;
    waitpid(shell, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }

  // Starts the program as a job of its own; in the foreground when asked.
  void start(bool foreground) {
    job_ = fork();
    if (job_ == 0) {
      setpgid(0, 0);
      if (foreground) tcsetpgrp(slave_, getpid());
      // A shell starts its jobs with the stop signals at their defaults.
      signal(SIGTTOU, SIG_DFL);
      signal(SIGTTIN, SIG_DFL);
      dup2(slave_, STDIN_FILENO);
      const int null = open("/dev/null", O_WRONLY);
      dup2(null, STDOUT_FILENO);
      if (chdir(dir_.path().c_str()) == 0) execl(LINE_REPORT_PATH, "line_report", nullptr);
      _exit(127);
    }
    setpgid(job_, job_);
    if (foreground) tcsetpgrp(slave_, job_);
  }
  // Waits up to ten seconds for the job to stop.
  bool stopped() {
    for (int i = 0; i < 1000; ++i) {
      int status = 0;
      const pid_t got = waitpid(job_, &status, WUNTRACED | WNOHANG);
      if (got == job_) return WIFSTOPPED(status);
      usleep(10000);
    }
    return false;
  }
  void foreground() {
    tcsetpgrp(slave_, job_);
    kill(-job_, SIGCONT);
  }
  void take_terminal(const termios& settings) {
    tcsetpgrp(slave_, getpgrp());
    tcsetattr(slave_, TCSANOW, &settings);
  }
  void background() { kill(-job_, SIGCONT); }
  bool stopped_by(int signal_number) {
    kill(job_, signal_number);
    return stopped();
  }
  // Whether the job is still waiting after `ms`, then whether a key ends it
  // with status 0.
  bool waits_then_ends_on_a_key(int ms) {
    usleep(ms * 1000);
    if (waitpid(job_, nullptr, WNOHANG) != 0) return false;
    if (write(master_, "q", 1) != 1) return false;
    int status = 0;
    waitpid(job_, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }
  bool raw() const {
    termios now{};
    for (int i = 0; i < 1000 && tcgetattr(slave_, &now) == 0 && (now.c_lflag & ICANON); ++i)
      usleep(10000);
    return !(now.c_lflag & ICANON);
  }
  termios settings() const {
    termios now{};
    tcgetattr(slave_, &now);
    return now;
  }
  void end_job() {
    kill(-job_, SIGKILL);
    waitpid(job_, nullptr, 0);
  }

private:
  bool ready() {
    // The shell changes the terminal from the background too, as shells do.
    signal(SIGTTOU, SIG_IGN);
    return openpty(&master_, &slave_, nullptr, nullptr, nullptr) == 0 && setsid() > 0 &&
           ioctl(slave_, TIOCSCTTY, 0) == 0;
  }
  TempDirectory dir_;
  int master_ = -1;
  int slave_ = -1;
  pid_t job_ = -1;
};

// Started in the background, the program stops on SIGTTOU when it sets the
// terminal; brought to the foreground, it waits for its key.
TEST(KeyWaitAsAJob, StartedInTheBackgroundWaitsAfterFg) {
  EXPECT_TRUE(JobControlShell::run([](JobControlShell& shell) {
    shell.start(false);
    if (!shell.stopped()) return false;
    shell.foreground();
    return shell.waits_then_ends_on_a_key(300);
  }));
}

// Stopped while it waits, then continued in the background after the shell
// has taken the terminal: it never changes the shell's settings.
TEST(KeyWaitAsAJob, ContinuedInTheBackgroundLeavesTheShellsSettings) {
  EXPECT_TRUE(JobControlShell::run([](JobControlShell& shell) {
    shell.start(true);
    if (!shell.raw()) return false;
    termios shells = shell.settings();
    shells.c_lflag = (shells.c_lflag | ICANON | ECHO) & ~static_cast<tcflag_t>(IEXTEN);
    if (!shell.stopped_by(SIGTSTP)) return false;
    shell.take_terminal(shells);
    shell.background();
    // Its read from the background stops it again, for SIGTTIN.
    const bool stopped_again = shell.stopped();
    const termios after = shell.settings();
    shell.end_job();
    return stopped_again && after.c_lflag == shells.c_lflag;
  }));
}

} // namespace
