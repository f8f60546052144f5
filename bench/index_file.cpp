// Whole-process runs for timing against other tools (bench/compare.sh):
//   index_file FILE            IndexedFile::open, then prints line_count()
//   index_file --record FILE   the record API: load_text_file and code 1
//   index_file --lf FILE       IndexedFile::open in LF mode
//   index_file --write-prose FILE BYTES [PIECE]   writes the benchmark's prose text, PIECE bytes
//                                      a write (4096: as a logger writes; default: all at once)
//   index_file --file-index [--threads N] FILE   FileIndex::build, then prints line_count()
//   index_file --file-index-mapped FILE   the same, read through a view of the file
//   index_file --save INDEX FILE       FileIndex::build, then save
//   index_file --load INDEX FILE N     FileIndex::load (every piece read and checked), then prints line N
//   index_file --load-mapped INDEX FILE N   the same, served from a view of the saved index
//   index_file --load-lazy INDEX FILE N   from a view, each piece checked when the lookup needs it
//   index_file --lookup-bytes INDEX FILE N   the saved index dropped from the page cache, a lazy
//                                      load and line N, then the saved index's bytes that came in
//   index_file --time-refresh FILE     in one process: the build, then refresh after each of
//                                      five appends of 1 MiB, then the slowest of 100 refreshes
//                                      after one-line appends (it appends to FILE); in ms
//   index_file --time-sample INDEX FILE   in one process: a load and 1,000 random lines read,
//                                      lazily and eagerly (mapped); medians of 5 in ms
//   index_file --time-read-line FILE   in one process: read_line on 100,000 random lines beside
//                                      a bare positioned read of the same bytes; ns each
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "line_reader/file_index.h"

#include "line_reader/indexed_file.h"
#include "line_reader/line_reader.h"
#include "line_reader/text_file.h"
#include "text_shapes.h"

