// lines: prints lines of a file of any size by their numbers, from an index
// of its lines that is saved for the next time.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <system_error>
#include <vector>

#include "line_reader/file_index.h"
#include "line_reader/load_file.h"
#include "line_reader/parts.h"
#include "line_reader/version.h"
#include "lines/cache.h"
#include "lines/options.h"
#include "lines/output.h"
#include "lines/stream.h"
#include "lines/system.h"
#include "platform/platform.h"

namespace {

using line_reader::FileIndex;
namespace platform = line_reader::platform;

constexpr std::uint64_t piece_bytes = 1 << 20;
// A range near the start is answered from at most this much of the file
// read in order; past it the whole file is indexed.
constexpr std::uint64_t early_bytes = 8 << 20;

void say(const std::string& text) { lines::system::write_error("lines: " + text + "\n"); }

// A failure that ends the answer for one file, said when it is thrown: the
// run's status is then 2, and with several files the others are still
// answered, as wc -l goes on past a file it cannot read.
struct FileFailed {};

[[noreturn]] void fail(const std::string& file, const std::error_code& error) {
  say(file + ": " + error.message());
  throw FileFailed{};
}

// The progress line on a terminal: drawn once indexing has taken half a
// second, at most ten times a second, and cleared when indexing ends.
class Progress {
public:
  explicit Progress(std::string file)
      : file_(std::move(file)), terminal_(lines::system::error_is_terminal()) {
    const std::string after = lines::system::environment("LINES_PROGRESS_AFTER");
    if (!after.empty()) after_ = std::strtod(after.c_str(), nullptr);
  }
  ~Progress() { finish(); }

  bool operator()(std::uint64_t done, std::uint64_t total) {
    if (!terminal_ || finished_) return true;
    const double now = lines::system::steady_seconds();
    if (start_ < 0) start_ = now;
    const double spent = now - start_;
    if (spent < after_ || spent <= 0 || now - drawn_at_ < 0.1 || total == 0) return true;
    drawn_at_ = now;
    const double rate = static_cast<double>(done) / spent;
    const double left = rate > 0 ? static_cast<double>(total - std::min(done, total)) / rate : 0;
    char line[160];
    std::snprintf(line, sizeof line, "lines: indexing %.60s: %3u%%, %.2f GB/s, %u:%02u left", file_.c_str(),
                  static_cast<unsigned>(static_cast<double>(done) * 100 / static_cast<double>(total)),
                  rate / 1e9, static_cast<unsigned>(left) / 60, static_cast<unsigned>(left) % 60);
    std::string text(1, '\r');
    text += line;
    if (text.size() < width_ + 1) text.append(width_ + 1 - text.size(), ' ');
    width_ = std::max(width_, text.size() - 1);
    lines::system::write_error(text);
    return true;
  }

