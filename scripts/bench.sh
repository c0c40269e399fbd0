#!/usr/bin/env bash
# Builds the native benchmarks and runs them; prints the table of the command
# cycle against its log floors, the interpreter's cost per decade of command
# size, and the resident memory over a long session.
#   scripts/bench.sh [--quick] [BUILD_DIR]     (default build/linux)
# --quick runs each benchmark briefly: it proves that they run, not how fast.
# The raw results are kept in BUILD_DIR/bench.json. The targets are reported,
# never enforced: the exit status is non-zero only when a benchmark fails.
# Where the kernel does not run 32-bit code natively (or VDQRN_NO_NATIVE_32BIT
# is set), the rows through the 32-bit instrument host are not run and the
# table says why in their place.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

min_time=1
quick=()
if [ "${1:-}" = "--quick" ]; then
  min_time=0.02
  quick=(--quick)
  shift
fi
build=$(realpath -m "${1:-build/linux}")

install_packages libboost-dev googletest libbenchmark-dev cmake ninja-build ccache g++ python3 \
  g++-i686-linux-gnu
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake --preset linux -B "$build" >/dev/null
fi
cmake --build "$build" -j "$(nproc)" --target bench_driver vdqrn vdqrn_windows_engine simspectro qrnhost

# The cycles through the instrument host need the 32-bit host and simulated
# instrument beside the module, and a machine that runs them natively: a
# timing under an emulator measures the emulator.
no_host=()
filter=()
if why=$(runs_32_bit_code_natively); then
  set_aside_i386_emulators
  cmake --preset linux-x86 >/dev/null
  cmake --build --preset linux-x86 -j "$(nproc)" --target qrnhost simspectro
  cp build/linux-x86/bin/qrnhost32 "$build/bin/qrnhost32"
  cp build/linux-x86/bin/simspectro.so "$build/bin/simspectro32.so"
else
  why="the kernel does not run 32-bit code natively ($why); a timing under an emulator would measure the emulator, not the host"
  loud "No cycles through the instrument host: $why."
  no_host=(--no-host "$why")
  filter=(--benchmark_filter='-^(host/|round_trip/host|paced/host|busy/)')
fi

step "benchmarks (about $([ "$min_time" = 1 ] && echo "a minute" || echo "half a minute"))"
# The cycles load ./vdqrn.so (high-performance mode: ./vdqrn-windows-engine.so)
# and ./simspectro.so from the binaries' folder.
(
  cd "$build/bin"
  ./bench_driver --benchmark_min_time="$min_time" --benchmark_out="$build/bench.json" \
    --benchmark_out_format=json "${filter[@]}" >/dev/null
)
python3 scripts/bench_table.py "${quick[@]}" "${no_host[@]}" "$build/bench.json"
