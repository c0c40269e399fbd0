/* A host application in C, on the client library's C interface: loads the
 * instrument library on the client, connects, measures and prints the 31
 * spectral values, 400 to 700 nm. A failure, of the channel or of the
 * instrument, is reported with its reason, and the program exits with 1.
 *
 *   host_app [INSTRUMENT-LIBRARY]      (default: simspectro) */
#include <stdio.h>

#include "qrnclient.h"

/* What an instrument library returns for a value it could not give (no
 * measurement yet, an index out of range); GetLastErrorCode says why. */
#define NO_VALUE (-1.0)

/* Says why a call failed: its status and the response as it came. */
static void Report(qrn_session* session, const char* command, int status) {
  char answer[QRN_MAX_PACKET_BYTES + 1];
  qrn_last_answer(session, answer, sizeof answer, NULL);
  fprintf(stderr, "%s: %s (%d): %s\n", command, qrn_status_name(status), status, answer);
}

/* Says what the instrument reported: its last error code and text. */
static void ReportInstrument(qrn_session* session, const char* command, const char* what) {
  char text[QRN_MAX_PACKET_BYTES + 1];
  double code = 0;
  if (qrn_ask_number(session, "GetLastErrorCode", 5000, &code) != QRN_OK ||
      qrn_send(session, "GetLastErrorString", -1, 0, 5000, text, sizeof text, NULL) != QRN_OK) {
    fprintf(stderr, "%s: the instrument answered %s (its error could not be asked)\n", command,
            what);
    return;
  }
  fprintf(stderr, "%s: the instrument answered %s (its error %.0f: %s)\n", command, what, code,
          text);
}

/* A command the instrument answers true or false (Connect, Measure): the
 * driver answers OK|false when the instrument refuses, so the status alone
 * does not tell. Whether it answered true; says why not. */
static int Require(qrn_session* session, const char* command, unsigned timeout_ms) {
  int value = 0;
  const int status = qrn_ask_flag(session, command, timeout_ms, &value);
  if (status != QRN_OK) {
    Report(session, command, status);
    return 0;
  }
  if (!value) ReportInstrument(session, command, "false");
  return value;
}

int main(int argc, char** argv) {
  const char* library = argc > 1 ? argv[1] : "simspectro";
  char init[300];
  char text[QRN_MAX_PACKET_BYTES + 1];
  double values[QRN_SPECTRAL_VALUES];
  qrn_session* session;
  int i;
  int ok = 0;
  int status = qrn_open(&session);
  if (status != QRN_OK) {
    fprintf(stderr, "%s (error %u): %s\n", qrn_status_name(status), qrn_system_error(NULL),
            qrn_open_problem());
    return 1;
  }
  snprintf(init, sizeof init, "Init|%s|", library);
  status = qrn_send(session, init, -1, 0, 10000, text, sizeof text, NULL);
  if (status != QRN_OK) {
    Report(session, init, status);
  } else if (Require(session, "Connect", 10000) && Require(session, "Measure", 120000)) {
    status = qrn_spectral_data_all(session, 0, 5000, values);
    if (status != QRN_OK) {
      Report(session, "GetSpectralDataAll|0|", status);
    } else {
      /* -1 where the instrument had no value (all 31 when it measured
       * nothing); a NaN is no reading either. */
      ok = 1;
      for (i = 0; i < QRN_SPECTRAL_VALUES; ++i) {
        if (values[i] == NO_VALUE || values[i] != values[i]) ok = 0;
      }
      if (!ok) ReportInstrument(session, "GetSpectralDataAll|0|", "-1, its value for none");
    }
  }
  if (ok) {
    for (i = 0; i < QRN_SPECTRAL_VALUES; ++i) printf("%d nm: %.6g\n", 400 + 10 * i, values[i]);
  }
  qrn_close(session);
  return ok ? 0 : 1;
}
