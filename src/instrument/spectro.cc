#include "instrument/spectro.h"

#include <string>

#include "diagnostics/log.h"

namespace vdqrn {

namespace {

bool g_processEnding = false;

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

void Spectro::LeaveLibrariesToTheSystem() { g_processEnding = true; }

Spectro::~Spectro() {
  // A library whose call was cut short stays mapped: its own teardown may
  // wait for what the cut-short call held.
  if (handle_ != nullptr && !cutShort_ && !g_processEnding) platform::FreeDynamicLibrary(handle_);
  handle_ = nullptr;
  if (g_processEnding && host_ != nullptr) {
    host_->LeaveToTheSystem();
    static_cast<void>(host_.release());  // ends with the process (its job, its own watch)
  }
}

bool Spectro::LoadDriver(const char* name) {
  UnloadDriver();

  // A path that would not fit the platform's path buffer is not tried.
  const std::string path =
      std::string(platform::kLocalLibraryPrefix) + name + platform::kLibrarySuffix;
  if (path.size() >= platform::kMaxPath) return false;

  // A library this process cannot load goes to an instrument host of its
  // architecture, which loads the very file whose header said so; so does
  // one whose call in this process was cut short (its state cannot be
  // trusted here, and it is still mapped). Any other loads here, the
  // system's way.
  const std::string file = platform::LocateLibrary(path.c_str());
  const bool abandoned = !file.empty() && abandoned_.count(file) != 0;
  if (abandoned && !mayUseHost_) return false;
  if (mayUseHost_ && !file.empty()) {
    platform::Architecture architecture = platform::LibraryArchitecture(file);
    if (abandoned) {
      diagnostics::LogTimestamped("A call into \"" + file +
                                  "\" was cut short earlier: it loads in an instrument host");
      architecture = platform::kOwnArchitecture;
    }
    if (abandoned || (architecture != platform::Architecture::kUnknown &&
                      architecture != platform::kOwnArchitecture)) {
      bool loaded = false;
      host_ = InstrumentHost::Start(architecture, file, &loaded);
      if (!loaded) host_.reset();
      return loaded;
    }
  }
  file_ = file;
  return ResolveEntryPoints(platform::LoadDynamicLibrary(path.c_str()));
}

bool Spectro::LoadDriverFile(const std::string& file) {
  UnloadDriver();
  if (abandoned_.count(file) != 0) return false;
  file_ = file;
  return ResolveEntryPoints(platform::LoadLibraryFile(file));
}

void Spectro::CallCutShort() {
  if (cutShort_) return;
  cutShort_ = true;
  diagnostics::LogTimestamped(
      "Driver call cut short: the library is not called again until the next Init");
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
    // What a cut-short call left (a held lock, a half-done state) may hang
    // the library's own teardown: it stays mapped and is never called here
    // again.
    if (cutShort_) {
      abandoned_.insert(file_);
    } else {
      platform::FreeDynamicLibrary(handle_);
    }
    handle_ = nullptr;
  }
  cutShort_ = false;
  file_.clear();
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
    } catch (const LibraryCallCutShort&) {
      CallCutShort();
      throw;
    }
    return;
  }
  for (int index = 0; index < count; ++index) values[index] = GetSpectralData(angle, index);
}

}  // namespace vdqrn
