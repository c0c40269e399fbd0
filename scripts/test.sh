#!/usr/bin/env bash
# The project's one test command. Installs what is missing (as root, from
# Debian's packages), builds the three presets, and runs the test suite
# natively and under wine64. Exits non-zero if any build or test fails.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

install_packages libboost-dev googletest libbenchmark-dev g++-mingw-w64-i686 \
  g++-mingw-w64-x86-64 wine64 cmake make g++ binutils-mingw-w64-i686 file

jobs=$(nproc)
for preset in linux windows-x64 windows-x86; do
  step "build $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
done

step "export tables"
scripts/check_exports.sh build/linux build/windows-x64 build/windows-x86

step "packages"
scripts/package.sh build
scripts/check_packages.sh build

# Start the wine server once, so that test processes do not each pay for it.
export WINEPREFIX="$PWD/build/windows-x64/wineprefix" WINEDEBUG=-all
step "wine prefix"
/usr/lib/wine/wine64 cmd /c exit >/dev/null 2>&1 || true

status=0
step "tests windows-x64 (wine64)"
ctest --preset windows-x64 -j "$jobs" || status=1
step "tests linux"
ctest --preset linux -j "$jobs" || status=1
exit $status
