#include "soak_lib_saved.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>

#include "saved_form.h"

namespace soak {

namespace {

constexpr std::uint64_t base_mask = (std::uint64_t{1} << 60) - 1;
constexpr std::uint64_t page_entries = 256 * 256;

template <class T> void put_at(std::string& bytes, std::uint64_t at, T value) {
  if (bytes.size() < at + sizeof value) bytes.resize(at + sizeof value);
  std::memcpy(bytes.data() + at, &value, sizeof value);
}
template <class T> void append(std::string& bytes, T value) { put_at(bytes, bytes.size(), value); }

std::uint64_t hash(const std::string& bytes) {
  return line_reader::detail::hash_bytes(bytes.data(), bytes.size());
}

// One block of up to 256 starts as the builder lays it out: the narrowest
// offsets that hold its span, and a bitmap only where some line ends are
// two bytes and some are not.
void encode_block(const SavedStart* starts, std::size_t count, std::uint64_t& word, std::string& data) {
  const std::uint64_t base = starts[0].start;
  std::uint64_t width = 0;
  bool any = false;
  bool all = true;
  for (std::size_t k = 0; k < count; ++k) {
    const std::uint64_t start = starts[k].start;
    if (start < base || start - base >= (std::uint64_t{1} << 32))
      width = 2;
    else if (start - base >= 65536 && width == 0)
      width = 1;
    any = any || starts[k].two;
    all = all && starts[k].two;
  }
  const std::uint64_t kind = all ? 1 : any ? 2 : 0;
  word = (base & base_mask) | kind << 60 | width << 62;
  data.clear();
  if (kind == 2) {
    data.assign(32, '\0');
    for (std::size_t k = 0; k < count; ++k)
      if (starts[k].two) data[k >> 3] = static_cast<char>(data[k >> 3] | 1 << (k & 7));
  }
  for (std::size_t k = 0; k < count; ++k) {
    const std::uint64_t start = starts[k].start;
    if (width == 0)
      append<std::uint16_t>(data, static_cast<std::uint16_t>(start - base));
    else if (width == 1)
      append<std::uint32_t>(data, static_cast<std::uint32_t>(start - base));
    else
      append<std::uint64_t>(data, start);
  }
}

std::string compressed_piece(const SavedIndex& index) {
  std::string head;
  append<std::uint32_t>(head, index.kind);
  append<std::uint32_t>(head, 0);
  append<std::uint64_t>(head, index.source_size);
  append<std::uint64_t>(head, index.checkpoints.size());
  std::string table;
  std::string windows;
  for (const SavedCheckpoint& point : index.checkpoints) {
    append<std::uint64_t>(table, point.in_bit);
    append<std::uint64_t>(table, point.out);
    append<std::uint64_t>(table, point.window.empty() ? 0 : windows.size());
    append<std::uint32_t>(table, static_cast<std::uint32_t>(point.window.size()));
    append<std::uint32_t>(table, point.detail);
    append<std::uint64_t>(table, point.window.empty() ? 0 : hash(point.window));
    windows += point.window;
  }
  append<std::uint64_t>(head, windows.size());
  append<std::uint64_t>(head, hash(head + table));
  std::string piece = head + table + windows;
  piece.resize((piece.size() + 7) / 8 * 8, '\0');
  return piece;
}

} // namespace

std::uint64_t SavedIndex::size() const { return SavedForm(header).get<std::uint64_t>(32); }
std::uint64_t SavedIndex::longest_line() const { return SavedForm(header).get<std::uint64_t>(80); }
std::uint64_t SavedIndex::longest_length() const { return SavedForm(header).get<std::uint64_t>(88); }
void SavedIndex::set_longest(std::uint64_t line, std::uint64_t length) {
  put_at<std::uint64_t>(header, 80, line);
  put_at<std::uint64_t>(header, 88, length);
}
std::uint64_t SavedIndex::found() const {
  std::uint64_t found = 0;
  for (const auto& range : ranges)
    found += range.size();
  return found;
}

bool parse_saved(const std::string& bytes, SavedIndex& into) {
  into = SavedIndex{};
  if (bytes.size() < 128 || bytes.compare(0, 8, "LRINDEX\n") != 0) return false;
  const SavedForm form(bytes);
  into.header = bytes.substr(0, 128);
  if (form.ranges() > 65536 || form.pages() > bytes.size()) return false;
  for (std::uint64_t r = 0; r < form.ranges(); ++r) {
    const std::uint64_t entries = form.get<std::uint64_t>(form.range_at(r) + 8);
    const std::uint64_t blocks = form.get<std::uint64_t>(form.range_at(r) + 16);
    if (entries == 0 || entries > bytes.size() || blocks != (entries + 255) / 256) return false;
    std::vector<SavedStart> starts;
    for (std::uint64_t b = 0; b < blocks; ++b) {
      const std::uint64_t word = form.get<std::uint64_t>(form.word_at(r, b));
      const std::uint64_t count = b + 1 < blocks ? 256 : entries - 256 * b;
      const std::uint64_t kind = word >> 60 & 3;
      const std::uint64_t width = word >> 62;
      const std::uint64_t at = form.block_data_at(r, b) + (kind == 2 ? 32 : 0);
      if (width > 2 || kind > 2 || at > bytes.size() || (count << (width + 1)) > bytes.size() - at)
        return false;
      for (std::uint64_t k = 0; k < count; ++k) {
        SavedStart start;
        const std::uint64_t base = word & base_mask;
        start.start = width == 0   ? base + form.get<std::uint16_t>(at + 2 * k)
                      : width == 1 ? base + form.get<std::uint32_t>(at + 4 * k)
                                   : form.get<std::uint64_t>(at + 8 * k);
        start.two = kind == 1 || (kind == 2 && (form.get<std::uint8_t>(at - 32 + k / 8) >> (k & 7) & 1) != 0);
        starts.push_back(start);
      }
    }
    into.ranges.push_back(std::move(starts));
  }
  const std::uint64_t piece = form.get<std::uint64_t>(108);
  if (piece > bytes.size()) return false;
  if (piece == 0) return true;
  const std::uint64_t at = bytes.size() - piece;
  const std::uint64_t count = form.get<std::uint64_t>(at + 16);
  if (piece < 40 || count > piece / 40) return false;
  into.compressed = true;
  into.kind = form.get<std::uint32_t>(at);
  into.source_size = form.get<std::uint64_t>(at + 8);
  const std::uint64_t windows_at = at + 40 + 40 * count;
  for (std::uint64_t k = 0; k < count; ++k) {
    const std::uint64_t point_at = at + 40 + 40 * k;
    SavedCheckpoint point;
    point.in_bit = form.get<std::uint64_t>(point_at);
    point.out = form.get<std::uint64_t>(point_at + 8);
    const std::uint64_t window_at = form.get<std::uint64_t>(point_at + 16);
    const std::uint64_t window_bytes = form.get<std::uint32_t>(point_at + 24);
    point.detail = form.get<std::uint32_t>(point_at + 28);
    if (windows_at + window_at > bytes.size() || window_bytes > bytes.size() - windows_at - window_at)
      return false;
    point.window = bytes.substr(windows_at + window_at, window_bytes);
    into.checkpoints.push_back(std::move(point));
  }
  return true;
}

std::string write_saved(const SavedIndex& index) {
  struct Block {
    std::uint64_t word;
    std::string data;
  };
  std::vector<std::vector<Block>> blocks(index.ranges.size());
  std::uint64_t pages = 0;
  for (std::size_t r = 0; r < index.ranges.size(); ++r) {
    const auto& starts = index.ranges[r];
    for (std::size_t k = 0; k < starts.size(); k += 256) {
      Block block;
      encode_block(starts.data() + k, starts.size() - k < 256 ? starts.size() - k : 256, block.word,
                   block.data);
      blocks[r].push_back(std::move(block));
    }
    pages += (blocks[r].size() + 255) / 256;
  }
  const std::string piece = index.compressed ? compressed_piece(index) : std::string();
  std::string out = index.header;
  out.resize(128);
  put_at<std::uint64_t>(out, 72, index.found());
  put_at<std::uint64_t>(out, 96, pages);
  put_at<std::uint32_t>(out, 104, static_cast<std::uint32_t>(index.ranges.size()));
  put_at<std::uint64_t>(out, 108, piece.size());
  put_at<std::uint32_t>(out, 116, 0);
  std::uint64_t first = 0;
  for (std::size_t r = 0; r < index.ranges.size(); ++r) {
    std::uint64_t data = 0;
    for (const Block& block : blocks[r])
      data += block.data.size();
    append<std::uint64_t>(out, first);
    append<std::uint64_t>(out, index.ranges[r].size());
    append<std::uint64_t>(out, blocks[r].size());
    append<std::uint64_t>(out, data);
    first += index.ranges[r].size();
  }
  // The top table's places are known once the words' and blocks' are.
  const std::uint64_t top_at = out.size();
  out.resize(top_at + 24 * pages, '\0');
  std::uint64_t g = 0;
  for (std::size_t r = 0; r < index.ranges.size(); ++r) {
    const std::uint64_t words_at = out.size();
    out.resize(words_at + 16 * blocks[r].size(), '\0');
    std::uint64_t page_data = 0;
    for (std::size_t b = 0; b < blocks[r].size(); ++b) {
      if (b % 256 == 0) {
        page_data = out.size();
        put_at<std::uint64_t>(out, top_at + 24 * g, blocks[r][b].word & base_mask);
        put_at<std::uint64_t>(out, top_at + 24 * g + 8, page_data);
        ++g;
      }
      put_at<std::uint64_t>(out, words_at + 16 * b, blocks[r][b].word);
      put_at<std::uint32_t>(out, words_at + 16 * b + 8, static_cast<std::uint32_t>(out.size() - page_data));
      out += blocks[r][b].data;
    }
    out.resize((out.size() + 7) / 8 * 8, '\0');
  }
  SavedForm form(out + piece);
  form.rehash();
  return form.bytes();
}

namespace {

std::uint64_t pick(std::mt19937_64& rng, std::uint64_t below) {
  return below == 0 ? 0 : std::uniform_int_distribution<std::uint64_t>(0, below - 1)(rng);
}

// Every range's starts in one list, and back, so that a mutation need not
// care where ranges part; a range left empty is dropped, as no build keeps one.
struct Flat {
  std::vector<SavedStart> all;
  std::vector<std::uint64_t> sizes;
  explicit Flat(const SavedIndex& index) {
    for (const auto& range : index.ranges) {
      all.insert(all.end(), range.begin(), range.end());
      sizes.push_back(range.size());
    }
  }
  // The range that entry k falls in (the last for k past the end).
  std::size_t range_of(std::uint64_t k) const {
    for (std::size_t r = 0; r < sizes.size(); ++r) {
      if (k < sizes[r]) return r;
      k -= sizes[r];
    }
    return sizes.empty() ? 0 : sizes.size() - 1;
  }
  void insert(std::uint64_t k, SavedStart start) {
    if (sizes.empty()) sizes.push_back(0);
    ++sizes[range_of(k)];
    all.insert(all.begin() + static_cast<std::ptrdiff_t>(k), start);
  }
  void erase(std::uint64_t k) {
    --sizes[range_of(k)];
    all.erase(all.begin() + static_cast<std::ptrdiff_t>(k));
  }
  void store(SavedIndex& index) const {
    index.ranges.clear();
    std::uint64_t at = 0;
    for (const std::uint64_t size : sizes) {
      if (size != 0)
        index.ranges.emplace_back(all.begin() + static_cast<std::ptrdiff_t>(at),
                                  all.begin() + static_cast<std::ptrdiff_t>(at + size));
      at += size;
    }
  }
};

void clamp_longest(SavedIndex& index) {
  const std::uint64_t found = index.found();
  if (index.longest_line() > found) index.set_longest(found, found == 0 ? 0 : index.longest_length());
}

bool starts_all(SavedIndex& index, std::mt19937_64& rng) {
  Flat flat(index);
  if (flat.all.empty()) return false;
  std::vector<std::int64_t> fits;
  for (const std::int64_t d : {-2, -1, 1, 2}) {
    if (static_cast<std::int64_t>(flat.all.front().start) + d >= 1 &&
        static_cast<std::int64_t>(flat.all.back().start) + d <= static_cast<std::int64_t>(index.size()))
      fits.push_back(d);
  }
  if (fits.empty()) return false;
  const std::int64_t d = fits[pick(rng, fits.size())];
  for (SavedStart& start : flat.all)
    start.start = static_cast<std::uint64_t>(static_cast<std::int64_t>(start.start) + d);
  flat.store(index);
  return true;
}

bool starts_one(SavedIndex& index, std::mt19937_64& rng) {
  Flat flat(index);
  for (int tries = 0; tries < 64 && !flat.all.empty(); ++tries) {
    const std::uint64_t k = pick(rng, flat.all.size());
    const std::uint64_t low = k == 0 ? 0 : flat.all[k - 1].start;
    const std::uint64_t high = k + 1 < flat.all.size() ? flat.all[k + 1].start : index.size() + 1;
    std::vector<std::uint64_t> fits;
    for (const std::int64_t d : {-2, -1, 1, 2}) {
      const std::uint64_t moved =
          static_cast<std::uint64_t>(static_cast<std::int64_t>(flat.all[k].start) + d);
      if (moved > low && moved < high) fits.push_back(moved);
    }
    if (fits.empty()) continue;
    flat.all[k].start = fits[pick(rng, fits.size())];
    flat.store(index);
    return true;
  }
  return false;
}

bool start_extra(SavedIndex& index, std::mt19937_64& rng) {
  Flat flat(index);
  for (int tries = 0; tries < 64; ++tries) {
    const std::uint64_t k = pick(rng, flat.all.size() + 1);
    const std::uint64_t low = k == 0 ? 0 : flat.all[k - 1].start;
    const std::uint64_t high = k < flat.all.size() ? flat.all[k].start : index.size() + 1;
    if (high - low < 2) continue;
    flat.insert(k, SavedStart{low + 1 + pick(rng, high - low - 1), false});
    flat.store(index);
    return true;
  }
  return false;
}

bool two_byte_ends(SavedIndex& index, std::mt19937_64&) {
  bool changed = false;
  for (auto& range : index.ranges) {
    for (SavedStart& start : range) {
      changed = changed || !start.two;
      start.two = true;
    }
  }
  return changed;
}

bool no_ranges(SavedIndex& index, std::mt19937_64&) {
  if (index.ranges.empty()) return false;
  index.ranges.clear();
  index.set_longest(0, 0);
  return true;
}

bool drop_end(SavedIndex& index, std::mt19937_64& rng) {
  Flat flat(index);
  if (flat.all.empty()) return false;
  flat.erase(pick(rng, flat.all.size()));
  flat.store(index);
  clamp_longest(index);
  return true;
}

// The m starts before entry `at` again from `at`, where a new page begins:
// the page before ends after starts that the new one repeats, which only a
// check across the two pieces can see.
bool repeat_before(SavedIndex& index, std::size_t r, std::uint64_t at, std::uint64_t in_page_before,
                   std::mt19937_64& rng) {
  if (in_page_before < 2) return false;
  const std::uint64_t m = 1 + pick(rng, std::min<std::uint64_t>(in_page_before - 1, 300));
  auto& range = index.ranges[r];
  std::vector<SavedStart> again;
  if (at == 0) {
    const auto& before = index.ranges[r - 1];
    again.assign(before.end() - static_cast<std::ptrdiff_t>(m), before.end());
  } else {
    again.assign(range.begin() + static_cast<std::ptrdiff_t>(at - m),
                 range.begin() + static_cast<std::ptrdiff_t>(at));
  }
  range.insert(range.begin() + static_cast<std::ptrdiff_t>(at), again.begin(), again.end());
  return true;
}

bool range_overlap(SavedIndex& index, std::mt19937_64& rng) {
  if (index.ranges.size() < 2) return false;
  const std::size_t r = 1 + pick(rng, index.ranges.size() - 1);
  const std::uint64_t before = index.ranges[r - 1].size();
  return repeat_before(index, r, 0, before - (before - 1) / page_entries * page_entries, rng);
}

bool page_overlap(SavedIndex& index, std::mt19937_64& rng) {
  std::vector<std::size_t> paged;
  for (std::size_t r = 0; r < index.ranges.size(); ++r)
    if (index.ranges[r].size() > page_entries) paged.push_back(r);
  if (paged.empty()) return false;
  const std::size_t r = paged[pick(rng, paged.size())];
  const std::uint64_t page = 1 + pick(rng, (index.ranges[r].size() - 1) / page_entries);
  return repeat_before(index, r, page * page_entries, page_entries, rng);
}

bool checkpoint_shift(SavedIndex& index, std::mt19937_64& rng) {
  auto& points = index.checkpoints;
  for (int tries = 0; tries < 64 && points.size() > 1; ++tries) {
    const std::size_t k = 1 + pick(rng, points.size() - 1);
    const std::uint64_t low = points[k - 1].out;
    const std::uint64_t high = k + 1 < points.size() ? points[k + 1].out : index.size() + 1;
    const std::uint64_t moved = pick(rng, 2) == 0 ? points[k].out - 5 : points[k].out + 5;
    if (moved <= low || moved >= high || (index.kind == 1 && points[k].detail > moved)) continue;
    points[k].out = moved;
    return true;
  }
  return false;
}

bool checkpoint_bit(SavedIndex& index, std::mt19937_64& rng) {
  auto& points = index.checkpoints;
  for (int tries = 0; tries < 64 && !points.empty(); ++tries) {
    const std::size_t k = pick(rng, points.size());
    const std::uint64_t low = k == 0 ? 0 : points[k - 1].in_bit + 1;
    const std::uint64_t high = k + 1 < points.size() ? points[k + 1].in_bit : index.source_size * 8;
    // gzip: a block's end a byte later or a bit earlier; a member's start
    // must stay on a byte. zstd and xz: a byte into the frame or block.
    const bool back = index.kind == 1 && points[k].detail != 0 && pick(rng, 2) == 0;
    const std::uint64_t moved = back ? points[k].in_bit - 1 : points[k].in_bit + 8;
    if (points[k].in_bit == 0 && back) continue;
    if (moved < low || moved >= high) continue;
    points[k].in_bit = moved;
    return true;
  }
  return false;
}

bool window_text(SavedIndex& index, std::mt19937_64& rng) {
  std::vector<std::size_t> windowed;
  for (std::size_t k = 0; k < index.checkpoints.size(); ++k)
    if (index.kind == 1 && !index.checkpoints[k].window.empty()) windowed.push_back(k);
  if (windowed.empty()) return false;
  SavedCheckpoint& point = index.checkpoints[windowed[pick(rng, windowed.size())]];
  std::string window(point.detail, '\0');
  uLongf length = point.detail;
  if (uncompress(reinterpret_cast<Bytef*>(window.data()), &length,
                 reinterpret_cast<const Bytef*>(point.window.data()), point.window.size()) != Z_OK ||
      length != point.detail)
    return false;
  // Other letters of the same length, the line ends where they were: what a
  // back reference copies from the window is then other text.
  for (char& c : window)
    if (c != '\n' && c != '\r') c = static_cast<char>('a' + (static_cast<unsigned char>(c) + 7) % 26);
  std::string stored(compressBound(window.size()), '\0');
  uLongf bytes = stored.size();
  if (compress2(reinterpret_cast<Bytef*>(stored.data()), &bytes,
                reinterpret_cast<const Bytef*>(window.data()), window.size(), 1) != Z_OK)
    return false;
  stored.resize(bytes);
  point.window = stored;
  return true;
}

bool longest(SavedIndex& index, std::mt19937_64& rng) {
  const std::uint64_t found = index.found();
  if (found == 0 || index.size() == 0) return false;
  const std::uint64_t line = 1 + pick(rng, found);
  const std::uint64_t length = pick(rng, 2) == 0 ? index.size() : 1 + pick(rng, index.size());
  if (line == index.longest_line() && length == index.longest_length()) return false;
  index.set_longest(line, length);
  return true;
}

struct Mutation {
  const char* name;
  bool (*apply)(SavedIndex&, std::mt19937_64&);
};
constexpr Mutation mutations[] = {
    {"starts_all", starts_all},
    {"starts_one", starts_one},
    {"start_extra", start_extra},
    {"two_byte_ends", two_byte_ends},
    {"no_ranges", no_ranges},
    {"drop_end", drop_end},
    {"range_overlap", range_overlap},
    {"page_overlap", page_overlap},
    {"checkpoint_shift", checkpoint_shift},
    {"checkpoint_bit", checkpoint_bit},
    {"window_text", window_text},
    {"longest", longest},
};

} // namespace

std::vector<std::string> mutation_kinds() {
  std::vector<std::string> names;
  for (const Mutation& mutation : mutations)
    names.emplace_back(mutation.name);
  return names;
}

std::string mutate_saved(SavedIndex& index, const std::string& kind, std::mt19937_64& rng) {
  if (kind == "any") {
    // Each in a random order until one applies, each on a copy.
    std::vector<std::size_t> order;
    for (std::size_t k = 0; k < std::size(mutations); ++k)
      order.push_back(k);
    std::shuffle(order.begin(), order.end(), rng);
    for (const std::size_t k : order) {
      SavedIndex trial = index;
      if (mutations[k].apply(trial, rng)) {
        index = std::move(trial);
        return mutations[k].name;
      }
    }
    return "";
  }
  if (kind == "same") return kind; // the codec's own check: written back as read
  for (const Mutation& mutation : mutations) {
    if (kind == mutation.name) return mutation.apply(index, rng) ? kind : "";
  }
  return "";
}

int mutate_file(const std::string& path, const std::string& kind, std::uint64_t seed, std::string& applied) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return 2;
  std::ostringstream read;
  read << in.rdbuf();
  SavedIndex index;
  if (!parse_saved(read.str(), index)) return 2;
  std::mt19937_64 rng(seed);
  applied = mutate_saved(index, kind, rng);
  if (applied.empty()) return 4;
  const std::string bytes = write_saved(index);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return out.flush() ? 0 : 2;
}

} // namespace soak
