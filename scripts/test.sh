#!/usr/bin/env bash
# The project's one test command (docs/testing.md says what it runs).
# Installs what is missing (as root, from Debian's packages, in groups by
# what needs them: a group that cannot be installed takes only its own steps
# with it, NOT RUN), makes (or reuses) the Debian 11 folders the shipped
# Linux builds link against (scripts/sysroot.sh), builds the presets and the
# sanitizer build, checks export tables and packages (the glibc floor
# included), runs the long session under valgrind, each fuzz target and the
# benchmarks briefly, then every suite: natively (linux, linux-asan), as
# 32-bit Linux programs (linux-x86), under qemu-user (linux-armhf,
# linux-arm64, with the 32-bit ARM host), under wine64 (windows-x64, with
# the 32-bit instrument host under 32-bit wine) and under 32-bit wine
# (windows-x86); tests the installers and the host side end to end; plays
# the demo conversation from the Linux packages on Debian 11; and runs
# scripts/demo.sh on a fresh Debian 12 system (scripts/fresh_machine.sh).
# Where the kernel does not run 32-bit code (or VDQRN_NO_NATIVE_32BIT=1 is
# set), 32-bit Linux programs run under qemu-i386. What cannot run is
# reported NOT RUN, loudly, and never counted as passed. Ends with a summary
# of every suite and step: how it ran and its outcome; exits non-zero if
# any build, check or suite fails.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

# Every step's wall time, for the summary: a step lasts until the next.
step_times=()
step_now=
step_began=0
step() {
  [ -n "$step_now" ] && step_times+=("$(printf '%5d s  %s' $((SECONDS - step_began)) "$step_now")")
  step_now="$*"
  step_began=$SECONDS
  printf '\n=== %s === (%s)\n' "$*" "$(date +%H:%M:%S)"
}

# Packages, in groups by what needs them. What the builds and packages
# cannot do without fails the command, with apt's reason; any other group
# that cannot be installed takes only its own steps with it: NOT RUN,
# loudly, with the reason, never counted as passed.
step "Debian packages"
if ! install_group build cmake make ninja-build ccache g++ file libboost-dev googletest binutils-mingw-w64-i686 \
  g++-mingw-w64-i686 g++-mingw-w64-x86-64 g++-i686-linux-gnu g++-arm-linux-gnueabihf \
  g++-aarch64-linux-gnu llvm wixl msitools dpkg rpm osslsigncode openssl python3; then
  loud "THE TEST COMMAND CANNOT RUN: ${install_why[build]}"
  exit 1
fi
declare -A group_steps=(
  [wine64]="the windows-x64 and windows-x86 suites, the MSI tests, the host side runs"
  [wine32]="the windows-x86 suite, the Windows host tests, the x86 MSI, the 32-bit qrnctl run"
  [qemu]="the linux-armhf and linux-arm64 suites and the ARM Debian 11 runs; 32-bit programs where the kernel does not run them"
  [valgrind]="the long session under valgrind"
  [fuzz]="the fuzz targets"
  [bench]="the benchmark smoke run"
  [debootstrap]="the Debian 11 system runs and the fresh-machine check"
)
install_group wine64 wine64 || true
install_group wine32 wine32:i386 || true
install_group qemu qemu-user || true
install_group valgrind valgrind || true
install_group fuzz clang libclang-rt-14-dev || true
install_group bench libbenchmark-dev || true
install_group debootstrap debootstrap || true
# missing GROUP: whether that group could not be installed.
missing() { [ -n "${install_why[$1]:-}" ]; }
# Steps left out for a group that could not be installed, for the summary.
packages_not_run=()
for group in "${!group_steps[@]}"; do
  missing "$group" && packages_not_run+=("${group_steps[$group]}: ${install_why[$group]}")
