#!/usr/bin/env bash
# Tests the Linux packages that scripts/linux_packages.sh made:
#
#   scripts/test_linux_packages.sh [BUILD_ROOT]   (default BUILD_ROOT: build)
#
# install.sh and the x86-64 .deb in a Debian 11 system folder (made once with
# debootstrap, scripts/installer_debian_root.sh) with a simulated client tree:
# module.ini gains exactly our lines, a second install changes nothing, the
# removal takes exactly them away again, and an install without a client
# fails with its message and changes nothing. The i386 .deb and both .rpm
# files: their contents, architecture and scripts. Prints one summary line
# per package (also written to BUILD_ROOT/installers/summary-linux.txt):
# passed, FAILED or NOT RUN, and how it ran.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh
source scripts/installer_debian_root.sh

root=$(cd "${1:-build}" && pwd)
out="$root/packages"
mkdir -p "$root/installers"
summary="$root/installers/summary-linux.txt"
: >"$summary"
version=$(product_version)
status_all=0

failures=()
result() {
  local line
  if [ "$2" = FAILED ]; then
    line=$(printf '%-12s %-8s %s; failed: %s' "$1" "$2" "$3" "$4")
    status_all=1
  else
    line=$(printf '%-12s %-8s %s' "$1" "$2" "$3")
  fi
  echo "$line" | tee -a "$summary"
}
finish() {
  if [ ${#failures[@]} -eq 0 ]; then
    result "$1" passed "$2"
  else
    result "$1" FAILED "$2" "${failures[*]}"
  fi
  failures=()
}
equal_files() { diff -u "$2" "$1" >&2; }
succeeds() { "$@" >/dev/null 2>&1; }
fails() { ! "$@" >/dev/null 2>&1; }
contains() { grep -qF -- "$2" <<<"$1"; }
absent() { [ ! -e "$1" ]; }

# A client's module.ini as it may be found, and as install.sh must leave it.
original_ini() {
  printf '%s\n' '[ICA 3.0]' 'VirtualDriver = Thinwire3.0, ClientDrive, ZLC, VDOTHER' \
    'Thinwire3.0 = On' 'ClientDrive = On' 'ZLC = On' 'VDOTHER = On' '' \
    '[ClientDrive]' 'DriverName = VDCDM.DLL' '' '[VDOTHER]' 'DriverName = VDOTHER.DLL'
}
installed_ini() {
  printf '%s\n' '[ICA 3.0]' 'VirtualDriver = Thinwire3.0, ClientDrive, ZLC, VDOTHER, QRN' \
    'QRN = On' 'Thinwire3.0 = On' 'ClientDrive = On' 'ZLC = On' 'VDOTHER = On' '' \
    '[ClientDrive]' 'DriverName = VDCDM.DLL' '' '[VDOTHER]' 'DriverName = VDOTHER.DLL' \
    '[QRN]' 'DriverName = VDQRN.DLL'
}

step "deb amd64: in a Debian 11 system folder"
deb="$out/vdqrn_${version}_amd64.deb"
if ! system=$(installer_debian_root "$root"); then
  result deb-x64 "NOT RUN" "no Debian system folder: $system"
  loud "THE .deb PACKAGE IS NOT INSTALLED HERE: $system."
else
  client="$system/opt/Citrix/ICAClient"
  chroot "$system" dpkg --purge vdqrn >/dev/null 2>&1 || true
  rm -rf "$system/opt/Citrix" "$system/opt/vdqrn"
  cp "$deb" "$system/tmp/vdqrn.deb"

  # No client: refused, nothing left behind.
  message=$(chroot "$system" dpkg -i /tmp/vdqrn.deb 2>&1 || true)
  check "without a client the install fails with the message" \
    contains "$message" "no ICA client in /opt/Citrix/ICAClient"
  chroot "$system" dpkg --purge vdqrn >/dev/null 2>&1 || true
  check "and leaves no client folder" absent "$client"

  mkdir -p "$client/config"
  original_ini >"$client/config/module.ini"
  installed_ini >"$root/installers/expected-module.ini"
  original_ini >"$root/installers/original-module.ini"
  tarball_files=$(mktemp -d)
  tar xzf "$out/vdqrn-linux-x64.tar.gz" -C "$tarball_files"

  check "dpkg -i" succeeds chroot "$system" dpkg -i /tmp/vdqrn.deb
  check "module.ini gains exactly our lines" \
    equal_files "$client/config/module.ini" "$root/installers/expected-module.ini"
  check "VDQRN.DLL in the client's folder" cmp -s "$tarball_files/VDQRN.DLL" "$client/VDQRN.DLL"
  check "qrnhost32 in the client's folder, executable" test -x "$client/qrnhost32"
  check "the previous module.ini kept" \
    equal_files "$client/config/module.ini.vdqrn-backup" "$root/installers/original-module.ini"
  check "the package's files in /opt/vdqrn" test -x "$system/opt/vdqrn/engine_sim"
  check "a second install" succeeds chroot "$system" dpkg -i /tmp/vdqrn.deb
  check "changes nothing" \
    equal_files "$client/config/module.ini" "$root/installers/expected-module.ini"
  check "dpkg -r" succeeds chroot "$system" dpkg -r vdqrn
  check "module.ini loses exactly our lines" \
    equal_files "$client/config/module.ini" "$root/installers/original-module.ini"
  check "VDQRN.DLL removed" absent "$client/VDQRN.DLL"
  check "qrnhost32 removed" absent "$client/qrnhost32"
  check "/opt/vdqrn removed" absent "$system/opt/vdqrn/VDQRN.DLL"

  # The script alone, as the tarball's users run it, by a user who cannot
  # write the system client's folder.
  rm -rf "$system/tmp/unpacked"
  cp -r "$tarball_files" "$system/tmp/unpacked"
  chmod -R a+rX "$system/tmp/unpacked"
  message=$(chroot --userspec=65534:65534 "$system" /tmp/unpacked/install.sh 2>&1 || true)
  check "install.sh refuses a client folder it cannot write" contains "$message" "cannot write to"
  check "and changes nothing" \
    equal_files "$client/config/module.ini" "$root/installers/original-module.ini"
  rm -rf "$tarball_files"
  finish deb-x64 "installed and removed with dpkg in a Debian 11 folder (debootstrap), simulated client"
fi

step "deb i386 and rpm: contents and scripts"
deb32="$out/vdqrn_${version}_i386.deb"
listing=$(dpkg-deb -c "$deb32")
check "i386 deb holds the module" contains "$listing" "./opt/vdqrn/VDQRN.DLL"
check "i386 deb holds install.sh" contains "$listing" "./opt/vdqrn/install.sh"
check "i386 deb is for i386" contains "$(dpkg-deb -f "$deb32" Architecture)" i386
check "i386 deb runs install.sh" contains "$(dpkg-deb --ctrl-tarfile "$deb32" | tar xO ./postinst)" \
  "/opt/vdqrn/install.sh --icaroot /opt/Citrix/ICAClient"
finish deb-x86 "contents, architecture and scripts (dpkg-deb)"

for arch in x86_64 i686; do
  rpm_file="$out/vdqrn-$version-1.$arch.rpm"
  listing=$(rpm -qlp "$rpm_file" 2>/dev/null)
  scripts=$(rpm -qp --scripts "$rpm_file" 2>/dev/null)
  check "$arch rpm holds the module" contains "$listing" /opt/vdqrn/VDQRN.DLL
  check "$arch rpm holds install.sh" contains "$listing" /opt/vdqrn/install.sh
  [ "$arch" = x86_64 ] && check "$arch rpm holds the 32-bit host" contains "$listing" /opt/vdqrn/qrnhost32
  check "$arch rpm is for $arch" contains "$(rpm -qp --qf '%{ARCH}' "$rpm_file" 2>/dev/null)" "$arch"
  check "$arch rpm installs through install.sh" contains "$scripts" \
    "/opt/vdqrn/install.sh --icaroot /opt/Citrix/ICAClient"
  check "$arch rpm removes through install.sh --uninstall, on removal only" contains "$scripts" \
    'if [ "$1" -eq 0 ]; then'
  finish "rpm-$arch" "contents, architecture and scripts (rpm -qp)"
done
exit $status_all
