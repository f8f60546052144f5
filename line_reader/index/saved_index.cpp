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
// Version 2 pads each range's block bytes to 8, so that a view of the saved
// index can serve as the index itself; version 1 is still read.
constexpr std::uint32_t format_version = 2;
constexpr unsigned char padding[8] = {};
constexpr std::size_t header_bytes = 104;
constexpr std::size_t range_bytes = 32;
// More ranges than any build makes (one a thread, one an append) mean damage.
constexpr std::uint32_t most_ranges = 1u << 20;

template <class T> void put(unsigned char* at, T value) { std::memcpy(at, &value, sizeof value); }
template <class T> T get(const unsigned char* at) {
  T value;
  std::memcpy(&value, at, sizeof value);
  return value;
}

// Writes and hashes as it goes.
struct HashedWriter {
  platform::Handle file;
  XXH3_state_t state;
  bool ok = true;
  void write(const void* bytes, std::size_t count) {
    if (!ok || count == 0) return;
    XXH3_64bits_update(&state, bytes, count);
    ok = platform::write_file(file, bytes, count);
  }
};

// Reads exactly `count` bytes at `offset` and hashes them; from a view of
// the file, whose hash is checked first, where there is one.
struct HashedReader {
  platform::Handle file;
  std::uint64_t offset = 0;
  XXH3_state_t state;
  bool failed = false; // a read failed, rather than found the end
  const unsigned char* view = nullptr;
  std::uint64_t view_bytes = 0;
  bool read(void* into, std::size_t count) {
    if (view != nullptr) {
      if (count > view_bytes - offset) return false;
      std::memcpy(into, view + offset, count);
      offset += count;
      return true;
    }
    auto* at = static_cast<unsigned char*>(into);
    for (std::size_t done = 0; done < count;) {
      const std::size_t left = count - done;
      const auto ask =
          static_cast<std::uint32_t>(left < (std::size_t{1} << 30) ? left : std::size_t{1} << 30);
      std::uint32_t got = 0;
      if (!platform::read_file_at(file, offset, at + done, ask, got)) {
        failed = true;
        return false;
      }
      if (got == 0) return false;
      done += got;
      offset += got;
    }
    XXH3_64bits_update(&state, into, count);
    return true;
  }
  // The next `count` bytes in the view, when they start on an 8-byte
  // boundary there; nullptr otherwise, and nothing is read.
  const unsigned char* borrow(std::size_t count) {
    if (view == nullptr || count > view_bytes - offset || offset % 8 != 0) return nullptr;
    const unsigned char* at = view + offset;
    offset += count;
    return at;
  }
};

} // namespace

std::uint64_t hash_bytes(const void* bytes, std::size_t count) noexcept { return XXH3_64bits(bytes, count); }

