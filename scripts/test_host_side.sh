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
# (examples/HostApp.cs on QrnClient.cs, compiled with mcs, run with mono) and
# the Python one (examples/host_app.py on qrnclient.py), both finding
# libqrnclient.so by QRNCLIENT_LIBRARY; each example, against an instrument
# that does not connect and one that measures nothing (recordingspectro
# answering false, or -1 for every value), says so with the instrument's own
# error and exits with 1, printing no values; the native programs find
# libwfapi.so beside them without LD_LIBRARY_PATH; a second program is
# refused as busy while one is served; and each diagnosis shows with its
# exit code: the allow list refusing the program (6, with the entries to
# add, which then let it in), no driver on the client (8), the library
# missing (9). The C listing of docs/protocol.md must be examples/host_app.c.
# Natively also the modules' own tests
# (server/client/python/test_qrnclient.py, under python3 and under Python
# 3.7 where one is installed; server/client/csharp/QrnClientTests.cs under
# mono): every status of the header by number and name, a measurement, the
# instrument's false and -1 raised, a time-out, two threads on one session,
# a closed session refusing calls, the library found from another folder.
# The Linux host kit (vdqrn-host-kit-linux-x64.tar.gz, packed here from the
# linux-x64 preset): its qrnctl checks the path, and its C, Python and C#
# examples, built and run from the kit as its docs say, measure. And, as on a
# host developer's Windows desk, qrnctl.exe against engine_sim.exe --listen
# under wine64. Prints one summary line per qrnctl and per part (also
# written to BUILD_ROOT/host-side/summary.txt): passed, FAILED or NOT RUN,
# and how it ran. Exits non-zero when one failed.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

# The Python example's interpreter, the C example's compiler (for the host
# kit), and the C# example's compiler and runtime: where these cannot be
# installed, the C# example and module alone are NOT RUN.
install_packages python3 gcc
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

  listener=(env "VDQRN_RECORDING_STATE=$fault_state" ./engine_sim)
  listen "$name-faulty"
  listener=(./engine_sim)
  local faulty=$address saved=("${qrnctl[@]}")
  qrnctl=("${host_app[@]}")
  check_example "the C example on qrnclient" "$out-host-app"
  if [ -n "${other_languages:-}" ]; then
    # The modules find libqrnclient.so by QRNCLIENT_LIBRARY, from this folder.
    if [ -z "$csharp_why" ]; then
      qrnctl=(env "QRNCLIENT_LIBRARY=$linux_bin/libqrnclient.so" mono "$work/HostApp.exe")
      check_example "the C# example under mono" "$out-csharp"
    fi
    qrnctl=(env "QRNCLIENT_LIBRARY=$linux_bin/libqrnclient.so"
      "PYTHONPATH=$PWD/server/client/python" python3 "$PWD/examples/host_app.py")
    check_example "the Python example" "$out-python"
  fi
  qrnctl=("${saved[@]}")
  if [ -n "${other_languages:-}" ]; then
    listen "$name-silent" --no-driver
    local silent=$address
    check "the Python module's tests under $(python3 --version 2>&1)" \
      python_module_tests python3 "$client" "$silent" "$out-python-module.txt"
    if [ -n "$python37" ]; then
      check "and under $("$python37" --version 2>&1)" \
        python_module_tests "$python37" "$client" "$silent" "$out-python37-module.txt"
    fi
    if [ -z "$csharp_why" ]; then
      check "the C# module's tests under mono" shows_on_failure "$out-csharp-module.txt" \
        env "QRNCLIENT_LIBRARY=$linux_bin/libqrnclient.so" timeout -k 5 120 \
        mono "$work/QrnClientTests.exe" "$PWD/server/client/include/qrnclient.h" "$client" "$silent"
    fi

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

# The instrument faults each example must report: recordingspectro's script
# (VDQRN_RECORDING_STATE; its first line: what its bool, number and float
# entry points return, the float as its bits; its second: its texts), and
# what the example must say. 3212836864 is -1.0 as a float's bits.
fault_state="$work/recording-state"
mkdir -p "$fault_state"
faults=(no-connect no-data)
declare -A fault_script=(
  [no-connect]=$'0 1 0 0 0\nInstrument not connected'
  [no-data]=$'1 4 3212836864 0 0\nNo measurement data')
declare -A fault_what=(
  [no-connect]="an instrument that does not connect"
  [no-data]="an instrument that measures nothing (-1 for every value)")
declare -A fault_said=(
  [no-connect]="Connect: the instrument answered false"
  [no-data]="GetSpectralDataAll|0|: the instrument answered -1, its value for none")
