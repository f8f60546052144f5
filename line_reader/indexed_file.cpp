#include "line_reader/indexed_file.h"

#include <cstring>
#include <new>
#include <stdexcept>
#include <string>

#include "line_reader/index/line_index.h"
#include "line_reader/load_file.h"
#include "line_reader/scan/variants.h"
#include "platform/platform.h"

namespace line_reader {

namespace {

// The text is scanned 64 bytes a step and the last step reads up to 63
// bytes past it, which the zero tail covers; the tail also ends the last
// line as a C string.
constexpr std::uint64_t tail_bytes = 64;

// The text arrives in pieces of this size, each scanned while it is still in
// the cache. A multiple of 64.
constexpr std::uint32_t piece_bytes = 256 * 1024;

} // namespace

struct IndexedFile::State {
  platform::Handle block = 0;
  char* text = nullptr;
  std::uint64_t size = 0;
  LineEnds ends = LineEnds::crlf;
  std::uint64_t line_count = 0;
  std::uint64_t longest_line = 0;
  std::uint64_t longest_length = 0;
  bool trailing = false;   // the last line has no line end
  bool terminated = false; // nul_terminate() has run
  detail::LineIndex index;

  State() = default;
  State(const State&) = delete;
  State& operator=(const State&) = delete;
  ~State() {
    if (block != 0) {
      platform::block_unlock(block);
      platform::block_free(block);
    }
  }
};

namespace {

// A buffer twice as large for the state's text, which keeps the text read so
// far; false when there is no memory for it (the old one is kept).
bool grow(IndexedFile::State& state, std::uint64_t done) {
  const std::uint64_t size = state.size < piece_bytes ? piece_bytes : state.size * 2;
  if (size > SIZE_MAX / 2) return false;
  const platform::Handle block = platform::block_allocate_zeroed(size + tail_bytes);
  char* text = block == 0 ? nullptr : static_cast<char*>(platform::block_lock(block));
  if (text == nullptr) {
    if (block != 0) platform::block_free(block);
    return false;
  }
  std::memcpy(text, state.text, static_cast<std::size_t>(done));
  platform::block_unlock(state.block);
  platform::block_free(state.block);
  state.block = block;
  state.text = text;
  state.size = size;
  return true;
}

// Fills the state's buffer piece by piece with `fill(into, bytes, got)` (an
// errc; `got` 0 at the end) and scans each piece as it arrives, then ends the
// index. The text is the buffer's size, and an early end is
// changed_while_reading; `to_the_end` reads until the end instead, growing
// the buffer as needed.
template <class Fill>
errc read_and_index(IndexedFile::State& state, LineEnds ends, bool to_the_end, Fill&& fill) {
  detail::LineIndexBuilder builder(state.index, line_end_stages_with(selected_scan_variant()),
                                   ends == LineEnds::lf);
  std::uint64_t done = 0;
  std::uint64_t scanned = 0;
  for (;;) {
    if (done == state.size && !(to_the_end && grow(state, done))) {
      if (to_the_end) return errc::no_memory;
      break;
    }
    const std::uint64_t left = state.size - done;
    const auto bytes = static_cast<std::uint32_t>(left < piece_bytes ? left : piece_bytes);
    std::uint32_t got = 0;
    if (const errc filled = fill(state.text + done, bytes, got); filled != errc{}) return filled;
    if (got == 0) {
      // Shorter than the size it had when it was opened.
      if (!to_the_end) return errc::changed_while_reading;
      break;
    }
    done += got;
    // Whole 64-byte steps only: a step is scanned once all of its bytes
    // have arrived.
    const std::uint64_t ready = done & ~std::uint64_t{63};
    if (ready > scanned) {
      builder.scan(state.text, scanned, ready);
      scanned = ready;
    }
  }
  // The last step reads into the zero tail.
  if (const std::uint64_t ready = (done + 63) & ~std::uint64_t{63}; ready > scanned)
    builder.scan(state.text, scanned, ready);
  detail::LineTotals totals;
  if (!builder.finish(done, totals)) return errc::no_memory;
  state.size = done;
  state.line_count = totals.line_count;
  state.longest_line = totals.longest_line;
  state.longest_length = totals.longest_length;
  state.trailing = totals.trailing;
  state.ends = ends;
  return errc{};
}

// A new state with a zeroed buffer for `size` bytes of text and the zero tail.
IndexedFile::State* new_state(std::uint64_t size, errc& error) {
  if (size > SIZE_MAX - tail_bytes) {
    error = errc::too_large;
    return nullptr;
  }
  auto* state = new (std::nothrow) IndexedFile::State;
  if (state != nullptr) state->block = platform::block_allocate_zeroed(size + tail_bytes);
  if (state != nullptr && state->block != 0)
    state->text = static_cast<char*>(platform::block_lock(state->block));
  if (state == nullptr || state->text == nullptr) {
    delete state;
    error = errc::no_memory;
    return nullptr;
  }
  state->size = size;
  return state;
}

// Sets `error` from `failure`, and gives the state on success; on failure
// it frees the state and gives none.
IndexedFile::State* outcome(IndexedFile::State* state, errc failure, std::error_code& error) {
  error = failure == errc{} ? std::error_code() : make_error_code(failure);
  if (failure == errc{}) return state;
  delete state;
  return nullptr;
}

} // namespace

IndexedFile IndexedFile::open(const char* path, std::error_code& error, LineEnds ends) noexcept {
  platform::Handle file = 0;
  platform::FileState before;
  error = detail::open_text_file(path, SIZE_MAX - tail_bytes, file, before);
  if (error) return IndexedFile();
  // The kernel's own files report a size that is not what they hold: they
  // are read to the end, as cat does.
  errc failure = errc{};
  State* state = new_state(before.nominal_size ? 0 : before.size, failure);
  if (state != nullptr) {
    failure = read_and_index(*state, ends, before.nominal_size,
                             [file](char* into, std::uint32_t bytes, std::uint32_t& got) {
                               return platform::read_file(file, into, bytes, got) ? errc{} : errc::read_error;
                             });
  }
  // Rewritten during the read, the text may hold old and new bytes; a file
  // that only grew is indexed as it was when it was opened.
  platform::FileState after;
  if (failure == errc{} && !before.nominal_size) {
    if (!platform::query_open_file(file, after)) {
      failure = errc::read_error;
    } else if (after.size < before.size || (after.size == before.size && after.modified != before.modified)) {
      failure = errc::changed_while_reading;
    }
  }
  platform::close_handle(file);
  return IndexedFile(outcome(state, failure, error));
}

IndexedFile IndexedFile::copy_of(std::string_view bytes, std::error_code& error, LineEnds ends) noexcept {
  errc failure = errc{};
  State* state = new_state(bytes.size(), failure);
  if (state != nullptr) {
    const char* from = bytes.data();
    failure =
        read_and_index(*state, ends, false, [&from](char* into, std::uint32_t count, std::uint32_t& got) {
          std::memcpy(into, from, count);
          from += count;
          got = count;
          return errc{};
        });
  }
  return IndexedFile(outcome(state, failure, error));
}

IndexedFile& IndexedFile::operator=(IndexedFile&& other) noexcept {
  if (this != &other) {
    delete state_;
    state_ = other.state_;
    other.state_ = nullptr;
  }
  return *this;
}

IndexedFile::~IndexedFile() { delete state_; }

std::uint64_t IndexedFile::line_count() const noexcept { return state_ == nullptr ? 0 : state_->line_count; }

std::uint64_t IndexedFile::longest_line() const noexcept {
  return state_ == nullptr ? 0 : state_->longest_line;
}

std::uint64_t IndexedFile::longest_length() const noexcept {
  return state_ == nullptr ? 0 : state_->longest_length;
}

std::size_t IndexedFile::index_bytes() const noexcept {
  return state_ == nullptr ? 0 : state_->index.bytes();
}

std::string_view IndexedFile::text() const noexcept {
  return state_ == nullptr ? std::string_view()
                           : std::string_view(state_->text, static_cast<std::size_t>(state_->size));
}

std::string_view IndexedFile::line_at(const State& state, std::uint64_t index) noexcept {
  const std::uint64_t from = state.index.start(index);
  const std::uint64_t next = state.index.start(index + 1);
  std::uint64_t end = next;
  if (index + 1 == state.line_count && state.trailing) {
    // The last line, without a line end.
  } else if (state.ends == LineEnds::crlf) {
    end = next - 2;
  } else if (state.terminated) {
    // The NUL stands on the line end's first byte: an LF left after it
    // means the end was CR LF.
    end = next - 1 - (state.text[next - 1] == '\n' ? 1 : 0);
  } else {
    end = next - 1 - (next - 1 > from && state.text[next - 2] == '\r' ? 1 : 0);
  }
  return {state.text + from, static_cast<std::size_t>(end - from)};
}

std::string_view IndexedFile::line(std::uint64_t number) const {
  if (number < 1 || number > line_count()) {
    throw std::out_of_range("line " + std::to_string(number) + " of " + std::to_string(line_count()));
  }
  return line_at(*state_, number - 1);
}

bool IndexedFile::nul_terminate() noexcept {
  if (state_ == nullptr) return false;
  const std::uint64_t ended = state_->line_count - (state_->trailing ? 1 : 0);
  if (ended == 0) return false;
  // Each line's end is found before its own line end is written over, and
  // writing one line end changes no other line's.
  for (std::uint64_t i = 0; i < ended; ++i) {
    const std::string_view line = line_at(*state_, i);
    char* end = state_->text + (line.data() - state_->text) + line.size();
    end[0] = 0;
    if (state_->ends == LineEnds::crlf) end[1] = 0;
  }
  state_->terminated = true;
  return true;
}

} // namespace line_reader
