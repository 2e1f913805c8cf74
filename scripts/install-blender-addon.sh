#!/usr/bin/env bash
# Installs the Blender add-on io_bone_file for the current user, for Debian's
# Blender (which runs the system Python 3.11): the zip of
# scripts/blender-addon-zip.sh, with bone_import inside it, unpacked where
# Preferences > Add-ons > Install would put it. Then: Edit > Preferences >
# Add-ons, search "Bone files", tick it.
set -euo pipefail
cd "$(dirname "$0")/.."
version=$(blender --version 2>/dev/null | awk '/^Blender/ {split($2, v, "."); print v[1] "." v[2]; exit}')
[ -n "$version" ] || { echo "blender not found (Debian package blender)" >&2; exit 1; }
scripts/blender-addon-zip.sh build/io_bone_file.zip >/dev/null
scripts="${XDG_CONFIG_HOME:-$HOME/.config}/blender/$version/scripts"
mkdir -p "$scripts/addons"
# An earlier install kept bone_import in scripts/modules: the add-on carries its own now.
rm -rf "$scripts/addons/io_bone_file" "$scripts/modules/bone_import"
/usr/bin/python3 -m zipfile -e build/io_bone_file.zip "$scripts/addons"
echo "installed io_bone_file (with bone_import) in $scripts/addons"
