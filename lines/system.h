// What the lines program asks of the operating system beyond the library's
// platform layer, each call named after what it does. One implementation
// file per platform; the build picks one.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/user_files.h"

namespace lines::system {

// The user's files, which the library's cache keeps too.
using line_reader::platform::cache_folder;
using line_reader::platform::environment;
using line_reader::platform::FolderEntry;
using line_reader::platform::is_symbolic_link;
using line_reader::platform::list_folder;
using line_reader::platform::make_private_folder;
using line_reader::platform::mark_used;
using line_reader::platform::path_separator;
using line_reader::platform::read_small_file;
using line_reader::platform::remove_file;
using line_reader::platform::seconds_now;
using line_reader::platform::write_small_file;

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
