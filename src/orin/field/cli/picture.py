"""The heat map picture of ``orin-field map``.

The map area is the sample grid itself: one image pixel per cell, placed
with ``figimage`` at whole-pixel offsets, so nothing is resampled.  Axes,
outlines, labels, contours and the colour bar are drawn over and around it;
the figure's margins are measured from what is drawn, so the picture fits
any scene, however elongated.
"""

from __future__ import annotations

import io
import math
import warnings
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
from numpy.typing import NDArray

from orin.field.cli import UsageError, one_line
from orin.field.cli.raster import Cells

__all__ = ["LOG_FLOOR", "PictureStyle", "picture_formats", "render"]

#: The lowest risk a logarithmic picture tells apart; below it, one colour.
LOG_FLOOR = 1e-6

#: Formats matplotlib can write that are taken by a data format here.
_TAKEN = {"tif", "tiff"}

#: Pictures matplotlib usually writes; named when it is missing.
_USUAL = {"png", "svg", "svgz", "pdf", "jpg", "jpeg", "webp", "eps", "ps", "pgf", "gif", "avif", "raw", "rgba"}

_DPI = 100
_PAD = 8  # pixels of white around everything drawn
_OUTLINE = "#4fd1ff"
_CONTOUR = "#ffffff"


@dataclass(frozen=True)
class PictureStyle:
    title: str
    units: str | None = None
    cmap: str = "magma"
    log: bool = False
    contours: tuple[float, ...] = ()


def _matplotlib() -> Any:
    try:
        import matplotlib
        from matplotlib.backends.backend_agg import FigureCanvasAgg
    except ImportError:
        raise UsageError(
            "drawing a picture needs matplotlib: pip install 'orin-field[demo]' (or write .npy, .tif or .yaml)"
        ) from None
    return matplotlib, FigureCanvasAgg


def picture_formats(fmt: str) -> set[str]:
    """The picture formats this machine can write; ``fmt`` only words the message."""
    try:
        _mpl, canvas = _matplotlib()
    except UsageError:
        if fmt not in _USUAL:
            raise UsageError(
                f"unknown output format {fmt!r} (data: npy, tif, yaml; pictures with matplotlib)"
            ) from None
        raise
    if fmt == "pgf":
        # PGF keeps a picture's raster in files beside the .pgf, and measures
        # text with TeX: neither fits a picture written whole, in one file.
        raise UsageError("pgf output is not supported: the map is a raster, which PGF keeps in "
                         "separate files; write .pdf or .svg for TeX documents")
    return set(canvas.get_supported_filetypes()) - _TAKEN - {"pgf"}


def check_cmap(name: str) -> None:
    matplotlib, _canvas = _matplotlib()
    if name not in matplotlib.colormaps:
        near = ", ".join(sorted(n for n in matplotlib.colormaps if n.lower().startswith(name[:2].lower()))[:6])
        hint = f" (like: {near})" if near else " (for example magma, viridis, cividis, gray)"
        raise UsageError(f"--cmap: unknown colour map {name!r}{hint}")


# -- what is drawn over the map ----------------------------------------------------------


def _lines_of(geometry: Mapping[str, Any]) -> tuple[list[NDArray[np.float64]], NDArray[np.float64]]:
    """(polylines, points) of a geometry dict as ``toRGeoJSON()["geometry"]`` gives it."""
    kind = geometry.get("type")
    if kind == "GeometryCollection":
        lines: list[NDArray[np.float64]] = []
        points = [np.zeros((0, 2))]
        for member in geometry.get("geometries", ()):
            more, pts = _lines_of(member)
            lines += more
            points.append(pts)
        return lines, np.concatenate(points)
    coords = geometry.get("coordinates")
    if kind in ("Point", "MultiPoint"):
        return [], np.asarray(coords, dtype=np.float64).reshape(-1, 2)
    if kind == "LineString":
        chains = [coords]
    elif kind in ("MultiLineString", "Polygon"):
        chains = list(coords or ())
    elif kind == "MultiPolygon":
        chains = [ring for polygon in coords or () for ring in polygon]
    else:
        chains = []
    return [np.asarray(c, dtype=np.float64).reshape(-1, 2) for c in chains], np.zeros((0, 2))


def _label_anchor(lines: Sequence[NDArray[np.float64]], points: NDArray[np.float64]) -> tuple[float, float]:
    """Above the middle of the obstacle's box: on the map, near the obstacle, off its outline."""
    every = np.concatenate([*lines, points]) if lines or len(points) else np.zeros((0, 2))
    lo, hi = every.min(axis=0), every.max(axis=0)
    return float((lo[0] + hi[0]) / 2), float(hi[1])


