// The installer's custom actions (QRNSETUP.DLL): add our module to the
// client's list of custom modules (VirtualDriverEx) at install, remove it at
// uninstall. An installer registry value cannot do this: at uninstall it
// deletes the whole value, with every other vendor's module in it.
//
// Only QRN is added and removed: the value keeps its other entries' text and
// its type (REG_SZ or REG_EXPAND_SZ). Where the value or keys of its chain
// did not exist before, the install notes so under our own key
// (SOFTWARE\vdqrn), and the uninstall removes what it created once empty.
//
// Both run deferred, without impersonation, so they have the installer's
// rights. The registry view is the client's: the 64-bit build writes the
// 64-bit view (for the 64-bit client), the 32-bit build the 32-bit view (the
// 32-bit client on 64-bit Windows reads WOW6432Node).
#include <windows.h>
#include <msi.h>
#include <msiquery.h>

#include <string>
#include <vector>

#include "module_list.h"

namespace {

// The list's key, one key of the chain at a time.
const wchar_t* const kChain[] = {L"SOFTWARE\\Citrix", L"ICA Client", L"Engine", L"Configuration",
                                 L"Advanced", L"Modules", L"ICA 3.0"};
constexpr wchar_t kListValue[] = L"VirtualDriverEx";
constexpr wchar_t kModule[] = L"QRN";
// Our own key (the package's ClientFolder value is there too), and what the
// install created of the list.
constexpr wchar_t kOurKey[] = L"SOFTWARE\\vdqrn";
constexpr wchar_t kCreatedValue[] = L"ModuleListCreated";
constexpr wchar_t kCreatedKey[] = L"ModuleKeysCreated";

#if defined(_WIN64)
constexpr REGSAM kView = KEY_WOW64_64KEY;
#else
constexpr REGSAM kView = KEY_WOW64_32KEY;
#endif

// A line in the installer's log (msiexec /l*v).
void Log(MSIHANDLE install, const std::wstring& text) {
  const std::wstring line = L"QRNSETUP: " + text;
  PMSIHANDLE record = MsiCreateRecord(1);
  MsiRecordSetStringW(record, 0, line.c_str());
  MsiProcessMessage(install, INSTALLMESSAGE_INFO, record);
}

std::wstring Number(LONG value) { return std::to_wstring(value); }

// The path of the chain's first keys, joined.
std::wstring ChainPath(std::size_t keys) {
  std::wstring path;
  for (std::size_t i = 0; i < keys; ++i) path += (i > 0 ? L"\\" : L"") + std::wstring(kChain[i]);
  return path;
}
constexpr std::size_t kChainLength = sizeof kChain / sizeof kChain[0];

bool KeyExists(const std::wstring& path) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_QUERY_VALUE | kView, &key) !=
      ERROR_SUCCESS) {
    return false;
  }
  RegCloseKey(key);
  return true;
}

// A key with neither values nor subkeys is deleted; false when it stays.
bool DeleteIfEmpty(const std::wstring& path) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_QUERY_VALUE | kView, &key) !=
      ERROR_SUCCESS) {
    return true;
  }
  DWORD subkeys = 0;
  DWORD values = 0;
  const LONG status = RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr,
                                       &values, nullptr, nullptr, nullptr, nullptr);
  RegCloseKey(key);
  if (status != ERROR_SUCCESS || subkeys != 0 || values != 0) return false;
  return RegDeleteKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), kView, 0) == ERROR_SUCCESS;
}

// The list value as it is: its text (up to a terminating NUL) and type.
struct List {
  bool exists = false;
  DWORD type = REG_SZ;
  std::wstring text;
};

