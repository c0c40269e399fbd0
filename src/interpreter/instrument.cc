#include "interpreter/instrument.h"

#include <algorithm>
#include <cstddef>
#include <exception>

#include <boost/bind/bind.hpp>

#include "diagnostics/log.h"
#include "interpreter/command_names.h"

namespace vdqrn {

std::string GetCommandName(const std::string& commandText) {
  const std::size_t separator = commandText.find('|');
  if (separator == std::string::npos) return commandText;
  return commandText.substr(0, separator);
}

Parameters GetParameters(const std::string& commandText) {
  diagnostics::LogTimestamped("Parameters of " + commandText);

  // Every parameter is closed by a "|": text after the last one is dropped.
  // The vector is sized once, so a long command is not copied over and over
  // while it grows.
  Parameters parameters;
  const auto separators = std::count(commandText.begin(), commandText.end(), '|');
  if (separators < 2) return parameters;
  parameters.reserve(static_cast<std::size_t>(separators - 1));
  std::size_t begin = commandText.find('|') + 1;
  for (std::size_t end = commandText.find('|', begin); end != std::string::npos;
       end = commandText.find('|', begin)) {
    parameters.emplace_back(commandText, begin, end - begin);
    begin = end + 1;
  }
  return parameters;
}

// Kept on purpose although nothing shows its effect: every command has always
// begun with this probe of 4000 bytes of stack, and a command's stack use
// stays what it has always been.
void StackLogTest() {
  // A block sized at run time, so the probe really moves the stack pointer.
  volatile std::size_t size = 4000;
  volatile char* block = static_cast<volatile char*>(__builtin_alloca(size));
  block[0] = 0;
}

namespace {

// "Command {name} ({p1}, {p2}, ...)", built in one allocation.
std::string CommandLine(const std::string& name, const Parameters& parameters) {
  static const char kHead[] = "Command ";
  std::size_t size = sizeof kHead - 1 + name.size() + 3;
  for (const std::string& parameter : parameters) size += parameter.size() + 2;
  std::string line;
  line.reserve(size);
  line += kHead;
  line += name;
  line += " (";
  for (std::size_t i = 0; i < parameters.size(); ++i) {
    if (i > 0) line += ", ";
    line += parameters[i];
  }
  line += ')';
  return line;
}

bool IsGreeting(const std::string& name) { return name.compare(0, 5, command::kHello) == 0; }

}  // namespace

Instrument::Instrument() {
  Register(command::kHello, &Instrument::HandleHello);
  Register(command::kAbortCalibration, &Instrument::HandleAbortCalibration);
  Register(command::kCalibrate, &Instrument::HandleCalibrate);
  Register(command::kCalibrateStep, &Instrument::HandleCalibrateStep);
  Register(command::kClearSamples, &Instrument::HandleClearSamples);
  Register(command::kConfigure, &Instrument::HandleConfigure);
  Register(command::kConnect, &Instrument::HandleConnect);
  Register(command::kDisconnect, &Instrument::HandleDisconnect);
  Register(command::kExecute, &Instrument::HandleExecute);
  Register(command::kGetAngleValue, &Instrument::HandleGetAngleValue);
  Register(command::kGetAngles, &Instrument::HandleGetAngles);
  Register(command::kGetAvailableSettings, &Instrument::HandleGetAvailableSettings);
  Register(command::kGetCalProgress, &Instrument::HandleGetCalProgress);
  Register(command::kGetCalStatus, &Instrument::HandleGetCalStatus);
  Register(command::kGetCalSteps, &Instrument::HandleGetCalSteps);
  Register(command::kGetCalMode, &Instrument::HandleGetCalMode);
  Register(command::kGetLastErrorCode, &Instrument::HandleGetLastErrorCode);
  Register(command::kGetLastErrorString, &Instrument::HandleGetLastErrorString);
  Register(command::kGetOption, &Instrument::HandleGetOption);
  Register(command::kGetSampleCount, &Instrument::HandleGetSampleCount);
  Register(command::kGetSampleData, &Instrument::HandleGetSampleData);
  Register(command::kGetSerialNumber, &Instrument::HandleGetSerialNumber);
  Register(command::kGetSettingOptions, &Instrument::HandleGetSettingOptions);
  Register(command::kGetSpectralData, &Instrument::HandleGetSpectralData);
  Register(command::kGetSpectralDataAll, &Instrument::HandleGetSpectralDataAll);
  Register(command::kGetWavelengths, &Instrument::HandleGetWavelengths);
  Register(command::kGetWavelengthValue, &Instrument::HandleGetWavelengthValue);
  Register(command::kIsConnected, &Instrument::HandleIsConnected);
  Register(command::kIsDataReady, &Instrument::HandleIsDataReady);
  Register(command::kMeasure, &Instrument::HandleMeasure);
  Register(command::kSetCurrentSample, &Instrument::HandleSetCurrentSample);
  Register(command::kSetLanguage, &Instrument::HandleSetLanguage);
  Register(command::kSetOption, &Instrument::HandleSetOption);
}

// The table goes first (members are destroyed in reverse order), then the
// Spectro frees the library.
Instrument::~Instrument() = default;

void Instrument::Register(const char* name,
                          Result (Instrument::*handler)(const std::string&, const Parameters&)) {
  using boost::placeholders::_1;
  using boost::placeholders::_2;
  commandTable_[name] = boost::bind(handler, this, _1, _2);
}

std::vector<std::string> Instrument::CommandNames() const {
  std::vector<std::string> names;
  for (const auto& entry : commandTable_) names.push_back(entry.first);
  return names;
}

Result Instrument::Execute(const std::string& commandText) {
  if (executing_) {
    // Run now, an Init would free the library under the call on the stack.
    const std::string busyName = GetCommandName(commandText);
    diagnostics::LogTimestamped("Command \"" + busyName + "\" arrived while another runs: busy");
    return ErrorResult("Command \"" + busyName + "\" refused, another command is still running");
  }
  executing_ = true;
  struct Done {
    bool& executing;
    ~Done() { executing = false; }
  } done{executing_};
  std::string name = "?";
  try {
    StackLogTest();
    name = GetCommandName(commandText);

    if (IsGreeting(name)) {
      diagnostics::LogTimestamped("Hello -> Hello");
      return Result(command::kHello, true);
    }

    const Parameters parameters = GetParameters(commandText);
    if (name == command::kInit) return HandleInit(parameters);

    const CommandTable::const_iterator entry = commandTable_.find(name);
    if (entry == commandTable_.end()) return ErrorResult("Unknown command \"" + name + "\"");

    diagnostics::LogTimestamped(CommandLine(name, parameters));
    return entry->second(name, parameters);
  } catch (const std::exception& failure) {
    // A library's exception may carry a null reason; it counts as empty.
    const char* reason = failure.what();
    return ErrorResult("Error executing command \"" + name + "\" (" +
                       (reason != nullptr ? reason : "") + ")");
  }
}

Result Instrument::HandleHello(const std::string&, const Parameters&) {
  return TextResult(command::kHello);
}

}  // namespace vdqrn
