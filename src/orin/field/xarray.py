"""Risk grids as labelled xarray DataArrays, eager or lazy.

Needs the ``xarray`` extra: ``pip install "orin-field[xarray]"`` (it brings
Dask along, for lazy grids).
"""

from __future__ import annotations

import numbers
from collections.abc import Mapping
from typing import Any

import numpy as np
import xarray as xr
from numpy.typing import ArrayLike

from orin.field.risk import RiskField, _as_bounds, _as_shape

__all__ = ["grid_xarray"]


def _crs_text(crs: Any) -> str | None:
    """The CRS as one attribute string, the form netCDF and Zarr can store.

    An int is an EPSG code; a mapping is a GeoJSON 2008 named CRS
    (``{"type": "name", "properties": {"name": ...}}``), the member a scene
    may carry.
    """
    if crs is None:
        return None
    if isinstance(crs, str):
        return crs
    if isinstance(crs, numbers.Integral) and not isinstance(crs, bool):
        return f"EPSG:{crs}"
    if isinstance(crs, Mapping):
        props = crs.get("properties")
        name = props.get("name") if isinstance(props, Mapping) else None
        if crs.get("type") == "name" and isinstance(name, str):
            return name
        raise ValueError(f"crs mapping must be a GeoJSON named CRS, got {dict(crs)!r}")
    raise TypeError(f"crs must be a str, an EPSG code or a GeoJSON named CRS, got {type(crs).__name__}")


def grid_xarray(
    field: RiskField,
    bounds: tuple[float, float, float, float] | ArrayLike,
    shape: tuple[int, int],
    *,
    chunks: Any = None,
    crs: Any = None,
) -> xr.DataArray:
    """Risk on a regular grid, labelled with its coordinates.

    Parameters
    ----------
    field : RiskField
        The field.
    bounds : (xmin, ymin, xmax, ymax)
        The grid's corner samples, as for :meth:`RiskField.grid`.
    shape : (ny, nx)
        Rows and columns.
    chunks : int, tuple or str, optional
        Given, the data is a lazy Dask array with these blocks
        (:func:`orin.field.dask.grid_dask`); otherwise it is computed now.
    crs : str, int or mapping, optional
        The scene's coordinate reference system: a string (WKT, "EPSG:3857",
        a URN), an EPSG code, or a scene's GeoJSON ``crs`` member.  Defaults
        to the field's ``crs`` attribute when it has one.

    Returns
    -------
    xarray.DataArray, dims ("y", "x")
        ``risk`` at ``(x[j], y[i])``, the values of ``field.grid(bounds,
        shape)``; ``x`` and ``y`` are the grid's linspace coordinates.  The
        attribute ``crs`` holds the CRS when one is known.
    """
    if not isinstance(field, RiskField):
        raise TypeError(f"field must be a RiskField, got {type(field).__name__}")
    xmin, ymin, xmax, ymax = _as_bounds(bounds)
    ny, nx = _as_shape(shape)
    text = _crs_text(crs if crs is not None else getattr(field, "crs", None))
    if chunks is None:
        data: Any = field.grid((xmin, ymin, xmax, ymax), (ny, nx))
    else:
        from orin.field.dask import grid_dask

        data = grid_dask(field, (xmin, ymin, xmax, ymax), (ny, nx), chunks)
    attrs = {"long_name": "risk"}
    if text is not None:
        attrs["crs"] = text
    return xr.DataArray(
        data,
        dims=("y", "x"),
        coords={"y": np.linspace(ymin, ymax, ny), "x": np.linspace(xmin, xmax, nx)},
        name="risk",
        attrs=attrs,
    )
