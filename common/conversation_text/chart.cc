#include "chart.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "instrument/decimal_text.h"

namespace conversation_text {

namespace {

const char kIndent[] = "  ";
// The x axis labels and the plot column each one starts in: centred under
// their wavelength's column, except 400, which starts under it.
struct XLabel {
  const char* text;
  std::size_t start;
};
const XLabel kXLabels[] = {{"400", 0}, {"500", 9}, {"600", 19}, {"700", 29}};

std::optional<double> ParseValue(const std::string& text) {
  const std::optional<double> value = vdqrn::ParseDecimal(text);
  if (!value || !std::isfinite(*value)) return std::nullopt;
  return value;
}

std::string AxisLabel(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.4g", value);
  return text;
}

std::string TrimmedRight(std::string line) {
  line.erase(line.find_last_not_of(' ') + 1);
  return line;
}

}  // namespace

std::optional<std::vector<double>> SpectralValues(const std::string& response) {
  const std::string prefix = "OK|";
  if (response.compare(0, prefix.size(), prefix) != 0) return std::nullopt;
  std::vector<double> values;
  std::size_t begin = prefix.size();
  while (true) {
    const std::size_t end = response.find(';', begin);
    const std::optional<double> value =
        ParseValue(response.substr(begin, end == std::string::npos ? end : end - begin));
    if (!value || values.size() == kSpectralValueCount) return std::nullopt;
    values.push_back(*value);
    if (end == std::string::npos) break;
    begin = end + 1;
  }
  if (values.size() != kSpectralValueCount) return std::nullopt;
  return values;
}

std::vector<std::string> SpectralChart(const std::vector<double>& values) {
  if (values.size() != kSpectralValueCount) return {};
  const auto [lowest, highest] = std::minmax_element(values.begin(), values.end());
  const double range = *highest - *lowest;
  const std::string top = AxisLabel(*highest);
  const std::string bottom = AxisLabel(*lowest);
  const std::size_t labelWidth = std::max(top.size(), bottom.size());

  // The row of each value, 0 at the bottom; a flat spectrum runs through the
  // middle.
  std::vector<int> levels;
  for (const double value : values) {
    levels.push_back(range > 0 ? static_cast<int>(std::lround((value - *lowest) / range *
                                                              (kChartRows - 1)))
                               : kChartRows / 2);
  }

  std::vector<std::string> lines;
  for (int row = kChartRows - 1; row >= 0; --row) {
    std::string label = row == kChartRows - 1 ? top : row == 0 ? bottom : "";
    std::string line = kIndent + std::string(labelWidth - label.size(), ' ') + label + " |";
    for (const int level : levels) line += level == row ? '*' : ' ';
    lines.push_back(TrimmedRight(line));
  }
  lines.push_back(kIndent + std::string(labelWidth, ' ') + " +" +
                  std::string(kSpectralValueCount, '-'));

  std::string labels(kSpectralValueCount + 1, ' ');
  for (const XLabel& label : kXLabels) labels.replace(label.start, 3, label.text);
  lines.push_back(kIndent + std::string(labelWidth + 2, ' ') + TrimmedRight(labels) + " nm");
  return lines;
}

}  // namespace conversation_text
