#!/usr/bin/env bash
# Debian 11 (bullseye, glibc 2.31) folders, under BUILD_ROOT/debian11, that
# the shipped Linux builds are linked against and run in:
#
#   scripts/sysroot.sh x86|arm|system [BUILD_ROOT]   (default BUILD_ROOT: build)
#
#   x86     BUILD_ROOT/debian11/x86: Debian 11's C library (libc6, libc6-dev,
#           libcrypt, the kernel headers) and libgcc_s for amd64 and i386, in
#           Debian's multiarch layout: the sysroot of the linux-x64 and
#           linux-x86 presets (cmake/glibc-floor.cmake).
#   arm     BUILD_ROOT/debian11/arm: the same for arm64 and armhf: the sysroot
#           of linux-arm64 and linux-armhf, and the library folder their
#           programs run with under qemu-user (-L, QEMU_LD_PREFIX). Laid out
#           as a 64-bit ARM Debian 11 system with the 32-bit ARM C library
#           added beside its own, as the 32-bit ARM instrument host needs.
#   system  BUILD_ROOT/debian11/system: a minimal Debian 11 amd64 system
#           (debootstrap --variant=minbase, as root), with the i386 C library
#           and libgcc_s installed the way docs/deployment.md tells an
#           administrator; scripts/test.sh runs the unpacked x64 package in it
#           (chroot).
#
# Packages come from the Debian archive this machine's apt uses. Each folder
# is made once, in a folder beside it, and moved in place when whole; it is
# reused while its stamp (what it was made of) is unchanged. Prints the
# folder; fails, saying why, when it cannot be made (no root for `system`,
# no way to the package archive).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

what=${1:-}
mkdir -p "${2:-build}"
root=$(cd "${2:-build}" && pwd)
suite=bullseye
keyring=/usr/share/keyrings/debian-archive-keyring.gpg

fail() {
  echo "sysroot: $*" >&2
  exit 1
}

# The Debian archive this machine's apt reads (its main suite, not the
# security one); debootstrap's own default where apt names none.
debian_mirror() {
  local mirror
  mirror=$(apt-get indextargets --format '$(REPO_URI)' 'Label: Debian' 2>/dev/null | head -1)
  if [ -z "$mirror" ] && command -v debootstrap >/dev/null; then
    mirror=$(sed -n 's/^DEF_MIRROR="\(.*\)"$/\1/p' "$(command -v debootstrap)")
  fi
  [ -n "$mirror" ] || fail "no Debian archive is configured for apt on this machine"
  echo "$mirror"
}

# The packages of the C library that a program links against and runs with.
runtime_and_development=(libc6 libc6-dev linux-libc-dev libcrypt1 libcrypt-dev libgcc-s1)

# Downloads packages, each for each architecture given, into a folder:
# apt-get with a state of its own (Debian 11's package lists for the four
# architectures, kept in BUILD_ROOT/debian11/apt and brought up to date each
# time); this machine's apt is left alone.
#   download FOLDER ARCH... -- PACKAGE...
download() {
  local folder=$1
  shift
  local arches=()
  while [ "$1" != -- ]; do
    arches+=("$1")
    shift
  done
  shift
  local apt="$root/debian11/apt"
  mkdir -p "$apt/lists/partial" "$apt/cache/archives/partial" "$apt/parts" "$folder"
  : >"$apt/status"
  printf 'deb [signed-by=%s] %s %s main\n' "$keyring" "$(debian_mirror)" "$suite" >"$apt/sources.list"
  local options=(-q -o "Dir::Etc::SourceList=$apt/sources.list" -o "Dir::Etc::SourceParts=$apt/parts"
    -o "Dir::State::Lists=$apt/lists" -o "Dir::State::Status=$apt/status"
    -o "Dir::Cache=$apt/cache" -o Debug::NoLocking=1 -o Acquire::Languages=none
    -o APT::Architecture=amd64)
  local arch
  for arch in amd64 i386 arm64 armhf; do options+=(-o "APT::Architectures::=$arch"); done
  [ "$(id -u)" -eq 0 ] && options+=(-o APT::Sandbox::User=root)
  apt-get "${options[@]}" update >"$apt/log" 2>&1 ||
    fail "cannot read Debian 11's package lists (is the package archive reachable?): $(grep -E '^(E|W):' "$apt/log" | head -2 | tr '\n' ' ')"
  local names=()
  for arch in "${arches[@]}"; do
    for package in "$@"; do names+=("$package:$arch"); done
  done
  (cd "$folder" && apt-get "${options[@]}" download "${names[@]}") >>"$apt/log" 2>&1 ||
    fail "cannot download ${names[*]}: $(grep -E '^(E|W):' "$apt/log" | head -2 | tr '\n' ' ')"
}