// False when the value cannot be read, or is not a string.
bool ReadList(HKEY key, List* list) {
  DWORD bytes = 0;
  LONG status = RegQueryValueExW(key, kListValue, nullptr, &list->type, nullptr, &bytes);
  if (status == ERROR_FILE_NOT_FOUND) {
    list->exists = false;
    list->type = REG_SZ;
    list->text.clear();
    return true;
  }
  if (status != ERROR_SUCCESS || (list->type != REG_SZ && list->type != REG_EXPAND_SZ)) {
    return false;
  }
  std::vector<wchar_t> value(bytes / sizeof(wchar_t) + 1, L'\0');
  bytes = static_cast<DWORD>(value.size() * sizeof(wchar_t));
  status = RegQueryValueExW(key, kListValue, nullptr, &list->type,
                            reinterpret_cast<BYTE*>(value.data()), &bytes);
  if (status != ERROR_SUCCESS) return false;
  list->exists = true;
  list->text.assign(value.data(), wcsnlen(value.data(), bytes / sizeof(wchar_t)));
  return true;
}

LONG WriteList(HKEY key, DWORD type, const std::wstring& text) {
  return RegSetValueExW(key, kListValue, 0, type, reinterpret_cast<const BYTE*>(text.c_str()),
                        static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

// What the install created, noted under our key: the list value, and the
// topmost key of the chain (empty when none).
struct Created {
  bool value = false;
  std::wstring key;
};

Created ReadCreated() {
  Created created;
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kOurKey, 0, KEY_QUERY_VALUE | kView, &key) !=
      ERROR_SUCCESS) {
    return created;
  }
  DWORD flag = 0;
  DWORD bytes = sizeof flag;
  DWORD type = 0;
  if (RegQueryValueExW(key, kCreatedValue, nullptr, &type, reinterpret_cast<BYTE*>(&flag),
                       &bytes) == ERROR_SUCCESS &&
      type == REG_DWORD) {
    created.value = flag != 0;
  }
  wchar_t path[512] = {};
  bytes = sizeof path - sizeof(wchar_t);
  if (RegQueryValueExW(key, kCreatedKey, nullptr, &type, reinterpret_cast<BYTE*>(path), &bytes) ==
          ERROR_SUCCESS &&
      type == REG_SZ) {
    created.key = path;
  }
  RegCloseKey(key);
  return created;
}

// Notes what is about to be created; false when it cannot be noted.
bool NoteCreated(const Created& created) {
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kOurKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                      KEY_SET_VALUE | kView, nullptr, &key, nullptr) != ERROR_SUCCESS) {
    return false;
  }
  LONG status = ERROR_SUCCESS;
  if (created.value) {
    const DWORD flag = 1;
    status = RegSetValueExW(key, kCreatedValue, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&flag),
                            sizeof flag);
  }
  if (status == ERROR_SUCCESS && !created.key.empty()) {
    status = RegSetValueExW(key, kCreatedKey, 0, REG_SZ,
                            reinterpret_cast<const BYTE*>(created.key.c_str()),
                            static_cast<DWORD>((created.key.size() + 1) * sizeof(wchar_t)));
  }
  RegCloseKey(key);
  return status == ERROR_SUCCESS;
}

// Forgets what was noted, and our key once empty.
void ForgetCreated() {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kOurKey, 0, KEY_SET_VALUE | kView, &key) == ERROR_SUCCESS) {
    RegDeleteValueW(key, kCreatedValue);
    RegDeleteValueW(key, kCreatedKey);
    RegCloseKey(key);
  }
  DeleteIfEmpty(kOurKey);
}

