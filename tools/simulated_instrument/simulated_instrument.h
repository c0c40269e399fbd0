// The simulated spectrophotometer: connection, measurements and their sample
// memory, calibration, settings and the last error. One method per entry
// point; texts come back as strings and the export layer keeps them alive.
// Deterministic: the same calls give the same answers.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "calibration.h"
#include "errors.h"
#include "settings.h"

namespace simspectro {

class SimulatedInstrument {
 public:
  SimulatedInstrument();

  bool Connect();
  bool Disconnect();
  bool IsConnected() const { return connected; }
  bool SetLanguage(std::uint16_t languageId);

  int GetAngles() const;
  int GetWavelengths() const;
  std::string GetAngleValue(int angle);
  int GetWavelengthValue(int wavelength);

  bool Measure();
  float GetSpectralData(int angle, int wavelength);
  bool IsDataReady() const { return !samples.empty(); }
  std::string GetSerialNum() const;

  int GetCalStatus() const { return calibration.Status(); }
  bool Calibrate();
  std::string GetCalSteps() const;
  std::string GetCalMode() const;
  int GetCalProgress() const { return calibration.Progress(); }
  bool AbortCalibration();
  bool CalibrateStep(const char* step);

  bool ClearSamples();
  int GetSampleCount() const { return static_cast<int>(samples.size()); }
  bool SetCurrentSample(int sample);
  float GetSampleData(int angle, int wavelength);

  bool Configure();
  std::string GetAvailableSettings() const;
  std::string GetSettingOptions(const char* setting);
  std::string GetOption(const char* option);
  bool SetOption(const char* option, const char* value);

  int GetLastErrorCode() const { return static_cast<int>(error); }
  const char* GetLastErrorString() const { return ErrorText(error); }
  void ClearError() { error = ErrorCode::kNone; }

  std::string Execute(const char* text);

 private:
  bool Refuse(ErrorCode code);
  // Reflectance of a stored sample, or -1 and an error for a bad index.
  float SampleValue(int sample, int angle, int wavelength);
  int NextPatch() const;
  std::string Status() const;

  bool connected;
  std::uint16_t language;
  Settings settings;
  Calibration calibration;
  std::vector<int> samples;  // the patch each stored measurement saw
  int currentSample;         // -1 while the memory is empty
  int cyclePosition;         // next patch in the measuring cycle
  ErrorCode error;
};

}  // namespace simspectro
