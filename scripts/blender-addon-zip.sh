#!/usr/bin/env bash
# Builds an add-on zip for Blender's Edit > Preferences > Add-ons > Install:
# io_bone_file with the compiled bone_import package inside it. The package is
# built for Debian's Python (3.11), so the zip serves a Blender that runs that
# Python, as Debian's Blender does; when blender is on PATH, its Python is
# checked. Usage: scripts/blender-addon-zip.sh [OUT.zip] (default
# build/io_bone_file.zip). The zip is written whole or not at all.
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(realpath -m "${1:-build/io_bone_file.zip}")
[[ "$out" == *.zip ]] || { echo "the output must end in .zip: $out" >&2; exit 2; }
# The package as the sources stand (pip rebuilds only what changed).
[ -x .venv/bin/python ] || /usr/bin/python3 -m venv --system-site-packages .venv
.venv/bin/pip install -q --no-build-isolation --no-index ./python
package=$(.venv/bin/python -c "import bone_import, os; print(os.path.dirname(bone_import.__file__))")
built=$(.venv/bin/python -c "import sys; print('%d.%d' % sys.version_info[:2])")
if command -v blender >/dev/null; then
  runs=$(blender -b --factory-startup --python-expr "import sys; print('python %d.%d' % sys.version_info[:2])" \
         2>/dev/null | awk '/^python / {print $2; exit}')
  if [ "$runs" != "$built" ]; then
    echo "blender runs Python ${runs:-(unknown)}, but bone_import is built for Python $built" >&2
    exit 1
  fi
fi
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
cp -r blender/io_bone_file "$stage/"
cp -r "$package" "$stage/io_bone_file/bone_import"
find "$stage" -name __pycache__ -prune -exec rm -rf {} +
mkdir -p "$(dirname "$out")"
(cd "$stage" && /usr/bin/python3 -m zipfile -c "$stage/addon.zip" io_bone_file)
mv "$stage/addon.zip" "$out"
echo "wrote $out (for Blender with Python $built)"
