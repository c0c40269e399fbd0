// The command interpreter: parses a command text, dispatches it through the
// command table to its handler, and answers with a Result. Owns Spectro, the door to
// the instrument driver library.
#pragma once

#include <map>
#include <string>
#include <vector>

#include <boost/function.hpp>

#include "instrument/spectro.h"
#include "interpreter/result.h"

namespace vdqrn {

using Parameters = std::vector<std::string>;
using CommandHandler = boost::function<Result(const std::string&, const Parameters&)>;
using CommandTable = std::map<std::string, CommandHandler>;

// The command name: the text before the first "|", or the whole text.
std::string GetCommandName(const std::string& commandText);
// The "|"-closed pieces after the name; writes "Parameters of {text}".
Parameters GetParameters(const std::string& commandText);
// Stack probe run before every command: reserves 4000 bytes for a moment.
void StackLogTest();

class Instrument {
 public:
  Instrument();
  ~Instrument();
  Instrument(const Instrument&) = delete;
  Instrument& operator=(const Instrument&) = delete;

  // Runs one command. Failures come back as an error Result; only an
  // exception outside the standard family passes through. A command that
  // arrives while another runs (a library that pumps messages lets the
  // engine deliver data on the same thread) is answered busy and not run.
  Result Execute(const std::string& commandText);

  // The keys of the command table, in table order.
  std::vector<std::string> CommandNames() const;

 private:
  void Register(const char* name,
                Result (Instrument::*handler)(const std::string&, const Parameters&));

  // Runs a library call when a library is loaded; answers "No driver loaded"
  // otherwise, so that no call goes through a missing entry point.
  template <typename Call>
  Result CallDriver(Call call);

  Result HandleHello(const std::string& name, const Parameters& parameters);

  // Driver loading, connection and information (handlers_connection.cc).
  Result HandleInit(const Parameters& parameters);
  Result HandleConnect(const std::string& name, const Parameters& parameters);
  Result HandleDisconnect(const std::string& name, const Parameters& parameters);
  Result HandleIsConnected(const std::string& name, const Parameters& parameters);
  Result HandleSetLanguage(const std::string& name, const Parameters& parameters);
  Result HandleGetSerialNumber(const std::string& name, const Parameters& parameters);
  Result HandleGetAngles(const std::string& name, const Parameters& parameters);
  Result HandleGetWavelengths(const std::string& name, const Parameters& parameters);
  Result HandleGetAngleValue(const std::string& name, const Parameters& parameters);
  Result HandleGetWavelengthValue(const std::string& name, const Parameters& parameters);
  Result HandleGetLastErrorCode(const std::string& name, const Parameters& parameters);
  Result HandleGetLastErrorString(const std::string& name, const Parameters& parameters);

  // Measurement and samples (handlers_measurement.cc).
  Result HandleMeasure(const std::string& name, const Parameters& parameters);
  Result HandleIsDataReady(const std::string& name, const Parameters& parameters);
  Result HandleGetSpectralData(const std::string& name, const Parameters& parameters);
  Result HandleGetSpectralDataAll(const std::string& name, const Parameters& parameters);
  Result HandleClearSamples(const std::string& name, const Parameters& parameters);
  Result HandleGetSampleCount(const std::string& name, const Parameters& parameters);
  Result HandleSetCurrentSample(const std::string& name, const Parameters& parameters);
  Result HandleGetSampleData(const std::string& name, const Parameters& parameters);

  // Calibration (handlers_calibration.cc).
  Result HandleGetCalStatus(const std::string& name, const Parameters& parameters);
  Result HandleCalibrate(const std::string& name, const Parameters& parameters);
  Result HandleGetCalSteps(const std::string& name, const Parameters& parameters);
  Result HandleGetCalMode(const std::string& name, const Parameters& parameters);
  Result HandleCalibrateStep(const std::string& name, const Parameters& parameters);
  Result HandleGetCalProgress(const std::string& name, const Parameters& parameters);
  Result HandleAbortCalibration(const std::string& name, const Parameters& parameters);

  // Settings and pass-through (handlers_settings.cc).
  Result HandleConfigure(const std::string& name, const Parameters& parameters);
  Result HandleGetAvailableSettings(const std::string& name, const Parameters& parameters);
  Result HandleGetSettingOptions(const std::string& name, const Parameters& parameters);
  Result HandleGetOption(const std::string& name, const Parameters& parameters);
  Result HandleSetOption(const std::string& name, const Parameters& parameters);
  Result HandleExecute(const std::string& name, const Parameters& parameters);

  Spectro spectro_;
  CommandTable commandTable_;
  bool executing_ = false;
};

}  // namespace vdqrn
