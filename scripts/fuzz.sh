#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan + UBSan) and runs each of them.
#   scripts/fuzz.sh [SECONDS_PER_TARGET]   (default 600)
# Findings are written to build/linux-fuzz/findings/<target>/; the corpus a
# run grows is kept in build/linux-fuzz/corpus/<target>/ for the next run.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh
seconds=${1:-600}

install_packages clang libclang-rt-14-dev libboost-dev cmake make
cmake --preset linux-fuzz >/dev/null
cmake --build --preset linux-fuzz -j "$(nproc)"

bin=$PWD/build/linux-fuzz/bin
status=0
for fuzzer in "$bin"/fuzz_*; do
  name=${fuzzer##*/fuzz_}
  corpus=$PWD/build/linux-fuzz/corpus/$name findings=$PWD/build/linux-fuzz/findings/$name
  mkdir -p "$corpus" "$findings"
  dict=()
  [ -f "fuzz/$name.dict" ] && dict=(-dict="$PWD/fuzz/$name.dict")
  step "fuzz $name for ${seconds}s"
  if (cd "$bin" && "$fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$findings/" "${dict[@]}" \
        "$corpus" "$PWD/fuzz/corpus/$name" 2>&1 | grep -E '^(INFO: (seed|-max)|#[0-9]+ *DONE|stat::|==[0-9]+==ERROR|SUMMARY)'); then :; fi
  if ls "$findings"/crash-* "$findings"/leak-* "$findings"/timeout-* >/dev/null 2>&1; then
    echo "fuzz $name: FINDINGS in $findings" >&2
    status=1
  else
    echo "fuzz $name: no findings"
  fi
done
exit $status
