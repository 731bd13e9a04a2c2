from __future__ import annotations

import copy
import math
import pickle

import numpy as np
import pytest
from hypothesis import assume, given, settings
from hypothesis import strategies as st
from matplotlib.path import Path

import orin.field.geometry as geometry
from orin.field.geometry import (
    LineString,
    MultiLineString,
    MultiPoint,
    MultiPolygon,
    MultiRGJGeometry,
    Point,
    Polygon,
    RGJGeometry,
)

SQUARE = [[0, 0], [3, 0], [3, 3], [0, 3], [0, 0]]
HOLE = [[1, 1], [2, 1], [2, 2], [1, 2], [1, 1]]
FAR_SQUARE = [[10, 0], [11, 0], [11, 1], [10, 1], [10, 0]]
ANISO = [[2.0, 0.5], [0.5, 1.0]]

EXAMPLES = {
    "Point": [1.5, -2.0],
    "MultiPoint": [[0, 0], [2, 1], [-1, 3]],
    "LineString": [[0, 0], [2, 0], [2, 2]],
    "MultiLineString": [[[0, 0], [1, 1]], [[3, 0], [3, 2], [5, 2]]],
    "Polygon": [SQUARE, HOLE],
    "MultiPolygon": [[SQUARE, HOLE], [FAR_SQUARE]],
}
CLASSES = {cls.RGJType: cls for cls in (Point, MultiPoint, LineString, MultiLineString, Polygon, MultiPolygon)}


def make(kind: str, repulsion=None, **extra):
    return CLASSES[kind](type=kind, coordinates=EXAMPLES[kind], repulsion=repulsion, **extra)


# --- independent references -----------------------------------------------------------------


def quad(d, m):
    m = np.asarray(m, dtype=float)
    return float(d[0] * (m[0, 0] * d[0] + m[0, 1] * d[1]) + d[1] * (m[1, 0] * d[0] + m[1, 1] * d[1]))


def segments_of(chains):
    for chain in chains:
        for a, b in zip(chain[:-1], chain[1:]):
            yield np.asarray(a, float), np.asarray(b, float)


def ref_segment_vector(p, chains, m):
    """Brute force: project onto every segment (Euclidean, clamped), keep the
    first candidate with the smallest quadratic form."""
    best, best_d = None, math.inf
    for a, b in segments_of(chains):
        v = b - a
        vv = float(v @ v)
        if vv == 0:
            continue
        t = min(max(float((p - a) @ v) / vv, 0.0), 1.0)
        d = p - (a + t * v)
        q = quad(d, m)
        if q < best_d:
            best, best_d = d, q
    return best, best_d


def inside_polygon(p, rings):
    outer, *holes = rings
    return Path(np.asarray(outer, float)).contains_point(p) and not any(
        Path(np.asarray(h, float)).contains_point(p) for h in holes
    )


def ref_part_sqdist(kind, part, p, m):
    if kind in ("Point", "MultiPoint"):
        return quad(p - np.asarray(part, float), m)
    if kind in ("LineString", "MultiLineString"):
        return ref_segment_vector(p, [part], m)[1]
    if inside_polygon(p, part):
        return 0.0
    return ref_segment_vector(p, part, m)[1]


def parts_of(kind, coordinates):
    if kind in ("Point", "LineString", "Polygon"):
        return [coordinates]
    return list(coordinates)


def ref_sqdist(kind, coordinates, p, m):
    return min(ref_part_sqdist(kind, part, p, m) for part in parts_of(kind, coordinates))


# --- hand-worked distances ---------------------------------------------------------------------


def test_point_distances_by_hand():
    p = Point(coordinates=[1, 2], repulsion=[[2, 0], [0, 1]])
    x = np.array([[0.0, 0.0], [1.0, 2.0], [3.0, 3.0]])
    np.testing.assert_array_equal(p.repulsion_vector(x), [[-1, -2], [0, 0], [2, 1]])
    # inverse repulsion diag(0.5, 1): 0.5 * 1 + 4 = 4.5 and 0.5 * 4 + 1 = 3
    np.testing.assert_array_equal(p.squared_dist(x), [4.5, 0.0, 3.0])
    np.testing.assert_array_equal(p.squared_dist(x, inverted=False), [6.0, 0.0, 9.0])
    np.testing.assert_array_equal(p.squared_dist(x, scaled=False), [5.0, 0.0, 5.0])
    np.testing.assert_allclose(p.eval(x), np.exp([-4.5, 0.0, -3.0]))


