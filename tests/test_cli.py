"""The orin-field command, end to end in a subprocess."""

from __future__ import annotations

import contextlib
import io
import json
import math
import os
import shutil
import signal
import stat
import subprocess
import sys
from importlib.metadata import version
from pathlib import Path

import numpy as np
import pytest

from orin.field import RiskField, example_scene

matplotlib = pytest.importorskip("matplotlib")
PIL_Image = pytest.importorskip("PIL.Image")

HARBOUR = RiskField(example_scene())


def run(*args: str, cwd: Path, stdin: bytes | None = None, prefix: tuple[str, ...] = (),
        code: str | None = None) -> subprocess.CompletedProcess[bytes]:
    """Run the command; ``code`` replaces ``-m orin.field`` by a script that ends in main()."""
    env = dict(os.environ, MPLBACKEND="Agg", PYTHONWARNINGS="ignore")
    entry = ["-c", code] if code is not None else ["-m", "orin.field"]
    return subprocess.run([*prefix, sys.executable, *entry, *args], cwd=cwd, env=env, input=stdin,
                          capture_output=True, timeout=300)


def write_scene(tmp_path: Path, scene: object, name: str = "scene.geojson") -> Path:
    path = tmp_path / name
    path.write_text(json.dumps(scene))
    return path


def listing(path: Path) -> set[str]:
    return {p.name for p in path.iterdir()}


def read_png(path: Path) -> np.ndarray:
    return np.asarray(PIL_Image.open(path).convert("RGBA"))


def cell_centres(bounds, width, height):
    """The centres a geotransform (dx, 0, xmin, 0, -dy, ymax) gives, row 0 at the top."""
    xmin, ymin, xmax, ymax = bounds
    dx, dy = (xmax - xmin) / width, (ymax - ymin) / height
    cols, rows = np.meshgrid(np.arange(width), np.arange(height))
    return np.column_stack([((cols + 0.5) * dx + xmin).ravel(), ((rows + 0.5) * -dy + ymax).ravel()])


def find_block(image: np.ndarray, block: np.ndarray) -> list[tuple[int, int]]:
    """Every offset at which ``block`` appears in ``image`` exactly."""
    h, w = block.shape[:2]
    hits = []
    for r, c in np.argwhere((image == block[0, 0]).all(axis=-1)):
        if r + h <= image.shape[0] and c + w <= image.shape[1] and (image[r:r + h, c:c + w] == block).all():
            hits.append((int(r), int(c)))
    return hits


def colours(values: np.ndarray, cmap: str = "magma", log: bool = False) -> np.ndarray:
    """matplotlib's own colouring of risk values, as the picture promises it."""
    colormap = matplotlib.colormaps[cmap]
    if log:
        norm = matplotlib.colors.LogNorm(vmin=1e-6, vmax=1.0, clip=True)
        return colormap(norm(np.maximum(values, 1e-6)), bytes=True)
    return colormap(np.clip(values, 0.0, 1.0), bytes=True)


def assert_failed(result: subprocess.CompletedProcess[bytes], needle: str) -> None:
    stderr = result.stderr.decode()
    assert result.returncode == 2, stderr
    lines = stderr.strip().splitlines()
    assert len(lines) == 1 and stderr.endswith("\n"), stderr
    assert lines[0].startswith("orin-field: error: ") and needle in lines[0], stderr
    assert "Traceback" not in stderr and result.stdout == b""


# -- pictures ---------------------------------------------------------------------------------


