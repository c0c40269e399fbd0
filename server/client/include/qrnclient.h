/* qrnclient: the host side of the instrument channels, for applications in
 * any language. Opens the two virtual channels of the current session, sends
 * one command at a time and returns its one response, split into its kind
 * and text. Links to nothing at build time: the platform's channel
 * functions are found when qrn_open runs.
 *
 * Every function returns a qrn_status. A session serves one call at a
 * time: a call made while another runs on it (on another thread) is
 * refused with QRN_BUSY, and qrn_cancel ends the running call's wait from
 * any thread. Texts are bytes, passed through unchanged; numbers use "."
 * whatever the locale.
 *
 * Linux: link with -lqrnclient (libqrnclient.so); it loads libwfapi.so
 * from its own folder first, then the loader's usual places. */
#ifndef QRNCLIENT_H
#define QRNCLIENT_H

#include <stddef.h>

#if defined(_WIN32)
#define QRN_CALL __stdcall
#else
#define QRN_CALL
#endif
#if defined(QRNCLIENT_BUILDING)
#if defined(_WIN32)
#define QRN_API __declspec(dllexport)
#else
#define QRN_API __attribute__((visibility("default")))
#endif
#else
#define QRN_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The largest response packet, and the longest command (one packet's data). */
#define QRN_MAX_PACKET_BYTES 5000
#define QRN_MAX_COMMAND_BYTES 4996
/* The values of a GetSpectralDataAll answer. */
#define QRN_SPECTRAL_VALUES 31
/* What a timeout_ms of 0 stands for. */
#define QRN_DEFAULT_TIMEOUT_MS 5000

/* Which statuses mean the command was written: QRN_OK, QRN_ERROR_ANSWER,
 * QRN_TIMED_OUT, QRN_BAD_ANSWER, QRN_TEXT_TOO_LONG, QRN_INCOMPLETE_ANSWER,
 * QRN_CANCELLED (and QRN_CHANNEL_FAILURE from a failed read). Never written:
 * QRN_NOT_SENT, QRN_OUT_OF_STEP, QRN_BUSY, QRN_INVALID_ARGUMENT. The values
 * never change. */
typedef enum qrn_status {
  /* the driver answered OK (or, for qrn_send, anything but ERROR) */
  QRN_OK = 0,
  /* the driver answered ERROR: the text says why */
  QRN_ERROR_ANSWER = 1,
  /* sent, no response in time; the next command gets back in step first */
  QRN_TIMED_OUT = 2,
  /* not sent: empty, longer than QRN_MAX_COMMAND_BYTES, or the session is closed */
  QRN_NOT_SENT = 3,
  /* a channel function failed: see qrn_system_error; open the session again */
  QRN_CHANNEL_FAILURE = 4,
  /* qrn_open: wfapi64.dll / wfapi.dll (libwfapi.so) is missing or incomplete */
  QRN_NO_CHANNEL_FUNCTIONS = 5,
  /* qrn_open: the server's allow list refuses this program */
  QRN_ACCESS_DENIED = 6,
  /* qrn_open: a channel did not open for another reason */
  QRN_OPEN_FAILED = 7,
  /* an answer the typed call cannot read as its type (OK of another type, or
   * neither OK nor ERROR): no value written; see qrn_last_answer */
  QRN_BAD_ANSWER = 8,
  /* the answer's text did not fit the buffer; it is cut (and closed by a zero
   * byte); *text_length and qrn_last_answer give all of it */
  QRN_TEXT_TOO_LONG = 9,
  /* a null pointer where one is needed */
  QRN_INVALID_ARGUMENT = 10,
  /* the response ended on a full packet and its rest did not come in time: the
   * text may be cut short; the session gets back in step before the next command */
  QRN_INCOMPLETE_ANSWER = 11,
  /* not sent: an earlier response is still outstanding, or packets came that no
   * command asked for, and getting back in step did not finish within this
   * call's time-out (or the call was cancelled, or a channel failed:
   * qrn_system_error is then non-zero); try again */
  QRN_OUT_OF_STEP = 12,
  /* not sent: another call on this session is running, or it is closing */
  QRN_BUSY = 13,
  /* sent, but qrn_cancel ended the wait; its response is taken for no command's */
  QRN_CANCELLED = 14,
  /* qrn_open: this process has a session open already (one per process; share
   * it between threads, or close it first) */
  QRN_ALREADY_OPEN = 15
} qrn_status;

