#!/usr/bin/env bash
# Tests the Linux packages that scripts/linux_packages.sh made:
#
#   scripts/test_linux_packages.sh [BUILD_ROOT]   (default BUILD_ROOT: build)
#
# install.sh from the x64 tarball, run here against client folders: the
# module.ini forms it registers (CRLF lines, a trailing comma in the list, a
# comment after a section header, no line end at the end) come back byte for
# byte at --uninstall; the forms it refuses (no [ICA 3.0] or VirtualDriver,
# two lists, a ';' on the list's line) are refused with the reason and change
# nothing; on a full file system (a 16 KiB tmpfs) module.ini stays whole and
# the original stays kept. The amd64 and arm64 .deb files in Debian 11
# folders (scripts/installer_debian_root.sh; arm64 under qemu-aarch64
# through binfmt_misc), and the x86_64 .rpm in the amd64 one with rpm
# --root: without a client they are refused before anything is unpacked,
# and the package system is left sound; with a simulated client module.ini
# gains exactly our lines, a second install changes nothing, the removal
# takes exactly them away again, and a removal for good says what it
# leaves. The i386 and armhf .deb files and the i686 and aarch64 .rpm files:
# their contents, architecture and scripts. Prints one summary line per
# part (also written to BUILD_ROOT/installers/summary-linux.txt): passed,
# FAILED or NOT RUN, and how it ran.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh
source scripts/installer_debian_root.sh

root=$(cd "${1:-build}" && pwd)
out="$root/packages"
work="$root/installers/linux"
rm -rf "$work"
mkdir -p "$work"
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
same_bytes() { cmp "$1" "$2" >&2; }
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
original_ini >"$work/original-module.ini"
installed_ini >"$work/expected-module.ini"

unpacked="$work/vdqrn-linux-x64"
tar xzf "$out/vdqrn-linux-x64.tar.gz" -C "$work"
[ -x "$unpacked/install.sh" ] || { echo "the x64 tarball has no vdqrn-linux-x64/install.sh" >&2; exit 1; }

step "install.sh: the forms of module.ini"
client="$work/client"
# form NAME INPUT EXPECTED: install.sh registers INPUT as EXPECTED (printf
# formats), a second run changes nothing, --uninstall gives INPUT back.
form() {
  rm -rf "$client"
  mkdir -p "$client/config"
  printf "$2" >"$work/input.ini"
  printf "$3" >"$work/expected.ini"
  cp "$work/input.ini" "$client/config/module.ini"
  check "$1: registered" succeeds "$unpacked/install.sh" --icaroot "$client"
  check "$1: as expected" same_bytes "$client/config/module.ini" "$work/expected.ini"
  check "$1: the original kept" same_bytes "$client/config/module.ini.vdqrn-backup" "$work/input.ini"
  "$unpacked/install.sh" --icaroot "$client" >/dev/null 2>&1 || true
  check "$1: a second run changes nothing" same_bytes "$client/config/module.ini" "$work/expected.ini"
  check "$1: removed" succeeds "$unpacked/install.sh" --icaroot "$client" --uninstall
  check "$1: back byte for byte" same_bytes "$client/config/module.ini" "$work/input.ini"
  check "$1: the backup gone with our lines" absent "$client/config/module.ini.vdqrn-backup"
}
# refused NAME INPUT REASON: install.sh refuses INPUT, saying REASON, and
# changes nothing (no file copied either).
refused() {
  rm -rf "$client"
  mkdir -p "$client/config"
  printf "$2" >"$work/input.ini"
  cp "$work/input.ini" "$client/config/module.ini"
  local said status=0
  said=$("$unpacked/install.sh" --icaroot "$client" 2>&1) || status=$?
  check "$1: refused (exit status $status)" test "$status" -ne 0
  check "$1: saying why" contains "$said" "$3"
  check "$1: module.ini unchanged" same_bytes "$client/config/module.ini" "$work/input.ini"
  check "$1: nothing copied or kept" test "$(ls -A "$client" "$client/config" | tr '\n' ' ')" = \
    "$(printf '%s:\n%s\n\n%s:\n%s\n' "$client" config "$client/config" module.ini | tr '\n' ' ')"
}
form "CRLF lines" '[ICA 3.0]\r\nVirtualDriver = A, B\r\nA = On\r\n' \
  '[ICA 3.0]\r\nVirtualDriver = A, B, QRN\r\nQRN = On\r\nA = On\r\n[QRN]\r\nDriverName = VDQRN.DLL\r\n'
