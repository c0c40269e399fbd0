#include "module_list.h"

#include <vector>

namespace vdqrn {
namespace installer {

namespace {

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t'; }

std::wstring Trimmed(const std::wstring& text) {
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end && IsBlank(text[begin])) ++begin;
  while (end > begin && IsBlank(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

wchar_t Lower(wchar_t c) { return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c; }

bool SameName(const std::wstring& a, const std::wstring& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}

// The entries between commas, each with its blanks.
std::vector<std::wstring> Entries(const std::wstring& list) {
  std::vector<std::wstring> entries;
  std::size_t start = 0;
  for (;;) {
    const std::size_t comma = list.find(L',', start);
    if (comma == std::wstring::npos) {
      entries.push_back(list.substr(start));
      return entries;
    }
    entries.push_back(list.substr(start, comma - start));
    start = comma + 1;
  }
}

}  // namespace

bool ListHasModule(const std::wstring& list, const std::wstring& module) {
  for (const std::wstring& entry : Entries(list)) {
    if (SameName(Trimmed(entry), module)) return true;
  }
  return false;
}

std::wstring AddModule(const std::wstring& list, const std::wstring& module) {
  if (ListHasModule(list, module)) return list;
  // The end of the last entry that is not blank, with its own blanks.
  std::size_t insertAt = std::wstring::npos;
  std::size_t start = 0;
  for (const std::wstring& entry : Entries(list)) {
    if (!Trimmed(entry).empty()) insertAt = start + entry.size();
    start += entry.size() + 1;
  }
  if (insertAt == std::wstring::npos) return module;
  return list.substr(0, insertAt) + L"," + module + list.substr(insertAt);
}

std::wstring RemoveModule(const std::wstring& list, const std::wstring& module) {
  if (!ListHasModule(list, module)) return list;
  std::wstring kept;
  bool first = true;
  for (const std::wstring& entry : Entries(list)) {
    if (SameName(Trimmed(entry), module)) continue;
    if (!first) kept += L',';
    kept += entry;
    first = false;
  }
  return kept;
}

}  // namespace installer
}  // namespace vdqrn
