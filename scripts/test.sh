#!/usr/bin/env bash
# The project's one test command. Installs what is missing (as root, from
# Debian's packages), builds the four presets and the sanitizer build, checks
# export tables and packages, runs the long session under valgrind, each fuzz
# target and the benchmarks briefly, then every suite: natively (linux,
# linux-asan), as 32-bit Linux programs (linux-x86), under wine64
# (windows-x64, with the 32-bit instrument host under 32-bit wine) and under
# 32-bit wine (windows-x86). A machine that cannot run 32-bit code gets a loud
# notice, and its 32-bit suites and host tests are reported as not run, never
# as passed. Ends with each suite's ctest summary; exits non-zero
# if any build, check or suite fails.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

install_packages libboost-dev googletest libbenchmark-dev g++-mingw-w64-i686 \
  g++-mingw-w64-x86-64 wine64 cmake make g++ binutils-mingw-w64-i686 file \
  valgrind clang libclang-rt-14-dev g++-i686-linux-gnu wine32:i386

jobs=$(nproc)
runs32=yes
if ! why=$(runs_32_bit_code); then
  runs32=no
  loud "THIS MACHINE CANNOT RUN 32-BIT CODE: $why." \
    "The linux-x86 and windows-x86 suites are built but NOT RUN, and NOT passed." \
    "Run scripts/test.sh on a machine that runs 32-bit programs to test them."
fi

# The 32-bit presets first: the 64-bit suites run the instrument host tests
# with their 32-bit host and libraries.
for preset in linux-x86 windows-x86 linux windows-x64 linux-asan; do
  step "build $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
done

step "export tables"
scripts/check_exports.sh build/linux build/linux-x86 build/windows-x64 build/windows-x86

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

# Each suite's ctest output goes to its build folder; the summary at the end
# repeats the lines that count.
declare -A outcome
# Without 32-bit code the 64-bit suites leave out the instrument host tests
# (label host32), which run a 32-bit host.
host_filter=()
[ "$runs32" = yes ] || host_filter=(-LE host32)
run_suite() {
  local preset=$1 title=$2
  step "tests $preset ($title)"
  local log="build/$preset/ctest-output.txt"
  if ctest --preset "$preset" -j "$jobs" "${host_filter[@]}" 2>&1 | tee "$log"; then
    outcome[$preset]="ok"
  else
    outcome[$preset]="FAILED"
    status=1
  fi
}
not_run() {
  outcome[$1]="NOT RUN: this machine cannot run 32-bit code"
}

# Start each wine prefix's server once, so that test processes do not each
# pay for it.
export WINEDEBUG=-all
step "wine prefixes"
WINEPREFIX="$PWD/build/windows-x64/wineprefix" /usr/lib/wine/wine64 cmd /c exit >/dev/null 2>&1 || true
if [ "$runs32" = yes ]; then
  WINEPREFIX="$PWD/build/windows-x86/wineprefix" /usr/lib/wine/wine cmd /c exit >/dev/null 2>&1 || true
fi

run_suite windows-x64 "wine64"
if [ "$runs32" = yes ]; then
  run_suite windows-x86 "32-bit wine"
  run_suite linux-x86 "32-bit Linux programs"
else
  not_run windows-x86
  not_run linux-x86
fi
run_suite linux-asan "AddressSanitizer and UndefinedBehaviorSanitizer"
run_suite linux "native"

step "summary"
for preset in linux linux-asan linux-x86 windows-x64 windows-x86; do
  echo "$preset: ${outcome[$preset]}"
  log="build/$preset/ctest-output.txt"
  if [ "${outcome[$preset]}" != "${outcome[$preset]#NOT RUN}" ]; then
    continue
  fi
  grep -E "tests passed|tests failed out of|Total Test time" "$log" | sed 's/^/  /' || true
done
if [ "$runs32" = no ]; then
  loud "32-BIT SUITES NOT RUN: this machine cannot run 32-bit code ($why)." \
    "Neither did the instrument host tests (label host32) of the 64-bit suites."
fi
exit $status
