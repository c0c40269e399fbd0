// The C interface of include/qrnclient.h over Session and the typed
// commands.
#define QRNCLIENT_BUILDING
#include "qrnclient.h"

#include <cstring>
#include <memory>
#include <string>

#include "open_problem.h"
#include "platform/caller.h"
#include "session.h"
#include "typed_commands.h"

struct qrn_session {
  explicit qrn_session(const qrnclient::ChannelFunctions& functions) : session(functions) {}
  qrnclient::Session session;
  unsigned systemError = 0;
};

namespace {

using qrnclient::Outcome;

thread_local std::string t_openProblem;

int StatusOf(const qrnclient::Reply& reply) {
  switch (reply.outcome) {
    case Outcome::kOk:
    case Outcome::kOther:
      return QRN_OK;
    case Outcome::kError:
      return QRN_ERROR_ANSWER;
    case Outcome::kTimedOut:
      return QRN_TIMED_OUT;
    case Outcome::kNotSent:
      return QRN_NOT_SENT;
    case Outcome::kChannelFailure:
      return QRN_CHANNEL_FAILURE;
  }
  return QRN_CHANNEL_FAILURE;
}

// The status of a typed answer: the reply's, or QRN_BAD_ANSWER for an OK
// that does not read as the type.
template <typename T>
int StatusOf(qrn_session* session, const qrnclient::Answer<T>& answer) {
  session->systemError = answer.reply.systemError;
  if (answer.reply.outcome == Outcome::kOk && !answer.Ok()) return QRN_BAD_ANSWER;
  return StatusOf(answer.reply);
}

qrnclient::Timeout Ms(unsigned timeoutMs) { return qrnclient::Timeout(timeoutMs); }

}  // namespace

extern "C" {

QRN_API int QRN_CALL qrn_open(qrn_session** session) {
  if (session == nullptr) return QRN_INVALID_ARGUMENT;
  *session = nullptr;
  const qrnclient::LoadedChannelFunctions loaded = qrnclient::LoadChannelFunctions();
  if (!loaded.ok) {
    t_openProblem = loaded.problem;
    return QRN_NO_CHANNEL_FUNCTIONS;
  }
  auto opened = std::make_unique<qrn_session>(loaded.functions);
  const qrnclient::OpenResult result = opened->session.Open();
  if (!result.ok) {
    t_openProblem = qrnclient::OpenProblem(result, vdqrn::platform::CallerProgramPath());
    return result.accessDenied ? QRN_ACCESS_DENIED : QRN_OPEN_FAILED;
  }
  t_openProblem.clear();
  *session = opened.release();
  return QRN_OK;
}

QRN_API void QRN_CALL qrn_close(qrn_session* session) { delete session; }

QRN_API int QRN_CALL qrn_send(qrn_session* session, const char* command, int length,
                              int on_data_channel, unsigned timeout_ms, char* text,
                              size_t capacity, size_t* text_length) {
  if (session == nullptr || command == nullptr) return QRN_INVALID_ARGUMENT;
  const std::string bytes =
      length < 0 ? std::string(command) : std::string(command, static_cast<std::size_t>(length));
  const qrnclient::Reply reply = session->session.Send(
      bytes, Ms(timeout_ms),
      on_data_channel != 0 ? qrnclient::Target::kDataChannel : qrnclient::Target::kCommandChannel);
  session->systemError = reply.systemError;
  if (text_length != nullptr) *text_length = reply.text.size();
  const int status = StatusOf(reply);
  if (text == nullptr || capacity == 0) return status;
  const std::size_t copied = reply.text.size() < capacity ? reply.text.size() : capacity - 1;
  std::memcpy(text, reply.text.data(), copied);
  text[copied] = '\0';
  return copied < reply.text.size() && status == QRN_OK ? QRN_TEXT_TOO_LONG : status;
}

QRN_API int QRN_CALL qrn_ask_number(qrn_session* session, const char* command,
                                    unsigned timeout_ms, double* value) {
  if (session == nullptr || command == nullptr || value == nullptr) return QRN_INVALID_ARGUMENT;
  const auto answer = qrnclient::AskNumber(session->session, command, Ms(timeout_ms));
  if (answer.Ok()) *value = *answer.value;
  return StatusOf(session, answer);
}

QRN_API int QRN_CALL qrn_ask_flag(qrn_session* session, const char* command,
                                  unsigned timeout_ms, int* value) {
  if (session == nullptr || command == nullptr || value == nullptr) return QRN_INVALID_ARGUMENT;
  const auto answer = qrnclient::AskFlag(session->session, command, Ms(timeout_ms));
  if (answer.Ok()) *value = *answer.value ? 1 : 0;
  return StatusOf(session, answer);
}

QRN_API int QRN_CALL qrn_spectral_data_all(qrn_session* session, int angle, unsigned timeout_ms,
                                           double values[QRN_SPECTRAL_VALUES]) {
  if (session == nullptr || values == nullptr) return QRN_INVALID_ARGUMENT;
  const auto answer = qrnclient::SpectralDataAll(session->session, angle, Ms(timeout_ms));
  if (answer.Ok()) std::memcpy(values, answer.value->data(), sizeof(double) * QRN_SPECTRAL_VALUES);
  return StatusOf(session, answer);
}

QRN_API unsigned QRN_CALL qrn_system_error(const qrn_session* session) {
  return session == nullptr ? 0 : session->systemError;
}

QRN_API const char* QRN_CALL qrn_open_problem(void) { return t_openProblem.c_str(); }

QRN_API const char* QRN_CALL qrn_status_name(int status) {
  switch (status) {
    case QRN_OK: return "QRN_OK";
    case QRN_ERROR_ANSWER: return "QRN_ERROR_ANSWER";
    case QRN_TIMED_OUT: return "QRN_TIMED_OUT";
    case QRN_NOT_SENT: return "QRN_NOT_SENT";
    case QRN_CHANNEL_FAILURE: return "QRN_CHANNEL_FAILURE";
    case QRN_NO_CHANNEL_FUNCTIONS: return "QRN_NO_CHANNEL_FUNCTIONS";
    case QRN_ACCESS_DENIED: return "QRN_ACCESS_DENIED";
    case QRN_OPEN_FAILED: return "QRN_OPEN_FAILED";
    case QRN_BAD_ANSWER: return "QRN_BAD_ANSWER";
    case QRN_TEXT_TOO_LONG: return "QRN_TEXT_TOO_LONG";
    case QRN_INVALID_ARGUMENT: return "QRN_INVALID_ARGUMENT";
    default: return "unknown status";
  }
}

}  // extern "C"
