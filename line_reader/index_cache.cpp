#include "line_reader/index_cache.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <map>
#include <utility>
#include <vector>

#include "line_reader/load_file.h"
#include "platform/platform.h"
#include "platform/user_files.h"

namespace line_reader {

namespace {

constexpr char summary_magic[] = "lines summary 2\n";
constexpr std::size_t most_summary_bytes = 1024;
// An interrupted save leaves its file beside the entry; after this long it
// is taken for abandoned.
constexpr std::int64_t abandoned_after_seconds = 3600;

// FNV-1a, 64 bits: enough to tell a damaged summary of a few lines.
std::uint64_t hash_of(const std::string& text) {
  std::uint64_t hash = 14695981039346656037ull;
  for (const unsigned char c : text) {
    hash ^= c;
    hash *= 1099511628211ull;
  }
  return hash;
}

// The cache's limit in bytes: LINES_CACHE_LIMIT, a number with an optional
// K, M or G (powers of 1024), else 1 GiB. A value too large to hold is the
// largest limit, not what is left of it after an overflow.
std::uint64_t cache_limit() {
  constexpr std::uint64_t largest = ~std::uint64_t{0};
  const std::string text = platform::environment("LINES_CACHE_LIMIT");
  std::uint64_t value = 0;
  std::size_t at = 0;
  for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
    const auto digit = static_cast<std::uint64_t>(text[at] - '0');
    value = value > (largest - digit) / 10 ? largest : value * 10 + digit;
  }
  if (text.empty() || at == 0) return 1ull << 30;
  const std::string unit = text.substr(at);
  const int shift = unit == "K" ? 10 : unit == "M" ? 20 : unit == "G" ? 30 : unit.empty() ? 0 : -1;
  if (shift < 0) return 1ull << 30;
  return value > largest >> shift ? largest : value << shift;
}

} // namespace

IndexSummary IndexSummary::of(const FileIndex& index) {
  const FileIndex::FileId id = index.file_id();
  IndexSummary summary;
  summary.device = id.device;
  summary.file_id = id.file;
  summary.size = index.indexed_bytes();
  summary.modified = id.modified;
  summary.changed = id.changed;
  summary.lf = index.ends() == LineEnds::lf;
  summary.lines = index.line_count();
  summary.longest_line = index.longest_line();
  summary.longest_length = index.longest_length();
  summary.index_bytes = index.index_bytes();
  return summary;
}

IndexCache::IndexCache(bool enabled, std::function<void(const std::string&)> warn) : warn_(std::move(warn)) {
  if (!enabled) return;
  const std::string folder = platform::cache_folder();
  if (folder.empty()) {
    give_up("no cache directory: neither XDG_CACHE_HOME nor HOME is set");
    return;
  }
  if (const std::string reason = platform::make_private_folder(folder); !reason.empty()) {
    give_up("cache directory " + folder + " not used: " + reason);
    return;
  }
  folder_ = folder;
}

void IndexCache::problem(const std::string& what) {
  if (warn_) warn_(what);
  warn_ = nullptr;
}

void IndexCache::give_up(const std::string& what) {
  problem(what);
  folder_.clear();
}

std::string IndexCache::entry(std::uint64_t device, std::uint64_t file_id, bool lf) const {
  char name[64];
  std::snprintf(name, sizeof name, "%016" PRIx64 "-%016" PRIx64 "-%s", device, file_id, lf ? "lf" : "crlf");
  return folder_ + platform::path_separator() + name;
}

bool IndexCache::has_index(const std::string& entry) const {
  if (!usable()) return false;
  const std::string path = entry + ".idx";
  if (platform::is_symbolic_link(path)) {
    platform::remove_file(path); // never followed; made anew
    return false;
  }
  std::uint64_t size = 0;
  platform::OpenFailure failure;
  return platform::find_file_size(path.c_str(), size, failure);
}

bool IndexCache::read_summary(const std::string& entry, IndexSummary& summary) const {
  std::string text;
  if (!usable() || !platform::read_small_file(entry + ".sum", text, most_summary_bytes)) return false;
  const std::size_t hash_at = text.rfind("hash ");
  if (text.compare(0, sizeof summary_magic - 1, summary_magic) != 0 || hash_at == std::string::npos)
    return false;
  std::uint64_t hash = 0;
  if (std::sscanf(text.c_str() + hash_at, "hash %" SCNx64, &hash) != 1 ||
      hash != hash_of(text.substr(0, hash_at)))
    return false;
  unsigned lf = 0;
  const int read =
      std::sscanf(text.c_str() + sizeof summary_magic - 1,
                  "device %" SCNu64 "\nfile %" SCNu64 "\nsize %" SCNu64 "\nmodified %" SCNd64
                  "\nchanged %" SCNd64 "\nlf %u\nlines %" SCNu64 "\nlongest line %" SCNu64
                  "\nlongest length %" SCNu64 "\nindex bytes %" SCNu64 "\n",
                  &summary.device, &summary.file_id, &summary.size, &summary.modified, &summary.changed, &lf,
                  &summary.lines, &summary.longest_line, &summary.longest_length, &summary.index_bytes);
  summary.lf = lf == 1;
  return read == 10;
}

