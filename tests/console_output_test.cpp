// Decimal texts and what write_text puts on standard output.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <string>

#include "report/console_output.h"
#include "temp_directory.h"

namespace {

std::string decimal(std::int32_t value) {
  char out[decimal_text_bytes];
  std::memset(out, 'X', sizeof out);
  format_decimal(value, out);
  return out;
}

std::string unsigned_decimal(std::uint32_t value) {
  char out[decimal_text_bytes];
  format_unsigned_decimal(value, out);
  return out;
}

TEST(FormatDecimal, KnownValues) {
  EXPECT_EQ(decimal(0), "0");
  EXPECT_EQ(decimal(7), "7");
  EXPECT_EQ(decimal(10), "10");
  EXPECT_EQ(decimal(-1), "-1");
  EXPECT_EQ(decimal(std::numeric_limits<std::int32_t>::min()), "-2147483648");
  EXPECT_EQ(decimal(std::numeric_limits<std::int32_t>::max()), "2147483647");
  EXPECT_EQ(unsigned_decimal(0), "0");
  EXPECT_EQ(unsigned_decimal(0xFFFFFFFFu), "4294967295");
  EXPECT_EQ(unsigned_decimal(0x80000000u), "2147483648");
}

TEST(FormatDecimal, MatchesTheStandardLibrary) {
  std::mt19937 random(3);
  for (int i = 0; i < 100000; ++i) {
    const std::uint32_t bits = random() >> (random() % 32);
    char want[16];
    *std::to_chars(want, want + sizeof want, static_cast<std::int32_t>(bits)).ptr = 0;
    ASSERT_EQ(decimal(static_cast<std::int32_t>(bits)), want);
    *std::to_chars(want, want + sizeof want, bits).ptr = 0;
    ASSERT_EQ(unsigned_decimal(bits), want);
  }
}

// Runs `write` with standard output sent to a file and returns what arrived.
template <class Write> std::string captured_output(Write write) {
  TempDirectory dir;
  const std::string file = (dir.path() / "out").string();
  std::fflush(stdout);
  const int saved = dup(STDOUT_FILENO);
  const int out = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  dup2(out, STDOUT_FILENO);
  close(out);
  write();
  dup2(saved, STDOUT_FILENO);
  close(saved);
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

TEST(WriteText, BytesArriveUnchanged) {
  std::uint32_t empty_count = 99;
  std::uint32_t count = 0;
  std::string all_bytes;
  for (int c = 1; c < 256; ++c)
    all_bytes += static_cast<char>(c);
  const std::string output = captured_output([&] {
    empty_count = write_text("");
    count = write_text("a\r\nb\n\r");
    write_text(all_bytes.c_str());
  });
  EXPECT_EQ(empty_count, 0u);
  EXPECT_EQ(count, 6u);
  EXPECT_EQ(output, "a\r\nb\n\r" + all_bytes);
}

TEST(WriteText, AFullOutputEndsNothing) {
  std::fflush(stdout);
  const int saved = dup(STDOUT_FILENO);
  const int full = open("/dev/full", O_WRONLY);
  if (full < 0) GTEST_SKIP() << "no /dev/full here";
  dup2(full, STDOUT_FILENO);
  close(full);
  const std::uint32_t written = write_text("nowhere to go");
  dup2(saved, STDOUT_FILENO);
  close(saved);
  EXPECT_EQ(written, 0u);
}

} // namespace
