// Windows: instrument library files, where the system's search finds them,
// loading and freeing them, and the module's own folder.
#include <windows.h>

#include <cstdint>
#include <cstring>
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

// The folders a name with a folder part is looked for under: the program's
// and the current directory.
std::vector<std::wstring> SubfolderSearchFolders() {
  return {FolderOf(ModulePath(nullptr)),
          WideAnswer([](wchar_t* buffer, DWORD size) { return GetCurrentDirectoryW(size, buffer); })};
}

}  // namespace

const char kLocalLibraryPrefix[] = ".\\";
const char kLibrarySuffix[] = ".dll";

namespace {
// This thread's last load's error number, taken before anything else can
// change it.
thread_local DWORD g_lastLoadError = 0;
}  // namespace

// A library's start-up code may change the floating-point control words
// (some runtimes unmask exceptions): the client's are put back.
LibraryHandle LoadDynamicLibrary(const char* path) {
  const FloatingPointState floatingPoint = SaveFloatingPointState();
  const HMODULE library = LoadLibraryA(path);
  g_lastLoadError = library != nullptr ? 0 : GetLastError();
  RestoreFloatingPointState(floatingPoint);
  return reinterpret_cast<LibraryHandle>(library);
}

std::string LastLoadError() {
  if (g_lastLoadError == 0) return std::string();
  wchar_t* message = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, g_lastLoadError, 0, reinterpret_cast<LPWSTR>(&message), 0, nullptr);
  std::wstring text = length > 0 && message != nullptr ? std::wstring(message, length) : L"";
  if (message != nullptr) LocalFree(message);
  while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' ')) {
    text.pop_back();
  }
  const std::string number = "error " + std::to_string(g_lastLoadError);
  return text.empty() ? number : Utf8(text) + " (" + number + ")";
}

bool LibraryIsLoaded(const std::string& file) {
  HMODULE module = nullptr;
  return GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            Widen(file, CP_UTF8).c_str(), &module) != 0 &&
         module != nullptr;
}

