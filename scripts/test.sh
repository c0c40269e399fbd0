#!/usr/bin/env bash
# The project's one test command. Installs what is missing (as root, from
# Debian's packages), builds the three presets and the sanitizer build, checks
# export tables and packages, runs the long session under valgrind, each
# fuzz target and the benchmarks briefly, then the test suite natively, under
# ASan/UBSan and under wine64. Exits non-zero if any build, check or test fails.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

install_packages libboost-dev googletest libbenchmark-dev g++-mingw-w64-i686 \
  g++-mingw-w64-x86-64 wine64 cmake make g++ binutils-mingw-w64-i686 file \
  valgrind clang libclang-rt-14-dev

jobs=$(nproc)
for preset in linux windows-x64 windows-x86 linux-asan; do
  step "build $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
done

step "export tables"
scripts/check_exports.sh build/linux build/windows-x64 build/windows-x86

step "packages"
scripts/package.sh build
scripts/check_packages.sh build

status=0
step "valgrind: long session"
scripts/valgrind.sh build/linux || status=1
step "fuzz smoke (30 s per target)"
scripts/fuzz.sh 30 || status=1
step "benchmark smoke"
scripts/bench.sh --quick build/linux || status=1

# Start the wine server once, so that test processes do not each pay for it.
export WINEPREFIX="$PWD/build/windows-x64/wineprefix" WINEDEBUG=-all
step "wine prefix"
/usr/lib/wine/wine64 cmd /c exit >/dev/null 2>&1 || true

step "tests windows-x64 (wine64)"
ctest --preset windows-x64 -j "$jobs" || status=1
step "tests linux-asan"
ctest --preset linux-asan -j "$jobs" || status=1
step "tests linux"
ctest --preset linux -j "$jobs" || status=1
exit $status
