#include "line_reader/file_index.h"

#include <atomic>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "line_reader/compression.h"
#include "line_reader/index/build_tuning.h"
#include "line_reader/index/ranged_index.h"
#include "line_reader/index/saved_index.h"
#include "line_reader/load_file.h"
#include "line_reader/scan/variants.h"
#include "platform/platform.h"

namespace line_reader {

namespace detail {
BuildTuning& build_tuning() noexcept {
  static BuildTuning tuning;
  return tuning;
}
} // namespace detail

namespace {

// The file's identity is hashed over this much of its head and of the bytes
// before its indexed end.
constexpr std::uint32_t hashed_bytes = 64 * 1024;

// A heap buffer that goes back when it goes out of scope.
struct HeapBuffer {
  unsigned char* bytes;
  explicit HeapBuffer(std::size_t size)
      : bytes(static_cast<unsigned char*>(platform::heap_allocate_zeroed(platform::process_heap(), size))) {}
  HeapBuffer(const HeapBuffer&) = delete;
  HeapBuffer& operator=(const HeapBuffer&) = delete;
  ~HeapBuffer() {
    if (bytes != nullptr) platform::heap_free(platform::process_heap(), bytes);
  }
};

// Reads exactly `count` bytes at `offset`; errc::changed_while_reading when
// the file ends first.
errc read_exactly(platform::Handle file, std::uint64_t offset, void* into, std::uint64_t count) {
  auto* at = static_cast<unsigned char*>(into);
  for (std::uint64_t done = 0; done < count;) {
    const std::uint64_t left = count - done;
    const auto ask = static_cast<std::uint32_t>(left < (1u << 30) ? left : 1u << 30);
    std::uint32_t got = 0;
    if (!platform::read_file_at(file, offset + done, at + done, ask, got)) return errc::read_error;
    if (got == 0) return errc::changed_while_reading;
    done += got;
  }
  return errc{};
}

// The hashes of the first 64 KiB of the file's `size` bytes and of the 64
// KiB before their end.
errc hash_ends(platform::Handle file, std::uint64_t size, std::uint64_t& head, std::uint64_t& tail) {
  HeapBuffer buffer(hashed_bytes);
  if (buffer.bytes == nullptr) return errc::no_memory;
  const std::uint64_t count = size < hashed_bytes ? size : hashed_bytes;
  if (const errc read = read_exactly(file, 0, buffer.bytes, count); read != errc{}) return read;
  head = detail::hash_bytes(buffer.bytes, static_cast<std::size_t>(count));
  if (size > count) {
    if (const errc read = read_exactly(file, size - count, buffer.bytes, count); read != errc{}) return read;
  }
  tail = detail::hash_bytes(buffer.bytes, static_cast<std::size_t>(count));
  return errc{};
}

// One range of the file, indexed by one thread.
struct RangeJob {
  platform::Handle file = 0;
  std::uint64_t begin = 0;
  std::uint64_t end = 0;
  bool to_the_end = false; // read until the file ends, whatever `end` says
  bool lf = false;
  bool mapped = false; // read through a view of the file (`begin` is then a multiple of 4096)
  std::atomic<std::uint64_t>* done = nullptr;
  std::atomic<bool>* stop = nullptr;
  // The calling thread's job reports progress after each piece.
  const IndexOptions* reporter = nullptr;
  std::uint64_t total = 0;

