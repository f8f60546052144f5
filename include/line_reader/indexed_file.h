// A C++ owner of one file's text and its line index.
//
//   std::error_code error;
//   auto file = line_reader::IndexedFile::open("notes.txt", error);
//   if (error) { std::cerr << error.message() << '\n'; return 1; }
//   for (std::string_view line : file) std::cout << line << '\n';
//
// Lines are views into the text, without their line ends, and stay valid
// while the owner lives (moves included). Any file that fits in memory
// opens; counts and line numbers are 64-bit. The index takes about two bytes
// a line (lines shorter than 256 bytes), four at most, and line(n) takes the
// same time for any n.
//
// Line ends:
// - LineEnds::crlf: only the pair CR LF ends a line; a CR or LF alone is
//   text. Text after the last pair is a line whenever it is not empty, also
//   when its last byte is LF ("a\r\nb\n" gives "a" and "b\n").
// - LineEnds::lf: every LF ends a line, and a CR right before it belongs to
//   the line end ("a\r\nb\n" gives "a" and "b").
// In both, text after the last line end is a line when it is not empty, and
// NUL bytes are ordinary text.
//
// Opening and copying report failures through std::error_code and never
// throw; line(n) with n out of range throws std::out_of_range, as at() does
// in the standard containers. Needs C++17.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string_view>
#include <system_error>

#include "line_reader/errors.h"
#include "line_reader/line_ends.h"

namespace line_reader {

class LineIterator;

class IndexedFile {
public:
  // No file: no lines.
  IndexedFile() noexcept = default;

  // Reads the regular file `path` and indexes it as it arrives. On failure
  // `error` says why and the result holds no lines. A gzip, zstd or xz file
  // (where this build reads it: decodes()) holds its text, up to the end of
  // its last whole member, frame or stream; other compressed forms are
  // errc::compressed. With `raw` the bytes are indexed as they are.
  static IndexedFile open(const char* path, std::error_code& error, LineEnds ends = LineEnds::crlf,
                          bool raw = false) noexcept;
  // Indexes a copy of `bytes`.
  static IndexedFile copy_of(std::string_view bytes, std::error_code& error,
                             LineEnds ends = LineEnds::crlf) noexcept;

  IndexedFile(IndexedFile&& other) noexcept : state_(other.state_) { other.state_ = nullptr; }
  IndexedFile& operator=(IndexedFile&& other) noexcept;
  IndexedFile(const IndexedFile&) = delete;
  IndexedFile& operator=(const IndexedFile&) = delete;
  ~IndexedFile();

  std::uint64_t line_count() const noexcept;
  std::size_t size() const noexcept { return static_cast<std::size_t>(line_count()); }
  bool empty() const noexcept { return line_count() == 0; }
  // The longest of the lines that end in a line end: its number (from 1; 0
  // when none is longer than 0 bytes) and its length. The first of equal
  // lengths wins.
  std::uint64_t longest_line() const noexcept;
  std::uint64_t longest_length() const noexcept;

  // Line `number`, from 1, without its line end. Throws std::out_of_range
  // outside 1..line_count().
  std::string_view line(std::uint64_t number) const;

  inline LineIterator begin() const noexcept;
  inline LineIterator end() const noexcept;

  // Heap bytes that the line index holds, the text not counted.
  std::size_t index_bytes() const noexcept;
  // The whole file, as read.
  std::string_view text() const noexcept;

  // Overwrites each line end's first byte with NUL (in CR LF mode both bytes
  // of the pair, as the record API does), so that each line's
  // data()[size()] is '\0' and lines can be used as C strings. The last line
  // is followed by zeros already. Returns false when no line ends in a line
  // end.
  bool nul_terminate() noexcept;

  // The text and its index, opaque to users.
  struct State;

private:
  friend class LineIterator;
  explicit IndexedFile(State* state) noexcept : state_(state) {}
  // Line `index`, from 0, which must be below line_count().
  static std::string_view line_at(const State& state, std::uint64_t index) noexcept;

  State* state_ = nullptr;
};

// A random-access iterator over the lines, giving each as a string_view.
class LineIterator {
public:
  using iterator_concept = std::random_access_iterator_tag;
  using iterator_category = std::input_iterator_tag; // its values are not references
  using value_type = std::string_view;
  using difference_type = std::ptrdiff_t;
  using reference = std::string_view;
  using pointer = void;

  LineIterator() = default;
  // Line `index` (from 0) of the owner's text and index, which the iterator
  // follows when the owner is moved.
  LineIterator(const IndexedFile::State* state, std::uint64_t index) : state_(state), index_(index) {}

  std::string_view operator*() const { return IndexedFile::line_at(*state_, index_); }
  std::string_view operator[](difference_type n) const { return *(*this + n); }
  LineIterator& operator++() { return ++index_, *this; }
  LineIterator operator++(int) { return LineIterator(state_, index_++); }
  LineIterator& operator--() { return --index_, *this; }
  LineIterator operator--(int) { return LineIterator(state_, index_--); }
  LineIterator& operator+=(difference_type n) { return index_ += static_cast<std::uint64_t>(n), *this; }
  LineIterator& operator-=(difference_type n) { return index_ -= static_cast<std::uint64_t>(n), *this; }
  friend LineIterator operator+(LineIterator i, difference_type n) { return i += n; }
  friend LineIterator operator+(difference_type n, LineIterator i) { return i += n; }
  friend LineIterator operator-(LineIterator i, difference_type n) { return i -= n; }
  friend difference_type operator-(LineIterator a, LineIterator b) {
    return static_cast<difference_type>(a.index_ - b.index_);
  }
  friend bool operator==(LineIterator a, LineIterator b) { return a.index_ == b.index_; }
  friend bool operator!=(LineIterator a, LineIterator b) { return a.index_ != b.index_; }
  friend bool operator<(LineIterator a, LineIterator b) { return a.index_ < b.index_; }
  friend bool operator>(LineIterator a, LineIterator b) { return a.index_ > b.index_; }
  friend bool operator<=(LineIterator a, LineIterator b) { return a.index_ <= b.index_; }
  friend bool operator>=(LineIterator a, LineIterator b) { return a.index_ >= b.index_; }

private:
  const IndexedFile::State* state_ = nullptr;
  std::uint64_t index_ = 0;
};

inline LineIterator IndexedFile::begin() const noexcept { return LineIterator(state_, 0); }
inline LineIterator IndexedFile::end() const noexcept { return LineIterator(state_, line_count()); }

} // namespace line_reader
