"""The Python package against independent references: bonetool's JSON, the
file's bytes parsed here, and sums written in numpy."""
import copy
import json
import os
import pickle
import struct
import subprocess
import sys
import xml.etree.ElementTree as ET
from pathlib import Path

import numpy as np
import pytest

import bone_import as bi

ROOT = Path(__file__).resolve().parents[2]
SAMPLES = ROOT / "examples" / "data"
WALK = str(SAMPLES / "humanoid_walk.bone")
BONETOOL = os.environ.get("BONETOOL", str(ROOT / "build" / "ci" / "tools" / "bonetool"))
CMU = "/usr/share/assimp/models/BVH/01_01.bvh"


def bonetool(*arguments: str) -> str:
    return subprocess.run([BONETOOL, *arguments], check=True, capture_output=True, text=True).stdout


@pytest.fixture(scope="module")
def clips(tmp_path_factory) -> list:
    """The walk, and CMU 01_01 converted by bonetool when it is installed."""
    paths = [WALK]
    if Path(CMU).exists():
        cmu = str(tmp_path_factory.mktemp("cmu") / "01_01.bone")
        bonetool("convert", CMU, cmu)
        paths.append(cmu)
    return paths


def read_keys(path: str) -> dict:
    """Per bone name: (times, angles, offsets) straight from the file."""
    data = Path(path).read_bytes()
    at = 0

    def string() -> str:
        nonlocal at
        end = data.index(b"\0", at)
        text, at = data[at:end].decode(), end + 1
        return text

    def u32() -> int:
        nonlocal at
        at += 4
        return struct.unpack_from("<I", data, at - 4)[0]

    string()
    count = u32()
    at += 4
    string()
    keys = {}
    for _ in range(count):
        name = string()
        string()
        n = u32()
        u32()
        values = np.frombuffer(data, "<f4", 7 * n, at).reshape(n, 7)
        at += 28 * n
        string()
        keys[name] = (values[:, 0], values[:, 1:4], values[:, 4:7])
    return keys


def rotation(angles: np.ndarray) -> np.ndarray:
    """Rz(r2) Ry(r1) Rx(r0) as quaternions (w first)."""
    half = angles.astype(np.float64) / 2
    c, s = np.cos(half), np.sin(half)
    qx = np.stack([c[:, 0], s[:, 0], 0 * c[:, 0], 0 * c[:, 0]], 1)
    qy = np.stack([c[:, 1], 0 * c[:, 1], s[:, 1], 0 * c[:, 1]], 1)
    qz = np.stack([c[:, 2], 0 * c[:, 2], 0 * c[:, 2], s[:, 2]], 1)

    def mul(a, b):
        w1, x1, y1, z1 = a.T
        w2, x2, y2, z2 = b.T
        return np.stack([w1 * w2 - x1 * x2 - y1 * y2 - z1 * z2, w1 * x2 + x1 * w2 + y1 * z2 - z1 * y2,
                         w1 * y2 - x1 * z2 + y1 * w2 + z1 * x2, w1 * z2 + x1 * y2 - y1 * x2 + z1 * w2], 1)

    return mul(mul(qz, qy), qx)


def same_rotation(a: np.ndarray, b: np.ndarray, tolerance: float) -> bool:
    return bool(np.all(np.abs(np.abs(np.sum(a * b, axis=1)) - 1) <= tolerance))


def test_hierarchy_and_sample_match_bonetool(clips):
    for path in clips:
        skeleton = bi.Hierarchy(path)
        clip = bi.Sequence(skeleton, path)
        times = np.array([0, 0.1234, clip.length / 2, clip.length, 2 * clip.length], np.float32)
        bases, positions = clip.sample(times)
        assert bases.shape == (5, skeleton.bone_count, 3, 3) and positions.dtype == np.float32
        for i, t in enumerate(times):
            doc = json.loads(bonetool("sample", "--json", "--time", repr(float(t)), path))
            assert [bone["name"] for bone in doc["bones"]] == skeleton.names
            assert np.array_equal(bases[i].reshape(-1, 9), np.array([b["base"] for b in doc["bones"]], np.float32))
            assert np.array_equal(positions[i], np.array([b["offset"] for b in doc["bones"]], np.float32))
        parents = [skeleton.names.index(b["parent"]) if b["parent"] else -1 for b in doc["bones"]]
        assert list(skeleton.parents) == parents
        assert skeleton.index(skeleton.names[-1].upper()) == skeleton.bone_count - 1


