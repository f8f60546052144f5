// The platform layer on POSIX systems.
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iterator>
#include <new>

#include "platform/platform.h"

#ifdef LINE_READER_FAULT_INJECTION
#include "platform/fault_injection.h"

namespace {
struct FaultPlan {
  unsigned allocation_countdown = 0;
  unsigned fail_read_countdown = 0;
  unsigned early_end_countdown = 0;
  std::uint32_t read_limit = 0;
  void (*before_open)() = nullptr;
  unsigned after_read_countdown = 0;
  void (*after_read)() = nullptr;
  unsigned live_allocations = 0;
  unsigned open_handles = 0;
};
FaultPlan plan;

// Counts down a planned fault; true when this call is the one that fails.
bool due(unsigned& countdown) { return countdown != 0 && --countdown == 0; }
} // namespace

namespace line_reader::platform::faults {
void reset() {
  plan.allocation_countdown = plan.fail_read_countdown = plan.early_end_countdown = 0;
  plan.read_limit = 0;
  plan.before_open = nullptr;
  plan.after_read_countdown = 0;
  plan.after_read = nullptr;
}
void fail_allocation(unsigned nth) { plan.allocation_countdown = nth; }
void fail_read(unsigned nth) { plan.fail_read_countdown = nth; }
void end_read_early(unsigned nth) { plan.early_end_countdown = nth; }
void limit_read(std::uint32_t bytes) { plan.read_limit = bytes; }
void before_open(void (*action)()) { plan.before_open = action; }
void after_read(unsigned nth, void (*action)()) {
  plan.after_read_countdown = nth;
  plan.after_read = action;
}
unsigned live_allocations() { return plan.live_allocations; }
unsigned open_handles() { return plan.open_handles; }
} // namespace line_reader::platform::faults

#define FAULT_ALLOCATION_DUE() due(plan.allocation_countdown)
#define FAULT_COUNT(counter, delta) (plan.counter += (delta))
#else
#define FAULT_ALLOCATION_DUE() false
#define FAULT_COUNT(counter, delta) ((void)0)
#endif

namespace line_reader::platform {

namespace {

// Allocations this large come straight from the kernel, already zero:
// clearing them again would touch every page twice before they are filled.
constexpr std::uint64_t mapped_bytes_from = std::uint64_t{1} << 20;

// Zeroed memory from the kernel, in huge pages where it has them: a 256 MiB
// buffer then costs 128 page faults instead of 65536. The pages are made
// present at once (Linux 5.14 and later; older kernels fault them in as they
// are touched): a page-cached 1 GiB file then loaded in 175 ms, 93 ms of them
// for the pages, where faulting huge pages in during the read took 760 ms to
// 2.5 s and 4 KiB pages 615 ms.
void* map_zeroed(std::size_t bytes, bool present) {
  void* memory = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) return nullptr;
#ifdef MADV_HUGEPAGE
  madvise(memory, bytes, MADV_HUGEPAGE);
#endif
#ifndef MADV_POPULATE_WRITE
  constexpr int MADV_POPULATE_WRITE = 23;
#endif
  // Fails with ENOMEM where the memory cannot be had; it is then faulted in
  // on use, as without the advice.
  if (present) madvise(memory, bytes, MADV_POPULATE_WRITE);
  return memory;
}

// Every allocation, movable block or heap, carries how it was made in the 16
// bytes in front of it, so the memory handed out stays on a 16-byte boundary.
// Mapped memory is handed out a whole page in: reads into a page-aligned
// buffer measured two to three times as fast as into one 16 bytes off.
struct alignas(16) Prefix {
  std::size_t mapped_bytes; // 0 when the C allocator gave it
  std::size_t offset;       // from the start of the allocation
};
static_assert(alignof(std::max_align_t) >= 16, "calloc must give 16-byte boundaries");

void* allocate_zeroed(std::uint64_t bytes, bool present = true) {
  if (FAULT_ALLOCATION_DUE() || bytes > SIZE_MAX / 2) return nullptr;
  const bool mapped = bytes >= mapped_bytes_from;
  const std::size_t offset = mapped ? static_cast<std::size_t>(sysconf(_SC_PAGESIZE)) : sizeof(Prefix);
  const std::size_t total = static_cast<std::size_t>(bytes) + offset;
  auto* start = static_cast<char*>(mapped ? map_zeroed(total, present) : std::calloc(1, total));
  if (start == nullptr) return nullptr;
  char* memory = start + offset;
  *(reinterpret_cast<Prefix*>(memory) - 1) = Prefix{mapped ? total : 0, offset};
  FAULT_COUNT(live_allocations, 1);
  return memory;
}

void release(void* memory) {
  if (memory == nullptr) return;
  const Prefix prefix = *(static_cast<Prefix*>(memory) - 1);
  char* start = static_cast<char*>(memory) - prefix.offset;
  if (prefix.mapped_bytes != 0) {
    munmap(start, prefix.mapped_bytes);
  } else {
    std::free(start);
  }
  FAULT_COUNT(live_allocations, -1);
}

int descriptor(Handle handle) { return static_cast<int>(handle - 1); }
Handle handle_of(int fd) { return static_cast<Handle>(fd) + 1; }

} // namespace

