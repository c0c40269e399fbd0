#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan + UBSan) and runs each of them.
#   scripts/fuzz.sh [SECONDS_PER_TARGET] [BUILD_DIR]
#   (defaults: 600 seconds, build/linux-fuzz)
# Findings of the run are written to BUILD_DIR/findings/<target>/ (emptied at
# the start of each run); the corpus a run grows is kept in
# BUILD_DIR/corpus/<target>/ for the next run, and the seeds in
# fuzz/corpus/<target>/ are read as well, never written.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh
seconds=${1:-600}
build=$(realpath -m "${2:-build/linux-fuzz}")

install_packages clang libclang-rt-14-dev libboost-dev cmake ninja-build ccache
cmake --preset linux-fuzz -B "$build" >/dev/null
cmake --build "$build" -j "$(nproc)"

bin=$build/bin
status=0
for fuzzer in "$bin"/fuzz_*; do
  name=${fuzzer##*/fuzz_}
  corpus=$build/corpus/$name findings=$build/findings/$name seeds=$PWD/fuzz/corpus/$name
  rm -rf "$findings"
  mkdir -p "$corpus" "$findings"
  dict=()
  [ -f "fuzz/$name.dict" ] && dict=(-dict="$PWD/fuzz/$name.dict")
  step "fuzz $name for ${seconds}s"
  # The targets load the module and the instrument libraries from their own
  # folder, and write scratch files there.
  log=$build/fuzz_$name.log
  result=0
  (cd "$bin" && "$fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
     -print_final_stats=1 -artifact_prefix="$findings/" "${dict[@]}" \
     "$corpus" "$seeds") >"$log" 2>&1 || result=$?
  grep -E '^(INFO: (seed|-max)|stat::|==[0-9]+==ERROR|SUMMARY|fuzz_[a-z]+: )' "$log" || true
  # The last status line: executions, coverage (cov), features (ft), corpus.
  grep -E '^#[0-9]+' "$log" | tail -1 || true
  if [ -n "$(ls -A "$findings")" ]; then
    echo "fuzz $name: FINDINGS in $findings (output in $log)" >&2
    status=1
  elif [ "$result" -ne 0 ]; then
    echo "fuzz $name: exited with status $result (output in $log)" >&2
    status=1
  else
    echo "fuzz $name: no findings"
  fi
done
exit $status