typedef struct qrn_session qrn_session;

/* Opens both channels. One session per process: while one is open, another
 * qrn_open answers QRN_ALREADY_OPEN (a client session has one data channel for
 * all of a program's answers, so two sessions could not tell theirs apart).
 * On success *session is set; otherwise it is null and
 * qrn_open_problem describes why (in words, with the allow-list entries to
 * add when access is denied), and qrn_system_error(NULL) gives the error
 * number. */
QRN_API int QRN_CALL qrn_open(qrn_session** session);
/* Cancels a call that runs on another thread, waits until it has returned,
 * then closes the channels and frees the session. Call it once. */
QRN_API void QRN_CALL qrn_close(qrn_session* session);
/* From any thread: ends the wait of the call running on the session now
 * (QRN_CANCELLED once sent, QRN_OUT_OF_STEP before). A cancel is never lost:
 * when no call is waiting (none runs, or it has its answer already), it ends
 * the next call that sends or asks, before anything is written
 * (QRN_OUT_OF_STEP), and only that one, however many cancels came. */
QRN_API int QRN_CALL qrn_cancel(qrn_session* session);

/* Sends the command (length bytes; -1: up to its zero byte) on the command
 * channel, or the data channel when on_data_channel is non-zero, and waits
 * up to timeout_ms (0: QRN_DEFAULT_TIMEOUT_MS) for the response. text
 * receives the response text: for "OK|x" and "ERROR|x" the x, for any other
 * response (the driver's version) the whole of it; or why there is none.
 * *text_length (may be null) is the full length, also when it was cut; text
 * may be null with capacity 0 to learn the length, then qrn_last_answer. */
QRN_API int QRN_CALL qrn_send(qrn_session* session, const char* command, int length,
                              int on_data_channel, unsigned timeout_ms, char* text,
                              size_t capacity, size_t* text_length);

/* A numeric answer ("OK|12", "OK|0.5", "OK|inf") and a yes/no answer. The
 * value is written only with QRN_OK. */
QRN_API int QRN_CALL qrn_ask_number(qrn_session* session, const char* command,
                                    unsigned timeout_ms, double* value);
QRN_API int QRN_CALL qrn_ask_flag(qrn_session* session, const char* command,
                                  unsigned timeout_ms, int* value);
/* GetSpectralDataAll|angle|: the 31 values. */
QRN_API int QRN_CALL qrn_spectral_data_all(qrn_session* session, int angle, unsigned timeout_ms,
                                           double values[QRN_SPECTRAL_VALUES]);

/* The response of the session's last call exactly as it came ("OK|12abc",
 * "ERROR|No driver loaded", "1.5.0"; as much as came of an incomplete one),
 * or why none came; kept until the next call. Copied as qrn_send copies its
 * text (QRN_TEXT_TOO_LONG when cut; text null and capacity 0 for the
 * length only). */
QRN_API int QRN_CALL qrn_last_answer(qrn_session* session, char* text, size_t capacity,
                                     size_t* text_length);

/* The platform's error number of the session's last call that failed on a
 * channel; with a null session, this thread's last failed qrn_open's. */
QRN_API unsigned QRN_CALL qrn_system_error(const qrn_session* session);
/* Why the last qrn_open failed, in words (this thread's). */
QRN_API const char* QRN_CALL qrn_open_problem(void);
/* The status's name ("QRN_OK", ...). */
QRN_API const char* QRN_CALL qrn_status_name(int status);

#ifdef __cplusplus
}
#endif

#endif
