"""Command line: ``python -m orin.field`` (also installed as ``orin-field``).

Subcommands::

    map  [SCENE.geojson] --out FILE [--size WxH | --resolution R] [--bounds xmin,ymin,xmax,ymax]
    eval [SCENE.geojson] --points pts.csv --out values.csv [--gradient] [--nearest]

Without a scene, the bundled example harbour is used.  Every failure ends the
run with one line on stderr, exit status 2 and no output file; an interrupt
ends it with exit status 130.  ``-`` as ``--points`` or ``--out`` is standard
input or output.
"""

from __future__ import annotations

import argparse
import contextlib
import math
import os
import re
import signal
import sys
import threading
import time
from collections.abc import Callable, Iterator, Mapping, Sequence
from dataclasses import dataclass
from typing import Any, NoReturn

from orin.field.cli import UsageError, one_line

PROG = "orin-field"

#: Above this many points a progress bar is shown on stderr.
PROGRESS_THRESHOLD = 1_000_000

EXIT_BAD_INPUT = 2
EXIT_INTERRUPTED = 130  # 128 + SIGINT, as shells report it

#: Output formats that are data rather than pictures, by extension.
DATA_FORMATS = {"npy": "npy", "tif": "tif", "tiff": "tif", "yaml": "yaml", "yml": "yaml"}

# Options that only mean something for some formats; given for another,
# they would be silently ignored, so they are refused instead.
_PICTURE_ONLY = ("contours", "log", "cmap", "units")


class _Parser(argparse.ArgumentParser):
    def __init__(self, *args: Any, **kwargs: Any) -> None:
        super().__init__(*args, **kwargs)
        # "--bounds -20,-10,610,420" is a value, not an option: take anything
        # that starts with a minus and a digit for a number, as Python 3.13's
        # argparse does (3.11 only takes a lone number).
        self._negative_number_matcher = re.compile(r"-\.?\d")

    # argparse prints the whole usage before its message; we keep to one line.
    def error(self, message: str) -> NoReturn:
        raise UsageError(f"{message} (see {self.prog} --help)")


def _version() -> str:
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version("orin-field")
    except PackageNotFoundError:  # run from a source tree that was never installed
        return "unknown"


# -- argument types ----------------------------------------------------------------


def _parse_size(text: str) -> tuple[int, int]:
    try:
        w, h = (int(part) for part in text.lower().split("x"))
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected WxH in pixels, e.g. 800x600, got {text!r}") from None
    if not (16 <= w <= 10000 and 16 <= h <= 10000):
        raise argparse.ArgumentTypeError(f"width and height must lie in 16..10000, got {text!r}")
    return w, h


def _bounds_fault(bounds: Sequence[float]) -> str | None:
    xmin, ymin, xmax, ymax = bounds
    if not all(map(math.isfinite, bounds)):
        return "bounds must be finite"
    if not (xmin < xmax and ymin < ymax):
        return "bounds need xmin < xmax and ymin < ymax"
    # Each cell's size and centre is computed from the width and height.
    if not (math.isfinite(xmax - xmin) and math.isfinite(ymax - ymin)):
        return "bounds wider or taller than the largest float"
    return None


def _parse_bounds(text: str) -> tuple[float, float, float, float]:
    try:
        xmin, ymin, xmax, ymax = (float(part) for part in text.split(","))
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected xmin,ymin,xmax,ymax, got {text!r}") from None
    fault = _bounds_fault((xmin, ymin, xmax, ymax))
    if fault:
        raise argparse.ArgumentTypeError(f"{fault}, got {text!r}")
    return xmin, ymin, xmax, ymax


def _parse_resolution(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a cell size in scene units, got {text!r}") from None
    if not (math.isfinite(value) and value > 0):
        raise argparse.ArgumentTypeError(f"the cell size must be positive and finite, got {text!r}")
    return value


def _counter(what: str, most: int) -> Callable[[str], int]:
    """An argparse type for a count of ``what`` in 1..most."""

    def parse(text: str) -> int:
        try:
            count = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"expected a whole number of {what}, got {text!r}") from None
        if not 1 <= count <= most:
            raise argparse.ArgumentTypeError(f"{what} must lie in 1..{most}, got {text!r}")
        return count

    return parse


def _evaluator(field: Any, args: argparse.Namespace) -> contextlib.AbstractContextManager[Any]:
    from orin.field.cli import cluster

    return cluster.evaluator(field, args.scheduler, args.workers)



