"""RGeoJSON geometries: the member kinds and the type table ``_RGJ_TYPES``.

Every geometry carries a 2 x 2 symmetric positive-definite ``repulsion``
matrix. Distances are measured in its inverse (or in the repulsion itself, or
in the identity; see ``get_dist_matrix``): for a query point x the repulsion
vector is x minus the geometry's nearest point, and the squared distance is
that vector's quadratic form in the chosen matrix.

Lines and polygon boundaries are handled as sets of segments by
``orin.field.kernels.segment_repulsion_vectors``: each segment offers the
Euclidean projection of x as its candidate and the metric chooses among the
candidates. Points inside a polygon are at distance zero
(``orin.field.kernels.point_in_rings``).
"""

from __future__ import annotations

from dataclasses import dataclass, field, fields
from typing import Any, ClassVar

import numpy as np
import numpy.typing as npt

from orin.field import kernels
from orin.field.geometry.base import MultiRGJGeometry, RGJGeometry
from orin.field.obstacle import FieldGroup, PointGroup, PolygonGroup, SegmentGroup

__all__ = [
    "LineString",
    "MultiLineString",
    "MultiPoint",
    "MultiPolygon",
    "Point",
    "Polygon",
    "RGJGeometry",
    "MultiRGJGeometry",
]

FloatArray = npt.NDArray[np.float64]

# Relative tolerance for the symmetry of a repulsion matrix: matrices built as
# R D R^T carry rounding asymmetry of a few ulps, which must not be rejected.
_SYMMETRY_RTOL = 1e-12

# Beyond this distance from a boundary's box, a (0, 0) answer from the
# segment kernel cannot be a point on the boundary (see _Boundary.vectors).
_FAR = 1e100


# --- validation -------------------------------------------------------------------


def _frozen(array: FloatArray) -> FloatArray:
    # Derived data (segments, inverse metric) is computed from these arrays
    # once; in-place edits would silently desynchronise it, so they are
    # refused. set_coordinates / set_repulsion are the way to change them.
    array.flags.writeable = False
    return array


def _freeze_tree(value: Any) -> None:
    if isinstance(value, np.ndarray):
        value.flags.writeable = False
    elif isinstance(value, (list, tuple)):
        for item in value:
            _freeze_tree(item)
    elif isinstance(value, (_PointSet, _Boundary)):
        _freeze_tree([getattr(value, f.name) for f in fields(value)])


def _numeric_array(value: Any, what: str) -> np.ndarray:
    if isinstance(value, (str, bytes)) or not isinstance(value, (list, tuple, np.ndarray)):
        raise ValueError(f"{what} must be a (nested) list of numbers, got {type(value).__name__}")
    try:
        array = np.asarray(value)
    except (ValueError, TypeError):
        raise ValueError(f"{what} has ragged nesting") from None
    if array.dtype.kind not in "iuf":
        raise ValueError(f"{what} must hold only numbers, got array of dtype {array.dtype}")
    return array


def _finite_float(array: np.ndarray, what: str) -> FloatArray:
    result = np.array(array, dtype=np.float64)
    if not np.isfinite(result).all():
        raise ValueError(f"{what} holds non-finite values")
    return result


# RFC 7946 lets a position carry an elevation as its third value. The field is
# planar, so the elevation is dropped here, before the finiteness check: a
# position is usable whatever its elevation says.
_POSITION_SIZES = (2, 3)


def _position(value: Any, what: str) -> FloatArray:
    array = _numeric_array(value, what)
    if array.ndim != 1 or array.shape[0] not in _POSITION_SIZES:
        raise ValueError(f"{what} must be a position [x, y] or [x, y, z], got shape {array.shape}")
    return _frozen(_finite_float(array[:2], what))


def _positions(value: Any, what: str, min_count: int) -> FloatArray:
    array = _numeric_array(value, what)
    if array.ndim != 2 or array.shape[1] not in _POSITION_SIZES:
        raise ValueError(f"{what} must be a list of [x, y] or [x, y, z] positions, got shape {array.shape}")
    if len(array) < min_count:
        raise ValueError(f"{what} needs at least {min_count} positions, got {len(array)}")
    return _frozen(_finite_float(array[:, :2], what))


def _ring(value: Any, what: str) -> FloatArray:
    ring = _positions(value, what, 4)
    if not np.array_equal(ring[0], ring[-1]):
        raise ValueError(
            f"{what} is not closed: first position {ring[0].tolist()}, last {ring[-1].tolist()}"
        )
    return ring


