"""Reading RGeoJSON scenes: files, FeatureCollection dicts and their features.

A scene is a GeoJSON FeatureCollection whose geometries carry one extra member,
``repulsion``.  This module turns one into the package's geometry objects and
reports anything it cannot use as a :class:`SceneError` naming the feature.
"""

from __future__ import annotations

import json
import os
from collections.abc import Iterable, Mapping
from importlib import resources
from typing import Any

__all__ = ["SceneError", "example_scene", "load_scene", "obstacles_from_features", "features_of"]


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
    return json.loads(text)


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
        If the file cannot be read or is not valid JSON; the message names the
        file and, for JSON errors, the line and column.
    """
    name = os.fspath(path)
    try:
        with open(name, "rb") as fh:
            raw = fh.read()
    except OSError as exc:
        raise SceneError(f"{name}: cannot read: {exc.strerror or _one_line(exc)}") from None
    try:
        return json.loads(raw.decode("utf-8"))
    except UnicodeDecodeError as exc:
        raise SceneError(f"{name}: not UTF-8 text (byte {exc.start})") from None
    except json.JSONDecodeError as exc:
        raise SceneError(
            f"{name}: invalid JSON at line {exc.lineno} column {exc.colno}: {exc.msg}"
        ) from None
    except RecursionError:
        raise SceneError(f"{name}: JSON nested too deeply") from None


def _build_geometry(geometry: Any, properties: Any, index: int | None) -> Any:
    where = f"feature {index}" if index is not None else "geometry"
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
    kind = scene.get("type")
    if kind == "Feature":
        return [scene]
    if kind != "FeatureCollection":
        raise SceneError(f"scene: expected type 'FeatureCollection', got {kind!r}")
    features = scene.get("features")
    if not isinstance(features, list):
        raise SceneError("scene: 'features' must be a list")
    return features


def obstacles_from_features(features: Iterable[Any], first_index: int = 0) -> list[Any]:
    obstacles = []
    for index, feature in enumerate(features, start=first_index):
        if not isinstance(feature, Mapping):
            raise SceneError(
                f"feature {index}: expected a Feature object, not {type(feature).__name__}", index
            )
        kind = feature.get("type")
        if kind != "Feature":
            # A bare geometry where a Feature belongs: accept it, it is unambiguous.
            if isinstance(kind, str) and kind in _registry():
                obstacles.append(_build_geometry(feature, None, index))
                continue
            raise SceneError(f"feature {index}: expected type 'Feature', got {kind!r}", index)
        if "geometry" not in feature:
            raise SceneError(f"feature {index}: missing 'geometry'", index)
        geometry = feature["geometry"]
        if geometry is None:
            continue  # an unlocated feature (RFC 7946 3.2) is no obstacle
        obstacles.append(_build_geometry(geometry, feature.get("properties"), index))
    return obstacles