def test_keys_are_the_files_own(clips):
    for path in clips:
        skeleton = bi.Hierarchy(path)
        clip = bi.Sequence(skeleton, path)
        for name, (times, angles, offsets) in read_keys(path).items():
            t, q, o = clip.keys(skeleton.index(name))
            assert np.array_equal(t, times) and np.array_equal(o, offsets)
            assert same_rotation(q, rotation(angles), 1e-6)


def test_written_files_read_back(tmp_path):
    skeleton = bi.Hierarchy(WALK)
    walk = bi.Sequence(skeleton, WALK)
    keys = [walk.keys(b) for b in range(skeleton.bone_count)]
    out = str(tmp_path / "copy.bone")
    bi.write_bone_file(out, skeleton.names, list(skeleton.parents), skeleton.root, [k[0] for k in keys],
                       [k[1] for k in keys], [k[2] for k in keys], walk.length)
    copy = bi.Sequence(bi.Hierarchy(out), out)
    assert copy.length == walk.length
    for b, (t, q, o) in enumerate(keys):
        t2, q2, o2 = copy.keys(b)
        assert np.array_equal(t, t2) and np.array_equal(o, o2) and same_rotation(q, q2, 1e-6)

    skins = bi.SkinFile(str(SAMPLES / "humanoid.skin"))
    records = skins.get("body")
    assert records.dtype.names == ("bone", "x", "y", "z", "weight", "vertex_index")
    bi.write_skin_file(str(tmp_path / "copy.skin"), skins.bone_names, {"body": records})
    assert np.array_equal(bi.SkinFile(str(tmp_path / "copy.skin")).get("body"), records)
    # The tools' output rules: never a half file, never over a read-only one.
    with pytest.raises(ValueError, match="writes .bone files"):
        bi.write_bone_file(str(tmp_path / "x.txt"), ["r"], [-1], 0, [[0, 1]], [[[1, 0, 0, 0]] * 2], [[[0, 0, 0]] * 2])
    os.chmod(out, 0o444)
    with pytest.raises(OSError, match="read-only"):
        bi.write_bone_file(out, ["r"], [-1], 0, [[0, 1]], [[[1, 0, 0, 0]] * 2], [[[0, 0, 0]] * 2])
    assert sorted(p.name for p in tmp_path.iterdir()) == ["copy.bone", "copy.skin"]


def test_deform_draws_what_bonetool_render_draws(tmp_path):
    """One skin, one pose: deform's points are render's vertices, also where
    weights do not sum to 1, do not count, or bind a leaf."""
    skeleton = bi.Hierarchy(WALK)
    walk = bi.Sequence(skeleton, WALK)
    skins = bi.SkinFile(str(SAMPLES / "humanoid.skin"))
    records = skins.get("body")
    records["weight"][::3] *= 1.5
    records["weight"][1::7] = -1
    head, tip = skins.bone_names.index("Head"), skins.bone_names.index("Head_End")
    records["bone"][(records["bone"] == head) & (records["vertex_index"] % 2 == 0)] = tip
    odd = str(tmp_path / "odd.skin")
    bi.write_skin_file(odd, skins.bone_names, {"odd": records})
    svg = str(tmp_path / "odd.svg")
    bonetool("render", WALK, "--skin", odd, "--time", "0.7", "-o", svg)
    front = ET.parse(svg).getroot().find(".//{*}g[@class='front']")
    drawn = np.array([[float(c.get("cx")), float(c.get("cy"))] for c in front.findall("{*}circle")
                      if c.get("class") == "vertex"])

    skin = bi.Skin(bi.SkinFile(odd), "odd", skeleton)
    bases, positions = walk.sample(np.float32([0.7]), place_leaves=True)
    points = bi.deform(skin, bases, positions)[0][np.unique(records["vertex_index"])]
    # The front view: x (from the root) to the right and y up, at one scale.
    x, y = points[:, 0] - positions[0, skeleton.root, 0], points[:, 1]
    ones, zeros = np.ones_like(x), np.zeros_like(x)
    design = np.concatenate([np.stack([ones, zeros, x], 1), np.stack([zeros, ones, -y], 1)])
    fit, *_ = np.linalg.lstsq(design, np.concatenate([drawn[:, 0], drawn[:, 1]]), rcond=None)
    assert len(drawn) == len(points) and fit[2] > 0
    assert np.abs(design @ fit - np.concatenate([drawn[:, 0], drawn[:, 1]])).max() < 0.01


