"""Skeletal-animation import for Python: bone files and skin files.

    import bone_import as bi
    skeleton = bi.Hierarchy("walk.bone")
    walk = bi.Sequence(skeleton, "walk.bone")
    bases, positions = walk.sample(times)     # [T, B, 3, 3] and [T, B, 3]

Every library error raises bone_import.Error (condition, message, file, line).
`python -m bone_import --help` lists the commands the package runs.
"""
from . import _bone_import
from ._bone_import import (  # noqa: F401
    SKIN_RECORD,
    Error,
    Hierarchy,
    PackedSequence,
    Sequence,
    Skin,
    SkinFile,
    __version__,
    deform,
    write_bone_file,
    write_skin_file,
)

__all__ = [
    "SKIN_RECORD",
    "Error",
    "Hierarchy",
    "PackedSequence",
    "Sequence",
    "Skin",
    "SkinFile",
    "__version__",
    "deform",
    "write_bone_file",
    "write_skin_file",
]

if hasattr(_bone_import, "convert"):  # a module built with the tools
    from ._bone_import import convert  # noqa: F401

    __all__.append("convert")
