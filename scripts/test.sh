#!/usr/bin/env bash
# Quick start, the tests: builds everything with warnings as errors and runs
# every unit, CLI and example test through CTest, then the Python package's
# tests with pytest and the Blender add-on's tests in a headless Blender.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh tools
cmake --preset ci >/dev/null
cmake --build --preset ci
ctest --preset ci -j "$(nproc)"

# The Python package, built from the same sources into a venv over Debian's
# Python (pybind11, numpy and pytest come from scripts/install-deps.sh), with the
# tools, so that it converts scene files too.
/usr/bin/python3 -m venv --system-site-packages .venv
BONE_IMPORT_BUILD_TOOLS=ON .venv/bin/pip install -q --no-build-isolation --no-index ./python
BONETOOL="$PWD/build/ci/tools/bonetool" .venv/bin/python -m pytest -q python/tests
# The source distribution builds a wheel with nothing downloaded (a Debug build:
# this checks what the sdist holds, not the module's speed; about 25 s on 2 cores).
dist=$(mktemp -d)
trap 'rm -rf "$dist"' EXIT
(cd python && ../.venv/bin/python setup.py -q sdist --dist-dir "$dist")
CMAKE_BUILD_TYPE=Debug .venv/bin/pip wheel -q --no-build-isolation --no-index --no-deps -w "$dist" "$dist"/bone_import-*.tar.gz
.venv/bin/python - "$dist" <<'PY'
import sys, zipfile, pathlib
names = zipfile.ZipFile(next(pathlib.Path(sys.argv[1]).glob("*.whl"))).namelist()
assert any(n.startswith("bone_import/_bone_import.") and not n.endswith(".pyi") for n in names), names
assert {"bone_import/_bone_import.pyi", "bone_import/py.typed"} <= set(names), names
PY
# The type stubs against the compiled module (mypy's stubtest, python3-mypy).
.venv/bin/python -m mypy.stubtest bone_import --allowlist python/stubtest-allowlist.txt

# The Blender add-on, headless in Debian's Blender (enabled from the test).
if command -v blender >/dev/null; then
  BONETOOL="$PWD/build/ci/tools/bonetool" blender -b --factory-startup --python-exit-code 1 \
    --python blender/tests/test_io_bone_file.py 2>&1 | grep -vE '^(Read prefs|Blender quit|$)'
else
  echo "blender is not installed (Debian package blender): skipping the add-on's tests"
fi
