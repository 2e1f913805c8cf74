"""What import and export share: the bone_import package, reading a clip and
its skins, axes and scale, and names as Blender can hold them.

Axes follow Blender's glTF exporter: a bone file is Y-up, and Blender's point
(x, y, z) is the file's (x, z, -y). A bone keeps its own axes (Blender's bone
axes, y along the bone), so the turn multiplies poses from the left only.
"""
import hashlib
import os
import sys
from dataclasses import dataclass, field

import bpy
import numpy as np
from mathutils import Matrix

try:  # the copy that the zip of scripts/blender-addon-zip.sh carries
    from . import bone_import
except ImportError:
    try:
        import bone_import
    except ImportError:  # --factory-startup leaves the user's modules off the path
        sys.path.append(os.path.join(bpy.utils.user_resource("SCRIPTS"), "modules"))
        import bone_import

# What a refused file or rig raises: reported to the user, never a traceback.
READ_ERRORS = (bone_import.Error, OSError, ValueError, KeyError, IndexError, TypeError, RuntimeError)

# The file's (x, y, z) is Blender's (x, -z, y): a quarter turn about x.
Y_UP_TO_Z_UP = Matrix(((1, 0, 0, 0), (0, 0, -1, 0), (0, 1, 0, 0), (0, 0, 0, 1)))
AXIS_ITEMS = (
    ("Y_UP", "Y up", "The file is Y-up, Blender Z-up: Blender's (x, y, z) is the file's (x, z, -y), as Blender's "
                     "glTF exporter writes it"),
    ("NONE", "None", "The file's coordinates are Blender's"),
)

NAME_BYTES = 63  # the longest name Blender keeps, in UTF-8 bytes
NAME_PROPERTY = "bone_file_name"  # a custom property: the file's name, where Blender's differs
LENGTH_PROPERTY = "bone_file_length"  # a custom property of an action: the clip's exact length


def file_to_scene(axis: str, scale: float) -> Matrix:
    """The file's coordinates in Blender's: the import's axis turn and scale."""
    turn = Y_UP_TO_Z_UP if axis == "Y_UP" else Matrix.Identity(4)
    return turn @ Matrix.Scale(scale, 4)


def blender_name(name: str) -> str:
    """`name` as Blender can hold it: itself when it has 1 to 63 bytes, else its
    first bytes and a hash of the whole, so that different names stay different."""
    data = name.encode("utf-8", "surrogateescape")
    if 0 < len(data) <= NAME_BYTES:
        return name
    tag = "~" + hashlib.sha1(data).hexdigest()[:8]
    return data[:NAME_BYTES - len(tag)].decode("utf-8", "ignore") + tag


def file_name(item) -> str:
    """The file's name of a bone or object: the one kept at import while
    Blender's name is still the one made from it, else Blender's name."""
    kept = item.get(NAME_PROPERTY)
    return kept if isinstance(kept, str) and blender_name(kept) == item.name else item.name


def data_path(bone_name: str, channel: str) -> str:
    return f'pose.bones["{bpy.utils.escape_identifier(bone_name)}"].{channel}'


def matrix(basis, position) -> Matrix:
    """A 4x4 pose from a 3x3 rotation and a position."""
    out = Matrix([[float(v) for v in row] for row in basis]).to_4x4()
    out.translation = [float(v) for v in position]
    return out


@dataclass
class Clip:
    path: str
    names: list  # as the file spells them
    parents: list
    leaves: list
    length: float
    keys: list  # per bone: (times, rotations w first, offsets)
    rest: list  # per bone: world pose at time 0 (leaves placed as bonetool draws them)
    fps: int  # the key rate: the median key interval, rounded
    skins: list = field(default_factory=list)  # (name, bone_import.Skin)

    def blender_names(self) -> list:
        names = [blender_name(n) for n in self.names]
        if len(set(names)) != len(names):
            raise ValueError(f"{self.path}: two bones have one name in Blender")
        return names


def read_clip(path: str, skin_path: str = "", skin_names: tuple = ()) -> Clip:
    """Everything an import needs, read before anything is made in Blender;
    all skins of the skin file when `skin_names` is empty."""
    skeleton = bone_import.Hierarchy(path)
    sequence = bone_import.Sequence(skeleton, path)
    keys = [sequence.keys(b) for b in range(skeleton.bone_count)]
    bases, positions = sequence.sample(np.zeros(1, np.float32), place_leaves=True)
    intervals = np.concatenate([np.diff(k[0]) for k in keys if len(k[0]) > 2] or [np.array([1 / 30])])
    intervals = intervals[intervals > 0]
    fps = int(min(240, max(1, round(1 / float(np.median(intervals)))))) if len(intervals) else 30
    clip = Clip(path, skeleton.names, [int(p) for p in skeleton.parents], [bool(v) for v in skeleton.is_leaf],
                sequence.length, keys, [matrix(b, p) for b, p in zip(bases[0], positions[0])], fps)
    if skin_path:
        skins = bone_import.SkinFile(skin_path)
        for name in skin_names or skins.skin_names:
            clip.skins.append((name, bone_import.Skin(skins, name, skeleton)))
    return clip
