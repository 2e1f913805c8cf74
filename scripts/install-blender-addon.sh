#!/usr/bin/env bash
# Installs the Blender add-on io_bone_file for the current user, with the
# bone_import package it stands on, for Debian's Blender 3.4 (which runs the
# system Python 3.11). Builds the package first when .venv does not hold it.
# Then: Edit > Preferences > Add-ons, search "Bone files", tick it.
set -euo pipefail
cd "$(dirname "$0")/.."
if ! .venv/bin/python -c "import bone_import" 2>/dev/null; then
  /usr/bin/python3 -m venv --system-site-packages .venv
  .venv/bin/pip install -q --no-build-isolation --no-index ./python
fi
version=$(blender --version 2>/dev/null | awk '/^Blender/ {split($2, v, "."); print v[1] "." v[2]; exit}')
[ -n "$version" ] || { echo "blender not found (Debian package blender)" >&2; exit 1; }
scripts="${XDG_CONFIG_HOME:-$HOME/.config}/blender/$version/scripts"
mkdir -p "$scripts/addons" "$scripts/modules"
rm -rf "$scripts/addons/io_bone_file" "$scripts/modules/bone_import"
cp -r blender/io_bone_file "$scripts/addons/"
# Blender puts scripts/modules on its module path: the package goes there.
package=$(.venv/bin/python -c "import bone_import, os; print(os.path.dirname(bone_import.__file__))")
cp -r "$package" "$scripts/modules/bone_import"
echo "installed io_bone_file and bone_import in $scripts"
