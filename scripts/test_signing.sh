#!/usr/bin/env bash
# Tests scripts/sign.sh with a throw-away certificate authority and
# code-signing certificate made here (never use them for anything else):
#
#   scripts/test_signing.sh [BUILD_ROOT]     (default BUILD_ROOT: build)
#
# builds both MSI files signed (scripts/installers.sh with the signing
# variables set) and the Windows zip packages (scripts/package.sh --zips)
# into BUILD_ROOT/signing, and checks with osslsigncode verify against the
# test authority every binary that went into them, both MSI files and every
# binary in the zips, and that a file changed after signing fails the check. Prints one
# summary line (also appended to BUILD_ROOT/installers/summary.txt).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

install_packages osslsigncode openssl
root=$(cd "${1:-build}" && pwd)
work="$root/signing"
rm -rf "$work"
mkdir -p "$work" "$root/installers"

step "signing: a throw-away test certificate"
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=vdqrn test CA" \
  -keyout "$work/ca.key" -out "$work/ca.pem" -addext basicConstraints=critical,CA:TRUE \
  -addext keyUsage=critical,keyCertSign >/dev/null 2>&1
openssl req -newkey rsa:2048 -nodes -subj "/CN=vdqrn test code signing" \
  -keyout "$work/sign.key" -out "$work/sign.csr" >/dev/null 2>&1
printf '%s\n' "basicConstraints=CA:FALSE" "keyUsage=critical,digitalSignature" \
  "extendedKeyUsage=codeSigning" >"$work/ext.cnf"
openssl x509 -req -in "$work/sign.csr" -CA "$work/ca.pem" -CAkey "$work/ca.key" \
  -CAcreateserial -days 2 -extfile "$work/ext.cnf" -out "$work/sign.pem" >/dev/null 2>&1

step "signing: signed MSI files"
VDQRN_SIGN_CERT="$work/sign.pem" VDQRN_SIGN_KEY="$work/sign.key" \
  scripts/installers.sh "$root" --output "$work"

step "signing: signed zip packages"
VDQRN_SIGN_CERT="$work/sign.pem" VDQRN_SIGN_KEY="$work/sign.key" \
  scripts/package.sh "$root" --output "$work/zips" --zips
mkdir -p "$work/unzipped"
for zip in "$work"/zips/*.zip; do
  name=${zip##*/}
  mkdir -p "$work/unzipped/${name%.zip}"
  (cd "$work/unzipped/${name%.zip}" && cmake -E tar xf "$zip")
done
mapfile -t zipped < <(find "$work/unzipped" -type f -iregex '.*\.\(dll\|exe\)$' | sort)

failures=()
verify() { osslsigncode verify -CAfile "$work/ca.pem" -in "$1" >"$work/verify.txt" 2>&1; }
files=("$work"/*.msi "$root"/installers/stage-*/*.DLL "$root"/installers/stage-*/*.dll \
  "$root"/installers/stage-*/*.exe "$root"/installers/stage-*/*.EXE "${zipped[@]}")
for file in "${files[@]}"; do
  if verify "$file"; then
    echo "  ok: ${file#"$root/"} verified"
  else
    echo "  FAILED: ${file#"$root/"}: $(grep -i -m1 'fail\|error' "$work/verify.txt" || true)"
    failures+=("${file##*/}")
  fi
done
[ ${#files[@]} -ge 12 ] || failures+=("only ${#files[@]} files")
[ ${#zipped[@]} -ge 14 ] || failures+=("only ${#zipped[@]} binaries in the zips")
cp "$work/vdqrn-windows-x64.msi" "$work/tampered.msi"
printf 'x' | dd of="$work/tampered.msi" bs=1 seek=100000 conv=notrunc 2>/dev/null
if verify "$work/tampered.msi"; then
  echo "  FAILED: a changed MSI file still verifies"
  failures+=("tampered MSI verified")
else
  echo "  ok: a changed MSI file fails the check"
fi
if [ ${#failures[@]} -eq 0 ]; then
  line=$(printf '%-12s %-8s %s' signatures passed "osslsigncode verify of ${#files[@]} files against a throw-away test authority")
else
  line=$(printf '%-12s %-8s %s' signatures FAILED "${failures[*]}")
fi
echo "$line" | tee -a "$root/installers/summary.txt"
[ ${#failures[@]} -eq 0 ]
