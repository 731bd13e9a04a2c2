"""Command line: ``python -m orin.field`` (also installed as ``orin-field``).

Subcommands::

    map  [SCENE.geojson] --out risk.png [--size WxH] [--bounds xmin,ymin,xmax,ymax]
    eval [SCENE.geojson] --points pts.csv --out values.csv

Without a scene, the bundled example harbour is used.  Bad input ends the run
with one line on stderr and exit status 2; an output file is only ever
replaced whole.
"""

from __future__ import annotations

import argparse
import contextlib
import os
import sys
import tempfile
import time
from collections.abc import Callable, Iterator, Sequence
from typing import IO, Any, NoReturn

import numpy as np
from numpy.typing import NDArray

PROG = "orin-field"

#: Above this many points a progress bar is shown on stderr.
PROGRESS_THRESHOLD = 1_000_000

EXIT_BAD_INPUT = 2


class UsageError(Exception):
    """Bad input from the user: reported as one line, exit status 2."""


class _Parser(argparse.ArgumentParser):
    # argparse prints the whole usage before its message; we keep to one line.
    def error(self, message: str) -> NoReturn:
        raise UsageError(f"{message} (see {self.prog} --help)")


# -- input -----------------------------------------------------------------------


def _load_field(scene: str | None) -> tuple[Any, str]:
    from orin.field.risk import RiskField
    from orin.field.scene import SceneError, example_scene

    try:
        if scene is None:
            return RiskField(example_scene()), "example harbour"
        return RiskField(scene), scene
    except SceneError as exc:
        prefix = "" if scene is None or str(exc).startswith(scene) else f"{scene}: "
        raise UsageError(f"{prefix}{exc}") from None


def _parse_size(text: str) -> tuple[int, int]:
    try:
        w, h = (int(part) for part in text.lower().split("x"))
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected WxH in pixels, e.g. 800x600, got {text!r}") from None
    if not (16 <= w <= 10000 and 16 <= h <= 10000):
        raise argparse.ArgumentTypeError(f"width and height must lie in 16..10000, got {text!r}")
    return w, h


def _parse_bounds(text: str) -> tuple[float, float, float, float]:
    try:
        xmin, ymin, xmax, ymax = (float(part) for part in text.split(","))
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected xmin,ymin,xmax,ymax, got {text!r}") from None
    if not all(np.isfinite([xmin, ymin, xmax, ymax])):
        raise argparse.ArgumentTypeError(f"bounds must be finite, got {text!r}")
    if not (xmin < xmax and ymin < ymax):
        raise argparse.ArgumentTypeError(f"bounds need xmin < xmax and ymin < ymax, got {text!r}")
    return xmin, ymin, xmax, ymax


def _default_size(bounds: tuple[float, float, float, float]) -> tuple[int, int]:
    xmin, ymin, xmax, ymax = bounds
    # Room for the colour bar on the right and the labels below.
    height = 1000 * (ymax - ymin) / (xmax - xmin) * 0.8 + 80
    return 1000, int(min(2000, max(300, round(height))))


def _read_points(path: str) -> NDArray[np.float64]:
    """x, y from the first two columns of a CSV file; an optional header line, '#' comments."""
    try:
        with open(path, encoding="utf-8") as fh:
            first = fh.readline()
    except OSError as exc:
        raise UsageError(f"{path}: cannot read: {exc.strerror or exc}") from None
    except UnicodeDecodeError:
        raise UsageError(f"{path}: not UTF-8 text") from None
    # A header names the columns: two or more fields, not both numbers.
    header = "," in first.split("#", 1)[0] and _numbers(first) is None
    try:
        pts = np.loadtxt(path, delimiter=",", comments="#", skiprows=int(header), usecols=(0, 1), ndmin=2,
                         dtype=np.float64, encoding="utf-8")
    except (ValueError, IndexError) as exc:
        # loadtxt counts rows after the skipped ones; find the line the user sees.
        raise UsageError(_first_bad_line(path, header) or f"{path}: {' '.join(str(exc).split())}") from None
    except OSError as exc:
        raise UsageError(f"{path}: cannot read: {exc.strerror or exc}") from None
    return pts.reshape(-1, 2)


