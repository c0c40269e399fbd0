#include "channel/channel_open.h"

#include <algorithm>
#include <string>

#include "channel/engine_entry.h"
#include "channel/engine_state.h"
#include "channel/response_delivery.h"
#include "channel/virtual_channel_ica.h"
#include "diagnostics/log.h"

namespace vdqrn {

using diagnostics::LogTimestamped;
using diagnostics::PlainLogLine;

const char kCommandChannelName[] = "QrnCmd1";
const char kDataChannelName[] = "QrnDta1";

namespace {

// The handler keeps the engine's maximum write size less one; a size the
// engine never gave (0) stays 0.
std::uint16_t LessOne(std::uint16_t size) {
  return size == 0 ? 0 : static_cast<std::uint16_t>(size - 1);
}

std::int32_t QueryWinStationDriver(ica::DriverRecord* pDriver, std::uint16_t usProcedure,
                                   std::uint32_t ulClass, void* pBuffer,
                                   std::uint16_t usBufferLength) {
  ica::WdInformation information{};
  information.ulInformationClass = ulClass;
  information.pBuffer = pBuffer;
  information.usBufferLength = usBufferLength;
  std::uint16_t usSize = sizeof information;
  return CallWinStationDriver(pDriver, usProcedure, &information, &usSize);
}

std::string LastErrorText(const ica::LastErrorRecord& record) {
  const char* begin = record.szText;
  return std::string(begin, std::find(begin, begin + sizeof record.szText, '\0'));
}

// Asks the winstation driver for its version (class 86), which decides
// high-performance mode, and in that mode announces the driver's properties
// (class 92). Keeps the direct send entry point the engine hands over.
std::int32_t CheckHighPerformance(ica::DriverRecord* pDriver, std::uint16_t usChannel, void* pWd,
                                  ica::SendDirectProcedure* ppfnSendDirect) {
  PlainLogLine() << "Check WinStationDriver version";
  ica::WdVersionBuffer version{};
  version.usVersion = 0;
  std::int32_t status = QueryWinStationDriver(pDriver, ica::kWdQueryInformation,
                                              ica::kClassWdVersion, &version, sizeof version);
  if (status != ica::kStatusSuccess) {
    PlainLogLine() << "Error checking the WinStationDriver! channel number=" << usChannel
                   << " result=" << status;
    ica::LastErrorRecord lastError{};
    DriverGetLastError(pDriver, &lastError);
    PlainLogLine() << "Last error: \"" << LastErrorText(lastError) << "\"";
    return status;
  }

  GetEngineState().bHpc = version.usVersion != 0;
  *ppfnSendDirect = version.pfnSendDirect;
  PlainLogLine() << "HPC: " << (GetEngineState().bHpc ? 1 : 0);

  if (GetEngineState().bHpc) {
    ica::HpcPropertiesBuffer properties{};
    properties.pWd = pWd;
    properties.ulVdOptions = 1;
    properties.usVersion = 1;
    PlainLogLine() << "WdSet_HPC_Properties Version=" << properties.usVersion
                   << " ulVdOptions=" << properties.ulVdOptions
                   << " g_pWd=" << static_cast<const void*>(pWd);
    status = QueryWinStationDriver(pDriver, ica::kWdSetInformation, ica::kClassHpcProperties,
                                   &properties, sizeof properties);
    if (status != ica::kStatusSuccess) {
      PlainLogLine() << "WdSet_HPC_Properties failed, Result=" << status;
      return status;
    }
  }

  return ica::kStatusSuccess;
}

}  // namespace

std::int32_t CallWinStationDriver(ica::DriverRecord* pDriver, std::uint16_t usProcedure,
                                  ica::WdInformation* pInformation, std::uint16_t* puSize) {
  ica::WdLink* link = pDriver != nullptr ? pDriver->pWdLink : nullptr;
  if (link == nullptr || link->pProcedureTable == nullptr) return ica::kStatusUnavailable;
  const ica::EngineProcedure entry = link->pProcedureTable[usProcedure];
  if (entry == nullptr) return ica::kStatusUnavailable;
  const auto procedure = reinterpret_cast<ica::WdInformationProcedure>(entry);
  return procedure(link->pWdData, pInformation, puSize);
}

std::int32_t DriverOpen(ica::DriverRecord* pDriver, ica::OpenRecord* pOpen,
                        std::uint16_t* puSize) {
  LogTimestamped("ICA: Driver Open");
  GetEngineState().bHpc = false;
  std::int32_t status = OpenCommandChannel(pDriver, pOpen, puSize);
  if (status != ica::kStatusSuccess) return status;
  status = OpenDataChannel(pDriver, pOpen, puSize);
  if (status != ica::kStatusSuccess) return status;
  return ica::kStatusSuccess;
}

std::int32_t OpenChannel(const char* name, ica::DriverRecord* pDriver, ica::OpenRecord* /*pOpen*/,
                         std::uint16_t* puSize, std::uint16_t* pusChannel) {
  LogTimestamped(std::string("ICA: Open channel \"") + name + "\"");
  if (puSize != nullptr) *puSize = ica::kOpenSizeValue;

  ica::OpenChannelBuffer buffer{};
  buffer.pszChannelName = name;
  buffer.usChannelNumber = 0;
  const std::int32_t status = QueryWinStationDriver(pDriver, ica::kWdQueryInformation,
                                                    ica::kClassOpenChannel, &buffer, sizeof buffer);
  if (status != ica::kStatusSuccess) {
    PlainLogLine() << "Could not open channel \"" << name << "\", Result: " << status;
    return status;
  }
  *pusChannel = buffer.usChannelNumber;
  pDriver->uptrChannelValue = 0;
  return ica::kStatusSuccess;
}

std::int32_t RegisterWriteHook(ica::DriverRecord* pDriver, ica::OpenRecord* /*pOpen*/,
                               std::uint16_t* /*puSize*/, std::uint16_t usChannel,
                               ica::WriteHookRecord* pHook, ica::WdInformation* pInformation) {
  *pHook = ica::WriteHookRecord{};
  pHook->usChannel = usChannel;
  pHook->pVdData = pDriver;
  pHook->pfnWriteHook = &DataArrival;

  *pInformation = ica::WdInformation{};
  pInformation->ulInformationClass = ica::kClassWriteHook;
  pInformation->pBuffer = pHook;
  pInformation->usBufferLength = sizeof *pHook;

  PlainLogLine() << "Registering write hook for channel number=" << usChannel
                 << " vdwh.pVdData=" << static_cast<const void*>(pDriver);
  std::uint16_t usSize = sizeof *pInformation;
  const std::int32_t status =
      CallWinStationDriver(pDriver, ica::kWdSetInformation, pInformation, &usSize);
  if (status != ica::kStatusSuccess) {
    PlainLogLine() << "Could not register write hook for channel number=" << usChannel
                   << " result=" << status;
    // Whatever the engine may have left in the record was not handed over.
    pHook->pWd = nullptr;
    pHook->usMaximumWriteSize = 0;
    pHook->pfnQueueWrite = nullptr;
    return status;
  }
  return ica::kStatusSuccess;
}

std::int32_t OpenCommandChannel(ica::DriverRecord* pDriver, ica::OpenRecord* pOpen,
                                std::uint16_t* puSize) {
  LogTimestamped("ICA: Open command channel");
  std::uint16_t usChannel = 0;
  const std::int32_t status =
      OpenChannel(kCommandChannelName, pDriver, pOpen, puSize, &usChannel);
  if (status != ica::kStatusSuccess) return status;

  // A failed registration is logged there and does not stop the open.
  ica::WriteHookRecord hook;
  ica::WdInformation information;
  RegisterWriteHook(pDriver, pOpen, puSize, usChannel, &hook, &information);

  // Responses never go out on the command channel: its context and queued
  // write entry point are not kept.
  GetVirtualChannel().SetCommandChannel(usChannel, LessOne(hook.usMaximumWriteSize));
  PlainLogLine() << "Command Channel successfully registered";
  return ica::kStatusSuccess;
}

std::int32_t OpenDataChannel(ica::DriverRecord* pDriver, ica::OpenRecord* pOpen,
                             std::uint16_t* puSize) {
  LogTimestamped("ICA: Open data channel");
  std::uint16_t usChannel = 0;
  std::int32_t status = OpenChannel(kDataChannelName, pDriver, pOpen, puSize, &usChannel);
  if (status != ica::kStatusSuccess) return status;

  ica::WriteHookRecord hook;
  ica::WdInformation information;
  const bool bHooked = RegisterWriteHook(pDriver, pOpen, puSize, usChannel, &hook,
                                         &information) == ica::kStatusSuccess;
  void* const pWd = hook.pWd;
  const ica::QueueWriteProcedure pfnQueueWrite = hook.pfnQueueWrite;
  const std::uint16_t usMaxWrite = hook.usMaximumWriteSize;

  // The Linux engine has no version query: normal mode, no direct send.
  ica::SendDirectProcedure pfnSendDirect = nullptr;
  if (TargetEngine() == EngineKind::kWindows) {
    status = CheckHighPerformance(pDriver, usChannel, pWd, &pfnSendDirect);
    if (status != ica::kStatusSuccess) return status;
    // The direct send is called with the context that the engine hands over
    // with the data channel's write hook; without that hook it is absent too.
    if (!bHooked) pfnSendDirect = nullptr;
  }

  GetVirtualChannel().SetDataChannel(usChannel, LessOne(usMaxWrite), pWd, pfnQueueWrite,
                                     pfnSendDirect, GetEngineState().bHpc ? 1 : 0);
  PlainLogLine() << "Data Channel successfully registered (Channel nr: " << usChannel << ")";
  return ica::kStatusSuccess;
}

std::int32_t VDQRN_ENGINE_CALL DataArrival(void* /*pVdData*/, std::uint16_t usChannel,
                                           std::uint8_t* pBytes, std::uint16_t usLength) {
  // Nothing may leave this procedure towards the engine.
  try {
    LogTimestamped("ICA: Data arrival");
    // No terminator is expected; zero bytes inside stay part of the text.
    const std::string text = pBytes != nullptr
                                 ? std::string(reinterpret_cast<const char*>(pBytes), usLength)
                                 : std::string();
    PlainLogLine() << "Data (channel: " << usChannel << ", size: " << usLength << "): \""
                   << text << "\"";

    VirtualChannelICA& channel = GetVirtualChannel();
    // Delivered inside another command's library call: its answer waits
    // for the outer command's, which is sent first.
    const bool nested = channel.IsExecuting();
    std::string response;
    try {
      response = channel.Execute(text);
    } catch (...) {
      response = channel.AnswerUnhandledException();
    }
    PlainLogLine() << "Response: \"" << response << "\"";

    if (GetEngineState().bHpc && !nested) {
      PlainLogLine() << "Is HPC --> Send data direct";
      // The answer, then those of commands nested in it, in their order,
      // as long as the engine takes them; the rest goes with the polls.
      while (SendData() == ica::kStatusSuccess && channel.HasPendingResponse()) {
      }
    }
  } catch (...) {
  }
  return ica::kStatusSuccess;
}

}  // namespace vdqrn