def _add_engine_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--projection", choices=("euclidean", "metric"), default="euclidean",
                        help="a line's nearest point: the Euclidean projection, measured in the obstacle's "
                             "metric (default), or the exact nearest point in that metric")
    parser.add_argument("--threads", type=_counter("threads", 1024), metavar="N",
                        help="native threads to evaluate on (default: every core this process may use)")
    where = parser.add_mutually_exclusive_group()
    where.add_argument("--scheduler", metavar="ADDRESS",
                       help="evaluate on a running dask.distributed scheduler, e.g. tcp://10.0.0.1:8786 "
                            "(the dask extra)")
    where.add_argument("--workers", type=_counter("workers", 256), metavar="N",
                       help="evaluate on a local Dask cluster of N worker processes, started for the run "
                            "on 127.0.0.1 (the dask extra)")


def _parse_levels(text: str) -> tuple[float, ...]:
    try:
        levels = sorted({float(part) for part in text.split(",")})
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected risk levels like 0.1,0.5,0.9, got {text!r}") from None
    if not all(0.0 < v <= 1.0 for v in levels):
        raise argparse.ArgumentTypeError(f"risk levels must lie in (0, 1], got {text!r}")
    return tuple(levels)


# -- the scene -----------------------------------------------------------------------


@dataclass(frozen=True)
class _Scene:
    field: Any
    title: str
    units: str | None
    crs: str | None
    source: Mapping[str, Any]


def _text_member(*candidates: Any) -> str | None:
    for value in candidates:
        if isinstance(value, str) and value.strip():
            return value.strip()
    return None


def _load_scene(path: str | None, projection: str = "euclidean", threads: int | None = None) -> _Scene:
    from orin.field.risk import RiskField
    from orin.field.scene import SceneError, example_scene, load_scene

    try:
        data = example_scene() if path is None else load_scene(path)
        field = RiskField(data, projection=projection, threads=threads)
    except SceneError as exc:
        prefix = "" if path is None or str(exc).startswith(path) else f"{path}: "
        raise UsageError(f"{prefix}{exc}") from None
    props = data.get("properties")
    props = props if isinstance(props, Mapping) else {}
    default = "example harbour" if path is None else os.path.basename(path)
    title = _text_member(data.get("name"), props.get("name")) or default
    units = _text_member(data.get("units"), props.get("units"))
    from orin.field.cli.raster import scene_crs

    try:
        crs = scene_crs(data)
    except UsageError as exc:
        raise UsageError(f"{path or 'scene'}: {exc}") from None
    return _Scene(field, title, units, crs, data)


# -- progress and summary -------------------------------------------------------------


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
    # leave=False: a finished or interrupted bar clears its line. Only a bar
    # that exists can do so, so an interrupt while it is being made waits.
    with _interrupts_deferred() as came:
        bar = tqdm(total=total, unit="pt", unit_scale=True, file=sys.stderr, leave=False)
    with bar:
        if came:
            raise KeyboardInterrupt
        yield bar.update


@contextlib.contextmanager
def _interrupts_deferred() -> Iterator[list[int]]:
    """Hold SIGINT while the block runs; the list it gives says whether one came."""
    came: list[int] = []
    if threading.current_thread() is not threading.main_thread():
        yield came  # only the main thread receives signals
        return
    previous = signal.signal(signal.SIGINT, lambda signum, frame: came.append(signum))
    try:
        yield came
    finally:
        signal.signal(signal.SIGINT, previous)


def _summary(out: str, points: int, obstacles: int, seconds: float) -> None:
    rate = points / seconds if seconds > 0 else float("inf")
    # With the data on stdout, the summary must not mix into it.
    stream = sys.stderr if out == "-" else sys.stdout
    name = "stdout" if out == "-" else out
    print(f"{name}: {points} points, {obstacles} obstacles, {seconds:.3f} s, {rate:,.0f} points/s", file=stream)


def _refuse_terminal(target: Any, fmt: str) -> None:
    if target.how == "stdout" and fmt not in ("svg", "eps", "ps") and sys.stdout.isatty():
        raise UsageError(f"refusing to write {fmt} data to a terminal; redirect standard output or name a file")


# -- map -------------------------------------------------------------------------------


def _format_of(args: argparse.Namespace) -> str:
    if args.format:
        return str(args.format).lower().lstrip(".")
    if args.out == "-":
        return "png"
    return os.path.splitext(args.out)[1].lstrip(".").lower() or "png"


