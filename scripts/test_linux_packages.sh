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
# the original stays kept. install.sh --check on an installed client broken
# one way at a time (each case its exit status and its fix, and the
# package's engine_sim --check --client to the same status; the log case run
# as another user than root); a package of another architecture than the
# client's program refused, naming the one to take. install.sh stopped at
# each call of cp, mv, sync, chmod and ln (stand-ins on PATH): SIGKILLed
# (install and uninstall), module.ini is the old file or the new one, and the
# same command run again completes; failing, a first install leaves the
# client as it was and an upgrade puts the older files back; a first install
# whose config folder turns read-only (as a user who owns the client) takes
# back the files it placed. The amd64 and arm64 .deb files in Debian 11
# folders (scripts/installer_debian_root.sh; arm64 under qemu-aarch64
# through binfmt_misc), and the x86_64 .rpm in the amd64 one with rpm
# --root: without a client they are refused before anything is unpacked,
# and the package system is left sound; with a simulated client module.ini
# gains exactly our lines and the install shows install.sh --check's
# findings, a second install changes nothing (a log another user owns is a
# warning only), the removal takes exactly them away again, a removal for
# good says what it leaves, and a package that lacks a host fails its
# install naming the fault. The i386 and armhf .deb files and the i686 and
# aarch64 .rpm files: their contents, architecture and scripts. Prints one
# summary line per part (also written to
# BUILD_ROOT/installers/summary-linux.txt): passed, FAILED or NOT RUN, and
# how it ran.
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
# A client folder whose name has a blank: a file named as its first word
# is not the script's to remove.
rm -rf "$work/my client" "$work/my"
mkdir -p "$work/my client/config"
original_ini >"$work/my client/config/module.ini"
echo "not ours" >"$work/my"
check "a folder name with a blank: installed" \
  succeeds "$unpacked/install.sh" --icaroot "$work/my client"
check "removed again" succeeds "$unpacked/install.sh" --icaroot "$work/my client" --uninstall
check "the file named as its first word left alone" test -f "$work/my"
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

  # A client folder on a read-only file system: root is refused too, told
  # why, and nothing changes; the checks only read it.
  rm -rf "$client"
  mkdir -p "$client/config"
  original_ini >"$client/config/module.ini"
  mount --bind "$client" "$client" && mount -o remount,bind,ro "$client"
  said=$("$unpacked/install.sh" --icaroot "$client" 2>&1) && status=0 || status=$?
  check "a read-only client folder: install fails (exit status $status)" test "$status" -ne 0
  check "saying the file system may be read-only" contains "$said" "read-only file system?"
  check "module.ini as it was" same_bytes "$client/config/module.ini" "$work/original-module.ini"
  status=0
  TMPDIR=$work "$unpacked/engine_sim" --check --client "$client" >/dev/null 2>&1 || status=$?
  check "engine_sim --check reads it (not listed: exit status $status)" test "$status" -eq 14
  umount "$client"
  finish install-full "install.sh, module.ini on a full 16 KiB tmpfs and a read-only folder"
fi

# Some cases below run install.sh as another user (nobody): their files live
# in a folder of /tmp that every user can reach, whatever the permissions of
# the build folder's parents.
shared=$(mktemp -d /tmp/vdqrn-linux-tests.XXXXXX)
chmod 755 "$shared"
at_exit 'rm -rf "$shared"'
cp -r "$unpacked" "$shared/"
unpacked="$shared/vdqrn-linux-x64"
client="$shared/client"

# A client as an installed one looks: module.ini registering the driver, our
# files, and the client's program (the x64 engine_sim stands in for wfica).
ini="$client/config/module.ini"
installed_client() {
  rm -rf "$client"
  mkdir -p "$client/config"
  original_ini >"$ini"
  cp "$unpacked/engine_sim" "$client/wfica"
  "$unpacked/install.sh" --icaroot "$client" >/dev/null
}
# The log folder of the check's cases, its log file another user's.
logs="$shared/logs"
mkdir -p "$logs"
chmod 1777 "$logs"
: >"$logs/QuarnClientDriver.log"
chmod 600 "$logs/QuarnClientDriver.log"
# A user who is not root runs the check, where this machine can switch to one.
as_nobody=()
if setpriv --reuid=65534 --regid=65534 --clear-groups true 2>/dev/null; then
  as_nobody=(setpriv --reuid=65534 --regid=65534 --clear-groups)
