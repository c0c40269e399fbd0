#include "channel/engine_entry.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>

#include "channel/channel_open.h"
#include "channel/engine_state.h"
#include "channel/response_delivery.h"
#include "diagnostics/log.h"

namespace vdqrn {

using diagnostics::LogTimestamped;
using diagnostics::PlainLogLine;

// Load is the module's one export. Windows builds name it in the .def file.
#if defined(_WIN32)
#define VDQRN_EXPORT
#else
#define VDQRN_EXPORT __attribute__((visibility("default")))
#endif

namespace {

// The engine modules whose procedure tables are looked up at every open.
constexpr const char* kEngineModuleNames[] = {
    "CTXMEM", "CTXMODULE", "CTXCLIB", "CTXMOUSE", "CTXTMR",        "CTXLOG",  "CTXMEMINI",
    "CTXKBD", "CTXOS",     "CTXWND",  "CTXENG",   "VP.LIB.SUBLST", "CTXFILE", "CTXPATH",
    "CTXGRAPH", "CTXSCA",  "CTXMMA"};
static_assert(sizeof kEngineModuleNames / sizeof kEngineModuleNames[0] == kEngineModuleCount,
              "one table slot per engine module");

void LookUpEngineModules() {
  EngineState& state = GetEngineState();
  if (state.pLibraryTable == nullptr) return;
  const ica::EngineProcedure entry = state.pLibraryTable[ica::kLookupProcedureIndex];
  if (entry == nullptr) return;
  const auto lookup = reinterpret_cast<ica::LookupProcedure>(entry);
  for (std::size_t i = 0; i < kEngineModuleCount; ++i) {
    lookup(kEngineModuleNames[i], nullptr, &state.moduleTables[i]);
  }
}

std::atomic<bool> g_unloadCalled{false};

std::int32_t VDQRN_ENGINE_CALL DriverUnload(ica::DriverRecord* /*pDriver*/,
                                            ica::LinkRecord* pLink) {
  g_unloadCalled = true;
  if (pLink != nullptr) {
    pLink->usProcedureCount = 0;
    pLink->pProcedureTable = nullptr;
    pLink->pDriverRecord = nullptr;
  }
  return ica::kStatusSuccess;
}

std::int32_t VDQRN_ENGINE_CALL EngineOpen(ica::DriverRecord* pDriver, void* pRecord,
                                          std::uint16_t* puSize) {
  auto* pOpen = static_cast<ica::OpenRecord*>(pRecord);
  std::int32_t status = ica::kStatusUnavailable;
  try {
    if (TargetEngine() == EngineKind::kWindows) LookUpEngineModules();
    if (pDriver != nullptr) {
      std::memset(pDriver, 0, sizeof *pDriver);
      pDriver->pWdLink = pOpen != nullptr ? pOpen->pWdLink : nullptr;
    }
    status = DriverOpen(pDriver, pOpen, puSize);
  } catch (...) {
    status = ica::kStatusUnavailable;
  }
  if (pDriver != nullptr && pOpen != nullptr) pDriver->ulChannelMask = pOpen->ulChannelMask;
  return status;
}

std::int32_t VDQRN_ENGINE_CALL DriverClose(ica::DriverRecord* /*pDriver*/, void* /*pRecord*/,
                                           std::uint16_t* /*puSize*/) {
  try {
    LogTimestamped("ICA: Driver Close");
  } catch (...) {
  }
  return ica::kStatusSuccess;
}

std::int32_t VDQRN_ENGINE_CALL DriverInfo(ica::DriverRecord* pDriver, void* pRecord,
                                          std::uint16_t* /*puSize*/) {
  try {
    LogTimestamped("ICA: Driver Info");
    auto* pInfo = static_cast<ica::InfoRecord*>(pRecord);
    if (pInfo == nullptr) return ica::kStatusBufferTooSmall;
    const std::uint32_t ulMask = pDriver != nullptr ? pDriver->ulChannelMask : 0;
    const std::uint16_t usLength = pInfo->usBufferLength;

    if (pInfo->pBuffer == nullptr || usLength < ica::kInfoOutputSize) {
      PlainLogLine() << "ICA: Driver Info - Buffer too small (Buffer: " << usLength
                     << ", Info: " << ica::kInfoOutputSize << ") (Channel mask: " << ulMask << ")";
      pInfo->usBufferLength = ica::kInfoOutputSize;
      return ica::kStatusBufferTooSmall;
    }
    PlainLogLine() << "ICA: Driver Info - (Channel mask: " << ulMask << ") Buffer OK (" << usLength
                   << ")";

    auto* pOut = static_cast<ica::InfoOutputBuffer*>(pInfo->pBuffer);
    const char* name = pOut->szModuleName;
    const std::string moduleName(name, std::find(name, name + sizeof pOut->szModuleName, '\0'));
    PlainLogLine() << "ICA: Driver Info - (Module name: " << moduleName << ") Buffer OK ("
                   << usLength << ")";

    pOut->usSize = ica::kInfoOutputSize;
    pOut->bValue3 = 3;
    pOut->bVersionFirst = 1;
    pOut->bVersionSecond = 1;
    std::strncpy(pOut->szDriverType, "ICA", sizeof pOut->szDriverType);
    pOut->bValue40 = 0;
    pOut->bValue41 = 0;
    return ica::kStatusSuccess;
  } catch (...) {
    return ica::kStatusUnavailable;
  }
}

std::int32_t VDQRN_ENGINE_CALL DriverPoll(ica::DriverRecord* /*pDriver*/, void* /*pRecord*/,
                                          std::uint16_t* /*puSize*/) {
  try {
    return SendData();
  } catch (...) {
    return ica::kStatusUnavailable;
  }
}

std::int32_t VDQRN_ENGINE_CALL DriverQueryInformation(ica::DriverRecord* pDriver, void* pRecord,
                                                      std::uint16_t* /*puSize*/) {
  try {
    auto* pQuery = static_cast<ica::QueryRecord*>(pRecord);
    if (pQuery == nullptr) return ica::kStatusBufferTooSmall;
    if (pQuery->ulInformationClass == ica::kQueryLastError) {
      if (pQuery->pBuffer == nullptr || pQuery->ulBufferLength < ica::kLastErrorSize) {
        return ica::kStatusBufferTooSmall;
      }
      const std::int32_t status =
          DriverGetLastError(pDriver, static_cast<ica::LastErrorRecord*>(pQuery->pBuffer));
      pQuery->ulReturnedLength = ica::kLastErrorSize;
      return status;
    }
    LogTimestamped("ICA: Driver Query Information");
    return ica::kStatusSuccess;
  } catch (...) {
    return ica::kStatusUnavailable;
  }
}

std::int32_t VDQRN_ENGINE_CALL DriverSetInformation(ica::DriverRecord* /*pDriver*/,
                                                    void* /*pRecord*/, std::uint16_t* /*puSize*/) {
  try {
    LogTimestamped("ICA: Driver Set Information");
  } catch (...) {
  }
  return ica::kStatusSuccess;
}

// The eight driver procedures, in the engine's order.
ica::EngineProcedure g_procedureTable[ica::kDriverProcedureCount] = {
    reinterpret_cast<ica::EngineProcedure>(&Load),
    reinterpret_cast<ica::EngineProcedure>(&DriverUnload),
    reinterpret_cast<ica::EngineProcedure>(&EngineOpen),
    reinterpret_cast<ica::EngineProcedure>(&DriverClose),
    reinterpret_cast<ica::EngineProcedure>(&DriverInfo),
    reinterpret_cast<ica::EngineProcedure>(&DriverPoll),
    reinterpret_cast<ica::EngineProcedure>(&DriverQueryInformation),
    reinterpret_cast<ica::EngineProcedure>(&DriverSetInformation),
};

}  // namespace

bool EngineCalledUnload() { return g_unloadCalled.load(); }

std::int32_t DriverGetLastError(ica::DriverRecord* /*pDriver*/, ica::LastErrorRecord* pLastError) {
  LogTimestamped("ICA: Driver GetLastError");
  // The driver records no errors of its own: the record says "none".
  if (pLastError != nullptr) std::memset(pLastError, 0, sizeof *pLastError);
  return ica::kStatusSuccess;
}

extern "C" VDQRN_EXPORT std::int32_t VDQRN_ENGINE_CALL Load(ica::LinkRecord* pLink) {
  if (pLink == nullptr) return ica::kStatusUnavailable;
  g_unloadCalled = false;
  pLink->usProcedureCount = ica::kDriverProcedureCount;
  pLink->pProcedureTable = g_procedureTable;
  pLink->pDriverRecord = &GetEngineState().driverRecord;
  GetEngineState().pLibraryTable = pLink->pLibraryTable;
  return ica::kStatusSuccess;
}

}  // namespace vdqrn
