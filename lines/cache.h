// The saved indexes of the lines program: one folder of the user's, an entry
// a file and line-end rule, named from the file's identity (its device and
// file number). An entry is the library's saved index (.idx) and a summary
// beside it (.sum) that answers --count and --summary without reading the
// index. Each is written whole and checked when read: a damaged, foreign or
// stale one is not used, and is replaced.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/platform.h"

namespace lines {

// What a summary says of the file, and the file as it was when it was indexed.
struct Summary {
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

  // Whether it describes the file as it is now.
  bool describes(const line_reader::platform::FileState& now, bool lf_now) const;
};

class Cache {
public:
  // `warn` is called at most once, with the first problem; the cache is then
  // left alone. A disabled cache does nothing.
  Cache(bool enabled, std::function<void(const std::string&)> warn);

  bool usable() const { return !folder_.empty(); }
  const std::string& folder() const { return folder_; }
  // The entry's path without its ending.
  std::string entry(const line_reader::platform::FileState& file, bool lf) const;

  // The entry's saved index, when there is one that may be read.
  bool has_index(const std::string& entry) const;
  bool read_summary(const std::string& entry, Summary& summary) const;
  // Marks the entry as used now, for the order in which entries go.
  void used(const std::string& entry) const;

  // Writes the entry's summary after `save_index` has written its index
  // (to the path it is given), then trims the cache to its limit, keeping
  // this entry. Files that saves killed part-way left over an hour ago go
  // first.
  void write(const std::string& entry, const Summary& summary,
             const std::function<std::string(const std::string& path)>& save_index);

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

} // namespace lines
