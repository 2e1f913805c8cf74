#!/usr/bin/env bash
# Quick start, the tests: builds everything with warnings as errors and runs
# every unit, CLI and example test through CTest.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh tools
cmake --preset ci >/dev/null
cmake --build --preset ci
ctest --preset ci -j "$(nproc)"
