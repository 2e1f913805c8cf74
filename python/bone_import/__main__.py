"""python -m bone_import: bonetool's commands that the package can carry out.

    python -m bone_import info walk.bone [--json]
    python -m bone_import sample walk.bone poses.npz [--frames N | --fps F]
    python -m bone_import reduce walk.bone small.bone --max-error 0.001 [--reach R]
    python -m bone_import convert walk.bvh walk.bone [--skin walk.skin]   (built with the tools)

Exit status 0 on success, 1 when a file cannot be read, written or is refused,
2 for a command line that cannot be carried out as given.
"""
import argparse
import json
import math
import os
import sys
from typing import List, Optional

import numpy as np

from . import Hierarchy, Sequence, __version__, _bone_import


class Usage(Exception):
    """A command line that cannot be carried out as given (exit status 2)."""


def finite(text: str) -> float:
    value = float(text)
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"{text} is not a finite number")
    return value


def positive(text: str) -> float:
    value = finite(text)
    if value <= 0:
        raise argparse.ArgumentTypeError(f"{text} is not above 0")
    return value


def load(path: str) -> Sequence:
    return Sequence(Hierarchy(path), path)


def info(arguments: argparse.Namespace) -> None:
    clip = load(arguments.file)
    skeleton = clip.hierarchy
    names, parents = skeleton.names, skeleton.parents
    bones = []
    for bone, name in enumerate(names):
        times = clip.keys(bone)[0]
        bones.append({"name": name, "parent": names[parents[bone]] if parents[bone] >= 0 else None,
                      "leaf": bool(skeleton.is_leaf[bone]), "keys": len(times),
                      "first_time": float(times[0]), "last_time": float(times[-1])})
    if arguments.json:
        print(json.dumps({"file": arguments.file, "length": clip.length, "root": names[skeleton.root],
                          "keys": clip.key_count, "bones": bones}, indent=2))
        return
    print(f"{arguments.file}: {len(names)} bones, length {clip.length:g}, {clip.key_count} keys")
    print(f"root: {names[skeleton.root]}")
    depth = [0] * len(names)
    for bone in range(len(names)):  # a parent may come after its child: walk up
        parent = parents[bone]
        while parent >= 0 and depth[bone] <= len(names):
            depth[bone] += 1
            parent = parents[parent]
    for bone, row in enumerate(bones):
        leaf = " (leaf)" if row["leaf"] else ""
        print(f"{'  ' * depth[bone]}{row['name']}{leaf}  keys {row['keys']}  "
              f"time {row['first_time']:g} .. {row['last_time']:g}")
    print("leaves:", " ".join(name for name, leaf in zip(names, skeleton.is_leaf) if leaf))


def sample(arguments: argparse.Namespace) -> None:
    if not arguments.output.lower().endswith(".npz"):
        raise Usage(f"sample writes .npz files, not {arguments.output}")
    clip = load(arguments.file)
    if arguments.fps:
        times = np.arange(0, clip.length * arguments.fps + 1, dtype=np.float64) / arguments.fps
    else:
        times = np.linspace(0, clip.length, arguments.frames)
    times = times.astype(np.float32)
    bases, positions = clip.sample(times, ignore_root_offset=arguments.ignore_root_offset,
                                   place_leaves=arguments.place_leaves)
    temporary = arguments.output + ".part.npz"
    try:
        np.savez(temporary, times=times, bases=bases, positions=positions, names=np.array(clip.hierarchy.names),
                 parents=clip.hierarchy.parents)
        os.replace(temporary, arguments.output)
    finally:
        if os.path.exists(temporary):
            os.remove(temporary)
    print(f"{arguments.output}: {len(times)} poses of {len(clip)} bones")


def reduce(arguments: argparse.Namespace) -> None:
    if os.path.exists(arguments.output) and os.path.samefile(arguments.input, arguments.output):
        raise Usage(f"{arguments.output} is the input; write the result to another file")
    clip = load(arguments.input)
    before = clip.key_count
    clip.reduce(arguments.max_error, arguments.reach)
    clip.save(arguments.output)
    print(f"keys {before} -> {clip.key_count} ({100 * clip.key_count / max(before, 1):.1f}% kept)")


def convert(arguments: argparse.Namespace) -> None:
    notes, warnings = _bone_import.convert(arguments.input, arguments.output, arguments.skin, arguments.animation,
                                           arguments.fps, arguments.scale, arguments.up == "z", arguments.rest_pose)
    for warning in warnings:
        print(f"warning: {warning}", file=sys.stderr)
    for note in notes:
        print(f"wrote {note}")


def parser() -> argparse.ArgumentParser:
    top = argparse.ArgumentParser(prog="python -m bone_import", description="Bone files from the command line.")
    top.add_argument("--version", action="version", version=__version__)
    commands = top.add_subparsers(dest="command", required=True)
    command = commands.add_parser("info", help="Print a bone file's bone tree, length and key counts")
    command.add_argument("file", help="Bone file")
    command.add_argument("--json", action="store_true", help="Print JSON")
    command.set_defaults(run=info)
    command = commands.add_parser("sample", help="Sample every bone at evenly spread times into a .npz file")
    command.add_argument("file", help="Bone file")
    command.add_argument("output", help="numpy .npz file to write: times, bases, positions, names, parents")
    spacing = command.add_mutually_exclusive_group()
    spacing.add_argument("--frames", type=int, default=101, help="Poses evenly spread over the clip (default 101)")
    spacing.add_argument("--fps", type=positive, help="Poses per time unit instead, from 0")
    command.add_argument("--ignore-root-offset", action="store_true", help="Keep the root at the origin")
    command.add_argument("--place-leaves", action="store_true", help="Place leaves by their first key")
    command.set_defaults(run=sample)
    command = commands.add_parser(
        "reduce", help="Drop keys while no point of the skeleton moves more than --max-error",
        epilog="--reach defaults to a tenth of the skeleton's size over the clip, as bonetool reduce picks it.")
    command.add_argument("input", help="Bone file to read")
    command.add_argument("output", help="Bone file to write (.bone)")
    command.add_argument("--max-error", type=positive, required=True,
                         help="Largest distance any point may move, in the file's units")
    command.add_argument("--reach", type=finite, help="Distance of the axis points from each bone")
    command.set_defaults(run=reduce)
    if hasattr(_bone_import, "convert"):
        command = commands.add_parser("convert", help="Convert one clip of a scene file (BVH, glTF, FBX, ...)")
        command.add_argument("input", help="Scene file that Assimp reads")
        command.add_argument("output", help="Bone file to write (.bone)")
        command.add_argument("--skin", help="Also write the skinned meshes as this skin file")
        command.add_argument("--animation", default="", help="Animation name or index (default: the first)")
        command.add_argument("--fps", type=positive, default=0.0, help="Resample at this rate")
        command.add_argument("--scale", type=positive, default=1.0, help="Multiply every offset and position by this")
        command.add_argument("--up", choices=["y", "z"], default="y", help="The source's up axis")
        command.add_argument("--rest-pose", action="store_true", help="The rig in its rest pose instead of a clip")
        command.set_defaults(run=convert)
    return top


def main(argv: Optional[List[str]] = None) -> int:
    arguments = parser().parse_args(argv)
    try:
        arguments.run(arguments)
    except Usage as error:
        print(f"error: {error}", file=sys.stderr)
        return 2
    except (_bone_import.Error, OSError, ValueError, KeyError) as error:
        print(f"error: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
