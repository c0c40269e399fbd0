#include "errors.h"

namespace simspectro {

const char* ErrorText(ErrorCode code) {
  switch (code) {
    case ErrorCode::kNone: return "";
    case ErrorCode::kNotConnected: return "Instrument not connected";
    case ErrorCode::kAngleOutOfRange: return "Angle index out of range";
    case ErrorCode::kWavelengthOutOfRange: return "Wavelength index out of range";
    case ErrorCode::kNoData: return "No measurement data";
    case ErrorCode::kSampleOutOfRange: return "Sample index out of range";
    case ErrorCode::kUnknownCalibrationStep: return "Unknown calibration step";
    case ErrorCode::kNoCalibrationInProgress: return "No calibration in progress";
    case ErrorCode::kUnknownSetting: return "Unknown setting";
    case ErrorCode::kInvalidOptionValue: return "Invalid value for setting";
    case ErrorCode::kUnsupportedLanguage: return "Unsupported language";
    case ErrorCode::kUnknownCommand: return "Unknown command";
    case ErrorCode::kMissingText: return "Missing text argument";
  }
  return "Unknown error";
}

}  // namespace simspectro
