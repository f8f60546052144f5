// The user's files on Windows.
#include <windows.h>

#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "platform/user_files.h"

namespace line_reader::platform {

namespace {

std::string error_text() {
  char text[256] = {};
  const DWORD code = GetLastError();
  if (FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text,
                     sizeof text, nullptr) == 0)
    return "error " + std::to_string(code);
  std::string reason = text;
  while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r' || reason.back() == '.'))
    reason.pop_back();
  return reason;
}

// 100 ns units since 1601 to seconds since 1970.
std::int64_t unix_seconds(const FILETIME& time) {
  const std::uint64_t ticks = (std::uint64_t{time.dwHighDateTime} << 32) | time.dwLowDateTime;
  return static_cast<std::int64_t>(ticks / 10000000) - 11644473600LL;
}

} // namespace

std::string environment(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::string() : std::string(value);
}

std::string cache_folder() {
  const std::string base = environment("LOCALAPPDATA");
  return base.empty() ? std::string() : base + "\\line_reader";
}

char path_separator() { return '\\'; }

// The user's local application data is the user's own by its access list.
std::string make_private_folder(const std::string& folder) {
  if (!CreateDirectoryA(folder.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
    return error_text();
  const DWORD attributes = GetFileAttributesA(folder.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return error_text();
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return "it is a symbolic link";
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return "it is not a directory";
  return {};
}

bool is_symbolic_link(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

bool read_small_file(const std::string& path, std::string& bytes, std::size_t most) {
  if (is_symbolic_link(path)) return false;
  const HANDLE file =
      CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER size{};
  bool ok = GetFileSizeEx(file, &size) != 0 && static_cast<std::uint64_t>(size.QuadPart) <= most;
  if (ok) {
    bytes.resize(static_cast<std::size_t>(size.QuadPart));
    DWORD got = 0;
    ok = bytes.empty() ||
         (ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &got, nullptr) != 0 &&
          got == bytes.size());
  }
  CloseHandle(file);
  return ok;
}

bool write_small_file(const std::string& path, const std::string& bytes) {
  // A name of its own each time: a leftover of a run that was killed, whose
  // process number a later run may have (every run in a fresh PID namespace
  // is process 1), is never in the way.
  const std::string temporary = path + ".tmp." + std::to_string(unique_number());
  const HANDLE file =
      CreateFileA(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD put = 0;
  bool ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &put, nullptr) != 0 &&
            put == bytes.size();
  ok = CloseHandle(file) != 0 && ok &&
       MoveFileExA(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
  if (!ok) DeleteFileA(temporary.c_str());
  return ok;
}

std::vector<FolderEntry> list_folder(const std::string& folder) {
  std::vector<FolderEntry> entries;
  WIN32_FIND_DATAA found{};
  const HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return entries;
  do {
    if ((found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) continue;
    entries.push_back({found.cFileName, (std::uint64_t{found.nFileSizeHigh} << 32) | found.nFileSizeLow,
                       unix_seconds(found.ftLastWriteTime)});
  } while (FindNextFileA(search, &found));
  FindClose(search);
  return entries;
}

void mark_used(const std::string& path) {
  const HANDLE file =
      CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  FILETIME now{};
  GetSystemTimeAsFileTime(&now);
  SetFileTime(file, nullptr, nullptr, &now);
  CloseHandle(file);
}

void remove_file(const std::string& path) { DeleteFileA(path.c_str()); }

std::int64_t seconds_now() {
  FILETIME now{};
  GetSystemTimeAsFileTime(&now);
  return unix_seconds(now);
}

std::string failure_text() { return error_text(); }

} // namespace line_reader::platform
