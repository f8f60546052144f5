// The user's files that a cache of saved indexes keeps: where the cache
// lives by the platform's conventions, a folder private to the user, small
// files written whole, and a folder's files with their sizes and times.
// Each call is named after what it does; one implementation file per
// platform.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace line_reader::platform {

// The value of the environment variable `name`; empty when it is not set.
std::string environment(const char* name);
// The folder that saved indexes live in, by the platform's conventions:
// $XDG_CACHE_HOME/line_reader, else ~/.cache/line_reader; on Windows
// %LOCALAPPDATA%\line_reader. Empty when none can be named.
std::string cache_folder();
char path_separator();

// Makes `folder` (and the folders above it that are missing) private to the
// user, or finds it so. Empty on success, else why it may not be used: it
// cannot be made, it is a symbolic link or not a folder, another user owns
// it, or others may write in it.
std::string make_private_folder(const std::string& folder);

// Whether `path` is a symbolic link (or on Windows any reparse point).
bool is_symbolic_link(const std::string& path);
// The bytes of a small regular file, read without following a symbolic
// link; false when it cannot be read or holds more than `most` bytes.
bool read_small_file(const std::string& path, std::string& bytes, std::size_t most);
// Writes `bytes` to `path` whole or not at all: a file beside it, then a
// rename over it.
bool write_small_file(const std::string& path, const std::string& bytes);

struct FolderEntry {
  std::string name;
  std::uint64_t bytes = 0;
  std::int64_t used = 0; // last modification, in seconds since 1970
};
// The regular files in `folder`.
std::vector<FolderEntry> list_folder(const std::string& folder);
// Marks the file as used now (its modification time).
void mark_used(const std::string& path);
void remove_file(const std::string& path);
std::int64_t seconds_now();
// The system's text for its last failure on this thread.
std::string failure_text();

} // namespace line_reader::platform
