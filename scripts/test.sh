#!/usr/bin/env bash
# Quick start, the tests: builds everything with warnings as errors and runs
# every unit, CLI and example test through CTest, then the Python package's
# tests with pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh tools
cmake --preset ci >/dev/null
cmake --build --preset ci
ctest --preset ci -j "$(nproc)"

# The Python package, built from the same sources into a venv over Debian's
# Python (pybind11, numpy and pytest come from scripts/install-deps.sh).
/usr/bin/python3 -m venv --system-site-packages .venv
.venv/bin/pip install -q --no-build-isolation --no-index ./python
BONETOOL="$PWD/build/ci/tools/bonetool" .venv/bin/python -m pytest -q python/tests
