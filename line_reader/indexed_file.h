// A C++ owner of one loaded, indexed file, built on the command record.
//
//   std::error_code error;
//   auto file = line_reader::IndexedFile::open("notes.txt", error);
//   if (error) { std::cerr << error.message() << '\n'; return 1; }
//   for (std::string_view line : file) std::cout << line << '\n';
//
// Lines are views into the file's buffer, without their CR LF, and stay valid
// while the owner lives (moves included). Opening and copying report failures
// through std::error_code and never throw; line(n) with n out of range throws
// std::out_of_range, as at() does in the standard containers. Needs C++17.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string_view>
#include <system_error>

#include "line_reader/errors.h"
#include "line_reader/line_reader.h"

namespace line_reader {

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
  explicit LineIterator(const LineEntry* entry) : entry_(entry) {}

  std::string_view operator*() const { return {entry_->start, entry_->length}; }
  std::string_view operator[](difference_type n) const { return *(*this + n); }
  LineIterator& operator++() { return ++entry_, *this; }
  LineIterator operator++(int) { return LineIterator(entry_++); }
  LineIterator& operator--() { return --entry_, *this; }
  LineIterator operator--(int) { return LineIterator(entry_--); }
  LineIterator& operator+=(difference_type n) { return entry_ += n, *this; }
  LineIterator& operator-=(difference_type n) { return entry_ -= n, *this; }
  friend LineIterator operator+(LineIterator i, difference_type n) { return i += n; }
  friend LineIterator operator+(difference_type n, LineIterator i) { return i += n; }
  friend LineIterator operator-(LineIterator i, difference_type n) { return i -= n; }
  friend difference_type operator-(LineIterator a, LineIterator b) { return a.entry_ - b.entry_; }
  friend bool operator==(LineIterator a, LineIterator b) { return a.entry_ == b.entry_; }
  friend bool operator!=(LineIterator a, LineIterator b) { return a.entry_ != b.entry_; }
  friend bool operator<(LineIterator a, LineIterator b) { return a.entry_ < b.entry_; }
  friend bool operator>(LineIterator a, LineIterator b) { return a.entry_ > b.entry_; }
  friend bool operator<=(LineIterator a, LineIterator b) { return a.entry_ <= b.entry_; }
  friend bool operator>=(LineIterator a, LineIterator b) { return a.entry_ >= b.entry_; }

private:
  const LineEntry* entry_ = nullptr;
};

class IndexedFile {
public:
  // No file: no lines.
  IndexedFile() noexcept = default;

  // Loads and indexes the regular file `path`. On failure `error` says why and
  // the result holds no lines.
  static IndexedFile open(const char* path, std::error_code& error) noexcept;
  // Indexes a copy of `bytes`, placed as a loaded file is (on a 16-byte
  // boundary, zeros after it), so that the results never depend on where the
  // caller's bytes lie.
  static IndexedFile copy_of(std::string_view bytes, std::error_code& error) noexcept;

  IndexedFile(IndexedFile&& other) noexcept;
  IndexedFile& operator=(IndexedFile&& other) noexcept;
  IndexedFile(const IndexedFile&) = delete;
  IndexedFile& operator=(const IndexedFile&) = delete;
  ~IndexedFile();

  // As the record counts them: data of two bytes or fewer has no lines.
  std::uint32_t line_count() const noexcept { return record_.line_count; }
  std::size_t size() const noexcept { return record_.line_count; }
  bool empty() const noexcept { return record_.line_count == 0; }
  // The longest line that ends in CR LF: its number (from 1; 0 when none is
  // longer than 0 bytes) and its length.
  std::uint32_t longest_line() const noexcept { return record_.longest_line; }
  std::uint32_t longest_length() const noexcept { return record_.longest_length; }

  // Line `number`, from 1. Throws std::out_of_range outside 1..line_count().
  std::string_view line(std::uint32_t number) const;

  LineIterator begin() const noexcept { return LineIterator(record_.table); }
  LineIterator end() const noexcept { return LineIterator(record_.table + record_.line_count); }

  // Overwrites every CR LF in the buffer with two NUL bytes, so that each
  // line's data()[size()] is '\0' and lines can be used as C strings. The last
  // line is followed by zeros already. Returns false when no line ends in CR LF.
  bool nul_terminate() noexcept;

  // The command record underneath, for the C interface. Do not release it.
  const LineRecord& record() const noexcept { return record_; }

private:
  static IndexedFile indexed(LineRecord record, errc loaded, std::error_code& error) noexcept;
  void release() noexcept;

  LineRecord record_{};
};

} // namespace line_reader
