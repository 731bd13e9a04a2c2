"""Reading RGeoJSON scenes: files, FeatureCollection dicts and their features.

A scene is a GeoJSON FeatureCollection whose geometries carry one extra member,
``repulsion``.  This module turns one into the package's geometry objects and
reports anything it cannot use as a :class:`SceneError` naming the feature.
It also reads what the Python GIS ecosystem already holds: objects with a
``__geo_interface__`` (shapely geometries, GeoPandas frames and series).
"""

from __future__ import annotations

import json
import os
from collections.abc import Iterable, Mapping
from importlib import resources
from typing import Any

import numpy as np

__all__ = [
    "SceneError",
    "example_scene",
    "features_of",
    "has_geo_interface",
    "load_scene",
    "obstacles_from_features",
    "obstacles_from_geo_interface",
    "obstacles_from_geometries",
]


class SceneError(ValueError):
    """A scene that cannot be turned into obstacles.

    The message is one line that names the offending feature (by its index in
    ``features``) when there is one; ``feature`` holds that index or None.
    """

    def __init__(self, message: str, feature: int | None = None) -> None:
        super().__init__(message)
        self.feature = feature


def _one_line(exc: BaseException) -> str:
    text = " ".join(str(exc).split())
    return text or type(exc).__name__


def _json_kind(value: Any) -> str:
    """The JSON name of a decoded value's type, as a user would write it."""
    if value is None:
        return "null"
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, (int, float)):
        return "a number"
    if isinstance(value, str):
        return "a string"
    if isinstance(value, list):
        return "an array"
    return type(value).__name__


def _registry() -> Mapping[str, type]:
    from orin.field.geometry import _RGJ_TYPES

    return _RGJ_TYPES


def example_scene() -> dict[str, Any]:
    """Return the bundled example scene, a small harbour, as a FeatureCollection dict.

    It holds buoys (Point), a row of piles (MultiPoint), a breakwater
    (LineString), mooring lines (MultiLineString), a quay and an island with
    holes (Polygon), pontoons (MultiPolygon) and a wreck (GeometryCollection),
    each with its own anisotropic repulsion.  Coordinates are metres.
    """
    text = resources.files("orin.field").joinpath("data", "harbour.geojson").read_text("utf-8")
    scene: dict[str, Any] = json.loads(text)
    return scene


def load_scene(path: str | os.PathLike[str]) -> dict[str, Any]:
    """Read an RGeoJSON file.

    Parameters
    ----------
    path : str or os.PathLike
        The file to read, UTF-8 JSON.

    Returns
    -------
    dict
        The decoded JSON object.

    Raises
    ------
    SceneError
        If the file cannot be read, is not valid JSON or its top level is not
        a JSON object; the message names the file and, for JSON syntax
        errors, the line and column.
    """
    name = os.fspath(path)
    try:
        with open(name, "rb") as fh:
            raw = fh.read()
    except OSError as exc:
        raise SceneError(f"{name}: cannot read: {exc.strerror or _one_line(exc)}") from None
    try:
        scene = json.loads(raw.decode("utf-8"))
    except UnicodeDecodeError as exc:
        raise SceneError(f"{name}: not UTF-8 text (byte {exc.start})") from None
    except json.JSONDecodeError as exc:
        raise SceneError(
            f"{name}: invalid JSON at line {exc.lineno} column {exc.colno}: {exc.msg}"
        ) from None
    except RecursionError:
        raise SceneError(f"{name}: JSON nested too deeply") from None
    except ValueError as exc:
        # Valid JSON that Python refuses to decode, e.g. an integer longer
        # than the interpreter's digit limit.
        raise SceneError(f"{name}: unreadable JSON: {_one_line(exc)}") from None
    if not isinstance(scene, dict):
        raise SceneError(f"{name}: expected a JSON object (a FeatureCollection), got {_json_kind(scene)}")
    return scene


def _build_geometry(geometry: Any, properties: Any, index: int | None, noun: str = "feature") -> Any:
    where = f"{noun} {index}" if index is not None else "geometry"
    if not isinstance(geometry, Mapping):
        raise SceneError(
            f"{where}: 'geometry' must be a JSON object, not {type(geometry).__name__}", index
        )
    kind = geometry.get("type")
    types = _registry()
    if not isinstance(kind, str) or kind not in types:
        known = ", ".join(sorted(types))
        raise SceneError(f"{where}: unknown geometry type {kind!r} (expected one of {known})", index)
    kwargs = dict(geometry)
    if properties is not None:
        kwargs["properties"] = properties
    try:
        return types[kind](**kwargs)
    except Exception as exc:  # the scene is user data: any rejection is a bad feature
        raise SceneError(f"{where} ({kind}): {_one_line(exc)}", index) from exc