def test_editing_and_reduce_bound():
    skeleton = bi.Hierarchy(WALK)
    walk = bi.Sequence(skeleton, WALK)
    joined = bi.Sequence.combine(walk, 0, 0.5, walk, 0.5, 1, 0.25)
    assert joined.length == pytest.approx(walk.length + 0.25)
    reduced = bi.Sequence(skeleton, WALK)
    reduced.reduce(0.001, 0.1)
    times = np.unique(np.concatenate([walk.keys(b)[0] for b in range(skeleton.bone_count)]))
    times = np.concatenate([times, (times[1:] + times[:-1]) / 2]).astype(np.float32)
    (b0, p0), (b1, p1) = walk.sample(times), reduced.sample(times)
    error = np.linalg.norm(p1 - p0, axis=-1).max()
    assert error <= 0.001 and sum(len(reduced.keys(b)[0]) for b in range(skeleton.bone_count)) < 723
    packed = bi.PackedSequence(reduced, 0.0005, 0.1)
    b2, p2 = packed.sample(times)
    assert np.linalg.norm(p2 - p1, axis=-1).max() <= 0.0005
    assert packed.key_count == sum(len(reduced.keys(b)[0]) for b in range(skeleton.bone_count))
    assert packed.size < 32 * packed.key_count and packed.length == walk.length
    for edit in (lambda s: s.flip(), lambda s: s.normalize(), lambda s: s.optimize(0.999, 0.01),
                 lambda s: s.rotate(np.eye(3))):
        edited = bi.Sequence(skeleton, WALK)
        edit(edited)
        assert np.all(np.isfinite(edited.sample(np.float32(0.5))[1]))


