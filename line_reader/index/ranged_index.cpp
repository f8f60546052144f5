#include "line_reader/index/ranged_index.h"

#include <algorithm>

#include <cstring>
#include <new>

#include "line_reader/index/saved_index.h"
#include "platform/platform.h"

namespace line_reader::detail {

RangedIndex::RangedIndex() noexcept = default;
RangedIndex::RangedIndex(RangedIndex&&) noexcept = default;
RangedIndex& RangedIndex::operator=(RangedIndex&& other) noexcept {
  if (this != &other) {
    // The ranges go before the view they may borrow from.
    ranges_ = std::move(other.ranges_);
    pages_ = std::move(other.pages_);
    found_ = other.found_;
    longest_line_ = other.longest_line_;
    longest_length_ = other.longest_length_;
    last_found_ = other.last_found_;
  }
  return *this;
}
RangedIndex::~RangedIndex() { ranges_.clear(); }

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

void RangedIndex::hold(std::unique_ptr<SavedPages> pages) noexcept { pages_ = std::move(pages); }

bool RangedIndex::add_lazy(std::size_t r) noexcept {
  if (r != ranges_.size()) return false;
  const std::uint64_t count = pages_->entry_count(r);
  try {
    ranges_.push_back(Range{found_, nullptr});
  } catch (const std::bad_alloc&) {
    return false;
  }
  found_ += count;
  return true;
}

bool RangedIndex::entry(std::uint64_t j, std::uint64_t& start, bool& two) const noexcept {
  const Range& range = range_of(j);
  if (range.index == nullptr) return pages_->entry(number_of(range), j - range.first, start, two);
  start = range.index->start(j - range.first);
  two = range.index->after_two_bytes(j - range.first);
  return true;
}

bool RangedIndex::entries(std::uint64_t j, std::uint64_t count, std::uint64_t* starts,
                          bool* twos) const noexcept {
  for (std::uint64_t k = 0; k < count;) {
    const Range& range = range_of(j + k);
    const std::size_t r = static_cast<std::size_t>(&range - ranges_.data());
    const std::uint64_t end = r + 1 < ranges_.size() ? ranges_[r + 1].first : found_;
    const std::uint64_t stop = std::min(count, end - j);
    // A block at a time.
    while (k < stop) {
      const std::uint64_t i = j + k - range.first;
      const auto from = static_cast<std::size_t>(i & 255);
      const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(256 - from, stop - k));
      if (range.index != nullptr) {
        range.index->block_entries(static_cast<std::size_t>(i >> 8), from, n, starts + k, twos + k);
      } else if (!pages_->entries(number_of(range), i, n, starts + k, twos + k)) {
        return false;
      }
      k += n;
    }
  }
  return true;
}

std::uint64_t RangedIndex::block_count(const Range& range) const noexcept {
  return range.index != nullptr ? range.index->block_count() : pages_->block_count(number_of(range));
}

std::uint64_t RangedIndex::entry_count(const Range& range) const noexcept {
  return range.index != nullptr ? range.index->entry_count() : pages_->entry_count(number_of(range));
}

bool RangedIndex::block(const Range& range, std::uint64_t b, std::uint64_t& word, const unsigned char*& data,
                        std::size_t& bytes) const noexcept {
  if (range.index == nullptr) return pages_->block(number_of(range), b, word, data, bytes);
  const auto k = static_cast<std::size_t>(b);
  word = range.index->block_word(k);
  data = static_cast<const unsigned char*>(range.index->block_data(k));
  bytes = range.index->block_data_bytes(k);
  return true;
}

std::unique_ptr<LineIndex> RangedIndex::copied(const Range& range, bool& damaged) const noexcept {
  damaged = false;
  const std::uint64_t blocks = block_count(range);
  std::vector<std::uint64_t> words;
  std::uint64_t total = 0;
  try {
    words.resize(static_cast<std::size_t>(blocks));
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  for (std::uint64_t b = 0; b < blocks; ++b) {
    const unsigned char* data = nullptr;
    std::size_t bytes = 0;
    if (!block(range, b, words[static_cast<std::size_t>(b)], data, bytes)) {
      damaged = true;
      return nullptr;
    }
    total += bytes;
  }
  auto* copy = static_cast<unsigned char*>(
      platform::heap_allocate_zeroed(platform::process_heap(), static_cast<std::size_t>(total)));
  std::unique_ptr<LineIndex> index(new (std::nothrow) LineIndex);
  if (copy == nullptr || index == nullptr) {
    if (copy != nullptr) platform::heap_free(platform::process_heap(), copy);
    return nullptr;
  }
  std::size_t at = 0;
  for (std::uint64_t b = 0; b < blocks; ++b) {
    std::uint64_t word = 0;
    const unsigned char* data = nullptr;
    std::size_t bytes = 0;
    (void)block(range, b, word, data, bytes); // checked above
    std::memcpy(copy + at, data, bytes);
    at += bytes;
  }
  if (!index->adopt(words.data(), words.size(), entry_count(range), copy, static_cast<std::size_t>(total)))
    return nullptr;
  return index;
}

bool RangedIndex::fold_ranges(std::size_t most, bool& damaged) noexcept {
  damaged = false;
  if (most == 0) most = 1;
  while (ranges_.size() > most) {
    Range& into = ranges_[ranges_.size() - 2];
    const Range& last = ranges_.back();
    // A range of the saved index is brought into memory first.
    std::unique_ptr<LineIndex> copy;
    if (into.index == nullptr) {
      copy = copied(into, damaged);
      if (copy == nullptr) return false;
    }
    LineIndex& target = copy != nullptr ? *copy : *into.index;
    // The target's partial last block and the range after it, as full
    // blocks and a last one, built apart and then moved in: a failure
    // leaves the target as it was.
    std::unique_ptr<LineIndex> tail(new (std::nothrow) LineIndex);
    if (tail == nullptr) return false;
    std::uint64_t staged[lines_per_block];
    std::uint32_t count = target.partial_block(staged);
    const std::uint64_t entries = entry_count(last);
    for (std::uint64_t k = 0; k < entries; ++k) {
      std::uint64_t start = 0;
      bool two = false;
      if (!entry(last.first + k, start, two)) {
        damaged = true;
        return false;
      }
      staged[count++] = 2 * start + (two ? 1 : 0);
      if (count == lines_per_block) {
        if (!tail->append(staged, count)) return false;
        count = 0;
      }
    }
    if (count != 0 && !tail->append(staged, count)) return false;
    tail->shrink();
    if (!target.absorb(*tail)) return false;
    if (copy != nullptr) into.index = std::move(copy);
    ranges_.pop_back();
  }
  return true;
}

std::size_t RangedIndex::bytes() const noexcept {
  std::size_t total = ranges_.capacity() * sizeof(Range);
  for (const Range& range : ranges_) {
    if (range.index != nullptr) total += range.index->bytes();
  }
  if (pages_ != nullptr) total += pages_->bytes();
  return total;
}

} // namespace line_reader::detail
