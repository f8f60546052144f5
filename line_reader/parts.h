// Equal parts and uniform samples of a file's lines, for the programs and
// the Python module that offer them.
#pragma once

#include <cstdint>
#include <vector>

namespace line_reader::detail {

// k n-ths of `whole` (k <= n <= 2^32), rounded down, without overflow.
inline std::uint64_t share(std::uint64_t whole, std::uint64_t k, std::uint64_t n) noexcept {
  return whole / n * k + whole % n * k / n;
}

// `k` distinct numbers of [0, count) (k <= count) chosen uniformly, in
// order: Floyd's way, k draws whatever the count. The same for the same seed.
std::vector<std::uint64_t> sample_of(std::uint64_t count, std::uint64_t k, std::uint64_t seed);

} // namespace line_reader::detail
