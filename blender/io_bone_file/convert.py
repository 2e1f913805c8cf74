"""Between bone files and Blender data.

Axes follow Blender's glTF importer: a bone file is Y-up, so its (x, y, z) is
Blender's (x, -z, y). The armature object carries that turn (a quarter turn
about x); everything inside it stays in the bone file's own axes.

Each bone's rest matrix is its world pose at time 0. A key's pose-bone basis
is then L0^-1 * L, with L the key's local pose (rotation and offset relative
to the parent) and L0 the local pose at time 0; Blender's per-component linear
interpolation of neighbouring quaternions, normalised, is the library's
shorter-arc blend, so the action plays what the library samples. Bones the
library never samples (leaves) follow their parent, placed by their first key
as bonetool draws and exports them (the package's sample(place_leaves=True)).
"""
import math
from dataclasses import dataclass, field

import bpy
import numpy as np
from mathutils import Matrix, Quaternion, Vector

try:
    import bone_import
except ImportError:  # Blender started with --factory-startup leaves the user's modules off the path
    import os
    import sys

    sys.path.append(os.path.join(bpy.utils.user_resource("SCRIPTS"), "modules"))
    import bone_import

READ_ERRORS = (bone_import.Error, OSError, ValueError, KeyError, IndexError, TypeError, RuntimeError)
AXES = Matrix.Rotation(math.pi / 2, 4, "X")  # bone file (x, y, z) -> Blender (x, -z, y)


@dataclass
class Clip:
    path: str
    names: list
    parents: list
    leaves: list
    length: float
    keys: list  # per bone: (times, rotations w-first, offsets)
    rest: list  # per bone: 4x4 world pose at time 0
    rest_local: list  # per bone: 4x4 local pose at time 0
    fps: int
    skin: dict = field(default_factory=dict)  # name, per-bone bindings and weights, bind points


def local_matrix(rotation, offset) -> Matrix:
    matrix = Quaternion([float(v) for v in rotation]).to_matrix().to_4x4()
    matrix.translation = Vector([float(v) for v in offset])
    return matrix


def read_clip(path: str, skin_path: str = "", skin_name: str = "") -> Clip:
    """Everything the import needs, read before anything is made in Blender."""
    skeleton = bone_import.Hierarchy(path)
    sequence = bone_import.Sequence(skeleton, path)
    names, parents = skeleton.names, [int(p) for p in skeleton.parents]
    keys = [sequence.keys(b) for b in range(skeleton.bone_count)]
    bases, positions = sequence.sample(np.zeros(1, np.float32), place_leaves=True)  # the rest pose
    rest, rest_local = [], []
    for b in range(skeleton.bone_count):
        world = Matrix([list(row) + [float(p)] for row, p in zip(bases[0, b], positions[0, b])] + [[0, 0, 0, 1]])
        rest.append(world)
        rest_local.append(world if parents[b] < 0 else rest[parents[b]].inverted() @ world)
    intervals = np.concatenate([np.diff(k[0]) for k in keys if len(k[0]) > 2] or [np.array([1 / 30])])
    fps = int(min(240, max(1, round(1 / float(np.median(intervals[intervals > 0]))))))
    clip = Clip(path, names, parents, [bool(v) for v in skeleton.is_leaf], sequence.length, keys, rest,
                rest_local, fps)
    if skin_path:
        skins = bone_import.SkinFile(skin_path)
        if not skin_name:
            if len(skins.skin_names) != 1:
                raise ValueError(f"{skin_path} holds {len(skins.skin_names)} skins; choose one with skin_name")
            skin_name = skins.skin_names[0]
        skin = bone_import.Skin(skins, skin_name, skeleton)
        # The library's skinning: its weight rule, and the points it places
        # in the rest pose (bonetool render draws the same).
        clip.skin = {"name": skin_name, "indices": skin.vertex_indices, "weights": skin.skinning_weights,
                     "points": bone_import.deform(skin, bases, positions)[0]}
    return clip


