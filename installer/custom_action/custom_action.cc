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
//
// Each has a rollback action (RestoreQrnModuleList) that puts back the list's
// value (bytes and type), the keys of its chain and our notes as they were
// when the installer wrote its script; SaveQrnModuleList, an immediate
// action, reads that state then and hands it to the rollback actions as
// their CustomActionData.
//
// CheckQrnClient, immediate and before the launch conditions, reads which
// architecture the client's program is built for, so that a package refuses
// a client it cannot serve and names the one to take.
#include <windows.h>
#include <msi.h>
#include <msiquery.h>

#include <algorithm>
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
                         ? L"VirtualDriverEx \"" + list.text +
                               L"\" removed (the install created it)"
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

// ---------------------------------------------------------------- rollback

// A registry value as it was: whether it existed, its type and its bytes.
struct Value {
  bool exists = false;
  DWORD type = REG_NONE;
  std::vector<BYTE> bytes;
};

// Reads a value whole; false when it exists but cannot be read.
bool ReadValue(HKEY key, const wchar_t* name, Value* value) {
  *value = Value();
  DWORD bytes = 0;
  LONG status = RegQueryValueExW(key, name, nullptr, &value->type, nullptr, &bytes);
  if (status == ERROR_FILE_NOT_FOUND) return true;
  if (status != ERROR_SUCCESS) return false;
  value->bytes.resize(bytes);
  status = RegQueryValueExW(key, name, nullptr, &value->type,
                            value->bytes.empty() ? nullptr : value->bytes.data(), &bytes);
  if (status != ERROR_SUCCESS) return false;
  value->bytes.resize(bytes);
  value->exists = true;
  return true;
}

// Writes the value as it was, or deletes it where it did not exist.
LONG RestoreValue(HKEY key, const wchar_t* name, const Value& value) {
  if (!value.exists) {
    const LONG status = RegDeleteValueW(key, name);
    return status == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : status;
  }
  return RegSetValueExW(key, name, 0, value.type,
                        value.bytes.empty() ? nullptr : value.bytes.data(),
                        static_cast<DWORD>(value.bytes.size()));
}

// What a rollback puts back: how many keys of the chain existed (from the
// top), the list value, whether our key existed, and our two notes.
struct Saved {
  std::size_t keys = 0;
  Value list;
  bool ourKey = false;
  Value createdValue;
  Value createdKey;
};

// "-" for a value that did not exist, else "TYPE:HEX".
std::wstring EncodeValue(const Value& value) {
  if (!value.exists) return L"-";
  static const wchar_t kDigits[] = L"0123456789abcdef";
  std::wstring text = std::to_wstring(value.type) + L":";
  for (BYTE byte : value.bytes) {
    text += kDigits[byte >> 4];
    text += kDigits[byte & 15];
  }
  return text;
}

bool DecodeValue(const std::wstring& text, Value* value) {
  *value = Value();
  if (text == L"-") return true;
  const std::size_t colon = text.find(L':');
  if (colon == 0 || colon == std::wstring::npos || colon > 10 || (text.size() - colon) % 2 != 1) {
    return false;
  }
  unsigned long long type = 0;
  for (std::size_t i = 0; i < colon; ++i) {
    if (text[i] < L'0' || text[i] > L'9') return false;
    type = type * 10 + static_cast<unsigned long long>(text[i] - L'0');
    if (type > 0xFFFFFFFFull) return false;
  }
  auto digit = [](wchar_t c) -> int {
    if (c >= L'0' && c <= L'9') return c - L'0';
    if (c >= L'a' && c <= L'f') return c - L'a' + 10;
    return -1;
  };
  for (std::size_t i = colon + 1; i < text.size(); i += 2) {
    const int high = digit(text[i]);
    const int low = digit(text[i + 1]);
    if (high < 0 || low < 0) return false;
    value->bytes.push_back(static_cast<BYTE>(high * 16 + low));
  }
  value->type = static_cast<DWORD>(type);
  value->exists = true;
  return true;
}

// keys;list;ourkey;created;createdkey
std::wstring Encode(const Saved& saved) {
  return std::to_wstring(saved.keys) + L";" + EncodeValue(saved.list) + L";" +
         (saved.ourKey ? L"1" : L"0") + L";" + EncodeValue(saved.createdValue) + L";" +
         EncodeValue(saved.createdKey);
}