def _items(value: Any, what: str, noun: str) -> list[Any]:
    if isinstance(value, np.ndarray) and value.ndim >= 1:
        items = list(value)
    elif isinstance(value, (list, tuple)):
        items = list(value)
    else:
        raise ValueError(f"{what} must be a list of {noun}s, got {type(value).__name__}")
    if not items:
        raise ValueError(f"{what} needs at least one {noun}")
    return items


def _polygon_rings(value: Any, what: str) -> list[FloatArray]:
    return [_ring(r, f"{what} ring {i}") for i, r in enumerate(_items(value, what, "ring"))]


def _repulsion_matrices(value: Any) -> tuple[FloatArray, FloatArray]:
    """Validate a repulsion matrix; return it and its inverse as float64."""
    if value is None:
        return _frozen(np.eye(2)), _frozen(np.eye(2))
    array = _numeric_array(value, "repulsion")
    if array.shape != (2, 2):
        raise ValueError(f"repulsion must be a 2 x 2 matrix, got shape {array.shape}")
    r = _finite_float(array, "repulsion")
    scale = np.abs(r).max()
    if abs(r[0, 1] - r[1, 0]) > _SYMMETRY_RTOL * scale:
        raise ValueError(f"repulsion must be symmetric, got {r.tolist()}")
    off = 0.5 * (r[0, 1] + r[1, 0])
    if not (r[0, 0] > 0 and r[0, 0] * r[1, 1] - off * off > 0):
        raise ValueError(f"repulsion must be positive-definite, got {r.tolist()}")
    inverse = np.asarray(np.linalg.inv(r), dtype=np.float64)
    if not np.isfinite(inverse).all():
        raise ValueError(f"repulsion is too close to singular to invert, got {r.tolist()}")
    return _frozen(r), _frozen(inverse)


def _as_points(x: Any) -> FloatArray:
    points = np.asarray(x, dtype=np.float64)
    if points.ndim != 2 or points.shape[1] < 2:
        raise ValueError(f"x must be an (N, 2) array of points, got shape {points.shape}")
    return points


def _quadratic_form(d: FloatArray, m: FloatArray) -> FloatArray:
    dx = d[..., 0]
    dy = d[..., 1]
    # NaN and infinite points follow IEEE arithmetic, as in the kernels.
    with np.errstate(over="ignore", invalid="ignore"):
        q: FloatArray = dx * (m[0, 0] * dx + m[0, 1] * dy) + dy * (m[1, 0] * dx + m[1, 1] * dy)
    return q


# --- nearest-point machinery shared by all kinds -----------------------------------------


@dataclass(frozen=True, eq=False)
class _PointSet:
    """Candidates that are the points themselves: the nearest point of a
    point is that point in any metric, so the metric only chooses among them."""

    centers: FloatArray  # (K, 2)

    def vectors(self, x: FloatArray, metric: np.ndarray) -> FloatArray:
        with np.errstate(over="ignore", invalid="ignore"):
            d = x[np.newaxis, :, :2] - self.centers[:, np.newaxis, :]
        if len(self.centers) == 1:
            only: FloatArray = d[0]
            return only
        nearest = np.argmin(_quadratic_form(d, metric), axis=0)
        chosen: FloatArray = d[nearest, np.arange(d.shape[1])]
        return chosen


