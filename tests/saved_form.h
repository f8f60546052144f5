// A saved index taken apart by its fields, to be changed as an attacker
// would and put back with every hash right, so that what is tested is the
// loader's structural checks behind the hashes. Every walk is bounded by
// the bytes at hand: a fuzzer hands it anything.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>

#include "line_reader/index/saved_index.h"

class SavedForm {
public:
  explicit SavedForm(std::string bytes) : bytes_(std::move(bytes)) {}
  const std::string& bytes() const { return bytes_; }

  template <class T> T get(std::uint64_t at) const {
    T value{};
    if (at <= bytes_.size() && sizeof value <= bytes_.size() - at)
      std::memcpy(&value, bytes_.data() + at, sizeof value);
    return value;
  }
  template <class T> void put(std::uint64_t at, T value) {
    if (at <= bytes_.size() && sizeof value <= bytes_.size() - at)
      std::memcpy(bytes_.data() + at, &value, sizeof value);
  }

  std::uint64_t ranges() const { return get<std::uint32_t>(104); }
  std::uint64_t pages() const { return get<std::uint64_t>(96); }
  std::uint64_t range_at(std::uint64_t r) const { return 128 + 32 * r; }
  std::uint64_t top_at(std::uint64_t g) const { return 128 + 32 * ranges() + 24 * g; }
  // Where range r's pages of words begin, as the loader lays them out.
  std::uint64_t words_at(std::uint64_t r) const {
    std::uint64_t at = top_at(pages());
    for (std::uint64_t k = 0; k < r && k < 1024; ++k) {
      const std::uint64_t data = get<std::uint64_t>(range_at(k) + 24);
      at += 16 * get<std::uint64_t>(range_at(k) + 16) + data + (8 - data % 8) % 8;
    }
    return at;
  }
  // Block b's word entry in range r, and where its bytes begin.
  std::uint64_t word_at(std::uint64_t r, std::uint64_t b) const { return words_at(r) + 16 * b; }
  std::uint64_t block_data_at(std::uint64_t r, std::uint64_t b) const {
    std::uint64_t g = 0;
    for (std::uint64_t k = 0; k < r && k < 1024; ++k)
      g += (get<std::uint64_t>(range_at(k) + 16) + 255) / 256;
    return get<std::uint64_t>(top_at(g + b / 256) + 8) + get<std::uint32_t>(word_at(r, b) + 8);
  }

  // Every block's hash, every page's and the header's, as a save writes them.
  void rehash() {
    std::uint64_t g = 0;
    const std::uint64_t range_count = ranges() < 1024 ? ranges() : 1024;
    for (std::uint64_t r = 0; r < range_count; ++r) {
      const std::uint64_t blocks = get<std::uint64_t>(range_at(r) + 16);
      const std::uint64_t entries = get<std::uint64_t>(range_at(r) + 8);
      const std::uint64_t words = words_at(r);
      for (std::uint64_t b = 0; b < blocks && words + 16 * (b + 1) <= bytes_.size(); ++b) {
        const std::uint64_t word = get<std::uint64_t>(words + 16 * b);
        const std::uint64_t in_block = b + 1 < blocks ? 256 : entries - (blocks - 1) * 256;
        const std::uint64_t size = ((word >> 60 & 3) == 2 ? 32 : 0) +
                                   (in_block > 256 ? 256 : in_block) * (std::uint64_t{2} << (word >> 62 & 3));
        const std::uint64_t at = block_data_at(r, b);
        if (at <= bytes_.size() && size <= bytes_.size() - at)
          put<std::uint32_t>(words + 16 * b + 12, static_cast<std::uint32_t>(line_reader::detail::hash_bytes(
                                                      bytes_.data() + at, size)));
      }
      for (std::uint64_t p = 0; p * 256 < blocks && g < pages() && words + p * 4096 < bytes_.size();
           ++p, ++g) {
        const std::uint64_t count = blocks - p * 256 < 256 ? blocks - p * 256 : 256;
        const std::uint64_t at = words + p * 4096;
        if (at <= bytes_.size() && 16 * count <= bytes_.size() - at)
          put<std::uint64_t>(top_at(g) + 16, line_reader::detail::hash_bytes(bytes_.data() + at, 16 * count));
      }
    }
    const std::uint64_t end = top_at(pages());
    if (end >= 128 && end <= bytes_.size()) {
      std::string hashed = bytes_.substr(0, 120) + bytes_.substr(128, end - 128);
      put<std::uint64_t>(120, line_reader::detail::hash_bytes(hashed.data(), hashed.size()));
    }
  }

private:
  std::string bytes_;
};