def bone_length(clip: Clip, b: int, height: float) -> float:
    heads = [clip.rest[c].translation for c in range(len(clip.names)) if clip.parents[c] == b]
    lengths = [(h - clip.rest[b].translation).length for h in heads]
    lengths = [v for v in lengths if v > 1e-4]
    if lengths:
        return min(lengths)
    if clip.parents[b] >= 0:  # a leaf: half its parent's length
        return 0.5 * bone_length(clip, clip.parents[b], height)
    return height / 10 or 1.0


def build(context, clip: Clip):
    """The armature, its action, and the skin's mesh."""
    name = bpy.path.display_name_from_filepath(clip.path)
    armature = bpy.data.armatures.new(name)
    rig = bpy.data.objects.new(name, armature)
    rig.matrix_world = AXES
    context.collection.objects.link(rig)
    context.view_layer.objects.active = rig
    heads = np.array([list(m.translation) for m in clip.rest])
    height = float(np.ptp(heads[:, 1])) if len(heads) else 1.0

    bpy.ops.object.mode_set(mode="EDIT")
    edit_bones = []
    for b, bone_name in enumerate(clip.names):
        bone = armature.edit_bones.new(bone_name)
        bone.head, bone.tail = (0, 0, 0), (0, 1, 0)
        bone.matrix = clip.rest[b]
        bone.length = bone_length(clip, b, height)
        edit_bones.append(bone)
    for b, parent in enumerate(clip.parents):
        if parent >= 0:
            edit_bones[b].parent = edit_bones[parent]
    bpy.ops.object.mode_set(mode="OBJECT")

    action = bpy.data.actions.new(name)
    rig.animation_data_create().action = action
    for b, bone_name in enumerate(clip.names):
        pose_bone = rig.pose.bones[bone_name]
        pose_bone.rotation_mode = "QUATERNION"
        if clip.leaves[b]:
            continue
        times, rotations, offsets = clip.keys[b]
        inverse = clip.rest_local[b].inverted()
        frames = np.asarray(times, np.float64) * clip.fps
        quaternions, locations, previous = [], [], None
        for rotation, offset in zip(rotations, offsets):
            basis = inverse @ local_matrix(rotation, offset)
            q = basis.to_quaternion()
            if previous is not None and previous.dot(q) < 0:
                q.negate()  # the shorter arc, as the library blends
            previous = q
            quaternions.append(q)
            locations.append(basis.translation)
        path = f'pose.bones["{bone_name}"]'
        for index in range(4):
            Add_Curve(action, path + ".rotation_quaternion", index, bone_name, frames,
                      [q[index] for q in quaternions])
        for index in range(3):
            Add_Curve(action, path + ".location", index, bone_name, frames, [v[index] for v in locations])

    scene = context.scene
    scene.render.fps = clip.fps
    scene.render.fps_base = 1.0
    scene.frame_start = 0
    scene.frame_end = max(1, math.ceil(clip.length * clip.fps))
    scene.frame_set(0)
    if clip.skin:
        Build_Skin(context, clip, rig)
    return rig


def Add_Curve(action, data_path: str, index: int, group: str, frames, values):
    curve = action.fcurves.new(data_path, index=index, action_group=group)
    curve.keyframe_points.add(len(frames))
    coordinates = np.empty(2 * len(frames), np.float64)
    coordinates[0::2], coordinates[1::2] = frames, values
    curve.keyframe_points.foreach_set("co", coordinates)
    for point in curve.keyframe_points:
        point.interpolation = "LINEAR"
    curve.update()


def Build_Skin(context, clip: Clip, rig):
    skin = clip.skin
    mesh = bpy.data.meshes.new(skin["name"])
    mesh.from_pydata([tuple(float(v) for v in p) for p in skin["points"]], [], [])
    body = bpy.data.objects.new(skin["name"], mesh)
    context.collection.objects.link(body)
    body.parent = rig
    for b, (indices, weights) in enumerate(zip(skin["indices"], skin["weights"])):
        if not len(indices):
            continue
        group = body.vertex_groups.new(name=clip.names[b])
        for index, value in zip(indices, weights):
            group.add([int(index)], float(value), "ADD")
    modifier = body.modifiers.new("Armature", "ARMATURE")
    modifier.object = rig
    return body


