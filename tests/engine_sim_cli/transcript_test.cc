// The printed conversation: control bytes stay visible and only a spectral
// response to GetSpectralDataAll gets a chart.
#include "transcript.h"

#include <gtest/gtest.h>

#include <sstream>

namespace vdqrn {

namespace {

using conversation_text::PrintChartIfSpectral;
using conversation_text::PrintCommand;
using conversation_text::PrintResponse;
using conversation_text::Visible;

std::string Spectrum() {
  std::string text = "OK|0.1";
  for (int i = 1; i < 31; ++i) text += ";0." + std::to_string(i % 9 + 1);
  return text;
}

std::string ChartFor(const std::string& command, const std::string& response) {
  std::ostringstream out;
  PrintChartIfSpectral(out, command, response);
  return out.str();
}

TEST(Transcript, ControlBytesAreShownEscaped) {
  EXPECT_EQ(Visible(std::string("a\r\n\t\0b\x01\x1f\x7f|\\ \xe4", 13)),
            "a\\r\\n\\t\\0b\\x01\\x1F\\x7F|\\ \xe4");
  std::ostringstream out;
  PrintCommand(out, "Connect\r\n");
  PrintResponse(out, "ERROR|Unknown command \"Connect\r\n\"");
  EXPECT_EQ(out.str(), "> Connect\\r\\n\n< ERROR|Unknown command \"Connect\\r\\n\"\n");
}

TEST(Transcript, OnlyASpectrumAnsweringGetSpectralDataAllIsCharted) {
  EXPECT_NE(ChartFor("GetSpectralDataAll|1|", Spectrum()).find("400"), std::string::npos);
  EXPECT_NE(ChartFor("GetSpectralDataAll", Spectrum()), "");
  EXPECT_EQ(ChartFor("GetSpectralData|1|2|", Spectrum()), "");
  EXPECT_EQ(ChartFor("GetSpectralDataAllx|1|", Spectrum()), "");
  EXPECT_EQ(ChartFor("Execute|GetSpectralDataAll|", Spectrum()), "");
  EXPECT_EQ(ChartFor("GetSpectralDataAll|1|", "ERROR|No driver loaded"), "");
  EXPECT_EQ(ChartFor("GetSpectralDataAll|1|", "OK|0.5;0.5"), "");
}

}  // namespace

}  // namespace vdqrn
