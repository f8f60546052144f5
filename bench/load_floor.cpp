// load_floor FILE: the least that any design holding a file in memory must
// do, for bench/compare.sh: memory for the file's size in huge pages, made
// present at once, and the file read into it. Prints the bytes read.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: load_floor FILE\n");
    return 2;
  }
  const int fd = open(argv[1], O_RDONLY);
  struct stat status {};
  if (fd < 0 || fstat(fd, &status) != 0) return 1;
  const auto size = static_cast<std::size_t>(status.st_size);
  void* memory = mmap(nullptr, size + 64, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) return 1;
#ifdef MADV_HUGEPAGE
  madvise(memory, size + 64, MADV_HUGEPAGE);
#endif
#ifndef MADV_POPULATE_WRITE
  constexpr int MADV_POPULATE_WRITE = 23;
#endif
  madvise(memory, size + 64, MADV_POPULATE_WRITE);
  std::size_t done = 0;
  while (done < size) {
    const ssize_t got = read(fd, static_cast<char*>(memory) + done, size - done);
    if (got <= 0) return 1;
    done += static_cast<std::size_t>(got);
  }
  std::printf("%zu\n", done);
  return 0;
}
