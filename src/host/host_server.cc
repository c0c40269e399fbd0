#include "host/host_server.h"

#include <exception>
#include <string>
#include <tuple>
#include <type_traits>

#include "platform/platform.h"

namespace vdqrn {

namespace {

using host_protocol::Outcome;

// Makes one call; its result goes to `results` when it returns, the reason
// of a standard exception to `reason`.
template <typename Call>
Outcome Settle(Call call, host_protocol::Writer& results, host_protocol::Writer& reason) {
  try {
    host_protocol::Put(results, call());
    return host_protocol::kReturned;
  } catch (const LibraryCallCutShort&) {
    return host_protocol::kCutShort;
  } catch (const std::exception& failure) {
    reason.Text(failure.what());
    return host_protocol::kStandard;
  } catch (...) {
    return host_protocol::kOther;
  }
}

// One call of a Spectro operation with arguments read from the request.
template <typename Result, typename... Params>
Outcome Invoke(Spectro& spectro, Result (Spectro::*operation)(Params...),
               host_protocol::Reader& in, host_protocol::Writer& results,
               host_protocol::Writer& reason) {
  std::tuple<host_protocol::Decoded<std::decay_t<Params>>...> arguments;
  std::apply([&in](auto&... argument) { (argument.Read(in), ...); }, arguments);
  if (!in.Ok()) throw std::invalid_argument("arguments");
  return Settle(
      [&] {
        return std::apply(
            [&](const auto&... argument) { return (spectro.*operation)(argument.Get()...); },
            arguments);
      },
      results, reason);
}

// The reply to a list of calls: how many returned, their results, and how
// the one that stopped the list (if any) ended.
void PutCalls(std::uint16_t done, const host_protocol::Writer& results, Outcome outcome,
              const host_protocol::Writer& reason, host_protocol::Writer* reply) {
  reply->U16(done);
  reply->Append(results);
  reply->U8(outcome);
  reply->Append(reason);
}

}  // namespace

bool HostServer::Answer(const std::vector<std::uint8_t>& request, host_protocol::Writer* reply) {
  host_protocol::Reader in(request);
  switch (in.U8()) {
    case host_protocol::kLoad: {
      bool null = false;
      const std::string file = in.Text(&null);
      if (!in.Done() || null) return false;
      const bool loaded = spectro_.LoadDriverFile(file);
      reply->Bool(loaded);
      reply->Text(loaded ? std::string() : spectro_.LoadFailureReason());
      return true;
    }
    case host_protocol::kCalls:
      return AnswerCalls(in, reply);
    case host_protocol::kSeries:
      return AnswerSeries(in, reply);
    case host_protocol::kUnload:
      if (!in.Done()) return false;
      spectro_.UnloadDriver();
      reply->U8(0);
      return true;
    default:
      return false;
  }
}

bool HostServer::AnswerCalls(host_protocol::Reader& in, host_protocol::Writer* reply) {
  const std::uint16_t count = in.U16();
  if (!in.Ok() || !spectro_.IsLoaded()) return false;
  host_protocol::Writer results;
  host_protocol::Writer reason;
  std::uint16_t done = 0;
  Outcome outcome = host_protocol::kReturned;
  try {
    while (done < count && outcome == host_protocol::kReturned) {
      switch (in.U8()) {
#define VDQRN_SERVE(name, result, parameters, arguments)                        \
  case host_protocol::k##name:                                                 \
    outcome = Invoke(spectro_, &Spectro::name, in, results, reason);          \
    break;
        VDQRN_ENTRY_POINTS(VDQRN_SERVE)
#undef VDQRN_SERVE
        default:
          return false;
      }
      if (outcome == host_protocol::kReturned) ++done;
    }
  } catch (const std::invalid_argument&) {
    return false;
  }
  // A list that ended early leaves its other calls unread; a whole one must
  // leave nothing over.
  if (outcome == host_protocol::kReturned && !in.Done()) return false;
  PutCalls(done, results, outcome, reason, reply);
  return true;
}

bool HostServer::AnswerSeries(host_protocol::Reader& in, host_protocol::Writer* reply) {
  const int angle = in.I32();
  const std::uint16_t count = in.U16();
  if (!in.Done() || !spectro_.IsLoaded()) return false;
  host_protocol::Writer results;
  host_protocol::Writer reason;
  std::uint16_t done = 0;
  Outcome outcome = host_protocol::kReturned;
  while (done < count && outcome == host_protocol::kReturned) {
    outcome = Settle([&] { return spectro_.GetSpectralData(angle, done); }, results, reason);
    if (outcome == host_protocol::kReturned) ++done;
  }
  PutCalls(done, results, outcome, reason, reply);
  return true;
}

int ServeChannel(platform::ChannelEnd& channel) {
  HostServer server;
  host_protocol::FrameReader frames;
  std::vector<std::uint8_t> request;
  std::uint8_t chunk[16384];
  for (;;) {
    switch (frames.Take(&request)) {
      case host_protocol::FrameReader::kTooLong: return 2;
      case host_protocol::FrameReader::kNeedMore: {
        std::size_t got = 0;
        switch (platform::ReadFromChannel(channel, chunk, sizeof chunk, &got, -1)) {
          case platform::ChannelOutcome::kDone: break;
          case platform::ChannelOutcome::kCorrupt: return 2;
          default: return 0;
        }
        frames.Append(chunk, got);
        continue;
      }
      case host_protocol::FrameReader::kFrame: break;
    }
    std::uint32_t number = 0;
    host_protocol::Writer reply;
    if (!host_protocol::TakeNumber(&request, &number) || !server.Answer(request, &reply)) return 2;
    const std::vector<std::uint8_t> frame = reply.NumberedFrame(number);
    if (platform::WriteToChannel(channel, frame.data(), frame.size(), -1) !=
        platform::ChannelOutcome::kDone) {
      return 0;
    }
  }
}

}  // namespace vdqrn
