#!/usr/bin/env bash
# Line coverage of the library and its interface layers, measured by the unit
# tests; prints the report with the uncovered lines and writes
# build/coverage/coverage.txt. Fails below the threshold (default 95%).
set -euo pipefail
cd "$(dirname "$0")/.."
threshold=${1:-95}
cmake --preset coverage >/dev/null
cmake --build --preset coverage
find build/coverage -name '*.gcda' -delete
ctest --preset coverage -j "$(nproc)" >/dev/null
gcovr --root . --filter 'bone_import/' --filter 'interfaces/' --object-directory build/coverage \
  --txt build/coverage/coverage.txt --fail-under-line "$threshold" --print-summary \
  build/coverage
cat build/coverage/coverage.txt