@pytest.mark.parametrize(
    "point, expected",
    [((0.0, 1.0), (0.0, 1.0)), ((3.0, 1.0), (2.0, 1.0)), ((-3.0, 1.0), (-2.0, 1.0)), ((0.5, 0.0), (0.0, 0.0))],
)
def test_line_projection_and_clamping_by_hand(point, expected):
    line = LineString(coordinates=[[-1, 0], [1, 0]])
    np.testing.assert_array_equal(line.repulsion_vector(np.array([point])), [expected])


def test_metric_chooses_among_segment_projections():
    # Segment A from (-1, 1) to (1, 1), segment B from (1.5, -1) to (1.5, 1).
    lines = [[[-1, 1], [1, 1]], [[1.5, -1], [1.5, 1]]]
    origin = np.zeros((1, 2))
    iso = MultiLineString(coordinates=lines)
    np.testing.assert_array_equal(iso.repulsion_vector(origin), [[0, -1]])
    np.testing.assert_array_equal(iso.squared_dist(origin), [1.0])
    # Distances in diag(1, 4), the inverse of this repulsion: A costs 4, B 2.25.
    aniso = MultiLineString(coordinates=lines, repulsion=[[1, 0], [0, 0.25]])
    np.testing.assert_array_equal(aniso.repulsion_vector(origin), [[-1.5, 0]])
    np.testing.assert_array_equal(aniso.squared_dist(origin), [2.25])
    # Unscaled queries ignore the repulsion again.
    np.testing.assert_array_equal(aniso.repulsion_vector(origin, scaled=False), [[0, -1]])
    # Joined into one polyline, the link from (1, 1) to (1.5, -1) wins: the
    # Euclidean projection of the origin onto it is at t = 6/17, (20/17, 5/17),
    # costing (400 + 4 * 25) / 289 = 500/289 < 2.25.
    joined = LineString(coordinates=[[-1, 1], [1, 1], [1.5, -1], [1.5, 1]], repulsion=[[1, 0], [0, 0.25]])
    np.testing.assert_allclose(joined.repulsion_vector(origin), [[-20 / 17, -5 / 17]], rtol=1e-15)
    np.testing.assert_allclose(joined.squared_dist(origin), [500 / 289], rtol=1e-15)


def test_multipoint_metric_selection_by_hand():
    mp = MultiPoint(coordinates=[[2, 0], [0, 1.5]])
    origin = np.zeros((1, 2))
    np.testing.assert_array_equal(mp.repulsion_vector(origin), [[0, -1.5]])
    mp.set_repulsion([[4, 0], [0, 0.25]])  # distances in diag(0.25, 4): 1 against 9
    np.testing.assert_array_equal(mp.repulsion_vector(origin), [[-2, 0]])
    np.testing.assert_array_equal(mp.squared_dist(origin), [1.0])


@pytest.mark.parametrize(
    "point, expected",
    [
        ((0.5, 0.5), 0.0),  # inside
        ((2.5, 1.5), 0.0),  # inside, right of the hole
        ((1.5, 1.5), 0.25),  # centre of the hole: 0.5 to each hole edge
        ((1.5, 1.25), 0.0625),  # in the hole, near its lower edge
        ((4.0, 1.5), 1.0),  # outside, right of the square
        ((-1.0, -1.0), 2.0),  # outside, past the corner
        ((1.0, 1.5), 0.0),  # on the hole's boundary
    ],
)
def test_polygon_with_hole_by_hand(point, expected):
    poly = Polygon(coordinates=[SQUARE, HOLE])
    assert poly.squared_dist(np.array([point])) == pytest.approx([expected])


def test_polygon_inside_is_zero_vector_in_any_metric():
    poly = Polygon(coordinates=[SQUARE, HOLE], repulsion=ANISO)
    x = np.array([[0.5, 0.5], [2.9, 2.9]])
    for scaled in (True, False):
        for inverted in (True, False):
            np.testing.assert_array_equal(poly.repulsion_vector(x, scaled=scaled, inverted=inverted), 0)


# --- against the brute-force reference ---------------------------------------------------------


coord = st.floats(-20, 20, allow_nan=False).map(lambda v: round(v, 3))
position = st.tuples(coord, coord)


@st.composite
def spd(draw):
    angle = draw(st.floats(0, math.pi))
    a, b = draw(st.floats(0.2, 5)), draw(st.floats(0.2, 5))
    r = np.array([[math.cos(angle), -math.sin(angle)], [math.sin(angle), math.cos(angle)]])
    m = r @ np.diag([a, b]) @ r.T
    return ((m + m.T) / 2).tolist()


