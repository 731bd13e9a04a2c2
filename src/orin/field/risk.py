"""Risk fields over RGeoJSON scenes: the maximum of every obstacle's field.

A scene is a GeoJSON FeatureCollection whose geometries carry one extra member,
``repulsion``, a symmetric positive-definite 2 x 2 matrix R.  An obstacle at
repulsion vector v (query point minus the obstacle's nearest point) contributes
``exp(-v^T R^-1 v)``; the risk at a point is the largest contribution of any
obstacle.
"""

from __future__ import annotations

import math
import os
from collections.abc import Callable, Iterable, Mapping
from typing import Any

import numpy as np
from numpy.typing import ArrayLike, NDArray

from orin.field.kernels import point_obstacles_eval_max
from orin.field.scene import (
    SceneError,
    _registry,
    example_scene,
    features_of,
    has_geo_interface,
    load_scene,
    obstacles_from_features,
    obstacles_from_geo_interface,
    obstacles_from_geometries,
)

__all__ = ["DEFAULT_CUTOFF", "RiskField", "SceneError", "example_scene", "load_scene"]

#: Contributions below this value may be dropped (see :class:`RiskField`).
DEFAULT_CUTOFF = 1e-12

#: Points per chunk: big enough to amortise the per-obstacle Python calls,
#: small enough that per-chunk temporaries stay in the tens of megabytes.
DEFAULT_CHUNK_SIZE = 1 << 16

# Point columns the pure-NumPy gradient path compares per pass: bounds its
# (chunk, columns) temporaries however many point obstacles a scene has.
_POINT_BLOCK = 256

# Boxes are widened by this relative margin so that rounding in an obstacle's
# own distance computation can never put a skipped value above the cut-off.
_RADIUS_MARGIN = 1e-6

ProgressCallback = Callable[[int], Any]


def _metric_floor(obstacle: Any) -> float:
    """Smallest eigenvalue of the metric an obstacle's ``eval`` measures in.

    v^T M v >= lambda_min(sym M) |v|^2, so this bounds the field from above by
    the Euclidean distance alone.  A collection measures each member in its own
    metric, so the floor is the smallest over ``inv_repulsions``.  NaN means
    unknown: the obstacle is then never skipped.
    """
    metric = getattr(obstacle, "inv_repulsions", None)
    if metric is None:
        metric = getattr(obstacle, "inv_repulsion", None)
    try:
        m = np.asarray(metric, dtype=np.float64).reshape(-1, 2, 2)
        if m.shape[0] == 0 or not np.isfinite(m).all():
            return math.nan
        sym = 0.5 * (m + np.swapaxes(m, 1, 2))
        lam = float(np.linalg.eigvalsh(sym)[:, 0].min())
    except (TypeError, ValueError, np.linalg.LinAlgError):
        return math.nan
    return lam if lam > 0.0 else math.nan


def _bbox_of(obstacle: Any) -> NDArray[np.float64] | None:
    try:
        box = np.asarray(getattr(obstacle, "bbox", None), dtype=np.float64).reshape(-1, 2)
    except (TypeError, ValueError):
        return None
    if box.shape[0] == 0 or not np.isfinite(box).all():
        return None
    return np.concatenate([box.min(0), box.max(0)])


def _is_plain(obstacle: Any, cls: type | None) -> bool:
    """True when ``obstacle`` is ``cls`` or a subclass that keeps its field."""
    if cls is None or not isinstance(obstacle, cls):
        return False
    kind = type(obstacle)
    return all(getattr(kind, name) is getattr(cls, name) for name in ("eval", "squared_dist"))


