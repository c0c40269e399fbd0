#!/usr/bin/env bash
# The demo: builds the driver module, the simulated instrument and the engine
# simulator natively (the linux preset), then plays examples/session.txt
# through them and prints every command with its response. Then, where
# 32-bit x86 code runs (natively or through qemu-i386), one short
# conversation with a 32-bit simulated instrument behind the 64-bit module,
# through the 32-bit instrument host (built by the linux-x86 preset), with
# the driver's log, where the host's lines show. Run as root on a fresh
# Debian machine, it first installs what the builds need, and for the host
# conversation what the 32-bit host needs (the i386 C library and libgcc_s,
# as docs/deployment.md tells users); where that cannot be installed, it
# says so loudly and leaves that conversation out.
#
# Exits non-zero when a conversation it plays goes wrong: a command without
# a response, an ERROR answer where the example expects none (examples/
# session.txt expects one, to the unknown command "Zero"), or a host
# conversation that does not connect, measure and read 31 values.
#
#   scripts/demo.sh                     build folder build/linux
#   DEMO_BUILD_DIR=DIR scripts/demo.sh  build folder DIR
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

# The linux preset also configures the test suite, hence googletest; the
# 32-bit compiler builds the probe that tells whether 32-bit code runs.
install_packages cmake ninja-build ccache g++ libboost-dev googletest g++-i686-linux-gnu

build=${DEMO_BUILD_DIR:-build/linux}
step "build ($build)"
cmake --preset linux -B "$build" >/dev/null
cmake --build "$build" -j "$(nproc)" --target vdqrn simspectro engine_sim_cli

# Fails, saying why, when a transcript (engine_sim's "> command" and
# "< response" lines) holds an ERROR answer to a command not named.
#   errors_only_where_expected TRANSCRIPT [COMMAND...]
errors_only_where_expected() {
  local transcript=$1 command= line expected ok=0
  shift
  while IFS= read -r line; do
    case "$line" in
      "> "*) command=${line#> } ;;
      "< ERROR"*)
        expected=no
        for name in "$@"; do [ "$command" = "$name" ] && expected=yes; done
        if [ "$expected" = no ]; then
          echo "unexpected answer to $command: ${line#< }" >&2
          ok=1
        fi
        ;;
    esac
  done <"$transcript"
  return $ok
}
# Fails, saying why, unless COMMAND was answered with a line matching the
# extended regular expression.
#   answered TRANSCRIPT COMMAND REGEX
answered() {
  grep -A1 -xF "> $2" "$1" | grep -qE "^< $3\$" && return 0
  echo "$2 was not answered as it should be ($3)" >&2
  return 1
}

# The transcripts stay in the build folder, for a look after a failure.
transcripts="$(cd "$build" && pwd)/demo"
mkdir -p "$transcripts"

step "session: examples/session.txt"
# From the binaries' folder, where Init|simspectro| finds ./simspectro.so.
session="$PWD/examples/session.txt"
(cd "$build/bin" && ./engine_sim --script "$session") | tee "$transcripts/session.txt"
errors_only_where_expected "$transcripts/session.txt" Zero ||
  fail_demo=1
answered "$transcripts/session.txt" Zero 'ERROR\|Unknown command "Zero"' || fail_demo=1
if [ -n "${fail_demo:-}" ]; then
  loud "THE DEMO CONVERSATION WENT WRONG (see above)."
  exit 1
fi

# 32-bit code: natively, or through qemu-i386 (installed only where the
# kernel does not run it).
arrange_32_bit_code
if [ "$run32" = emulator ] || [ "$run32" = none ]; then
  # Without Debian's binfmt_misc registration among its recommends: this
  # script registers the emulator itself, for its own run only.
  apt_install_options=(--no-install-recommends)
  if install_group qemu qemu-user; then
    arrange_32_bit_code
  else
    run32_why="$run32_why; ${install_why[qemu]}"
  fi
fi
case "$run32" in
  native) ;;
  binfmt) echo "32-bit programs run here $(describe_32_bit_linux) ($run32_why)" ;;
  *)
    loud "NO CONVERSATION THROUGH THE 32-BIT INSTRUMENT HOST: 32-bit programs cannot be started here ($run32_why)."
    exit 0
    ;;
esac
if ! install_group host32 libc6:i386 libgcc-s1:i386; then
  loud "NO CONVERSATION THROUGH THE 32-BIT INSTRUMENT HOST: what it needs could not be installed:" \
    "${install_why[host32]}"
  exit 0
fi
step "build the 32-bit instrument host and simulated instrument (build/linux-x86)"
cmake --preset linux-x86 >/dev/null
# With the 32-bit test libraries, which the everyday loop's host tests take.
cmake --build --preset linux-x86 -j "$(nproc)" --target qrnhost simspectro recordingspectro \
  missingexport
cp build/linux-x86/bin/qrnhost32 "$build/bin/qrnhost32"
cp build/linux-x86/bin/simspectro.so "$build/bin/simspectro32.so"

step "session through the instrument host: a 32-bit library behind the 64-bit module"
printf '%s\n' 'Init|simspectro32|' Connect GetSerialNumber Measure 'GetSpectralDataAll|1|' \
  Disconnect >"$transcripts/host-commands.txt"
(cd "$build/bin" && ./engine_sim --log --script "$transcripts/host-commands.txt") |
  tee "$transcripts/host.txt"
host_ok=0
errors_only_where_expected "$transcripts/host.txt" || host_ok=1
answered "$transcripts/host.txt" 'Init|simspectro32|' 'OK' || host_ok=1
answered "$transcripts/host.txt" Connect 'OK\|true' || host_ok=1
answered "$transcripts/host.txt" Measure 'OK\|true' || host_ok=1
answered "$transcripts/host.txt" 'GetSpectralDataAll|1|' 'OK\|[0-9.]+(;[0-9.]+){30}' || host_ok=1
grep -qF "Instrument host started (32-bit x86" "$transcripts/host.txt" || {
  echo "the log shows no 32-bit instrument host" >&2
  host_ok=1
}
if [ "$host_ok" -ne 0 ]; then
  loud "THE CONVERSATION THROUGH THE 32-BIT INSTRUMENT HOST WENT WRONG (see above)."
  exit 1
fi
echo "The conversation through the 32-bit instrument host answered as the in-process one does."