@dataclass(frozen=True, eq=False)
class _Boundary:
    """Segments [p1, p1 + v] plus the polygons (outer ring, holes) whose
    interiors count as distance zero."""

    p1: FloatArray  # (S, 2)
    v: FloatArray  # (S, 2)
    v_dot_v: FloatArray  # (S,)
    box: FloatArray  # (2, 2): minimum and maximum corner of the segments
    areas: tuple[tuple[FloatArray, list[npt.ArrayLike]], ...] = field(default=())

    @classmethod
    def of(
        cls,
        chains: list[tuple[str, FloatArray]],
        areas: tuple[tuple[FloatArray, list[npt.ArrayLike]], ...] = (),
    ) -> _Boundary:
        """Segments of polylines / rings, each given with a name for messages."""
        p1s, vs = [], []
        for what, chain in chains:
            with np.errstate(over="ignore", invalid="ignore"):
                v = np.diff(chain, axis=0)
                vv = np.einsum("ij,ij->i", v, v)
            if not np.isfinite(vv).all():
                raise ValueError(f"{what} has segments too long to measure in float64")
            # A zero-length segment projects to NaN and never wins; dropping
            # it here only saves work, unless nothing would be left.
            keep = vv > 0
            if not keep.any():
                raise ValueError(f"{what} has no segment of non-zero length")
            p1s.append(chain[:-1][keep])
            vs.append(v[keep])
        p1 = np.concatenate(p1s)
        v = np.concatenate(vs)
        ends = np.concatenate([p1, p1 + v])
        box = np.array([ends.min(axis=0), ends.max(axis=0)])
        return cls(_frozen(p1), _frozen(v), _frozen(np.einsum("ij,ij->i", v, v)), _frozen(box), areas)

    def vectors(self, x: FloatArray, metric: np.ndarray) -> FloatArray:
        out = kernels.segment_repulsion_vectors(x, self.p1, self.v, self.v_dot_v, metric)
        if self.areas:
            inside = np.zeros(len(x), dtype=bool)
            for outer, holes in self.areas:
                inside |= kernels.point_in_rings(x, outer, holes).view(bool)
            out[inside] = 0.0
        # The kernel answers (0, 0) when no segment gives a usable distance:
        # for NaN or infinite points, and for points so far away that every
        # squared distance overflows. That would place them on the geometry,
        # at the highest risk. A point of the geometry gives them the NaN or
        # huge vector they should have; a genuine (0, 0) lies inside the box.
        pts = x[:, :2]
        with np.errstate(invalid="ignore"):
            far = ~(np.abs(pts - np.clip(pts, self.box[0], self.box[1])) <= _FAR).all(axis=1)
        lost = far & (out == 0.0).all(axis=1)
        if lost.any():
            out[lost] = pts[lost] - self.p1[0]
        return out


_Candidates = _PointSet | _Boundary


def _line_boundary(lines: list[tuple[str, FloatArray]]) -> _Boundary:
    return _Boundary.of(lines)


def _polygon_boundary(polygons: list[tuple[str, list[FloatArray]]]) -> _Boundary:
    chains = [(f"{what} ring {i}", ring) for what, rings in polygons for i, ring in enumerate(rings)]
    areas: list[tuple[FloatArray, list[npt.ArrayLike]]] = []
    for _, rings in polygons:
        holes: list[npt.ArrayLike] = list(rings[1:])
        areas.append((rings[0], holes))
    return _Boundary.of(chains, tuple(areas))


def _nested_lists(coordinates: Any) -> Any:
    if isinstance(coordinates, np.ndarray):
        return coordinates.tolist()
    return [_nested_lists(c) for c in coordinates]


def _all_positions(coordinates: Any) -> FloatArray:
    if isinstance(coordinates, np.ndarray):
        return coordinates.reshape(-1, 2)
    return np.concatenate([_all_positions(c) for c in coordinates])


# --- the member geometries ----------------------------------------------------------------

# The methods whose rule field_elements describes: a subclass that replaces
# any of them has a field of its own and is evaluated through eval.
_FIELD_METHODS = ("squared_dist", "repulsion_vector", "get_dist_matrix")