class RiskField:
    """The risk field of a set of obstacles: at every point, the largest obstacle field.

    Parameters
    ----------
    obstacles : mapping, str, os.PathLike, geo-interface object or iterable
        An RGeoJSON FeatureCollection (or a single Feature) as a dict, the path
        of a file holding one, an object whose ``__geo_interface__`` is one
        (a GeoDataFrame), or an iterable of obstacles.  The iterable's
        elements are geometry objects (anything with ``eval``; the package's
        geometries), RGeoJSON Feature or geometry dicts, or objects with
        ``__geo_interface__`` (shapely geometries).  Features whose geometry
        is null or empty are skipped; a feature's ``repulsion`` may stand in
        its properties when its geometry has none.
    cutoff : float, optional
        Contributions certainly below this value may be dropped.  0 evaluates
        every obstacle at every point.
    chunk_size : int, optional
        Points evaluated together; bounds the temporary memory.

    Notes
    -----
    Skipping.  Obstacle k is evaluated only at points inside its bounding box
    widened on every side by ``r_k = sqrt(-ln(cutoff) / lambda_k)``, lambda_k
    the smallest eigenvalue of its metric (``inv_repulsion``).  Outside that
    box its squared distance exceeds ``-ln(cutoff)`` in any direction, so its
    field is below ``cutoff``.  Hence ``eval`` equals the unskipped maximum
    wherever that maximum is at least ``cutoff``; elsewhere it lies between 0
    and the unskipped maximum.  With the default of 1e-12, values below 1e-12
    may read as 0.

    Point and MultiPoint obstacles are evaluated together by one call of the
    fused kernel ``point_obstacles_eval_max`` per chunk, in each obstacle's
    ``inv_repulsion``; the others through their own ``eval``.

    The obstacles' metrics and boxes are read once, at construction: after
    changing an obstacle (``set_repulsion``, ``set_coordinates``) build a new
    RiskField.

    Query points with a NaN coordinate get NaN (value and gradient); points
    with an infinite coordinate and no NaN are infinitely far from every
    obstacle and get 0.
    """

    def __init__(
        self,
        obstacles: Mapping[str, Any] | str | os.PathLike[str] | Iterable[Any],
        *,
        cutoff: float = DEFAULT_CUTOFF,
        chunk_size: int = DEFAULT_CHUNK_SIZE,
    ) -> None:
        cutoff = float(cutoff)
        if not 0.0 <= cutoff < 1.0:
            raise ValueError(f"cutoff must lie in [0, 1), got {cutoff!r}")
        chunk_size = int(chunk_size)
        if chunk_size < 1:
            raise ValueError(f"chunk_size must be at least 1, got {chunk_size}")
        self.cutoff = cutoff
        self.chunk_size = chunk_size
        self.obstacles: tuple[Any, ...] = tuple(self._collect(obstacles))
        self._prepare()

    # -- construction --------------------------------------------------------

    @classmethod
    def from_geometries(
        cls, geoms: Iterable[Any], repulsion: Any = None, properties: Any = None, **kwargs: Any
    ) -> RiskField:
        """The field of shapely geometries, or of any objects with ``__geo_interface__``.

        Parameters
        ----------
        geoms : iterable
            The geometries (a GeoSeries will do); null and empty ones are skipped.
        repulsion : (2, 2) array_like or sequence, optional
            One matrix for every geometry, or one per geometry.
        properties : sequence of mappings, optional
            One per geometry, kept with its obstacle.
        **kwargs
            Passed on to :class:`RiskField`.
        """
        return cls(obstacles_from_geometries(geoms, repulsion, properties), **kwargs)

    @staticmethod
    def _collect(source: Any) -> list[Any]:
        if isinstance(source, (str, os.PathLike)):
            source = load_scene(source)
        if isinstance(source, Mapping):
            return obstacles_from_features(features_of(source))
        if has_geo_interface(source):
            return obstacles_from_geo_interface(source)
        if isinstance(source, (bytes, bytearray)):
            raise TypeError("pass a scene path as str or os.PathLike, or the decoded JSON")
        items = list(source)
        obstacles = []
        for index, item in enumerate(items):
            if isinstance(item, Mapping):
                obstacles.extend(obstacles_from_features([item], first_index=index))
            elif callable(getattr(item, "eval", None)):
                obstacles.append(item)
            elif has_geo_interface(item):
                obstacles.extend(obstacles_from_geo_interface(item, first_index=index))
            else:
                raise TypeError(f"obstacle {index} ({type(item).__name__}) has no eval method")
        return obstacles

    def _prepare(self) -> None:
        types = _registry()
        point_cls = types.get("Point")
        multipoint_cls = types.get("MultiPoint")
        log_cut = -math.log(self.cutoff) if self.cutoff > 0.0 else math.inf

        centers: list[NDArray[np.float64]] = []
        metrics: list[NDArray[np.float64]] = []
        owners: list[int] = []
        radii: list[float] = []
        others: list[tuple[int, NDArray[np.float64] | None]] = []
        for k, obstacle in enumerate(self.obstacles):
            lam = _metric_floor(obstacle)
            radius = math.sqrt(log_cut / lam) * (1.0 + _RADIUS_MARGIN) if lam > 0 else math.inf
            if _is_plain(obstacle, point_cls) or _is_plain(obstacle, multipoint_cls):
                pts = np.asarray(obstacle.coordinates, dtype=np.float64).reshape(-1, 2)
                metric = np.asarray(obstacle.inv_repulsion, dtype=np.float64).reshape(2, 2)
                centers.append(pts)
                metrics.append(np.broadcast_to(metric, (len(pts), 2, 2)))
                owners.extend([k] * len(pts))
                radii.extend([radius] * len(pts))
                continue
            box = _bbox_of(obstacle)
            if box is not None and math.isfinite(radius):
                box = box + np.array([-radius, -radius, radius, radius])
            else:
                box = None
            others.append((k, box))

        self._centers = np.ascontiguousarray(np.concatenate(centers) if centers else np.zeros((0, 2)))
        self._metrics = np.ascontiguousarray(np.concatenate(metrics) if metrics else np.zeros((0, 2, 2)))
        self._owners = np.asarray(owners, dtype=np.intp)
        radius_arr = np.asarray(radii, dtype=np.float64)
        self._point_boxes = np.column_stack(
            [self._centers - radius_arr[:, None], self._centers + radius_arr[:, None]]
        ) if len(radii) else np.zeros((0, 4))
        # grad_matrix per point column, for the gradient of point obstacles.
        self._point_grads = np.ascontiguousarray(
            np.stack([self._grad_matrix_of(self.obstacles[k]) for k in owners])
            if owners else np.zeros((0, 2, 2))
        )
        self._others = others

    @staticmethod
    def _grad_matrix_of(obstacle: Any) -> NDArray[np.float64]:
        return np.asarray(obstacle.grad_matrix, dtype=np.float64).reshape(2, 2)

    # -- queries ---------------------------------------------------------------

    def __len__(self) -> int:
        return len(self.obstacles)

    def __repr__(self) -> str:
        return f"RiskField({len(self.obstacles)} obstacles, cutoff={self.cutoff:g})"

    @property
    def bbox(self) -> NDArray[np.float64]:
        """[[min x, min y], [max x, max y]] over every obstacle's ``bbox``.

        Raises
        ------
        ValueError
            If the field has no obstacle with a finite bounding box.
        """
        boxes = [b for b in (_bbox_of(o) for o in self.obstacles) if b is not None]
        if not boxes:
            raise ValueError("no obstacle has a finite bounding box")
        arr = np.array(boxes)
        return np.array([arr[:, :2].min(0), arr[:, 2:].max(0)])

    def influence_bounds(self, level: float = 0.01) -> tuple[float, float, float, float]:
        """(xmin, ymin, xmax, ymax) enclosing every point where some obstacle's field exceeds ``level``.

        Each obstacle's box is widened by the distance at which its field falls
        to ``level`` along its weakest direction, so the bounds frame the whole
        visible field of a scene.

        Raises
        ------
        ValueError
            If ``level`` is not in (0, 1) or no obstacle has a finite bounding box.
        """
        if not 0.0 < level < 1.0:
            raise ValueError(f"level must lie in (0, 1), got {level!r}")
        lows, highs = [], []
        for obstacle in self.obstacles:
            box = _bbox_of(obstacle)
            if box is None:
                continue
            lam = _metric_floor(obstacle)
            pad = math.sqrt(-math.log(level) / lam) if lam > 0 else 0.0
            lows.append(box[:2] - pad)
            highs.append(box[2:] + pad)
        if not lows:
            raise ValueError("no obstacle has a finite bounding box")
        lo, hi = np.min(lows, axis=0), np.max(highs, axis=0)
        return float(lo[0]), float(lo[1]), float(hi[0]), float(hi[1])

    def eval(self, x: ArrayLike, *, progress: ProgressCallback | None = None) -> NDArray[np.float64]:
        """Risk at each point: the largest field of any obstacle.

        Parameters
        ----------
        x : array_like, shape (N, 2)
            Query points, x in column 0 and y in column 1.
        progress : callable, optional
            Called with the number of points finished after each chunk.

        Returns
        -------
        numpy.ndarray, shape (N,)
            float64 risk values; see the class notes for the cut-off and for
            non-finite points.
        """
        pts = _as_points(x)
        out = np.empty(len(pts))
        for start in range(0, len(pts), self.chunk_size):
            stop = min(start + self.chunk_size, len(pts))
            out[start:stop] = self._eval_chunk(pts[start:stop])
            if progress is not None:
                progress(stop - start)
        return out

    def gradient(self, x: ArrayLike, *, progress: ProgressCallback | None = None) -> NDArray[np.float64]:
        """Gradient of the risk with respect to the query point.

        At each point it is the gradient of the obstacle whose field attains the
        maximum (ties go to the obstacle listed first).  For Point and
        MultiPoint obstacles that is ``-f * grad_matrix @ (x - c)``, c the
        nearest centre, f the field value and ``grad_matrix`` = 2 R^-1.  A
        collection answers with its own ``gradient``.  Any other obstacle gives
        ``-f * grad_matrix @ repulsion_vector(x)``, the same rule with its
        repulsion vector.

        That rule is the exact derivative of the field for points, for
        isotropic metrics, and wherever the nearest point of a line or a
        polygon boundary is a vertex.  Where it falls inside a segment under an
        anisotropic metric, the nearest point is the Euclidean projection
        (which slides along the segment as x moves), and the rule gives the
        metric-weighted repulsion direction rather than the derivative.  Inside
        a polygon it is 0, as is the field's.

        Points where every obstacle was skipped (the field there is below
        ``cutoff``) get 0; points with a NaN coordinate get NaN.

        Parameters
        ----------
        x : array_like, shape (N, 2)
            Query points.
        progress : callable, optional
            Called with the number of points finished after each chunk.

        Returns
        -------
        numpy.ndarray, shape (N, 2)
            float64 gradient (d/dx, d/dy) per point.
        """
        pts = _as_points(x)
        out = np.empty((len(pts), 2))
        for start in range(0, len(pts), self.chunk_size):
            stop = min(start + self.chunk_size, len(pts))
            out[start:stop] = self._gradient_chunk(pts[start:stop])
            if progress is not None:
                progress(stop - start)
        return out

    def grid(
        self,
        bounds: tuple[float, float, float, float] | ArrayLike,
        shape: tuple[int, int],
        *,
        progress: ProgressCallback | None = None,
    ) -> NDArray[np.float64]:
        """Risk on a regular grid.

        Parameters
        ----------
        bounds : (xmin, ymin, xmax, ymax)
            The grid's corner samples; finite, with xmin <= xmax and ymin <= ymax.
        shape : (ny, nx)
            Number of rows and columns, NumPy order, each at least 1.
        progress : callable, optional
            Called with the number of points finished after each chunk.

        Returns
        -------
        numpy.ndarray, shape (ny, nx)
            ``out[i, j]`` is the risk at ``(xs[j], ys[i])`` with
            ``xs = np.linspace(xmin, xmax, nx)`` and
            ``ys = np.linspace(ymin, ymax, ny)``.  Row 0 is the southern edge
            (y = ymin) and x grows along a row: show it with
            ``imshow(..., origin="lower")``.
        """
        xmin, ymin, xmax, ymax = _as_bounds(bounds)
        ny, nx = _as_shape(shape)
        xs = np.linspace(xmin, xmax, nx)
        ys = np.linspace(ymin, ymax, ny)
        total = nx * ny
        out = np.empty(total)
        # Rows are produced per chunk, so a large grid never holds all its
        # points at once; chunks of whole rows are also compact in space,
        # which is what makes the box skipping effective.
        rows_per_chunk = max(1, self.chunk_size // nx)
        for r0 in range(0, ny, rows_per_chunk):
            r1 = min(r0 + rows_per_chunk, ny)
            gx, gy = np.meshgrid(xs, ys[r0:r1])
            chunk = np.column_stack([gx.ravel(), gy.ravel()])
            out[r0 * nx : r1 * nx] = self._eval_chunk(chunk)
            if progress is not None:
                progress(len(chunk))
        return out.reshape(ny, nx)

    # -- per-chunk work ----------------------------------------------------------

    def _eval_chunk(self, pts: NDArray[np.float64]) -> NDArray[np.float64]:
        out = np.zeros(len(pts))
        finite = np.isfinite(pts).all(axis=1)
        if not finite.all():
            out[np.isnan(pts).any(axis=1)] = np.nan
            idx = np.flatnonzero(finite)
            if len(idx):
                out[idx] = self._eval_finite(pts[idx])
            return out
        if len(pts):
            out = self._eval_finite(pts)
        return out

    def _eval_finite(self, pts: NDArray[np.float64]) -> NDArray[np.float64]:
        lo = pts.min(axis=0)
        hi = pts.max(axis=0)
        near = _boxes_touching(self._point_boxes, lo, hi)
        if near.all():
            out = point_obstacles_eval_max(pts, self._centers, self._metrics)
        elif near.any():
            sel = np.flatnonzero(near)
            out = point_obstacles_eval_max(pts, self._centers[sel], self._metrics[sel])
        else:
            out = np.zeros(len(pts))
        for k, box in self._others:
            idx = _points_in_box(pts, box, lo, hi)
            if idx is None:
                values = self._obstacle_values(k, pts)
                np.maximum(out, values, out=out)
            elif len(idx):
                values = self._obstacle_values(k, pts[idx])
                out[idx] = np.maximum(out[idx], values)
        return out

    def _obstacle_values(self, k: int, pts: NDArray[np.float64]) -> NDArray[np.float64]:
        values = np.asarray(self.obstacles[k].eval(pts), dtype=np.float64).reshape(-1)
        if values.shape != (len(pts),):
            raise ValueError(
                f"obstacle {k} ({type(self.obstacles[k]).__name__}) returned "
                f"{values.size} values for {len(pts)} points"
            )
        return values

    def _gradient_chunk(self, pts: NDArray[np.float64]) -> NDArray[np.float64]:
        grad = np.zeros((len(pts), 2))
        finite = np.isfinite(pts).all(axis=1)
        grad[np.isnan(pts).any(axis=1)] = np.nan
        idx = np.flatnonzero(finite)
        if len(idx) == 0:
            return grad
        sub = pts[idx]
        best, owner, nearest = self._argmax_finite(sub)
        g = np.zeros((len(sub), 2))

        # Point and MultiPoint winners: the nearest centre is already known.
        won = np.flatnonzero(nearest >= 0)
        if len(won):
            col = nearest[won]
            v = sub[won] - self._centers[col]
            g[won] = -best[won, None] * np.einsum("nij,nj->ni", self._point_grads[col], v)

        for k, _box in self._others:
            rows = np.flatnonzero((owner == k) & (nearest < 0))
            if len(rows) == 0:
                continue
            obstacle = self.obstacles[k]
            q = sub[rows]
            own = getattr(obstacle, "gradient", None)
            if callable(own):
                gk = np.asarray(own(q), dtype=np.float64).reshape(len(rows), 2)
            else:
                v = np.asarray(obstacle.repulsion_vector(q), dtype=np.float64).reshape(len(rows), 2)
                gk = -best[rows, None] * (v @ self._grad_matrix_of(obstacle).T)
            g[rows] = gk
        grad[idx] = g
        return grad

    def _argmax_finite(
        self, pts: NDArray[np.float64]
    ) -> tuple[NDArray[np.float64], NDArray[np.intp], NDArray[np.intp]]:
        """Per point: the largest field, its obstacle, and for point obstacles the centre column.

        Owner -1 means every obstacle was skipped; ``nearest`` is -1 unless the
        winner is a Point or MultiPoint.  Ties go to the lower obstacle index,
        whatever order the groups are visited in.
        """
        n = len(pts)
        best = np.zeros(n)
        owner = np.full(n, -1, dtype=np.intp)
        nearest = np.full(n, -1, dtype=np.intp)

        def merge(rows: NDArray[np.intp], values: NDArray[np.float64], who: NDArray[np.intp]) -> NDArray[np.bool_]:
            cur_v, cur_o = best[rows], owner[rows]
            take = (values > cur_v) | ((values == cur_v) & (cur_o >= 0) & (who < cur_o))
            # A zero field never wins over "no obstacle": it would give the
            # gradient of a value that the skipping may already have dropped.
            take &= values > 0.0
            hit = rows[take]
            best[hit] = values[take]
            owner[hit] = who[take]
            return take

        lo = pts.min(axis=0)
        hi = pts.max(axis=0)
        cols = np.flatnonzero(_boxes_touching(self._point_boxes, lo, hi))
        all_rows = np.arange(n)
        for b0 in range(0, len(cols), _POINT_BLOCK):
            block = cols[b0 : b0 + _POINT_BLOCK]
            diff = pts[:, None, :] - self._centers[block][None, :, :]
            d2 = np.einsum("nbi,bij,nbj->nb", diff, self._metrics[block], diff)
            # NaN distances never win, as in the fused kernel.
            d2 = np.where(np.isnan(d2), np.inf, d2)
            j = np.argmin(d2, axis=1)
            values = np.exp(-d2[all_rows, j])
            take = merge(all_rows, values, self._owners[block[j]])
            nearest[take] = block[j[take]]

        for k, box in self._others:
            idx = _points_in_box(pts, box, lo, hi)
            rows = all_rows if idx is None else idx
            if len(rows) == 0:
                continue
            values = self._obstacle_values(k, pts[rows])
            take = merge(rows, values, np.full(len(rows), k, dtype=np.intp))
            nearest[rows[take]] = -1
        return best, owner, nearest


def _boxes_touching(boxes: NDArray[np.float64], lo: NDArray[np.float64], hi: NDArray[np.float64]) -> NDArray[np.bool_]:
    return (boxes[:, 0] <= hi[0]) & (boxes[:, 2] >= lo[0]) & (boxes[:, 1] <= hi[1]) & (boxes[:, 3] >= lo[1])


def _points_in_box(
    pts: NDArray[np.float64],
    box: NDArray[np.float64] | None,
    lo: NDArray[np.float64],
    hi: NDArray[np.float64],
) -> NDArray[np.intp] | None:
    """Indices of the points inside ``box``; None when that is all of them."""
    if box is None:
        return None
    if box[0] <= lo[0] and box[1] <= lo[1] and box[2] >= hi[0] and box[3] >= hi[1]:
        return None
    if box[0] > hi[0] or box[2] < lo[0] or box[1] > hi[1] or box[3] < lo[1]:
        return np.zeros(0, dtype=np.intp)
    x, y = pts[:, 0], pts[:, 1]
    return np.flatnonzero((x >= box[0]) & (x <= box[2]) & (y >= box[1]) & (y <= box[3]))


def _as_points(x: ArrayLike) -> NDArray[np.float64]:
    pts = np.asarray(x, dtype=np.float64)
    if pts.ndim != 2 or pts.shape[1] != 2:
        raise ValueError(f"points must have shape (N, 2), got {pts.shape}")
    return np.ascontiguousarray(pts)


def _as_bounds(bounds: Any) -> tuple[float, float, float, float]:
    b = np.asarray(bounds, dtype=np.float64)
    if b.shape != (4,):
        raise ValueError(f"bounds must be (xmin, ymin, xmax, ymax), got shape {b.shape}")
    if not np.isfinite(b).all():
        raise ValueError("bounds must be finite")
    xmin, ymin, xmax, ymax = (float(v) for v in b)
    if xmin > xmax or ymin > ymax:
        raise ValueError(f"bounds must have xmin <= xmax and ymin <= ymax, got {tuple(b.tolist())}")
    return xmin, ymin, xmax, ymax


def _as_shape(shape: Any) -> tuple[int, int]:
    try:
        ny, nx = (int(s) for s in shape)
    except (TypeError, ValueError):
        raise ValueError(f"shape must be (ny, nx), got {shape!r}") from None
    if ny < 1 or nx < 1:
        raise ValueError(f"shape must be at least (1, 1), got {(ny, nx)}")
    return ny, nx
