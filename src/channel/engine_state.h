// What the module keeps of the engine between the engine's calls, in one
// place. The channel values that the response delivery needs (channel
// numbers, context, send entry points) live in VirtualChannelICA.
#pragma once

#include <cstddef>

#include "channel/ica_records.h"

namespace vdqrn {

// The engine modules looked up by name at every open.
constexpr std::size_t kEngineModuleCount = 17;

struct EngineState {
  // The module's own record: Load hands its address to the engine, which
  // passes it back to every driver procedure; each open clears it.
  ica::DriverRecord driverRecord;
  // The engine's library table, kept by Load: its lookup procedure finds the
  // engine modules at open.
  ica::EngineProcedure* pLibraryTable;
  // The looked-up modules' procedure tables. The driver calls through none of
  // them; they are kept for a later reader, as the engine expects its
  // drivers to keep them.
  void* moduleTables[kEngineModuleCount];
  // High-performance mode as the current open decided it; DataArrival reads
  // it. VirtualChannelICA keeps a copy of its own (bHpc) for the delivery:
  // the two are set together by every open that gets that far.
  bool bHpc;
};

// The module's one EngineState; all zero when the module is loaded.
EngineState& GetEngineState();

}  // namespace vdqrn
