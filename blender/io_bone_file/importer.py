"""A bone file into Blender: a new rig, or keys on an existing armature.

A new rig's rest pose is the clip's pose at time 0 (leaves placed by their
first key, as bonetool draws them); its object carries the axis turn and the
scale, so the armature itself holds the file's coordinates.

Each keyed bone's pose basis is A * L, with L the key's local pose (rotation
and offset relative to the parent) and A a constant of the bone: the inverse
of its rest pose relative to its parent, or, for the file's root, of its rest
pose in the armature and the file's place in the armature. A is constant, so
Blender's per-component interpolation of neighbouring quaternions (kept on
one hemisphere), normalised, is the library's shorter-arc blend: the action
plays what the library samples between keys as well as at them.
"""
import math
from dataclasses import dataclass

import bpy
import numpy as np
from mathutils import Matrix, Quaternion, Vector

from .clip import LENGTH_PROPERTY, NAME_PROPERTY, Clip, blender_name, bone_import, data_path, file_name, \
    file_to_scene

DATA = ((bpy.types.Object, "objects"), (bpy.types.Mesh, "meshes"), (bpy.types.Armature, "armatures"),
        (bpy.types.Action, "actions"))


@dataclass
class Options:
    scale: float = 1.0  # scene units per file unit
    axis: str = "Y_UP"
    keep_scene_timing: bool = False  # keep the scene's frame rate and range


class Undo:
    """What an import makes and changes, taken back when it fails: nothing of
    a failed import stays behind."""

    def __init__(self):
        self.made, self.restores = [], []

    def add(self, block):
        self.made.append(block)
        return block

    def set(self, owner, name: str, value):
        """owner.name = value, restored on failure."""
        old = getattr(owner, name)
        self.restores.append(lambda: setattr(owner, name, old))
        setattr(owner, name, value)

    def __enter__(self):
        return self

    def __exit__(self, kind, error, trace):
        if kind is None:
            return False
        if bpy.context.object is not None and bpy.context.object.mode != "OBJECT":
            bpy.ops.object.mode_set(mode="OBJECT")
        for restore in reversed(self.restores):
            restore()
        for block in reversed(self.made):
            collection = next(getattr(bpy.data, name) for kind, name in DATA if isinstance(block, kind))
            collection.remove(block)
        return False


def local_matrix(rotation, offset) -> Matrix:
    out = Quaternion([float(v) for v in rotation]).to_matrix().to_4x4()
    out.translation = Vector([float(v) for v in offset])
    return out


def listed(names: list, most: int = 8) -> str:
    shown = ", ".join(names[:most])
    return shown + (f" and {len(names) - most} more" if len(names) > most else "")


def import_clip(context, clip: Clip, options: Options, onto=None):
    """Builds the clip's rig (or keys the clip onto the armature object `onto`),
    its action and its skins, selects them with the rig active; returns the
    rig and notes for the user. On any failure nothing it made remains and
    nothing it changed stays changed."""
    if context.object is not None and context.object.mode != "OBJECT":
        bpy.ops.object.mode_set(mode="OBJECT")
    scene, layer = context.scene, context.view_layer
    with Undo() as undo:
        for name in ("fps", "fps_base"):
            undo.set(scene.render, name, getattr(scene.render, name))
        for name in ("frame_start", "frame_end", "frame_current"):
            undo.set(scene, name, getattr(scene, name))
        undo.set(layer.objects, "active", layer.objects.active)
        selected = list(context.selected_objects)
        undo.restores.append(lambda: [o.select_set(o in selected) for o in layer.objects])

        rig = onto or build_rig(context, clip, options, undo)
        keyed, notes = match_bones(clip, rig, options)
        if options.keep_scene_timing:
            fps, start = scene.render.fps / scene.render.fps_base, scene.frame_start
        else:
            fps, start = clip.fps, 0
            scene.render.fps, scene.render.fps_base = clip.fps, 1.0
            scene.frame_start, scene.frame_end = 0, max(1, math.ceil(clip.length * fps - 1e-4))
        action = undo.add(bpy.data.actions.new(bpy.path.display_name_from_filepath(clip.path)))
        fill_action(action, clip, rig, keyed, fps, start, undo)
        if rig.animation_data is None:
            rig.animation_data_create()
            undo.restores.append(rig.animation_data_clear)
        animation = rig.animation_data
        undo.set(animation, "action", action)
        made = [build_skin(context, clip, rig, keyed, name, skin, undo, notes) for name, skin in clip.skins]

        for o in layer.objects:
            o.select_set(o is rig or o in made)
        layer.objects.active = rig
        scene.frame_set(start)
    return rig, notes


