#!/usr/bin/env bash
# Checks the packages that scripts/package.sh made: lists each one and fails
# unless it holds every file a package must hold. The Linux packages' module
# must be of the package's architecture and need no C++ runtime of the client
# machine (no GLIBCXX or CXXABI symbol versions); the newest C library
# version it needs is printed.
#
#   scripts/check_packages.sh [BUILD_ROOT]  (default BUILD_ROOT: build)
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

root=${1:-build}
status=0
problem() {
  echo "check_packages: $*" >&2
  status=1
}

# Fails on each expected file missing from a listing.
check_listing() {
  local package=$1 listing=$2
  shift 2
  for file in "$@"; do
    grep -qxF "$file" <<<"$listing" || problem "$package lacks $file"
  done
}

for arch in x86 x64; do
  mapfile -t windows_contents < <(package_contents windows "$arch" | cut -f1)
  mapfile -t linux_contents < <(package_contents linux "$arch" | cut -f1)
  zip="$root/packages/vdqrn-windows-$arch.zip"
  if [ ! -f "$zip" ]; then
    problem "$zip is missing (run scripts/package.sh)"
  else
    echo "$zip:"
    listing=$(cmake -E tar tf "$zip")
    sed 's/^/  /' <<<"$listing"
    check_listing "$zip" "$listing" "${windows_contents[@]}"
  fi

  tarball="$root/packages/vdqrn-linux-$arch.tar.gz"
  if [ ! -f "$tarball" ]; then
    problem "$tarball is missing (run scripts/package.sh)"
    continue
  fi
  echo "$tarball:"
  listing=$(tar tzf "$tarball")
  sed 's/^/  /' <<<"$listing"
  check_listing "$tarball" "$listing" "${linux_contents[@]}"
  unpacked=$(mktemp -d)
  tar xzf "$tarball" -C "$unpacked"
  module="$unpacked/VDQRN.DLL"
  if [ -f "$module" ]; then
    expected_machine="Advanced Micro Devices X86-64"
    [ "$arch" = x86 ] && expected_machine="Intel 80386"
    machine=$(readelf -h "$module" | sed -n 's/^ *Machine: *//p')
    [ "$machine" = "$expected_machine" ] || problem "$tarball: VDQRN.DLL is for $machine"
    versions=$(objdump -T "$module" | grep -oE '(GLIBCXX|CXXABI|GLIBC)_[0-9.]+' | sort -u)
    if grep -qE '^(GLIBCXX|CXXABI)_' <<<"$versions"; then
      problem "$tarball: VDQRN.DLL needs the client's C++ runtime: $(grep -E '^(GLIBCXX|CXXABI)_' <<<"$versions" | tr '\n' ' ')"
    fi
    newest=$(grep -E '^GLIBC_' <<<"$versions" | sort -V | tail -1)
    needed=$(objdump -p "$module" | awk '/NEEDED/ {print $2}' | tr '\n' ' ')
    echo "  VDQRN.DLL: $machine; needs $needed; newest C library version: ${newest:-none}"
  fi
  # The 32-bit host beside a 64-bit module must be a 32-bit program.
  if [ "$arch" = x64 ] && [ -f "$unpacked/qrnhost32" ]; then
    host=$(readelf -h "$unpacked/qrnhost32" | sed -n 's/^ *Machine: *//p')
    [ "$host" = "Intel 80386" ] || problem "$tarball: qrnhost32 is for $host"
  fi
  rm -rf "$unpacked"
done
exit $status
