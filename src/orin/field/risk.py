"""Risk fields over RGeoJSON scenes: the maximum of every obstacle's field.

A scene is a GeoJSON FeatureCollection whose geometries carry one extra member,
``repulsion``, a symmetric positive-definite 2 x 2 matrix R.  An obstacle at
repulsion vector v (query point minus the obstacle's nearest point) contributes
``exp(-v^T R^-1 v)``; the risk at a point is the largest contribution of any
obstacle.
"""

from __future__ import annotations

import math
import numbers
import operator
import os
from collections.abc import Callable, Iterable, Mapping
from typing import Any

import numpy as np
from numpy.typing import ArrayLike, NDArray

from orin.field.scene import (
    SceneError,
    example_scene,
    features_of,
    has_geo_interface,
    load_scene,
    obstacles_from_features,
    obstacles_from_geo_interface,
    obstacles_from_geometries,
)
from orin.field.scene_compiler import compile_obstacles

__all__ = ["DEFAULT_CUTOFF", "PROJECTIONS", "RiskField", "SceneError", "example_scene", "load_scene"]

#: Contributions below this value may be dropped (see :class:`RiskField`).
DEFAULT_CUTOFF = 1e-12

#: The ways a segment's candidate point may be chosen (see :class:`RiskField`).
PROJECTIONS = ("euclidean", "metric")

#: Points per chunk where obstacles are evaluated through their own ``eval``:
#: bounds the temporaries of those calls.
DEFAULT_CHUNK_SIZE = 1 << 16

# Boxes of obstacles evaluated through their own eval are widened by this
# relative margin, so that rounding in the obstacle's own distance
# computation can never put a skipped value above the cut-off.
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


def _default_threads() -> int:
    try:
        return max(1, len(os.sched_getaffinity(0)))
    except (AttributeError, OSError):
        return max(1, os.cpu_count() or 1)


def _check_cutoff(cutoff: Any) -> float:
    if isinstance(cutoff, bool) or not isinstance(cutoff, numbers.Real):
        raise TypeError(f"cutoff must be a real number, got {type(cutoff).__name__}")
    value = float(cutoff)
    if not 0.0 <= value < 1.0:
        raise ValueError(f"cutoff must lie in [0, 1), got {cutoff!r}")
    return value


def _check_projection(projection: Any) -> str:
    if not isinstance(projection, str):
        raise TypeError(f"projection must be a str, got {type(projection).__name__}")
    if projection not in PROJECTIONS:
        raise ValueError(f"projection must be 'euclidean' or 'metric', got {projection!r}")
    return projection