class _Member:
    """Behaviour shared by the six kinds; each kind only says how to read its
    coordinates and how to turn them into candidate sets."""

    RGJType: ClassVar[str]

    # Provided by the base types.
    coordinates: Any
    repulsion: Any
    inv_repulsion: Any
    eye_repulsion: Any
    grad_matrix: Any
    properties: Any
    bbox: Any
    _whole: _Candidates
    _parts: tuple[_Candidates, ...]

    def __init__(
        self,
        *,
        type: str | None = None,  # noqa: A002 - the GeoJSON member name
        coordinates: Any,
        repulsion: Any = None,
        properties: Any = None,
        bbox: Any = None,  # noqa: ARG002 - GeoJSON's own bbox; recomputed
    ) -> None:
        """Build the geometry from the members of an RGeoJSON geometry dict.

        Parameters
        ----------
        type : str, optional
            The GeoJSON kind; when given it must name this class's kind.
        coordinates : nested sequence of numbers
            Coordinates in the GeoJSON nesting of the kind (RFC 7946).
        repulsion : (2, 2) array_like, optional
            Symmetric positive-definite repulsion matrix; the identity when
            omitted or None.
        properties : object, optional
            Stored as given; a new empty dict when omitted or None.
        bbox : object, optional
            Accepted and ignored: the box is recomputed from the coordinates.

        Raises
        ------
        ValueError
            If `type`, `coordinates` or `repulsion` is invalid.
        TypeError
            For any other keyword or a positional argument.
        """
        if type is not None and type != self.RGJType:
            raise ValueError(f"type must be {self.RGJType!r} for {self.__class__.__name__}, got {type!r}")
        # Validate everything before the first assignment, so that running
        # __init__ again with bad arguments leaves the geometry as it was.
        shape = self._shape_of(coordinates)
        matrices = _repulsion_matrices(repulsion)
        self._assign_shape(*shape)
        self._assign_repulsion(*matrices)
        self.eye_repulsion = _frozen(np.eye(2))
        self.properties = {} if properties is None else properties

    def __setstate__(self, state: tuple[Any, ...]) -> None:
        # Unpickled and deep-copied arrays come back writeable; restore the
        # read-only guard on everything derived data depends on.
        super().__setstate__(state)  # type: ignore[misc]
        for name in ("coordinates", "repulsion", "inv_repulsion", "eye_repulsion", "grad_matrix", "bbox"):
            _freeze_tree(getattr(self, name))
        _freeze_tree(getattr(self, "_whole", None))
        _freeze_tree(getattr(self, "_parts", None))

    # Kind-specific parts.
    @classmethod
    def _parse(cls, coordinates: Any) -> Any:
        raise NotImplementedError

    @classmethod
    def _candidates(cls, coordinates: Any) -> tuple[_Candidates, tuple[_Candidates, ...]]:
        """The candidates of the whole geometry and of each part."""
        raise NotImplementedError

    # Mutators.
    def set_coordinates(self, new_coords: Any) -> None:
        """Validate `new_coords` and replace the coordinates and all that is
        derived from them (segments, bounding box).

        Raises
        ------
        ValueError
            If the coordinates are invalid; the geometry is then unchanged.
        """
        self._assign_shape(*self._shape_of(new_coords))

    def set_repulsion(self, new_repulsion: Any) -> None:
        """Validate `new_repulsion` and update ``repulsion``, ``inv_repulsion``
        and ``grad_matrix``.

        Raises
        ------
        ValueError
            If the matrix is not a finite symmetric positive-definite 2 x 2
            matrix; the geometry is then unchanged.
        """
        self._assign_repulsion(*_repulsion_matrices(new_repulsion))

    @classmethod
    def _shape_of(cls, coordinates: Any) -> tuple[Any, _Candidates, tuple[_Candidates, ...], FloatArray]:
        parsed = cls._parse(coordinates)
        whole, parts = cls._candidates(parsed)
        positions = _all_positions(parsed)
        bbox = _frozen(np.array([positions.min(axis=0), positions.max(axis=0)]))
        return parsed, whole, parts, bbox

    def _assign_shape(
        self, coordinates: Any, whole: _Candidates, parts: tuple[_Candidates, ...], bbox: FloatArray
    ) -> None:
        self.coordinates = coordinates
        self._whole = whole
        self._parts = parts
        self.bbox = bbox

    def _assign_repulsion(self, repulsion: FloatArray, inverse: FloatArray) -> None:
        self.repulsion = repulsion
        self.inv_repulsion = inverse
        self.grad_matrix = _frozen(2.0 * inverse)

    # Queries.
    def get_dist_matrix(self, scaled: bool = True, inverted: bool = True) -> Any:
        """Return the matrix distances are measured in.

        ``inv_repulsion`` when both flags are true, ``repulsion`` when scaled
        but not inverted, ``eye_repulsion`` when not scaled.
        """
        if not scaled:
            return self.eye_repulsion
        return self.inv_repulsion if inverted else self.repulsion

    def repulsion_vector(
        self,
        x: npt.ArrayLike,
        min_dist_select: bool = True,
        scaled: bool = True,
        inverted: bool = True,
        **ignored: Any,
    ) -> FloatArray:
        """Vectors from the geometry's nearest point to each query point.

        Parameters
        ----------
        x : (N, 2) array_like
            Query points; columns beyond the second are ignored.
        min_dist_select : bool
            When false, a multi-part geometry returns every part's vectors,
            part-major, shape (parts * N, 2).
        scaled, inverted : bool
            Choose the metric, as in `get_dist_matrix`.
        **ignored
            Accepted for interface compatibility and ignored.

        Returns
        -------
        (N, 2) float64 array
            x minus the nearest point; (0, 0) inside a polygon.
        """
        points = _as_points(x)
        metric = self.get_dist_matrix(scaled=scaled, inverted=inverted)
        if min_dist_select or len(self._parts) == 1:
            return self._whole.vectors(points, metric)
        return np.concatenate([part.vectors(points, metric) for part in self._parts], axis=0)

    def squared_dist(self, x: npt.ArrayLike, scaled: bool = True, inverted: bool = True) -> FloatArray:
        """Squared distance vᵀ M v of each query point, v its repulsion vector
        and M the matrix `get_dist_matrix(scaled, inverted)`.

        Returns
        -------
        (N,) float64 array
        """
        metric = self.get_dist_matrix(scaled=scaled, inverted=inverted)
        v = self.repulsion_vector(x, True, scaled=scaled, inverted=inverted)
        return _quadratic_form(v, metric)

    def field_elements(self) -> list[FieldGroup] | None:
        """The geometry's field as elements for RiskField to compile.

        Point sets give their centres, lines and polygon boundaries their
        segments, polygons their rings; all measured in ``inv_repulsion``,
        as ``squared_dist`` measures them.  None when a subclass replaces
        one of the methods that field is computed by.
        """
        kind = type(self)
        if getattr(kind, "eval", None) is not RGJGeometry.eval or any(
            getattr(kind, name) is not getattr(_Member, name) for name in _FIELD_METHODS
        ):
            return None
        metric = np.asarray(self.inv_repulsion, dtype=np.float64)
        gradient = np.asarray(self.grad_matrix, dtype=np.float64)
        whole = self._whole
        if isinstance(whole, _PointSet):
            return [PointGroup(whole.centers, metric, gradient)]
        groups: list[FieldGroup] = [
            PolygonGroup(outer, [np.asarray(h, dtype=np.float64) for h in holes]) for outer, holes in whole.areas
        ]
        groups.append(SegmentGroup(whole.p1, whole.v, whole.v_dot_v, metric, gradient))
        return groups

    def in_bbox(self, x: npt.ArrayLike) -> bool:
        """Whether the single point `x` = (x, y) lies inside the closed ``bbox``."""
        point = np.asarray(x, dtype=np.float64)
        if point.size != 2:
            raise ValueError(f"x must be one point (x, y), got shape {point.shape}")
        point = point.reshape(2)
        box = self.bbox
        return bool(np.all(box[0] <= point) and np.all(point <= box[1]))

    def get_center_point(self) -> FloatArray:
        """Centre of ``bbox``, a (2,) array."""
        box = self.bbox
        center: FloatArray = (box[0] + box[1]) / 2.0
        return center

    def toRGeoJSON(self) -> dict[str, Any]:  # noqa: N802 - RGeoJSON's name
        """Export as an RGeoJSON Feature.

        ``cls(**result["geometry"])`` rebuilds an equal geometry.
        """
        return {
            "type": "Feature",
            "properties": self.properties,
            "geometry": {
                "type": self.RGJType,
                "coordinates": _nested_lists(self.coordinates),
                "repulsion": np.asarray(self.repulsion).tolist(),
            },
        }

    def __repr__(self) -> str:
        return f"<{self.RGJType} with {len(_all_positions(self.coordinates))} positions>"


