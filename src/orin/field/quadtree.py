"""A point quadtree flattened into the seven-array layout the kernels walk.

The tree is built in Python (it is built once and queried many times) and
stored as parallel per-node arrays: ``cx``, ``cy`` (float64 centres),
``is_leaf`` (uint8) and ``child_tl``, ``child_tr``, ``child_bl``,
``child_br`` (int32 node numbers, -1 for a quadrant that holds no point).
Node 0 is the root.  Queries go through
:func:`orin.field.kernels.quadtree_find_leaf` and
:func:`orin.field.kernels.quadtree_find_chain`.

Points are routed during the build with exactly the kernels' test: with
``dx = x - cx`` and ``dy = y - cy``, a point goes top when ``dy >= 0`` and
right when ``dx >= 0``.  So every inserted point is found again, by the
kernels, in the leaf that lists it.
"""

from __future__ import annotations

from typing import Sequence, TypeVar

import numpy as np
import numpy.typing as npt

from orin.field import kernels

__all__ = ["QuadTree"]

# Quadrant order used while building; the child arrays are filled from it.
_TL, _TR, _BL, _BR = range(4)


class QuadTree:
    """Point quadtree over the plane, flattened for the native walks.

    Parameters
    ----------
    points : array_like, shape (P, 2)
        The items to insert, one point per row (x, y).  Must be finite.
    bucket_size : int, optional
        A node holding more than this many points is split, unless it is
        at `max_depth`.  At least 1.
    max_depth : int, optional
        The largest number of descents from the root to a leaf.  At least 0
        (0 gives a single leaf).
    bounds : sequence of 4 floats, optional
        ``(xmin, ymin, xmax, ymax)`` of the root cell.  Every point must lie
        inside (edges included).  Defaults to the bounding box of `points`.

    Attributes
    ----------
    cx, cy : ndarray of float64, shape (M,)
        Node centres; every node splits its cell at the cell's midpoint.
    is_leaf : ndarray of uint8, shape (M,)
    child_tl, child_tr, child_bl, child_br : ndarray of int32, shape (M,)
        Child node numbers, -1 where a quadrant received no point.
    node_bounds : ndarray of float64, shape (M, 4)
        Each node's cell as ``(xmin, ymin, xmax, ymax)``.

    Notes
    -----
    The arrays are read-only: the kernels trust the node numbers only as
    far as they check them, and a tree edited in place would no longer
    agree with its item lists.
    """

    cx: npt.NDArray[np.float64]
    cy: npt.NDArray[np.float64]
    is_leaf: npt.NDArray[np.uint8]
    child_tl: npt.NDArray[np.int32]
    child_tr: npt.NDArray[np.int32]
    child_bl: npt.NDArray[np.int32]
    child_br: npt.NDArray[np.int32]
    node_bounds: npt.NDArray[np.float64]

    def __init__(
        self,
        points: npt.ArrayLike,
        bucket_size: int = 16,
        max_depth: int = 16,
        bounds: Sequence[float] | None = None,
    ) -> None:
        pts = np.array(points, dtype=np.float64, copy=True)
        if pts.ndim != 2 or pts.shape[1] != 2:
            raise ValueError(f"points must have shape (P, 2), got {pts.shape}")
        if not np.isfinite(pts).all():
            raise ValueError("points must be finite")
        bucket_size = int(bucket_size)
        max_depth = int(max_depth)
        if bucket_size < 1:
            raise ValueError(f"bucket_size must be at least 1, got {bucket_size}")
        # find_chain asks for max_depth + 1 columns, a 32-bit count.
        if not 0 <= max_depth < np.iinfo(np.int32).max:
            raise ValueError(f"max_depth must be in [0, 2**31 - 2], got {max_depth}")

        box: tuple[float, ...]
        if bounds is None:
            if len(pts):
                box = (pts[:, 0].min(), pts[:, 1].min(), pts[:, 0].max(), pts[:, 1].max())
            else:
                box = (0.0, 0.0, 0.0, 0.0)
        else:
            box = tuple(float(b) for b in bounds)
            if len(box) != 4:
                raise ValueError(f"bounds must be (xmin, ymin, xmax, ymax), got {bounds!r}")
        x0, y0, x1, y1 = (float(b) for b in box)
        if not (np.isfinite([x0, y0, x1, y1]).all() and x0 <= x1 and y0 <= y1):
            raise ValueError(f"bounds must be finite with xmin <= xmax and ymin <= ymax, got {box}")
        outside = (pts[:, 0] < x0) | (pts[:, 0] > x1) | (pts[:, 1] < y0) | (pts[:, 1] > y1)
        if outside.any():
            first = int(np.flatnonzero(outside)[0])
            raise ValueError(f"point {first} {tuple(pts[first])} lies outside bounds {(x0, y0, x1, y1)}")

        self.points = pts
        self.points.setflags(write=False)
        self.bucket_size = bucket_size
        self.max_depth = max_depth
        self.bounds = (x0, y0, x1, y1)
        self._build()

    def _build(self) -> None:
        cx: list[float] = []
        cy: list[float] = []
        leaf: list[int] = []
        children: list[list[int]] = []
        cells: list[tuple[float, float, float, float]] = []
        members: list[npt.NDArray[np.intp]] = []

        def new_node(cell: tuple[float, float, float, float], idx: npt.NDArray[np.intp]) -> int:
            x0, y0, x1, y1 = cell
            cx.append(_midpoint(x0, x1))
            cy.append(_midpoint(y0, y1))
            leaf.append(1)
            children.append([-1, -1, -1, -1])
            cells.append(cell)
            members.append(idx)
            return len(cx) - 1

        px = self.points[:, 0]
        py = self.points[:, 1]
        new_node(self.bounds, np.arange(len(self.points), dtype=np.intp))
        # Breadth-first, so node numbers grow with depth.
        frontier = [(0, 0)]
        while frontier:
            next_frontier: list[tuple[int, int]] = []
            for node, depth in frontier:
                idx = members[node]
                if len(idx) <= self.bucket_size or depth >= self.max_depth:
                    continue
                leaf[node] = 0
                members[node] = idx[:0]
                x0, y0, x1, y1 = cells[node]
                mx, my = cx[node], cy[node]
                # The same sign tests on the differences as the walks use.
                right = (px[idx] - mx) >= 0
                top = (py[idx] - my) >= 0
                quads = {
                    _TL: (idx[top & ~right], (x0, my, mx, y1)),
                    _TR: (idx[top & right], (mx, my, x1, y1)),
                    _BL: (idx[~top & ~right], (x0, y0, mx, my)),
                    _BR: (idx[~top & right], (mx, y0, x1, my)),
                }
                for quad, (sub, cell) in quads.items():
                    if len(sub):
                        child = new_node(cell, sub)
                        children[node][quad] = child
                        next_frontier.append((child, depth + 1))
            frontier = next_frontier

        if len(cx) > np.iinfo(np.int32).max:
            raise ValueError("the tree has more nodes than 32-bit node numbers can address")
        kids = np.array(children, dtype=np.int32).reshape(-1, 4)
        self.cx = _frozen(np.array(cx, dtype=np.float64))
        self.cy = _frozen(np.array(cy, dtype=np.float64))
        self.is_leaf = _frozen(np.array(leaf, dtype=np.uint8))
        self.child_tl = _frozen(np.ascontiguousarray(kids[:, _TL]))
        self.child_tr = _frozen(np.ascontiguousarray(kids[:, _TR]))
        self.child_bl = _frozen(np.ascontiguousarray(kids[:, _BL]))
        self.child_br = _frozen(np.ascontiguousarray(kids[:, _BR]))
        self.node_bounds = _frozen(np.array(cells, dtype=np.float64).reshape(-1, 4))
        # Leaf members in one flat array: node k owns
        # _item_index[_item_start[k]:_item_start[k + 1]] (empty for internal nodes).
        counts = np.array([len(m) for m in members], dtype=np.intp)
        self._item_start = _frozen(np.concatenate(([0], np.cumsum(counts))).astype(np.intp))
        self._item_index = _frozen(
            np.concatenate(members).astype(np.intp) if members else np.empty(0, np.intp)
        )

    def __len__(self) -> int:
        """Number of nodes."""
        return len(self.cx)

    def __repr__(self) -> str:
        return (
            f"QuadTree({len(self.points)} points, {len(self)} nodes, "
            f"{int(self.is_leaf.sum())} leaves, bucket_size={self.bucket_size}, "
            f"max_depth={self.max_depth}, bounds={self.bounds})"
        )

    @property
    def arrays(
        self,
    ) -> tuple[
        npt.NDArray[np.float64],
        npt.NDArray[np.float64],
        npt.NDArray[np.uint8],
        npt.NDArray[np.int32],
        npt.NDArray[np.int32],
        npt.NDArray[np.int32],
        npt.NDArray[np.int32],
    ]:
        """The seven flattened arrays, in the order the kernels take them."""
        return (
            self.cx,
            self.cy,
            self.is_leaf,
            self.child_tl,
            self.child_tr,
            self.child_bl,
            self.child_br,
        )

    @property
    def leaves(self) -> npt.NDArray[np.intp]:
        """Node numbers of all leaves, ascending."""
        return np.flatnonzero(self.is_leaf)

    def find_leaf(self, pts: npt.ArrayLike) -> npt.NDArray[np.int32]:
        """Leaf node of every query point.

        Parameters
        ----------
        pts : array_like, shape (N, 2)
            Query points (x, y); converted to float64.

        Returns
        -------
        ndarray of int32, shape (N,)
            The leaf reached by each point, or -1 where the point falls into
            a quadrant that received no item (nothing is stored near it).
        """
        q = np.asarray(pts, dtype=np.float64)
        return kernels.quadtree_find_leaf(q, *self.arrays, self.max_depth)

    def find_chain(
        self, pts: npt.ArrayLike
    ) -> tuple[npt.NDArray[np.int32], npt.NDArray[np.int32]]:
        """Root-to-leaf path of every query point.

        Parameters
        ----------
        pts : array_like, shape (N, 2)
            Query points (x, y); converted to float64.

        Returns
        -------
        chain : ndarray of int32, shape (N, max_depth + 1)
            Row i holds the nodes visited by point i in its first
            ``length[i]`` entries (ending in -1 when the walk fell into an
            empty quadrant); the rest of the row is -2.
        length : ndarray of int32, shape (N,)
        """
        q = np.asarray(pts, dtype=np.float64)
        return kernels.quadtree_find_chain(q, *self.arrays, self.max_depth, self.max_depth + 1)

    def items(self, node: int) -> npt.NDArray[np.intp]:
        """Indices (rows of `points`) of the items stored in `node`.

        Internal nodes store nothing; a negative node (a missing branch, as
        returned by `find_leaf`) holds nothing either.

        Raises
        ------
        IndexError
            If `node` is not a node of this tree.
        """
        node = self._check_node(node)
        if node < 0:
            return self._item_index[:0]
        return self._item_index[self._item_start[node] : self._item_start[node + 1]]

    def cell(self, node: int) -> tuple[float, float, float, float]:
        """The cell ``(xmin, ymin, xmax, ymax)`` that `node` covers.

        Raises
        ------
        IndexError
            If `node` is negative or not a node of this tree.
        """
        node = self._check_node(node)
        if node < 0:
            raise IndexError(f"node {node} is a missing branch and has no cell")
        x0, y0, x1, y1 = self.node_bounds[node]
        return (float(x0), float(y0), float(x1), float(y1))

    def leaves_in_box(
        self, xmin: float, ymin: float, xmax: float, ymax: float
    ) -> npt.NDArray[np.intp]:
        """Leaves whose cells meet the closed box ``[xmin, xmax] x [ymin, ymax]``.

        This is the coarse filter for "which items can be near this region":
        the items of the returned leaves (see `items`) are a superset of the
        items inside the box.
        """
        b = self.node_bounds
        hit = (
            (self.is_leaf != 0)
            & (b[:, 0] <= xmax)
            & (b[:, 2] >= xmin)
            & (b[:, 1] <= ymax)
            & (b[:, 3] >= ymin)
        )
        return np.flatnonzero(hit)

    def _check_node(self, node: int) -> int:
        node = int(node)
        if node >= len(self):
            raise IndexError(f"node {node} out of range for a tree of {len(self)} nodes")
        return node


def _midpoint(a: float, b: float) -> float:
    # 0.5*a + 0.5*b cannot overflow where (a + b) / 2 could, but halving
    # subnormals rounds, which can put the result outside [a, b].
    return min(max(0.5 * a + 0.5 * b, a), b)


_Array = TypeVar("_Array", bound=np.ndarray)


def _frozen(a: _Array) -> _Array:
    a.setflags(write=False)
    return a