namespace {

// Windows opens a device for these names in any folder, whatever follows the
// first dot, and reads COM and LPT with a superscript 1, 2 or 3 as well:
// checked on the name as the system reads it (UTF-16), so that no code page
// spells a device in bytes that a check of the bytes would let through.
bool IsDeviceName(std::wstring component) {
  component = component.substr(0, component.find(L'.'));
  while (!component.empty() && component.back() == L' ') component.pop_back();
  for (wchar_t& c : component) c = c >= L'a' && c <= L'z' ? static_cast<wchar_t>(c - 32) : c;
  if (component == L"CON" || component == L"PRN" || component == L"AUX" ||
      component == L"NUL" || component == L"CONIN$" || component == L"CONOUT$") {
    return true;
  }
  if (component.size() != 4) return false;
  const wchar_t digit = component[3];
  return (component.compare(0, 3, L"COM") == 0 || component.compare(0, 3, L"LPT") == 0) &&
         ((digit >= L'0' && digit <= L'9') || digit == 0x00B9 || digit == 0x00B2 ||
          digit == 0x00B3);
}

bool NamesADevice(const std::wstring& path) {
  std::size_t begin = 0;
  while (begin <= path.size()) {
    std::size_t end = path.find_first_of(L"\\/", begin);
    if (end == std::wstring::npos) end = path.size();
    if (IsDeviceName(path.substr(begin, end - begin))) return true;
    begin = end + 1;
  }
  return false;
}

// The volume and index of a file: the same for every name of it.
bool FileIdentity(const std::wstring& path, BY_HANDLE_FILE_INFORMATION* info) {
  const HANDLE file = CreateFileW(ForFileSystem(path).c_str(), FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  const bool known = GetFileInformationByHandle(file, info) != 0;
  CloseHandle(file);
  return known;
}

// Whether a relative library path names a folder besides the file (".\\"
// aside, which every name the module forms starts with).
bool HasFolderPart(const std::wstring& relative) {
  const std::size_t start = relative.compare(0, 2, L".\\") == 0 ? 2 : 0;
  return relative.find_first_of(L"\\/", start) != std::wstring::npos;
}

bool SameFile(const std::wstring& a, const std::wstring& b) {
  BY_HANDLE_FILE_INFORMATION first{}, second{};
  return FileIdentity(a, &first) && FileIdentity(b, &second) &&
         first.dwVolumeSerialNumber == second.dwVolumeSerialNumber &&
         first.nFileIndexHigh == second.nFileIndexHigh &&
         first.nFileIndexLow == second.nFileIndexLow;
}

// What the system's loader does with the relative path, as LoadLibraryA
// would search it (honouring SetDllDirectory, SetDefaultDllDirectories and
// the folders added to them), asked without running a line of the library:
// mapped without its entry point or its dependencies, and unmapped again.
struct LoaderChoice {
  bool found = false;
  std::wstring file;  // empty when the file is of another architecture
};

LoaderChoice AskTheLoader(const std::wstring& relative) {
  LoaderChoice choice;
  const UINT errorMode = SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
  const FloatingPointState floatingPoint = SaveFloatingPointState();
  const HMODULE probe = LoadLibraryExW(relative.c_str(), nullptr, DONT_RESOLVE_DLL_REFERENCES);
  const DWORD error = GetLastError();
  RestoreFloatingPointState(floatingPoint);
  SetErrorMode(errorMode);
  if (probe == nullptr) {
    // Found, but not a library of this process's architecture.
    choice.found = error == ERROR_BAD_EXE_FORMAT;
    return choice;
  }
  choice.found = true;
  choice.file = ModulePath(probe);
  FreeLibrary(probe);
  return choice;
}

}  // namespace

// The name is read in the code page the file functions use (LoadLibraryA's).
// A device name is refused before anything is opened. The system's loader
// says whether it finds a file for the name and which (AskTheLoader); the
// file's full path is the first folder of the loader's classic order that
// holds that very file (any name of it), or, for a library of another
// architecture the loader cannot map, that holds the name. Empty when the
// loader finds nothing, or a file in none of those folders.
//
// A name with a folder part is looked for only under the program's folder
// and the current directory, and the loader is not asked: the remote
// application chooses the name, and a subfolder of the system folders or of
// PATH is no place for it to pick a library from.
std::string LocateLibrary(const char* path) {
  if (path == nullptr || *path == '\0') return std::string();
  const std::wstring relative = Widen(path, windows::FileApiCodePage());
  if (relative.empty() || NamesADevice(relative)) return std::string();
  const bool inSubfolder = HasFolderPart(relative);
  const LoaderChoice choice = inSubfolder ? LoaderChoice{true, L""} : AskTheLoader(relative);
  if (!choice.found) return std::string();
  const std::vector<std::wstring> folders = inSubfolder ? SubfolderSearchFolders()
                                                        : LibrarySearchFolders();
  for (const std::wstring& folder : folders) {
    if (folder.empty()) continue;
    const std::wstring candidate = folder + L"\\" + relative;
    const std::wstring full = WideAnswer([&candidate](wchar_t* buffer, DWORD size) {
      return GetFullPathNameW(candidate.c_str(), size, buffer, nullptr);
    });
    if (full.empty()) continue;
    const DWORD attributes = GetFileAttributesW(ForFileSystem(full).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      continue;
    }
    if (choice.file.empty() || SameFile(choice.file, full)) return Utf8(full);
  }
  return std::string();
}

// Exactly this file, by its full path, whatever the client did to its own
// search; the library's own dependencies are looked for in its folder first.
LibraryHandle LoadLibraryFile(const std::string& file) {
  const std::wstring path = ForFileSystem(Widen(file, CP_UTF8));
  const FloatingPointState floatingPoint = SaveFloatingPointState();
  const HMODULE library = LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  g_lastLoadError = library != nullptr ? 0 : GetLastError();
  RestoreFloatingPointState(floatingPoint);
  return reinterpret_cast<LibraryHandle>(library);
}

std::string FileStamp(const std::string& file) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!FileIdentity(Widen(file, CP_UTF8), &info)) return std::string();
  return std::to_string(info.dwVolumeSerialNumber) + ":" + std::to_string(info.nFileIndexHigh) +
         ":" + std::to_string(info.nFileIndexLow) + ":" + std::to_string(info.nFileSizeHigh) +
         ":" + std::to_string(info.nFileSizeLow) + ":" +
         std::to_string(info.ftLastWriteTime.dwHighDateTime) + ":" +
         std::to_string(info.ftLastWriteTime.dwLowDateTime);
}

