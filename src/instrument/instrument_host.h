// The module's side of the instrument host: a helper process of the
// library's architecture, started from the module's own folder, that loads
// the instrument library and makes its calls (host_protocol.h). Spectro uses
// it for a library that this process cannot load (a 32-bit library behind a
// 64-bit client); the answers, the calls the library sees and their order are
// those of a library loaded in process. Logs the host's start, stop and
// failure; whatever the host does, this process is unharmed.
#pragma once

#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "instrument/host_protocol.h"
#include "instrument/library_exceptions.h"
#include "platform/platform.h"

namespace vdqrn {

class InstrumentHost {
 public:
  // Starts the host for the architecture and has it load the library file
  // (the absolute path the module found it at). Null when no host runs the
  // architecture for this module (platform::HostRunsLibrary: a library of
  // another machine, or one whose host is not shipped), or the host is
  // missing, cannot start or fails; `loaded` tells whether the library
  // loaded, and `why` why not (the loader's reason in the host, or the
  // host's). Every outcome is logged.
  static std::unique_ptr<InstrumentHost> Start(platform::Architecture architecture,
                                               const std::string& file, bool* loaded,
                                               std::string* why);

  // A trial load of a library of this module's own architecture before it
  // is loaded in process: a host loads the file, finds every entry point,
  // frees it and ends, all within `limitMs`, so that start-up or clean-up
  // code that aborts, crashes or never returns takes down the host, not the
  // client. Writes nothing to the log.
  struct Trial {
    enum Verdict {
      kCameThrough,
      kFailed,    // the library cannot be loaded here; `reason` says why
      kNotMade,   // no host could serve it (`reason`)
      kEnded,     // the host was ended from outside: nothing is known of the library
    } verdict = kNotMade;
    std::string reason;
  };
  static Trial TryLoading(const std::string& file, long limitMs);
  ~InstrumentHost();  // has the host unload the library and end
  // Logs that the host is left to end with the client process, which is
  // ending; the object is then never destroyed.
  void LeaveToTheSystem();
  // Whether this process started the host (not a forked copy of it).
  bool StartedHere() const { return platform::StartedByThisProcess(child_); }
  InstrumentHost(const InstrumentHost&) = delete;
  InstrumentHost& operator=(const InstrumentHost&) = delete;

  // One entry point call in the host, its result as the library returned it
  // (a text stays valid until the next call). Throws what the call threw, or
  // InstrumentHostStopped.
  template <typename Result, typename... Params>
  Result Call(host_protocol::EntryPointIndex index, Params... arguments);
  // GetSpectralData(angle, 0 ... count-1) in one round trip, stopping where
  // a call does not return, as in process.
  void GetSpectralDataSeries(int angle, int count, float* values);

  // How long one request may take before the host counts as hung and is
  // ended (two minutes unless a test says otherwise).
  static void SetReplyTimeoutForTesting(long milliseconds);
  // The reply to one call of `index`'s result type, or to a series of
  // GetSpectralData calls: the value(s) it carries, or what the call threw.
  // Throws ReplyDoesNotParse for anything else; nothing of such a reply is
  // used. Public for the fuzzer that feeds them any bytes.
  struct ReplyDoesNotParse {};
  template <typename Result>
  static host_protocol::Decoded<Result> ParseCallReply(const std::vector<std::uint8_t>& reply);
  static void ParseSeriesReply(const std::vector<std::uint8_t>& reply, int count, float* values);

  // Where the hosts are looked for (with a trailing separator) instead of
  // the module's own folder; empty restores that.
  static void SetHostDirectoryForTesting(const std::string& directory);

 private:
  InstrumentHost(platform::Architecture architecture, bool quiet);
  // Starts the host and waits until it serves; null, with the reason (and
  // logged unless quiet), when it does not.
  static std::unique_ptr<InstrumentHost> Launch(platform::Architecture architecture,
                                                const std::string& file, bool quiet,
                                                std::string* why);
  // Has the host load the file; false with the host's reason when it could
  // not. Throws InstrumentHostStopped.
  bool Load(const std::string& file, std::string* why);
  // Sends a request and returns the reply's payload (valid until the next
  // request). Throws InstrumentHostStopped when there is none.
  const std::vector<std::uint8_t>& RoundTrip(host_protocol::Writer& request);
  // The writer for the next request, empty.
  host_protocol::Writer& NewRequest() {
    request_.Clear();
    return request_;
  }
  // Ends the host after a failure, logs it and throws InstrumentHostStopped.
  [[noreturn]] void Fail(const std::string& what);
  // After the results: the outcome of the call that stopped the list;
  // throws what it threw. Returns when every call returned.
  static void Settle(host_protocol::Reader& in);

  platform::Architecture architecture_;
  // A trial's host: nothing of it is logged.
  const bool quiet_;
  // How long one request may take: a trial's limit, or (0) the reply
  // time-out.
  long requestLimitMs_ = 0;
  // Set by Fail: how the host ended, and whether it had run out of time.
  std::string ended_;
  bool timedOut_ = false;
  platform::ChildProcess child_;
  host_protocol::FrameReader frames_;
  std::uint32_t requests_ = 0;  // the number of the last request sent
  host_protocol::Writer request_;  // the request being made: its room is allocated once
  std::vector<std::uint8_t> reply_;  // the last reply's payload
  std::string lastText_;
};

template <typename Result>
host_protocol::Decoded<Result> InstrumentHost::ParseCallReply(
    const std::vector<std::uint8_t>& reply) {
  host_protocol::Reader in(reply);
  const std::uint16_t done = in.U16();
  host_protocol::Decoded<Result> result;
  if (done == 1) result.Read(in);
  if (!in.Ok() || done > 1) throw ReplyDoesNotParse();
  Settle(in);
  if (done != 1) throw ReplyDoesNotParse();  // returned, yet no result
  return result;
}

template <typename Result, typename... Params>
Result InstrumentHost::Call(host_protocol::EntryPointIndex index, Params... arguments) {
  host_protocol::Writer& request = NewRequest();
  request.U8(host_protocol::kCalls);
  request.U16(1);
  request.U8(index);
  (host_protocol::Put(request, arguments), ...);
  const std::vector<std::uint8_t>& reply = RoundTrip(request);
  host_protocol::Decoded<Result> result;
  try {
    result = ParseCallReply<Result>(reply);
  } catch (const ReplyDoesNotParse&) {
    Fail("its reply does not parse");
  }
  if constexpr (std::is_same_v<Result, const char*>) {
    lastText_ = result.text;
    return result.null ? nullptr : lastText_.c_str();
  } else {
    return result.Get();
  }
}

}  // namespace vdqrn
