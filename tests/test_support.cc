#include "test_support.h"

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "diagnostics/log.h"

namespace {

platform::LocalTime FixedClock() { return platform::LocalTime{2026, 12, 7, 4, 50, 45}; }

std::string FreshDirectory() {
  namespace fs = std::filesystem;
  std::random_device entropy;
  const fs::path dir = fs::temp_directory_path() /
                       ("vdqrn-test-" + std::to_string(entropy()) + std::to_string(entropy()));
  fs::create_directories(dir);
  return dir.string();
}

}  // namespace

void LogTest::SetUp() {
  directory_ = FreshDirectory();
  platform::SetTempDirectoryForTesting(directory_ + static_cast<char>(
                                                        std::filesystem::path::preferred_separator));
  platform::SetClockForTesting(&FixedClock);
  diagnostics::ResetFirstOpenForTesting();
}

void LogTest::TearDown() {
  platform::SetTempDirectoryForTesting("");
  platform::SetClockForTesting(nullptr);
  std::error_code ignored;
  std::filesystem::remove_all(directory_, ignored);
}

std::string LogTest::LogPath() const { return diagnostics::LogFilePath(); }

std::vector<std::string> LogTest::LogLines() const {
  std::ifstream file(LogPath(), std::ios::binary);
  std::vector<std::string> lines;
  std::string line;
  while (std::getline(file, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

RecordingLibrary::RecordingLibrary()
    : library_(platform::LoadDynamicLibrary(
          (std::string(platform::kLocalLibraryPrefix) + "recordingspectro" + platform::kLibrarySuffix)
              .c_str())) {
  if (library_ == nullptr) ADD_FAILURE() << "recordingspectro could not be loaded";
  Reset();
}

RecordingLibrary::~RecordingLibrary() { platform::FreeDynamicLibrary(library_); }

template <typename Fn>
Fn RecordingLibrary::Find(const char* name) {
  Fn fn = reinterpret_cast<Fn>(platform::FindExport(library_, name));
  if (fn == nullptr) throw std::runtime_error(std::string("missing control ") + name);
  return fn;
}

void RecordingLibrary::Reset() { Find<void (*)()>("Recording_Reset")(); }
std::string RecordingLibrary::Journal() { return Find<const char* (*)()>("Recording_Journal")(); }
void RecordingLibrary::SetBool(bool value) { Find<void (*)(bool)>("Recording_SetBool")(value); }
void RecordingLibrary::SetInt(int value) { Find<void (*)(int)>("Recording_SetInt")(value); }
void RecordingLibrary::SetFloat(float value) { Find<void (*)(float)>("Recording_SetFloat")(value); }
void RecordingLibrary::SetText(const char* text) {
  Find<void (*)(const char*)>("Recording_SetText")(text);
}
