#include "client_session.h"

#include <cstring>
#include <thread>

#include "qrnclient.h"
#include "typed_commands.h"

namespace qrnclient {

// Taken at the start of a call: refuses it while another call holds the
// session or it is closing, and releases the session at the end. The cancel
// flag is left as it is: a cancel that came just before is this call's.
class ClientSession::Turn {
 public:
  explicit Turn(ClientSession& owner) : owner_(owner) {
    bool idle = false;
    if (!owner_.busy_.compare_exchange_strong(idle, true)) return;
    if (owner_.closing_.load()) {
      owner_.busy_.store(false);
      return;
    }
    held_ = true;
  }
  ~Turn() {
    if (held_) owner_.busy_.store(false);
  }
  Turn(const Turn&) = delete;
  Turn& operator=(const Turn&) = delete;
  bool Held() const { return held_; }

 private:
  ClientSession& owner_;
  bool held_ = false;
};

namespace {

Reply Busy() {
  Reply reply;
  reply.outcome = Outcome::kNotSent;
  reply.text = "another call on this session is running: nothing was sent";
  return reply;
}

}  // namespace

ClientSession::ClientSession(const ChannelFunctions& functions) : session_(functions) {
  session_.SetCancelFlag(&cancel_);
}

OpenResult ClientSession::Open() { return session_.Open(); }

int ClientSession::StatusOf(const Reply& reply) {
  switch (reply.outcome) {
    case Outcome::kOk:
    case Outcome::kOther:
      return QRN_OK;
    case Outcome::kError: return QRN_ERROR_ANSWER;
    case Outcome::kTimedOut: return QRN_TIMED_OUT;
    case Outcome::kNotSent: return QRN_NOT_SENT;
    case Outcome::kChannelFailure: return QRN_CHANNEL_FAILURE;
    case Outcome::kIncomplete: return QRN_INCOMPLETE_ANSWER;
    case Outcome::kOutOfStep: return QRN_OUT_OF_STEP;
    case Outcome::kCancelled: return QRN_CANCELLED;
  }
  return QRN_CHANNEL_FAILURE;
}

ClientSession::Result ClientSession::Send(const std::string& command, Milliseconds timeout,
                                          Target target) {
  Turn turn(*this);
  if (!turn.Held()) return {QRN_BUSY, Busy()};
  last_ = session_.Send(command, timeout, target);
  systemError_.store(last_.systemError);
  return {StatusOf(last_), last_};
}

namespace {

// QRN_OK with a value; QRN_BAD_ANSWER for an answer that is not OK and of
// the type, nor ERROR (a bare answer is no value either).
template <typename T>
int TypedStatus(const Answer<T>& answer) {
  if (answer.Ok()) return QRN_OK;
  if (answer.reply.outcome == Outcome::kOk || answer.reply.outcome == Outcome::kOther) {
    return QRN_BAD_ANSWER;
  }
  return ClientSession::StatusOf(answer.reply);
}

}  // namespace

template <typename Asker, typename Writer>
int ClientSession::Typed(Asker ask, Writer write) {
  Turn turn(*this);
  if (!turn.Held()) return QRN_BUSY;
  const auto answer = ask(session_);
  last_ = answer.reply;
  systemError_.store(last_.systemError);
  if (answer.Ok()) write(*answer.value);
  return TypedStatus(answer);
}

int ClientSession::AskNumber(const std::string& command, Milliseconds timeout, double* value) {
  return Typed([&](Session& session) { return qrnclient::AskNumber(session, command, timeout); },
               [&](double number) { *value = number; });
}

int ClientSession::AskFlag(const std::string& command, Milliseconds timeout, int* value) {
  return Typed([&](Session& session) { return qrnclient::AskFlag(session, command, timeout); },
               [&](bool flag) { *value = flag ? 1 : 0; });
}

int ClientSession::SpectralDataAll(int angle, Milliseconds timeout, double* values) {
  return Typed(
      [&](Session& session) { return qrnclient::SpectralDataAll(session, angle, timeout); },
      [&](const std::vector<double>& all) {
        std::memcpy(values, all.data(), sizeof(double) * kSpectralValueCount);
      });
}

int ClientSession::LastAnswer(std::string* answer) {
  Turn turn(*this);
  if (!turn.Held()) return QRN_BUSY;
  const bool came = last_.Answered() || last_.outcome == Outcome::kIncomplete;
  *answer = came ? last_.raw : last_.text;
  return QRN_OK;
}

void ClientSession::Cancel() { cancel_.store(true); }

void ClientSession::Shutdown() {
  closing_.store(true);
  for (;;) {
    bool idle = false;
    if (busy_.compare_exchange_strong(idle, true)) break;  // held for good
    cancel_.store(true);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  session_.Close();
}

}  // namespace qrnclient
