// Measuring, reading spectral values, and managing the library's samples.
#include "instrument/handler_support.h"

namespace vdqrn {

namespace {
constexpr int kSpectralValues = 31;  // the list always has 31 values
}

Result Instrument::HandleMeasure(const std::string&, const Parameters&) {
  return CallDriver([&] { return BoolResult(spectro_.Measure()); });
}

Result Instrument::HandleIsDataReady(const std::string&, const Parameters&) {
  return CallDriver([&] { return BoolResult(spectro_.IsDataReady()); });
}

Result Instrument::HandleGetSpectralData(const std::string&, const Parameters& parameters) {
  if (parameters.size() < 2) return MissingParameter();
  const int first = TextToInt(parameters[0]);
  const int second = TextToInt(parameters[1]);
  return CallDriver(
      [&] { return TextResult(FloatToText(spectro_.GetSpectralData(first, second))); });
}

Result Instrument::HandleGetSpectralDataAll(const std::string&, const Parameters& parameters) {
  if (parameters.empty()) return MissingParameter();
  // The parameter is converted before any library call, so a bad one never
  // leaves a partial list behind.
  const int first = TextToInt(parameters[0]);
  return CallDriver([&] {
    // The 31 calls first (through an instrument host in one round trip),
    // then the list built in place: each value followed by ";" but the last.
    float values[kSpectralValues];
    spectro_.GetSpectralDataSeries(first, kSpectralValues, values);
    char list[kSpectralValues * (kMaxFloatText + 1)];
    char* end = list;
    for (int index = 0; index < kSpectralValues; ++index) {
      if (index > 0) *end++ = ';';
      end = WriteFloatText(values[index], 6, end);
    }
    return TextResult(std::string(list, end));
  });
}

Result Instrument::HandleClearSamples(const std::string&, const Parameters&) {
  return CallDriver([&] { return BoolResult(spectro_.ClearSamples()); });
}

Result Instrument::HandleGetSampleCount(const std::string&, const Parameters&) {
  return CallDriver([&] { return TextResult(IntToText(spectro_.GetSampleCount())); });
}

Result Instrument::HandleSetCurrentSample(const std::string&, const Parameters& parameters) {
  if (parameters.empty()) return MissingParameter();
  const int sample = TextToInt(parameters[0]);
  return CallDriver([&] { return BoolResult(spectro_.SetCurrentSample(sample)); });
}

Result Instrument::HandleGetSampleData(const std::string&, const Parameters& parameters) {
  if (parameters.size() < 2) return MissingParameter();
  const int first = TextToInt(parameters[0]);
  const int second = TextToInt(parameters[1]);
  return CallDriver(
      [&] { return TextResult(FloatToText(spectro_.GetSampleData(first, second))); });
}

}  // namespace vdqrn
