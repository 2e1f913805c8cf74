"""The add-on in Blender, headless:

    blender -b --factory-startup --python-exit-code 1 --python blender/tests/test_io_bone_file.py

Needs bonetool (BONETOOL, default build/ci/tools/bonetool) and the bone_import
package (the .venv that scripts/test.sh builds). Prints 'N passed, N failed'.
"""
import json
import os
import subprocess
import sys
import tempfile
import traceback
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "blender"))
sys.path.insert(0, str(next((ROOT / ".venv" / "lib").glob("python3*/site-packages"))))

import bpy  # noqa: E402
import numpy as np  # noqa: E402

import bone_import  # noqa: E402
import io_bone_file  # noqa: E402

WALK = str(ROOT / "examples" / "data" / "humanoid_walk.bone")
SKIN = str(ROOT / "examples" / "data" / "humanoid.skin")
BONETOOL = os.environ.get("BONETOOL", str(ROOT / "build" / "ci" / "tools" / "bonetool"))
AXES = np.array([[1, 0, 0], [0, 0, -1], [0, 1, 0]])  # bone file (x, y, z) -> Blender (x, -z, y)


def sampled_heads(path, time):
    doc = json.loads(subprocess.run([BONETOOL, "sample", "--json", "--time", repr(time), path], check=True,
                                    capture_output=True, text=True).stdout)
    return {bone["name"]: AXES @ np.array(bone["offset"]) for bone in doc["bones"]}


def file_heads(path, times):
    """The library's bone positions in Blender's axes [T, B, 3], with the names."""
    skeleton = bone_import.Hierarchy(path)
    positions = bone_import.Sequence(skeleton, path).sample(np.asarray(times, np.float32), place_leaves=True)[1]
    return positions @ AXES.T, skeleton.names


def blender_heads(rig, names, frames):
    scene = bpy.context.scene
    out = []
    for frame in frames:
        scene.frame_set(int(frame), subframe=frame - int(frame))
        out.append([list(rig.matrix_world @ rig.pose.bones[name].head) for name in names])
    return np.array(out)


def fresh_scene():
    bpy.ops.wm.read_factory_settings(use_empty=True)
    if not hasattr(bpy.types, io_bone_file.IMPORT_SCENE_OT_bone_file.__name__):
        io_bone_file.register()  # the add-on, enabled from the test


def test_import_plays_what_the_library_samples():
    fresh_scene()
    assert bpy.ops.import_scene.bone_file(filepath=WALK, skin_filepath=SKIN) == {"FINISHED"}
    rig = next(o for o in bpy.data.objects if o.type == "ARMATURE")
    skeleton = bone_import.Hierarchy(WALK)
    length = bone_import.Sequence(skeleton, WALK).length
    heads = np.array([list(b.head_local) for b in rig.data.bones])
    height = float(np.ptp(heads[:, 1]))
    scene = bpy.context.scene
    for time in np.linspace(0, length, 6):
        frame = time * scene.render.fps
        scene.frame_set(int(frame), subframe=frame - int(frame))
        expected = sampled_heads(WALK, float(time))
        for b, name in enumerate(skeleton.names):
            if skeleton.is_leaf[b]:
                continue
            head = np.array(rig.matrix_world @ rig.pose.bones[name].head)
            assert np.abs(head - expected[name]).max() <= 1e-5 * height, (name, time, head, expected[name])
    # The skin: one vertex per skin vertex, the file's groups with the
    # weights of the library's rule.
    body = next(o for o in bpy.data.objects if o.type == "MESH")
    skin = bone_import.Skin(bone_import.SkinFile(SKIN), "body", skeleton)
    assert len(body.data.vertices) == max(int(v.max()) for v in skin.vertex_indices if len(v)) + 1
    expected = sorted((skeleton.names[b], int(v), round(float(w), 6))
                      for b, (vertices, weights) in enumerate(zip(skin.vertex_indices, skin.skinning_weights))
                      for v, w in zip(vertices, weights))
    got = sorted((body.vertex_groups[g.group].name, v.index, round(g.weight, 6))
                 for v in body.data.vertices for g in v.groups)
    assert got == expected


