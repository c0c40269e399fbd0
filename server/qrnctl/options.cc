#include "options.h"

#include "numbers.h"

namespace qrnctl {

namespace {

ParsedOptions Failure(const std::string& error) {
  ParsedOptions parsed;
  parsed.error = error;
  return parsed;
}

}  // namespace

ParsedOptions ParseOptions(const std::vector<std::string>& arguments) {
  ParsedOptions parsed;
  Options& options = parsed.options;
  std::size_t i = 0;
  if (!arguments.empty() && arguments[0] == "check") {
    options.mode = Mode::kCheck;
    i = 1;
  } else if (!arguments.empty() && arguments[0] == "send") {
    options.mode = Mode::kSend;
    if (arguments.size() < 2) return Failure("send needs the command text");
    options.text = arguments[1];
    i = 2;
  }
  for (; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    const std::size_t equals = argument.rfind("--", 0) == 0 ? argument.find('=') : std::string::npos;
    const std::string name = argument.substr(0, equals);
    if (name == "--help" || name == "-h") {
      options.help = true;
      continue;
    }
    if (name == "--version") {
      if (equals != std::string::npos) return Failure("option --version takes no value");
      options.version = true;
      continue;
    }
    if (name == "--json") {
      if (equals != std::string::npos) return Failure("option --json takes no value");
      options.json = true;
      continue;
    }
    if (name != "--script" && name != "--library" && name != "--channel" && name != "--timeout") {
      if (argument.rfind("-", 0) == 0) return Failure("unknown option \"" + argument + "\"");
      return Failure("unexpected argument \"" + argument + "\"");
    }
    std::string value;
    if (equals != std::string::npos) {
      value = argument.substr(equals + 1);
    } else if (i + 1 < arguments.size()) {
      value = arguments[++i];
    }
    if (value.empty()) return Failure("option " + name + " needs a value");
    if (name == "--script") {
      options.script = value;
    } else if (name == "--library") {
      options.library = value;
    } else if (name == "--channel") {
      if (value != "command" && value != "data") {
        return Failure("option --channel takes \"command\" or \"data\", not \"" + value + "\"");
      }
      options.dataChannel = value == "data";
    } else {
      const auto ms = qrnclient::ParseInteger(value);
      if (!ms || *ms < 0 || *ms > 24LL * 3600 * 1000) {
        return Failure("option --timeout takes milliseconds (0 to 86400000), not \"" + value + "\"");
      }
      options.timeout = std::chrono::milliseconds(*ms);
    }
  }
  if (!options.library.empty() && options.mode != Mode::kCheck) {
    return Failure("option --library belongs to check");
  }
  if (options.json && options.mode == Mode::kConverse) {
    return Failure("option --json belongs to check and send");
  }
  if (!options.script.empty() && options.mode != Mode::kConverse) {
    return Failure("option --script holds a conversation: leave out check and send");
  }
  parsed.ok = true;
  return parsed;
}

std::string HelpText() {
  return R"(Usage: qrnctl check [--library NAME] [--timeout MS] [--json]
       qrnctl send TEXT [--channel command|data] [--timeout MS] [--json]
       qrnctl [--script FILE] [--channel command|data] [--timeout MS]

The host side's test program for the vdqrn instrument channels. Runs on the
session host, inside the user's session: opens the virtual channels QrnCmd1
and QrnDta1 with the platform's channel functions (wfapi64.dll, or wfapi.dll
for 32-bit programs) and talks to the driver on the user's client.

  check            opens the channels and asks the driver for its version;
                   says in plain words what is wrong when something is: the
                   channel functions are missing, the server's allow list
                   refuses this program (with the entries to add), the driver
                   does not answer (not installed or not registered on the
                   client), the instrument library does not load
  --library NAME   with check: also Init|NAME|, Connect and Disconnect, then
                   an Init the driver refuses, which leaves no library
                   loaded; refused (exit 14) while a library is loaded in
                   the session already: a running host application's
                   library is never reloaded
  --json           with check and send: print one JSON object (exit_code,
                   exit_name, problem, advice, details, allow_list_entries)
                   instead of text
  send TEXT        sends one command text and prints the response
  --script FILE    sends each command line of FILE; without it and without
                   check or send, the commands come from standard input (at a
                   terminal after a "> " prompt)
  --channel NAME   write commands to the "command" channel (QrnCmd1,
                   default) or the "data" channel (QrnDta1); responses always
                   come on the data channel
  --timeout MS     how long to wait for each response (default 5000); give
                   Measure and Calibrate as long as the instrument takes
  --version        print qrnctl's version
  -h, --help       print this text

check prints its verdict first ("All is well." or "PROBLEM: ..." with what
to do), then what it found.

Commands: one command text per line, exactly as the host writes it; blank
lines and lines starting with "#" are skipped. A line "< RESPONSE" after a
command states the response the script expects, as it is printed (exactly;
or, ending with "...", one that starts with what comes before). Output: "> command" (not at
the prompt) and "< response", with control bytes shown as \r, \n, \t, \0 or
\xNN; a GetSpectralDataAll response is also drawn as a chart.

Exit codes:
  0  check: all is well; send: the driver answered (not ERROR);
     otherwise every command got a response
  1  send: the driver answered ERROR
  2  unknown option, missing or bad value
  3  the script file cannot be read
  4  a command got no response within the time-out (or was not sent
     because an earlier one's response is still outstanding)
  5  the platform's channel functions are missing (not a session host?)
  6  the server's allow list refuses this program
  7  a channel did not open for another reason
  8  check: the driver did not answer
  9  check --library: the instrument library did not load
 10  check --library: the library loaded but did not connect
 11  a channel function failed during the conversation
 12  check --library: the driver refuses the name as unsafe (nothing sent)
 13  a command longer than 4996 bytes: never sent
 14  check --library: not done, a library is loaded in the session already
 15  a response other than the script expects (every command answered)
)";
}

}  // namespace qrnctl
