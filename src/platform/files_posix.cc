// POSIX: the diagnostic log's file and the temporary directory it lives in.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"

namespace vdqrn {
namespace platform {

namespace {

// Set when the log's path turned out to be something other than a file of
// the user's own: nothing is written there for the rest of the process.
bool g_logRefused = false;
// Set once an opened log file passed the check. In a folder every user
// shares (sticky, as /tmp always is) no other user can remove or rename our
// file, so the name stays bound to it: later lines skip the check, which
// would cost a system call (as much as the open itself) on every line.
bool g_logChecked = false;

// A regular file of the user's own, with no second name.
bool IsUsersOwnFile(int fd) {
  struct stat status {};
  return fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && status.st_uid == geteuid() &&
         status.st_nlink == 1;
}

}  // namespace

FileHandle OpenLogFile(const char* path, bool truncate) {
  if (g_logRefused) return kNoFile;
  int fd;
  do {
    // O_NONBLOCK: a FIFO planted in the log's place must not block the open.
    fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK,
              S_IRUSR | S_IWUSR);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    // A symbolic link in the log's place (O_NOFOLLOW): someone else's doing.
    if (errno == ELOOP) g_logRefused = true;
    return kNoFile;
  }
  if (!g_logChecked) {
    if (!IsUsersOwnFile(fd)) {
      g_logRefused = true;
      close(fd);
      return kNoFile;
    }
    g_logChecked = true;
  }
  // Only after the check may the file be emptied: O_TRUNC at the open would
  // empty whatever stood there.
  if (truncate && ftruncate(fd, 0) != 0) {
    close(fd);
    return kNoFile;
  }
  return fd;
}

LogWritten WriteLogFile(FileHandle file, const char* bytes, std::size_t count) {
  if (file == kNoFile) return LogWritten::kNothing;
  bool some = false;
  while (count > 0) {
    const std::size_t allowed = detail::LogWriteAllowance(count);
    if (allowed == 0) break;
    const ssize_t written = write(static_cast<int>(file), bytes, allowed);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) break;
    some = true;
    bytes += written;
    count -= static_cast<std::size_t>(written);
  }
  if (count == 0) return LogWritten::kWhole;
  return some ? LogWritten::kPart : LogWritten::kNothing;
}

void CloseLogFile(FileHandle file) {
  if (file != kNoFile) close(static_cast<int>(file));
}

void ResetLogRefusalForTesting() {
  g_logRefused = false;
  g_logChecked = false;
}

namespace detail {

// $TMPDIR when set and not empty, else /tmp; always with a trailing '/', and
// /tmp/ when the result would not fit a path. Read once: a process's TMPDIR
// does not change under it, and looking it up in the environment for every
// log line cost as much as a good part of the line's own work.
std::size_t SystemTempDirectory(char* buffer) {
  static char directory[kTempDirectoryBuffer];
  static std::size_t length = 0;
  if (length == 0) {
    const char* env = std::getenv("TMPDIR");
    const char* chosen = (env != nullptr && *env != '\0') ? env : "/tmp";
    std::size_t size = std::strlen(chosen);
    const bool separator = chosen[size - 1] == '/';
    if (size + (separator ? 0 : 1) > kMaxPath) {
      chosen = "/tmp/";
      size = 5;
    }
    std::memcpy(directory, chosen, size);
    if (directory[size - 1] != '/') directory[size++] = '/';
    directory[size] = '\0';
    length = size;
  }
  std::memcpy(buffer, directory, length + 1);
  return length;
}

}  // namespace detail
}  // namespace platform
}  // namespace vdqrn
