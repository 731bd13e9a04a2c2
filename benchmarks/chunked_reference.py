"""Yesterday's RiskField, kept as the reference the compiled scene is measured against.

It evaluates in chunks of points, looping in Python over every obstacle per
chunk: point obstacles through one fused kernel call, the rest through their
own ``eval``, each skipped where its widened box misses the chunk.  Only what
the benchmarks call is kept: construction, ``eval`` and ``grid``.
"""

from __future__ import annotations

import math
from collections.abc import Callable
from typing import Any

import numpy as np
from numpy.typing import ArrayLike, NDArray

from orin.field.geometry import _RGJ_TYPES
from orin.field.kernels import point_obstacles_eval_max
from orin.field.risk import RiskField, _as_bounds, _as_points, _as_shape, _bbox_of, _metric_floor, _points_in_box

#: Points per chunk: big enough to amortise the per-obstacle Python calls,
#: small enough that per-chunk temporaries stay in the tens of megabytes.
DEFAULT_CHUNK_SIZE = 1 << 16


# Boxes are widened by this relative margin so that rounding in an obstacle's
# own distance computation can never put a skipped value above the cut-off.
_RADIUS_MARGIN = 1e-6

ProgressCallback = Callable[[int], Any]


def _is_plain(obstacle: Any, cls: type | None) -> bool:
    """True when ``obstacle`` is ``cls`` or a subclass that keeps its field."""
    if cls is None or not isinstance(obstacle, cls):
        return False
    kind = type(obstacle)
    return all(getattr(kind, name) is getattr(cls, name) for name in ("eval", "squared_dist"))


class ChunkedRiskField:
    """The chunked algorithm: per chunk of points, a Python loop over the obstacles."""

    def __init__(
        self,
        obstacles: Any,
        *,
        cutoff: float = 1e-12,
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
        self.obstacles: tuple[Any, ...] = tuple(RiskField._collect(obstacles))
        self._prepare()

    # -- construction --------------------------------------------------------

    def _prepare(self) -> None:
        types = _RGJ_TYPES
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

    def grid(
        self,
        bounds: tuple[float, float, float, float] | ArrayLike,
        shape: tuple[int, int],
        *,
        progress: ProgressCallback | None = None,
    ) -> NDArray[np.float64]:
        """Risk on a regular grid, as ``RiskField.grid`` documents it."""
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

def _boxes_touching(boxes: NDArray[np.float64], lo: NDArray[np.float64], hi: NDArray[np.float64]) -> NDArray[np.bool_]:
    return (boxes[:, 0] <= hi[0]) & (boxes[:, 2] >= lo[0]) & (boxes[:, 1] <= hi[1]) & (boxes[:, 3] >= lo[1])
