// The one list of the instrument driver library's 31 entry points, from which
// their types (driver_api.h), Spectro's fields, look-ups and calls, and the
// test libraries' exports are made. In the order Spectro looks them up:
//   X(name, result type, parameters with names, the names alone)
// The parameter lists are parenthesised so that each passes as one argument.
// scripts/check_exports.sh reads the names from here.
#pragma once

#include <cstdint>

#define VDQRN_ENTRY_POINTS(X)                                                            \
  X(Connect, bool, (), ())                                                               \
  X(Disconnect, bool, (), ())                                                            \
  X(IsConnected, bool, (), ())                                                           \
  X(SetLanguage, bool, (std::uint16_t language), (language))                             \
  X(GetAngles, int, (), ())                                                              \
  X(GetWavelengths, int, (), ())                                                         \
  X(GetAngleValue, const char*, (int angle), (angle))                                    \
  X(GetWavelengthValue, int, (int wavelength), (wavelength))                             \
  X(Measure, bool, (), ())                                                               \
  X(GetSpectralData, float, (int angle, int wavelength), (angle, wavelength))            \
  X(IsDataReady, bool, (), ())                                                           \
  X(GetSerialNum, const char*, (), ())                                                   \
  X(GetCalStatus, int, (), ())                                                           \
  X(Calibrate, bool, (), ())                                                             \
  X(GetCalSteps, const char*, (), ())                                                    \
  X(GetCalMode, const char*, (), ())                                                     \
  X(CalibrateStep, bool, (const char* step), (step))                                     \
  X(GetCalProgress, int, (), ())                                                         \
  X(AbortCalibration, bool, (), ())                                                      \
  X(ClearSamples, bool, (), ())                                                          \
  X(GetSampleCount, int, (), ())                                                         \
  X(SetCurrentSample, bool, (int sample), (sample))                                      \
  X(GetSampleData, float, (int first, int second), (first, second))                      \
  X(Configure, bool, (), ())                                                             \
  X(GetAvailableSettings, const char*, (), ())                                           \
  X(GetSettingOptions, const char*, (const char* setting), (setting))                    \
  X(GetOption, const char*, (const char* option), (option))                              \
  X(SetOption, bool, (const char* option, const char* value), (option, value))           \
  X(GetLastErrorCode, int, (), ())                                                       \
  X(GetLastErrorString, const char*, (), ())                                             \
  X(Execute, const char*, (const char* text), (text))
