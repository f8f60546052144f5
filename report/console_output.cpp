#include "report/console_output.h"

#include <cstring>

#include "platform/platform.h"

std::uint32_t write_text(const char* text) {
  const std::uint32_t length = text_length(text);
  std::uint32_t done = 0;
  while (done < length) {
    std::uint32_t written = 0;
    if (!line_reader::platform::write_standard_output(text + done, length - done, written) || written == 0)
      break;
    done += written;
  }
  return done;
}

std::uint32_t text_length(const char* text) { return static_cast<std::uint32_t>(std::strlen(text)); }

void format_unsigned_decimal(std::uint32_t value, char* out) {
  // Least significant digit first, then reversed in place.
  char* end = out;
  do {
    *end++ = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  *end = 0;
  for (--end; out < end; ++out, --end) {
    const char digit = *out;
    *out = *end;
    *end = digit;
  }
}

void format_decimal(std::int32_t value, char* out) {
  if (value < 0) {
    *out++ = '-';
    // The magnitude as an unsigned number: 0 - value cannot overflow there.
    format_unsigned_decimal(0u - static_cast<std::uint32_t>(value), out);
    return;
  }
  format_unsigned_decimal(static_cast<std::uint32_t>(value), out);
}
