// The command line of qrnctl.
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace qrnctl {

enum class Mode { kConverse, kCheck, kSend };

struct Options {
  Mode mode = Mode::kConverse;
  std::string text;     // send: the command text
  std::string script;   // converse: commands from this file (else standard input)
  std::string library;  // check: the instrument library to load and connect
  bool dataChannel = false;
  std::chrono::milliseconds timeout{5000};
  bool json = false;    // check, send: one JSON object instead of text
  bool help = false;
  bool version = false;
};

struct ParsedOptions {
  bool ok = false;
  Options options;
  std::string error;  // one line, when not ok
};

// "check" and "send TEXT" are the first argument; options take their value
// as the next argument or after "=".
ParsedOptions ParseOptions(const std::vector<std::string>& arguments);

std::string HelpText();

}  // namespace qrnctl