def distinct_line(min_size=2):
    return st.lists(position, min_size=min_size, max_size=6).filter(lambda pts: len(set(pts)) > 1)


@st.composite
def polygon_rings(draw):
    # A star-shaped outer ring around a centre, and optionally a small hole at
    # the centre; ring vertices are in angular order, so rings are simple.
    cx, cy = draw(coord), draw(coord)
    k = draw(st.integers(3, 7))
    radii = draw(st.lists(st.floats(3, 8), min_size=k, max_size=k))
    angles = np.linspace(0, 2 * np.pi, k, endpoint=False)
    outer = [[cx + r * math.cos(a), cy + r * math.sin(a)] for r, a in zip(radii, angles)]
    rings = [outer + [outer[0]]]
    if draw(st.booleans()):
        h = draw(st.floats(0.3, 1.5))
        hole = [[cx - h, cy - h], [cx + h, cy - h], [cx + h, cy + h], [cx - h, cy + h]]
        rings.append(hole + [hole[0]])
    return rings


kinds_and_coordinates = st.one_of(
    st.tuples(st.just("Point"), position.map(list)),
    st.tuples(st.just("MultiPoint"), st.lists(position.map(list), min_size=1, max_size=5)),
    st.tuples(st.just("LineString"), distinct_line()),
    st.tuples(st.just("MultiLineString"), st.lists(distinct_line(), min_size=1, max_size=3)),
    st.tuples(st.just("Polygon"), polygon_rings()),
    st.tuples(st.just("MultiPolygon"), st.lists(polygon_rings(), min_size=1, max_size=3)),
)


def on_geometry(kind, coordinates, q):
    """Euclidean distance from q to the geometry (polygon interiors count)."""
    eye = np.eye(2)
    return math.sqrt(ref_sqdist(kind, coordinates, np.asarray(q), eye))


@settings(max_examples=150, deadline=None)
@given(kinds_and_coordinates, st.lists(position, min_size=1, max_size=8), st.one_of(st.none(), spd()))
def test_against_brute_force_reference(kind_coords, points, repulsion):
    kind, coordinates = kind_coords
    g = CLASSES[kind](type=kind, coordinates=coordinates, repulsion=repulsion)
    x = np.array(points, dtype=float)
    metric = np.linalg.inv(np.asarray(repulsion)) if repulsion is not None else np.eye(2)
    d = g.squared_dist(x)
    v = g.repulsion_vector(x)
    assert d.shape == (len(x),) and v.shape == (len(x), 2)
    for i, p in enumerate(x):
        expected = ref_sqdist(kind, coordinates, p, metric)
        assert d[i] == pytest.approx(expected, rel=1e-9, abs=1e-9)
        # The vector leads from a point of the geometry to p, and its length
        # in the metric is the distance (near-ties may pick either candidate).
        assert quad(v[i], metric) == pytest.approx(d[i], rel=1e-9, abs=1e-9)
        assert on_geometry(kind, coordinates, p - v[i]) == pytest.approx(0, abs=1e-7)
    np.testing.assert_allclose(g.eval(x), np.exp(-d))


@settings(max_examples=60, deadline=None)
@given(polygon_rings(), st.lists(position, min_size=1, max_size=30))
def test_polygon_interior_against_matplotlib(rings, points):
    poly = Polygon(coordinates=rings)
    x = np.array(points, dtype=float)
    d = poly.squared_dist(x)
    for i, p in enumerate(x):
        # Skip points within rounding of the boundary, where the two
        # point-in-polygon tests may legitimately differ.
        assume(ref_segment_vector(p, rings, np.eye(2))[1] > 1e-9)
        assert (d[i] == 0) == inside_polygon(p, rings)


# --- multi-part selection ----------------------------------------------------------------------