def _check_map_options(args: argparse.Namespace, kind: str, fmt: str) -> None:
    given = [name for name in _PICTURE_ONLY if getattr(args, name) not in (None, False)]
    if kind != "picture" and given:
        raise UsageError(f"--{given[0]} applies to pictures only, not to {fmt} output")
    if args.crs is not None and kind != "tif":
        raise UsageError(f"--crs applies to GeoTIFF output (.tif) only, not to {fmt}")
    if args.ros_image is not None and kind != "yaml":
        raise UsageError(f"--ros-image applies to ROS maps (.yaml) only, not to {fmt}")


def _cmd_map(args: argparse.Namespace) -> int:
    from orin.field.cli import files, raster

    fmt = _format_of(args)
    kind = DATA_FORMATS.get(fmt, "picture")
    _check_map_options(args, kind, fmt)
    if kind == "picture":
        from orin.field.cli import picture

        known = picture.picture_formats(fmt)
        if fmt not in known:
            listed = ", ".join(sorted(set(DATA_FORMATS) | known))
            raise UsageError(f"{args.out}: unknown output format {fmt!r} (known: {listed})")
        picture.check_cmap(args.cmap or "magma")
    crs = raster.parse_crs(args.crs, "--crs") if args.crs is not None and kind == "tif" else None

    target = files.check_target(args.out)
    image_target = None
    if kind == "yaml":
        if target.how == "stdout":
            raise UsageError("a ROS map is a YAML file beside its image: give --out a file name")
        image_path = os.path.splitext(args.out)[0] + "." + (args.ros_image or "pgm")
        image_target = files.check_target(image_path)
    else:
        _refuse_terminal(target, fmt)

    scene = _load_scene(args.scene, args.projection, args.threads)
    if kind == "tif" and crs is None and scene.crs is not None:
        crs = raster.parse_crs(scene.crs, f"{args.scene}: crs")
    if args.bounds is not None:
        bounds = args.bounds
    else:
        try:
            bounds = scene.field.influence_bounds()
        except ValueError:
            raise UsageError("the scene has no obstacles to frame; give --bounds") from None
        fault = _bounds_fault(bounds)
        if fault:
            raise UsageError(f"the scene's extent cannot be mapped ({fault}); give --bounds")
    cells = raster.cells_for(bounds, args.size, args.resolution, square=kind == "yaml")

    total = cells.width * cells.height
    start = time.perf_counter()
    with _evaluator(scene.field, args) as field, _progress(total) as progress:
        if kind == "npy":
            values = field.grid(cells.bounds, (cells.height, cells.width), progress=progress)
        else:
            values = raster.sample(field, cells, progress)
    seconds = time.perf_counter() - start

    outputs: list[tuple[Any, bytes]]
    if kind == "npy":
        import io

        import numpy as np

        buffer = io.BytesIO()
        np.save(buffer, values, allow_pickle=False)
        outputs = [(target, buffer.getvalue())]
    elif kind == "tif":
        outputs = [(target, raster.geotiff(values, cells, crs))]
    elif kind == "yaml":
        assert image_target is not None
        text, image = raster.ros_map(values, cells, os.path.basename(image_target.path), args.ros_image or "pgm")
        outputs = [(image_target, image), (target, text)]
    else:
        from orin.field.cli import picture

        style = picture.PictureStyle(
            title=f"Risk: {scene.title}", units=args.units or scene.units, cmap=args.cmap or "magma",
            log=args.log, contours=args.contours or (),
        )
        outputs = [(target, picture.render(values, cells, field.obstacles, style, fmt, args.out))]
    files.write_outputs(outputs)
    _summary(args.out, total, len(field.obstacles), seconds)
    return 0


# -- eval --------------------------------------------------------------------------------


def _cmd_eval(args: argparse.Namespace) -> int:
    from orin.field.cli import files, table

    target = files.check_target(args.out)
    scene = _load_scene(args.scene, args.projection, args.threads)
    points = table.read_points(files.read_input(args.points), files.input_name(args.points))
    if args.nearest and (args.scheduler or args.workers):
        raise UsageError("--nearest runs on this machine only: leave out --scheduler and --workers")
    n = len(points.points)
    start = time.perf_counter()
    with _evaluator(scene.field, args) as field, _progress(n * (1 + args.gradient + args.nearest)) as progress:
        columns = {"risk": field.eval(points.points, progress=progress)}
        if args.gradient:
            gradient = field.gradient(points.points, progress=progress)
            columns["drisk_dx"], columns["drisk_dy"] = gradient[:, 0], gradient[:, 1]
        if args.nearest:
            columns["obstacle"] = field.nearest(points.points, progress=progress)[0]
    seconds = time.perf_counter() - start
    files.write_outputs([(target, table.write_points(points, columns))])
    _summary(args.out, n, len(field.obstacles), seconds)
    return 0


