"""Risk fields over Dask arrays: lazy evaluation, threaded or distributed.

Every function here builds a lazy graph and computes nothing.  The field
enters each graph as one key, holding a copy of it that queries on a single
native thread: each Dask worker then evaluates blocks one per thread, so the
scheduler is the only parallelism and no core is oversubscribed.  On a
distributed cluster that key travels once to each worker; a RiskField pickles
as its obstacles and options and compiles its scene again on load, so what
travels is small.

Needs the ``dask`` extra: ``pip install "orin-field[dask]"``.
"""

from __future__ import annotations

import hashlib
import numbers
import operator
import pickle
import uuid
import weakref
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from typing import TYPE_CHECKING, Any

import dask.array as da
import numpy as np
from dask.delayed import delayed
from numpy.typing import ArrayLike, NDArray

from orin.field.risk import RiskField, _as_bounds, _as_shape

if TYPE_CHECKING:
    from dask.delayed import Delayed
    from distributed import Client

# Dask has no annotations: these names give the calls made here the types
# they return, so that strict type checking sees dask arrays, not Any.
_from_array: Callable[..., da.Array] = da.from_array
_map_blocks: Callable[..., da.Array] = da.map_blocks
_blockwise: Callable[..., da.Array] = da.blockwise
_astype: Callable[..., da.Array] = da.Array.astype
_rechunk: Callable[..., da.Array] = da.rechunk
_normalize_chunks: Callable[..., tuple[tuple[int, ...], ...]] = da.core.normalize_chunks
_delayed: Callable[..., Delayed] = delayed

__all__ = ["DEFAULT_BLOCK_ROWS", "client_for", "eval_dask", "gradient_dask", "grid_dask"]

#: Rows per block when :func:`eval_dask` or :func:`gradient_dask` is given a
#: NumPy array: 16 MiB of points, long enough to hide a task's overhead.
DEFAULT_BLOCK_ROWS = 1 << 20

# One graph node per field, kept while the field lives: building a node
# tokenizes the field, which pickles its obstacles, and a caller looping over
# many point arrays should pay that once.
_nodes: weakref.WeakKeyDictionary[RiskField, Delayed] = weakref.WeakKeyDictionary()


def _field_node(field: Any) -> Delayed:
    if not isinstance(field, RiskField):
        raise TypeError(f"field must be a RiskField, got {type(field).__name__}")
    node = _nodes.get(field)
    if node is None:
        # The key is named by what the field pickles to, the content workers
        # rebuild it from: graphs of several calls on one field then share
        # the key when computed together, whatever Dask's own tokenizer
        # makes of an arbitrary object.
        single = field.with_threads(1)
        try:
            token = hashlib.sha256(pickle.dumps(single, protocol=pickle.HIGHEST_PROTOCOL)).hexdigest()[:32]
        except Exception:
            # An obstacle that does not pickle still evaluates in this
            # process (the threaded scheduler); only a cluster needs the
            # pickle, and it reports the failure when the graph is sent.
            token = uuid.uuid4().hex
        node = _delayed(single, name=f"riskfield-{token}", traverse=False)
        _nodes[field] = node
    return node


def _as_point_array(points: Any) -> da.Array:
    shape = getattr(points, "shape", None) if isinstance(points, da.Array) else np.shape(points)
    if shape is None or len(shape) != 2 or shape[1] != 2:
        raise ValueError(f"points must have shape (n, 2), got {shape}")
    if isinstance(points, da.Array):
        arr: da.Array = points
    else:
        arr = _from_array(np.asarray(points), chunks=(DEFAULT_BLOCK_ROWS, -1))
    if arr.dtype.kind not in "biuf":
        raise TypeError(f"points must hold real numbers, got dtype {arr.dtype}")
    if arr.dtype != np.float64:
        arr = _astype(arr, np.float64)
    # The engine takes whole rows; blocks split by column are joined, rows
    # keep their chunking (unknown row counts included).
    if arr.numblocks[1] != 1:
        arr = _rechunk(arr, {1: -1})
    return arr


