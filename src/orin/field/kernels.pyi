from typing import Tuple

import numpy as np
import numpy.typing as npt


_ArrayLike = npt.ArrayLike | memoryview | None

def segment_repulsion_vectors(
    x: _ArrayLike, p1: _ArrayLike, v: _ArrayLike, v_dot_v: _ArrayLike, metric: _ArrayLike
) -> npt.NDArray[np.float64]: ...
def point_in_rings(
    pts: _ArrayLike, outer: _ArrayLike, holes: list[npt.ArrayLike]
) -> npt.NDArray[np.uint8]: ...
def point_obstacles_eval_max(
    x: _ArrayLike, centers: _ArrayLike, inv_repulsions: _ArrayLike
) -> npt.NDArray[np.float64]: ...
def quadtree_find_leaf(
    pts: _ArrayLike,
    cx: _ArrayLike,
    cy: _ArrayLike,
    is_leaf: _ArrayLike,
    child_tl: _ArrayLike,
    child_tr: _ArrayLike,
    child_bl: _ArrayLike,
    child_br: _ArrayLike,
    max_depth: int | float,
) -> npt.NDArray[np.int32]: ...
def quadtree_find_chain(
    pts: _ArrayLike,
    cx: _ArrayLike,
    cy: _ArrayLike,
    is_leaf: _ArrayLike,
    child_tl: _ArrayLike,
    child_tr: _ArrayLike,
    child_bl: _ArrayLike,
    child_br: _ArrayLike,
    max_depth: int | float,
    max_cols: int | float,
) -> Tuple[npt.NDArray[np.int32], npt.NDArray[np.int32]]: ...
def _set_ring_method(method: str, /) -> str: ...

# Private: the instruction-set paths of the vectorised loops.
_ISAS: tuple[str, ...]

def _set_isa(name: str, /) -> str: ...
