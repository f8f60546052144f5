// What the library face's steps are made of: the step as a flat JSON object
// (strings and integers, one a line in the log), bytes of many shapes made
// from a seed, and compressed members made by zlib, libzstd and liblzma
// themselves, so that the text a file holds is known without our decoders.
#pragma once

#include <cstdint>
#include <map>
#include <random>
#include <string>

namespace soak {

struct Step {
  std::map<std::string, std::string> strings;
  std::map<std::string, std::uint64_t> numbers;

  std::string op() const { return text("op"); }
  std::string text(const std::string& key) const {
    const auto found = strings.find(key);
    return found == strings.end() ? std::string() : found->second;
  }
  std::uint64_t number(const std::string& key, std::uint64_t otherwise = 0) const {
    const auto found = numbers.find(key);
    return found == numbers.end() ? otherwise : found->second;
  }
};

// One line of JSON, "op" first; a line that is not a flat object of strings
// and integers gives false.
std::string to_json(const Step& step);
bool from_json(const std::string& line, Step& step);
std::string json_string(const std::string& text);

// About `size` bytes of one shape, the same for the same seed: prose, CR LF,
// CR and LF cut anywhere, NUL, invalid UTF-8, many short lines, one long
// line. `shapes` lists them, ending with nullptr.
extern const char* const shapes[];
std::string make_bytes(std::uint64_t seed, std::uint64_t size, const std::string& shape);

// One gzip member, zstd frame or xz stream of `text` ("gzip", "zstd",
// "xz"), flushed every `flush_every` bytes of text (0: never) as a writer
// that flushes its records does: deflate blocks end there, xz blocks too.
std::string compress(const std::string& form, const std::string& text, int level, std::uint64_t flush_every);

} // namespace soak