namespace {

using Clock = std::chrono::steady_clock;
double ms_since(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}
double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

int fail(const char* what, const std::error_code& error) {
  std::fprintf(stderr, "%s: %s\n", what, error.message().c_str());
  return 1;
}

// The file index's own modes.
int file_index_mode(int argc, char** argv) {
  using line_reader::FileIndex;
  std::error_code error;
  const std::string mode = argv[1];
  if (mode == "--file-index" || mode == "--file-index-mapped") {
    line_reader::IndexOptions options;
    options.mapped = mode == "--file-index-mapped";
    if (argc == 5 && std::strcmp(argv[2], "--threads") == 0)
      options.threads = static_cast<unsigned>(std::atoi(argv[3]));
    const FileIndex index = FileIndex::build(argv[argc - 1], error, options);
    if (error) return fail(argv[argc - 1], error);
    std::printf("%llu\n", static_cast<unsigned long long>(index.line_count()));
    return 0;
  }
  if (mode == "--save" && argc == 4) {
    FileIndex::build(argv[3], error).save(argv[2], error);
    return error ? fail(argv[2], error) : 0;
  }
  if ((mode == "--load" || mode == "--load-lazy" || mode == "--load-mapped") && argc == 5) {
    line_reader::IndexOptions options;
    options.lazy = mode == "--load-lazy";
    options.mapped = mode == "--load-mapped";
    const FileIndex index = FileIndex::load(argv[2], argv[3], error, options);
    if (error) return fail(argv[2], error);
    std::string buffer;
    const std::string_view line = index.read_line(std::strtoull(argv[4], nullptr, 10), buffer, error);
    if (error) return fail(argv[3], error);
    std::printf("%.*s\n", static_cast<int>(line.size()), line.data());
    return 0;
  }
  if (mode == "--time-refresh" && argc == 3) {
    auto start = Clock::now();
    FileIndex index = FileIndex::build(argv[2], error);
    const double build = ms_since(start);
    if (error) return fail(argv[2], error);
    std::vector<char> more(std::size_t{1} << 20);
    fill_text(Shape::prose, more.data(), more.size());
    std::vector<double> refreshes;
    for (int i = 0; i < 5; ++i) {
      std::FILE* out = std::fopen(argv[2], "ab");
      if (out == nullptr || std::fwrite(more.data(), 1, more.size(), out) != more.size()) return 1;
      std::fclose(out);
      start = Clock::now();
      if (index.refresh(error) != FileIndex::Change::appended) return fail(argv[2], error);
      refreshes.push_back(ms_since(start));
    }
    std::printf("build %.1f ms, refresh after 1 MiB appended %.2f ms (median of 5), ratio %.4f\n", build,
                median(refreshes), median(refreshes) / build);
    // A log's lines one at a time: every 32nd refresh joins a range.
    double slowest = 0;
    refreshes.clear();
    for (int i = 0; i < 100; ++i) {
      std::FILE* out = std::fopen(argv[2], "ab");
      if (out == nullptr || std::fprintf(out, "appended line %d\n", i) < 0) return 1;
      std::fclose(out);
      start = Clock::now();
      if (index.refresh(error) != FileIndex::Change::appended) return fail(argv[2], error);
      refreshes.push_back(ms_since(start));
      slowest = std::max(slowest, refreshes.back());
    }
    std::printf(
        "refresh after a one-line append: median %.3f ms, slowest of 100 %.3f ms, ratio to the build %.4f\n",
        median(refreshes), slowest, slowest / build);
    return 0;
  }
  if (mode == "--time-sample" && argc == 4) {
    std::mt19937_64 random(1000);
    std::vector<double> lazy_ms;
    std::vector<double> eager_ms;
    std::string buffer;
    for (int round = 0; round < 6; ++round) {
      for (const bool lazy : {true, false}) {
        line_reader::IndexOptions options;
        options.lazy = lazy;
        options.mapped = !lazy;
        const auto start = Clock::now();
        const FileIndex index = FileIndex::load(argv[2], argv[3], error, options);
        if (error) return fail(argv[2], error);
        for (int k = 0; k < 1000; ++k)
          (void)index.read_line(1 + random() % index.line_count(), buffer, error);
        if (error) return fail(argv[3], error);
        if (round > 0) (lazy ? lazy_ms : eager_ms).push_back(ms_since(start));
      }
    }
    std::printf("load and 1,000 random lines: lazy %.2f ms, eager (mapped) %.2f ms, ratio %.3f\n",
                median(lazy_ms), median(eager_ms), median(lazy_ms) / median(eager_ms));
    return 0;
  }
  if (mode == "--lookup-bytes" && argc == 5) {
    const int fd = open(argv[2], O_RDONLY);
    if (fd < 0) return 1;
    const off_t size = lseek(fd, 0, SEEK_END);
    (void)fdatasync(fd);
    (void)posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    {
      line_reader::IndexOptions options;
      options.lazy = true;
      const FileIndex index = FileIndex::load(argv[2], argv[3], error, options);
      if (error) return fail(argv[2], error);
      std::string buffer;
      (void)index.read_line(std::strtoull(argv[4], nullptr, 10), buffer, error);
      if (error) return fail(argv[3], error);
    }
    void* view = mmap(nullptr, static_cast<std::size_t>(size), PROT_READ, MAP_SHARED, fd, 0);
    const std::size_t pages = (static_cast<std::size_t>(size) + 4095) / 4096;
    std::vector<unsigned char> resident(pages);
    if (view == MAP_FAILED || mincore(view, static_cast<std::size_t>(size), resident.data()) != 0) return 1;
    std::size_t in = 0;
    for (const unsigned char page : resident)
      in += page & 1;
    std::printf("saved index %lld bytes; after a lazy load and one lookup %zu KiB of it in the page cache\n",
                static_cast<long long>(size), in * 4);
    return 0;
  }
  if (mode == "--time-read-line" && argc == 3) {
    const FileIndex index = FileIndex::build(argv[2], error);
    if (error) return fail(argv[2], error);
    std::mt19937_64 random(7);
    std::vector<std::uint64_t> numbers(100000);
    for (auto& n : numbers)
      n = 1 + random() % index.line_count();
    const int fd = open(argv[2], O_RDONLY);
    std::string buffer;
    std::vector<char> bare(1 << 20);
    std::uint64_t bytes = 0;
    // Each way twice, the second timed: the same lines, page-cached.
    double with_index = 0;
    double bare_read = 0;
    for (int round = 0; round < 2; ++round) {
      auto start = Clock::now();
      for (const std::uint64_t n : numbers)
        bytes += index.read_line(n, buffer, error).size();
      with_index = ms_since(start);
      start = Clock::now();
      for (const std::uint64_t n : numbers) {
        const FileIndex::Span span = index.span(n);
        bytes +=
            static_cast<std::uint64_t>(pread(fd, bare.data(), span.length, static_cast<off_t>(span.offset)));
      }
      bare_read = ms_since(start);
    }
    const double each = 1e6 / static_cast<double>(numbers.size());
    std::printf("read_line %.0f ns, bare pread of the same bytes %.0f ns, ratio %.2f (%llu bytes)\n",
                with_index * each, bare_read * each, with_index / bare_read,
                static_cast<unsigned long long>(bytes));
    return error ? 1 : 0;
  }
  std::fprintf(stderr, "index_file: bad usage of %s\n", argv[1]);
  return 2;
}

} // namespace

