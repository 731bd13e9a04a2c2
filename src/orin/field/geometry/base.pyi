from __future__ import annotations

from typing import Any

from typing_extensions import disjoint_base

# The seven fields live in the C struct, so no other C layout can be mixed in.
@disjoint_base
class RGJGeometry:
    """Base type of the RGeoJSON geometries.

    Seven fields, all None after allocation; deleting one stores None.
    Allocation accepts and ignores any arguments.
    """

    coordinates: Any
    repulsion: Any
    inv_repulsion: Any
    eye_repulsion: Any
    grad_matrix: Any
    properties: Any
    bbox: Any

    def __new__(cls, *args: Any, **kwargs: Any) -> RGJGeometry: ...
    def eval(self, x: Any) -> Any:
        """Return ``np.exp(-self.squared_dist(x))``."""
    def __reduce__(self) -> tuple[Any, tuple[type], tuple[Any, ...]]: ...
    def __setstate__(self, state: tuple[Any, ...], /) -> None: ...

class MultiRGJGeometry(RGJGeometry):
    """Base type of the multi-part RGeoJSON geometries."""

# Layout marker (a capsule) read by modules that extend the instance layout.
_rgj_layout: object