def _check_threads(threads: Any) -> int:
    if threads is None:
        return _default_threads()
    if isinstance(threads, bool):
        raise TypeError("threads must be a positive integer or None, got bool")
    try:
        count = operator.index(threads)
    except TypeError:
        raise TypeError(f"threads must be a positive integer or None, got {type(threads).__name__}") from None
    if not 1 <= count <= 1024:
        raise ValueError(f"threads must lie in 1..1024, got {count}")
    return count


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
    projection : {"euclidean", "metric"}, optional
        How a line's or a boundary's nearest point is found.  "euclidean", the
        geometries' own rule: each segment offers the Euclidean projection of
        the query point, and the obstacle's metric chooses among those
        candidates.  "metric": the exact nearest point in the obstacle's own
        metric, so that the field is ``exp(-d**2)`` with d the true metric
        distance to the obstacle.
    threads : int, optional
        Native threads a query is split over; all the cores this process may
        use by default.  The results are the same, bit for bit, for any count.
    chunk_size : int, optional
        Points per call to an obstacle evaluated through its own ``eval``.

    Notes
    -----
    Compilation.  Every obstacle that describes its field through
    ``field_elements`` (all the package's geometries, collections included)
    is compiled at construction into one native scene: its point centres,
    boundary segments and polygons, indexed by a bounding-volume hierarchy.
    A query visits, for each point, only the elements that can still matter,
    so its cost follows the few obstacles near each point rather than the
    size of the scene.  Other obstacles (anything else with ``eval``, or a
    subclass with a field of its own) are evaluated through their ``eval``,
    as before, at the points inside their widened bounding box.

    Skipping.  An element is skipped only where its field is certainly below
    ``cutoff`` or certainly below a nearer element's.  Hence ``eval`` equals
    the maximum of every obstacle's own ``eval`` wherever that maximum is at
    least ``cutoff`` (to a few ulp: the exponential may round differently);
    elsewhere it lies between 0 and that maximum.  With the default of 1e-12,
    values below 1e-12 may read as 0.  Ties between obstacles go to the one
    listed first.

    The obstacles are read once, at construction: after changing one
    (``set_repulsion``, ``set_coordinates``) build a new RiskField.

    Query points with a NaN coordinate get NaN (value and gradient); points
    with an infinite coordinate and no NaN are infinitely far from every
    obstacle and get 0.
    """

    def __init__(
        self,
        obstacles: Mapping[str, Any] | str | os.PathLike[str] | Iterable[Any],
        *,
        cutoff: float = DEFAULT_CUTOFF,
        projection: str = "euclidean",
        threads: int | None = None,
        chunk_size: int = DEFAULT_CHUNK_SIZE,
    ) -> None:
        self.cutoff = _check_cutoff(cutoff)
        self.projection = _check_projection(projection)
        self._threads_arg = threads
        self.threads = _check_threads(threads)
        chunk = operator.index(chunk_size)
        if chunk < 1:
            raise ValueError(f"chunk_size must be at least 1, got {chunk}")
        self.chunk_size = chunk
        self.obstacles: tuple[Any, ...] = tuple(self._collect(obstacles))
        self._scene, fallback = compile_obstacles(self.obstacles, cutoff=self.cutoff, projection=self.projection)
        log_cut = -math.log(self.cutoff) if self.cutoff > 0.0 else math.inf
        self._others: list[tuple[int, NDArray[np.float64] | None]] = []
        for k in fallback:
            obstacle = self.obstacles[k]
            lam = _metric_floor(obstacle)
            radius = math.sqrt(log_cut / lam) * (1.0 + _RADIUS_MARGIN) if lam > 0 else math.inf
            box = _bbox_of(obstacle)
            if box is not None and math.isfinite(radius):
                box = box + np.array([-radius, -radius, radius, radius])
            else:
                box = None
            self._others.append((k, box))

    @classmethod
    def _restore(cls, obstacles: tuple[Any, ...], options: dict[str, Any]) -> RiskField:
        return cls(obstacles, **options)

    def __reduce__(self) -> tuple[Any, ...]:
        # The compiled scene is rebuilt from the obstacles on load: they
        # pickle small, and the index is cheap to build again.
        options = {
            "cutoff": self.cutoff,
            "projection": self.projection,
            "threads": self._threads_arg,
            "chunk_size": self.chunk_size,
        }
        return (RiskField._restore, (self.obstacles, options))

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

    # -- queries ---------------------------------------------------------------

    def __len__(self) -> int:
        return len(self.obstacles)

    def __repr__(self) -> str:
        return (
            f"RiskField({len(self.obstacles)} obstacles, cutoff={self.cutoff:g}, "
            f"projection={self.projection!r})"
        )

    @property
    def index_nbytes(self) -> int:
        """Memory held by the compiled scene and its spatial index, in bytes."""
        return int(self._scene.nbytes)

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
            Called from the calling thread, during the call, with the number
            of points finished since its last call; the counts add up to N.

        Returns
        -------
        numpy.ndarray, shape (N,)
            float64 risk values; see the class notes for the cut-off and for
            non-finite points.
        """
        value, _, _, _ = self._query(_as_points(x), progress, value=True)
        assert value is not None
        return value

    def gradient(self, x: ArrayLike, *, progress: ProgressCallback | None = None) -> NDArray[np.float64]:
        """Gradient of the risk with respect to the query point: the derivative of ``eval``.

        At each point it is the derivative of the field of the obstacle that
        attains the maximum (ties go to the obstacle listed first), f its value
        and G its gradient matrix (``grad_matrix`` = 2 R^-1, the derivative
        of vᵀ R^-1 v):

        - at a point centre, a vertex, a segment's end, or with
          ``projection="metric"`` anywhere: ``-f * G @ v``, v the repulsion
          vector (the nearest point does not move to first order);
        - inside a segment under ``projection="euclidean"``: the projection
          slides along the segment as x moves, so it is
          ``-f * (I - u uᵀ) @ G @ v``, u the segment's direction;
        - inside a polygon: 0, as is the field's.

        An obstacle evaluated through its own ``eval`` answers with its own
        ``gradient`` when it has one, else ``-f * grad_matrix @
        repulsion_vector(x)``.  Points where no obstacle reaches ``cutoff``
        get 0 (or the exact gradient of a value that was kept); points with a
        NaN coordinate get NaN.

        Parameters
        ----------
        x : array_like, shape (N, 2)
            Query points.
        progress : callable, optional
            As for :meth:`eval`.

        Returns
        -------
        numpy.ndarray, shape (N, 2)
            float64 gradient (d/dx, d/dy) per point.
        """
        _, gradient, _, _ = self._query(_as_points(x), progress, gradient=True)
        assert gradient is not None
        return gradient

    def nearest(
        self, x: ArrayLike, *, progress: ProgressCallback | None = None
    ) -> tuple[NDArray[np.int64], NDArray[np.float64]]:
        """Which obstacle gives each point its risk, and from where.

        Parameters
        ----------
        x : array_like, shape (N, 2)
            Query points.
        progress : callable, optional
            As for :meth:`eval`.

        Returns
        -------
        index : numpy.ndarray of int64, shape (N,)
            The obstacle (its position in ``obstacles``) whose field gives
            ``eval``'s value; -1 where no obstacle reaches ``cutoff`` and for
            points with a non-finite coordinate.
        point : numpy.ndarray of float64, shape (N, 2)
            The point of that obstacle whose repulsion vector gives the value:
            the query point itself inside a polygon; NaN where the index is -1
            (and for obstacles evaluated through their own ``eval`` that have
            no ``repulsion_vector``).
        """
        pts = _as_points(x)
        value, _, owner, point = self._query(pts, progress, value=True, nearest=True)
        assert value is not None and owner is not None and point is not None
        lost = ~(value >= self.cutoff)
        owner[lost] = -1
        point[lost] = np.nan
        return owner, point

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
            The grid's corner samples; finite, with xmin <= xmax and ymin <= ymax,
            and a width and height that are finite too.
        shape : (ny, nx)
            Number of rows and columns, NumPy order, each at least 1.
        progress : callable, optional
            As for :meth:`eval`; the counts add up to ny * nx.

        Returns
        -------
        numpy.ndarray, shape (ny, nx)
            ``out[i, j]`` is the risk at ``(xs[j], ys[i])`` with
            ``xs = np.linspace(xmin, xmax, nx)`` and
            ``ys = np.linspace(ymin, ymax, ny)``, exactly what :meth:`eval`
            gives at that point.  Row 0 is the southern edge (y = ymin) and x
            grows along a row: show it with ``imshow(..., origin="lower")``.
        """
        xmin, ymin, xmax, ymax = _as_bounds(bounds)
        ny, nx = _as_shape(shape)
        _check_progress(progress)
        xs = np.linspace(xmin, xmax, nx)
        ys = np.linspace(ymin, ymax, ny)
        if not self._others:
            out = np.empty(ny * nx)
            self._scene.query_grid(xs, ys, out, self.threads, progress)
            return out.reshape(ny, nx)
        out = np.empty(ny * nx)
        # Rows are produced per chunk, so a large grid never holds all its
        # points at once.
        rows_per_chunk = max(1, self.chunk_size // nx)
        for r0 in range(0, ny, rows_per_chunk):
            r1 = min(r0 + rows_per_chunk, ny)
            gx, gy = np.meshgrid(xs, ys[r0:r1])
            chunk = np.column_stack([gx.ravel(), gy.ravel()])
            out[r0 * nx : r1 * nx] = self.eval(chunk)
            if progress is not None:
                progress(len(chunk))
        return out.reshape(ny, nx)

    # -- the work ----------------------------------------------------------------

    def _query(
        self,
        pts: NDArray[np.float64],
        progress: ProgressCallback | None,
        *,
        value: bool = False,
        gradient: bool = False,
        nearest: bool = False,
    ) -> tuple[
        NDArray[np.float64] | None, NDArray[np.float64] | None, NDArray[np.int64] | None, NDArray[np.float64] | None
    ]:
        _check_progress(progress)
        n = len(pts)
        # Obstacles outside the engine are merged by value, obstacle index
        # breaking ties, so the engine's winner is needed whenever they are.
        merging = bool(self._others)
        out_value = np.empty(n) if (value or merging) else None
        out_gradient = np.empty((n, 2)) if gradient else None
        out_owner = np.empty(n, dtype=np.int64) if (nearest or (merging and gradient)) else None
        out_point = np.empty((n, 2)) if nearest else None
        if not merging:
            self._scene.query(pts, out_value, out_gradient, out_owner, out_point, self.threads, progress)
            return out_value, out_gradient, out_owner, out_point
        for start in range(0, n, self.chunk_size):
            stop = min(start + self.chunk_size, n)
            rows = slice(start, stop)
            chunk = pts[rows]
            self._scene.query(
                chunk,
                None if out_value is None else out_value[rows],
                None if out_gradient is None else out_gradient[rows],
                None if out_owner is None else out_owner[rows],
                None if out_point is None else out_point[rows],
                self.threads,
                None,
            )
            self._merge_others(
                chunk,
                out_value[rows] if out_value is not None else None,
                None if out_gradient is None else out_gradient[rows],
                None if out_owner is None else out_owner[rows],
                None if out_point is None else out_point[rows],
            )
            if progress is not None:
                progress(stop - start)
        return out_value, out_gradient, out_owner, out_point

    def _merge_others(
        self,
        pts: NDArray[np.float64],
        value: Any,
        gradient: Any,
        owner: Any,
        point: Any,
    ) -> None:
        """Folds the obstacles outside the engine into its results, in place."""
        finite = np.isfinite(pts).all(axis=1)
        idx = np.flatnonzero(finite)
        if len(idx) == 0:
            return
        sub = pts[idx]
        lo = sub.min(axis=0)
        hi = sub.max(axis=0)
        for k, box in self._others:
            rows = _points_in_box(sub, box, lo, hi)
            rows = np.arange(len(sub)) if rows is None else rows
            if len(rows) == 0:
                continue
            at = idx[rows]
            q = pts[at]
            values = self._obstacle_values(k, q)
            cur = value[at]
            take = values > cur
            if owner is not None:
                take |= (values == cur) & (values > 0.0) & (owner[at] > k)
            # A zero field never wins over "no obstacle".
            take &= values > 0.0
            if not take.any():
                continue
            won = at[take]
            value[won] = values[take]
            if owner is not None:
                owner[won] = k
            if gradient is not None:
                gradient[won] = self._obstacle_gradient(k, pts[won], values[take])
            if point is not None:
                point[won] = self._obstacle_point(k, pts[won])

    def _obstacle_values(self, k: int, pts: NDArray[np.float64]) -> NDArray[np.float64]:
        values = np.asarray(self.obstacles[k].eval(pts), dtype=np.float64).reshape(-1)
        if values.shape != (len(pts),):
            raise ValueError(
                f"obstacle {k} ({type(self.obstacles[k]).__name__}) returned "
                f"{values.size} values for {len(pts)} points"
            )
        return values

    def _obstacle_gradient(self, k: int, pts: NDArray[np.float64], f: NDArray[np.float64]) -> NDArray[np.float64]:
        obstacle = self.obstacles[k]
        own = getattr(obstacle, "gradient", None)
        if callable(own):
            return np.asarray(own(pts), dtype=np.float64).reshape(len(pts), 2)
        v = np.asarray(obstacle.repulsion_vector(pts), dtype=np.float64).reshape(len(pts), 2)
        g = np.asarray(obstacle.grad_matrix, dtype=np.float64).reshape(2, 2)
        return -f[:, None] * (v @ g.T)

    def _obstacle_point(self, k: int, pts: NDArray[np.float64]) -> NDArray[np.float64]:
        rv = getattr(self.obstacles[k], "repulsion_vector", None)
        if not callable(rv):
            return np.full((len(pts), 2), np.nan)
        return pts - np.asarray(rv(pts), dtype=np.float64).reshape(len(pts), 2)

    # -- copies ------------------------------------------------------------------

    def with_threads(self, threads: int | None) -> RiskField:
        """The same field, querying on another number of native threads.

        The copy shares the compiled scene and the obstacles (queries only
        read them), so it costs neither a compilation nor memory.  Dask tasks
        use ``with_threads(1)``, so that the scheduler's workers are the only
        parallelism.
        """
        twin = object.__new__(type(self))
        twin.__dict__.update(self.__dict__)
        twin._threads_arg = threads
        twin.threads = _check_threads(threads)
        return twin


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


def _check_progress(progress: Any) -> None:
    # Checked before any work, so that an empty query refuses it as well.
    if progress is not None and not callable(progress):
        raise TypeError(f"progress must be callable or None, got {type(progress).__name__}")


def _as_bounds(bounds: Any) -> tuple[float, float, float, float]:
    b = np.asarray(bounds, dtype=np.float64)
    if b.shape != (4,):
        raise ValueError(f"bounds must be (xmin, ymin, xmax, ymax), got shape {b.shape}")
    if not np.isfinite(b).all():
        raise ValueError("bounds must be finite")
    xmin, ymin, xmax, ymax = (float(v) for v in b)
    if xmin > xmax or ymin > ymax:
        raise ValueError(f"bounds must have xmin <= xmax and ymin <= ymax, got {tuple(b.tolist())}")
    # Past the largest double, np.linspace would place the samples at NaN.
    if not (math.isfinite(xmax - xmin) and math.isfinite(ymax - ymin)):
        raise ValueError(f"bounds must have a finite width and height, got {tuple(b.tolist())}")
    return xmin, ymin, xmax, ymax


def _as_shape(shape: Any) -> tuple[int, int]:
    try:
        ny, nx = (int(s) for s in shape)
    except (TypeError, ValueError):
        raise ValueError(f"shape must be (ny, nx), got {shape!r}") from None
    if ny < 1 or nx < 1:
        raise ValueError(f"shape must be at least (1, 1), got {(ny, nx)}")
    return ny, nx
