#include "instrument/instrument_host.h"

#include <chrono>

#include "diagnostics/log.h"

namespace vdqrn {

namespace {

// Long enough for any measurement or calibration step an instrument makes.
constexpr long kDefaultReplyTimeoutMs = 120 * 1000;
long g_replyTimeoutMs = kDefaultReplyTimeoutMs;
std::string& HostDirectoryOverride() {
  static std::string directory;
  return directory;
}
// A host asked to end gets this long before it is ended.
constexpr long kEndGraceMs = 2000;

// Each line the host wrote to its standard error before it served, as it
// wrote it (the system's loader warns there, or says why it cannot run).
void LogWhatTheHostWrote(const std::string& said) {
  std::size_t at = 0;
  while (at < said.size()) {
    std::size_t end = said.find('\n', at);
    if (end == std::string::npos) end = said.size();
    std::string line = said.substr(at, end - at);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) diagnostics::LogTimestamped("Instrument host wrote: " + line);
    at = end + 1;
  }
}

std::string Seconds(long milliseconds) {
  return milliseconds % 1000 == 0 ? std::to_string(milliseconds / 1000) + " s"
                                  : std::to_string(milliseconds) + " ms";
}

}  // namespace

void InstrumentHost::SetHostDirectoryForTesting(const std::string& directory) {
  HostDirectoryOverride() = directory;
}

void InstrumentHost::SetReplyTimeoutForTesting(long milliseconds) {
  g_replyTimeoutMs = milliseconds > 0 ? milliseconds : kDefaultReplyTimeoutMs;
}

InstrumentHost::InstrumentHost(platform::Architecture architecture, bool quiet)
    : architecture_(architecture), quiet_(quiet) {}

std::unique_ptr<InstrumentHost> InstrumentHost::Start(platform::Architecture architecture,
                                                      const std::string& file, bool* loaded,
                                                      std::string* why) {
  *loaded = false;
  // A host runs this module's machine family only (the other member, or
  // its own for a library whose call was cut short; on Windows on ARM the
  // x86 hosts): an x86 library beside an ARM module (or the reverse) is not
  // started at all, nor a library whose host does not exist for this module.
  if (!platform::HostRunsLibrary(platform::kOwnArchitecture, architecture)) {
    const bool sameFamily =
        architecture == platform::kOwnArchitecture ||
        architecture == platform::PeerArchitecture(platform::kOwnArchitecture);
    const std::string detail =
        std::string(platform::ArchitectureName(architecture)) +
        (sameFamily ? ", and no instrument host runs it for this module ("
                    : ", another machine than this module's (") +
        platform::ArchitectureName(platform::kOwnArchitecture) +
        (sameFamily ? ")" : "): no instrument host runs it");
    *why = "it is " + detail;
    diagnostics::LogTimestamped("Instrument library refused: \"" + file + "\" is " + detail);
    return nullptr;
  }
  std::unique_ptr<InstrumentHost> host = Launch(architecture, file, false, why);
  if (host == nullptr) return nullptr;
  try {
    *loaded = host->Load(file, why);
  } catch (const InstrumentHostStopped& stopped) {
    *why = stopped.what();
    return nullptr;  // logged by Fail
  }
  return host;
}

std::unique_ptr<InstrumentHost> InstrumentHost::Launch(platform::Architecture architecture,
                                                       const std::string& file, bool quiet,
                                                       std::string* why) {
  // Only the module's own folder: never PATH, never the current directory.
  const std::string folder =
      HostDirectoryOverride().empty() ? platform::OwnDirectory() : HostDirectoryOverride();
  const std::string executable = folder + platform::HostFileName(architecture);
  std::unique_ptr<InstrumentHost> host(new InstrumentHost(architecture, quiet));
  std::string error;
  if (folder.empty() || !platform::StartChildProcess(executable, &host->child_, &error)) {
    *why = std::string("its ") + platform::ArchitectureName(architecture) +
           " instrument host cannot start (" +
           (folder.empty() ? "the module's folder is unknown" : error) + ")";
    if (!quiet) {
      diagnostics::LogTimestamped(std::string("Instrument host failed: \"") + file + "\" is " +
                                  platform::ArchitectureName(architecture) +
                                  " and its host cannot start (" +
                                  (folder.empty() ? "the module's folder is unknown" : error) +
                                  ")");
    }
    return nullptr;
  }
  // The host counts as started once it serves; until then what it writes is
  // the system's say (its loader), and a host that ends meanwhile cannot run.
  std::string said;
  const bool serving =
      platform::AwaitChildServing(host->child_, g_replyTimeoutMs, &said, &error);
  if (!serving) {
    *why = std::string("its ") + platform::ArchitectureName(architecture) +
           " instrument host cannot run (" + error + ")";
  }
  if (quiet) return serving ? std::move(host) : nullptr;
  if (serving) {
    diagnostics::LogTimestamped(std::string("Instrument host started (") +
                                platform::ArchitectureName(architecture) + ", process " +
                                std::to_string(host->child_.id) + ") for \"" + file + "\"");
  }
  LogWhatTheHostWrote(said);
  if (!serving) {
    diagnostics::LogTimestamped("Instrument host failed: " +
                                std::string(platform::ArchitectureName(architecture)) +
                                " host cannot run (" + error + ")");
    return nullptr;
  }
  if (!host->child_.warning.empty()) {
    diagnostics::LogTimestamped("Instrument host: " + host->child_.warning);
  }
  return host;
}

