#include "tool.h"

#include <fstream>
#include <optional>
#include <string>

#include "check.h"
#include "exit_codes.h"
#include "open_problem.h"
#include "options.h"
#include "script.h"
#include "session.h"
#include "transcript.h"
#include "verdict.h"

namespace qrnctl {

namespace {

using conversation_text::Visible;

int Fail(std::ostream& err, int code, const std::string& text) {
  err << "qrnctl: " << text << std::endl;
  return code;
}

qrnclient::Target TargetOf(const Options& options) {
  return options.dataChannel ? qrnclient::Target::kDataChannel
                             : qrnclient::Target::kCommandChannel;
}

// Prints the exchange as engine_sim does; answers the reply.
qrnclient::Reply Exchange(qrnclient::Session& session, const Options& options,
                          const std::string& command, bool echo, std::ostream& out,
                          std::ostream& err) {
  if (echo) conversation_text::PrintCommand(out, command);
  const qrnclient::Reply reply = session.Send(command, options.timeout, TargetOf(options));
  if (command.size() > qrnclient::kMaxCommandBytes) {
    out << std::flush;
    err << "qrnctl: command too long, not sent: " << reply.text << std::endl;
  } else if (reply.Answered()) {
    conversation_text::PrintResponse(out, reply.raw);
    conversation_text::PrintChartIfSpectral(out, command, reply.raw);
    out << std::flush;
  } else if (reply.outcome == qrnclient::Outcome::kIncomplete) {
    conversation_text::PrintResponse(out, reply.raw);
    out << std::flush;
    err << "qrnctl: the response to \"" << Visible(command)
        << "\" may be incomplete: it ended on a full packet and the rest did not come in time"
        << std::endl;
  } else {
    out << std::flush;
    err << "qrnctl: no response to \"" << Visible(command) << "\": " << reply.text;
    if (reply.systemError != 0) err << " (error " << reply.systemError << ")";
    err << std::endl;
  }
  return reply;
}

int ExitCodeOf(const qrnclient::Reply& reply, const std::string& command) {
  if (command.size() > qrnclient::kMaxCommandBytes) return kExitCommandTooLong;
  switch (reply.outcome) {
    case qrnclient::Outcome::kOk:
    case qrnclient::Outcome::kOther:
      return kExitOk;
    case qrnclient::Outcome::kError:
      return kExitErrorAnswer;
    case qrnclient::Outcome::kChannelFailure:
      return kExitChannelFailure;
    case qrnclient::Outcome::kTimedOut:
    case qrnclient::Outcome::kNotSent:
    case qrnclient::Outcome::kIncomplete:
    case qrnclient::Outcome::kOutOfStep:
    case qrnclient::Outcome::kCancelled:
      break;
  }
  return kExitNoResponse;
}

int Converse(qrnclient::Session& session, const Options& options, std::istream& in, bool prompt,
             std::ostream& out, std::ostream& err) {
  int code = kExitOk;
  bool unexpected = false;
  std::string line;
  std::string command;                   // the last command
  std::optional<std::string> response;  // its response, if it got one
  for (;;) {
    if (prompt) out << "> " << std::flush;
    if (!conversation_text::ReadLine(in, &line)) break;
    if (conversation_text::IsExpectationLine(line)) {
      if (!conversation_text::CheckExpectation("qrnctl", line, command, response, err)) {
        unexpected = true;
      }
      continue;
    }
    if (!conversation_text::IsCommandLine(line)) continue;
    const qrnclient::Reply reply = Exchange(session, options, line, !prompt, out, err);
    if (reply.outcome == qrnclient::Outcome::kChannelFailure) return kExitChannelFailure;
    command = line;
    response.reset();
    if (reply.Answered()) {
      response = reply.raw;
    } else {
      code = ExitCodeOf(reply, line);
    }
  }
  if (prompt) out << std::endl;
  return code == kExitOk && unexpected ? kExitUnexpected : code;
}

int Finish(const Options& options, const Verdict& verdict, std::ostream& out) {
  if (options.json) {
    PrintVerdictJson(verdict, out);
  } else {
    PrintVerdict(verdict, out);
  }
  return verdict.code;
}

// The verdict's first steps: the channel functions, then the channels.
bool FunctionsFound(const Environment& environment, Verdict* verdict) {
  if (!environment.functions.ok) {
    verdict->code = kExitNoChannelFunctions;
    verdict->problem = environment.functions.problem + ".";
    verdict->advice = {"Run it on the session host, inside the user's session."};
    return false;
  }
  verdict->details.emplace_back("channel functions", qrnclient::ChannelLibraryName());
  return true;
}

bool OpenChannels(qrnclient::Session& session, const Environment& environment, Verdict* verdict) {
  const qrnclient::OpenResult opened = session.Open();
  if (!opened.ok) {
    verdict->code = opened.accessDenied ? kExitAccessDenied : kExitChannelsClosed;
    verdict->problem = qrnclient::OpenProblem(opened, environment.programPath);
    if (opened.accessDenied) {
      verdict->allowListEntries = qrnclient::AllowListEntries(environment.programPath);
    }
    verdict->details.emplace_back("channels", opened.failedChannel + " did not open (error " +
                                                  std::to_string(opened.systemError) + ")");
    return false;
  }
  verdict->details.emplace_back("channels", std::string(qrnclient::kCommandChannelName) +
                                                " and " + qrnclient::kDataChannelName + " open");
  return true;
}

// check: the verdict and what was found, printed once.
int Check(const Options& options, const Environment& environment, std::ostream& out) {
  Verdict verdict;
  if (FunctionsFound(environment, &verdict)) {
    qrnclient::Session session(environment.functions.functions);
    if (OpenChannels(session, environment, &verdict)) CheckDriver(session, options, &verdict);
  }
  return Finish(options, verdict, out);
}

// send --json: the command, and the response or why there is none.
int SendJson(qrnclient::Session& session, const Options& options, Verdict* verdict,
             std::ostream& out) {
  const qrnclient::Reply reply = session.Send(options.text, options.timeout, TargetOf(options));
  verdict->code = ExitCodeOf(reply, options.text);
  verdict->details.emplace_back("command", options.text);
  if (reply.Answered()) {
    verdict->details.emplace_back("response", reply.raw);
  } else {
    verdict->problem = std::string(qrnclient::OutcomeName(reply.outcome)) + ": " + reply.text;
    if (reply.systemError != 0) {
      verdict->problem += " (error " + std::to_string(reply.systemError) + ")";
    }
  }
  return Finish(options, *verdict, out);
}

}  // namespace

int RunQrnctl(const std::vector<std::string>& arguments, const Environment& environment,
              std::istream& in, std::ostream& out, std::ostream& err) {
  const ParsedOptions parsed = ParseOptions(arguments);
  if (!parsed.ok) return Fail(err, kExitUsage, parsed.error + " (see qrnctl --help)");
  const Options& options = parsed.options;
  if (options.help) {
    out << HelpText() << std::flush;
    return kExitOk;
  }
  if (options.version) {
    out << "qrnctl " << VDQRN_VERSION << std::endl;
    return kExitOk;
  }
  std::ifstream script;
  if (!options.script.empty()) {
    script.open(options.script, std::ios::binary);
    if (!script.is_open()) {
      return Fail(err, kExitScript, "cannot read script \"" + options.script + "\"");
    }
  }
  if (options.mode == Mode::kCheck) return Check(options, environment, out);
  if (options.mode == Mode::kSend && options.text.size() > qrnclient::kMaxCommandBytes &&
      !options.json) {
    return Fail(err, kExitCommandTooLong,
                "command too long, not sent: it has " + std::to_string(options.text.size()) +
                    " bytes; one packet carries at most " +
                    std::to_string(qrnclient::kMaxCommandBytes));
  }
  if (options.mode == Mode::kSend && options.json) {
    Verdict verdict;
    if (!FunctionsFound(environment, &verdict)) return Finish(options, verdict, out);
    qrnclient::Session session(environment.functions.functions);
    if (!OpenChannels(session, environment, &verdict)) return Finish(options, verdict, out);
    return SendJson(session, options, &verdict, out);
  }
  if (!environment.functions.ok) {
    return Fail(err, kExitNoChannelFunctions,
                "the platform's channel functions are missing: " + environment.functions.problem);
  }
  qrnclient::Session session(environment.functions.functions);
  const qrnclient::OpenResult opened = session.Open();
  if (!opened.ok) {
    return Fail(err, opened.accessDenied ? kExitAccessDenied : kExitChannelsClosed,
                qrnclient::OpenProblem(opened, environment.programPath));
  }
  if (options.mode == Mode::kSend) {
    return ExitCodeOf(Exchange(session, options, options.text, true, out, err), options.text);
  }
  const bool prompt = options.script.empty() && environment.inputIsTerminal;
  return Converse(session, options, options.script.empty() ? in : script, prompt, out, err);
}

}  // namespace qrnctl
