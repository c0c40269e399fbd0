// What qrnctl check and send found, printed once with the verdict first (a
// support person reads the top), as text or as one JSON object a script
// can read.
#pragma once

#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace qrnctl {

struct Verdict {
  int code = 0;                 // an exit code of exit_codes.h
  std::string problem;          // empty when all is well; may hold indented lines
  std::vector<std::string> advice;  // what to do, a line each
  std::vector<std::pair<std::string, std::string>> details;  // what was found, in order
  std::vector<std::string> allowListEntries;  // to add, when access was denied
};

// The exit code's name: "ok", "access_denied", ...
const char* ExitCodeName(int code);

// Text: "All is well." or "PROBLEM: ..." and the advice, then the details.
void PrintVerdict(const Verdict& verdict, std::ostream& out);
// One JSON object and a line end: exit_code, exit_name, problem, advice,
// details, allow_list_entries.
void PrintVerdictJson(const Verdict& verdict, std::ostream& out);

// The text as a JSON string: quotes, backslashes, control bytes and bytes
// above 0x7E escaped (each byte as one \u00XX), so any bytes give valid JSON.
std::string JsonString(const std::string& text);

}  // namespace qrnctl
