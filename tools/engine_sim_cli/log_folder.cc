#include "log_folder.h"

#include <cstdlib>
#include <filesystem>
#include <random>
#include <sstream>
#include <system_error>

#include "engine_sim.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace fs = std::filesystem;

namespace engine_sim_cli {

namespace {

// The variables that SetModuleTempDirectory sets.
#if defined(_WIN32)
const char* const kVariables[] = {"TMP", "TEMP"};
#else
const char* const kVariables[] = {"TMPDIR"};
#endif

constexpr int kAttempts = 16;

SavedVariable Save(const std::string& name) {
  SavedVariable variable;
  variable.name = name;
#if defined(_WIN32)
  const DWORD size = GetEnvironmentVariableA(name.c_str(), nullptr, 0);
  if (size > 0) {
    std::string value(size, '\0');
    const DWORD length = GetEnvironmentVariableA(name.c_str(), &value[0], size);
    value.resize(length < size ? length : 0);
    variable.set = true;
    variable.value = value;
  }
#else
  if (const char* value = std::getenv(name.c_str())) {
    variable.set = true;
    variable.value = value;
  }
#endif
  return variable;
}

void Restore(const SavedVariable& variable) {
#if defined(_WIN32)
  SetEnvironmentVariableA(variable.name.c_str(), variable.set ? variable.value.c_str() : nullptr);
#else
  if (variable.set) {
    setenv(variable.name.c_str(), variable.value.c_str(), 1);
  } else {
    unsetenv(variable.name.c_str());
  }
#endif
}

}  // namespace

LogFolder::LogFolder() {
  std::error_code error;
  const fs::path base = fs::temp_directory_path(error);
  if (error) {
    error_ = error.message();
    return;
  }
  std::random_device random;
  for (int attempt = 0; attempt < kAttempts && path_.empty(); ++attempt) {
    std::ostringstream name;
    name << "engine_sim-" << std::hex << random() << random();
    const fs::path path = base / name.str();
    if (fs::create_directory(path, error)) path_ = path.string();
  }
  if (path_.empty()) {
    error_ = (base.string() + ": ") + (error ? error.message() : "no unused name");
    return;
  }
  for (const char* name : kVariables) saved_.push_back(Save(name));
  engine_sim::SetModuleTempDirectory(path_);
}

LogFolder::~LogFolder() {
  if (path_.empty()) return;
  for (const SavedVariable& variable : saved_) Restore(variable);
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

std::string LogFolder::LogPath() const { return engine_sim::ModuleLogPath(path_); }

std::string LogFolder::ReadLog() const {
  if (path_.empty()) return {};
  std::string text;
  for (const std::string& line : engine_sim::ReadModuleLogLines(path_)) text += line + '\n';
  return text;
}

}  // namespace engine_sim_cli
