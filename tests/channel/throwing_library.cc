// An instrument library for tests whose Connect throws an int: an exception
// outside the standard family, which no part of the interpreter catches.
#include <cstdint>

#include "instrument/driver_api.h"

#if defined(_WIN32)
#define THROWING_EXPORT extern "C" __declspec(dllexport)
#else
#define THROWING_EXPORT extern "C" __attribute__((visibility("default")))
#endif
#define ENTRY(result) THROWING_EXPORT result SPECTRO_CALL

ENTRY(bool) Connect() { throw 42; }
ENTRY(bool) Disconnect() { return true; }
ENTRY(bool) IsConnected() { return false; }
ENTRY(bool) SetLanguage(std::uint16_t) { return true; }
ENTRY(int) GetAngles() { return 0; }
ENTRY(int) GetWavelengths() { return 0; }
ENTRY(const char*) GetAngleValue(int) { return ""; }
ENTRY(int) GetWavelengthValue(int) { return 0; }
ENTRY(bool) Measure() { return true; }
ENTRY(float) GetSpectralData(int, int) { return 0.0f; }
ENTRY(bool) IsDataReady() { return false; }
ENTRY(const char*) GetSerialNum() { return ""; }
ENTRY(int) GetCalStatus() { return 0; }
ENTRY(bool) Calibrate() { return true; }
ENTRY(const char*) GetCalSteps() { return ""; }
ENTRY(const char*) GetCalMode() { return ""; }
ENTRY(int) GetCalProgress() { return 0; }
ENTRY(bool) AbortCalibration() { return true; }
ENTRY(bool) CalibrateStep(const char*) { return true; }
ENTRY(bool) ClearSamples() { return true; }
ENTRY(int) GetSampleCount() { return 0; }
ENTRY(bool) SetCurrentSample(int) { return true; }
ENTRY(float) GetSampleData(int, int) { return 0.0f; }
ENTRY(bool) Configure() { return true; }
ENTRY(const char*) GetAvailableSettings() { return ""; }
ENTRY(const char*) GetSettingOptions(const char*) { return ""; }
ENTRY(const char*) GetOption(const char*) { return ""; }
ENTRY(bool) SetOption(const char*, const char*) { return true; }
ENTRY(int) GetLastErrorCode() { return 0; }
ENTRY(const char*) GetLastErrorString() { return ""; }
ENTRY(const char*) Execute(const char*) { return ""; }