std::string LibrarySearchDescription(const char* path) {
  const std::wstring relative =
      path != nullptr ? Widen(path, windows::FileApiCodePage()) : std::wstring();
  const std::string program = Utf8(FolderOf(ModulePath(nullptr)));
  const std::string current = Utf8(
      WideAnswer([](wchar_t* buffer, DWORD size) { return GetCurrentDirectoryW(size, buffer); }));
  if (HasFolderPart(relative)) {
    return "the program's folder \"" + program + "\" and the current directory \"" + current +
           "\" (a name with a folder part is looked for there only)";
  }
  return "the program's folder \"" + program + "\", the system folders, the current directory \"" +
         current + "\" and the folders of PATH";
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

namespace {

// What an abandoned library's entry point is made to run.
#if defined(__aarch64__)
const unsigned char kReturnAtOnce[] = {0xC0, 0x03, 0x5F, 0xD6};  // ret (one aligned word)
#elif defined(_WIN64)
const unsigned char kReturnAtOnce[] = {0xC3};  // ret
#else
const unsigned char kReturnAtOnce[] = {0xC2, 0x0C, 0x00};  // ret 12 (three stdcall arguments)
#endif

// Writes `count` bytes (at most 8) over the image at `at`, which may be
// code or read-only data. Within one aligned eight-byte word the write is a
// single atomic one, so a thread that runs the bytes at that moment sees the
// old or the new ones, never half of each.
bool Overwrite(void* at, const void* bytes, std::size_t count) {
  DWORD protection = 0;
  if (!VirtualProtect(at, count, PAGE_EXECUTE_READWRITE, &protection)) return false;
  const std::uintptr_t address = reinterpret_cast<std::uintptr_t>(at);
  const std::uintptr_t word = address & ~static_cast<std::uintptr_t>(7);
  if (address + count <= word + 8) {
    auto* const target = reinterpret_cast<volatile LONG64*>(word);
    for (;;) {
      const LONG64 before = *target;
      LONG64 after = before;
      std::memcpy(reinterpret_cast<unsigned char*>(&after) + (address - word), bytes, count);
      if (InterlockedCompareExchange64(target, after, before) == before) break;
    }
  } else {
    std::memcpy(at, bytes, count);
  }
  VirtualProtect(at, count, protection, &protection);
  FlushInstructionCache(GetCurrentProcess(), at, count);
  return true;
}

// The PE headers of a mapped image, as its DOS header points to them.
const IMAGE_NT_HEADERS* ImageHeaders(const unsigned char* base) {
  const auto* const dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  return reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
}

}  // namespace

// The loader calls a library's entry point (and its TLS callbacks) at every
// thread's start and end and at exit, and reads both from the image each
// time. The image's entry point now returns at once, and its list of TLS
// callbacks is empty. Thread notifications are turned off where the system
// allows it (not for a library with static TLS). Pinned, it is never
// unloaded, whoever frees it.
bool AbandonLibrary(LibraryHandle library) {
  if (library == nullptr) return true;
  auto* const base = static_cast<unsigned char*>(library);
  HMODULE pinned = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_PIN | GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                     reinterpret_cast<LPCWSTR>(base), &pinned);
  DisableThreadLibraryCalls(static_cast<HMODULE>(library));
  const IMAGE_NT_HEADERS* const headers = ImageHeaders(base);
  bool done = true;
  const IMAGE_DATA_DIRECTORY& tls = headers->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_TLS];
  if (tls.VirtualAddress != 0 && tls.Size >= sizeof(IMAGE_TLS_DIRECTORY)) {
    const auto* const directory = reinterpret_cast<const IMAGE_TLS_DIRECTORY*>(base + tls.VirtualAddress);
    auto* const callbacks = reinterpret_cast<void**>(directory->AddressOfCallBacks);
    const void* const none = nullptr;
    if (callbacks != nullptr && *callbacks != nullptr) {
      done = Overwrite(callbacks, &none, sizeof none);
    }
  }
  const DWORD entry = headers->OptionalHeader.AddressOfEntryPoint;
  if (entry != 0) done = Overwrite(base + entry, kReturnAtOnce, sizeof kReturnAtOnce) && done;
  return done;
}

