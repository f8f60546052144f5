// load_floor [--threads N] FILE: the least that any design holding a file in
// memory must do, for bench/compare.sh: memory for the file's size in huge
// pages, made present at once, and the file read into it. With several
// threads each makes its share of the memory present and reads its share of
// the file into it with positioned reads. Prints the bytes read.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

namespace {

#ifndef MADV_POPULATE_WRITE
constexpr int MADV_POPULATE_WRITE = 23;
#endif

// Makes [from, to) of the memory present and reads the same bytes of the file into it.
bool load_range(int fd, char* memory, std::size_t from, std::size_t to) {
  // Whole huge pages, so that two threads never touch one page.
  constexpr std::size_t huge = std::size_t{2} << 20;
  const std::size_t page_from = from & ~(huge - 1);
  madvise(memory + page_from, to - page_from, MADV_POPULATE_WRITE);
  for (std::size_t done = from; done < to;) {
    const ssize_t got = pread(fd, memory + done, to - done, static_cast<off_t>(done));
    if (got <= 0) return false;
    done += static_cast<std::size_t>(got);
  }
  return true;
}

} // namespace

int main(int argc, char** argv) {
  unsigned threads = 1;
  if (argc == 4 && std::strcmp(argv[1], "--threads") == 0)
    threads = static_cast<unsigned>(std::atoi(argv[2]));
  if ((argc != 2 && argc != 4) || threads == 0) {
    std::fprintf(stderr, "usage: load_floor [--threads N] FILE\n");
    return 2;
  }
  const int fd = open(argv[argc - 1], O_RDONLY);
  struct stat status {};
  if (fd < 0 || fstat(fd, &status) != 0) return 1;
  const auto size = static_cast<std::size_t>(status.st_size);
  auto* memory = static_cast<char*>(
      mmap(nullptr, size + 64, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  if (memory == MAP_FAILED) return 1;
#ifdef MADV_HUGEPAGE
  madvise(memory, size + 64, MADV_HUGEPAGE);
#endif
  if (threads == 1) {
    madvise(memory, size + 64, MADV_POPULATE_WRITE);
    std::size_t done = 0;
    while (done < size) {
      const ssize_t got = read(fd, memory + done, size - done);
      if (got <= 0) return 1;
      done += static_cast<std::size_t>(got);
    }
    std::printf("%zu\n", done);
    return 0;
  }
  // Each thread's share ends on a huge page's edge.
  constexpr std::size_t huge = std::size_t{2} << 20;
  std::vector<std::size_t> edges(threads + 1);
  for (unsigned k = 0; k <= threads; ++k)
    edges[k] = k == threads ? size : (size / threads * k) & ~(huge - 1);
  bool ok = true;
  std::vector<std::thread> others;
  for (unsigned k = 1; k < threads; ++k)
    others.emplace_back([&, k] { ok = load_range(fd, memory, edges[k], edges[k + 1]) && ok; });
  ok = load_range(fd, memory, 0, edges[1]) && ok;
  for (auto& other : others)
    other.join();
  if (!ok) return 1;
  std::printf("%zu\n", size);
  return 0;
}
