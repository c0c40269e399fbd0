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
# every key and value the install created. Before all that, the tables of
# the packages: the x86, x64 and arm64 component GUIDs differ, the binaries'
# versions are in the File table, and the package holds the Restart Manager
# and reboot settings; the arm64 one is for the Arm64 platform, its
# components 64-bit ones, with both hosts, sharing the x64 one's upgrade
# code (the arm64 package is installed under arm64 wine by
# scripts/test_arm64_msi.sh). Prints one summary line per
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
# Everything of the client and of ours: the Citrix keys and ours in both
# views (values with their types), the products registered for removal, and
# the files of both folders.
snapshot() {
  for view in 32 64; do
    echo "[view $view]"
    in_prefix reg query 'HKLM\SOFTWARE\Citrix' /s "/reg:$view" 2>/dev/null | tr -d '\r' || true
    in_prefix reg query 'HKLM\SOFTWARE\vdqrn' /s "/reg:$view" 2>/dev/null | tr -d '\r' || true
    in_prefix reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s "/reg:$view" \
      2>/dev/null | tr -d '\r' | grep -iE 'DisplayName|DisplayVersion' || true
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
# shown.
msiexec_logged() {
  local name=$1 tries
  shift
  local log="$prefix/drive_c/$name.log"
  for tries in 1 2 3; do
    rm -f "$log"
    status=0
    in_prefix msiexec "$@" /l*v "C:\\$name.log" >"$work/msiexec-output.txt" 2>&1 || status=$?
    [ "$status" -eq 0 ] && return 0
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
  [ -d "$prefix" ] && WINEPREFIX="$prefix" wineserver -k 2>/dev/null || true
  rm -rf "$prefix"
  timeout -k 10 300 env WINEPREFIX="$prefix" "$wine64" cmd /c exit >/dev/null 2>&1 || true
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
  check "the client condition stops it" contains "$trace" '0 <- L"Installed OR CLIENTINSTALLFOLDER"'
  check "at the launch conditions" contains "$trace" 'action L"LaunchConditions" returned 1603'
  check "with the message" contains <(msiinfo export "$msi" LaunchCondition) \
    "Installed OR CLIENTINSTALLFOLDER	No $bits-bit ICA client is installed on this machine"
  check "it changes nothing" equal "$(snapshot)" "$before"
  status=0
  msiexec /i 'C:\vdqrn.msi' /qn 'CLIENTFOLDER=C:\Elsewhere\' || status=$?
  check "nor with CLIENTFOLDER given (exit status $status)" nonzero "$status"
  check "which changes nothing" equal "$(snapshot)" "$before"

  step "MSI $arch: a simulated client"
  in_prefix reg add "$install_key" /v InstallFolder /d "$client\\" "/reg:$bits" /f >/dev/null
  mkdir -p "$client_unix"
  echo "the client" >"$client_unix/wfica.exe"
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
  check "the client's own file kept" same_file <(echo "the client") "$client_unix/wfica.exe"
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
  rm -f "$client_unix/wfica.exe"
  msiexec_logged uninstall-no-client /x 'C:\vdqrn.msi' /qn
  check "uninstalls (exit status $status)" equal "$status" 0
  for file in VDQRN.DLL QRNHOST32.EXE QRNHOST64.EXE; do
    check "$file removed from the noted folder" test ! -e "$client_unix/$file"
  done
  check "nothing of ours in the root folder" test ! -e "$prefix/drive_c/VDQRN.DLL"
  # The client back as it was: then all is as before the install.
  in_prefix reg add "$install_key" /v InstallFolder /d "$client\\" "/reg:$bits" /f >/dev/null
  mkdir -p "$client_unix"
  echo "the client" >"$client_unix/wfica.exe"
  check "every key and value the install made is gone, and nothing else" \
    equal "$(snapshot)" "$no_list"

  WINEPREFIX="$prefix" wineserver -k 2>/dev/null || true
  if [ ${#failures[@]} -eq 0 ]; then
    result "msi-$arch" passed "$1"
  else
    result "msi-$arch" FAILED "$1: ${failures[*]}"
    status_all=1
  fi
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
  local msi arch file version architectures=(x64 x86)
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
    for file in VDQRN.DLL engine_sim.exe simspectro.dll; do
      version=$(msiinfo export "$msi" File | awk -F'\t' -v f="$file" '$1 == f {print $5}')
      check "$arch: $file has its version ${version:-(none)} in the File table" \
        equal "$version" "$(product_version).0"
    done
  done
  if [ ${#failures[@]} -eq 0 ]; then
    result msi-tables passed "component GUIDs, file versions, restart settings${VDQRN_NO_ARM64_WHY:+; arm64 NOT RUN: $VDQRN_NO_ARM64_WHY}"
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
