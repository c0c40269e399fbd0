#include "exchanges.h"

namespace vdqrn {

bool LibraryReasonsAreReadable() {
#if defined(_WIN32) && !defined(_WIN64)
  return false;
#else
  return true;
#endif
}

std::string StandardExceptionAnswer(const std::string& command, const std::string& reason) {
  if (!LibraryReasonsAreReadable()) return "ERROR|Unhandled exception";
  return "ERROR|Error executing command \"" + command.substr(0, command.find('|')) + "\" (" +
         reason + ")";
}

std::vector<std::string> AcceptedSends(const std::vector<engine_sim::SentData>& sent,
                                       const std::vector<std::int32_t>& statuses) {
  std::vector<std::string> accepted;
  for (std::size_t i = 0; i < sent.size(); ++i) {
    // The engine simulator answers 0 once its scripted statuses run out.
    if (i >= statuses.size() || statuses[i] == 0) accepted.push_back(sent[i].bytes);
  }
  return accepted;
}

const std::vector<Exchange>& EveryFamilyWithSimspectro() {
  static const std::vector<Exchange> exchanges = {
      {"Hello", "OK|Hello"},
      {"QuarnClientDriverVersion", "1.5.0"},
      {"Connect", "ERROR|No driver loaded"},
      {"Init|simspectro|", "OK"},
      {"Execute|Reset|", "OK|OK"},
      {"Connect", "OK|true"},
      {"IsConnected", "OK|true"},
      {"SetLanguage|1031|", "OK|true"},
      {"SetLanguage|-1|",
       "ERROR|Error executing command \"SetLanguage\" (bad lexical cast: source type value "
       "could not be interpreted as target)"},
      {"GetSerialNumber", "OK|SIM-000123"},
      {"GetAngles", "OK|3"},
      {"GetAngleValue|1|", "OK|45as45"},
      {"GetWavelengths", "OK|31"},
      {"GetWavelengthValue|30|", "OK|700"},
      {"Measure", "OK|true"},
      {"IsDataReady", "OK|true"},
      {"GetSampleCount", "OK|1"},
      {"SetCurrentSample|0|", "OK|true"},
      {"GetCalStatus", "OK|0"},
      {"GetCalSteps", "OK|White;Black"},
      {"GetCalMode", "ERROR|Missing parameter"},
      {"GetCalMode|x|", "OK|Standard"},
      {"CalibrateStep|White|", "OK|true"},
      {"GetCalProgress", "OK|50"},
      {"AbortCalibration", "OK|true"},
      {"Calibrate", "OK|true"},
      {"Configure", "OK|true"},
      {"GetAvailableSettings", "OK|Aperture;Illuminant;Observer;CalMode;Patch"},
      {"GetOption|CalMode|", "OK|Standard"},
      {"SetOption|Aperture|XYZ|", "OK|false"},
      {"GetLastErrorCode", "OK|9"},
      {"ClearSamples", "OK|true"},
      {"Disconnect", "OK|true"},
      {"GetLastErrorString", "OK"},
      {"Nope|x|", "ERROR|Unknown command \"Nope\""},
      {"Init|missingexport|", "ERROR|Error loading driver (\"missingexport\") on client"},
      {"IsConnected", "ERROR|No driver loaded"},
  };
  return exchanges;
}

}  // namespace vdqrn
