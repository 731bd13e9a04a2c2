"""Scene reading: files, dicts, and geometries from the ecosystem (shapely, __geo_interface__)."""

from __future__ import annotations

import copy
import json

import numpy as np
import pytest

from orin.field import RiskField, SceneError, example_scene, load_scene
from orin.field.scene import features_of

shapely = pytest.importorskip("shapely")
from shapely.geometry import shape  # noqa: E402

PTS = np.concatenate(
    [np.random.default_rng(21).uniform([-60.0, -60.0], [660.0, 460.0], size=(4000, 2)), [[250.0, 250.0], [0.0, 0.0]]]
)


def plain_features():
    """The harbour's features, except the collection (its members carry repulsions of their own)."""
    return [f for f in example_scene()["features"] if f["geometry"]["type"] != "GeometryCollection"]


def assert_same_field(a: RiskField, b: RiskField) -> None:
    assert [type(o) for o in a.obstacles] == [type(o) for o in b.obstacles]
    assert [o.properties for o in a.obstacles] == [o.properties for o in b.obstacles]
    np.testing.assert_array_equal(a.eval(PTS), b.eval(PTS))
    np.testing.assert_array_equal(a.gradient(PTS), b.gradient(PTS))


class GeoFrame:
    """Stands in for a GeoDataFrame: its __geo_interface__ is laid out as GeoPandas writes it
    (string ids, per-feature and total bbox, tuples from shapely, missing values as None)."""

    def __init__(self, geoms, columns):
        self.geoms, self.columns = geoms, columns

    @property
    def __geo_interface__(self):
        features = []
        for i, g in enumerate(self.geoms):
            features.append({
                "id": str(i), "type": "Feature",
                "properties": {name: values[i] for name, values in self.columns.items()},
                "geometry": None if g is None else g.__geo_interface__,
                "bbox": None if g is None else g.bounds,
            })
        return {"type": "FeatureCollection", "features": features, "bbox": (0.0, 0.0, 1.0, 1.0)}


def _add_z(coords, z=7.5):
    if isinstance(coords[0], (int, float)):
        return [*coords, z]
    return [_add_z(c, z) for c in coords]


# -- files -------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "text, kind",
    [("42", "a number"), ("[1, 2]", "an array"), ("null", "null"), ('"x"', "a string"), ("true", "true"), ("1.5", "a number")],
)
def test_top_level_must_be_an_object(tmp_path, text, kind):
    path = tmp_path / "s.geojson"
    path.write_text(text)
    for load in (load_scene, RiskField):
        with pytest.raises(SceneError, match=rf"s\.geojson: expected a JSON object \(a FeatureCollection\), got {kind}$"):
            load(path)


@pytest.mark.parametrize("where", ["member", "coordinate"])
def test_integer_beyond_the_digit_limit_is_a_scene_error(tmp_path, where):
    scene = example_scene()
    big = "9" * 5000
    text = json.dumps(scene)
    text = text.replace('"features"', f'"extra": {big}, "features"', 1) if where == "member" else text.replace("400, 230", big + ", 230", 1)
    path = tmp_path / "s.geojson"
    path.write_text(text)
    with pytest.raises(SceneError, match=r"s\.geojson: unreadable JSON: .*digits") as info:
        RiskField(str(path))
    assert "\n" not in str(info.value)


@pytest.mark.parametrize("value, kind", [(42, "a number"), ([1, 2], "an array"), (None, "null"), ("x", "a string")])
def test_features_of_a_decoded_value_that_is_no_object(value, kind):
    with pytest.raises(SceneError, match=f"expected a FeatureCollection object, got {kind}$"):
        features_of(value)


# -- repulsion in a feature's properties ---------------------------------------------------


def test_properties_repulsion_stands_in_only_where_the_geometry_has_none():
    moved = plain_features()
    for f in moved:
        f["properties"]["repulsion"] = f["geometry"].pop("repulsion")
    reference = RiskField(plain_features())
    with_props = RiskField(copy.deepcopy(moved))
    np.testing.assert_array_equal(with_props.eval(PTS), reference.eval(PTS))

    # Where the geometry keeps its own, the one in the properties is ignored.
    both = plain_features()
    for f in both:
        f["properties"]["repulsion"] = [[1.0, 0.0], [0.0, 1.0]]
    np.testing.assert_array_equal(RiskField(both).eval(PTS), reference.eval(PTS))