declare -A fault_error=(
  [no-connect]="(its error 1: Instrument not connected)"
  [no-data]="(its error 4: No measurement data)")

# Runs an example, the command in `qrnctl`: against the client it measures
# and prints the 31 values; against the faulty one (recordingspectro) it
# reports each fault with the instrument's error and exits with 1, printing
# no values.
#   check_example WHAT FILE_PREFIX     (with client and faulty set)
check_example() {
  local what=$1 out=$2 fault
  qrnctl_at "$client" "$out.txt"
  check "$what measures (exit code $code)" equal "$code" 0
  check "and prints the 31 values" equal "$(values_in "$out.txt")" 31
  for fault in "${faults[@]}"; do
    printf '%s' "${fault_script[$fault]}" >"$fault_state/script"
    qrnctl_at "$faulty" "$out-$fault.txt" recordingspectro
    check "given ${fault_what[$fault]}, it exits with 1 (exit code $code)" equal "$code" 1
    check "saying so" contains "$out-$fault.txt" "${fault_said[$fault]}"
    check "with the instrument's error" contains "$out-$fault.txt" "${fault_error[$fault]}"
    check "and prints no values" equal "$(values_in "$out-$fault.txt")" 0
  done
}

# Runs a command with its output in FILE, shown when it fails.
#   shows_on_failure FILE COMMAND...
shows_on_failure() {
  local file=$1
  shift
  "$@" >"$file" 2>&1 && return 0
  sed 's/^/    | /' "$file" | tail -40
  return 1
}

# qrnclient.py's tests under an interpreter, against the client and the
# silent listener (no driver: nothing answers).
#   python_module_tests PYTHON CLIENT SILENT FILE
python_module_tests() {
  (cd server/client/python &&
    shows_on_failure "$4" env "QRNCLIENT_LIBRARY=$linux_bin/libqrnclient.so" \
      "QRN_STANDIN_ADDRESS=$2" "QRNCLIENT_TEST_SILENT=$3" \
      "QRNCLIENT_TEST_HEADER=$PWD/../include/qrnclient.h" \
      timeout -k 5 300 "$1" -m unittest -v test_qrnclient)
}

# The number of "NNN nm: value" lines in a file.
values_in() { grep -cE '^[0-9]+ nm: [-+0-9.eEinfa]+$' "$1" || true; }

result() { printf '%-16s %-8s %s\n' "$1" "$2" "$3" | tee -a "$summary"; }