class Point(_Member, RGJGeometry):
    """A single position [x, y]."""

    RGJType = "Point"

    @classmethod
    def _parse(cls, coordinates: Any) -> FloatArray:
        return _position(coordinates, "Point coordinates")

    @classmethod
    def _candidates(cls, coordinates: FloatArray) -> tuple[_Candidates, tuple[_Candidates, ...]]:
        whole = _PointSet(_frozen(coordinates.reshape(1, 2)))
        return whole, (whole,)


class MultiPoint(_Member, MultiRGJGeometry):
    """One or more positions; each position is a part."""

    RGJType = "MultiPoint"

    @classmethod
    def _parse(cls, coordinates: Any) -> FloatArray:
        return _positions(coordinates, "MultiPoint coordinates", 1)

    @classmethod
    def _candidates(cls, coordinates: FloatArray) -> tuple[_Candidates, tuple[_Candidates, ...]]:
        parts = tuple(_PointSet(coordinates[i : i + 1]) for i in range(len(coordinates)))
        return _PointSet(coordinates), parts


class LineString(_Member, RGJGeometry):
    """A polyline of two or more positions."""

    RGJType = "LineString"

    @classmethod
    def _parse(cls, coordinates: Any) -> FloatArray:
        return _positions(coordinates, "LineString coordinates", 2)

    @classmethod
    def _candidates(cls, coordinates: FloatArray) -> tuple[_Candidates, tuple[_Candidates, ...]]:
        whole = _line_boundary([("LineString coordinates", coordinates)])
        return whole, (whole,)


