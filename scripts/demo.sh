#!/usr/bin/env bash
# The demo: builds the driver module, the simulated instrument and the engine
# simulator natively (the linux preset), then plays examples/session.txt
# through them and prints every command with its response. Then one short
# conversation with a 32-bit simulated instrument behind the 64-bit module,
# through the 32-bit instrument host (built by the linux-x86 preset), with the
# driver's log, where the host's lines show. Run as root on a fresh Debian
# machine, it first installs what the builds need. Exits non-zero unless
# every command got a response.
#
#   scripts/demo.sh                     build folder build/linux
#   DEMO_BUILD_DIR=DIR scripts/demo.sh  build folder DIR
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

# The linux preset also configures the test suite, hence googletest.
install_packages cmake make g++ libboost-dev googletest g++-i686-linux-gnu qemu-user

build=${DEMO_BUILD_DIR:-build/linux}
step "build ($build)"
cmake --preset linux -B "$build" >/dev/null
cmake --build "$build" -j "$(nproc)" --target vdqrn simspectro engine_sim_cli

step "session: examples/session.txt"
# From the binaries' folder, where Init|simspectro| finds ./simspectro.so.
session="$PWD/examples/session.txt"
(cd "$build/bin" && ./engine_sim --script "$session")

arrange_32_bit_code
case "$run32" in
  native) ;;
  binfmt) echo "32-bit programs run here $(describe_32_bit_linux) ($run32_why)" ;;
  *)
    loud "No conversation through the 32-bit instrument host: $run32_why."
    exit 0
    ;;
esac
step "build the 32-bit instrument host and simulated instrument (build/linux-x86)"
cmake --preset linux-x86 >/dev/null
cmake --build --preset linux-x86 -j "$(nproc)" --target qrnhost simspectro
cp build/linux-x86/bin/qrnhost32 "$build/bin/qrnhost32"
cp build/linux-x86/bin/simspectro.so "$build/bin/simspectro32.so"

step "session through the instrument host: a 32-bit library behind the 64-bit module"
cd "$build/bin"
printf '%s\n' 'Init|simspectro32|' Connect GetSerialNumber Measure 'GetSpectralDataAll|1|' \
  Disconnect | ./engine_sim --log