@pytest.mark.parametrize("kind", ["MultiPoint", "MultiLineString", "MultiPolygon"])
@pytest.mark.parametrize("repulsion", [None, ANISO])
def test_multi_part_select_false_is_part_major(kind, repulsion):
    g = make(kind, repulsion)
    single = {"MultiPoint": Point, "MultiLineString": LineString, "MultiPolygon": Polygon}[kind]
    parts = [single(coordinates=c, repulsion=repulsion) for c in EXAMPLES[kind]]
    rng = np.random.default_rng(5)
    x = rng.uniform(-3, 12, size=(7, 2))
    every = g.repulsion_vector(x, min_dist_select=False)
    assert every.shape == (len(parts) * len(x), 2)
    for k, part in enumerate(parts):
        np.testing.assert_array_equal(every[k * len(x) : (k + 1) * len(x)], part.repulsion_vector(x))
    # Selecting picks, per point, the part with the smallest distance.
    part_d = np.stack([part.squared_dist(x) for part in parts])
    best = np.argmin(part_d, axis=0)
    np.testing.assert_allclose(g.squared_dist(x), part_d.min(axis=0), rtol=1e-12)
    np.testing.assert_allclose(g.repulsion_vector(x), every.reshape(len(parts), len(x), 2)[best, np.arange(len(x))])


@pytest.mark.parametrize("kind", ["Point", "LineString", "Polygon"])
def test_single_part_select_false_is_the_same(kind):
    g = make(kind, ANISO)
    x = np.random.default_rng(1).uniform(-3, 5, size=(9, 2))
    np.testing.assert_array_equal(g.repulsion_vector(x, min_dist_select=False), g.repulsion_vector(x))


def test_multipolygon_point_inside_second_part_is_zero():
    g = make("MultiPolygon")
    x = np.array([[10.5, 0.5], [1.5, 1.5], [0.5, 0.5]])
    np.testing.assert_allclose(g.squared_dist(x), [0.0, 0.25, 0.0])
    every = g.repulsion_vector(x, min_dist_select=False)
    assert np.all(every[3] == 0) and not np.all(every[0] == 0)


def test_tie_between_parts_goes_to_first_part():
    g = MultiPoint(coordinates=[[0, 1], [0, -1]])
    np.testing.assert_array_equal(g.repulsion_vector(np.zeros((1, 2))), [[0, -1]])
    g = MultiPoint(coordinates=[[0, -1], [0, 1]])
    np.testing.assert_array_equal(g.repulsion_vector(np.zeros((1, 2))), [[0, 1]])


@pytest.mark.parametrize("kind", list(EXAMPLES))
def test_query_shapes_and_inputs(kind):
    g = make(kind, ANISO)
    assert g.repulsion_vector(np.empty((0, 2))).shape == (0, 2)
    assert g.squared_dist(np.empty((0, 2))).shape == (0,)
    x = np.array([[0.3, 0.7], [4.0, -1.0]])
    wide = np.hstack([x, np.full((2, 3), 99.0)])
    np.testing.assert_array_equal(g.squared_dist(wide), g.squared_dist(x))
    np.testing.assert_array_equal(g.squared_dist(x.tolist()), g.squared_dist(x))
    np.testing.assert_array_equal(g.squared_dist(np.asfortranarray(x)), g.squared_dist(x))
    np.testing.assert_array_equal(g.squared_dist(x.astype(">f8")), g.squared_dist(x))
    ints = np.array([[0, 1], [4, -1]])
    np.testing.assert_array_equal(g.squared_dist(ints), g.squared_dist(ints.astype(float)))
    # Extra keywords reach repulsion_vector harmlessly (the collection forwards them).
    np.testing.assert_array_equal(g.repulsion_vector(x, unknown=1), g.repulsion_vector(x))



@pytest.mark.parametrize("kind", list(EXAMPLES))
@pytest.mark.parametrize("repulsion", [None, ANISO])
def test_unreachable_points_are_not_at_distance_zero(kind, repulsion):
    # NaN points, infinite points and points so far away that every squared
    # distance overflows must not come out as lying on the geometry.
    g = make(kind, repulsion)
    x = np.array([[np.nan, 0.0], [0.0, np.nan], [np.inf, 1.0], [-np.inf, -np.inf], [1e300, 0.0], [0.0, -1e200]])
    d = g.squared_dist(x)
    assert np.all(np.isnan(d) | (d == np.inf))
    assert np.all(np.isnan(d[:2]))
    np.testing.assert_array_equal(np.nan_to_num(g.eval(x), nan=0.0), 0.0)
    assert not np.any((g.repulsion_vector(x, min_dist_select=False) == 0).all(axis=1))


def test_far_points_with_finite_distances_keep_the_exact_answer():
    g = LineString(coordinates=[[0, 0], [1, 0]])
    x = np.array([[0.5, 1e120], [-1e120, 0.0]])
    np.testing.assert_array_equal(g.repulsion_vector(x), [[0, 1e120], [-1e120, 0]])