  void clear() {
    if (width_ == 0) return;
    std::string blank(width_ + 2, ' ');
    blank.front() = blank.back() = '\r';
    lines::system::write_error(blank);
    width_ = 0;
  }
  // Clears the line for good: the indexing that the index does later (as
  // it follows the file) draws none.
  void finish() {
    clear();
    finished_ = true;
  }

private:
  std::string file_;
  bool terminal_;
  double after_ = 0.5; // seconds of indexing before the line is drawn
  bool finished_ = false;
  double start_ = -1;
  double drawn_at_ = 0;
  std::size_t width_ = 0;
};

// Whether the last line has no line end.
bool trailing(const FileIndex& index) {
  if (index.line_count() == 0) return false;
  std::error_code error;
  const FileIndex::Span last = index.span(index.line_count(), error);
  return !error && last.offset + last.length == index.indexed_bytes() && last.length > 0;
}

// The bytes [from, to) of the indexed file, a piece at a time.
void print_bytes(const FileIndex& index, std::uint64_t from, std::uint64_t to, lines::Output& out,
                 const std::string& file) {
  std::string buffer;
  std::error_code error;
  while (from < to) {
    const std::uint64_t count = std::min(to - from, piece_bytes);
    const std::string_view bytes = index.read_bytes(from, count, buffer, error);
    if (error) {
      out.flush();
      fail(file, error);
    }
    out.lines(bytes);
    from += count;
  }
}

// Where line `number` starts; the indexed end for the line after the last.
std::uint64_t start_of(const FileIndex& index, std::uint64_t number, std::error_code& error) {
  return number > index.line_count() ? index.indexed_bytes() : index.span(number, error).offset;
}

// The bytes that one range asks for, and the number of its first line.
struct Stretch {
  std::uint64_t first_line;
  std::uint64_t from;
  std::uint64_t to;
  std::string text; // read ahead, when `read`
  bool read = false;
};

// The stretches of the file that the ranges ask for, each looked up before
// anything is printed: a saved index found damaged where a line lies
// (false) is then built anew, and the output is whole. `all_there` says
// whether every line asked for is in the file.
bool stretches_of(const FileIndex& index, const lines::Options& options, std::vector<Stretch>& stretches,
                  bool& all_there) {
  const std::uint64_t count = index.line_count();
  std::vector<lines::Range> ranges = options.ranges;
  if (options.tail && options.tail_lines > 0 && count > 0)
    ranges.push_back({count - std::min(count, options.tail_lines) + 1, count, false});
  stretches.clear();
  all_there = true;
  std::error_code error;
  for (const lines::Range& range : ranges) {
    if (range.first > count || (!range.to_the_end && range.last > count)) all_there = false;
    if (range.first > count) continue;
    const std::uint64_t last = std::min(range.last, count);
    const std::uint64_t from = start_of(index, range.first, error);
    const std::uint64_t to = error ? 0 : start_of(index, last + 1, error);
    if (error) return false;
    Stretch stretch{range.first, from, to, {}, false};
    // A compressed file's saved window is checked when it is first read:
    // before anything is printed, a stretch of up to a piece is read whole
    // (and printed from memory), a longer one's first byte.
    if (index.compression() != line_reader::Compression::none && to > from) {
      const std::uint64_t count = to - from <= piece_bytes ? to - from : 1;
      (void)index.read_bytes(from, count, stretch.text, error);
      if (error == line_reader::errc::bad_index) return false;
      stretch.read = !error && count == to - from;
      error.clear();
    }
    stretches.push_back(std::move(stretch));
  }
  return true;
}

void print_stretches(const FileIndex& index, const std::vector<Stretch>& stretches, lines::Output& out,
                     const std::string& file) {
  for (const Stretch& stretch : stretches) {
    out.number_from(stretch.first_line, true);
    out.bytes_from(stretch.from);
    if (stretch.read) {
      out.lines(stretch.text);
    } else {
      print_bytes(index, stretch.from, stretch.to, out, file);
    }
  }
}

// The line ends in `count` bytes, `before` the byte before them: LF, or
// with `crlf` CR LF. Eight bytes at a time, each word's LF bytes found
// exactly (no borrow runs from one byte into the next).
std::uint64_t count_line_ends(const char* bytes, std::size_t count, bool crlf, char before) {
  constexpr std::uint64_t low7 = 0x7F7F7F7F7F7F7F7Full;
  constexpr std::uint64_t ones = 0x0101010101010101ull;
  auto word = [bytes](std::size_t at) {
    std::uint64_t value = 0;
    std::memcpy(&value, bytes + at, sizeof value);
    return value;
  };
  // The high bit of each byte of `value` that equals `byte`.
  auto equal = [](std::uint64_t value, unsigned char byte) {
    const std::uint64_t x = value ^ (ones * byte);
    return ~(((x & low7) + low7) | x | low7);
  };
  if (count == 0) return 0;
  std::uint64_t found = bytes[0] == '\n' && (!crlf || before == '\r') ? 1 : 0;
  std::size_t at = 1;
  for (; at + 8 <= count; at += 8) {
    std::uint64_t ends = equal(word(at), '\n');
    if (crlf) ends &= equal(word(at - 1), '\r');
    found += ((ends >> 7) * ones) >> 56; // the high bits summed in the top byte
  }
  for (; at < count; ++at)
    found += bytes[at] == '\n' && (!crlf || bytes[at - 1] == '\r') ? 1 : 0;
  return found;
}

// The early answer: the ranges printed from the head of the file, read in
// order, when all of them end within its first `early_bytes`. False, with
// nothing printed, when they do not; the file is indexed then.
bool answer_early(platform::Handle file, const platform::FileState& state, std::uint64_t budget,
                  const lines::Options& options, lines::Output& out, int& status) {
  if (options.ranges.empty() || options.tail || options.follow) return false;
  // The line ends to find: the one before each range's first line, and
  // its last line's.
  std::vector<std::uint64_t> wanted;
  for (const lines::Range& range : options.ranges) {
    if (range.to_the_end) return false;
    if (range.first > 1) wanted.push_back(range.first - 1);
    wanted.push_back(range.last);
  }
  std::sort(wanted.begin(), wanted.end());
  wanted.erase(std::unique(wanted.begin(), wanted.end()), wanted.end());
  // Each line end takes a byte (two with CR LF): a line past that many
  // cannot end within the head, and the head is not read for it.
  if (wanted.back() > budget / (options.crlf ? 2 : 1)) return false;
  std::vector<std::uint64_t> ends(wanted.size(), 0); // after each wanted line's end
  // The head of the file: a view of it where the system has views, else
  // read into `storage` a piece at a time.
  const std::uint64_t viewed = state.nominal_size ? 0 : std::min(state.size, budget);
  struct View {
    const void* bytes;
    std::uint64_t size;
    ~View() { platform::unmap_file(bytes, size); }
  } view{viewed == 0 ? nullptr : platform::map_file_for_reading(file, 0, viewed), viewed};
  std::string storage;
  std::string_view text;
  bool at_end = false;
  if (view.bytes != nullptr) {
    text = std::string_view(static_cast<const char*>(view.bytes), static_cast<std::size_t>(viewed));
    at_end = viewed == state.size;
  }
  std::uint64_t found = 0;  // line ends found
  std::size_t searched = 0; // bytes searched for them
  std::size_t next = 0;     // the next wanted line end
  std::uint64_t ask = 64 * 1024;
  while (next < wanted.size()) {
    if (searched == text.size()) {
      if (at_end) break;
      if (text.size() >= budget || view.bytes != nullptr) return false;
      const std::size_t had = storage.size();
      storage.resize(had + static_cast<std::size_t>(ask));
      std::uint32_t got = 0;
      // Positioned: the look at the file's head may have moved its position.
      if (!platform::read_file_at(file, had, storage.data() + had, static_cast<std::uint32_t>(ask), got))
        return false;
      storage.resize(had + got);
      text = storage;
      at_end = got == 0;
      ask = std::min<std::uint64_t>(ask * 2, 4 << 20);
      continue;
    }
    // Blocks without a wanted line end are counted, not walked.
    const std::size_t block = std::min<std::size_t>(text.size() - searched, 64 * 1024);
    const char before = searched == 0 ? '\0' : text[searched - 1];
    const std::uint64_t in_block = count_line_ends(text.data() + searched, block, options.crlf, before);
    if (found + in_block < wanted[next]) {
      found += in_block;
      searched += block;
      continue;
    }
    const void* lf = std::memchr(text.data() + searched, '\n', text.size() - searched);
    if (lf == nullptr) {
      searched = text.size();
      continue;
    }
    const auto at = static_cast<std::size_t>(static_cast<const char*>(lf) - text.data());
    searched = at + 1;
    if (options.crlf && (at == 0 || text[at - 1] != '\r')) continue;
    ++found;
    for (; next < wanted.size() && wanted[next] == found; ++next)
      ends[next] = searched;
  }
  // A file truncated under the view reads as zeros past its new end.
  platform::FileState after;
  if (view.bytes != nullptr && (!platform::query_open_file(file, after) || after.size < viewed))
    fail(options.file, line_reader::errc::changed_while_reading);
  // At the end of the file the text after the last line end, if any, is a
  // line too; while wanted line ends remain unfound the file has ended.
  std::uint64_t count = std::numeric_limits<std::uint64_t>::max();
  const bool ended = options.crlf ? text.size() >= 2 && text.substr(text.size() - 2) == "\r\n"
                                  : !text.empty() && text.back() == '\n';
  if (next < wanted.size()) count = found + (text.empty() || ended ? 0 : 1);
  // After line `line`'s end: a wanted one's as found, at the end of the file
  // the last line end's or the file's end.
  std::size_t last_end = text.size();
  if (next < wanted.size()) {
    const std::size_t at = options.crlf ? text.rfind("\r\n") : text.rfind('\n');
    last_end = at == std::string_view::npos ? 0 : at + (options.crlf ? 2 : 1);
  }
  auto end_of = [&](std::uint64_t line) -> std::uint64_t {
    if (line == 0) return 0;
    if (line > found) return text.size();
    const auto at =
        static_cast<std::size_t>(std::lower_bound(wanted.begin(), wanted.end(), line) - wanted.begin());
    return at < next && wanted[at] == line ? ends[at] : last_end;
  };
  bool all_there = true;
  for (const lines::Range& range : options.ranges) {
    if (range.first > count || range.last > count) all_there = false;
    if (range.first > count) continue;
    const std::uint64_t last = std::min(range.last, count);
    out.number_from(range.first, true);
    const std::uint64_t from = end_of(range.first - 1);
    const std::uint64_t to = end_of(last);
    out.bytes_from(from);
    out.lines(text.substr(static_cast<std::size_t>(from), static_cast<std::size_t>(to - from)));
  }
  out.flush();
  if (!all_there) say(options.file + ": has " + std::to_string(count) + " lines");
  status = all_there ? 0 : 1;
  if (options.verbose)
    say(options.file + ": answered from its first " + std::to_string(text.size()) + " bytes; not indexed");
  return true;
}

// The last lines (-t K) printed from the end of the file, read backwards,
// when they begin within its last `budget` bytes and no numbers are asked
// for. False, with nothing printed, otherwise; the file is indexed then.
bool answer_from_end(platform::Handle file, const platform::FileState& state, std::uint64_t budget,
                     const lines::Options& options, lines::Output& out) {
  if (!options.tail || !options.ranges.empty() || options.follow || options.number || state.nominal_size)
    return false;
  const std::uint64_t size = state.size;
  std::string tail;
  for (std::uint64_t window = std::min<std::uint64_t>(size, 64 * 1024);;
       window = std::min(window * 4, size)) {
    if (window > budget) return false;
    tail.resize(static_cast<std::size_t>(window));
    std::uint32_t got = 0;
    if (!platform::read_file_at(file, size - window, tail.data(), static_cast<std::uint32_t>(window), got) ||
        got != window)
      fail(options.file, line_reader::errc::changed_while_reading);
    // A line end at the very end belongs to the last line: one more is
    // sought before the first line printed.
    auto is_end = [&](std::size_t at) {
      return tail[at] == '\n' && (!options.crlf || (at > 0 && tail[at - 1] == '\r'));
    };
    std::uint64_t wanted = options.tail_lines + (window > 0 && is_end(tail.size() - 1) ? 1 : 0);
    std::size_t from = tail.size();
    // In CR LF mode the byte before the window decides a LF at its start,
    // which is then left to the next, larger window.
    const std::size_t lowest = window < size && options.crlf ? 1 : 0;
    while (wanted > 0 && from > lowest) {
      const std::size_t lf = std::string_view(tail).rfind('\n', from - 1);
      if (lf == std::string_view::npos || lf < lowest) {
        from = lowest;
        break;
      }
      from = lf;
      if (is_end(from) && --wanted == 0) ++from;
    }
    if (wanted == 0 || window == size) {
      if (wanted != 0) from = 0;
      out.bytes_from(size - window + from);
      out.lines(std::string_view(tail).substr(from));
      out.flush();
      if (options.verbose)
        say(options.file + ": answered from its last " + std::to_string(window) + " bytes; not indexed");
      return true;
    }
  }
}

bool same_file(const FileIndex& index, const platform::FileState& state) {
  const FileIndex::FileId id = index.file_id();
  return id.device == state.device && id.file == state.file_id;
}

// The file's index: the saved one when it still describes the file (with
// any appended bytes indexed), else built; saved again when it changed.
// The index opens the file by its name again: when another file has taken
// the name since `before` was opened, `moved` says so and nothing is saved.
FileIndex index_of(const lines::Options& options, const platform::FileState& before, lines::Cache& cache,
                   const std::string& entry, bool saved_index, const lines::Summary* summary, bool& moved) {
  const bool lf = !options.crlf;
  // The index keeps its options, and calls them as it follows the file.
  const auto progress = std::make_shared<Progress>(options.file);
  line_reader::IndexOptions index_options;
  index_options.ends = lf ? line_reader::LineEnds::lf : line_reader::LineEnds::crlf;
  index_options.threads = options.threads;
  index_options.raw = options.raw;
  // Built with reads: as fast as a view on files written in big pieces, and
  // several times faster on files written a little at a time, as logs are.
  // Loaded lazily: a lookup reads and checks a few KiB of the saved index.
  index_options.lazy = true;
  index_options.progress = [progress](std::uint64_t done, std::uint64_t total) {
    return (*progress)(done, total);
  };
  std::error_code error;
  FileIndex index;
  bool loaded = false;
  if (saved_index) {
    const std::string saved = entry + ".idx";
    index = FileIndex::load(saved.c_str(), options.file.c_str(), error, index_options);
    progress->clear();
    loaded = !error;
    if (error == line_reader::errc::bad_index) {
      cache.problem("saved index " + saved + " is damaged; the file is indexed anew");
    } else if (error == line_reader::errc::unsupported_index) {
      if (options.verbose)
        say(options.file + ": saved index " + saved + " is of an older format; indexed anew");
    } else if (error && error != line_reader::errc::stale_index &&
               error != line_reader::errc::other_line_ends && error != line_reader::errc::cancelled) {
      // The file's own failures come again from the build, with its name.
      platform::OpenFailure failure;
      std::uint64_t size = 0;
      if (platform::find_file_size(options.file.c_str(), size, failure))
        cache.problem("saved index " + saved + " not read: " + error.message());
    }
    if (loaded && options.verbose) {
      const std::uint64_t appended = summary != nullptr && index.indexed_bytes() > summary->size
                                         ? index.indexed_bytes() - summary->size
                                         : 0;
      say(options.file + ": index loaded from " + saved +
          (appended != 0 ? ", " + std::to_string(appended) + " appended bytes indexed" : ""));
    }
  }
  if (!loaded) {
    index = FileIndex::build(options.file.c_str(), error, index_options);
    progress->clear();
    if (error) fail(options.file, error);
    if (options.verbose) say(options.file + ": indexed " + std::to_string(index.indexed_bytes()) + " bytes");
  }
  progress->finish();
  moved = !same_file(index, before);
  if (moved) return index;
  const lines::Summary now = lines::Summary::of(index);
  if (loaded && summary != nullptr && summary->size == now.size && summary->modified == now.modified &&
      summary->changed == now.changed && summary->device == now.device && summary->file_id == now.file_id) {
    cache.used(entry);
    return index;
  }
  cache.write(entry, now, [&index](const std::string& path) {
    std::error_code saved;
    index.save(path.c_str(), saved, false); // a cache: a damaged entry is only built again
    return saved ? saved.message() : std::string();
  });
  if (options.verbose && cache.usable()) say(options.file + ": index saved to " + entry + ".idx");
  return index;
}

// Follows the file by its name after the bytes printed, from `printed`:
// appended bytes are printed as they come, a file truncated or rewritten
// (its indexed part changed) from its start, and a file renamed away is read
// to its end before the new one under the name is followed. `file` is the
// file that the index describes, opened by this program, or 0 while the
// index has moved on to a file that the name held after this loop looked.
[[noreturn]] void follow(const lines::Options& options, FileIndex& index, platform::Handle file,
                         platform::FileState state, std::uint64_t printed, lines::Output& out) {
  std::string buffer(static_cast<std::size_t>(piece_bytes), '\0');
  // What was written to the file before it went, to its end.
  // (A compressed file's bytes are no text: its rest is not read.)
  auto read_to_its_end = [&] {
    if (file == 0) return;
    if (index.compression() != line_reader::Compression::none) {
      platform::close_handle(file);
      file = 0;
      return;
    }
    for (std::uint32_t got = 0; platform::read_file_at(file, printed, buffer.data(),
                                                       static_cast<std::uint32_t>(buffer.size()), got) &&
                                got != 0;
         printed += got)
      out.lines(std::string_view(buffer.data(), got));
    platform::close_handle(file);
    file = 0;
  };
  bool missing = false;
  for (;;) {
    out.flush();
    lines::system::end_if_output_closed();
    platform::pause_milliseconds(200);
    platform::FileState now;
    platform::OpenFailure failure;
    const platform::Handle named = platform::open_shared_file_for_reading(options.file.c_str(), now, failure);
    if (named == 0) {
      if (!missing)
        say(options.file + ": " + line_reader::detail::reason_for(failure).message() + "; waiting for it");
      missing = true;
      continue;
    }
    const bool renamed = now.device != state.device || now.file_id != state.file_id;
    if (renamed || file == 0) {
      if (renamed) {
        read_to_its_end();
        printed = 0;
      }
      file = named;
      state = now;
    } else {
      platform::close_handle(named);
    }
    std::error_code error;
    FileIndex::Change change = index.refresh(error);
    if (error) {
      if (!missing) say(options.file + ": " + error.message() + "; trying again");
      missing = true;
      continue;
    }
    if (!same_file(index, state)) {
      // Renamed again between the open above and the refresh, which opens
      // the file by its name: the index follows the newer file already.
      read_to_its_end();
      const FileIndex::FileId id = index.file_id();
      state.device = id.device;
      state.file_id = id.file;
      change = FileIndex::Change::replaced;
    }
    if (change == FileIndex::Change::replaced) {
      say(options.file + (renamed || file == 0 ? (missing ? ": has appeared; following the new file"
                                                          : ": replaced; following the new file")
                                               : ": truncated; following from its start"));
      printed = 0;
      out.number_from(1, true);
      out.bytes_from(0);
    }
    missing = false;
    print_bytes(index, printed, index.indexed_bytes(), out, options.file);
    printed = index.indexed_bytes();
  }
}

// Opens the file named on the command line. A missing file is waited for
// with -f, as tail -F waits, when `wait` (else 0 comes back for it); any
// other failure ends the run.
platform::Handle open_the_file(const lines::Options& options, platform::FileState& state, bool wait = false) {
  bool said = false;
  for (;;) {
    platform::OpenFailure failure;
    const platform::Handle file =
        platform::open_shared_file_for_reading(options.file.c_str(), state, failure);
    if (file != 0) {
      if (said) say(options.file + ": has appeared; following it");
      return file;
    }
    const std::error_code reason = line_reader::detail::reason_for(failure);
    if (!options.follow || failure.kind != platform::OpenFailure::missing) fail(options.file, reason);
    if (!wait) return 0;
    if (!said) say(options.file + ": " + reason.message() + "; waiting for it");
    said = true;
    lines::system::end_if_output_closed();
    platform::pause_milliseconds(200);
  }
}

// Whether the file's size says where its end is, which -f follows from:
// not for a file that the system reports as empty but that holds bytes, as
// the kernel's own files do.
bool followable(platform::Handle file, const platform::FileState& state) {
  if (!state.nominal_size || state.size != 0) return true;
  char byte = 0;
  std::uint32_t got = 0;
  return !platform::read_file_at(file, 0, &byte, 1, got) || got == 0;
}

// --split=N: N parts of lines within one of each other, one a line: the
// first and last line (from 1), the offset of the first and the bytes of
// all, line ends included. Parts with no line (more parts than lines) are
// left out.
void print_parts(const FileIndex& index, const lines::Options& options, lines::Output& out) {
  const std::uint64_t count = index.line_count();
  const std::uint64_t n = options.split;
  std::error_code error;
  for (std::uint64_t k = 0; k < n; ++k) {
    const std::uint64_t first = line_reader::detail::share(count, k, n);
    const std::uint64_t stop = line_reader::detail::share(count, k + 1, n);
    if (stop == first) continue;
    const std::uint64_t from = start_of(index, first + 1, error);
    const std::uint64_t to = error ? 0 : start_of(index, stop + 1, error);
    if (error) fail(options.file, error);
    out.text(std::to_string(first + 1) + " " + std::to_string(stop) + " " + std::to_string(from) + " " +
             std::to_string(to - from) + "\n");
  }
  out.flush();
}

// --sample=K: K distinct line numbers of `count`, chosen uniformly, as
// ranges of one line in file order.
std::vector<lines::Range> sampled_ranges(std::uint64_t count, const lines::Options& options) {
  if (options.sample > count) {
    say(options.file + ": has " + std::to_string(count) + " lines, fewer than the sample of " +
        std::to_string(options.sample));
    throw FileFailed{};
  }
  const std::vector<std::uint64_t> numbers = line_reader::detail::sample_of(
      count, options.sample, options.seeded ? options.seed : std::random_device()());
  std::vector<lines::Range> ranges;
  ranges.reserve(numbers.size());
  for (const std::uint64_t i : numbers)
    ranges.push_back({i + 1, i + 1, false});
  return ranges;
}

int run_file(lines::Options& options, lines::Output& out);

// run_file, its failure status 2 after what it printed.
int answer(lines::Options& options, lines::Output& out) {
  try {
    return run_file(options, out);
  } catch (const FileFailed&) {
    out.flush();
    return 2;
  }
}

int run(int argc, char** argv) {
  lines::system::prepare_process();
  lines::Options options;
  if (const std::string problem = lines::parse_options(argc, argv, options); !problem.empty()) {
    say(problem);
    lines::system::write_error("Try 'lines --help' for more information.\n");
    return 2;
  }
  lines::Output out(options.number, options.crlf, options.offsets);
  if (options.help) {
    out.text(lines::usage_text);
    out.flush();
    return 0;
  }
  if (options.version) {
    out.text("lines (line_reader) " LINE_READER_VERSION "\n");
    out.flush();
    return 0;
  }
  if (options.files.size() == 1) return answer(options, out);
  // Several files, a count or a summary each, as wc -l answers, then the
  // total of those answered.
  int status = 0;
  for (const std::string& file : options.files) {
    lines::Options one = options;
    one.file = file;
    status = std::max(status, answer(one, out));
  }
  if (options.count) out.text(std::to_string(lines::counted_lines()) + " total\n");
  if (options.summary) out.text(lines::summary_total_text(options));
  out.flush();
  return status;
}

// The answer for one file (or stream), as the options ask.
int run_file(lines::Options& options, lines::Output& out) {
  const bool lf = !options.crlf;
  bool is_stream = false;
  std::string reason;
  const int stream = lines::system::open_stream(options.file, is_stream, reason);
  if (is_stream) {
    std::string problem = lines::ranges_rise(options);
    if (options.split != 0 || options.sampled)
      problem = "--split and --sample need a file, whose lines are counted first; a stream is read once";
    if (options.follow)
      problem = "--follow follows a file by its name; a stream is printed as it comes without it";
    if (!problem.empty()) {
      say(problem);
      lines::system::write_error("Try 'lines --help' for more information.\n");
      return 2;
    }
    if (stream < 0) {
      say(options.file + ": " + reason);
      return 2;
    }
    return lines::answer_from_stream(
        [stream](char* into, std::size_t count, std::string& why) {
          return lines::system::read_stream(stream, into, count, why);
        },
        options, out, [](const std::string& text) { say(text); });
  }
  platform::FileState state;
  platform::Handle file = open_the_file(options, state);
  // A file that appears while -f waits for it is new as a whole.
  if (file == 0) {
    file = open_the_file(options, state, true);
    if (options.ranges.empty() && !options.tail) options.ranges.push_back({1, ~std::uint64_t{0}, true});
  }
  if (options.follow && !followable(file, state)) {
    say(options.file + ": the system does not report its size, so it cannot be followed; read it without -f");
    return 2;
  }
  // A compressed file is indexed by its text; its bytes are read only
  // through the index.
  line_reader::Compression compression = line_reader::Compression::none;
  if (!options.raw) {
    unsigned char head[16];
    std::uint32_t got = 0;
    compression = platform::read_file_at(file, 0, head, sizeof head, got)
                      ? line_reader::compression_of(head, got)
                      : line_reader::Compression::none;
    if (compression != line_reader::Compression::none && !line_reader::decodes(compression)) {
      say(options.file + ": " + lines::compressed_advice(compression, options.file));
      return 2;
    }
  }
  const bool plain = compression == line_reader::Compression::none;

  lines::Cache cache(!options.no_cache, [](const std::string& problem) { say("warning: " + problem); });
  int status = 0;
  FileIndex index;
  std::string entry;
  lines::Summary summary;
  // The index opens the file by its name again: when another file took the
  // name meanwhile, the file is opened again and the run starts over.
  for (int attempt = 0;; ++attempt) {
    entry = cache.usable() ? cache.entry(state.device, state.file_id, lf) : std::string();
    const bool summarized = cache.usable() && cache.read_summary(entry, summary);
    if ((options.count || options.summary) && summarized && lines::describes(summary, state, lf)) {
      cache.used(entry);
      if (options.verbose) say(options.file + ": answered from " + entry + ".sum");
      if (options.count) {
        out.text(lines::count_text(summary.lines, options));
      } else {
        out.text(lines::summary_text(summary, options));
      }
      out.flush();
      return 0;
    }
    // A range near the start is read from the head of the file, the last
    // lines from its end, when there is no saved index: a lazy load of one
    // reads a few KiB, less than either.
    const bool saved = cache.has_index(entry);
    const bool early = plain && !saved && options.split == 0 && !options.sampled;
    if (early && answer_early(file, state, early_bytes, options, out, status)) return status;
    if (early && answer_from_end(file, state, early_bytes, options, out)) return 0;

    bool moved = false;
    index = index_of(options, state, cache, entry, saved, summarized ? &summary : nullptr, moved);
    if (!moved) break;
    if (attempt == 2) fail(options.file, line_reader::errc::changed_while_reading);
    if (options.verbose) say(options.file + ": another file took its name while it was indexed; again");
    platform::close_handle(file);
    file = open_the_file(options, state);
    if (file == 0) fail(options.file, line_reader::errc::not_found);
  }
  if (options.split != 0) {
    print_parts(index, options, out);
    platform::close_handle(file);
    return 0;
  }
  // A sample is printed as the ranges of its lines.
  if (options.sampled) options.ranges = sampled_ranges(index.line_count(), options);
  std::vector<Stretch> stretches;
  bool all_there = true;
  if (!options.count && !options.summary && !stretches_of(index, options, stretches, all_there)) {
    cache.problem("saved index " + entry + ".idx is damaged; the file is indexed anew");
    bool moved = false;
    index = index_of(options, state, cache, entry, false, nullptr, moved);
    if (moved) fail(options.file, line_reader::errc::changed_while_reading);
    if (!stretches_of(index, options, stretches, all_there)) fail(options.file, line_reader::errc::bad_index);
  }
  if (options.count) {
    out.text(lines::count_text(index.line_count(), options));
  } else if (options.summary) {
    out.text(lines::summary_text(lines::Summary::of(index), options));
  } else {
    print_stretches(index, stretches, out, options.file);
    if (!all_there) {
      out.flush();
      say(options.file + ": has " + std::to_string(index.line_count()) + " lines");
      status = 1;
    }
  }
  out.flush();
  if (options.follow) {
    // Numbered from the line that the file's end is in; a CR there may be
    // the first half of a CR LF still to come.
    const bool mid_line = trailing(index);
    std::string last;
    std::error_code error;
    const bool after_cr =
        mid_line && index.read_bytes(index.indexed_bytes() - 1, 1, last, error) == "\r" && !error;
    out.number_from(index.line_count() + (mid_line ? 0 : 1), !mid_line, after_cr);
    out.bytes_from(index.indexed_bytes());
    follow(options, index, file, state, index.indexed_bytes(), out);
  }
  platform::close_handle(file);
  return status;
}

} // namespace

int main(int argc, char** argv) { return run(argc, argv); }
