#!/usr/bin/env bash
# The SQL pool on this machine's PostgreSQL (a server of its own, started
# and removed by tests/postgres/with_postgres.sh): PROCS processes at once
# (default 4) reserve and commit TOTAL values (default 1000) between them,
# each over its own ODBC connection. Prints the round trip (reserve +
# commit) at p50, p99 and the worst, the throughput, and fails when any
# value was handed out twice.
#   scripts/bench-pool-sql.sh [--total N] [--procs N]
# ZEMB_BUILD_DIR=/some/dir builds there instead of the preset's build/native.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
total=1000
procs=4
while [ $# -gt 0 ]; do
  case "$1" in
    --total) total=$2; shift 2 ;;
    --procs) procs=$2; shift 2 ;;
    *) echo "usage: scripts/bench-pool-sql.sh [--total N] [--procs N]" >&2; exit 2 ;;
  esac
done
jobs=${ZEMB_JOBS:-2}
if [ -n "${ZEMB_BUILD_DIR:-}" ]; then
  build=$ZEMB_BUILD_DIR
  cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo > /dev/null
  cmake --build "$build" -j "$jobs" --target pool_sql_bench > /dev/null
else
  build=$top/build/native
  cmake --preset native > /dev/null
  cmake --build --preset native -j "$jobs" --target pool_sql_bench > /dev/null
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/zemb-bench-pool.XXXXXX")
trap 'rm -rf "$work"' EXIT
export ZEMB_BENCH_BIN=$build/bench/pool_sql_bench
export ZEMB_BENCH_WORK=$work ZEMB_BENCH_TOTAL=$total ZEMB_BENCH_PROCS=$procs

# The server syncs its log as a real one does.
ZEMB_PG_FSYNC=on tests/postgres/with_postgres.sh bash -c '
  set -euo pipefail
  each=$(( (ZEMB_BENCH_TOTAL + ZEMB_BENCH_PROCS - 1) / ZEMB_BENCH_PROCS ))
  "$ZEMB_BENCH_BIN" "$ZEMB_PG_CONN" --init $((each * ZEMB_BENCH_PROCS))
  start=$(date +%s.%N)
  pids=()
  for p in $(seq 1 "$ZEMB_BENCH_PROCS"); do
    "$ZEMB_BENCH_BIN" "$ZEMB_PG_CONN" "$each" "station-$p" > "$ZEMB_BENCH_WORK/p$p.txt" &
    pids+=($!)
  done
  for pid in "${pids[@]}"; do wait "$pid"; done
  end=$(date +%s.%N)
  cat "$ZEMB_BENCH_WORK"/p*.txt > "$ZEMB_BENCH_WORK/all.txt"
  n=$(wc -l < "$ZEMB_BENCH_WORK/all.txt")
  dups=$(cut -d" " -f2 "$ZEMB_BENCH_WORK/all.txt" | sort | uniq -d | wc -l)
  rows=$("$ZEMB_PG_SQL" "SELECT COUNT(*) FROM zemb_unit WHERE state = '"'"'committed'"'"'")
  distinct=$("$ZEMB_PG_SQL" "SELECT COUNT(DISTINCT serial) + COUNT(DISTINCT mac_p) + COUNT(DISTINCT mac_s) FROM zemb_unit")
  sort -n "$ZEMB_BENCH_WORK/all.txt" | awk -v n="$n" -v procs="$ZEMB_BENCH_PROCS" \
      -v secs="$(echo "$end - $start" | bc)" "
    { t[NR] = \$1 }
    END {
      p50 = t[int((n - 1) * 0.50) + 1]; p99 = t[int((n - 1) * 0.99) + 1];
      printf \"SQL pool on PostgreSQL: %d reserve+commit round trips from %d processes at once\n\", n, procs;
      printf \"  p50 %.2f ms   p99 %.2f ms   worst %.2f ms   %.0f per second overall\n\",
             p50 / 1000, p99 / 1000, t[n] / 1000, n / secs;
    }"
  echo "  committed rows: $rows; distinct serials + MACs: $distinct (of $((3 * n)))"
  if [ "$dups" -ne 0 ] || [ "$rows" -ne "$n" ] || [ "$distinct" -ne $((3 * n)) ]; then
    echo "FAIL: a value was handed out twice"
    exit 1
  fi
'