def features_of(scene: Mapping[str, Any]) -> list[Any]:
    """The features of a FeatureCollection dict, or the one Feature itself."""
    if not isinstance(scene, Mapping):
        raise SceneError(f"scene: expected a FeatureCollection object, got {_json_kind(scene)}")
    kind = scene.get("type")
    if kind == "Feature":
        return [scene]
    if kind != "FeatureCollection":
        raise SceneError(f"scene: expected type 'FeatureCollection', got {kind!r}")
    features = scene.get("features")
    if not isinstance(features, list):
        raise SceneError("scene: 'features' must be a list")
    return features


def _is_empty(geometry: Mapping[str, Any]) -> bool:
    # RFC 7946 3.1 lets a reader take a geometry with empty coordinates as
    # null; shapely writes its empty geometries that way.
    if geometry.get("type") == "GeometryCollection":
        members = geometry.get("geometries")
        return isinstance(members, (list, tuple)) and all(
            isinstance(m, Mapping) and _is_empty(m) for m in members
        )
    coordinates = geometry.get("coordinates")
    return isinstance(coordinates, (list, tuple, np.ndarray)) and len(coordinates) == 0


def _usable(geometry: Any, repulsion: Any) -> Any:
    """The geometry as it will be built: empty members left out, ``repulsion``
    filled in where the geometry (or a collection member) has none."""
    if not isinstance(geometry, Mapping):
        return geometry  # _build_geometry names the fault
    if geometry.get("type") == "GeometryCollection":
        members = geometry.get("geometries")
        if not isinstance(members, (list, tuple)):
            return geometry
        kept = [
            _usable(m, repulsion) for m in members if not (isinstance(m, Mapping) and _is_empty(m))
        ]
        return {**geometry, "geometries": kept}
    if repulsion is not None and geometry.get("repulsion") is None:
        return {**geometry, "repulsion": repulsion}
    return geometry


def obstacles_from_features(
    features: Iterable[Any], first_index: int = 0, noun: str = "feature"
) -> list[Any]:
    """Build the obstacles of a sequence of Feature (or bare geometry) dicts.

    A feature whose geometry is null or empty is no obstacle.  A feature whose
    geometry has no ``repulsion`` takes the one in its ``properties``, if any:
    that is where a table (a GeoDataFrame column) keeps it.

    Raises
    ------
    SceneError
        For the first feature that cannot be built; the message starts with
        ``"{noun} {index}"``.
    """
    obstacles = []
    for index, feature in enumerate(features, start=first_index):
        if not isinstance(feature, Mapping):
            raise SceneError(
                f"{noun} {index}: expected a Feature object, not {type(feature).__name__}", index
            )
        kind = feature.get("type")
        if kind != "Feature":
            # A bare geometry where a Feature belongs: accept it, it is unambiguous.
            if isinstance(kind, str) and kind in _registry():
                if not _is_empty(feature):
                    obstacles.append(_build_geometry(_usable(feature, None), None, index, noun))
                continue
            raise SceneError(f"{noun} {index}: expected type 'Feature', got {kind!r}", index)
        if "geometry" not in feature:
            raise SceneError(f"{noun} {index}: missing 'geometry'", index)
        geometry = feature["geometry"]
        if geometry is None or (isinstance(geometry, Mapping) and _is_empty(geometry)):
            continue  # an unlocated feature (RFC 7946 3.2) is no obstacle
        properties = feature.get("properties")
        stand_in = properties.get("repulsion") if isinstance(properties, Mapping) else None
        obstacles.append(_build_geometry(_usable(geometry, stand_in), properties, index, noun))
    return obstacles


# -- the __geo_interface__ protocol ----------------------------------------------------


def has_geo_interface(obj: Any) -> bool:
    """Whether ``obj`` offers ``__geo_interface__`` (looked up on its type, as protocols are)."""
    return hasattr(type(obj), "__geo_interface__")


def _geo_mapping(obj: Any, where: str) -> Mapping[str, Any]:
    try:
        value = obj.__geo_interface__
    except Exception as exc:  # a foreign object's property: any failure is its fault
        raise SceneError(f"{where}: __geo_interface__ failed: {_one_line(exc)}") from exc
    if not isinstance(value, Mapping):
        raise SceneError(f"{where}: __geo_interface__ must be a mapping, not {type(value).__name__}")
    return value


def _plain_geometry(geometry: Any) -> Any:
    """A geometry mapping in this package's terms.

    Shapely writes a closed ring as its own type, LinearRing; as an obstacle it
    is the closed line it describes.
    """
    if not isinstance(geometry, Mapping):
        return geometry
    plain = dict(geometry)
    if plain.get("type") == "LinearRing":
        plain["type"] = "LineString"
    members = plain.get("geometries")
    if plain.get("type") == "GeometryCollection" and isinstance(members, (list, tuple)):
        plain["geometries"] = [_plain_geometry(m) for m in members]
    return plain


