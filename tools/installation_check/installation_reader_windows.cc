#include <windows.h>

#include <algorithm>
#include <cctype>
#include <vector>

#include "installation_reader.h"
#include "module_ini.h"

namespace installation_check {

namespace {

const char kInstallKey[] = "SOFTWARE\\Citrix\\Install\\ICA Client";
const char kModulesKey[] = "SOFTWARE\\Citrix\\ICA Client\\Engine\\Configuration\\Advanced\\Modules";
const char kModule[] = "VDQRN.DLL";

// Where a client's registration lives: a hive, and for HKLM one of its views
// (HKCU's software key has no views to choose).
struct Place {
  HKEY hive;
  REGSAM view;
  std::string name;
};

std::vector<Place> Places() {
#if defined(_WIN64)
  const Place own{HKEY_LOCAL_MACHINE, KEY_WOW64_64KEY, "HKLM (64-bit view)"};
  const Place other{HKEY_LOCAL_MACHINE, KEY_WOW64_32KEY, "HKLM (32-bit view)"};
#else
  const Place own{HKEY_LOCAL_MACHINE, KEY_WOW64_32KEY, "HKLM (32-bit view)"};
  const Place other{HKEY_LOCAL_MACHINE, KEY_WOW64_64KEY, "HKLM (64-bit view)"};
#endif
  return {own, other, Place{HKEY_CURRENT_USER, 0, "HKCU"}};
}

struct Value {
  bool exists = false;
  DWORD type = REG_NONE;
  std::string text;  // for string types
};

Value ReadValue(const Place& place, const std::string& key, const char* name) {
  Value value;
  HKEY handle = nullptr;
  if (RegOpenKeyExA(place.hive, key.c_str(), 0, KEY_QUERY_VALUE | place.view, &handle) !=
      ERROR_SUCCESS) {
    return value;
  }
  DWORD bytes = 0;
  if (RegQueryValueExA(handle, name, nullptr, &value.type, nullptr, &bytes) == ERROR_SUCCESS) {
    std::vector<char> data(bytes + 2, '\0');
    bytes = static_cast<DWORD>(data.size() - 2);
    if (RegQueryValueExA(handle, name, nullptr, &value.type, reinterpret_cast<BYTE*>(data.data()),
                         &bytes) == ERROR_SUCCESS) {
      value.exists = true;
      if (value.type == REG_SZ || value.type == REG_EXPAND_SZ) value.text = data.data();
    }
  }
  RegCloseKey(handle);
  return value;
}

bool KeyExists(const Place& place, const std::string& key) {
  HKEY handle = nullptr;
  if (RegOpenKeyExA(place.hive, key.c_str(), 0, KEY_QUERY_VALUE | place.view, &handle) !=
      ERROR_SUCCESS) {
    return false;
  }
  RegCloseKey(handle);
  return true;
}

const char* TypeName(DWORD type) {
  switch (type) {
    case REG_SZ:
      return "REG_SZ";
    case REG_EXPAND_SZ:
      return "REG_EXPAND_SZ";
    case REG_MULTI_SZ:
      return "REG_MULTI_SZ";
    case REG_DWORD:
      return "REG_DWORD";
    case REG_QWORD:
      return "REG_QWORD";
    case REG_BINARY:
      return "REG_BINARY";
    default:
      return "another type";
  }
}

bool IsString(const Value& value) { return value.type == REG_SZ || value.type == REG_EXPAND_SZ; }

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

std::string WithoutSeparator(std::string folder) {
  while (folder.size() > 3 && (folder.back() == '\\' || folder.back() == '/')) folder.pop_back();
  return folder;
}

bool IsFile(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool IsOurs(const std::string& name) {
  const std::string lower = Lower(name);
  return lower == "vdqrn.dll" || lower.rfind("qrnhost", 0) == 0;
}

// The client's program: wfica32.exe, else wfica.exe, else the first other
// program or library of its folder (by name) that is not ours.
InstalledFile ClientProgram(const std::string& folder) {
  for (const char* name : {"wfica32.exe", "wfica.exe"}) {
    InstalledFile program = InstalledFileAt(folder + "\\" + name);
    if (program.present) return program;
  }
  std::vector<std::string> names;
  WIN32_FIND_DATAA entry;
  const HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &entry);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      names.emplace_back(entry.cFileName);
    } while (FindNextFileA(search, &entry));
    FindClose(search);
  }
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    const std::string lower = Lower(name);
    const bool binary = lower.size() > 4 && (lower.compare(lower.size() - 4, 4, ".exe") == 0 ||
                                             lower.compare(lower.size() - 4, 4, ".dll") == 0);
    if (!binary || IsOurs(name)) continue;
    InstalledFile candidate = InstalledFileAt(folder + "\\" + name);
    if (candidate.architecture != Architecture::kUnknown) return candidate;
  }
  return InstalledFile{};
}

std::string Shown(const Value& value) {
  if (!value.exists) return "(missing)";
  if (!IsString(value)) return std::string("(") + TypeName(value.type) + ")";
  return "\"" + value.text + "\" (" + TypeName(value.type) + ")";
}

