#!/usr/bin/env bash
# Installs the Debian packages a task needs, skipping those already present.
# Usage: scripts/install-deps.sh build|tools|ci
set -euo pipefail

packages=(cmake ninja-build g++ libgtest-dev libbenchmark-dev)
case "${1:-build}" in
  build) ;;
  tools) packages+=(libcli11-dev nlohmann-json3-dev) ;;
  ci) packages+=(libcli11-dev nlohmann-json3-dev clang libclang-rt-14-dev g++-mingw-w64-i686 gcovr) ;;
  *) echo "usage: $0 build|tools|ci" >&2; exit 2 ;;
esac

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "Installing: ${missing[*]}" >&2
$sudo apt-get update -qq >&2
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >&2
