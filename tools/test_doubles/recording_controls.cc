#include "recording_controls.h"

#include <stdexcept>

namespace vdqrn {

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
