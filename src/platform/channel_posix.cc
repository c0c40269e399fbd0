// POSIX: the operating system's half of the shared channel (shared_channel.cc):
// the socket pair and sealed shared page, the wake, and the processors a
// side may watch on.
#include <poll.h>
#include <sched.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

#include "platform/channel_posix.h"
#include "platform/shared_channel.h"

namespace vdqrn {
namespace platform {

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

// The fourth field of /proc/loadavg counts the threads running or ready to
// run this moment (the one asking among them), across the machine.
bool ProcessorsBusy() {
#if defined(__linux__)
  const int loads = open("/proc/loadavg", O_RDONLY | O_CLOEXEC);
  if (loads < 0) return false;
  char text[128];
  const ssize_t got = read(loads, text, sizeof text - 1);
  close(loads);
  if (got <= 0) return false;
  text[got] = '\0';
  int running = 0;
  int threads = 0;
  if (std::sscanf(text, "%*s %*s %*s %d/%d", &running, &threads) != 2) return false;
  static const long processors = sysconf(_SC_NPROCESSORS_ONLN);
  return processors > 0 && running > processors;
#else
  return false;
#endif
}

long long InvoluntarySwitches() {
#if defined(RUSAGE_THREAD)
  struct rusage usage;
  if (getrusage(RUSAGE_THREAD, &usage) != 0) return -1;
  return usage.ru_nivcsw;
#else
  return -1;
#endif
}

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

}  // namespace platform
}  // namespace vdqrn
