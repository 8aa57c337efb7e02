#!/usr/bin/env bash
# The station's page under load: eight busy slots (progress every 0.1 s
# each, a unit every few seconds), with no page open and then with 4 pages
# open in headless Chromium, over a fake station serving the real page, or
# with --station over `zemb station` itself (eight slots of simulated units,
# each re-plugged with a blank unit as soon as its unit finishes).
# Prints how soon a page shows its tiles (target at most 2 s), event-to-tile
# latency (p50, p99 against the target of at most 0.5 s, worst) and the
# station's own CPU without and with the pages (the difference against the
# target of at most 2% of one core); exits 0 whatever the figures say.
#   scripts/bench-page.sh [--station] [--seconds N] [--pages N]
# ZEMB_BUILD_DIR=/some/dir builds there instead of the preset's build/native.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
jobs=${ZEMB_JOBS:-2}
station=()
if [ "${1:-}" = "--station" ]; then
  station=(--station)
  shift
fi
if [ -n "${ZEMB_BUILD_DIR:-}" ]; then
  build=$ZEMB_BUILD_DIR
  cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo > /dev/null
  cmake --build "$build" -j "$jobs" --target station_page_fake zemb zembsim > /dev/null
else
  build=$top/build/native
  cmake --preset native > /dev/null
  cmake --build --preset native -j "$jobs" --target station_page_fake zemb zembsim > /dev/null
fi
real=()
[ ${#station[@]} -gt 0 ] && real=(--zemb "$build/zemb/zemb" --zembsim "$build/sim/zembsim")
exec /usr/bin/python3 "$top/scripts/bench_page.py" --fake "$build/tests/station_page_fake" \
  "${real[@]}" --out "$build/bench-page" "$@"