fi
chmod -R a+rX "$unpacked"

step "install.sh --check: each fault of an installed client, from the outside"
# check_case NAME STATUS TEXT BREAK [RUNNER...]: an installed client broken
# by the command BREAK; install.sh --check (run by RUNNER) exits with STATUS
# and says TEXT (the fault with its fix).
check_case() {
  local name=$1 expected=$2 text=$3 break=$4
  shift 4
  installed_client
  $break
  if [ "${1:-}" = as-nobody ]; then
    if [ ${#as_nobody[@]} -eq 0 ]; then
      result check-log "NOT RUN" "no way to run the check as another user than root here (setpriv)"
      return 0
    fi
    chmod -R a+rX "$client"
    set -- "${as_nobody[@]}"
  fi
  local said status=0
  said=$(TMPDIR=$logs "$@" "$unpacked/install.sh" --icaroot "$client" --check 2>&1) || status=$?
  check "$name: exit status $expected (got $status)" test "$status" -eq "$expected"
  check "$name: says \"$text\"" contains "$said" "$text"
  # The package's engine_sim reads the same installation to the same verdict.
  status=0
  said=$(TMPDIR=$logs "$@" "$unpacked/engine_sim" --check --client "$client" 2>&1) || status=$?
  check "$name: engine_sim --check agrees (exit status $status)" test "$status" -eq "$expected"
}
intact() { :; }
unlisted() { sed -i 's/, QRN$//' "$ini"; }
switched_off() { sed -i 's/^QRN = On$/QRN = Off/' "$ini"; }
unswitched() { sed -i '/^QRN = On$/d' "$ini"; }
no_section() { sed -i '/^\[QRN\]$/,$d' "$ini"; }
two_sections() { printf '[QRN]\nDriverName = VDQRN.DLL\n' >>"$ini"; }
two_lists() { sed -i 's/^QRN = On$/VirtualDriver = QRN/' "$ini"; }
no_module() { rm "$client/VDQRN.DLL"; }
no_host32() { rm "$client/qrnhost32"; }
no_host64() { rm "$client/qrnhost64"; }
x86_module() { cp "$work/vdqrn-linux-x86/VDQRN.DLL" "$client/VDQRN.DLL"; }
no_client() { rm -rf "$client/config"; }
two_faults() { no_module; no_host32; }
again="Fix: run install.sh again."
tar xzf "$out/vdqrn-linux-x86.tar.gz" -C "$work"
unloaded="the client does not load the driver"
check_case "intact" 0 "no fault found" intact
check_case "no client" 13 "Fix: install the client, or name its folder with --icaroot DIR." \
  no_client
check_case "QRN taken out of the list" 14 \
  "does not name QRN: $unloaded. Fix: run install.sh again (a client upgrade rewrites module.ini)."\
  unlisted
check_case "QRN = On removed" 15 "has no \"QRN = On\": $unloaded. $again" unswitched
check_case "QRN = Off" 15 "has \"QRN = Off\", not \"QRN = On\"" switched_off
check_case "[QRN] gone" 16 \
  "has no [QRN] section: the client does not know the driver's file. $again" no_section
check_case "[QRN] twice" 21 \
  "has 2 [QRN] sections: the client may read another one than ours. Fix: fix" two_sections
check_case "two VirtualDriver lines" 21 "has 2 VirtualDriver lines" two_lists
check_case "VDQRN.DLL removed" 17 \
  "VDQRN.DLL is missing: the client cannot load the driver. $again" no_module
check_case "qrnhost32 removed" 19 \
  "qrnhost32 is missing: the x64 client runs its 32-bit instrument libraries through it. $again" \
  no_host32
check_case "qrnhost64 removed" 19 "qrnhost64 is missing" no_host64
check_case "an x86 module in an x64 client" 18 "is for x86, the client ($client/wfica) is x64: the\
 client cannot load it. Fix: take the vdqrn-linux-x64 package and install it." x86_module
check_case "two faults: the first's status" 17 "FAULT 17:" two_faults
check_case "two faults: both said" 17 "FAULT 19:" two_faults
check_case "another user's log file, checked as nobody" 20 "belongs to root, not to nobody: the\
 driver writes only to a file of the user's own; without it the driver writes no log for nobody\
 (it works all the same). Fix: remove it (rm $logs/QuarnClientDriver.log, as root), or give\
 nobody a TMPDIR of their own" intact as-nobody
finish check-statuses "install.sh --check of a broken installed client, x64 tarball"

step "install.sh: the client's architecture"
# A client folder with the original module.ini and the program given (none:
# no wfica and no other ELF file).
client_with() {
  rm -rf "$client"
  mkdir -p "$client/config"
  original_ini >"$ini"
  if [ -n "$1" ]; then
    mkdir -p "$(dirname "$client/$2")"
    cp "$1" "$client/$2"
  fi
  listing_before=$(ls -AR "$client")
}
unchanged() {
  cmp -s "$ini" "$work/original-module.ini" && [ "$(ls -AR "$client")" = "$listing_before" ]
}
x86_install="$work/vdqrn-linux-x86/install.sh"
client_with "$unpacked/engine_sim" wfica
status=0
said=$("$x86_install" --icaroot "$client" 2>&1) || status=$?
check "the x86 package into an x64 client: refused (exit status $status)" test "$status" -eq 18
check "naming the package to take" contains "$said" "take vdqrn-linux-x64"
check "changing nothing" unchanged
status=0
said=$("$x86_install" --icaroot "$client" --can-install 2>&1) || status=$?
check "--can-install refuses it too (exit status $status)" test "$status" -eq 18
check "naming the package to take" contains "$said" "take vdqrn-linux-x64"
client_with "$unpacked/engine_sim" lib/libclient.so
status=0
said=$("$x86_install" --icaroot "$client" 2>&1) || status=$?
check "without wfica, another ELF file of the client's tells: refused (exit status $status)" \
  test "$status" -eq 18
check "naming the file it read" contains "$said" "x64 (read from $client/lib/libclient.so)"
client_with "" ""
status=0
said=$("$x86_install" --icaroot "$client" 2>&1) || status=$?
check "no ELF file in the client's folder: installed (exit status $status)" test "$status" -eq 0
check "saying the architecture cannot be read" contains "$said" \
  "the client's architecture cannot be read"
check "the x86 package places its own host only" \
  test -x "$client/qrnhost32" -a ! -e "$client/qrnhost64"
check "the install's first line names the version" \
  test "$(head -1 <<<"$said")" = "vdqrn $version: installing into $client"
said=$("$x86_install" --icaroot "$client" --uninstall 2>&1 || true)
check "the uninstall's too" test "$(head -1 <<<"$said")" = "vdqrn $version: removing from $client"
finish install-arch "install.sh from the x86 and x64 tarballs, client programs of either"

step "install.sh: interrupted at every step, or failing part-way"
# Stand-ins for cp, mv, sync, chmod and ln that count their calls and at the
# call STOP_AT either SIGKILL install.sh (STOP_HOW=kill; a cp first copies
# half of its file, as a kill in the middle would leave it) or fail without
# doing anything (STOP_HOW=fail); or (STOP_HOW=read-only) make the folder
# READ_ONLY read-only right after the call whose last argument is
# READ_ONLY_AFTER.
wrappers="$shared/wrappers"
mkdir -p "$wrappers"
for command in cp mv sync chmod ln; do
  cat >"$wrappers/$command" <<WRAPPER
#!/bin/sh
calls=\$((\$(cat "\$STATE/calls") + 1))
echo "\$calls" >"\$STATE/calls"
for argument; do source=\$target; target=\$argument; done
if [ "\$STOP_HOW" = read-only ] && [ "\$target" = "\$READ_ONLY_AFTER" ]; then
  $(command -v "$command") "\$@" || exit
  exec $(command -v chmod) a-w "\$READ_ONLY"
fi
if [ "\$calls" -eq "\$STOP_AT" ]; then
  [ "\$STOP_HOW" = fail ] && exit 1
  if [ $command = cp ]; then
    head -c \$((\$(wc -c <"\$source") / 2)) "\$source" >"\$target"
  fi
  kill -KILL "\$(cat "\$STATE/script.pid")"
  exit 137
fi
exec $(command -v "$command") "\$@"
WRAPPER
  chmod 755 "$wrappers/$command"
done
# stopped HOW N ARGUMENT...: install.sh with the stand-ins (run by the
# command in `runner`), stopped at call N; sets status, and calls (how many
# were made). Its state lives in `state`.
runner=()
state="$shared/state"
mkdir -p "$state"
stopped() {
  local how=$1 at=$2
  shift 2
  echo 0 >"$state/calls"
  status=0
  # (In a subshell of its own, whose stderr takes the shell's "Killed".)
  (STATE=$state STOP_AT=$at STOP_HOW=$how PATH="$wrappers:$PATH" \
    "${runner[@]}" sh -c 'echo $$ >"$STATE/script.pid"; exec "$@"' sh \
    "$unpacked/install.sh" --icaroot "$client" "$@" >"$state/said.txt" 2>&1) 2>/dev/null ||
    status=$?
  calls=$(cat "$state/calls")
}
# The client's folder: every file's path, mode and bytes.
snapshot() {
  (cd "$client" && find . -printf '%p %m\n' | sort && find . -type f -exec md5sum {} + | sort)
}
fresh_client() { client_with "$unpacked/engine_sim" wfica; }
older_installed() {
  installed_client
  cp "$unpacked/simspectro.so" "$client/VDQRN.DLL"
}
fresh_client
before_install=$(snapshot)
"$unpacked/install.sh" --icaroot "$client" >/dev/null
after_install=$(snapshot)
cp "$ini" "$work/installed-module.ini"
old_or_new() {
  cmp -s "$ini" "$work/original-module.ini" || cmp -s "$ini" "$work/installed-module.ini"
}
# every_stop HOW ACTION SETUP: runs ACTION (install or uninstall) from the
# state SETUP makes, stopped at call 1, 2, ... until a run completes (sets
# stops to the number of stops). After each kill module.ini is the old file
# or the new one (else the call is added to not_whole), and the same
# command run again completes to the state a whole run gives (not_done).
# After each failure the run failed and left the client as it was, or
# coped (a `sync FILE` not known falls back to `sync`) and completed
# (not_as_before).
every_stop() {
  local how=$1 action=$2 setup=$3 done_state at=1 argument=() before
  [ "$action" = uninstall ] && argument=(--uninstall)
  if [ "$action" = install ]; then done_state=$after_install; else done_state=$before_install; fi
  not_whole= not_done= not_as_before=
  while [ $at -lt 200 ]; do
    $setup
    before=$(snapshot)
    stopped "$how" "$at" "${argument[@]}"
    [ "$calls" -lt "$at" ] && break
    if [ "$how" = kill ]; then
      old_or_new || not_whole="$not_whole $at"
      "$unpacked/install.sh" --icaroot "$client" "${argument[@]}" >/dev/null 2>&1 &&
        [ "$(snapshot)" = "$done_state" ] || not_done="$not_done $at"
    elif [ "$status" -ne 0 ]; then
      [ "$(snapshot)" = "$before" ] || not_as_before="$not_as_before $at"
    else
      [ "$(snapshot)" = "$done_state" ] || not_as_before="$not_as_before $at"
    fi
    at=$((at + 1))
  done
  stops=$((at - 1))
}
every_stop kill install fresh_client
check "install killed at each of its $stops calls: module.ini the old or the new each time" \
  test -z "$not_whole" -a "$stops" -gt 10
check "after each kill the install run again completes" test -z "$not_done"
every_stop kill uninstall installed_client
check "uninstall killed at each of its $stops calls: module.ini the old or the new each time" \
  test -z "$not_whole" -a "$stops" -gt 3
check "after each kill the uninstall run again completes" test -z "$not_done"
every_stop fail install fresh_client
check "a first install failing at each of its $stops calls: the client as it was, or installed" \
  test -z "$not_as_before" -a "$stops" -gt 10
every_stop fail install older_installed
check "an upgrade failing at each of its $stops calls puts the older files back, or completes" \
  test -z "$not_as_before" -a "$stops" -gt 10
# A user's own client: its config folder made read-only once the files are
# placed.
if [ ${#as_nobody[@]} -eq 0 ]; then
  result install-read-only "NOT RUN" \
    "no way to run install.sh as another user than root here (setpriv)"
else
  fresh_client
  before=$(snapshot)
  chown -R 65534:65534 "$client"
  runner=("${as_nobody[@]}") state="$logs/state"
  mkdir -p "$state"
  chown 65534:65534 "$state"
  READ_ONLY="$client/config" READ_ONLY_AFTER="$client/qrnhost32" stopped read-only 0
  runner=() state="$shared/state"
  chmod u+w "$client/config"
  check "a first install whose config folder turns read-only fails (exit status $status)" \
    test "$status" -ne 0
  check "and leaves the client as it was" test "$(snapshot)" = "$before"
  check "saying it took back what it did" contains "$(cat "$logs/state/said.txt")" \
    "$client is as it was before this run"
fi
finish install-stops "install.sh from the x64 tarball stopped at each cp, mv, sync, chmod and ln"

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
  status=0
  message=$(in_system dpkg -i /tmp/vdqrn.deb 2>&1) || status=$?
  check "$arch: dpkg -i (exit status $status)" test "$status" -eq 0
  check "$arch: shows the check's findings" contains "$message" \
    "ok: the VirtualDriver list of [ICA 3.0] names QRN"
  check "$arch: the check found no fault" contains "$message" "no fault found"
  check "$arch: module.ini gains exactly our lines" \
    equal_files "$client/config/module.ini" "$work/expected-module.ini"
  check "$arch: VDQRN.DLL in the client's folder" cmp -s "$system/opt/vdqrn/VDQRN.DLL" "$client/VDQRN.DLL"
  check "$arch: qrnhost32 in the client's folder, executable" test -x "$client/qrnhost32"
  check "$arch: qrnhost64 in the client's folder, executable" test -x "$client/qrnhost64"
  check "$arch: the original module.ini kept" \
    equal_files "$client/config/module.ini.vdqrn-backup" "$work/original-module.ini"
  check "$arch: the package's files in /opt/vdqrn" test -x "$system/opt/vdqrn/engine_sim"
  if [ "$arch" = amd64 ]; then
    # engine_sim --check reads the same installation (the folder has no
    # /proc) and finds it sound too.
    status=0
    in_system /opt/vdqrn/engine_sim --check >/dev/null 2>&1 || status=$?
    check "$arch: engine_sim --check agrees (exit status $status)" test "$status" -eq 0
  fi
  # Root's log in the system's /tmp, another user's file: a warning only.
  install -m 600 -o 65534 /dev/null "$system/tmp/QuarnClientDriver.log"
  status=0
  message=$(in_system env TMPDIR=/tmp dpkg -i /tmp/vdqrn.deb 2>&1) || status=$?
  rm -f "$system/tmp/QuarnClientDriver.log"
  check "$arch: a second install, the log another user's (exit status $status)" \
    test "$status" -eq 0
  check "$arch: says the log's fault" contains "$message" "FAULT 20: /tmp/QuarnClientDriver.log"
  check "$arch: as a warning" contains "$message" \
    "vdqrn: warning: installed, but the driver's log cannot be written by"
  check "$arch: changes nothing" equal_files "$client/config/module.ini" "$work/expected-module.ini"
  check "$arch: and keeps the original" \
    equal_files "$client/config/module.ini.vdqrn-backup" "$work/original-module.ini"
  check "$arch: dpkg -r" succeeds in_system dpkg -r vdqrn
  check "$arch: module.ini loses exactly our lines" \
    equal_files "$client/config/module.ini" "$work/original-module.ini"
  check "$arch: the backup goes with them" absent "$client/config/module.ini.vdqrn-backup"
  check "$arch: VDQRN.DLL removed" absent "$client/VDQRN.DLL"
  check "$arch: qrnhost32 removed" absent "$client/qrnhost32"
  check "$arch: qrnhost64 removed" absent "$client/qrnhost64"
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
  cp "$system/tmp/vdqrn.deb" "$client/qrnhost64"
  status=0
  message=$(in_system dpkg --purge vdqrn 2>&1) || status=$?
  check "$arch: a purge that leaves a file without a backup succeeds (exit status $status)" \
    test "$status" -eq 0
  check "$arch: and says so" contains "$message" \
    "left in the client's folder: /opt/Citrix/ICAClient/VDQRN.DLL /opt/Citrix/ICAClient/qrnhost64"
  rm -f "$client/VDQRN.DLL" "$client/qrnhost64"
  cp "$work/original-module.ini" "$client/config/module.ini"
  rm -f "$client/config/module.ini.vdqrn-backup"

  # A package whose install leaves a fault (one that lacks qrnhost32): the
  # check after the install says which, and the install fails.
  rm -rf "$work/doctored"
  dpkg-deb -R "$deb" "$work/doctored"
  rm "$work/doctored/opt/vdqrn/qrnhost32"
  dpkg-deb --root-owner-group -b "$work/doctored" "$system/tmp/doctored.deb" >/dev/null
  status=0
  message=$(in_system dpkg -i /tmp/doctored.deb 2>&1) || status=$?
  check "$arch: a package that leaves a fault: dpkg -i fails (exit status $status)" \
    test "$status" -ne 0
  check "$arch: naming the fault and its fix" contains "$message" \
    "FAULT 19: /opt/Citrix/ICAClient/qrnhost32 is missing"
  check "$arch: saying the install left a fault" contains "$message" \
    "vdqrn: installed, but the check of the client in /opt/Citrix/ICAClient found a fault (exit\
 status 19;"
  check "$arch: the package can be removed" succeeds in_system dpkg --purge vdqrn
  check "$arch: module.ini as it was" \
    equal_files "$client/config/module.ini" "$work/original-module.ini"
  rm -f "$system/tmp/doctored.deb"
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
  status=0
  message=$(rpm_root -i --nodeps "$rpm_file" 2>&1) || status=$?
  check "rpm -i (exit status $status)" test "$status" -eq 0
  check "shows the check's findings, no fault" contains "$message" "no fault found"
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
  preinst=$(dpkg-deb --ctrl-tarfile "$deb" | tar xO ./preinst)
  check "$arch deb checks the client before unpacking" \
    contains "$preinst" "--icaroot /opt/Citrix/ICAClient --can-install"
  check "$arch deb's check knows the version" contains "$preinst" "version=$version"
  check "$arch deb checks the installation after installing" \
    contains "$(dpkg-deb --ctrl-tarfile "$deb" | tar xO ./postinst)" \
    "/opt/vdqrn/install.sh --icaroot /opt/Citrix/ICAClient --check"
  check "$arch deb holds the 32-bit host" contains "$listing" "./opt/vdqrn/qrnhost32"
  finish "deb-$arch" "contents, architecture and scripts (dpkg-deb)"
done
for arch in i686 aarch64; do
  rpm_file="$out/vdqrn-$version-1.$arch.rpm"
  listing=$(rpm -qlp "$rpm_file" 2>/dev/null)
  scripts=$(rpm -qp --scripts "$rpm_file" 2>/dev/null)
  check "$arch rpm holds the module" contains "$listing" /opt/vdqrn/VDQRN.DLL
  check "$arch rpm holds install.sh" contains "$listing" /opt/vdqrn/install.sh
  check "$arch rpm holds the 32-bit host" contains "$listing" /opt/vdqrn/qrnhost32
  [ "$arch" = aarch64 ] &&
    check "$arch rpm holds the 64-bit host" contains "$listing" /opt/vdqrn/qrnhost64
  check "$arch rpm is for $arch" test "$(rpm -qp --qf '%{ARCH}' "$rpm_file" 2>/dev/null)" = "$arch"
  check "$arch rpm checks the client before unpacking" contains "$scripts" \
    "--icaroot /opt/Citrix/ICAClient --can-install"
  check "$arch rpm checks the installation after installing" contains "$scripts" \
    "/opt/vdqrn/install.sh --icaroot /opt/Citrix/ICAClient --check"
  check "$arch rpm installs through install.sh" contains "$scripts" \
    "/opt/vdqrn/install.sh --icaroot /opt/Citrix/ICAClient"
  check "$arch rpm removes through install.sh --uninstall, on removal only" contains "$scripts" \
    'if [ "$1" -eq 0 ]; then'
  finish "rpm-$arch" "contents, architecture and scripts (rpm -qp)"
done
exit $status_all
