// POSIX implementation of the platform layer.
#include <dlfcn.h>
#include <sched.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <fstream>
#include <string>
#include <thread>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>

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

// dlopen looks for a path with a slash in that place only.
std::string LocateLibrary(const char* path) {
  struct stat status {};
  if (path == nullptr || stat(path, &status) != 0 || !S_ISREG(status.st_mode)) return std::string();
  if (path[0] == '/') return path;
  char folder[PATH_MAX];
  if (getcwd(folder, sizeof folder) == nullptr) return std::string();
  const char* relative = std::strncmp(path, "./", 2) == 0 ? path + 2 : path;
  return std::string(folder) + (folder[1] == '\0' ? "" : "/") + relative;
}

LibraryHandle LoadLibraryFile(const std::string& file) { return LoadDynamicLibrary(file.c_str()); }

std::string LastLoadError() {
  const char* error = dlerror();
  return error != nullptr ? error : "";
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

namespace {

// The absolute folder of the file that holds this code, as the system mapped
// it: on Linux the path /proc/self/maps gives for the mapping of this
// function (never the name the engine passed to dlopen, which may be
// relative to a directory that has changed since); elsewhere the loader's
// name made absolute while the directory is still the one it was found
// from. Empty when it cannot be told or is not absolute.
std::string FindOwnDirectory() {
  const auto here = reinterpret_cast<std::uintptr_t>(&FindOwnDirectory);
  std::string path;
#if defined(__linux__)
  std::ifstream maps("/proc/self/maps");
  std::string line;
  while (path.empty() && std::getline(maps, line)) {
    // "start-end perms offset dev inode   path"
    unsigned long long start = 0, end = 0;
    if (std::sscanf(line.c_str(), "%llx-%llx", &start, &end) != 2) continue;
    if (here < start || here >= end) continue;
    const std::size_t slash = line.find('/');
    if (slash != std::string::npos) path = line.substr(slash);
  }
#endif
  if (path.empty()) {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&FindOwnDirectory), &info) != 0 && info.dli_fname != nullptr) {
      char resolved[PATH_MAX];
      if (realpath(info.dli_fname, resolved) != nullptr) path = resolved;
    }
  }
  const std::size_t slash = path.rfind('/');
  if (path.empty() || path[0] != '/' || slash == std::string::npos) return std::string();
  return path.substr(0, slash + 1);
}

// Found while the module loads.
const std::string& LoadedDirectory() {
  static const std::string directory = FindOwnDirectory();
  return directory;
}
[[maybe_unused]] const bool g_directoryFound = !LoadedDirectory().empty();

}  // namespace

std::string OwnDirectory() { return LoadedDirectory(); }

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
  if (isModule) detail::PreparePage(page);
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

namespace {

// The descriptor the host finds the client's standard error at, to put it
// back in place once it runs: until then its standard error is a pipe to the
// module, where the system's loader says why it cannot run.
constexpr int kChildStandardError = 5;

// How the child tells that exec failed, before the error's number.
constexpr char kExecFailed[] = "exec failed: errno ";

// What the thread that collects a child learns, shared with the module's
// thread that ends it.
struct Ending {
  std::mutex mutex;
  std::condition_variable changed;
  bool done = false;
  bool known = false;  // the status below is the child's
  int status = 0;
  std::thread collector;
};

// Collects the child the moment it ends, and ends what it left running in
// its process group (processes the library started).
void Collect(std::shared_ptr<Ending> ending, pid_t pid) {
  int status = 0;
  pid_t done;
  while ((done = waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
  }
  kill(-pid, SIGKILL);
  std::lock_guard<std::mutex> lock(ending->mutex);
  ending->done = true;
  ending->known = done == pid;
  ending->status = status;
  ending->changed.notify_all();
}

// Keeps this module loaded for the rest of the process: a collecting thread
// still runs its code (a child that could not die yet).
void StayLoaded() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&StayLoaded), &info) != 0 && info.dli_fname != nullptr) {
    dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
  }
}

// Writes a text to a descriptor with async-signal-safe calls only.
void WriteText(int fd, const char* text) {
  const ssize_t ignored = write(fd, text, std::strlen(text));
  (void)ignored;
}

}  // namespace