@pytest.mark.parametrize("x", [np.zeros(2), np.zeros((3, 1)), np.zeros((2, 2, 2)), 5.0])
@pytest.mark.parametrize("kind", list(EXAMPLES))
def test_bad_query_points(kind, x):
    with pytest.raises(ValueError, match=r"\(N, 2\)"):
        make(kind).repulsion_vector(x)


# --- fields and simple queries -------------------------------------------------------------------


@pytest.mark.parametrize("kind", list(EXAMPLES))
def test_fields(kind):
    g = make(kind, ANISO)
    assert isinstance(g, MultiRGJGeometry) == kind.startswith("Multi")
    assert isinstance(g, RGJGeometry)
    np.testing.assert_array_equal(g.repulsion, ANISO)
    np.testing.assert_allclose(g.inv_repulsion @ np.asarray(ANISO), np.eye(2), atol=1e-15)
    np.testing.assert_array_equal(g.eye_repulsion, np.eye(2))
    np.testing.assert_array_equal(g.grad_matrix, 2 * g.inv_repulsion)
    positions = np.concatenate([np.reshape(np.asarray(c, float), (-1, 2)) for c in _flatten(EXAMPLES[kind])])
    np.testing.assert_array_equal(g.bbox, [positions.min(0), positions.max(0)])
    np.testing.assert_array_equal(g.get_center_point(), positions.min(0) / 2 + positions.max(0) / 2)
    assert g.get_dist_matrix() is g.inv_repulsion
    assert g.get_dist_matrix(inverted=False) is g.repulsion
    assert g.get_dist_matrix(scaled=False) is g.eye_repulsion
    assert g.get_dist_matrix(False, False) is g.eye_repulsion
    for arr in (g.repulsion, g.inv_repulsion, g.grad_matrix, g.bbox):
        assert arr.dtype == np.float64 and not arr.flags.writeable


def _flatten(c):
    if isinstance(c[0], (int, float)):
        return [c]
    return [p for item in c for p in _flatten(item)]


def test_defaults_and_properties():
    a = Point(coordinates=[0, 0])
    b = Point(coordinates=[0, 0], properties=None)
    np.testing.assert_array_equal(a.repulsion, np.eye(2))
    assert a.properties == {} and b.properties == {} and a.properties is not b.properties
    props = {"name": "buoy"}
    c = Point(type="Point", coordinates=[0, 0], properties=props, bbox=[9, 9, 9, 9])
    assert c.properties is props
    np.testing.assert_array_equal(c.bbox, [[0, 0], [0, 0]])


@pytest.mark.parametrize(
    "point, inside",
    [([0, 0], True), ([3, 3], True), ([1.5, 3], True), ([3.0001, 1], False), ((-1e-9, 0), False),
     (np.array([[2.0, 2.0]]), True), ([np.nan, 1], False)],
)
def test_in_bbox_is_closed(point, inside):
    result = Polygon(coordinates=[SQUARE]).in_bbox(point)
    assert result is inside


def test_in_bbox_rejects_several_points():
    with pytest.raises(ValueError, match="one point"):
        Point(coordinates=[0, 0]).in_bbox([[0, 0], [1, 1]])


def test_set_repulsion_updates_and_failure_changes_nothing():
    g = make("LineString")
    g.set_repulsion([[4, 0], [0, 1]])
    np.testing.assert_array_equal(g.inv_repulsion, [[0.25, 0], [0, 1]])
    np.testing.assert_array_equal(g.grad_matrix, [[0.5, 0], [0, 2]])
    before = (g.repulsion, g.inv_repulsion, g.grad_matrix)
    with pytest.raises(ValueError, match="positive-definite"):
        g.set_repulsion([[1, 0], [0, -1]])
    assert (g.repulsion, g.inv_repulsion, g.grad_matrix) == before


def test_set_coordinates_replaces_derived_data_and_failure_changes_nothing():
    g = make("Polygon")
    x = np.array([[20.0, 0.5]])
    g.set_coordinates([FAR_SQUARE])
    np.testing.assert_array_equal(g.bbox, [[10, 0], [11, 1]])
    np.testing.assert_allclose(g.squared_dist(x), [81.0])
    before = (g.coordinates, g.bbox)
    with pytest.raises(ValueError, match="not closed"):
        g.set_coordinates([[[0, 0], [1, 0], [1, 1], [0, 1]]])
    assert (g.coordinates, g.bbox) == before
    np.testing.assert_allclose(g.squared_dist(x), [81.0])


