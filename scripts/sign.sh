#!/usr/bin/env bash
# Signs Windows binaries and MSI files (Authenticode, with osslsigncode) in
# place, with the organisation's code-signing certificate:
#
#   VDQRN_SIGN_CERT=cert.pem VDQRN_SIGN_KEY=key.pem scripts/sign.sh FILE...
#
# VDQRN_SIGN_CERT: the certificate and its chain (PEM or DER);
# VDQRN_SIGN_KEY: its private key; VDQRN_SIGN_PASS_FILE (optional): a file
# holding the key's password; VDQRN_SIGN_TIMESTAMP (optional): the URL of a
# timestamp server, so that signatures stay valid after the certificate
# expires. scripts/installers.sh calls this for every binary it packs and for
# each MSI file when the two variables are set.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

fail() {
  echo "sign: $*" >&2
  exit 1
}
[ -n "${VDQRN_SIGN_CERT:-}" ] && [ -n "${VDQRN_SIGN_KEY:-}" ] ||
  fail "set VDQRN_SIGN_CERT and VDQRN_SIGN_KEY to the certificate and its key"
[ $# -gt 0 ] || fail "name the files to sign"
install_packages osslsigncode
options=(-certs "$VDQRN_SIGN_CERT" -key "$VDQRN_SIGN_KEY" -n "vdqrn instrument channel driver" -h sha256)
[ -n "${VDQRN_SIGN_PASS_FILE:-}" ] && options+=(-readpass "$VDQRN_SIGN_PASS_FILE")
[ -n "${VDQRN_SIGN_TIMESTAMP:-}" ] && options+=(-ts "$VDQRN_SIGN_TIMESTAMP")
for file in "$@"; do
  [ -f "$file" ] || fail "$file is missing"
  rm -f "$file.signed"
  osslsigncode sign "${options[@]}" -in "$file" -out "$file.signed" >/dev/null ||
    fail "osslsigncode could not sign $file"
  mv "$file.signed" "$file"
  echo "signed $file"
done
