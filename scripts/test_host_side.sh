#!/usr/bin/env bash
# The host side end to end, without a server:
#
#   scripts/test_host_side.sh [BUILD_ROOT]     (default BUILD_ROOT: build)
#
# qrnctl, and the client library under it, talks through the stand-in of the
# platform's channel functions, over TCP on this machine, to
# `engine_sim --listen`, which plays the client with the real driver module
# and simspectro (the linux preset's). For each qrnctl that runs here: the
# native Linux one (with libwfapi.so), the windows-x64 one under wine64 (with
# wfapi64.dll) and the windows-x86 one under 32-bit wine (with wfapi.dll,
# where 32-bit wine starts): `check --library simspectro` passes; the demo
# conversation (examples/session.txt) prints exactly what engine_sim prints
# for it in process; the C example on the client library (examples/host_app.c)
# measures and prints the 31 values, and natively so do the C# example
# (examples/HostApp.cs, compiled with mcs, run with mono) and the Python one
# (examples/host_app.py, ctypes), both on libqrnclient.so; the native
# programs find libwfapi.so beside them without LD_LIBRARY_PATH; a second
# program is refused as busy while one is served; and each diagnosis shows
# with its exit code: the allow
# list refusing the program (6, with the entries to add, which then let it
# in), no driver on the client (8), the library missing (9). And, as on a
# host developer's Windows desk, qrnctl.exe against engine_sim.exe --listen
# under wine64. Prints one
# summary line per qrnctl (also written to BUILD_ROOT/host-side/summary.txt):
# passed, FAILED or NOT RUN, and how it ran. Exits non-zero when one failed.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

# The Python example's interpreter, and the C# example's compiler and
# runtime: where these cannot be installed, the C# example alone is NOT RUN.
install_packages python3
csharp_why=
install_group mono mono-mcs mono-runtime || csharp_why=${install_why[mono]}

root=$(cd "${1:-build}" && pwd)
work="$root/host-side"
rm -rf "$work"
mkdir -p "$work"
summary="$work/summary.txt"
: >"$summary"
session="$PWD/examples/session.txt"
linux_bin="$root/linux/bin"
export WINEDEBUG=-all

listeners=()
stop_listeners() {
  local pid
  for pid in "${listeners[@]}"; do kill "$pid" 2>/dev/null || true; done
  return 0
}
trap stop_listeners EXIT

# Starts engine_sim --listen on a free loopback port with the options given;
# sets `address` to where it listens.
#   listen NAME [engine_sim options]
# The engine_sim that listens, started in its folder: the linux preset's
# unless set otherwise.
listener_folder=$linux_bin
listener=(./engine_sim)
listen() {
  local name=$1 ready="$work/$1.address"
  shift
  (cd "$listener_folder" && exec "${listener[@]}" --listen 127.0.0.1:0 --ready-file "$ready" "$@" \
    >"$work/$name.log" 2>&1) &
  listeners+=($!)
  local tries
  for tries in $(seq 300); do
    [ -s "$ready" ] && break
    sleep 0.1
  done
  address=$(tr -d '\n' <"$ready" 2>/dev/null || true)
  [ -n "$address" ] || { echo "engine_sim --listen $* did not start:"; cat "$work/$name.log"; return 1; }
}

failures=()
equal() { [ "$1" = "$2" ] || { echo "    got:      $1"; echo "    expected: $2"; return 1; }; }
contains() { grep -qaF -- "$2" "$1" || { echo "    not in the output:"; sed 's/^/    | /' "$1"; return 1; }; }
same_file() { cmp -s "$1" "$2" || { diff "$1" "$2" | head -20 | sed 's/^/    /'; return 1; }; }

# Runs qrnctl with the stand-in pointed at an address; output to FILE, exit
# code in `code`.
#   qrnctl_at ADDRESS FILE [arguments]
qrnctl_at() {
  local at=$1 out=$2
  shift 2
  local tries
  for tries in 1 2 3; do
    code=0
    QRN_STANDIN_ADDRESS="$at" timeout -k 5 120 "${qrnctl[@]}" "$@" >"$out" 2>&1 || code=$?
    wine_failed_to_start "$out" || break
  done
  # Wine writes the console's line ends.
  sed -i 's/\r$//' "$out"
}

