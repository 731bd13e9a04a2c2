"""RiskField against the obstacles' own fields, the cut-off rule, gradients and grids."""

from __future__ import annotations

import json
import math

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from orin.field import RiskField, SceneError, example_scene
from orin.field.geometry import _RGJ_TYPES

CUTOFF = 1e-12
# Point obstacles go through the fused kernel, the geometries through NumPy:
# the same formula, summed in a different order.
RTOL = 1e-13


def members_max(obstacles, pts):
    """The unskipped field: every obstacle's own eval at every point."""
    values = np.array([np.asarray(o.eval(pts), dtype=np.float64) for o in obstacles])
    return values.max(axis=0) if len(values) else np.zeros(len(pts))


def assert_cutoff_rule(got, exact, cutoff):
    """Equal to the unskipped max where that is >= cutoff; in [0, exact] below it."""
    big = exact >= cutoff
    np.testing.assert_allclose(got[big], exact[big], rtol=RTOL, atol=0)
    small = ~big
    assert np.all(got[small] >= 0)
    # deep in the tail the exponent reaches 700 and its rounding with it
    assert np.all(got[small] <= exact[small] * (1 + 1e-11))


def geometry(kind, coordinates, repulsion=None):
    kwargs = {"type": kind, "coordinates": coordinates}
    if repulsion is not None:
        kwargs["repulsion"] = repulsion
    return _RGJ_TYPES[kind](**kwargs)


@pytest.fixture(scope="module")
def harbour():
    return RiskField(example_scene())


@pytest.fixture(scope="module")
def harbour_points():
    rng = np.random.default_rng(7)
    inside = rng.uniform([-60.0, -60.0], [660.0, 460.0], size=(20000, 2))
    far = rng.uniform(-1e4, 1e4, size=(500, 2))
    return np.concatenate([inside, far])


# -- eval -------------------------------------------------------------------------


def test_bundled_scene_has_every_kind(harbour):
    kinds = {o.toRGeoJSON()["geometry"]["type"] for o in harbour.obstacles}
    assert kinds == {
        "Point", "MultiPoint", "LineString", "MultiLineString", "Polygon", "MultiPolygon", "GeometryCollection"
    }
    for obstacle in harbour.obstacles:
        if obstacle.toRGeoJSON()["geometry"]["type"] == "GeometryCollection":
            metrics = [np.asarray(m.inv_repulsion) for m in obstacle.rgjs]
        else:
            metrics = [np.asarray(obstacle.inv_repulsion)]
        # anisotropic: not a multiple of the identity
        assert all(not np.allclose(m, m[0, 0] * np.eye(2)) for m in metrics)


def test_eval_is_max_of_members(harbour, harbour_points):
    got = harbour.eval(harbour_points)
    exact = members_max(harbour.obstacles, harbour_points)
    assert got.shape == (len(harbour_points),)
    assert_cutoff_rule(got, exact, CUTOFF)
    # the sample must exercise both sides of the cut-off and the polygons' insides
    assert (exact >= CUTOFF).sum() > 1000 and (exact < CUTOFF).sum() > 1000
    assert (got == 1.0).sum() > 100


def test_cutoff_zero_skips_nothing(harbour_points):
    field = RiskField(example_scene(), cutoff=0.0)
    exact = members_max(field.obstacles, harbour_points)
    # Down to 1e-300 the exponent is near 700, and with it the rounding of exp(-d2).
    np.testing.assert_allclose(field.eval(harbour_points), exact, rtol=1e-11, atol=0)


@pytest.mark.parametrize("chunk_size", [1, 7, 1000])
def test_chunking_does_not_change_values_above_cutoff(harbour, harbour_points, chunk_size):
    field = RiskField(example_scene(), chunk_size=chunk_size)
    pts = harbour_points[:3000]
    ref = harbour.eval(pts)
    got = field.eval(pts)
    big = ref >= CUTOFF
    # NumPy may sum a 1-point batch in another order than a long one.
    np.testing.assert_allclose(got[big], ref[big], rtol=RTOL, atol=0)
    assert np.all(got[~big] < CUTOFF)


def _rotated(a, b, angle):
    c, s = math.cos(angle), math.sin(angle)
    rot = np.array([[c, -s], [s, c]])
    return (rot @ np.diag([a, b]) @ rot.T).tolist()


spd = st.builds(_rotated, st.floats(0.05, 50.0), st.floats(0.05, 50.0), st.floats(0.0, math.pi))
shift = st.tuples(st.floats(-20, 20), st.floats(-20, 20))


def _square(cx, cy, s):
    return [[[cx, cy], [cx + s, cy], [cx + s, cy + s], [cx, cy + s], [cx, cy]]]


