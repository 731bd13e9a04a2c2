"""Rasters of a risk field: the cells a map covers, and the data files made of them.

A map's cells tile its bounds exactly; each holds the risk at its centre.
Row 0 is the top (the largest y), as images and GeoTIFFs store rows, and the
centres are computed as a geotransform ``(dx, 0, xmin, 0, -dy, ymax)``
computes them, so a reader that maps a pixel to its centre finds the very
point that was evaluated.
"""

from __future__ import annotations

import json
import logging
import math
import struct
import zlib
from collections.abc import Callable, Mapping
from dataclasses import dataclass
from typing import Any

import numpy as np
from numpy.typing import NDArray

from orin.field.cli import UsageError, one_line

__all__ = [
    "MAX_CELLS",
    "Cells",
    "cells_for",
    "geotiff",
    "parse_crs",
    "ros_map",
    "sample",
    "scene_crs",
]

#: Most cells along either side of a map.
MAX_CELLS = 10000

#: Rows evaluated per call: a few hundred thousand points at a time.
_BLOCK_POINTS = 1 << 18

# map_server's defaults: at or above 0.65 a cell is occupied, below 0.196 free.
_OCCUPIED_THRESH = 0.65
_FREE_THRESH = 0.196


@dataclass(frozen=True)
class Cells:
    """``width`` x ``height`` cells tiling ``bounds`` = (xmin, ymin, xmax, ymax).

    ``side`` is set for square cells: their side exactly, as a ROS map states it.
    """

    bounds: tuple[float, float, float, float]
    width: int
    height: int
    side: float | None = None

    @property
    def dx(self) -> float:
        return self.side if self.side is not None else (self.bounds[2] - self.bounds[0]) / self.width

    @property
    def dy(self) -> float:
        return self.side if self.side is not None else (self.bounds[3] - self.bounds[1]) / self.height

    def centres(self) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
        """x of each column (left to right) and y of each row (top to bottom)."""
        xmin, _ymin, _xmax, ymax = self.bounds
        xs = (np.arange(self.width, dtype=np.float64) + 0.5) * self.dx + xmin
        ys = (np.arange(self.height, dtype=np.float64) + 0.5) * -self.dy + ymax
        return xs.astype(np.float64, copy=False), ys.astype(np.float64, copy=False)


def _count(extent: float, cell: float, what: str) -> int:
    n = extent / cell
    # A relative slack of a few ulps, so that an extent that is a whole number
    # of cells up to rounding does not gain a sliver of a cell.
    if not math.isfinite(n) or n > MAX_CELLS * (1 + 1e-12):
        raise UsageError(f"{what} gives more than {MAX_CELLS} cells along a side; give a larger cell")
    return max(1, math.ceil(n * (1 - 1e-12)))


def cells_for(
    bounds: tuple[float, float, float, float],
    size: tuple[int, int] | None,
    resolution: float | None,
    square: bool,
) -> Cells:
    """The cells of a map.

    With ``resolution``, cells are squares of that side, as many as cover the
    bounds; the bounds grow up and to the right to a whole number of cells.
    Otherwise ``size`` (or a default of 1000 along the longer side, with
    square cells) gives the count.  ``square`` asks for square cells from a
    size too: the larger of the two spacings, covering the bounds.
    """
    xmin, ymin, xmax, ymax = bounds
    ex, ey = xmax - xmin, ymax - ymin
    if resolution is None:
        width, height = size if size is not None else default_size(ex, ey)
        if not square:
            return Cells(bounds, width, height)
        resolution = max(ex / width, ey / height)
        what = f"--size {width}x{height}"
    else:
        what = f"--resolution {resolution!r}"
    width = _count(ex, resolution, what)
    height = _count(ey, resolution, what)
    grown = (xmin, ymin, xmin + width * resolution, ymin + height * resolution)
    if not all(map(math.isfinite, grown)):
        raise UsageError(f"{what}: the map's cells reach beyond the largest float")
    return Cells(grown, width, height, resolution)


def default_size(ex: float, ey: float) -> tuple[int, int]:
    """Square cells, 1000 along the longer side; up to 2400 for an elongated
    area, so that its shorter side keeps some 200 cells, and never fewer than 16."""
    # The ratio may overflow to inf or underflow to 0; the clamps take both.
    ratio = max(ex, ey) / min(ex, ey)
    longer = int(min(2400.0, max(1000.0, 200.0 * ratio)))
    shorter = int(min(MAX_CELLS, max(16, round(longer / ratio))))
    return (longer, shorter) if ex >= ey else (shorter, longer)