def _numbers(line: str) -> tuple[float, float] | None:
    fields = line.split("#", 1)[0].split(",")
    if len(fields) < 2:
        return None
    try:
        return float(fields[0]), float(fields[1])
    except ValueError:
        return None


def _first_bad_line(path: str, header: bool) -> str | None:
    try:
        with open(path, encoding="utf-8") as fh:
            for number, line in enumerate(fh, start=1):
                if (number == 1 and header) or not line.split("#", 1)[0].strip():
                    continue
                if _numbers(line) is None:
                    text = line.strip()
                    shown = text if len(text) <= 40 else text[:37] + "..."
                    return f"{path}: line {number}: expected two numbers x,y, got {shown!r}"
    except (OSError, UnicodeDecodeError) as exc:
        return f"{path}: cannot read: {' '.join(str(exc).split())}"
    return None


# -- output ----------------------------------------------------------------------


@contextlib.contextmanager
def _replace_atomically(path: str, mode: str = "wb") -> Iterator[IO[Any]]:
    """Write to a temporary file beside ``path``; rename it over ``path`` only on success."""
    directory = os.path.dirname(os.path.abspath(path))
    try:
        fd, tmp = tempfile.mkstemp(dir=directory, prefix=f".{os.path.basename(path)}.", suffix=".part")
    except OSError as exc:
        raise UsageError(f"{path}: cannot write: {exc.strerror or exc}") from None
    try:
        with os.fdopen(fd, mode) as fh:
            yield fh
        # mkstemp makes the file private; give the result the permissions
        # that a plain open() would have.
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(tmp, 0o666 & ~umask)
        os.replace(tmp, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(tmp)
        raise


@contextlib.contextmanager
def _progress(total: int) -> Iterator[Callable[[int], Any] | None]:
    if total <= PROGRESS_THRESHOLD:
        yield None
        return
    try:
        from tqdm import tqdm
    except ImportError:  # the bar is a courtesy; tqdm comes with the demo extra
        yield None
        return
    with tqdm(total=total, unit="pt", unit_scale=True, file=sys.stderr, leave=False) as bar:
        yield bar.update


def _summary(out: str, points: int, obstacles: int, seconds: float) -> None:
    rate = points / seconds if seconds > 0 else float("inf")
    print(f"{out}: {points} points, {obstacles} obstacles, {seconds:.3f} s, {rate:,.0f} points/s")


# -- subcommands -------------------------------------------------------------------


def _outline(ax: Any, geometry: Any) -> None:
    """Draw a geometry dict (the form ``toRGeoJSON()["geometry"]`` gives)."""
    kind = geometry.get("type")
    style = {"color": "#4fd1ff", "linewidth": 1.0}
    if kind == "GeometryCollection":
        for member in geometry.get("geometries", ()):
            _outline(ax, member)
        return
    coords = geometry.get("coordinates")
    if kind in ("Point", "MultiPoint"):
        pts = np.asarray(coords, dtype=np.float64).reshape(-1, 2)
        ax.plot(pts[:, 0], pts[:, 1], linestyle="none", marker="o", markersize=4,
                markerfacecolor="none", markeredgecolor=style["color"])
        return
    if kind == "LineString":
        lines = [coords]
    elif kind in ("MultiLineString", "Polygon"):
        lines = list(coords)
    elif kind == "MultiPolygon":
        lines = [ring for polygon in coords for ring in polygon]
    else:
        return
    for line in lines:
        arr = np.asarray(line, dtype=np.float64).reshape(-1, 2)
        ax.plot(arr[:, 0], arr[:, 1], **style)


def _cmd_map(args: argparse.Namespace) -> int:
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    fmt = os.path.splitext(args.out)[1].lstrip(".").lower() or "png"
    if fmt not in FigureCanvasAgg.get_supported_filetypes():
        known = ", ".join(sorted(FigureCanvasAgg.get_supported_filetypes()))
        raise UsageError(f"{args.out}: unknown image format {fmt!r} (known: {known})")
    field, label = _load_field(args.scene)
    if args.bounds is not None:
        bounds = args.bounds
    else:
        try:
            bounds = field.influence_bounds()
        except ValueError:
            raise UsageError("the scene has no obstacles to frame; give --bounds") from None
    xmin, ymin, xmax, ymax = bounds
    width, height = args.size if args.size is not None else _default_size(bounds)
    # Sample at pixel centres, so the image covers exactly the bounds.
    hx, hy = (xmax - xmin) / (2 * width), (ymax - ymin) / (2 * height)
    centres = (xmin + hx, ymin + hy, xmax - hx, ymax - hy)

    total = width * height
    start = time.perf_counter()
    with _progress(total) as progress:
        values = field.grid(centres, (height, width), progress=progress)
    seconds = time.perf_counter() - start

    dpi = 100
    fig = Figure(figsize=(width / dpi, height / dpi), dpi=dpi, layout="constrained")
    FigureCanvasAgg(fig)
    ax = fig.add_subplot()
    image = ax.imshow(values, origin="lower", extent=(xmin, xmax, ymin, ymax), cmap="magma",
                      vmin=0.0, vmax=max(1.0, float(np.nanmax(values, initial=0.0))),
                      interpolation="nearest")
    for obstacle in field.obstacles:
        _outline(ax, obstacle.toRGeoJSON()["geometry"])
    ax.set_xlim(xmin, xmax)
    ax.set_ylim(ymin, ymax)
    ax.set_xlabel("x")
    ax.set_ylabel("y")
    ax.set_title(f"Risk: {label}")
    fig.colorbar(image, ax=ax, label="risk", shrink=min(1.0, max(0.3, (ymax - ymin) / (xmax - xmin))))

    with _replace_atomically(args.out) as fh:
        fig.savefig(fh, format=fmt)
    _summary(args.out, total, len(field.obstacles), seconds)
    return 0


def _cmd_eval(args: argparse.Namespace) -> int:
    field, _label = _load_field(args.scene)
    pts = _read_points(args.points)
    start = time.perf_counter()
    with _progress(len(pts)) as progress:
        values = field.eval(pts, progress=progress)
    seconds = time.perf_counter() - start
    table = np.column_stack([pts, values])
    with _replace_atomically(args.out) as fh:
        # 17 significant digits read back as the very same doubles.
        np.savetxt(fh, table, fmt="%.17g", delimiter=",", header="x,y,risk", comments="")
    _summary(args.out, len(pts), len(field.obstacles), seconds)
    return 0


def _build_parser() -> argparse.ArgumentParser:
    parser = _Parser(prog=PROG, description="Risk fields of RGeoJSON scenes.")
    sub = parser.add_subparsers(dest="command", required=True, parser_class=_Parser)

    scene_help = "RGeoJSON FeatureCollection file (default: the bundled example harbour)"
    p_map = sub.add_parser("map", help="render the field as a heat map image")
    p_map.add_argument("scene", nargs="?", help=scene_help)
    p_map.add_argument("--out", required=True, help="image file to write (format from its extension, PNG by default)")
    p_map.add_argument("--size", type=_parse_size, metavar="WxH",
                       help="image size in pixels, also the sampling grid (default: 1000 wide, "
                            "height to suit the bounds)")
    p_map.add_argument("--bounds", type=_parse_bounds, metavar="xmin,ymin,xmax,ymax",
                       help="area to map, in scene units (default: the scene's obstacles and their reach)")
    p_map.set_defaults(run=_cmd_map)

    p_eval = sub.add_parser("eval", help="evaluate the field at points from a CSV file")
    p_eval.add_argument("scene", nargs="?", help=scene_help)
    p_eval.add_argument("--points", required=True, help="CSV of x,y per line (optional header line)")
    p_eval.add_argument("--out", required=True, help="CSV to write: x,y,risk per line")
    p_eval.set_defaults(run=_cmd_eval)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line; return the exit status."""
    try:
        args = _build_parser().parse_args(argv)
        return int(args.run(args))
    except UsageError as exc:
        print(f"{PROG}: error: {exc}", file=sys.stderr)
        return EXIT_BAD_INPUT
    except KeyboardInterrupt:
        return 130


if __name__ == "__main__":
    sys.exit(main())