void IndexCache::used(const std::string& entry) const {
  if (!usable()) return;
  platform::mark_used(entry + ".idx");
  platform::mark_used(entry + ".sum");
}

void IndexCache::write(const std::string& entry, const IndexSummary& summary,
                       const std::function<std::string(const std::string& path)>& save_index) {
  if (!usable()) return;
  remove_abandoned();
  if (const std::string reason = save_index(entry + ".idx"); !reason.empty()) {
    give_up("index not saved in " + folder_ + ": " + reason);
    return;
  }
  char fields[512];
  std::snprintf(fields, sizeof fields,
                "device %" PRIu64 "\nfile %" PRIu64 "\nsize %" PRIu64 "\nmodified %" PRId64
                "\nchanged %" PRId64 "\nlf %u\nlines %" PRIu64 "\nlongest line %" PRIu64
                "\nlongest length %" PRIu64 "\nindex bytes %" PRIu64 "\n",
                summary.device, summary.file_id, summary.size, summary.modified, summary.changed,
                summary.lf ? 1u : 0u, summary.lines, summary.longest_line, summary.longest_length,
                summary.index_bytes);
  const std::string text = std::string(summary_magic) + fields;
  char hash[32];
  std::snprintf(hash, sizeof hash, "hash %016" PRIx64 "\n", hash_of(text));
  if (!platform::write_small_file(entry + ".sum", text + hash)) {
    give_up("summary not saved in " + folder_);
    return;
  }
  trim(entry);
}

FileIndex IndexCache::index_of(const char* path, std::error_code& error, const IndexOptions& options,
                               std::string* saved) {
  error.clear();
  if (saved != nullptr) saved->clear();
  platform::FileState state;
  platform::OpenFailure failure;
  const platform::Handle file = platform::open_shared_file_for_reading(path, state, failure);
  if (file == 0) {
    error = detail::reason_for(failure);
    return FileIndex();
  }
  platform::close_handle(file);
  const bool lf = options.ends == LineEnds::lf;
  const std::string name = usable() ? entry(state.device, state.file_id, lf) : std::string();
  FileIndex index;
  bool loaded = false;
  if (!name.empty() && has_index(name)) {
    index = FileIndex::load((name + ".idx").c_str(), path, error, options);
    loaded = !error;
    if (error == errc::bad_index)
      problem("saved index " + name + ".idx is damaged; the file is indexed anew");
    error.clear();
  }
  if (!loaded) {
    index = FileIndex::build(path, error, options);
    if (error) return FileIndex();
  }
  // Another file under the name since it was opened: not saved under this one's entry.
  const FileIndex::FileId id = index.file_id();
  if (name.empty() || id.device != state.device || id.file != state.file_id) return index;
  const IndexSummary now = IndexSummary::of(index);
  IndexSummary before;
  if (loaded && read_summary(name, before) && before.size == now.size && before.modified == now.modified &&
      before.changed == now.changed && before.device == now.device && before.file_id == now.file_id) {
    used(name);
  } else {
    write(name, now, [&index](const std::string& to) {
      std::error_code failed;
      index.save(to.c_str(), failed, false); // a cache: a damaged entry is only built again
      return failed ? failed.message() : std::string();
    });
  }
  if (saved != nullptr && usable()) *saved = name + ".idx";
  return index;
}

void IndexCache::remove_abandoned() const {
  const std::int64_t now = platform::seconds_now();
  for (const platform::FolderEntry& file : platform::list_folder(folder_)) {
    if (file.name.find(".tmp.") != std::string::npos && now - file.used > abandoned_after_seconds)
      platform::remove_file(folder_ + platform::path_separator() + file.name);
  }
}

void IndexCache::trim(const std::string& keep) const {
  const std::uint64_t limit = cache_limit();
  // An entry's files go together, by the name before the first dot; its
  // last use is its newest file's.
  struct Group {
    std::uint64_t bytes = 0;
    std::int64_t used = 0;
    std::vector<std::string> files;
  };
  std::map<std::string, Group> groups;
  std::uint64_t total = 0;
  const std::string kept = keep.substr(folder_.size() + 1);
  for (const platform::FolderEntry& file : platform::list_folder(folder_)) {
    const std::string path = folder_ + platform::path_separator() + file.name;
    if (file.name.find(".tmp.") != std::string::npos) continue;
    Group& group = groups[file.name.substr(0, file.name.find('.'))];
    group.bytes += file.bytes;
    group.used = std::max(group.used, file.used);
    group.files.push_back(path);
    total += file.bytes;
  }
  if (total <= limit) return;
  std::vector<std::pair<std::int64_t, std::string>> order;
  for (const auto& [name, group] : groups) {
    if (name != kept) order.emplace_back(group.used, name);
  }
  std::sort(order.begin(), order.end());
  for (const auto& [used, name] : order) {
    if (total <= limit) break;
    const Group& group = groups[name];
    for (const std::string& path : group.files)
      platform::remove_file(path);
    total -= group.bytes;
  }
}

} // namespace line_reader