  std::unique_ptr<detail::LineIndex> index;
  detail::RangeTotals totals;
  errc failure = errc{};
  std::uint64_t read_to = 0; // where the reading stopped
  std::atomic<bool> finished{false};
};

bool report(const IndexOptions& options, std::uint64_t done, std::uint64_t total) {
  try {
    return options.progress(done, total);
  } catch (...) {
    return false;
  }
}

// Scans the job's range from a view of the file, a piece at a time. The
// scan reads one byte past what it is given: the last step, which may be
// short, is copied to `tail` with zeros after it. False when no view could
// be had, and nothing is scanned.
bool scan_mapped(RangeJob& job, detail::LineIndexBuilder& builder, char* tail) {
  const std::uint64_t bytes = job.end - job.begin;
  if (bytes == 0) return false;
  const void* view = platform::map_file_for_reading(job.file, job.begin, bytes);
  if (view == nullptr) return false;
  const char* text = static_cast<const char*>(view);
  const std::uint64_t piece =
      detail::build_tuning().piece_bytes < 64 ? 64 : detail::build_tuning().piece_bytes & ~std::uint64_t{63};
  const std::uint64_t whole = (bytes - 1) & ~std::uint64_t{63}; // steps before the last
  for (std::uint64_t at = 0; at < whole;) {
    if (job.stop->load(std::memory_order_relaxed)) break;
    const std::uint64_t step = whole - at < piece ? whole - at : piece;
    builder.scan_piece(text + at, step, job.begin + at);
    at += step;
    job.done->fetch_add(step, std::memory_order_relaxed);
    if (job.reporter != nullptr &&
        !report(*job.reporter, job.done->load(std::memory_order_relaxed), job.total))
      job.stop->store(true);
  }
  std::memset(tail, 0, 128);
  std::memcpy(tail, text + whole, static_cast<std::size_t>(bytes - whole));
  platform::unmap_file(view, bytes);
  if (job.stop->load(std::memory_order_relaxed)) {
    job.failure = errc::cancelled;
    return true;
  }
  builder.scan_piece(tail, 64, job.begin + whole);
  job.done->fetch_add(bytes - whole, std::memory_order_relaxed);
  job.read_to = job.end;
  if (!builder.finish_range(job.totals)) job.failure = errc::no_memory;
  return true;
}

void run_range(RangeJob& job) {
  const std::uint32_t piece = detail::build_tuning().piece_bytes;
  // A piece, up to 63 bytes left over from the piece before, and the zero
  // tail that the last step reads.
  HeapBuffer buffer(std::size_t{piece} + 128);
  job.index.reset(new (std::nothrow) detail::LineIndex);
  if (buffer.bytes == nullptr || job.index == nullptr) {
    job.failure = errc::no_memory;
    return;
  }
  char* text = reinterpret_cast<char*>(buffer.bytes);
  detail::LineIndexBuilder builder(*job.index, line_end_stages_with(selected_scan_variant()), job.lf, false);
  // A CR LF across the range's first edge is one line end.
  if (job.begin > 0) {
    char before = 0;
    if (const errc read = read_exactly(job.file, job.begin - 1, &before, 1); read != errc{}) {
      job.failure = read;
      return;
    }
    builder.set_cr_before(before == '\r');
  }
  if (job.mapped && scan_mapped(job, builder, text)) return;
  std::uint64_t at = job.begin;     // the next byte to read
  std::uint64_t offset = job.begin; // where text[0] stands in the file
  std::uint64_t kept = 0;           // bytes at text[0] not yet scanned
  for (;;) {
    if (job.stop->load(std::memory_order_relaxed)) {
      job.failure = errc::cancelled;
      return;
    }
    const std::uint64_t left = job.to_the_end ? piece : job.end - at;
    std::uint32_t got = 0;
    if (left != 0 && !platform::read_file_at(job.file, at, text + kept,
                                             left < piece ? static_cast<std::uint32_t>(left) : piece, got)) {
      job.failure = errc::read_error;
      return;
    }
    if (got == 0 && !job.to_the_end && left != 0) {
      job.failure = errc::changed_while_reading; // shorter than when it was opened
      return;
    }
    at += got;
    const std::uint64_t ready = kept + got;
    const bool last = got == 0 || (!job.to_the_end && at == job.end);
    // Whole 64-byte steps, and at the range's end the rest too: the bytes
    // after it are zeros here, so the range's last step finds no line end
    // beyond the range.
    std::uint64_t scanned = ready & ~std::uint64_t{63};
    if (last) {
      std::memset(text + ready, 0, 64);
      scanned = (ready + 63) & ~std::uint64_t{63};
    }
    builder.scan_piece(text, scanned, offset);
    job.done->fetch_add(got, std::memory_order_relaxed);
    if (job.reporter != nullptr &&
        !report(*job.reporter, job.done->load(std::memory_order_relaxed), job.total))
      job.stop->store(true);
    if (last) break;
    kept = ready - scanned;
    std::memmove(text, text + scanned, static_cast<std::size_t>(kept));
    offset += scanned;
  }
  job.read_to = at;
  if (!builder.finish_range(job.totals)) job.failure = errc::no_memory;
}

void run_range_on_thread(void* job) {
  auto& range = *static_cast<RangeJob*>(job);
  run_range(range);
  range.finished.store(true);
}

// Indexes [from, to) of the file into `index`, on up to `threads` threads
// (to the end of the file when `to_the_end`), and says where the reading
// ended. On failure the index is as it was.
errc index_ranges(platform::Handle file, std::uint64_t from, std::uint64_t to, bool to_the_end,
                  const IndexOptions& options, detail::RangedIndex& index, std::uint64_t& read_to) {
  const detail::BuildTuning& tuning = detail::build_tuning();
  std::uint64_t threads = options.threads != 0 ? options.threads : platform::usable_cores();
  const std::uint64_t bytes = to - from;
  const std::uint64_t least = tuning.least_range_bytes == 0 ? 1 : tuning.least_range_bytes;
  if (threads > bytes / least) threads = bytes / least;
  if (threads == 0 || to_the_end) threads = 1;
  if (threads > 256) threads = 256;
  const auto count = static_cast<std::size_t>(threads);

  std::atomic<std::uint64_t> done{0};
  std::atomic<bool> stop{false};
  std::unique_ptr<RangeJob[]> jobs(new (std::nothrow) RangeJob[count]);
  std::unique_ptr<platform::Handle[]> started(new (std::nothrow) platform::Handle[count]());
  if (jobs == nullptr || started == nullptr || !index.reserve(count)) return errc::no_memory;
  // A view of the file starts on a page, and the scan wants its text on a
  // 16-byte boundary: mapped ranges start on pages.
  const bool mapped = options.mapped && !to_the_end && from % 4096 == 0;
  for (std::size_t k = 0; k < count; ++k) {
    RangeJob& job = jobs[k];
    job.file = file;
    job.begin = from + bytes * k / threads;
    job.end = from + bytes * (k + 1) / threads;
    if (mapped) {
      job.begin = k == 0 ? from : job.begin & ~std::uint64_t{4095};
      job.end = k + 1 == count ? to : (from + bytes * (k + 1) / threads) & ~std::uint64_t{4095};
      job.mapped = true;
    }
    job.to_the_end = to_the_end;
    job.lf = options.ends == LineEnds::lf;
    job.done = &done;
    job.stop = &stop;
    job.total = bytes;
  }
  if (options.progress) jobs[0].reporter = &options;
  // The calling thread takes the first range, and any range whose thread
  // cannot be had after its own; then it reports the others' progress
  // while they finish.
  for (std::size_t k = 1; k < count; ++k)
    started[k] = platform::start_thread(run_range_on_thread, &jobs[k]);
  run_range(jobs[0]);
  for (std::size_t k = 1; k < count; ++k) {
    if (started[k] == 0) run_range(jobs[k]);
  }
  for (std::size_t k = 1; k < count; ++k) {
    if (started[k] == 0) continue;
    while (options.progress && !jobs[k].finished.load() && !stop.load()) {
      if (!report(options, done.load(), bytes)) stop.store(true);
      platform::pause_milliseconds(20);
    }
    platform::join_thread(started[k]);
  }
  errc failure = errc{};
  for (std::size_t k = 0; k < count; ++k) {
    if (jobs[k].failure != errc{} && (failure == errc{} || failure == errc::cancelled))
      failure = jobs[k].failure;
  }
  if (failure == errc{} && stop.load()) failure = errc::cancelled;
  if (failure != errc{}) return failure;
  // Room for the ranges was reserved: adding them cannot fail half way.
  for (std::size_t k = 0; k < count; ++k)
    index.add(std::move(jobs[k].index), jobs[k].totals);
  read_to = to_the_end ? jobs[0].read_to : to;
  return errc{};
}

} // namespace

struct FileIndex::State {
  platform::Handle file = 0;
  std::string path;
  IndexOptions options;
  detail::SavedIdentity identity;
  detail::RangedIndex index;
  // A compressed file's checkpoints; none for a plain one.
  std::unique_ptr<detail::CompressedText> compressed;

