#!/usr/bin/env bash
# Installs and removes the arm64 MSI under arm64 wine (scripts/wine_arm64.sh),
# with a simulated installed client whose module list names two other
# modules (odd blanks, a trailing comma, REG_EXPAND_SZ):
#
#   scripts/test_arm64_msi.sh [BUILD_ROOT]     (default BUILD_ROOT: build)
#
# A silent install puts the module and the three hosts into the client's
# folder and the tools into Program Files, writes QRN's values, lists QRN
# once after the others (their bytes and the list's type kept; the custom
# action is the arm64 QRNSETUP.DLL); engine_sim.exe plays
# examples/session.txt with the installed module; the uninstall leaves the
# client as it was. The arm64 session must be prepared; what a test writes
# into the registry is thrown away when the session ends.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh
root=$(cd "${1:-build}" && pwd)
msi="$root/packages/vdqrn-windows-arm64.msi"
work="$root/arm64-msi"
rm -rf "$work"
mkdir -p "$work"
[ -f "$msi" ] || {
  echo "$msi is missing (run scripts/package.sh)"
  exit 1
}
cp "$msi" "$work/vdqrn.msi"
runner="$PWD/scripts/wine_arm64.sh"
# A program under arm64 wine in the work folder; Windows line ends dropped.
in_wine() { (cd "$work" && "$runner" run --timeout 300 -- "$@") 2>/dev/null | tr -d '\r'; }
modules_key='HKLM\SOFTWARE\Citrix\ICA Client\Engine\Configuration\Advanced\Modules'
client='C:\QrnArmClient'
others='VDOTHER1 ,  VDOTHER2 ,'
reg_line() { in_wine reg query "$1" /v "$2" | sed -n "s/^    $2    //p"; }
listing() { in_wine cmd /c dir /b "$1" | sort | tr '\n' ' '; }
failures=()
equal() { [ "$1" = "$2" ] || { echo "    got:      \"$1\""; echo "    expected: \"$2\""; return 1; }; }

step "arm64 MSI: a simulated client"
in_wine reg delete "$modules_key" /f >/dev/null || true
in_wine cmd /c rmdir /s /q "$client" >/dev/null || true
in_wine cmd /c mkdir "$client" >/dev/null
in_wine reg add 'HKLM\SOFTWARE\Citrix\Install\ICA Client' /v InstallFolder /t REG_SZ /d "$client\\" /f >/dev/null
in_wine reg add "$modules_key\\ICA 3.0" /v VirtualDriverEx /t REG_EXPAND_SZ /d "$others" /f >/dev/null
before=$(in_wine reg query "$modules_key" /s)

step "arm64 MSI: install"
check "msiexec /i exits with 0" in_wine msiexec /i vdqrn.msi /qn
check "the client's folder holds the module and the three hosts" \
  equal "$(listing "$client")" "QRNHOST32.EXE QRNHOST64.EXE QRNHOSTA64.EXE VDQRN.DLL "
check "Program Files holds the tools and the three simulated instruments" \
  equal "$(listing 'C:\Program Files\vdqrn')" \
  "docs engine_sim.exe examples simspectro.dll simspectro32.dll simspectro64.dll "
check "VirtualDriverEx lists QRN once after the others, its type kept" \
  equal "$(reg_line "$modules_key\\ICA 3.0" VirtualDriverEx)" "REG_EXPAND_SZ    ${others%,},QRN,"
for value in DriverName:Unsupported DriverNameWin16:Unsupported DriverNameWin32:VDQRN.DLL \
  DriverNameWin64:VDQRN.DLL; do
  check "QRN\\${value%%:*}" equal "$(reg_line "$modules_key\\QRN" "${value%%:*}")" "REG_SZ    ${value#*:}"
done
# engine_sim finds simspectro in its own folder.
ours='C:\Program Files\vdqrn'
(cd "$work" && "$runner" run --timeout 300 -- "$ours\engine_sim.exe" --log \
  --module "$client\VDQRN.DLL" --script "$ours\examples\session.txt") >"$work/transcript.txt" 2>&1 || true
check "engine_sim.exe plays the session with the installed module" \
  demo_transcript_problem "$work/transcript.txt" simspectro in-process ""

step "arm64 MSI: uninstall"
check "msiexec /x exits with 0" in_wine msiexec /x vdqrn.msi /qn
check "the client's folder is empty again" equal "$(listing "$client")" ""
check "the client's module keys are as they were" equal "$(in_wine reg query "$modules_key" /s)" "$before"

if [ ${#failures[@]} -eq 0 ]; then
  echo "the arm64 MSI installed, played the session and uninstalled as it should"
else
  echo "the arm64 MSI failed: ${failures[*]}"
  exit 1
fi
