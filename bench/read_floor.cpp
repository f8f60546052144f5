// read_floor [--threads N] FILE: the least that any design that never holds
// the text must do, for bench/compare.sh: the file read in pieces of 256
// KiB into a buffer a thread, each piece's LF bytes counted with the widest
// vector compare the processor has. One thread reads the file in order;
// several take a range each, with positioned reads. Prints the LF count.
//
// read_floor --random N FILE: the least that reading N lines at random
// places costs, for bench/python_bench.py: N positioned reads of 64 bytes
// at offsets of a fixed seed, the fastest of 5 runs on one thread and on
// two (a half each). Prints both in milliseconds.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
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

// Milliseconds of the fastest of 5 runs of the reads at `offsets`, on
// `threads` threads.
double random_reads(int fd, const std::vector<std::uint64_t>& offsets, unsigned threads) {
  auto read_some = [&](std::size_t from, std::size_t to) {
    unsigned char line[64];
    for (std::size_t k = from; k < to; ++k) {
      if (pread(fd, line, sizeof line, static_cast<off_t>(offsets[k])) <= 0) std::exit(1);
    }
  };
  double best = 1e30;
  for (int run = 0; run < 5; ++run) {
    const auto start = std::chrono::steady_clock::now();
    std::thread other;
    const std::size_t half = threads > 1 ? offsets.size() / 2 : offsets.size();
    if (threads > 1) other = std::thread(read_some, half, offsets.size());
    read_some(0, half);
    if (other.joinable()) other.join();
    const std::chrono::duration<double, std::milli> spent = std::chrono::steady_clock::now() - start;
    best = spent.count() < best ? spent.count() : best;
  }
  return best;
}

} // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "--random") == 0) {
    const int fd = open(argv[3], O_RDONLY);
    struct stat status {};
    if (fd < 0 || fstat(fd, &status) != 0 || status.st_size < 64) return 1;
    std::mt19937_64 random(23);
    std::vector<std::uint64_t> offsets(static_cast<std::size_t>(std::atoll(argv[2])));
    for (std::uint64_t& offset : offsets)
      offset = random() % static_cast<std::uint64_t>(status.st_size - 64);
    std::printf("%.2f %.2f\n", random_reads(fd, offsets, 1), random_reads(fd, offsets, 2));
    return 0;
  }
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
