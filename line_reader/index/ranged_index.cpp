#include "line_reader/index/ranged_index.h"

#include <new>

namespace line_reader::detail {

bool RangedIndex::add(std::unique_ptr<LineIndex> index, const RangeTotals& totals) noexcept {
  if (totals.found == 0) return true;
  if (!add_saved(std::move(index))) return false;
  // The range's first line began before it, at the last line end so far;
  // the lines before come first, so only a longer one wins.
  const std::uint64_t first_number = found_ - totals.found;
  const std::uint64_t seam = staged_line_length(last_found_, totals.first_found);
  if (seam > longest_length_) {
    longest_length_ = seam;
    longest_line_ = first_number + 1;
  }
  if (totals.longest_length > longest_length_) {
    longest_length_ = totals.longest_length;
    longest_line_ = first_number + totals.longest_line;
  }
  last_found_ = totals.last_found;
  return true;
}

bool RangedIndex::add_saved(std::unique_ptr<LineIndex> index) noexcept {
  const std::uint64_t count = index->entry_count();
  if (count == 0) return true;
  try {
    ranges_.push_back(Range{found_, std::move(index)});
  } catch (const std::bad_alloc&) {
    return false;
  }
  found_ += count;
  return true;
}

bool RangedIndex::join_ranges() noexcept {
  if (ranges_.size() < 2) return true;
  std::unique_ptr<LineIndex> joined(new (std::nothrow) LineIndex);
  if (joined == nullptr) return false;
  std::uint64_t staged[lines_per_block];
  for (std::uint64_t j = 0; j < found_;) {
    std::uint32_t count = 0;
    for (; count < lines_per_block && j < found_; ++count, ++j)
      staged[count] = 2 * start_after(j) + (two_bytes(j) ? 1 : 0);
    if (!joined->append(staged, count)) return false;
  }
  joined->shrink();
  std::vector<Range> one;
  try {
    one.push_back(Range{0, std::move(joined)});
  } catch (const std::bad_alloc&) {
    return false;
  }
  ranges_.swap(one);
  return true;
}

std::size_t RangedIndex::bytes() const noexcept {
  std::size_t total = ranges_.capacity() * sizeof(Range);
  for (const Range& range : ranges_)
    total += range.index->bytes();
  return total;
}

} // namespace line_reader::detail
