#include "line_reader/index/saved_index.h"

#include <bit>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#define XXH_INLINE_ALL
#include <xxhash.h>

#include "line_reader/errors.h"
#include "line_reader/load_file.h"

namespace line_reader::detail {

// Fields are written as the processor holds them, which the format fixes as
// little-endian.
static_assert(std::endian::native == std::endian::little, "the saved index is little-endian");

namespace {

constexpr char magic[8] = {'L', 'R', 'I', 'N', 'D', 'E', 'X', '\n'};
constexpr std::uint32_t format_version = 3;
constexpr std::uint64_t header_bytes = 128;
constexpr std::uint64_t hashed_header_bytes = 120;
constexpr std::uint64_t range_bytes = 32;
constexpr std::uint64_t top_bytes = 24;
constexpr std::uint64_t word_bytes = 16; // a block's word, where its bytes lie, their hash
constexpr std::uint64_t blocks_per_page = 256;
constexpr std::uint64_t page_bytes = blocks_per_page * word_bytes;
constexpr std::uint64_t bitmap_bytes = 32;
// More ranges than a build and its appends keep mean damage.
constexpr std::uint64_t most_ranges = 1u << 16;
constexpr int width_shift = 62;
constexpr int kind_shift = 60;
constexpr std::uint64_t base_mask = (std::uint64_t{1} << kind_shift) - 1;

template <class T> void put(unsigned char* at, T value) { std::memcpy(at, &value, sizeof value); }
template <class T> T get(const unsigned char* at) {
  T value;
  std::memcpy(&value, at, sizeof value);
  return value;
}

std::uint64_t pages_of(std::uint64_t blocks) { return (blocks + blocks_per_page - 1) / blocks_per_page; }
// The blocks in page p of a range of `blocks` (all but its last page are full).
std::uint64_t blocks_in_page(std::uint64_t blocks, std::uint64_t p) {
  return blocks - p * blocks_per_page < blocks_per_page ? blocks - p * blocks_per_page : blocks_per_page;
}
std::uint64_t padding_of(std::uint64_t bytes) { return (8 - bytes % 8) % 8; }

std::uint64_t entries_in_block(const SavedLayout::Range& range, std::uint64_t b) {
  return b + 1 < range.blocks ? 256 : range.entries - (range.blocks - 1) * 256;
}
// The bytes of a block of this word (whose width and kind are valid).
std::uint64_t block_size(std::uint64_t word, std::uint64_t entries) {
  return ((word >> kind_shift & 3) == 2 ? bitmap_bytes : 0) +
         entries * (std::uint64_t{2} << (word >> width_shift));
}
std::uint32_t block_hash(const unsigned char* data, std::size_t bytes) {
  return static_cast<std::uint32_t>(XXH3_64bits(data, bytes));
}

// Whether offsets rise from 0 and the last start lies before `bound`.
template <class T>
bool offsets_rise(const unsigned char* at, std::uint64_t entries, std::uint64_t first, std::uint64_t base,
                  std::uint64_t bound) {
  const auto* offsets = reinterpret_cast<const T*>(at);
  // One compare a pair into an integer, no branch: the compiler takes them
  // in vector lanes (a bool accumulator kept it to one pair a step).
  unsigned falling = offsets[0] != first ? 1u : 0u;
  for (std::uint64_t k = 1; k < entries; ++k)
    falling |= static_cast<unsigned>(offsets[k] <= offsets[k - 1]);
  return falling == 0 && base + offsets[entries - 1] - first < bound;
}

// A block's bytes against its hash, and its starts: the first is the
// block's base, each lies after the one before, the last before `bound`.
bool check_block(std::uint64_t word, std::uint32_t hash, const unsigned char* data, std::uint64_t entries,
                 std::uint64_t bound) {
  const std::uint64_t bytes = block_size(word, entries);
  if (block_hash(data, static_cast<std::size_t>(bytes)) != hash) return false;
  const unsigned char* offsets = data + ((word >> kind_shift & 3) == 2 ? bitmap_bytes : 0);
  const std::uint64_t base = word & base_mask;
  switch (word >> width_shift) {
  case 0: return offsets_rise<std::uint16_t>(offsets, entries, 0, base, bound);
  case 1: return offsets_rise<std::uint32_t>(offsets, entries, 0, base, bound);
  default: return offsets_rise<std::uint64_t>(offsets, entries, base, base, bound);
  }
}

// Start k of a block, and whether its line end is two bytes.
void block_entry(std::uint64_t word, const unsigned char* data, std::uint64_t k, std::uint64_t& start,
                 bool& two) {
  const std::uint64_t kind = word >> kind_shift & 3;
  const unsigned char* offsets = data + (kind == 2 ? bitmap_bytes : 0);
  const std::uint64_t base = word & base_mask;
  switch (word >> width_shift) {
  case 0: start = base + reinterpret_cast<const std::uint16_t*>(offsets)[k]; break;
  case 1: start = base + reinterpret_cast<const std::uint32_t*>(offsets)[k]; break;
  default: start = reinterpret_cast<const std::uint64_t*>(offsets)[k];
  }
  two = kind == 1 || (kind == 2 && (data[k >> 3] >> (k & 7) & 1) != 0);
}

// Page p of range r, whose entries lie at `entries`: its hash, its words'
// widths and kinds, bases that rise from the top table's first start and
// stay before the next page's, and its blocks' places in its bytes.
bool check_page(const SavedLayout& layout, std::size_t r, std::uint64_t p, const unsigned char* entries) {
  const SavedLayout::Range& range = layout.ranges[r];
  const std::uint64_t g = range.first_page + p;
  const std::uint64_t first_block = p * blocks_per_page;
  const std::uint64_t count = blocks_in_page(range.blocks, p);
  if (XXH3_64bits(entries, static_cast<std::size_t>(count * word_bytes)) !=
      get<std::uint64_t>(layout.top + g * top_bytes + 16))
    return false;
  std::uint64_t previous = 0;
  std::uint64_t at = 0;
  for (std::uint64_t k = 0; k < count; ++k) {
    const std::uint64_t word = get<std::uint64_t>(entries + k * word_bytes);
    const std::uint64_t base = word & base_mask;
    if (word >> width_shift > 2 || (word >> kind_shift & 3) > 2) return false;
    if (k == 0 ? base != layout.page_first_start(g) : base <= previous) return false;
    if (get<std::uint32_t>(entries + k * word_bytes + 8) != at) return false;
    previous = base;
    at += block_size(word, entries_in_block(range, first_block + k));
  }
  const std::uint64_t end =
      p + 1 < pages_of(range.blocks) ? layout.page_data_at(g + 1) : range.data_at + range.data_bytes;
  return previous < layout.page_bound(g) && layout.page_data_at(g) + at == end;
}

// The bound of block k's starts in a checked page of `count` blocks.
std::uint64_t block_bound(const SavedLayout& layout, std::uint64_t g, const unsigned char* entries,
                          std::uint64_t k, std::uint64_t count) {
  return k + 1 < count ? get<std::uint64_t>(entries + (k + 1) * word_bytes) & base_mask
                       : layout.page_bound(g);
}

// Writes, and remembers whether every write went out.
// The system's reason for the failure just met; an I/O error when it gave none.
std::error_code system_failure() {
  const int code = platform::last_failure();
  return code != 0 ? std::error_code(code, std::system_category())
                   : std::make_error_code(std::errc::io_error);
}

struct Writer {
  platform::Handle file;
  std::error_code error;
  void write(const void* bytes, std::size_t count) {
    if (!error && count != 0 && !platform::write_file(file, bytes, count)) error = system_failure();
  }
};

// A range's pages of block words as saved, and the bytes of its blocks.
struct SavedRangeWords {
  std::vector<unsigned char> words;
  std::uint64_t data = 0;
};

} // namespace

std::uint64_t hash_bytes(const void* bytes, std::size_t count) noexcept { return XXH3_64bits(bytes, count); }

std::uint64_t SavedLayout::page_first_start(std::uint64_t g) const noexcept {
  return get<std::uint64_t>(top + g * top_bytes);
}
std::uint64_t SavedLayout::page_data_at(std::uint64_t g) const noexcept {
  return get<std::uint64_t>(top + g * top_bytes + 8);
}
std::uint64_t SavedLayout::page_bound(std::uint64_t g) const noexcept {
  return g + 1 < pages ? page_first_start(g + 1) : size + 1;
}

namespace {

constexpr std::uint64_t piece_header_bytes = 40;
constexpr std::uint64_t checkpoint_bytes = 40;

std::uint32_t kind_number(Compression kind) {
  switch (kind) {
  case Compression::gzip: return 1;
  case Compression::zstd: return 2;
  case Compression::xz: return 3;
  default: return 0;
  }
}

// The saved piece of a compressed file's checkpoints: its header (the
// kind, the compressed bytes indexed, the count of checkpoints, the bytes
// of windows, and the hash of its first 32 bytes and the checkpoints), 40
// bytes a checkpoint, the windows, zeros to a multiple of 8. Each window
// has its own hash, in its checkpoint: a lookup reads and checks the one it
// needs. Empty when a window of a loaded index cannot be read whole.
std::vector<unsigned char> compressed_piece(const CompressedText& text) {
  const std::uint64_t count = text.checkpoints.size();
  std::vector<unsigned char> piece(static_cast<std::size_t>(piece_header_bytes + checkpoint_bytes * count));
  put<std::uint32_t>(piece.data(), kind_number(text.kind));
  put<std::uint64_t>(piece.data() + 8, text.source_size);
  put<std::uint64_t>(piece.data() + 16, count);
  std::vector<unsigned char> stored;
  std::uint64_t windows = 0;
  for (std::uint64_t k = 0; k < count; ++k) {
    const Checkpoint& point = text.checkpoints[static_cast<std::size_t>(k)];
    unsigned char* at = piece.data() + piece_header_bytes + checkpoint_bytes * k;
    put<std::uint64_t>(at, point.in_bit);
    put<std::uint64_t>(at + 8, point.out);
    put<std::uint64_t>(at + 16, point.window_bytes != 0 ? windows : 0);
    put<std::uint32_t>(at + 24, point.window_bytes);
    put<std::uint32_t>(at + 28, point.detail);
    put<std::uint64_t>(at + 32, point.window_bytes != 0 ? point.window_hash : 0);
    if (point.window_bytes == 0) continue;
    if (!text.window(point, stored)) return {};
    piece.insert(piece.end(), stored.begin(), stored.end());
    windows += stored.size();
  }
  put<std::uint64_t>(piece.data() + 24, windows);
  piece.resize(piece.size() + static_cast<std::size_t>(padding_of(windows)));
  XXH3_state_t state;
  XXH3_64bits_reset(&state);
  XXH3_64bits_update(&state, piece.data(), 32);
  XXH3_64bits_update(&state, piece.data() + piece_header_bytes,
                     static_cast<std::size_t>(checkpoint_bytes * count));
  put<std::uint64_t>(piece.data() + 32, XXH3_64bits_digest(&state));
  return piece;
}

} // namespace

std::error_code save_index(const char* path, const SavedIdentity& identity, const RangedIndex& index,
                           bool flushed, const CompressedText* compressed) noexcept {
  std::vector<unsigned char> piece;
  try {
    if (compressed != nullptr) {
      piece = compressed_piece(*compressed);
      if (piece.empty()) return errc::bad_index;
    }
  } catch (const std::bad_alloc&) {
    return errc::no_memory;
  }
  const auto& ranges = index.ranges();
  std::vector<SavedRangeWords> saved;
  std::vector<unsigned char> top;
  std::string temporary;
  try {
    saved.resize(ranges.size());
    // The words, places and hashes first: the top table before them holds
    // the pages' hashes.
    std::uint64_t at = header_bytes + range_bytes * ranges.size();
    std::uint64_t pages = 0;
    for (const auto& range : ranges)
      pages += pages_of(index.block_count(range));
    at += top_bytes * pages;
    top.resize(static_cast<std::size_t>(top_bytes * pages));
    std::uint64_t g = 0;
    for (std::size_t r = 0; r < ranges.size(); ++r) {
      const std::uint64_t blocks = index.block_count(ranges[r]);
      SavedRangeWords& out = saved[r];
      out.words.resize(static_cast<std::size_t>(blocks * word_bytes));
      const std::uint64_t data_at = at + blocks * word_bytes;
      std::uint64_t page_start = 0;
      for (std::uint64_t b = 0; b < blocks; ++b) {
        std::uint64_t word = 0;
        const unsigned char* data = nullptr;
        std::size_t bytes = 0;
        if (!index.block(ranges[r], b, word, data, bytes)) return errc::bad_index;
        if (b % blocks_per_page == 0) {
          page_start = out.data;
          put<std::uint64_t>(top.data() + (g + b / blocks_per_page) * top_bytes, word & base_mask);
          put<std::uint64_t>(top.data() + (g + b / blocks_per_page) * top_bytes + 8, data_at + out.data);
        }
        unsigned char* entry = out.words.data() + b * word_bytes;
        put<std::uint64_t>(entry, word);
        put<std::uint32_t>(entry + 8, static_cast<std::uint32_t>(out.data - page_start));
        put<std::uint32_t>(entry + 12, block_hash(data, bytes));
        out.data += bytes;
      }
      for (std::uint64_t p = 0; p < pages_of(blocks); ++p) {
        const std::uint64_t count = blocks_in_page(blocks, p);
        put<std::uint64_t>(
            top.data() + (g + p) * top_bytes + 16,
            XXH3_64bits(out.words.data() + p * page_bytes, static_cast<std::size_t>(count * word_bytes)));
      }
      g += pages_of(blocks);
      at = data_at + out.data + padding_of(out.data);
    }
    temporary = std::string(path) + ".tmp." + std::to_string(platform::unique_number());
  } catch (const std::bad_alloc&) {
    return errc::no_memory;
  }

  unsigned char header[header_bytes] = {};
  std::memcpy(header, magic, sizeof magic);
  put<std::uint32_t>(header + 8, format_version);
  put<std::uint32_t>(header + 12, identity.lf ? 1 : 0);
  put<std::uint64_t>(header + 16, identity.device);
  put<std::uint64_t>(header + 24, identity.file_id);
  put<std::uint64_t>(header + 32, identity.size);
  put<std::int64_t>(header + 40, identity.modified);
  put<std::int64_t>(header + 48, identity.changed);
  put<std::uint64_t>(header + 56, identity.head_hash);
  put<std::uint64_t>(header + 64, identity.tail_hash);
  put<std::uint64_t>(header + 72, index.found());
  put<std::uint64_t>(header + 80, index.longest_line());
  put<std::uint64_t>(header + 88, index.longest_length());
  put<std::uint64_t>(header + 96, top.size() / top_bytes);
  put<std::uint32_t>(header + 104, static_cast<std::uint32_t>(ranges.size()));
  put<std::uint64_t>(header + 108, piece.size());
  std::vector<unsigned char> table(static_cast<std::size_t>(range_bytes * ranges.size()));
  for (std::size_t r = 0; r < ranges.size(); ++r) {
    unsigned char* entry = table.data() + r * range_bytes;
    put<std::uint64_t>(entry, ranges[r].first);
    put<std::uint64_t>(entry + 8, index.entry_count(ranges[r]));
    put<std::uint64_t>(entry + 16, index.block_count(ranges[r]));
    put<std::uint64_t>(entry + 24, saved[r].data);
  }
  XXH3_state_t state;
  XXH3_64bits_reset(&state);
  XXH3_64bits_update(&state, header, hashed_header_bytes);
  XXH3_64bits_update(&state, table.data(), table.size());
  XXH3_64bits_update(&state, top.data(), top.size());
  put<std::uint64_t>(header + hashed_header_bytes, XXH3_64bits_digest(&state));

  // A name of its own: one left by a save that was killed is never met again.
  Writer out{platform::create_file_for_writing(temporary.c_str()), {}};
  if (out.file == 0) return system_failure();
  out.write(header, sizeof header);
  out.write(table.data(), table.size());
  out.write(top.data(), top.size());
  static constexpr unsigned char padding[8] = {};
  for (std::size_t r = 0; r < ranges.size(); ++r) {
    out.write(saved[r].words.data(), saved[r].words.size());
    // A chunk's blocks lie one after the other: runs of them go out in one write.
    const std::uint64_t blocks = index.block_count(ranges[r]);
    for (std::uint64_t b = 0; b < blocks && !out.error;) {
      std::uint64_t word = 0;
      const unsigned char* from = nullptr;
      std::size_t bytes = 0;
      if (!index.block(ranges[r], b, word, from, bytes)) out.error = errc::bad_index;
      for (++b; !out.error && b < blocks; ++b) {
        const unsigned char* next = nullptr;
        std::size_t more = 0;
        if (!index.block(ranges[r], b, word, next, more) || next != from + bytes) break;
        bytes += more;
      }
      out.write(from, bytes);
    }
    out.write(padding, static_cast<std::size_t>(padding_of(saved[r].data)));
  }
  out.write(piece.data(), piece.size());
  if (!out.error && flushed && !platform::flush_file(out.file)) out.error = system_failure();
  platform::close_handle(out.file);
  if (!out.error && !platform::rename_file(temporary.c_str(), path)) out.error = system_failure();
  if (out.error) platform::remove_file(temporary.c_str());
  return out.error;
}

SavedPages::~SavedPages() {
  if (view_ != nullptr) platform::unmap_file(view_, view_bytes_);
  platform::close_handle(file_);
  const std::uint64_t blocks =
      layout_.ranges.empty() ? 0 : layout_.ranges.back().first_block + layout_.ranges.back().blocks;
  if (page_copies_ != nullptr) {
    for (std::uint64_t g = 0; g < layout_.pages; ++g)
      delete[] page_copies_[g].load();
  }
  if (block_copies_ != nullptr) {
    for (std::uint64_t b = 0; b < blocks; ++b)
      delete[] block_copies_[b].load();
  }
}

bool SavedPages::adopt(SavedLayout layout, std::vector<unsigned char> metadata) noexcept {
  const std::uint64_t blocks =
      layout.ranges.empty() ? 0 : layout.ranges.back().first_block + layout.ranges.back().blocks;
  if (view_ != nullptr) {
    page_good_.reset(new (std::nothrow) std::atomic<std::uint32_t>[layout.pages / 32 + 1]());
    block_good_.reset(new (std::nothrow) std::atomic<std::uint32_t>[blocks / 32 + 1]());
    if (page_good_ == nullptr || block_good_ == nullptr) return false;
  } else {
    page_copies_.reset(new (std::nothrow) std::atomic<unsigned char*>[layout.pages + 1]());
    block_copies_.reset(new (std::nothrow) std::atomic<unsigned char*>[blocks + 1]());
    if (page_copies_ == nullptr || block_copies_ == nullptr) return false;
  }
  layout_ = std::move(layout);
  metadata_ = std::move(metadata);
  return true;
}

namespace {

bool marked(const std::unique_ptr<std::atomic<std::uint32_t>[]>& marks, std::uint64_t n) {
  return (marks[n / 32].load(std::memory_order_relaxed) >> (n % 32) & 1) != 0;
}
void mark(const std::unique_ptr<std::atomic<std::uint32_t>[]>& marks, std::uint64_t n) {
  marks[n / 32].fetch_or(std::uint32_t{1} << (n % 32), std::memory_order_relaxed);
}

} // namespace

template <class Check>
bool SavedPages::copy(std::atomic<unsigned char*>* copies, std::uint64_t n, std::uint64_t at,
                      std::size_t count, const unsigned char*& piece, Check good) const noexcept {
  piece = copies[n].load(std::memory_order_acquire);
  if (piece != nullptr) return true;
  // new[] keeps 16-byte alignment, which the offsets read in place need.
  std::unique_ptr<unsigned char[]> read(new (std::nothrow) unsigned char[count == 0 ? 1 : count]);
  if (read == nullptr) return false;
  for (std::size_t done = 0; done < count;) {
    std::uint32_t got = 0;
    const auto ask = static_cast<std::uint32_t>(count - done < (1u << 30) ? count - done : 1u << 30);
    if (!platform::read_file_at(file_, at + done, read.get() + done, ask, got) || got == 0) return false;
    done += got;
  }
  if (!good(read.get())) return false;
  // Another thread may have read the same piece meanwhile: the first one
  // placed stays, and every lookup uses it.
  unsigned char* expected = nullptr;
  if (copies[n].compare_exchange_strong(expected, read.get(), std::memory_order_acq_rel)) {
    copied_bytes_.fetch_add(count, std::memory_order_relaxed);
    piece = read.release();
  } else {
    piece = expected;
  }
  return true;
}

bool SavedPages::page(std::size_t r, std::uint64_t p, const unsigned char*& entries) const noexcept {
  const SavedLayout::Range& range = layout_.ranges[r];
  const std::uint64_t at = range.words_at + p * page_bytes;
  const std::uint64_t g = range.first_page + p;
  if (view_ == nullptr) {
    const auto count = static_cast<std::size_t>(blocks_in_page(range.blocks, p) * word_bytes);
    return copy(page_copies_.get(), g, at, count, entries,
                [&](const unsigned char* read) { return check_page(layout_, r, p, read); });
  }
  entries = static_cast<const unsigned char*>(view_) + at;
  if (marked(page_good_, g)) return true;
  if (!check_page(layout_, r, p, entries)) return false;
  mark(page_good_, g);
  return true;
}

bool SavedPages::block(std::size_t r, std::uint64_t b, std::uint64_t& word, const unsigned char*& data,
                       std::size_t& bytes) const noexcept {
  const SavedLayout::Range& range = layout_.ranges[r];
  const std::uint64_t p = b / blocks_per_page;
  const unsigned char* entries = nullptr;
  if (!page(r, p, entries)) return false;
  const std::uint64_t k = b % blocks_per_page;
  const std::uint64_t g = range.first_page + p;
  const unsigned char* entry = entries + k * word_bytes;
  word = get<std::uint64_t>(entry);
  const std::uint64_t at = layout_.page_data_at(g) + get<std::uint32_t>(entry + 8);
  const std::uint64_t in_block = entries_in_block(range, b);
  bytes = static_cast<std::size_t>(block_size(word, in_block));
  const std::uint64_t count = blocks_in_page(range.blocks, p);
  auto good = [&](const unsigned char* read) {
    return check_block(word, get<std::uint32_t>(entry + 12), read, in_block,
                       block_bound(layout_, g, entries, k, count));
  };
  if (view_ == nullptr) return copy(block_copies_.get(), range.first_block + b, at, bytes, data, good);
  data = static_cast<const unsigned char*>(view_) + at;
  if (marked(block_good_, range.first_block + b)) return true;
  if (!good(data)) return false;
  mark(block_good_, range.first_block + b);
  return true;
}

bool SavedPages::entry(std::size_t r, std::uint64_t k, std::uint64_t& start, bool& two) const noexcept {
  std::uint64_t word = 0;
  const unsigned char* data = nullptr;
  std::size_t bytes = 0;
  if (!block(r, k / 256, word, data, bytes)) return false;
  block_entry(word, data, k % 256, start, two);
  return true;
}

bool SavedPages::entries(std::size_t r, std::uint64_t k, std::size_t count, std::uint64_t* starts,
                         bool* twos) const noexcept {
  std::uint64_t word = 0;
  const unsigned char* data = nullptr;
  std::size_t bytes = 0;
  if (!block(r, k / 256, word, data, bytes)) return false;
  for (std::size_t m = 0; m < count; ++m)
    block_entry(word, data, k % 256 + m, starts[m], twos[m]);
  return true;
}

std::size_t SavedPages::bytes() const noexcept {
  const std::uint64_t blocks =
      layout_.ranges.empty() ? 0 : layout_.ranges.back().first_block + layout_.ranges.back().blocks;
  const std::uint64_t marks = view_ != nullptr ? (layout_.pages / 32 + 1 + blocks / 32 + 1) * 4
                                               : (layout_.pages + 1 + blocks + 1) * sizeof(void*);
  return static_cast<std::size_t>(layout_.ranges.capacity() * sizeof(SavedLayout::Range) + marks +
                                  metadata_.capacity() + copied_bytes_.load(std::memory_order_relaxed));
}

namespace {

// The saved index's bytes: a view of it, or reads.
struct Source {
  platform::Handle file = 0;
  const unsigned char* view = nullptr;
  std::uint64_t size = 0;
  bool failed = false; // a read failed, rather than found the end

