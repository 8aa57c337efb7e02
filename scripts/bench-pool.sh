#!/usr/bin/env bash
# Builds and runs the local pool's benchmark: one allocation and commit with
# an empty journal against one with 100,000 earlier units (target: at most
# 1.2 times the host time). Prints PASS/MISS and exits 0 whatever it says (a
# failed build or a crash still fails).
#   scripts/bench-pool.sh [ROUNDS]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
jobs=${ZEMB_JOBS:-2}
build=${ZEMB_BUILD_DIR:-$top/build/native}
if [ -n "${ZEMB_BUILD_DIR:-}" ]; then
  cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo > /dev/null
else
  cmake --preset native > /dev/null
fi
cmake --build "$build" -j "$jobs" --target zemb_pool_bench > /dev/null
exec "$build/bench/zemb_pool_bench" "$@"
