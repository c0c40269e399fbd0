// What exists only in the loaded module: the one request handler, built when
// the module is loaded (its constructor writes the log's first line) and
// destroyed when it is unloaded, and the DLL entry point.
#include "channel/engine_entry.h"
#include "channel/virtual_channel_ica.h"

#if defined(_WIN32)
#include <windows.h>
#endif

#if defined(VDQRN_OWN_CXX_RUNTIME)
namespace __gnu_cxx {
void __freeres();
}
#endif

namespace {

#if defined(VDQRN_OWN_CXX_RUNTIME)
// The module's own copy of the C++ runtime keeps a reserve for exceptions
// thrown when memory runs out, which it never gives back: without this, each
// load and unload of the module would leak it. Declared before the request
// handler, so destroyed after it, when the module throws nothing any more.
struct CxxRuntimeRelease {
  ~CxxRuntimeRelease() { __gnu_cxx::__freeres(); }
} g_cxxRuntimeRelease;
#endif

VirtualChannelICA g_virtualChannel;

}  // namespace

VirtualChannelICA& GetVirtualChannel() { return g_virtualChannel; }

// VDQRN_WINDOWS_ENGINE builds, on Linux, a module with the Windows engine's
// contract, which only tests and benchmarks load.
EngineKind TargetEngine() {
#if defined(_WIN32) || defined(VDQRN_WINDOWS_ENGINE)
  return EngineKind::kWindows;
#else
  return EngineKind::kLinux;
#endif
}

#if defined(_WIN32)
// The module starts no threads and has no use for thread notifications.
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID /*reserved*/) {
  if (reason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(instance);
  return TRUE;
}
#endif