# -- the parser ---------------------------------------------------------------------------


def _build_parser() -> argparse.ArgumentParser:
    parser = _Parser(prog=PROG, description="Risk fields of RGeoJSON scenes.")
    parser.add_argument("--version", action="version", version=f"{PROG} {_version()}")
    sub = parser.add_subparsers(dest="command", required=True, parser_class=_Parser)

    scene_help = "RGeoJSON FeatureCollection file (default: the bundled example harbour)"
    p_map = sub.add_parser(
        "map", help="render the field as a picture, or write it as .npy, GeoTIFF or a ROS map",
        description="Sample the field on a grid of cells and write it. The format follows the extension "
                    "of --out: .npy (RiskField.grid), .tif (GeoTIFF, needs the geo extra), .yaml (ROS "
                    "map_server map beside its .pgm or .png image), or a picture (.png, .svg, .pdf, ...).",
    )
    p_map.add_argument("scene", nargs="?", help=scene_help)
    p_map.add_argument("--out", required=True, help="file to write; '-' for standard output")
    p_map.add_argument("--format", metavar="FMT",
                       help="output format when --out has no telling extension, e.g. with --out - "
                            "(default: from the extension, png without one)")
    p_map.add_argument("--size", type=_parse_size, metavar="WxH",
                       help="cells across and down: the picture's map area in pixels (default: 1000 along "
                            "the longer side, square cells)")
    p_map.add_argument("--resolution", type=_parse_resolution, metavar="R",
                       help="square cells of side R in scene units, as many as cover the bounds; "
                            "overrides --size")
    p_map.add_argument("--bounds", type=_parse_bounds, metavar="xmin,ymin,xmax,ymax",
                       help="area to map, in scene units (default: the scene's obstacles and their reach)")
    p_map.add_argument("--contours", type=_parse_levels, metavar="LEVELS",
                       help="draw these risk levels, e.g. 0.1,0.5,0.9 (pictures)")
    p_map.add_argument("--log", action="store_true",
                       help="colour the risk on a logarithmic scale, down to 1e-6 (pictures)")
    p_map.add_argument("--cmap", metavar="NAME", help="matplotlib colour map (pictures; default magma)")
    p_map.add_argument("--units", metavar="TEXT",
                       help="axis units (pictures; default: the scene's 'units' member)")
    p_map.add_argument("--crs", metavar="CRS",
                       help="coordinate reference system of a GeoTIFF: an EPSG code or WKT "
                            "(default: the scene's 'crs' member, if any)")
    p_map.add_argument("--ros-image", choices=("pgm", "png"),
                       help="image format of a ROS map (default pgm)")
    _add_engine_options(p_map)
    p_map.set_defaults(run=_cmd_map)

    p_eval = sub.add_parser(
        "eval", help="evaluate the field at points from a CSV file",
        description="Read x,y (and any further columns) per line, and write the same rows with the risk "
                    "added. The first line is a header when its first two fields are not numbers; lines "
                    "starting with '#' are comments.",
    )
    p_eval.add_argument("scene", nargs="?", help=scene_help)
    p_eval.add_argument("--points", required=True, help="CSV of x,y per line; '-' for standard input")
    p_eval.add_argument("--out", required=True,
                        help="CSV to write: the input's columns, then risk; '-' for standard output")
    p_eval.add_argument("--gradient", action="store_true",
                        help="add the columns drisk_dx,drisk_dy, the gradient of the risk")
    p_eval.add_argument("--nearest", action="store_true",
                        help="add the column obstacle: the index of the obstacle that gives the risk, "
                             "-1 where none reaches the cut-off")
    _add_engine_options(p_eval)
    p_eval.set_defaults(run=_cmd_eval)
    return parser


def _error(message: str) -> None:
    print(f"{PROG}: error: {message}", file=sys.stderr)


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line; return the exit status."""
    try:
        args = _build_parser().parse_args(argv)
        return int(args.run(args))
    except UsageError as exc:
        _error(one_line(exc))
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        # The reader of our stdout has gone; point stdout at nothing, so that
        # the interpreter's final flush does not fail a second time.
        with contextlib.suppress(OSError):
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        _error("stdout: cannot write: Broken pipe")
    except MemoryError:
        _error("out of memory; try a smaller --size or fewer points")
    except RecursionError:
        _error("input nested too deeply")
    except Exception as exc:  # the promise is one line and exit status 2, whatever happens
        _error(f"unexpected {type(exc).__name__}: {one_line(exc)}")
    return EXIT_BAD_INPUT


if __name__ == "__main__":
    sys.exit(main())