def _plain_feature(feature: Any) -> Any:
    if isinstance(feature, Mapping) and feature.get("type") == "Feature":
        return {**feature, "geometry": _plain_geometry(feature.get("geometry"))}
    return _plain_geometry(feature)


def obstacles_from_geo_interface(obj: Any, first_index: int = 0) -> list[Any]:
    """Build the obstacles of an object with ``__geo_interface__``.

    The interface may be a FeatureCollection (a GeoDataFrame's or GeoSeries'),
    a Feature or a single geometry (a shapely geometry's).

    Raises
    ------
    SceneError
        If the interface is not a mapping, or a feature cannot be built.
    """
    where = f"obstacle {first_index} ({type(obj).__name__})"
    mapping = _geo_mapping(obj, where)
    if mapping.get("type") == "FeatureCollection":
        features = mapping.get("features")
        if not isinstance(features, (list, tuple)):
            raise SceneError(f"{where}: 'features' of its __geo_interface__ must be a list")
        return obstacles_from_features([_plain_feature(f) for f in features], first_index)
    return obstacles_from_features([_plain_feature(mapping)], first_index)


def _per_geometry(value: Any, count: int, name: str, single: bool) -> list[Any]:
    if value is None:
        return [None] * count
    if single:
        return [value] * count
    if isinstance(value, (str, bytes, Mapping)) or not isinstance(value, Iterable):
        raise TypeError(f"{name} must be a sequence with one entry per geometry, got {type(value).__name__}")
    items = list(value)
    if len(items) != count:
        raise ValueError(f"{name} must have one entry per geometry ({count}), got {len(items)}")
    return items


def _is_one_matrix(repulsion: Any) -> bool:
    try:
        shape = tuple(np.shape(repulsion))
    except ValueError:  # ragged: a list of per-geometry entries
        return False
    return shape == (2, 2)


def obstacles_from_geometries(geoms: Any, repulsion: Any = None, properties: Any = None) -> list[Any]:
    """Build one obstacle per geometry: shapely geometries, GeoSeries, or any
    objects with ``__geo_interface__`` (geometry or Feature mappings also do).

    Parameters
    ----------
    geoms : iterable
        The geometries; a single geometry object counts as one.  Null and
        empty geometries are no obstacle.
    repulsion : (2, 2) array_like or sequence, optional
        One matrix for every geometry, or one per geometry (an entry None
        keeps that geometry's own, default the identity).  Given, it replaces
        a ``repulsion`` member of the geometry's interface.
    properties : sequence of mappings, optional
        One per geometry (None for none); a Feature keeps its own otherwise.

    Raises
    ------
    TypeError
        If an element offers no geometry, or ``repulsion`` / ``properties``
        are not of the forms above.
    ValueError
        If their lengths differ from the number of geometries.
    SceneError
        If a geometry cannot be built; the message starts with "geometry i".
    """
    if has_geo_interface(geoms) and not isinstance(geoms, Iterable):
        geoms = [geoms]
    if isinstance(geoms, (str, bytes, Mapping)) or not isinstance(geoms, Iterable):
        raise TypeError(f"geoms must be an iterable of geometries, got {type(geoms).__name__}")
    items = list(geoms)
    repulsions = _per_geometry(repulsion, len(items), "repulsion", _is_one_matrix(repulsion))
    props = _per_geometry(properties, len(items), "properties", False)

    features = []
    for index, (item, matrix, prop) in enumerate(zip(items, repulsions, props)):
        if item is None:
            features.append({"type": "Feature", "properties": prop, "geometry": None})
            continue
        if isinstance(item, Mapping):
            mapping: Mapping[str, Any] = item
        elif has_geo_interface(item):
            mapping = _geo_mapping(item, f"geometry {index}")
        else:
            hint = " (for a GeoDataFrame, pass its .geometry or the frame itself to RiskField)" if isinstance(
                item, str) else ""
            raise TypeError(f"geometry {index} ({type(item).__name__}) has no __geo_interface__{hint}")
        if mapping.get("type") == "Feature":
            geometry = _plain_geometry(mapping.get("geometry"))
            prop = mapping.get("properties") if prop is None else prop
        else:
            geometry = _plain_geometry(mapping)
        if matrix is not None and isinstance(geometry, Mapping):
            geometry = _with_repulsion(geometry, matrix)
        features.append({"type": "Feature", "properties": prop, "geometry": geometry})
    return obstacles_from_features(features, noun="geometry")


def _with_repulsion(geometry: Mapping[str, Any], matrix: Any) -> dict[str, Any]:
    """The geometry with ``matrix`` as its repulsion, or every member's for a collection."""
    if geometry.get("type") == "GeometryCollection" and isinstance(geometry.get("geometries"), list):
        members = [_with_repulsion(m, matrix) if isinstance(m, Mapping) else m for m in geometry["geometries"]]
        return {**geometry, "geometries": members}
    return {**geometry, "repulsion": matrix}
