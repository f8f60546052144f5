#include "baselines.h"

#include <emmintrin.h>

#include <cstring>

std::uint64_t sum_words(const char* data, std::size_t size) {
  // 64-bit adds in vector registers, four accumulators so that the adds
  // never wait on each other: 64 bytes a step, and the loads are the limit.
  __m128i a = _mm_setzero_si128(), b = a, c = a, d = a;
  std::size_t i = 0;
  for (; i + 64 <= size; i += 64) {
    const auto* at = reinterpret_cast<const __m128i*>(data + i);
    a = _mm_add_epi64(a, _mm_loadu_si128(at));
    b = _mm_add_epi64(b, _mm_loadu_si128(at + 1));
    c = _mm_add_epi64(c, _mm_loadu_si128(at + 2));
    d = _mm_add_epi64(d, _mm_loadu_si128(at + 3));
  }
  std::uint64_t lanes[2];
  _mm_storeu_si128(reinterpret_cast<__m128i*>(lanes),
                   _mm_add_epi64(_mm_add_epi64(a, b), _mm_add_epi64(c, d)));
  std::uint64_t sum = lanes[0] + lanes[1];
  for (; i < size; ++i)
    sum += static_cast<unsigned char>(data[i]);
  return sum;
}

namespace {

template <class OnBreak> void memchr_breaks(const char* data, std::uint32_t size, OnBreak on_break) {
  const char* end = data + size;
  for (const char* p = data + 1; p < end;) {
    const auto* lf = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
    if (lf == nullptr) break;
    if (lf[-1] == '\r') on_break(static_cast<std::uint32_t>(lf - 1 - data));
    p = lf + 1;
  }
}

template <class Breaks>
std::uint32_t two_pass_index(char* data, std::uint32_t size, std::vector<LineEntry>& table, Breaks breaks) {
  std::uint32_t count = 0;
  breaks(data, size, [&](std::uint32_t) { ++count; });
  table.assign(count + 1, LineEntry{});
  std::uint32_t start = 0;
  LineEntry* cursor = table.data();
  breaks(data, size, [&](std::uint32_t q) {
    *cursor++ = LineEntry{data + start, q - start};
    start = q + 2;
  });
  if (size != 0 && data[size - 1] != '\n') {
    *cursor = LineEntry{data + start, size - start};
    ++count;
  }
  return count;
}

} // namespace

std::uint32_t memchr_index(const char* data, std::uint32_t size, std::vector<LineEntry>& table) {
  return two_pass_index(const_cast<char*>(data), size, table,
                        [](const char* d, std::uint32_t n, auto on) { memchr_breaks(d, n, on); });
}

std::uint32_t byte_loop_index(const char* data, std::uint32_t size, std::vector<LineEntry>& table) {
  return two_pass_index(const_cast<char*>(data), size, table, [](const char* d, std::uint32_t n, auto on) {
    for (std::uint32_t q = 0; q + 1 < n; ++q) {
      if (d[q] == '\r' && d[q + 1] == '\n') on(q);
    }
  });
}
