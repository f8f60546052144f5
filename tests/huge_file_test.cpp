// Files past the record's walls: over 4 GiB, and more line breaks than a
// 32-bit table size holds. Labelled "huge": each reads gigabytes, and a run
// under the emulator or on a small machine leaves them out.
#include <gtest/gtest.h>

#if !defined(_WIN32)
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "line_reader/file_index.h"
#include "line_reader/indexed_file.h"
#include "temp_directory.h"

namespace {

using line_reader::IndexedFile;

constexpr std::uint64_t four_gib = std::uint64_t{1} << 32;

TEST(HugeFile, LinesBeyondFourGibibytes) {
  // "first", then a line of 4 GiB - 7 NUL bytes (a sparse stretch), then two
  // lines past 4 GiB.
  TempDirectory dir;
  const std::string path = dir.write("huge.txt", "first\r\n");
  {
    std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(static_cast<std::streamoff>(four_gib));
    file << "\r\nbeyond\r\nlast";
  }
  std::error_code error;
  // The file index holds no text: it indexes the file on the 32-bit target too.
  const line_reader::FileIndex index = line_reader::FileIndex::build(path.c_str(), error);
  ASSERT_FALSE(error) << error.message();
  ASSERT_EQ(index.line_count(), 4u);
  std::string buffer;
  EXPECT_EQ(index.read_line(4, buffer, error), "last");
  EXPECT_EQ(index.read_line(3, buffer, error), "beyond");
  EXPECT_EQ(index.span(2).length, four_gib - 7);
  EXPECT_EQ(index.longest_line(), 2u);
  const IndexedFile file = IndexedFile::open(path.c_str(), error);
  if (sizeof(std::size_t) < 8) {
    // The 32-bit target cannot hold it: a clear refusal, never a wrong count.
    EXPECT_TRUE(error == line_reader::errc::too_large || error == line_reader::errc::no_memory)
        << error.message();
    return;
  }
  ASSERT_FALSE(error) << error.message();
  ASSERT_EQ(file.line_count(), 4u);
  EXPECT_EQ(file.line(1), "first");
  EXPECT_EQ(file.line(2).size(), four_gib - 7);
  EXPECT_EQ(file.line(3), "beyond");
  EXPECT_EQ(file.line(4), "last");
  EXPECT_EQ(file.longest_line(), 2u);
  EXPECT_EQ(file.longest_length(), four_gib - 7);
}

TEST(HugeFile, MoreBreaksThanTheRecordsTableHolds) {
  // 268,435,454 CR LF pairs: the record's table request no longer fits in 32
  // bits on a 64-bit host; the owner type's index has no such wall.
  constexpr std::uint64_t pairs = 268'435'454;
  TempDirectory dir;
  const std::string path = (dir.path() / "pairs.txt").string();
  {
    const std::string chunk(std::size_t{1} << 20, '\0');
    std::string pattern;
    for (std::size_t i = 0; i < chunk.size() / 2; ++i)
      pattern += "\r\n";
    std::ofstream out(path, std::ios::binary);
    std::uint64_t left = pairs * 2;
    for (; left >= pattern.size(); left -= pattern.size())
      out.write(pattern.data(), static_cast<std::streamsize>(pattern.size()));
    out.write(pattern.data(), static_cast<std::streamsize>(left));
  }
  std::error_code error;
  const IndexedFile file = IndexedFile::open(path.c_str(), error);
  if (error && sizeof(std::size_t) < 8) {
    EXPECT_EQ(error, line_reader::errc::no_memory) << error.message();
    return;
  }
  ASSERT_FALSE(error) << error.message();
  EXPECT_EQ(file.line_count(), pairs);
  EXPECT_EQ(file.line(pairs), "");
  EXPECT_EQ(file.longest_line(), 0u);
  EXPECT_LE(static_cast<double>(file.index_bytes()), 2.1 * static_cast<double>(pairs));
}

#if !defined(_WIN32)
// A file larger than the address space the process may use (ulimit -v)
// indexes: only the index and the threads' buffers are held.
TEST(HugeFile, LargerThanTheAddressSpaceAllowed) {
  TempDirectory dir;
  const std::string path = dir.write("big.txt", "a\r\nbb\r\n");
  {
    std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(static_cast<std::streamoff>(std::uint64_t{3} << 30));
    file << "\r\nend";
  }
  const pid_t child = fork();
  if (child == 0) {
    // What the process has mapped now, and 256 MiB more.
    std::uint64_t pages = 0;
    std::FILE* statm = std::fopen("/proc/self/statm", "r");
    if (statm == nullptr || std::fscanf(statm, "%llu", reinterpret_cast<unsigned long long*>(&pages)) != 1)
      _exit(100);
    std::fclose(statm);
    const rlimit limit{pages * 4096 + (256u << 20), pages * 4096 + (256u << 20)};
    if (setrlimit(RLIMIT_AS, &limit) != 0) _exit(101);
    std::error_code error;
    const line_reader::FileIndex index = line_reader::FileIndex::build(path.c_str(), error);
    std::string buffer;
    _exit(!error && index.line_count() == 4 && index.read_line(4, buffer, error) == "end" ? 0 : 1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
}
#endif

// Lookups of a saved index loaded lazily, on a sparse file of 6 GiB whose
// lines stand in clusters far apart (16-, 32- and 64-bit blocks, pages of
// block words on both sides of 4 GiB), against the line ends written.
TEST(HugeFile, LazyLookupsOfASparseFile) {
  if (!TempDirectory::huge_files_allowed()) GTEST_SKIP() << "no files past 4 GiB here";
  TempDirectory dir;
  const std::string path = dir.write("sparse.txt", "");
  std::mt19937_64 random(26);
  std::map<std::uint64_t, std::string> clusters;
  while (clusters.size() < 600)
    clusters[random() % (6 * (std::uint64_t{1} << 30))] = std::string(1 + random() % 300, 'x') + "\n";
  std::vector<std::uint64_t> ends; // after each line end
  {
    std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
    std::uint64_t written_to = 0;
    for (const auto& [at, line] : clusters) {
      if (at < written_to) continue;
      file.seekp(static_cast<std::streamoff>(at));
      for (int k = 0; k < 200; ++k)
        file << line;
      for (int k = 1; k <= 200; ++k)
        ends.push_back(at + k * line.size());
      written_to = at + 200 * line.size();
    }
  }
  std::error_code error;
  const std::string saved = (dir.path() / "sparse.idx").string();
  line_reader::IndexOptions options;
  options.ends = line_reader::LineEnds::lf;
  line_reader::FileIndex::build(path.c_str(), error, options).save(saved.c_str(), error);
  ASSERT_FALSE(error) << error.message();
  options.lazy = true;
  const line_reader::FileIndex index =
      line_reader::FileIndex::load(saved.c_str(), path.c_str(), error, options);
  ASSERT_FALSE(error) << error.message();
  ASSERT_EQ(index.line_count(), ends.size()); // the last cluster ends the file
  std::string buffer;
  for (int k = 0; k < 2000; ++k) {
    const std::uint64_t i = random() % ends.size(); // line i + 1 ends at ends[i] - 1
    const std::uint64_t from = i == 0 ? 0 : ends[i - 1];
    const line_reader::FileIndex::Span span = index.span(i + 1, error);
    ASSERT_FALSE(error) << error.message();
    ASSERT_EQ(span.offset, from) << "line " << i + 1;
    ASSERT_EQ(span.length, ends[i] - 1 - from) << "line " << i + 1;
    if (span.length < 1000) {
      ASSERT_EQ(index.read_line(i + 1, buffer, error), std::string(span.length, 'x')) << "line " << i + 1;
    }
  }
}

} // namespace
