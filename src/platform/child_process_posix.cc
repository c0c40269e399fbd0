// POSIX: the instrument host's process: its start, the watcher that collects
// it, its end, and the host's side of the channel it is given.
//
// The module forks a short-lived middle process, which starts the watcher
// (so that the watcher is not the client's child) and ends. The watcher is
// the program the module named; it forks the host, which serves the channel.
// No thread of the client waits for anything: the module reads what the
// watcher tells on a pipe, within a bounded wait, and once the module is
// unloaded nothing of its code is needed any more.
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

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/channel_posix.h"
#include "platform/shared_channel.h"

#if defined(__linux__) && !defined(SYS_pidfd_open)
#define SYS_pidfd_open 434  // the same number on every architecture
#endif

namespace vdqrn {
namespace platform {

namespace {

// Where the started program finds what it is given. Until the host serves,
// its standard error is a pipe to the module (the system's loader says there
// why it cannot run); then the client's standard error takes its place.
constexpr int kChildInput = 0;          // /dev/null
constexpr int kChildOutput = 1;         // the client's, or /dev/null
constexpr int kChildReport = 2;         // the pipe to the module
constexpr int kChildWake = 3;           // the channel's socket
constexpr int kChildMemory = 4;         // the channel's page
constexpr int kChildStandardError = 5;  // the client's, or /dev/null
constexpr int kChildClient = 6;         // the client's process descriptor, when the system has them
constexpr int kChildControl = 7;        // what the module asks the watcher
constexpr int kChildStatus = 8;         // what the watcher and the host tell the module
constexpr int kChildDescriptors = 9;

// How the child tells that exec, or what it does before serving, failed,
// before the error's number.
constexpr char kExecFailed[] = "exec failed: errno ";
constexpr char kStartFailed[] = "start failed: errno ";

// One piece of news on the status pipe, written in one go (far fewer bytes
// than a pipe writes atomically, so a read of its size takes it whole).
struct Note {
  char kind;
  char unused[3];
  std::int32_t value;
};
constexpr char kWatcherStarted = 'W';  // the watcher's process id
constexpr char kHostStarted = 'P';  // the host's process id
constexpr char kHostServes = 'S';
constexpr char kHostEnded = 'E';    // its exit code, or kSignalled + the signal
constexpr std::int32_t kSignalled = 256;
// Asked on the control pipe: end the host's process group now.
constexpr char kEndHost = 'k';

// How long the module waits for a host it ended to be collected.
constexpr long kCollectMs = 1000;

using Clock = std::chrono::steady_clock;

// Moves a descriptor of ours off 0-2, where a client that closed its
// standard descriptors would have it land: the child's 0-2 are then always
// the client's own or nothing.
int OffStandard(int fd) {
  if (fd < 0 || fd > 2) return fd;
  const int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
  close(fd);
  return moved;
}

void CloseIfOpen(int fd) {
  if (fd >= 0) close(fd);
}

// Writes a text to a descriptor with async-signal-safe calls only.
void WriteText(int fd, const char* text) {
  const ssize_t ignored = write(fd, text, std::strlen(text));
  (void)ignored;
}

// Writes `what` and the error's number: the number only, as turning it into
// words may allocate, which a child of a threaded process must not.
void ReportFailure(int fd, const char* what, int error) {
  char number[16];
  int at = static_cast<int>(sizeof number) - 1;
  number[at] = '\0';
  for (int value = error; at > 0 && (value > 0 || at == static_cast<int>(sizeof number) - 1);
       value /= 10) {
    number[--at] = static_cast<char>('0' + value % 10);
  }
  WriteText(fd, what);
  WriteText(fd, number + at);
}

void Tell(char kind, std::int32_t value) {
  const Note note{kind, {}, value};
  const ssize_t ignored = write(kChildStatus, &note, sizeof note);
  (void)ignored;
}

// A fork that runs no handler of the client's (pthread_atfork): in a child
// of a threaded process they may wait for locks no thread there will free.
pid_t PlainFork() {
#if defined(__linux__)
  return static_cast<pid_t>(syscall(SYS_clone, SIGCHLD, 0, 0, 0, 0));
#else
  return fork();
#endif
}

// In the middle process, between fork and exec: async-signal-safe calls
// only. Puts every descriptor in its place (one that lies among the places
// first moved above them all, so that none overwrites another: only those,
// as each move takes a descriptor of the client's limit), closes the rest,
// and starts the watcher in a process group of its own.
[[noreturn]] void StartWatcher(const int (&sources)[kChildDescriptors], const char* executable,
                               char* const* arguments) {
  int lifted[kChildDescriptors];
  for (int place = 0; place < kChildDescriptors; ++place) {
    lifted[place] = sources[place] < 0 || sources[place] >= kChildDescriptors
                        ? sources[place]
                        : fcntl(sources[place], F_DUPFD_CLOEXEC, kChildDescriptors);
    if (sources[place] >= 0 && lifted[place] < 0) {
      ReportFailure(sources[kChildReport], kStartFailed, errno);
      _exit(127);
    }
  }
  for (int place = 0; place < kChildDescriptors; ++place) {
    if (lifted[place] < 0) {
      close(place);
    } else if (dup2(lifted[place], place) < 0) {
      _exit(127);
    }
  }
#if defined(SYS_close_range)
  if (syscall(SYS_close_range, static_cast<unsigned>(kChildDescriptors), ~0u, 0) != 0)
#endif
    for (int fd = kChildDescriptors; fd < 65536; ++fd) close(fd);
  const pid_t watcher = PlainFork();
  if (watcher > 0) Tell(kWatcherStarted, static_cast<std::int32_t>(watcher));
  if (watcher != 0) _exit(watcher < 0 ? 127 : 0);
  setpgid(0, 0);
  execv(executable, arguments);
  ReportFailure(kChildReport, kExecFailed, errno);
  _exit(127);
}

// When a process started, in the system's clock ticks since boot (the 22nd
// field of /proc/PID/stat): with its id, it names that process and no later
// one with the same id. Empty where it cannot be read, and for a process
// that has ended but is not yet collected (a zombie).
std::string ProcessStartTime(pid_t process) {
#if defined(__linux__)
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%ld/stat", static_cast<long>(process));
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::string();
  char text[1024];
  const ssize_t got = read(fd, text, sizeof text - 1);
  close(fd);
  if (got <= 0) return std::string();
  text[got] = '\0';
  // After the name in parentheses (which may hold anything): the state is
  // field 3, the start time field 22.
  const char* at = std::strrchr(text, ')');
  if (at == nullptr || at[1] != ' ' || at[2] == 'Z' || at[2] == 'X') return std::string();
  for (int field = 2; at != nullptr && field < 22; ++field) at = std::strchr(at + 1, ' ');
  if (at == nullptr) return std::string();
  return std::string(at + 1, std::strcspn(at + 1, " "));
#else
  (void)process;
  return std::string();
#endif
}

// Reads one note from the status pipe, waiting at most until `deadline`.
// 1: a note; 0: the pipe ended (every writer is gone); -1: the time is up.
int ReadNote(int fd, Clock::time_point deadline, Note* note) {
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    pollfd ready{fd, POLLIN, 0};
    const int polled = poll(&ready, 1, left > 0 ? static_cast<int>(left) : 0);
    if (polled < 0 && errno == EINTR) continue;
    if (polled <= 0) return -1;
    const ssize_t got = read(fd, note, sizeof *note);
    if (got < 0 && errno == EINTR) continue;
    if (got == static_cast<ssize_t>(sizeof *note)) return 1;
    return 0;  // ended, or a torn note no watcher of ours writes
  }
}

std::string HowItEnded(std::int32_t value) {
  if (value >= kSignalled) return "signal " + std::to_string(value - kSignalled);
  return "exit code " + std::to_string(value);
}

// Takes the notes until the one that says how the host ended, the end of
// the pipe, or the deadline. True once it is known to have ended.
bool AwaitEnd(ChildProcess& child, Clock::time_point deadline, std::string* how) {
  Note note{};
  for (;;) {
    const int read = ReadNote(static_cast<int>(child.status), deadline, &note);
    if (read < 0) return false;
    if (read == 0) {
      *how = "ended, how is unknown";
      return true;
    }
    if (note.kind == kWatcherStarted) child.watcher = note.value;
    if (note.kind == kHostEnded) {
      *how = HowItEnded(note.value);
      return true;
    }
  }
}

void Ask(ChildProcess& child, char request) {
  if (child.control < 0) return;
  ssize_t sent;
  do {
    sent = write(static_cast<int>(child.control), &request, 1);
  } while (sent < 0 && errno == EINTR);
}

// A watcher that ended is collected by whoever adopted it when the middle
// process ended: the system's init, or the nearest subreaper, which may be
// this very process (a client that is its container's first process). Then
// it is collected here, at once (it ends right after its last note); a
// watcher that is not our child is left alone.
void CollectWatcher(ChildProcess& child) {
  const pid_t watcher = static_cast<pid_t>(child.watcher);
  child.watcher = 0;
  if (watcher <= 0) return;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(100);
  for (;;) {
    siginfo_t info{};
    if (waitid(P_PID, static_cast<id_t>(watcher), &info, WEXITED | WNOHANG) != 0) {
      if (errno == EINTR) continue;
      return;  // not ours (or already collected)
    }
    if (info.si_pid == watcher || Clock::now() >= deadline) return;
    pollfd none{-1, 0, 0};
    poll(&none, 0, 1);
  }
}

void ClosePipes(ChildProcess& child) {
  for (std::intptr_t* fd : {&child.report, &child.status, &child.control}) {
    CloseIfOpen(static_cast<int>(*fd));
    *fd = -1;
  }
}

// Adds what a starting child wrote to what is kept of it: a child that never
// stops talking, however slowly, leaves its last 16 KiB (whole lines, unless
// one line is longer), which are what tell.
void KeepReport(std::string* text, const char* bytes, std::size_t count) {
  constexpr std::size_t kKept = 16384;
  text->append(bytes, count);
  if (text->size() <= kKept) return;
  text->erase(0, text->size() - kKept);
  const std::size_t line = text->find('\n');
  if (line != std::string::npos && line + 1 < text->size()) text->erase(0, line + 1);
}

// What the child wrote to its standard error (the report pipe), as far as
// it can be read without waiting.
void ReadReport(int fd, std::string* text) {
  char chunk[4096];
  for (;;) {
    pollfd ready{fd, POLLIN, 0};
    if (poll(&ready, 1, 0) <= 0) return;
    const ssize_t got = read(fd, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return;
    KeepReport(text, chunk, static_cast<std::size_t>(got));
  }
}

// Why a child that never served cannot run, from what it wrote: the last
// line (the loader's, or how exec failed).
std::string Reason(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  const std::size_t line = text.rfind('\n');
  if (line != std::string::npos) text = text.substr(line + 1);
  const bool execFailed = text.rfind(kExecFailed, 0) == 0;
  if (execFailed || text.rfind(kStartFailed, 0) == 0) {
    const int failed =
        std::atoi(text.c_str() + std::strlen(execFailed ? kExecFailed : kStartFailed));
    text = std::string(execFailed ? "cannot execute it: " : "it could not start: ") +
           std::strerror(failed);
    // A file that exists yet is not found: its program interpreter (the
    // system's loader for its architecture) is missing.
    if (execFailed && failed == ENOENT) {
      text += " (the system's loader for its architecture is missing)";
    }
    if (failed == EMFILE) {
      text += " (the client's limit of open descriptors, RLIMIT_NOFILE, is reached)";
    }
  }
  return text;
}

}  // namespace

bool StartChildProcess(const std::string& executable, ChildProcess* child, std::string* error) {
  if (access(executable.c_str(), X_OK) != 0) {
    *error = executable + " is missing or not executable";
    return false;
  }
  int ends[2] = {-1, -1};
  int memory = -1;
  if (!CreateChannel(ends, &memory, error)) return false;
  int report[2] = {-1, -1};
  int status[2] = {-1, -1};
  int control[2] = {-1, -1};
  const bool piped =
      pipe2(report, O_CLOEXEC) == 0 && pipe2(status, O_CLOEXEC) == 0 && pipe2(control, O_CLOEXEC) == 0;
  const int null = OffStandard(open("/dev/null", O_RDWR | O_CLOEXEC));
  // The client itself, for the watcher to follow (closed on exec).
#if defined(__linux__)
  const int client = OffStandard(static_cast<int>(syscall(SYS_pidfd_open, getpid(), 0)));
#else
  const int client = -1;
#endif
  int* const ours[] = {&ends[0], &ends[1], &memory, &report[0], &report[1],
                       &status[0], &status[1], &control[0], &control[1]};
  bool lifted = true;
  for (int* fd : ours) {
    *fd = OffStandard(*fd);
    lifted = lifted && *fd >= 0;
  }
  const auto closeAll = [&] {
    for (int* fd : ours) CloseIfOpen(*fd);
    CloseIfOpen(null);
    CloseIfOpen(client);
  };
  if (!piped || !lifted || null < 0) {
    const int failed = errno;
    *error = std::string("no pipe: ") + std::strerror(failed) +
             (failed == EMFILE
                  ? " (the client's limit of open descriptors, RLIMIT_NOFILE, is reached)"
                  : "");
    closeAll();
    return false;
  }
  if (!MapChannel(memory, ends[0], true, &child->channel)) {
    *error = std::string("cannot map shared memory: ") + std::strerror(errno);
    closeAll();
    return false;
  }
  // The client's id and start time follow, for a watcher on a kernel
  // without process descriptors.
  std::string argument = std::to_string(kChildWake) + ":" + std::to_string(kChildMemory) + ":" +
                         std::to_string(getpid()) + ":" + ProcessStartTime(getpid());
  std::string program = executable;
  char* const arguments[] = {&program[0], &argument[0], nullptr};
  // None of ours sits at 0-2: what is there is the client's own.
  const int output = fcntl(1, F_GETFD) >= 0 ? 1 : null;
  const int standardError = fcntl(2, F_GETFD) >= 0 ? 2 : null;
  const int sources[kChildDescriptors] = {null,   output, report[1],  ends[1],  memory,
                                          standardError, client, control[0], status[1]};
  static_assert(kChildInput == 0 && kChildOutput == 1 && kChildStatus == kChildDescriptors - 1,
                "the places in order");
  const pid_t middle = fork();
  if (middle == 0) StartWatcher(sources, program.c_str(), arguments);
  for (int fd : {ends[1], memory, report[1], status[1], control[0], null, client}) CloseIfOpen(fd);
  if (middle < 0) {
    *error = std::string("cannot start a process: ") + std::strerror(errno);
    CloseChannel(child->channel);
    for (int fd : {report[0], status[0], control[1]}) close(fd);
    return false;
  }
  // It ends at once. (A client that ignores SIGCHLD has the system collect
  // it; the wait then ends with ECHILD.)
  while (waitpid(middle, nullptr, 0) < 0 && errno == EINTR) {
  }
  child->process = middle;
  child->id = 0;
  child->report = report[0];
  child->status = status[0];
  child->control = control[1];
  child->owner = static_cast<long>(getpid());
  child->serving = false;
  child->watcher = 0;
  child->warning.clear();
  return true;
}

bool AwaitChildServing(ChildProcess& child, long timeoutMs, std::string* said, std::string* error) {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  said->clear();
  std::string ended;
  bool reportOpen = child.report >= 0;
  bool timedOut = false;
  while (ended.empty() && !(child.serving && child.id > 0)) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) {
      timedOut = true;
      break;
    }
    pollfd ready[2] = {{static_cast<int>(child.status), POLLIN, 0},
                       {reportOpen ? static_cast<int>(child.report) : -1, POLLIN, 0}};
    const int polled = poll(ready, 2, static_cast<int>(left));
    if (polled < 0 && errno != EINTR) break;
    if (polled <= 0) continue;
    if (ready[1].revents != 0) {
      char chunk[4096];
      const ssize_t got = read(static_cast<int>(child.report), chunk, sizeof chunk);
      if (got == 0) reportOpen = false;  // every writer has closed it
      if (got > 0) KeepReport(said, chunk, static_cast<std::size_t>(got));
      ReadReport(static_cast<int>(child.report), said);
    }
    if (ready[0].revents != 0) {
      Note note{};
      const int read = ReadNote(static_cast<int>(child.status), Clock::now(), &note);
      if (read == 0) ended = "ended, how is unknown";
      if (read == 1 && note.kind == kWatcherStarted) child.watcher = note.value;
      if (read == 1 && note.kind == kHostStarted && note.value > 0) {
        child.id = note.value;
        child.process = note.value;
      }
      if (read == 1 && note.kind == kHostServes) child.serving = true;
      if (read == 1 && note.kind == kHostEnded) ended = HowItEnded(note.value);
    }
  }
  // What the loader wrote just before the host served or ended.
  if (child.report >= 0) ReadReport(static_cast<int>(child.report), said);
  if (ended.empty() && child.serving && child.id > 0) {
    CloseIfOpen(static_cast<int>(child.report));
    child.report = -1;
    return true;
  }
  std::string reason = Reason(*said);
  if (timedOut) {
    reason = "it did not start within " + std::to_string(timeoutMs) + " ms";
  } else if (reason.empty()) {
    reason = "it ended before it served";
  }
  if (ended.empty()) {
    ended = EndChildProcess(child, 0);
  } else {
    CollectWatcher(child);
  }
  ClosePipes(child);
  CloseChannel(child.channel);
  child.process = -1;
  *error = reason + "; " + ended;
  return false;
}