// Memory never moves here: a block's handle is its address.
Handle block_allocate_zeroed(std::uint64_t bytes, bool present) {
  return reinterpret_cast<Handle>(allocate_zeroed(bytes, present));
}

void make_memory_present(void* memory, std::size_t bytes) {
#ifndef MADV_POPULATE_WRITE
  constexpr int MADV_POPULATE_WRITE = 23;
#endif
  // madvise takes whole pages: the share is widened to its pages' edges.
  const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  const auto from = reinterpret_cast<std::uintptr_t>(memory) & ~(page - 1);
  const auto to = reinterpret_cast<std::uintptr_t>(memory) + bytes;
  madvise(reinterpret_cast<void*>(from), to - from, MADV_POPULATE_WRITE);
}

void* block_lock(Handle block) { return reinterpret_cast<void*>(block); }

void block_unlock(Handle) {}

void block_free(Handle block) { release(reinterpret_cast<void*>(block)); }

// The C allocator stands in for the process heap; any non-zero token names it.
Handle process_heap() { return 1; }

void* heap_allocate_zeroed(Handle, std::size_t bytes) { return allocate_zeroed(bytes); }

void heap_free(Handle, void* memory) { release(memory); }

void zero_memory(void* memory, std::size_t bytes) { std::memset(memory, 0, bytes); }

namespace {

FileState state_of(const struct stat& status) {
  FileState state;
  state.size = static_cast<std::uint64_t>(status.st_size);
  state.modified = std::int64_t{status.st_mtim.tv_sec} * 1000000000 + status.st_mtim.tv_nsec;
  state.changed = std::int64_t{status.st_ctim.tv_sec} * 1000000000 + status.st_ctim.tv_nsec;
  state.device = static_cast<std::uint64_t>(status.st_dev);
  state.file_id = static_cast<std::uint64_t>(status.st_ino);
  state.nominal_size = status.st_blocks == 0;
  return state;
}

} // namespace

bool find_file_size(const char* name, std::uint64_t& size, OpenFailure& failure) {
  struct stat status {};
  if (stat(name, &status) != 0) {
    const int error = errno;
    failure.system_code = error;
    failure.kind = error == ENOENT || error == ENOTDIR ? OpenFailure::missing
                   : error == EACCES                   ? OpenFailure::denied
                                                       : OpenFailure::other;
    return false;
  }
  failure = OpenFailure{};
  size = static_cast<std::uint64_t>(status.st_size);
  return true;
}

Handle open_regular_file_for_reading(const char* name, FileState& state, OpenFailure& failure) {
#ifdef LINE_READER_FAULT_INJECTION
  if (plan.before_open != nullptr) plan.before_open();
#endif
  // O_NONBLOCK keeps the open itself from waiting for a FIFO's writer; the
  // type check then refuses anything that is not a regular file.
  const int fd = open(name, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    const int error = errno;
    failure.system_code = error;
    // A socket (ENXIO) or a directory without read permission (EACCES) is
    // refused for what it is, not for the permission. Running out of
    // descriptors or memory is neither.
    struct stat status {};
    if (error == ENOENT || error == ENOTDIR) {
      failure.kind = OpenFailure::missing;
    } else if ((error == ENXIO || error == EACCES || error == EPERM || error == EISDIR) &&
               stat(name, &status) == 0 && !S_ISREG(status.st_mode)) {
      failure.kind = OpenFailure::not_regular;
    } else {
      failure.kind = error == EACCES || error == EPERM ? OpenFailure::denied : OpenFailure::other;
    }
    return 0;
  }
  struct stat status {};
  if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    failure = OpenFailure{OpenFailure::not_regular, 0};
    close(fd);
    return 0;
  }
  failure = OpenFailure{};
  state = state_of(status);
  FAULT_COUNT(open_handles, 1);
  return handle_of(fd);
}

bool query_open_file(Handle file, FileState& state) {
  struct stat status {};
  if (fstat(descriptor(file), &status) != 0) return false;
  state = state_of(status);
  return true;
}

