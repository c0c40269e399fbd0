#include "transcript.h"

#include <cstdio>

#include "chart.h"

namespace conversation_text {

std::string Visible(const std::string& bytes) {
  std::string text;
  for (const char byte : bytes) {
    const auto code = static_cast<unsigned char>(byte);
    switch (byte) {
      case '\r': text += "\\r"; break;
      case '\n': text += "\\n"; break;
      case '\t': text += "\\t"; break;
      case '\0': text += "\\0"; break;
      default:
        if (code < 0x20 || code == 0x7F) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\x%02X", code);
          text += escaped;
        } else {
          text += byte;
        }
    }
  }
  return text;
}

void PrintCommand(std::ostream& out, const std::string& command) {
  out << "> " << Visible(command) << '\n';
}

void PrintResponse(std::ostream& out, const std::string& response) {
  out << "< " << Visible(response) << '\n';
}

void PrintChartIfSpectral(std::ostream& out, const std::string& command,
                          const std::string& response) {
  if (command.substr(0, command.find('|')) != "GetSpectralDataAll") return;
  const std::optional<std::vector<double>> values = SpectralValues(response);
  if (!values) return;
  for (const std::string& line : SpectralChart(*values)) out << line << '\n';
}

}  // namespace conversation_text
