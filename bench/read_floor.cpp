// read_floor [--threads N] FILE: the least that any design that never holds
// the text must do, for bench/compare.sh: the file read in pieces of 256
// KiB into a buffer a thread, each piece's LF bytes counted with the widest
// vector compare the processor has. One thread reads the file in order;
// several take a range each, with positioned reads. Prints the LF count.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

namespace {

constexpr std::size_t piece = 256 * 1024;

// Built for each instruction set; the loader picks the widest one here.
// Byte counters a lane, summed every 255 steps: a 64-bit sum a byte made
// the compiler widen every compare, and the floor ran slower than the
// index's own build.
__attribute__((target_clones("arch=x86-64-v4", "arch=x86-64-v3", "default"))) std::uint64_t
count_lf(const unsigned char* bytes, std::size_t count) {
  std::uint64_t total = 0;
  std::size_t i = 0;
  while (count - i >= 64) {
    unsigned char lanes[64] = {};
    const std::size_t steps = (count - i) / 64 < 255 ? (count - i) / 64 : 255;
    for (std::size_t step = 0; step < steps; ++step, i += 64) {
      for (int lane = 0; lane < 64; ++lane)
        lanes[lane] = static_cast<unsigned char>(lanes[lane] + (bytes[i + lane] == '\n'));
    }
    for (const unsigned char lane : lanes)
      total += lane;
  }
  for (; i < count; ++i)
    total += bytes[i] == '\n';
  return total;
}

std::uint64_t count_range(int fd, std::uint64_t from, std::uint64_t to, bool positioned) {
  std::vector<unsigned char> buffer(piece);
  std::uint64_t total = 0;
  for (std::uint64_t at = from; at < to;) {
    const std::size_t want = to - at < piece ? static_cast<std::size_t>(to - at) : piece;
    const ssize_t got =
        positioned ? pread(fd, buffer.data(), want, static_cast<off_t>(at)) : read(fd, buffer.data(), want);
    if (got <= 0) std::exit(1);
    total += count_lf(buffer.data(), static_cast<std::size_t>(got));
    at += static_cast<std::uint64_t>(got);
  }
  return total;
}

} // namespace

int main(int argc, char** argv) {
  unsigned threads = 1;
  if (argc == 4 && std::strcmp(argv[1], "--threads") == 0)
    threads = static_cast<unsigned>(std::atoi(argv[2]));
  if ((argc != 2 && argc != 4) || threads == 0) {
    std::fprintf(stderr, "usage: read_floor [--threads N] FILE\n");
    return 2;
  }
  const int fd = open(argv[argc - 1], O_RDONLY);
  struct stat status {};
  if (fd < 0 || fstat(fd, &status) != 0) return 1;
  const auto size = static_cast<std::uint64_t>(status.st_size);
  std::vector<std::uint64_t> counts(threads);
  std::vector<std::thread> others;
  for (unsigned k = 1; k < threads; ++k)
    others.emplace_back(
        [&, k] { counts[k] = count_range(fd, size * k / threads, size * (k + 1) / threads, true); });
  counts[0] = count_range(fd, 0, size / threads, threads > 1);
  std::uint64_t total = counts[0];
  for (unsigned k = 1; k < threads; ++k) {
    others[k - 1].join();
    total += counts[k];
  }
  std::printf("%llu\n", static_cast<unsigned long long>(total));
  return 0;
}
