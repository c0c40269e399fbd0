#include "check.h"

#include "exit_codes.h"
#include "transcript.h"
#include "typed_commands.h"

namespace qrnctl {

namespace {

using engine_sim_cli::Visible;

std::string Seconds(std::chrono::milliseconds timeout) {
  const long long ms = timeout.count();
  return ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms";
}

// What a reply that is not the expected one says, for the messages.
std::string Described(const qrnclient::Reply& reply) {
  if (reply.Answered()) return "\"" + Visible(reply.raw) + "\"";
  return std::string(qrnclient::OutcomeName(reply.outcome)) + ": " + reply.text;
}

}  // namespace

int CheckDriver(qrnclient::Session& session, const Options& options, std::ostream& out) {
  const auto version = qrnclient::DriverVersion(session, options.timeout);
  if (version.reply.outcome == qrnclient::Outcome::kChannelFailure) {
    out << "PROBLEM: the channels failed: " << version.reply.text << " (error "
        << version.reply.systemError << ").\n";
    return kExitChannelFailure;
  }
  if (!version.reply.Answered()) {
    out << "PROBLEM: the driver did not answer within " << Seconds(options.timeout) << ".\n"
        << "  The channels opened on this server, but nothing answers on the client: the\n"
        << "  driver (VDQRN.DLL) is not installed on the user's client, or not registered\n"
        << "  with the client (see the deployment guide), or the client was started before\n"
        << "  it was installed. Install it, then have the user reconnect.\n";
    return kExitNoDriver;
  }
  if (!version.Ok()) {
    out << "PROBLEM: the driver answered " << Described(version.reply)
        << " instead of its version: it is not the driver this program knows.\n";
    return kExitNoDriver;
  }
  out << "driver: version " << Visible(*version.value) << " answers on the client\n";
  if (options.library.empty()) {
    out << "All is well.\n";
    return kExitOk;
  }

  const std::string& library = options.library;
  const qrnclient::Reply init = session.Send("Init|" + library + "|", options.timeout);
  if (init.outcome == qrnclient::Outcome::kChannelFailure) {
    out << "PROBLEM: the channels failed: " << init.text << ".\n";
    return kExitChannelFailure;
  }
  if (!init.IsOk()) {
    out << "PROBLEM: the instrument library \"" << Visible(library) << "\" did not load on the client: "
        << Described(init) << ".\n"
        << "  The vendor's instrument library must be installed on the client, where the\n"
        << "  driver looks for it (see the deployment guide), for the client's architecture\n"
        << "  or with the instrument host beside the driver.\n";
    return kExitLibraryLoad;
  }
  out << "instrument library \"" << Visible(library) << "\": loaded\n";
  const auto connected = qrnclient::AskFlag(session, "Connect", options.timeout);
  if (!connected.Ok() || !*connected.value) {
    const auto why = session.Send("GetLastErrorString", options.timeout);
    out << "PROBLEM: the instrument did not connect: " << Described(connected.reply);
    if (why.IsOk() && !why.text.empty()) out << " (the library says: " << Visible(why.text) << ")";
    out << ".\n  Is the instrument plugged in and switched on?\n";
    session.Send("Disconnect", options.timeout);
    return kExitLibraryConnect;
  }
  out << "instrument: connected\n";
  session.Send("Disconnect", options.timeout);
  out << "All is well.\n";
  return kExitOk;
}

}  // namespace qrnctl