  bool read(std::uint64_t offset, void* into, std::uint64_t count) {
    if (offset > size || count > size - offset) return false;
    if (view != nullptr) {
      std::memcpy(into, view + offset, static_cast<std::size_t>(count));
      return true;
    }
    auto* at = static_cast<unsigned char*>(into);
    for (std::uint64_t done = 0; done < count;) {
      const std::uint64_t left = count - done;
      const auto ask = static_cast<std::uint32_t>(left < (1u << 30) ? left : 1u << 30);
      std::uint32_t got = 0;
      if (!platform::read_file_at(file, offset + done, at + done, ask, got)) {
        failed = true;
        return false;
      }
      if (got == 0) return false;
      done += got;
    }
    return true;
  }
};

// Whether an index of format 1 or 2 lies there whole: their last 8 bytes
// hash all before them.
bool is_older_format(Source& in) {
  if (in.size < 16) return false;
  std::vector<unsigned char> bytes;
  try {
    bytes.resize(static_cast<std::size_t>(in.size));
  } catch (const std::bad_alloc&) {
    return false;
  }
  return in.read(0, bytes.data(), in.size) &&
         XXH3_64bits(bytes.data(), bytes.size() - 8) == get<std::uint64_t>(bytes.data() + bytes.size() - 8);
}

// Reads and checks the piece of `bytes` at `offset`: checkpoints rise in
// both files from the text's start, lie within the indexed bytes, and have
// the windows and details their kind has. The windows stay in the saved
// index, opened again as `path`, each checked by its hash when it is read.
std::error_code read_compressed_piece(Source& in, const char* path, std::uint64_t offset, std::uint64_t bytes,
                                      std::uint64_t size, std::unique_ptr<CompressedText>& text) {
  unsigned char head[piece_header_bytes];
  if (bytes < piece_header_bytes || !in.read(offset, head, piece_header_bytes)) return errc::bad_index;
  const std::uint32_t kind = get<std::uint32_t>(head);
  const std::uint64_t count = get<std::uint64_t>(head + 16);
  const std::uint64_t windows = get<std::uint64_t>(head + 24);
  if (kind < 1 || kind > 3 || get<std::uint32_t>(head + 4) != 0 || count == 0 ||
      count > bytes / checkpoint_bytes || windows > bytes ||
      piece_header_bytes + checkpoint_bytes * count + windows + padding_of(windows) != bytes)
    return errc::bad_index;
  std::vector<unsigned char> table;
  std::unique_ptr<CompressedText> loaded(new (std::nothrow) CompressedText);
  if (loaded == nullptr) return errc::no_memory;
  try {
    table.resize(static_cast<std::size_t>(checkpoint_bytes * count));
    loaded->checkpoints.resize(static_cast<std::size_t>(count));
  } catch (const std::bad_alloc&) {
    return errc::no_memory;
  }
  if (!in.read(offset + piece_header_bytes, table.data(), table.size())) return errc::bad_index;
  XXH3_state_t state;
  XXH3_64bits_reset(&state);
  XXH3_64bits_update(&state, head, 32);
  XXH3_64bits_update(&state, table.data(), table.size());
  if (XXH3_64bits_digest(&state) != get<std::uint64_t>(head + 32)) return errc::bad_index;
  loaded->kind = kind == 1 ? Compression::gzip : kind == 2 ? Compression::zstd : Compression::xz;
  loaded->source_size = get<std::uint64_t>(head + 8);
  if (loaded->source_size > UINT64_MAX / 8) return errc::bad_index;
  const unsigned char* at = table.data();
  for (std::uint64_t k = 0; k < count; ++k, at += checkpoint_bytes) {
    Checkpoint& point = loaded->checkpoints[static_cast<std::size_t>(k)];
    point.in_bit = get<std::uint64_t>(at);
    point.out = get<std::uint64_t>(at + 8);
    point.window_at = get<std::uint64_t>(at + 16);
    point.window_bytes = get<std::uint32_t>(at + 24);
    point.detail = get<std::uint32_t>(at + 28);
    point.window_hash = get<std::uint64_t>(at + 32);
    if (k == 0 ? point.out != 0
               : point.out <= loaded->checkpoints[k - 1].out ||
                     point.in_bit <= loaded->checkpoints[k - 1].in_bit)
      return errc::bad_index;
    if (point.out > size || point.in_bit >= loaded->source_size * 8 + (k == 0 ? 1 : 0))
      return errc::bad_index;
    if (point.window_at > windows || point.window_bytes > windows - point.window_at) return errc::bad_index;
    bool fits = false;
    switch (loaded->kind) {
    case Compression::gzip:
      // A member's start has no window and starts on a byte; a block's end
      // has one of at most 32 KiB, no longer than the text before it.
      fits = point.detail == 0
                 ? point.window_bytes == 0 && point.in_bit % 8 == 0
                 : point.window_bytes != 0 && point.detail <= 32768 && point.detail <= point.out;
      break;
    case Compression::zstd:
      fits = point.window_bytes == 0 && point.detail == 0 && point.in_bit % 8 == 0;
      break;
    default:
      fits = point.window_bytes == 0 && point.in_bit % 8 == 0 &&
             (point.detail == 0 || (point.detail & ~std::uint32_t{15}) == 0x100);
    }
    if (!fits) return errc::bad_index;
  }
  if (windows != 0) {
    platform::FileState state_now;
    platform::OpenFailure failure;
    loaded->saved = platform::open_regular_file_for_reading(path, state_now, failure);
    if (loaded->saved == 0) return reason_for(failure);
    loaded->saved_windows_at = offset + piece_header_bytes + checkpoint_bytes * count;
  }
  text = std::move(loaded);
  return {};
}

struct Totals {
  std::uint64_t found = 0;
  std::uint64_t longest_line = 0;
  std::uint64_t longest_length = 0;
};

// Reads and checks the header, the range table and the top table (into
// `metadata` when there is no view), and lays the ranges out.
std::error_code read_layout(Source& in, SavedIdentity& identity, SavedLayout& layout, Totals& totals,
                            std::vector<unsigned char>& metadata, std::uint64_t& piece_at,
                            std::uint64_t& piece_bytes) {
  unsigned char header[header_bytes];
  if (!in.read(0, header, header_bytes) || std::memcmp(header, magic, sizeof magic) != 0)
    return errc::bad_index;
  const std::uint32_t version = get<std::uint32_t>(header + 8);
  if (version != format_version) {
    if ((version == 1 || version == 2) && is_older_format(in)) return errc::unsupported_index;
    return errc::bad_index;
  }
  const std::uint64_t pages = get<std::uint64_t>(header + 96);
  const std::uint64_t range_count = get<std::uint32_t>(header + 104);
  piece_bytes = get<std::uint64_t>(header + 108);
  for (int k = 116; k < 120; ++k) {
    if (header[k] != 0) return errc::bad_index;
  }
  if (piece_bytes > in.size || piece_bytes % 8 != 0) return errc::bad_index;
  if (get<std::uint32_t>(header + 12) > 1 || range_count > most_ranges || pages > in.size / top_bytes)
    return errc::bad_index;
  const std::uint64_t metadata_bytes = range_bytes * range_count + top_bytes * pages;
  if (metadata_bytes > in.size - header_bytes) return errc::bad_index;
  const unsigned char* table = nullptr;
  if (in.view != nullptr) {
    table = in.view + header_bytes;
  } else {
    try {
      metadata.resize(static_cast<std::size_t>(metadata_bytes));
    } catch (const std::bad_alloc&) {
      return errc::no_memory;
    }
    if (!in.read(header_bytes, metadata.data(), metadata_bytes)) return errc::bad_index;
    table = metadata.data();
  }
  XXH3_state_t state;
  XXH3_64bits_reset(&state);
  XXH3_64bits_update(&state, header, hashed_header_bytes);
  XXH3_64bits_update(&state, table, static_cast<std::size_t>(metadata_bytes));
  if (XXH3_64bits_digest(&state) != get<std::uint64_t>(header + hashed_header_bytes)) return errc::bad_index;

  identity.lf = get<std::uint32_t>(header + 12) == 1;
  identity.device = get<std::uint64_t>(header + 16);
  identity.file_id = get<std::uint64_t>(header + 24);
  identity.size = get<std::uint64_t>(header + 32);
  identity.modified = get<std::int64_t>(header + 40);
  identity.changed = get<std::int64_t>(header + 48);
  identity.head_hash = get<std::uint64_t>(header + 56);
  identity.tail_hash = get<std::uint64_t>(header + 64);
  totals.found = get<std::uint64_t>(header + 72);
  totals.longest_line = get<std::uint64_t>(header + 80);
  totals.longest_length = get<std::uint64_t>(header + 88);
  if (identity.size > base_mask) return errc::bad_index;

  layout.size = identity.size;
  layout.pages = pages;
  layout.top = table + range_bytes * range_count;
  try {
    layout.ranges.resize(static_cast<std::size_t>(range_count));
  } catch (const std::bad_alloc&) {
    return errc::no_memory;
  }
  // The bytes that the ranges say follow, which must be what the file holds.
  std::uint64_t at = header_bytes + metadata_bytes;
  std::uint64_t entries = 0;
  std::uint64_t page = 0;
  std::uint64_t blocks = 0;
  for (std::size_t r = 0; r < range_count; ++r) {
    SavedLayout::Range& range = layout.ranges[r];
    const unsigned char* entry = table + r * range_bytes;
    range.first = get<std::uint64_t>(entry);
    range.entries = get<std::uint64_t>(entry + 8);
    range.blocks = get<std::uint64_t>(entry + 16);
    range.data_bytes = get<std::uint64_t>(entry + 24);
    // Each entry is at least two bytes and at most eight, a block's bitmap 32.
    if (range.first != entries || range.entries == 0 || range.entries > in.size ||
        range.blocks != (range.entries + 255) / 256 || range.data_bytes < 2 * range.entries ||
        range.data_bytes > 8 * range.entries + bitmap_bytes * range.blocks)
      return errc::bad_index;
    range.words_at = at;
    range.data_at = at + word_bytes * range.blocks;
    range.first_page = page;
    range.first_block = blocks;
    at = range.data_at + range.data_bytes + padding_of(range.data_bytes);
    if (at > in.size) return errc::bad_index;
    entries += range.entries;
    page += pages_of(range.blocks);
    blocks += range.blocks;
  }
  if (at != in.size - piece_bytes || page != pages || entries != totals.found) return errc::bad_index;
  piece_at = at;
  // The top table: first starts that rise from after the first byte and
  // stay within the indexed bytes; each range's pages' bytes in order
  // within its own.
  for (const SavedLayout::Range& range : layout.ranges) {
    for (std::uint64_t p = 0; p < pages_of(range.blocks); ++p) {
      const std::uint64_t g = range.first_page + p;
      const std::uint64_t first = layout.page_first_start(g);
      const std::uint64_t data_at = layout.page_data_at(g);
      if (first == 0 || first > layout.size || (g > 0 && first <= layout.page_first_start(g - 1)))
        return errc::bad_index;
      // Pages but the range's last hold full blocks, whose bytes are whole
      // words: every page's bytes begin on an 8-byte boundary.
      if (data_at % 8 != 0) return errc::bad_index;
      if (p == 0 ? data_at != range.data_at
                 : data_at <= layout.page_data_at(g - 1) || data_at >= range.data_at + range.data_bytes)
        return errc::bad_index;
    }
  }
  // The longest line ends in a line end, and is a line only when it is longer than 0 bytes.
  if (totals.longest_line > totals.found || totals.longest_length > layout.size ||
      (totals.longest_line == 0) != (totals.longest_length == 0))
    return errc::bad_index;
  return {};
}

// A range read whole: its block words as saved, and its blocks' bytes.
struct EagerRange {
  const unsigned char* entries = nullptr;
  std::vector<unsigned char> read_entries; // when there is no view
  const unsigned char* data = nullptr;
  std::unique_ptr<LineIndex> lines;
};

// The blocks [from, to) of the whole index (counted over every range),
// checked on one thread.
struct BlockCheck {
  const SavedLayout* layout = nullptr;
  const std::vector<EagerRange>* ranges = nullptr;
  std::uint64_t from = 0;
  std::uint64_t to = 0;
  bool good = true;
};

void check_blocks(void* context) {
  auto& job = *static_cast<BlockCheck*>(context);
  const SavedLayout& layout = *job.layout;
  std::size_t r = 0;
  while (r + 1 < layout.ranges.size() && layout.ranges[r + 1].first_block <= job.from)
    ++r;
  for (std::uint64_t n = job.from; n < job.to && job.good; ++n) {
    while (n >= layout.ranges[r].first_block + layout.ranges[r].blocks)
      ++r;
    const SavedLayout::Range& range = layout.ranges[r];
    const EagerRange& eager = (*job.ranges)[r];
    const std::uint64_t b = n - range.first_block;
    const std::uint64_t p = b / blocks_per_page;
    const std::uint64_t count = blocks_in_page(range.blocks, p);
    const unsigned char* entry = eager.entries + b * word_bytes;
    const std::uint64_t g = range.first_page + p;
    const unsigned char* block =
        eager.data + (layout.page_data_at(g) - range.data_at) + get<std::uint32_t>(entry + 8);
    job.good = check_block(
        get<std::uint64_t>(entry), get<std::uint32_t>(entry + 12), block, entries_in_block(range, b),
        block_bound(layout, g, eager.entries + p * page_bytes, b % blocks_per_page, count));
  }
}

// Every page and block of the layout checked now, into blocks in memory:
// borrowed from the view when there is one, else read. The blocks, which
// hold nearly all the bytes, are checked on up to `threads` threads.
std::error_code load_eager(Source& in, const SavedLayout& layout, RangedIndex& index, unsigned threads) {
  std::vector<EagerRange> eager;
  std::vector<std::uint64_t> words;
  try {
    eager.resize(layout.ranges.size());
  } catch (const std::bad_alloc&) {
    return errc::no_memory;
  }
  for (std::size_t r = 0; r < layout.ranges.size(); ++r) {
    const SavedLayout::Range& range = layout.ranges[r];
    EagerRange& out = eager[r];
    try {
      words.resize(static_cast<std::size_t>(range.blocks));
      if (in.view == nullptr) out.read_entries.resize(static_cast<std::size_t>(range.blocks * word_bytes));
    } catch (const std::bad_alloc&) {
      return errc::no_memory;
    }
    if (in.view == nullptr) {
      if (!in.read(range.words_at, out.read_entries.data(), out.read_entries.size())) return errc::bad_index;
      out.entries = out.read_entries.data();
    } else {
      out.entries = in.view + range.words_at;
    }
    for (std::uint64_t p = 0; p < pages_of(range.blocks); ++p) {
      if (!check_page(layout, r, p, out.entries + p * page_bytes)) return errc::bad_index;
    }
    for (std::uint64_t b = 0; b < range.blocks; ++b)
      words[static_cast<std::size_t>(b)] = get<std::uint64_t>(out.entries + b * word_bytes);
    const auto data_bytes = static_cast<std::size_t>(range.data_bytes);
    const std::uint64_t padded = range.data_bytes + padding_of(range.data_bytes);
    unsigned char* data = nullptr;
    if (in.view != nullptr) {
      data = const_cast<unsigned char*>(in.view + range.data_at);
    } else {
      data = static_cast<unsigned char*>(
          platform::heap_allocate_zeroed(platform::process_heap(), static_cast<std::size_t>(padded)));
      if (data == nullptr) return errc::no_memory;
      if (!in.read(range.data_at, data, padded)) {
        platform::heap_free(platform::process_heap(), data);
        return errc::bad_index;
      }
    }
    out.data = data;
    out.lines.reset(new (std::nothrow) LineIndex);
    if (out.lines == nullptr) {
      if (in.view == nullptr) platform::heap_free(platform::process_heap(), data);
      return errc::no_memory;
    }
    if (!out.lines->adopt(words.data(), words.size(), range.entries, data, data_bytes, in.view != nullptr))
      return errc::no_memory;
    for (std::uint64_t k = range.data_bytes; k < padded; ++k) {
      if (data[k] != 0) return errc::bad_index;
    }
  }
  const std::uint64_t blocks =
      layout.ranges.empty() ? 0 : layout.ranges.back().first_block + layout.ranges.back().blocks;
  // A thread for each 4 MiB or so of blocks at least: fewer are not worth starting.
  std::uint64_t count = threads == 0 ? platform::usable_cores() : threads;
  if (count > blocks / 8192) count = blocks / 8192;
  if (count > 64) count = 64;
  if (count == 0) count = 1;
  BlockCheck jobs[64];
  platform::Handle started[64] = {};
  for (std::uint64_t k = 0; k < count; ++k)
    jobs[k] = BlockCheck{&layout, &eager, blocks * k / count, blocks * (k + 1) / count, true};
  for (std::uint64_t k = 1; k < count; ++k)
    started[k] = platform::start_thread(check_blocks, &jobs[k]);
  check_blocks(&jobs[0]);
  bool good = jobs[0].good;
  for (std::uint64_t k = 1; k < count; ++k) {
    if (started[k] != 0) {
      platform::join_thread(started[k]);
    } else {
      check_blocks(&jobs[k]);
    }
    good = good && jobs[k].good;
  }
  if (!good) return errc::bad_index;
  for (EagerRange& range : eager) {
    if (!index.add_saved(std::move(range.lines))) return errc::no_memory;
  }
  return {};
}

std::error_code load_checked(const char* path, SavedIdentity& identity, RangedIndex& index, LoadMode mode,
                             unsigned threads, std::unique_ptr<CompressedText>& compressed,
                             bool& read_failed) noexcept {
  platform::FileState state;
  platform::OpenFailure failure;
  Source in;
  in.file = platform::open_regular_file_for_reading(path, state, failure);
  if (in.file == 0) return reason_for(failure);
  struct Closer {
    Source& in;
    bool& read_failed;
    ~Closer() {
      read_failed = in.failed;
      platform::close_handle(in.file);
    }
  } closer{in, read_failed};
  in.size = state.size;
  if (state.nominal_size || in.size < header_bytes) return errc::bad_index;
  // The view, when there is one, goes to the index, which it must outlive.
  std::unique_ptr<SavedPages> pages;
  if (mode != LoadMode::read && mode != LoadMode::lazy) {
    const void* view = platform::map_file_for_reading(in.file, 0, in.size);
    if (view != nullptr) {
      pages.reset(new (std::nothrow) SavedPages(view, in.size));
      if (pages == nullptr) {
        platform::unmap_file(view, in.size);
        return errc::no_memory;
      }
      in.view = static_cast<const unsigned char*>(view);
      // A lazy load reads a few pieces of it: read-ahead around each would
      // bring in more than the lookup needs when the index is not cached.
      // (Mapping all of it in one go for an eager load measured slower than
      // its faults: 12.6 against 8.1 ms on 35 MB.)
      if (mode == LoadMode::lazy_mapped) platform::view_read_scattered(view, in.size);
    }
  }
  SavedLayout layout;
  Totals totals;
  std::vector<unsigned char> metadata;
  std::uint64_t piece_at = 0;
  std::uint64_t piece_bytes = 0;
  if (const std::error_code error =
          read_layout(in, identity, layout, totals, metadata, piece_at, piece_bytes))
    return error;
  compressed.reset();
  if (piece_bytes != 0) {
    if (const std::error_code error =
            read_compressed_piece(in, path, piece_at, piece_bytes, identity.size, compressed))
      return error;
  }
  RangedIndex loaded;
  // Lazily from a view where there is one; by reads when asked; else whole.
  if (mode == LoadMode::lazy || (mode == LoadMode::lazy_mapped && pages != nullptr)) {
    if (pages == nullptr) {
      // Read as lookups need it: the file stays open, now the pages' own.
      pages.reset(new (std::nothrow) SavedPages(in.file));
      if (pages == nullptr) return errc::no_memory;
      in.file = 0;
    }
    const std::size_t count = layout.ranges.size();
    if (!pages->adopt(std::move(layout), std::move(metadata))) return errc::no_memory;
    loaded.hold(std::move(pages));
    for (std::size_t r = 0; r < count; ++r) {
      if (!loaded.add_lazy(r)) return errc::no_memory;
    }
  } else {
    if (pages != nullptr) loaded.hold(std::move(pages));
    if (const std::error_code error = load_eager(in, layout, loaded, threads)) return error;
  }
  // The last line end's start, from its block: its page and block are checked.
  std::uint64_t last_found = 0;
  if (totals.found != 0) {
    std::uint64_t start = 0;
    bool two = false;
    if (!loaded.entry(totals.found - 1, start, two)) return errc::bad_index;
    last_found = 2 * start + (two ? 1 : 0);
  }
  loaded.set_statistics(totals.longest_line, totals.longest_length, last_found);
  index = std::move(loaded);
  return {};
}

} // namespace

std::error_code load_index(const char* path, SavedIdentity& identity, RangedIndex& index, LoadMode mode,
                           unsigned threads, std::unique_ptr<CompressedText>* compressed) noexcept {
  bool read_failed = false;
  std::unique_ptr<CompressedText> piece;
  const std::error_code error = load_checked(path, identity, index, mode, threads, piece, read_failed);
  if (!error && piece != nullptr) {
    // An index of a compressed file is for a reader that asks for one.
    if (compressed == nullptr) return errc::stale_index;
    *compressed = std::move(piece);
  } else if (compressed != nullptr) {
    compressed->reset();
  }
  // What looked like a damaged index may have been a failed read.
  return error == errc::bad_index && read_failed ? std::error_code(errc::read_error) : error;
}

} // namespace line_reader::detail