done
if [ ${#packages_not_run[@]} -gt 0 ]; then
  loud "SOME PACKAGES COULD NOT BE INSTALLED; THESE STEPS ARE NOT RUN, AND NOT PASSED:" \
    "${packages_not_run[@]}"
fi
# VDQRN_TEST_PACKAGES_ONLY=1: the package step alone (its own test runs it
# against a stand-in apt-get).
[ -n "${VDQRN_TEST_PACKAGES_ONLY:-}" ] && exit 0
# The scripts that try 32-bit wine give this reason first.
missing wine32 && export VDQRN_WINE32_WHY="${install_why[wine32]}"

# Seconds each new step took, for the summary.
declare -A took
timed() {
  local name=$1 start=$SECONDS
  shift
  local result=0
  "$@" || result=$?
  took[$name]=$((SECONDS - start))
  return $result
}

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

# The shipped Linux builds link against Debian 11's C library: its folders,
# made once and kept in build/debian11.
step "Debian 11 sysroots (x86, ARM)"
timed sysroots scripts/sysroot.sh x86
timed sysroots-arm scripts/sysroot.sh arm
took[sysroots]=$((took[sysroots] + took[sysroots-arm]))

# The arm64 Windows toolchain (scripts/toolchain_arm64.sh) and the arm64
# system its suites run in (scripts/wine_arm64.sh), each made once from
# Debian's archive and kept outside the build folder. Uncached, each takes
# minutes of downloads and single-threaded work: both are made in the
# background while the other presets build. Without the toolchain the arm64
# module, its packages and suites are NOT RUN, and said so.
# background NAME COMMAND...: runs the command in the background, its output
# into build/background/NAME.log; joined by `joined NAME`.
mkdir -p build/background
declare -A background_job
background() {
  local name=$1 log=build/background/$1
  shift
  rm -f "$log.log" "$log.status"
  (
    start=$SECONDS result=0
    "$@" >"$log.log" 2>&1 </dev/null || result=$?
    echo "$result $((SECONDS - start))" >"$log.status"
  ) &
  background_job[$name]=$!
}
# joined NAME: waits for it, prints its output, sets took[NAME] and fails as
# it failed.
joined() {
  local log=build/background/$1 result seconds
  wait "${background_job[$1]}" || true
  cat "$log.log"
  read -r result seconds <"$log.status" || result=1
  took[$1]=${seconds:-0}
  return "$result"
}
step "arm64 Windows toolchain and system: made or found in the background"
arm64_presets=()
background toolchain-arm64 scripts/toolchain_arm64.sh
at_exit 'scripts/wine_arm64.sh finish >/dev/null 2>&1'
background arm64-system scripts/wine_arm64.sh prepare

# What the compiler cache gives this run, for the summary.
command -v ccache >/dev/null && ccache --zero-stats >/dev/null

# The 32-bit presets first: the 64-bit suites run the instrument host tests
# with their 32-bit host and libraries. windows-arm64 last, once its
# toolchain is there.
for preset in linux-x86 linux-armhf windows-x86 linux windows-x64 linux-asan linux-x64 \
  linux-arm64 windows-arm64; do
  if [ "$preset" = windows-arm64 ]; then
    step "arm64 Windows toolchain"
    if joined toolchain-arm64; then
      arm64_presets=(windows-arm64)
      toolchain_arm64_how="found in the cache in ${took[toolchain-arm64]} s"
      grep -q "^toolchain_arm64: made in" build/background/toolchain-arm64.log &&
        toolchain_arm64_how="made afresh (uncached) in ${took[toolchain-arm64]} s, beside the builds"
    else
      export VDQRN_NO_ARM64_WHY="the arm64 toolchain could not be made: $(tail -1 build/background/toolchain-arm64.log)"
      loud "$VDQRN_NO_ARM64_WHY" \
        "The windows-arm64 module, its packages and its suites are NOT RUN, and NOT passed."
      continue
    fi
  fi
  step "build $preset"
  start=$SECONDS
  configure=(cmake --preset "$preset")
  [ "$preset" = linux-x86 ] && configure+=("-DCMAKE_CROSSCOMPILING_EMULATOR=$emulator32")
  # A build folder of an older configuration (the glibc floor's flags
  # changed since, or another generator) is configured afresh.
  "${configure[@]}" >/dev/null || "${configure[@]}" --fresh >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  took[build-$preset]=$((SECONDS - start))
done

step "export tables"
scripts/check_exports.sh build/linux build/linux-x86 build/windows-x64 build/windows-x86 \
  "${arm64_presets[@]/#/build/}"

step "packages"
scripts/package.sh build
scripts/check_packages.sh build

status=0
# Steps outside the suites: name, outcome and how, for the summary.
declare -A step_outcome step_how
step_names=()
# checked NAME HOW GROUP COMMAND...: runs a step unless its package group
# could not be installed.
checked() {
  local name=$1 how_=$2 group=$3
  shift 3
  step_names+=("$name")
  step_how[$name]=$how_
  if [ -n "$group" ] && missing "$group"; then
    step_outcome[$name]="NOT RUN"
    step_how[$name]="${install_why[$group]}"
    return 0
  fi
  step "$name"
  if "$@"; then
    step_outcome[$name]=passed
  else
    step_outcome[$name]=FAILED
    status=1
  fi
}
# A step that cannot run here, and why.
not_run_step() {
  step_names+=("$1")
  step_outcome[$1]="NOT RUN"
  step_how[$1]=$2
}
checked package-step "against a stand-in apt-get" "" scripts/test_package_step.sh
checked valgrind "long session under valgrind" valgrind scripts/valgrind.sh build/linux
checked fuzz-smoke "each fuzz target for 30 s" fuzz scripts/fuzz.sh 30
checked bench-smoke "the benchmarks briefly" bench scripts/bench.sh --quick build/linux

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
  if ctest --preset "$preset" -j "$jobs" --timeout 300 "$@" 2>&1 | tee "$log"; then
    outcome[$preset]="passed"
    return 0
  fi
  # Only where wine failed to start a test program are the failed tests run
  # once more, and the summary says so.
  if wine_failed_to_start "$log"; then
    loud "WINE FAILED TO START A TEST PROGRAM OF $preset: ITS FAILED TESTS RUN ONCE MORE"
    if ctest --preset "$preset" --rerun-failed --timeout 300 "$@" 2>&1 | tee -a "$log"; then
      outcome[$preset]="passed"
      how[$preset]="${how[$preset]}; failed tests run once more after wine failed to start one"
      return 0
    fi
  fi
  outcome[$preset]="FAILED"
  status=1
}
not_run() {
  outcome[$1]="NOT RUN"
  how[$1]=$2
  rm -f "build/$1/ctest-output.txt"
}

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
if missing wine64; then
  wine32_why=${install_why[wine64]}
fi
# Start each wine prefix's server once, so that test processes do not each
# pay for it; and find out whether 32-bit wine really starts.
export WINEDEBUG=-all
step "wine prefixes"
missing wine64 ||
  WINEPREFIX="$prefix64" timeout -k 10 300 /usr/lib/wine/wine64 cmd /c exit >/dev/null 2>&1 || true
if [ "$run32" = native ] && [ -z "$wine32_why" ] && ! wine32_why=$(wine32_starts "$PWD/build/windows-x86/wineprefix"); then
  loud "32-BIT WINE DOES NOT START HERE, THOUGH THE KERNEL RUNS 32-BIT CODE: $wine32_why." \
    "The windows-x86 suite and the Windows host tests are built but NOT RUN, and NOT passed."
fi

# The instrument host tests (label host32) fail, rather than skip, where
# the 32-bit host cannot serve them: where it cannot run, they are left out.
export VDQRN_HOST32_REQUIRED=1
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
if [ -n "$wine32_why" ]; then
  windows_host=(-LE host32)
  windows_host_how="host tests NOT RUN: $wine32_why"
fi

if missing wine64; then
  not_run windows-x64 "${install_why[wine64]}"
else
  run_suite windows-x64 "wine64; $windows_host_how" "${windows_host[@]}"
fi
if [ -z "$wine32_why" ]; then
  run_suite windows-x86 "32-bit wine"
else
  not_run windows-x86 "$wine32_why"
fi
# The installer packages, while wine may run (their scripts print the
# summary lines repeated below).
installer_summaries=(build/installers/summary.txt build/installers/summary-linux.txt
  build/host-side/summary.txt)
rm -f "${installer_summaries[@]}"
step "installer packages"
checked msi-tests "scripts/test_installers.sh" wine64 scripts/test_installers.sh build
scripts/test_linux_packages.sh build || status=1
scripts/test_signing.sh build || status=1
# The host side end to end: qrnctl through the stand-in of the platform's
# channel functions to engine_sim --listen.
checked host-side "scripts/test_host_side.sh" wine64 scripts/test_host_side.sh build
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

# The ARM suites, under qemu-user with Debian 11's libraries (the toolchain
# files set ctest's emulator). The ARM host suite (label host32 of
# linux-arm64) needs the system to start 32- and 64-bit ARM programs itself:
# qemu registered with binfmt_misc, as root.
arm_host=()
arm_host_how="host tests: 32-bit ARM host under qemu-arm through binfmt_misc"
if missing qemu; then
  arm_host=(-LE host32)
  arm_host_how="host tests NOT RUN: ${install_why[qemu]}"
elif ! register_arm_binfmt; then
  arm_host=(-LE host32)
  arm_host_how="host tests NOT RUN: $binfmt_why"
fi
if missing qemu; then
  not_run linux-armhf "${install_why[qemu]}"
  not_run linux-arm64 "${install_why[qemu]}"
else
  timed suite-armhf run_suite linux-armhf "emulated: qemu-arm, Debian 11 libraries"
  timed suite-arm64 run_suite linux-arm64 "emulated: qemu-aarch64, Debian 11 libraries; $arm_host_how" \
    "${arm_host[@]}"
fi

# The demo conversations from the packages: on Debian 11
# (scripts/debian11_demo.sh) and from the arm64 Windows zip
# (scripts/arm64_demo.sh). Exit status 2: it cannot run here.
declare -A demo_outcome demo_how
# demo RUN-NAME HOW COMMAND...
demo() {
  local name=$1
  demo_how[$name]=$2
  shift 2
  step "demo $name (${demo_how[$name]})"
  local said result=0
  said=$("$@") || result=$?
  echo "$said"
  case $result in
    0) demo_outcome[$name]="passed" ;;
    2)
      demo_outcome[$name]="NOT RUN"
      demo_how[$name]="${demo_how[$name]}: $said"
      ;;
    *)
      demo_outcome[$name]="FAILED"
      demo_how[$name]="${demo_how[$name]}: $said"
      status=1
      ;;
  esac
}
not_run_demo() {
  demo_outcome[$1]="NOT RUN"
  demo_how[$1]=$2
}

