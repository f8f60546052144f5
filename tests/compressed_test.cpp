// Compressed files read by their text: each form that the tools make (gzip
// at three levels, many members, BGZF, zstd of one and of many frames, xz
// of one and of many blocks) against a naive split of the text, cold and
// from a saved index; damage and cuts; a growing file; a bomb.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

#include "line_reader/file_index.h"
#include "line_reader/indexed_file.h"
#include "naive_split.h"
#include "temp_directory.h"

using line_reader::Compression;
using line_reader::FileIndex;
using line_reader::IndexOptions;
using line_reader::LineEnds;

namespace {

// Lines of 0 to 200 bytes ended by LF, CR LF or nothing, with stretches of
// random bytes (stored blocks in gzip) and long repeats between them.
std::string random_text(unsigned seed, std::size_t bytes) {
  std::mt19937 random(seed);
  std::string text;
  while (text.size() < bytes) {
    const unsigned kind = random() % 20;
    if (kind == 0) {
      for (int k = 0; k < 20000; ++k)
        text += static_cast<char>(random());
    } else if (kind == 1) {
      text.append(30000, 'x');
    }
    const std::size_t length = random() % 201;
    for (std::size_t k = 0; k < length; ++k)
      text += "abcdefghij \r"[random() % 12];
    text += random() % 3 == 0 ? "\r\n" : "\n";
  }
  return text;
}

IndexOptions with_ends(LineEnds ends) {
  IndexOptions options;
  options.ends = ends;
  return options;
}

bool have_tool(const char* tool) {
  return std::system(("command -v " + std::string(tool) + " >/dev/null 2>&1").c_str()) == 0;
}

std::string read_all(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

// The file's lines against the split of `text`: counts, statistics, a
// random sample of lines and ranges.
void expect_lines(const FileIndex& index, const std::string& text, LineEnds ends, const std::string& what) {
  const NaiveSplit split = naive_split(text, ends);
  ASSERT_EQ(index.line_count(), split.lines.size()) << what;
  EXPECT_EQ(index.indexed_bytes(), text.size()) << what;
  EXPECT_EQ(index.longest_line(), split.longest_line) << what;
  EXPECT_EQ(index.longest_length(), split.longest_length) << what;
  std::mt19937 random(7);
  std::string buffer;
  std::error_code error;
  for (int k = 0; k < 40 && !split.lines.empty(); ++k) {
    const std::uint64_t n = k < 2 ? (k == 0 ? 1 : split.lines.size()) : random() % split.lines.size() + 1;
    ASSERT_EQ(index.read_line(n, buffer, error), split.lines[n - 1]) << what << ": line " << n;
    ASSERT_FALSE(error) << error.message();
  }
  const std::uint64_t first = split.lines.size() / 3 + 1;
  const std::uint64_t last = first + split.lines.size() / 2 - 1;
  const std::string_view block = index.read_lines(first, last, buffer, error);
  const std::size_t from = static_cast<std::size_t>(index.span(first).offset);
  EXPECT_EQ(block, std::string_view(text).substr(from, block.size())) << what;
}

} // namespace

TEST(CompressedFiles, EachFormReadsAsItsText) {
  const struct {
    const char* name;
    const char* tool;
    const char* command; // IN and OUT are the text's and the compressed file's paths
    Compression kind;
  } forms[] = {
      {"gzip -1", "gzip", "gzip -1 -c IN >OUT", Compression::gzip},
      {"gzip -6", "gzip", "gzip -6 -c IN >OUT", Compression::gzip},
      {"gzip -9", "gzip", "gzip -9 -c IN >OUT", Compression::gzip},
      {"gzip members", "gzip",
       "(head -c 300001 IN | gzip -c; tail -c +300002 IN | head -c 5 | gzip -c; tail -c +300007 IN | gzip -1 "
       "-c) >OUT",
       Compression::gzip},
      {"bgzip", "bgzip", "bgzip -c IN >OUT", Compression::gzip},
      {"zstd", "zstd", "zstd -q -3 -c IN >OUT", Compression::zstd},
      {"zstd frames", "zstd",
       "(for k in 0 1 2 3 4 5 6 7 8 9 10; do tail -c +$((k * 150000 + 1)) IN | head -c 150000 | zstd -q -c; "
       "done) >OUT",
       Compression::zstd},
      {"xz", "xz", "xz -c IN >OUT", Compression::xz},
      {"xz blocks", "xz", "xz -T2 --block-size=100KiB -c IN >OUT", Compression::xz},
      {"xz streams", "xz", "(head -c 500000 IN | xz -c; tail -c +500001 IN | xz -c) >OUT", Compression::xz},
  };
  TempDirectory dir;
  const std::string text = random_text(1, 1500000);
  const std::string in = dir.write("text", text);
  for (const auto& form : forms) {
    if (!line_reader::decodes(form.kind) || !have_tool(form.tool)) {
      std::printf("skipped: %s (no decoder or no %s)\n", form.name, form.tool);
      continue;
    }
    const std::string out = (dir.path() / "compressed").string();
    std::string command = form.command;
    for (std::size_t at; (at = command.find("IN")) != std::string::npos;)
      command.replace(at, 2, in);
    for (std::size_t at; (at = command.find("OUT")) != std::string::npos;)
      command.replace(at, 3, out);
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    for (const LineEnds ends : {LineEnds::lf, LineEnds::crlf}) {
      const std::string what = std::string(form.name) + (ends == LineEnds::lf ? " lf" : " crlf");
      IndexOptions options;
      options.ends = ends;
      options.checkpoint_spacing = 64 * 1024; // many checkpoints, of every kind of block
      std::error_code error;
      const FileIndex index = FileIndex::build(out.c_str(), error, options);
      ASSERT_FALSE(error) << what << ": " << error.message();
      EXPECT_EQ(index.compression(), form.kind) << what;
      expect_lines(index, text, ends, what);
      const std::string saved = (dir.path() / "saved.idx").string();
      index.save(saved.c_str(), error);
      ASSERT_FALSE(error) << error.message();
      for (const bool lazy : {false, true}) {
        options.lazy = lazy;
        const FileIndex loaded = FileIndex::load(saved.c_str(), out.c_str(), error, options);
        ASSERT_FALSE(error) << what << " loaded: " << error.message();
        expect_lines(loaded, text, ends, what + " loaded");
      }
      const auto whole = line_reader::IndexedFile::open(out.c_str(), error, ends);
      ASSERT_FALSE(error) << error.message();
      EXPECT_TRUE(whole.text() == text) << what;
    }
  }
}

// Each byte of a small file flipped in turn, and each cut: an error, no
// text yet (a cut within the only member), or the right lines; never a
// wrong line.
TEST(CompressedFiles, DamageAndCutsGiveAnErrorOrTheRightLines) {
  TempDirectory dir;
  const std::string text = random_text(2, 1200).substr(0, 1200) + "\n";
  const std::string in = dir.write("text", text);
  const std::string out = (dir.path() / "compressed").string();
  for (const auto& [kind, command] :
       {std::pair{Compression::gzip, "gzip -c "}, std::pair{Compression::zstd, "zstd -q -c "},
        std::pair{Compression::xz, "xz -c "}}) {
    if (!line_reader::decodes(kind) || !have_tool(line_reader::name_of(kind))) continue;
    ASSERT_EQ(std::system((command + in + " >" + out).c_str()), 0);
    const std::string good = read_all(out);
    const NaiveSplit split = naive_split(text, LineEnds::lf);
    auto check = [&](const std::string& bytes, const std::string& what) {
      dir.write("compressed", bytes);
      std::error_code error;
      const FileIndex index = FileIndex::build(out.c_str(), error, with_ends(LineEnds::lf));
      // A changed signature is no compressed file, whose bytes are its lines.
      if (error || index.line_count() == 0 || index.compression() != kind) return;
      ASSERT_EQ(index.line_count(), split.lines.size()) << what;
      std::string buffer;
      for (std::uint64_t n = 1; n <= index.line_count(); ++n) {
        const std::string_view line = index.read_line(n, buffer, error);
        if (error) continue;
        ASSERT_EQ(line, split.lines[n - 1]) << what << ": line " << n;
      }
    };
    for (std::size_t at = 0; at < good.size(); ++at) {
      std::string bytes = good;
      bytes[at] = static_cast<char>(bytes[at] ^ 0x41);
      check(bytes, std::string(line_reader::name_of(kind)) + " byte " + std::to_string(at) + " flipped");
      check(good.substr(0, at), std::string(line_reader::name_of(kind)) + " cut at " + std::to_string(at));
    }
  }
}

TEST(CompressedFiles, DamagedSavedWindowIsRefused) {
  if (!line_reader::decodes(Compression::gzip) || !have_tool("gzip")) GTEST_SKIP() << "no gzip";
  TempDirectory dir;
  const std::string in = dir.write("text", random_text(3, 400000));
  const std::string out = (dir.path() / "text.gz").string();
  ASSERT_EQ(std::system(("gzip -c " + in + " >" + out).c_str()), 0);
  IndexOptions options;
  options.checkpoint_spacing = 32 * 1024;
  std::error_code error;
  const std::string saved = (dir.path() / "saved.idx").string();
  FileIndex::build(out.c_str(), error, options).save(saved.c_str(), error);
  ASSERT_FALSE(error) << error.message();
  std::string bytes = read_all(saved);
  // The windows lie at the end, before at most 7 bytes of padding.
  bytes[bytes.size() - 20] = static_cast<char>(bytes[bytes.size() - 20] ^ 1);
  dir.write("saved.idx", bytes);
  // Each window is checked when a lookup first reads it: the lines after
  // the last checkpoint fail, the others are right.
  const FileIndex loaded = FileIndex::load(saved.c_str(), out.c_str(), error, options);
  ASSERT_FALSE(error) << error.message();
  const std::string text = read_all(in);
  const NaiveSplit split = naive_split(text, LineEnds::crlf);
  std::string buffer;
  std::uint64_t failed = 0;
  for (std::uint64_t n = 1; n <= loaded.line_count(); ++n) {
    const std::string_view line = loaded.read_line(n, buffer, error);
    if (error) {
      EXPECT_EQ(error, line_reader::errc::bad_index);
      ++failed;
    } else {
      ASSERT_EQ(line, split.lines[n - 1]) << n;
    }
  }
  EXPECT_NE(failed, 0u);
}

// Members appended as gzip -c >> F appends them, the first one cut: the
// index waits for its end. A CR at one member's end and the LF at the
// next's start are one CR LF.
TEST(CompressedFiles, GrowingGzipFollowedByRefresh) {
  if (!line_reader::decodes(Compression::gzip) || !have_tool("gzip")) GTEST_SKIP() << "no gzip";
  TempDirectory dir;
  const std::string first = random_text(4, 200000) + "ends in CR\r";
  const std::string second = "\nsecond member\r\n" + random_text(5, 200000);
  const std::string path = (dir.path() / "log.gz").string();
  const std::string a = dir.write("a", first);
  const std::string b = dir.write("b", second);
  ASSERT_EQ(std::system(("gzip -c " + a + " >" + path + " && gzip -c " + b + " >" + path + ".b").c_str()), 0);
  const std::string member = read_all(path + ".b");
  std::error_code error;
  FileIndex index = FileIndex::build(path.c_str(), error, with_ends(LineEnds::crlf));
  ASSERT_FALSE(error) << error.message();
  expect_lines(index, first, LineEnds::crlf, "first member");
  std::ofstream(path, std::ios::binary | std::ios::app).write(member.data(), 1000);
  EXPECT_EQ(index.refresh(error), FileIndex::Change::none);
  ASSERT_FALSE(error) << error.message();
  expect_lines(index, first, LineEnds::crlf, "a cut member waited for");
  std::ofstream(path, std::ios::binary | std::ios::app)
      .write(member.data() + 1000, static_cast<std::streamsize>(member.size() - 1000));
  EXPECT_EQ(index.refresh(error), FileIndex::Change::appended);
  ASSERT_FALSE(error) << error.message();
  expect_lines(index, first + second, LineEnds::crlf, "both members");
  const std::string saved = (dir.path() / "saved.idx").string();
  index.save(saved.c_str(), error);
  const FileIndex loaded = FileIndex::load(saved.c_str(), path.c_str(), error, with_ends(LineEnds::crlf));
  ASSERT_FALSE(error) << error.message();
  expect_lines(loaded, first + second, LineEnds::crlf, "both members, loaded");
}

TEST(CompressedFiles, BombIsRefused) {
  if (!line_reader::decodes(Compression::gzip) || !have_tool("gzip")) GTEST_SKIP() << "no gzip";
  TempDirectory dir;
  const std::string path = (dir.path() / "bomb.gz").string();
  // 64 MiB of LF from about 64 KB.
  ASSERT_EQ(std::system(("head -c 67108864 /dev/zero | tr '\\0' '\\n' | gzip -9 >" + path).c_str()), 0);
  IndexOptions options;
  options.most_expansion = 100;
  std::error_code error;
  const FileIndex index = FileIndex::build(path.c_str(), error, options);
  EXPECT_EQ(error, line_reader::errc::expands_too_far);
  EXPECT_EQ(index.line_count(), 0u);
}
