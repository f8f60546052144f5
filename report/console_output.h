// Text and numbers on standard output, with nothing buffered in the program.
#pragma once

#include <cstdint>

// Writes the NUL-terminated `text` to standard output as it is (no line-end or
// character-set translation), continuing after partial and interrupted writes
// until every byte is out or the output fails. Returns the bytes written.
std::uint32_t write_text(const char* text);

// Bytes before the first NUL.
std::uint32_t text_length(const char* text);

// Room that the formatters need: a sign, ten digits and the NUL.
inline constexpr unsigned decimal_text_bytes = 12;

// The decimal text of `value` and a NUL in `out` (at least 12 bytes): no
// leading zeros, no plus sign, no grouping; a negative value is a minus sign
// and the digits of its magnitude, so the most negative value prints in full.
void format_decimal(std::int32_t value, char* out);

// The same for an unsigned value, for counts that may pass 2^31 - 1.
void format_unsigned_decimal(std::uint32_t value, char* out);
