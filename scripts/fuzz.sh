#!/usr/bin/env bash
# Runs every fuzz target for SECONDS (default 60) from the committed seeds,
# with the format's dictionary, two targets at a time (FUZZ_JOBS). Fails on
# any finding; a crashing input is left in build/fuzz/findings/ to be turned
# into a regression test.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
mkdir -p build/fuzz/findings

run() {
  local target=$1 seeds
  case $target in
    fuzz_skin) seeds=fuzz/corpus/skin ;;
    fuzz_validate) seeds="fuzz/corpus/bone fuzz/corpus/skin" ;;
    *) seeds=fuzz/corpus/bone ;;
  esac
  mkdir -p "build/fuzz/corpus/$target"
  build/fuzz/fuzz/$target "build/fuzz/corpus/$target" $seeds -dict=fuzz/bone_import.dict -max_len=4096 \
    -max_total_time="$seconds" -malloc_limit_mb=256 -rss_limit_mb=2048 -timeout=10 \
    -artifact_prefix="build/fuzz/findings/$target-" -print_final_stats=1 2>"build/fuzz/$target.log"
}

# Each libFuzzer process uses one core: FUZZ_JOBS targets (default 2) at a time.
targets=(fuzz_hierarchy fuzz_sequence fuzz_skin fuzz_validate)
parallel=${FUZZ_JOBS:-2}
status=0
for ((first = 0; first < ${#targets[@]}; first += parallel)); do
  batch=("${targets[@]:first:parallel}")
  pids=()
  for target in "${batch[@]}"; do
    run "$target" &
    pids+=($!)
  done
  for i in "${!batch[@]}"; do
    target=${batch[i]}
    echo "--- $target for ${seconds}s"
    if ! wait "${pids[i]}"; then
      tail -40 "build/fuzz/$target.log"
      status=1
    fi
    grep -E 'stat::number_of_executed_units|stat::peak_rss_mb|Done [0-9]+ runs' "build/fuzz/$target.log" || true
  done
done
exit $status