def test_properties_repulsion_fills_collection_members_without_one():
    members = [
        {"type": "Point", "coordinates": [0, 0]},
        {"type": "LineString", "coordinates": [[5, 0], [5, 4]], "repulsion": [[2.0, 0.0], [0.0, 0.5]]},
    ]
    stand_in = [[3.0, 1.0], [1.0, 2.0]]
    feature = {"type": "Feature", "properties": {"repulsion": stand_in},
               "geometry": {"type": "GeometryCollection", "geometries": members}}
    expected = [dict(members[0], repulsion=stand_in), members[1]]
    got = RiskField([feature]).obstacles[0].toRGeoJSON()["geometry"]["geometries"]
    assert [g["repulsion"] for g in got] == [e["repulsion"] for e in expected]


# -- empty geometries ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    "geometry",
    [
        {"type": "Point", "coordinates": []},
        {"type": "MultiPolygon", "coordinates": []},
        {"type": "GeometryCollection", "geometries": []},
        {"type": "GeometryCollection", "geometries": [{"type": "Point", "coordinates": []}]},
    ],
)
def test_empty_geometries_are_no_obstacle(geometry):
    scene = example_scene()
    scene["features"].insert(2, {"type": "Feature", "properties": {}, "geometry": geometry})
    scene["features"].append(geometry)  # a bare geometry too
    assert len(RiskField(scene)) == len(example_scene()["features"])


def test_empty_member_of_a_collection_is_left_out():
    gc = {"type": "GeometryCollection", "geometries": [{"type": "Point", "coordinates": []},
                                                       {"type": "Point", "coordinates": [1, 2]}]}
    (obstacle,) = RiskField([gc]).obstacles
    assert [m["coordinates"] for m in obstacle.toRGeoJSON()["geometry"]["geometries"]] == [[1.0, 2.0]]


# -- from_geometries ---------------------------------------------------------------------------------


@pytest.mark.parametrize("elevation", [False, True])
def test_from_geometries_equals_the_dict_scene(elevation):
    features = plain_features()
    geoms = []
    for f in features:
        g = f["geometry"]
        coords = _add_z(g["coordinates"]) if elevation else g["coordinates"]
        geoms.append(shape({"type": g["type"], "coordinates": coords}))
    assert all(g.has_z for g in geoms) is elevation
    field = RiskField.from_geometries(
        geoms, repulsion=[f["geometry"]["repulsion"] for f in features], properties=[f["properties"] for f in features]
    )
    assert_same_field(field, RiskField(plain_features()))


def test_from_geometries_one_matrix_for_all():
    m = [[40.0, -10.0], [-10.0, 25.0]]
    features = plain_features()
    geoms = [shape(f["geometry"]) for f in features]
    expected = []
    for f in plain_features():
        f["geometry"]["repulsion"] = m
        f["properties"] = {}
        expected.append(f)
    assert_same_field(RiskField.from_geometries(geoms, repulsion=np.array(m)), RiskField(expected))


def test_from_geometries_collection_and_linear_ring():
    gc = shapely.GeometryCollection([shapely.Point(1, 2), shapely.LineString([(0, 0), (3, 1)]), shapely.Point()])
    ring = shapely.LinearRing([(10, 0), (12, 0), (12, 2)])
    m = [[2.0, 0.5], [0.5, 1.0]]
    field = RiskField.from_geometries([gc, ring], repulsion=[m, None])
    reference = RiskField([
        {"type": "GeometryCollection", "geometries": [
            {"type": "Point", "coordinates": [1, 2], "repulsion": m},
            {"type": "LineString", "coordinates": [[0, 0], [3, 1]], "repulsion": m}]},
        {"type": "LineString", "coordinates": [[10, 0], [12, 0], [12, 2], [10, 0]]},
    ])
    assert_same_field(field, reference)


def test_from_geometries_skips_null_and_empty_and_takes_a_single_geometry():
    assert len(RiskField.from_geometries([None, shapely.Point(), shapely.Polygon(), shapely.GeometryCollection()])) == 0
    poly = shapely.Polygon([(0, 0), (4, 0), (4, 4)], holes=[[(2.5, 0.5), (3.5, 0.5), (3.5, 1.5)]])
    written = {"type": "Polygon", "coordinates": [[[0, 0], [4, 0], [4, 4], [0, 0]],
                                                  [[2.5, 0.5], [3.5, 0.5], [3.5, 1.5], [2.5, 0.5]]]}
    assert_same_field(RiskField.from_geometries(poly), RiskField([written]))


