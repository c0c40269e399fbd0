// Start-up and clean-up code that misbehaves, for the startupspectro test
// library (the recording library with this beside it): what the variable
// VDQRN_STARTUP_FAULT names happens as the system loads the library
// ("abort", "crash", "hang", "slow=MS"; Windows also "fail", a DllMain that
// returns FALSE; POSIX also "terminal", which writes a line to the process's
// terminal and sets its modes again) or unloads it ("cleanup-abort", "cleanup-hang"). POSIX runs
// it in the library's constructor and destructor, Windows in its DllMain,
// under the loader's lock. Each start-up first appends the process's id to
// the file VDQRN_STARTUP_JOURNAL names, if any: a test tells a trial load in
// an instrument host from a load in its own process.
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>
#endif

namespace {

// The system's environment (on Windows, not a C runtime's copy).
std::string Variable(const char* name) {
#if defined(_WIN32)
  char value[1024];
  const DWORD length = GetEnvironmentVariableA(name, value, sizeof value);
  return length > 0 && length < sizeof value ? std::string(value, length) : std::string();
#else
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
#endif
}

std::string Fault() { return Variable("VDQRN_STARTUP_FAULT"); }

void NoteStartUp() {
  const std::string journal = Variable("VDQRN_STARTUP_JOURNAL");
  if (journal.empty()) return;
#if defined(_WIN32)
  const unsigned long id = GetCurrentProcessId();
#else
  const unsigned long id = static_cast<unsigned long>(getpid());
#endif
  std::ofstream(journal, std::ios::app) << id << '\n';
}

[[noreturn]] void Hang() {
  for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}

}  // namespace

// False when the load is to fail (Windows: DllMain's answer).
bool RecordingStartupFault(bool loading) {
  const std::string fault = Fault();
  if (loading) {
    NoteStartUp();
    if (fault == "abort") std::abort();
    if (fault == "crash") {
#if defined(_WIN32)
      volatile std::uintptr_t nowhere = 0;  // an access violation
      *reinterpret_cast<volatile int*>(nowhere) = 7;
#else
      raise(SIGSEGV);  // as a crash ends it, without code a sanitizer stops at
#endif
    }
    if (fault == "hang") Hang();
#if !defined(_WIN32)
    if (fault == "terminal") {
      const int terminal = open("/dev/tty", O_RDWR | O_CLOEXEC);
      if (terminal >= 0) {
        termios modes {};
        if (tcgetattr(terminal, &modes) == 0) tcsetattr(terminal, TCSANOW, &modes);
        const char line[] = "startupspectro was here\n";
        if (write(terminal, line, sizeof line - 1) < 0) std::abort();
        close(terminal);
      }
    }
#endif
    if (fault.compare(0, 5, "slow=") == 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(std::atol(fault.c_str() + 5)));
    }
    return fault != "fail";
  }
  if (fault == "cleanup-abort") std::abort();
  if (fault == "cleanup-hang") Hang();
  return true;
}

#if !defined(_WIN32)
__attribute__((constructor)) static void RecordingStartup() { RecordingStartupFault(true); }
__attribute__((destructor)) static void RecordingCleanup() { RecordingStartupFault(false); }
#endif
