// The operating system services that the line reader and the report use,
// each named after what it does. One implementation file per platform; the
// build picks one. Nothing outside this folder includes a system header.
#pragma once

#include <cstddef>
#include <cstdint>

namespace line_reader::platform {

// A handle or token; 0 never names anything.
using Handle = std::uintptr_t;

// A movable memory block of `bytes` zero bytes; 0 when there is no memory.
// Unless `present`, its pages may be made present later, by
// make_memory_present(), one share a thread.
Handle block_allocate_zeroed(std::uint64_t bytes, bool present = true);
// Asks the system for the pages of [memory, memory + bytes) now, so that
// filling them takes no page faults; a hint, which may do nothing.
void make_memory_present(void* memory, std::size_t bytes);
// The block's first byte, on a 16-byte boundary; nullptr on failure.
void* block_lock(Handle block);
void block_unlock(Handle block);
void block_free(Handle block);

// The process heap (never 0 where the process has one), zero-filled
// allocations from it, and their release. The heap itself is never freed.
Handle process_heap();
void* heap_allocate_zeroed(Handle heap, std::size_t bytes);
void heap_free(Handle heap, void* memory);

void zero_memory(void* memory, std::size_t bytes);

// Why a file was not found or not opened: a kind, and for `other` the
// system's own error code (errno; GetLastError() on Windows).
struct OpenFailure {
  enum Kind { none, missing, not_regular, denied, other };
  Kind kind = none;
  int system_code = 0;
};
// An open file as it is now. `modified` is the last modification in the
// system's own units (nanoseconds since 1970; 100 ns units on Windows).
// `nominal_size` says the size is not what the file holds: a file that takes
// no storage, as the kernel's own files do (/proc reports 0 bytes and sysfs a
// page, whatever they hold), is read to its end instead.
struct FileState {
  std::uint64_t size = 0;
  std::int64_t modified = 0;
  // The last change to the file's data or its metadata, in the same units;
  // unlike `modified`, no user can set it back (st_ctim; ChangeTime on
  // Windows, or the modification time where the system keeps none).
  std::int64_t changed = 0;
  std::uint64_t device = 0; // with `file_id`, which file it is
  std::uint64_t file_id = 0;
  bool nominal_size = false;
};
// Looks `name` up and reports its whole size. False when nothing has that
// name (`missing`), a folder on the way may not be searched (`denied`), or
// the lookup failed otherwise (`other`). A name with wildcards names nothing.
bool find_file_size(const char* name, std::uint64_t& size, OpenFailure& failure);
// Opens `name` for reading when it is a regular file, and reports the state
// of the file actually opened, which another file renamed over the name
// since a lookup may have changed; 0 and the reason otherwise. Never waits: a
// FIFO or device is refused, not opened and read.
Handle open_regular_file_for_reading(const char* name, FileState& state, OpenFailure& failure);
// The open file's state now; false when the system cannot tell.
bool query_open_file(Handle file, FileState& state);
// One read of up to `bytes` bytes; `got` is 0 at the end of the file. False on
// a read error. Interrupted reads are retried inside.
bool read_file(Handle file, void* into, std::uint32_t bytes, std::uint32_t& got);
void close_handle(Handle handle);

// Opens `name` for reading as open_regular_file_for_reading does, while
// other programs may go on writing, renaming or deleting it (a log).
Handle open_shared_file_for_reading(const char* name, FileState& state, OpenFailure& failure);
// One read of up to `bytes` bytes at `offset`, which leaves no position
// behind, so that threads may read one file at once; `got` is 0 at the end
// of the file. False on a read error.
bool read_file_at(Handle file, std::uint64_t offset, void* into, std::uint32_t bytes, std::uint32_t& got);

// A read-only view of `bytes` bytes of the open file from `offset` (a
// multiple of 4096), or nullptr where the system has no such views or a
// process cannot hold one that large. Reading a page past the file's end, as
// after the file is truncated, raises SIGBUS on POSIX systems.
const void* map_file_for_reading(Handle file, std::uint64_t offset, std::uint64_t bytes);
void unmap_file(const void* view, std::uint64_t bytes);
// A hint that a view will be read at scattered places: no read-ahead
// around each. It may do nothing.
void view_read_scattered(const void* view, std::uint64_t bytes);

// Creates `name` for writing, readable and writable by its owner alone
// (0600 on POSIX systems, whatever the umask); 0 when it exists already or
// cannot be made. A symbolic link under the name is never followed.
Handle create_file_for_writing(const char* name);
// Writes all `bytes`; false on an error.
bool write_file(Handle file, const void* bytes, std::size_t count);
// Waits until what was written is on the disk; false on an error.
bool flush_file(Handle file);
// Puts `from` in the place of `to`, at once; false on an error.
bool rename_file(const char* from, const char* to);
// The system's own code for why the last call above that failed did
// (errno; GetLastError() on Windows), for std::system_category(); 0 when
// the system gave none (a write that took no bytes).
int last_failure();
void remove_file(const char* name);
// This process's number, for names that no other process uses at once.
unsigned long process_number();
// A number that no earlier call in any process is likely to have given:
// the clock, the process, the address space's layout and a count, mixed.
// For the names of temporary files, which are still created exclusively.
std::uint64_t unique_number();

// The cores that this process may run on, at least 1.
unsigned usable_cores();
// The machine's memory in bytes; the most the address space holds where
// the system does not say.
std::uint64_t physical_memory();
// Starts `work(context)` on a thread of its own; 0 when no thread can be had.
Handle start_thread(void (*work)(void* context), void* context);
// Waits for the thread's work to end and lets the thread go.
void join_thread(Handle thread);
void pause_milliseconds(unsigned milliseconds);

// One write of up to `count` bytes to standard output; `written` says how many
// went out. False on an error. Nothing is buffered: the bytes have left the
// process when it returns.
bool write_standard_output(const void* bytes, std::uint32_t count, std::uint32_t& written);
// Keeps an output that cannot take more bytes (a closed pipe, a file-size
// limit) from ending the process; such writes fail instead.
void ignore_write_failure_signals();
// Waits for one key press, unechoed, and discards it whole, also when the key
// sends several bytes. Returns at once when standard input is not a terminal
// and has nothing to give (closed, at its end, or failing). Whatever ends the
// process during the wait puts the terminal's settings back first.
void wait_for_key();
[[noreturn]] void exit_process(unsigned status);

} // namespace line_reader::platform
