// The scanners, every block-stage variant, against the naive reference.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "line_reader/line_scan.h"
#include "line_reader/scan/variants.h"
#include "reference_index.h"

namespace line_reader {
// Names the variant in test names and messages.
void PrintTo(ScanVariant variant, std::ostream* out) { *out << scan_variant_name(variant); }
} // namespace line_reader

namespace {

using namespace line_reader;

// Runs one variant over the data and checks everything it produces against the
// reference: the count, every entry, the trailing flag and the statistics.
void expect_matches_reference(ScanVariant variant, std::string_view bytes, std::uint32_t offset) {
  PlacedData placed(bytes, offset);
  const ReferenceIndex want = reference_index(placed.data(), placed.size());
  const std::string what = std::string(scan_variant_name(variant)) + " offset " + std::to_string(offset) +
                           " size " + std::to_string(bytes.size());

  const std::uint32_t count = count_crlf_with(variant, placed.data(), placed.size());
  ASSERT_EQ(count, want.breaks) << what;

  // Once as a direct caller may (the table's size not stated) and once as
  // the build does (stated: the fill may use the table's tail as scratch).
  for (const std::uint32_t table_bytes : {0u, (count + 1) * std::uint32_t{sizeof(LineEntry)}}) {
    std::vector<LineEntry> table(count + 1, LineEntry{nullptr, 0xDEADu});
    // Statistics left by an earlier index: the scan sets them from scratch.
    LineRecord record{};
    record.longest_length = 0xFFFFFFF0u;
    record.longest_line = 99;
    record.unterminated = 1;
    record.buffer = placed.data();
    record.size = placed.size();
    record.table = table.data();
    record.table_bytes = table_bytes;
    const std::string where = what + (table_bytes == 0 ? " (size not stated)" : "");
    const std::uint32_t trailing = build_line_index_with(variant, &record);
    ASSERT_EQ(trailing != 0, want.trailing) << where;
    EXPECT_EQ(record.unterminated, trailing) << where;
    EXPECT_EQ(record.longest_length, want.longest_length) << where;
    EXPECT_EQ(record.longest_line, want.longest_line) << where;
    ASSERT_LE(want.lines.size(), table.size()) << where;
    for (std::size_t i = 0; i < want.lines.size(); ++i) {
      EXPECT_EQ(table[i].start, placed.data() + want.lines[i].offset) << where << " line " << i + 1;
      EXPECT_EQ(table[i].length, want.lines[i].length) << where << " line " << i + 1;
    }
    if (want.lines.size() < table.size()) {
      EXPECT_TRUE(table[want.lines.size()].start == nullptr && table[want.lines.size()].length == 0)
          << where << ": the slot after the last line is cleared";
    }
  }
}

// Random bytes drawn mostly from the characters that matter to the scan.
std::string random_text(std::mt19937& random, std::size_t size, bool with_nul) {
  static constexpr char alphabet[] = {'a', 'b', '\r', '\n', '\r', '\n', 'x', ' '};
  std::string text(size, 'a');
  for (char& c : text) {
    const unsigned pick = random() % 64;
    c = pick < 8 ? alphabet[pick] : pick < 40 ? 'z' : pick < 52 ? '\r' : '\n';
    if (with_nul && random() % 40 == 0) c = 0;
    if (random() % 97 == 0) c = static_cast<char>(random());
  }
  return text;
}

class ScanVariantTest : public testing::TestWithParam<ScanVariant> {};

TEST_P(ScanVariantTest, RandomTextAtEveryOffsetAndSize) {
  std::mt19937 random(20261208);
  for (std::uint32_t offset = 0; offset < 16; ++offset) {
    for (std::size_t size = 0; size <= 200; ++size) {
      expect_matches_reference(GetParam(), random_text(random, size, false), offset);
      expect_matches_reference(GetParam(), random_text(random, size, true), offset);
    }
  }
}

TEST_P(ScanVariantTest, OneBreakPlantedAtEveryPosition) {
  // Crosses every block edge: a CR as the 32nd byte of a block with its LF the
  // first of the next, a CR as the last data byte, a break in the head walk.
  for (std::uint32_t offset = 0; offset < 16; ++offset) {
    for (std::size_t q = 0; q + 1 < 140; ++q) {
      std::string text(140, 'a');
      text[q] = '\r';
      text[q + 1] = '\n';
      expect_matches_reference(GetParam(), text, offset);
      expect_matches_reference(GetParam(), text.substr(0, q + 1), offset); // CR as the last byte
      expect_matches_reference(GetParam(), text.substr(0, q + 2), offset); // ends in the break
    }
  }
}

TEST_P(ScanVariantTest, NulBytesInsideAndBeyondTheHeadWalk) {
  for (std::uint32_t offset = 0; offset < 16; ++offset) {
    for (std::size_t nul = 0; nul < 70; ++nul) {
      std::string text;
      for (int i = 0; i < 20; ++i)
        text += "ab\r\n";
      text[nul] = 0;
      expect_matches_reference(GetParam(), text, offset);
    }
  }
}

TEST_P(ScanVariantTest, DenseAndDegenerateShapes) {
  const std::vector<std::string> shapes = {
      std::string(300, '\r'),
      std::string(300, '\n'),
      std::string(300, 0),
      [] {
        std::string s;
        for (int i = 0; i < 150; ++i)
          s += "\r\n";
        return s;
      }(),
      [] {
        std::string s;
        for (int i = 0; i < 100; ++i)
          s += "\r\r\n";
        return s;
      }(),
      [] {
        std::string s;
        for (int i = 0; i < 100; ++i)
          s += "a\n\r";
        return s;
      }(),
  };
  for (const std::string& shape : shapes) {
    for (std::uint32_t offset = 0; offset < 16; ++offset) {
      for (std::size_t size = 0; size <= shape.size(); size += 7) {
        expect_matches_reference(GetParam(), std::string_view(shape).substr(0, size), offset);
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(AllBuilt, ScanVariantTest, testing::ValuesIn(available_scan_variants()),
                         [](const testing::TestParamInfo<ScanVariant>& info) {
                           return std::string(scan_variant_name(info.param));
                         });

TEST(LineScan, DefaultScannersAgreeWithEveryVariant) {
  std::mt19937 random(7);
  for (int round = 0; round < 200; ++round) {
    PlacedData placed(random_text(random, random() % 500, true), random() % 16);
    for (ScanVariant variant : available_scan_variants()) {
      EXPECT_EQ(count_crlf(placed.data(), placed.size()),
                count_crlf_with(variant, placed.data(), placed.size()));
    }
  }
}

} // namespace
