#include "script.h"

#include "transcript.h"

namespace conversation_text {

bool ReadLine(std::istream& in, std::string* line) {
  if (!std::getline(in, *line)) return false;
  if (!line->empty() && line->back() == '\r') line->pop_back();
  return true;
}

bool IsCommandLine(const std::string& line) {
  if (line.empty() || line[0] == '#' || IsExpectationLine(line)) return false;
  return line.find_first_not_of(" \t") != std::string::npos;
}

bool IsExpectationLine(const std::string& line) { return line.rfind("< ", 0) == 0; }

bool MeetsExpectation(const std::string& response, const std::string& expectationLine) {
  static const std::string kAnyRest = "...";
  std::string expected = expectationLine.substr(2);
  const std::string shown = Visible(response);
  if (expected.size() >= kAnyRest.size() &&
      expected.compare(expected.size() - kAnyRest.size(), kAnyRest.size(), kAnyRest) == 0) {
    expected.resize(expected.size() - kAnyRest.size());
    return shown.rfind(expected, 0) == 0;
  }
  return shown == expected;
}

bool CheckExpectation(const std::string& tool, const std::string& expectationLine,
                      const std::string& command, const std::optional<std::string>& response,
                      std::ostream& err) {
  if (command.empty()) {
    err << tool << ": \"" << Visible(expectationLine) << "\" follows no command" << std::endl;
    return false;
  }
  if (!response || MeetsExpectation(*response, expectationLine)) return true;
  err << tool << ": \"" << Visible(command) << "\" answered \"" << Visible(*response)
      << "\", where the script expects \"" << expectationLine.substr(2) << "\"" << std::endl;
  return false;
}

}  // namespace conversation_text