form "a trailing comma" '[ICA 3.0]\nVirtualDriver = A, B,\n' \
  '[ICA 3.0]\nVirtualDriver = A, B, QRN,\nQRN = On\n[QRN]\nDriverName = VDQRN.DLL\n'
form "a comment after the header" '[ICA 3.0] ; drivers\nVirtualDriver=A,B\n[B]\nDriverName = B.DLL\n' \
  '[ICA 3.0] ; drivers\nVirtualDriver=A,B,QRN\nQRN = On\n[B]\nDriverName = B.DLL\n[QRN]\nDriverName = VDQRN.DLL\n'
form "no line end at the end, CRLF" '[ICA 3.0]\r\nVirtualDriver = A\r\n[B]\r\nDriverName = B.DLL' \
  '[ICA 3.0]\r\nVirtualDriver = A,QRN\r\nQRN = On\r\n[B]\r\nDriverName = B.DLL\r\n[QRN]\r\nDriverName = VDQRN.DLL'
form "an empty list" '[ICA 3.0]\nVirtualDriver =\n' \
  '[ICA 3.0]\nVirtualDriver = QRN\nQRN = On\n[QRN]\nDriverName = VDQRN.DLL\n'
refused "no VirtualDriver line" '[ICA 3.0]\nA = On\n' "has no VirtualDriver line"
refused "a header with a comment, no list" '[ICA 3.0] ; x\nA = On\n' "has no VirtualDriver line"
refused "no [ICA 3.0]" '[Other]\nVirtualDriver = A\n' "has no [ICA 3.0] section"
refused "an inline comment" '[ICA 3.0]\nVirtualDriver = A, B ; mine\n' 'holds a ";"'
refused "two lists" '[ICA 3.0]\nVirtualDriver = A\nVirtualDriver = B\n' "more than one VirtualDriver"
refused "two [ICA 3.0] sections" '[ICA 3.0]\nVirtualDriver = A\n[ICA 3.0]\nB = On\n' \
  "more than one [ICA 3.0] section"
finish install-forms "install.sh from the x64 tarball, simulated client folders"

# Comment lines that take a text of SIZE bytes to TARGET bytes.
#   pad_to TARGET SIZE
pad_to() {
  local target=$1 size=$2
  while [ $((size + 64)) -le "$target" ]; do
    printf '; %61s\n' padding
    size=$((size + 64))
  done
  [ $((target - size)) -ge 2 ] && printf ';%*s\n' $((target - size - 2)) ''
  return 0
}

step "install.sh: a full file system"
rm -rf "$client"
mkdir -p "$client/config"
if ! mount -t tmpfs -o size=16k vdqrn-full "$client/config" 2>"$work/mount.txt"; then
  result install-full "NOT RUN" "a 16 KiB tmpfs cannot be mounted here: $(head -1 "$work/mount.txt")"