def test_export_round_trip():
    fresh_scene()
    bpy.ops.import_scene.bone_file(filepath=WALK, skin_filepath=SKIN)
    out = tempfile.mkdtemp()
    bone, skin = os.path.join(out, "walk.bone"), os.path.join(out, "walk.skin")
    assert bpy.ops.export_scene.bone_file(filepath=bone, skin_filepath=skin) == {"FINISHED"}
    skeleton = bone_import.Hierarchy(WALK)
    original = bone_import.Sequence(skeleton, WALK)
    copy = bone_import.Sequence(bone_import.Hierarchy(bone), bone)
    assert copy.length == original.length
    # Keys between whole frames are baked too; Reduce keeps within its bound.
    times = np.linspace(0, original.length, 301, dtype=np.float32)
    order = [copy.hierarchy.index(name) for name in skeleton.names]
    p0, p1 = original.sample(times)[1], copy.sample(times)[1][:, order]
    sampled = ~np.asarray(skeleton.is_leaf)
    assert np.abs(p0[:, sampled] - p1[:, sampled]).max() <= 1e-4
    a, b = bone_import.SkinFile(SKIN), bone_import.SkinFile(skin)

    def bindings(f, records):
        return sorted((f.bone_names[r["bone"]], int(r["vertex_index"]), round(float(r["weight"]), 6)) for r in records)
    assert bindings(a, a.get("body")) == bindings(b, b.get(b.skin_names[0]))


def test_a_damaged_file_is_reported_and_makes_nothing():
    fresh_scene()
    damaged = os.path.join(tempfile.mkdtemp(), "cut.bone")
    Path(damaged).write_bytes(Path(WALK).read_bytes()[:300])
    before = len(bpy.data.objects)
    try:
        result = bpy.ops.import_scene.bone_file(filepath=damaged)
    except RuntimeError as error:  # the operator's error report, raised to Python
        assert "Invalid sequence file" in str(error), error
    else:
        assert result == {"CANCELLED"}
    assert len(bpy.data.objects) == before


def test_export_bakes_what_blender_shows():
    """Euler rotations with Bezier keys on a Z-up rig, which neither the action's
    keys nor linear steps between them would give."""
    fresh_scene()
    armature = bpy.data.armatures.new("chain")
    rig = bpy.data.objects.new("chain", armature)
    rig.location = (0.5, -1, 0.25)
    bpy.context.collection.objects.link(rig)
    bpy.context.view_layer.objects.active = rig
    bpy.ops.object.mode_set(mode="EDIT")
    parent = None
    for i, name in enumerate(["root", "mid", "tip"]):  # heads off the parent's axis: every turn shows
        bone = armature.edit_bones.new(name)
        bone.head, bone.tail, bone.parent, parent = (0.2 * i, 0, i), (0, 0.3, i + 0.8), parent, bone
    bpy.ops.object.mode_set(mode="OBJECT")
    for name, mode in (("root", "XYZ"), ("mid", "ZXY")):
        pose_bone = rig.pose.bones[name]
        pose_bone.rotation_mode = mode
        for frame, angle in ((1, 0.0), (10, 1.3), (20, -0.6)):
            pose_bone.rotation_euler = (angle, 0.5 * angle, -angle)
            pose_bone.keyframe_insert("rotation_euler", frame=frame)
    rig.pose.bones["root"].location = (0, 0, 0)
    rig.pose.bones["root"].keyframe_insert("location", frame=1)
    rig.pose.bones["root"].location = (0, 0.5, 0.2)
    rig.pose.bones["root"].keyframe_insert("location", frame=20)
    path = os.path.join(tempfile.mkdtemp(), "chain.bone")
    assert bpy.ops.export_scene.bone_file(filepath=path) == {"FINISHED"}
    frames = [1, 4, 7, 13, 16, 20]
    expected, names = file_heads(path, [(f - 1) / bpy.context.scene.render.fps for f in frames])
    assert names == ["root", "mid", "tip"]
    assert np.abs(blender_heads(rig, names, frames) - expected).max() <= 1e-4


