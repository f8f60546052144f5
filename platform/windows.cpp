// The platform layer on Windows, through the kernel's file, memory and
// console services and the C runtime's unechoed key read.
#include <windows.h>

#include <conio.h>

#include <cstdint>

#include "platform/platform.h"

namespace line_reader::platform {

namespace {

// The directory entry that every lookup fills; loads therefore run one at a time.
WIN32_FIND_DATAA lookup_record;

HANDLE native(Handle handle) { return reinterpret_cast<HANDLE>(handle); }
Handle handle_of(HANDLE native_handle) { return reinterpret_cast<Handle>(native_handle); }

// GlobalLock on 32-bit Windows may give an address that is only 8-byte
// aligned. The block is allocated with this much slack so that the data can
// start at the first 16-byte boundary inside it and still keep its zero tail.
constexpr std::uint64_t alignment_slack = 15;

} // namespace

// The system gives its pages as they are touched; `present` has nothing to add.
void make_memory_present(void*, std::size_t) {}

Handle block_allocate_zeroed(std::uint64_t bytes, bool) {
  if (bytes > SIZE_MAX - alignment_slack) return 0;
  return handle_of(GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, static_cast<SIZE_T>(bytes + alignment_slack)));
}

void* block_lock(Handle block) {
  void* locked = GlobalLock(native(block));
  if (locked == nullptr) return nullptr;
  const auto address = reinterpret_cast<std::uintptr_t>(locked);
  return reinterpret_cast<void*>((address + 15) & ~std::uintptr_t{15});
}

void block_unlock(Handle block) { GlobalUnlock(native(block)); }

void block_free(Handle block) { GlobalFree(native(block)); }

Handle process_heap() { return handle_of(GetProcessHeap()); }

void* heap_allocate_zeroed(Handle heap, std::size_t bytes) {
  return HeapAlloc(native(heap), HEAP_ZERO_MEMORY, bytes);
}

void heap_free(Handle heap, void* memory) { HeapFree(native(heap), 0, memory); }

void zero_memory(void* memory, std::size_t bytes) { RtlZeroMemory(memory, bytes); }

namespace {

// Names that say only that nothing is there.
bool names_nothing(DWORD error) {
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_INVALID_NAME ||
         error == ERROR_BAD_PATHNAME || error == ERROR_INVALID_DRIVE || error == ERROR_BAD_NETPATH ||
         error == ERROR_BAD_NET_NAME;
}

FileState state_of(const BY_HANDLE_FILE_INFORMATION& information) {
  FileState state;
  state.size = std::uint64_t{information.nFileSizeHigh} << 32 | information.nFileSizeLow;
  state.modified = static_cast<std::int64_t>(std::uint64_t{information.ftLastWriteTime.dwHighDateTime} << 32 |
                                             information.ftLastWriteTime.dwLowDateTime);
  state.changed = state.modified; // the handle's ChangeTime replaces it where the system has one
  state.device = information.dwVolumeSerialNumber;
  state.file_id = std::uint64_t{information.nFileIndexHigh} << 32 | information.nFileIndexLow;
  return state;
}

// The last change of the file's data or attributes, which no caller of the
// file's time functions can set back.
void add_change_time(HANDLE file, FileState& state) {
  FILE_BASIC_INFO basic{};
  if (GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof basic) &&
      basic.ChangeTime.QuadPart != 0)
    state.changed = basic.ChangeTime.QuadPart;
}

} // namespace

bool find_file_size(const char* name, std::uint64_t& size, OpenFailure& failure) {
  // The lookup takes * and ? as wildcards and would find another file by
  // them, which no open can have: such a name names nothing.
  for (const char* c = name; *c != 0; ++c) {
    if (*c == '*' || *c == '?') {
      failure = OpenFailure{OpenFailure::missing, ERROR_INVALID_NAME};
      return false;
    }
  }
  RtlZeroMemory(&lookup_record, sizeof lookup_record);
  const HANDLE search = FindFirstFileA(name, &lookup_record);
  if (search == INVALID_HANDLE_VALUE) {
    // A path through a missing folder is missing too; a folder that may not
    // be listed is a refusal.
    const DWORD error = GetLastError();
    failure.system_code = static_cast<int>(error);
    failure.kind = names_nothing(error)           ? OpenFailure::missing
                   : error == ERROR_ACCESS_DENIED ? OpenFailure::denied
                                                  : OpenFailure::other;
    return false;
  }
  FindClose(search);
  failure = OpenFailure{};
  // The whole size: the high word decides whether the file fits at all.
  size = std::uint64_t{lookup_record.nFileSizeHigh} << 32 | lookup_record.nFileSizeLow;
  return true;
}

