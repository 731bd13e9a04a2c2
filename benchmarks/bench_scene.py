"""The compiled scene: flat cost in the scene's size, and ratios against the
chunked algorithm, shapely 2 and one thread.

Run:  python benchmarks/bench_scene.py [--repeats 5] [--quick]

Every comparison runs both sides on the same data in the same process,
alternating, and checks their results against each other before timing.
Ratios are per pair of runs; the table gives the median and, as noise, the
middle half of the pair ratios.
"""

from __future__ import annotations

import argparse
import math
import statistics
import sys
import time
from pathlib import Path
from typing import Callable

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))

from chunked_reference import ChunkedRiskField  # noqa: E402
from city import city, smooth_outline  # noqa: E402

from orin.field import RiskField, example_scene  # noqa: E402
from orin.field.geometry import Polygon  # noqa: E402


def timed(fn: Callable[[], object]) -> float:
    t0 = time.perf_counter()
    fn()
    return time.perf_counter() - t0


def pairs(a: Callable[[], object], b: Callable[[], object], repeats: int) -> tuple[list[float], list[float]]:
    ta, tb = [], []
    for _ in range(repeats):
        ta.append(timed(a))
        tb.append(timed(b))
    return ta, tb


def spread(ratios: list[float]) -> str:
    q = statistics.quantiles(ratios, n=4) if len(ratios) >= 2 else [ratios[0]] * 3
    return f"{statistics.median(ratios):.1f}x [{q[0]:.1f}-{q[2]:.1f}]"


def ms(times: list[float]) -> str:
    return f"{statistics.median(times) * 1e3:.1f} ms"