def test_errors_are_clear_and_never_crash(tmp_path):
    with pytest.raises(bi.Error) as error:
        bi.Hierarchy(str(SAMPLES / "humanoid.skin"))
    assert (error.value.condition, error.value.file) == ("str == BONE_FILE_HEADER", "bone_import/hier")
    assert error.value.message.startswith("Invalid sequence file") and error.value.line > 0
    skeleton = bi.Hierarchy(WALK)
    walk = bi.Sequence(skeleton, WALK)
    skins = bi.SkinFile(SAMPLES / "humanoid.skin")
    one_bone = str(tmp_path / "one.bone")
    key = [[0, 1]], [[[1, 0, 0, 0]] * 2], [[[0, 0, 0]] * 2]
    bi.write_bone_file(one_bone, ["r"], [-1], 0, *key)
    two_keys = [[0, 1]] * 2, [[[1, 0, 0, 0]] * 2] * 2, [[[0, 0, 0]] * 2] * 2
    two = dict(names=["a", "b"], times=two_keys[0], rotations=two_keys[1], offsets=two_keys[2])
    refusals = [
        (lambda: bi.Hierarchy(tmp_path / "none.bone"), FileNotFoundError, "none.bone"),
        (lambda: bi.Sequence(skeleton, tmp_path / "none.bone"), FileNotFoundError, "none.bone"),
        (lambda: bi.SkinFile(tmp_path / "none.skin"), FileNotFoundError, "none.skin"),
        (lambda: bi.Hierarchy(tmp_path), IsADirectoryError, ""),
        (lambda: bi.Sequence(skeleton, one_bone), bi.Error, "^The bone file holds another number of bones"),
        (lambda: skeleton.index("nobody"), KeyError, "nobody"),
        (lambda: skins.get("bdy"), KeyError, "it has: body"),
        (lambda: walk.keys(-1), IndexError, "out of range"),
        (lambda: walk.keys(skeleton.bone_count), IndexError, "out of range"),
        (lambda: walk.keys(10**12), (IndexError, TypeError), ""),
        (lambda: walk.sample(np.zeros((2, 2), np.float32)), ValueError, "1-D"),
        (lambda: walk.sample("soon"), TypeError, ""),
        (lambda: walk.sample(np.float32([0, np.nan])), ValueError, "time 1 is NaN"),
        (lambda: walk.sample(0, matrices="3x4"), ValueError, "4x4"),
        (lambda: walk.rotate(np.eye(4)), ValueError, "3x3"),
        (lambda: walk.rotate(np.full((3, 3), np.nan)), ValueError, "finite"),
        (lambda: walk.rotate(2 * np.eye(3)), ValueError, "not a rotation"),
        (lambda: walk.optimize(-1, -1), ValueError, "rotation_tolerance"),
        (lambda: walk.optimize(0.9, np.nan), ValueError, "offset_tolerance"),
        (lambda: walk.reduce(float("nan"), 0.1), bi.Error, "finite number above 0"),
        (lambda: bi.Sequence.combine(walk, 0, 0.5, walk, 0.5, 0.4, 1), ValueError, "start before it ends"),
        (lambda: bi.Sequence.combine(walk, 0, 0.5, walk, 0.5, 1, np.nan), ValueError, "transition"),
        (lambda: bi.Sequence.combine(walk, 0, 1, bi.Sequence(bi.Hierarchy(one_bone), one_bone), 0, 1, 1), bi.Error,
         "^The sequences belong to hierarchies with other bones"),
        (lambda: bi.deform(bi.Skin(skins, "body", skeleton), np.zeros((1, 2, 3)), np.zeros((1, 2, 3))), ValueError,
         "shape"),
        (lambda: bi.write_bone_file(tmp_path / "w.bone", parents=[1, 0], root=0, **two), ValueError, "root"),
        (lambda: bi.write_bone_file(tmp_path / "w.bone", parents=[-1, 1], root=0, **two), ValueError, "own parent"),
        (lambda: bi.write_bone_file(tmp_path / "w.bone", ["r"], [-1], 0, [[0]], [[[1, 0, 0, 0]]], [[[0, 0, 0]]]),
         ValueError, "fewer than 2 keys"),
        (lambda: bi.write_bone_file(tmp_path / "w.bone", parents=[-1, -1], root=0, **two), ValueError, "not a bone"),
        (lambda: bi.write_bone_file(tmp_path / "w.bone", ["a", "A"], [-1, 0], 0, *two_keys), ValueError, "repeats"),
    ]
    for call, kind, match in refusals:
        with pytest.raises(kind, match=match):
            call()
    assert sorted(p.name for p in tmp_path.iterdir()) == ["one.bone"]
    assert walk.sample(np.array([], np.float32))[0].shape == (0, skeleton.bone_count, 3, 3)


def test_names_that_are_not_utf8_read_and_round_trip(tmp_path):
    key = [[0, 1]] * 2, [[[1, 0, 0, 0]] * 2] * 2, [[[0, 0, 0]] * 2] * 2
    bi.write_bone_file(tmp_path / "a.bone", ["a", b"b\xff"], [-1, 0], 0, *key)
    bi.write_bone_file(tmp_path / "c.bone", ["a", b"c\xfe"], [-1, 0], 0, *key)
    skeleton = bi.Hierarchy(tmp_path / "a.bone")
    assert skeleton.names == ["a", "b\udcff"] and skeleton.index("B\udcff") == skeleton.index(b"b\xff") == 1
    with pytest.raises(bi.Error, match="Invalid bone name c\udcfe"):
        bi.Sequence(skeleton, tmp_path / "c.bone")


def test_copies_pickles_and_saves_keep_the_clip(tmp_path):
    skeleton = bi.Hierarchy(WALK)
    walk = bi.Sequence(skeleton, WALK)
    times = np.linspace(0, walk.length, 50, dtype=np.float32)
    before = walk.sample(times)[1]
    for copy_of in (copy.copy, copy.deepcopy, bi.Sequence.copy):
        edited = copy_of(walk)
        assert edited == walk and edited is not walk and edited.hierarchy is skeleton
        edited.flip()
        assert edited != walk and np.array_equal(walk.sample(times)[1], before)
    assert copy.copy(skeleton) is skeleton and len(skeleton) == len(walk) == 22
    assert repr(walk) == "<bone_import.Sequence: 22 bones, length 2.0, 723 keys>"

    skin = bi.Skin(bi.SkinFile(SAMPLES / "humanoid.skin"), "body", skeleton)
    h2, walk2, skin2 = pickle.loads(pickle.dumps((skeleton, walk, skin)))
    assert h2 == skeleton and walk2.hierarchy is h2 and skin2.hierarchy is h2
    assert all(np.array_equal(a, b) for a, b in zip(skin.positions + skin.weights, skin2.positions + skin2.weights))
    # A bone file stores angles: rotations come back within float rounding.
    assert np.abs(walk2.sample(times)[1] - before).max() < 1e-5
    walk.save(tmp_path / "saved.bone")
    assert bi.Sequence(skeleton, tmp_path / "saved.bone") == walk2


