// The user's files on POSIX systems.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "platform/user_files.h"

namespace line_reader::platform {

std::string environment(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::string() : std::string(value);
}

std::string cache_folder() {
  // Relative values are to be ignored, as the base directory rules say.
  std::string base = environment("XDG_CACHE_HOME");
  if (base.empty() || base[0] != '/') {
    const std::string home = environment("HOME");
    if (home.empty()) return {};
    base = home + "/.cache";
  }
  return base + "/line_reader";
}

char path_separator() { return '/'; }

std::string make_private_folder(const std::string& folder) {
  // The folders above are made as the base directory rules ask (0700);
  // only the program's own folder is held to being private.
  for (std::size_t slash = folder.find('/', 1); slash != std::string::npos;
       slash = folder.find('/', slash + 1))
    (void)mkdir(folder.substr(0, slash).c_str(), 0700);
  if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return std::strerror(errno);
  struct stat status {};
  if (lstat(folder.c_str(), &status) != 0) return std::strerror(errno);
  if (S_ISLNK(status.st_mode)) return "it is a symbolic link";
  if (!S_ISDIR(status.st_mode)) return "it is not a directory";
  if (status.st_uid != geteuid()) return "another user owns it";
  if ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0) return "others may write in it";
  return {};
}

bool is_symbolic_link(const std::string& path) {
  struct stat status {};
  return lstat(path.c_str(), &status) == 0 && S_ISLNK(status.st_mode);
}

bool read_small_file(const std::string& path, std::string& bytes, std::size_t most) {
  const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat status {};
  bool ok =
      fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && static_cast<std::size_t>(status.st_size) <= most;
  if (ok) {
    bytes.resize(static_cast<std::size_t>(status.st_size));
    std::size_t done = 0;
    while (ok && done < bytes.size()) {
      const ssize_t got = read(fd, bytes.data() + done, bytes.size() - done);
      if (got < 0 && errno == EINTR) continue;
      ok = got > 0;
      if (ok) done += static_cast<std::size_t>(got);
    }
  }
  close(fd);
  return ok;
}

bool write_small_file(const std::string& path, const std::string& bytes) {
  // A name of its own each time: a leftover of a run that was killed, whose
  // process number a later run may have (every run in a fresh PID namespace
  // is process 1), is never in the way.
  const std::string temporary = path + ".tmp." + std::to_string(unique_number());
  const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  bool ok = true;
  for (std::size_t done = 0; ok && done < bytes.size();) {
    const ssize_t put = write(fd, bytes.data() + done, bytes.size() - done);
    if (put < 0 && errno == EINTR) continue;
    ok = put > 0;
    if (ok) done += static_cast<std::size_t>(put);
  }
  ok = close(fd) == 0 && ok && rename(temporary.c_str(), path.c_str()) == 0;
  if (!ok) unlink(temporary.c_str());
  return ok;
}

std::vector<FolderEntry> list_folder(const std::string& folder) {
  std::vector<FolderEntry> entries;
  DIR* listing = opendir(folder.c_str());
  if (listing == nullptr) return entries;
  while (const dirent* entry = readdir(listing)) {
    struct stat status {};
    if (fstatat(dirfd(listing), entry->d_name, &status, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(status.st_mode))
      continue;
    entries.push_back({entry->d_name, static_cast<std::uint64_t>(status.st_size),
                       static_cast<std::int64_t>(status.st_mtime)});
  }
  closedir(listing);
  return entries;
}

void mark_used(const std::string& path) {
  (void)utimensat(AT_FDCWD, path.c_str(), nullptr, AT_SYMLINK_NOFOLLOW);
}

void remove_file(const std::string& path) { (void)unlink(path.c_str()); }

std::int64_t seconds_now() { return static_cast<std::int64_t>(time(nullptr)); }

std::string failure_text() { return std::strerror(errno); }

} // namespace line_reader::platform
