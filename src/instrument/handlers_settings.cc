// Settings and options, and the pass-through of any text to the library.
#include "instrument/handler_support.h"

namespace vdqrn {

Result Instrument::HandleConfigure(const std::string&, const Parameters&) {
  return CallDriver([&] { return BoolResult(spectro_.Configure()); });
}

Result Instrument::HandleGetAvailableSettings(const std::string&, const Parameters&) {
  return CallDriver([&] { return TextResult(LibraryText(spectro_.GetAvailableSettings())); });
}

Result Instrument::HandleGetSettingOptions(const std::string&, const Parameters& parameters) {
  if (parameters.empty()) return MissingParameter();
  return CallDriver(
      [&] { return TextResult(LibraryText(spectro_.GetSettingOptions(parameters[0].c_str()))); });
}

Result Instrument::HandleGetOption(const std::string&, const Parameters& parameters) {
  if (parameters.empty()) return MissingParameter();
  return CallDriver(
      [&] { return TextResult(LibraryText(spectro_.GetOption(parameters[0].c_str()))); });
}

Result Instrument::HandleSetOption(const std::string&, const Parameters& parameters) {
  if (parameters.size() < 2) return MissingParameter();
  return CallDriver([&] {
    return BoolResult(spectro_.SetOption(parameters[0].c_str(), parameters[1].c_str()));
  });
}

Result Instrument::HandleExecute(const std::string&, const Parameters& parameters) {
  if (parameters.empty()) return MissingParameter();
  return CallDriver(
      [&] { return TextResult(LibraryText(spectro_.Execute(parameters[0].c_str()))); });
}

}  // namespace vdqrn
