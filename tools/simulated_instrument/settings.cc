#include "settings.h"

#include <utility>

#include "text.h"

namespace simspectro {

void Settings::Add(std::string name, std::vector<std::string> options) {
  entries.push_back(Entry{std::move(name), std::move(options), 0});
}

std::vector<std::string> Settings::Names() const {
  std::vector<std::string> names;
  for (const Entry& entry : entries) names.push_back(entry.name);
  return names;
}

bool Settings::Has(std::string_view name) const { return Find(name) != nullptr; }

std::vector<std::string> Settings::Options(std::string_view name) const {
  const Entry* entry = Find(name);
  return entry == nullptr ? std::vector<std::string>() : entry->options;
}

std::string Settings::Value(std::string_view name) const {
  const Entry* entry = Find(name);
  return entry == nullptr ? std::string() : entry->options[entry->current];
}

Settings::Outcome Settings::Set(std::string_view name, std::string_view value) {
  const Entry* found = Find(name);
  if (found == nullptr) return Outcome::kUnknownSetting;
  Entry& entry = entries[static_cast<std::size_t>(found - entries.data())];
  for (std::size_t i = 0; i < entry.options.size(); ++i) {
    if (EqualsIgnoreCase(entry.options[i], value)) {
      entry.current = i;
      return Outcome::kSet;
    }
  }
  return Outcome::kInvalidValue;
}

const Settings::Entry* Settings::Find(std::string_view name) const {
  for (const Entry& entry : entries) {
    if (EqualsIgnoreCase(entry.name, name)) return &entry;
  }
  return nullptr;
}

}  // namespace simspectro
