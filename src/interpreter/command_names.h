// The names of the commands the interpreter answers: the 33 keys of the
// command table, plus "Init", which the dispatcher routes itself.
#pragma once

namespace vdqrn {
namespace command {

extern const char kHello[];
extern const char kInit[];
extern const char kAbortCalibration[];
extern const char kCalibrate[];
extern const char kCalibrateStep[];
extern const char kClearSamples[];
extern const char kConfigure[];
extern const char kConnect[];
extern const char kDisconnect[];
extern const char kExecute[];
extern const char kGetAngleValue[];
extern const char kGetAngles[];
extern const char kGetAvailableSettings[];
extern const char kGetCalProgress[];
extern const char kGetCalStatus[];
extern const char kGetCalSteps[];
extern const char kGetCalMode[];
extern const char kGetLastErrorCode[];
extern const char kGetLastErrorString[];
extern const char kGetOption[];
extern const char kGetSampleCount[];
extern const char kGetSampleData[];
extern const char kGetSerialNumber[];
extern const char kGetSettingOptions[];
extern const char kGetSpectralData[];
extern const char kGetSpectralDataAll[];
extern const char kGetWavelengths[];
extern const char kGetWavelengthValue[];
extern const char kIsConnected[];
extern const char kIsDataReady[];
extern const char kMeasure[];
extern const char kSetCurrentSample[];
extern const char kSetLanguage[];
extern const char kSetOption[];

}  // namespace command

}  // namespace vdqrn
