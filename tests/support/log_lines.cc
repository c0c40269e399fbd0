#include "log_lines.h"

#include <cstdint>
#include <regex>
#include <sstream>

namespace vdqrn {

namespace {

// Marks an expected line as timestamped; no log text starts with it.
const char kStampMarker[] = "\x01stamp\x01";

}  // namespace

std::string Quoted(const std::vector<std::string>& lines) {
  std::ostringstream text;
  for (const std::string& line : lines) {
    if (line.rfind(kStampMarker, 0) == 0) {
      text << "  [stamped] " << line.substr(sizeof kStampMarker - 1) << "\n";
    } else {
      text << "  " << line << "\n";
    }
  }
  return text.str();
}

std::string Stamped(const std::string& text) { return kStampMarker + text; }

bool IsTimestamped(const std::string& line, const std::string& text) {
  static const std::regex stamp(R"(^\d\d\.\d\d\.\d{4} - \d\d:\d\d:\d\d  )");
  constexpr std::size_t kStampLength = 23;
  return line.size() >= kStampLength &&
         std::regex_search(line.substr(0, kStampLength), stamp) &&
         line.compare(kStampLength, std::string::npos, text) == 0;
}

bool LineMatches(const std::string& line, const std::string& expected) {
  if (expected.rfind(kStampMarker, 0) == 0) {
    return IsTimestamped(line, expected.substr(sizeof kStampMarker - 1));
  }
  return line == expected;
}

::testing::AssertionResult LinesAre(const std::vector<std::string>& lines,
                                    const std::vector<std::string>& expected) {
  bool same = lines.size() == expected.size();
  for (std::size_t i = 0; same && i < lines.size(); ++i) same = LineMatches(lines[i], expected[i]);
  if (same) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "log lines:\n"
                                       << Quoted(lines) << "expected:\n"
                                       << Quoted(expected);
}

std::vector<std::string> LinesFrom(const std::vector<std::string>& lines,
                                   const std::string& expected) {
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (LineMatches(lines[i], expected)) {
      return std::vector<std::string>(lines.begin() + static_cast<std::ptrdiff_t>(i), lines.end());
    }
  }
  return {};
}

::testing::AssertionResult ContainsInOrder(const std::vector<std::string>& lines,
                                           const std::vector<std::string>& expected) {
  std::size_t next = 0;
  for (const std::string& line : lines) {
    if (next < expected.size() && LineMatches(line, expected[next])) ++next;
  }
  if (next == expected.size()) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure()
         << "missing from the log, in this order:\n"
         << Quoted(std::vector<std::string>(expected.begin() + static_cast<std::ptrdiff_t>(next),
                                            expected.end()))
         << "log lines:\n"
         << Quoted(lines);
}

int CountLines(const std::vector<std::string>& lines, const std::string& expected) {
  int count = 0;
  for (const std::string& line : lines) count += LineMatches(line, expected) ? 1 : 0;
  return count;
}

std::string PointerText(const void* pointer) {
  if (pointer == nullptr) return "0";
  std::ostringstream text;
  text << "0x" << std::hex << reinterpret_cast<std::uintptr_t>(pointer);
  return text.str();
}

}  // namespace vdqrn
