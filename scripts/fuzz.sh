#!/usr/bin/env bash
# Runs every fuzz target for SECONDS (default 60) from the committed seeds,
# with the format's dictionary. Fails on any finding; a crashing input is left
# in build/fuzz/findings/ to be turned into a regression test.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
mkdir -p build/fuzz/findings
status=0
for target in fuzz_hierarchy fuzz_sequence fuzz_skin fuzz_validate; do
  case $target in
    fuzz_skin) seeds=fuzz/corpus/skin ;;
    fuzz_validate) seeds="fuzz/corpus/bone fuzz/corpus/skin" ;;
    *) seeds=fuzz/corpus/bone ;;
  esac
  work=build/fuzz/corpus/$target
  mkdir -p "$work"
  echo "--- $target for ${seconds}s"
  if ! build/fuzz/fuzz/$target "$work" $seeds -dict=fuzz/bone_import.dict -max_len=4096 \
      -max_total_time="$seconds" -malloc_limit_mb=256 -rss_limit_mb=2048 -timeout=10 \
      -artifact_prefix=build/fuzz/findings/$target- -print_final_stats=1 2>build/fuzz/$target.log; then
    tail -40 build/fuzz/$target.log
    status=1
  fi
  grep -E 'stat::number_of_executed_units|stat::peak_rss_mb|Done [0-9]+ runs' build/fuzz/$target.log || true
done
exit $status
