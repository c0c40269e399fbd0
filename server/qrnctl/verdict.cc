#include "verdict.h"

#include <cstdio>

#include "exit_codes.h"

namespace qrnctl {

const char* ExitCodeName(int code) {
  switch (code) {
    case kExitOk: return "ok";
    case kExitErrorAnswer: return "error_answer";
    case kExitUsage: return "usage";
    case kExitScript: return "script";
    case kExitNoResponse: return "no_response";
    case kExitNoChannelFunctions: return "no_channel_functions";
    case kExitAccessDenied: return "access_denied";
    case kExitChannelsClosed: return "channels_closed";
    case kExitNoDriver: return "no_driver";
    case kExitLibraryLoad: return "library_load";
    case kExitLibraryConnect: return "library_connect";
    case kExitChannelFailure: return "channel_failure";
    case kExitUnsafeLibraryName: return "unsafe_library_name";
    case kExitCommandTooLong: return "command_too_long";
    case kExitLibraryInUse: return "library_in_use";
  }
  return "unknown";
}

void PrintVerdict(const Verdict& verdict, std::ostream& out) {
  if (verdict.problem.empty()) {
    out << "All is well.\n";
  } else {
    out << "PROBLEM: " << verdict.problem << "\n";
  }
  for (const std::string& line : verdict.advice) out << "  " << line << "\n";
  for (const auto& [name, value] : verdict.details) out << name << ": " << value << "\n";
  out << std::flush;
}

std::string JsonString(const std::string& text) {
  std::string json = "\"";
  for (const char c : text) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      json += '\\';
      json += c;
    } else if (c == '\n') {
      json += "\\n";
    } else if (byte < 0x20 || byte > 0x7E) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
      json += escaped;
    } else {
      json += c;
    }
  }
  return json + "\"";
}

void PrintVerdictJson(const Verdict& verdict, std::ostream& out) {
  out << "{\"exit_code\": " << verdict.code << ", \"exit_name\": "
      << JsonString(ExitCodeName(verdict.code)) << ", \"problem\": "
      << (verdict.problem.empty() ? "null" : JsonString(verdict.problem)) << ", \"advice\": [";
  for (std::size_t i = 0; i < verdict.advice.size(); ++i) {
    out << (i ? ", " : "") << JsonString(verdict.advice[i]);
  }
  out << "], \"details\": {";
  for (std::size_t i = 0; i < verdict.details.size(); ++i) {
    out << (i ? ", " : "") << JsonString(verdict.details[i].first) << ": "
        << JsonString(verdict.details[i].second);
  }
  out << "}, \"allow_list_entries\": [";
  for (std::size_t i = 0; i < verdict.allowListEntries.size(); ++i) {
    out << (i ? ", " : "") << JsonString(verdict.allowListEntries[i]);
  }
  out << "]}\n" << std::flush;
}

}  // namespace qrnctl