def test_map_of_the_bundled_scene(tmp_path):
    result = run("map", "--out", "risk.png", "--size", "400x300", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert result.stderr == b""  # no progress bar for a small map
    image = read_png(tmp_path / "risk.png")
    assert image.shape[0] > 300 and image.shape[1] > 400  # the map area plus axes and colour bar
    # A heat map with outlines and a colour bar, not a blank canvas.
    rgb = image[..., :3] / 255.0
    assert rgb.std() > 0.15
    assert len(np.unique(rgb.reshape(-1, 3), axis=0)) > 200
    # points, obstacles, time, points/s on one line
    out = result.stdout.decode()
    assert out.count("\n") == 1
    assert "120000 points, 10 obstacles" in out and "points/s" in out
    assert listing(tmp_path) == {"risk.png"}


# Bounds that hold no obstacle outline or label, so the map area is samples only.
OPEN_WATER = (380.0, 160.0, 430.0, 220.0)


@pytest.mark.parametrize(
    "size, options, cmap, log",
    [
        ((50, 60), [], "magma", False),
        ((97, 31), ["--cmap", "viridis"], "viridis", False),
        ((64, 64), ["--log"], "magma", True),
        ((40, 200), ["--log", "--cmap", "cividis"], "cividis", True),
    ],
)
def test_one_image_pixel_per_sample(tmp_path, size, options, cmap, log):
    w, h = size
    bounds = ",".join(map(repr, OPEN_WATER))
    result = run("map", "--out", "m.png", "--bounds", bounds, "--size", f"{w}x{h}", *options, cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    samples = HARBOUR.eval(cell_centres(OPEN_WATER, w, h)).reshape(h, w)
    assert samples.max() > 0.05 and np.ptp(samples) > 0.05  # a field worth colouring
    hits = find_block(read_png(tmp_path / "m.png"), colours(samples, cmap, log))
    assert len(hits) == 1  # the map area is the samples, unresampled, once


def _ring_of_points(bounds, reach):
    """Unnamed point obstacles just outside ``bounds``, whose fields reach into them:
    nothing is drawn over the map area, which is then samples only."""
    xmin, ymin, xmax, ymax = bounds
    gap = 12.0  # scene units are pixels here: clear of the map by more than a marker's radius
    centres = [(xmin - gap, (ymin + ymax) / 2), (xmax + gap, ymin + (ymax - ymin) / 3),
               ((xmin + xmax) / 2, ymax + gap), (xmin + (xmax - xmin) / 3, ymin - gap)]
    r = [[reach**2, 0.3 * reach**2], [0.3 * reach**2, 0.5 * reach**2]]
    return {"type": "FeatureCollection", "features": [
        {"type": "Feature", "properties": {}, "geometry": {"type": "Point", "coordinates": list(c), "repulsion": r}}
        for c in centres]}


@pytest.mark.parametrize("size", [(600, 40), (40, 600), (1000, 16), (16, 16)])
def test_elongated_maps_keep_every_sample(tmp_path, size):
    w, h = size
    bounds = (0.0, 0.0, float(w), float(h))
    scene = _ring_of_points(bounds, max(0.3 * max(size), 15.0))
    path = write_scene(tmp_path, scene)
    result = run("map", str(path), "--out", "m.png", "--bounds", ",".join(map(repr, bounds)), "--size", f"{w}x{h}",
                 cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    image = read_png(tmp_path / "m.png")
    samples = RiskField(scene).eval(cell_centres(bounds, w, h)).reshape(h, w)
    assert np.ptp(samples) > 0.05
    assert len(find_block(image, colours(samples))) == 1
    # The frame fits the map: decorations take a bounded margin, whatever the shape.
    assert image.shape[0] - h < 260 and image.shape[1] - w < 260


def test_default_size_keeps_cells_square(tmp_path):
    result = run("map", "--out", "m.npy", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    xmin, ymin, xmax, ymax = HARBOUR.influence_bounds()
    grid = np.load(tmp_path / "m.npy")
    assert max(grid.shape) == 1000
    ny, nx = grid.shape
    assert math.isclose((xmax - xmin) / nx, (ymax - ymin) / ny, rel_tol=1.5 / min(grid.shape))


def test_picture_text_names_obstacles_units_and_title(tmp_path):
    # A local matplotlibrc keeps SVG text as text, so that it can be read back.
    (tmp_path / "matplotlibrc").write_text("svg.fonttype: none\n")
    scene = example_scene()
    scene["features"][0]["properties"]["name"] = "Quay <north> & \"east\""
    scene["features"][1]["properties"].pop("name")
    path = write_scene(tmp_path, scene)
    result = run("map", str(path), "--out", "m.svg", "--size", "300x200", "--contours", "0.5,0.1", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    text = (tmp_path / "m.svg").read_text()
    from xml.etree import ElementTree

    words = [t.text or "" for t in ElementTree.fromstring(text).iter() if t.tag.endswith("text")]
    words += [s.text or "" for t in ElementTree.fromstring(text).iter() if t.tag.endswith("text") for s in t]
    for feature in scene["features"][2:]:
        assert feature["properties"]["name"] in words
    assert 'Quay <north> & "east"' in words
    assert "Lighthouse island" not in words
    assert "x (metres)" in words and "y (metres)" in words  # from the scene's properties.units
    assert "Risk: Example harbour" in words
    assert {"0.1", "0.5"} <= set(words)  # contour labels

    result = run("map", str(path), "--out", "u.svg", "--size", "300x200", "--units", "cables", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert "x (cables)" in (tmp_path / "u.svg").read_text()


def test_contours_draw_the_levels(tmp_path):
    bounds = ",".join(map(repr, OPEN_WATER))
    plain = run("map", "--out", "a.png", "--bounds", bounds, "--size", "80x80", cwd=tmp_path)
    drawn = run("map", "--out", "b.png", "--bounds", bounds, "--size", "80x80", "--contours", "0.1", cwd=tmp_path)
    assert plain.returncode == 0 and drawn.returncode == 0, drawn.stderr
    a, b = read_png(tmp_path / "a.png"), read_png(tmp_path / "b.png")
    assert a.shape == b.shape
    samples = HARBOUR.eval(cell_centres(OPEN_WATER, 80, 80)).reshape(80, 80)
    ((r, c),) = find_block(a, colours(samples))
    changed = (a[r:r + 80, c:c + 80] != b[r:r + 80, c:c + 80]).any(axis=-1)
    # The changed pixels follow the 0.1 level: near it, and only there.
    crossing = np.zeros_like(changed)
    above = samples >= 0.1
    crossing[:-1] |= above[:-1] != above[1:]
    crossing[:, :-1] |= above[:, :-1] != above[:, 1:]
    assert crossing.sum() > 20
    def grown(mask, by):
        out = np.zeros_like(mask)
        for dr in range(-by, by + 1):
            for dc in range(-by, by + 1):
                out |= np.roll(np.roll(mask, dr, 0), dc, 1)
        return out

    # A line between two pixel centres marks one of them; labels break it here and there.
    assert grown(changed, 1)[crossing].mean() > 0.85
    assert changed[~grown(crossing, 3)].mean() < 0.05


def test_map_shows_progress_above_a_million_points(tmp_path):
    result = run("map", "--out", "big.npy", "--size", "1100x1000", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    stderr = result.stderr.decode()
    assert "/1.10M" in stderr and "pt/s" in stderr
    assert "1100000 points" in result.stdout.decode()


@pytest.mark.parametrize("bounds, size", [("0,0,1e-300,1e300", None), ("0,0,1e-300,1e300", "100x100"),
                                          ("-1e307,-1e307,1e307,1e307", "64x64")])
def test_extreme_bounds_that_can_be_mapped(tmp_path, bounds, size):
    result = run("map", "--out", "m.png", f"--bounds={bounds}", *(["--size", size] if size else []), cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert result.stderr == b"" and (tmp_path / "m.png").stat().st_size > 0


# -- data outputs --------------------------------------------------------------------------------


@pytest.mark.parametrize("engine", [[], ["--projection", "metric", "--threads", "1"]])
def test_npy_is_riskfield_grid(tmp_path, engine):
    result = run("map", "--out", "g.npy", "--bounds", "10,-20,590,380", "--size", "123x45", *engine, cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    field = RiskField(example_scene(), projection="metric") if engine else HARBOUR
    np.testing.assert_array_equal(np.load(tmp_path / "g.npy"), field.grid((10, -20, 590, 380), (45, 123)))


def test_eval_gradient_and_nearest_columns(tmp_path):
    pts = np.random.default_rng(4).uniform([-50, -50], [650, 450], (500, 2))
    (tmp_path / "pts.csv").write_text("".join(f"{x!r},{y!r}\n" for x, y in pts.tolist()))
    result = run("eval", "--points", "pts.csv", "--out", "v.csv", "--gradient", "--nearest",
                 "--projection", "metric", "--threads", "2", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    lines = (tmp_path / "v.csv").read_text().splitlines()
    assert lines[0] == "x,y,risk,drisk_dx,drisk_dy,obstacle"
    table = np.loadtxt(tmp_path / "v.csv", delimiter=",", skiprows=1)
    field = RiskField(example_scene(), projection="metric")
    np.testing.assert_array_equal(table[:, 2], field.eval(pts))
    np.testing.assert_array_equal(table[:, 3:5], field.gradient(pts))
    index = field.nearest(pts)[0]
    np.testing.assert_array_equal(table[:, 5], index)
    assert (index == -1).any() and (index >= 0).any()
    assert all(line.rsplit(",", 1)[1].lstrip("-").isdigit() for line in lines[1:])


@pytest.mark.parametrize("ext, crs_args, scene_crs, expected_epsg", [
    ("tif", [], None, None),
    ("tiff", ["--crs", "32633"], None, 32633),
    ("tif", ["--crs", "EPSG:3857"], "EPSG:4326", 3857),
    ("tif", [], {"type": "name", "properties": {"name": "urn:ogc:def:crs:EPSG::25832"}}, 25832),
    ("tif", [], "EPSG:2056", 2056),
])
def test_geotiff_pixels_hold_the_risk_at_their_centres(tmp_path, ext, crs_args, scene_crs, expected_epsg):
    rasterio = pytest.importorskip("rasterio")
    scene = example_scene()
    if scene_crs is not None:
        scene["crs"] = scene_crs
    path = write_scene(tmp_path, scene)
    result = run("map", str(path), "--out", f"g.{ext}", "--bounds", "-20,-10,610,420", "--size", "90x70", *crs_args,
                 cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    with rasterio.open(tmp_path / f"g.{ext}") as ds:
        assert (ds.width, ds.height, ds.count, ds.dtypes) == (90, 70, 1, ("float64",))
        assert ds.bounds == pytest.approx((-20, -10, 610, 420), rel=1e-12)
        values = ds.read(1)
        rows, cols = np.mgrid[0:ds.height, 0:ds.width]
        xs, ys = rasterio.transform.xy(ds.transform, rows.ravel(), cols.ravel(), offset="center")
        crs = ds.crs
    np.testing.assert_array_equal(values.ravel(), HARBOUR.eval(np.column_stack([xs, ys])))
    assert (crs is None) if expected_epsg is None else crs.to_epsg() == expected_epsg


@pytest.mark.parametrize("image", ["pgm", "png"])
@pytest.mark.parametrize("resolution, size", [("2.5", None), (None, "200x100")])
def test_ros_map_read_back(tmp_path, image, resolution, size):
    yaml = pytest.importorskip("yaml")
    bounds = (-30.0, -20.0, 620.0, 410.0)
    args = ["map", "--out", "harbour.yaml", "--bounds", ",".join(map(repr, bounds)), "--ros-image", image]
    args += ["--resolution", resolution] if resolution else ["--size", size]
    result = run(*args, cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert listing(tmp_path) == {"harbour.yaml", f"harbour.{image}"}
    meta = yaml.safe_load((tmp_path / "harbour.yaml").read_text())
    assert set(meta) == {"image", "mode", "resolution", "origin", "negate", "occupied_thresh", "free_thresh"}
    assert meta["image"] == f"harbour.{image}" and meta["negate"] == 0
    assert 0 < meta["free_thresh"] < meta["occupied_thresh"] < 1
    r = meta["resolution"]
    if resolution:
        assert r == float(resolution)
    else:  # square cells from --size: the coarser of the two spacings, covering the bounds
        assert r == max((bounds[2] - bounds[0]) / 200, (bounds[3] - bounds[1]) / 100)
    assert meta["origin"] == [bounds[0], bounds[1], 0.0]  # the lower-left corner, yaw 0

    picture = PIL_Image.open(tmp_path / meta["image"])
    assert picture.mode == "L"
    grey = np.asarray(picture).astype(float)
    h, w = grey.shape
    assert w == math.ceil((bounds[2] - bounds[0]) / r - 1e-9) and h == math.ceil((bounds[3] - bounds[1]) / r - 1e-9)
    # Row 0 is the top: cell (row, col) is centred at origin + ((col + 1/2) r, (h - row - 1/2) r).
    cols, rows = np.meshgrid(np.arange(w), np.arange(h))
    pts = np.column_stack([(bounds[0] + (cols + 0.5) * r).ravel(), (bounds[1] + (h - rows - 0.5) * r).ravel()])
    risk = HARBOUR.eval(pts).reshape(h, w)
    assert np.abs(grey - 255 * (1 - risk)).max() <= 0.5 + 1e-6
    assert grey.min() == 0 and grey.max() == 255  # inside obstacles black, open water white


def test_format_from_option_for_stdout(tmp_path):
    result = run("map", "--out", "-", "--format", "npy", "--bounds", "0,0,600,400", "--size", "30x20", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    np.testing.assert_array_equal(np.load(io.BytesIO(result.stdout)), HARBOUR.grid((0, 0, 600, 400), (20, 30)))
    assert b"600 points" in result.stderr  # the summary keeps off the data
    assert listing(tmp_path) == set()


@pytest.mark.parametrize("out_format, refused", [("png", True), ("npy", True), ("svg", False)])
def test_binary_data_is_not_written_to_a_terminal(tmp_path, out_format, refused):
    import threading

    controller, terminal = os.openpty()
    shown = bytearray()

    def drain():  # a terminal shows what it is sent; without a reader the writer would block
        with contextlib.suppress(OSError):
            while chunk := os.read(controller, 65536):
                shown.extend(chunk)

    reader = threading.Thread(target=drain, daemon=True)
    reader.start()
    env = dict(os.environ, MPLBACKEND="Agg", PYTHONWARNINGS="ignore")
    try:
        result = subprocess.run([sys.executable, "-m", "orin.field", "map", "--out", "-", "--format", out_format,
                                 "--size", "16x16"], cwd=tmp_path, env=env, stdout=terminal,
                                stderr=subprocess.PIPE, timeout=120)
    finally:
        os.close(terminal)
        reader.join(timeout=10)
        os.close(controller)
    if refused:
        assert result.returncode == 2 and b"refusing to write" in result.stderr
        assert len(result.stderr.splitlines()) == 1 and not shown
    else:
        assert result.returncode == 0, result.stderr
        assert b"<svg" in shown


def test_png_to_stdout(tmp_path):
    result = run("map", "--out", "-", "--size", "64x48", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith(b"\x89PNG\r\n\x1a\n")
    assert np.asarray(PIL_Image.open(io.BytesIO(result.stdout))).shape[0] > 48


# -- eval ------------------------------------------------------------------------------------------------


@pytest.mark.parametrize("header", [True, False])
def test_eval_csv_equals_riskfield_eval(tmp_path, header):
    rng = np.random.default_rng(11)
    pts = np.concatenate([rng.uniform([-50, -50], [650, 450], (3000, 2)), [[250.0, 250.0], [1e6, -1e6]]])
    lines = (["x,y"] if header else []) + [f"{float(x)!r},{float(y)!r}" for x, y in pts]
    (tmp_path / "pts.csv").write_text("\n".join(lines) + "\n")
    scene = write_scene(tmp_path, example_scene())
    result = run("eval", str(scene), "--points", "pts.csv", "--out", "values.csv", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    text = (tmp_path / "values.csv").read_text().splitlines()
    assert text[0] == "x,y,risk"
    table = np.loadtxt(tmp_path / "values.csv", delimiter=",", skiprows=1)
    np.testing.assert_array_equal(table[:, :2], pts)
    values = HARBOUR.eval(pts)
    np.testing.assert_array_equal(table[:, 2], values)
    # The shortest text that reads back as the same double.
    assert [line.split(",")[2] for line in text[1:]] == [repr(v) for v in values.tolist()]
    assert f"{len(pts)} points, 10 obstacles" in result.stdout.decode()


def test_eval_without_scene_uses_the_harbour(tmp_path):
    (tmp_path / "pts.csv").write_text("250,250\n0,1000\n")
    result = run("eval", "--points", "pts.csv", "--out", "values.csv", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    values = np.loadtxt(tmp_path / "values.csv", delimiter=",", skiprows=1)[:, 2]
    np.testing.assert_array_equal(values, HARBOUR.eval([[250, 250], [0, 1000]]))


def test_extra_columns_come_back_unchanged(tmp_path):
    rows = [("  17", "buoy A", ""), ("x-9", 'say "hi", twice', "3.50"), ("0042", "é ü", "#not a comment")]
    pts = [(250.0, 250.0), (420.5, 100.25), (-3.0, 1e-3)]
    import csv

    with open(tmp_path / "pts.csv", "w", newline="") as fh:
        fh.write("# survey of 2024\n")
        writer = csv.writer(fh)
        writer.writerow(["east", "north", "id", "label", "note"])
        for (x, y), extra in zip(pts, rows):
            writer.writerow([repr(x), repr(y), *extra])
            fh.write("\n")  # blank lines are skipped
    result = run("eval", "--points", "pts.csv", "--out", "out.csv", "--gradient", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    with open(tmp_path / "out.csv", newline="") as fh:
        table = list(csv.reader(fh))
    assert table[0] == ["east", "north", "id", "label", "note", "risk", "drisk_dx", "drisk_dy"]
    assert [tuple(r[2:5]) for r in table[1:]] == rows
    got = np.array([[float(v) for v in (r[0], r[1], r[5], r[6], r[7])] for r in table[1:]])
    np.testing.assert_array_equal(got[:, :2], pts)
    np.testing.assert_array_equal(got[:, 2], HARBOUR.eval(pts))
    np.testing.assert_array_equal(got[:, 3:], HARBOUR.gradient(pts))


def test_columns_without_a_header_are_named(tmp_path):
    (tmp_path / "pts.csv").write_text("250,250,a,b\n1,2,c,d\n")
    result = run("eval", "--points", "pts.csv", "--out", "out.csv", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert (tmp_path / "out.csv").read_text().splitlines() == [
        "x,y,col3,col4,risk", f"250.0,250.0,a,b,{float(HARBOUR.eval([[250, 250]])[0])!r}",
        f"1.0,2.0,c,d,{float(HARBOUR.eval([[1, 2]])[0])!r}"]


# -- pipes ------------------------------------------------------------------------------------------------


PIPE_POINTS = "x,y\n250,250\n420,100\n-5,7\n"


def expected_csv() -> bytes:
    pts = [[250.0, 250.0], [420.0, 100.0], [-5.0, 7.0]]
    rows = ["x,y,risk"] + [f"{x!r},{y!r},{v!r}" for (x, y), v in zip(pts, HARBOUR.eval(pts).tolist())]
    return ("\n".join(rows) + "\n").encode()


@pytest.mark.parametrize("points", ["-", "/dev/stdin"])
def test_points_from_a_pipe(tmp_path, points):
    # input= hands the child a pipe: read twice, it would give nothing the second time.
    result = run("eval", "--points", points, "--out", "v.csv", cwd=tmp_path, stdin=PIPE_POINTS.encode())
    assert result.returncode == 0, result.stderr
    assert (tmp_path / "v.csv").read_bytes() == expected_csv()
    assert "3 points" in result.stdout.decode()


def test_pipe_in_pipe_out(tmp_path):
    result = run("eval", "--points", "-", "--out", "-", cwd=tmp_path, stdin=PIPE_POINTS.encode())
    assert result.returncode == 0, result.stderr
    assert result.stdout == expected_csv()  # the data only
    assert b"stdout: 3 points, 10 obstacles" in result.stderr
    assert listing(tmp_path) == set()


def test_points_through_a_shell_pipeline(tmp_path):
    (tmp_path / "p.csv").write_text(PIPE_POINTS)
    command = f"cat p.csv | {sys.executable} -m orin.field eval --points - --out - | cat > v.csv"
    result = subprocess.run(command, shell=True, cwd=tmp_path, capture_output=True, timeout=120)
    assert result.returncode == 0, result.stderr
    assert (tmp_path / "v.csv").read_bytes() == expected_csv()


def test_reader_that_goes_away(tmp_path):
    # 200k rows do not fit a pipe's buffer, so the writer meets the closed end.
    (tmp_path / "p.csv").write_text("\n".join(f"{i},{i % 7}" for i in range(200_000)) + "\n")
    command = f"{sys.executable} -m orin.field eval --points p.csv --out - | head -c 10 > /dev/null"
    result = subprocess.run(["bash", "-o", "pipefail", "-c", command], cwd=tmp_path, capture_output=True,
                            timeout=120)
    stderr = result.stderr.decode()
    assert result.returncode == 2, stderr
    assert stderr.strip().splitlines() == ["orin-field: error: stdout: cannot write: Broken pipe"]


# -- faults: one line, exit status 2, no output ---------------------------------------------------------------


def _no_matplotlib(argv: str) -> str:
    return f"import sys; sys.modules['matplotlib'] = None; from orin.field.__main__ import main; sys.exit(main({argv}))"


BIG_INT = "9" * 5000

# name: (args, what to prepare, needle). Names ending in "/" are directories, in "@" symlinks;
# "code" runs a script instead of -m orin.field, "stdin" is fed to it.
FAULTS = {
    "map out is a directory": (["map", "--out", "d", "--size", "16x16"], {"d/": None}, "d: cannot write: Is a directory"),
    "eval out is a directory": (["eval", "--points", "p.csv", "--out", "d"], {"d/": None, "p.csv": "1,2\n"},
                                "d: cannot write: Is a directory"),
    "out in a missing directory": (["eval", "--points", "p.csv", "--out", "no/v.csv"], {"p.csv": "1,2\n"},
                                   "no/v.csv: cannot write: No such file or directory"),
    "out under a file": (["eval", "--points", "p.csv", "--out", "p.csv/v.csv"], {"p.csv": "1,2\n"},
                         "cannot write: Not a directory"),
    "out through a dangling link's missing directory": (["eval", "--points", "p.csv", "--out", "l.csv"],
                                                         {"p.csv": "1,2\n", "l.csv@": "gone/x.csv"},
                                                         "l.csv: cannot write: No such file or directory"),
    "scene 42": (["eval", "s.json", "--points", "p.csv", "--out", "v.csv"], {"s.json": "42", "p.csv": "1,2\n"},
                 "s.json: expected a JSON object (a FeatureCollection), got a number"),
    "scene array": (["map", "s.json", "--out", "m.png"], {"s.json": "[1,2]"}, "got an array"),
    "scene null": (["eval", "s.json", "--points", "p.csv", "--out", "v.csv"], {"s.json": "null", "p.csv": "1,2\n"},
                   "got null"),
    "scene string": (["map", "s.json", "--out", "m.npy"], {"s.json": '"x"'}, "got a string"),
    "scene true": (["eval", "s.json", "--points", "p.csv", "--out", "v.csv"], {"s.json": "true", "p.csv": "1,2\n"},
                   "got true"),
    "scene with a 5000-digit integer": (["map", "s.json", "--out", "m.png"],
                                        {"s.json": '{"type": "FeatureCollection", "n": ' + BIG_INT + ', "features": []}'},
                                        "s.json: unreadable JSON"),
    "bounds overflow": (["map", "--out", "m.png", "--bounds=-1e308,-1e308,1e308,1e308"], {},
                        "wider or taller than the largest float"),
    "bounds overflow with size": (["map", "--out", "m.png", "--bounds=-1e308,-1e308,1e308,1e308", "--size", "64x64"],
                                  {}, "wider or taller than the largest float"),
    "cells beyond the limit": (["map", "--out", "m.npy", "--bounds=0,0,1e-300,1e300", "--resolution", "1e-300"], {},
                               "more than 10000 cells"),
    "resolution too fine": (["map", "--out", "m.yaml", "--resolution", "0.001"], {}, "more than 10000 cells"),
    "resolution not positive": (["map", "--out", "m.yaml", "--resolution", "-1"], {}, "--resolution"),
    "pgf": (["map", "--out", "x.pgf"], {}, "pgf output is not supported"),
    "no matplotlib": (["map", "--out", "m.png"], {"code": _no_matplotlib("sys.argv[1:]")}, "orin-field[demo]"),
    "no matplotlib, unknown format": (["map", "--out", "m.xyz"], {"code": _no_matplotlib("sys.argv[1:]")},
                                      "unknown output format 'xyz'"),
    "no rasterio": (["map", "--out", "m.tif"],
                    {"code": "import sys; sys.modules['rasterio'] = None; from orin.field.__main__ import main; "
                             "sys.exit(main(sys.argv[1:]))"}, "orin-field[geo]"),
    "typo in the first data row": (["eval", "--points", "p.csv", "--out", "v.csv"], {"p.csv": "250,24O\n1,2\n"},
                                   "p.csv: line 1: expected two numbers x,y, got '250,24O'"),
    "typo after a header": (["eval", "--points", "p.csv", "--out", "v.csv"], {"p.csv": "x,y\n\n1,2\n3,4x\n"},
                            "p.csv: line 4: expected two numbers x,y, got '3,4x'"),
    "header-like first line with one number": (["eval", "--points", "p.csv", "--out", "v.csv"],
                                               {"p.csv": "east,5\n1,2\n"}, "line 1: expected two numbers"),
    "empty points": (["eval", "--points", "p.csv", "--out", "v.csv"], {"p.csv": ""}, "p.csv: no points to evaluate"),
    "comments only": (["eval", "--points", "p.csv", "--out", "v.csv"], {"p.csv": "# a\n\n  # b\n"},
                      "no points to evaluate"),
    "header only": (["eval", "--points", "p.csv", "--out", "v.csv"], {"p.csv": "x,y,id\n"}, "only a header"),
    "empty stdin": (["eval", "--points", "-", "--out", "v.csv"], {"stdin": b""}, "stdin: no points to evaluate"),
    "ragged rows": (["eval", "--points", "p.csv", "--out", "v.csv"], {"p.csv": "1,2,a\n3,4\n"},
                    "line 2: expected 3 fields, as on line 1, got 2"),
    "digit separators": (["eval", "--points", "p.csv", "--out", "v.csv"], {"p.csv": "1,2\n1_000,2\n"}, "line 2:"),
    "points not found": (["eval", "--points", "nope.csv", "--out", "v.csv"], {}, "nope.csv: cannot read: No such file"),
    "points a directory": (["eval", "--points", "d", "--out", "v.csv"], {"d/": None}, "d: cannot read: Is a directory"),
    "unknown colour map": (["map", "--out", "m.png", "--cmap", "magmaa"], {}, "--cmap: unknown colour map 'magmaa'"),
    "picture option for data": (["map", "--out", "m.npy", "--contours", "0.5"], {}, "--contours applies to pictures"),
    "crs for a picture": (["map", "--out", "m.png", "--crs", "3857"], {}, "--crs applies to GeoTIFF"),
    "bad crs": (["map", "--out", "m.tif", "--crs", "EPSG:99999999"], {}, "--crs: not a coordinate reference system"),
    "bad scene crs": (["map", "s.json", "--out", "m.tif"],
                      {"s.json": json.dumps(dict(example_scene(), crs="no such crs"))}, "crs: not a coordinate"),
    "malformed scene crs": (["map", "s.json", "--out", "m.tif"],
                            {"s.json": json.dumps(dict(example_scene(), crs={"type": "link"}))}, "'crs' must be"),
    "ros image for a picture": (["map", "--out", "m.png", "--ros-image", "png"], {}, "--ros-image applies"),
    "ros map to stdout": (["map", "--out", "-", "--format", "yaml"], {}, "give --out a file name"),
    "contour levels out of range": (["map", "--out", "m.png", "--contours", "0.5,2"], {}, "(0, 1]"),
    "contour levels not numbers": (["map", "--out", "m.png", "--contours", "a,b"], {}, "--contours"),
}


def _prepare(tmp_path: Path, files: dict) -> tuple[str | None, bytes | None]:
    code = stdin = None
    for name, content in files.items():
        if name == "code":
            code = content
        elif name == "stdin":
            stdin = content
        elif name.endswith("/"):
            (tmp_path / name[:-1]).mkdir()
        elif name.endswith("@"):
            (tmp_path / name[:-1]).symlink_to(content)
        else:
            (tmp_path / name).write_text(content)
    return code, stdin


@pytest.mark.parametrize("case", sorted(FAULTS))
def test_fault(tmp_path, case):
    args, files, needle = FAULTS[case]
    code, stdin = _prepare(tmp_path, files)
    before = listing(tmp_path)
    result = run(*args, cwd=tmp_path, stdin=stdin, code=code)
    assert_failed(result, needle)
    assert listing(tmp_path) == before  # no output, no leftover temporary file


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
    "four values in a position": (_feature_scene({"type": "Point", "coordinates": [0, 0, 0, 0]}), "feature 3"),
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
        (["map", "--out", "o.png", "--projection", "manhattan"], "--projection"),
        (["map", "--out", "o.png", "--threads", "0"], "--threads"),
        (["eval", "--points", "p.csv", "--out", "o.csv", "--threads", "two"], "--threads"),
        (["frobnicate"], "frobnicate"),
        ([], "command"),
    ],
)
def test_bad_arguments(tmp_path, args, needle):
    result = run(*args, cwd=tmp_path)
    assert_failed(result, needle)
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
    assert_failed(result, needle)
    assert set(tmp_path.iterdir()) == before  # no output, no leftover temporary file

    (tmp_path / out).write_text("previous run")
    assert run(*args, cwd=tmp_path).returncode == 2
    assert (tmp_path / out).read_text() == "previous run"
    (tmp_path / out).unlink()


# -- where the output goes ------------------------------------------------------------------------------------


EVAL = ["eval", "--points", "p.csv", "--out"]


def _points(tmp_path: Path) -> bytes:
    (tmp_path / "p.csv").write_text(PIPE_POINTS)
    return expected_csv()


def test_symlink_writes_its_target(tmp_path):
    expected = _points(tmp_path)
    (tmp_path / "real").mkdir()
    target = tmp_path / "real" / "v.csv"
    target.write_text("old")
    (tmp_path / "v.csv").symlink_to("real/v.csv")
    result = run(*EVAL, "v.csv", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert (tmp_path / "v.csv").is_symlink() and os.readlink(tmp_path / "v.csv") == "real/v.csv"
    assert target.read_bytes() == expected
    assert listing(tmp_path / "real") == {"v.csv"} and listing(tmp_path) == {"p.csv", "real", "v.csv"}


def test_dangling_symlink_creates_its_target(tmp_path):
    expected = _points(tmp_path)
    (tmp_path / "v.csv").symlink_to("made.csv")
    result = run(*EVAL, "v.csv", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert (tmp_path / "v.csv").is_symlink() and (tmp_path / "made.csv").read_bytes() == expected


@pytest.mark.parametrize("mode", [0o600, 0o640, 0o604, 0o755])
def test_replacing_keeps_the_mode(tmp_path, mode):
    expected = _points(tmp_path)
    out = tmp_path / "v.csv"
    out.write_text("old")
    out.chmod(mode)
    inode = out.stat().st_ino
    result = run(*EVAL, "v.csv", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert out.read_bytes() == expected and stat.S_IMODE(out.stat().st_mode) == mode
    assert out.stat().st_ino != inode  # replaced whole, by a rename


def test_new_file_follows_the_umask(tmp_path):
    expected = _points(tmp_path)
    code = ("import os, sys; os.umask(0o027); from orin.field.__main__ import main; sys.exit(main(sys.argv[1:]))")
    result = run(*EVAL, "v.csv", cwd=tmp_path, code=code)
    assert result.returncode == 0, result.stderr
    assert (tmp_path / "v.csv").read_bytes() == expected
    assert stat.S_IMODE((tmp_path / "v.csv").stat().st_mode) == 0o640


def _unprivileged() -> tuple[str, ...]:
    """A prefix that runs the command without root's power to ignore file modes."""
    if os.geteuid() != 0:
        return ()
    setpriv = shutil.which("setpriv")
    if setpriv is None:
        pytest.skip("running as root without setpriv: file modes cannot be enforced")
    return (setpriv, "--bounding-set", "-dac_override,-dac_read_search", "--inh-caps=-all")


def test_read_only_file_is_refused(tmp_path):
    _points(tmp_path)
    out = tmp_path / "v.csv"
    out.write_text("keep me")
    out.chmod(0o444)
    result = run(*EVAL, "v.csv", cwd=tmp_path, prefix=_unprivileged())
    assert_failed(result, "v.csv: cannot write: Permission denied")
    assert out.read_text() == "keep me" and stat.S_IMODE(out.stat().st_mode) == 0o444
    assert listing(tmp_path) == {"p.csv", "v.csv"}


def test_unwritable_directory(tmp_path):
    expected = _points(tmp_path)
    (tmp_path / "ro").mkdir()
    (tmp_path / "ro" / "v.csv").write_text("old")
    (tmp_path / "ro").chmod(0o555)
    try:
        # A new file cannot be made there; a writable existing one is written in place, as the shell does.
        result = run(*EVAL, "ro/new.csv", cwd=tmp_path, prefix=_unprivileged())
        assert_failed(result, "ro/new.csv: cannot write: Permission denied")
        result = run(*EVAL, "ro/v.csv", cwd=tmp_path, prefix=_unprivileged())
        assert result.returncode == 0, result.stderr
        assert (tmp_path / "ro" / "v.csv").read_bytes() == expected
        assert listing(tmp_path / "ro") == {"v.csv"}
    finally:
        (tmp_path / "ro").chmod(0o755)


def test_fifo_is_written_directly(tmp_path):
    expected = _points(tmp_path)
    fifo = tmp_path / "f"
    os.mkfifo(fifo)
    reader = subprocess.Popen(["cat", str(fifo)], stdout=subprocess.PIPE)
    result = run(*EVAL, "f", cwd=tmp_path)
    data, _ = reader.communicate(timeout=60)
    assert result.returncode == 0, result.stderr
    assert data == expected and stat.S_ISFIFO(fifo.stat().st_mode)
    assert listing(tmp_path) == {"p.csv", "f"}


def test_device_is_written_directly(tmp_path):
    _points(tmp_path)
    result = run(*EVAL, "/dev/null", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert stat.S_ISCHR(os.stat("/dev/null").st_mode) and listing(tmp_path) == {"p.csv"}


def test_ros_map_is_written_whole_or_not_at_all(tmp_path):
    (tmp_path / "m.pgm").mkdir()  # the image's name is taken by a directory
    result = run("map", "--out", "m.yaml", "--size", "32x32", cwd=tmp_path)
    assert_failed(result, "m.pgm: cannot write: Is a directory")
    assert listing(tmp_path) == {"m.pgm"}


# -- the run itself -------------------------------------------------------------------------------------------


def test_interrupt_exits_130_with_a_clean_line(tmp_path):
    env = dict(os.environ, MPLBACKEND="Agg", PYTHONWARNINGS="ignore")
    child = subprocess.Popen([sys.executable, "-m", "orin.field", "map", "--out", "big.npy", "--size", "8000x8000"],
                             cwd=tmp_path, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    seen = b""
    while b"pt/s" not in seen:  # the progress bar: the work has started
        chunk = os.read(child.stderr.fileno(), 256)
        assert chunk, seen
        seen += chunk
    child.send_signal(signal.SIGINT)
    out, err = child.communicate(timeout=60)
    assert child.returncode == 130
    stderr = (seen + err).decode()
    assert "Traceback" not in stderr and out == b""
    # The bar clears its line; what is left is one line of ours.
    assert stderr.endswith("\rorin-field: interrupted\n") or stderr == "orin-field: interrupted\n"
    assert listing(tmp_path) == set()


def test_version(tmp_path):
    result = run("--version", cwd=tmp_path)
    assert result.returncode == 0
    assert result.stdout.decode() == f"orin-field {version('orin-field')}\n"


def test_console_script_is_installed():
    script = shutil.which("orin-field", path=os.path.dirname(sys.executable))
    if script is None:
        pytest.skip("package not installed with its scripts")
    result = subprocess.run([script, "--help"], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0 and "map" in result.stdout and "eval" in result.stdout


def test_scene_with_elevation_maps_as_the_planar_one(tmp_path):
    def lift(c):
        return [*c, 12.0] if isinstance(c[0], (int, float)) else [lift(i) for i in c]

    scene = example_scene()
    for feature in scene["features"]:
        g = feature["geometry"]
        for member in g.get("geometries", [g]):
            member["coordinates"] = lift(member["coordinates"])
    path = write_scene(tmp_path, scene)
    result = run("map", str(path), "--out", "g.npy", "--bounds", "0,0,600,400", "--size", "40x30", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    np.testing.assert_array_equal(np.load(tmp_path / "g.npy"), HARBOUR.grid((0, 0, 600, 400), (30, 40)))


# -- on a Dask cluster ------------------------------------------------------------------------


def test_map_and_eval_on_a_local_cluster_match_direct_calls(tmp_path):
    pytest.importorskip("distributed")
    result = run("map", "--out", "g.npy", "--bounds", "0,0,600,400", "--size", "90x60", "--workers", "2",
                 cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    np.testing.assert_array_equal(np.load(tmp_path / "g.npy"), HARBOUR.grid((0, 0, 600, 400), (60, 90)))
    pts = np.random.default_rng(8).uniform([-50, -50], [650, 450], (300, 2))
    (tmp_path / "p.csv").write_text("".join(f"{x!r},{y!r}\n" for x, y in pts.tolist()))
    result = run("eval", "--points", "p.csv", "--out", "v.csv", "--gradient", "--workers", "1", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    table = np.loadtxt(tmp_path / "v.csv", delimiter=",", skiprows=1)
    np.testing.assert_array_equal(table[:, 2], HARBOUR.eval(pts))
    np.testing.assert_array_equal(table[:, 3:], HARBOUR.gradient(pts))


@pytest.mark.parametrize(
    "args, needle",
    [
        (["map", "--out", "o.npy", "--scheduler", "tcp://127.0.0.1:9", "--workers", "2"], "--workers"),
        (["map", "--out", "o.npy", "--scheduler", "tcp://127.0.0.1:9"], "cannot reach the Dask scheduler"),
        (["eval", "--points", "p.csv", "--out", "o.csv", "--nearest", "--workers", "1"], "--nearest"),
        (["map", "--out", "o.npy", "--workers", "0"], "--workers"),
    ],
)
def test_cluster_options_refused(tmp_path, args, needle, monkeypatch):
    pytest.importorskip("distributed")
    monkeypatch.setenv("DASK_DISTRIBUTED__COMM__TIMEOUTS__CONNECT", "1s")
    (tmp_path / "p.csv").write_text("1,2\n")
    result = run(*args, cwd=tmp_path)
    assert_failed(result, needle)
    assert listing(tmp_path) == {"p.csv"}
