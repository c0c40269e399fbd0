// Windows: instrument library files, where the system's search finds them,
// loading and freeing them, and the module's own folder.
#include <windows.h>

#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/windows_support.h"

namespace vdqrn {
namespace platform {

using windows::FloatingPointState;
using windows::FolderOf;
using windows::ForFileSystem;
using windows::ModulePath;
using windows::RestoreFloatingPointState;
using windows::SaveFloatingPointState;
using windows::Utf8;
using windows::Widen;
using windows::WideAnswer;

namespace {

// Whether the system looks in the current directory after its own folders
// (the default since long) rather than right after the program's folder.
bool SafeDllSearchMode() {
  DWORD value = 1;
  DWORD size = sizeof value;
  if (RegGetValueW(HKEY_LOCAL_MACHINE, L"System\\CurrentControlSet\\Control\\Session Manager",
                   L"SafeDllSearchMode", RRF_RT_REG_DWORD, nullptr, &value, &size) != ERROR_SUCCESS) {
    return true;
  }
  return value != 0;
}

// The folders LoadLibrary searches for a relative path, in its order.
std::vector<std::wstring> LibrarySearchFolders() {
  std::vector<std::wstring> folders;
  folders.push_back(FolderOf(ModulePath(nullptr)));
  const std::wstring dllDirectory =
      WideAnswer([](wchar_t* buffer, DWORD size) { return GetDllDirectoryW(size, buffer); });
  const std::wstring current =
      WideAnswer([](wchar_t* buffer, DWORD size) { return GetCurrentDirectoryW(size, buffer); });
  // SetDllDirectory puts its folder here and takes the current directory
  // out of the order.
  const bool currentEarly = dllDirectory.empty() && !SafeDllSearchMode();
  if (!dllDirectory.empty()) folders.push_back(dllDirectory);
  if (currentEarly) folders.push_back(current);
  const std::wstring system =
      WideAnswer([](wchar_t* buffer, DWORD size) { return GetSystemDirectoryW(buffer, size); });
  const std::wstring windows =
      WideAnswer([](wchar_t* buffer, DWORD size) { return GetWindowsDirectoryW(buffer, size); });
  folders.push_back(system);
  if (!windows.empty()) folders.push_back(windows + L"\\System");
  folders.push_back(windows);
  if (dllDirectory.empty() && !currentEarly) folders.push_back(current);
  const std::wstring path = WideAnswer(
      [](wchar_t* buffer, DWORD size) { return GetEnvironmentVariableW(L"PATH", buffer, size); });
  for (std::size_t start = 0; start <= path.size();) {
    std::size_t end = path.find(L';', start);
    if (end == std::wstring::npos) end = path.size();
    std::wstring folder = path.substr(start, end - start);
    if (folder.size() >= 2 && folder.front() == L'"' && folder.back() == L'"') {
      folder = folder.substr(1, folder.size() - 2);
    }
    if (!folder.empty()) folders.push_back(folder);
    start = end + 1;
  }
  return folders;
}

}  // namespace

const char kLocalLibraryPrefix[] = ".\\";
const char kLibrarySuffix[] = ".dll";

// A library's start-up code may change the floating-point control words
// (some runtimes unmask exceptions): the client's are put back.
LibraryHandle LoadDynamicLibrary(const char* path) {
  const FloatingPointState floatingPoint = SaveFloatingPointState();
  const HMODULE library = LoadLibraryA(path);
  RestoreFloatingPointState(floatingPoint);
  return reinterpret_cast<LibraryHandle>(library);
}

// The relative path is tried in each folder of the loader's order; the first
// file there is the one LoadLibraryA would map.
std::string LocateLibrary(const char* path) {
  if (path == nullptr || *path == '\0') return std::string();
  const std::wstring relative = Widen(path, CP_ACP);
  for (const std::wstring& folder : LibrarySearchFolders()) {
    if (folder.empty()) continue;
    const std::wstring candidate = folder + L"\\" + relative;
    const std::wstring full = WideAnswer([&candidate](wchar_t* buffer, DWORD size) {
      return GetFullPathNameW(candidate.c_str(), size, buffer, nullptr);
    });
    if (full.empty()) continue;
    const DWORD attributes = GetFileAttributesW(ForFileSystem(full).c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
      return Utf8(full);
    }
  }
  return std::string();
}

LibraryHandle LoadLibraryFile(const std::string& file) {
  const std::wstring path = ForFileSystem(Widen(file, CP_UTF8));
  const FloatingPointState floatingPoint = SaveFloatingPointState();
  const HMODULE library = LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  RestoreFloatingPointState(floatingPoint);
  return reinterpret_cast<LibraryHandle>(library);
}

void* FindExport(LibraryHandle library, const char* name) {
  if (library == nullptr) return nullptr;
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

void FreeDynamicLibrary(LibraryHandle library) {
  if (library == nullptr) return;
  const FloatingPointState floatingPoint = SaveFloatingPointState();
  FreeLibrary(static_cast<HMODULE>(library));
  RestoreFloatingPointState(floatingPoint);
}

// The module's own file as the system mapped it, in UTF-16 (any folder
// name, any length).
std::string OwnDirectory() {
  HMODULE module = nullptr;
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                              GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                          reinterpret_cast<LPCWSTR>(&OwnDirectory), &module)) {
    return std::string();
  }
  const std::wstring folder = FolderOf(ModulePath(module));
  return folder.empty() ? std::string() : Utf8(folder) + "\\";
}

namespace detail {

std::size_t ReadFileStart(const std::string& file, unsigned char* bytes, std::size_t capacity) {
  const HANDLE handle =
      CreateFileW(ForFileSystem(Widen(file, CP_UTF8)).c_str(), GENERIC_READ,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                  FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return 0;
  // Only a file on a disk is read: never a port, a pipe or a console.
  if (GetFileType(handle) != FILE_TYPE_DISK) {
    CloseHandle(handle);
    return 0;
  }
  std::size_t got = 0;
  while (got < capacity) {
    DWORD count = 0;
    if (!ReadFile(handle, bytes + got, static_cast<DWORD>(capacity - got), &count, nullptr) ||
        count == 0) {
      break;
    }
    got += count;
  }
  CloseHandle(handle);
  return got;
}

}  // namespace detail
}  // namespace platform
}  // namespace vdqrn
