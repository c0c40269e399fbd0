#!/usr/bin/env bash
# Plays the demo conversation (examples/session.txt) from an unpacked Linux
# package on Debian 11 (glibc 2.31), older than this machine's: the proof
# that the shipped binaries run on an older system, beyond their symbol
# lists.
#
#   scripts/debian11_demo.sh BUILD_ROOT x64|armhf|arm64 in-process|host [chroot|qemu]
#
# x64 runs inside the minimal Debian 11 system of scripts/sysroot.sh system
# (chroot, with /proc mounted in a mount namespace of its own, as root), or
# with `qemu` under qemu-x86_64 with that system's libraries: where 32-bit
# code runs only through qemu-i386 registered with binfmt_misc, the emulator
# (dynamically linked) cannot start inside the folder, but it can take the
# same libraries from it. armhf and arm64 run under qemu-arm / qemu-aarch64
# with the Debian 11 libraries of scripts/sysroot.sh arm. `in-process` plays the
# session against simspectro; `host` against simspectro32, the 32-bit
# library of the package's machine family, through the instrument host (the
# 64-bit packages only; 32-bit code must run there: scripts/test.sh decides).
# Prints the transcript and the driver's log into
# BUILD_ROOT/debian11/demo-ARCH-MODE.txt; exits 0 when the conversation went
# as it should, 1 when not (saying why), 2 when it cannot run here.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

root=$(cd "${1:?usage: scripts/debian11_demo.sh BUILD_ROOT ARCH MODE}" && pwd)
arch=${2:?}
mode=${3:?}
runner=${4:-chroot}
[ "$arch" = x64 ] || runner=qemu
tarball="$root/packages/vdqrn-linux-$arch.tar.gz"
transcript="$root/debian11/demo-$arch-$mode.txt"

cannot() {
  echo "$*"
  exit 2
}
failed() {
  echo "$* (transcript: $transcript)"
  exit 1
}

[ -f "$tarball" ] || failed "$tarball is missing (run scripts/package.sh)"
library=simspectro
[ "$mode" = host ] && library=simspectro32
case "$arch" in
  x64)
    system="$root/debian11/system"
    [ -f "$system/.vdqrn-stamp" ] || cannot "no Debian 11 system in $system (scripts/sysroot.sh system)"
    hosted="32-bit x86"
    if [ "$runner" = chroot ]; then
      [ "$(id -u)" -eq 0 ] || cannot "chroot needs root"
      folder="$system/opt/vdqrn"
    else
      libraries="$system"
      folder="$root/debian11/demo-$arch"
      qemu=qemu-x86_64
      command -v "$qemu" >/dev/null || cannot "$qemu is not installed"
    fi
    ;;
  armhf | arm64)
    libraries="$root/debian11/arm"
    [ -f "$libraries/.vdqrn-stamp" ] || cannot "no Debian 11 ARM libraries in $libraries (scripts/sysroot.sh arm)"
    folder="$root/debian11/demo-$arch"
    qemu=qemu-aarch64
    [ "$arch" = armhf ] && qemu=qemu-arm
    command -v "$qemu" >/dev/null || cannot "$qemu is not installed"
    hosted="32-bit ARM"
    ;;
  *) failed "no package for $arch" ;;
esac
rm -rf "$folder"
mkdir -p "$folder"
tar xzf "$tarball" -C "$folder" --strip-components=1
sed "s/^Init|simspectro|/Init|$library|/" examples/session.txt >"$folder/examples/demo.txt"
[ -f "$folder/$library.so" ] || failed "the package holds no $library.so"

status=0
if [ "$runner" = chroot ]; then
  # With its own /proc, as every running system has, in a mount namespace
  # of its own: nothing stays mounted when it ends.
  unshare --mount --propagation private /bin/sh -c \
    'mount -t proc proc "$1/proc" && exec chroot "$1" /bin/sh -c "cd /opt/vdqrn && ./engine_sim --log --script examples/demo.txt"' \
    sh "$system" >"$transcript" 2>&1 || status=$?
else
  (cd "$folder" && QEMU_LD_PREFIX="$libraries" "$qemu" ./engine_sim --log --script examples/demo.txt) \
    >"$transcript" 2>&1 || status=$?
fi
rm -rf "$folder"

[ "$status" -eq 0 ] || failed "engine_sim ended with exit status $status: $(tail -3 "$transcript" | tr '\n' ' ')"
said=$(demo_transcript_problem "$transcript" "$library" "$mode" "$hosted") || failed "$said"
echo "the demo conversation ran as it should ($library)"
