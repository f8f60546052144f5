// format_decimal, format_unsigned_decimal and text_length against the
// standard library, for every value the input spells.
#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "report/console_output.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* input, std::size_t size) {
  for (std::size_t at = 0; at + 4 <= size; at += 4) {
    std::uint32_t bits = 0;
    std::memcpy(&bits, input + at, 4);
    char ours[decimal_text_bytes + 4];
    char theirs[16];
    std::memset(ours, 'X', sizeof ours);
    format_decimal(static_cast<std::int32_t>(bits), ours);
    *std::to_chars(theirs, theirs + sizeof theirs, static_cast<std::int32_t>(bits)).ptr = 0;
    if (std::strcmp(ours, theirs) != 0 || ours[decimal_text_bytes] != 'X') std::abort();
    format_unsigned_decimal(bits, ours);
    *std::to_chars(theirs, theirs + sizeof theirs, bits).ptr = 0;
    if (std::strcmp(ours, theirs) != 0) std::abort();
  }
  const std::string text(reinterpret_cast<const char*>(input), size);
  if (text_length(text.c_str()) != std::strlen(text.c_str())) std::abort();
  return 0;
}
