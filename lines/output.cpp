#include "lines/output.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "lines/system.h"

namespace lines {

void Output::put(std::string_view bytes) {
  if (buffer_.size() + bytes.size() > buffer_bytes) flush();
  if (bytes.size() >= buffer_bytes) {
    bool closed = false;
    std::string reason;
    if (!system::write_output(bytes.data(), bytes.size(), closed, reason)) {
      if (closed) std::exit(0);
      system::write_error("lines: write error: " + reason + "\n");
      std::exit(2);
    }
    return;
  }
  buffer_.append(bytes);
}

void Output::text(std::string_view bytes) { put(bytes); }

void Output::lines(std::string_view bytes) {
  if (!number_ && !offsets_) {
    put(bytes);
    return;
  }
  while (!bytes.empty()) {
    if (at_start_) {
      char number[64];
      int length = number_ ? std::snprintf(number, sizeof number, "%6" PRIu64 "\t", line_) : 0;
      if (offsets_) length += std::snprintf(number + length, sizeof number - 32, "%" PRIu64 ":", offset_);
      put(std::string_view(number, static_cast<std::size_t>(length)));
      at_start_ = false;
    }
    // To the end of this line, or of the bytes given.
    std::size_t at = 0;
    bool ended = false;
    for (;;) {
      const void* lf = std::memchr(bytes.data() + at, '\n', bytes.size() - at);
      if (lf == nullptr) {
        at = bytes.size();
        break;
      }
      const std::size_t found = static_cast<std::size_t>(static_cast<const char*>(lf) - bytes.data());
      const bool cr = found > 0 ? bytes[found - 1] == '\r' : cr_before_;
      at = found + 1;
      if (!crlf_ || cr) {
        ended = true;
        break;
      }
    }
    cr_before_ = bytes[at - 1] == '\r';
    put(bytes.substr(0, at));
    bytes.remove_prefix(at);
    offset_ += at;
    if (ended) {
      ++line_;
      at_start_ = true;
      cr_before_ = false;
    }
  }
}

void Output::flush() {
  bool closed = false;
  std::string reason;
  if (!buffer_.empty() && !system::write_output(buffer_.data(), buffer_.size(), closed, reason)) {
    if (closed) std::exit(0);
    system::write_error("lines: write error: " + reason + "\n");
    std::exit(2);
  }
  buffer_.clear();
}

namespace {

const char* decompressor_of(line_reader::Compression compression) {
  switch (compression) {
  case line_reader::Compression::gzip: return "zcat";
  case line_reader::Compression::zstd: return "zstd -dc";
  case line_reader::Compression::xz: return "xz -dc";
  case line_reader::Compression::bzip2: return "bzcat";
  case line_reader::Compression::lz4: return "lz4 -dc";
  case line_reader::Compression::zip: return "unzip -p";
  case line_reader::Compression::none: break;
  }
  return "cat";
}

} // namespace

namespace {
std::uint64_t lines_counted = 0;
} // namespace

std::string count_text(std::uint64_t lines, const Options& options) {
  lines_counted += lines;
  return std::to_string(lines) + (options.labelled ? " " + options.file : std::string()) + "\n";
}

std::uint64_t counted_lines() { return lines_counted; }

namespace {
// The summaries printed, added up for summary_total_text().
Summary summed{};
std::uint64_t summaries = 0;
} // namespace

std::string summary_total_text(const Options& options) {
  if (options.json)
    return "{\"files\": " + std::to_string(summaries) + ", \"bytes\": " + std::to_string(summed.size) +
           ", \"lines\": " + std::to_string(summed.lines) +
           ", \"index_bytes\": " + std::to_string(summed.index_bytes) + "}\n";
  return "==> total <==\nfiles: " + std::to_string(summaries) + "\nbytes: " + std::to_string(summed.size) +
         "\nlines: " + std::to_string(summed.lines) + "\nindex bytes: " + std::to_string(summed.index_bytes) +
         "\n";
}

std::string summary_text(const Summary& summary, const Options& options) {
  if (options.labelled || options.json) {
    // Counted once, where the call for one file begins.
    ++summaries;
    summed.size += summary.size;
    summed.lines += summary.lines;
    summed.index_bytes += summary.index_bytes;
  }
  if (!options.json && options.labelled) {
    Options alone = options;
    alone.labelled = false;
    return "==> " + options.file + " <==\n" + summary_text(summary, alone);
  }
  if (options.json)
    return "{\"file\": " + json_string(options.file) + ", \"bytes\": " + std::to_string(summary.size) +
           ", \"lines\": " + std::to_string(summary.lines) +
           ", \"longest_line\": " + std::to_string(summary.longest_line) +
           ", \"longest_length\": " + std::to_string(summary.longest_length) +
           ", \"index_bytes\": " + std::to_string(summary.index_bytes) + ", \"line_ends\": \"" +
           (summary.lf ? "lf" : "crlf") + "\"}\n";
  return "bytes: " + std::to_string(summary.size) + "\nlines: " + std::to_string(summary.lines) +
         "\nlongest line: " + std::to_string(summary.longest_line) +
         "\nlongest length: " + std::to_string(summary.longest_length) +
         "\nindex bytes: " + std::to_string(summary.index_bytes) + "\n";
}

std::string compressed_advice(line_reader::Compression compression, const std::string& file) {
  const std::string decompress = decompressor_of(compression);
  const std::string name = line_reader::name_of(compression);
  return "a " + name + " file, whose bytes are no lines: read it as " + decompress + " " +
         (file == "-" ? std::string() : file + " ") + "| lines - N, or give --raw for its bytes as they are";
}

std::string json_string(std::string_view text) {
  std::string out = "\"";
  for (std::size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
      ++i;
    } else if (c < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
      ++i;
    } else if (c < 0x80) {
      out += static_cast<char>(c);
      ++i;
    } else {
      // A whole UTF-8 sequence is kept; anything else is one U+FFFD a byte.
      const std::size_t length = c >= 0xF0 && c < 0xF5 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 && c < 0xE0 ? 2 : 0;
      bool whole = length != 0 && i + length <= text.size() && c < 0xF5;
      for (std::size_t k = 1; whole && k < length; ++k)
        whole = (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
      if (whole && length == 3) {
        const auto next = static_cast<unsigned char>(text[i + 1]);
        whole = !(c == 0xE0 && next < 0xA0) && !(c == 0xED && next >= 0xA0);
      }
      if (whole && length == 4) {
        const auto next = static_cast<unsigned char>(text[i + 1]);
        whole = !(c == 0xF0 && next < 0x90) && !(c == 0xF4 && next >= 0x90);
      }
      if (whole) {
        out.append(text.substr(i, length));
        i += length;
      } else {
        out += "\xEF\xBF\xBD";
        ++i;
      }
    }
  }
  return out + "\"";
}

} // namespace lines
