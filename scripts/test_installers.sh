#!/usr/bin/env bash
# Tests the Windows installer packages under wine, each in a fresh wine
# prefix of its own with a simulated installed client:
#
#   scripts/test_installers.sh [BUILD_ROOT]     (default BUILD_ROOT: build)
#
# For each MSI (x64 under wine64; x86 only where 32-bit wine runs, that is
# where the kernel runs 32-bit code): an install without a client fails with
# its message and changes nothing (CLIENTFOLDER given or not), and so do
# CLIENTFOLDER and INSTALLFOLDER with a client; then, with the client's
# InstallFolder value, its folder and a VirtualDriverEx (REG_EXPAND_SZ) that
# lists two other modules with odd blanks and a trailing comma, a silent
# install puts every file and registry value where it belongs (in the
# client's registry view only, the list keeping its other bytes and its
# type); engine_sim loads the installed VDQRN.DLL from the client's folder
# and plays examples/session.txt; a second install changes nothing; the same
# version from another build replaces it (one product, QRN listed once;
# the first build's uninstall then changes nothing, or under wine removes the
# product whole, never QRN alone); an upgrade to a newer
# version keeps one entry, and the older one does not install over it; the
# uninstall leaves the client exactly as it was. Then, where the client had
# no module list and no key of it, an install whose client is removed before
# the uninstall: the uninstall removes our files from the noted folder and
# every key and value the install created. Each package refuses a client
# it cannot serve (its program's PE header tells: the other 64-bit
# architecture, or only a client of the other bitness), naming the package
# to take, and changes nothing. A failed install (another vendor's list; no
# list and no key) and a failed uninstall, each in a prefix of its own, with
# a test-only package that fails right before InstallFinalize
# (scripts/installers.sh --test-failure), leave the list byte for byte as it
# was. A per-machine and a per-user client (x64): the package registers the
# per-machine one, the per-user one is registered by hand with the commands
# of docs/deployment.md, and each registration survives the other's removal.
# Before all that, the tables of
# the packages: the x86, x64 and arm64 component GUIDs differ, the binaries'
# versions are in the File table, and the package holds the Restart Manager
# and reboot settings; the arm64 one is for the Arm64 platform, its
# components 64-bit ones, with both hosts, sharing the x64 one's upgrade
# code (the arm64 package is installed under arm64 wine by
# scripts/test_arm64_msi.sh); the list edits have rollback actions, and no
# shipped package has the test's failure. Prints one summary line per
# package (also written to BUILD_ROOT/installers/summary.txt): passed,
# FAILED or NOT RUN, and how it ran. Exits non-zero when one failed.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

root=$(cd "${1:-build}" && pwd)
work="$root/installers"
mkdir -p "$work"
summary="$work/summary.txt"
: >"$summary"
version=$(product_version)
upgrade_version="${version%.*}.$((${version##*.} + 1))"
wine64=/usr/lib/wine/wine64
export WINEDEBUG=-all

modules_key='HKLM\SOFTWARE\Citrix\ICA Client\Engine\Configuration\Advanced\Modules'
install_key='HKLM\SOFTWARE\Citrix\Install\ICA Client'
# Another vendor's list: odd blanks, a trailing comma, REG_EXPAND_SZ.
others='VDOTHER1 ,  VDOTHER2 ,'
others_type=REG_EXPAND_SZ

failures=()