int main(int argc, char** argv) {
  if (argc >= 3 && std::strncmp(argv[1], "--file-index", 12) == 0) return file_index_mode(argc, argv);
  if (argc >= 3 && (std::strcmp(argv[1], "--save") == 0 || std::strncmp(argv[1], "--load", 6) == 0 ||
                    std::strcmp(argv[1], "--lookup-bytes") == 0 || std::strncmp(argv[1], "--time-", 7) == 0))
    return file_index_mode(argc, argv);
  if ((argc == 4 || argc == 5) && std::strcmp(argv[1], "--write-prose") == 0) {
    std::vector<char> text(std::strtoull(argv[3], nullptr, 10));
    fill_text(Shape::prose, text.data(), text.size());
    // How a file enters the page cache decides how fast a view of it reads
    // later: a log is written a little at a time.
    const std::size_t piece = argc == 5 ? std::strtoull(argv[4], nullptr, 10) : text.size();
    const int fd = open(argv[2], O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0644);
    bool ok = fd >= 0;
    for (std::size_t at = 0; ok && at < text.size();) {
      const ssize_t put = write(fd, text.data() + at, std::min(piece, text.size() - at));
      ok = put > 0;
      if (ok) at += static_cast<std::size_t>(put);
    }
    if (fd >= 0) close(fd);
    return ok ? 0 : 1;
  }
  if (argc == 3 && std::strcmp(argv[1], "--record") == 0) {
    LineRecord record{};
    if (load_text_file(argv[2], &record) == 0) return 1;
    record.command = LINE_CMD_BUILD;
    const std::uint32_t built = run_line_command(&record);
    std::printf("%u\n", record.line_count);
    record.command = LINE_CMD_RELEASE;
    run_line_command(&record);
    return built == 1 ? 0 : 1;
  }
  const bool lf = argc == 3 && std::strcmp(argv[1], "--lf") == 0;
  if (argc != 2 && !lf) {
    std::fprintf(stderr, "usage: index_file [--record | --lf] FILE | index_file --write-prose FILE BYTES\n");
    return 2;
  }
  std::error_code error;
  const auto file = line_reader::IndexedFile::open(
      argv[argc - 1], error, lf ? line_reader::LineEnds::lf : line_reader::LineEnds::crlf);
  if (error) {
    std::fprintf(stderr, "%s: %s\n", argv[argc - 1], error.message().c_str());
    return 1;
  }
  std::printf("%llu\n", static_cast<unsigned long long>(file.line_count()));
  return 0;
}