# The windows-arm64 suites under arm64 wine in a Debian 13 arm64 system
# (scripts/wine_arm64.sh): the system is made once (its cost is said) and
# then found in the cache; every test program starts through it. Where the
# system or wine cannot be had: NOT RUN, with the reason.
#   arm64_suites BUILD_FOLDER
arm64_suites() {
  local preset=${1##*/} said result=0
  if [ -n "${VDQRN_NO_ARM64_WHY:-}" ]; then
    not_run "$preset" "$VDQRN_NO_ARM64_WHY"
    not_run_demo arm64-zip "$VDQRN_NO_ARM64_WHY"
    not_run_step msi-arm64 "$VDQRN_NO_ARM64_WHY"
    joined arm64-system >/dev/null || true
    return 0
  fi
  step "arm64 Windows system (scripts/wine_arm64.sh prepare, in the background)"
  result=0
  joined arm64-system || result=$?
  said=$(tail -1 build/background/arm64-system.log)
  local cost="the arm64 system found in the cache, ready in ${took[arm64-system]} s"
  case "$said" in
    "made in "*) cost="the arm64 system made afresh (uncached) in ${took[arm64-system]} s, beside the builds" ;;
  esac
  case $result in
    0)
      timed suite-arm64-win run_suite "$preset" "$(scripts/wine_arm64.sh describe); $cost"
      # The demo conversation from the arm64 zip, as an administrator tries it.
      demo arm64-zip "engine_sim.exe from vdqrn-windows-arm64.zip under arm64 wine, in process" \
        scripts/arm64_demo.sh build
      checked msi-arm64 "installed, played and removed under arm64 wine; refuses an x64 \
client; swapped with the x64 MSI and back" "" \
        scripts/test_arm64_msi.sh build
      checked arm64-wine-runner "scripts/test_wine_arm64.sh, a session of its own" "" \
        scripts/test_wine_arm64.sh
      ;;
    2)
      loud "THE ARM64 WINDOWS SYSTEM CANNOT BE HAD HERE: $said" \
        "The $preset suites are built but NOT RUN, and NOT passed."
      not_run "$preset" "no arm64 Windows system: $said"
      not_run_demo arm64-zip "no arm64 Windows system: $said"
      not_run_step msi-arm64 "no arm64 Windows system: $said"
      ;;
    *)
      outcome[$preset]="FAILED"
      how[$preset]="the arm64 Windows system could not be prepared: $said"
      not_run_demo arm64-zip "the arm64 Windows system could not be prepared"
      not_run_step msi-arm64 "the arm64 Windows system could not be prepared"
      status=1
      ;;
  esac
  scripts/wine_arm64.sh finish || true
}
arm64_suites build/windows-arm64

