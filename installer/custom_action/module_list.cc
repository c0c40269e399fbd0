#include "module_list.h"

#include <vector>

namespace vdqrn {
namespace installer {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string Trimmed(const std::string& text) {
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end && IsBlank(text[begin])) ++begin;
  while (end > begin && IsBlank(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameName(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}

// The entries between commas, each with its blanks.
std::vector<std::string> Entries(const std::string& list) {
  std::vector<std::string> entries;
  std::size_t start = 0;
  for (;;) {
    const std::size_t comma = list.find(',', start);
    if (comma == std::string::npos) {
      entries.push_back(list.substr(start));
      return entries;
    }
    entries.push_back(list.substr(start, comma - start));
    start = comma + 1;
  }
}

}  // namespace

bool ListHasModule(const std::string& list, const std::string& module) {
  for (const std::string& entry : Entries(list)) {
    if (SameName(Trimmed(entry), module)) return true;
  }
  return false;
}

std::string AddModule(const std::string& list, const std::string& module) {
  if (ListHasModule(list, module)) return list;
  std::size_t end = list.size();
  while (end > 0 && (IsBlank(list[end - 1]) || list[end - 1] == ',')) --end;
  if (end == 0) return module;
  return list.substr(0, end) + "," + module;
}

std::string RemoveModule(const std::string& list, const std::string& module) {
  if (!ListHasModule(list, module)) return list;
  std::string kept;
  bool first = true;
  for (const std::string& entry : Entries(list)) {
    if (SameName(Trimmed(entry), module)) continue;
    if (!first) kept += ',';
    kept += entry;
    first = false;
  }
  return kept;
}

}  // namespace installer
}  // namespace vdqrn
