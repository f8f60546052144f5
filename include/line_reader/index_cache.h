// The user's cache of saved indexes, which the lines program and the
// Python module share: one folder of the user's ($XDG_CACHE_HOME/line_reader,
// else ~/.cache/line_reader; on Windows %LOCALAPPDATA%\line_reader), made
// private to the user, an entry a file and line-end rule, named from the
// file's identity (its device and file number). An entry is a saved index
// (.idx) and a summary beside it (.sum) that answers a count without the
// index. Each is written whole and checked when read: a damaged, foreign or
// stale one is not used, and is replaced. The cache stays under
// LINES_CACHE_LIMIT bytes (1 GiB unless set), the entries used longest ago
// removed first.
//
//   line_reader::IndexCache cache;
//   std::error_code error;
//   auto index = cache.index_of("huge.log", error);   // loaded, or built and saved
//
// Needs C++17.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <system_error>

#include "line_reader/file_index.h"

namespace line_reader {

// What a summary says of the file, and the file as it was when it was indexed.
struct IndexSummary {
  std::uint64_t device = 0;
  std::uint64_t file_id = 0;
  std::uint64_t size = 0;
  std::int64_t modified = 0;
  std::int64_t changed = 0; // the change time, which no user can set back
  bool lf = false;
  std::uint64_t lines = 0;
  std::uint64_t longest_line = 0;
  std::uint64_t longest_length = 0;
  std::uint64_t index_bytes = 0;

  // The summary of an index as it is.
  static IndexSummary of(const FileIndex& index);
};

class IndexCache {
public:
  // The user's cache folder, made private to the user; `warn` is called at
  // most once, with the first problem, and the cache is then left alone. A
  // disabled cache does nothing.
  explicit IndexCache(bool enabled = true, std::function<void(const std::string&)> warn = {});

  bool usable() const { return !folder_.empty(); }
  const std::string& folder() const { return folder_; }
  // The entry of a file of this identity, its path without its ending.
  std::string entry(std::uint64_t device, std::uint64_t file_id, bool lf) const;

  // The entry's saved index, when there is one that may be read.
  bool has_index(const std::string& entry) const;
  bool read_summary(const std::string& entry, IndexSummary& summary) const;
  // Marks the entry as used now, for the order in which entries go.
  void used(const std::string& entry) const;

  // Writes the entry's summary after `save_index` has written its index
  // (to the path it is given; it returns why not, or nothing), then trims
  // the cache to its limit, keeping this entry. Files that saves killed
  // part-way left over an hour ago go first.
  void write(const std::string& entry, const IndexSummary& summary,
             const std::function<std::string(const std::string& path)>& save_index);

  // The index of `path` as the lines program has it: loaded from its entry
  // while that describes the file (bytes appended since are indexed and the
  // entry saved again), else built and saved. `saved`, when given, gets the
  // entry's saved index when the index is what it holds, else "". On
  // failure `error` says why (the file's own reasons, as build()).
  FileIndex index_of(const char* path, std::error_code& error, const IndexOptions& options = {},
                     std::string* saved = nullptr);

  // A problem with the cache: the first one is said. After give_up() the
  // cache is left alone.
  void problem(const std::string& what);
  void give_up(const std::string& what);

private:
  void trim(const std::string& keep) const;
  void remove_abandoned() const;

  std::string folder_;
  std::function<void(const std::string&)> warn_;
};

} // namespace line_reader