def test_long_and_quoted_names():
    fresh_scene()
    long = "x" * 70
    names = ["root", 'arm"L', long + "a", long + "b", "end"]
    count = len(names)
    turn = np.array([[1, 0, 0, 0], [0.8, 0.6, 0, 0]], np.float32)  # rotations at times 0 and 1 (w first)
    path = os.path.join(tempfile.mkdtemp(), "names.bone")
    bone_import.write_bone_file(path, names, list(range(-1, count - 1)), 0, [np.array([0, 1], np.float32)] * count,
                                [turn] * count, [np.array([[0, 1, 0.2]] * 2, np.float32)] * count, 1.01)
    assert bpy.ops.import_scene.bone_file(filepath=path) == {"FINISHED"}
    rig = bpy.context.view_layer.objects.active
    shown = [bone.name for bone in rig.data.bones]
    assert len(set(shown)) == count and all(len(n.encode()) <= 63 for n in shown)
    fps = bpy.context.scene.render.fps
    expected, _ = file_heads(path, [0.5, 1])
    assert np.abs(blender_heads(rig, shown, [0.5 * fps, fps]) - expected).max() <= 1e-5
    copy = os.path.join(tempfile.mkdtemp(), "copy.bone")
    assert bpy.ops.export_scene.bone_file(filepath=copy) == {"FINISHED"}
    skeleton = bone_import.Hierarchy(copy)
    assert skeleton.names == names and bone_import.Sequence(skeleton, copy).length == np.float32(1.01)


def test_apply_onto_an_existing_armature():
    """The walk keyed onto a rig of other bone rolls, one bone renamed: a skin
    that binds the renamed bone refuses the whole import and changes nothing."""
    fresh_scene()
    bpy.ops.import_scene.bone_file(filepath=WALK)
    rig = bpy.context.view_layer.objects.active
    rig.animation_data.action = None
    bpy.ops.object.mode_set(mode="EDIT")
    for bone in rig.data.edit_bones:
        bone.roll += 0.7
    rig.data.edit_bones["L_Foot"].name = "Foot_L"
    bpy.ops.object.mode_set(mode="OBJECT")
    scene = bpy.context.scene
    scene.render.fps = 50
    counts = [len(c) for c in (bpy.data.objects, bpy.data.actions, bpy.data.meshes, bpy.data.armatures)]
    try:
        bpy.ops.import_scene.bone_file(filepath=WALK, skin_filepath=SKIN, onto_selected=True)
        assert False, "a skin of an unmatched bone was imported"
    except RuntimeError as error:
        assert "L_Foot" in str(error), error
    assert [len(c) for c in (bpy.data.objects, bpy.data.actions, bpy.data.meshes, bpy.data.armatures)] == counts
    assert rig.animation_data.action is None and scene.render.fps == 50

    clip = io_bone_file.clip.read_clip(WALK)
    _, notes = io_bone_file.importer.import_clip(bpy.context, clip, io_bone_file.importer.Options(scale=2), rig)
    assert notes == ["not in humanoid_walk: L_Foot", "not in the clip: Foot_L",
                     "parented differently, left unkeyed: L_Toe"], notes
    times = np.linspace(0, clip.length, 5)
    expected, names = file_heads(WALK, times)
    keyed = [b for b, name in enumerate(names) if name not in ("L_Foot", "L_Toe") and not clip.leaves[b]]
    got = blender_heads(rig, [names[b] for b in keyed], times * scene.render.fps)
    assert np.abs(got - 2 * expected[:, keyed]).max() <= 1e-5 * 2 * clip.length


passed = failed = 0
for test in [test_import_plays_what_the_library_samples, test_export_round_trip,
             test_a_damaged_file_is_reported_and_makes_nothing, test_export_bakes_what_blender_shows,
             test_long_and_quoted_names, test_apply_onto_an_existing_armature]:
    try:
        test()
        passed += 1
        print(f"ok: {test.__name__}")
    except Exception:
        failed += 1
        print(f"FAILED: {test.__name__}")
        traceback.print_exc()
print(f"blender: {passed} passed, {failed} failed")
sys.exit(1 if failed else 0)