class MultiLineString(_Member, MultiRGJGeometry):
    """One or more polylines; each is a part."""

    RGJType = "MultiLineString"

    @classmethod
    def _parse(cls, coordinates: Any) -> list[FloatArray]:
        what = "MultiLineString coordinates"
        return [
            _positions(line, f"{what} line {i}", 2)
            for i, line in enumerate(_items(coordinates, what, "line"))
        ]

    @classmethod
    def _candidates(cls, coordinates: list[FloatArray]) -> tuple[_Candidates, tuple[_Candidates, ...]]:
        lines = [(f"MultiLineString coordinates line {i}", line) for i, line in enumerate(coordinates)]
        return _line_boundary(lines), tuple(_line_boundary([line]) for line in lines)


class Polygon(_Member, RGJGeometry):
    """An outer ring followed by any number of hole rings; rings are closed
    and have at least four positions."""

    RGJType = "Polygon"

    @classmethod
    def _parse(cls, coordinates: Any) -> list[FloatArray]:
        return _polygon_rings(coordinates, "Polygon coordinates")

    @classmethod
    def _candidates(cls, coordinates: list[FloatArray]) -> tuple[_Candidates, tuple[_Candidates, ...]]:
        whole = _polygon_boundary([("Polygon coordinates", coordinates)])
        return whole, (whole,)


class MultiPolygon(_Member, MultiRGJGeometry):
    """One or more polygons; each is a part."""

    RGJType = "MultiPolygon"

    @classmethod
    def _parse(cls, coordinates: Any) -> list[list[FloatArray]]:
        what = "MultiPolygon coordinates"
        return [
            _polygon_rings(polygon, f"{what} polygon {i}")
            for i, polygon in enumerate(_items(coordinates, what, "polygon"))
        ]

    @classmethod
    def _candidates(
        cls, coordinates: list[list[FloatArray]]
    ) -> tuple[_Candidates, tuple[_Candidates, ...]]:
        polygons = [(f"MultiPolygon coordinates polygon {i}", rings) for i, rings in enumerate(coordinates)]
        return _polygon_boundary(polygons), tuple(_polygon_boundary([p]) for p in polygons)


_RGJ_TYPES: dict[str, type] = {
    "Point": Point,
    "MultiPoint": MultiPoint,
    "LineString": LineString,
    "MultiLineString": MultiLineString,
    "Polygon": Polygon,
    "MultiPolygon": MultiPolygon,
}

# The collection module imports the base types at load and reads _RGJ_TYPES
# only when it constructs, so importing it last is safe.  The package works
# without it when it is not built at all; any other failure to import it (a
# broken build, a wrong NumPy, a refused base type) is an error to report.
try:
    from orin.field.geometry.collection import GeometryCollectionRGJ
except ModuleNotFoundError as exc:
    if exc.name != "orin.field.geometry.collection":
        raise
else:
    _RGJ_TYPES["GeometryCollection"] = GeometryCollectionRGJ
    __all__.append("GeometryCollectionRGJ")

    def _collection_field_elements(self: Any) -> list[FieldGroup] | None:
        """The collection's field as elements for RiskField to compile.

        A collection's squared distance is the smallest of its members', each
        in the member's own metric, so its elements are its members'.  None
        when a member cannot describe its own field, or when a subclass
        replaces one of the methods the field is computed by.
        """
        kind = type(self)
        if kind.eval is not RGJGeometry.eval or any(
            getattr(kind, name) is not getattr(GeometryCollectionRGJ, name) for name in _FIELD_METHODS
        ):
            return None
        groups: list[FieldGroup] = []
        for member in self.rgjs or ():
            describe = getattr(member, "field_elements", None)
            part = describe() if callable(describe) else None
            if part is None:
                return None
            groups.extend(part)
        return groups

    # The collection is a C type; this one glue method is Python's job.
    GeometryCollectionRGJ.field_elements = _collection_field_elements  # type: ignore[method-assign]