# The conversation as engine_sim prints it in process: what qrnctl must print.
(cd "$linux_bin" && ./engine_sim --script "$session") >"$work/expected-session.txt"

# test_qrnctl NAME: with qrnctl=(command...) set.
test_qrnctl() {
  local name=$1 out="$work/$1"
  failures=()
  step "host side: $name"
  listen "$name-client"
  local client=$address
  qrnctl_at "$client" "$out-check.txt" check --library simspectro
  check "check --library simspectro exits with 0 (exit code $code)" equal "$code" 0
  check "it found the driver's version" contains "$out-check.txt" "driver: version $(product_version) answers on the client"
  check "and connected the instrument" contains "$out-check.txt" "All is well."
  check "its verdict comes first" equal "$(head -1 "$out-check.txt")" "All is well."
  qrnctl_at "$client" "$out-json.txt" check --json
  check "check --json prints one JSON object with the exit code's name (exit code $code)" \
    python3 -c 'import json, sys; v = json.load(open(sys.argv[1])); sys.exit(v["exit_name"] != "ok" or v["exit_code"] != 0)' \
    "$out-json.txt"

  qrnctl_at "$client" "$out-session.txt" --script "$session"
  check "the demo conversation (exit code $code)" equal "$code" 0
  check "prints what engine_sim prints" same_file "$out-session.txt" "$work/expected-session.txt"

  local saved=("${qrnctl[@]}")
  qrnctl=("${host_app[@]}")
  qrnctl_at "$client" "$out-host-app.txt"
  qrnctl=("${saved[@]}")
  check "the C example on qrnclient measures (exit code $code)" equal "$code" 0
  check "and prints the 31 values" equal "$(values_in "$out-host-app.txt")" 31
  if [ -n "${other_languages:-}" ]; then
    if [ -z "$csharp_why" ]; then
      qrnctl=(env "LD_LIBRARY_PATH=$linux_bin" mono "$work/HostApp.exe")
      qrnctl_at "$client" "$out-csharp.txt"
      check "the C# example under mono measures (exit code $code)" equal "$code" 0
      check "and prints the 31 values" equal "$(values_in "$out-csharp.txt")" 31
    fi
    qrnctl=(python3 "$PWD/examples/host_app.py" "$linux_bin/libqrnclient.so")
    qrnctl_at "$client" "$out-python.txt"
    check "the Python example measures (exit code $code)" equal "$code" 0
    check "and prints the 31 values" equal "$(values_in "$out-python.txt")" 31
    qrnctl=("${saved[@]}")

    # While a program holds the session, another is refused at once as busy.
    local holder holding hold
    holder=$(mktemp -u)
    mkfifo "$holder"
    (QRN_STANDIN_ADDRESS="$client" "${qrnctl[@]}" <"$holder" >/dev/null 2>&1) &
    holding=$!
    exec {hold}>"$holder"
    echo Hello >&$hold
    sleep 2
    qrnctl_at "$client" "$out-busy.txt" check
    exec {hold}>&-
    wait "$holding" || true
    rm -f "$holder"
    check "a second program is refused as busy (exit code $code)" equal "$code" 7
    check "and told why" contains "$out-busy.txt" "engine_sim --listen serves another program"
  fi

  qrnctl_at "$client" "$out-missing.txt" check --library nosuchlibrary
  check "a missing library exits with 9 (exit code $code)" equal "$code" 9
  check "and says so" contains "$out-missing.txt" 'instrument library "nosuchlibrary" did not load on the client'

  listen "$name-nodriver" --no-driver
  qrnctl_at "$address" "$out-nodriver.txt" check --timeout 1000
  check "no driver on the client exits with 8 (exit code $code)" equal "$code" 8
  check "and says so" contains "$out-nodriver.txt" "the driver did not answer within 1 s"

  listen "$name-denied" --allow 'QrnCmd1,C:\Other\program.exe' --allow 'QrnDta1,C:\Other\program.exe'
  qrnctl_at "$address" "$out-denied.txt" check
  check "the allow list's refusal exits with 6 (exit code $code)" equal "$code" 6
  check "and names the policy" contains "$out-denied.txt" "allow list"
  local entries=()
  mapfile -t entries < <(sed -n 's/^  \(QrnCmd1,.*\)$/\1/p; s/^  \(QrnDta1,.*\)$/\1/p' "$out-denied.txt")
  check "with an entry for each channel" equal "${#entries[@]}" 2
  if [ ${#entries[@]} -eq 2 ]; then
    listen "$name-allowed" --allow "${entries[0]}" --allow "${entries[1]}"
    qrnctl_at "$address" "$out-allowed.txt" check
    check "the entries it printed let it in (exit code $code)" equal "$code" 0
  fi

  if [ ${#failures[@]} -eq 0 ]; then
    result "$name" passed "$2"
  else
    result "$name" FAILED "$2; failed: ${failures[*]}"
    status=1
  fi
}

# The number of "NNN nm: value" lines in a file.
values_in() { grep -cE '^[0-9]+ nm: [-+0-9.eEinfa]+$' "$1" || true; }

result() { printf '%-16s %-8s %s\n' "$1" "$2" "$3" | tee -a "$summary"; }

status=0
# libwfapi.so is found beside the programs and libqrnclient.so, without
# LD_LIBRARY_PATH; mono looks for libqrnclient.so on the library path.
qrnctl=("$linux_bin/qrnctl")
host_app=("$linux_bin/host_app")
unset LD_LIBRARY_PATH
other_languages=1
if [ -z "$csharp_why" ]; then
  mcs -warnaserror -out:"$work/HostApp.exe" examples/HostApp.cs
  test_qrnctl qrnctl-linux "native, libwfapi.so to engine_sim --listen; C, C# (mono) and Python examples"
else
  loud "THE C# EXAMPLE IS NOT RUN: $csharp_why"
  test_qrnctl qrnctl-linux "native, libwfapi.so to engine_sim --listen; C and Python examples"
  result csharp-example "NOT RUN" "$csharp_why"
fi
other_languages=

bin64="$root/windows-x64/bin"
qrnctl=(env "WINEPREFIX=$root/windows-x64/wineprefix" /usr/lib/wine/wine64 "$bin64/qrnctl.exe")
host_app=(env "WINEPREFIX=$root/windows-x64/wineprefix" /usr/lib/wine/wine64 "$bin64/host_app.exe")
test_qrnctl qrnctl-win64 "wine64, wfapi64.dll stand-in to engine_sim --listen"

# A host developer's Windows desk: engine_sim.exe --listen under wine64
# with the Windows module and simspectro.dll, and qrnctl.exe against it.
step "host side: engine_sim.exe --listen"
failures=()
listener_folder=$bin64
listener=(env "WINEPREFIX=$root/windows-x64/wineprefix" /usr/lib/wine/wine64 ./engine_sim.exe)
if listen windows-listener; then
  qrnctl_at "$address" "$work/windows-listener-check.txt" check --library simspectro
  check "qrnctl.exe check --library simspectro exits with 0 (exit code $code)" equal "$code" 0
  qrnctl_at "$address" "$work/windows-listener-session.txt" --script "$session"
  check "the demo conversation prints what engine_sim prints (exit code $code)" \
    same_file "$work/windows-listener-session.txt" "$work/expected-session.txt"
else
  failures+=("engine_sim.exe --listen did not start")
fi
stop_listeners
listeners=()
if [ ${#failures[@]} -eq 0 ]; then
  result listen-win64 passed "engine_sim.exe --listen and qrnctl.exe under wine64"
else
  result listen-win64 FAILED "engine_sim.exe --listen and qrnctl.exe under wine64; failed: ${failures[*]}"
  status=1
fi
listener_folder=$linux_bin
listener=(./engine_sim)

bin32="$root/windows-x86/bin"
prefix32="$root/windows-x86/wineprefix"
if ! why=$(runs_32_bit_code_natively); then
  result qrnctl-win32 "NOT RUN" "32-bit wine runs only where the kernel runs 32-bit code: $why"
elif ! why=$(wine32_starts "$prefix32"); then
  result qrnctl-win32 "NOT RUN" "$why"
else
  qrnctl=(env "WINEPREFIX=$prefix32" /usr/lib/wine/wine "$bin32/qrnctl.exe")
  host_app=(env "WINEPREFIX=$prefix32" /usr/lib/wine/wine "$bin32/host_app.exe")
  test_qrnctl qrnctl-win32 "32-bit wine, wfapi.dll stand-in to engine_sim --listen"
fi
exit $status