# A wine program in the package's prefix; one that has not ended after ten
# minutes is stopped.
in_prefix() { WINEPREFIX="$prefix" timeout -k 10 600 "$wine64" "$@"; }
# The same in our installed folder, where engine_sim finds simspectro.
in_ours() { (cd "$ours_unix" && in_prefix "$@"); }
# A registry value in the package's view; empty when missing.
reg_value() {
  in_prefix reg query "$1" /v "$2" "/reg:$bits" 2>/dev/null |
    sed -n "s/^    $2    REG_[A-Z_]*    //p" | tr -d '\r'
}
# A registry value's type; empty when missing.
reg_type() {
  in_prefix reg query "$1" /v "$2" "/reg:$bits" 2>/dev/null |
    sed -n "s/^    $2    \(REG_[A-Z_]*\)    .*/\1/p" | tr -d '\r'
}
# reg query KEY /s VIEW, Windows line ends dropped. It prints something
# even for a missing key: a run that printed nothing never started (wine
# now and then fails to), and is tried again, up to three times.
reg_dump() {
  local output tries
  for tries in 1 2 3; do
    output=$(in_prefix reg query "$1" /s "$2" 2>/dev/null | tr -d '\r') || true
    [ -n "$output" ] && break
  done
  echo "$output"
}
# Everything of the client and of ours: the Citrix keys and ours in both
# views (values with their types), the products registered for removal, and
# the files of both folders.
snapshot() {
  for view in 32 64; do
    echo "[view $view]"
    reg_dump 'HKLM\SOFTWARE\Citrix' "/reg:$view"
    reg_dump 'HKLM\SOFTWARE\vdqrn' "/reg:$view"
    reg_dump 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' "/reg:$view" |
      grep -iE 'DisplayName|DisplayVersion' || true
  done
  echo "[files]"
  (cd "$prefix/drive_c" && find "${client_unix#"$prefix/drive_c/"}" "${ours_unix#"$prefix/drive_c/"}" \
    -type f 2>/dev/null | sort) || true
}
# A start that wine failed (wine_failed_to_start) is tried again, up to
# three times. The output goes to the file named first.
wine_started() {
  local output=$1 status tries
  shift
  for tries in 1 2 3; do
    status=0
    "$@" >"$output" 2>&1 || status=$?
    wine_failed_to_start "$output" || return $status
    echo "  (wine did not start, trying again)"
  done
  return $status
}
msiexec() { wine_started "$work/msiexec-output.txt" in_prefix msiexec "$@"; }
# msiexec ARGS... with a verbose log C:\NAME.log (NAME first); sets status.
# A run that failed without writing its log never reached the installer
# (wine did not start it, whatever it printed; seen once in CI as a bare exit
# status 1): it is tried again, up to three times, and said so. Where the
# installer itself fails, what msiexec printed and the end of its log are
# shown (not with expect_failure=yes).
msiexec_logged() {
  local name=$1 tries
  shift
  local log="$prefix/drive_c/$name.log"
  for tries in 1 2 3; do
    rm -f "$log"
    status=0
    in_prefix msiexec "$@" /l*v "C:\\$name.log" >"$work/msiexec-output.txt" 2>&1 || status=$?
    [ "$status" -eq 0 ] && return 0
    if [ "${expect_failure:-}" = yes ] && [ -f "$log" ]; then
      echo "  msiexec $* exited with $status, as expected"
      return 0
    fi
    echo "  msiexec $* exited with $status; it printed:"
    tail -n 20 "$work/msiexec-output.txt" | sed 's/^/    | /'
    if [ -f "$log" ]; then
      echo "  the end of C:\\$name.log:"
      tail -n 25 "$log" | tr -d '\r' | sed 's/^/    | /'
      return 0
    fi
    echo "  it wrote no log, so the installer never ran: trying again"
  done
}
same_file() { cmp -s "$1" "$2"; }
equal() { [ "$1" = "$2" ] || { echo "    got:      \"$1\""; echo "    expected: \"$2\""; return 1; }; }
nonzero() { [ "$1" -ne 0 ]; }
contains() { grep -qaF "$2" "$1"; }
lacks() { ! grep -qaF "$2" "$1"; }
# The list's key exported (the value's bytes and type); "(no key)" without it.
list_bytes() {
  rm -f "$prefix/drive_c/list.reg"
  if in_prefix reg export "$modules_key\\ICA 3.0" 'C:\list.reg' "/reg:$bits" /y >/dev/null 2>&1
  then
    iconv -f UTF-16 -t UTF-8 "$prefix/drive_c/list.reg" | tr -d '\r'
  else
    echo "(no key)"
  fi
}

# A wine prefix made once, and copied for each package and scenario (its
# system folders linked, not copied: nothing here writes into them).
template="$work/wine-template"
make_template() {
  [ -d "$template" ] && WINEPREFIX="$template" wineserver -k 2>/dev/null || true
  rm -rf "$template"
  timeout -k 10 300 env WINEPREFIX="$template" "$wine64" cmd /c exit >/dev/null 2>&1 || true
  WINEPREFIX="$template" timeout -k 10 60 wineserver -w 2>/dev/null || true
}
# fresh_prefix FOLDER: a copy of the template there; sets prefix, and the
# client's folder and ours (client_unix, ours_unix) to theirs in it.
fresh_prefix() {
  prefix=$1
  [ -d "$prefix" ] && WINEPREFIX="$prefix" wineserver -k 2>/dev/null || true
  [ -n "${client_unix:-}" ] && client_unix="$prefix/drive_c/${client_unix#*/drive_c/}"
  [ -n "${ours_unix:-}" ] && ours_unix="$prefix/drive_c/${ours_unix#*/drive_c/}"
  rm -rf "$prefix"
  mkdir -p "$prefix"
  tar -C "$template" --exclude=./drive_c/windows/system32 --exclude=./drive_c/windows/syswow64 \
    -cf - . | tar -C "$prefix" -xf -
  local system
  for system in system32 syswow64; do
    [ -d "$template/drive_c/windows/$system" ] &&
      cp -al "$template/drive_c/windows/$system" "$prefix/drive_c/windows/"
  done
  return 0
}

# A file with the PE header of a program for MACHINE (hex: 14c x86, 8664
# x64, aa64 arm64), which is all the packages read of the client's program.
#   fake_program FILE MACHINE
fake_program() {
  mkdir -p "$(dirname "$1")"
  python3 - "$1" "$2" <<'PYTHON'
import struct, sys
data = bytearray(0x80)
data[0:2] = b"MZ"
struct.pack_into("<I", data, 0x3C, 0x40)
data[0x40:0x44] = b"PE\0\0"
struct.pack_into("<H", data, 0x44, int(sys.argv[2], 16))
open(sys.argv[1], "wb").write(data)
PYTHON
}