namespace {

// One read, at the file's position or at `offset`, through the fault plan
// in the test build.
bool read_once(Handle file, bool positioned, std::uint64_t offset, void* into, std::uint32_t bytes,
               std::uint32_t& got) {
  // Linux reads at most about 2 GiB at once; the caller continues short reads.
  std::size_t ask = std::min<std::size_t>(bytes, std::size_t{1} << 30);
#ifdef LINE_READER_FAULT_INJECTION
  if (due(plan.fail_read_countdown)) return false;
  if (due(plan.early_end_countdown)) {
    got = 0;
    return true;
  }
  if (plan.read_limit != 0) ask = std::min<std::size_t>(ask, plan.read_limit);
#endif
  ssize_t n = 0;
  do {
    n = positioned ? pread(descriptor(file), into, ask, static_cast<off_t>(offset))
                   : read(descriptor(file), into, ask);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return false;
  got = static_cast<std::uint32_t>(n);
#ifdef LINE_READER_FAULT_INJECTION
  if (due(plan.after_read_countdown)) plan.after_read();
#endif
  return true;
}

} // namespace

bool read_file(Handle file, void* into, std::uint32_t bytes, std::uint32_t& got) {
  return read_once(file, false, 0, into, bytes, got);
}

bool read_file_at(Handle file, std::uint64_t offset, void* into, std::uint32_t bytes, std::uint32_t& got) {
  return read_once(file, true, offset, into, bytes, got);
}

Handle open_shared_file_for_reading(const char* name, FileState& state, OpenFailure& failure) {
  // POSIX never keeps others from writing, renaming or deleting an open file.
  return open_regular_file_for_reading(name, state, failure);
}

const void* map_file_for_reading(Handle file, std::uint64_t offset, std::uint64_t bytes) {
  if (bytes == 0 || bytes > SIZE_MAX / 2 || offset % 4096 != 0 || sizeof(void*) < 8) return nullptr;
  void* view = mmap(nullptr, static_cast<std::size_t>(bytes), PROT_READ, MAP_SHARED, descriptor(file),
                    static_cast<off_t>(offset));
  if (view == MAP_FAILED) return nullptr;
  return view;
}

void unmap_file(const void* view, std::uint64_t bytes) {
  if (view != nullptr) munmap(const_cast<void*>(view), static_cast<std::size_t>(bytes));
}

void view_read_scattered(const void* view, std::uint64_t bytes) {
  if (view != nullptr) madvise(const_cast<void*>(view), static_cast<std::size_t>(bytes), MADV_RANDOM);
}

Handle create_file_for_writing(const char* name) {
  const int fd = open(name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return 0;
  FAULT_COUNT(open_handles, 1);
  return handle_of(fd);
}

bool write_file(Handle file, const void* bytes, std::size_t count) {
  const auto* from = static_cast<const char*>(bytes);
  while (count != 0) {
    const ssize_t n = write(descriptor(file), from, std::min<std::size_t>(count, std::size_t{1} << 30));
    if (n < 0 && errno == EINTR) continue;
    if (n == 0) errno = 0;
    if (n <= 0) return false;
    from += n;
    count -= static_cast<std::size_t>(n);
  }
  return true;
}

bool flush_file(Handle file) { return fsync(descriptor(file)) == 0; }

bool rename_file(const char* from, const char* to) { return rename(from, to) == 0; }

int last_failure() { return errno; }

void remove_file(const char* name) { unlink(name); }

unsigned long process_number() { return static_cast<unsigned long>(getpid()); }

std::uint64_t unique_number() {
  static std::atomic<std::uint64_t> count{0};
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  std::uint64_t mixed =
      static_cast<std::uint64_t>(now.tv_sec) * 1000000000u + static_cast<std::uint64_t>(now.tv_nsec);
  std::uint64_t random = 0;
  // A failed getrandom leaves the other sources, and the exclusive create.
  if (getrandom(&random, sizeof random, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof random)) random = 0;
  mixed ^= random ^ static_cast<std::uint64_t>(getpid()) << 40 ^ reinterpret_cast<std::uintptr_t>(&now) ^
           count.fetch_add(1) * 0x9E3779B97F4A7C15ull;
  // splitmix64's finish, so that nearby inputs give unrelated names.
  mixed = (mixed ^ mixed >> 30) * 0xBF58476D1CE4E5B9ull;
  mixed = (mixed ^ mixed >> 27) * 0x94D049BB133111EBull;
  return mixed ^ mixed >> 31;
}

unsigned usable_cores() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0)
    return static_cast<unsigned>(CPU_COUNT(&set));
  const long online = sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? static_cast<unsigned>(online) : 1;
}