demo_runs=(arm64-zip debian11-x64 debian11-x64-host debian11-armhf debian11-arm64 debian11-arm64-host)
step "Debian 11 system"
debian11_why=
debian11_log=$(mktemp)
timed system scripts/sysroot.sh system 2>"$debian11_log" || debian11_why=$(tail -1 "$debian11_log")
rm -f "$debian11_log"
demo_start=$SECONDS
if [ -n "$debian11_why" ]; then
  loud "THE DEBIAN 11 SYSTEM COULD NOT BE BUILT: $debian11_why" \
    "The x64 package is NOT RUN on Debian 11, and NOT passed."
  not_run_demo debian11-x64 "no Debian 11 system: $debian11_why"
  not_run_demo debian11-x64-host "no Debian 11 system: $debian11_why"
else
  demo debian11-x64 "chroot into Debian 11 (glibc 2.31), in process" scripts/debian11_demo.sh build x64 in-process
  case "$run32" in
    native) demo debian11-x64-host "chroot into Debian 11, through the 32-bit host (native)" scripts/debian11_demo.sh build x64 host ;;
    # The emulator (dynamically linked) cannot start inside the folder, but
    # it takes the folder's libraries, as for ARM.
    binfmt)
      demo debian11-x64-host "qemu-x86_64 and qemu-i386 through binfmt_misc, Debian 11 libraries, through the 32-bit host" scripts/debian11_demo.sh build x64 host qemu
      ;;
    *) not_run_demo debian11-x64-host "a 64-bit program cannot start a 32-bit one here ($run32_why)" ;;
  esac
