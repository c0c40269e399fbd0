// The C interface of include/qrnclient.h over ClientSession.
#define QRNCLIENT_BUILDING
#include "qrnclient.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <string>

#include "client_session.h"
#include "open_problem.h"
#include "platform/caller.h"

struct qrn_session {
  explicit qrn_session(const qrnclient::ChannelFunctions& functions) : client(functions) {}
  qrnclient::ClientSession client;
};

namespace {

// Whether this process has a session open: one at a time. The client's end
// has one data channel per session for every answer, and the platform's
// functions say nothing of a channel opened twice by one program, so two
// sessions of one process could not tell their answers apart.
std::atomic<bool> g_sessionOpen{false};

// This thread's last failed open: a plain buffer, since a thread_local with
// a destructor needs a C library newer than the oldest session hosts' (glibc
// 2.18's __cxa_thread_atexit_impl). The longest problem (an allow-list one
// with two full paths) fits; a longer one is cut.
constexpr std::size_t kOpenProblemBytes = 8192;
thread_local char t_openProblem[kOpenProblemBytes] = {};
thread_local unsigned t_openError = 0;

void SetOpenProblem(const std::string& problem) {
  const std::size_t length = std::min(problem.size(), kOpenProblemBytes - 1);
  std::memcpy(t_openProblem, problem.data(), length);
  t_openProblem[length] = '\0';
}

qrnclient::ClientSession::Milliseconds Ms(unsigned timeoutMs) {
  return qrnclient::ClientSession::Milliseconds(timeoutMs);
}

// Copies the text as far as it fits, closed by a zero byte; whether all of
// it fitted.
bool CopyText(const std::string& source, char* text, size_t capacity, size_t* textLength) {
  if (textLength != nullptr) *textLength = source.size();
  if (text == nullptr || capacity == 0) return true;  // no text asked for
  const std::size_t copied = source.size() < capacity ? source.size() : capacity - 1;
  std::memcpy(text, source.data(), copied);
  text[copied] = '\0';
  return copied == source.size();
}

}  // namespace

extern "C" {

QRN_API int QRN_CALL qrn_open(qrn_session** session) {
  if (session == nullptr) return QRN_INVALID_ARGUMENT;
  *session = nullptr;
  bool expected = false;
  if (!g_sessionOpen.compare_exchange_strong(expected, true)) {
    SetOpenProblem(
        "this process has a session open already: one session per process (share it between "
        "threads, or qrn_close it before opening another)");
    t_openError = 0;
    return QRN_ALREADY_OPEN;
  }
  const qrnclient::LoadedChannelFunctions loaded = qrnclient::LoadChannelFunctions();
  if (!loaded.ok) {
    SetOpenProblem(loaded.problem);
    t_openError = loaded.systemError;
    g_sessionOpen = false;
    return QRN_NO_CHANNEL_FUNCTIONS;
  }
  auto opened = std::make_unique<qrn_session>(loaded.functions);
  const qrnclient::OpenResult result = opened->client.Open();
  if (!result.ok) {
    SetOpenProblem(qrnclient::OpenProblem(result, vdqrn::platform::CallerProgramPath()));
    t_openError = result.systemError;
    g_sessionOpen = false;
    return result.accessDenied ? QRN_ACCESS_DENIED : QRN_OPEN_FAILED;
  }
  t_openProblem[0] = '\0';
  t_openError = 0;
  *session = opened.release();
  return QRN_OK;
}

QRN_API void QRN_CALL qrn_close(qrn_session* session) {
  if (session == nullptr) return;
  session->client.Shutdown();
  delete session;
  g_sessionOpen = false;
}

QRN_API int QRN_CALL qrn_cancel(qrn_session* session) {
  if (session == nullptr) return QRN_INVALID_ARGUMENT;
  session->client.Cancel();
  return QRN_OK;
}

QRN_API int QRN_CALL qrn_send(qrn_session* session, const char* command, int length,
                              int on_data_channel, unsigned timeout_ms, char* text,
                              size_t capacity, size_t* text_length) {
  if (session == nullptr || command == nullptr) return QRN_INVALID_ARGUMENT;
  const std::string bytes =
      length < 0 ? std::string(command) : std::string(command, static_cast<std::size_t>(length));
  const auto result = session->client.Send(
      bytes, Ms(timeout_ms),
      on_data_channel != 0 ? qrnclient::Target::kDataChannel : qrnclient::Target::kCommandChannel);
  const bool whole = CopyText(result.reply.text, text, capacity, text_length);
  // A cut answer says so, whether OK or ERROR: the caller gets the rest
  // from qrn_last_answer.
  if (!whole && (result.status == QRN_OK || result.status == QRN_ERROR_ANSWER)) {
    return QRN_TEXT_TOO_LONG;
  }
  return result.status;
}

QRN_API int QRN_CALL qrn_ask_number(qrn_session* session, const char* command,
                                    unsigned timeout_ms, double* value) {
  if (session == nullptr || command == nullptr || value == nullptr) return QRN_INVALID_ARGUMENT;
  return session->client.AskNumber(command, Ms(timeout_ms), value);
}

QRN_API int QRN_CALL qrn_ask_flag(qrn_session* session, const char* command,
                                  unsigned timeout_ms, int* value) {
  if (session == nullptr || command == nullptr || value == nullptr) return QRN_INVALID_ARGUMENT;
  return session->client.AskFlag(command, Ms(timeout_ms), value);
}

QRN_API int QRN_CALL qrn_spectral_data_all(qrn_session* session, int angle, unsigned timeout_ms,
                                           double values[QRN_SPECTRAL_VALUES]) {
  if (session == nullptr || values == nullptr) return QRN_INVALID_ARGUMENT;
  return session->client.SpectralDataAll(angle, Ms(timeout_ms), values);
}

QRN_API int QRN_CALL qrn_last_answer(qrn_session* session, char* text, size_t capacity,
                                     size_t* text_length) {
  if (session == nullptr || (text == nullptr && capacity != 0)) return QRN_INVALID_ARGUMENT;
  std::string answer;
  const int status = session->client.LastAnswer(&answer);
  if (status != QRN_OK) return status;
  return CopyText(answer, text, capacity, text_length) ? QRN_OK : QRN_TEXT_TOO_LONG;
}

QRN_API unsigned QRN_CALL qrn_system_error(const qrn_session* session) {
  return session == nullptr ? t_openError : session->client.SystemError();
}

QRN_API const char* QRN_CALL qrn_open_problem(void) { return t_openProblem; }

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
    case QRN_INCOMPLETE_ANSWER: return "QRN_INCOMPLETE_ANSWER";
    case QRN_OUT_OF_STEP: return "QRN_OUT_OF_STEP";
    case QRN_BUSY: return "QRN_BUSY";
    case QRN_CANCELLED: return "QRN_CANCELLED";
    case QRN_ALREADY_OPEN: return "QRN_ALREADY_OPEN";
    default: return "unknown status";
  }
}

}  // extern "C"
