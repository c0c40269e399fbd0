// POSIX implementation of the platform layer.
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/prctl.h>
#endif

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>

#include <cerrno>

#include <cstdlib>
#include <cstring>
#include <ctime>

#include "platform/platform.h"
#include "platform/shared_channel.h"

namespace vdqrn {

namespace platform {

const char kLocalLibraryPrefix[] = "./";
const char kLibrarySuffix[] = ".so";

LibraryHandle LoadDynamicLibrary(const char* path) {
  return dlopen(path, RTLD_NOW | RTLD_LOCAL);
}

void* FindExport(LibraryHandle library, const char* name) {
  return library != nullptr ? dlsym(library, name) : nullptr;
}

void FreeDynamicLibrary(LibraryHandle library) {
  if (library != nullptr) dlclose(library);
}

// Exceptions of a library built for this system unwind through our frames
// like our own; there is nothing to catch here.
bool CallGuarded(GuardedProcedure call, void* context) {
  call(context);
  return true;
}

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

void WriteLogFile(FileHandle file, const char* bytes, std::size_t count) {
  if (file == kNoFile) return;
  while (count > 0) {
    const std::size_t allowed = detail::LogWriteAllowance(count);
    if (allowed == 0) return;
    const ssize_t written = write(static_cast<int>(file), bytes, allowed);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    bytes += written;
    count -= static_cast<std::size_t>(written);
  }
}

void CloseLogFile(FileHandle file) {
  if (file != kNoFile) close(static_cast<int>(file));
}

void ResetLogRefusalForTesting() {
  g_logRefused = false;
  g_logChecked = false;
}

std::string OwnDirectory() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&OwnDirectory), &info) == 0 || info.dli_fname == nullptr) {
    return std::string();
  }
  const std::string path = info.dli_fname;
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string("./") : path.substr(0, slash + 1);
}

namespace {

// The two ends of a new channel: a socket pair and a shared page that
// `memory` holds. The page's size is sealed: a host that shrank it would end
// the client with SIGBUS at its next look. All are closed on exec.
bool CreateChannel(int sockets[2], int* memory, std::string* error) {
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sockets) != 0) {
    *error = std::string("no socket pair: ") + std::strerror(errno);
    return false;
  }
#if defined(__linux__)
  *memory = static_cast<int>(
      syscall(SYS_memfd_create, "vdqrn-channel", MFD_CLOEXEC | MFD_ALLOW_SEALING));
#else
  *memory = -1;
  errno = ENOSYS;
#endif
  if (*memory < 0 || ftruncate(*memory, static_cast<off_t>(detail::kChannelPageBytes)) != 0
#if defined(__linux__)
      || fcntl(*memory, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL) != 0
#endif
  ) {
    *error = std::string("no shared memory: ") + std::strerror(errno);
    if (*memory >= 0) close(*memory);
    close(sockets[0]);
    close(sockets[1]);
    return false;
  }
  return true;
}

// Maps the page held by `memory` into `end`.
bool MapChannel(int memory, int wake, bool isModule, ChannelEnd* end) {
  void* const page = mmap(nullptr, detail::kChannelPageBytes, PROT_READ | PROT_WRITE, MAP_SHARED,
                          memory, 0);
  if (page == MAP_FAILED) return false;
  *end = ChannelEnd{};
  end->wake = wake;
  end->page = page;
  end->isModule = isModule;
  return true;
}

// The descriptors a host finds its channel at.
constexpr int kChildWake = 3;
constexpr int kChildMemory = 4;

}  // namespace

bool OpenChannelPair(ChannelEnd* module, ChannelEnd* host) {
  int sockets[2];
  int memory = -1;
  std::string error;
  if (!CreateChannel(sockets, &memory, &error)) return false;
  const bool mapped = MapChannel(memory, sockets[0], true, module);
  if (mapped && MapChannel(memory, sockets[1], false, host)) {
    close(memory);
    return true;
  }
  if (mapped) CloseChannel(*module);
  close(memory);
  close(sockets[0]);
  close(sockets[1]);
  return false;
}

void CloseChannel(ChannelEnd& end) {
  if (end.page != nullptr) munmap(end.page, detail::kChannelPageBytes);
  if (end.wake >= 0) close(static_cast<int>(end.wake));
  end.page = nullptr;
  end.wake = -1;
}