Registration ReadRegistration(const Place& place, const std::string& installFolder,
                              Architecture client) {
  Registration registration;
  const std::string modules = place.name + "\\" + kModulesKey;
  registration.where = modules;
  const Value list = ReadValue(place, std::string(kModulesKey) + "\\ICA 3.0", "VirtualDriverEx");
  if (list.exists && !IsString(list)) {
    registration.formProblem = std::string("VirtualDriverEx is ") + TypeName(list.type) +
                               ", not a string: the client cannot read its module list";
  }
  registration.listed = IsString(list) && ListNames(list.text, "QRN");

  const std::string qrnKey = std::string(kModulesKey) + "\\QRN";
  std::vector<const char*> names = {"DriverNameWin32"};
  if (client != Architecture::kX86) names.push_back("DriverNameWin64");
  std::string problems;
  std::string shown;
  const bool keyExists = KeyExists(place, qrnKey);
  for (const char* name : {"DriverName", "DriverNameWin16", "DriverNameWin32", "DriverNameWin64"}) {
    shown += std::string("QRN\\") + name + " = " + Shown(ReadValue(place, qrnKey, name)) + "\n";
  }
  if (!keyExists) {
    problems = "the key QRN is missing";
  } else {
    for (const char* name : names) {
      const Value value = ReadValue(place, qrnKey, name);
      std::string problem;
      if (!value.exists) {
        problem = std::string("QRN\\") + name + " is missing";
      } else if (!IsString(value)) {
        problem = std::string("QRN\\") + name + " is " + TypeName(value.type) + ", not a string";
      } else if (Lower(value.text) != Lower(kModule)) {
        problem = std::string("QRN\\") + name + " is \"" + value.text + "\", not " + kModule;
      }
      if (!problem.empty()) problems += (problems.empty() ? "" : "; ") + problem;
    }
  }
  registration.entryProblem = problems;
  registration.text = place.name + "\\" + kInstallKey + "\\InstallFolder = \"" + installFolder +
                      "\"\n" + modules + "\n" + "ICA 3.0\\VirtualDriverEx = " + Shown(list) + "\n" +
                      shown;
  return registration;
}

}  // namespace

std::string DriverLogPath() {
  char folder[MAX_PATH + 1] = {};
  const DWORD length = GetTempPathA(sizeof folder, folder);
  if (length == 0 || length > MAX_PATH) return std::string();
  return std::string(folder, length) + "QuarnClientDriver.log";
}

std::string LogProblem(const std::string& logPath) {
  if (logPath.empty()) return "the user has no temporary folder";
  const bool existed = IsFile(logPath);
  const HANDLE file = CreateFileA(logPath.c_str(), FILE_APPEND_DATA,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return "cannot write " + logPath + " (error " + std::to_string(GetLastError()) + ")";
  }
  CloseHandle(file);
  if (!existed) DeleteFileA(logPath.c_str());
  return std::string();
}

InstallationFacts ReadInstallation(const std::string& clientFolder) {
  InstallationFacts facts;
  facts.system = ClientSystem::kWindows;
  const std::vector<Place> places = Places();
  const Place* chosen = nullptr;
  std::string installFolder;
  for (const Place& place : places) {
    const Value value = ReadValue(place, kInstallKey, "InstallFolder");
    if (!IsString(value) || value.text.empty()) continue;
    if (!clientFolder.empty() &&
        Lower(WithoutSeparator(value.text)) != Lower(WithoutSeparator(clientFolder))) {
      continue;
    }
    chosen = &place;
    installFolder = value.text;
    break;
  }
  if (chosen == nullptr) {
    facts.clientFolder = clientFolder;
    facts.clientProblem =
        clientFolder.empty()
            ? std::string("no ICA client is installed: no InstallFolder value under HKLM\\") +
                  kInstallKey + " (either registry view) or HKCU\\" + kInstallKey
            : "no ICA client installed in " + clientFolder +
                  ": it is no client's InstallFolder "
                  "under HKLM\\" +
                  kInstallKey + " (either registry view) or HKCU\\" + kInstallKey;
    return facts;
  }
  facts.clientFolder = WithoutSeparator(installFolder);
  const DWORD attributes = GetFileAttributesA(facts.clientFolder.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    facts.clientProblem = "the client's InstallFolder under " + chosen->name + "\\" + kInstallKey +
                          " names " + installFolder + ", which is no folder";
    return facts;
  }
  facts.clientProgram = ClientProgram(facts.clientFolder);
  Architecture client = facts.clientProgram.architecture;
  facts.module = InstalledFileAt(facts.clientFolder + "\\" + kModule);
  if (client == Architecture::kUnknown) client = facts.module.architecture;
  facts.registration = ReadRegistration(*chosen, installFolder, client);
  for (const std::string& host : HostsFor(facts.system, client)) {
    facts.hosts.push_back(InstalledFileAt(facts.clientFolder + "\\" + host));
  }
  facts.logPath = DriverLogPath();
  facts.logProblem = LogProblem(facts.logPath);
  return facts;
}

}  // namespace installation_check
