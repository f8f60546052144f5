#include "line_reader/indexed_file.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>

#include "line_reader/compression.h"
#include "line_reader/file_index.h"
#include "line_reader/index/build_tuning.h"
#include "line_reader/index/line_index.h"
#include "line_reader/index/ranged_index.h"
#include "line_reader/load_file.h"
#include "line_reader/scan/variants.h"
#include "line_reader/source/compressed.h"
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

// Threads read shares that start on a huge page's edge (2 MiB), so that no
// two make one page present.
constexpr std::uint64_t share_edge = std::uint64_t{2} << 20;

} // namespace

struct IndexedFile::State {
  platform::Handle block = 0;
  char* text = nullptr;
  std::uint64_t size = 0;
  LineEnds ends = LineEnds::crlf;
  detail::RangedIndex index;

  State() = default;
  State(const State&) = delete;
  State& operator=(const State&) = delete;
  ~State() {
    if (block != 0) {
      platform::block_unlock(block);
      platform::block_free(block);
    }
  }
  bool trailing() const noexcept { return (index.last_found() >> 1) < size; }
  std::uint64_t lines() const noexcept { return index.found() + (trailing() ? 1 : 0); }
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

// Reads [from, to) of the state's buffer with `fill(into, offset, bytes, got)`
// (an errc; `got` 0 at the end) and scans each piece as it arrives, into a
// range's index. An early end is changed_while_reading; `to_the_end` reads
// until the end instead, growing the buffer as needed, and says in `to`
// where it ended. `from` is a multiple of 64, and the byte before it is
// never loaded: `cr_before` tells whether it is CR.
template <class Fill>
errc read_range(IndexedFile::State& state, LineEnds ends, std::uint64_t from, std::uint64_t& to,
                bool to_the_end, bool cr_before, Fill&& fill, std::unique_ptr<detail::LineIndex>& index,
                detail::RangeTotals& totals) {
  index.reset(new (std::nothrow) detail::LineIndex);
  if (index == nullptr) return errc::no_memory;
  detail::LineIndexBuilder builder(*index, line_end_stages_with(selected_scan_variant()),
                                   ends == LineEnds::lf, false);
  builder.set_cr_before(cr_before);
  std::uint64_t done = from;
  std::uint64_t scanned = from;
  for (;;) {
    if (done == to && !(to_the_end && grow(state, done))) {
      if (to_the_end) return errc::no_memory;
      break;
    }
    if (to_the_end) to = state.size;
    const std::uint64_t left = to - done;
    const auto bytes = static_cast<std::uint32_t>(left < piece_bytes ? left : piece_bytes);
    std::uint32_t got = 0;
    if (const errc filled = fill(state.text + done, done, bytes, got); filled != errc{}) return filled;
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
  // The last step reads into the zero tail (a share that ends before the
  // text's end ends on a step's edge).
  if (const std::uint64_t ready = (done + 63) & ~std::uint64_t{63}; ready > scanned)
    builder.scan(state.text, scanned, ready);
  to = done;
  return builder.finish_range(totals) ? errc{} : errc::no_memory;
}

// The whole buffer read and indexed on the calling thread.
template <class Fill>
errc read_and_index(IndexedFile::State& state, LineEnds ends, bool to_the_end, Fill&& fill) {
  std::unique_ptr<detail::LineIndex> index;
  detail::RangeTotals totals;
  std::uint64_t to = state.size;
  if (const errc failure = read_range(state, ends, 0, to, to_the_end, false, fill, index, totals);
      failure != errc{})
    return failure;
  state.size = to;
  state.ends = ends;
  return state.index.add(std::move(index), totals) ? errc{} : errc::no_memory;
}

// A share of a file read and indexed by a thread of its own.
struct Share {
  IndexedFile::State* state;
  platform::Handle file;
  LineEnds ends;
  std::uint64_t from;
  std::uint64_t to;
  std::unique_ptr<detail::LineIndex> index;
  detail::RangeTotals totals;
  errc failure = errc{};
};

void read_share(Share& share) {
  // The thread makes its own share's pages present, beside the others.
  platform::make_memory_present(share.state->text + share.from,
                                static_cast<std::size_t>(share.to - share.from));
  char before = 0;
  std::uint32_t got = 0;
  if (share.from > 0 && (!platform::read_file_at(share.file, share.from - 1, &before, 1, got) || got != 1)) {
    share.failure = errc::read_error;
    return;
  }
  const platform::Handle file = share.file;
  share.failure = read_range(
      *share.state, share.ends, share.from, share.to, false, before == '\r',
      [file](char* into, std::uint64_t at, std::uint32_t bytes, std::uint32_t& read) {
        return platform::read_file_at(file, at, into, bytes, read) ? errc{} : errc::read_error;
      },
      share.index, share.totals);
}

void read_share_on_thread(void* share) { read_share(*static_cast<Share*>(share)); }

// The file read into the state's buffer and indexed on `threads` threads, a
// share each; false when the threads or their shares cannot be had, and
// nothing was read.
bool read_on_threads(IndexedFile::State& state, platform::Handle file, LineEnds ends, unsigned threads,
                     errc& failure) {
  std::unique_ptr<Share[]> shares(new (std::nothrow) Share[threads]);
  std::unique_ptr<platform::Handle[]> started(new (std::nothrow) platform::Handle[threads]());
  if (shares == nullptr || started == nullptr || !state.index.reserve(threads)) return false;
  for (unsigned k = 0; k < threads; ++k) {
    const std::uint64_t edge = k == 0 ? 0 : state.size / threads * k & ~(share_edge - 1);
    shares[k] = Share{&state, file, ends, edge, state.size, nullptr, {}, errc{}};
    if (k > 0) shares[k - 1].to = edge;
  }
  for (unsigned k = 1; k < threads; ++k)
    started[k] = platform::start_thread(read_share_on_thread, &shares[k]);
  read_share(shares[0]);
  for (unsigned k = 1; k < threads; ++k) {
    if (started[k] == 0) {
      read_share(shares[k]);
    } else {
      platform::join_thread(started[k]);
    }
  }
  failure = errc{};
  for (unsigned k = 0; k < threads && failure == errc{}; ++k)
    failure = shares[k].failure;
  state.ends = ends;
  // Room was reserved: the ranges join without a failure half way.
  for (unsigned k = 0; k < threads && failure == errc{}; ++k)
    state.index.add(std::move(shares[k].index), shares[k].totals);
  return true;
}

// A new state with a zeroed buffer for `size` bytes of text and the zero
// tail, its pages present unless threads will make them so.
IndexedFile::State* new_state(std::uint64_t size, errc& error, bool present = true) {
  if (size > SIZE_MAX - tail_bytes) {
    error = errc::too_large;
    return nullptr;
  }
  auto* state = new (std::nothrow) IndexedFile::State;
  if (state != nullptr) state->block = platform::block_allocate_zeroed(size + tail_bytes, present);
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
  if (failure != errc{}) error = make_error_code(failure);
  if (failure == errc{}) return state;
  delete state;
  return nullptr;
}

// How many threads read a file of `size` bytes: one a core, each with a
// share of the least range bytes at least.
unsigned threads_for(std::uint64_t size) {
  const std::uint64_t least = detail::build_tuning().least_range_bytes;
  std::uint64_t threads = platform::usable_cores();
  if (least != 0 && threads > size / least) threads = size / least;
  if (threads > 64) threads = 64;
  return threads == 0 ? 1 : static_cast<unsigned>(threads);
}

// Gathers a compressed file's text in a buffer that doubles as it fills.
class GatherSink final : public detail::TextSink {
public:
  explicit GatherSink(std::uint64_t limit) : limit_(limit) {}
  GatherSink(const GatherSink&) = delete;
  GatherSink& operator=(const GatherSink&) = delete;
  ~GatherSink() { std::free(text_); }
  bool take(const char* text, std::uint64_t bytes, std::uint64_t, bool) override {
    if (bytes == 0) return true;
    if (bytes > limit_ - size_) {
      failure = errc::too_large;
      return false;
    }
    if (size_ + bytes > capacity_) {
      std::uint64_t more = capacity_ < (1u << 20) ? 1u << 20 : capacity_;
      if (more > limit_ - capacity_) more = limit_ - capacity_;
      if (capacity_ + more < size_ + bytes) more = size_ + bytes - capacity_;
      void* grown = std::realloc(text_, static_cast<std::size_t>(capacity_ + more));
      if (grown == nullptr) {
        failure = errc::no_memory;
        return false;
      }
      text_ = static_cast<char*>(grown);
      capacity_ += more;
    }
    std::memcpy(text_ + size_, text, static_cast<std::size_t>(bytes));
    size_ += bytes;
    return true;
  }
  std::string_view text() const { return {text_, static_cast<std::size_t>(size_)}; }
  errc failure = errc::cancelled;

private:
  std::uint64_t limit_;
  char* text_ = nullptr;
  std::uint64_t size_ = 0;
  std::uint64_t capacity_ = 0;
};

// The text of the compressed file `file` of `size` bytes, as an index of
// it, within the default limit of expansion and half the machine's memory.
IndexedFile decoded(platform::Handle file, std::uint64_t size, Compression kind, LineEnds ends,
                    std::error_code& error) {
  std::uint64_t limit = platform::physical_memory() / 2;
  if (limit > SIZE_MAX - tail_bytes) limit = SIZE_MAX - tail_bytes;
  GatherSink sink(limit);
  detail::Output out(sink, 0);
  detail::DecodeJob job;
  job.file = file;
  job.size = size;
  const std::uint64_t expansion = IndexOptions().most_expansion;
  job.most_text =
      size > UINT64_MAX / 4 / expansion ? UINT64_MAX / 4 : size * expansion + (std::uint64_t{16} << 20);
  errc failure = detail::decode(kind, job, out);
  if (failure == errc::cancelled) failure = sink.failure;
  if (failure == errc{} && !out.finish()) failure = sink.failure;
  if (failure != errc{}) {
    error = failure;
    return IndexedFile();
  }
  // The text of whole members alone, as the file index takes it.
  return IndexedFile::copy_of(sink.text().substr(0, static_cast<std::size_t>(job.whole_out)), error, ends);
}

} // namespace

IndexedFile IndexedFile::open(const char* path, std::error_code& error, LineEnds ends, bool raw) noexcept {
  platform::Handle file = 0;
  platform::FileState before;
  error = detail::open_text_file(path, SIZE_MAX - tail_bytes, file, before);
  if (error) return IndexedFile();
  // The kernel's own files report a size that is not what they hold: they
  // are read to the end, as cat does. Large files are read on every core.
  const unsigned threads = before.nominal_size ? 1 : threads_for(before.size);
  errc failure = errc{};
  State* state = new_state(before.nominal_size ? 0 : before.size, failure, threads == 1);
  if (state != nullptr && !(threads > 1 && read_on_threads(*state, file, ends, threads, failure))) {
    if (threads > 1) platform::make_memory_present(state->text, static_cast<std::size_t>(state->size));
    failure = read_and_index(*state, ends, before.nominal_size,
                             [file](char* into, std::uint64_t, std::uint32_t bytes, std::uint32_t& got) {
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
  // Looked at once read: a read here would move the file's position on
  // some systems. A compressed file is decoded from the file again.
  const Compression kind =
      failure == errc{} && !raw && state != nullptr
          ? compression_of(state->text, static_cast<std::size_t>(std::min<std::uint64_t>(state->size, 16)))
          : Compression::none;
  if (kind != Compression::none) {
    const std::uint64_t size = state->size;
    delete state;
    IndexedFile text;
    if (detail::decodes(kind)) {
      text = decoded(file, size, kind, ends, error);
    } else {
      error = errc::compressed;
    }
    platform::close_handle(file);
    return text;
  }
  platform::close_handle(file);
  return IndexedFile(outcome(state, failure, error));
}

IndexedFile IndexedFile::copy_of(std::string_view bytes, std::error_code& error, LineEnds ends) noexcept {
  error.clear();
  errc failure = errc{};
  State* state = new_state(bytes.size(), failure);
  if (state != nullptr) {
    const char* from = bytes.data();
    failure = read_and_index(*state, ends, false,
                             [&from](char* into, std::uint64_t, std::uint32_t count, std::uint32_t& got) {
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

std::uint64_t IndexedFile::line_count() const noexcept { return state_ == nullptr ? 0 : state_->lines(); }

std::uint64_t IndexedFile::longest_line() const noexcept {
  return state_ == nullptr ? 0 : state_->index.longest_line();
}

std::uint64_t IndexedFile::longest_length() const noexcept {
  return state_ == nullptr ? 0 : state_->index.longest_length();
}

std::size_t IndexedFile::index_bytes() const noexcept {
  return state_ == nullptr ? 0 : state_->index.bytes();
}

std::string_view IndexedFile::text() const noexcept {
  return state_ == nullptr ? std::string_view()
                           : std::string_view(state_->text, static_cast<std::size_t>(state_->size));
}

std::string_view IndexedFile::line_at(const State& state, std::uint64_t index) noexcept {
  const std::uint64_t from = index == 0 ? 0 : state.index.start_after(index - 1);
  std::uint64_t end = state.size; // the last line, without a line end
  if (index < state.index.found())
    end = state.index.start_after(index) - (state.index.two_bytes(index) ? 2 : 1);
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
  const std::uint64_t ended = state_->index.found();
  if (ended == 0) return false;
  // Each line's end is found from the index alone, so writing one line end
  // changes no other line's.
  for (std::uint64_t i = 0; i < ended; ++i) {
    const std::string_view line = line_at(*state_, i);
    char* end = state_->text + (line.data() - state_->text) + line.size();
    end[0] = 0;
    if (state_->ends == LineEnds::crlf) end[1] = 0;
  }
  return true;
}

} // namespace line_reader
