// Standard output of the lines program: buffered, and lines numbered as
// cat -n numbers them when asked.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "line_reader/compression.h"
#include "lines/cache.h"
#include "lines/options.h"

namespace lines {

class Output {
public:
  // `crlf`: only CR LF ends a line, for the numbers; else LF does.
  // `offsets`: each line after its byte offset and a colon.
  Output(bool number, bool crlf, bool offsets = false) : number_(number), crlf_(crlf), offsets_(offsets) {
    buffer_.reserve(buffer_bytes);
  }
  ~Output() = default;

  // The bytes of lines, as the file has them; the next line is `line`.
  void lines(std::string_view bytes);
  // Where the numbers go on: line `line`, from its start or within it,
  // and then `after_cr` when the byte before is a CR (a CR LF cut there).
  void number_from(std::uint64_t line, bool at_line_start, bool after_cr = false) {
    line_ = line;
    at_start_ = at_line_start;
    cr_before_ = after_cr;
  }
  // The byte offset of the next byte that lines() is given.
  void bytes_from(std::uint64_t offset) { offset_ = offset; }
  void text(std::string_view bytes);
  // Sends what is buffered. A reader that has gone ends the process quietly;
  // another failure ends it with a message and status 2.
  void flush();

private:
  static constexpr std::size_t buffer_bytes = 256 * 1024;
  void put(std::string_view bytes);

  std::string buffer_;
  bool number_;
  bool crlf_;
  bool offsets_;
  std::uint64_t offset_ = 0;
  std::uint64_t line_ = 1;
  bool at_start_ = true;
  bool cr_before_ = false;
};

// What --summary prints (--json: one JSON object); of several files, after
// a line that names the file, as head names them.
std::string summary_text(const Summary& summary, const Options& options);
// What --summary prints after those of several files: how many were
// summarized, and their bytes, lines and index bytes added up.
std::string summary_total_text(const Options& options);
// What --count prints: the count, and of several files the file's name
// after it, as wc -l prints them. The counts printed are added up in
// counted_lines().
std::string count_text(std::uint64_t lines, const Options& options);
std::uint64_t counted_lines();

// Why a compressed file is not read as lines, and how to read it anyway.
std::string compressed_advice(line_reader::Compression compression, const std::string& file);

// A JSON string of `text`: quoted, escaped, and any byte that is not UTF-8
// given as U+FFFD.
std::string json_string(std::string_view text);

} // namespace lines
