#!/usr/bin/env bash
# Packs the builds for administrators, one package per client platform:
#
#   scripts/package.sh [BUILD_ROOT]        (default BUILD_ROOT: build)
#
# BUILD_ROOT holds the built presets windows-x86, windows-x64, linux and
# linux-x86; the packages land in BUILD_ROOT/packages: vdqrn-windows-x86.zip
# and vdqrn-windows-x64.zip (VDQRN.DLL, simspectro.dll, engine_sim.exe), and
# vdqrn-linux-x64.tar.gz and vdqrn-linux-x86.tar.gz (the module as VDQRN.DLL,
# the name a Linux client loads it by, simspectro.so, engine_sim). Each also
# holds examples/session.txt, docs/protocol.md and docs/deployment.md in
# folders (docs/deployment.md describes the layout).
# scripts/check_packages.sh checks them.
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

# Copies the package's files into a fresh staging folder: source-tree files
# (with a folder) from here, built files from BIN, renamed where a line of the
# contents says "NAME=BUILT_NAME".
stage_package() {
  local stage=$1 bin=$2 preset=$3
  shift 3
  rm -rf "$stage"
  mkdir -p "$stage"
  for entry in "$@"; do
    local file=${entry%%=*} built=${entry#*=}
    case "$file" in
      */*) source_file="$file" ;;          # from the source tree
      *) source_file="$bin/$built" ;;      # built
    esac
    [ -f "$source_file" ] || fail "$source_file is missing (build the $preset preset)"
    mkdir -p "$stage/$(dirname "$file")"
    cp "$source_file" "$stage/$file"
  done
}

mapfile -t linux_contents < <(linux_package_contents)
for arch in x86 x64; do
  bin="$root/windows-$arch/bin"
  name="vdqrn-windows-$arch"
  stage="$out/$name"
  rm -f "$out/$name.zip"
  stage_package "$stage" "$bin" "windows-$arch" "${contents[@]}"
  (cd "$stage" && cmake -E tar cf "../$name.zip" --format=zip "${contents[@]}")
  rm -rf "$stage"
  echo "$out/$name.zip"

  preset=linux
  [ "$arch" = x86 ] && preset=linux-x86
  name="vdqrn-linux-$arch"
  stage="$out/$name"
  rm -f "$out/$name.tar.gz"
  entries=()
  for file in "${linux_contents[@]}"; do
    case "$file" in
      VDQRN.DLL) entries+=("VDQRN.DLL=vdqrn.so") ;;
      *) entries+=("$file") ;;
    esac
  done
  stage_package "$stage" "$root/$preset/bin" "$preset" "${entries[@]}"
  (cd "$stage" && tar czf "../$name.tar.gz" --owner=0 --group=0 "${linux_contents[@]}")
  rm -rf "$stage"
  echo "$out/$name.tar.gz"
done