else
  fill() { dd if=/dev/zero of="$client/config/filler" bs=1k 2>/dev/null || true; }
  config_files() { ls -A "$client/config" | tr '\n' ' '; }
  original_ini >"$client/config/module.ini"
  fill
  check "the tmpfs is full" test "$(df --output=avail "$client/config" | tail -1 | tr -d ' ')" -eq 0
  check "install fails" fails "$unpacked/install.sh" --icaroot "$client"
  check "module.ini whole, as it was" same_bytes "$client/config/module.ini" "$work/original-module.ini"
  check "a second try fails too" fails "$unpacked/install.sh" --icaroot "$client"
  check "module.ini still whole" same_bytes "$client/config/module.ini" "$work/original-module.ini"
  check "nothing else left in its folder" test "$(config_files)" = "filler module.ini "
  rm -f "$client/config/filler"
  check "with room, the install" succeeds "$unpacked/install.sh" --icaroot "$client"
  check "registers" same_bytes "$client/config/module.ini" "$work/expected-module.ini"
  fill
  check "full again, the uninstall fails" fails "$unpacked/install.sh" --icaroot "$client" --uninstall
  check "module.ini whole, as installed" same_bytes "$client/config/module.ini" "$work/expected-module.ini"
  check "the install again changes nothing" succeeds "$unpacked/install.sh" --icaroot "$client"
  check "the original still kept" same_bytes "$client/config/module.ini.vdqrn-backup" \
    "$work/original-module.ini"
  rm -f "$client/config/filler"
  check "with room, the uninstall" succeeds "$unpacked/install.sh" --icaroot "$client" --uninstall
  check "gives the original back" same_bytes "$client/config/module.ini" "$work/original-module.ini"
  umount "$client/config"

  # A module.ini just under a page, whose edit needs a second one: on the
  # 16 KiB tmpfs the new file, the backup and the old file fill it. Each run
  # (an administrator's retry) leaves the old file or the new one, whole,
  # and the original kept where a backup was made.
  rm -rf "$client"
  mkdir -p "$client/config"
  mount -t tmpfs -o size=16k vdqrn-full "$client/config"
  { original_ini; pad_to 4080 "$(original_ini | wc -c)"; } >"$work/big-original.ini"
  { installed_ini | head -n -2; pad_to 4080 "$(original_ini | wc -c)"
    printf '%s\n' '[QRN]' 'DriverName = VDQRN.DLL'; } >"$work/big-installed.ini"
  cp "$work/big-original.ini" "$client/config/module.ini"
  whole() { cmp -s "$1" "$work/big-original.ini" || cmp -s "$1" "$work/big-installed.ini"; }
  original_or_none() { [ ! -e "$1" ] || cmp -s "$1" "$work/big-original.ini"; }
  for try in 1 2 3; do
    "$unpacked/install.sh" --icaroot "$client" >/dev/null 2>&1 || true
    check "a page-sized module.ini, run $try: whole (the old or the new)" \
      whole "$client/config/module.ini"
    check "run $try: the backup, where made, is the original" \
      original_or_none "$client/config/module.ini.vdqrn-backup"
  done
  umount "$client/config"
  finish install-full "install.sh, module.ini on a full 16 KiB tmpfs"
fi

