#include "module_ini.h"

#include <algorithm>
#include <cctype>
#include <sstream>

namespace installation_check {

namespace {

std::string Trim(const std::string& text) {
  const std::size_t first = text.find_first_not_of(" \t\r");
  if (first == std::string::npos) return std::string();
  const std::size_t last = text.find_last_not_of(" \t\r");
  return text.substr(first, last - first + 1);
}

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

void AddProblem(std::string* problems, const std::string& problem) {
  if (problems->find(problem) != std::string::npos) return;
  if (!problems->empty()) *problems += "; ";
  *problems += problem;
}

}  // namespace

bool ListNames(const std::string& list, const std::string& module) {
  std::istringstream entries(list);
  std::string entry;
  while (std::getline(entries, entry, ',')) {
    if (Lower(Trim(entry)) == Lower(module)) return true;
  }
  return false;
}

ModuleIniRegistration ReadModuleIni(const std::string& text) {
  ModuleIniRegistration found;
  std::istringstream lines(text);
  std::string line;
  std::string section;
  int icaSections = 0;
  int qrnSections = 0;
  int lists = 0;
  while (std::getline(lines, line)) {
    const std::string trimmed = Trim(line);
    if (trimmed.empty() || trimmed[0] == ';' || trimmed[0] == '#') continue;
    if (trimmed[0] == '[') {
      const std::size_t end = trimmed.find(']');
      section = Lower(Trim(trimmed.substr(1, end == std::string::npos ? end : end - 1)));
      if (section == "ica 3.0") ++icaSections;
      if (section == "qrn") ++qrnSections;
      continue;
    }
    const std::size_t equals = trimmed.find('=');
    if (equals == std::string::npos) continue;
    const std::string key = Lower(Trim(trimmed.substr(0, equals)));
    const std::string value = Trim(trimmed.substr(equals + 1));
    if (section == "ica 3.0" && key == "virtualdriver") {
      ++lists;
      if (value.find(';') != std::string::npos) {
        AddProblem(&found.formProblem, "the VirtualDriver line in [ICA 3.0] holds a \";\"");
      }
      found.listed = found.listed || ListNames(value, "QRN");
    } else if (section == "ica 3.0" && key == "qrn") {
      found.switchValue = value;
      found.switchedOn = Lower(value) == "on";
    } else if (section == "qrn" && key == "drivername") {
      found.hasDriverName = true;
      found.driverName = value;
    }
  }
  found.hasSection = qrnSections > 0;
  if (icaSections == 0) AddProblem(&found.formProblem, "it has no [ICA 3.0] section");
  if (icaSections > 1) AddProblem(&found.formProblem, "[ICA 3.0] is there twice");
  if (qrnSections > 1) AddProblem(&found.formProblem, "[QRN] is there twice");
  if (icaSections > 0 && lists == 0) {
    AddProblem(&found.formProblem, "[ICA 3.0] has no VirtualDriver line");
  }
  if (lists > 1) AddProblem(&found.formProblem, "[ICA 3.0] has more than one VirtualDriver line");
  return found;
}

}  // namespace installation_check