bool InstrumentHost::Load(const std::string& file, std::string* why) {
  host_protocol::Writer request;
  request.U8(host_protocol::kLoad);
  request.Text(file);
  const std::vector<std::uint8_t>& reply = RoundTrip(request);
  host_protocol::Reader in(reply);
  const bool loaded = in.Bool();
  bool null = false;
  const std::string reason = in.Text(&null);
  if (!in.Done() || null) Fail("its reply does not parse");
  if (!loaded) *why = reason;
  return loaded;
}

namespace {

// What ended a trial's host, in words for the log: `stage` is the code the
// host ran ("start-up" or "clean-up"). Empty when the host was ended from
// outside (killed or terminated), which says nothing of the library.
std::string TrialEnding(const std::string& stage, const std::string& ended, bool timedOut,
                        long limitMs) {
  if (timedOut) {
    return std::string("did not finish ") + (stage == "start-up" ? "loading" : "unloading") +
           " within " + Seconds(limitMs);
  }
  if (platform::EndedByAbort(ended)) return "its " + stage + " code aborted";
  if (platform::EndedFromOutside(ended)) return std::string();
  return "its " + stage + " code ended the instrument host (" + ended + ")";
}

}  // namespace

InstrumentHost::Trial InstrumentHost::TryLoading(const std::string& file, long limitMs) {
  Trial trial;
  std::unique_ptr<InstrumentHost> host =
      Launch(platform::kOwnArchitecture, file, true, &trial.reason);
  if (host == nullptr) return trial;
  host->requestLimitMs_ = limitMs;
  const char* stage = "start-up";
  try {
    std::string why;
    if (!host->Load(file, &why)) {
      trial.verdict = Trial::kFailed;
      trial.reason = why;
      return trial;
    }
    stage = "clean-up";
    host_protocol::Writer request;
    request.U8(host_protocol::kUnload);
    const std::vector<std::uint8_t>& reply = host->RoundTrip(request);
    host_protocol::Reader in(reply);
    in.U8();
    if (!in.Done()) host->Fail("its reply does not parse");
  } catch (const InstrumentHostStopped& stopped) {
    trial.reason = TrialEnding(stage, host->ended_, host->timedOut_, limitMs);
    if (trial.reason.empty()) {
      trial.verdict = Trial::kEnded;
      trial.reason = "its trial load in an instrument host was ended from outside (" +
                     host->ended_ + ")";
      return trial;
    }
    trial.verdict = Trial::kFailed;
    return trial;
  }
  trial.verdict = Trial::kCameThrough;
  trial.reason.clear();
  return trial;  // the host ends as it is destroyed
}

void InstrumentHost::LeaveToTheSystem() {
  diagnostics::LogTimestamped("Instrument host left to end with the client (process " +
                              std::to_string(child_.id) + ")");
}

InstrumentHost::~InstrumentHost() {
  if (child_.process == -1) return;
  if (quiet_) {
    platform::EndChildProcess(child_, kEndGraceMs);
    return;
  }
  // A forked copy of the client (a helper that calls exit()) leaves the host
  // to the process that started it, and says nothing in its log.
  if (!platform::StartedByThisProcess(child_)) {
    platform::EndChildProcess(child_, 0);
    return;
  }
  // Closing the channel is the host's sign to unload and end.
  const std::string ended = platform::EndChildProcess(child_, kEndGraceMs);
  diagnostics::LogTimestamped("Instrument host stopped (" + ended + ")");
}

