"""What RiskField asks of an obstacle.

Any object with ``eval`` is an obstacle: RiskField calls it on the points near
it.  An obstacle whose field is the package's own rule can instead describe
itself through ``field_elements``; RiskField then compiles it into its native
scene, with every other such obstacle, and never calls back into Python for
it.  The rule, for an obstacle made of the groups below: at a point x, its
squared distance is the smallest over its elements of vᵀ M v, v the vector
from the element's candidate point to x and M the group's metric; inside one
of its polygons it is 0; its field is ``exp(-d2)``.
"""

from __future__ import annotations

from typing import Any, NamedTuple, Protocol, runtime_checkable

import numpy as np
import numpy.typing as npt

__all__ = ["FieldGroup", "FieldObstacle", "Obstacle", "PointGroup", "PolygonGroup", "SegmentGroup"]

FloatArray = npt.NDArray[np.float64]


class PointGroup(NamedTuple):
    """Point centres, each its own candidate, measured in ``metric``."""

    centers: FloatArray  # (K, 2)
    metric: FloatArray  # (2, 2)
    gradient: FloatArray  # (2, 2): d(vᵀ M v)/dv = gradient @ v


class SegmentGroup(NamedTuple):
    """Segments [p1, p1 + v]; the candidate of each is the projection of x on
    it (Euclidean, or in the metric, as RiskField's ``projection`` says)."""

    p1: FloatArray  # (S, 2)
    v: FloatArray  # (S, 2), no zero-length segment
    v_dot_v: FloatArray  # (S,)
    metric: FloatArray
    gradient: FloatArray


class PolygonGroup(NamedTuple):
    """A polygon whose inside (even-odd rule, holes removed) is distance 0."""

    outer: FloatArray  # (R, 2) closed ring
    holes: list[FloatArray]


FieldGroup = PointGroup | SegmentGroup | PolygonGroup


@runtime_checkable
class Obstacle(Protocol):
    """Anything RiskField can evaluate: ``eval(x)`` gives the (N,) field."""

    def eval(self, x: Any) -> Any: ...


@runtime_checkable
class FieldObstacle(Obstacle, Protocol):
    """An obstacle that can hand RiskField its elements to compile.

    ``field_elements`` returns None when the object's field is not the rule
    above (a subclass with its own ``eval``, say); it is then evaluated
    through ``eval``.
    """

    def field_elements(self) -> list[FieldGroup] | None: ...
