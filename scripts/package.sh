#!/usr/bin/env bash
# Packs the builds for administrators, one package per client platform:
#
#   scripts/package.sh [BUILD_ROOT] [--output DIR] [--zips | --linux | --only NAME...]
#
# (default BUILD_ROOT: build; default DIR: BUILD_ROOT/packages.) Without an
# option it packs every package and the installer packages; --zips packs the
# Windows zip packages only (the host kits included); --linux the Linux
# tarballs and the system packages made from them (scripts/linux_packages.sh);
# --only NAME (repeatable) the package named, without its installer packages:
# windows-x86, windows-x64, windows-arm64, host-kit-windows-x86,
# host-kit-windows-x64, linux-x86, linux-x64, linux-armhf, linux-arm64,
# host-kit-linux-x64.
# Before packing anything it checks that the presets the asked packages come
# from are built, and names every one that is not. --help prints this.
#
# BUILD_ROOT holds the built presets windows-x86, windows-x64,
# windows-arm64, linux-x64, linux-x86, linux-armhf and linux-arm64; the
# packages land in BUILD_ROOT/packages: vdqrn-windows-x86.zip,
# vdqrn-windows-x64.zip and vdqrn-windows-arm64.zip (VDQRN.DLL,
# simspectro.dll, engine_sim.exe, the instrument hosts), and vdqrn-linux-x64.tar.gz,
# vdqrn-linux-x86.tar.gz, vdqrn-linux-armhf.tar.gz and
# vdqrn-linux-arm64.tar.gz (the module as VDQRN.DLL, the name a Linux client
# loads it by, simspectro.so, engine_sim, the instrument host of the
# package's architecture, install.sh with the version and the architecture
# written in). The 64-bit ones also carry the 32-bit instrument host and a
# 32-bit simulated instrument (simspectro32) of their machine family. Each
# also holds the docs (docs/deployment.md describes the layout) and every
# file their links name, the examples among them; a tarball holds them in a
# folder of its name (vdqrn-linux-x64/...). The arm64 zip carries the x86
# and x64 hosts and simulated instruments (simspectro32.dll,
# simspectro64.dll) besides its own host, QRNHOSTA64.EXE. For the session
# host, vdqrn-host-kit-windows-x86.zip and -x64.zip: qrnctl.exe,
# qrnclient.dll, include/qrnclient.h and lib/qrnclient.lib, the modules
# qrnclient.py (Python) and QrnClient.cs (C#), the examples in C, C# and
# Python, the stand-in of the platform's channel functions (standin/), the
# docs; and vdqrn-host-kit-linux-x64.tar.gz (--linux packs it too, from the
# linux-x64 preset): qrnctl, libqrnclient.so, include/qrnclient.h, the
# modules, the examples, standin/libwfapi.so, the docs. With VDQRN_SIGN_CERT and VDQRN_SIGN_KEY set,
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
what=all
only=()
all_packages=(windows-x86 windows-x64 windows-arm64 host-kit-windows-x86 host-kit-windows-x64
  linux-x86 linux-x64 linux-armhf linux-arm64 host-kit-linux-x64)
while [ $# -gt 0 ]; do
  case "$1" in
    --output)
      [ $# -ge 2 ] || fail "--output needs a folder"
      out=$2
      shift 2
      ;;
    --zips) what=zips; shift ;;
    --linux) what=linux; shift ;;
    --only)
      [ $# -ge 2 ] || fail "--only needs a package name (see --help)"
      [[ " ${all_packages[*]} " == *" $2 "* ]] ||
        fail "no package \"$2\"; the packages: ${all_packages[*]}"
      what=only
      only+=("$2")
      shift 2
      ;;
    -h | --help)
      awk 'NR > 1 && !/^#/ { exit } NR > 1 { sub(/^# ?/, ""); print }' "$0"
      exit 0
      ;;
    -*) fail "unknown option $1 (see --help)" ;;
    *) root=$1; shift ;;
  esac
done
[ -d "$root" ] || fail "no build folder $root"
root=$(cd "$root" && pwd)
[ -n "$out" ] || out="$root/packages"

# The packages asked for. The arm64 module needs a toolchain made from
# source (scripts/toolchain_arm64.sh); VDQRN_NO_ARM64_WHY says why there is
# none, and its packages are left out, saying so.
packages=()
case "$what" in
  all) packages=("${all_packages[@]}") ;;
  zips) packages=("${all_packages[@]:0:5}") ;;
  linux) packages=(linux-x86 linux-x64 linux-armhf linux-arm64 host-kit-linux-x64) ;;
  only) packages=("${only[@]}") ;;
