// The module's entry from the engine: the Load export, which hands over the
// table of the eight driver procedures, and those procedures.
#pragma once

#include <cstdint>

#include "channel/ica_records.h"

namespace vdqrn {

extern "C" std::int32_t VDQRN_ENGINE_CALL Load(ica::LinkRecord* pLink);

// The engine that loads the module. The Windows engine offers module lookups,
// the winstation driver's version query (class 86) and high-performance
// properties (class 92). The Linux engine has none of them (its class numbers
// above 33 differ and change between client builds): there the module makes
// no lookups and opens the data channel in normal mode.
enum class EngineKind { kWindows, kLinux };
// Defined beside the module's one VirtualChannelICA: the module a client loads
// follows its platform's engine; tests may link a Windows-engine build on
// Linux to cover high-performance mode natively.
EngineKind TargetEngine();

// Whether the engine called the unload procedure since it last called Load:
// an engine that unloads the module calls it first, a process that ends
// (exit() on any thread) never does.
bool EngineCalledUnload();

// Logs the call and fills the record with "no error": code 0, empty text.
std::int32_t DriverGetLastError(ica::DriverRecord* pDriver, ica::LastErrorRecord* pLastError);

}  // namespace vdqrn
