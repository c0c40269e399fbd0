// Windows: a client process for the tests that change what a process cannot
// take back (its library search) or that end it. It loads the recording
// library through Spectro as the module does and prints what happened.
//   client_process exit-after-cut-short same|other
//     a call cut short holding the library's lock (on this thread or on one
//     that then ends), a thread started and ended, then the process exits;
//     the library's notifications would wait for the lock.
//   client_process locate empty-dll-directory|restricted NAME CWD PATHDIR
//     the search changed (SetDllDirectory(""), or SetDefaultDllDirectories
//     to the system folder), CWD made current and PATHDIR put first on PATH;
//     prints "located=FILE" and "loaded=FILE" (the module mapped, or none).
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "instrument/spectro.h"
#include "platform/platform.h"

namespace {

using vdqrn::Spectro;

int ExitAfterCutShort(bool onAnotherThread) {
  Spectro spectro;
  if (!spectro.LoadDriver("recordingspectro")) return 2;
  // The library's own control, looked up as the test's controls do.
  const vdqrn::platform::LibraryHandle library =
      vdqrn::platform::LoadDynamicLibrary(".\\recordingspectro.dll");
  const auto setThrow =
      reinterpret_cast<void (*)(int)>(vdqrn::platform::FindExport(library, "Recording_SetThrow"));
  if (setThrow == nullptr) return 2;
  setThrow(12);  // takes the library's lock and aborts
  bool cutShort = false;
  const auto call = [&] {
    try {
      spectro.Connect();
    } catch (const vdqrn::LibraryCallCutShort&) {
      cutShort = true;
    }
  };
  if (onAnotherThread) {
    std::thread(call).join();
  } else {
    call();
  }
  if (!cutShort) return 3;
  std::thread([] {}).join();
  std::printf("exiting\n");
  std::fflush(stdout);
  return 0;
}

std::wstring Wide(const char* text) {
  std::wstring wide(std::strlen(text) + 1, L'\0');
  const int length = MultiByteToWideChar(CP_UTF8, 0, text, -1, wide.data(),
                                         static_cast<int>(wide.size()));
  wide.resize(length > 0 ? static_cast<std::size_t>(length - 1) : 0);
  return wide;
}

std::string ModuleFile(HMODULE module) {
  wchar_t file[MAX_PATH];
  char utf8[3 * MAX_PATH];
  const DWORD size = module != nullptr ? GetModuleFileNameW(module, file, MAX_PATH) : 0;
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, file, static_cast<int>(size), utf8,
                                        sizeof utf8, nullptr, nullptr);
  return std::string(utf8, bytes > 0 ? static_cast<std::size_t>(bytes) : 0);
}

int Locate(const std::string& how, const char* name, const char* current, const char* pathDir) {
  SetCurrentDirectoryW(Wide(current).c_str());
  wchar_t path[32768];
  const DWORD length = GetEnvironmentVariableW(L"PATH", path, 32768);
  std::wstring newPath = Wide(pathDir);
  if (length > 0 && length < 32768) newPath += L";" + std::wstring(path, length);
  SetEnvironmentVariableW(L"PATH", newPath.c_str());
  if (how == "empty-dll-directory") {
    SetDllDirectoryW(L"");
  } else if (how == "restricted") {
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
  } else {
    return 2;
  }
  const std::string relative = std::string(vdqrn::platform::kLocalLibraryPrefix) + name +
                               vdqrn::platform::kLibrarySuffix;
  std::printf("located=%s\n", vdqrn::platform::LocateLibrary(relative.c_str()).c_str());
  Spectro spectro(false);
  std::string loaded = "none";
  if (spectro.LoadDriver(name)) loaded = ModuleFile(GetModuleHandleW((Wide(name) + L".dll").c_str()));
  std::printf("loaded=%s\n", loaded.c_str());
  // What the client's own load of the name maps (after ours: the same
  // module when it is the same file).
  const HMODULE own = LoadLibraryW((L".\\" + Wide(name) + L".dll").c_str());
  std::printf("client=%s\n", own != nullptr ? ModuleFile(own).c_str() : "none");
  std::fflush(stdout);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string scenario = argc > 1 ? argv[1] : "";
  if (scenario == "exit-after-cut-short" && argc == 3) {
    return ExitAfterCutShort(std::string(argv[2]) == "other");
  }
  if (scenario == "locate" && argc == 6) return Locate(argv[2], argv[3], argv[4], argv[5]);
  std::fprintf(stderr, "usage: see client_process.cc\n");
  return 2;
}