// False for anything but what Encode writes.
bool Decode(const std::wstring& text, Saved* saved) {
  std::vector<std::wstring> fields;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = text.find(L';', start);
    fields.push_back(text.substr(start, end == std::wstring::npos ? end : end - start));
    if (end == std::wstring::npos) break;
    start = end + 1;
  }
  if (fields.size() != 5 || fields[0].size() != 1 || fields[0][0] < L'0' ||
      static_cast<std::size_t>(fields[0][0] - L'0') > kChainLength ||
      (fields[2] != L"0" && fields[2] != L"1")) {
    return false;
  }
  saved->keys = static_cast<std::size_t>(fields[0][0] - L'0');
  saved->ourKey = fields[2] == L"1";
  return DecodeValue(fields[1], &saved->list) && DecodeValue(fields[3], &saved->createdValue) &&
         DecodeValue(fields[4], &saved->createdKey) &&
         // A list where its key did not exist cannot be.
         (saved->keys == kChainLength || !saved->list.exists);
}

// The state now; false when some of it cannot be read.
bool SaveState(Saved* saved) {
  saved->keys = 0;
  while (saved->keys < kChainLength && KeyExists(ChainPath(saved->keys + 1))) ++saved->keys;
  HKEY key = nullptr;
  if (saved->keys == kChainLength) {
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, ChainPath(kChainLength).c_str(), 0,
                      KEY_QUERY_VALUE | kView, &key) != ERROR_SUCCESS) {
      return false;
    }
    const bool read = ReadValue(key, kListValue, &saved->list);
    RegCloseKey(key);
    if (!read) return false;
  }
  saved->ourKey = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kOurKey, 0, KEY_QUERY_VALUE | kView, &key) ==
                  ERROR_SUCCESS;
  if (!saved->ourKey) return true;
  const bool read = ReadValue(key, kCreatedValue, &saved->createdValue) &&
                    ReadValue(key, kCreatedKey, &saved->createdKey);
  RegCloseKey(key);
  return read;
}

// Puts the saved state back; each failure is logged and the rest still done.
void RestoreState(MSIHANDLE install, const Saved& saved) {
  HKEY key = nullptr;
  LONG status = ERROR_SUCCESS;
  if (saved.keys == kChainLength) {
    status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, ChainPath(kChainLength).c_str(), 0, nullptr,
                             REG_OPTION_NON_VOLATILE, KEY_SET_VALUE | kView, nullptr, &key,
                             nullptr);
    if (status == ERROR_SUCCESS) {
      status = RestoreValue(key, kListValue, saved.list);
      RegCloseKey(key);
    }
    Log(install, status == ERROR_SUCCESS
                     ? L"VirtualDriverEx restored as it was" +
                           std::wstring(saved.list.exists ? L"" : L" (none)")
                     : L"cannot restore VirtualDriverEx (error " + Number(status) + L")");
  } else {
    // The list was not there: it goes, and so do the chain's keys below the
    // ones that existed, while empty; the ones that existed are made again.
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, ChainPath(kChainLength).c_str(), 0,
                      KEY_SET_VALUE | kView, &key) == ERROR_SUCCESS) {
      RegDeleteValueW(key, kListValue);
      RegCloseKey(key);
    }
    for (std::size_t keys = kChainLength; keys > saved.keys; --keys) {
      if (!DeleteIfEmpty(ChainPath(keys))) break;
    }
    if (saved.keys > 0 &&
        RegCreateKeyExW(HKEY_LOCAL_MACHINE, ChainPath(saved.keys).c_str(), 0, nullptr,
                        REG_OPTION_NON_VOLATILE, KEY_QUERY_VALUE | kView, nullptr, &key,
                        nullptr) == ERROR_SUCCESS) {
      RegCloseKey(key);
    }
    Log(install, L"no VirtualDriverEx, as before; keys of its chain that existed: " +
                     Number(static_cast<LONG>(saved.keys)));
  }
  // Our notes as they were; our key goes where it did not exist, once empty.
  if (saved.ourKey) {
    status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kOurKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                             KEY_SET_VALUE | kView, nullptr, &key, nullptr);
  } else {
    status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kOurKey, 0, KEY_SET_VALUE | kView, &key);
    if (status == ERROR_FILE_NOT_FOUND) return;
  }
  if (status == ERROR_SUCCESS) {
    const LONG first = RestoreValue(key, kCreatedValue, saved.createdValue);
    status = RestoreValue(key, kCreatedKey, saved.createdKey);
    if (status == ERROR_SUCCESS) status = first;
    RegCloseKey(key);
  }
  if (status != ERROR_SUCCESS) {
    Log(install, L"cannot restore the notes under SOFTWARE\\vdqrn (error " + Number(status) + L")");
  }
  if (!saved.ourKey) DeleteIfEmpty(kOurKey);
}