# test_deb ARCH SYSTEM: the .deb in a Debian 11 folder (chroot).
test_deb() {
  local arch=$1 system=$2
  local deb="$out/vdqrn_${version}_$arch.deb" client="$system/opt/Citrix/ICAClient"
  rm -rf "$system/opt/Citrix" "$system/opt/vdqrn"
  cp "$deb" "$system/tmp/vdqrn.deb"
  in_system() { chroot "$system" "$@"; }
  installed() { in_system dpkg-query -W -f='${Status}' vdqrn 2>/dev/null | grep -q 'install ok installed'; }

  # No client: refused before anything is unpacked.
  local message status=0
  message=$(in_system dpkg -i /tmp/vdqrn.deb 2>&1) || status=$?
  check "$arch: without a client dpkg -i fails (exit status $status)" test "$status" -ne 0
  check "$arch: with the message" contains "$message" "no ICA client in /opt/Citrix/ICAClient"
  check "$arch: nothing unpacked" absent "$system/opt/vdqrn"
  check "$arch: the package is not installed" fails installed
  check "$arch: dpkg --configure -a then has nothing to fail" succeeds in_system dpkg --configure -a
  check "$arch: no client folder made" absent "$client"

  mkdir -p "$client/config"
  original_ini >"$client/config/module.ini"
  check "$arch: dpkg -i" succeeds in_system dpkg -i /tmp/vdqrn.deb
  check "$arch: module.ini gains exactly our lines" \
    equal_files "$client/config/module.ini" "$work/expected-module.ini"
  check "$arch: VDQRN.DLL in the client's folder" cmp -s "$system/opt/vdqrn/VDQRN.DLL" "$client/VDQRN.DLL"
  check "$arch: qrnhost32 in the client's folder, executable" test -x "$client/qrnhost32"
  check "$arch: the original module.ini kept" \
    equal_files "$client/config/module.ini.vdqrn-backup" "$work/original-module.ini"
  check "$arch: the package's files in /opt/vdqrn" test -x "$system/opt/vdqrn/engine_sim"
  if [ "$arch" = amd64 ]; then
    # The folder has no /proc: engine_sim cannot find its folder, and says so.
    message=$(in_system /opt/vdqrn/engine_sim --check 2>&1 || true)
    check "$arch: engine_sim without /proc says why it finds no module" \
      contains "$message" "/proc/self/exe cannot be read"
  fi
  check "$arch: a second install" succeeds in_system dpkg -i /tmp/vdqrn.deb
  check "$arch: changes nothing" equal_files "$client/config/module.ini" "$work/expected-module.ini"
  check "$arch: and keeps the original" \
    equal_files "$client/config/module.ini.vdqrn-backup" "$work/original-module.ini"
  check "$arch: dpkg -r" succeeds in_system dpkg -r vdqrn
  check "$arch: module.ini loses exactly our lines" \
    equal_files "$client/config/module.ini" "$work/original-module.ini"
  check "$arch: the backup goes with them" absent "$client/config/module.ini.vdqrn-backup"
  check "$arch: VDQRN.DLL removed" absent "$client/VDQRN.DLL"
  check "$arch: qrnhost32 removed" absent "$client/qrnhost32"
  check "$arch: /opt/vdqrn removed" absent "$system/opt/vdqrn/VDQRN.DLL"
  message=$(in_system dpkg --purge vdqrn 2>&1 || true)
  check "$arch: the purge says nothing is left" contains "$message" "nothing of it is left"
  # A removal that could not take our lines out (here: put back by hand).
  in_system dpkg -i /tmp/vdqrn.deb >/dev/null 2>&1 || true
  in_system dpkg -r vdqrn >/dev/null 2>&1 || true
  cp "$work/expected-module.ini" "$client/config/module.ini"
  cp "$work/original-module.ini" "$client/config/module.ini.vdqrn-backup"
  message=$(in_system dpkg --purge vdqrn 2>&1 || true)
  check "$arch: a purge says what it leaves" contains "$message" \
    "left in the client's folder: /opt/Citrix/ICAClient/config/module.ini.vdqrn-backup /opt/Citrix/ICAClient/config/module.ini (still registers QRN)"
  # A file of ours left without a backup: said too, and the purge succeeds.
  in_system dpkg -i /tmp/vdqrn.deb >/dev/null 2>&1 || true
  in_system dpkg -r vdqrn >/dev/null 2>&1 || true
  cp "$system/tmp/vdqrn.deb" "$client/VDQRN.DLL"
  status=0
  message=$(in_system dpkg --purge vdqrn 2>&1) || status=$?
  check "$arch: a purge that leaves a file without a backup succeeds (exit status $status)" \
    test "$status" -eq 0
  check "$arch: and says so" contains "$message" "left in the client's folder: /opt/Citrix/ICAClient/VDQRN.DLL"
  rm -f "$client/VDQRN.DLL"
  cp "$work/original-module.ini" "$client/config/module.ini"
  rm -f "$client/config/module.ini.vdqrn-backup"
}

step "deb amd64: in a Debian 11 folder"
if ! system=$(installer_debian_root "$root" amd64); then
  result deb-amd64 "NOT RUN" "no Debian 11 folder: $system"
  loud "THE amd64 .deb IS NOT INSTALLED HERE: $system."
else
  test_deb amd64 "$system"
  # The script alone, as the tarball's users run it, by a user who cannot
  # write the system client's folder.
  rm -rf "$system/tmp/unpacked"
  cp -r "$unpacked" "$system/tmp/unpacked"
  chmod -R a+rX "$system/tmp/unpacked"
  message=$(chroot --userspec=65534:65534 "$system" /tmp/unpacked/install.sh 2>&1 || true)
  check "install.sh refuses a client folder it cannot write" contains "$message" "cannot write to"
  check "and changes nothing" \
    equal_files "$system/opt/Citrix/ICAClient/config/module.ini" "$work/original-module.ini"
  finish deb-amd64 "installed and removed with dpkg in a Debian 11 amd64 folder, simulated client"

  step "rpm x86_64: with rpm --root in the Debian 11 folder"
  rpm_file="$out/vdqrn-$version-1.x86_64.rpm"
  rpm_root() { rpm --root "$system" --dbpath /var/lib/rpm "$@"; }
  rm -rf "$system/var/lib/rpm" "$system/opt/Citrix" "$system/opt/vdqrn"
  mkdir -p "$system/var/lib/rpm"
  rpm_root --initdb
  client="$system/opt/Citrix/ICAClient"
  status=0
  message=$(rpm_root -i --nodeps "$rpm_file" 2>&1) || status=$?
  check "without a client rpm -i fails (exit status $status)" test "$status" -ne 0
  check "with the message" contains "$message" "no ICA client in /opt/Citrix/ICAClient"
  check "nothing unpacked" absent "$system/opt/vdqrn"
  check "the package is not installed" fails rpm_root -q vdqrn
  mkdir -p "$client/config"
  original_ini >"$client/config/module.ini"
  check "rpm -i" succeeds rpm_root -i --nodeps "$rpm_file"
  check "module.ini gains exactly our lines" \
    equal_files "$client/config/module.ini" "$work/expected-module.ini"
  check "VDQRN.DLL in the client's folder" test -f "$client/VDQRN.DLL"
  message=$(rpm_root -e vdqrn 2>&1 || true)
  check "rpm -e: module.ini loses exactly our lines" \
    equal_files "$client/config/module.ini" "$work/original-module.ini"
  check "and says nothing is left" contains "$message" "nothing of it is left"
  check "VDQRN.DLL removed" absent "$client/VDQRN.DLL"
  finish rpm-x86_64 "installed and removed with rpm --root in a Debian 11 amd64 folder, simulated client"
