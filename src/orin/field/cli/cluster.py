"""Running the command line's evaluation on a Dask cluster (``--scheduler``, ``--workers``)."""

from __future__ import annotations

import contextlib
from collections.abc import Callable, Iterator
from typing import Any

import numpy as np
from numpy.typing import NDArray

from orin.field.cli import UsageError
from orin.field.risk import RiskField

#: Rows of query points per Dask block.
BLOCK_ROWS = 1 << 20


def _computed(lazy: Any) -> NDArray[np.float64]:
    import dask.base

    compute: Callable[..., tuple[Any, ...]] = dask.base.compute  # Dask's calls carry no annotations
    return np.asarray(compute(lazy)[0], dtype=np.float64)


class ClusterField:
    """The queries the command line makes of a RiskField, run on Dask's current scheduler.

    Every value is what the field itself gives at the same point, bit for bit.
    """

    def __init__(self, field: RiskField) -> None:
        self.field = field
        self.obstacles = field.obstacles

    def influence_bounds(self, level: float = 0.01) -> tuple[float, float, float, float]:
        return self.field.influence_bounds(level)

    def _points(self, pts: NDArray[np.float64]) -> Any:
        import dask.array as da

        from_array: Callable[..., Any] = da.from_array  # Dask's calls carry no annotations
        return from_array(np.ascontiguousarray(pts, dtype=np.float64), chunks=(BLOCK_ROWS, 2))


    def eval(self, pts: NDArray[np.float64], progress: Callable[[int], Any] | None = None) -> NDArray[np.float64]:
        from orin.field.dask import eval_dask

        out = _computed(eval_dask(self.field, self._points(pts)))
        if progress is not None:
            progress(len(pts))
        return out

    def gradient(
        self, pts: NDArray[np.float64], progress: Callable[[int], Any] | None = None
    ) -> NDArray[np.float64]:
        from orin.field.dask import gradient_dask

        out = _computed(gradient_dask(self.field, self._points(pts)))
        if progress is not None:
            progress(len(pts))
        return out

    def grid(
        self, bounds: tuple[float, float, float, float], shape: tuple[int, int],
        progress: Callable[[int], Any] | None = None,
    ) -> NDArray[np.float64]:
        from orin.field.dask import grid_dask

        out = _computed(grid_dask(self.field, bounds, shape))
        if progress is not None:
            progress(shape[0] * shape[1])
        return out


@contextlib.contextmanager
def evaluator(field: RiskField, scheduler: str | None, workers: int | None) -> Iterator[Any]:
    """``field`` itself, or, with a scheduler address or a worker count, a
    ClusterField on that cluster for the duration of the block."""
    if scheduler is None and workers is None:
        yield field
        return
    try:
        from orin.field.dask import client_for
    except ModuleNotFoundError:
        raise UsageError("--scheduler and --workers need Dask: pip install 'orin-field[dask]'") from None
    try:
        cluster = client_for(scheduler=scheduler, workers=workers)
        cluster.__enter__()
    except ModuleNotFoundError:
        raise UsageError("--scheduler and --workers need Dask: pip install 'orin-field[dask]'") from None
    except (OSError, TimeoutError) as exc:
        raise UsageError(f"cannot reach the Dask scheduler {scheduler}: {exc}") from None
    try:
        yield ClusterField(field)
    except BaseException as exc:
        if not cluster.__exit__(type(exc), exc, exc.__traceback__):
            raise
    else:
        cluster.__exit__(None, None, None)