# The message of the launch condition that stopped an install, as the
# installer formats it: the condition that evaluated to 0 in the trace
# (WINEDEBUG=trace+msi), its message from the package, and the properties it
# names with the values the trace shows them set to. (Wine's msiexec shows
# the message to no one under /qn.)
#   refusal TRACE MSI
refusal() {
  local condition message name value
  condition=$(sed -n 's/.*MSI_EvaluateConditionW 0 <- L"\(.*\)"\r*$/\1/p' "$1" | tail -1 |
    sed 's/\\"/"/g')
  [ -n "$condition" ] || return 0
  message=$(msiinfo export "$2" LaunchCondition | tr -d '\r' |
    awk -F'\t' -v c="$condition" '$1 == c {print $2}')
  while [[ $message =~ \[([A-Z]+)\] ]]; do
    name=${BASH_REMATCH[1]}
    value=$(sed -n "s/.*msi_set_property [0-9A-F]* L\"$name\" L\"\(.*\)\" -1\r*\$/\1/p" "$1" |
      tail -1 | sed 's/\\\\/\\/g')
    message=${message//\[$name\]/$value}
  done
  echo "$message"
}

# test_msi x64|x86
test_msi() {
  local arch=$1
  failures=()
  prefix="$work/wine-$arch"
  bits=64
  local program_files='C:\Program Files'
  local program_files_unix="$prefix/drive_c/Program Files"
  if [ "$arch" = x86 ]; then
    bits=32
    program_files='C:\Program Files (x86)'
    program_files_unix="$prefix/drive_c/Program Files (x86)"
  fi
  local client="$program_files"'\Citrix\ICA Client'
  client_unix="$program_files_unix/Citrix/ICA Client"
  ours_unix="$program_files_unix/vdqrn"
  local msi="$root/packages/vdqrn-windows-$arch.msi"
  local upgrade_msi="$work/upgrade/vdqrn-windows-$arch.msi"
  local rebuilt_msi="$work/rebuild/vdqrn-windows-$arch.msi"
  local stage="$work/stage-$arch"

  step "MSI $arch: a fresh wine prefix"
  fresh_prefix "$prefix"
  local why
  if [ "$arch" = x86 ] && ! why=$(wine32_starts "$prefix"); then
    result msi-x86 "NOT RUN" "$why"
    loud "THE x86 MSI IS NOT TESTED HERE: $why."
    return 0
  fi
  cp "$msi" "$prefix/drive_c/vdqrn.msi"
  cp "$upgrade_msi" "$prefix/drive_c/vdqrn-upgrade.msi"
  cp "$rebuilt_msi" "$prefix/drive_c/vdqrn-rebuilt.msi"

  step "MSI $arch: no client"
  in_prefix reg add "$modules_key\\ICA 3.0" /v VirtualDriverEx /t "$others_type" /d "$others" \
    "/reg:$bits" /f >/dev/null
  local before status=0
  before=$(snapshot)
  # Wine's msiexec does not log a launch condition's message under /qn (the
  # system's does): its trace shows which condition stopped the install, and
  # the package holds the message for that condition.
  local trace="$work/no-client-$arch.trace"
  wine_started "$trace" env WINEDEBUG=trace+msi WINEPREFIX="$prefix" timeout -k 10 600 "$wine64" \
    msiexec /i 'C:\vdqrn.msi' /qn || status=$?
  check "install without a client fails (exit status $status)" nonzero "$status"
  check "at the launch conditions" contains "$trace" 'action L"LaunchConditions" returned 1603'
  # The key where this client would be, on 32- and 64-bit Windows.
  local key='HKLM\SOFTWARE\Citrix\Install\ICA Client'
  [ "$arch" = x86 ] &&
    key="$key (HKLM\SOFTWARE\WOW6432Node\Citrix\Install\ICA Client on 64-bit Windows)"
  check "with the message" equal "$(refusal "$trace" "$msi")" \
    "No $bits-bit ICA client is installed on this machine (no InstallFolder value under $key).\
 Install the client first, then this package. (A client installed for one user only:\
 see docs\deployment.md, by hand.)"
  check "it changes nothing" equal "$(snapshot)" "$before"
  status=0
  msiexec /i 'C:\vdqrn.msi' /qn 'CLIENTFOLDER=C:\Elsewhere\' || status=$?
  check "nor with CLIENTFOLDER given (exit status $status)" nonzero "$status"
  check "which changes nothing" equal "$(snapshot)" "$before"

  step "MSI $arch: a client of another architecture"
  # The client's program (its PE header) tells its architecture: the package
  # refuses a client it cannot serve, naming the package that serves it, and
  # changes nothing. VIEW:PROGRAM:MACHINE:the message.
  local cases=() case view program machine folder
  local refused64="No 64-bit ICA client is installed on this machine, only a 32-bit one"
  local refused32="No 32-bit ICA client is installed on this machine, only a 64-bit one"
  local client64='C:\Program Files\Citrix\ICA Client\'
  local client32='C:\Program Files (x86)\Citrix\ICA Client\'
  if [ "$arch" = x64 ]; then
    cases=("64:wfica.exe:aa64:The ICA client in $client64 is an arm64 program, which this package\
 for the x64 client cannot serve. Install vdqrn-windows-arm64.msi instead."
      "32:wfica32.exe:14c:$refused64 (in $client32), which this package cannot serve.\
 Install vdqrn-windows-x86.msi instead.")
  else
    cases=("64:wfica.exe:8664:$refused32 (in $client64), which this package cannot serve.\
 Install vdqrn-windows-x64.msi instead."
      "64:wfica.exe:aa64:$refused32 (in $client64), which this package cannot serve.\
 Install vdqrn-windows-arm64.msi instead.")
  fi
  for case in "${cases[@]}"; do
    IFS=: read -r view program machine _ <<<"$case"
    folder=$client64
    [ "$view" = 32 ] && folder=$client32
    in_prefix reg add "$install_key" /v InstallFolder /d "$folder" "/reg:$view" /f >/dev/null
    fake_program "$prefix/drive_c/$(echo "${folder#C:\\}$program" | tr '\\' /)" "$machine"
    before=$(snapshot)
    status=0
    trace="$work/refusal-$arch.trace"
    wine_started "$trace" env WINEDEBUG=trace+msi WINEPREFIX="$prefix" timeout -k 10 600 \
      "$wine64" msiexec /i 'C:\vdqrn.msi' /qn || status=$?
    check "a $machine client in the $view-bit view is refused (exit status $status)" \
      nonzero "$status"
    check "with the message naming the package to take" \
      equal "$(refusal "$trace" "$msi")" "${case#*:*:*:}"
    check "and nothing changed" equal "$(snapshot)" "$before"
    in_prefix reg delete "$install_key" "/reg:$view" /f >/dev/null
    rm -rf "$prefix/drive_c/$(echo "${folder#C:\\}" | tr '\\' /)"
  done

  step "MSI $arch: a simulated client"
  in_prefix reg add "$install_key" /v InstallFolder /d "$client\\" "/reg:$bits" /f >/dev/null
  # The client's program, of the package's architecture: it installs.
  local program=wfica.exe machine=8664
  [ "$arch" = x86 ] && program=wfica32.exe machine=14c
  fake_program "$work/client-$arch.exe" "$machine"
  mkdir -p "$client_unix"
  cp "$work/client-$arch.exe" "$client_unix/$program"
  local client_only
  client_only=$(snapshot)

  step "MSI $arch: settings the package does not take"
  status=0
  msiexec /i 'C:\vdqrn.msi' /qn 'CLIENTFOLDER=C:\Elsewhere\' || status=$?
  check "CLIENTFOLDER other than the client's is refused (exit status $status)" nonzero "$status"
  status=0
  msiexec /i 'C:\vdqrn.msi' /qn 'INSTALLFOLDER=C:\Elsewhere\' || status=$?
  check "INSTALLFOLDER is refused (exit status $status)" nonzero "$status"
  check "both change nothing" equal "$(snapshot)" "$client_only"

  step "MSI $arch: silent install"
  msiexec_logged install /i 'C:\vdqrn.msi' /qn
  check "installs (exit status $status)" equal "$status" 0
  check "VDQRN.DLL in the client's folder" same_file "$stage/VDQRN.DLL" "$client_unix/VDQRN.DLL"
  local ours_files=(engine_sim.exe simspectro.dll examples/session.txt docs/protocol.md docs/deployment.md)
  local own_host=QRNHOST32.EXE
  if [ "$arch" = x64 ]; then
    check "QRNHOST32.EXE in the client's folder" same_file "$stage/QRNHOST32.EXE" "$client_unix/QRNHOST32.EXE"
    ours_files+=(simspectro32.dll)
    own_host=QRNHOST64.EXE
  fi
  check "$own_host in the client's folder" same_file "$stage/$own_host" "$client_unix/$own_host"
  for file in "${ours_files[@]}"; do
    check "$file in our folder" same_file "$stage/$file" "$ours_unix/$file"
  done
  check "the client's own file kept" same_file "$work/client-$arch.exe" "$client_unix/$program"
  check "VirtualDriverEx lists QRN after the others, whose bytes stay" \
    equal "$(reg_value "$modules_key\\ICA 3.0" VirtualDriverEx)" "${others%,},QRN,"
  check "VirtualDriverEx keeps its type" \
    equal "$(reg_type "$modules_key\\ICA 3.0" VirtualDriverEx)" "$others_type"
  check "QRN\\DriverName" equal "$(reg_value "$modules_key\\QRN" DriverName)" Unsupported
  check "QRN\\DriverNameWin16" equal "$(reg_value "$modules_key\\QRN" DriverNameWin16)" Unsupported
  check "QRN\\DriverNameWin32" equal "$(reg_value "$modules_key\\QRN" DriverNameWin32)" VDQRN.DLL
  local win64=
  [ "$arch" = x64 ] && win64=VDQRN.DLL
  check "QRN\\DriverNameWin64 ${win64:-absent}" equal "$(reg_value "$modules_key\\QRN" DriverNameWin64)" "$win64"
  local other_view=64
  [ "$bits" = 64 ] && other_view=32
  check "nothing in the $other_view-bit view" \
    equal "$(in_prefix reg query 'HKLM\SOFTWARE\Citrix' /s "/reg:$other_view" 2>/dev/null | tr -d '\r' | grep -c QRN)" 0
  check "registered for removal as version $version" \
    contains <(snapshot) "DisplayVersion    REG_SZ    $version"

  step "MSI $arch: engine_sim against the installed module"
  local transcript="$work/engine_sim-$arch.txt"
  status=0
  wine_started "$transcript" in_ours cmd /c engine_sim.exe --module "$client\\VDQRN.DLL" \
    --script 'examples\session.txt' || status=$?
  check "engine_sim plays the session (exit status $status)" equal "$status" 0
  check "the installed module answers its version" contains "$transcript" "< $version"
  check "the simulated instrument connects" contains "$transcript" "< OK|true"
  status=0
  wine_started "$work/check-$arch.txt" in_ours cmd /c engine_sim.exe --check \
    --module "$client\\VDQRN.DLL" --library simspectro || status=$?
  check "engine_sim --check --library simspectro exits with 0 (exit status $status)" equal "$status" 0
  status=0
  wine_started "$work/check-missing-$arch.txt" in_ours cmd /c engine_sim.exe --check \
    --module "$client\\VDQRN.DLL" --library nosuchlibrary || status=$?
  check "engine_sim --check with a missing library exits with 8" equal "$status" 8
  local installed
  installed=$(snapshot)

  step "MSI $arch: install again"
  msiexec_logged install-again /i 'C:\vdqrn.msi' /qn
  check "second install (exit status $status)" equal "$status" 0
  check "second install changes nothing" equal "$(snapshot)" "$installed"

  step "MSI $arch: the same version from another build"
  msiexec_logged rebuilt /i 'C:\vdqrn-rebuilt.msi' /qn
  check "installs (exit status $status)" equal "$status" 0
  check "it replaces the first: one product" \
    equal "$(snapshot | grep -c 'DisplayName    REG_SZ    vdqrn')" 1
  check "and the same files, values and list" equal "$(snapshot)" "$installed"
  # The first build's package is no longer installed. Windows refuses its
  # uninstall (1605) and changes nothing; wine's msiexec runs it, and its
  # search for related products then removes the installed build as a
  # whole. Either way no registration is lost while the product stays.
  status=0
  msiexec /x 'C:\vdqrn.msi' /qn || status=$?
  local after_first
  after_first=$(snapshot)
  check "the first build's uninstall (exit status $status) changes nothing, or removes the product whole" \
    test "$after_first" = "$installed" -o "$after_first" = "$client_only"
  if [ "$after_first" = "$client_only" ]; then
    msiexec_logged rebuilt-again /i 'C:\vdqrn-rebuilt.msi' /qn
    check "installed again (exit status $status)" equal "$(snapshot)" "$installed"
  fi

  step "MSI $arch: upgrade to $upgrade_version"
  msiexec_logged upgrade /i 'C:\vdqrn-upgrade.msi' /qn
  check "upgrade (exit status $status)" equal "$status" 0
  check "QRN listed once after the upgrade" \
    equal "$(reg_value "$modules_key\\ICA 3.0" VirtualDriverEx)" "${others%,},QRN,"
  check "one product, version $upgrade_version" \
    equal "$(snapshot | grep -c 'DisplayName    REG_SZ    vdqrn')/$(snapshot | grep -c "DisplayVersion    REG_SZ    $upgrade_version")" "1/1"

  step "MSI $arch: no downgrade"
  local upgraded
  upgraded=$(snapshot)
  status=0
  msiexec /i 'C:\vdqrn.msi' /qn || status=$?
  check "version $version does not install over $upgrade_version (exit status $status)" nonzero "$status"
  check "and changes nothing" equal "$(snapshot)" "$upgraded"

  step "MSI $arch: silent uninstall"
  msiexec_logged uninstall /x 'C:\vdqrn-upgrade.msi' /qn
  check "uninstalls (exit status $status)" equal "$status" 0
  check "the client is left exactly as it was (the other two modules listed, nothing of ours)" \
    equal "$(snapshot)" "$client_only"

  step "MSI $arch: no module list before; the client removed before the uninstall"
  in_prefix reg delete 'HKLM\SOFTWARE\Citrix\ICA Client' "/reg:$bits" /f >/dev/null 2>&1 || true
  local no_list
  no_list=$(snapshot)
  msiexec_logged install-no-list /i 'C:\vdqrn.msi' /qn
  check "installs (exit status $status)" equal "$status" 0
  check "VirtualDriverEx made: QRN" equal "$(reg_value "$modules_key\\ICA 3.0" VirtualDriverEx)" QRN
  check "of type REG_SZ" equal "$(reg_type "$modules_key\\ICA 3.0" VirtualDriverEx)" REG_SZ
  # The client's uninstall: its InstallFolder value and its own files gone.
  in_prefix reg delete "$install_key" /v InstallFolder "/reg:$bits" /f >/dev/null
  rm -f "$client_unix/$program"
  msiexec_logged uninstall-no-client /x 'C:\vdqrn.msi' /qn
  check "uninstalls (exit status $status)" equal "$status" 0
  for file in VDQRN.DLL QRNHOST32.EXE QRNHOST64.EXE; do
    check "$file removed from the noted folder" test ! -e "$client_unix/$file"
  done
  check "nothing of ours in the root folder" test ! -e "$prefix/drive_c/VDQRN.DLL"
  # The client back as it was: then all is as before the install.
  in_prefix reg add "$install_key" /v InstallFolder /d "$client\\" "/reg:$bits" /f >/dev/null
  mkdir -p "$client_unix"
  cp "$work/client-$arch.exe" "$client_unix/$program"
  check "every key and value the install made is gone, and nothing else" \
    equal "$(snapshot)" "$no_list"

  [ "$arch" = x64 ] && per_user_client
  WINEPREFIX="$prefix" wineserver -k 2>/dev/null || true
  rollback_scenarios
  if [ ${#failures[@]} -eq 0 ]; then
    result "msi-$arch" passed "$1"
  else
    result "msi-$arch" FAILED "$1: ${failures[*]}"
    status_all=1
  fi
}

# A failed install or uninstall: the test package (scripts/installers.sh
# --test-failure) fails right before InstallFinalize, after our deferred
# actions, when QRNTESTFAIL=1; the rollback leaves the client's list (bytes
# and type), its keys and our notes as they were.
# What rests on the Installer's documentation: that it runs the rollback
# actions scheduled before the failure, backwards, each with the property
# named after it as its CustomActionData, and undoes its own file and
# registry operations (so a failed uninstall leaves the product whole).
# What rests on wine here: it does all that, but its rollback does not make
# removed folders again (it stops at the first file it cannot put back, and
# the rollback actions after it never run): for the failed uninstall a file
# of the test's own keeps each of our folders; and it leaves the product's
# entry among the installed programs removed, so that entry is not compared
# there. Each scenario has a fresh prefix: wine's rollback also leaves the
# installer's component records behind, which a later install in the same
# prefix would find. Run inside test_msi, with its variables.
rollback_scenarios() {
  local failing="$work/failing/vdqrn-windows-$arch.msi" log before list_before installed
  # A prefix with the client (no module list); prefix set.
  rollback_prefix() {
    fresh_prefix "$work/wine-$arch-$1"
    cp "$failing" "$prefix/drive_c/failing.msi"
    in_prefix reg add "$install_key" /v InstallFolder /d "$client\\" "/reg:$bits" /f >/dev/null
    mkdir -p "$client_unix"
    cp "$work/client-$arch.exe" "$client_unix/$program"
  }
  # The test package's failure came after our action edited the list.
  failed_after_ours() {
    grep -qaF 'QRNSETUP: VirtualDriverEx "' "$1" && grep -qaF QrnTestFailure "$1"
  }

  for case in "another vendor's list" "no list and no key of it"; do
    step "MSI $arch: a failed install, $case"
    rollback_prefix "failed-install-${case%% *}"
    [ "$case" = "another vendor's list" ] &&
      in_prefix reg add "$modules_key\\ICA 3.0" /v VirtualDriverEx /t "$others_type" /d "$others" \
        "/reg:$bits" /f >/dev/null
    before=$(snapshot)
    list_before=$(list_bytes)
    expect_failure=yes msiexec_logged failed-install /i 'C:\failing.msi' /qn QRNTESTFAIL=1
    log="$prefix/drive_c/failed-install.log"
    check "the install fails (exit status $status)" nonzero "$status"
    check "after our action edited the list" failed_after_ours "$log"
    check "the list's key as it was, the value's bytes and type" \
      equal "$(list_bytes)" "$list_before"
    check "the rest as it was: no product, no file, no QRN key, no note of ours" \
      equal "$(snapshot)" "$before"
    WINEPREFIX="$prefix" wineserver -k 2>/dev/null || true
  done

  step "MSI $arch: a failed uninstall"
  rollback_prefix failed-uninstall
  in_prefix reg add "$modules_key\\ICA 3.0" /v VirtualDriverEx /t "$others_type" /d "$others" \
    "/reg:$bits" /f >/dev/null
  msiexec_logged install /i 'C:\failing.msi' /qn
  check "the test package installs without QRNTESTFAIL (exit status $status)" equal "$status" 0
  local folder
  for folder in "$ours_unix" "$ours_unix/examples" "$ours_unix/docs"; do
    echo "keeps the folder" >"$folder/kept.txt"
  done
  installed=$(snapshot | grep -v 'Display[NV]')
  list_before=$(list_bytes)
  expect_failure=yes msiexec_logged failed-uninstall /x 'C:\failing.msi' /qn QRNTESTFAIL=1
  log="$prefix/drive_c/failed-uninstall.log"
  check "the uninstall fails (exit status $status)" nonzero "$status"
  check "after our action edited the list" failed_after_ours "$log"
  check "QRN still listed, the list's bytes and type as they were" \
    equal "$(list_bytes)" "$list_before"
  check "the driver still installed" same_file "$stage/VDQRN.DLL" "$client_unix/VDQRN.DLL"
  check "all as installed: files, QRN key, our note of the folder" \
    equal "$(snapshot | grep -v 'Display[NV]')" "$installed"
  echo "  NOT CHECKED under wine: the product's entry among the installed programs" \
    "(wine's rollback leaves it removed)"
  WINEPREFIX="$prefix" wineserver -k 2>/dev/null || true
}

# The Nth command block of docs/deployment.md after the line that starts
# with TEXT, as a batch file's lines (%%a for %a).
#   docs_commands TEXT N
docs_commands() {
  awk -v text="$1" -v n="$2" '
    index($0, text) == 1 { found = 1 }
    found && /^```/ { blocks++; inside = !inside; next }
    found && inside && blocks == 2 * n - 1 { print }' docs/deployment.md |
    sed 's/%\([ab]\)\b/%%\1/g'
}

# A per-machine and a per-user client on one machine: the package registers
# the per-machine one (HKLM); the per-user one is registered by hand with the
# commands of docs/deployment.md, as that user; each registration survives
# the other's removal. Run at the end of test_msi (x64), with its variables,
# in its prefix (the client there as it was before the package).
per_user_client() {
  step "MSI $arch: a per-machine and a per-user client"
  in_prefix reg add "$install_key" /v InstallFolder /d "$client\\" "/reg:$bits" /f >/dev/null
  mkdir -p "$client_unix"
  cp "$work/client-$arch.exe" "$client_unix/$program"
  local user_key='HKCU\SOFTWARE\Citrix\Install\ICA Client'
  local user_modules='HKCU\SOFTWARE\Citrix\ICA Client\Engine\Configuration\Advanced\Modules'
  local user_unix="$prefix/drive_c/PerUser/ICA Client" user_list='VDUSER1 , VDUSER2'
  in_prefix reg add "$user_key" /v InstallFolder /d 'C:\PerUser\ICA Client\' /f >/dev/null
  mkdir -p "$user_unix"
  cp "$work/client-$arch.exe" "$user_unix/$program"
  in_prefix reg add "$user_modules\\ICA 3.0" /v VirtualDriverEx /t REG_EXPAND_SZ /d "$user_list" \
    /f >/dev/null
  # The user's keys, exported (bytes and types), and the files of the folder.
  user_state() {
    rm -f "$prefix/drive_c/user.reg"
    in_prefix reg export 'HKCU\SOFTWARE\Citrix' 'C:\user.reg' /y >/dev/null 2>&1 &&
      iconv -f UTF-16 -t UTF-8 "$prefix/drive_c/user.reg" | tr -d '\r'
    (cd "$user_unix" && find . -type f | sort)
  }
  # The docs' block N of the per-user steps, with the user's list in place
  # of OTHER1,OTHER2 and its type, run as a batch file from the unpacked
  # zip package's folder.
  by_hand() {
    local name=$1 list=$2 block
    : >"$prefix/drive_c/$name.bat"
    for block in "${@:3}"; do
      docs_commands '**A client installed for one user**' "$block" |
        sed "s|/d \"OTHER1,OTHER2|/t REG_EXPAND_SZ /d \"$list|" >>"$prefix/drive_c/$name.bat"
    done
    status=0
    (cd "$stage" && in_prefix cmd /c "C:\\$name.bat") >"$work/$name-$arch.txt" 2>&1 || status=$?
  }
  local machine_only user_only machine_registered user_registered
  machine_only=$(snapshot)
  user_only=$(user_state)

  msiexec_logged per-user-install /i 'C:\vdqrn.msi' /qn
  check "the package installs for the per-machine client (exit status $status)" equal "$status" 0
  check "leaving the per-user client untouched" equal "$(user_state)" "$user_only"
  machine_registered=$(snapshot)
  by_hand register "$user_list" 1 2
  check "the per-user steps run (exit status $status)" equal "$status" 0
  local file
  for file in VDQRN.DLL QRNHOST32.EXE QRNHOST64.EXE; do
    check "$file in the per-user client's folder" same_file "$stage/$file" "$user_unix/$file"
  done
  check "HKCU: QRN listed after the user's modules, the type kept" \
    equal "$(reg_type "$user_modules\\ICA 3.0" VirtualDriverEx):$(reg_value \
    "$user_modules\\ICA 3.0" VirtualDriverEx)" "REG_EXPAND_SZ:$user_list,QRN"
  check "HKCU: QRN's values" equal "$(for value in DriverName DriverNameWin16 DriverNameWin32 \
    DriverNameWin64; do reg_value "$user_modules\\QRN" $value; done | tr '\n' ' ')" \
    "Unsupported Unsupported VDQRN.DLL VDQRN.DLL "
  check "HKLM as the package left it" equal "$(snapshot)" "$machine_registered"
  user_registered=$(user_state)

  by_hand remove "$user_list" 3
  check "the per-user removal steps run (exit status $status)" equal "$status" 0
  check "the per-user client is as it was before" equal "$(user_state)" "$user_only"
  check "the package's registration is kept" equal "$(snapshot)" "$machine_registered"

  by_hand register-again "$user_list" 1 2
  check "registered by hand again, as before" equal "$(user_state)" "$user_registered"
  msiexec_logged per-user-uninstall /x 'C:\vdqrn.msi' /qn
  check "the package's removal (exit status $status)" equal "$status" 0
  check "keeps the per-user registration, byte for byte" equal "$(user_state)" "$user_registered"
  check "and leaves the per-machine client as it was" equal "$(snapshot)" "$machine_only"
}

# The packages' tables, without installing them.
test_tables() {
  failures=()
  step "MSI tables"
  local x64="$root/packages/vdqrn-windows-x64.msi" x86="$root/packages/vdqrn-windows-x86.msi"
  guids() { msiinfo export "$1" Component | tail -n +4 | cut -f2 | sort; }
  check "the x64 and x86 packages share no component GUID" \
    equal "$(comm -12 <(guids "$x64") <(guids "$x86") | tr '\n' ' ')" ""
  check "each component has a GUID" equal "$(guids "$x64" | grep -c '^{')/$(guids "$x86" | grep -c '^{')" \
    "$(msiinfo export "$x64" Component | tail -n +4 | wc -l)/$(msiinfo export "$x86" Component | tail -n +4 | wc -l)"
  local msi arch file version action architectures=(x64 x86)
  local arm64="$root/packages/vdqrn-windows-arm64.msi"
  if [ -z "${VDQRN_NO_ARM64_WHY:-}" ]; then
    architectures+=(arm64)
    # The one 64-bit client of a machine: the x64 and arm64 packages replace
    # each other (one upgrade code), with components of their own.
    check "the arm64 package is for the Arm64 platform" contains <(msiinfo suminfo "$arm64") \
      "Template: Arm64;1033"
    check "the x64 and arm64 packages share no component GUID" \
      equal "$(comm -12 <(guids "$x64") <(guids "$arm64") | tr '\n' ' ')" ""
    upgrade_code() { msiinfo export "$1" Property | sed -n 's/^UpgradeCode\t//p' | tr -d '\r'; }
    check "the x64 and arm64 packages share their upgrade code" \
      equal "$(upgrade_code "$arm64")" "$(upgrade_code "$x64")"
    check "every arm64 component is a 64-bit one" equal \
      "$(msiinfo export "$arm64" Component | tail -n +4 | awk -F'\t' 'int($4 / 256) % 2 == 0 {print $1}')" ""
    for file in QRNHOSTA64.EXE QRNHOST64.EXE QRNHOST32.EXE simspectro32.dll simspectro64.dll; do
      check "arm64: the package holds $file" contains <(msiinfo export "$arm64" File) "$file	"
    done
    check "arm64: the 64-bit client's registry value" contains <(msiinfo export "$arm64" Registry) \
      "DriverNameWin64	VDQRN.DLL"
  fi
  for arch in "${architectures[@]}"; do
    msi="$root/packages/vdqrn-windows-$arch.msi"
    check "$arch: the same version counts as older (replaced)" contains \
      <(msiinfo export "$msi" Upgrade) "	0.0.0	$(product_version)		768		OLDERVERSIONFOUND"
    check "$arch: no Restart Manager shutdown" contains <(msiinfo export "$msi" Property) \
      "MSIRESTARTMANAGERCONTROL	Disable"
    check "$arch: no restart" contains <(msiinfo export "$msi" Property) "REBOOT	ReallySuppress"
    # Rollback (256) in the script (1024), without impersonation (2048), a
    # DLL's entry (1), its return ignored (64).
    for action in AddQrnModuleRollback RemoveQrnModuleRollback; do
      check "$arch: $action is a rollback action" contains <(msiinfo export "$msi" CustomAction) \
        "$action	3393	QrnSetup	RestoreQrnModuleList"
    done
    check "$arch: the shipped package has no test failure" \
      lacks <(msiinfo export "$msi" CustomAction; msiinfo export "$msi" InstallExecuteSequence) \
      QrnTestFailure
    for file in VDQRN.DLL engine_sim.exe simspectro.dll; do
      version=$(msiinfo export "$msi" File | awk -F'\t' -v f="$file" '$1 == f {print $5}')
      check "$arch: $file has its version ${version:-(none)} in the File table" \
        equal "$version" "$(product_version).0"
    done
  done
  if [ ${#failures[@]} -eq 0 ]; then
    local checked="component GUIDs, file versions, restart settings, rollback actions"
    result msi-tables passed "$checked${VDQRN_NO_ARM64_WHY:+; arm64 NOT RUN: $VDQRN_NO_ARM64_WHY}"
  else
    result msi-tables FAILED "x: ${failures[*]}"
    status_all=1
  fi
}

result() {
  local how
  case "$1" in
    msi-x64) how="wine64, the 64-bit view" ;;
    msi-x86) how="wine64 prefix with 32-bit wine, the 32-bit view" ;;
    msi-tables) how="msiinfo" ;;
  esac
  [ "$2" = "NOT RUN" ] && how=$3
  [ "$2" = FAILED ] && how="$how; failed: ${3#*: }"
  printf '%-12s %-8s %s\n' "$1" "$2" "$how" | tee -a "$summary"
}

status_all=0
install_packages wixl msitools wine64
step "MSI packages"
scripts/installers.sh "$root"
scripts/installers.sh "$root" --version "$upgrade_version" --output "$work/upgrade"
scripts/installers.sh "$root" --output "$work/rebuild"
scripts/installers.sh "$root" --output "$work/failing" --test-failure
step "a wine prefix to copy for each package and scenario"
make_template
test_tables
native32_why=
if native32_why=$(runs_32_bit_code_natively); then
  native32_why=
  set_aside_i386_emulators
fi
test_msi x64
if [ -z "$native32_why" ]; then
  test_msi x86
else
  result msi-x86 "NOT RUN" "32-bit wine runs only where the kernel runs 32-bit code: $native32_why"
  loud "THE x86 MSI IS NOT TESTED HERE: $native32_why."
fi
exit $status_all
