// POSIX implementation of the platform layer.
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/prctl.h>
#endif

#include <chrono>
#include <string>
#include <thread>

#include <cerrno>

#include <cstdlib>
#include <cstring>
#include <ctime>

#include "platform/platform.h"

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

bool StartChildProcess(const std::string& executable, ChildProcess* child, std::string* error) {
  if (access(executable.c_str(), X_OK) != 0) {
    *error = executable + " is missing or not executable";
    return false;
  }
  int ends[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
    *error = std::string("no socket pair: ") + std::strerror(errno);
    return false;
  }
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid < 0) {
    *error = std::string("cannot start a process: ") + std::strerror(errno);
    close(ends[0]);
    close(ends[1]);
    return false;
  }
  if (pid == 0) {
    // Only async-signal-safe calls from here to exec. The child's end becomes
    // descriptor 3, the one descriptor it inherits besides 0 to 2.
#if defined(__linux__)
    prctl(PR_SET_PDEATHSIG, SIGKILL);
#endif
    if (getppid() != parent) _exit(127);
    if (dup2(ends[1], 3) < 0) _exit(127);
    // Whatever else the client left open without close-on-exec stays here.
#if defined(SYS_close_range)
    if (syscall(SYS_close_range, 4u, ~0u, 0) != 0)
#endif
      for (int fd = 4; fd < 65536; ++fd) close(fd);
    const char* const arguments[] = {executable.c_str(), "3", nullptr};
    execv(executable.c_str(), const_cast<char* const*>(arguments));
    _exit(127);
  }
  close(ends[1]);
  child->process = pid;
  child->channel = ends[0];
  child->id = pid;
  return true;
}

bool WriteToChild(ChildProcess& child, const void* bytes, std::size_t count) {
  const char* next = static_cast<const char*>(bytes);
  while (count > 0) {
    const ssize_t written = send(static_cast<int>(child.channel), next, count, MSG_NOSIGNAL);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    next += written;
    count -= static_cast<std::size_t>(written);
  }
  return true;
}

namespace {

// A reply usually follows within microseconds; waking from a blocking wait
// takes far longer than that on a busy or virtual machine (50 µs here). So a
// reader first asks for a while without blocking, then blocks: the module for
// its reply, the host for the next request of a burst of commands (a host
// that waits longer goes to sleep, costing nothing but that wake-up).
constexpr auto kModuleSpin = std::chrono::microseconds(200);
constexpr auto kHostSpin = std::chrono::microseconds(1000);

// Receives what is there without blocking, for up to `spin`; the count
// received, 0 when nothing came, -1 when the other end is gone.
ssize_t ReceiveSpinning(int channel, char* bytes, std::size_t count,
                        std::chrono::microseconds spin) {
  const auto until = std::chrono::steady_clock::now() + spin;
  do {
    const ssize_t got = recv(channel, bytes, count, MSG_DONTWAIT);
    if (got > 0) return got;
    if (got == 0) return -1;
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return -1;
    // A moment without a system call between two asks, so that the asking
    // does not load the machine the other side works on.
    for (int i = 0; i < 64; ++i) {
#if defined(__i386__) || defined(__x86_64__)
      __builtin_ia32_pause();
#endif
    }
  } while (std::chrono::steady_clock::now() < until);
  return 0;
}

}  // namespace

ReadOutcome ReadFromChild(ChildProcess& child, void* bytes, std::size_t capacity,
                          std::size_t* got, long timeoutMs) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  const int channel = static_cast<int>(child.channel);
  char* const into = static_cast<char*>(bytes);
  for (;;) {
    const ssize_t spun = ReceiveSpinning(channel, into, capacity, kModuleSpin);
    if (spun < 0) return ReadOutcome::kClosed;
    if (spun > 0) {
      *got = static_cast<std::size_t>(spun);
      return ReadOutcome::kRead;
    }
    const long left = static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
    if (left <= 0) return ReadOutcome::kTimedOut;
    pollfd ready{channel, POLLIN, 0};
    const int polled = poll(&ready, 1, static_cast<int>(left));
    if (polled < 0 && errno != EINTR) return ReadOutcome::kClosed;
  }
}

std::string EndChildProcess(ChildProcess& child, long graceMs) {
  if (child.channel >= 0) close(static_cast<int>(child.channel));
  child.channel = -1;
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

bool OpenParentChannel(const char* argument, std::intptr_t* channel) {
  if (argument == nullptr || std::strcmp(argument, "3") != 0) return false;
  struct stat status {};
  if (fstat(3, &status) != 0 || !S_ISSOCK(status.st_mode)) return false;
  fcntl(3, F_SETFD, FD_CLOEXEC);
#if defined(__linux__)
  prctl(PR_SET_PDEATHSIG, SIGKILL);
#endif
  *channel = 3;
  return true;
}

bool ReadFromParent(std::intptr_t channel, void* bytes, std::size_t capacity, std::size_t* got) {
  char* const into = static_cast<char*>(bytes);
  for (;;) {
    ssize_t received = ReceiveSpinning(static_cast<int>(channel), into, capacity, kHostSpin);
    if (received < 0) return false;
    if (received == 0) received = recv(static_cast<int>(channel), into, capacity, 0);
    if (received < 0 && errno == EINTR) continue;
    if (received <= 0) return false;
    *got = static_cast<std::size_t>(received);
    return true;
  }
}

bool WriteToParent(std::intptr_t channel, const void* bytes, std::size_t count) {
  const char* next = static_cast<const char*>(bytes);
  while (count > 0) {
    const ssize_t written = send(static_cast<int>(channel), next, count, MSG_NOSIGNAL);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    next += written;
    count -= static_cast<std::size_t>(written);
  }
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