fi

step "deb arm64: in a Debian 11 arm64 folder under qemu"
if ! system=$(installer_debian_root "$root" arm64); then
  result deb-arm64 "NOT RUN" "no Debian 11 arm64 folder: $system"
  loud "THE arm64 .deb IS NOT INSTALLED HERE: $system."
elif ! register_binfmt vdqrn-packages-aarch64 \
  '\x7fELF\x02\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\xb7\x00' \
  '\xff\xff\xff\xff\xff\xff\xff\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff' qemu-aarch64; then
  result deb-arm64 "NOT RUN" "64-bit ARM programs cannot run here: $binfmt_why"
  loud "THE arm64 .deb IS NOT INSTALLED HERE: $binfmt_why."
else
  test_deb arm64 "$system"
  unregister_binfmt vdqrn-packages-aarch64
  finish deb-arm64 "installed and removed with dpkg in a Debian 11 arm64 folder, qemu-aarch64 through binfmt_misc"
fi

step "deb i386 and armhf, rpm i686 and aarch64: contents and scripts"
for arch in i386 armhf; do
  deb="$out/vdqrn_${version}_$arch.deb"
  listing=$(dpkg-deb -c "$deb")
  check "$arch deb holds the module" contains "$listing" "./opt/vdqrn/VDQRN.DLL"
  check "$arch deb holds install.sh" contains "$listing" "./opt/vdqrn/install.sh"
  check "$arch deb is for $arch" test "$(dpkg-deb -f "$deb" Architecture)" = "$arch"
  check "$arch deb runs install.sh" contains "$(dpkg-deb --ctrl-tarfile "$deb" | tar xO ./postinst)" \
    "/opt/vdqrn/install.sh --icaroot /opt/Citrix/ICAClient"
  check "$arch deb checks the client before unpacking" \
    contains "$(dpkg-deb --ctrl-tarfile "$deb" | tar xO ./preinst)" "--icaroot /opt/Citrix/ICAClient --check"
  finish "deb-$arch" "contents, architecture and scripts (dpkg-deb)"
done
for arch in i686 aarch64; do
  rpm_file="$out/vdqrn-$version-1.$arch.rpm"
  listing=$(rpm -qlp "$rpm_file" 2>/dev/null)
  scripts=$(rpm -qp --scripts "$rpm_file" 2>/dev/null)
  check "$arch rpm holds the module" contains "$listing" /opt/vdqrn/VDQRN.DLL
  check "$arch rpm holds install.sh" contains "$listing" /opt/vdqrn/install.sh
  [ "$arch" = aarch64 ] && check "$arch rpm holds the 32-bit host" contains "$listing" /opt/vdqrn/qrnhost32
  check "$arch rpm is for $arch" test "$(rpm -qp --qf '%{ARCH}' "$rpm_file" 2>/dev/null)" = "$arch"
  check "$arch rpm checks the client before unpacking" contains "$scripts" \
    "--icaroot /opt/Citrix/ICAClient --check"
  check "$arch rpm installs through install.sh" contains "$scripts" \
    "/opt/vdqrn/install.sh --icaroot /opt/Citrix/ICAClient"
  check "$arch rpm removes through install.sh --uninstall, on removal only" contains "$scripts" \
    'if [ "$1" -eq 0 ]; then'
  finish "rpm-$arch" "contents, architecture and scripts (rpm -qp)"
done
exit $status_all
