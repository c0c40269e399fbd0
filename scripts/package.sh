#!/usr/bin/env bash
# Packs the Windows builds for administrators, one zip per client bitness:
#
#   scripts/package.sh [BUILD_ROOT]        (default BUILD_ROOT: build)
#
# BUILD_ROOT holds the built presets windows-x86 and windows-x64; the packages
# land in BUILD_ROOT/packages: vdqrn-windows-x86.zip and vdqrn-windows-x64.zip.
# Each holds VDQRN.DLL, simspectro.dll and engine_sim.exe at the top, and
# examples/session.txt, docs/protocol.md and docs/deployment.md in folders
# (docs/deployment.md describes the layout). scripts/check_packages.sh checks
# them.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

fail() {
  echo "package: $*" >&2
  exit 1
}

[ -d "${1:-build}" ] || fail "no build folder ${1:-build}"
root=$(cd "${1:-build}" && pwd)
out="$root/packages"
mkdir -p "$out"
mapfile -t contents < <(package_contents)

for arch in x86 x64; do
  bin="$root/windows-$arch/bin"
  name="vdqrn-windows-$arch"
  stage="$out/$name"
  rm -rf "$stage" "$out/$name.zip"
  mkdir -p "$stage"
  for file in "${contents[@]}"; do
    case "$file" in
      */*) source_file="$file" ;;         # from the source tree
      *) source_file="$bin/$file" ;;      # built
    esac
    [ -f "$source_file" ] || fail "$source_file is missing (build the windows-$arch preset)"
    mkdir -p "$stage/$(dirname "$file")"
    cp "$source_file" "$stage/$file"
  done
  (cd "$stage" && cmake -E tar cf "../$name.zip" --format=zip "${contents[@]}")
  rm -rf "$stage"
  echo "$out/$name.zip"
done
