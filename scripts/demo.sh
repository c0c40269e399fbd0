#!/usr/bin/env bash
# The demo: builds the driver module, the simulated instrument and the engine
# simulator natively (the linux preset), then plays examples/session.txt
# through them and prints every command with its response. Run as root on a
# fresh Debian machine, it first installs what the build needs. Exits non-zero
# unless every command got a response.
#
#   scripts/demo.sh                     build folder build/linux
#   DEMO_BUILD_DIR=DIR scripts/demo.sh  build folder DIR
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

# The linux preset also configures the test suite, hence googletest.
install_packages cmake make g++ libboost-dev googletest

build=${DEMO_BUILD_DIR:-build/linux}
step "build ($build)"
cmake --preset linux -B "$build" >/dev/null
cmake --build "$build" -j "$(nproc)" --target vdqrn simspectro engine_sim_cli

step "session: examples/session.txt"
# From the binaries' folder, where Init|simspectro| finds ./simspectro.so.
session="$PWD/examples/session.txt"
cd "$build/bin"
./engine_sim --script "$session"
