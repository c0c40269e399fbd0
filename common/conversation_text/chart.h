// The terminal chart of a GetSpectralDataAll response: the 31 values against
// 400 to 700 nm, one column per wavelength, in plain ASCII.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace conversation_text {

constexpr std::size_t kSpectralValueCount = 31;
constexpr int kChartRows = 12;

// The values of a response "OK|v0;v1;...;v30": exactly 31 finite decimal
// numbers. Nothing for any other text.
std::optional<std::vector<double>> SpectralValues(const std::string& response);

// The chart's lines, without line ends: kChartRows rows of points with the
// highest and lowest value on the y axis, then the x axis and its labels.
// Empty unless there are 31 values.
std::vector<std::string> SpectralChart(const std::vector<double>& values);

}  // namespace conversation_text