std::wstring Property(MSIHANDLE install, const wchar_t* name) {
  DWORD size = 0;
  wchar_t empty[1] = L"";
  if (MsiGetPropertyW(install, name, empty, &size) != ERROR_MORE_DATA) return std::wstring();
  std::vector<wchar_t> value(size + 1, L'\0');
  size = static_cast<DWORD>(value.size());
  if (MsiGetPropertyW(install, name, value.data(), &size) != ERROR_SUCCESS) return std::wstring();
  return std::wstring(value.data(), size);
}

// ------------------------------------------------------- the client's program

// The machine a PE file is built for: "x86", "x64", "arm64", or empty when
// the file is none of these (or no PE file, or unreadable).
std::wstring Machine(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return std::wstring();
  BYTE dos[64] = {};
  BYTE pe[6] = {};
  DWORD read = 0;
  std::wstring machine;
  if (ReadFile(file, dos, sizeof dos, &read, nullptr) && read == sizeof dos && dos[0] == 'M' &&
      dos[1] == 'Z') {
    LONG offset = static_cast<LONG>(dos[60] | dos[61] << 8 | dos[62] << 16 |
                                    static_cast<DWORD>(dos[63]) << 24);
    if (offset >= 64 &&
        SetFilePointer(file, offset, nullptr, FILE_BEGIN) != INVALID_SET_FILE_POINTER &&
        ReadFile(file, pe, sizeof pe, &read, nullptr) && read == sizeof pe && pe[0] == 'P' &&
        pe[1] == 'E' && pe[2] == 0 && pe[3] == 0) {
      switch (pe[4] | pe[5] << 8) {
        case 0x014c: machine = L"x86"; break;
        case 0x8664: machine = L"x64"; break;
        case 0xAA64: machine = L"arm64"; break;
        default: break;
      }
    }
  }
  CloseHandle(file);
  return machine;
}

bool Ours(const std::wstring& name) {
  for (const wchar_t* own : {L"VDQRN.DLL", L"QRNHOST32.EXE", L"QRNHOST64.EXE", L"QRNHOSTA64.EXE"}) {
    if (CompareStringOrdinal(name.c_str(), -1, own, -1, TRUE) == CSTR_EQUAL) return true;
  }
  return false;
}

// The architecture of the client in FOLDER (ends with a backslash): that of
// wfica32.exe, else wfica.exe, else of the first other program, then
// library, of the folder (by name) that is not ours; empty when none tells.
std::wstring ClientMachine(MSIHANDLE install, std::wstring folder) {
  if (!folder.empty() && folder.back() != L'\\') folder += L'\\';
  for (const wchar_t* name : {L"wfica32.exe", L"wfica.exe"}) {
    const std::wstring machine = Machine(folder + name);
    if (!machine.empty()) {
      Log(install, L"the client's program " + folder + name + L" is for " + machine);
      return machine;
    }
  }
  for (const wchar_t* pattern : {L"*.exe", L"*.dll"}) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + pattern).c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) continue;
    do {
      if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && !Ours(found.cFileName)) {
        names.push_back(found.cFileName);
      }
    } while (FindNextFileW(search, &found));
    FindClose(search);
    std::sort(names.begin(), names.end(), [](const std::wstring& a, const std::wstring& b) {
      return CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_LESS_THAN;
    });
    for (const std::wstring& name : names) {
      const std::wstring machine = Machine(folder + name);
      if (!machine.empty()) {
        Log(install, L"the client's file " + folder + name + L" is for " + machine);
        return machine;
      }
    }
  }
  Log(install, L"no program in " + folder + L" tells the client's architecture");
  return std::wstring();
}

