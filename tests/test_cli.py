"""The orin-field command, end to end in a subprocess."""

from __future__ import annotations

import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

from orin.field import RiskField, example_scene

matplotlib_image = pytest.importorskip("matplotlib.image")


def run(*args: str, cwd: Path) -> subprocess.CompletedProcess[str]:
    env = dict(os.environ, MPLBACKEND="Agg", PYTHONWARNINGS="ignore")
    return subprocess.run(
        [sys.executable, "-m", "orin.field", *args], cwd=cwd, env=env, capture_output=True, text=True, timeout=300
    )


def write_scene(tmp_path: Path, scene: object, name: str = "scene.geojson") -> Path:
    path = tmp_path / name
    path.write_text(json.dumps(scene))
    return path


def test_map_of_the_bundled_scene(tmp_path):
    result = run("map", "--out", "risk.png", "--size", "400x300", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""  # no progress bar for a small map
    image = matplotlib_image.imread(tmp_path / "risk.png")
    assert image.shape[:2] == (300, 400)
    # A heat map with outlines and a colour bar, not a blank canvas.
    rgb = image[..., :3]
    assert rgb.std() > 0.15
    assert len(np.unique(rgb.reshape(-1, 3), axis=0)) > 200
    # points, obstacles, time, points/s on one line
    assert result.stdout.count("\n") == 1
    assert "120000 points, 10 obstacles" in result.stdout and "points/s" in result.stdout
    assert sorted(p.name for p in tmp_path.iterdir()) == ["risk.png"]


def test_map_with_scene_and_bounds(tmp_path):
    scene = write_scene(tmp_path, example_scene())
    result = run("map", str(scene), "--out", "out/zoom.png", "--bounds", "200,100,300,200", "--size", "200x200",
                 cwd=tmp_path)
    assert result.returncode == 2 and "zoom.png" in result.stderr  # out/ does not exist
    (tmp_path / "out").mkdir()
    result = run("map", str(scene), "--out", "out/zoom.png", "--bounds", "200,100,300,200", "--size", "200x200",
                 cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert matplotlib_image.imread(tmp_path / "out" / "zoom.png").shape[:2] == (200, 200)


def test_map_shows_progress_above_a_million_points(tmp_path):
    result = run("map", "--out", "big.png", "--size", "1100x1000", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert "/1.10M" in result.stderr and "pt/s" in result.stderr
    assert "1100000 points" in result.stdout


@pytest.mark.parametrize("header", [True, False])
def test_eval_csv_equals_riskfield_eval(tmp_path, header):
    rng = np.random.default_rng(11)
    pts = np.concatenate([rng.uniform([-50, -50], [650, 450], (3000, 2)), [[250.0, 250.0], [1e6, -1e6]]])
    lines = (["x,y"] if header else []) + [f"{float(x)!r},{float(y)!r}" for x, y in pts]
    (tmp_path / "pts.csv").write_text("\n".join(lines) + "\n")
    scene = write_scene(tmp_path, example_scene())
    result = run("eval", str(scene), "--points", "pts.csv", "--out", "values.csv", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    table = np.loadtxt(tmp_path / "values.csv", delimiter=",", skiprows=1)
    assert (tmp_path / "values.csv").read_text().splitlines()[0] == "x,y,risk"
    np.testing.assert_array_equal(table[:, :2], pts)
    np.testing.assert_array_equal(table[:, 2], RiskField(example_scene()).eval(pts))
    assert f"{len(pts)} points, 10 obstacles" in result.stdout


def test_eval_without_scene_uses_the_harbour(tmp_path):
    (tmp_path / "pts.csv").write_text("250,250\n0,1000\n")
    result = run("eval", "--points", "pts.csv", "--out", "values.csv", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    values = np.loadtxt(tmp_path / "values.csv", delimiter=",", skiprows=1)[:, 2]
    np.testing.assert_array_equal(values, RiskField(example_scene()).eval([[250, 250], [0, 1000]]))


def _feature_scene(geometry: object) -> dict:
    scene = example_scene()
    scene["features"][3]["geometry"] = geometry
    return scene


BAD_SCENES = {
    "unknown type": (_feature_scene({"type": "Circle", "coordinates": [0, 0]}), "feature 3"),
    "unclosed ring": (
        _feature_scene({"type": "Polygon", "coordinates": [[[0, 0], [1, 0], [1, 1], [0, 1]]]}), "feature 3"),
    "short line": (_feature_scene({"type": "LineString", "coordinates": [[0, 0]]}), "feature 3"),
    "nan coordinate": (_feature_scene({"type": "Point", "coordinates": [0, float("nan")]}), "feature 3"),
    "repulsion not SPD": (
        _feature_scene({"type": "Point", "coordinates": [0, 0], "repulsion": [[1, 3], [3, 1]]}), "feature 3"),
    "repulsion not 2x2": (
        _feature_scene({"type": "LineString", "coordinates": [[0, 0], [1, 1]], "repulsion": [1, 2]}), "feature 3"),
    "bad collection member": (
        _feature_scene({"type": "GeometryCollection", "geometries": [{"type": "Point", "coordinates": [1]}]}),
        "feature 3"),
    "not a FeatureCollection": ({"type": "Topology", "objects": {}}, "FeatureCollection"),
}


# Both subcommands load scenes the same way: every case through eval, a few through map.
@pytest.mark.parametrize(
    "case, command",
    [(case, "eval") for case in sorted(BAD_SCENES)] + [("unknown type", "map"), ("repulsion not SPD", "map")],
)
def test_bad_scene(tmp_path, case, command):
    scene, needle = BAD_SCENES[case]
    path = write_scene(tmp_path, scene)
    _assert_rejected(tmp_path, command, str(path), needle)


@pytest.mark.parametrize("command", ["map", "eval"])
@pytest.mark.parametrize(
    "content, needle",
    [(None, "No such file"), ("{\"type\": ", "invalid JSON at line 1"), ("", "invalid JSON"), (b"\xff", "UTF-8")],
)
def test_bad_scene_file(tmp_path, command, content, needle):
    path = tmp_path / "scene.geojson"
    if isinstance(content, bytes):
        path.write_bytes(content)
    elif content is not None:
        path.write_text(content)
    _assert_rejected(tmp_path, command, str(path), needle)


@pytest.mark.parametrize(
    "content, needle",
    [
        (None, "No such file"),
        ("1,2\n3,x\n", "pts.csv: line 2:"),
        ("1\n", "pts.csv: line 1:"),
        ("x,y\n# note\n1,2\n\n3\n", "pts.csv: line 5: expected two numbers x,y, got '3'"),
        (b"1,2\n\xff,3\n", "UTF-8"),
    ],
)
def test_bad_points_file(tmp_path, content, needle):
    if isinstance(content, bytes):
        (tmp_path / "pts.csv").write_bytes(content)
    elif content is not None:
        (tmp_path / "pts.csv").write_text(content)
    _assert_rejected(tmp_path, "eval", None, needle)


@pytest.mark.parametrize(
    "args, needle",
    [
        (["map", "--out", "o.png", "--size", "12"], "--size"),
        (["map", "--out", "o.png", "--size", "8x8"], "--size"),
        (["map", "--out", "o.png", "--bounds", "0,0,1"], "--bounds"),
        (["map", "--out", "o.png", "--bounds", "1,0,0,1"], "--bounds"),
        (["map", "--out", "o.png", "--bounds", "0,0,nan,1"], "--bounds"),
        (["map", "--out", "o.xyz"], "o.xyz"),
        (["map"], "--out"),
        (["eval", "--out", "o.csv"], "--points"),
        (["frobnicate"], "frobnicate"),
        ([], "command"),
    ],
)
def test_bad_arguments(tmp_path, args, needle):
    result = run(*args, cwd=tmp_path)
    assert result.returncode == 2
    assert len(result.stderr.strip().splitlines()) == 1 and needle in result.stderr
    assert "Traceback" not in result.stderr
    assert list(tmp_path.iterdir()) == []


def test_empty_scene_needs_bounds(tmp_path):
    path = write_scene(tmp_path, {"type": "FeatureCollection", "features": []})
    _assert_rejected(tmp_path, "map", str(path), "--bounds")
    result = run("map", str(path), "--out", "o.png", "--bounds", "0,0,1,1", "--size", "64x64", cwd=tmp_path)
    assert result.returncode == 0, result.stderr


def _assert_rejected(tmp_path: Path, command: str, scene: str | None, needle: str) -> None:
    """Exit 2, one stderr line, no traceback; an existing output file is left as it was."""
    out = "values.csv" if command == "eval" else "risk.png"
    args = [command] + ([scene] if scene else []) + ["--out", out]
    if command == "eval":
        if not (tmp_path / "pts.csv").exists() and scene is not None:
            (tmp_path / "pts.csv").write_text("1,2\n")
        args += ["--points", "pts.csv"]
    before = set(tmp_path.iterdir())
    result = run(*args, cwd=tmp_path)
    assert result.returncode == 2, result.stdout + result.stderr
    lines = result.stderr.strip().splitlines()
    assert len(lines) == 1, result.stderr
    assert needle in lines[0] and "Traceback" not in result.stderr
    assert set(tmp_path.iterdir()) == before  # no output, no leftover temporary file

    (tmp_path / out).write_text("previous run")
    assert run(*args, cwd=tmp_path).returncode == 2
    assert (tmp_path / out).read_text() == "previous run"
    (tmp_path / out).unlink()


def test_console_script_is_installed():
    script = shutil.which("orin-field", path=os.path.dirname(sys.executable))
    if script is None:
        pytest.skip("package not installed with its scripts")
    result = subprocess.run([script, "--help"], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0 and "map" in result.stdout and "eval" in result.stdout
