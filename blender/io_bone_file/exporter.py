"""An armature into a bone file, and its meshes into a skin file.

Export bakes what Blender shows: at every frame and keyframe of the
action's range (or the scene's) it reads the evaluated pose, with
constraints, drivers, NLA and any rotation mode, turns it into the file's
axes and units, and keeps of those keys only what the library's Reduce needs
to stay within the error bound at every baked frame.
"""
import math
import os
import re
import tempfile
from dataclasses import dataclass

import numpy as np
from mathutils import Matrix

from .clip import LENGTH_PROPERTY, NAME_PROPERTY, blender_name, bone_import, file_name, file_to_scene


@dataclass
class Options:
    max_error: float = 1e-4  # in scene units; 0 keeps every baked frame
    frame_range: str = "ACTION"  # or "SCENE"
    scale: float = 1.0  # scene units per file unit
    axis: str = "Y_UP"


def find_rig(context):
    """The active armature, else the one selected, else the scene's only one."""
    active = context.view_layer.objects.active
    if active is not None and active.type == "ARMATURE":
        return active
    rigs = [o for o in context.selected_objects if o.type == "ARMATURE"]
    rigs = rigs or [o for o in context.scene.objects if o.type == "ARMATURE"]
    if len(rigs) != 1:
        raise ValueError("select the armature to export" if rigs else "there is no armature to export")
    return rigs[0]


def export_clip(context, path: str, skin_path: str = "", options: Options = Options()) -> str:
    """Writes the rig's pose over the range as a bone file at `path` and, with
    `skin_path`, its meshes as a skin file; returns what was written.
    Everything is gathered before the first file is written."""
    rig = find_rig(context)
    names, parents, bones = skeleton(rig)
    scene = context.scene
    fps, start, end, length = clip_range(scene, rig, options.frame_range)
    to_file = file_to_scene(options.axis, options.scale).inverted()
    skins = skin_records(context, rig, bones, to_file) if skin_path else {}
    for output, suffix in ((path, ".bone"), (skin_path, ".skin")):
        if output:
            check_writable(output, suffix)

    action = rig.animation_data.action if rig.animation_data else None
    keyframes = [p.co[0] for c in action.fcurves for p in c.keyframe_points] if action else []
    frames = bake_frames(start, end, keyframes)
    times = (np.array(frames) - start) / fps
    times[-1] = length
    rotations, offsets = local_poses(bake(context, rig, bones, frames, to_file), parents)
    with tempfile.TemporaryDirectory() as folder:
        full = os.path.join(folder, "full.bone")
        bone_import.write_bone_file(full, names, parents, 0, [times.astype(np.float32)] * len(names),
                                    list(rotations), list(offsets), length)
        sequence = bone_import.Sequence(bone_import.Hierarchy(full), full)
        if options.max_error > 0:
            try:  # the reach bonetool reduce takes
                sequence.reduce(options.max_error / options.scale)
            except ValueError:  # every bone at one point: only positions to keep
                sequence.reduce(options.max_error / options.scale, 0.0)
        keys = [sequence.keys(b) for b in range(len(names))]
    writes = [(path, lambda to: bone_import.write_bone_file(to, names, parents, 0, *map(list, zip(*keys)),
                                                            sequence.length))]
    if skin_path:
        writes.append((skin_path, lambda to: bone_import.write_skin_file(to, names, skins)))
    write_all(writes)
    kept = sum(len(k[0]) for k in keys)
    written = f"{path}: {len(names)} bones, {length:.6g} s, {kept} of {len(names) * len(frames)} keys"
    return written + (f"; {skin_path}: {', '.join(skins)}" if skins else "")


def fold(name: str) -> bytes:
    return name.encode("utf-8", "surrogateescape").upper()