// The client's InstallFolder in the other registry view (the 32-bit one for
// the 64-bit build, the 64-bit one for the 32-bit build); empty when none.
std::wstring OtherViewClientFolder() {
#if defined(_WIN64)
  constexpr REGSAM kOther = KEY_WOW64_32KEY;
#else
  constexpr REGSAM kOther = KEY_WOW64_64KEY;
  // 32-bit Windows has one view: the client's folder was looked up there.
  BOOL wow64 = FALSE;
  if (!IsWow64Process(GetCurrentProcess(), &wow64) || !wow64) return std::wstring();
#endif
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Citrix\\Install\\ICA Client", 0,
                    KEY_QUERY_VALUE | kOther, &key) != ERROR_SUCCESS) {
    return std::wstring();
  }
  DWORD bytes = 0;
  DWORD type = 0;
  std::wstring text;
  if (RegQueryValueExW(key, L"InstallFolder", nullptr, &type, nullptr, &bytes) == ERROR_SUCCESS &&
      (type == REG_SZ || type == REG_EXPAND_SZ)) {
    std::vector<wchar_t> value(bytes / sizeof(wchar_t) + 1, L'\0');
    bytes = static_cast<DWORD>(value.size() * sizeof(wchar_t));
    if (RegQueryValueExW(key, L"InstallFolder", nullptr, &type,
                         reinterpret_cast<BYTE*>(value.data()), &bytes) == ERROR_SUCCESS) {
      text.assign(value.data(), wcsnlen(value.data(), value.size()));
    }
  }
  RegCloseKey(key);
  return text;
}

}  // namespace

// Immediate, while the installer writes its script (after the removal of an
// older version): the state that each rollback action puts back.
extern "C" __declspec(dllexport) UINT __stdcall SaveQrnModuleList(MSIHANDLE install) {
  Saved saved;
  std::wstring data;
  if (SaveState(&saved)) {
    data = Encode(saved);
  } else {
    Log(install, L"cannot read the module list as it is: a rollback leaves it as it finds it");
  }
  MsiSetPropertyW(install, L"AddQrnModuleRollback", data.c_str());
  MsiSetPropertyW(install, L"RemoveQrnModuleRollback", data.c_str());
  return ERROR_SUCCESS;
}

// Rollback of AddQrnModule and of RemoveQrnModule.
extern "C" __declspec(dllexport) UINT __stdcall RestoreQrnModuleList(MSIHANDLE install) {
  Saved saved;
  const std::wstring data = Property(install, L"CustomActionData");
  if (data.empty() || !Decode(data, &saved)) {
    Log(install, L"nothing saved of the module list to restore");
    return ERROR_SUCCESS;
  }
  RestoreState(install, saved);
  return ERROR_SUCCESS;
}

// Immediate, before the launch conditions: QRNCLIENTARCH, the architecture
// of the client in CLIENTINSTALLFOLDER (x86, x64, arm64; empty when unknown);
// where there is none in the package's registry view but one in the other,
// QRNOTHERCLIENT, its folder, and QRNOTHERPACKAGE, the package that serves it.
extern "C" __declspec(dllexport) UINT __stdcall CheckQrnClient(MSIHANDLE install) {
  const std::wstring folder = Property(install, L"CLIENTINSTALLFOLDER");
  if (!folder.empty()) {
    MsiSetPropertyW(install, L"QRNCLIENTARCH", ClientMachine(install, folder).c_str());
    return ERROR_SUCCESS;
  }
  const std::wstring other = OtherViewClientFolder();
  if (other.empty()) return ERROR_SUCCESS;
  const std::wstring machine = ClientMachine(install, other);
#if defined(_WIN64)
  const std::wstring package = L"vdqrn-windows-x86.msi";
  (void)machine;
#else
  const std::wstring package =
      machine == L"x64" || machine == L"arm64"
          ? L"vdqrn-windows-" + machine + L".msi"
          : L"vdqrn-windows-x64.msi (vdqrn-windows-arm64.msi for a native arm64 client)";
#endif
  MsiSetPropertyW(install, L"QRNOTHERCLIENT", other.c_str());
  MsiSetPropertyW(install, L"QRNOTHERPACKAGE", package.c_str());
  return ERROR_SUCCESS;
}

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
