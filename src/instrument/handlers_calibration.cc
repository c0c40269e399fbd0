// Calibration: status, mode, steps and progress; starting and aborting.
#include "instrument/handler_support.h"

namespace vdqrn {

Result Instrument::HandleGetCalStatus(const std::string&, const Parameters&) {
  return CallDriver([&] { return TextResult(IntToText(spectro_.GetCalStatus())); });
}

Result Instrument::HandleCalibrate(const std::string&, const Parameters&) {
  return CallDriver([&] { return BoolResult(spectro_.Calibrate()); });
}

Result Instrument::HandleGetCalSteps(const std::string&, const Parameters&) {
  return CallDriver([&] { return TextResult(LibraryText(spectro_.GetCalSteps())); });
}

// Takes one parameter that the library's GetCalMode does not receive.
Result Instrument::HandleGetCalMode(const std::string&, const Parameters& parameters) {
  if (parameters.empty()) return MissingParameter();
  return CallDriver([&] { return TextResult(LibraryText(spectro_.GetCalMode())); });
}

Result Instrument::HandleCalibrateStep(const std::string&, const Parameters& parameters) {
  if (parameters.empty()) return MissingParameter();
  return CallDriver([&] { return BoolResult(spectro_.CalibrateStep(parameters[0].c_str())); });
}

Result Instrument::HandleGetCalProgress(const std::string&, const Parameters&) {
  return CallDriver([&] { return TextResult(IntToText(spectro_.GetCalProgress())); });
}

Result Instrument::HandleAbortCalibration(const std::string&, const Parameters&) {
  return CallDriver([&] { return BoolResult(spectro_.AbortCalibration()); });
}

}  // namespace vdqrn