  State() = default;
  State(const State&) = delete;
  State& operator=(const State&) = delete;
  ~State() { platform::close_handle(file); }

  bool trailing() const noexcept { return (index.last_found() >> 1) < identity.size; }
  // The bytes of the file on disk that the index covers.
  std::uint64_t on_disk() const noexcept { return compressed ? compressed->source_size : identity.size; }
  std::uint64_t lines() const noexcept { return index.found() + (trailing() ? 1 : 0); }
  // The start of line i and the start after it, from 0; false when a saved
  // piece that holds them is damaged.
  bool start_of(std::uint64_t i, std::uint64_t& start) const noexcept {
    bool two = false;
    start = 0;
    return i == 0 || index.entry(i - 1, start, two);
  }
  bool end_of(std::uint64_t i, std::uint64_t& end) const noexcept {
    bool two = false;
    end = identity.size;
    return i >= index.found() || index.entry(i, end, two);
  }
};

namespace {

// Scans text as a decoder hands it on, and reports progress by the
// compressed bytes read.
class ScanSink final : public detail::TextSink {
public:
  ScanSink(detail::LineIndexBuilder& builder, const IndexOptions& options, const detail::LineIndex& index)
      : builder_(builder), options_(options), index_(index) {}
  bool take(const char* text, std::uint64_t bytes, std::uint64_t offset, bool last) override {
    builder_.scan_piece(text, last ? (bytes + 63) & ~std::uint64_t{63} : bytes, offset);
    // A text of a billion empty lines takes 2 GB of index from a few MB of
    // gzip: the index may take a quarter of the machine's memory at most.
    if (++pieces_ % 64 == 0 && index_.bytes() > platform::physical_memory() / 4) {
      failure = errc::no_memory;
      return false;
    }
    if (options_.progress && job != nullptr && !report(options_, job->read_to, job->size)) {
      failure = errc::cancelled;
      return false;
    }
    return true;
  }
  errc failure = errc::cancelled;
  const detail::DecodeJob* job = nullptr; // its bytes read, against the file's

private:
  detail::LineIndexBuilder& builder_;
  const IndexOptions& options_;
  const detail::LineIndex& index_;
  std::uint64_t pieces_ = 0;
};

// Decodes the compressed file from `from`, a member's, frame's or stream's
// start in it, where the text is `out` bytes long, to the end of its last
// whole one within `size`, into a new range of `index`, and adds
// checkpoints to `text`. A file that ends within a member, as one being
// written does, is indexed to the member before: the decoding goes again
// to there. On failure the index and checkpoints are as they were.
errc index_compressed(platform::Handle file, std::uint64_t size, std::uint64_t from, std::uint64_t out,
                      bool cr_before, const IndexOptions& options, detail::CompressedText& text,
                      detail::RangedIndex& index, std::uint64_t& text_size) {
  // Checkpoints are added to windows in memory.
  if (!text.take_windows_in()) return errc::bad_index;
  const std::size_t points_before = text.checkpoints.size();
  const std::size_t windows_before = text.windows.size();
  auto undo = [&](errc failure) {
    text.checkpoints.resize(points_before);
    text.windows.resize(windows_before);
    return failure;
  };
  const std::uint64_t expansion = options.most_expansion == 0 ? UINT64_MAX / 2 : options.most_expansion;
  for (int round = 0; round < 2; ++round) {
    std::unique_ptr<detail::LineIndex> lines(new (std::nothrow) detail::LineIndex);
    if (lines == nullptr || !index.reserve(1)) return undo(errc::no_memory);
    detail::LineIndexBuilder builder(*lines, line_end_stages_with(selected_scan_variant()),
                                     options.ends == LineEnds::lf, false);
    if (out > 0) builder.set_cr_before(cr_before);
    ScanSink sink(builder, options, *lines);
    detail::Output output(sink, out);
    detail::DecodeJob job;
    job.file = file;
    job.size = size;
    job.start.in_bit = from * 8;
    job.start.out = out;
    job.record = &text;
    job.spacing = options.checkpoint_spacing == 0 ? 1u << 20 : options.checkpoint_spacing;
    // The limit grows with the file: 16 MiB beyond it for the smallest.
    const std::uint64_t compressed = size - from;
    job.most_text = out +
                    (compressed > (UINT64_MAX / 4) / expansion ? UINT64_MAX / 4 : compressed * expansion) +
                    (std::uint64_t{16} << 20);
    sink.job = &job;
    errc failure = detail::decode(text.kind, job, output);
    if (failure == errc::cancelled) failure = sink.failure;
    if (failure == errc{} && !output.finish()) failure = sink.failure;
    if (failure != errc{}) return undo(failure);
    if (job.cut && job.whole_out < output.total() && round == 0) {
      // The text of the last, cut member is indexed: again, to its start.
      undo(errc{});
      size = job.whole_in;
      continue;
    }
    detail::RangeTotals totals;
    if (!builder.finish_range(totals)) return undo(errc::no_memory);
    if (job.whole_out > out) index.add(std::move(lines), totals);
    // Checkpoints past the whole members (a cut one's) go: the saved form
    // holds none beyond the bytes indexed.
    while (text.checkpoints.size() > 1 && text.checkpoints.back().in_bit >= job.whole_in * 8) {
      if (text.checkpoints.back().window_bytes != 0) text.windows.resize(text.checkpoints.back().window_at);
      text.checkpoints.pop_back();
    }
    text.source_size = job.whole_in;
    text_size = job.whole_out;
    return errc{};
  }
  return undo(errc::changed_while_reading);
}

// The text's size and the compressed file's times and hashes, as indexed.
void take_state(detail::SavedIdentity& identity, const platform::FileState& now, std::uint64_t text_size,
                std::uint64_t head, std::uint64_t tail) {
  identity.size = text_size;
  identity.modified = now.modified;
  identity.changed = now.changed;
  identity.head_hash = head;
  identity.tail_hash = tail;
}

// A new state for the file `path`, open as `file` (which it then owns).
std::unique_ptr<FileIndex::State> new_state(const char* path, const IndexOptions& options,
                                            std::error_code& error) {
  std::unique_ptr<FileIndex::State> state(new (std::nothrow) FileIndex::State);
  if (state == nullptr) {
    error = errc::no_memory;
    return nullptr;
  }
  try {
    state->path = path;
    state->options = options;
  } catch (const std::bad_alloc&) {
    error = errc::no_memory;
    return nullptr;
  }
  state->identity.lf = options.ends == LineEnds::lf;
  return state;
}

// After a scan of the file up to `now.size` (its state before the scan, when
// `head` and `tail` were hashed): errc{} when it has at most grown since,
// else errc::changed_while_reading. A file that grew must still hold the
// hashed bytes: one rewritten with more bytes than it had did not grow.
errc changed_since(platform::Handle file, const platform::FileState& now, std::uint64_t head,
                   std::uint64_t tail) {
  platform::FileState after;
  if (!platform::query_open_file(file, after)) return errc::read_error;
  if (after.size < now.size ||
      (after.size == now.size && (after.modified != now.modified || after.changed != now.changed)))
    return errc::changed_while_reading;
  if (after.size == now.size) return errc{};
  std::uint64_t head_after = 0;
  std::uint64_t tail_after = 0;
  if (const errc hashed = hash_ends(file, now.size, head_after, tail_after); hashed != errc{}) return hashed;
  return head_after != head || tail_after != tail ? errc::changed_while_reading : errc{};
}

// Indexes the file that the state holds open, as it is now (`now` is its
// state from the open), into the state's empty index. The identity is
// taken before the scan and checked after it: a file that changed in any
// other way than growing past the scanned end is changed_while_reading, and
// the index of old and new bytes is not kept.
std::error_code index_whole(FileIndex::State& state, const platform::FileState& now) {
  std::uint64_t head = 0;
  std::uint64_t tail = 0;
  if (state.compressed) {
    // The hashed stretches are of the compressed bytes indexed. The head,
    // hashed before and after, and the file's state tell a file that
    // changed during the build, as for a plain file.
    std::uint64_t head_before = 0;
    if (const errc hashed = hash_ends(state.file, now.size, head_before, tail); hashed != errc{})
      return hashed;
    std::uint64_t text_size = 0;
    if (const errc failure = index_compressed(state.file, now.size, 0, 0, false, state.options,
                                              *state.compressed, state.index, text_size);
        failure != errc{})
      return failure;
    const std::uint64_t read_to = state.compressed->source_size;
    if (const errc hashed = hash_ends(state.file, read_to, head, tail); hashed != errc{}) return hashed;
    platform::FileState after;
    if (!platform::query_open_file(state.file, after)) return errc::read_error;
    if (after.size < now.size ||
        (after.size == now.size && (after.modified != now.modified || after.changed != now.changed)))
      return errc::changed_while_reading;
    std::uint64_t head_now = 0;
    std::uint64_t unused = 0;
    if (const errc hashed = hash_ends(state.file, now.size, head_now, unused); hashed != errc{})
      return hashed;
    if (head_now != head_before) return errc::changed_while_reading;
    state.identity.device = now.device;
    state.identity.file_id = now.file_id;
    take_state(state.identity, now, text_size, head, tail);
    return {};
  }
  if (!now.nominal_size) {
    if (const errc hashed = hash_ends(state.file, now.size, head, tail); hashed != errc{}) return hashed;
  }
  std::uint64_t read_to = 0;
  if (const errc failure =
          index_ranges(state.file, 0, now.size, now.nominal_size, state.options, state.index, read_to);
      failure != errc{})
    return failure;
  state.identity.device = now.device;
  state.identity.file_id = now.file_id;
  state.identity.size = read_to;
  state.identity.modified = now.modified;
  state.identity.changed = now.changed;
  if (now.nominal_size) {
    // The kernel's own files have no size to check against: what was read is the file.
    if (const errc hashed =
            hash_ends(state.file, read_to, state.identity.head_hash, state.identity.tail_hash);
        hashed != errc{})
      return hashed;
    return {};
  }
  if (const errc changed = changed_since(state.file, now, head, tail); changed != errc{}) return changed;
  state.identity.head_hash = head;
  state.identity.tail_hash = tail;
  return {};
}

// How the file as it is now stands to the identity its index has.
enum class Against { same, grown, changed };

// `indexed` is the bytes of the file that the index covers: for a
// compressed file, the compressed bytes.
Against compare(platform::Handle file, const platform::FileState& now, const detail::SavedIdentity& identity,
                std::uint64_t indexed, bool compressed, errc& failure) {
  failure = errc{};
  if (now.device != identity.device || now.file_id != identity.file_id || now.size < indexed)
    return Against::changed;
  // The same size with a new change time: rewritten, even with its
  // modification time set back; no user can set the change time back.
  // (A compressed file still being written may hold more than its whole
  // members: its change time is then its own.)
  if (now.size == indexed && now.changed != identity.changed) return Against::changed;
  // The hashed stretches are read every time (128 KiB at most): a new file
  // on a reused inode, or one rewritten to the same size and times, differs there.
  std::uint64_t head = 0;
  std::uint64_t tail = 0;
  failure = hash_ends(file, indexed, head, tail);
  if (failure == errc::changed_while_reading) failure = errc{}; // shorter than its size: changed
  if (failure != errc{}) return Against::changed;
  if (head != identity.head_hash || tail != identity.tail_hash) return Against::changed;
  if (now.size == indexed) return Against::same;
  // A compressed file with bytes past its whole members that have not
  // changed since: still the same.
  if (compressed && now.changed == identity.changed && now.modified == identity.modified)
    return Against::same;
  return Against::grown;
}

// Indexes the bytes appended since the index was made, up to `now.size`.
// On failure the index is as it was.
std::error_code index_appended(FileIndex::State& state, const platform::FileState& now) {
  std::uint64_t head = 0;
  std::uint64_t tail = 0;
  if (state.compressed) {
    // Decoding goes on from the end of the last whole member, frame or
    // stream, after the text's last byte, whose CR may pair with an LF.
    bool cr_before = false;
    if (state.identity.size > 0) {
      unsigned char last = 0;
      if (const errc read =
              detail::read_text(state.file, *state.compressed, state.identity.size - 1, 1, &last);
          read != errc{})
        return read;
      cr_before = last == '\r';
    }
    const detail::RangedIndex::Mark before = state.index.mark();
    const std::uint64_t source_before = state.compressed->source_size;
    std::uint64_t text_size = 0;
    if (const errc failure =
            index_compressed(state.file, now.size, source_before, state.identity.size, cr_before,
                             state.options, *state.compressed, state.index, text_size);
        failure != errc{})
      return failure;
    if (const errc hashed = hash_ends(state.file, state.compressed->source_size, head, tail);
        hashed != errc{}) {
      state.index.rewind(before);
      state.compressed->source_size = source_before;
      return hashed;
    }
    const std::size_t threads = state.options.threads != 0 ? state.options.threads : platform::usable_cores();
    bool damaged = false;
    (void)state.index.fold_ranges(threads > 16 ? 2 * threads : 32, damaged);
    take_state(state.identity, now, text_size, head, tail);
    return {};
  }
  if (const errc hashed = hash_ends(state.file, now.size, head, tail); hashed != errc{}) return hashed;
  const detail::RangedIndex::Mark before = state.index.mark();
  std::uint64_t read_to = 0;
  if (const errc failure =
          index_ranges(state.file, state.identity.size, now.size, false, state.options, state.index, read_to);
      failure != errc{})
    return failure;
  // The hashed stretches must still be what they were before the scan: a
  // file rewritten with more bytes during it did not grow, and the ranges
  // of its new bytes go again (the next refresh sees it replaced).
  if (const errc changed = changed_since(state.file, now, head, tail); changed != errc{}) {
    state.index.rewind(before);
    return changed;
  }
  // Each append adds a range; past 32 (or twice the threads, so that a
  // build's own ranges stay as they are) the last is joined onto the one
  // before it, which costs only its own lines (a failure to join keeps the
  // ranges, which serve as well).
  const std::size_t threads = state.options.threads != 0 ? state.options.threads : platform::usable_cores();
  bool damaged = false;
  (void)state.index.fold_ranges(threads > 16 ? 2 * threads : 32, damaged);
  state.identity.size = now.size;
  state.identity.modified = now.modified;
  state.identity.changed = now.changed;
  // The head's hash too: it covers the whole of a file shorter than 64 KiB.
  state.identity.head_hash = head;
  state.identity.tail_hash = tail;
  return {};
}

std::error_code open_for_index(const char* path, platform::Handle& file, platform::FileState& now) {
  if (path == nullptr) return errc::not_found;
  platform::OpenFailure failure;
  file = platform::open_shared_file_for_reading(path, now, failure);
  return file == 0 ? detail::reason_for(failure) : std::error_code();
}

// The compression of the file's first bytes: none when its bytes are
// asked for; errc::compressed for a form this build does not decode.
std::error_code compression_to_read(platform::Handle file, const IndexOptions& options, Compression& kind) {
  kind = Compression::none;
  if (options.raw) return {};
  unsigned char head[16];
  std::uint32_t got = 0;
  if (!platform::read_file_at(file, 0, head, sizeof head, got)) return errc::read_error;
  kind = compression_of(head, got);
  if (kind != Compression::none && !detail::decodes(kind)) return errc::compressed;
  return {};
}

// The state's checkpoints, for a compressed file.
std::error_code take_compression(FileIndex::State& state, Compression kind) {
  if (kind == Compression::none) return {};
  state.compressed.reset(new (std::nothrow) detail::CompressedText);
  if (state.compressed == nullptr) return errc::no_memory;
  state.compressed->kind = kind;
  return {};
}

// A new state for the file `path`, opened, with its state now in `now`.
std::unique_ptr<FileIndex::State> open_state(const char* path, const IndexOptions& options,
                                             platform::FileState& now, std::error_code& error) {
  platform::Handle file = 0;
  if ((error = open_for_index(path, file, now))) return nullptr;
  Compression kind = Compression::none;
  if ((error = compression_to_read(file, options, kind))) {
    platform::close_handle(file);
    return nullptr;
  }
  std::unique_ptr<FileIndex::State> state = new_state(path, options, error);
  if (state == nullptr) {
    platform::close_handle(file);
    return nullptr;
  }
  state->file = file;
  if ((error = take_compression(*state, kind))) return nullptr;
  return state;
}

} // namespace

FileIndex FileIndex::build(const char* path, std::error_code& error, const IndexOptions& options) noexcept {
  error.clear();
  platform::FileState now;
  std::unique_ptr<State> state = open_state(path, options, now, error);
  if (state == nullptr) return FileIndex();
  if ((error = index_whole(*state, now))) return FileIndex();
  return FileIndex(state.release());
}

FileIndex FileIndex::load(const char* index_path, const char* path, std::error_code& error,
                          const IndexOptions& options) noexcept {
  error.clear();
  if (index_path == nullptr) {
    error = errc::not_found;
    return FileIndex();
  }
  platform::FileState now;
  std::unique_ptr<State> state = open_state(path, options, now, error);
  if (state == nullptr) return FileIndex();
  detail::SavedIdentity saved;
  const detail::LoadMode mode =
      options.lazy     ? (options.lazy_reads ? detail::LoadMode::lazy : detail::LoadMode::lazy_mapped)
      : options.mapped ? detail::LoadMode::mapped
                       : detail::LoadMode::read;
  std::unique_ptr<detail::CompressedText> compressed;
  if ((error = detail::load_index(index_path, saved, state->index, mode, options.threads, &compressed)))
    return FileIndex();
  // An index of the file's text, plain or decoded as the file is now.
  const Compression kind = state->compressed ? state->compressed->kind : Compression::none;
  if ((compressed ? compressed->kind : Compression::none) != kind) {
    error = errc::stale_index;
    return FileIndex();
  }
  state->compressed = std::move(compressed);
  if (saved.lf != (options.ends == LineEnds::lf)) {
    error = errc::other_line_ends;
    return FileIndex();
  }
  state->identity = saved;
  errc failure = errc{};
  switch (compare(state->file, now, saved, state->on_disk(), state->compressed != nullptr, failure)) {
  case Against::same: break;
  case Against::grown:
    if ((error = index_appended(*state, now))) return FileIndex();
    break;
  case Against::changed: error = failure != errc{} ? failure : errc::stale_index; return FileIndex();
  }
  return FileIndex(state.release());
}

void FileIndex::save(const char* index_path, std::error_code& error, bool flushed) const noexcept {
  error.clear();
  if (state_ == nullptr || index_path == nullptr) {
    error = errc::not_found;
    return;
  }
  error = detail::save_index(index_path, state_->identity, state_->index, flushed, state_->compressed.get());
}

FileIndex& FileIndex::operator=(FileIndex&& other) noexcept {
  if (this != &other) {
    delete state_;
    state_ = other.state_;
    other.state_ = nullptr;
  }
  return *this;
}

FileIndex::~FileIndex() { delete state_; }

std::uint64_t FileIndex::line_count() const noexcept { return state_ == nullptr ? 0 : state_->lines(); }

std::uint64_t FileIndex::longest_line() const noexcept {
  return state_ == nullptr ? 0 : state_->index.longest_line();
}

std::uint64_t FileIndex::longest_length() const noexcept {
  return state_ == nullptr ? 0 : state_->index.longest_length();
}

std::uint64_t FileIndex::indexed_bytes() const noexcept {
  return state_ == nullptr ? 0 : state_->identity.size;
}

std::size_t FileIndex::index_bytes() const noexcept {
  if (state_ == nullptr) return 0;
  const detail::CompressedText* compressed = state_->compressed.get();
  return state_->index.bytes() + (compressed == nullptr
                                      ? 0
                                      : compressed->checkpoints.capacity() * sizeof(detail::Checkpoint) +
                                            compressed->windows.capacity());
}

LineEnds FileIndex::ends() const noexcept {
  return state_ == nullptr ? LineEnds::crlf : state_->options.ends;
}

Compression FileIndex::compression() const noexcept {
  return state_ == nullptr || !state_->compressed ? Compression::none : state_->compressed->kind;
}

FileIndex::FileId FileIndex::file_id() const noexcept {
  if (state_ == nullptr) return {0, 0, 0, 0};
  const detail::SavedIdentity& id = state_->identity;
  return {id.device, id.file_id, id.modified, id.changed};
}

FileIndex::Span FileIndex::span(std::uint64_t number) const {
  std::error_code error;
  const Span line = span(number, error);
  if (error) throw std::system_error(error, "line " + std::to_string(number));
  return line;
}

FileIndex::Span FileIndex::span(std::uint64_t number, std::error_code& error) const {
  error.clear();
  if (number < 1 || number > line_count()) {
    throw std::out_of_range("line " + std::to_string(number) + " of " + std::to_string(line_count()));
  }
  const State& state = *state_;
  const std::uint64_t i = number - 1;
  std::uint64_t from = 0;
  std::uint64_t next = state.identity.size;
  bool two = false;
  if (!state.start_of(i, from) || (i < state.index.found() && !state.index.entry(i, next, two))) {
    error = errc::bad_index;
    return {0, 0};
  }
  if (i >= state.index.found()) return {from, state.identity.size - from};
  const std::uint64_t ending = two ? 2 : 1;
  // Starts rise and lie within the indexed bytes, as the load checked;
  // a line end of two bytes after one byte is no line, not a length past it.
  return {from, next - from >= ending ? next - from - ending : 0};
}

void FileIndex::spans(std::uint64_t first, std::uint64_t count, Span* into, std::error_code& error) const {
  error.clear();
  if (count == 0) return;
  if (first < 1 || first > line_count() || count > line_count() - first + 1)
    throw std::out_of_range("lines " + std::to_string(first) + " to " + std::to_string(first + count - 1) +
                            " of " + std::to_string(line_count()));
  const State& state = *state_;
  // Each line's end is the next one's start: one lookup a line.
  std::uint64_t from = 0;
  if (!state.start_of(first - 1, from)) {
    error = errc::bad_index;
    return;
  }
  // The line ends among them, a step of 1,024 at a time; the last line may
  // have none.
  const std::uint64_t found = state.index.found();
  const std::uint64_t ended = first - 1 >= found ? 0 : std::min(count, found - (first - 1));
  std::uint64_t starts[1024];
  bool twos[1024];
  for (std::uint64_t k = 0; k < ended;) {
    const std::uint64_t n = std::min<std::uint64_t>(1024, ended - k);
    if (!state.index.entries(first - 1 + k, n, starts, twos)) {
      error = errc::bad_index;
      return;
    }
    for (std::uint64_t m = 0; m < n; ++m, ++k) {
      const std::uint64_t ending = twos[m] ? 2 : 1;
      into[k] = {from, starts[m] - from >= ending ? starts[m] - from - ending : 0};
      from = starts[m];
    }
  }
  if (ended < count) into[ended] = {from, state.identity.size - from};
}

namespace {

std::string_view read_into(const FileIndex::State& state, std::uint64_t offset, std::uint64_t length,
                           std::string& buffer, std::error_code& error) {
  error.clear();
  if (length > buffer.max_size() || length > SIZE_MAX) {
    error = errc::no_memory;
    return {};
  }
  try {
    buffer.resize(static_cast<std::size_t>(length));
  } catch (const std::exception&) { // bad_alloc, or length_error past what the string takes
    error = errc::no_memory;
    return {};
  }
  const errc read = state.compressed ? detail::read_text(state.file, *state.compressed, offset, length,
                                                         reinterpret_cast<unsigned char*>(buffer.data()))
                                     : read_exactly(state.file, offset, buffer.data(), length);
  if (read != errc{}) {
    error = read;
    return {};
  }
  return buffer;
}

} // namespace

std::string_view FileIndex::read_line(std::uint64_t number, std::string& buffer,
                                      std::error_code& error) const {
  const Span line = span(number, error);
  if (error) return {};
  return read_into(*state_, line.offset, line.length, buffer, error);
}

std::string_view FileIndex::read_lines(std::uint64_t first, std::uint64_t last, std::string& buffer,
                                       std::error_code& error) const {
  if (first > last) throw std::out_of_range("lines " + std::to_string(first) + " to " + std::to_string(last));
  const Span from = span(first, error);
  std::uint64_t end = 0;
  if (!error) (void)span(last, error);
  if (!error && !state_->end_of(last - 1, end)) error = errc::bad_index;
  if (error) return {};
  return read_into(*state_, from.offset, end - from.offset, buffer, error);
}

std::string_view FileIndex::read_bytes(std::uint64_t offset, std::uint64_t count, std::string& buffer,
                                       std::error_code& error) const {
  const std::uint64_t size = indexed_bytes();
  if (offset > size || count > size - offset)
    throw std::out_of_range("bytes " + std::to_string(offset) + " to " + std::to_string(offset + count) +
                            " of " + std::to_string(size));
  if (count == 0) {
    error.clear();
    buffer.clear();
    return {};
  }
  return read_into(*state_, offset, count, buffer, error);
}

FileIndex::Change FileIndex::refresh(std::error_code& error) noexcept {
  error.clear();
  if (state_ == nullptr) return Change::none;
  platform::Handle file = 0;
  platform::FileState now;
  if ((error = open_for_index(state_->path.c_str(), file, now))) return Change::none;
  errc failure = errc{};
  const Against against =
      compare(file, now, state_->identity, state_->on_disk(), state_->compressed != nullptr, failure);
  if (failure != errc{}) {
    platform::close_handle(file);
    error = failure;
    return Change::none;
  }
  if (against == Against::same) {
    platform::close_handle(file);
    return Change::none;
  }
  if (against == Against::grown) {
    // The same file: the handle held reads the new bytes.
    platform::close_handle(file);
    const std::uint64_t before = state_->identity.size;
    if ((error = index_appended(*state_, now))) return Change::none;
    // A compressed file whose new bytes end within a member adds no text yet.
    return state_->identity.size == before && state_->compressed ? Change::none : Change::appended;
  }
  // Indexed anew, from the file under the path now.
  Compression kind = Compression::none;
  if ((error = compression_to_read(file, state_->options, kind))) {
    platform::close_handle(file);
    return Change::none;
  }
  std::unique_ptr<State> fresh = new_state(state_->path.c_str(), state_->options, error);
  if (fresh == nullptr) {
    platform::close_handle(file);
    return Change::none;
  }
  fresh->file = file;
  if ((error = take_compression(*fresh, kind))) return Change::none;
  if ((error = index_whole(*fresh, now))) return Change::none;
  delete state_;
  state_ = fresh.release();
  return Change::replaced;
}

} // namespace line_reader
