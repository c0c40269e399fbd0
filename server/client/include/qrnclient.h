/* qrnclient: the host side of the instrument channels, for applications in
 * any language. Opens the two virtual channels of the current session, sends
 * one command at a time and returns its one response, split into its kind
 * and text. Links to nothing at build time: the platform's channel
 * functions are found when qrn_open runs.
 *
 * Every function returns a qrn_status. A session is for one thread at a
 * time. Texts are bytes, passed through unchanged; numbers use "." whatever
 * the locale. */
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

typedef enum qrn_status {
  QRN_OK = 0,               /* the driver answered OK (or, for qrn_send, anything but ERROR) */
  QRN_ERROR_ANSWER = 1,     /* the driver answered ERROR: the text says why */
  QRN_TIMED_OUT = 2,        /* no response in time; the next command gets back in step first */
  QRN_NOT_SENT = 3,         /* empty, or longer than QRN_MAX_COMMAND_BYTES */
  QRN_CHANNEL_FAILURE = 4,  /* a channel function failed: see qrn_system_error */
  QRN_NO_CHANNEL_FUNCTIONS = 5, /* qrn_open: wfapi64.dll / wfapi.dll is missing or incomplete */
  QRN_ACCESS_DENIED = 6,    /* qrn_open: the server's allow list refuses this program */
  QRN_OPEN_FAILED = 7,      /* qrn_open: a channel did not open for another reason */
  QRN_BAD_ANSWER = 8,       /* OK, but not of the type the function reads */
  QRN_TEXT_TOO_LONG = 9,    /* the text did not fit the buffer; it is cut (and closed by a zero byte) */
  QRN_INVALID_ARGUMENT = 10 /* a null pointer where one is needed */
} qrn_status;

typedef struct qrn_session qrn_session;

/* Opens both channels. On success *session is set; otherwise it is null and
 * qrn_open_problem describes why (in words, with the allow-list entries to
 * add when access is denied). */
QRN_API int QRN_CALL qrn_open(qrn_session** session);
QRN_API void QRN_CALL qrn_close(qrn_session* session);

/* Sends the command (length bytes; -1: up to its zero byte) on the command
 * channel, or the data channel when on_data_channel is non-zero, and waits
 * up to timeout_ms for the response. text receives the response text: for
 * "OK|x" and "ERROR|x" the x, for any other response (the driver's version)
 * the whole of it; or why there is none. *text_length (may be null) is the
 * full length, also when it was cut. */
QRN_API int QRN_CALL qrn_send(qrn_session* session, const char* command, int length,
                              int on_data_channel, unsigned timeout_ms, char* text,
                              size_t capacity, size_t* text_length);

/* A numeric answer ("OK|12", "OK|0.5", "OK|inf") and a yes/no answer. */
QRN_API int QRN_CALL qrn_ask_number(qrn_session* session, const char* command,
                                    unsigned timeout_ms, double* value);
QRN_API int QRN_CALL qrn_ask_flag(qrn_session* session, const char* command,
                                  unsigned timeout_ms, int* value);
/* GetSpectralDataAll|angle|: the 31 values. */
QRN_API int QRN_CALL qrn_spectral_data_all(qrn_session* session, int angle, unsigned timeout_ms,
                                           double values[QRN_SPECTRAL_VALUES]);

/* The platform's error number of the last QRN_CHANNEL_FAILURE / failed open. */
QRN_API unsigned QRN_CALL qrn_system_error(const qrn_session* session);
/* Why the last qrn_open failed, in words (this thread's). */
QRN_API const char* QRN_CALL qrn_open_problem(void);
/* The status's name ("QRN_OK", ...). */
QRN_API const char* QRN_CALL qrn_status_name(int status);

#ifdef __cplusplus
}
#endif

#endif