# Absolute symbolic links inside the folder made relative: the linker and
# the emulator resolve an absolute target on this machine, not in the folder.
relative_links() {
  local folder=$1 link target
  while IFS= read -r link; do
    target=$(readlink "$link")
    ln -sfn --relative "$folder$target" "$link"
  done < <(find "$folder" -type l -lname '/*')
}

# A stamp of what a folder is made of: remade when it changes.
stamp_of() {
  printf '%s\n' "suite $suite" "$@"
}

# Makes the folder with the procedure given, unless its stamp is current.
#   make_folder NAME PROCEDURE STAMP-LINE...
make_folder() {
  local name=$1 procedure=$2
  shift 2
  local folder="$root/debian11/$name"
  local stamp
  stamp=$(stamp_of "$@")
  if [ -f "$folder/.vdqrn-stamp" ] && [ "$(cat "$folder/.vdqrn-stamp")" = "$stamp" ]; then
    echo "$folder"
    return 0
  fi
  local work="$root/debian11/$name.new"
  remove_folder "$work"
  mkdir -p "$work"
  "$procedure" "$work"
  printf '%s\n' "$stamp" >"$work/.vdqrn-stamp"
  remove_folder "$folder"
  mv "$work" "$folder"
  echo "$folder"
}

# The C library of two architectures, unpacked into one folder.
#   libraries WORK ARCH ARCH
libraries() {
  local work=$1
  shift
  local fetched="$root/debian11/fetched-$(IFS=-; echo "$*")"
  rm -rf "$fetched"
  download "$fetched" "$@" -- "${runtime_and_development[@]}"
  local deb
  for deb in "$fetched"/*.deb; do dpkg-deb -x "$deb" "$work"; done
  relative_links "$work"
  rm -rf "$fetched"
  # What `-lgcc_s` links against: Debian 11's libgcc_s and, as gcc's own
  # linker script for it does, the static part of the compiler's runtime.
  local multiarch
  for multiarch in "$work"/usr/lib/*-linux-gnu*/; do
    echo 'GROUP ( libgcc_s.so.1 -lgcc )' >"$multiarch/libgcc_s.so"
  done
}
x86_libraries() { libraries "$1" amd64 i386; }
arm_libraries() { libraries "$1" arm64 armhf; }

# A minimal Debian 11 system, with what the 32-bit host needs installed by
# its own package manager.
debian_system() {
  local work=$1
  [ "$(id -u)" -eq 0 ] || fail "debootstrap needs root"
  install_packages debootstrap >&2
  debootstrap --variant=minbase "$suite" "$work" "$(debian_mirror)" >"$work.log" 2>&1 ||
    fail "debootstrap failed: $(tail -2 "$work.log" | tr '\n' ' ')"
  cp /etc/resolv.conf "$work/etc/resolv.conf"
  {
    chroot "$work" dpkg --add-architecture i386 &&
      chroot "$work" apt-get update -q &&
      chroot "$work" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
        libc6:i386 libgcc-s1:i386 &&
      chroot "$work" apt-get clean
  } >>"$work.log" 2>&1 || fail "cannot install the i386 C library in the Debian 11 system: $(tail -2 "$work.log" | tr '\n' ' ')"
  rm -f "$work.log"
  # Relative links resolve alike inside the folder (chroot) and from outside
  # (qemu-x86_64 taking its libraries from the folder).
  relative_links "$work"
}

mkdir -p "$root/debian11"
case "$what" in
  x86) make_folder x86 x86_libraries "amd64 i386" "${runtime_and_development[@]}" "libgcc_s.so script" ;;
  arm) make_folder arm arm_libraries "arm64 armhf" "${runtime_and_development[@]}" "libgcc_s.so script" ;;
  system) make_folder system debian_system "minbase amd64" "libc6:i386 libgcc-s1:i386" "relative links" ;;
  *) fail "usage: scripts/sysroot.sh x86|arm|system [BUILD_ROOT]" ;;
esac