// Adds QRN; false (with a line in the log) when the registry refuses.
bool AddToList(MSIHANDLE install) {
  const std::wstring listKey = ChainPath(kChainLength);
  Created created;
  for (std::size_t keys = 1; keys <= kChainLength; ++keys) {
    if (!KeyExists(ChainPath(keys))) {
      created.key = ChainPath(keys);
      break;
    }
  }
  HKEY key = nullptr;
  LONG status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, listKey.c_str(), 0, nullptr,
                                REG_OPTION_NON_VOLATILE, KEY_QUERY_VALUE | KEY_SET_VALUE | kView,
                                nullptr, &key, nullptr);
  if (status != ERROR_SUCCESS) {
    Log(install, L"cannot open the module list's key (error " + Number(status) + L")");
    return false;
  }
  List list;
  bool done = ReadList(key, &list);
  if (!done) {
    Log(install, L"cannot read VirtualDriverEx, or it is not a string");
  } else {
    const std::wstring after = vdqrn::installer::AddModule(list.text, kModule);
    created.value = !list.exists;
    // What an earlier install noted stays (an upgrade finds QRN listed).
    if (created.value || !created.key.empty()) {
      if (!NoteCreated(created)) Log(install, L"cannot note what it creates under SOFTWARE\\vdqrn");
    }
    if (list.exists && after == list.text) {
      Log(install, L"VirtualDriverEx unchanged: \"" + list.text + L"\"");
    } else if ((status = WriteList(key, list.type, after)) != ERROR_SUCCESS) {
      Log(install, L"cannot write VirtualDriverEx (error " + Number(status) + L")");
      done = false;
    } else {
      Log(install, L"VirtualDriverEx \"" + list.text + L"\" -> \"" + after + L"\"" +
                       (created.value ? L" (created)" : L""));
    }
  }
  RegCloseKey(key);
  return done;
}

// Removes QRN, then what the install created and is now empty.
void RemoveFromList(MSIHANDLE install) {
  const std::wstring listKey = ChainPath(kChainLength);
  const Created created = ReadCreated();
  HKEY key = nullptr;
  LONG status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, listKey.c_str(), 0,
                              KEY_QUERY_VALUE | KEY_SET_VALUE | kView, &key);
  if (status == ERROR_FILE_NOT_FOUND) {
    Log(install, L"no module list: nothing to remove");
  } else if (status != ERROR_SUCCESS) {
    Log(install, L"cannot open the module list's key (error " + Number(status) + L")");
  } else {
    List list;
    if (!ReadList(key, &list)) {
      Log(install, L"cannot read VirtualDriverEx, or it is not a string");
    } else if (list.exists) {
      const std::wstring after = vdqrn::installer::RemoveModule(list.text, kModule);
      if (after.empty() && created.value) {
        status = RegDeleteValueW(key, kListValue);
        Log(install, status == ERROR_SUCCESS
                         ? L"VirtualDriverEx \"" + list.text + L"\" removed (the install created it)"
                         : L"cannot remove VirtualDriverEx (error " + Number(status) + L")");
      } else if (after == list.text) {
        Log(install, L"VirtualDriverEx unchanged: \"" + list.text + L"\"");
      } else if ((status = WriteList(key, list.type, after)) != ERROR_SUCCESS) {
        Log(install, L"cannot write VirtualDriverEx (error " + Number(status) + L")");
      } else {
        Log(install, L"VirtualDriverEx \"" + list.text + L"\" -> \"" + after + L"\"");
      }
    }
    RegCloseKey(key);
  }
  // The keys the install created, from the list's up, while empty.
  if (!created.key.empty()) {
    for (std::size_t keys = kChainLength; keys > 0; --keys) {
      const std::wstring path = ChainPath(keys);
      if (!DeleteIfEmpty(path)) break;
      if (path == created.key) break;
    }
  }
  ForgetCreated();
}

}  // namespace

// A module list that cannot be written fails the install (the driver would
// never load); one that cannot be edited at uninstall is logged, and the
// uninstall goes on (the client then logs the missing module at start).
extern "C" __declspec(dllexport) UINT __stdcall AddQrnModule(MSIHANDLE install) {
  return AddToList(install) ? ERROR_SUCCESS : ERROR_INSTALL_FAILURE;
}

extern "C" __declspec(dllexport) UINT __stdcall RemoveQrnModule(MSIHANDLE install) {
  RemoveFromList(install);
  return ERROR_SUCCESS;
}
