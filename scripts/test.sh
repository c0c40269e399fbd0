#!/usr/bin/env bash
# The project's one test command. Installs what is missing (as root, from
# Debian's packages), builds the four presets and the sanitizer build, checks
# export tables and packages, runs the long session under valgrind, each fuzz
# target and the benchmarks briefly, then every suite: natively (linux,
# linux-asan), as 32-bit Linux programs (linux-x86), under wine64
# (windows-x64, with the 32-bit instrument host under 32-bit wine) and under
# 32-bit wine (windows-x86). Where the kernel does not run 32-bit code (or
# VDQRN_NO_NATIVE_32BIT=1 is set), 32-bit Linux programs run under qemu-i386:
# registered with binfmt_misc when run as root, so that the 64-bit module can
# start the 32-bit host; otherwise as ctest's emulator for the linux-x86 suite
# only. What cannot run (32-bit wine under emulation) is reported NOT RUN,
# loudly, and never counted as passed. Ends with a summary of every suite:
# how it ran and its outcome; exits non-zero if any build, check or suite
# fails.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

install_packages libboost-dev googletest libbenchmark-dev g++-mingw-w64-i686 \
  g++-mingw-w64-x86-64 wine64 cmake make g++ binutils-mingw-w64-i686 file \
  valgrind clang libclang-rt-14-dev g++-i686-linux-gnu wine32:i386 qemu-user

jobs=$(nproc)
arrange_32_bit_code
wine32_why=
case "$run32" in
  native) ;;
  binfmt | emulator)
    wine32_why="32-bit wine does not start under emulation, and the kernel does not run 32-bit code ($run32_why)"
    loud "THIS MACHINE DOES NOT RUN 32-BIT CODE NATIVELY: $run32_why." \
      "32-bit Linux programs run $(describe_32_bit_linux)." \
      "The windows-x86 suite and the Windows host tests are built but NOT RUN, and NOT passed." \
      "Run scripts/test.sh on a machine that runs 32-bit programs to test them."
    ;;
  none)
    wine32_why="the machine cannot run 32-bit code ($run32_why)"
    loud "THIS MACHINE CANNOT RUN 32-BIT CODE: $run32_why." \
      "The linux-x86 and windows-x86 suites are built but NOT RUN, and NOT passed;" \
      "so are the instrument host tests (label host32) of the 64-bit suites."
    ;;
esac
# Where only ctest can start 32-bit programs, it starts the linux-x86 tests
# under the emulator.
emulator32=
[ "$run32" = emulator ] && emulator32=$(command -v qemu-i386)

# The 32-bit presets first: the 64-bit suites run the instrument host tests
# with their 32-bit host and libraries.
for preset in linux-x86 windows-x86 linux windows-x64 linux-asan; do
  step "build $preset"
  if [ "$preset" = linux-x86 ]; then
    cmake --preset "$preset" "-DCMAKE_CROSSCOMPILING_EMULATOR=$emulator32" >/dev/null
  else
    cmake --preset "$preset" >/dev/null
  fi
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
# says how each suite ran and repeats the lines that count.
declare -A outcome how
# run_suite PRESET HOW [ctest options]
run_suite() {
  local preset=$1
  how[$preset]=$2
  shift 2
  step "tests $preset (${how[$preset]})"
  local log="build/$preset/ctest-output.txt"
  if ctest --preset "$preset" -j "$jobs" "$@" 2>&1 | tee "$log"; then
    outcome[$preset]="passed"
  else
    outcome[$preset]="FAILED"
    status=1
  fi
}
not_run() {
  outcome[$1]="NOT RUN"
  how[$1]=$2
  rm -f "build/$1/ctest-output.txt"
}

# The instrument host tests (label host32) of the 64-bit suites start a
# 32-bit host: on Linux wherever an execve of a 32-bit program works, under
# wine64 only where 32-bit wine does.
linux_host=()
linux_host_how="host tests: 32-bit host $(describe_32_bit_linux)"
if [ "$run32" = emulator ] || [ "$run32" = none ]; then
  linux_host=(-LE host32)
  linux_host_how="host tests NOT RUN: a 64-bit program cannot start a 32-bit one here"
