#include "instrument/spectro.h"

#include <string>

namespace vdqrn {

namespace {

// Looks one export up into its typed slot; false when the library lacks it.
template <typename EntryPoint>
bool Resolve(platform::LibraryHandle library, const char* name, EntryPoint& slot) {
  slot = reinterpret_cast<EntryPoint>(platform::FindExport(library, name));
  return slot != nullptr;
}

}  // namespace

Spectro::Spectro(bool mayUseHost) : mayUseHost_(mayUseHost), handle_(nullptr) {
  ClearEntryPoints();
}

Spectro::~Spectro() {
  if (handle_ != nullptr) {
    platform::FreeDynamicLibrary(handle_);
    handle_ = nullptr;
  }
}

bool Spectro::LoadDriver(const char* name) {
  UnloadDriver();

  // A path that would not fit the platform's path buffer is not tried.
  const std::string path =
      std::string(platform::kLocalLibraryPrefix) + name + platform::kLibrarySuffix;
  if (path.size() >= platform::kMaxPath) return false;

  // A library this process cannot load goes to an instrument host of its
  // architecture, which loads the very file whose header said so; one it
  // can (or whose file cannot be read) loads here, the system's way.
  if (mayUseHost_) {
    const std::string file = platform::LocateLibrary(path.c_str());
    const platform::Architecture architecture =
        file.empty() ? platform::Architecture::kUnknown : platform::LibraryArchitecture(file);
    if (architecture != platform::Architecture::kUnknown &&
        architecture != platform::kOwnArchitecture) {
      bool loaded = false;
      host_ = InstrumentHost::Start(architecture, file, &loaded);
      if (!loaded) host_.reset();
      return loaded;
    }
  }
  return ResolveEntryPoints(platform::LoadDynamicLibrary(path.c_str()));
}

bool Spectro::LoadDriverFile(const std::string& file) {
  UnloadDriver();
  return ResolveEntryPoints(platform::LoadLibraryFile(file));
}

bool Spectro::ResolveEntryPoints(platform::LibraryHandle library) {
  handle_ = library;
  if (handle_ == nullptr) return false;

  // Looked up in the order of the list (entry_points.h); the first missing
  // name rejects the library and the names after it are not looked up.
#define VDQRN_RESOLVE(name, result, parameters, arguments) \
  &&Resolve(handle_, #name, entryPoints_.name)
  const bool complete = true VDQRN_ENTRY_POINTS(VDQRN_RESOLVE);
#undef VDQRN_RESOLVE
  if (!complete) UnloadDriver();
  return complete;
}

void Spectro::UnloadDriver() {
  host_.reset();
  if (handle_ != nullptr) {
    platform::FreeDynamicLibrary(handle_);
    handle_ = nullptr;
  }
  ClearEntryPoints();
}

void Spectro::ClearEntryPoints() { entryPoints_ = EntryPoints{}; }

void Spectro::GetSpectralDataSeries(int angle, int count, float* values) {
  if (host_ != nullptr) {
    try {
      host_->GetSpectralDataSeries(angle, count, values);
    } catch (const InstrumentHostStopped&) {
      HostStopped();
      throw;
    }
    return;
  }
  for (int index = 0; index < count; ++index) values[index] = GetSpectralData(angle, index);
}

}  // namespace vdqrn