def _overlay(ax: Any, obstacles: Sequence[Any], bounds: tuple[float, float, float, float]) -> None:
    # White on a dark, half-clear box reads on every colour of every map;
    # unlike a stroked outline it stays text in SVG and PDF.
    box = {"boxstyle": "round,pad=0.2", "facecolor": (0.0, 0.0, 0.0, 0.55), "edgecolor": "none"}
    xmin, ymin, xmax, ymax = bounds
    for obstacle in obstacles:
        exported = obstacle.toRGeoJSON()
        lines, points = _lines_of(exported["geometry"])
        for line in lines:
            ax.plot(line[:, 0], line[:, 1], color=_OUTLINE, linewidth=1.0)
        if len(points):
            ax.plot(points[:, 0], points[:, 1], linestyle="none", marker="o", markersize=4,
                    markerfacecolor="none", markeredgecolor=_OUTLINE)
        props = exported.get("properties")
        name = props.get("name") if isinstance(props, Mapping) else None
        if not isinstance(name, str) or not name.strip() or not (lines or len(points)):
            continue
        x, y = _label_anchor(lines, points)
        if xmin <= x <= xmax and ymin <= y <= ymax:
            ax.annotate(name.strip(), (x, y), xytext=(0, 4), textcoords="offset pixels", ha="center",
                        va="bottom", fontsize=8, color="white", bbox=box, annotation_clip=True, clip_on=True,
                        zorder=5)  # over contour labels


# -- layout ----------------------------------------------------------------------------------


@dataclass(frozen=True)
class _Margins:
    left: int
    bottom: int
    right: int
    top: int