// An import descriptor's first thunk, once the loader bound it, holds a
// function's address; until then it holds what its lookup table holds (a
// name's place or an ordinal). A library without a lookup table (an old
// linker's) cannot be told, and counts as resolved.
bool LibraryImportsResolved(LibraryHandle library) {
  if (library == nullptr) return true;
  const auto* const base = static_cast<const unsigned char*>(library);
  const IMAGE_NT_HEADERS* const headers = ImageHeaders(base);
  const IMAGE_DATA_DIRECTORY& imports =
      headers->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  if (imports.VirtualAddress == 0 || imports.Size < sizeof(IMAGE_IMPORT_DESCRIPTOR)) return true;
  for (const auto* descriptor =
           reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
       descriptor->Name != 0; ++descriptor) {
    if (descriptor->OriginalFirstThunk == 0 || descriptor->FirstThunk == 0) continue;
    const auto* const lookup =
        reinterpret_cast<const IMAGE_THUNK_DATA*>(base + descriptor->OriginalFirstThunk);
    const auto* const bound =
        reinterpret_cast<const IMAGE_THUNK_DATA*>(base + descriptor->FirstThunk);
    if (lookup->u1.AddressOfData == 0) continue;
    return bound->u1.Function != lookup->u1.AddressOfData;
  }
  return true;
}

// The abandoned mark is the entry point's patch: the image says "return at
// once" where its own file says otherwise. It lives in the library's image,
// so it outlives this module (an engine may unload and load the module again
// while the library stays pinned).
bool LibraryWasAbandoned(LibraryHandle library) {
  if (library == nullptr) return false;
  const auto* const base = static_cast<const unsigned char*>(library);
  const IMAGE_NT_HEADERS* const headers = ImageHeaders(base);
  const DWORD entry = headers->OptionalHeader.AddressOfEntryPoint;
  if (entry == 0 || std::memcmp(base + entry, kReturnAtOnce, sizeof kReturnAtOnce) != 0) {
    return false;
  }
  // Where the entry point's bytes lie in the file.
  const IMAGE_SECTION_HEADER* section = IMAGE_FIRST_SECTION(headers);
  LONGLONG offset = -1;
  for (WORD index = 0; index < headers->FileHeader.NumberOfSections; ++index, ++section) {
    const DWORD size = section->Misc.VirtualSize != 0 ? section->Misc.VirtualSize
                                                      : section->SizeOfRawData;
    if (entry >= section->VirtualAddress && entry < section->VirtualAddress + size &&
        entry - section->VirtualAddress < section->SizeOfRawData) {
      offset = static_cast<LONGLONG>(section->PointerToRawData) + (entry - section->VirtualAddress);
      break;
    }
  }
  if (offset < 0) return false;
  const std::wstring path = ModulePath(static_cast<HMODULE>(library));
  const HANDLE file = CreateFileW(ForFileSystem(path).c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  unsigned char original[sizeof kReturnAtOnce] = {};
  DWORD got = 0;
  LARGE_INTEGER at;
  at.QuadPart = offset;
  const bool read = SetFilePointerEx(file, at, nullptr, FILE_BEGIN) &&
                    ReadFile(file, original, sizeof original, &got, nullptr) &&
                    got == sizeof original;
  CloseHandle(file);
  return read && std::memcmp(original, kReturnAtOnce, sizeof kReturnAtOnce) != 0;
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
