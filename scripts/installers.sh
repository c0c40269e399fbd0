#!/usr/bin/env bash
# Builds the Windows installer packages with wixl, from the built presets:
#
#   scripts/installers.sh [BUILD_ROOT] [--version VERSION] [--output DIR] [--test-failure]
#
# makes DIR/vdqrn-windows-x64.msi, DIR/vdqrn-windows-x86.msi and
# DIR/vdqrn-windows-arm64.msi (default DIR:
# BUILD_ROOT/packages, default VERSION: the project's) from
# installer/windows/vdqrn.wxs. Each holds the files of the zip package of its
# architecture and the custom action DLL QRNSETUP.DLL. --version makes a
# package of another version from the same files (the tests use it to try an
# upgrade). --test-failure makes the rollback tests' packages, never shipped:
# they hold a deferred action (QrnTestFailure) that fails right before
# InstallFinalize when the property QRNTESTFAIL is 1 (x64 and x86 only: the
# tests install them under wine64). wixl leaves the File
# table's versions empty: each binary's version (from its version resource)
# is written there afterwards, so that Windows Installer replaces it by the
# rules for versioned files. With
# VDQRN_SIGN_CERT and VDQRN_SIGN_KEY set, scripts/sign.sh signs every Windows
# binary before it goes into a package, and the package itself.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

fail() {
  echo "installers: $*" >&2
  exit 1
}

root=build
version=$(product_version)
output=
test_failure=no
while [ $# -gt 0 ]; do
  case "$1" in
    --version) version=$2; shift 2 ;;
    --output) output=$2; shift 2 ;;
    --test-failure) test_failure=yes; shift ;;
    -*) fail "unknown option $1" ;;
    *) root=$1; shift ;;
  esac
done
install_packages wixl msitools
[ -d "$root" ] || fail "no build folder $root"
root=$(cd "$root" && pwd)
[ -n "$output" ] || output="$root/packages"
mkdir -p "$output"
output=$(cd "$output" && pwd)
source_dir=$PWD

signing=
if [ -n "${VDQRN_SIGN_CERT:-}" ] && [ -n "${VDQRN_SIGN_KEY:-}" ]; then
  signing=yes
fi

# The file version of a Windows binary (VS_FIXEDFILEINFO): A.B.C.D; nothing
# when it has none.
file_version() {
  python3 - "$1" <<'PYTHON'
import struct, sys
data = open(sys.argv[1], "rb").read()
at = data.find(b"\xbd\x04\xef\xfe")
if at >= 0:
    high, low = struct.unpack_from("<II", data, at + 8)
    print("%d.%d.%d.%d" % (high >> 16, high & 0xFFFF, low >> 16, low & 0xFFFF))
PYTHON
}

# Writes each versioned binary's version into the File table (its row's key
# is its name) and drops its row from MsiFileHash, which is for unversioned
# files only.
set_file_versions() {
  local msi=$1 stage=$2 file name version
  for file in "$stage"/*.DLL "$stage"/*.dll "$stage"/*.EXE "$stage"/*.exe; do
    [ -f "$file" ] || continue
    name=${file##*/}
    [ "$name" = QRNSETUP.DLL ] && continue
    version=$(file_version "$file")
    [ -n "$version" ] || fail "$name has no version resource"
    msibuild "$msi" -q "UPDATE \`File\` SET \`Version\` = '$version' WHERE \`File\` = '$name'" &&
      msibuild "$msi" -q "DELETE FROM \`MsiFileHash\` WHERE \`File_\` = '$name'" ||
      fail "cannot write the version of $name into $msi"
  done
}

# The package's platform in its summary information (wixl writes x64 for
# the arm64 package: it knows no arm64 platform); the other fields are kept.
set_platform() {
  local msi=$1 platform=$2 subject author
  subject=$(msiinfo suminfo "$msi" | sed -n 's/^Subject: //p')
  author=$(msiinfo suminfo "$msi" | sed -n 's/^Author: //p')
  msibuild "$msi" -s "$subject" "$author" "$platform;1033" &&
    msiinfo suminfo "$msi" | grep -qx "Template: $platform;1033" ||
    fail "cannot set the platform of $msi to $platform"
}

