// The file index against a naive split: thread counts, range seams and piece
// edges at every offset, appends and replacements, and the saved form.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "line_reader/compression.h"
#include "line_reader/file_index.h"
#include "line_reader/index/build_tuning.h"
#include "naive_split.h"
#include "saved_form.h"
#include "temp_directory.h"

namespace {

using line_reader::FileIndex;
using line_reader::IndexOptions;
using line_reader::LineEnds;

// Small pieces and ranges for the length of a test, so that seams and piece
// edges fall inside small texts.
class SmallPieces {
public:
  SmallPieces(std::uint32_t piece, std::uint64_t least) : saved_(line_reader::detail::build_tuning()) {
    line_reader::detail::build_tuning().piece_bytes = piece;
    line_reader::detail::build_tuning().least_range_bytes = least;
  }
  ~SmallPieces() { line_reader::detail::build_tuning() = saved_; }

private:
  line_reader::detail::BuildTuning saved_;
};

void expect_naive(const FileIndex& index, const std::string& text, LineEnds ends, const std::string& what) {
  const NaiveSplit want = naive_split(text, ends);
  ASSERT_EQ(index.line_count(), want.lines.size()) << what;
  EXPECT_EQ(index.longest_line(), want.longest_line) << what;
  EXPECT_EQ(index.longest_length(), want.longest_length) << what;
  EXPECT_EQ(index.indexed_bytes(), text.size()) << what;
  std::string buffer;
  for (std::size_t i = 0; i < want.lines.size(); ++i) {
    const FileIndex::Span span = index.span(i + 1);
    ASSERT_EQ(std::string_view(text).substr(span.offset, span.length), want.lines[i])
        << what << " line " << i + 1;
  }
  if (!want.lines.empty()) {
    std::error_code error;
    EXPECT_EQ(index.read_line(want.lines.size(), buffer, error), want.lines.back()) << what;
    EXPECT_EQ(index.read_lines(1, want.lines.size(), buffer, error), text) << what;
    EXPECT_FALSE(error) << what;
  }
  EXPECT_THROW((void)index.span(0), std::out_of_range) << what;
  EXPECT_THROW((void)index.span(index.line_count() + 1), std::out_of_range) << what;
}

std::string random_text(std::mt19937& random, std::size_t size) {
  std::string text(size, 'a');
  for (char& c : text)
    c = "ab\r\n\r\n \0zz"[random() % 10];
  return text;
}

IndexOptions options_of(LineEnds ends, unsigned threads, bool mapped = false, bool lazy = false,
                        bool lazy_reads = false) {
  IndexOptions options;
  options.ends = ends;
  options.threads = threads;
  options.mapped = mapped;
  options.lazy = lazy;
  options.lazy_reads = lazy_reads;
  return options;
}

// The ways a saved index is loaded: read, from a view, lazily from a view,
// lazily by reads.
struct LoadWay {
  const char* name;
  bool mapped;
  bool lazy;
  bool lazy_reads = false;
};
constexpr LoadWay load_ways[] = {{"read", false, false},
                                 {"mapped", true, false},
                                 {"lazy", false, true},
                                 {"lazy reads", false, true, true}};

TEST(FileIndex, MatchesANaiveSplitOnEveryThreadCountAndPiece) {
  TempDirectory dir;
  std::mt19937 random(20);
  std::vector<std::string> texts = {"", "a", "\n", "\r", "\r\n", "ab", "a\r\nb\n", std::string(300, '\n')};
  for (std::size_t size = 1; size < 160; size += 7)
    texts.push_back(random_text(random, size));
  texts.push_back(random_text(random, 5000));
  // A CR LF at every offset around a seam or a piece edge of 64 bytes.
  for (std::size_t at = 56; at < 72; ++at)
    texts.push_back(std::string(at, 'x') + "\r\n" + std::string(150 - at, 'y') + "\r\n");
  // Views of the file split it on pages: a CR LF across a page's edge, and
  // files that end on one.
  texts.push_back(std::string(4095, 'x') + "\r\n" + random_text(random, 9000) + "\r");
  texts.push_back(random_text(random, 3 * 4096));
  for (const std::uint32_t piece : {1u, 63u, 64u, 100u, 4096u}) {
    SmallPieces small(piece, 1);
    for (const unsigned threads : {1u, 2u, 3u, 5u, 8u}) {
      for (const LineEnds ends : {LineEnds::crlf, LineEnds::lf}) {
        for (std::size_t t = 0; t < texts.size() * 2; ++t) {
          const bool mapped = t >= texts.size();
          const std::string& text = texts[t % texts.size()];
          const std::string what = "piece " + std::to_string(piece) + ", " + std::to_string(threads) +
                                   " threads" + (ends == LineEnds::lf ? ", lf" : ", crlf") + ", text " +
                                   std::to_string(t % texts.size()) + (mapped ? ", mapped" : "");
          const std::string path = dir.write("f.txt", text);
          std::error_code error;
          const FileIndex index = FileIndex::build(path.c_str(), error, options_of(ends, threads, mapped));
          ASSERT_FALSE(error) << what << ": " << error.message();
          expect_naive(index, text, ends, what);
        }
      }
    }
  }
}

void append(const std::string& path, std::string_view bytes) {
  std::ofstream(path, std::ios::binary | std::ios::app)
      .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// The modification time set apart from the one before, whatever the clock's grain.
void touch_later(const std::string& path) {
  const auto file = std::filesystem::path(path);
  std::filesystem::last_write_time(file, std::filesystem::last_write_time(file) + std::chrono::seconds(5));
}

TEST(FileIndex, RefreshAfterAnAppendCutAtEveryOffset) {
  TempDirectory dir;
  SmallPieces small(64, 1);
  const std::string text = "first\r\nsecond line\r\n\r\nab\rcd\n\r\r\nthe longest line of them all\r\nend";
  for (const LineEnds ends : {LineEnds::crlf, LineEnds::lf}) {
    for (std::size_t cut = 0; cut <= text.size(); ++cut) {
      const std::string what =
          std::string(ends == LineEnds::lf ? "lf" : "crlf") + ", cut at " + std::to_string(cut);
      const std::string path = dir.write("log.txt", text.substr(0, cut));
      std::error_code error;
      FileIndex index = FileIndex::build(path.c_str(), error, options_of(ends, 2));
      ASSERT_FALSE(error) << what;
      append(path, text.substr(cut));
      const FileIndex::Change change = index.refresh(error);
      ASSERT_FALSE(error) << what << ": " << error.message();
      EXPECT_EQ(change, cut == text.size() ? FileIndex::Change::none : FileIndex::Change::appended) << what;
      expect_naive(index, text, ends, what);
    }
  }
}

// A file followed through many appends keeps few ranges, and its lines.
TEST(FileIndex, FollowedThroughManyAppends) {
  TempDirectory dir;
  std::string text = "start";
  const std::string path = dir.write("log.txt", text);
  std::error_code error;
  FileIndex index = FileIndex::build(path.c_str(), error, options_of(LineEnds::lf, 1));
  for (int i = 0; i < 100; ++i) {
    const std::string more = i % 2 == 0 ? "\r" : "\nline " + std::to_string(i);
    append(path, more);
    text += more;
    touch_later(path);
    ASSERT_EQ(index.refresh(error), FileIndex::Change::appended) << i;
  }
  expect_naive(index, text, LineEnds::lf, "after 100 appends");
  EXPECT_LT(index.index_bytes(), 8000u);
}

TEST(FileIndex, RefreshSeesTruncationReplacementAndOverwrite) {
  TempDirectory dir;
  const std::string path = dir.write("log.txt", "one\r\ntwo\r\nthree\r\n");
  const struct {
    const char* what;
    void (*change)(const std::string& path, const TempDirectory& dir);
    std::string after;
    FileIndex::Change want;
  } cases[] = {
      {"truncated",
       [](const std::string& p, const TempDirectory& d) {
         d.write(std::filesystem::path(p).filename().string(), "one\r\n");
       },
       "one\r\n", FileIndex::Change::replaced},
      // Rotated, as logs are: the old file renamed away (Windows refuses to
      // rename over a file that is open), a new one under the name.
      {"rotated",
       [](const std::string& p, const TempDirectory& d) {
         std::filesystem::rename(p, d.path() / "log.1");
         d.write("log.txt", "one\r\ntwo\r\nthree\r\nfour\r\n");
       },
       "one\r\ntwo\r\nthree\r\nfour\r\n", FileIndex::Change::replaced},
      {"overwritten, the same size",
       [](const std::string& p, const TempDirectory&) {
         std::fstream(p, std::ios::binary | std::ios::in | std::ios::out).write("ONE\r\nTWO", 8);
         touch_later(p);
       },
       "ONE\r\nTWO\r\nthree\r\n", FileIndex::Change::replaced},
      // The change time is new: indexed anew, though the bytes are the same.
      {"touched only", [](const std::string& p, const TempDirectory&) { touch_later(p); },
       "one\r\ntwo\r\nthree\r\n", FileIndex::Change::replaced},
      // Rewritten with the same size and its modification time set back, as
      // cp -p and rsync -t leave a file: only the change time tells.
      {"rewritten, its time restored",
       [](const std::string& p, const TempDirectory&) {
         const auto time = std::filesystem::last_write_time(p);
         std::fstream(p, std::ios::binary | std::ios::in | std::ios::out).write("one\r\nTWO", 8);
         std::filesystem::last_write_time(p, time);
       },
       "one\r\nTWO\r\nthree\r\n", FileIndex::Change::replaced},
      {"untouched", [](const std::string&, const TempDirectory&) {}, "one\r\ntwo\r\nthree\r\n",
       FileIndex::Change::none},
  };
  for (const auto& c : cases) {
    dir.write("log.txt", "one\r\ntwo\r\nthree\r\n");
    std::error_code error;
    FileIndex index = FileIndex::build(path.c_str(), error);
    c.change(path, dir);
    const FileIndex::Change change = index.refresh(error);
    ASSERT_FALSE(error) << c.what << ": " << error.message();
    EXPECT_EQ(change, c.want) << c.what;
    expect_naive(index, c.after, LineEnds::crlf, c.what);
  }
}

std::string read_all(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(FileIndex, SavedAndLoaded) {
  TempDirectory dir;
  SmallPieces small(64, 1);
  std::mt19937 random(21);
  std::string text = random_text(random, 3000);
  const std::string path = dir.write("f.txt", text);
  const std::string saved = (dir.path() / "f.idx").string();
  std::error_code error;
  {
    // Three ranges, then an append: four in the saved form.
    FileIndex index = FileIndex::build(path.c_str(), error, options_of(LineEnds::lf, 3));
    append(path, "tail\r\n");
    text += "tail\r\n";
    ASSERT_EQ(index.refresh(error), FileIndex::Change::appended);
    index.save(saved.c_str(), error);
    ASSERT_FALSE(error) << error.message();
  }
  for (const LoadWay& way : load_ways) {
    FileIndex loaded = FileIndex::load(saved.c_str(), path.c_str(), error,
                                       options_of(LineEnds::lf, 1, way.mapped, way.lazy, way.lazy_reads));
    ASSERT_FALSE(error) << way.name << ": " << error.message();
    expect_naive(loaded, text, LineEnds::lf, way.name);
  }
  // Grown since it was saved: the new bytes are indexed.
  append(path, "more\nlines");
  text += "more\nlines";
  for (const LoadWay& way : load_ways) {
    FileIndex loaded = FileIndex::load(saved.c_str(), path.c_str(), error,
                                       options_of(LineEnds::lf, 1, way.mapped, way.lazy, way.lazy_reads));
    ASSERT_FALSE(error) << way.name << ": " << error.message();
    expect_naive(loaded, text, LineEnds::lf, std::string(way.name) + ", after an append");
  }
  // Another file, other line ends, or this one rewritten to the same size
  // with its modification time set back: stale.
  const std::string other = dir.write("other.txt", text);
  (void)FileIndex::load(saved.c_str(), other.c_str(), error, options_of(LineEnds::lf, 1));
  EXPECT_EQ(error, line_reader::errc::stale_index);
  (void)FileIndex::load(saved.c_str(), path.c_str(), error, options_of(LineEnds::crlf, 1));
  EXPECT_EQ(error, line_reader::errc::other_line_ends);
  FileIndex::build(path.c_str(), error, options_of(LineEnds::lf, 1)).save(saved.c_str(), error);
  const auto time = std::filesystem::last_write_time(path);
  std::fstream(path, std::ios::binary | std::ios::in | std::ios::out).write("\n\n\n", 3);
  std::filesystem::last_write_time(path, time);
  (void)FileIndex::load(saved.c_str(), path.c_str(), error, options_of(LineEnds::lf, 1, false, true));
  EXPECT_EQ(error, line_reader::errc::stale_index);
}

// Many saved ranges, loaded lazily, then followed past the limit of ranges:
// the join takes the saved range into memory, and a save writes it again.
TEST(FileIndex, LazyIndexFollowedAndSavedAgain) {
  TempDirectory dir;
  SmallPieces small(64, 1);
  std::mt19937 random(22);
  std::string text = random_text(random, 40 * 300);
  const std::string path = dir.write("f.txt", text);
  const std::string saved = (dir.path() / "f.idx").string();
  std::error_code error;
  FileIndex::build(path.c_str(), error, options_of(LineEnds::crlf, 40)).save(saved.c_str(), error);
  ASSERT_FALSE(error);
  FileIndex index =
      FileIndex::load(saved.c_str(), path.c_str(), error, options_of(LineEnds::crlf, 1, false, true));
  ASSERT_FALSE(error) << error.message();
  for (int i = 0; i < 5; ++i) {
    const std::string more = random_text(random, 100) + "\r\n";
    append(path, more);
    text += more;
    ASSERT_EQ(index.refresh(error), FileIndex::Change::appended) << i;
  }
  expect_naive(index, text, LineEnds::crlf, "followed");
  index.save(saved.c_str(), error);
  ASSERT_FALSE(error) << error.message();
  expect_naive(FileIndex::load(saved.c_str(), path.c_str(), error, options_of(LineEnds::crlf, 1)), text,
               LineEnds::crlf, "saved again");
}

// Every line of a loaded index is the right one, or its lookup says the
// saved index is damaged; never another line.
void expect_right_or_bad(const FileIndex& index, const std::string& text, LineEnds ends,
                         const std::string& what) {
  const NaiveSplit want = naive_split(text, ends);
  ASSERT_EQ(index.line_count(), want.lines.size()) << what;
  std::string buffer;
  for (std::size_t i = 0; i < want.lines.size(); ++i) {
    std::error_code error;
    const std::string_view line = index.read_line(i + 1, buffer, error);
    if (error) {
      ASSERT_EQ(error, line_reader::errc::bad_index) << what << " line " << i + 1;
    } else {
      ASSERT_EQ(line, want.lines[i]) << what << " line " << i + 1;
    }
  }
}

TEST(FileIndex, EveryDamageOfASavedIndexIsBad) {
  TempDirectory dir;
  SmallPieces small(64, 1);
  const std::string text = "a\r\nbb\r\nccc\nd\r\n" + std::string(600, '\n') + "end";
  const std::string path = dir.write("f.txt", text);
  const std::string saved = (dir.path() / "f.idx").string();
  std::error_code error;
  FileIndex::build(path.c_str(), error, options_of(LineEnds::lf, 2)).save(saved.c_str(), error);
  ASSERT_FALSE(error);
  const std::string good = read_all(saved);
  const std::string damaged = (dir.path() / "damaged.idx").string();
  for (std::size_t at = 0; at < good.size(); ++at) {
    std::string bytes = good;
    bytes[at] = static_cast<char>(bytes[at] ^ 0x21);
    dir.write("damaged.idx", bytes);
    for (const LoadWay& way : load_ways) {
      const std::string what = std::string(way.name) + ", byte " + std::to_string(at);
      const FileIndex index =
          FileIndex::load(damaged.c_str(), path.c_str(), error,
                          options_of(LineEnds::lf, 1, way.mapped, way.lazy, way.lazy_reads));
      // Read whole, every damage is found; read lazily, a damaged piece is
      // found when a line in it is looked up (padding is never read).
      if (!way.lazy || error) {
        ASSERT_EQ(error, line_reader::errc::bad_index) << what;
        EXPECT_EQ(index.line_count(), 0u) << what;
      } else {
        expect_right_or_bad(index, text, LineEnds::lf, what);
      }
    }
  }
  for (std::size_t size = 0; size < good.size(); ++size) {
    dir.write("damaged.idx", good.substr(0, size));
    for (const LoadWay& way : load_ways) {
      (void)FileIndex::load(damaged.c_str(), path.c_str(), error,
                            options_of(LineEnds::lf, 1, way.mapped, way.lazy, way.lazy_reads));
      ASSERT_EQ(error, line_reader::errc::bad_index) << way.name << ", cut to " << size;
    }
  }
}

// Read lazily by reads, a saved index cut short in place while it is in use
// fails the lookups of its lost pieces; through a view that would fault.
TEST(FileIndex, LazilyReadIndexCutShortInPlace) {
  TempDirectory dir;
  SmallPieces small(64, 1);
  std::mt19937 random(23);
  const std::string text = random_text(random, 40 * 300);
  const std::string path = dir.write("f.txt", text);
  const std::string saved = (dir.path() / "f.idx").string();
  std::error_code error;
  FileIndex::build(path.c_str(), error, options_of(LineEnds::lf, 4)).save(saved.c_str(), error);
  ASSERT_FALSE(error);
  const FileIndex index =
      FileIndex::load(saved.c_str(), path.c_str(), error, options_of(LineEnds::lf, 1, false, true, true));
  ASSERT_FALSE(error) << error.message();
  std::filesystem::resize_file(saved, std::filesystem::file_size(saved) / 2, error);
  if (error) GTEST_SKIP() << "this system keeps an open file's size: " << error.message();
  expect_right_or_bad(index, text, LineEnds::lf, "cut short");
  bool found = false;
  for (std::uint64_t n = 1; n <= index.line_count(); ++n) {
    (void)index.span(n, error);
    found = found || error == line_reader::errc::bad_index;
  }
  EXPECT_TRUE(found) << "no lookup found the lost pieces";
}

// Indexes with every hash right, which no build makes: each is bad_index
// when read whole, and lazily at the latest when the line is looked up.
TEST(FileIndex, HostileSavedIndexesAreBad) {
  TempDirectory dir;
  SmallPieces small(64, 1);
  // Two ranges of 16-bit blocks, the second after an append; 600 lines.
  std::string text;
  for (int i = 0; i < 600; ++i)
    text += "line " + std::to_string(i) + "\n";
  const std::string path = dir.write("f.txt", text);
  const std::string saved = (dir.path() / "f.idx").string();
  std::error_code error;
  FileIndex::build(path.c_str(), error, options_of(LineEnds::lf, 2)).save(saved.c_str(), error);
  ASSERT_FALSE(error);
  const SavedForm good(read_all(saved));
  ASSERT_EQ(good.ranges(), 2u);
  SavedForm same = good;
  same.rehash();
  ASSERT_EQ(same.bytes(), good.bytes()) << "the hashes are not written as a save writes them";
  const std::uint64_t size = text.size();
  const struct {
    const char* what;
    void (*change)(SavedForm& form, std::uint64_t size);
  } cases[] = {
      {"a start past the end (16-bit offsets)",
       [](SavedForm& f, std::uint64_t) {
         const std::uint64_t last =
             f.block_data_at(1, 0) + 2 * (f.get<std::uint64_t>(f.range_at(1) + 8) % 256 - 1);
         f.put<std::uint16_t>(last, 0xFFF0);
       }},
      {"a block's starts past the end (32-bit offsets, its base moved)",
       [](SavedForm& f, std::uint64_t size) {
         f.put<std::uint64_t>(f.word_at(1, 0), (size + 5) | std::uint64_t{1} << 62);
       }},
      {"starts that go backwards",
       [](SavedForm& f, std::uint64_t) {
         const std::uint64_t at = f.block_data_at(0, 0);
         const auto second = f.get<std::uint16_t>(at + 2);
         f.put<std::uint16_t>(at + 2, f.get<std::uint16_t>(at + 4));
         f.put<std::uint16_t>(at + 4, second);
       }},
      {"a base near 2^62 in the page and its block",
       [](SavedForm& f, std::uint64_t) {
         const std::uint64_t base = (std::uint64_t{1} << 60) - 64;
         f.put<std::uint64_t>(f.top_at(f.pages() - 1), base);
         f.put<std::uint64_t>(f.word_at(1, 0), base);
       }},
      {"a page's first start not its first block's",
       [](SavedForm& f, std::uint64_t) {
         f.put<std::uint64_t>(f.top_at(0), f.get<std::uint64_t>(f.top_at(0)) + 1);
       }},
      {"ranges that overlap",
       [](SavedForm& f, std::uint64_t) {
         const std::uint64_t base = f.get<std::uint64_t>(f.word_at(0, 1)) + 1;
         f.put<std::uint64_t>(f.top_at(f.pages() - 1), base);
         f.put<std::uint64_t>(f.word_at(1, 0), base);
       }},
      {"a range that starts before the one before ends, counted",
       [](SavedForm& f, std::uint64_t) {
         f.put<std::uint64_t>(f.range_at(1), f.get<std::uint64_t>(f.range_at(1)) - 1);
       }},
      {"line ends found that the ranges do not hold",
       [](SavedForm& f, std::uint64_t) { f.put<std::uint64_t>(72, f.get<std::uint64_t>(72) + 1); }},
      {"a range's count that its blocks do not hold",
       [](SavedForm& f, std::uint64_t) {
         f.put<std::uint64_t>(f.range_at(0) + 8, f.get<std::uint64_t>(f.range_at(0) + 8) - 1);
         f.put<std::uint64_t>(72, f.get<std::uint64_t>(72) - 1);
         f.put<std::uint64_t>(f.range_at(1), f.get<std::uint64_t>(f.range_at(1)) - 1);
       }},
      {"a longest line past the last line",
       [](SavedForm& f, std::uint64_t) { f.put<std::uint64_t>(80, f.get<std::uint64_t>(72) + 1); }},
      {"a reserved width",
       [](SavedForm& f, std::uint64_t) {
         f.put<std::uint64_t>(f.word_at(0, 1),
                              f.get<std::uint64_t>(f.word_at(0, 1)) | std::uint64_t{3} << 62);
       }},
      {"a reserved kind",
       [](SavedForm& f, std::uint64_t) {
         f.put<std::uint64_t>(f.word_at(0, 1),
                              f.get<std::uint64_t>(f.word_at(0, 1)) | std::uint64_t{3} << 60);
       }},
  };
  for (const auto& c : cases) {
    SavedForm form = good;
    c.change(form, size);
    form.rehash();
    dir.write("hostile.idx", form.bytes());
    const std::string hostile = (dir.path() / "hostile.idx").string();
    for (const LoadWay& way : load_ways) {
      const std::string what = std::string(c.what) + ", " + way.name;
      const FileIndex index =
          FileIndex::load(hostile.c_str(), path.c_str(), error,
                          options_of(LineEnds::lf, 1, way.mapped, way.lazy, way.lazy_reads));
      if (error) {
        EXPECT_EQ(error, line_reader::errc::bad_index) << what;
        continue;
      }
      EXPECT_TRUE(way.lazy) << what << ": loaded";
      bool found = false;
      std::string buffer;
      for (std::uint64_t n = 1; n <= index.line_count(); ++n) {
        const FileIndex::Span span = index.span(n, error);
        found = found || error == line_reader::errc::bad_index;
        ASSERT_LE(span.offset + span.length, size) << what << " line " << n;
      }
      EXPECT_TRUE(found) << what << ": no lookup found it";
    }
  }
}

// A file rewritten with more bytes than it had while it is indexed (cmd > F
// during the build) is not taken for one that grew: nothing of it is kept.
TEST(FileIndex, RewrittenLargerDuringTheBuild) {
  TempDirectory dir;
  SmallPieces small(64, 1);
  const std::string path = dir.write("f.txt", std::string(4000, 'a') + "\n" + std::string(4000, 'b') + "\n");
  IndexOptions options = options_of(LineEnds::lf, 1);
  bool rewritten = false;
  options.progress = [&](std::uint64_t, std::uint64_t) {
    if (!rewritten) dir.write("f.txt", std::string(9000, 'c') + "\n" + std::string(9000, 'd') + "\n");
    rewritten = true;
    return true;
  };
  std::error_code error;
  const FileIndex index = FileIndex::build(path.c_str(), error, options);
  EXPECT_EQ(error, line_reader::errc::changed_while_reading);
  EXPECT_EQ(index.line_count(), 0u);
  // The same during a refresh that indexes appended bytes: the index stays
  // as it was, and the next refresh indexes the file anew.
  const std::string old_text = std::string(4000, 'a') + "\n";
  const std::string new_text = std::string(9000, 'e') + "\n" + std::string(9000, 'f') + "\n";
  dir.write("f.txt", old_text);
  bool armed = false;
  options.progress = [&](std::uint64_t, std::uint64_t) {
    if (armed) dir.write("f.txt", new_text);
    armed = false;
    return true;
  };
  FileIndex watched = FileIndex::build(path.c_str(), error, options);
  ASSERT_FALSE(error) << error.message();
  append(path, std::string(4000, 'b') + "\n");
  armed = true;
  EXPECT_EQ(watched.refresh(error), FileIndex::Change::none);
  EXPECT_EQ(error, line_reader::errc::changed_while_reading);
  EXPECT_EQ(watched.line_count(), 1u); // as it was; its bytes are gone from the file
  EXPECT_EQ(watched.indexed_bytes(), old_text.size());
  EXPECT_EQ(watched.refresh(error), FileIndex::Change::replaced);
  expect_naive(watched, new_text, LineEnds::lf, "indexed anew");
}

TEST(FileIndex, ReasonsAndProgress) {
  TempDirectory dir;
  std::error_code error;
  (void)FileIndex::build((dir.path() / "missing").string().c_str(), error);
  EXPECT_EQ(error, line_reader::errc::not_found);
  (void)FileIndex::build(dir.path().string().c_str(), error);
  EXPECT_EQ(error, line_reader::errc::not_a_regular_file);
#ifndef _WIN32 // the same reasons in Windows' own codes there
  // A save that fails says the system's reason, not one that hides it.
  const FileIndex one = FileIndex::build(dir.write("one.txt", "1\n").c_str(), error);
  one.save((dir.path() / "missing" / "x.idx").string().c_str(), error);
  EXPECT_EQ(error, std::errc::no_such_file_or_directory) << error.message();
  one.save(dir.path().string().c_str(), error);
  EXPECT_EQ(error, std::errc::is_a_directory) << error.message();
#endif
  SmallPieces small(64, 1);
  const std::string path = dir.write("f.txt", std::string(10000, '\n'));
  IndexOptions stop_at_once = options_of(LineEnds::lf, 2);
  std::uint64_t calls = 0;
  stop_at_once.progress = [&calls](std::uint64_t done, std::uint64_t total) {
    EXPECT_LE(done, total);
    return ++calls < 3;
  };
  const FileIndex stopped = FileIndex::build(path.c_str(), error, stop_at_once);
  EXPECT_EQ(error, line_reader::errc::cancelled);
  EXPECT_EQ(stopped.line_count(), 0u);
}

} // namespace

namespace {

// Each compressed form by its first bytes, and text that only looks like
// one: refused by the owner and the file index unless their bytes are asked
// for, and text never refused.
TEST(Compression, RefusedByItsFirstBytesUnlessRaw) {
  using line_reader::Compression;
  TempDirectory dir;
  const struct {
    std::string head;
    Compression form;
  } cases[] = {
      {std::string("\x1f\x8b\x08\0\0\0\0\0\0\x03", 10), Compression::gzip},
      {"\x28\xb5\x2f\xfd\x04\x58", Compression::zstd},
      {"\x5e\x2a\x4d\x18skip", Compression::zstd},
      {std::string("\xfd"
                   "7zXZ\0\0\x04",
                   8),
       Compression::xz},
      {"BZh91AY&SY\n", Compression::bzip2},
      {"\x04\x22\x4d\x18\x64\x40", Compression::lz4},
      {"PK\x03\x04\x14\0", Compression::zip},
      {"BZh9 is a line\n", Compression::none},
      {"\x1f\x8b", Compression::none},
      {"PK is text\n", Compression::none},
      {"", Compression::none},
  };
  for (const auto& c : cases) {
    const std::string text = c.head + "\nsecond\n";
    EXPECT_EQ(line_reader::compression_of(text.data(), c.head.size()), c.form) << c.head;
    const std::string path = dir.write("f", text);
    std::error_code error;
    if (line_reader::decodes(c.form)) {
      // A header and no whole member after it: damaged, or no text yet.
      // (The index is let go first: on Windows IndexedFile opens a file no one else has open.)
      const std::uint64_t lines = FileIndex::build(path.c_str(), error).line_count();
      EXPECT_TRUE(error == line_reader::errc::damaged || (!error && lines == 0)) << error.message();
      const auto file = line_reader::IndexedFile::open(path.c_str(), error, LineEnds::lf);
      EXPECT_TRUE(error == line_reader::errc::damaged || (!error && file.line_count() == 0))
          << error.message();
    } else {
      const line_reader::errc wanted =
          c.form == Compression::none ? line_reader::errc{} : line_reader::errc::compressed;
      (void)FileIndex::build(path.c_str(), error);
      EXPECT_EQ(error.value(), static_cast<int>(wanted)) << c.head << ": " << error.message();
      (void)line_reader::IndexedFile::open(path.c_str(), error, LineEnds::lf);
      EXPECT_EQ(error.value(), static_cast<int>(wanted)) << c.head << ": " << error.message();
    }
    IndexOptions raw;
    raw.raw = true;
    EXPECT_EQ(FileIndex::build(path.c_str(), error, raw).line_count(),
              naive_split(text, LineEnds::crlf).lines.size());
    EXPECT_FALSE(error);
  }
}

} // namespace
