#include <windows.h>

#include <cstdio>
#include <sstream>
#include <vector>

#include "system_description.h"

namespace installation_check {

namespace {

// Seconds between 1601 and 1970, in FILETIME's 100-ns units.
constexpr std::int64_t kEpochDifference = 116444736000000000LL;

// The version record a file carries (its VS_FIXEDFILEINFO), empty when none.
std::string FileVersion(const std::string& path) {
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeA(path.c_str(), &ignored);
  if (size == 0) return std::string();
  std::vector<char> data(size);
  if (!GetFileVersionInfoA(path.c_str(), 0, size, data.data())) return std::string();
  VS_FIXEDFILEINFO* info = nullptr;
  UINT length = 0;
  if (!VerQueryValueA(data.data(), "\\", reinterpret_cast<void**>(&info), &length) ||
      info == nullptr || length < sizeof *info) {
    return std::string();
  }
  std::ostringstream text;
  text << HIWORD(info->dwFileVersionMS) << "." << LOWORD(info->dwFileVersionMS) << "."
       << HIWORD(info->dwFileVersionLS) << "." << LOWORD(info->dwFileVersionLS);
  return text.str();
}

bool Attributes(const std::string& path, WIN32_FILE_ATTRIBUTE_DATA* data) {
  return GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, data) != 0;
}

}  // namespace

std::string SystemDescription() {
  std::ostringstream text;
  // RtlGetVersion tells the real version (GetVersionEx answers what the
  // program's manifest asks for).
  using RtlGetVersionProcedure = LONG(WINAPI*)(OSVERSIONINFOW*);
  OSVERSIONINFOW version{};
  version.dwOSVersionInfoSize = sizeof version;
  const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  const auto getVersion = reinterpret_cast<RtlGetVersionProcedure>(
      reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlGetVersion")));
  if (getVersion != nullptr && getVersion(&version) == 0) {
    text << "windows: " << version.dwMajorVersion << "." << version.dwMinorVersion << "."
         << version.dwBuildNumber << "\n";
  }
  using WineVersionProcedure = const char*(__cdecl*)();
  const auto wine = reinterpret_cast<WineVersionProcedure>(
      reinterpret_cast<void*>(GetProcAddress(ntdll, "wine_get_version")));
  if (wine != nullptr) text << "wine: " << wine() << "\n";
  SYSTEM_INFO system{};
  GetNativeSystemInfo(&system);
  text << "processor architecture: " << system.wProcessorArchitecture << " (0: x86, 9: x64, "
       << "12: arm64)\n";
  return text.str();
}

std::int64_t FileTime(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!Attributes(path, &data)) return 0;
  const std::int64_t ticks =
      (static_cast<std::int64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) |
      data.ftLastWriteTime.dwLowDateTime;
  return ticks > kEpochDifference ? (ticks - kEpochDifference) / 10000000 : 0;
}

std::string FileDescription(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!Attributes(path, &data)) return "missing";
  SYSTEMTIME time{};
  FileTimeToSystemTime(&data.ftLastWriteTime, &time);
  char changed[40];
  std::snprintf(changed, sizeof changed, "%04u-%02u-%02u %02u:%02u:%02u UTC", time.wYear,
                time.wMonth, time.wDay, time.wHour, time.wMinute, time.wSecond);
  const std::uint64_t size =
      (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  std::ostringstream text;
  text << size << " bytes, changed " << changed;
  const std::string version = FileVersion(path);
  text << ", version " << (version.empty() ? std::string("(none recorded)") : version);
  return text.str();
}

}  // namespace installation_check