def test_from_geometries_accepts_mappings_and_features():
    features = plain_features()
    reference = RiskField(plain_features())
    assert_same_field(RiskField.from_geometries(features), reference)
    geoms = [f["geometry"] for f in features]
    field = RiskField.from_geometries(geoms, properties=[f["properties"] for f in features])
    assert_same_field(field, reference)


@pytest.mark.parametrize(
    "geoms, kwargs, error, match",
    [
        ([shapely.Point(0, 0), object()], {}, TypeError, r"geometry 1 \(object\) has no __geo_interface__"),
        (["geometry", "name"], {}, TypeError, r"geometry 0 \(str\).*GeoDataFrame"),
        (5, {}, TypeError, "iterable of geometries"),
        ({"type": "Point", "coordinates": [0, 0]}, {}, TypeError, "iterable of geometries"),
        ([shapely.Point(0, 0)] * 3, {"repulsion": [np.eye(2)] * 2}, ValueError, r"one entry per geometry \(3\), got 2"),
        ([shapely.Point(0, 0)] * 2, {"properties": {"name": "x"}}, TypeError, "properties must be a sequence"),
        ([shapely.Point(0, 0)] * 2, {"properties": [{}]}, ValueError, "properties must have one entry"),
        ([shapely.Point(0, 0), shapely.Point(1, 1)], {"repulsion": [None, [[1, 2], [2, 1]]]}, SceneError,
         r"^geometry 1 \(Point\): repulsion must be positive-definite"),
        ([shapely.Point(0, 0), shapely.Point(np.nan, 1)], {}, SceneError, r"^geometry 1 \(Point\): .*non-finite"),
    ],
)
def test_from_geometries_rejects(geoms, kwargs, error, match):
    with pytest.raises(error, match=match):
        RiskField.from_geometries(geoms, **kwargs)


def test_from_geometries_passes_field_options_on():
    field = RiskField.from_geometries([shapely.Point(0, 0)], cutoff=0.0)
    assert field.cutoff == 0.0


# -- __geo_interface__ ---------------------------------------------------------------------


def test_geo_interface_feature_collection_like_a_geodataframe():
    features = plain_features()
    geoms = [shape(f["geometry"]) for f in features] + [None]
    columns = {
        "name": [f["properties"]["name"] for f in features] + ["unlocated"],
        "kind": [f["properties"]["kind"] for f in features] + [None],
        "repulsion": [f["geometry"]["repulsion"] for f in features] + [None],
    }
    field = RiskField(GeoFrame(geoms, columns))
    reference = plain_features()
    for f in reference:
        f["properties"]["repulsion"] = f["geometry"]["repulsion"]
    assert_same_field(field, RiskField(reference))


def test_geo_interface_items_among_dicts_and_geometries():
    features = plain_features()
    mixed = [shape(f["geometry"]) if i % 2 else f for i, f in enumerate(copy.deepcopy(features))]
    reference = []
    for i, f in enumerate(plain_features()):
        if i % 2:
            f = {"type": "Feature", "properties": {}, "geometry": dict(f["geometry"])}
            del f["geometry"]["repulsion"]
        reference.append(f)
    assert_same_field(RiskField(mixed), RiskField(reference))


class _Broken:
    @property
    def __geo_interface__(self):
        raise RuntimeError("no\ngeometry")


class _NotMapping:
    __geo_interface__ = [1, 2]


@pytest.mark.parametrize(
    "source, match",
    [
        (_Broken(), r"__geo_interface__ failed: no geometry$"),
        (_NotMapping(), "__geo_interface__ must be a mapping, not list"),
        ([shapely.Point(0, 0), _Broken()], r"^obstacle 1 \(_Broken\): __geo_interface__ failed"),
        (GeoFrame([shapely.Point(0, 0), shapely.LineString([(0, 0), (0, 0)])], {"name": ["a", "b"]}),
         r"^feature 1 \(LineString\): .*non-zero length"),
    ],
)
def test_bad_geo_interfaces(source, match):
    with pytest.raises(SceneError, match=match) as info:
        RiskField(source)
    assert "\n" not in str(info.value)