bool EndedByAbort(const std::string& ended) { return ended == HowItEnded(kSignalled + SIGABRT); }

bool EndedFromOutside(const std::string& ended) {
  for (const int signal : {SIGKILL, SIGTERM, SIGINT, SIGHUP}) {
    if (ended == HowItEnded(kSignalled + signal)) return true;
  }
  return false;
}

bool StartedByThisProcess(const ChildProcess& child) {
  return child.owner == static_cast<long>(getpid());
}

std::string EndChildProcess(ChildProcess& child, long graceMs) {
  if (!StartedByThisProcess(child)) {
    // A forked copy of the client: its copies go, the channel stays open for
    // the process that started the host.
    CloseChannel(child.channel);
    ClosePipes(child);
    child.process = -1;
    return "left to the process that started it";
  }
  // Every copy of our socket (a forked helper's too) ends with this: the
  // host sees the module go.
  if (child.channel.wake >= 0) shutdown(static_cast<int>(child.channel.wake), SHUT_RDWR);
  CloseChannel(child.channel);
  if (child.process <= 0 || child.status < 0) {
    ClosePipes(child);
    return "not started";
  }
  child.process = -1;
  std::string how;
  bool collected = AwaitEnd(child, Clock::now() + std::chrono::milliseconds(graceMs), &how);
  if (!collected) {
    // The watcher ends the host's process group while the host's id is
    // still held, and collects it when it dies.
    Ask(child, kEndHost);
    collected = AwaitEnd(child, Clock::now() + std::chrono::milliseconds(kCollectMs), &how);
  }
  if (collected) CollectWatcher(child);
  ClosePipes(child);
  return collected ? how : "killed, not yet gone";
}

