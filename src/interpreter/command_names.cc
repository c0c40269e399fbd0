#include "interpreter/command_names.h"

namespace vdqrn {

namespace command {

const char kHello[] = "Hello";
const char kInit[] = "Init";
const char kAbortCalibration[] = "AbortCalibration";
const char kCalibrate[] = "Calibrate";
const char kCalibrateStep[] = "CalibrateStep";
const char kClearSamples[] = "ClearSamples";
const char kConfigure[] = "Configure";
const char kConnect[] = "Connect";
const char kDisconnect[] = "Disconnect";
const char kExecute[] = "Execute";
const char kGetAngleValue[] = "GetAngleValue";
const char kGetAngles[] = "GetAngles";
const char kGetAvailableSettings[] = "GetAvailableSettings";
const char kGetCalProgress[] = "GetCalProgress";
const char kGetCalStatus[] = "GetCalStatus";
const char kGetCalSteps[] = "GetCalSteps";
const char kGetCalMode[] = "GetCalMode";
const char kGetLastErrorCode[] = "GetLastErrorCode";
const char kGetLastErrorString[] = "GetLastErrorString";
const char kGetOption[] = "GetOption";
const char kGetSampleCount[] = "GetSampleCount";
const char kGetSampleData[] = "GetSampleData";
const char kGetSerialNumber[] = "GetSerialNumber";
const char kGetSettingOptions[] = "GetSettingOptions";
const char kGetSpectralData[] = "GetSpectralData";
const char kGetSpectralDataAll[] = "GetSpectralDataAll";
const char kGetWavelengths[] = "GetWavelengths";
const char kGetWavelengthValue[] = "GetWavelengthValue";
const char kIsConnected[] = "IsConnected";
const char kIsDataReady[] = "IsDataReady";
const char kMeasure[] = "Measure";
const char kSetCurrentSample[] = "SetCurrentSample";
const char kSetLanguage[] = "SetLanguage";
const char kSetOption[] = "SetOption";

}  // namespace command

}  // namespace vdqrn
