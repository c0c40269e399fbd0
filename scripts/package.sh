#!/usr/bin/env bash
# Packs the builds for administrators, one package per client platform:
#
#   scripts/package.sh [BUILD_ROOT] [--output DIR] [--zips]
#
# (default BUILD_ROOT: build; default DIR: BUILD_ROOT/packages; --zips packs
# the Windows zip packages only.)
#
# BUILD_ROOT holds the built presets windows-x86, windows-x64,
# windows-arm64, linux-x64, linux-x86, linux-armhf and linux-arm64; the
# packages land in BUILD_ROOT/packages: vdqrn-windows-x86.zip,
# vdqrn-windows-x64.zip and vdqrn-windows-arm64.zip (VDQRN.DLL,
# simspectro.dll, engine_sim.exe, the instrument hosts), and vdqrn-linux-x64.tar.gz,
# vdqrn-linux-x86.tar.gz, vdqrn-linux-armhf.tar.gz and
# vdqrn-linux-arm64.tar.gz (the module as VDQRN.DLL, the name a Linux client
# loads it by, simspectro.so, engine_sim). The 64-bit ones also carry the
# 32-bit instrument host and a 32-bit simulated instrument (simspectro32) of
# their machine family. Each also holds examples/session.txt,
# docs/protocol.md and docs/deployment.md in folders (docs/deployment.md
# describes the layout); a tarball holds them in a folder of its name
# (vdqrn-linux-x64/...). The arm64 zip carries the x86 and x64 hosts and
# simulated instruments (simspectro32.dll, simspectro64.dll) besides its own
# host, QRNHOSTA64.EXE. For the session host,
# vdqrn-host-kit-windows-x86.zip and -x64.zip: qrnctl.exe, qrnclient.dll,
# include/qrnclient.h and lib/qrnclient.lib, the examples in C, C# and
# Python, the stand-in of the platform's channel functions (standin/),
# docs/server.md. With VDQRN_SIGN_CERT and VDQRN_SIGN_KEY set,
# scripts/sign.sh signs every Windows binary before it goes into a zip (and
# scripts/installers.sh those of the MSI files). scripts/check_packages.sh
# checks them.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

fail() {
  echo "package: $*" >&2
  exit 1
}

root=build
out=
zips_only=
while [ $# -gt 0 ]; do
  case "$1" in
    --output) out=$2; shift 2 ;;
    --zips) zips_only=yes; shift ;;
    -*) fail "unknown option $1" ;;
    *) root=$1; shift ;;
  esac
done
[ -d "$root" ] || fail "no build folder $root"
root=$(cd "$root" && pwd)
[ -n "$out" ] || out="$root/packages"
mkdir -p "$out"
out=$(cd "$out" && pwd)

# Packs one package from the files package_contents names.
#   make_package windows|linux ARCH
make_package() {
  local platform=$1 arch=$2
  local name="vdqrn-$platform-$arch"
  local stage="$out/$name"
  rm -rf "$stage"
  mkdir -p "$stage"
  local listing files
  listing=$(stage_package "$platform" "$arch" "$root" "$stage") || fail "a file is missing"
  mapfile -t files <<<"$listing"
  if [ "$platform" != linux ]; then
    if [ -n "${VDQRN_SIGN_CERT:-}" ] && [ -n "${VDQRN_SIGN_KEY:-}" ]; then
      local binaries=()
      mapfile -t binaries < <(grep -iE '\.(dll|exe)$' <<<"$listing")
      scripts/sign.sh "${binaries[@]/#/$stage/}" >/dev/null
    fi
    rm -f "$out/$name.zip"
    (cd "$stage" && cmake -E tar cf "../$name.zip" --format=zip "${files[@]}")
    echo "$out/$name.zip"
  else
    # In a folder of the package's name, so that unpacking it makes one.
    rm -f "$out/$name.tar.gz"
    (cd "$out" && tar czf "$name.tar.gz" --owner=0 --group=0 "${files[@]/#/$name/}")
    echo "$out/$name.tar.gz"
  fi
  rm -rf "$stage"
}

for arch in x86 x64; do make_package windows "$arch"; done
# The arm64 module needs a toolchain made from source (scripts/toolchain_arm64.sh);
# VDQRN_NO_ARM64_WHY says why there is none, and its packages are left out.
if [ -n "${VDQRN_NO_ARM64_WHY:-}" ]; then
  echo "package: NOT MADE: vdqrn-windows-arm64.zip and its MSI ($VDQRN_NO_ARM64_WHY)" >&2
else
  make_package windows arm64
fi
for arch in x86 x64; do make_package host-kit-windows "$arch"; done
[ -n "$zips_only" ] && exit 0
for arch in x86 x64 armhf arm64; do make_package linux "$arch"; done

# The installer packages: the Windows MSI files and the Linux system packages.
[ "$out" = "$root/packages" ] || fail "the installer packages go into $root/packages only"
scripts/installers.sh "$root"
scripts/linux_packages.sh "$root"