def build_rig(context, clip: Clip, options: Options, undo: Undo):
    """A new armature object whose rest pose is the clip's at time 0."""
    name = bpy.path.display_name_from_filepath(clip.path)
    armature = undo.add(bpy.data.armatures.new(name))
    rig = undo.add(bpy.data.objects.new(name, armature))
    rig.matrix_world = file_to_scene(options.axis, options.scale)
    context.collection.objects.link(rig)
    context.view_layer.objects.active = rig
    heads = np.array([list(m.translation) for m in clip.rest])
    height = float(np.ptp(heads[:, 1])) if len(heads) else 1.0
    names = clip.blender_names()

    bpy.ops.object.mode_set(mode="EDIT")
    edit_bones = []
    for b, bone_name in enumerate(names):
        bone = armature.edit_bones.new(bone_name)
        bone.head, bone.tail = (0, 0, 0), (0, 1, 0)
        bone.matrix = clip.rest[b]
        bone.length = bone_length(clip, b, height)
        edit_bones.append(bone)
    for b, parent in enumerate(clip.parents):
        if parent >= 0:
            edit_bones[b].parent = edit_bones[parent]
    bpy.ops.object.mode_set(mode="OBJECT")
    for bone_name, original in zip(names, clip.names):
        if bone_name != original:
            armature.bones[bone_name][NAME_PROPERTY] = original
    return rig


def bone_length(clip: Clip, b: int, height: float) -> float:
    """As far as the nearest child; a leaf half its parent's length."""
    heads = [clip.rest[c].translation for c in range(len(clip.names)) if clip.parents[c] == b]
    lengths = [v for v in ((h - clip.rest[b].translation).length for h in heads) if v > 1e-4]
    if lengths:
        return min(lengths)
    if clip.parents[b] >= 0:
        return 0.5 * bone_length(clip, clip.parents[b], height)
    return height / 10 or 1.0


def fold(name: str) -> bytes:
    """A name with ASCII letter case ignored, as the library compares names."""
    return name.encode("utf-8", "surrogateescape").upper()


def match_bones(clip: Clip, rig, options: Options):
    """Per file bone that the rig can play: (Blender bone, A); and notes on
    the bones that do not match. A file bone matches the bone of the same
    name (letter case ignored); it is keyed when its parent matches the
    Blender bone's parent, or when it is the file's root and no bone above
    the Blender bone is keyed."""
    bones = {}
    for bone in rig.data.bones:
        bones.setdefault(fold(file_name(bone)), bone)
    match = [bones.get(fold(name)) for name in clip.names]
    matched = {bone.name for bone in match if bone is not None}
    place = rig.matrix_world.inverted() @ file_to_scene(options.axis, options.scale)
    keyed, differ = {}, []
    for b, bone in enumerate(match):
        if bone is None:
            continue
        parent = clip.parents[b]
        if parent >= 0 and match[parent] is not None and bone.parent == match[parent]:
            keyed[b] = (bone, (bone.parent.matrix_local.inverted() @ bone.matrix_local).inverted())
        elif parent < 0 and not any(above.name in matched for above in bone.parent_recursive):
            keyed[b] = (bone, bone.matrix_local.inverted() @ place)
        else:
            differ.append(bone.name)
    notes = []
    missing = [name for name, bone in zip(clip.names, match) if bone is None]
    if missing:
        notes.append(f"not in {rig.name}: {listed(missing)}")
    unused = [bone.name for bone in rig.data.bones if bone.name not in matched]
    if unused:
        notes.append(f"not in the clip: {listed(unused)}")
    if differ:
        notes.append(f"parented differently, left unkeyed: {listed(differ)}")
    return keyed, notes


