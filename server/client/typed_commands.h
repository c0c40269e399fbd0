// The commands whose answers are numbers or lists, with the answer read
// into its type: angles, wavelengths, spectral data and its list of 31
// values, calibration steps, yes/no answers and the driver's version.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "session.h"

namespace qrnclient {

template <typename T>
struct Answer {
  Reply reply;              // the response as it came (or why none came)
  std::optional<T> value;   // set when the response was OK and of the type
  // When the response was OK but not of the type: what was wrong.
  std::string problem;
  bool Ok() const { return value.has_value(); }
};

using Timeout = Session::Milliseconds;

// "OK|{integer}", "OK|{number}", "OK|true" / "OK|false" for any command.
Answer<long long> AskInteger(Session& session, const std::string& command, Timeout timeout);
Answer<double> AskNumber(Session& session, const std::string& command, Timeout timeout);
Answer<bool> AskFlag(Session& session, const std::string& command, Timeout timeout);

Answer<long long> Angles(Session& session, Timeout timeout);
Answer<long long> Wavelengths(Session& session, Timeout timeout);
Answer<long long> WavelengthValue(Session& session, int index, Timeout timeout);
Answer<double> SpectralData(Session& session, int angle, int index, Timeout timeout);
// GetSpectralDataAll: exactly 31 values.
Answer<std::vector<double>> SpectralDataAll(Session& session, int angle, Timeout timeout);
// GetCalSteps: the library's list, split at its separator (";" for most).
Answer<std::vector<std::string>> CalibrationSteps(Session& session, Timeout timeout,
                                                  char separator = ';');
// QuarnClientDriverVersion: the driver answers its version bare.
Answer<std::string> DriverVersion(Session& session, Timeout timeout);

// The number of values in a GetSpectralDataAll answer.
constexpr std::size_t kSpectralValueCount = 31;

}  // namespace qrnclient
