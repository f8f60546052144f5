// What the lines program asks of the operating system beyond the library's
// platform layer, each call named after what it does. One implementation
// file per platform; the build picks one.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace lines::system {

// The value of the environment variable `name`; empty when it is not set.
std::string environment(const char* name);
// The folder that the saved indexes live in, by the platform's conventions:
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
// A steady clock for intervals, in seconds.
double steady_seconds();

// Whether standard error is a terminal, which a progress line may be drawn on.
bool error_is_terminal();
// Writes all of `bytes` to standard output or standard error. False when
// they could not be written; `closed` then says the reader has gone (a
// closed pipe), and `reason` says why otherwise.
bool write_output(const char* bytes, std::size_t count, bool& closed, std::string& reason);
void write_error(const std::string& text);

// A stream to read once, in order: standard input for "-", else a FIFO, a
// character device or a socket under `file` (where the system has them).
// -1 with `is_stream` false when `file` names no stream (a regular file, a
// folder, nothing); -1 with `is_stream` true and `reason` when the stream
// cannot be opened.
int open_stream(const std::string& file, bool& is_stream, std::string& reason);
// One read of up to `count` bytes: how many, 0 at the end, -1 on an error.
long read_stream(int stream, char* into, std::size_t count, std::string& reason);

// Ends the process as a write to a closed pipe would, when the reader of
// standard output has gone: a program that waits for more to write (-f)
// then ends without writing. Does nothing where the system cannot tell.
void end_if_output_closed();

// Sets up the process: a closed pipe on standard output ends it quietly,
// as it ends other programs that write to one, and a page of a file view
// that has vanished (the file was truncated under it) reads as zeros instead
// of ending the process, so that the read finds the change.
void prepare_process();

} // namespace lines::system