def sample(
    field: Any, cells: Cells, progress: Callable[[int], Any] | None = None
) -> NDArray[np.float64]:
    """The risk at every cell centre, shape (height, width), row 0 the top."""
    xs, ys = cells.centres()
    out = np.empty((cells.height, cells.width))
    rows = max(1, _BLOCK_POINTS // cells.width)
    for r0 in range(0, cells.height, rows):
        r1 = min(r0 + rows, cells.height)
        pts = np.column_stack([np.tile(xs, r1 - r0), np.repeat(ys[r0:r1], cells.width)])
        out[r0:r1] = field.eval(pts, progress=progress).reshape(r1 - r0, cells.width)
    return out


# -- GeoTIFF --------------------------------------------------------------------------


def _rasterio() -> Any:
    try:
        import rasterio
        import rasterio.io
        import rasterio.transform
    except ImportError:
        raise UsageError("writing GeoTIFF needs rasterio: pip install 'orin-field[geo]'") from None
    # Inside rasterio.Env, GDAL reports through the "rasterio" loggers instead
    # of printing to stderr; with a handler of their own, Python's last-resort
    # handler does not print them either. Failures still arrive as exceptions.
    logging.getLogger("rasterio").addHandler(logging.NullHandler())
    return rasterio


def parse_crs(text: str, where: str) -> Any:
    """A rasterio CRS from an EPSG code (``3857`` or ``EPSG:3857``), WKT or a PROJ string."""
    rasterio = _rasterio()
    value = text.strip()
    if value.isdigit():
        value = f"EPSG:{value}"
    try:
        with rasterio.Env():
            return rasterio.crs.CRS.from_user_input(value)
    except Exception as exc:  # rasterio's CRSError, or whatever PROJ raises
        raise UsageError(f"{where}: not a coordinate reference system: {one_line(exc)}") from None


def scene_crs(scene: Mapping[str, Any]) -> str | None:
    """The text of a scene's ``crs`` member, if it has one.

    A string, or the 2008 GeoJSON forms ``{"type": "name", "properties":
    {"name": ...}}`` and ``{"type": "EPSG", "properties": {"code": ...}}``.
    """
    crs = scene.get("crs")
    if crs is None:
        return None
    if isinstance(crs, str):
        return crs
    if isinstance(crs, Mapping) and isinstance(crs.get("properties"), Mapping):
        props = crs["properties"]
        if crs.get("type") == "name" and isinstance(props.get("name"), str):
            return str(props["name"])
        code = props.get("code")
        if crs.get("type") == "EPSG" and isinstance(code, (int, str)) and not isinstance(code, bool):
            return f"EPSG:{code}"
    raise UsageError("the scene's 'crs' must be a string or {\"type\": \"name\", \"properties\": {\"name\": ...}}")


def geotiff(values: NDArray[np.float64], cells: Cells, crs: Any) -> bytes:
    """A one-band float64 GeoTIFF of ``values`` (row 0 the top) over ``cells``."""
    rasterio = _rasterio()
    xmin, _ymin, _xmax, ymax = cells.bounds
    transform = rasterio.transform.Affine(cells.dx, 0.0, xmin, 0.0, -cells.dy, ymax)
    profile = {
        "driver": "GTiff", "width": cells.width, "height": cells.height, "count": 1, "dtype": "float64",
        "crs": crs, "transform": transform, "compress": "deflate", "predictor": 3,
    }
    with rasterio.Env(), rasterio.io.MemoryFile() as memory:
        with memory.open(**profile) as dataset:
            dataset.write(values, 1)
            dataset.set_band_description(1, "risk")
        return bytes(memory.getbuffer())


# -- ROS map_server --------------------------------------------------------------------


def _yaml_float(value: float) -> str:
    # YAML 1.1 readers (PyYAML) take "1e-05" for a string: a float needs a dot.
    text = repr(float(value))
    mantissa, e, exponent = text.partition("e")
    if e and "." not in mantissa:
        text = f"{mantissa}.0e{exponent}"
    return text


def _png_grey(grey: NDArray[np.uint8]) -> bytes:
    """An 8-bit greyscale PNG; written here so that a ROS map needs no imaging library."""

    def chunk(kind: bytes, data: bytes) -> bytes:
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    height, width = grey.shape
    # Filter type 0 (none) in front of every row.
    raw = np.hstack([np.zeros((height, 1), dtype=np.uint8), grey]).tobytes()
    header = struct.pack(">IIBBBBB", width, height, 8, 0, 0, 0, 0)
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(raw, 6)) + chunk(b"IEND", b"")


def ros_map(values: NDArray[np.float64], cells: Cells, image_name: str, image_format: str) -> tuple[bytes, bytes]:
    """A map_server map: (YAML text, image) for ``values`` (row 0 the top) over square ``cells``.

    ``origin`` is the lower-left corner of the lower-left cell, yaw 0.

    Grey level is 255·(1 - risk), so high risk is dark; ``mode: scale`` keeps
    the risk between the thresholds as a graded cost.
    """
    grey = np.rint(255.0 * (1.0 - np.clip(np.nan_to_num(values, nan=1.0), 0.0, 1.0))).astype(np.uint8)
    if image_format == "png":
        image = _png_grey(grey)
    else:
        image = b"P5\n%d %d\n255\n" % (cells.width, cells.height) + grey.tobytes()
    xmin, ymin = cells.bounds[0], cells.bounds[1]
    text = "\n".join([
        f"image: {json.dumps(image_name)}",
        "mode: scale",
        f"resolution: {_yaml_float(cells.dx)}",
        f"origin: [{_yaml_float(xmin)}, {_yaml_float(ymin)}, 0.0]",
        "negate: 0",
        f"occupied_thresh: {_yaml_float(_OCCUPIED_THRESH)}",
        f"free_thresh: {_yaml_float(_FREE_THRESH)}",
        "",
    ])
    return text.encode("utf-8"), image