std::uint64_t physical_memory() {
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long page = sysconf(_SC_PAGESIZE);
  if (pages <= 0 || page <= 0) return SIZE_MAX;
  const std::uint64_t bytes = static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page);
  return bytes < SIZE_MAX ? bytes : SIZE_MAX;
}

namespace {
struct ThreadStart {
  void (*work)(void*);
  void* context;
  pthread_t thread;
};
void* run_thread(void* start) {
  const auto* what = static_cast<ThreadStart*>(start);
  what->work(what->context);
  return nullptr;
}
} // namespace

Handle start_thread(void (*work)(void* context), void* context) {
  auto* start = new (std::nothrow) ThreadStart{work, context, {}};
  if (start == nullptr) return 0;
  if (pthread_create(&start->thread, nullptr, run_thread, start) != 0) {
    delete start;
    return 0;
  }
  return reinterpret_cast<Handle>(start);
}

void join_thread(Handle thread) {
  auto* start = reinterpret_cast<ThreadStart*>(thread);
  pthread_join(start->thread, nullptr);
  delete start;
}

void pause_milliseconds(unsigned milliseconds) {
  timespec wait{static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000};
  while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
  }
}

void close_handle(Handle handle) {
  if (handle == 0) return;
  close(descriptor(handle));
  FAULT_COUNT(open_handles, -1);
}

bool write_standard_output(const void* bytes, std::uint32_t count, std::uint32_t& written) {
  written = 0;
  for (;;) {
    const ssize_t n = write(STDOUT_FILENO, bytes, count);
    if (n >= 0) {
      written = static_cast<std::uint32_t>(n);
      return true;
    }
    if (errno == EINTR) continue;
    // An output left non-blocking by someone else: wait until it takes bytes.
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      pollfd out{STDOUT_FILENO, POLLOUT, 0};
      if (poll(&out, 1, -1) >= 0 || errno == EINTR) continue;
    }
    return false;
  }
}

void ignore_write_failure_signals() {
  signal(SIGPIPE, SIG_IGN);
  signal(SIGXFSZ, SIG_IGN);
}