def _eval_block(block: NDArray[np.float64], field: RiskField) -> NDArray[np.float64]:
    return field.eval(block)


def _gradient_block(block: NDArray[np.float64], field: RiskField) -> NDArray[np.float64]:
    return field.gradient(block)


def eval_dask(field: RiskField, points: da.Array | ArrayLike) -> da.Array:
    """Lazy risk at each point, as :meth:`RiskField.eval` gives it.

    Parameters
    ----------
    field : RiskField
        The field.  Build a new one after changing an obstacle: workers
        compile the obstacles as they are when the graph is computed.
    points : dask.array.Array, shape (n, 2)
        Query points chunked along rows (column chunks are joined), of a
        real dtype (converted to float64).  A NumPy array or anything
        array-like is split into blocks of :data:`DEFAULT_BLOCK_ROWS` rows.

    Returns
    -------
    dask.array.Array, shape (n,), float64
        One block per row block of ``points``, each equal bit for bit to
        ``field.eval`` of that block.
    """
    node = _field_node(field)
    pts = _as_point_array(points)
    return _map_blocks(
        _eval_block,
        pts,
        node,
        drop_axis=1,
        chunks=(pts.chunks[0],),
        dtype=np.float64,
        meta=np.empty((0,), dtype=np.float64),
        token="risk-eval",
    )


def gradient_dask(field: RiskField, points: da.Array | ArrayLike) -> da.Array:
    """Lazy gradient of the risk at each point, as :meth:`RiskField.gradient` gives it.

    Parameters
    ----------
    field, points
        As for :func:`eval_dask`.

    Returns
    -------
    dask.array.Array, shape (n, 2), float64
        One block per row block of ``points``.
    """
    node = _field_node(field)
    pts = _as_point_array(points)
    return _map_blocks(
        _gradient_block,
        pts,
        node,
        chunks=(pts.chunks[0], (2,)),
        dtype=np.float64,
        meta=np.empty((0, 2), dtype=np.float64),
        token="risk-gradient",
    )