@settings(max_examples=40, deadline=None)
@given(
    kind=st.sampled_from(["Point", "MultiPoint", "LineString", "Polygon"]),
    repulsion=spd,
    at=shift,
    cutoff=st.sampled_from([1e-15, 1e-12, 1e-8, 1e-4, 0.05]),
    seed=st.integers(0, 2**32 - 1),
)
def test_cutoff_rule_single_obstacles(kind, repulsion, at, cutoff, seed):
    cx, cy = at
    coordinates = {
        "Point": [cx, cy],
        "MultiPoint": [[cx, cy], [cx + 3, cy - 1]],
        "LineString": [[cx, cy], [cx + 4, cy + 1], [cx + 5, cy - 3]],
        "Polygon": _square(cx, cy, 3.0),
    }[kind]
    obstacle = geometry(kind, coordinates, repulsion)
    rng = np.random.default_rng(seed)
    # Scale the sample to the obstacle's reach so both sides of the cut-off show up.
    reach = math.sqrt(-math.log(cutoff) * max(np.linalg.eigvalsh(np.array(repulsion))))
    pts = np.array([cx, cy]) + rng.uniform(-2.5 * reach, 2.5 * reach, size=(400, 2))
    field = RiskField([obstacle], cutoff=cutoff, chunk_size=64)
    assert_cutoff_rule(field.eval(pts), members_max([obstacle], pts), cutoff)


def test_values_just_above_cutoff_are_kept():
    # exp(-d2) with d2 = x^2 / 50 along the weak axis of diag(50, 2):
    # the field crosses 1e-12 at x = sqrt(50 * ln 1e12).
    obstacle = geometry("Point", [0.0, 0.0], [[50.0, 0.0], [0.0, 2.0]])
    edge = math.sqrt(50.0 * -math.log(CUTOFF))
    xs = np.array([edge * 0.999, edge * 0.99999, edge * 1.001])
    pts = np.column_stack([xs, np.zeros(3)])
    got = RiskField([obstacle]).eval(pts)
    expected = np.exp(-xs**2 / 50.0)
    np.testing.assert_allclose(got[:2], expected[:2], rtol=1e-12)
    assert got[2] <= expected[2]


def test_nonfinite_points(harbour):
    pts = np.array([[np.nan, 10.0], [250.0, np.nan], [np.inf, 5.0], [-np.inf, np.inf], [np.inf, np.nan], [250.0, 250.0]])
    got = harbour.eval(pts)
    assert np.isnan(got[[0, 1, 4]]).all()
    assert got[2] == 0.0 and got[3] == 0.0
    assert got[5] == pytest.approx(1.0)
    grad = harbour.gradient(pts)
    assert np.isnan(grad[[0, 1, 4]]).all()
    assert (grad[[2, 3]] == 0.0).all()


@pytest.mark.parametrize("bad", [np.zeros(2), np.zeros((3, 3)), np.zeros((2, 2, 2)), [[1.0], [2.0]]])
def test_eval_rejects_bad_shapes(harbour, bad):
    with pytest.raises(ValueError, match=r"\(N, 2\)"):
        harbour.eval(bad)
    with pytest.raises(ValueError, match=r"\(N, 2\)"):
        harbour.gradient(bad)


def test_empty_inputs():
    empty = RiskField({"type": "FeatureCollection", "features": []})
    assert empty.eval([[1.0, 2.0], [3.0, 4.0]]).tolist() == [0.0, 0.0]
    assert empty.gradient([[1.0, 2.0]]).tolist() == [[0.0, 0.0]]
    field = RiskField(example_scene())
    assert field.eval(np.zeros((0, 2))).shape == (0,)
    assert field.gradient(np.zeros((0, 2))).shape == (0, 2)


@pytest.mark.parametrize("query", ["eval", "gradient", "grid"])
def test_progress_counts_every_point(harbour, harbour_points, query):
    seen = []
    if query == "grid":
        harbour.grid((0, 0, 10, 10), (100, 77), progress=seen.append)
        total = 7700
    else:
        getattr(harbour, query)(harbour_points, progress=seen.append)
        total = len(harbour_points)
    assert sum(seen) == total and min(seen) > 0


@pytest.mark.parametrize("query", ["eval", "gradient", "nearest", "grid"])
@pytest.mark.parametrize("n", [0, 3])
def test_progress_that_cannot_be_called_is_refused(harbour, query, n):
    with pytest.raises(TypeError, match="^progress must be callable or None, got int$"):
        if query == "grid":
            harbour.grid((0, 0, 10, 10), (max(n, 1), 2), progress=5)
        else:
            getattr(harbour, query)(np.zeros((n, 2)), progress=5)


