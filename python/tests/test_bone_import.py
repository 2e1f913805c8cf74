"""The Python package against independent references: bonetool's JSON, the
file's bytes parsed here, and sums written in numpy."""
import json
import os
import struct
import subprocess
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


def test_errors_are_clear_and_never_crash():
    with pytest.raises(bi.Error) as error:
        bi.Hierarchy(str(SAMPLES / "humanoid.skin"))
    assert (error.value.condition, error.value.file) == ("str == BONE_FILE_HEADER", "bone_import/hier")
    assert error.value.message.startswith("Invalid sequence file") and error.value.line > 0
    skeleton = bi.Hierarchy(WALK)
    walk = bi.Sequence(skeleton, WALK)
    for bone in (-1, skeleton.bone_count, 10**12):
        with pytest.raises((IndexError, TypeError)):
            walk.keys(bone)
    with pytest.raises(ValueError, match="1-D"):
        walk.sample(np.zeros((2, 2), np.float32))
    with pytest.raises(TypeError):
        walk.sample("soon")
    with pytest.raises(ValueError, match="3x3"):
        walk.rotate(np.eye(4))
    with pytest.raises(bi.Error, match="finite number above 0"):
        walk.reduce(float("nan"), 0.1)
    with pytest.raises(KeyError, match="it has: body"):
        bi.SkinFile(str(SAMPLES / "humanoid.skin")).get("bdy")
    assert walk.sample(np.array([], np.float32))[0].shape == (0, skeleton.bone_count, 3, 3)
    with pytest.raises(ValueError, match="shape"):
        bi.deform(bi.Skin(bi.SkinFile(str(SAMPLES / "humanoid.skin")), "body", skeleton), np.zeros((1, 2, 3)),
                  np.zeros((1, 2, 3)))