std::error_code save_index(const char* path, const SavedIdentity& identity, const RangedIndex& index,
                           bool flushed) noexcept {
  std::string temporary;
  try {
    static unsigned counter = 0;
    temporary = std::string(path) + ".tmp." + std::to_string(platform::process_number()) + "." +
                std::to_string(++counter);
  } catch (const std::bad_alloc&) {
    return errc::no_memory;
  }
  HashedWriter out{platform::create_file_for_writing(temporary.c_str()), {}};
  if (out.file == 0) return errc::no_access;
  XXH3_64bits_reset(&out.state);

  const auto& ranges = index.ranges();
  unsigned char header[header_bytes] = {};
  std::memcpy(header, magic, sizeof magic);
  put<std::uint32_t>(header + 8, format_version);
  put<std::uint32_t>(header + 12, identity.lf ? 1 : 0);
  put<std::uint64_t>(header + 16, identity.device);
  put<std::uint64_t>(header + 24, identity.file_id);
  put<std::uint64_t>(header + 32, identity.size);
  put<std::int64_t>(header + 40, identity.modified);
  put<std::uint64_t>(header + 48, identity.head_hash);
  put<std::uint64_t>(header + 56, identity.tail_hash);
  put<std::uint64_t>(header + 64, index.found());
  put<std::uint64_t>(header + 72, index.longest_line());
  put<std::uint64_t>(header + 80, index.longest_length());
  put<std::uint64_t>(header + 88, index.last_found());
  put<std::uint32_t>(header + 96, static_cast<std::uint32_t>(ranges.size()));
  out.write(header, sizeof header);
  for (const auto& range : ranges) {
    unsigned char entry[range_bytes];
    std::uint64_t data = 0;
    for (std::size_t b = 0; b < range.index->block_count(); ++b)
      data += range.index->block_data_bytes(b);
    put<std::uint64_t>(entry, range.first);
    put<std::uint64_t>(entry + 8, range.index->entry_count());
    put<std::uint64_t>(entry + 16, range.index->block_count());
    put<std::uint64_t>(entry + 24, data);
    out.write(entry, sizeof entry);
  }
  for (const auto& range : ranges) {
    const LineIndex& blocks = *range.index;
    std::uint64_t data = 0;
    // The words a few hundred at a time: a block's word is its base.
    std::uint64_t words[512];
    for (std::size_t b = 0; b < blocks.block_count(); b += 512) {
      const std::size_t n = blocks.block_count() - b < 512 ? blocks.block_count() - b : 512;
      for (std::size_t k = 0; k < n; ++k)
        words[k] = blocks.block_word(b + k);
      out.write(words, n * sizeof words[0]);
    }
    // A chunk's blocks lie one after the other: runs of them go out in one write.
    for (std::size_t b = 0; b < blocks.block_count();) {
      const auto* from = static_cast<const unsigned char*>(blocks.block_data(b));
      std::size_t bytes = blocks.block_data_bytes(b);
      for (++b; b < blocks.block_count() && blocks.block_data(b) == from + bytes; ++b)
        bytes += blocks.block_data_bytes(b);
      out.write(from, bytes);
      data += bytes;
    }
    out.write(padding, (8 - data % 8) % 8);
  }
  const std::uint64_t hash = XXH3_64bits_digest(&out.state);
  bool ok = out.ok && platform::write_file(out.file, &hash, sizeof hash) &&
            (!flushed || platform::flush_file(out.file));
  platform::close_handle(out.file);
  ok = ok && platform::rename_file(temporary.c_str(), path);
  if (!ok) {
    platform::remove_file(temporary.c_str());
    return std::make_error_code(std::errc::io_error);
  }
  return {};
}

