#!/usr/bin/env bash
# Builds the benchmark with the native preset and runs it: the tools against
# the simulated device's timing model, each case beside its lower bound, with
# request counts, host CPU time, peak memory, zemb read and write against
# their measures, MAKE against cp, and one burn in
# real time. Takes a minute or so; prints PASS/MISS per target and exits 0
# whatever they say (a failed build or a crash still fails).
#   scripts/bench.sh [--quick] [--keep]
#   scripts/bench.sh --pause-ms 1.5,2.0   (only the own-driver 16 MiB BURN, with
#                                         pauses that last that long per 1 ms asked)
# ZEMB_BUILD_DIR=/some/dir builds there instead of the preset's build/native.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
jobs=${ZEMB_JOBS:-2}
if [ -n "${ZEMB_BUILD_DIR:-}" ]; then
  build=$ZEMB_BUILD_DIR
  cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo > /dev/null
  cmake --build "$build" -j "$jobs" --target zemb_bench > /dev/null
else
  build=$top/build/native
  cmake --preset native > /dev/null
  cmake --build --preset native -j "$jobs" --target zemb_bench > /dev/null
fi
exec "$build/bench/zemb_bench" "$@"