def skeleton(rig):
    """The file's names and parents, parents first, and the Blender bone of
    each (None for a root added above several top bones, which stands for
    the armature object)."""
    bones, stack = [], [b for b in reversed(list(rig.data.bones)) if b.parent is None]
    while stack:
        bones.append(stack.pop())
        stack.extend(reversed(list(bones[-1].children)))
    if not bones:
        raise ValueError(f"{rig.name} has no bones")
    names = [file_name(bone) for bone in bones]
    seen = {}
    for name in names:
        if seen.setdefault(fold(name), name) != name:
            raise ValueError(f"bones {seen[fold(name)]} and {name} of {rig.name} differ only in letter case, "
                             f"which names in a bone file may not")
    if sum(bone.parent is None for bone in bones) > 1:
        root = rig.name
        while fold(root) in seen:
            root += "_"
        names.insert(0, root)
        bones.insert(0, None)
    index = {bone.name: b for b, bone in enumerate(bones) if bone is not None}
    parents = [-1 if b == 0 else index[bone.parent.name] if bone.parent else 0 for b, bone in enumerate(bones)]
    return names, parents, bones


def clip_range(scene, rig, frame_range: str):
    """(fps, first frame, last frame, length): the action's frame range (its
    manual range where it has one), else the scene's. The length is the one
    kept at import while the range is still the one import set."""
    fps = scene.render.fps / scene.render.fps_base
    action = rig.animation_data.action if rig.animation_data else None
    if frame_range == "ACTION" and action is not None:
        start, end = action.frame_range
    else:
        start, end = scene.frame_start, scene.frame_end
    end = max(end, start + 1)
    length = (end - start) / fps
    kept = action.get(LENGTH_PROPERTY) if action is not None else None
    if isinstance(kept, float) and abs(kept * fps - (end - start)) < 1e-3:
        length = kept
    return fps, start, end, length


def bake_frames(start: float, end: float, keyframes: list) -> list:
    """The first frame, every whole frame and every keyframe of the action
    between it and the last, and the last: a clip imported with keys between
    whole frames plays back to the file it came from."""
    inside = sorted({float(f) for f in range(math.floor(start) + 1, math.ceil(end))} | set(keyframes))
    frames = [float(start)]
    for frame in inside:
        if frame - frames[-1] > 1e-3 and end - frame > 1e-3:
            frames.append(frame)
    return frames + [float(end)]


def bake(context, rig, bones: list, frames: list, to_file: Matrix) -> np.ndarray:
    """Every bone's evaluated pose at every frame in the file's space [T, B, 4, 4]."""
    scene = context.scene
    depsgraph = context.evaluated_depsgraph_get()
    now = scene.frame_current, scene.frame_subframe
    poses = np.empty((len(frames), len(bones), 4, 4))
    order, buffer = None, None
    try:
        for k, frame in enumerate(frames):
            scene.frame_set(math.floor(frame), subframe=frame - math.floor(frame))
            evaluated = rig.evaluated_get(depsgraph)
            if order is None:
                index = {pose_bone.name: i for i, pose_bone in enumerate(evaluated.pose.bones)}
                order = [index[bone.name] if bone is not None else -1 for bone in bones]
                buffer = np.empty(16 * len(index), np.float32)
            evaluated.pose.bones.foreach_get("matrix", buffer)
            matrices = np.concatenate([buffer.reshape(-1, 4, 4).transpose(0, 2, 1), np.eye(4)[None]])
            poses[k] = np.array(to_file @ evaluated.matrix_world) @ matrices[order]
    finally:
        scene.frame_set(now[0], subframe=now[1])
    return poses