namespace {

// Reads what standard input has, up to `room` bytes, waiting on an input left
// non-blocking by someone else. 0 at its end, -1 on an error.
ssize_t read_input(unsigned char* into, std::size_t room) {
  for (;;) {
    const ssize_t n = read(STDIN_FILENO, into, room);
    if (n >= 0) return n;
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
    pollfd in{STDIN_FILENO, POLLIN, 0};
    if (poll(&in, 1, -1) < 0 && errno != EINTR) return -1;
  }
}

// The terminal's settings from before the key wait, for the handlers below.
termios terminal_before_wait;

// Whether the process may set its terminal now: it is in the terminal's
// foreground, or the terminal is not its controlling terminal. Set from the
// background, the settings would be forced on the shell that has the
// terminal meanwhile.
bool may_set_terminal() {
  const pid_t group = tcgetpgrp(STDIN_FILENO);
  return group == -1 || group == getpgrp();
}

// Sets the terminal, also when a signal interrupts the call: a stop for
// SIGTTOU in the background, then the continue in the foreground.
bool set_terminal(const termios& settings) {
  int set = 0;
  do {
    set = tcsetattr(STDIN_FILENO, TCSANOW, &settings);
  } while (set != 0 && errno == EINTR);
  return set == 0;
}

// Signals whose default action ends the process. With signal keys off they
// come only from other processes, and each puts the settings back first.
constexpr int ending_signals[] = {SIGHUP,  SIGINT,  SIGQUIT,   SIGTERM, SIGALRM,
                                  SIGUSR1, SIGUSR2, SIGVTALRM, SIGPROF, SIGXCPU};
struct sigaction actions_before_wait[std::size(ending_signals)];

void put_terminal_back_and_end(int signal_number) {
  if (may_set_terminal()) tcsetattr(STDIN_FILENO, TCSANOW, &terminal_before_wait);
  // SA_RESETHAND has restored the default action: raised again, the signal
  // ends the process as it would have, with its own status.
  raise(signal_number);
}

// Sets `action` for each of `signals`, keeping the actions before in
// `before`; a signal that the process was started to ignore stays ignored
// (a shell without job control starts its programs with stops ignored).
template <std::size_t count>
void catch_signals(const int (&signals)[count], struct sigaction (&before)[count],
                   const struct sigaction& action) {
  for (std::size_t i = 0; i < count; ++i) {
    sigaction(signals[i], nullptr, &before[i]);
    if (before[i].sa_handler != SIG_IGN) sigaction(signals[i], &action, nullptr);
  }
}

template <std::size_t count>
void release_signals(const int (&signals)[count], const struct sigaction (&before)[count]) {
  for (std::size_t i = 0; i < count; ++i)
    sigaction(signals[i], &before[i], nullptr);
}

void catch_ending_signals() {
  struct sigaction action {};
  action.sa_handler = put_terminal_back_and_end;
  action.sa_flags = SA_RESETHAND;
  sigemptyset(&action.sa_mask);
  catch_signals(ending_signals, actions_before_wait, action);
}

// The settings of the wait itself, for taking them again after a stop.
termios terminal_during_wait;

// Signals that stop the process: as terminal programs do, it gives the
// terminal its settings back while it is stopped, and takes the wait's
// settings again when it goes on.
constexpr int stopping_signals[] = {SIGTSTP, SIGTTIN, SIGTTOU};
struct sigaction actions_before_stops[std::size(stopping_signals)];
struct sigaction continue_action_before_wait;

void take_wait_settings_again(int) {
  const int saved_errno = errno;
  if (may_set_terminal()) tcsetattr(STDIN_FILENO, TCSANOW, &terminal_during_wait);
  errno = saved_errno;
}

void stop_with_settings_back(int signal_number) {
  const int saved_errno = errno;
  // In the background the terminal has its shell's settings already; the
  // stop signals are blocked here, so the kernel would not stop the call.
  if (may_set_terminal()) tcsetattr(STDIN_FILENO, TCSANOW, &terminal_before_wait);
  // Stop for real: the default action, with the signal let through. Going on
  // from the stop returns here.
  struct sigaction handler {};
  sigaction(signal_number, nullptr, &handler);
  signal(signal_number, SIG_DFL);
  sigset_t just_this;
  sigemptyset(&just_this);
  sigaddset(&just_this, signal_number);
  sigprocmask(SIG_UNBLOCK, &just_this, nullptr);
  raise(signal_number);
  sigprocmask(SIG_BLOCK, &just_this, nullptr);
  sigaction(signal_number, &handler, nullptr);
  take_wait_settings_again(0);
  errno = saved_errno;
}

void catch_stops(const termios& during) {
  terminal_during_wait = during;
  struct sigaction action {};
  sigemptyset(&action.sa_mask);
  for (const int each : stopping_signals)
    sigaddset(&action.sa_mask, each);
  sigaddset(&action.sa_mask, SIGCONT);
  action.sa_handler = take_wait_settings_again;
  sigaction(SIGCONT, &action, &continue_action_before_wait);
  action.sa_handler = stop_with_settings_back;
  catch_signals(stopping_signals, actions_before_stops, action);
}

void release_stops() {
  release_signals(stopping_signals, actions_before_stops);
  sigaction(SIGCONT, &continue_action_before_wait, nullptr);
}

// Bytes that one key press can send: an arrow or function key sends an
// escape sequence, a character outside ASCII several UTF-8 bytes. They reach
// the terminal together, but a slow link may split them.
constexpr std::size_t key_bytes = 16;
constexpr int rest_of_key_ms = 30;

} // namespace

void wait_for_key() {
  unsigned char key[key_bytes];
  if (!isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &terminal_before_wait) != 0) {
    // Not a terminal: one byte, or the end of input, or an error ends the wait.
    read_input(key, 1);
    return;
  }
  // Any key counts, Ctrl-C and Ctrl-S included, so that the settings are
  // always put back: no line editing, no echo, no signals, no flow control.
  termios raw = terminal_before_wait;
  raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ISIG | IEXTEN);
  raw.c_iflag &= ~static_cast<tcflag_t>(IXON);
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  catch_ending_signals();
  catch_stops(raw);
  if (set_terminal(raw)) {
    // The whole press is taken, so that none of it is left for the shell.
    std::size_t got = 0;
    for (ssize_t n = read_input(key, key_bytes); n > 0 && got < key_bytes;) {
      got += static_cast<std::size_t>(n);
      pollfd in{STDIN_FILENO, POLLIN, 0};
      if (poll(&in, 1, rest_of_key_ms) <= 0) break;
      n = read(STDIN_FILENO, key, key_bytes);
    }
  }
  // The stops are released first: a stop between the two would take raw
  // mode again after the settings were put back.
  release_stops();
  set_terminal(terminal_before_wait);
  release_signals(ending_signals, actions_before_wait);
}

void exit_process(unsigned status) { std::exit(static_cast<int>(status)); }

} // namespace line_reader::platform
