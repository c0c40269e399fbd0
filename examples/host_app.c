/* A host application in C, on the client library's C interface: loads the
 * instrument library on the client, connects, measures and prints the 31
 * spectral values, 400 to 700 nm. */
#include <stdio.h>

#include "qrnclient.h"

/* Sends a command whose answer is only looked at for its status; says why
 * on failure. */
static int Ask(qrn_session* session, const char* command, unsigned timeout_ms) {
  char text[QRN_MAX_PACKET_BYTES + 1];
  const int status = qrn_send(session, command, -1, 0, timeout_ms, text, sizeof text, NULL);
  if (status != QRN_OK) fprintf(stderr, "%s: %s %s\n", command, qrn_status_name(status), text);
  return status;
}

int main(void) {
  qrn_session* session;
  double values[QRN_SPECTRAL_VALUES];
  int i;
  int status = qrn_open(&session);
  if (status != QRN_OK) {
    fprintf(stderr, "%s (error %u): %s\n", qrn_status_name(status), qrn_system_error(NULL),
            qrn_open_problem());
    return 1;
  }
  if ((status = Ask(session, "Init|simspectro|", 10000)) == QRN_OK &&
      (status = Ask(session, "Connect", 10000)) == QRN_OK &&
      (status = Ask(session, "Measure", 120000)) == QRN_OK) {
    status = qrn_spectral_data_all(session, 0, 5000, values);
    if (status == QRN_OK) {
      for (i = 0; i < QRN_SPECTRAL_VALUES; ++i) printf("%d nm: %.6g\n", 400 + 10 * i, values[i]);
    } else {
      char answer[QRN_MAX_PACKET_BYTES + 1];
      qrn_last_answer(session, answer, sizeof answer, NULL);
      fprintf(stderr, "GetSpectralDataAll: %s %s\n", qrn_status_name(status), answer);
    }
  }
  qrn_close(session);
  return status == QRN_OK ? 0 : 1;
}
