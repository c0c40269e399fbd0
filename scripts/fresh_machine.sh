#!/usr/bin/env bash
# The README's first commands as a newcomer runs them: on a fresh, minimal
# Debian 12 system (debootstrap --variant=minbase), with nothing but the
# project's files, scripts/demo.sh run as root, then the everyday loop,
# cmake --workflow --preset linux. A missing install or build step fails it.
#
#   scripts/fresh_machine.sh [BUILD_ROOT]     (default BUILD_ROOT: build)
#
# The bare debootstrap result is kept as a tarball in BUILD_ROOT/fresh and
# reused while its stamp (suite, mirror) holds; every run unpacks it afresh,
# so that no package a run installed is there for the next. The project's
# files (tracked and untracked, not ignored) are copied into /root/vdqrn of
# that system, and the demo runs there in a mount namespace of its own (its
# own /proc, this machine's /dev), with a clean environment but for
# VDQRN_NO_NATIVE_32BIT. Its output goes to BUILD_ROOT/fresh/demo.txt.
#
# Exit status: 0 when the demo passed (the last line says whether its
# conversation through the 32-bit host was played, and if not why), 1 when
# it failed, 2 when the check cannot run here (no root, no debootstrap, no
# way to the archive).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

mkdir -p "${1:-build}"
root=$(cd "${1:-build}" && pwd)
fresh="$root/fresh"
suite=bookworm
cannot() {
  echo "$*"
  exit 2
}
[ "$(id -u)" -eq 0 ] || cannot "debootstrap and chroot need root"
command -v debootstrap >/dev/null || cannot "debootstrap is not installed"
mirror=$(apt-get indextargets --format '$(REPO_URI)' 'Label: Debian' 2>/dev/null | head -1)
[ -n "$mirror" ] || mirror=http://deb.debian.org/debian/
mkdir -p "$fresh"

tarball="$fresh/debian12-minbase.tar"
stamp="debootstrap --variant=minbase $suite $mirror"
if [ ! -f "$tarball" ] || [ "$(cat "$tarball.stamp" 2>/dev/null)" != "$stamp" ]; then
  step "fresh machine: debootstrap a minimal Debian 12 system"
  work="$fresh/bootstrap"
  remove_folder "$work"
  debootstrap --variant=minbase "$suite" "$work" "$mirror" >"$fresh/debootstrap.log" 2>&1 ||
    cannot "debootstrap failed: $(tail -2 "$fresh/debootstrap.log" | tr '\n' ' ')"
  tar -C "$work" -cf "$tarball.new" .
  mv "$tarball.new" "$tarball"
  echo "$stamp" >"$tarball.stamp"
  remove_folder "$work"
fi

step "fresh machine: the bare system unpacked, the project copied in"
system="$fresh/system"
remove_folder "$system"
mkdir -p "$system"
tar -C "$system" -xf "$tarball"
# The machine's name service, as on any machine on this network.
cp /etc/resolv.conf "$system/etc/resolv.conf"
mkdir -p "$system/root/vdqrn"
git ls-files -z --cached --others --exclude-standard |
  tar --null -T - --ignore-failed-read -cf - 2>/dev/null | tar -C "$system/root/vdqrn" -xf -

step "fresh machine: scripts/demo.sh as root, then the everyday loop"
status=0
unshare --mount --propagation private /bin/sh -c '
  mount -t proc proc "$1/proc" && mount --rbind /dev "$1/dev" &&
  exec chroot "$1" /usr/bin/env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    HOME=/root LANG=C.UTF-8 ${2:+VDQRN_NO_NATIVE_32BIT=$2} \
    /bin/bash -c "cd /root/vdqrn && timeout -k 10 2400 scripts/demo.sh &&
      echo \"### the everyday loop: cmake --workflow --preset linux\" &&
      timeout -k 10 1800 cmake --workflow --preset linux"' \
  sh "$system" "${VDQRN_NO_NATIVE_32BIT:-}" >"$fresh/demo.txt" 2>&1 || status=$?
remove_folder "$system"

if [ "$status" -ne 0 ]; then
  failed="scripts/demo.sh"
  grep -q "^### the everyday loop" "$fresh/demo.txt" && failed="cmake --workflow --preset linux"
  echo "$failed failed on a fresh Debian 12 system (exit status $status; $fresh/demo.txt):"
  tail -15 "$fresh/demo.txt" | sed 's/^/  /'
  exit 1
fi
loop=$(grep -E "tests passed|tests failed out of" "$fresh/demo.txt" | tail -1 | sed 's/^ *//')
passed="the demo and the everyday loop (${loop:-no test summary}) passed"
if grep -q "answered as the in-process one does" "$fresh/demo.txt"; then
  values=$(grep -A1 -xF '> GetSpectralDataAll|1|' "$fresh/demo.txt" | tail -1 | tr ';' '\n' | wc -l)
  connect=$(grep -A1 -xF '> Connect' "$fresh/demo.txt" | tail -1 | sed 's/^< //')
  echo "$passed; through the 32-bit host: Connect $connect, $values spectral values"
else
  why=$(grep -A1 'NO CONVERSATION THROUGH THE 32-BIT INSTRUMENT HOST' "$fresh/demo.txt" |
    sed 's/^### //' | tr '\n' ' ')
  echo "$passed; the conversation through the 32-bit host NOT RUN: ${why:-no reason given}"
fi
