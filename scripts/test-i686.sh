#!/usr/bin/env bash
# Builds the library and tests/i686/exact_values.cpp as a 32-bit x86 program
# without SSE (-m32 -march=i686, floats in the x87 unit, like the i686 DLL's
# plain code paths) and runs it. Needs Debian's g++-multilib
# (scripts/install-deps.sh ci installs it).
set -euo pipefail
cd "$(dirname "$0")/.."
out=build/i686
mkdir -p "$out"
sources=(interfaces/*.cpp bone_import/*.cpp)
g++ -m32 -march=i686 -O2 -std=c++17 -Wall -Wextra -Wpedantic -Werror \
  -DBONE_IMPORT_BUILDING -DBONE_IMPORT_STATIC -I. -Iinterfaces -Ibone_import -Itests \
  "${sources[@]}" tests/i686/exact_values.cpp -o "$out/exact_values"
"$out/exact_values"
