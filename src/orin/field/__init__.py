"""Risk fields over GeoJSON-kind obstacles with anisotropic repulsion metrics.

``RiskField`` (``orin.field.risk``) and scene reading (``orin.field.scene``) are loaded on
first use, so that importing ``orin.field.kernels`` alone needs neither the
geometry package nor anything it imports.
"""

from __future__ import annotations

import importlib
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from orin.field.risk import RiskField
    from orin.field.scene import SceneError, example_scene, load_scene

__all__ = ["RiskField", "SceneError", "example_scene", "load_scene"]

_LAZY = {name: "orin.field.scene" for name in __all__}
_LAZY["RiskField"] = "orin.field.risk"


def __getattr__(name: str) -> Any:
    module = _LAZY.get(name)
    if module is None:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    value = getattr(importlib.import_module(module), name)
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(__all__))
