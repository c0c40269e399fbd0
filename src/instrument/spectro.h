// Spectro, the door to the instrument driver library: loads it by name from
// the current directory, resolves its 31 entry points (or rejects it whole),
// offers one call per entry point, and unloads it. Knows nothing of commands
// or texts.
#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <tuple>
#include <type_traits>

#include "instrument/driver_api.h"
#include "instrument/host_protocol.h"
#include "instrument/instrument_host.h"
#include "instrument/library_exceptions.h"
#include "platform/platform.h"

namespace vdqrn {

class Spectro {
 public:
  // A Spectro that may not start an instrument host (the host's own) loads
  // only libraries of this process's architecture.
  explicit Spectro(bool mayUseHost = true);
  ~Spectro();
  Spectro(const Spectro&) = delete;
  Spectro& operator=(const Spectro&) = delete;

  // Unloads any current library, then loads "{name}" (the file the
  // system's search finds, platform::LocateLibrary, by its full path) and
  // resolves every entry point. False leaves nothing loaded. A library of
  // another architecture (the header of that very file), or one whose call
  // was cut short in this process earlier, whatever the name it is reached
  // by, is loaded from that file in an instrument host, and every call goes
  // there.
  bool LoadDriver(const char* name);
  // A library of this process's own architecture loads in process only
  // after a trial load in an instrument host came through (LibraryTrial).
  // The same for a library by its absolute path, in process only and
  // untried (the host's side of the above).
  bool LoadDriverFile(const std::string& file);
  // Why the last load failed, as one plain line for the log: the file tried
  // (or the path searched for) and the system's reason. Empty after a load
  // that came through.
  std::string LoadFailure() const;
  // The reason alone (what the host tells the module).
  const std::string& LoadFailureReason() const { return failureReason_; }
  // The process is ending (Windows: the module's detach, under the system's
  // loader lock): from now on no library is freed and no host is waited
  // for; the system ends both with the process.
  static void LeaveLibrariesToTheSystem();
  void UnloadDriver();
  bool IsLoaded() const { return handle_ != nullptr || host_ != nullptr; }
  bool RunsInAHost() const { return host_ != nullptr; }
  // Whether a call into the loaded library was cut short (platform::
  // CallGuarded): the library is not called again until the next load.
  bool WasCutShort() const { return cutShort_; }
  // Whether the library runs in a host because a call into it was cut short
  // in this process earlier (that copy may still hold the instrument).
  bool RunsACopyOfALibraryCutShort() const { return hostRunsACopyCutShort_; }