fi
if missing qemu; then
  not_run_demo debian11-armhf "${install_why[qemu]}"
  not_run_demo debian11-arm64 "${install_why[qemu]}"
else
  demo debian11-armhf "qemu-arm, Debian 11 libraries, in process" scripts/debian11_demo.sh build armhf in-process
  demo debian11-arm64 "qemu-aarch64, Debian 11 libraries, in process" scripts/debian11_demo.sh build arm64 in-process
fi
if [ ${#arm_host[@]} -eq 0 ]; then
  demo debian11-arm64-host "qemu-aarch64 and qemu-arm through binfmt_misc, Debian 11 libraries, through the 32-bit ARM host" scripts/debian11_demo.sh build arm64 host
else
  not_run_demo debian11-arm64-host "${arm_host_how#host tests NOT RUN: }"
fi
took[demos]=$((SECONDS - demo_start))

# The README's first command on a fresh Debian 12 system, as a newcomer
# runs it (scripts/fresh_machine.sh).
step_names+=(fresh-debian12)
step_how[fresh-debian12]="scripts/demo.sh, then cmake --workflow --preset linux, on a fresh Debian 12 system (debootstrap, chroot)"
if missing debootstrap; then
  step_outcome[fresh-debian12]="NOT RUN"
  step_how[fresh-debian12]="${install_why[debootstrap]}"
else
  step "fresh Debian 12 machine: scripts/demo.sh"
  fresh_start=$SECONDS
  fresh_status=0
  fresh_said=$(scripts/fresh_machine.sh build) || fresh_status=$?
  took[fresh]=$((SECONDS - fresh_start))
  echo "$fresh_said"
  step_how[fresh-debian12]="${step_how[fresh-debian12]}: $(echo "$fresh_said" | tail -1)"
  case $fresh_status in
    0) step_outcome[fresh-debian12]=passed ;;
    2) step_outcome[fresh-debian12]="NOT RUN" ;;
    *)
      step_outcome[fresh-debian12]=FAILED
      status=1
      ;;
  esac