const std::vector<std::uint8_t>& InstrumentHost::RoundTrip(host_protocol::Writer& request) {
  using platform::ChannelOutcome;
  using Clock = std::chrono::steady_clock;
  const long limit = requestLimitMs_ > 0 ? requestLimitMs_ : g_replyTimeoutMs;
  // One deadline for the whole round trip: a host that takes the request or
  // sends its reply a few bytes at a time gets no fresh limit for each.
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(limit);
  const auto left = [&] {
    const auto rest =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return rest > 0 ? static_cast<long>(rest) : 0L;
  };
  // A forked copy of the client shares the channel's page and socket, not
  // the counters this side keeps: its requests would take the replies of the
  // process that started the host.
  if (!platform::StartedByThisProcess(child_)) Fail("it belongs to the process that started it");
  // A reply is the only thing the host sends for a request: anything it
  // sent besides would be taken for the next call's answer.
  if (frames_.HasMore() || platform::ChannelHasInput(child_.channel)) {
    Fail("it sent what was not asked for");
  }
  const std::uint32_t number = ++requests_;
  const std::vector<std::uint8_t>& frame = request.NumberedFrame(number);
  // A host gone before it took a byte of this request stopped before the
  // call (while idle), not during it.
  const std::uint32_t sentBefore = child_.channel.sent;
  const auto stopped = [&] {
    return platform::ChannelTakenByOtherSide(child_.channel) == sentBefore
               ? "it had stopped before the call"
               : "it stopped during the call";
  };
  switch (platform::WriteToChannel(child_.channel, frame.data(), frame.size(), left())) {
    case ChannelOutcome::kDone: break;
    case ChannelOutcome::kTimedOut:
      timedOut_ = true;
      Fail("it took no more of the request within " + Seconds(limit));
    case ChannelOutcome::kCorrupt: Fail("its side of the channel does not make sense");
    case ChannelOutcome::kClosed: Fail(stopped());
  }
  std::vector<std::uint8_t>& reply = reply_;
  std::uint8_t chunk[16384];
  for (;;) {
    switch (frames_.Take(&reply)) {
      case host_protocol::FrameReader::kFrame: {
        std::uint32_t answered = 0;
        if (!host_protocol::TakeNumber(&reply, &answered)) Fail("its reply does not parse");
        // Whenever it came, a reply to another request is not this one's.
        if (answered != number || frames_.HasMore()) Fail("it sent what was not asked for");
        return reply;
      }
      case host_protocol::FrameReader::kTooLong: Fail("its reply does not parse");
      case host_protocol::FrameReader::kNeedMore: break;
    }
    std::size_t got = 0;
    const long rest = left();
    if (rest == 0) {
      timedOut_ = true;
      Fail("no answer within " + Seconds(limit));
    }
    switch (platform::ReadFromChannel(child_.channel, chunk, sizeof chunk, &got, rest)) {
      case ChannelOutcome::kDone: frames_.Append(chunk, got); break;
      case ChannelOutcome::kTimedOut:
        timedOut_ = true;
        Fail("no answer within " + Seconds(limit));
      case ChannelOutcome::kCorrupt: Fail("its reply does not parse");
      case ChannelOutcome::kClosed: Fail(stopped());
    }
  }
}

void InstrumentHost::Fail(const std::string& what) {
  const std::string ended = platform::EndChildProcess(child_, 0);
  child_.process = -1;
  ended_ = ended;
  // It served: whatever it wrote to its standard error, this is a stop.
  const std::string reason = "Instrument host stopped: " + what + " (" + ended + ")";
  if (!quiet_) {
    diagnostics::LogTimestamped("Instrument host failed: " + what + "; " +
                                platform::ArchitectureName(architecture_) + " host ended (" +
                                ended + ")");
  }
  throw InstrumentHostStopped(reason);
}

void InstrumentHost::Settle(host_protocol::Reader& in) {
  const std::uint8_t outcome = in.U8();
  bool null = false;
  std::string reason;
  if (outcome == host_protocol::kStandard) reason = in.Text(&null);
  if (!in.Done()) throw ReplyDoesNotParse();
  switch (outcome) {
    case host_protocol::kReturned: return;
    case host_protocol::kStandard: throw LibraryException(reason);
    case host_protocol::kOther: throw LibraryOtherException();
    case host_protocol::kCutShort: throw LibraryCallCutShort();
    default: throw ReplyDoesNotParse();
  }
}

void InstrumentHost::ParseSeriesReply(const std::vector<std::uint8_t>& reply, int count,
                                      float* values) {
  host_protocol::Reader in(reply);
  const std::uint16_t done = in.U16();
  if (!in.Ok() || done > count) throw ReplyDoesNotParse();
  for (std::uint16_t index = 0; index < done; ++index) values[index] = in.Float();
  if (!in.Ok()) throw ReplyDoesNotParse();
  Settle(in);
  if (done != count) throw ReplyDoesNotParse();  // all returned, yet values missing
}

void InstrumentHost::GetSpectralDataSeries(int angle, int count, float* values) {
  host_protocol::Writer& request = NewRequest();
  request.U8(host_protocol::kSeries);
  request.I32(angle);
  request.U16(static_cast<std::uint16_t>(count));
  const std::vector<std::uint8_t>& reply = RoundTrip(request);
  try {
    ParseSeriesReply(reply, count, values);
  } catch (const ReplyDoesNotParse&) {
    Fail("its reply does not parse");
  }
}

}  // namespace vdqrn
