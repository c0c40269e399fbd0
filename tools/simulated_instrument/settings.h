// The instrument's settings: each has a name, its allowed values (the first
// one is the default) and a current value. Names and values are matched in any
// case; answers use the spelling they were added with.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace simspectro {

class Settings {
 public:
  enum class Outcome { kSet, kUnknownSetting, kInvalidValue };

  void Add(std::string name, std::vector<std::string> options);

  std::vector<std::string> Names() const;
  bool Has(std::string_view name) const;
  // Allowed and current values; empty for an unknown setting.
  std::vector<std::string> Options(std::string_view name) const;
  std::string Value(std::string_view name) const;
  // Leaves the current value as it was unless the outcome is kSet.
  Outcome Set(std::string_view name, std::string_view value);

 private:
  struct Entry {
    std::string name;
    std::vector<std::string> options;
    std::size_t current;
  };

  const Entry* Find(std::string_view name) const;

  std::vector<Entry> entries;
};

}  // namespace simspectro