status=0
# The protocol guide's C listing is the example that the tests build and run.
step "host side: the guide's C listing"
failures=()
awk '/^### A minimal example in C/ { found = 1 } found && listing && /^```$/ { exit }
  listing { print } found && /^```c$/ { listing = 1 }' docs/protocol.md >"$work/listing.c"
check "docs/protocol.md's C listing is examples/host_app.c" same_file "$work/listing.c" \
  examples/host_app.c
if [ ${#failures[@]} -eq 0 ]; then
  result guide-listing passed "docs/protocol.md's C listing is examples/host_app.c"
else
  result guide-listing FAILED "docs/protocol.md's C listing differs from examples/host_app.c"
  status=1
fi

# libwfapi.so is found beside the programs and libqrnclient.so, without
# LD_LIBRARY_PATH; mono looks for libqrnclient.so on the library path.
qrnctl=("$linux_bin/qrnctl")
host_app=("$linux_bin/host_app")
unset LD_LIBRARY_PATH
other_languages=1
# qrnclient.py claims Python 3.7: its tests run under a 3.7 interpreter
# where one is installed (pyenv's included); elsewhere its syntax is checked
# against 3.7's grammar only, and the summary says so.
python37=
pyenv_root=$(pyenv root 2>/dev/null || echo /nonexistent)
for candidate in python3.7 "$pyenv_root"/versions/3.7*/bin/python3.7; do
  if "$candidate" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 7))' >/dev/null 2>&1; then
    python37=$candidate
    break
  fi
done
languages="C, C# (mono) and Python examples and modules"
if [ -z "$csharp_why" ]; then
  # As C# 5, the oldest language QrnClient.cs claims.
  mcs -langversion:5 -warnaserror -out:"$work/HostApp.exe" examples/HostApp.cs \
    server/client/csharp/QrnClient.cs
  mcs -langversion:5 -warnaserror -out:"$work/QrnClientTests.exe" \
    server/client/csharp/QrnClientTests.cs server/client/csharp/QrnClient.cs
else
  loud "THE C# EXAMPLE AND MODULE ARE NOT RUN: $csharp_why"
  languages="C and Python examples and modules"
fi
[ -n "$python37" ] && languages="$languages; Python 3.7 too"
test_qrnctl qrnctl-linux "native, libwfapi.so to engine_sim --listen; $languages"
other_languages=
[ -n "$csharp_why" ] && result csharp-example "NOT RUN" "$csharp_why"
if [ -z "$python37" ]; then
  loud "NO PYTHON 3.7 HERE: qrnclient.py's tests did not run under 3.7;" \
    "its syntax is checked against 3.7's grammar only"
  grammar=passed
  python3 -c 'import ast, sys; ast.parse(open(sys.argv[1]).read(), feature_version=(3, 7))' \
    server/client/python/qrnclient.py || { grammar=FAILED; status=1; }
  result python-3.7 "NOT RUN" "no Python 3.7 interpreter; the module's 3.7 grammar check $grammar"
fi

# The Linux host kit, packed from the linux-x64 preset (the glibc floor's
# build) into this folder, unpacked, and used as its docs say: the stand-in
# on the library path (standin/), the C example built from the kit, the
# Python example run from the kit's examples folder (its module and library
# in the kit's root), the C# example compiled from the kit and run beside
# the library. Each runs from a folder of its own.
step "host side: host kit linux-x64"
failures=()
kit_out="$work/kit"
if ! scripts/package.sh "$root" --only host-kit-linux-x64 --output "$kit_out" \
  >"$work/kit-pack.txt" 2>&1; then
  why=$(grep -m1 -E 'linux-x64|missing' "$work/kit-pack.txt" || head -1 "$work/kit-pack.txt")
  loud "THE LINUX HOST KIT IS NOT RUN: package.sh could not pack it: $why"
  result host-kit-linux "NOT RUN" "package.sh could not pack it (build the linux-x64 preset): $why"
else
  tar xzf "$kit_out/vdqrn-host-kit-linux-x64.tar.gz" -C "$kit_out"
  kit="$kit_out/vdqrn-host-kit-linux-x64"
  elsewhere="$kit_out/elsewhere"
  mkdir -p "$elsewhere"
  listen kit-client
  client=$address
  qrnctl=(env "LD_LIBRARY_PATH=$kit/standin" "$kit/qrnctl")
  qrnctl_at "$client" "$work/kit-check.txt" check --library simspectro
  check "the kit's qrnctl check --library simspectro exits with 0 (exit code $code)" equal "$code" 0
  check "the C example builds from the kit" shows_on_failure "$work/kit-cc.txt" \
    gcc -I "$kit/include" "$kit/examples/host_app.c" -L "$kit" -lqrnclient \
    -Wl,-rpath,"$kit" -o "$elsewhere/host_app"
  qrnctl=(env "LD_LIBRARY_PATH=$kit/standin" "$elsewhere/host_app")
  qrnctl_at "$client" "$work/kit-c.txt"
  check "and measures (exit code $code)" equal "$code" 0
  check "printing the 31 values" equal "$(values_in "$work/kit-c.txt")" 31
  qrnctl=(env -u QRNCLIENT_LIBRARY -u PYTHONPATH "LD_LIBRARY_PATH=$kit/standin" python3
    "$kit/examples/host_app.py")
  pushd "$elsewhere" >/dev/null
  qrnctl_at "$client" "$work/kit-python.txt"
  popd >/dev/null
  check "the Python example from the kit measures (exit code $code)" equal "$code" 0
  check "printing the 31 values" equal "$(values_in "$work/kit-python.txt")" 31
  if [ -z "$csharp_why" ]; then
    check "the C# example compiles with the kit's QrnClient.cs" shows_on_failure \
      "$work/kit-mcs.txt" mcs -langversion:5 -warnaserror -out:"$kit/HostApp.exe" \
      "$kit/examples/HostApp.cs" "$kit/QrnClient.cs"
    qrnctl=(env -u QRNCLIENT_LIBRARY "LD_LIBRARY_PATH=$kit/standin" mono "$kit/HostApp.exe")
    pushd "$elsewhere" >/dev/null
    qrnctl_at "$client" "$work/kit-csharp.txt"
    popd >/dev/null
    check "and finds the library beside it and measures (exit code $code)" equal "$code" 0
    check "printing the 31 values" equal "$(values_in "$work/kit-csharp.txt")" 31
  fi
  if [ ${#failures[@]} -eq 0 ]; then
    result host-kit-linux passed "the kit's qrnctl, and its C, Python and C# examples from the kit"
  else
    result host-kit-linux FAILED "failed: ${failures[*]}"
    status=1
  fi
fi

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
