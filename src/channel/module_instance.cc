// What exists only in the loaded module: the one VirtualChannelICA, built when
// the module is loaded (its constructor writes the log's first line) and
// destroyed when it is unloaded, and the DLL entry point.
#include "channel/engine_entry.h"
#include "channel/virtual_channel_ica.h"
#include "diagnostics/log.h"
#include "instrument/spectro.h"
#include "platform/cxx_runtime_release.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace vdqrn {

namespace {

// Declared first: released after every other static of this file.
[[maybe_unused]] const platform::CxxRuntimeRelease g_cxxRuntimeRelease;

// The one VirtualChannelICA, as the only member of a union, which destroys
// it only when told: the process's end can leave it as it is.
class ModuleChannel {
 public:
  ModuleChannel() : channel_() {}
  ~ModuleChannel();
  ModuleChannel(const ModuleChannel&) = delete;
  ModuleChannel& operator=(const ModuleChannel&) = delete;
  VirtualChannelICA& Get() { return channel_; }

 private:
  union {
    VirtualChannelICA channel_;
  };
};

ModuleChannel::~ModuleChannel() {
#if !defined(_WIN32)
  // Statics destroyed without the engine's unload: the process is ending,
  // by exit() on any thread, while the engine's thread may still be inside
  // a command (waiting for the instrument host, or in the library). Nothing
  // it may still use is freed, unmapped or closed: hosts and libraries are
  // left to end with the process (Windows: the detach's flag says the same,
  // and the system has stopped every other thread by then).
  if (!EngineCalledUnload()) {
    Spectro::LeaveLibrariesToTheSystem();
    if (Get().IsExecuting()) {
      diagnostics::LogTimestamped(
          "Process ending during a command: the driver is left to the system");
      return;
    }
  }
#endif
  channel_.~VirtualChannelICA();
}

ModuleChannel g_virtualChannel;

}  // namespace

VirtualChannelICA& GetVirtualChannel() { return g_virtualChannel.Get(); }

// VDQRN_WINDOWS_ENGINE builds, on Linux, a module with the Windows engine's
// contract, which only tests and benchmarks load.
EngineKind TargetEngine() {
#if defined(_WIN32) || defined(VDQRN_WINDOWS_ENGINE)
  return EngineKind::kWindows;
#else
  return EngineKind::kLinux;
#endif
}

}  // namespace vdqrn

#if defined(_WIN32)
// The module starts no threads and has no use for thread notifications.
// When the process is ending (not a FreeLibrary of the module), the detach
// runs under the loader lock before this file's statics are destroyed:
// freeing a library or waiting for the host there may deadlock, and the
// system ends both anyway, so they are left to it.
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(instance);
  if (reason == DLL_PROCESS_DETACH && reserved != nullptr) {
    vdqrn::Spectro::LeaveLibrariesToTheSystem();
  }
  return TRUE;
}
#endif