def shapely_peer(obstacles: list[Polygon], cutoff: float):
    """What a user writes with shapely 2 for the metric field: an STRtree over
    influence boxes, every obstacle mapped into its own metric once, then per
    query the candidate pairs, vectorised shapely.distance, and the maximum."""
    import shapely

    boxes, mapped, maps = [], [], []
    for o in obstacles:
        m = np.asarray(o.inv_repulsion)
        lt = np.linalg.cholesky(m).T
        lam = np.linalg.eigvalsh(0.5 * (m + m.T))[0]
        r = math.sqrt(-math.log(cutoff) / lam)
        (x0, y0), (x1, y1) = o.bbox
        boxes.append(shapely.box(x0 - r, y0 - r, x1 + r, y1 + r))
        geom = shapely.geometry.shape(o.toRGeoJSON()["geometry"])
        mapped.append(shapely.transform(geom, lambda xy, lt=lt: xy @ lt.T))
        maps.append(lt)
    tree = shapely.STRtree(boxes)
    mapped_arr = np.array(mapped, dtype=object)
    maps_arr = np.array(maps)

    def field(pts: np.ndarray) -> np.ndarray:
        point_idx, obstacle_idx = tree.query(shapely.points(pts), predicate="intersects")
        q = np.einsum("nij,nj->ni", maps_arr[obstacle_idx], pts[point_idx])
        d = shapely.distance(mapped_arr[obstacle_idx], shapely.points(q))
        out = np.zeros(len(pts))
        np.maximum.at(out, point_idx, np.exp(-(d**2)))
        return out

    return field


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--quick", action="store_true", help="smaller cities, for a smoke run")
    args = parser.parse_args(argv)
    rep = args.repeats
    shape = (400, 400)
    rows = []

    # 1. Flat cost: the same density, 100x the buildings, the same 400 x 400
    # points.  Two readings: a fixed 0.3 km^2 window in the middle of each
    # city (the same sample spacing), and the whole city (the spacing grows
    # with the city's side, so each sample meets obstacles of its own).
    sizes = [300, 3000] if args.quick else [300, 3000, 30000]
    cities = {}
    for n in sizes:
        buildings, bounds = city(n, seed=n)
        field = RiskField(buildings)
        mid, half = bounds[2] / 2, math.sqrt(300 / 1000.0) * 500.0
        win = (mid - half, mid - half, mid + half, mid + half)
        field.grid(bounds, shape)
        field.grid(win, shape)
        cities[n] = (field, bounds, win)
    # The cities take turns within each repeat, so that a spell of noise on
    # the shared host falls on all of them rather than on one city's ratio.
    whole = {n: [] for n in sizes}
    window = {n: [] for n in sizes}
    for _ in range(rep):
        for n in sizes:
            field, bounds, win = cities[n]
            whole[n].append(timed(lambda: field.grid(bounds, shape)))
            window[n].append(timed(lambda: field.grid(win, shape)))
    for n in sizes:
        field = cities[n][0]
        rows.append((f"grid {shape[0]}x{shape[1]}, city of {n} buildings: whole city / 0.3 km2 window",
                     f"{ms(whole[n])} / {ms(window[n])}",
                     f"{shape[0] * shape[1] / statistics.median(window[n]) / 1e6:.1f} M points/s in window",
                     f"index {field.index_nbytes / 2**20:.1f} MiB"))
    big, small = sizes[-1], sizes[0]
    growth = [a / b for a, b in zip(window[big], window[small])]
    rows.append((f"flat cost, window: {big} vs {small} buildings", "", spread(growth) + " time", "goal <= 1.5x"))
    growth = [a / b for a, b in zip(whole[big], whole[small])]
    rows.append((f"flat cost, whole city: {big} vs {small} buildings", "", spread(growth) + " time", ""))

    # 2. Against the chunked algorithm, on the 3,000-building city and the harbour.
    field3k, bounds3k, _ = cities[3000]
    chunked = ChunkedRiskField(field3k.obstacles)
    want = chunked.grid(bounds3k, shape)
    got = field3k.grid(bounds3k, shape)
    sure = want >= field3k.cutoff
    np.testing.assert_allclose(got[sure], want[sure], rtol=1e-13)
    slow, fast = pairs(lambda: chunked.grid(bounds3k, shape), lambda: field3k.grid(bounds3k, shape), max(2, rep // 2))
    rows.append(("3,000-building city vs chunked algorithm", ms(fast), ms(slow),
                 spread([s / f for s, f in zip(slow, fast)]) + " (goal 50x)"))

    harbour = RiskField(example_scene())
    chunked_h = ChunkedRiskField(example_scene())
    (xmin, ymin), (xmax, ymax) = harbour.bbox
    rng = np.random.default_rng(7)
    pts = np.column_stack([rng.uniform(xmin, xmax, 1_000_000), rng.uniform(ymin, ymax, 1_000_000)])
    want = chunked_h.eval(pts)
    got = harbour.eval(pts)
    sure = want >= harbour.cutoff
    np.testing.assert_allclose(got[sure], want[sure], rtol=1e-13)
    slow, fast = pairs(lambda: chunked_h.eval(pts), lambda: harbour.eval(pts), rep)
    rows.append(("harbour, 1M points vs chunked algorithm", ms(fast), ms(slow),
                 spread([s / f for s, f in zip(slow, fast)]) + " (goal 10x)"))

    # 3. Against shapely 2, metric projection, 3,000 buildings in 1 km^2.
    dense, dense_bounds = city(3000, per_km2=3000.0, seed=11)
    metric = RiskField(dense, projection="metric")
    peer = shapely_peer(dense, metric.cutoff)
    rng = np.random.default_rng(3)
    qpts = rng.uniform(dense_bounds[0], dense_bounds[2], (100_000, 2))
    want = peer(qpts)
    got = metric.eval(qpts)
    sure = want >= 1e-9
    np.testing.assert_allclose(got[sure], want[sure], rtol=1e-8)
    slow, fast = pairs(lambda: peer(qpts), lambda: metric.eval(qpts), max(2, rep // 2))
    rows.append(("dense city, metric, 100k points vs shapely STRtree peer", ms(fast), ms(slow),
                 spread([s / f for s, f in zip(slow, fast)]) + " (goal 50x)"))

    # 4. Threads.  A call takes a few milliseconds, so a handful of pairs
    # fits in a tenth of a second: within one spell of load on the shared
    # host's second core.  Right after the single-threaded sections above,
    # two-thread calls have read 1.0-1.6x for a tenth of a second or more,
    # and 1.9x after.  Both sides warm up for half a second, then the
    # comparison takes ten times the repeats.
    one = RiskField(field3k.obstacles, threads=1)
    two = RiskField(field3k.obstacles, threads=2)
    np.testing.assert_array_equal(one.grid(bounds3k, shape), two.grid(bounds3k, shape))
    start = time.perf_counter()
    while time.perf_counter() - start < 0.5:
        pairs(lambda: one.grid(bounds3k, shape), lambda: two.grid(bounds3k, shape), 1)
    t1, t2 = pairs(lambda: one.grid(bounds3k, shape), lambda: two.grid(bounds3k, shape), 10 * rep)
    rows.append(("3,000-building city, 2 threads vs 1", ms(t2), ms(t1), spread([a / b for a, b in zip(t1, t2)]) + " (goal 1.7x)"))

    # 5. A smooth polygon of 1,000,000 vertices against one of 1,000.
    rng = np.random.default_rng(5)
    ppts = rng.uniform(0.0, 1.0, (200_000, 2))
    small, large = (RiskField([Polygon(coordinates=[smooth_outline(n)], repulsion=[[1e-4, 0.0], [0.0, 4e-4]])])
                    for n in (1000, 1_000_000))
    for f in (small, large):
        f.eval(ppts)
    slow, fast = pairs(lambda: large.eval(ppts), lambda: small.eval(ppts), rep)
    rows.append(("smooth polygon, 1M vs 1k vertices, 200k points",
                 f"{statistics.median(slow) / len(ppts) * 1e9:.0f} ns/point",
                 f"{statistics.median(fast) / len(ppts) * 1e9:.0f} ns/point",
                 spread([s / f for s, f in zip(slow, fast)])
                 + f" (goal <= 10x); index {large.index_nbytes / 2**20:.0f} MiB"))

    width = max(len(r[0]) for r in rows)
    for r in rows:
        print(f"{r[0]:<{width}}  {r[1]:>14}  {r[2]:>22}  {r[3]}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
