// A client process around the module, for the tests of what such a process
// may do to the instrument host (host_process_test.cc): loads the module
// through the engine simulator and takes the steps its arguments name, in
// order, then returns from main (its statics, the module's among them, are
// destroyed as at any exit). Answers and notes go, a line each, to the file
// $VDQRN_CLIENT_ANSWERS.
//   load=PATH        loads the module file (the engine's Load and Open)
//   load-memfd=PATH  the same from a memfd holding a copy of the file
//   cmd=TEXT         a command on the data channel; its answer is written
//   close=N          closes descriptor N
//   ignore-sigchld   sets SIGCHLD to SIG_IGN
//   subreaper        adopts the orphans of its descendants (as a container's
//                    first process does)
//   fork-exit        forks a child that calls exit(0), and waits for it
//   fork-cmd=TEXT    forks a child that sends a command (its answer is
//                    written), then calls _exit(0); waits for it
//   fork-helper=MS   forks a child that sleeps, then _exit(0); notes its id
//   unload           the engine's unload, then dlclose
//   mark=PATH        creates a file;  await=PATH  waits for one
//   sleep=MS;  kill-self (SIGKILL);  quick-exit (_exit(0))
//   exit-after=MS    a thread that calls exit(0) after MS, whatever the
//                    steps after this one are doing then
//   no-pidfd         pidfd_open fails with ENOSYS from now on, in this process
//                    and every process it starts (a seccomp filter), as on a
//                    kernel older than 5.3
// With $VDQRN_CLIENT_STRANGERS set (in a pid namespace of its own), every
// group kill this process sends to a group whose leader is gone first has a
// stranger take that number, and notes "stranger killed" when it hits one.
#include <fcntl.h>
#include <errno.h>
#include <signal.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <stddef.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "engine_sim.h"

namespace {

void Note(const std::string& line) {
  const char* path = std::getenv("VDQRN_CLIENT_ANSWERS");
  if (path == nullptr) return;
  std::ofstream(path, std::ios::app) << line << "\n";
}

bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

// A process group leader of our own that takes the number `id`, in a pid
// namespace where this process may set the next number.
pid_t StrangerAt(pid_t id) {
  std::ofstream("/proc/sys/kernel/ns_last_pid") << id - 1;
  const pid_t stranger = fork();
  if (stranger == 0) {
    setpgid(0, 0);
    pause();
    _exit(0);
  }
  if (stranger > 0) setpgid(stranger, stranger);
  return stranger;
}

// A seccomp filter under which pidfd_open answers ENOSYS and every other
// call runs.
bool RefusePidfdOpen() {
#if !defined(SYS_pidfd_open)
  constexpr unsigned kPidfdOpen = 434;  // the same number on every architecture
#else
  constexpr unsigned kPidfdOpen = SYS_pidfd_open;
#endif
  sock_filter program[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kPidfdOpen, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (ENOSYS & SECCOMP_RET_DATA)),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  sock_fprog filter{static_cast<unsigned short>(sizeof program / sizeof program[0]), program};
  return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter) == 0 &&
         syscall(kPidfdOpen, getpid(), 0) < 0 && errno == ENOSYS;
}

}  // namespace

// Every kill the module sends goes through here.
extern "C" __attribute__((visibility("default"))) int kill(pid_t pid, int signal) {
  pid_t stranger = 0;
  if (pid < -1 && std::getenv("VDQRN_CLIENT_STRANGERS") != nullptr &&
      syscall(SYS_kill, -pid, 0) != 0 && errno == ESRCH) {
    stranger = StrangerAt(-pid);
  }
  const int result = static_cast<int>(syscall(SYS_kill, pid, signal));
  if (stranger > 0) {
    int status = 0;
    syscall(SYS_kill, stranger, SIGTERM);
    waitpid(stranger, &status, 0);
    if (stranger == -pid && WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) {
      Note("stranger killed");
    }
  }
  return result;
}

int main(int argc, char** argv) {
  engine_sim::Engine engine;
  for (int at = 1; at < argc; ++at) {
    const std::string step = argv[at];
    const std::size_t equals = step.find('=');
    const std::string name = step.substr(0, equals);
    const std::string value = equals == std::string::npos ? std::string() : step.substr(equals + 1);
    if (name == "load" || name == "load-memfd") {
      std::string path = value;
      if (name == "load-memfd") {
        const int memory = static_cast<int>(syscall(SYS_memfd_create, "vdqrn-module", 0));
        std::ifstream file(value, std::ios::binary);
        std::ostringstream bytes;
        bytes << file.rdbuf();
        const std::string copy = bytes.str();
        if (memory < 0 || write(memory, copy.data(), copy.size()) != static_cast<ssize_t>(copy.size())) {
          Note("no memfd");
          return 3;
        }
        path = "/proc/self/fd/" + std::to_string(memory);
      }
      if (!engine.LoadModule(path) || engine.Open() != 0) {
        Note("load failed: " + engine.LastError());
        return 3;
      }
    } else if (name == "cmd") {
      engine.ClearSent();
      engine.Write(engine_sim::kDataChannelName, value);
      engine.Poll();
      Note(engine.Sent().size() == 1 ? engine.Sent()[0].bytes : "(no answer)");
    } else if (name == "close") {
      close(std::atoi(value.c_str()));
    } else if (name == "subreaper") {
      prctl(PR_SET_CHILD_SUBREAPER, 1);
    } else if (name == "ignore-sigchld") {
      signal(SIGCHLD, SIG_IGN);
    } else if (name == "fork-exit") {
      const pid_t child = fork();
      if (child == 0) std::exit(0);
      while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
      }
    } else if (name == "fork-cmd") {
      const pid_t child = fork();
      if (child == 0) {
        engine.ClearSent();
        engine.Write(engine_sim::kDataChannelName, value);
        engine.Poll();
        Note("child: " + (engine.Sent().size() == 1 ? engine.Sent()[0].bytes : "(no answer)"));
        _exit(0);
      }
      while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
      }
    } else if (name == "fork-helper") {
      const pid_t helper = fork();
      if (helper == 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(std::atol(value.c_str())));
        _exit(0);
      }
      Note("helper " + std::to_string(helper));
    } else if (name == "unload") {
      engine.Unload();
    } else if (name == "mark") {
      std::ofstream(value) << "\n";
    } else if (name == "await") {
      for (int look = 0; look < 3000 && !Exists(value); ++look) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
    } else if (name == "sleep") {
      std::this_thread::sleep_for(std::chrono::milliseconds(std::atol(value.c_str())));
    } else if (name == "kill-self") {
      raise(SIGKILL);
    } else if (name == "no-pidfd") {
      if (!RefusePidfdOpen()) {
        Note("no seccomp filter");
        return 4;
      }
    } else if (name == "exit-after") {
      const long delay = std::atol(value.c_str());
      std::thread([delay] {
        std::this_thread::sleep_for(std::chrono::milliseconds(delay));
        std::exit(0);
      }).detach();
    } else if (name == "quick-exit") {
      _exit(0);
    } else {
      Note("unknown step " + step);
      return 2;
    }
  }
  return 0;
}