def export(context, path: str, skin_path: str = "", every_frame: bool = False):
    """The active armature's action as a bone file, and its mesh as a skin file."""
    rig = context.view_layer.objects.active
    if rig is None or rig.type != "ARMATURE":
        rig = next((o for o in context.scene.objects if o.type == "ARMATURE"), None)
    if rig is None:
        raise ValueError("there is no armature to export")
    action = rig.animation_data.action if rig.animation_data else None
    scene = context.scene
    fps = scene.render.fps / scene.render.fps_base
    bones = list(rig.data.bones)
    names = [bone.name for bone in bones]
    parents = [names.index(bone.parent.name) if bone.parent else -1 for bone in bones]
    root = next(b for b, p in enumerate(parents) if p < 0)
    curves = {}
    if action:
        for curve in action.fcurves:
            curves[(curve.data_path, curve.array_index)] = curve
    all_frames = [float(f) for f in range(scene.frame_start, scene.frame_end + 1)]
    times, rotations, offsets = [], [], []
    for bone in bones:
        rest_local = bone.matrix_local if bone.parent is None else bone.parent.matrix_local.inverted() @ bone.matrix_local
        data_path = f'pose.bones["{bone.name}"]'
        own = [c for (p, _), c in curves.items() if p.startswith(data_path + ".")]
        if every_frame:
            frames = all_frames
        else:
            frames = sorted({point.co[0] for curve in own for point in curve.keyframe_points})
        if len(frames) < 2:
            frames = [float(scene.frame_start), float(max(scene.frame_end, scene.frame_start + 1))]
        q_keys, o_keys = [], []
        for frame in frames:
            q = Quaternion([Evaluate(curves, data_path + ".rotation_quaternion", i, frame, 1.0 if i == 0 else 0.0)
                            for i in range(4)])
            t = Vector([Evaluate(curves, data_path + ".location", i, frame, 0.0) for i in range(3)])
            basis = q.normalized().to_matrix().to_4x4()
            basis.translation = t
            local = rest_local @ basis
            q_keys.append(list(local.to_quaternion()))
            o_keys.append(list(local.translation))
        times.append(np.array([(f - scene.frame_start) / fps for f in frames], np.float32))
        rotations.append(np.array(q_keys, np.float32))
        offsets.append(np.array(o_keys, np.float32))
    length = max(float(t[-1]) for t in times)
    # Everything is gathered before the first file is written, so a missing
    # mesh refuses the export instead of leaving the bone file alone.
    skin = Skin_Records(rig, names) if skin_path else None
    bone_import.write_bone_file(path, names, parents, root, times, rotations, offsets, length)
    if skin_path:
        bone_import.write_skin_file(skin_path, names, {skin[0]: skin[1]})


def Evaluate(curves: dict, data_path: str, index: int, frame: float, rest: float) -> float:
    curve = curves.get((data_path, index))
    return curve.evaluate(frame) if curve else rest


def Skin_Records(rig, names: list):
    """The armature's mesh as (name, records of the dtype bone_import.SKIN_RECORD)."""
    body = next((o for o in rig.children if o.type == "MESH"), None)
    if body is None:
        raise ValueError(f"{rig.name} has no mesh to export as a skin")
    to_rig = rig.matrix_world.inverted() @ body.matrix_world
    rest_inverse = {bone.name: bone.matrix_local.inverted() for bone in rig.data.bones}
    group_bone = {group.index: group.name for group in body.vertex_groups if group.name in rest_inverse}
    records = []
    for vertex in body.data.vertices:
        point = to_rig @ vertex.co
        for element in vertex.groups:
            name = group_bone.get(element.group)
            if name is None:
                continue
            local = rest_inverse[name] @ point
            records.append((names.index(name), local.x, local.y, local.z, element.weight, vertex.index))
    array = np.array(records, dtype=bone_import.SKIN_RECORD)
    array = array[np.lexsort((array["bone"], array["vertex_index"]))]
    return body.name, array
