"""Flattening obstacles into the arrays of a native compiled scene.

Every obstacle that describes its field through ``field_elements`` (see
``orin.field.obstacle``) is compiled: its point centres, boundary segments and
polygons become elements tagged with the obstacle's index, its metric and
gradient matrix, and a key that orders ties the way RiskField documents them
(lowest obstacle first, then the order the obstacle lists its elements in).
The rest are returned by index, to be evaluated through their own ``eval``.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

from orin.field._scene import CompiledScene
from orin.field.obstacle import FieldGroup, PointGroup, PolygonGroup, SegmentGroup

__all__ = ["compile_obstacles"]

# Ring bands the inside test may use per ring: enough that a smooth outline
# of millions of vertices still has only a few edges per band.  The index
# itself keeps its size within a small multiple of the ring's.
_MAX_BANDS = 1 << 22


def _float_array(value: Any, shape: tuple[int | None, ...], what: str) -> npt.NDArray[np.float64]:
    array = np.asarray(value, dtype=np.float64)
    if array.ndim != len(shape) or any(want is not None and got != want for got, want in zip(array.shape, shape)):
        raise ValueError(f"{what} has shape {array.shape}")
    if not np.isfinite(array).all():
        raise ValueError(f"{what} holds non-finite values")
    return array


class _Builder:
    def __init__(self) -> None:
        self.key = 0
        self.points: list[npt.NDArray[np.float64]] = []
        self.point_meta: list[npt.NDArray[np.int32]] = []
        self.segments: list[npt.NDArray[np.float64]] = []
        self.segment_meta: list[npt.NDArray[np.int32]] = []
        self.rings: list[npt.NDArray[np.float64]] = []
        self.polygons: list[tuple[int, int, int, int]] = []
        self.metrics: list[npt.NDArray[np.float64]] = []
        self.gradients: list[npt.NDArray[np.float64]] = []

    def _meta(self, count: int, owner: int, metric_id: int) -> npt.NDArray[np.int32]:
        meta = np.empty((count, 3), dtype=np.int32)
        meta[:, 0] = np.arange(self.key, self.key + count)
        meta[:, 1] = owner
        meta[:, 2] = metric_id
        self.key += count
        return meta

    def _metric(self, group: PointGroup | SegmentGroup, what: str) -> int:
        self.metrics.append(_float_array(group.metric, (2, 2), f"{what} metric"))
        self.gradients.append(_float_array(group.gradient, (2, 2), f"{what} gradient"))
        return len(self.metrics) - 1

    def add(self, owner: int, group: FieldGroup, what: str) -> None:
        if isinstance(group, PolygonGroup):
            rings = [group.outer, *group.holes]
            first = len(self.rings)
            for i, ring in enumerate(rings):
                self.rings.append(_float_array(ring, (None, 2), f"{what} ring {i}"))
            self.polygons.append((self.key, owner, first, len(rings)))
            self.key += 1
        elif isinstance(group, PointGroup):
            centers = _float_array(group.centers, (None, 2), f"{what} centers")
            metric_id = self._metric(group, what)
            self.points.append(centers)
            self.point_meta.append(self._meta(len(centers), owner, metric_id))
        elif isinstance(group, SegmentGroup):
            p1 = _float_array(group.p1, (None, 2), f"{what} p1")
            v = _float_array(group.v, (len(p1), 2), f"{what} v")
            vv = _float_array(group.v_dot_v, (len(p1),), f"{what} v_dot_v")
            metric_id = self._metric(group, what)
            self.segments.append(np.column_stack([p1, v, vv]))
            self.segment_meta.append(self._meta(len(p1), owner, metric_id))
        else:
            raise TypeError(f"{what} is a {type(group).__name__}, not a PointGroup, SegmentGroup or PolygonGroup")

    def build(self, cutoff: float, projection: str) -> CompiledScene:
        def stack(parts: list[Any], columns: int, dtype: type) -> Any:
            return np.ascontiguousarray(np.concatenate(parts) if parts else np.zeros((0, columns)), dtype=dtype)

        ring_start = np.zeros(len(self.rings) + 1, dtype=np.int64)
        np.cumsum([len(r) for r in self.rings], out=ring_start[1:])
        if ring_start[-1] >= np.iinfo(np.int32).max:
            raise ValueError("the scene's polygons have more than 2**31 - 1 vertices in all")
        empty22 = np.zeros((0, 2, 2))
        return CompiledScene(
            stack(self.points, 2, np.float64),
            stack(self.point_meta, 3, np.int32),
            stack(self.segments, 5, np.float64),
            stack(self.segment_meta, 3, np.int32),
            stack(self.rings, 2, np.float64),
            ring_start.astype(np.int32),
            np.asarray(self.polygons, dtype=np.int32).reshape(-1, 4),
            np.ascontiguousarray(np.stack(self.metrics) if self.metrics else empty22),
            np.ascontiguousarray(np.stack(self.gradients) if self.gradients else empty22),
            cutoff,
            projection,
            _MAX_BANDS,
        )


def compile_obstacles(
    obstacles: Sequence[Any], *, cutoff: float, projection: str
) -> tuple[CompiledScene, list[int]]:
    """Compile every obstacle that can describe its field.

    Returns
    -------
    (CompiledScene, list of int)
        The scene, and the indices of the obstacles left to their own ``eval``.

    Raises
    ------
    ValueError, TypeError
        If an obstacle's ``field_elements`` gives malformed groups; the
        message names the obstacle.
    """
    builder = _Builder()
    fallback: list[int] = []
    for index, obstacle in enumerate(obstacles):
        describe = getattr(obstacle, "field_elements", None)
        groups = describe() if callable(describe) else None
        if groups is None:
            fallback.append(index)
            continue
        what = f"obstacle {index} ({type(obstacle).__name__})"
        for number, group in enumerate(groups):
            builder.add(index, group, f"{what} group {number}")
    return builder.build(cutoff, projection), fallback