fi

step "summary"
suites=(linux linux-asan linux-x86 linux-armhf linux-arm64 windows-x64 windows-x86 windows-arm64)
for preset in "${suites[@]}"; do
  printf '%-12s %-8s %s\n' "$preset" "${outcome[$preset]}" "${how[$preset]}"
  log="build/$preset/ctest-output.txt"
  [ -f "$log" ] || continue
  grep -E "tests passed|tests failed out of|Total Test time" "$log" | sed 's/^/  /' || true
done
for summary_file in "${installer_summaries[@]}"; do
  [ -f "$summary_file" ] && cat "$summary_file"
done
for run in "${demo_runs[@]}"; do
  printf '%-20s %-8s %s\n' "$run" "${demo_outcome[$run]}" "${demo_how[$run]}"
done
for name in "${step_names[@]}"; do
  printf '%-20s %-8s %s\n' "$name" "${step_outcome[$name]}" "${step_how[$name]}"
done
printf 'arm64 toolchain: %s\n' "${toolchain_arm64_how:-${VDQRN_NO_ARM64_WHY:-?}}"
printf 'seconds: %s\n' "arm64 toolchain ${took[toolchain-arm64]:-?} and arm64 system ${took[arm64-system]:-?} (in the background, beside the builds), fresh Debian 12 check ${took[fresh]:-?}, Debian 11 sysroots ${took[sysroots]:-?}, Debian 11 system ${took[system]:-?}, builds linux-x64 ${took[build-linux-x64]:-?}, linux-armhf ${took[build-linux-armhf]:-?}, linux-arm64 ${took[build-linux-arm64]:-?}; suites linux-armhf ${took[suite-armhf]:-?}, linux-arm64 ${took[suite-arm64]:-?}, windows-arm64 ${took[suite-arm64-win]:-?} (its arm64 system ${took[arm64-system]:-?}); Debian 11 demos ${took[demos]:-?}"
if command -v ccache >/dev/null; then
  compilations=$(ccache --print-stats | awk '$1 ~ /^(direct|preprocessed)_cache_hit$/ {hits += $2}
    $1 == "cache_miss" {misses = $2} END {printf "%d compilations found, %d made", hits, misses}')
  echo "Compiler cache (${CCACHE_DIR:-ccache default}): $compilations"
fi
echo "Wall time of each step, $((SECONDS / 60)) min $((SECONDS % 60)) s in all:"
printf '  %s\n' "${step_times[@]}"
not_run_lines=()
while IFS= read -r line; do
  not_run_lines+=("$line")
done < <(cat "${installer_summaries[@]}" 2>/dev/null | grep 'NOT RUN' || true)
for preset in "${suites[@]}"; do
  case "${outcome[$preset]} ${how[$preset]}" in
    *"NOT RUN"*) not_run_lines+=("$preset: ${how[$preset]}") ;;
  esac
done
for run in "${demo_runs[@]}"; do
  case "${demo_outcome[$run]} ${demo_how[$run]}" in
    *"NOT RUN"*) not_run_lines+=("$run: ${demo_how[$run]}") ;;
  esac
done
for name in "${step_names[@]}"; do
  case "${step_outcome[$name]} ${step_how[$name]}" in
    *"NOT RUN"*) not_run_lines+=("$name: ${step_how[$name]}") ;;
  esac
done
not_run_lines+=("${packages_not_run[@]}")
if [ ${#not_run_lines[@]} -gt 0 ]; then
  loud "NOT RUN HERE, AND NOT COUNTED AS PASSED:" "${not_run_lines[@]}"
fi
exit $status