def test_local_poses_and_4x4_compose_to_the_world_poses(clips):
    """World = parent world x local, with w-first Hamilton quaternions for
    column vectors; 4x4 = [base | position; 0 0 0 1]."""
    for path in clips:
        clip = bi.Sequence(bi.Hierarchy(path), path)
        parents = clip.hierarchy.parents
        times = np.linspace(0, clip.length, 7, dtype=np.float32)
        for place_leaves in (False, True):
            bases, positions = clip.sample(times, place_leaves=place_leaves)
            rotations, offsets = clip.sample_local(times, place_leaves=place_leaves)
            w, x, y, z = np.moveaxis(rotations.astype(np.float64), -1, 0)
            local = np.stack([1 - 2 * (y * y + z * z), 2 * (x * y - w * z), 2 * (x * z + w * y),
                              2 * (x * y + w * z), 1 - 2 * (x * x + z * z), 2 * (y * z - w * x),
                              2 * (x * z - w * y), 2 * (y * z + w * x), 1 - 2 * (x * x + y * y)], -1)
            local = local.reshape(*local.shape[:-1], 3, 3)
            for b, p in enumerate(parents):
                parent_base = bases[:, p] if p >= 0 else np.eye(3)
                parent_position = positions[:, p] if p >= 0 else 0
                assert np.allclose(parent_base @ local[:, b], bases[:, b], atol=1e-5)
                assert np.allclose((parent_base @ offsets[:, b, :, None])[..., 0] + parent_position, positions[:, b],
                                   atol=1e-4)
        matrices = clip.sample(times, place_leaves=True, matrices="4x4")
        assert np.array_equal(matrices[..., :3, :3], bases) and np.array_equal(matrices[..., :3, 3], positions)
        assert np.array_equal(matrices[..., 3, :], np.broadcast_to([0, 0, 0, 1], matrices.shape[:-1]))


def test_command_line_does_what_bonetool_does(tmp_path, clips):
    def run(*arguments: str) -> subprocess.CompletedProcess:
        return subprocess.run([sys.executable, "-m", "bone_import", *arguments], capture_output=True, text=True,
                              cwd=tmp_path)

    assert json.loads(run("info", "--json", WALK).stdout) == json.loads(bonetool("info", "--json", WALK))
    mine, theirs = tmp_path / "mine.bone", tmp_path / "theirs.bone"
    assert run("reduce", WALK, str(mine), "--max-error", "0.001").returncode == 0
    bonetool("reduce", WALK, str(theirs), "--max-error", "0.001")
    assert mine.read_bytes() == theirs.read_bytes()
    assert run("sample", WALK, "poses.npz", "--frames", "5").returncode == 0
    poses = np.load(tmp_path / "poses.npz")
    clip = bi.Sequence(bi.Hierarchy(WALK), WALK)
    assert np.array_equal(poses["positions"], clip.sample(poses["times"])[1]) and len(poses["times"]) == 5
    assert [run("reduce", str(mine), str(mine), "--max-error", "1").returncode, run("info", "none.bone").returncode,
            run("sample", WALK, "poses.txt").returncode, run("--help").returncode] == [2, 1, 2, 0]
    if hasattr(bi, "convert") and len(clips) > 1:  # built with the tools (scripts/test.sh)
        assert run("convert", CMU, "cmu.bone").returncode == 0
        assert (tmp_path / "cmu.bone").read_bytes() == Path(clips[1]).read_bytes()
        refused = run("convert", CMU, "cmu2.bone", "--skin", "cmu.skin")
        assert refused.returncode == 1 and "no skinned mesh" in refused.stderr
        assert sorted(p.name for p in tmp_path.glob("cmu*")) == ["cmu.bone"]