@pytest.mark.parametrize(
    "kwargs",
    [{"coordinates": [[FAR_SQUARE]], "repulsion": [[1, 0], [0, -1]]}, {"coordinates": [[0, 0]], "repulsion": ANISO},
     {"type": "Point", "coordinates": [[FAR_SQUARE]]}],
)
def test_failed_reinitialisation_changes_nothing(kwargs):
    g = make("MultiPolygon", ANISO, properties={"keep": 1})
    before = {name: getattr(g, name) for name in ("coordinates", "repulsion", "inv_repulsion", "grad_matrix",
                                                   "eye_repulsion", "properties", "bbox")}
    x = np.array([[20.0, 0.5], [1.5, 1.5]])
    d = g.squared_dist(x)
    with pytest.raises(ValueError):
        g.__init__(**kwargs)
    assert all(getattr(g, name) is value for name, value in before.items())
    np.testing.assert_array_equal(g.squared_dist(x), d)


def test_stored_arrays_are_copies_and_read_only():
    source = np.array([[0.0, 0.0], [1.0, 0.0]])
    g = LineString(coordinates=source)
    source[1, 0] = 100.0
    np.testing.assert_array_equal(g.coordinates, [[0, 0], [1, 0]])
    with pytest.raises(ValueError):
        g.coordinates[0, 0] = 5.0


def test_zero_length_segments_are_harmless():
    g = LineString(coordinates=[[0, 0], [0, 0], [2, 0], [2, 0]])
    np.testing.assert_array_equal(g.repulsion_vector(np.array([[1.0, 1.0], [-1.0, 0.0]])), [[0, 1], [-1, 0]])


# --- export and pickling ----------------------------------------------------------------------


@pytest.mark.parametrize("kind", list(EXAMPLES))
@pytest.mark.parametrize("repulsion", [None, ANISO])
def test_export_round_trip(kind, repulsion):
    g = make(kind, repulsion, properties={"id": 7})
    exported = g.toRGeoJSON()
    assert list(exported) == ["type", "properties", "geometry"]
    assert exported["type"] == "Feature" and exported["properties"] is g.properties
    geo = exported["geometry"]
    assert list(geo) == ["type", "coordinates", "repulsion"]
    assert geo["type"] == kind
    assert geo["coordinates"] == _nested_float(EXAMPLES[kind])
    rebuilt = type(g)(**geo)
    assert_equal_geometry(g, rebuilt)


def _with_elevation(c, rng):
    """The same nesting with a third value (an arbitrary elevation) on every position."""
    if isinstance(c[0], (int, float)):
        return [*c, float(rng.choice([0.0, -12.5, 1e300, np.nan, np.inf]))]
    return [_with_elevation(i, rng) for i in c]


@pytest.mark.parametrize("kind", list(EXAMPLES))
@pytest.mark.parametrize("repulsion", [None, ANISO])
def test_elevation_is_accepted_and_ignored(kind, repulsion):
    # RFC 7946 allows [x, y, z]; the field is planar, so z, whatever its
    # value, must leave the geometry exactly the planar one.
    with_z = _with_elevation(EXAMPLES[kind], np.random.default_rng(5))
    g = CLASSES[kind](type=kind, coordinates=with_z, repulsion=repulsion)
    assert_equal_geometry(g, make(kind, repulsion))
    assert g.toRGeoJSON()["geometry"]["coordinates"] == _nested_float(EXAMPLES[kind])


@pytest.mark.parametrize(
    "kind, coordinates, match",
    [
        ("Point", [1, 2, "z"], "only numbers"),
        ("Point", [np.nan, 2, 0], "non-finite"),
        ("MultiPoint", [[0, 0, 1], [1, 1]], "ragged"),
        ("LineString", [[0, 0, 0], [1, 0, 0], [2, 0, 0, 0]], "ragged"),
        ("LineString", [[0, 0, 0, 0], [1, 0, 0, 0]], r"got shape \(2, 4\)"),
    ],
)
def test_elevation_does_not_hide_bad_positions(kind, coordinates, match):
    with pytest.raises(ValueError, match=match):
        CLASSES[kind](type=kind, coordinates=coordinates)


def _nested_float(c):
    if isinstance(c, (list, tuple)):
        return [_nested_float(i) for i in c]
    return float(c)


def test_export_builds_through_type_table():
    for kind in EXAMPLES:
        geo = make(kind, ANISO).toRGeoJSON()["geometry"]
        assert_equal_geometry(geometry._RGJ_TYPES[geo["type"]](**geo), make(kind, ANISO))


