#include "lines/stream.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <string_view>

#include "line_reader/compression.h"
#include "line_reader/errors.h"

namespace lines {

namespace {

constexpr std::size_t chunk_bytes = 256 * 1024;

// The stream's lines as they go by: `segment` is each stretch of one line,
// `ended` whether its line end closes it.
struct LineWalk {
  bool crlf;
  std::uint64_t line = 1;    // the line being read
  std::uint64_t in_line = 0; // its bytes so far, its line end among them
  std::uint64_t ended = 0;   // lines that ended
  std::uint64_t bytes = 0;   // bytes read
  std::uint64_t longest_line = 0;
  std::uint64_t longest_length = 0;
  char last = '\0'; // the byte before the chunk

  // Calls `each(segment, ended)` for each stretch of `chunk`; false from it
  // ends the walk (and false comes back).
  template <class Each> bool walk(std::string_view chunk, Each each) {
    std::size_t at = 0;
    while (at < chunk.size()) {
      const void* lf = std::memchr(chunk.data() + at, '\n', chunk.size() - at);
      const std::size_t end = lf == nullptr
                                  ? chunk.size()
                                  : static_cast<std::size_t>(static_cast<const char*>(lf) - chunk.data()) + 1;
      const bool cr = lf != nullptr && (end >= 2 ? chunk[end - 2] == '\r' : last == '\r');
      const bool closes = lf != nullptr && (!crlf || cr);
      in_line += end - at;
      bytes += end - at;
      const std::string_view segment = chunk.substr(at, end - at);
      at = end;
      if (closes) {
        // LF mode takes a CR before the LF into the line end.
        const std::uint64_t length = in_line - (cr ? 2 : 1);
        if (length > longest_length || ended == 0) {
          longest_length = length;
          longest_line = line;
        }
        ++ended;
      }
      const bool go_on = each(segment, closes);
      if (closes) {
        ++line;
        in_line = 0;
      }
      if (!go_on) return false;
    }
    if (!chunk.empty()) last = chunk.back();
    return true;
  }
  std::uint64_t lines() const { return ended + (in_line != 0 ? 1 : 0); }
};

// The last `keep` lines, and the line being read.
class Tail {
public:
  explicit Tail(std::uint64_t keep) : keep_(keep) {}
  void add(std::string_view segment, bool ended) {
    if (keep_ == 0) return;
    text_.append(segment);
    if (!ended) return;
    starts_.push_back(text_.size());
    if (starts_.size() - 1 > keep_) starts_.pop_front();
    // The bytes before the first line kept go now and then, not each line.
    if (starts_.front() > (1u << 20) && starts_.front() > text_.size() / 2) {
      const std::size_t gone = starts_.front();
      text_.erase(0, gone);
      for (std::size_t& start : starts_)
        start -= gone;
    }
  }
  // At the end: the text of the lines kept, a last line without its end
  // among them, and how many they are.
  std::string_view lines(std::uint64_t& count) {
    if (keep_ == 0) {
      count = 0;
      return {};
    }
    const bool partial = text_.size() > starts_.back();
    while (starts_.size() - 1 + (partial ? 1 : 0) > keep_)
      starts_.pop_front();
    count = starts_.size() - 1 + (partial ? 1 : 0);
    return std::string_view(text_).substr(starts_.front());
  }

private:
  std::uint64_t keep_;
  std::string text_;
  std::deque<std::size_t> starts_{0};
};

} // namespace

std::string ranges_rise(const Options& options) {
  for (std::size_t r = 1; r < options.ranges.size(); ++r) {
    if (options.ranges[r].first <= options.ranges[r - 1].last)
      return "the ranges of a stream must rise: a range starts after the end of the one before it";
  }
  return {};
}

int answer_from_stream(const ReadStream& read, const Options& options, Output& out,
                       const std::function<void(const std::string&)>& say) {
  const std::string name = options.file == "-" ? "standard input" : options.file;
  std::string buffer(chunk_bytes, '\0');
  std::string reason;
  // The first bytes, enough to tell a compressed stream, however the
  // writer cuts them.
  std::size_t have = 0;
  bool at_end = false;
  while (have < 16 && !at_end) {
    const long got = read(buffer.data() + have, buffer.size() - have, reason);
    if (got < 0) {
      say(name + ": read error: " + reason);
      return 2;
    }
    at_end = got == 0;
    have += static_cast<std::size_t>(got);
  }
  const line_reader::Compression compression = line_reader::compression_of(buffer.data(), have);
  if (!options.raw && compression != line_reader::Compression::none && !line_reader::decodes(compression)) {
    say(name + ": " + compressed_advice(compression, options.file));
    return 2;
  }

  LineWalk walk{options.crlf};
  Tail tail(options.tail ? options.tail_lines : 0);
  std::size_t range = 0; // the range being printed, or the next
  const bool printing = !options.ranges.empty();
  auto each = [&](std::string_view segment, bool ended) {
    if (options.tail) {
      tail.add(segment, ended);
      return true;
    }
    if (!printing) return true;
    const Range& r = options.ranges[range];
    if (walk.line >= r.first) {
      if (walk.line == r.first && walk.in_line == segment.size()) {
        out.number_from(r.first, true);
        out.bytes_from(walk.bytes - segment.size());
      }
      out.lines(segment);
      if (ended && walk.line == r.last) ++range;
    }
    return range < options.ranges.size();
  };
  if (!options.raw && compression != line_reader::Compression::none) {
    // Decoded as it comes: the bytes read so far first, then the rest.
    std::string head(buffer.data(), have);
    std::size_t served = 0;
    bool failed = false;
    const std::error_code error = line_reader::decode_stream(
        compression,
        [&](void* into, std::size_t count) -> long {
          if (served < head.size()) {
            const std::size_t bytes = std::min(count, head.size() - served);
            std::memcpy(into, head.data() + served, bytes);
            served += bytes;
            return static_cast<long>(bytes);
          }
          if (at_end) return 0;
          const long got = read(static_cast<char*>(into), std::min<std::size_t>(count, 1u << 30), reason);
          failed = got < 0;
          return got;
        },
        [&](std::string_view text) { return walk.walk(text, each); });
    // Stopped once the last range is printed: no more is read.
    if (error && error != line_reader::errc::cancelled) {
      out.flush();
      say(name + ": " + (failed ? "read error: " + reason : error.message()));
      return 2;
    }
  } else {
    std::string_view chunk(buffer.data(), have);
    for (;;) {
      if (!walk.walk(chunk, each)) break; // the last range is printed: no more is read
      if (at_end) break;
      const long got = read(buffer.data(), buffer.size(), reason);
      if (got < 0) {
        out.flush();
        say(name + ": read error: " + reason);
        return 2;
      }
      at_end = got == 0;
      chunk = std::string_view(buffer.data(), static_cast<std::size_t>(got));
    }
  }

  if (options.count) {
    out.text(count_text(walk.lines(), options));
  } else if (options.summary) {
    Summary summary;
    summary.size = walk.bytes;
    summary.lines = walk.lines();
    summary.longest_line = walk.ended == 0 ? 0 : walk.longest_line;
    summary.longest_length = walk.ended == 0 ? 0 : walk.longest_length;
    summary.lf = !options.crlf;
    out.text(summary_text(summary, options));
  } else if (options.tail) {
    std::uint64_t count = 0;
    const std::string_view kept = tail.lines(count);
    out.number_from(walk.lines() - count + 1, true);
    out.bytes_from(walk.bytes - kept.size());
    out.lines(kept);
  }
  out.flush();
  // As for a file: a range past the end, or one that ends past it unless it
  // runs to the end.
  bool all_there = true;
  const std::uint64_t count = walk.lines();
  for (std::size_t r = range; printing && r < options.ranges.size(); ++r) {
    if (options.ranges[r].first > count || (!options.ranges[r].to_the_end && options.ranges[r].last > count))
      all_there = false;
  }
  if (!all_there) {
    say(name + ": has " + std::to_string(count) + " lines");
    return 1;
  }
  return 0;
}

} // namespace lines
