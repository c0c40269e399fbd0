#include "tool.h"

#include <fstream>

#include "check.h"
#include "exit_codes.h"
#include "open_problem.h"
#include "options.h"
#include "script.h"
#include "session.h"
#include "transcript.h"

namespace qrnctl {

namespace {

using engine_sim_cli::Visible;

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
  if (echo) engine_sim_cli::PrintCommand(out, command);
  const qrnclient::Reply reply = session.Send(command, options.timeout, TargetOf(options));
  if (reply.Answered()) {
    engine_sim_cli::PrintResponse(out, reply.raw);
    engine_sim_cli::PrintChartIfSpectral(out, command, reply.raw);
    out << std::flush;
  } else {
    out << std::flush;
    err << "qrnctl: no response to \"" << Visible(command) << "\": " << reply.text;
    if (reply.systemError != 0) err << " (error " << reply.systemError << ")";
    err << std::endl;
  }
  return reply;
}

int ExitCodeOf(const qrnclient::Reply& reply) {
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
  std::string line;
  for (;;) {
    if (prompt) out << "> " << std::flush;
    if (!engine_sim_cli::ReadLine(in, &line)) break;
    if (!engine_sim_cli::IsCommandLine(line)) continue;
    const qrnclient::Reply reply = Exchange(session, options, line, !prompt, out, err);
    if (reply.outcome == qrnclient::Outcome::kChannelFailure) return kExitChannelFailure;
    if (!reply.Answered()) code = kExitNoResponse;
  }
  if (prompt) out << std::endl;
  return code;
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
  std::ifstream script;
  if (!options.script.empty()) {
    script.open(options.script, std::ios::binary);
    if (!script.is_open()) {
      return Fail(err, kExitScript, "cannot read script \"" + options.script + "\"");
    }
  }

  const bool check = options.mode == Mode::kCheck;
  if (!environment.functions.ok) {
    if (check) out << "PROBLEM: " << environment.functions.problem << ".\n";
    return Fail(err, kExitNoChannelFunctions,
                "the platform's channel functions are missing: " + environment.functions.problem);
  }
  if (check) out << "channel functions: " << qrnclient::ChannelLibraryName() << "\n";
  qrnclient::Session session(environment.functions.functions);
  const qrnclient::OpenResult opened = session.Open();
  if (!opened.ok) {
    const std::string problem = qrnclient::OpenProblem(opened, environment.programPath);
    if (check) out << "PROBLEM: " << problem << "\n";
    return Fail(err, opened.accessDenied ? kExitAccessDenied : kExitChannelsClosed,
                check ? "the channels did not open" : problem);
  }
  if (check) {
    out << "channels: " << qrnclient::kCommandChannelName << " and "
        << qrnclient::kDataChannelName << " open\n";
    return CheckDriver(session, options, out);
  }
  if (options.mode == Mode::kSend) {
    return ExitCodeOf(Exchange(session, options, options.text, true, out, err));
  }
  const bool prompt = options.script.empty() && environment.inputIsTerminal;
  return Converse(session, options, options.script.empty() ? in : script, prompt, out, err);
}

}  // namespace qrnctl
