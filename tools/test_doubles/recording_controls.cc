#include "recording_controls.h"

#include <stdexcept>

#if defined(_WIN32)
#include <windows.h>

#include <filesystem>
#endif

namespace vdqrn {

std::string OwnCopyOfRecordingLibrary() {
#if defined(_WIN32)
  namespace fs = std::filesystem;
  static int copies = 0;
  const fs::path folder = "recordingcopies";
  std::error_code ignored;
  if (copies == 0) fs::remove_all(folder, ignored);  // what no process holds any more
  fs::create_directories(folder, ignored);
  const std::string name = "recording-" + std::to_string(GetCurrentProcessId()) + "-" +
                           std::to_string(++copies);
  fs::copy_file("recordingspectro.dll", folder / (name + ".dll"),
                fs::copy_options::overwrite_existing, ignored);
  return folder.string() + "\\" + name;
#else
  return "recordingspectro";
#endif
}

RecordingLibrary::RecordingLibrary(const std::string& name)
    : library_(platform::LoadDynamicLibrary(
          (std::string(platform::kLocalLibraryPrefix) + name + platform::kLibrarySuffix).c_str())) {
  if (library_ != nullptr) Reset();
}

RecordingLibrary::~RecordingLibrary() {
  if (library_ != nullptr) {
    Reset();
    platform::FreeDynamicLibrary(library_);
  }
}

template <typename Procedure>
Procedure RecordingLibrary::Find(const char* name) const {
  const auto procedure = reinterpret_cast<Procedure>(platform::FindExport(library_, name));
  if (procedure == nullptr) throw std::runtime_error(std::string("no control ") + name);
  return procedure;
}

void RecordingLibrary::Reset() { Find<void (*)()>("Recording_Reset")(); }
std::string RecordingLibrary::Journal() { return Find<const char* (*)()>("Recording_Journal")(); }
void RecordingLibrary::SetBool(bool value) { SetBoolByte(value ? 1 : 0); }
void RecordingLibrary::SetBoolByte(unsigned char low) {
  Find<void (*)(int)>("Recording_SetBoolByte")(low);
}
void RecordingLibrary::SetInt(int value) { Find<void (*)(int)>("Recording_SetInt")(value); }
void RecordingLibrary::SetFloat(float value) { Find<void (*)(float)>("Recording_SetFloat")(value); }
void RecordingLibrary::SetText(const char* text) {
  Find<void (*)(const char*)>("Recording_SetText")(text);
}
void RecordingLibrary::SetReentry(void (*reentry)()) {
  Find<void (*)(void (*)())>("Recording_SetReentry")(reentry);
}

void RecordingLibrary::SetThrow(Throw kind) {
  Find<void (*)(int)>("Recording_SetThrow")(static_cast<int>(kind));
}

void RecordingLibrary::SetExclusiveFile(const std::string& path) {
  Find<void (*)(const char*)>("Recording_SetPort")(path.c_str());
}

}  // namespace vdqrn