# wixl writes Execute="rollback" as an immediate action: the rollback
# actions get their type here (a DLL in the Binary table, return ignored,
# in the script, rollback, without impersonation: 1 + 64 + 1024 + 256 +
# 2048).
set_rollback_actions() {
  local msi=$1 action
  for action in AddQrnModuleRollback RemoveQrnModuleRollback; do
    msibuild "$msi" -q "UPDATE \`CustomAction\` SET \`Type\` = 3393 WHERE \`Action\` = '$action'" &&
      [[ $(msiinfo export "$msi" CustomAction) == *"$action	3393	"* ]] ||
      fail "cannot make $action a rollback action in $msi"
  done
}

# The rollback tests' failure: cmd.exe /c exit 1 run in the script (a
# program by its command line, 34, in the script without impersonation:
# + 1024 + 2048) right before InstallFinalize, when QRNTESTFAIL=1.
add_test_failure() {
  local msi=$1
  msibuild "$msi" -q "INSERT INTO \`CustomAction\` (\`Action\`, \`Type\`, \`Source\`, \`Target\`) \
VALUES ('QrnTestFailure', 3106, 'TARGETDIR', '[SystemFolder]cmd.exe /c exit 1')" &&
    msibuild "$msi" -q "INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Condition\`, \
\`Sequence\`) VALUES ('QrnTestFailure', 'QRNTESTFAIL = \"1\"', 6590)" ||
    fail "cannot add the test failure to $msi"
}

architectures=(x64 x86)
# The arm64 package needs the arm64 build (see scripts/package.sh).
[ -z "${VDQRN_NO_ARM64_WHY:-}" ] && [ "$test_failure" = no ] && architectures+=(arm64)
for arch in "${architectures[@]}"; do
  stage="$root/installers/stage-$arch"
  rm -rf "$stage"
  mkdir -p "$stage"
  stage_package windows "$arch" "$root" "$stage" >/dev/null || fail "a file is missing"
  custom_action="$root/windows-$arch/bin/QRNSETUP.DLL"
  [ -f "$custom_action" ] || fail "$custom_action is missing (build the windows-$arch preset)"
  cp "$custom_action" "$stage/"
  if [ -n "$signing" ]; then
    scripts/sign.sh "$stage"/*.DLL "$stage"/*.dll "$stage"/*.exe "$stage"/*.EXE
  fi
  msi="$output/vdqrn-windows-$arch.msi"
  rm -f "$msi"
  # wixl takes source files by relative path only.
  wixl_arch=$arch
  [ "$arch" = arm64 ] && wixl_arch=x64
  (cd "$stage" && wixl -a "$wixl_arch" -D "Arch=$arch" -D "Version=$version" -D Stage=. \
    -o "$msi" "$source_dir/installer/windows/vdqrn.wxs") || fail "wixl failed for $arch"
  [ "$arch" = arm64 ] && set_platform "$msi" Arm64
  set_rollback_actions "$msi"
  [ "$test_failure" = yes ] && add_test_failure "$msi"
  set_file_versions "$msi" "$stage"
  # wixl drops IncludeMaximum: the row that finds older versions includes
  # this one too (VersionMinInclusive + VersionMaxInclusive), so that the
  # same version from another build replaces the one installed.
  # (Attributes is a key column: the table is exported, edited, imported.)
  mkdir -p "$stage/tables"
  msiinfo export "$msi" Upgrade |
    awk -F'\t' 'BEGIN { OFS = "\t" }
      { cr = sub(/\r$/, "") ? "\r" : "" }
      NR > 3 && $7 == "OLDERVERSIONFOUND" { $5 = 768 }
      { print $0 cr }' >"$stage/tables/Upgrade.idt" &&
    msibuild "$msi" -i "$stage/tables/Upgrade.idt" ||
    fail "cannot update the Upgrade table of $msi"
  [ -n "$signing" ] && scripts/sign.sh "$msi"
  echo "$msi"
done