esac
if [ -n "${VDQRN_NO_ARM64_WHY:-}" ] && [[ " ${packages[*]} " == *" windows-arm64 "* ]]; then
  echo "package: NOT MADE: vdqrn-windows-arm64.zip and its MSI ($VDQRN_NO_ARM64_WHY)" >&2
  for i in "${!packages[@]}"; do [ "${packages[$i]}" != windows-arm64 ] || unset 'packages[i]'; done
  packages=("${packages[@]}")
fi

# Splits a package's name into its platform and architecture.
#   platform_of NAME, arch_of NAME
platform_of() { echo "${1%-*}"; }
arch_of() { echo "${1##*-}"; }

# Every preset a file of an asked package is missing from, before anything
# is packed: a run packs all that was asked or nothing.
declare -A missing_from=()
for package in "${packages[@]}"; do
  while IFS=$'\t' read -r file origin; do
    case "$origin" in
      *:*) [ -f "$root/${origin%%:*}/bin/${origin#*:}" ] ||
        missing_from[${origin%%:*}]+=" vdqrn-$package" ;;
      *) [ -f "$origin" ] || fail "$origin is missing from the source tree" ;;
    esac
  done < <(package_contents "$(platform_of "$package")" "$(arch_of "$package")")
done
if [ ${#missing_from[@]} -gt 0 ]; then
  echo "package: nothing was packed: presets not built (in $root) for what was asked:" >&2
  for preset in $(printf '%s\n' "${!missing_from[@]}" | sort); do
    echo "  $preset, for$(tr ' ' '\n' <<<"${missing_from[$preset]}" | sort -u | tr '\n' ' ' |
      sed 's/ $//')" >&2
  done
  echo "package: build them (cmake --preset NAME && cmake --build --preset NAME), or ask for" \
    "less (--only NAME, --linux, --zips; see --help)" >&2
  exit 1
fi
mkdir -p "$out"
out=$(cd "$out" && pwd)
version=$(product_version)

# Packs one package from the files package_contents names.
#   make_package NAME
make_package() {
  local platform arch
  platform=$(platform_of "$1")
  arch=$(arch_of "$1")
  local name="vdqrn-$1"
  local stage="$out/$name"
  rm -rf "$stage"
  mkdir -p "$stage"
  local listing files
  listing=$(stage_package "$platform" "$arch" "$root" "$stage") || fail "a file is missing"
  mapfile -t files <<<"$listing"
  if [ "$platform" != linux ] && [ "$platform" != host-kit-linux ]; then
    if [ -n "${VDQRN_SIGN_CERT:-}" ] && [ -n "${VDQRN_SIGN_KEY:-}" ]; then
      local binaries=()
      mapfile -t binaries < <(grep -iE '\.(dll|exe)$' <<<"$listing")
      scripts/sign.sh "${binaries[@]/#/$stage/}" >/dev/null
    fi
    rm -f "$out/$name.zip"
    (cd "$stage" && cmake -E tar cf "../$name.zip" --format=zip "${files[@]}")
    echo "$out/$name.zip"
  else
    # A client package's install.sh says which version it installs and
    # which architecture its package is for (its preinstall check has no
    # module beside it). The host kit has none.
    if [ "$platform" = linux ]; then
      sed -i "s/^version=\$/version=$version/; s/^package_arch=\$/package_arch=$arch/" \
        "$stage/install.sh"
      grep -qx "version=$version" "$stage/install.sh" &&
        grep -qx "package_arch=$arch" "$stage/install.sh" ||
        fail "cannot write the version into $stage/install.sh"
    fi
    # In a folder of the package's name, so that unpacking it makes one.
    rm -f "$out/$name.tar.gz"
    (cd "$out" && tar czf "$name.tar.gz" --owner=0 --group=0 "${files[@]/#/$name/}")
    echo "$out/$name.tar.gz"
  fi
  rm -rf "$stage"
}

for package in "${packages[@]}"; do make_package "$package"; done
case "$what" in
  zips | only) exit 0 ;;
esac

# The installer packages: the Windows MSI files and the Linux system packages.
[ "$out" = "$root/packages" ] || fail "the installer packages go into $root/packages only"
[ "$what" = linux ] || scripts/installers.sh "$root"
scripts/linux_packages.sh "$root"