namespace {

// Opens `name` for reading with `share` when it is a file on disk. A
// directory fails to open with "access denied"; `is_directory` tells it apart.
Handle open_disk_file(const char* name, DWORD share, bool (*is_directory)(const char*), FileState& state,
                      OpenFailure& failure) {
  const HANDLE file =
      CreateFileA(name, GENERIC_READ, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    failure.system_code = static_cast<int>(error);
    if (names_nothing(error)) {
      failure.kind = OpenFailure::missing;
    } else if (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION) {
      failure.kind = is_directory(name) ? OpenFailure::not_regular : OpenFailure::denied;
    } else {
      failure.kind = OpenFailure::other;
    }
    return 0;
  }
  // Pipes, consoles and devices are refused: only files on disk are read.
  BY_HANDLE_FILE_INFORMATION information{};
  if (GetFileType(file) != FILE_TYPE_DISK || !GetFileInformationByHandle(file, &information) ||
      (information.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE))) {
    failure = OpenFailure{OpenFailure::not_regular, 0};
    CloseHandle(file);
    return 0;
  }
  failure = OpenFailure{};
  // The open file's own state: another file may have been renamed over the
  // name since a lookup.
  state = state_of(information);
  add_change_time(file, state);
  return handle_of(file);
}

// After a lookup, its record tells; without one, the name's attributes do.
bool looked_up_directory(const char*) {
  return (lookup_record.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}
bool named_directory(const char* name) {
  const DWORD attributes = GetFileAttributesA(name);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

} // namespace

Handle open_regular_file_for_reading(const char* name, FileState& state, OpenFailure& failure) {
  return open_disk_file(name, 0, looked_up_directory, state, failure);
}

bool query_open_file(Handle file, FileState& state) {
  BY_HANDLE_FILE_INFORMATION information{};
  if (!GetFileInformationByHandle(native(file), &information)) return false;
  state = state_of(information);
  add_change_time(native(file), state);
  return true;
}

bool read_file(Handle file, void* into, std::uint32_t bytes, std::uint32_t& got) {
  DWORD read = 0;
  const BOOL ok = ReadFile(native(file), into, bytes, &read, nullptr);
  got = read;
  return ok != FALSE;
}

void close_handle(Handle handle) { CloseHandle(native(handle)); }

Handle open_shared_file_for_reading(const char* name, FileState& state, OpenFailure& failure) {
  return open_disk_file(name, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, named_directory, state,
                        failure);
}

bool read_file_at(Handle file, std::uint64_t offset, void* into, std::uint32_t bytes, std::uint32_t& got) {
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  DWORD read = 0;
  const BOOL ok = ReadFile(native(file), into, bytes, &read, &at);
  got = read;
  // A read that starts at the end fails with "end of file" on such a handle.
  return ok != FALSE || GetLastError() == ERROR_HANDLE_EOF;
}

// The 32-bit target has no room for views of large files: pieces are read.
const void* map_file_for_reading(Handle, std::uint64_t, std::uint64_t) { return nullptr; }

void unmap_file(const void*, std::uint64_t) {}
void view_read_scattered(const void*, std::uint64_t) {}

Handle create_file_for_writing(const char* name) {
  const HANDLE file =
      CreateFileA(name, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  return file == INVALID_HANDLE_VALUE ? 0 : handle_of(file);
}

bool write_file(Handle file, const void* bytes, std::size_t count) {
  const auto* from = static_cast<const char*>(bytes);
  while (count != 0) {
    const DWORD ask = count > (DWORD{1} << 30) ? DWORD{1} << 30 : static_cast<DWORD>(count);
    DWORD written = 0;
    if (!WriteFile(native(file), from, ask, &written, nullptr)) return false;
    if (written == 0) {
      SetLastError(0);
      return false;
    }
    from += written;
    count -= written;
  }
  return true;
}

bool flush_file(Handle file) { return FlushFileBuffers(native(file)) != FALSE; }

bool rename_file(const char* from, const char* to) {
  return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != FALSE;
}

void remove_file(const char* name) { DeleteFileA(name); }

int last_failure() { return static_cast<int>(GetLastError()); }

unsigned long process_number() { return GetCurrentProcessId(); }

std::uint64_t unique_number() {
  static volatile LONG count = 0;
  LARGE_INTEGER now{};
  QueryPerformanceCounter(&now);
  FILETIME time{};
  GetSystemTimeAsFileTime(&time);
  std::uint64_t mixed = static_cast<std::uint64_t>(now.QuadPart) ^
                        (std::uint64_t{time.dwHighDateTime} << 32 | time.dwLowDateTime) ^
                        std::uint64_t{GetCurrentProcessId()} << 40 ^ reinterpret_cast<std::uintptr_t>(&now) ^
                        static_cast<std::uint64_t>(InterlockedIncrement(&count)) * 0x9E3779B97F4A7C15ull;
  mixed = (mixed ^ mixed >> 30) * 0xBF58476D1CE4E5B9ull;
  mixed = (mixed ^ mixed >> 27) * 0x94D049BB133111EBull;
  return mixed ^ mixed >> 31;
}

unsigned usable_cores() {
  DWORD_PTR process = 0;
  DWORD_PTR system = 0;
  if (!GetProcessAffinityMask(GetCurrentProcess(), &process, &system) || process == 0) return 1;
  unsigned count = 0;
  for (; process != 0; process &= process - 1)
    ++count;
  return count;
}

std::uint64_t physical_memory() {
  MEMORYSTATUSEX status;
  status.dwLength = sizeof status;
  if (!GlobalMemoryStatusEx(&status)) return SIZE_MAX;
  return status.ullTotalPhys < SIZE_MAX ? status.ullTotalPhys : SIZE_MAX;
}

namespace {
struct ThreadStart {
  void (*work)(void*);
  void* context;
};
DWORD WINAPI run_thread(LPVOID start) {
  const ThreadStart what = *static_cast<ThreadStart*>(start);
  HeapFree(GetProcessHeap(), 0, start);
  what.work(what.context);
  return 0;
}
} // namespace

Handle start_thread(void (*work)(void* context), void* context) {
  auto* start = static_cast<ThreadStart*>(HeapAlloc(GetProcessHeap(), 0, sizeof(ThreadStart)));
  if (start == nullptr) return 0;
  *start = ThreadStart{work, context};
  const HANDLE thread = CreateThread(nullptr, 0, run_thread, start, 0, nullptr);
  if (thread == nullptr) {
    HeapFree(GetProcessHeap(), 0, start);
    return 0;
  }
  return handle_of(thread);
}

void join_thread(Handle thread) {
  WaitForSingleObject(native(thread), INFINITE);
  CloseHandle(native(thread));
}

void pause_milliseconds(unsigned milliseconds) { Sleep(milliseconds); }

bool write_standard_output(const void* bytes, std::uint32_t count, std::uint32_t& written) {
  DWORD done = 0;
  const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  written = 0;
  if (out == INVALID_HANDLE_VALUE || out == nullptr) return false;
  const BOOL ok = WriteFile(out, bytes, count, &done, nullptr);
  written = done;
  return ok != FALSE;
}

// Windows has no signal for a closed pipe or a full disk: the write fails instead.
void ignore_write_failure_signals() {}

// An arrow or function key gives two codes, 0 or 0xE0 and then the key's
// own; the second is taken too, so that none of the press is left behind.
void wait_for_key() {
  const int key = _getch();
  if (key == 0 || key == 0xE0) _getch();
}

void exit_process(unsigned status) { ExitProcess(status); }

} // namespace line_reader::platform
