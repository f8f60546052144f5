// A naive line index, written from the definitions rather than from the
// scanner: a break is CR followed by LF (the byte after the data counts as
// zero); the positions before the first 16-byte boundary are walked one at a
// time and a NUL among them ends the scan early, as does nothing being left
// after them; an early end records no trailing line; otherwise the text after
// the last break is a trailing line unless the data's last byte is LF. The
// longest line is the first of the greatest length among the lines that end
// in CR LF.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <vector>

struct ReferenceLine {
  std::uint32_t offset;
  std::uint32_t length;
  bool operator==(const ReferenceLine&) const = default;
};

struct ReferenceIndex {
  std::uint32_t breaks = 0;
  std::vector<ReferenceLine> lines; // the trailing line last, when there is one
  bool trailing = false;
  std::uint32_t longest_length = 0;
  std::uint32_t longest_line = 0;
};

inline ReferenceIndex reference_index(const char* p, std::uint32_t n) {
  const auto misalign = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(p) % 16);
  const std::uint32_t head = misalign == 0 ? 0 : 16 - misalign;
  std::uint32_t scanned = n;
  bool normal_end = true;
  for (std::uint32_t i = 0; i < head; ++i) {
    if (i >= n || p[i] == 0) {
      scanned = i;
      normal_end = false;
      break;
    }
  }
  if (normal_end && head >= n) normal_end = false;

  ReferenceIndex index;
  std::uint32_t start = 0;
  for (std::uint32_t q = 0; q + 1 < n && q < scanned; ++q) {
    if (p[q] != '\r' || p[q + 1] != '\n') continue;
    ++index.breaks;
    index.lines.push_back({start, q - start});
    if (q - start > index.longest_length) {
      index.longest_length = q - start;
      index.longest_line = index.breaks;
    }
    start = q + 2;
  }
  if (normal_end && p[n - 1] != '\n') {
    index.lines.push_back({start, n - start});
    index.trailing = true;
  }
  return index;
}

// Data at a chosen distance from a 16-byte boundary, followed by exactly one
// zero byte, so that the address sanitizer catches any read further on.
class PlacedData {
public:
  PlacedData(std::string_view bytes, std::uint32_t offset)
      : storage_(new (std::align_val_t{16}) char[offset + bytes.size() + 1]()), offset_(offset),
        size_(static_cast<std::uint32_t>(bytes.size())) {
    std::memcpy(data(), bytes.data(), bytes.size());
  }
  char* data() { return storage_.get() + offset_; }
  std::uint32_t size() const { return size_; }

private:
  struct AlignedDelete {
    void operator()(char* p) const { ::operator delete[](p, std::align_val_t{16}); }
  };
  std::unique_ptr<char[], AlignedDelete> storage_;
  std::uint32_t offset_;
  std::uint32_t size_;
};
