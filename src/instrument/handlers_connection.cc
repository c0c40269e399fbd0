// Loading the instrument library, connecting, and reading the instrument's
// identity, angles, wavelengths and last error.
#include "diagnostics/log.h"
#include "instrument/driver_name.h"
#include "instrument/handler_support.h"

namespace vdqrn {

const char kMissingParameter[] = "Missing parameter";
const char kNoDriverLoaded[] = "No driver loaded";
const char kDriverCutShort[] = "Driver call cut short earlier, send Init again";
const char kDriverCutShortInProcess[] =
    "Driver call cut short earlier, send Init again (the library may still hold the instrument "
    "until the client is restarted)";
const char kEarlierCopyMayHold[] =
    "Connect failed: a copy of the library cut short earlier may still hold the instrument; "
    "restarting the client frees it";

Result Instrument::HandleInit(const Parameters& parameters) {
  if (parameters.empty()) return MissingParameter();
  const std::string& name = parameters[0];
  diagnostics::LogTimestamped("Loading driver \"" + name + "\"");

  bool loaded = false;
  const std::string refused = WhyDriverNameIsRefused(name);
  if (refused.empty()) {
    loaded = spectro_.LoadDriver(name.c_str());
  } else {
    spectro_.UnloadDriver();  // like any failed load, it leaves nothing loaded
  }

  if (loaded) {
    diagnostics::LogTimestamped("Loading Driver success");
    return Result();
  }
  diagnostics::LogTimestamped("Loading Driver error");
  // Which file was tried, or where it was looked for, and the system's
  // reason: a wrong folder, a wrong case, a missing dependency and the wrong
  // architecture each say so.
  // (The name itself is in the line above.)
  const std::string why =
      refused.empty() ? spectro_.LoadFailure() : "Driver name never tried: " + refused;
  if (!why.empty()) diagnostics::LogTimestamped(why);
  return ErrorResult("Error loading driver (\"" + name + "\") on client");
}

// The copy whose call was cut short keeps what it opened, typically the
// instrument's port, which a device lets one process hold: a host that runs
// the library again then cannot connect, and the answer says why.
Result Instrument::HandleConnect(const std::string&, const Parameters&) {
  return CallDriver([&] {
    const bool connected = spectro_.Connect();
    if (connected || !spectro_.RunsACopyOfALibraryCutShort()) return BoolResult(connected);
    diagnostics::LogTimestamped(kEarlierCopyMayHold);
    return ErrorResult(kEarlierCopyMayHold);
  });
}

Result Instrument::HandleDisconnect(const std::string&, const Parameters&) {
  return CallDriver([&] { return BoolResult(spectro_.Disconnect()); });
}

Result Instrument::HandleIsConnected(const std::string&, const Parameters&) {
  return CallDriver([&] { return BoolResult(spectro_.IsConnected()); });
}

Result Instrument::HandleSetLanguage(const std::string&, const Parameters& parameters) {
  if (parameters.empty()) return MissingParameter();
  const std::uint16_t language = TextToUInt16(parameters[0]);
  return CallDriver([&] { return BoolResult(spectro_.SetLanguage(language)); });
}

Result Instrument::HandleGetSerialNumber(const std::string&, const Parameters&) {
  return CallDriver([&] { return TextResult(LibraryText(spectro_.GetSerialNum())); });
}

Result Instrument::HandleGetAngles(const std::string&, const Parameters&) {
  return CallDriver([&] { return TextResult(IntToText(spectro_.GetAngles())); });
}

Result Instrument::HandleGetWavelengths(const std::string&, const Parameters&) {
  return CallDriver([&] { return TextResult(IntToText(spectro_.GetWavelengths())); });
}

Result Instrument::HandleGetAngleValue(const std::string&, const Parameters& parameters) {
  if (parameters.empty()) return MissingParameter();
  const int angle = TextToInt(parameters[0]);
  return CallDriver([&] { return TextResult(LibraryText(spectro_.GetAngleValue(angle))); });
}

Result Instrument::HandleGetWavelengthValue(const std::string&, const Parameters& parameters) {
  if (parameters.empty()) return MissingParameter();
  const int wavelength = TextToInt(parameters[0]);
  return CallDriver(
      [&] { return TextResult(IntToText(spectro_.GetWavelengthValue(wavelength))); });
}

Result Instrument::HandleGetLastErrorCode(const std::string&, const Parameters&) {
  return CallDriver([&] { return TextResult(IntToText(spectro_.GetLastErrorCode())); });
}

Result Instrument::HandleGetLastErrorString(const std::string&, const Parameters&) {
  return CallDriver([&] { return TextResult(LibraryText(spectro_.GetLastErrorString())); });
}

}  // namespace vdqrn