def local_poses(poses: np.ndarray, parents: list):
    """Per bone, the rotations [T, 4] (w first, on one hemisphere from key to
    key) and offsets [T, 3] relative to the parent, of the rigid part of
    each pose (the file has no scale)."""
    bases = poses[..., :3, :3] / np.linalg.norm(poses[..., :3, :3], axis=-2, keepdims=True)
    positions = poses[..., :3, 3]
    rotations, offsets = [], []
    for b, parent in enumerate(parents):
        if parent < 0:
            local, offset = bases[:, b], positions[:, b]
        else:
            inverse = bases[:, parent].transpose(0, 2, 1)
            local = inverse @ bases[:, b]
            offset = np.einsum("tij,tj->ti", inverse, positions[:, b] - positions[:, parent])
        q = np.array([list(Matrix(m.tolist()).to_quaternion()) for m in local])
        signs = np.cumprod(np.concatenate([[1.0], np.sign(np.sum(q[1:] * q[:-1], axis=1) + 1e-30)]))
        rotations.append((q * signs[:, None]).astype(np.float32))
        offsets.append(offset.astype(np.float32))
    return rotations, offsets


def skin_name(body, taken: set) -> str:
    """The skin's name in the file: the one kept at import while the object's
    name is still the one made from it (a .001 added by Blender too)."""
    kept = body.get(NAME_PROPERTY)
    name = body.name
    if isinstance(kept, str) and re.fullmatch(re.escape(blender_name(kept)) + r"(\.\d+)?", body.name):
        name = kept
    if name in taken:
        name = body.name
    if name in taken:
        raise ValueError(f"two meshes give the skin name {name}")
    return name


def skin_records(context, rig, bones: list, to_file: Matrix) -> dict:
    """Every mesh the rig deforms (through an Armature modifier) as a skin:
    name -> records of bone_import.SKIN_RECORD, each vertex group of a bone a
    binding with the vertex's position in the bone's rest space."""
    bodies = [o for o in context.scene.objects
              if o.type == "MESH" and any(m.type == "ARMATURE" and m.object == rig for m in o.modifiers)]
    if not bodies:
        raise ValueError(f"{rig.name} deforms no mesh (through an Armature modifier) to export as a skin")
    scale = abs((to_file @ rig.matrix_world).to_3x3().determinant()) ** (1 / 3)
    index = {bone.name: b for b, bone in enumerate(bones) if bone is not None}
    skins = {}
    for body in bodies:
        to_rig = rig.matrix_world.inverted() @ body.matrix_world
        rest = {g.index: (index[g.name], rig.data.bones[g.name].matrix_local.inverted())
                for g in body.vertex_groups if g.name in index}
        records = []
        for vertex in body.data.vertices:
            point = to_rig @ vertex.co
            for element in vertex.groups:
                if element.group in rest:
                    bone, inverse = rest[element.group]
                    local = scale * (inverse @ point)
                    records.append((bone, local.x, local.y, local.z, element.weight, vertex.index))
        array = np.array(records, dtype=bone_import.SKIN_RECORD)
        skins[skin_name(body, set(skins))] = array[np.lexsort((array["bone"], array["vertex_index"]))]
    return skins


def write_all(writes) -> None:
    """Runs each (path, write) on a temporary file next to its path, and puts
    them in place only when every one is written: both files or neither."""
    temporaries = []
    try:
        for path, write in writes:
            folder, name = os.path.split(os.path.abspath(path))
            handle, temporary = tempfile.mkstemp(prefix=f".{name}.", suffix=os.path.splitext(name)[1], dir=folder)
            os.close(handle)
            temporaries.append((temporary, path))
            write(temporary)
        for temporary, path in temporaries:
            os.replace(temporary, path)
    finally:
        for temporary, _ in temporaries:
            if os.path.exists(temporary):
                os.remove(temporary)


def check_writable(path: str, suffix: str):
    """Refuses before anything is written what the writers would refuse after."""
    if not path.endswith(suffix):
        raise ValueError(f"{path}: the name must end in {suffix}")
    if os.path.exists(path) and not os.access(path, os.W_OK):
        raise OSError(f"{path} is read-only")
    folder = os.path.dirname(os.path.abspath(path))
    if not os.access(folder, os.W_OK):
        raise OSError(f"cannot write in {folder}")