namespace {

int g_childEnded = -1;  // the watcher's own pipe, written when a child ends

void NoteChildEnded(int) {
  const int saved = errno;
  const char bell = 1;
  const ssize_t ignored = write(g_childEnded, &bell, 1);
  (void)ignored;
  errno = saved;
}

// Ends the host's process group, and the host should its group not be made
// yet. Only called while the host is not collected: its id, and its group's,
// cannot belong to anyone else.
void EndGroup(pid_t host) {
  kill(-host, SIGKILL);
  kill(host, SIGKILL);
}

// The watcher: collects the host the moment it ends, ends what its library
// left running in its group, and tells the module how it ended; ends the
// host when the module asks, or when the client process is gone (its
// process descriptor ends; without one, the control pipe, which every copy
// of the client holds).
//
// Without a process descriptor (a kernel before 5.3) the control pipe alone
// would outlive the client in a forked helper that holds a copy: there the
// watcher also looks, once a second, whether the client (its id and start
// time, as the module passed them) still runs.
[[noreturn]] void Watch(pid_t host, int wakeups, bool clientOpen, pid_t client,
                        const std::string& clientStart) {
  bool controlOpen = true;
  bool clientRuns = true;
  for (;;) {
    if (!clientOpen && clientRuns && client > 0 && !clientStart.empty() &&
        ProcessStartTime(client) != clientStart) {
      EndGroup(host);  // the client is gone
      clientRuns = false;
    }
    // Looked at without collecting it: until then its id stays the host's.
    siginfo_t info{};
    if (waitid(P_PID, static_cast<id_t>(host), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
        info.si_pid == host) {
      EndGroup(host);
      siginfo_t done{};
      while (waitid(P_PID, static_cast<id_t>(host), &done, WEXITED) < 0 && errno == EINTR) {
      }
      Tell(kHostEnded, done.si_code == CLD_EXITED ? done.si_status : kSignalled + done.si_status);
      _exit(0);
    }
    pollfd ready[3] = {{wakeups, POLLIN, 0},
                       {clientOpen ? kChildClient : -1, POLLIN, 0},
                       {controlOpen ? kChildControl : -1, POLLIN, 0}};
    // The signal is what wakes it; the timeout only makes sure.
    if (poll(ready, 3, 1000) <= 0) continue;
    char bytes[64];
    if (ready[0].revents != 0) {
      while (read(wakeups, bytes, sizeof bytes) > 0) {
      }
    }
    if (ready[1].revents != 0) {
      EndGroup(host);  // the client is gone
      clientOpen = false;
    }
    if (ready[2].revents != 0) {
      const ssize_t got = read(kChildControl, bytes, sizeof bytes);
      if (got == 0 || (got < 0 && errno != EINTR && errno != EAGAIN)) {
        EndGroup(host);  // every copy of the client let go
        controlOpen = false;
      }
      for (ssize_t at = 0; at < got; ++at) {
        if (bytes[at] == kEndHost) EndGroup(host);
      }
    }
  }
}

}  // namespace

bool OpenParentChannel(const char* argument, ChannelEnd* end) {
  const std::string expected = std::to_string(kChildWake) + ":" + std::to_string(kChildMemory);
  // "3:4", then the client's id and start time.
  if (argument == nullptr || std::strncmp(argument, expected.c_str(), expected.size()) != 0 ||
      (argument[expected.size()] != '\0' && argument[expected.size()] != ':')) {
    return false;
  }
  pid_t client = 0;
  std::string clientStart;
  if (argument[expected.size()] == ':') {
    const char* rest = argument + expected.size() + 1;
    client = static_cast<pid_t>(std::atol(rest));
    const char* colon = std::strchr(rest, ':');
    if (colon != nullptr) clientStart = colon + 1;
  }
  struct stat status {};
  if (fstat(kChildWake, &status) != 0 || !S_ISSOCK(status.st_mode)) return false;
  if (fstat(kChildMemory, &status) != 0 || !S_ISREG(status.st_mode) ||
      static_cast<std::size_t>(status.st_size) != detail::kChannelPageBytes) {
    return false;
  }
  if (fcntl(kChildStatus, F_GETFD) < 0 || fcntl(kChildControl, F_GETFD) < 0) return false;
  // Nothing of ours goes to a process the library starts.
  for (int fd = kChildWake; fd < kChildDescriptors; ++fd) fcntl(fd, F_SETFD, FD_CLOEXEC);
  // Signals as a fresh process has them: the client's thread that started
  // us may have blocked some (SIGCHLD among them), which exec keeps.
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  // Whether the module passed the client's process descriptor, asked before
  // any descriptor of the watcher's own may take that free place.
  const bool clientOpen = fcntl(kChildClient, F_GETFD) >= 0;
  int wakeups[2];
  if (pipe2(wakeups, O_CLOEXEC | O_NONBLOCK) != 0) {
    ReportFailure(kChildReport, kStartFailed, errno);  // the module reads why
    return false;
  }
  g_childEnded = wakeups[1];
  // Installed before the host exists, so that no end goes unseen; this also
  // undoes a SIGCHLD the client ignored, which would hide how the host ended.
  struct sigaction ended {};
  ended.sa_handler = NoteChildEnded;
  ended.sa_flags = SA_RESTART | SA_NOCLDSTOP;
  sigemptyset(&ended.sa_mask);
  struct sigaction previous {};
  if (sigaction(SIGCHLD, &ended, &previous) != 0) return false;
  // A process group of its own is a background one to the client's
  // terminal: a library that writes to it (with tostop set) or changes its
  // modes would be stopped by SIGTTOU, and one that reads from it by SIGTTIN,
  // until the time limit ended it. Job control never stops the host: writes
  // and mode changes go through, reads fail (EIO). Kept by the host's fork.
  signal(SIGTTOU, SIG_IGN);
  signal(SIGTTIN, SIG_IGN);
  signal(SIGTSTP, SIG_IGN);
  const pid_t watcher = getpid();
  const pid_t host = fork();
  if (host < 0) return false;
  if (host == 0) {
    // The host: SIGCHLD as a library expects it, a group of its own, and an
    // end with the watcher (a single thread, so its death is the process's).
    struct sigaction plain {};
    plain.sa_handler = SIG_DFL;
    sigemptyset(&plain.sa_mask);
    sigaction(SIGCHLD, &plain, nullptr);
    close(wakeups[0]);
    close(wakeups[1]);
    close(kChildControl);
    close(kChildClient);
    setpgid(0, 0);
#if defined(__linux__)
    prctl(PR_SET_PDEATHSIG, SIGKILL);
#endif
    if (getppid() != watcher) _exit(0);
    const bool mapped = MapChannel(kChildMemory, kChildWake, false, end);
    close(kChildMemory);
    if (mapped) Tell(kHostServes, 0);
    close(kChildStatus);
    // Serving: the client's standard error in place of the report pipe.
    dup2(kChildStandardError, 2);
    close(kChildStandardError);
    return mapped;
  }
  setpgid(host, host);  // also here, so that the group exists whoever runs first
  close(kChildWake);
  close(kChildMemory);
  dup2(kChildStandardError, 2);
  close(kChildStandardError);
  // A module that is gone takes the status pipe with it: a note then fails
  // quietly instead of ending the watcher before it collected the host.
  signal(SIGPIPE, SIG_IGN);
  Tell(kHostStarted, static_cast<std::int32_t>(host));
  Watch(host, wakeups[0], clientOpen, client, clientStart);
}

}  // namespace platform
}  // namespace vdqrn