fi
windows_host=()
windows_host_how="host tests: 32-bit host under 32-bit wine"
if [ "$run32" != native ]; then
  windows_host=(-LE host32)
  windows_host_how="host tests NOT RUN: $wine32_why"
fi

# Wine never runs under the emulator: with it registered, wine's own 32-bit
# parts would start under it and fail, and a wine64 prefix made then lacks
# its 32-bit half for good. A prefix without that half is made afresh where
# 32-bit wine runs.
[ "$run32" = binfmt ] && unregister_i386_binfmt
prefix64="$PWD/build/windows-x64/wineprefix"
if [ "$run32" = native ] && [ -d "$prefix64" ] &&
  [ ! -f "$prefix64/drive_c/windows/syswow64/kernel32.dll" ]; then
  rm -rf "$prefix64"
fi
# Start each wine prefix's server once, so that test processes do not each
# pay for it.
export WINEDEBUG=-all
step "wine prefixes"
WINEPREFIX="$prefix64" /usr/lib/wine/wine64 cmd /c exit >/dev/null 2>&1 || true
if [ "$run32" = native ]; then
  WINEPREFIX="$PWD/build/windows-x86/wineprefix" /usr/lib/wine/wine cmd /c exit >/dev/null 2>&1 || true
fi

run_suite windows-x64 "wine64; $windows_host_how" "${windows_host[@]}"
if [ "$run32" = native ]; then
  run_suite windows-x86 "32-bit wine"
else
  not_run windows-x86 "$wine32_why"
fi
# The installer packages, while wine may run (their scripts print the
# summary lines repeated below).
installer_summaries=(build/installers/summary.txt build/installers/summary-linux.txt)
rm -f "${installer_summaries[@]}"
step "installer packages"
scripts/test_installers.sh build || status=1
scripts/test_linux_packages.sh build || status=1
scripts/test_signing.sh build || status=1
# The emulator back for the 32-bit Linux programs.
if [ "$run32" = binfmt ] && ! register_i386_binfmt; then
  loud "THE EMULATOR COULD NOT BE REGISTERED AGAIN: $binfmt_why."
  status=1
fi
if [ "$run32" = none ]; then
  not_run linux-x86 "$run32_why"
else
  run_suite linux-x86 "$(describe_32_bit_linux)"
fi
run_suite linux-asan "AddressSanitizer and UndefinedBehaviorSanitizer; $linux_host_how" "${linux_host[@]}"
run_suite linux "native; $linux_host_how" "${linux_host[@]}"

step "summary"
for preset in linux linux-asan linux-x86 windows-x64 windows-x86; do
  printf '%-12s %-8s %s\n' "$preset" "${outcome[$preset]}" "${how[$preset]}"
  log="build/$preset/ctest-output.txt"
  [ -f "$log" ] || continue
  grep -E "tests passed|tests failed out of|Total Test time" "$log" | sed 's/^/  /' || true
done
for summary_file in "${installer_summaries[@]}"; do
  [ -f "$summary_file" ] && cat "$summary_file"
done
not_run_lines=()
while IFS= read -r line; do
  not_run_lines+=("$line")
done < <(cat "${installer_summaries[@]}" 2>/dev/null | grep 'NOT RUN' || true)
for preset in linux linux-asan linux-x86 windows-x64 windows-x86; do
  case "${outcome[$preset]} ${how[$preset]}" in
    *"NOT RUN"*) not_run_lines+=("$preset: ${how[$preset]}") ;;
  esac
done
if [ ${#not_run_lines[@]} -gt 0 ]; then
  loud "NOT RUN HERE, AND NOT COUNTED AS PASSED:" "${not_run_lines[@]}"
fi
exit $status