def fill_action(action, clip: Clip, rig, keyed: dict, fps: float, start: float, undo: Undo):
    """The keys of every keyed bone; a leaf, which the library places by its
    first key, gets that key only, and only when it is not its rest pose."""
    for b, (bone, constant) in keyed.items():
        times, rotations, offsets = clip.keys[b]
        if clip.leaves[b]:
            times, rotations, offsets = times[:1], rotations[:1], offsets[:1]
        bases = [constant @ local_matrix(r, o) for r, o in zip(rotations, offsets)]
        if clip.leaves[b] and is_rest(bases[0], offsets[0]):
            continue
        poses = [basis.decompose() for basis in bases]
        previous = None
        for _, q, _ in poses:
            if previous is not None and previous.dot(q) < 0:
                q.negate()  # the shorter arc, as the library blends
            previous = q
        pose_bone = rig.pose.bones[bone.name]
        undo.set(pose_bone, "rotation_mode", "QUATERNION")
        frames = start + np.asarray(times, np.float64) * fps
        channels = [("rotation_quaternion", 4, 1), ("location", 3, 0)]
        if any(abs(s - 1) > 1e-5 for _, _, scale in poses for s in scale):
            channels.append(("scale", 3, 2))
        for channel, size, part in channels:
            for index in range(size):
                add_curve(action, data_path(bone.name, channel), index, bone.name, frames,
                          [pose[part][index] for pose in poses])
    action[LENGTH_PROPERTY] = clip.length
    action.use_frame_range = True
    action.frame_start, action.frame_end = start, start + clip.length * fps


def is_rest(basis: Matrix, offset) -> bool:
    """Whether a pose basis is the rest pose, but for rounding."""
    error = max(abs(a - b) for row, identity in zip(basis, Matrix.Identity(4)) for a, b in zip(row, identity))
    return error < 1e-5 * (1 + float(np.linalg.norm(offset)))


def add_curve(action, path: str, index: int, group: str, frames, values):
    curve = action.fcurves.new(path, index=index, action_group=group)
    curve.keyframe_points.add(len(frames))
    coordinates = np.empty(2 * len(frames), np.float64)
    coordinates[0::2], coordinates[1::2] = frames, values
    curve.keyframe_points.foreach_set("co", coordinates)
    curve.keyframe_points.foreach_set("interpolation", [1] * len(frames))  # LINEAR
    curve.update()


def build_skin(context, clip: Clip, rig, keyed: dict, name: str, skin, undo: Undo, notes: list):
    """A mesh of the skin's points at their bind positions, one vertex group
    per bone with the library's weights, under an Armature modifier.

    The bind position of a vertex is where the library's skinning puts it in
    the rig's rest pose: the weighted sum of its bindings, each placed by its
    bone. Blender keeps one position per vertex and moves it with each bone
    from there; where the bindings disagree in the rest pose, it plays the
    vertex differently from the library (docs/blender.md)."""
    bones = {b: bone for b, (bone, _) in keyed.items()}
    vertex_indices, weights, bone_positions = skin.vertex_indices, skin.skinning_weights, skin.positions
    bound = [b for b, indices in enumerate(vertex_indices) if len(indices)]
    lacking = [clip.names[b] for b in bound if b not in bones]
    if lacking:
        raise ValueError(f"skin {name} binds bones that {rig.name} does not play: {listed(lacking)}")
    bases = np.zeros((1, len(clip.names), 3, 3), np.float32)
    positions = np.zeros((1, len(clip.names), 3), np.float32)
    for b, bone in bones.items():
        bases[0, b] = bone.matrix_local.to_3x3()
        positions[0, b] = bone.matrix_local.translation
    points = bone_import.deform(skin, bases, positions)[0]

    mesh = undo.add(bpy.data.meshes.new(blender_name(name)))
    mesh.from_pydata([tuple(float(v) for v in p) for p in points], [], [])
    body = undo.add(bpy.data.objects.new(mesh.name, mesh))
    body[NAME_PROPERTY] = name
    context.collection.objects.link(body)
    body.parent = rig
    spread = np.zeros(len(points))
    for b in bound:
        indices = vertex_indices[b]
        placed = bone_positions[b] @ bases[0, b].T + positions[0, b]
        np.maximum.at(spread, indices, np.linalg.norm(placed - points[indices], axis=1))
        group = body.vertex_groups.new(name=bones[b].name)
        for index, value in zip(indices.tolist(), weights[b].tolist()):
            group.add([index], value, "REPLACE")
    modifier = body.modifiers.new("Armature", "ARMATURE")
    modifier.object = rig
    size = float(np.ptp(points, axis=0).max()) if len(points) else 0.0
    apart = spread > 1e-5 * size
    if apart.any():
        notes.append(f"skin {name}: {int(apart.sum())} vertices whose bindings disagree in the rest pose, by up to "
                     f"{spread.max():.3g} file units: Blender moves each from one bind position")
    return body
