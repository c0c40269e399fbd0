// The codes and texts GetLastErrorCode / GetLastErrorString report for a
// refused call. The texts are English whatever the language setting.
#pragma once

namespace simspectro {

enum class ErrorCode : int {
  kNone = 0,
  kNotConnected = 1,
  kAngleOutOfRange = 2,
  kWavelengthOutOfRange = 3,
  kNoData = 4,
  kSampleOutOfRange = 5,
  kUnknownCalibrationStep = 6,
  kNoCalibrationInProgress = 7,
  kUnknownSetting = 8,
  kInvalidOptionValue = 9,
  kUnsupportedLanguage = 10,
  kUnknownCommand = 11,
  kMissingText = 12,
};

// The text of a code; "" for kNone.
const char* ErrorText(ErrorCode code);

}  // namespace simspectro
