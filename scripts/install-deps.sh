#!/usr/bin/env bash
# Installs the Debian packages a task needs, skipping those already present.
# Usage: scripts/install-deps.sh build|tools|ci
set -euo pipefail

packages=(cmake ninja-build g++ libgtest-dev libbenchmark-dev)
case "${1:-build}" in
  build) ;;
  tools) packages+=(libcli11-dev nlohmann-json3-dev libassimp-dev libtinygltf-dev assimp-testmodels
                   python3-dev python3-venv python3-pybind11 python3-numpy python3-pytest python3-mypy blender) ;;
  ci) packages+=(libcli11-dev nlohmann-json3-dev libassimp-dev libtinygltf-dev assimp-testmodels clang libclang-rt-14-dev
                 g++-mingw-w64-i686 g++-multilib gcovr python3-dev python3-venv python3-pybind11 python3-numpy
                 python3-pytest python3-mypy blender chromium) ;;
  *) echo "usage: $0 build|tools|ci" >&2; exit 2 ;;
esac

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  echo "Installing: ${missing[*]}" >&2
  $sudo apt-get update -qq >&2
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >&2
fi

# npm packages, pinned by their package-lock files: the Khronos glTF validator
# for the export tests, and three.js (inlined by bonetool view) with
# puppeteer-core for the viewer's browser test.
root="$(cd "$(dirname "$0")/.." && pwd)"
if [ "${1:-build}" != build ]; then
  for folder in "$root/tests/gltf_validator" "$root/view"; do
    [ -f "$folder/package-lock.json" ] || continue
    if [ -d "$folder/node_modules" ] && [ "$folder/node_modules/.package-lock.json" -nt "$folder/package-lock.json" ]; then
      continue
    fi
    if command -v npm >/dev/null; then
      (cd "$folder" && npm ci --no-audit --no-fund --loglevel=error >&2) ||
        echo "warning: npm ci failed in $folder; the tests that need it will be skipped" >&2
    else
      echo "warning: npm not found; the tests that need $folder will be skipped" >&2
    fi
  done
fi