def _grid_values(field: RiskField, xs: NDArray[np.float64], ys: NDArray[np.float64]) -> NDArray[np.float64]:
    """Risk at (xs[j], ys[i]) as out[i, j], exactly as :meth:`RiskField.grid` computes it."""
    out = np.empty(len(ys) * len(xs))
    if out.size == 0:
        return out.reshape(len(ys), len(xs))
    if not field._others:
        field._scene.query_grid(xs, ys, out, field.threads, None)
        return out.reshape(len(ys), len(xs))
    # Obstacles outside the engine need points: rows are made a few at a
    # time, as RiskField.grid makes them, so a block never holds its points
    # all at once.
    step = max(1, field.chunk_size // len(xs))
    for r0 in range(0, len(ys), step):
        r1 = min(r0 + step, len(ys))
        gx, gy = np.meshgrid(xs, ys[r0:r1])
        out[r0 * len(xs) : r1 * len(xs)] = field.eval(np.column_stack([gx.ravel(), gy.ravel()]))
    return out.reshape(len(ys), len(xs))


def _grid_block(
    rows: NDArray[np.intp],
    cols: NDArray[np.intp],
    field: RiskField,
    bounds: tuple[float, float, float, float],
    shape: tuple[int, int],
) -> NDArray[np.float64]:
    # Each block takes its coordinates from the whole grid's linspace, never
    # a linspace of its own sub-range: those round differently, and the grid
    # must be RiskField.grid's bit for bit.
    xmin, ymin, xmax, ymax = bounds
    ny, nx = shape
    xs = np.linspace(xmin, xmax, nx)[cols]
    ys = np.linspace(ymin, ymax, ny)[rows]
    return _grid_values(field, xs, ys)


def grid_dask(
    field: RiskField,
    bounds: tuple[float, float, float, float] | ArrayLike,
    shape: tuple[int, int],
    chunks: Any = "auto",
) -> da.Array:
    """Lazy risk on a regular grid, as :meth:`RiskField.grid` gives it.

    Each block computes its own coordinates where it runs, so neither the
    client nor any worker ever holds the grid's points: a block costs only its
    (rows, cols) result.

    Parameters
    ----------
    field : RiskField
        As for :func:`eval_dask`.
    bounds : (xmin, ymin, xmax, ymax)
        The grid's corner samples, as for :meth:`RiskField.grid`.
    shape : (ny, nx)
        Rows and columns, NumPy order.
    chunks : int, tuple or str, optional
        Block shape in any form ``dask.array`` accepts ("auto" by default:
        Dask's configured block size).  Blocks of 0 rows or columns are
        allowed.

    Returns
    -------
    dask.array.Array, shape (ny, nx), float64
        Equal bit for bit to ``field.grid(bounds, shape)``: row 0 is y = ymin.
    """
    node = _field_node(field)
    box = _as_bounds(bounds)
    ny, nx = _as_shape(shape)
    row_chunks, col_chunks = _normalize_chunks(chunks, shape=(ny, nx), dtype=np.float64)
    # Blocks know their place through these index vectors: a few integers
    # per row and column, where coordinates per point would be (ny, nx, 2).
    rows = da.arange(ny, chunks=(row_chunks,))
    cols = da.arange(nx, chunks=(col_chunks,))
    return _blockwise(
        _grid_block,
        "ij",
        rows,
        "i",
        cols,
        "j",
        node,
        None,
        box,
        None,
        (ny, nx),
        None,
        dtype=np.float64,
        meta=np.empty((0, 0), dtype=np.float64),
        token="risk-grid",
    )


def _worker_count(workers: Any) -> int:
    if isinstance(workers, bool) or not isinstance(workers, numbers.Integral):
        raise TypeError(f"workers must be a positive integer, got {type(workers).__name__}")
    count = operator.index(workers)
    if count < 1:
        raise ValueError(f"workers must be at least 1, got {count}")
    return count


@contextmanager
def client_for(scheduler: str | None = None, workers: int | None = None) -> Iterator[Client | None]:
    """A ``dask.distributed`` client for one run, as the command line's options ask.

    Parameters
    ----------
    scheduler : str, optional
        Address of a running scheduler (``tcp://host:8786``) to connect to.
    workers : int, optional
        Start a local cluster of this many worker processes, one thread each,
        listening on 127.0.0.1 only and without dashboards, for the duration
        of the ``with`` block.

    Yields
    ------
    distributed.Client or None
        The client, which is Dask's default scheduler inside the block, so
        ``.compute()`` runs there.  None when neither argument is given: the
        caller then evaluates directly.

    Raises
    ------
    ValueError
        If both arguments are given, or ``workers`` is below 1.
    TypeError
        If ``workers`` is not an integer.
    OSError
        If the scheduler cannot be reached (distributed gives up after its
        ``distributed.comm.timeouts.connect``, 30 s by default).

    Notes
    -----
    Worker processes are started by ``spawn``: a script that calls this
    must guard its entry point with ``if __name__ == "__main__":``.
    """
    if scheduler is not None and workers is not None:
        raise ValueError("give either scheduler or workers, not both")
    if scheduler is None and workers is None:
        yield None
        return
    import distributed

    client_type: Callable[..., Client] = distributed.Client
    cluster_type: Callable[..., Any] = distributed.LocalCluster
    if scheduler is not None:
        if not isinstance(scheduler, str) or not scheduler:
            raise TypeError("scheduler must be a non-empty address string")
        with client_type(scheduler) as client:
            yield client
        return
    count = _worker_count(workers)
    with cluster_type(
        n_workers=count,
        threads_per_worker=1,
        processes=True,
        host="127.0.0.1",
        dashboard_address=None,
    ) as cluster, client_type(cluster) as client:
        yield client
