// The index of a file built in ranges, one a thread or one an append: the
// ranges' indexes are kept as they were built, one after the other, with the
// number of line ends before each, so that joining them copies nothing. The
// start after line end j (from 0) is found by a binary search over the
// ranges (a handful) and one lookup in a range's blocks. A range may also be
// one of a saved index that is read lazily, each piece checked when it is
// first used.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <vector>

#include "line_reader/index/line_index.h"

namespace line_reader::detail {

class SavedPages;

class RangedIndex {
public:
  struct Range {
    std::uint64_t first; // line ends before the range
    // Null for a range of a saved index read lazily, which is the saved
    // index's range of the same number: such ranges come first, and ranges
    // are only added after them or taken off the end.
    std::unique_ptr<LineIndex> index;
  };

  RangedIndex() noexcept;
  RangedIndex(RangedIndex&&) noexcept;
  RangedIndex& operator=(RangedIndex&&) noexcept;
  ~RangedIndex();

  // Adds a range built after the others, and its lines to the statistics.
  // False when there is no memory; the index is then as it was.
  bool add(std::unique_ptr<LineIndex> index, const RangeTotals& totals) noexcept;
  // Room for `more` ranges, so that adding them cannot fail.
  bool reserve(std::size_t more) noexcept {
    try {
      ranges_.reserve(ranges_.size() + more);
      return true;
    } catch (const std::bad_alloc&) {
      return false;
    }
  }
  // Adds a range that was saved, whose statistics come with the whole.
  bool add_saved(std::unique_ptr<LineIndex> index) noexcept;
  // Keeps the view of a saved index that ranges read from (lazily, or their
  // blocks' bytes in place); it goes after them.
  void hold(std::unique_ptr<SavedPages> pages) noexcept;
  // Adds range r of the lazily read saved index.
  bool add_lazy(std::size_t r) noexcept;
  void set_statistics(std::uint64_t longest_line, std::uint64_t longest_length,
                      std::uint64_t last_found) noexcept {
    longest_line_ = longest_line;
    longest_length_ = longest_length;
    last_found_ = last_found;
  }

  // Where the index stands, so that ranges added after it can be taken off
  // again with their statistics.
  struct Mark {
    std::size_t ranges;
    std::uint64_t found, longest_line, longest_length, last_found;
  };
  Mark mark() const noexcept { return {ranges_.size(), found_, longest_line_, longest_length_, last_found_}; }
  void rewind(const Mark& mark) noexcept {
    while (ranges_.size() > mark.ranges)
      ranges_.pop_back();
    found_ = mark.found;
    longest_line_ = mark.longest_line;
    longest_length_ = mark.longest_length;
    last_found_ = mark.last_found;
  }

  // Keeps a file followed through many appends at `most` ranges or fewer:
  // the last range is joined onto the one before it, which grows in place,
  // so that a join costs the lines of the range joined and each line is
  // moved once. False when there is no memory or a saved piece
  // is damaged (`damaged` then says so), and the index is as it was.
  bool fold_ranges(std::size_t most, bool& damaged) noexcept;

  std::uint64_t found() const noexcept { return found_; }
  // The start after line end j, and whether that line end is two bytes,
  // when every range is in memory (an index that was never loaded lazily).
  std::uint64_t start_after(std::uint64_t j) const noexcept {
    const Range& range = range_of(j);
    return range.index->start(j - range.first);
  }
  bool two_bytes(std::uint64_t j) const noexcept {
    const Range& range = range_of(j);
    return range.index->after_two_bytes(j - range.first);
  }
  // Both, from any range; false when the saved piece that holds them is damaged.
  bool entry(std::uint64_t j, std::uint64_t& start, bool& two) const noexcept;
  // Entries [j, j + count) in order, into `starts` and `twos`, each range
  // found once; false when a saved piece that holds one is damaged.
  bool entries(std::uint64_t j, std::uint64_t count, std::uint64_t* starts, bool* twos) const noexcept;

  // A range's blocks, for saving: its word, bytes and their count; false
  // when a saved piece is damaged.
  std::uint64_t block_count(const Range& range) const noexcept;
  std::uint64_t entry_count(const Range& range) const noexcept;
  bool block(const Range& range, std::uint64_t b, std::uint64_t& word, const unsigned char*& data,
             std::size_t& bytes) const noexcept;
  // The first of the longest lines that end in a line end (number from 1;
  // 0 when none is longer than 0 bytes) and the last line end's start, staged.
  std::uint64_t longest_line() const noexcept { return longest_line_; }
  std::uint64_t longest_length() const noexcept { return longest_length_; }
  std::uint64_t last_found() const noexcept { return last_found_; }
  const std::vector<Range>& ranges() const noexcept { return ranges_; }
  std::size_t bytes() const noexcept;

private:
  const Range& range_of(std::uint64_t j) const noexcept {
    std::size_t low = 0;
    std::size_t high = ranges_.size();
    while (high - low > 1) {
      const std::size_t middle = (low + high) / 2;
      if (ranges_[middle].first <= j) {
        low = middle;
      } else {
        high = middle;
      }
    }
    return ranges_[low];
  }

  std::size_t number_of(const Range& range) const noexcept {
    return static_cast<std::size_t>(&range - ranges_.data());
  }
  // A range of the saved index in memory, its pieces checked.
  std::unique_ptr<LineIndex> copied(const Range& range, bool& damaged) const noexcept;

  std::unique_ptr<SavedPages> pages_; // before the ranges, which may borrow from it
  std::vector<Range> ranges_;
  std::uint64_t found_ = 0;
  std::uint64_t longest_line_ = 0;
  std::uint64_t longest_length_ = 0;
  std::uint64_t last_found_ = 0; // staged; 0 is the text's start
};

} // namespace line_reader::detail
