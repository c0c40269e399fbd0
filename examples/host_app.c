/* A host application in C, on the client library's C interface: loads the
 * instrument library on the client, connects, measures and prints the
 * first and last of the 31 spectral values. */
#include <stdio.h>

#include "qrnclient.h"

int main(void) {
  qrn_session* session;
  char text[QRN_MAX_PACKET_BYTES + 1];
  double values[QRN_SPECTRAL_VALUES];
  int status = qrn_open(&session);
  if (status != QRN_OK) {
    fprintf(stderr, "%s: %s\n", qrn_status_name(status), qrn_open_problem());
    return 1;
  }
  status = qrn_send(session, "Init|simspectro|", -1, 0, 10000, text, sizeof text, NULL);
  if (status != QRN_OK) {
    fprintf(stderr, "Init: %s %s\n", qrn_status_name(status), text);
  } else if (qrn_send(session, "Connect", -1, 0, 10000, text, sizeof text, NULL) == QRN_OK &&
             qrn_send(session, "Measure", -1, 0, 120000, text, sizeof text, NULL) == QRN_OK &&
             (status = qrn_spectral_data_all(session, 0, 5000, values)) == QRN_OK) {
    printf("400 nm: %g, 700 nm: %g\n", values[0], values[QRN_SPECTRAL_VALUES - 1]);
  } else {
    fprintf(stderr, "%s %s\n", qrn_status_name(status), text);
  }
  qrn_close(session);
  return status == QRN_OK ? 0 : 1;
}