def _build(
    values: NDArray[np.float64], cells: Cells, rgba: NDArray[np.uint8], norm: Any, cmap: Any,
    obstacles: Sequence[Any], style: PictureStyle, margins: _Margins, below: int,
) -> tuple[Any, Any, Any]:
    """The figure with the map at ``margins``; ``below`` is the room under the
    map that its tick labels need, where a horizontal colour bar goes."""
    from matplotlib.cm import ScalarMappable
    from matplotlib.figure import Figure
    from matplotlib.patches import Rectangle
    from matplotlib.ticker import MaxNLocator

    _mpl, canvas_type = _matplotlib()
    w, h = cells.width, cells.height
    fw, fh = margins.left + w + margins.right, margins.bottom + h + margins.top
    fig = Figure(figsize=(fw / _DPI, fh / _DPI), dpi=_DPI)
    canvas_type(fig)
    fig.figimage(rgba, xo=margins.left, yo=margins.bottom, origin="upper", resize=False)

    ax = fig.add_axes((margins.left / fw, margins.bottom / fh, w / fw, h / fh), zorder=1)
    ax.set_facecolor("none")
    # The frame is the ring of pixels just outside the map, and the ticks
    # start from it, so that no sample pixel lies under either: a line one
    # pixel wide centred half a pixel outside the edge covers exactly that ring.
    for spine in ax.spines.values():
        spine.set_visible(False)
        spine.set_position(("outward", 72 / _DPI))
    fig.add_artist(Rectangle(
        ((margins.left - 0.5) / fw, (margins.bottom - 0.5) / fh), (w + 1) / fw, (h + 1) / fh,
        transform=fig.transFigure, fill=False, edgecolor="black", linewidth=72 / _DPI, zorder=2,
        # Snapping would round the half-pixel position to either neighbour.
        snap=False,
    ))
    xmin, ymin, xmax, ymax = cells.bounds
    unit = f" ({style.units})" if style.units else ""
    ax.set_xlabel(f"x{unit}")
    ax.set_ylabel(f"y{unit}")
    ax.set_title(style.title)
    if _plain_ticks(cells.bounds):
        ax.ticklabel_format(useOffset=False)
    # Room for about one tick label per 90 pixels across and 45 down.
    steps = [1, 2, 2.5, 5, 10]
    ax.xaxis.set_major_locator(MaxNLocator(nbins=max(1, min(10, w // 90)), steps=steps))
    ax.yaxis.set_major_locator(MaxNLocator(nbins=max(1, min(10, h // 45)), steps=steps))

    contour_set = None
    if style.contours and w > 1 and h > 1:
        xs, ys = cells.centres()
        contour_set = ax.contour(xs, ys, values, levels=list(style.contours), colors=_CONTOUR,
                                 linewidths=0.9, linestyles="--")
        ax.clabel(contour_set, fmt=lambda v: f"{v:g}", fontsize=6.5, colors=_CONTOUR, inline_spacing=2)
    _overlay(ax, obstacles, cells.bounds)
    ax.set_xlim(xmin, xmax)
    ax.set_ylim(ymin, ymax)

    mappable = ScalarMappable(norm=norm, cmap=cmap)
    label = "risk (log scale)" if style.log else "risk"
    if _wide(cells):
        bar_w = min(w, 480)
        rect = ((margins.left + (w - bar_w) / 2) / fw, (margins.bottom - below - 16) / fh, bar_w / fw, 14 / fh)
        cax = fig.add_axes(rect)
        bar = fig.colorbar(mappable, cax=cax, orientation="horizontal", label=label)
    else:
        bar_h = min(h, max(h * 0.8, 120))
        rect = ((margins.left + w + 20) / fw, (margins.bottom + (h - bar_h) / 2) / fh, 16 / fw, bar_h / fh)
        cax = fig.add_axes(rect)
        bar = fig.colorbar(mappable, cax=cax, label=label)
    if contour_set is not None:
        bar.add_lines(contour_set)
    return fig, ax, cax


def _plain_ticks(bounds: tuple[float, float, float, float]) -> bool:
    # An offset ("+4.5e6") is hard to read on map coordinates; it is only
    # needed when the extent is tiny against the coordinates themselves.
    xmin, ymin, xmax, ymax = bounds
    big = max(abs(xmin), abs(xmax), abs(ymin), abs(ymax))
    return big == 0 or min(xmax - xmin, ymax - ymin) > big * 1e-4


def _wide(cells: Cells) -> bool:
    # A colour bar beside a flat map would be a stub; under it, it is not.
    return cells.width >= 2.5 * cells.height


def render(
    values: NDArray[np.float64], cells: Cells, obstacles: Sequence[Any], style: PictureStyle, fmt: str,
    where: str,
) -> bytes:
    """The picture of ``values`` (row 0 the top) over ``cells``, in ``fmt``.

    Raises
    ------
    UsageError
        If matplotlib is missing or cannot write ``fmt`` here (PGF without TeX).
    """
    matplotlib, _canvas = _matplotlib()
    from matplotlib.colors import LogNorm, Normalize

    cmap = matplotlib.colormaps[style.cmap].with_extremes(bad="#7f7f7f")
    if style.log:
        norm: Any = LogNorm(vmin=LOG_FLOOR, vmax=1.0, clip=True)
        shown = np.maximum(values, LOG_FLOOR)  # 0 has no logarithm; it reads as the floor
    else:
        norm = Normalize(vmin=0.0, vmax=1.0, clip=True)
        shown = values
    rgba = cmap(norm(shown), bytes=True)
    try:
        with warnings.catch_warnings():
            # Contour levels the field never reaches, and the like: the
            # picture shows what there is, and stderr stays for errors.
            warnings.simplefilter("ignore")
            # Build with room to spare, measure how far the decorations
            # reach from the map, and build again with exactly that room.
            spare = _Margins(400, 400, 400, 400)
            fig, ax, _cax = _build(values, cells, rgba, norm, cmap, obstacles, style, spare, 0)
            renderer = fig.canvas.get_renderer()
            below = math.ceil(spare.bottom - ax.get_tightbbox(renderer).y0) + 6
            fig, ax, _cax = _build(values, cells, rgba, norm, cmap, obstacles, style, spare, below)
            box = fig.get_tightbbox(fig.canvas.get_renderer())
            needed = _Margins(
                left=max(0, math.ceil(spare.left - box.x0 * _DPI)) + _PAD,
                bottom=max(0, math.ceil(spare.bottom - box.y0 * _DPI)) + _PAD,
                right=max(0, math.ceil(box.x1 * _DPI - spare.left - cells.width)) + _PAD,
                top=max(0, math.ceil(box.y1 * _DPI - spare.bottom - cells.height)) + _PAD,
            )
            fig, _ax, _cax = _build(values, cells, rgba, norm, cmap, obstacles, style, needed, below)
            out = io.BytesIO()
            fig.savefig(out, format=fmt, dpi=_DPI)
    except UsageError:
        raise
    except Exception as exc:  # a backend that cannot work here: PGF without TeX, a missing writer
        raise UsageError(f"{where}: cannot draw {fmt}: {one_line(exc)}") from None
    return out.getvalue()
