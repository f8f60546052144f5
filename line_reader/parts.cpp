#include "line_reader/parts.h"

#include <algorithm>
#include <random>
#include <unordered_set>

namespace line_reader::detail {

std::vector<std::uint64_t> sample_of(std::uint64_t count, std::uint64_t k, std::uint64_t seed) {
  std::mt19937_64 random(seed);
  std::unordered_set<std::uint64_t> chosen;
  chosen.reserve(static_cast<std::size_t>(k) * 2);
  for (std::uint64_t j = count - k; j < count; ++j) {
    const std::uint64_t t = std::uniform_int_distribution<std::uint64_t>(0, j)(random);
    if (!chosen.insert(t).second) chosen.insert(j);
  }
  std::vector<std::uint64_t> sorted(chosen.begin(), chosen.end());
  std::sort(sorted.begin(), sorted.end());
  return sorted;
}

} // namespace line_reader::detail
