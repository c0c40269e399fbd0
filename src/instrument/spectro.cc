#include "instrument/spectro.h"

#include <string>

#include "diagnostics/log.h"
#include "instrument/library_trial.h"

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
  // A forked copy of the client that ends lets go of its copies quietly
  // (InstrumentHost's destructor); the process that started the host leaves
  // it to end with the process (its job, its watcher).
  if (g_processEnding && host_ != nullptr && host_->StartedHere()) {
    host_->LeaveToTheSystem();
    static_cast<void>(host_.release());
  }
}

bool Spectro::LoadDriver(const char* name) {
  UnloadDriver();
  failedFile_.clear();
  failureReason_.clear();

  // A path that would not fit the platform's path buffer is not tried.
  const std::string path =
      std::string(platform::kLocalLibraryPrefix) + name + platform::kLibrarySuffix;
  if (path.size() >= platform::kMaxPath) {
    return Refuse(path, "its path is longer than " + std::to_string(platform::kMaxPath - 1) +
                            " bytes", false);
  }

  // Exactly the file the system's search finds is checked and loaded, by
  // its full path. A library this process cannot load goes to an instrument
  // host of its architecture, which loads that very file.
  const std::string file = platform::LocateLibrary(path.c_str());
  if (file.empty()) {
    return Refuse(path, "no such file in " + platform::LibrarySearchDescription(path.c_str()),
                  false);
  }
  const platform::Architecture architecture = platform::LibraryArchitecture(file);
  if (mayUseHost_ && architecture != platform::Architecture::kUnknown &&
      !platform::SystemMayLoad(platform::kOwnArchitecture, architecture)) {
    return StartHost(architecture, file, false);
  }
  // Its start-up code runs unguarded in the system's loader: it is tried in
  // a host of this architecture first, where an abort, a crash or a start-up
  // that never returns ends the host, not the client.
  if (mayUseHost_) {
    const LibraryTrial::Verdict verdict = LibraryTrial::Judge(file);
    if (!verdict.made) {
      diagnostics::LogTimestamped("Driver library \"" + file + "\" loads untried: " +
                                  verdict.reason);
    }
    if (!verdict.mayLoad) return Refuse(file, verdict.reason);
  }
  switch (LoadInProcess(file)) {
    case kLoaded: return true;
    case kFailed: return false;
    case kCutShortEarlier: break;
    case kNeverInitialised:
      // The client holds the library mapped without its imports resolved
      // (DONT_RESOLVE_DLL_REFERENCES): the system hands that mapping back,
      // never started, to every load of the file. A host runs it whole.
      if (!mayUseHost_) return Refuse(file, "this process holds it without its imports resolved");
      diagnostics::LogTimestamped("\"" + file +
                                  "\" is held in this process without its imports resolved: it "
                                  "loads in an instrument host");
      return StartHost(platform::kOwnArchitecture, file, false);
  }
  // The system handed back a library whose call was cut short earlier,
  // whatever the name it was asked for: its state cannot be trusted here,
  // so it runs in a host of this process's own architecture.
  if (!mayUseHost_) return Refuse(file, "a call into it was cut short in this process earlier");
  diagnostics::LogTimestamped("A call into \"" + file +
                              "\" was cut short earlier: it loads in an instrument host");
  return StartHost(platform::kOwnArchitecture, file, true);
}

bool Spectro::Refuse(const std::string& tried, const std::string& reason, bool found) {
  failedFile_ = tried;
  failedFileFound_ = found;
  failureReason_ = reason;
  return false;
}

std::string Spectro::LoadFailure() const {
  if (failureReason_.empty()) return std::string();
  return std::string("Driver library \"") + failedFile_ + "\" " +
         (failedFileFound_ ? "not loaded: " : "not found: ") + failureReason_;
}

bool Spectro::StartHost(platform::Architecture architecture, const std::string& file,
                        bool cutShortEarlier) {
  bool loaded = false;
  std::string why;
  host_ = InstrumentHost::Start(architecture, file, &loaded, &why);
  if (!loaded) host_.reset();
  hostRunsACopyCutShort_ = loaded && cutShortEarlier;
  return loaded || Refuse(file, why);
}

Spectro::InProcessLoad Spectro::LoadInProcess(const std::string& file) {
  const platform::LibraryHandle library = platform::LoadLibraryFile(file);
  if (library == nullptr) {
    const std::string error = platform::LastLoadError();
    Refuse(file, error.empty() ? "the system's loader refused it" : error);
    return kFailed;
  }
  // The module the system maps is what the library is: another spelling, a
  // short name or a link to a file cut short earlier all give its handle.
  // Loading it again ran none of its code; the reference it took is dropped.
  // A library abandoned by an earlier load of this module (which the engine
  // unloaded and loaded again) carries the mark in its image.
  if (abandoned_.count(library) != 0 || platform::LibraryWasAbandoned(library)) {
    platform::FreeDynamicLibrary(library);
    return kCutShortEarlier;
  }
  if (!platform::LibraryImportsResolved(library)) {
    platform::FreeDynamicLibrary(library);
    return kNeverInitialised;
  }
  file_ = file;
  return ResolveEntryPoints(library) ? kLoaded : kFailed;
}

bool Spectro::LoadDriverFile(const std::string& file) {
  UnloadDriver();
  failedFile_.clear();
  failureReason_.clear();
  return LoadInProcess(file) == kLoaded;
}

void Spectro::CallCutShort() {
  if (cutShort_) return;
  cutShort_ = true;
  // Nothing of the library runs here again, not even at a thread's start or
  // end or at exit, where its teardown might wait for what the call held.
  if (handle_ != nullptr) {
    abandoned_.insert(handle_);
    if (!platform::AbandonLibrary(handle_)) {
      diagnostics::LogTimestamped(
          "Driver call cut short: the system refused to silence the library's notifications");
    }
  }
  diagnostics::LogTimestamped(
      host_ != nullptr
          ? "Driver call cut short in the instrument host: the library is not called again "
            "there; the next Init ends that host"
          : "Driver call cut short: the library is not called again in this process; it may "
            "still hold the instrument until the client is restarted");
}

bool Spectro::ResolveEntryPoints(platform::LibraryHandle library) {
  handle_ = library;
  if (handle_ == nullptr) return false;

  // Looked up in the order of the list (entry_points.h); the first missing
  // name rejects the library and the names after it are not looked up.
  const char* missing = nullptr;
#define VDQRN_RESOLVE(name, result, parameters, arguments) \
  &&(Resolve(handle_, #name, entryPoints_.name) || (missing = #name, false))
  const bool complete = true VDQRN_ENTRY_POINTS(VDQRN_RESOLVE);
#undef VDQRN_RESOLVE
  if (!complete) {
    const std::string file = file_;
    UnloadDriver();
    Refuse(file, std::string("it lacks the entry point \"") + missing + "\"");
  }
  return complete;
}

void Spectro::UnloadDriver() {
  host_.reset();
  if (handle_ != nullptr) {
    // What a cut-short call left (a held lock, a half-done state) may hang
    // the library's own teardown: it stays mapped and is never called here
    // again.
    if (!cutShort_) platform::FreeDynamicLibrary(handle_);
    handle_ = nullptr;
  }
  cutShort_ = false;
  hostRunsACopyCutShort_ = false;
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
