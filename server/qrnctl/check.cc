#include "check.h"

#include "exit_codes.h"
#include "instrument/driver_name.h"
#include "transcript.h"
#include "typed_commands.h"

namespace qrnctl {

namespace {

using conversation_text::Visible;

// The driver's answer to a library call when no library is loaded.
const char kNoLibraryLoaded[] = "ERROR|No driver loaded";
// An Init the driver refuses without touching the disk: like any failed
// load it leaves no library loaded.
const char kUnloadingInit[] = "Init|:|";

std::string Seconds(std::chrono::milliseconds timeout) {
  const long long ms = timeout.count();
  return ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms";
}

// What a reply that is not the expected one says, for the messages.
std::string Described(const qrnclient::Reply& reply) {
  if (reply.Answered()) return "\"" + Visible(reply.raw) + "\"";
  return std::string(qrnclient::OutcomeName(reply.outcome)) + ": " + reply.text;
}

void Problem(Verdict* verdict, int code, std::string problem, std::vector<std::string> advice) {
  verdict->code = code;
  verdict->problem = std::move(problem);
  verdict->advice = std::move(advice);
}

bool ChannelsFailed(const qrnclient::Reply& reply, Verdict* verdict) {
  if (reply.outcome != qrnclient::Outcome::kChannelFailure) return false;
  Problem(verdict, kExitChannelFailure,
          "the channels failed: " + reply.text + " (error " + std::to_string(reply.systemError) +
              ").",
          {"The session dropped: reconnect and try again."});
  return true;
}

void CheckLibrary(qrnclient::Session& session, const Options& options, Verdict* verdict) {
  const std::string& library = options.library;
  if (!vdqrn::IsAcceptableDriverName(library)) {
    Problem(verdict, kExitUnsafeLibraryName,
            "the driver refuses the instrument library name \"" + Visible(library) +
                "\" as unsafe; nothing was sent.",
            {"A name may not hold a colon, a zero byte or a \"..\" component, name a device",
             "(CON, NUL, COM1, ...) or be too long for a path. Use the library's plain name,",
             "as the host application sends it with Init (for example simspectro)."});
    return;
  }
  // A library loaded already is a host application's: Init would reload it.
  const qrnclient::Reply loaded = session.Send("IsConnected", options.timeout);
  if (ChannelsFailed(loaded, verdict)) return;
  if (!loaded.Answered()) {
    Problem(verdict, kExitNoResponse, "the driver did not answer IsConnected: " + loaded.text + ".",
            {"Try again with a longer --timeout."});
    return;
  }
  if (loaded.raw != kNoLibraryLoaded) {
    verdict->details.emplace_back("instrument library", "loaded already (IsConnected answered " +
                                                            Described(loaded) + ")");
    Problem(verdict, kExitLibraryInUse,
            "not checked: an instrument library is loaded in this session already.",
            {"A host application may be using it, and the check would reload it. Run",
             "check --library when the host application has ended, or leave out --library",
             "to check only the driver."});
    return;
  }
  const qrnclient::Reply init = session.Send("Init|" + library + "|", options.timeout);
  if (ChannelsFailed(init, verdict)) return;
  if (!init.IsOk()) {
    Problem(verdict, kExitLibraryLoad,
            "the instrument library \"" + Visible(library) +
                "\" did not load on the client: " + Described(init) + ".",
            {"The vendor's instrument library must be installed on the client, where the",
             "driver looks for it (see the deployment guide), for the client's architecture",
             "or with the instrument host beside the driver."});
    return;
  }
  verdict->details.emplace_back("instrument library \"" + Visible(library) + "\"", "loaded");
  const auto connected = qrnclient::AskFlag(session, "Connect", options.timeout);
  if (!connected.Ok() || !*connected.value) {
    const auto why = session.Send("GetLastErrorString", options.timeout);
    std::string problem = "the instrument did not connect: " + Described(connected.reply);
    if (why.IsOk() && !why.text.empty()) problem += " (the library says: " + Visible(why.text) + ")";
    Problem(verdict, kExitLibraryConnect, problem + ".",
            {"Is the instrument plugged in and switched on?"});
  } else {
    verdict->details.emplace_back("instrument", "connected");
  }
  // The session as the check found it: disconnected, no library loaded.
  session.Send("Disconnect", options.timeout);
  session.Send(kUnloadingInit, options.timeout);
}

}  // namespace

void CheckDriver(qrnclient::Session& session, const Options& options, Verdict* verdict) {
  const auto version = qrnclient::DriverVersion(session, options.timeout);
  if (ChannelsFailed(version.reply, verdict)) return;
  if (!version.reply.Answered()) {
    Problem(verdict, kExitNoDriver,
            "the driver did not answer within " + Seconds(options.timeout) + ".",
            {"The channels opened on this server, but nothing answers on the client: the",
             "driver (VDQRN.DLL) is not installed on the user's client, or not registered",
             "with the client (see the deployment guide), or the client was started before",
             "it was installed. Install it, then have the user reconnect."});
    return;
  }
  if (!version.Ok()) {
    Problem(verdict, kExitNoDriver,
            "the driver answered " + Described(version.reply) +
                " instead of its version: it is not the driver this program knows.",
            {});
    return;
  }
  verdict->details.emplace_back("driver",
                                "version " + Visible(*version.value) + " answers on the client");
  if (!options.library.empty()) CheckLibrary(session, options, verdict);
}

}  // namespace qrnctl