# -- gradient ---------------------------------------------------------------------


def _unique_max(obstacles, pts, margin=1e-3):
    values = np.array([o.eval(pts) for o in obstacles])
    top = np.sort(values, axis=0)
    second = top[-2] if len(obstacles) > 1 else np.zeros(len(pts))
    return (top[-1] - second > margin) & (top[-1] > 1e-6) & (top[-1] < 1 - 1e-9)


def _central_difference(field, pts, h):
    ex = np.array([h, 0.0])
    ey = np.array([0.0, h])
    return np.column_stack(
        [(field.eval(pts + ex) - field.eval(pts - ex)) / (2 * h), (field.eval(pts + ey) - field.eval(pts - ey)) / (2 * h)]
    )


def test_gradient_matches_finite_differences_where_exact():
    # Points and multipoints with anisotropic metrics, and a line and a polygon
    # with isotropic ones: there the gradient rule is the exact derivative.
    obstacles = [
        geometry("Point", [0.0, 0.0], [[4.0, 1.5], [1.5, 2.0]]),
        geometry("MultiPoint", [[6.0, 1.0], [7.0, -3.0]], [[1.0, -0.4], [-0.4, 3.0]]),
        geometry("LineString", [[-6.0, -6.0], [0.0, -5.0], [2.0, -9.0]], [[2.5, 0.0], [0.0, 2.5]]),
        geometry("Polygon", _square(-9.0, 3.0, 3.0), [[1.5, 0.0], [0.0, 1.5]]),
    ]
    field = RiskField(obstacles)
    rng = np.random.default_rng(3)
    pts = rng.uniform(-12, 12, size=(4000, 2))
    pts = pts[_unique_max(obstacles, pts)]
    assert len(pts) > 500
    h = 1e-6
    fd = _central_difference(field, pts, h)
    grad = field.gradient(pts)
    np.testing.assert_allclose(grad, fd, rtol=1e-4, atol=1e-8)


def test_gradient_matches_finite_differences_near_vertices():
    # Past a segment's end the nearest point is the vertex itself: exact there
    # even with an anisotropic metric.
    line = geometry("LineString", [[0.0, 0.0], [4.0, 0.0]], [[3.0, 1.0], [1.0, 2.0]])
    field = RiskField([line])
    rng = np.random.default_rng(5)
    pts = np.concatenate([rng.uniform([-4, -3], [-0.5, 3], (300, 2)), rng.uniform([4.5, -3], [8, 3], (300, 2))])
    np.testing.assert_allclose(field.gradient(pts), _central_difference(field, pts, 1e-6), rtol=1e-4, atol=1e-8)


def test_gradient_is_the_derivative_on_the_harbour(harbour, harbour_points):
    # Every kind, anisotropic metrics: away from the places where the winning
    # obstacle changes, the gradient is the derivative of eval.
    pts = harbour_points[:5000]
    h = 1e-6
    owners = [harbour.nearest(pts + d)[0] for d in ([h, 0], [-h, 0], [0, h], [0, -h], [0, 0])]
    steady = np.all([o == owners[-1] for o in owners], axis=0) & (owners[-1] >= 0)
    steady &= _unique_max(harbour.obstacles, pts, margin=1e-6) | (harbour.eval(pts) == 1.0)
    assert steady.sum() > 2000
    grad = harbour.gradient(pts[steady])
    fd = _central_difference(harbour, pts[steady], h)
    np.testing.assert_allclose(grad, fd, rtol=1e-4, atol=1e-8)


# -- grid -------------------------------------------------------------------------


def test_grid_orientation():
    # One narrow bump at (3, 1): it must appear at row y = 1, column x = 3.
    bump = geometry("Point", [3.0, 1.0], [[0.01, 0.0], [0.0, 0.01]])
    field = RiskField([bump])
    img = field.grid((0.0, 0.0, 4.0, 2.0), (3, 5))
    assert img.shape == (3, 5)
    assert np.unravel_index(img.argmax(), img.shape) == (1, 3)
    assert img[1, 3] == 1.0


@pytest.mark.parametrize("shape", [(1, 1), (4, 9), (31, 2)])
def test_grid_equals_eval_on_listed_points(harbour, shape):
    bounds = (-20.0, 10.0, 610.0, 390.0)
    ny, nx = shape
    img = harbour.grid(bounds, shape)
    xs = [bounds[0] + (bounds[2] - bounds[0]) * j / (nx - 1) if nx > 1 else bounds[0] for j in range(nx)]
    ys = [bounds[1] + (bounds[3] - bounds[1]) * i / (ny - 1) if ny > 1 else bounds[1] for i in range(ny)]
    pts = np.array([[x, y] for y in ys for x in xs])
    np.testing.assert_allclose(img, harbour.eval(pts).reshape(ny, nx), rtol=RTOL, atol=1e-300)


