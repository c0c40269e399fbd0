#!/usr/bin/env bash
# Runs the long session (tests/faults/long_session.cc) under valgrind's
# memcheck: thousands of commands through the built driver module, both modes,
# two loads of the module. Fails on any memory error and on any block
# definitely or indirectly lost; "still reachable" blocks (what the dynamic
# loader keeps) are allowed.
#   scripts/valgrind.sh [BUILD_DIR] [ROUNDS]   (default build/linux, 20 rounds)
# BUILD_DIR must be a configured build of the linux preset (no sanitizers).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh
dir=${1:-build/linux}
rounds=${2:-20}

install_packages valgrind
if [ ! -f "$dir/CMakeCache.txt" ]; then
  echo "valgrind.sh: $dir is not a configured build folder (cmake --preset linux)" >&2
  exit 2
fi
step "build long_session in $dir"
cmake --build "$dir" --target long_session -j "$(nproc)"

step "memcheck: long_session $rounds"
cd "$dir/bin"
valgrind --quiet --leak-check=full --show-leak-kinds=definite,indirect \
  --errors-for-leak-kinds=definite,indirect --error-exitcode=99 \
  ./long_session "$rounds"
echo "valgrind: no memory errors, nothing lost"
