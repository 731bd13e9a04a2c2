from __future__ import annotations

from collections.abc import Iterable, Mapping
from types import ModuleType
from typing import Any, ClassVar, overload, Literal

import numpy.typing as npt
from typing_extensions import disjoint_base

from orin.field.geometry.base import MultiRGJGeometry

np: ModuleType

# Three more C fields beyond the base layout.
@disjoint_base
class GeometryCollectionRGJ(MultiRGJGeometry):
    RGJType: ClassVar[str]
    rgjs: list[Any] | None
    inv_repulsions: Any
    grad_matrixes: Any
    def __init__(
        self,
        geometries: Iterable[Mapping[str, Any]],
        properties: Any = None,
        **kwargs: Any,
    ) -> None: ...
    def set_coordinates(self, new_coords: Any) -> None: ...
    def set_repulsion(self, new_repulsion: Any) -> None: ...
    def in_bbox(self, x: Any) -> bool: ...
    def get_dist_matrix(self, scaled: Any = True, inverted: Any = True) -> npt.NDArray[Any]: ...
    def get_center_point(self) -> npt.NDArray[Any]: ...
    @overload
    def squared_dist(
        self,
        x: Any,
        scaled: Any = True,
        inverted: Any = True,
        return_reference: Literal[False] = False,
        **kwargs: Any,
    ) -> npt.NDArray[Any]: ...
    @overload
    def squared_dist(
        self,
        x: Any,
        scaled: Any = True,
        inverted: Any = True,
        *,
        return_reference: Any,
        **kwargs: Any,
    ) -> npt.NDArray[Any] | tuple[npt.NDArray[Any], npt.NDArray[Any]]: ...
    def repulsion_vector(self, x: Any, min_dist_select: Any = True, **kwargs: Any) -> npt.NDArray[Any]: ...
    def gradient(self, x: Any, **kwargs: Any) -> npt.NDArray[Any]: ...
    def toRGeoJSON(self) -> dict[str, Any]: ...
    # Set by orin.field.geometry once the type is imported there.
    def field_elements(self) -> list[Any] | None: ...
    def __reduce__(self) -> tuple[Any, ...]: ...
    def __setstate__(self, state: tuple[Any, ...]) -> None: ...

def __unpickle_GeometryCollectionRGJ(
    cls: type[GeometryCollectionRGJ], checksum: int, state: tuple[Any, ...] | None
) -> GeometryCollectionRGJ: ...
