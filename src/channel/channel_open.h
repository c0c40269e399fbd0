// Opening the two virtual channels at engine open: the channels by name, the
// write hook on both, the winstation driver's version (high-performance mode)
// and the data-arrival procedure that the engine calls with channel input.
#pragma once

#include <cstdint>

#include "channel/ica_records.h"

namespace vdqrn {

extern const char kCommandChannelName[];  // "QrnCmd1"
extern const char kDataChannelName[];     // "QrnDta1"

// Opens the command channel, then the data channel; 0 when both are open,
// otherwise the first failure's status.
std::int32_t DriverOpen(ica::DriverRecord* pDriver, ica::OpenRecord* pOpen, std::uint16_t* puSize);
std::int32_t OpenCommandChannel(ica::DriverRecord* pDriver, ica::OpenRecord* pOpen,
                                std::uint16_t* puSize);
std::int32_t OpenDataChannel(ica::DriverRecord* pDriver, ica::OpenRecord* pOpen,
                             std::uint16_t* puSize);
// Opens one channel by name and stores the engine's channel number.
std::int32_t OpenChannel(const char* name, ica::DriverRecord* pDriver, ica::OpenRecord* pOpen,
                         std::uint16_t* puSize, std::uint16_t* pusChannel);
// Registers DataArrival as the channel's write hook. On failure the values the
// engine would have filled into the record are set absent (null, 0).
std::int32_t RegisterWriteHook(ica::DriverRecord* pDriver, ica::OpenRecord* pOpen,
                               std::uint16_t* puSize, std::uint16_t usChannel,
                               ica::WriteHookRecord* pHook, ica::WdInformation* pInformation);
// Calls the winstation driver's procedure at the index; 1011 when the engine
// supplied no such procedure.
std::int32_t CallWinStationDriver(ica::DriverRecord* pDriver, std::uint16_t usProcedure,
                                  ica::WdInformation* pInformation, std::uint16_t* puSize);

// The write hook of both channels: executes the bytes as a command text and,
// in high-performance mode, sends the response at once. Always returns 0.
std::int32_t VDQRN_ENGINE_CALL DataArrival(void* pVdData, std::uint16_t usChannel,
                                           std::uint8_t* pBytes, std::uint16_t usLength);

}  // namespace vdqrn
