// Spectro, the door to the instrument driver library: loads it by name from
// the current directory, resolves its 31 entry points (or rejects it whole),
// offers one call per entry point, and unloads it. Knows nothing of commands
// or texts.
#pragma once

#include <cstdint>
#include <tuple>

#include "instrument/driver_api.h"
#include "platform/platform.h"

namespace vdqrn {

// Thrown by a call operation whose library call was cut short: the library
// raised what our runtime cannot catch (another compiler's C++ exception, an
// abort). Outside the standard exception family on purpose: its reason cannot
// be read, so the command is answered as any such exception is.
struct LibraryCallCutShort {};

class Spectro {
 public:
  Spectro();
  ~Spectro();
  Spectro(const Spectro&) = delete;
  Spectro& operator=(const Spectro&) = delete;

  // Unloads any current library, then loads "{name}" from the current
  // directory and resolves every entry point. False leaves nothing loaded.
  bool LoadDriver(const char* name);
  void UnloadDriver();
  bool IsLoaded() const { return handle_ != nullptr; }

  // One call per entry point, named like it, with its arguments and result
  // (Spectro::Connect, Spectro::SetLanguage(language), ...); only while a
  // library is loaded. Throws LibraryCallCutShort when a call did not return.
#define VDQRN_CALL_OPERATION(name, result, parameters, arguments) \
  result name parameters { return Guarded(entryPoints_.name) arguments; }
  VDQRN_ENTRY_POINTS(VDQRN_CALL_OPERATION)
#undef VDQRN_CALL_OPERATION

 private:
  // An entry point called through platform::CallGuarded.
  template <typename Result, typename... Params>
  struct GuardedEntryPoint {
    Result(SPECTRO_CALL* entry)(Params...);
    Result operator()(Params... arguments) const;
  };
  template <typename Result, typename... Params>
  static GuardedEntryPoint<Result, Params...> Guarded(Result(SPECTRO_CALL* entry)(Params...)) {
    return GuardedEntryPoint<Result, Params...>{entry};
  }

  // The resolved entry points, all null while no library is loaded.
  struct EntryPoints {
#define VDQRN_ENTRY_POINT_FIELD(name, result, parameters, arguments) \
  driver_api::name name = nullptr;
    VDQRN_ENTRY_POINTS(VDQRN_ENTRY_POINT_FIELD)
#undef VDQRN_ENTRY_POINT_FIELD
  };

  void ClearEntryPoints();

  platform::LibraryHandle handle_;
  EntryPoints entryPoints_;
};

template <typename Result, typename... Params>
Result Spectro::GuardedEntryPoint<Result, Params...>::operator()(Params... arguments) const {
  struct Frame {
    Result(SPECTRO_CALL* entry)(Params...);
    std::tuple<Params...> arguments;
    Result result;
  } frame{entry, std::tuple<Params...>(arguments...), Result()};
  const platform::GuardedProcedure call = [](void* context) {
    Frame* const pending = static_cast<Frame*>(context);
    pending->result = std::apply(pending->entry, pending->arguments);
  };
  if (!platform::CallGuarded(call, &frame)) throw LibraryCallCutShort();
  return frame.result;
}

}  // namespace vdqrn
