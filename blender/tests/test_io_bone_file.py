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


passed = failed = 0
for test in [test_import_plays_what_the_library_samples, test_export_round_trip,
             test_a_damaged_file_is_reported_and_makes_nothing]:
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
