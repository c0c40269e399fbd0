// POSIX: the instrument host's process: its start, its end, and the host's
// side of the channel it is given.
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

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#include "platform/channel_posix.h"
#include "platform/shared_channel.h"

namespace vdqrn {
namespace platform {

namespace {

// The descriptors a host finds its channel at.
constexpr int kChildWake = 3;
constexpr int kChildMemory = 4;

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

}  // namespace platform
}  // namespace vdqrn