@pytest.mark.parametrize(
    "bounds, shape",
    [
        ((0, 0, 1), (2, 2)),
        ((0, 0, 1, np.nan), (2, 2)),
        ((1, 0, 0, 1), (2, 2)),
        ((0, 0, 1, 1), (0, 3)),
        ((0, 0, 1, 1), (2,)),
        ((-1e308, 0, 1e308, 1), (2, 2)),  # the width overflows
        ((0, -1.7e308, 1, 1.7e308), (1, 1)),
    ],
)
def test_grid_rejects_bad_arguments(harbour, bounds, shape):
    with pytest.raises(ValueError):
        harbour.grid(bounds, shape)


# -- construction -----------------------------------------------------------------


def test_sources_agree(tmp_path, harbour_points):
    scene = example_scene()
    path = tmp_path / "scene.geojson"
    path.write_text(json.dumps(scene))
    pts = harbour_points[:2000]
    ref = RiskField(scene).eval(pts)
    for source in (str(path), path, scene["features"], RiskField(scene).obstacles):
        np.testing.assert_array_equal(RiskField(source).eval(pts), ref)


def test_feature_properties_reach_the_obstacle():
    scene = example_scene()
    field = RiskField(scene)
    names = [o.properties["name"] for o in field.obstacles]
    assert names == [f["properties"]["name"] for f in scene["features"]]


def test_null_geometry_is_skipped():
    scene = example_scene()
    scene["features"].insert(1, {"type": "Feature", "properties": {}, "geometry": None})
    assert len(RiskField(scene)) == len(example_scene()["features"])


def _scene_with(feature_geometry, at=2):
    scene = example_scene()
    scene["features"][at]["geometry"] = feature_geometry
    return scene


@pytest.mark.parametrize(
    "scene, pattern",
    [
        (_scene_with({"type": "Circle", "coordinates": [0, 0]}), r"^feature 2: unknown geometry type 'Circle'"),
        (_scene_with({"coordinates": [0, 0]}), r"^feature 2: unknown geometry type None"),
        (_scene_with({"type": "Polygon", "coordinates": [[[0, 0], [1, 0], [1, 1], [0, 2]]]}), r"^feature 2 \(Polygon\): "),
        (_scene_with({"type": "Point", "coordinates": [0, "a"]}), r"^feature 2 \(Point\): "),
        (_scene_with({"type": "Point", "coordinates": [0, 0], "repulsion": [[1, 2], [2, 1]]}), r"^feature 2 \(Point\): "),
        (_scene_with({"type": "Point", "coordinates": [0, 0], "repulsoin": [[1, 0], [0, 1]]}), r"^feature 2 \(Point\): .*repulsoin"),
        (_scene_with([1, 2]), r"^feature 2: 'geometry' must be a JSON object"),
        ({"type": "FeatureCollection", "features": [{"type": "Feature"}]}, r"^feature 0: missing 'geometry'"),
        ({"type": "FeatureCollection", "features": [3]}, r"^feature 0: expected a Feature"),
        ({"type": "FeatureCollection", "features": {}}, r"'features' must be a list"),
        ({"type": "Topology"}, r"expected type 'FeatureCollection'"),
    ],
)
def test_bad_scenes_name_the_feature(scene, pattern):
    with pytest.raises(SceneError, match=pattern) as info:
        RiskField(scene)
    assert "\n" not in str(info.value)


@pytest.mark.parametrize("text, pattern", [("{", r"invalid JSON at line 1"), (b"\xff\xfe", r"not UTF-8"), ("[" * 100000, r"nested|JSON")])
def test_bad_files(tmp_path, text, pattern):
    path = tmp_path / "bad.geojson"
    if isinstance(text, bytes):
        path.write_bytes(text)
    else:
        path.write_text(text)
    with pytest.raises(SceneError, match=pattern):
        RiskField(path)
    with pytest.raises(SceneError, match="cannot read"):
        RiskField(tmp_path / "missing.geojson")


@pytest.mark.parametrize("cutoff", [-0.1, 1.0, float("nan")])
def test_bad_cutoff(cutoff):
    with pytest.raises(ValueError, match="cutoff"):
        RiskField([], cutoff=cutoff)


def test_non_geometry_obstacle_is_rejected():
    with pytest.raises(TypeError, match="obstacle 1"):
        RiskField([geometry("Point", [0, 0]), object()])
