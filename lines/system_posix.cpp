#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "lines/system.h"
#include "platform/platform.h"

namespace lines::system {

double steady_seconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

bool error_is_terminal() { return isatty(STDERR_FILENO) == 1; }

namespace {

bool write_all(int fd, const char* bytes, std::size_t count, bool& closed, std::string& reason) {
  closed = false;
  while (count > 0) {
    const ssize_t put = write(fd, bytes, count);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) {
      closed = put < 0 && errno == EPIPE;
      reason = put < 0 ? std::strerror(errno) : "nothing was written";
      return false;
    }
    bytes += put;
    count -= static_cast<std::size_t>(put);
  }
  return true;
}

// A page of a file view that lies past the file's end now: a page of zeros
// takes its place, and the read goes on. Anything else ends the process as
// the signal would have.
void replace_vanished_page(int, siginfo_t* info, void*) {
  const int saved = errno;
  const long page = sysconf(_SC_PAGESIZE);
  void* at = reinterpret_cast<void*>(reinterpret_cast<std::uintptr_t>(info->si_addr) &
                                     ~static_cast<std::uintptr_t>(page - 1));
  if (info->si_code != BUS_ADRERR || mmap(at, static_cast<std::size_t>(page), PROT_READ,
                                          MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) == MAP_FAILED)
    signal(SIGBUS, SIG_DFL); // the fault comes again and ends the process
  errno = saved;
}

} // namespace

bool write_output(const char* bytes, std::size_t count, bool& closed, std::string& reason) {
  return write_all(STDOUT_FILENO, bytes, count, closed, reason);
}

void write_error(const std::string& text) {
  bool closed = false;
  std::string reason;
  (void)write_all(STDERR_FILENO, text.data(), text.size(), closed, reason);
}

int open_stream(const std::string& file, bool& is_stream, std::string& reason) {
  is_stream = file == "-";
  if (is_stream) return STDIN_FILENO;
  struct stat status {};
  if (stat(file.c_str(), &status) != 0 ||
      !(S_ISFIFO(status.st_mode) || S_ISCHR(status.st_mode) || S_ISSOCK(status.st_mode)))
    return -1;
  is_stream = true;
  // A FIFO's open waits for a writer, as a reader of a FIFO does.
  const int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) reason = std::strerror(errno);
  return fd;
}

long read_stream(int stream, char* into, std::size_t count, std::string& reason) {
  for (;;) {
    const ssize_t got = read(stream, into, count);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) reason = std::strerror(errno);
    return static_cast<long>(got);
  }
}

void end_if_output_closed() {
  // A pipe or socket whose reader has gone polls as an error (or hang-up)
  // for its writer; a file or terminal polls as writable.
  pollfd out{STDOUT_FILENO, 0, 0};
  if (poll(&out, 1, 0) == 1 && (out.revents & (POLLERR | POLLHUP)) != 0) raise(SIGPIPE);
}

void prepare_process() {
  signal(SIGPIPE, SIG_DFL);
  struct sigaction action {};
  action.sa_sigaction = replace_vanished_page;
  action.sa_flags = SA_SIGINFO;
  sigemptyset(&action.sa_mask);
  sigaction(SIGBUS, &action, nullptr);
}

} // namespace lines::system