bool StartChildProcess(const std::string& executable, ChildProcess* child, std::string* error) {
  if (access(executable.c_str(), X_OK) != 0) {
    *error = executable + " is missing or not executable";
    return false;
  }
  int ends[2];
  int memory = -1;
  if (!CreateChannel(ends, &memory, error)) return false;
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) {
    *error = std::string("no pipe: ") + std::strerror(errno);
    close(memory);
    close(ends[0]);
    close(ends[1]);
    return false;
  }
  if (!MapChannel(memory, ends[0], true, &child->channel)) {
    *error = std::string("cannot map shared memory: ") + std::strerror(errno);
    close(memory);
    close(ends[0]);
    close(ends[1]);
    close(report[0]);
    close(report[1]);
    return false;
  }
  const std::string argument = std::to_string(kChildWake) + ":" + std::to_string(kChildMemory);
  const pid_t pid = fork();
  if (pid < 0) {
    *error = std::string("cannot start a process: ") + std::strerror(errno);
    CloseChannel(child->channel);
    close(memory);
    close(ends[1]);
    close(report[0]);
    close(report[1]);
    return false;
  }
  if (pid == 0) {
    // Only async-signal-safe calls from here to exec. A process group of its
    // own, which it ends when the client is gone (OpenParentChannel) and
    // the module ends with it. The child's ends become descriptors 3 and 4,
    // the client's standard error 5, the report pipe 2: first moved above
    // them, so that none overwrites another, then put in place without
    // close-on-exec.
    setpgid(0, 0);
    const int wake = fcntl(ends[1], F_DUPFD_CLOEXEC, 10);
    const int shared = fcntl(memory, F_DUPFD_CLOEXEC, 10);
    const int stderrCopy = fcntl(2, F_DUPFD_CLOEXEC, 10);
    const int reportCopy = fcntl(report[1], F_DUPFD_CLOEXEC, 10);
    if (wake < 0 || shared < 0 || reportCopy < 0) _exit(127);
    if (dup2(wake, kChildWake) < 0 || dup2(shared, kChildMemory) < 0 ||
        (stderrCopy >= 0 && dup2(stderrCopy, kChildStandardError) < 0) ||
        dup2(reportCopy, 2) < 0) {
      _exit(127);
    }
    if (stderrCopy < 0) close(kChildStandardError);
    // Whatever else the client left open without close-on-exec stays here.
#if defined(SYS_close_range)
    if (syscall(SYS_close_range, 6u, ~0u, 0) != 0)
#endif
      for (int fd = 6; fd < 65536; ++fd) close(fd);
    const char* const arguments[] = {executable.c_str(), argument.c_str(), nullptr};
    execv(executable.c_str(), const_cast<char* const*>(arguments));
    // The number only: turning it into words may allocate, which a child
    // of a threaded process must not.
    char number[16];
    int at = static_cast<int>(sizeof number) - 1;
    number[at] = '\0';
    for (int value = errno; at > 0 && (value > 0 || at == static_cast<int>(sizeof number) - 1);
         value /= 10) {
      number[--at] = static_cast<char>('0' + value % 10);
    }
    WriteText(2, kExecFailed);
    WriteText(2, number + at);
    _exit(127);
  }
  setpgid(pid, pid);  // also here, so that the group exists whoever runs first
  close(ends[1]);
  close(memory);
  close(report[1]);
  auto ending = std::make_shared<Ending>();
  try {
    ending->collector = std::thread(Collect, ending, pid);
  } catch (const std::system_error& failure) {
    // Nothing would collect it: it goes at once (it has only just started).
    *error = std::string("cannot start a thread to collect it: ") + failure.what();
    kill(-pid, SIGKILL);
    kill(pid, SIGKILL);
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    CloseChannel(child->channel);
    close(report[0]);
    return false;
  }
  child->process = pid;
  child->id = pid;
  child->report = report[0];
  child->startError.clear();
  child->ending = ending;
  return true;
}

unsigned UsableProcessors() {
  unsigned count = 0;
#if defined(__linux__)
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0) count = static_cast<unsigned>(CPU_COUNT(&set));
  // A control group's quota (cgroup v2: "QUOTA PERIOD" or "max PERIOD" in
  // cpu.max of the process's group) caps the processors' worth of time.
  std::ifstream groups("/proc/self/cgroup");
  std::string line;
  while (std::getline(groups, line)) {
    if (line.rfind("0::", 0) != 0) continue;
    std::ifstream limit("/sys/fs/cgroup" + line.substr(3) + "/cpu.max");
    std::string quota;
    long period = 0;
    if (limit >> quota >> period && quota != "max" && period > 0) {
      const long share = std::atol(quota.c_str()) / period;
      const unsigned capped = share < 1 ? 1u : static_cast<unsigned>(share);
      if (count == 0 || capped < count) count = capped;
    }
  }
