#include "host/host_server.h"

#include <exception>
#include <string>
#include <tuple>
#include <type_traits>

#include "platform/platform.h"

namespace vdqrn {

namespace {

using host_protocol::Outcome;

// The reply to a list of calls, written as they are made: how many returned,
// their results in order, and how the one that stopped the list (if any)
// ended.
class CallsReply {
 public:
  explicit CallsReply(host_protocol::Writer* reply) : reply_(reply), countAt_(reply->Size()) {
    reply_->U16(0);  // the count, once known
  }
  // Makes the next call, when none stopped the list yet; false once one did.
  template <typename Call>
  bool Make(Call call) {
    if (outcome_ != host_protocol::kReturned) return false;
    try {
      host_protocol::Put(*reply_, call());
      ++done_;
      return true;
    } catch (const LibraryCallCutShort&) {
      outcome_ = host_protocol::kCutShort;
    } catch (const std::exception& failure) {
      outcome_ = host_protocol::kStandard;
      // A library's exception may give a null reason: it stays null.
      const char* const reason = failure.what();
      reasonIsNull_ = reason == nullptr;
      if (reason != nullptr) reason_ = reason;
    } catch (...) {
      outcome_ = host_protocol::kOther;
    }
    return false;
  }
  bool Stopped() const { return outcome_ != host_protocol::kReturned; }
  void Finish() {
    reply_->U16At(countAt_, done_);
    reply_->U8(outcome_);
    if (outcome_ == host_protocol::kStandard) {
      reply_->Text(reasonIsNull_ ? nullptr : reason_.c_str());
    }
  }

 private:
  host_protocol::Writer* const reply_;
  const std::size_t countAt_;
  std::uint16_t done_ = 0;
  Outcome outcome_ = host_protocol::kReturned;
  std::string reason_;
  bool reasonIsNull_ = false;
};

// One call of a Spectro operation with arguments read from the request.
template <typename Result, typename... Params>
void Invoke(Spectro& spectro, Result (Spectro::*operation)(Params...), host_protocol::Reader& in,
            CallsReply& reply) {
  std::tuple<host_protocol::Decoded<std::decay_t<Params>>...> arguments;
  std::apply([&in](auto&... argument) { (argument.Read(in), ...); }, arguments);
  if (!in.Ok()) throw std::invalid_argument("arguments");
  reply.Make([&] {
    return std::apply(
        [&](const auto&... argument) { return (spectro.*operation)(argument.Get()...); },
        arguments);
  });
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
  CallsReply calls(reply);
  try {
    for (std::uint16_t index = 0; index < count && !calls.Stopped(); ++index) {
      switch (in.U8()) {
#define VDQRN_SERVE(name, result, parameters, arguments)   \
  case host_protocol::k##name:                            \
    Invoke(spectro_, &Spectro::name, in, calls);          \
    break;
        VDQRN_ENTRY_POINTS(VDQRN_SERVE)
#undef VDQRN_SERVE
        default:
          return false;
      }
    }
  } catch (const std::invalid_argument&) {
    return false;
  }
  // A list that ended early leaves its other calls unread; a whole one must
  // leave nothing over.
  if (!calls.Stopped() && !in.Done()) return false;
  calls.Finish();
  return true;
}

bool HostServer::AnswerSeries(host_protocol::Reader& in, host_protocol::Writer* reply) {
  const int angle = in.I32();
  const std::uint16_t count = in.U16();
  if (!in.Done() || !spectro_.IsLoaded()) return false;
  CallsReply calls(reply);
  for (int wavelength = 0; wavelength < count; ++wavelength) {
    if (!calls.Make([&] { return spectro_.GetSpectralData(angle, wavelength); })) break;
  }
  calls.Finish();
  return true;
}

int ServeChannel(platform::ChannelEnd& channel) {
  HostServer server;
  host_protocol::FrameReader frames;
  std::vector<std::uint8_t> request;
  host_protocol::Writer reply;  // one for every reply: its room is allocated once
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
    reply.Clear();
    if (!host_protocol::TakeNumber(&request, &number) || !server.Answer(request, &reply)) return 2;
    const std::vector<std::uint8_t>& frame = reply.NumberedFrame(number);
    if (platform::WriteToChannel(channel, frame.data(), frame.size(), -1) !=
        platform::ChannelOutcome::kDone) {
      return 0;
    }
  }
}

}  // namespace vdqrn
