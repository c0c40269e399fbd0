// The instrument driver library's binary contract: the 31 entry points it
// exports under plain C names, with their argument and result types. Texts
// are NUL-terminated single-byte strings; a returned text belongs to the
// library and stays valid at least until the next call into it. On 32-bit
// Windows every entry point is __stdcall (callee cleans the stack).
#pragma once

#include <cstdint>

namespace vdqrn {

#if defined(_WIN32) && !defined(_WIN64)
#define SPECTRO_CALL __stdcall
#else
#define SPECTRO_CALL
#endif

namespace driver_api {

using Connect = bool(SPECTRO_CALL*)();
using Disconnect = bool(SPECTRO_CALL*)();
using IsConnected = bool(SPECTRO_CALL*)();
using SetLanguage = bool(SPECTRO_CALL*)(std::uint16_t language);
using GetAngles = int(SPECTRO_CALL*)();
using GetWavelengths = int(SPECTRO_CALL*)();
using GetAngleValue = const char*(SPECTRO_CALL*)(int angle);
using GetWavelengthValue = int(SPECTRO_CALL*)(int wavelength);
using Measure = bool(SPECTRO_CALL*)();
using GetSpectralData = float(SPECTRO_CALL*)(int angle, int wavelength);
using IsDataReady = bool(SPECTRO_CALL*)();
using GetSerialNum = const char*(SPECTRO_CALL*)();
using GetCalStatus = int(SPECTRO_CALL*)();
using Calibrate = bool(SPECTRO_CALL*)();
using GetCalSteps = const char*(SPECTRO_CALL*)();
using GetCalMode = const char*(SPECTRO_CALL*)();
using GetCalProgress = int(SPECTRO_CALL*)();
using AbortCalibration = bool(SPECTRO_CALL*)();
using CalibrateStep = bool(SPECTRO_CALL*)(const char* step);
using ClearSamples = bool(SPECTRO_CALL*)();
using GetSampleCount = int(SPECTRO_CALL*)();
using SetCurrentSample = bool(SPECTRO_CALL*)(int sample);
using GetSampleData = float(SPECTRO_CALL*)(int first, int second);
using Configure = bool(SPECTRO_CALL*)();
using GetAvailableSettings = const char*(SPECTRO_CALL*)();
using GetSettingOptions = const char*(SPECTRO_CALL*)(const char* setting);
using GetOption = const char*(SPECTRO_CALL*)(const char* option);
using SetOption = bool(SPECTRO_CALL*)(const char* option, const char* value);
using GetLastErrorCode = int(SPECTRO_CALL*)();
using GetLastErrorString = const char*(SPECTRO_CALL*)();
using Execute = const char*(SPECTRO_CALL*)(const char* text);

}  // namespace driver_api

}  // namespace vdqrn