#endif
  if (count == 0) count = std::thread::hardware_concurrency();
  return count == 0 ? 1 : count;
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

namespace {

// What the child wrote to the report pipe before it ran (or nothing): the
// loader's last line, or why exec failed.
std::string ReadReport(int fd) {
  std::string text;
  char chunk[512];
  for (;;) {
    pollfd ready{fd, POLLIN, 0};
    if (poll(&ready, 1, 0) <= 0) break;
    const ssize_t got = read(fd, chunk, sizeof chunk);
    if (got <= 0 || text.size() > 4096) break;
    text.append(chunk, static_cast<std::size_t>(got));
  }
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  const std::size_t line = text.rfind('\n');
  if (line != std::string::npos) text = text.substr(line + 1);
  if (text.rfind(kExecFailed, 0) == 0) {
    const int failed = std::atoi(text.c_str() + std::strlen(kExecFailed));
    text = std::string("cannot execute it: ") + std::strerror(failed);
    // A file that exists yet is not found: its program interpreter (the
    // system's loader for its architecture) is missing.
    if (failed == ENOENT) text += " (the system's loader for its architecture is missing)";
  }
  return text;
}

// How long the module's thread waits for a child it killed to be collected.
constexpr long kCollectMs = 1000;

}  // namespace

std::string EndChildProcess(ChildProcess& child, long graceMs) {
  CloseChannel(child.channel);
  if (child.process <= 0) return "not started";
  const pid_t pid = static_cast<pid_t>(child.process);
  child.process = -1;
  const std::shared_ptr<Ending> ending = std::static_pointer_cast<Ending>(child.ending);
  child.ending.reset();
  std::unique_lock<std::mutex> lock(ending->mutex);
  const auto done = [&] { return ending->done; };
  if (!ending->changed.wait_for(lock, std::chrono::milliseconds(graceMs), done)) {
    kill(-pid, SIGKILL);
    kill(pid, SIGKILL);  // should its own group not have been made
    ending->changed.wait_for(lock, std::chrono::milliseconds(kCollectMs), done);
  }
  const bool collected = ending->done;
  const bool known = ending->known;
  const int status = ending->status;
  lock.unlock();
  if (collected) {
    ending->collector.join();
  } else {
    // It cannot die yet (a device call): collected when it does, by a
    // thread that then still runs this module's code.
    StayLoaded();
    ending->collector.detach();
  }
  if (child.report >= 0) {
    child.startError = ReadReport(static_cast<int>(child.report));
    close(static_cast<int>(child.report));
    child.report = -1;
  }
  if (!collected) return "killed, not yet gone";
  if (!known) return "ended, how is unknown";
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
  // Running: the client's standard error back in place of the report pipe
  // (or nothing, when the client had none).
  if (fcntl(kChildStandardError, F_GETFD) >= 0) {
    dup2(kChildStandardError, 2);
    close(kChildStandardError);
  } else {
    const int nothing = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (nothing >= 0) {
      dup2(nothing, 2);
      close(nothing);
    }
  }
  // This process and what its library starts end with the client process,
  // whichever of its threads started us (a parent-death signal would follow
  // that thread): when the channel's other end is gone and so is the parent,
  // the whole process group is ended.
  const pid_t parent = getppid();
  try {
    std::thread([parent] {
      pollfd hangUp{kChildWake, POLLRDHUP, 0};
      while (poll(&hangUp, 1, -1) < 0 && errno == EINTR) {
      }
      // The parent's descriptors close before it is gone: give it a moment.
      // A module that closed the channel itself stays our parent, and ends
      // us when we do not end.
      for (int look = 0; look < 400; ++look) {
        // Never the client's group: only one of our own.
        if (getppid() != parent) kill(getpgrp() == getpid() ? 0 : getpid(), SIGKILL);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
    }).detach();
  } catch (const std::system_error&) {
    return false;
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
std::size_t ReadFileStart(const std::string& file, unsigned char* bytes, std::size_t capacity) {
  // Non-blocking, and only a regular file is read: never a FIFO or device.
  const int descriptor = open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (descriptor < 0) return 0;
  struct stat status {};
  if (fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) {
    close(descriptor);
    return 0;
  }
  std::size_t got = 0;
  while (got < capacity) {
    const ssize_t count = read(descriptor, bytes + got, capacity - got);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) break;
    got += static_cast<std::size_t>(count);
  }
  close(descriptor);
  return got;
}

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