def assert_equal_geometry(a, b):
    assert type(a) is type(b)
    assert a.toRGeoJSON()["geometry"] == b.toRGeoJSON()["geometry"]
    for name in ("repulsion", "inv_repulsion", "eye_repulsion", "grad_matrix", "bbox"):
        np.testing.assert_array_equal(getattr(a, name), getattr(b, name))
    x = np.random.default_rng(3).uniform(-3, 12, size=(25, 2))
    np.testing.assert_array_equal(a.repulsion_vector(x, min_dist_select=False), b.repulsion_vector(x, min_dist_select=False))
    np.testing.assert_array_equal(a.squared_dist(x), b.squared_dist(x))


@pytest.mark.parametrize("kind", list(EXAMPLES))
@pytest.mark.parametrize(
    "clone",
    [lambda g: pickle.loads(pickle.dumps(g)), lambda g: pickle.loads(pickle.dumps(g, 0)), copy.copy, copy.deepcopy],
    ids=["pickle", "pickle0", "copy", "deepcopy"],
)
def test_pickle_and_copy_round_trip(kind, clone):
    g = make(kind, ANISO, properties={"tag": [1, 2]})
    h = clone(g)
    assert_equal_geometry(g, h)
    assert h.properties == g.properties
    for name in ("coordinates", "repulsion", "bbox"):
        assert all(not arr.flags.writeable for arr in _arrays(getattr(h, name)))


def _arrays(value):
    if isinstance(value, np.ndarray):
        return [value]
    return [a for item in value for a in _arrays(item)]


def test_type_table():
    for kind, cls in CLASSES.items():
        assert geometry._RGJ_TYPES[kind] is cls
    try:
        from orin.field.geometry.collection import GeometryCollectionRGJ
    except ImportError:
        assert "GeometryCollection" not in geometry._RGJ_TYPES
    else:
        assert geometry._RGJ_TYPES["GeometryCollection"] is GeometryCollectionRGJ


COLLECTION_IMPORT_FAILS = r"""
import sys
failure = sys.argv[1]

class Refuse:
    # Stands in front of the real finders for the collection module only.
    def find_spec(self, fullname, path=None, target=None):
        if fullname != "orin.field.geometry.collection":
            return None
        if failure == "not built":
            raise ModuleNotFoundError(f"No module named {fullname!r}", name=fullname)
        if failure == "dependency missing":
            raise ModuleNotFoundError("No module named 'numpy._core._dep'", name="numpy._core._dep")
        raise ImportError("collection.so: undefined symbol: _ZN4orin3refD1Ev")

sys.meta_path.insert(0, Refuse())
try:
    import orin.field.geometry as geometry
except ImportError as exc:
    print("raised", type(exc).__name__)
else:
    print("imported", "GeometryCollection" in geometry._RGJ_TYPES)
"""


