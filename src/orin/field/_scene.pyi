from collections.abc import Callable
from typing import Any, final

import numpy as np
import numpy.typing as npt

_F = npt.NDArray[np.float64]

@final
class CompiledScene:
    def __new__(
        cls,
        points: _F,
        point_meta: npt.NDArray[np.int32],
        segments: _F,
        segment_meta: npt.NDArray[np.int32],
        ring_xy: _F,
        ring_start: npt.NDArray[np.int32],
        polygons: npt.NDArray[np.int32],
        metrics: _F,
        gradients: _F,
        cutoff: float,
        projection: str,
        max_bands: int,
        *,
        capsules: bool = True,
        cells: bool = True,
        draw_budget: float = 1.0,
    ) -> CompiledScene: ...
    @property
    def nbytes(self) -> int: ...
    @property
    def n_elements(self) -> int: ...
    @property
    def n_polygons(self) -> int: ...
    @property
    def n_capsules(self) -> int: ...
    @property
    def n_cells(self) -> int: ...
    @property
    def n_outlines(self) -> int: ...
    def query(
        self,
        x: _F,
        value: _F | None,
        gradient: _F | None,
        owner: npt.NDArray[np.int64] | None,
        nearest: _F | None,
        threads: int,
        progress: Callable[[int], Any] | None,
    ) -> None: ...
    def query_grid(
        self, xs: _F, ys: _F, value: _F, threads: int, progress: Callable[[int], Any] | None
    ) -> int: ...

# Private: the instruction-set paths of the scene's vectorised passes.
_ISAS: tuple[str, ...]

def _set_isa(name: str, /) -> str: ...
