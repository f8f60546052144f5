// Deterministic benchmark texts in several shapes.
#pragma once

#include <cstddef>
#include <cstdint>

// Deterministic text of one shape: lines of random lengths in [min, max]
// ended by CR LF (dense: a line end every byte or two), or no breaks at all,
// or full of bare CRs.
enum class Shape { prose, short_lines, long_lines, no_breaks, bare_crs, dense };

inline const char* shape_name(Shape shape) {
  switch (shape) {
  case Shape::prose: return "prose";
  case Shape::short_lines: return "short";
  case Shape::long_lines: return "long";
  case Shape::no_breaks: return "no_crlf";
  case Shape::bare_crs: return "bare_cr";
  case Shape::dense: return "dense";
  }
  return "?";
}

struct Random {
  std::uint64_t state;
  std::uint32_t next() {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return static_cast<std::uint32_t>(state >> 16);
  }
  std::uint32_t between(std::uint32_t low, std::uint32_t high) { return low + next() % (high - low + 1); }
};

inline void fill_text(Shape shape, char* out, std::size_t size) {
  Random random{0x9E3779B97F4A7C15ull + static_cast<unsigned>(shape)};
  static const char letters[] = "etaoinshrdlucmfwypvbgkjqxz      ,.";
  std::size_t i = 0;
  while (i < size) {
    std::uint32_t length = 0;
    switch (shape) {
    case Shape::prose: length = random.between(0, 120); break;
    case Shape::short_lines: length = random.between(0, 16); break;
    case Shape::long_lines: length = random.between(3584, 4608); break;
    case Shape::dense: length = random.between(0, 1); break;
    case Shape::no_breaks:
    case Shape::bare_crs: length = static_cast<std::uint32_t>(size); break;
    }
    for (std::uint32_t k = 0; k < length && i < size; ++k) {
      char c = letters[random.next() % (sizeof letters - 1)];
      if (shape == Shape::bare_crs && random.next() % 8 == 0) c = '\r';
      out[i++] = c;
    }
    if (i < size) out[i++] = '\r';
    if (i < size) out[i++] = '\n';
  }
}
