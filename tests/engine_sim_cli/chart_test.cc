// The spectrum chart: which responses give values, and where the points and
// labels land.
#include "chart.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vdqrn {

namespace {

using conversation_text::kChartRows;
using conversation_text::SpectralChart;
using conversation_text::SpectralValues;

std::string Joined(const std::vector<std::string>& values) {
  std::string text;
  for (const std::string& value : values) text += (text.empty() ? "" : ";") + value;
  return text;
}

std::vector<std::string> Texts(std::size_t count, const std::string& value) {
  return std::vector<std::string>(count, value);
}

// The plot columns of a chart line: what follows "|" (or "+" on the axis).
std::string PlotPart(const std::string& line) {
  const std::size_t bar = line.find_first_of("|+");
  return bar == std::string::npos ? std::string() : line.substr(bar + 1);
}

TEST(SpectralValues, ReadsThirtyOneNumbers) {
  std::vector<std::string> texts = Texts(31, "0.5");
  texts[0] = "-1";
  texts[1] = "1e-05";
  texts[30] = "0.123457";
  const auto values = SpectralValues("OK|" + Joined(texts));
  ASSERT_TRUE(values.has_value());
  ASSERT_EQ(values->size(), 31u);
  EXPECT_EQ((*values)[0], -1);
  EXPECT_DOUBLE_EQ((*values)[1], 1e-05);
  EXPECT_DOUBLE_EQ((*values)[30], 0.123457);
}

TEST(SpectralValues, AnythingElseGivesNone) {
  const std::string valid = Joined(Texts(31, "0.5"));
  const std::string malformed[] = {
      "",
      "OK",
      "OK|",
      "ERROR|No driver loaded",
      "ERROR|" + valid,
      "ok|" + valid,
      "OK|" + Joined(Texts(30, "0.5")),
      "OK|" + Joined(Texts(32, "0.5")),
      "OK|" + valid + ";",
      "OK|;" + valid,
      "OK|" + Joined(Texts(15, "0.5")) + ";;" + Joined(Texts(15, "0.5")),
      "OK|" + Joined(Texts(30, "0.5")) + ";abc",
      "OK|" + Joined(Texts(30, "0.5")) + ";0.5x",
      "OK|" + Joined(Texts(30, "0.5")) + "; 0.5",
      "OK|" + Joined(Texts(30, "0.5")) + ";nan",
      "OK|" + Joined(Texts(30, "0.5")) + ";inf",
      "OK|" + Joined(Texts(30, "0.5")) + ";1e999",
      "OK|" + Joined(Texts(31, "0,5")),
  };
  for (const std::string& response : malformed) {
    EXPECT_FALSE(SpectralValues(response).has_value()) << response;
  }
}

TEST(SpectralChart, PeakStandsAloneInTheTopRow) {
  std::vector<double> values(31, 0.0);
  values[10] = 1.0;
  const std::vector<std::string> lines = SpectralChart(values);
  ASSERT_EQ(lines.size(), static_cast<std::size_t>(kChartRows) + 2);

  EXPECT_EQ(PlotPart(lines.front()), std::string(10, ' ') + "*");
  EXPECT_EQ(PlotPart(lines[kChartRows - 1]), std::string(10, '*') + " " + std::string(20, '*'));
  for (int row = 1; row < kChartRows - 1; ++row) EXPECT_EQ(PlotPart(lines[row]), "") << row;

  // The y axis shows the range, at the top and at the bottom.
  EXPECT_EQ(lines.front().substr(0, lines.front().find('|')), "  1 ");
  EXPECT_EQ(lines[kChartRows - 1].substr(0, lines[kChartRows - 1].find('|')), "  0 ");
}

TEST(SpectralChart, AxesLineUpWithThePlotColumns) {
  std::vector<double> values;
  for (int i = 0; i < 31; ++i) values.push_back(0.0125 * i);
  const std::vector<std::string> lines = SpectralChart(values);
  ASSERT_EQ(lines.size(), static_cast<std::size_t>(kChartRows) + 2);

  const std::size_t plotStart = lines.front().find('|') + 1;
  for (int row = 0; row < kChartRows; ++row) {
    EXPECT_EQ(lines[row].find('|') + 1, plotStart) << lines[row];
  }
  EXPECT_EQ(lines[0].substr(0, plotStart), "  0.375 |");
  EXPECT_EQ(lines[kChartRows - 1].substr(0, plotStart), "      0 |");
  // A rising line: first column at the bottom, last at the top.
  EXPECT_EQ(lines[kChartRows - 1][plotStart], '*');
  EXPECT_EQ(lines[0].size(), plotStart + 31);
  EXPECT_EQ(lines[0].back(), '*');

  const std::string& axis = lines[kChartRows];
  EXPECT_EQ(axis.find('+') + 1, plotStart);
  EXPECT_EQ(axis.substr(plotStart), std::string(31, '-'));
  // 400 starts under 400 nm; 500, 600 and 700 are centred under theirs.
  const std::string& labels = lines[kChartRows + 1];
  EXPECT_EQ(labels.find("400"), plotStart);
  EXPECT_EQ(labels.find("500"), plotStart + 10 - 1);
  EXPECT_EQ(labels.find("600"), plotStart + 20 - 1);
  EXPECT_EQ(labels.find("700"), plotStart + 30 - 1);
  EXPECT_EQ(labels.substr(labels.size() - 3), " nm");
}

TEST(SpectralChart, FlatSpectrumRunsThroughTheMiddle) {
  const std::vector<std::string> lines = SpectralChart(std::vector<double>(31, -1.0));
  ASSERT_EQ(lines.size(), static_cast<std::size_t>(kChartRows) + 2);
  const int middle = kChartRows - 1 - kChartRows / 2;
  for (int row = 0; row < kChartRows; ++row) {
    EXPECT_EQ(PlotPart(lines[row]), row == middle ? std::string(31, '*') : "") << row;
  }
  EXPECT_EQ(lines.front().substr(0, 5), "  -1 ");
  EXPECT_EQ(lines[kChartRows - 1].substr(0, 5), "  -1 ");
}

TEST(SpectralChart, OnlyThirtyOneValuesAreCharted) {
  EXPECT_TRUE(SpectralChart({}).empty());
  EXPECT_TRUE(SpectralChart(std::vector<double>(30, 0.5)).empty());
  EXPECT_TRUE(SpectralChart(std::vector<double>(32, 0.5)).empty());
}

}  // namespace

}  // namespace vdqrn
