#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in their own build folder and runs
# each one for a bounded time on its seeds (fuzz/corpus/<target>/). Exits
# non-zero on any finding: a crash, a sanitizer report, a broken property, a
# time-out or a leak. Skips, with a line saying why, where clang++ or
# libFuzzer's runtime cannot be had.
#
#   fuzz/run.sh [build folder]     default: build/fuzz
# Environment: ZEMB_FUZZ_SECONDS (per target, default 5), ZEMB_JOBS (2).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/fuzz}
seconds=${ZEMB_FUZZ_SECONDS:-5}
jobs=${ZEMB_JOBS:-2}

if ! command -v clang++ > /dev/null; then
  echo "SKIPPED: fuzzing needs clang++, which is not installed"
  exit 0
fi
probe=$(mktemp -d)
trap 'rm -rf "$probe"' EXIT
echo 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }' \
  > "$probe/probe.cpp"
if ! clang++ -fsanitize=fuzzer,address,undefined "$probe/probe.cpp" -o "$probe/probe" \
    > "$probe/log" 2>&1; then
  echo "SKIPPED: clang++ cannot link libFuzzer (the runtime, libclang-rt-*-dev, is missing)"
  exit 0
fi

cmake -S . -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DZEMB_FUZZ=ON -DZEMB_BUILD_TESTS=OFF > "$probe/configure.log" 2>&1 ||
  { cat "$probe/configure.log"; exit 1; }
cmake --build "$build" -j "$jobs" --target zemb_fuzzers

targets=$(cat "$build/fuzz/targets.txt")
failed=()
for target in $targets; do
  binary="$(cd "$build" && pwd)/fuzz/fuzz_$target"
  # Absolute paths: some targets work in a scratch directory of their own.
  seeds="$PWD/fuzz/corpus/$target"
  # New inputs go to a scratch corpus; the seeds in the tree stay as they are.
  work="$probe/corpus-$target"
  artifacts="$probe/artifacts-$target/"
  mkdir -p "$work" "$artifacts"
  [ -d "$seeds" ] || mkdir -p "$seeds"
  log="$probe/$target.log"
  status=0
  "$binary" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=1024 -max_len=8192 \
    -print_final_stats=1 -artifact_prefix="$artifacts" "$work" "$seeds" > "$log" 2>&1 || status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  if [ "$status" -ne 0 ] || ls "$artifacts" | grep -q .; then
    echo "fuzz $target: FINDING after ${runs:-?} executions"
    grep -E 'ERROR|SUMMARY|property broken|runtime error|Test unit written' "$log" | head -20 || true
    for artifact in "$artifacts"*; do
      [ -e "$artifact" ] || continue
      mkdir -p "$build/findings"
      cp "$artifact" "$build/findings/"
      echo "  input kept in $build/findings/$(basename "$artifact")"
    done
    failed+=("$target")
  else
    echo "fuzz $target: ${runs:-0} executions in ${seconds} s, no finding"
  fi
done

if [ ${#failed[@]} -ne 0 ]; then
  echo "fuzzing found faults in: ${failed[*]}"
  exit 1
fi
echo "fuzzing: no finding in $(echo "$targets" | wc -w) targets"
