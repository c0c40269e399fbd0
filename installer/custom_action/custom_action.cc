// The installer's custom actions (QRNSETUP.DLL): add our module to the
// client's list of custom modules (VirtualDriverEx) at install, remove it at
// uninstall. An installer registry value cannot do this: at uninstall it
// deletes the whole value, with every other vendor's module in it.
//
// Both run deferred, without impersonation, so they have the installer's
// rights. The registry view is the client's: the 64-bit build writes the
// 64-bit view (for the 64-bit client), the 32-bit build the 32-bit view (the
// 32-bit client on 64-bit Windows reads WOW6432Node).
#include <windows.h>
#include <msi.h>
#include <msiquery.h>

#include <string>

#include "module_list.h"

namespace {

constexpr wchar_t kModulesKey[] =
    L"SOFTWARE\\Citrix\\ICA Client\\Engine\\Configuration\\Advanced\\Modules\\ICA 3.0";
constexpr wchar_t kListValue[] = L"VirtualDriverEx";
constexpr char kModule[] = "QRN";

#if defined(_WIN64)
constexpr REGSAM kView = KEY_WOW64_64KEY;
#else
constexpr REGSAM kView = KEY_WOW64_32KEY;
#endif

std::string Narrow(const std::wstring& text) {
  if (text.empty()) return std::string();
  const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                       nullptr, 0, nullptr, nullptr);
  std::string narrow(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &narrow[0], size,
                      nullptr, nullptr);
  return narrow;
}

std::wstring Widen(const std::string& text) {
  if (text.empty()) return std::wstring();
  const int size =
      MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(size), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &wide[0], size);
  return wide;
}

// A line in the installer's log (msiexec /l*v).
void Log(MSIHANDLE install, const std::string& text) {
  const std::wstring line = Widen("QRNSETUP: " + text);
  PMSIHANDLE record = MsiCreateRecord(1);
  MsiRecordSetStringW(record, 0, line.c_str());
  MsiProcessMessage(install, INSTALLMESSAGE_INFO, record);
}

// The key, opened (and created when missing) for reading and writing.
LONG OpenListKey(bool create, HKEY* key) {
  if (create) {
    return RegCreateKeyExW(HKEY_LOCAL_MACHINE, kModulesKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                           KEY_QUERY_VALUE | KEY_SET_VALUE | kView, nullptr, key, nullptr);
  }
  return RegOpenKeyExW(HKEY_LOCAL_MACHINE, kModulesKey, 0, KEY_QUERY_VALUE | KEY_SET_VALUE | kView,
                       key);
}

// The list; empty when the value is missing. False when it cannot be read.
bool ReadList(HKEY key, std::string* list) {
  DWORD type = 0;
  DWORD bytes = 0;
  LONG status = RegQueryValueExW(key, kListValue, nullptr, &type, nullptr, &bytes);
  if (status == ERROR_FILE_NOT_FOUND) {
    list->clear();
    return true;
  }
  if (status != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) return false;
  std::wstring value(bytes / sizeof(wchar_t) + 1, L'\0');
  bytes = static_cast<DWORD>(value.size() * sizeof(wchar_t));
  status = RegQueryValueExW(key, kListValue, nullptr, &type,
                            reinterpret_cast<BYTE*>(&value[0]), &bytes);
  if (status != ERROR_SUCCESS) return false;
  value.resize(wcsnlen(value.c_str(), value.size()));
  *list = Narrow(value);
  return true;
}

LONG WriteList(HKEY key, const std::string& list) {
  const std::wstring value = Widen(list);
  return RegSetValueExW(key, kListValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                        static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

enum class Edit { kAdd, kRemove };

// Applies the edit; false (with a line in the log) when the registry refuses.
bool EditList(MSIHANDLE install, Edit edit) {
  HKEY key = nullptr;
  LONG status = OpenListKey(edit == Edit::kAdd, &key);
  if (status == ERROR_FILE_NOT_FOUND && edit == Edit::kRemove) {
    Log(install, "no module list: nothing to remove");
    return true;
  }
  if (status != ERROR_SUCCESS) {
    Log(install, "cannot open the module list's key (error " + std::to_string(status) + ")");
    return false;
  }
  std::string before;
  bool done = ReadList(key, &before);
  if (!done) {
    Log(install, "cannot read VirtualDriverEx");
  } else {
    const std::string after = edit == Edit::kAdd ? vdqrn::installer::AddModule(before, kModule)
                                                 : vdqrn::installer::RemoveModule(before, kModule);
    if (after == before) {
      Log(install, "VirtualDriverEx unchanged: \"" + before + "\"");
    } else if ((status = WriteList(key, after)) != ERROR_SUCCESS) {
      Log(install, "cannot write VirtualDriverEx (error " + std::to_string(status) + ")");
      done = false;
    } else {
      Log(install, "VirtualDriverEx \"" + before + "\" -> \"" + after + "\"");
    }
  }
  RegCloseKey(key);
  return done;
}

}  // namespace

// A module list that cannot be written fails the install (the driver would
// never load); one that cannot be edited at uninstall is logged, and the
// uninstall goes on (the client then logs the missing module at start).
extern "C" __declspec(dllexport) UINT __stdcall AddQrnModule(MSIHANDLE install) {
  return EditList(install, Edit::kAdd) ? ERROR_SUCCESS : ERROR_INSTALL_FAILURE;
}

extern "C" __declspec(dllexport) UINT __stdcall RemoveQrnModule(MSIHANDLE install) {
  EditList(install, Edit::kRemove);
  return ERROR_SUCCESS;
}
