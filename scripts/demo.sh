#!/usr/bin/env bash
# Quick start, the main job: builds bonetool and runs its demo on the bundled
# sample data. Extra arguments go to `bonetool demo` (e.g. --out DIR).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh tools
cmake --preset default >/dev/null
cmake --build --preset default --target bonetool
exec build/default/tools/bonetool demo "$@"