@pytest.mark.parametrize(
    "failure,outcome",
    [
        ("not built", "imported False"),
        ("dependency missing", "raised ModuleNotFoundError"),
        ("broken build", "raised ImportError"),
    ],
)
def test_only_a_missing_collection_module_is_tolerated(failure, outcome):
    import subprocess
    import sys

    proc = subprocess.run(
        [sys.executable, "-c", COLLECTION_IMPORT_FAILS, failure], capture_output=True, text=True, timeout=120
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == outcome


# --- bad input ------------------------------------------------------------------------------------


RING_OPEN = [[0, 0], [1, 0], [1, 1], [0, 1]]
RING_SHORT = [[0, 0], [1, 0], [0, 0]]


@pytest.mark.parametrize(
    "kind, coordinates, match",
    [
        ("Point", [1, 2, 3, 4], r"position \[x, y\] or \[x, y, z\], got shape \(4,\)"),
        ("Point", [[1, 2]], r"position \[x, y\]"),
        ("Point", 5, "list of numbers, got int"),
        ("Point", "12", "got str"),
        ("Point", [1, "a"], "only numbers"),
        ("Point", [1, None], "only numbers"),
        ("Point", [True, False], "only numbers"),
        ("Point", [np.nan, 0], "non-finite"),
        ("Point", [np.inf, 0], "non-finite"),
        ("MultiPoint", [], r"at least 1 positions|got shape \(0,\)"),
        ("MultiPoint", [[0, 0], [1]], "ragged"),
        ("MultiPoint", [0, 0], r"list of \[x, y\] or \[x, y, z\] positions, got shape \(2,\)"),
        ("MultiPoint", [[0, 0, 0, 0]], r"list of \[x, y\] or \[x, y, z\] positions, got shape \(1, 4\)"),
        ("LineString", [[0, 0]], "at least 2 positions, got 1"),
        ("LineString", [[1, 1], [1, 1], [1, 1]], "no segment of non-zero length"),
        ("LineString", [[0, 0], [1, 0, 0]], "ragged"),
        ("LineString", [[-1e308, 0], [1e308, 0]], "too long"),
        ("MultiLineString", [], "at least one line"),
        ("MultiLineString", [[0, 0], [1, 1]], r"line 0 must be a list of \[x, y\] or \[x, y, z\] positions"),
        ("MultiLineString", [[[0, 0], [1, 1]], [[2, 2]]], "line 1 needs at least 2 positions"),
        ("MultiLineString", {"a": 1}, "list of lines, got dict"),
        ("Polygon", [], "at least one ring"),
        ("Polygon", [RING_OPEN + [[0, 0.5]]], "ring 0 is not closed"),
        ("Polygon", [SQUARE, RING_SHORT], "ring 1 needs at least 4 positions, got 3"),
        ("Polygon", SQUARE, r"ring 0 must be a list of \[x, y\] or \[x, y, z\] positions"),
        ("Polygon", [[[1, 1]] * 4], "ring 0 has no segment of non-zero length"),
        ("Polygon", [[[0, 0], [1, 0], [1, np.inf], [0, 0]]], "non-finite"),
        ("MultiPolygon", [], "at least one polygon"),
        ("MultiPolygon", [[SQUARE], [RING_OPEN + [[0, 0.5]]]], "polygon 1 ring 0 is not closed"),
        ("MultiPolygon", [SQUARE], r"polygon 0 ring 0 must be a list of \[x, y\] or \[x, y, z\] positions"),
    ],
)
def test_bad_coordinates(kind, coordinates, match):
    with pytest.raises(ValueError, match=match):
        CLASSES[kind](type=kind, coordinates=coordinates)


@pytest.mark.parametrize(
    "repulsion, match",
    [
        ([[1, 0], [0, 1], [0, 0]], r"2 x 2 matrix, got shape \(3, 2\)"),
        ([1, 0, 0, 1], r"2 x 2 matrix, got shape \(4,\)"),
        (np.eye(3), "2 x 2"),
        ([[1, 0.5], [0, 1]], "symmetric"),
        ([[1, 0], [0, 0]], "positive-definite"),
        ([[-1, 0], [0, -1]], "positive-definite"),
        ([[1, 2], [2, 1]], "positive-definite"),
        ([[0, 0], [0, 0]], "positive-definite"),
        ([[1, np.nan], [np.nan, 1]], "non-finite"),
        ([[np.inf, 0], [0, 1]], "non-finite"),
        ([["a", 0], [0, 1]], "only numbers"),
        ([[1e-310, 0], [0, 1e300]], "singular"),
        ([[1e-200, 0], [0, 1e-200]], "positive-definite"),  # determinant underflows
        (3.0, "list of numbers"),
    ],
)
def test_bad_repulsion(repulsion, match):
    with pytest.raises(ValueError, match=match):
        Point(coordinates=[0, 0], repulsion=repulsion)


def test_nearly_symmetric_repulsion_is_accepted():
    angle = 0.3
    r = np.array([[np.cos(angle), -np.sin(angle)], [np.sin(angle), np.cos(angle)]])
    m = r @ np.diag([3.0, 0.5]) @ r.T
    Point(coordinates=[0, 0], repulsion=m)


@pytest.mark.parametrize(
    "call, exc, match",
    [
        (lambda: Point(coordinates=[0, 0], repulsio=np.eye(2)), TypeError, "repulsio"),
        (lambda: Point(coordinates=[0, 0], geometries=[]), TypeError, "geometries"),
        (lambda: Point([0, 0]), TypeError, "positional"),
        (lambda: Point(), TypeError, "coordinates"),
        (lambda: Point(type="Polygon", coordinates=[0, 0]), ValueError, "'Point' for Point, got 'Polygon'"),
        (lambda: MultiPolygon(type="Polygon", coordinates=[[SQUARE]]), ValueError, "'MultiPolygon'"),
    ],
)
def test_bad_construction_arguments(call, exc, match):
    with pytest.raises(exc, match=match):
        call()