namespace {

std::error_code load_checked(const char* path, SavedIdentity& identity, RangedIndex& index, SavedView* view,
                             bool& read_failed) noexcept {
  platform::FileState state;
  platform::OpenFailure failure;
  HashedReader in{platform::open_regular_file_for_reading(path, state, failure), 0, {}};
  if (in.file == 0) return reason_for(failure);
  struct Closer {
    platform::Handle file;
    const bool& failed;
    bool& read_failed;
    ~Closer() {
      read_failed = failed;
      platform::close_handle(file);
    }
  } closer{in.file, in.failed, read_failed};
  XXH3_64bits_reset(&in.state);
  // A view is checked against its hash at once, and then given to the
  // caller, or taken back when the load fails.
  struct Viewed {
    SavedView held;
    SavedView* to;
    bool kept = false;
    ~Viewed() {
      if (kept && to != nullptr) {
        *to = held;
      } else {
        platform::unmap_file(held.bytes, held.size);
      }
    }
  } viewed{{}, view};
  std::uint64_t view_hash = 0;
  if (view != nullptr && state.size >= header_bytes + 8 && !state.nominal_size) {
    viewed.held = {platform::map_file_for_reading(in.file, 0, state.size), state.size};
    if (viewed.held.bytes != nullptr) {
      in.view = static_cast<const unsigned char*>(viewed.held.bytes);
      in.view_bytes = state.size;
      view_hash = XXH3_64bits(in.view, static_cast<std::size_t>(state.size - 8));
      if (view_hash != get<std::uint64_t>(in.view + state.size - 8)) return errc::bad_index;
    }
  }

  unsigned char header[header_bytes];
  if (state.size < header_bytes + 8 || !in.read(header, sizeof header)) return errc::bad_index;
  const std::uint32_t version = get<std::uint32_t>(header + 8);
  const bool padded = version == 2;
  if (std::memcmp(header, magic, sizeof magic) != 0 || version < 1 || version > format_version ||
      get<std::uint32_t>(header + 12) > 1 || get<std::uint32_t>(header + 100) != 0)
    return errc::bad_index;
  const std::uint32_t range_count = get<std::uint32_t>(header + 96);
  if (range_count > most_ranges || (state.size - header_bytes - 8) / range_bytes < range_count)
    return errc::bad_index;
  identity.lf = get<std::uint32_t>(header + 12) == 1;
  identity.device = get<std::uint64_t>(header + 16);
  identity.file_id = get<std::uint64_t>(header + 24);
  identity.size = get<std::uint64_t>(header + 32);
  identity.modified = get<std::int64_t>(header + 40);
  identity.head_hash = get<std::uint64_t>(header + 48);
  identity.tail_hash = get<std::uint64_t>(header + 56);
  const std::uint64_t found = get<std::uint64_t>(header + 64);
  const std::uint64_t longest_line = get<std::uint64_t>(header + 72);
  const std::uint64_t longest_length = get<std::uint64_t>(header + 80);
  const std::uint64_t last_found = get<std::uint64_t>(header + 88);

  struct Stated {
    std::uint64_t first, entries, blocks, data;
  };
  std::vector<Stated> stated;
  try {
    stated.resize(range_count);
  } catch (const std::bad_alloc&) {
    return errc::no_memory;
  }
  // The bytes that the ranges say follow, which must be what the file holds.
  std::uint64_t expected = header_bytes + std::uint64_t{range_bytes} * range_count + 8;
  std::uint64_t entries = 0;
  for (Stated& range : stated) {
    unsigned char entry[range_bytes];
    if (!in.read(entry, sizeof entry)) return errc::bad_index;
    range = {get<std::uint64_t>(entry), get<std::uint64_t>(entry + 8), get<std::uint64_t>(entry + 16),
             get<std::uint64_t>(entry + 24)};
    if (range.first != entries || range.entries == 0 || range.blocks != (range.entries + 255) / 256 ||
        range.blocks > state.size / 8 || range.data > state.size)
      return errc::bad_index;
    entries += range.entries;
    expected += range.blocks * 8 + range.data + (padded ? (8 - range.data % 8) % 8 : 0);
    if (expected > state.size) return errc::bad_index;
  }
  if (expected != state.size || entries != found || longest_line > found) return errc::bad_index;

  std::uint64_t previous_last = 0;
  for (const Stated& range : stated) {
    std::vector<std::uint64_t> words;
    try {
      words.resize(static_cast<std::size_t>(range.blocks));
    } catch (const std::bad_alloc&) {
      return errc::no_memory;
    }
    if (!in.read(words.data(), words.size() * 8)) return errc::bad_index;
    const std::size_t data_bytes = LineIndex::data_bytes_for(words.data(), words.size(), range.entries);
    if (data_bytes != range.data) return errc::bad_index;
    // From the view where it lies on an 8-byte boundary, else read.
    const unsigned char* borrowed = in.borrow(data_bytes);
    auto* data = borrowed != nullptr ? const_cast<unsigned char*>(borrowed)
                                     : static_cast<unsigned char*>(platform::heap_allocate_zeroed(
                                           platform::process_heap(), data_bytes));
    if (data == nullptr) return errc::no_memory;
    auto lines = std::unique_ptr<LineIndex>(new (std::nothrow) LineIndex);
    if (lines == nullptr) {
      if (borrowed == nullptr) platform::heap_free(platform::process_heap(), data);
      return errc::no_memory;
    }
    if (!lines->adopt(words.data(), words.size(), range.entries, data, data_bytes, borrowed != nullptr))
      return errc::no_memory;
    if (borrowed == nullptr && !in.read(data, data_bytes)) return errc::bad_index;
    unsigned char pad[8];
    if (padded && !in.read(pad, (8 - data_bytes % 8) % 8)) return errc::bad_index;
    // Starts within the file and after the range before; each block's own
    // offsets are held to the hash.
    const std::uint64_t first_start = lines->start(0);
    const std::uint64_t last_start = lines->start(range.entries - 1);
    if (first_start < previous_last || first_start == 0 || last_start > identity.size ||
        last_start < first_start)
      return errc::bad_index;
    previous_last = last_start;
    if (!index.add_saved(std::move(lines))) return errc::no_memory;
  }
  std::uint64_t hash = 0;
  const std::uint64_t digest = in.view != nullptr ? view_hash : XXH3_64bits_digest(&in.state);
  if (!in.read(&hash, sizeof hash) || hash != digest) return errc::bad_index;
  if ((last_found >> 1) != previous_last || (found == 0 && last_found != 0)) return errc::bad_index;
  index.set_statistics(longest_line, longest_length, last_found);
  viewed.kept = true;
  return {};
}

} // namespace

std::error_code load_index(const char* path, SavedIdentity& identity, RangedIndex& index,
                           SavedView* view) noexcept {
  bool read_failed = false;
  const std::error_code error = load_checked(path, identity, index, view, read_failed);
  // What looked like a damaged index may have been a failed read.
  return error == errc::bad_index && read_failed ? std::error_code(errc::read_error) : error;
}

} // namespace line_reader::detail