bool StartChildProcess(const std::string& executable, ChildProcess* child, std::string* error) {
  if (access(executable.c_str(), X_OK) != 0) {
    *error = executable + " is missing or not executable";
    return false;
  }
  int ends[2];
  int memory = -1;
  if (!CreateChannel(ends, &memory, error)) return false;
  if (!MapChannel(memory, ends[0], true, &child->channel)) {
    *error = std::string("cannot map shared memory: ") + std::strerror(errno);
    close(memory);
    close(ends[0]);
    close(ends[1]);
    return false;
  }
  const std::string argument = std::to_string(kChildWake) + ":" + std::to_string(kChildMemory);
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid < 0) {
    *error = std::string("cannot start a process: ") + std::strerror(errno);
    CloseChannel(child->channel);
    close(memory);
    close(ends[1]);
    return false;
  }
  if (pid == 0) {
    // Only async-signal-safe calls from here to exec. The child's ends become
    // descriptors 3 and 4, the only ones it inherits besides 0 to 2: first
    // moved above them, so that neither overwrites the other, then put in
    // place without close-on-exec.
#if defined(__linux__)
    prctl(PR_SET_PDEATHSIG, SIGKILL);
#endif
    if (getppid() != parent) _exit(127);
    const int wake = fcntl(ends[1], F_DUPFD_CLOEXEC, 10);
    const int shared = fcntl(memory, F_DUPFD_CLOEXEC, 10);
    if (wake < 0 || shared < 0) _exit(127);
    if (dup2(wake, kChildWake) < 0 || dup2(shared, kChildMemory) < 0) _exit(127);
    // Whatever else the client left open without close-on-exec stays here.
#if defined(SYS_close_range)
    if (syscall(SYS_close_range, 5u, ~0u, 0) != 0)
#endif
      for (int fd = 5; fd < 65536; ++fd) close(fd);
    const char* const arguments[] = {executable.c_str(), argument.c_str(), nullptr};
    execv(executable.c_str(), const_cast<char* const*>(arguments));
    _exit(127);
  }
  close(ends[1]);
  close(memory);
  child->process = pid;
  child->id = pid;
  return true;
}

namespace detail {

bool RingWake(ChannelEnd& end) {
  const char bell = 1;
  ssize_t sent;
  do {
    sent = send(static_cast<int>(end.wake), &bell, 1, MSG_NOSIGNAL | MSG_DONTWAIT);
  } while (sent < 0 && errno == EINTR);
  // A full socket already holds wakes enough.
  return sent == 1 || (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK));
}

ChannelOutcome AwaitWake(ChannelEnd& end, long timeoutMs) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  const int wake = static_cast<int>(end.wake);
  for (;;) {
    int wait = -1;
    if (timeoutMs >= 0) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) return ChannelOutcome::kTimedOut;
      wait = static_cast<int>(std::min<long long>(left, 1 << 30));
    }
    pollfd ready{wake, POLLIN, 0};
    const int polled = poll(&ready, 1, wait);
    if (polled < 0 && errno == EINTR) continue;
    if (polled < 0) return ChannelOutcome::kClosed;
    if (polled == 0) continue;  // the deadline decides
    char bells[64];
    const ssize_t got = recv(wake, bells, sizeof bells, MSG_DONTWAIT);
    if (got > 0) return ChannelOutcome::kDone;
    if (got == 0) return ChannelOutcome::kClosed;
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return ChannelOutcome::kClosed;
  }
}

}  // namespace detail

std::string EndChildProcess(ChildProcess& child, long graceMs) {
  CloseChannel(child.channel);
  if (child.process <= 0) return "not started";
  const pid_t pid = static_cast<pid_t>(child.process);
  child.process = -1;
  int status = 0;
  pid_t done = 0;
  for (long waited = 0; (done = waitpid(pid, &status, WNOHANG)) == 0 && waited < graceMs;
       waited += 5) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (done == 0) {
    kill(pid, SIGKILL);
    while ((done = waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
    }
  }
  if (done < 0) return "ended, how is unknown";
  if (WIFEXITED(status)) return "exit code " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return "signal " + std::to_string(WTERMSIG(status));
  return "ended";
}

bool OpenParentChannel(const char* argument, ChannelEnd* end) {
  const std::string expected =
      std::to_string(kChildWake) + ":" + std::to_string(kChildMemory);
  if (argument == nullptr || expected != argument) return false;
  struct stat status {};
  if (fstat(kChildWake, &status) != 0 || !S_ISSOCK(status.st_mode)) return false;
  if (fstat(kChildMemory, &status) != 0 || !S_ISREG(status.st_mode) ||
      static_cast<std::size_t>(status.st_size) != detail::kChannelPageBytes) {
    return false;
  }
  fcntl(kChildWake, F_SETFD, FD_CLOEXEC);
  const bool mapped = MapChannel(kChildMemory, kChildWake, false, end);
  close(kChildMemory);
  if (!mapped) return false;
#if defined(__linux__)
  prctl(PR_SET_PDEATHSIG, SIGKILL);
#endif
  return true;
}

namespace detail {

// Lines come many to a second: the broken-down time of the last second asked
// for on this thread is kept, and the conversion runs once a second.
LocalTime SystemLocalTime() {
  thread_local std::time_t lastSecond = static_cast<std::time_t>(-1);
  thread_local LocalTime last{};
  const std::time_t now = std::time(nullptr);
  if (now != lastSecond) {
    std::tm parts{};
    localtime_r(&now, &parts);
    last = LocalTime{parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday,
                     parts.tm_hour,        parts.tm_min,     parts.tm_sec};
    lastSecond = now;
  }
  return last;
}

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