  // One call per entry point, named like it, with its arguments and result
  // (Spectro::Connect, Spectro::SetLanguage(language), ...); only while a
  // library is loaded. Throws LibraryCallCutShort when a call did not return;
  // through a host, what the call threw there (library_exceptions.h), or
  // InstrumentHostStopped, after which no library is loaded.
#define VDQRN_CALL_OPERATION(name, result, parameters, arguments) \
  result name parameters {                                            \
    return Guarded(host_protocol::k##name, entryPoints_.name) arguments; \
  }
  VDQRN_ENTRY_POINTS(VDQRN_CALL_OPERATION)
#undef VDQRN_CALL_OPERATION

  // GetSpectralData(angle, 0 ... count-1) into values, in this order,
  // stopping where a call does not return; through a host in one round trip.
  void GetSpectralDataSeries(int angle, int count, float* values);

 private:
  // Starts a host for the file; `cutShortEarlier` when it runs a library
  // whose call was cut short in this process.
  bool StartHost(platform::Architecture architecture, const std::string& file,
                 bool cutShortEarlier);
  // Notes why a load failed (the file or path, and the reason); false.
  bool Refuse(const std::string& tried, const std::string& reason, bool found = true);
  enum InProcessLoad { kLoaded, kFailed, kCutShortEarlier, kNeverInitialised };
  InProcessLoad LoadInProcess(const std::string& file);
  // Takes a library just loaded (or null) and looks up every entry point;
  // false, with nothing loaded, when it is null or lacks one.
  bool ResolveEntryPoints(platform::LibraryHandle library);
  // An entry point called through platform::CallGuarded, or in the host.
  template <typename Result, typename... Params>
  struct GuardedEntryPoint {
    Spectro* spectro;
    host_protocol::EntryPointIndex index;
    Result(SPECTRO_CALL* entry)(Params...);
    Result operator()(Params... arguments) const;
  };
  template <typename Result, typename... Params>
  GuardedEntryPoint<Result, Params...> Guarded(host_protocol::EntryPointIndex index,
                                               Result(SPECTRO_CALL* entry)(Params...)) {
    return GuardedEntryPoint<Result, Params...>{this, index, entry};
  }
  // A host that stopped takes the library with it.
  void HostStopped() { host_.reset(); }
  // Notes (and logs once) that a call did not return.
  void CallCutShort();

  // The resolved entry points, all null while no library is loaded.
  struct EntryPoints {
#define VDQRN_ENTRY_POINT_FIELD(name, result, parameters, arguments) \
  driver_api::name name = nullptr;
    VDQRN_ENTRY_POINTS(VDQRN_ENTRY_POINT_FIELD)
#undef VDQRN_ENTRY_POINT_FIELD
  };

  void ClearEntryPoints();

  const bool mayUseHost_;
  platform::LibraryHandle handle_;
  EntryPoints entryPoints_;
  // The instrument host running a library of another architecture; null
  // while the library (if any) is in this process.
  std::unique_ptr<InstrumentHost> host_;
  // The file of the library loaded in this process, as the system found it.
  std::string file_;
  bool cutShort_ = false;
  bool hostRunsACopyCutShort_ = false;
  // The last failed load's file (or the path searched for), whether it was
  // found, and the reason.
  std::string failedFile_;
  bool failedFileFound_ = true;
  std::string failureReason_;
  // Libraries whose call in this process was cut short, as the system knows
  // them (their module handles): never run here again, loaded again only in
  // an instrument host.
  std::set<platform::LibraryHandle> abandoned_;
};

template <typename Result, typename... Params>
Result Spectro::GuardedEntryPoint<Result, Params...>::operator()(Params... arguments) const {
  if (spectro->host_ != nullptr) {
    try {
      return spectro->host_->Call<Result>(index, arguments...);
    } catch (const InstrumentHostStopped&) {
      spectro->HostStopped();
      throw;
    } catch (const LibraryCallCutShort&) {
      spectro->CallCutShort();
      throw;
    }
  }
  // A library's bool is its low byte, any non-zero one true: a library of
  // another compiler may return a Windows BOOL (1 or any other value). The
  // byte is stored as it came and read back as a byte, never used as a C++
  // bool, which the compiler may assume holds only 0 or 1.
  using Raw = std::conditional_t<std::is_same_v<Result, bool>, unsigned char, Result>;
  struct Frame {
    Result(SPECTRO_CALL* entry)(Params...);
    std::tuple<Params...> arguments;
    Raw result;
  } frame{entry, std::tuple<Params...>(arguments...), Raw()};
  const platform::GuardedProcedure call = [](void* context) {
    Frame* const pending = static_cast<Frame*>(context);
    if constexpr (std::is_same_v<Result, bool>) {
      volatile bool returned = std::apply(pending->entry, pending->arguments);
      pending->result = *reinterpret_cast<volatile unsigned char*>(&returned);
    } else {
      pending->result = std::apply(pending->entry, pending->arguments);
    }
  };
  // A language exception the library threw (another runtime's) was unwound
  // through its frames and arrives as platform::LibraryThrew: the library
  // stays in use.
  if (!platform::CallGuarded(call, &frame)) {
    spectro->CallCutShort();
    throw LibraryCallCutShort();
  }
  return static_cast<Result>(frame.result);  // a byte to bool: any non-zero is true
}

}  // namespace vdqrn
