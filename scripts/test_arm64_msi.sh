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
# client as it was. Then, with the client's program an x64 one, the arm64
# package refuses it (naming the x64 package) and changes nothing; and the
# x64 package, installed, is replaced by the arm64 one (they share their
# upgrade code) and that by the x64 one again: one product each time, the
# module and hosts of the package installed, nothing of the one replaced
# left, QRN listed once after the arm64 one. The x64 package's custom
# actions (an x64 QRNSETUP.DLL) do not run under arm64 wine, which runs
# arm64 programs only (it reports them done), and wine removes the package
# replaced as in a plain uninstall (without UPGRADINGPRODUCTCODE), which
# takes QRN out: so the list is not checked after either x64 install (the
# x64 package's list edits are tested under wine64 by
# scripts/test_installers.sh). The arm64 session must be prepared; what a
# test writes into the registry is thrown away when the session ends.
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
x64_msi="$root/packages/vdqrn-windows-x64.msi"
[ -f "$x64_msi" ] || {
  echo "$x64_msi is missing (run scripts/package.sh)"
  exit 1
}
cp "$msi" "$work/vdqrn.msi"
cp "$x64_msi" "$work/vdqrn-x64.msi"
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

# The client's program: a file with the PE header of MACHINE (8664 x64,
# aa64 arm64), copied into the client's folder.
client_program() {
  python3 - "$work/wfica-$1.exe" "$1" <<'PYTHON'
import struct, sys
data = bytearray(0x80)
data[0:2] = b"MZ"
struct.pack_into("<I", data, 0x3C, 0x40)
data[0x40:0x44] = b"PE\0\0"
struct.pack_into("<H", data, 0x44, int(sys.argv[2], 16))
open(sys.argv[1], "wb").write(data)
PYTHON
  # (The uninstall removed the folder once empty.)
  in_wine cmd /c mkdir "$client" >/dev/null || true
  in_wine cmd /c copy /y "wfica-$1.exe" "$client\wfica.exe" >/dev/null
}
# The products installed (their names), one a line.
products() {
  in_wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s |
    sed -n 's/^    DisplayName    REG_SZ    //p' | grep vdqrn || true
}
# The machine of the installed module's PE header.
module_machine() {
  rm -f "$work/installed.dll"
  in_wine cmd /c copy /y "$client\VDQRN.DLL" installed.dll >/dev/null
  python3 -c 'import struct, sys
data = open(sys.argv[1], "rb").read()
print("%x" % struct.unpack_from("<H", data, struct.unpack_from("<I", data, 0x3C)[0] + 4)[0])' \
    "$work/installed.dll" 2>/dev/null || echo none
}

step "arm64 MSI: an x64 client is refused"
client_program 8664
before=$(in_wine reg query "$modules_key" /s)
check "msiexec /i fails" test "$(in_wine msiexec /i vdqrn.msi /qn /l*v refusal.log >/dev/null;
  echo $?)" -ne 0
# Wine shows a launch condition's message to no one under /qn: the log
# shows the architecture found, and the package holds the message.
check "the arm64 package found an x64 client" grep -qaF \
  "QRNSETUP: the client's program $client\\wfica.exe is for x64" "$work/refusal.log"
check "and refused it, naming vdqrn-windows-x64.msi" equal "$(msiinfo export "$work/vdqrn.msi" \
  LaunchCondition | tr -d '\r' | sed -n 's/^.*QRNCLIENTARCH = "arm64"\t.*\(Install .*\)$/\1/p')" \
  "Install vdqrn-windows-[QRNCLIENTARCH].msi instead."
check "it changed nothing" equal "$(listing "$client")/$(in_wine reg query "$modules_key" /s)" \
  "wfica.exe /$before"

step "arm64 MSI: the x64 package, replaced by the arm64 one, and back"
echo "  NOT CHECKED here: the module list after each x64 install (its x64 custom actions" \
  "cannot run under arm64 wine; they are tested under wine64)"
check "the x64 package installs" in_wine msiexec /i vdqrn-x64.msi /qn
check "one product, the x64 one" equal "$(products)" "vdqrn instrument channel driver (x64)"
check "the x64 module and its hosts" equal "$(module_machine) $(listing "$client")" \
  "8664 QRNHOST32.EXE QRNHOST64.EXE VDQRN.DLL wfica.exe "
client_program aa64
check "the arm64 package installs over it" in_wine msiexec /i vdqrn.msi /qn
check "one product, the arm64 one" equal "$(products)" "vdqrn instrument channel driver (arm64)"
check "the arm64 module and the three hosts" equal "$(module_machine) $(listing "$client")" \
  "aa64 QRNHOST32.EXE QRNHOST64.EXE QRNHOSTA64.EXE VDQRN.DLL wfica.exe "
check "the tools of the arm64 package" equal "$(listing 'C:\Program Files\vdqrn')" \
  "docs engine_sim.exe examples simspectro.dll simspectro32.dll simspectro64.dll "
check "QRN listed once" equal "$(reg_line "$modules_key\\ICA 3.0" VirtualDriverEx)" \
  "REG_EXPAND_SZ    ${others%,},QRN,"
client_program 8664
check "the x64 package installs over it" in_wine msiexec /i vdqrn-x64.msi /qn
check "one product, the x64 one again" equal "$(products)" "vdqrn instrument channel driver (x64)"
check "the x64 module and its hosts, no arm64 host left" equal \
  "$(module_machine) $(listing "$client")" "8664 QRNHOST32.EXE QRNHOST64.EXE VDQRN.DLL wfica.exe "
check "the tools of the x64 package, no arm64 one left" \
  equal "$(listing 'C:\Program Files\vdqrn')" \
  "docs engine_sim.exe examples simspectro.dll simspectro32.dll "
check "QRN's values of the x64 package" equal "$(reg_line "$modules_key\\QRN" DriverNameWin64)" \
  "REG_SZ    VDQRN.DLL"
check "the x64 package uninstalls" in_wine msiexec /x vdqrn-x64.msi /qn
check "no product left" equal "$(products)" ""

if [ ${#failures[@]} -eq 0 ]; then
  echo "the arm64 MSI installed, played the session, uninstalled, refused an x64 client and" \
    "replaced the x64 MSI and was replaced by it as it should"
else
  echo "the arm64 MSI failed: ${failures[*]}"
  exit 1
fi
