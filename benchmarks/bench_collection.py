"""Time GeometryCollectionRGJ.gradient against a pure-Python class that makes
the same NumPy calls.

Two settings:

* 8 members x 10k points: the NumPy work dominates; the native type must not
  be slower.
* N=1 point, M=2 members: per-call overhead dominates; the native type should
  be well below the Python version.

Members are stand-ins that return precomputed arrays, so that both sides do
exactly the same member work and the difference is the collection's own.
A third line uses the package's real Point and Polygon members.

Each measurement is repeated; native and Python runs alternate so drift hits
both alike. Printed: median time per call with the interquartile range, and
the median ratio (python / native) with its interquartile range over the
paired repeats.

Run:  python benchmarks/bench_collection.py [--repeats 21]

Wall-clock times on a shared machine are noisy; instruction counts are not.
`--only native|python|floor --setting tiny|large --calls K` runs one side
alone, for example under valgrind:

    valgrind --tool=callgrind --callgrind-out-file=/dev/null \
        python benchmarks/bench_collection.py --only native --setting tiny --calls 1000

and the difference between two call counts gives instructions per call.
"""

from __future__ import annotations

import argparse
import gc
import statistics
import time
from collections.abc import Callable
from typing import Any

import numpy as np

import orin.field.geometry as geometry
from orin.field.geometry.base import MultiRGJGeometry
from orin.field.geometry.collection import GeometryCollectionRGJ


class Stand:
    """A member answering from precomputed arrays (copies, as a real one would allocate)."""

    def __init__(self, *, type: str, dist: Any, vec: Any, inv: Any, grad: Any, bbox: Any) -> None:  # noqa: A002
        self._dist = np.asarray(dist)
        self._vec = np.asarray(vec)
        self._inv = np.asarray(inv)
        self.grad_matrix = np.asarray(grad)
        self.bbox = np.asarray(bbox)

    def get_dist_matrix(self, scaled: Any = True, inverted: Any = True) -> Any:
        return self._inv

    def squared_dist(self, x: Any, scaled: Any = True, inverted: Any = True) -> Any:
        return self._dist.copy()

    def repulsion_vector(self, x: Any, min_dist_select: Any = True, **kwargs: Any) -> Any:
        return self._vec.copy()


class PyCollection(MultiRGJGeometry):
    """The collection's queries written in Python, with the same NumPy calls."""

    def __init__(self, members: list[Any]) -> None:
        self.rgjs = members
        self.inv_repulsions = np.array([m.get_dist_matrix(scaled=True, inverted=True) for m in members])
        self.grad_matrixes = np.array([m.grad_matrix for m in members])

    def squared_dist(self, x: Any, scaled: Any = True, inverted: Any = True, return_reference: Any = False,
                     **kwargs: Any) -> Any:
        dists = np.stack([m.squared_dist(x, scaled=scaled, inverted=inverted) for m in self.rgjs], axis=1)
        if return_reference:
            min_idxs = np.argmin(dists, axis=1)
            return dists[np.arange(dists.shape[0]), min_idxs], min_idxs
        return np.min(dists, axis=1)

    def repulsion_vector(self, x: Any, min_dist_select: Any = True, **kwargs: Any) -> Any:
        vectors = np.stack([m.repulsion_vector(x, min_dist_select=min_dist_select, **kwargs) for m in self.rgjs],
                           axis=0)
        if min_dist_select:
            vectors = vectors.swapaxes(0, 1)
            nvectors = np.einsum("ijk,lik->lij", self.inv_repulsions, vectors)
            dist = (vectors * nvectors).sum(-1)
            select = dist.argmin(1)
            vectors = vectors[np.arange(len(select)), select]
        return vectors.reshape(-1, 2)

    def gradient(self, x: Any, **kwargs: Any) -> Any:
        _, dist_idxs = self.squared_dist(x, return_reference=True, **kwargs)
        repulsion_vector = self.repulsion_vector(x, min_dist_select=True, **kwargs)
        f = -self.eval(x=x).reshape(-1, 1)
        return f * np.einsum("ijk,ik->ij", self.grad_matrixes[dist_idxs], repulsion_vector)


def bare_gradient(members: list[Any], inv_repulsions: Any, grad_matrixes: Any, x: Any) -> Any:
    """The member calls and NumPy calls of one gradient, straight-line: the
    floor that both collections pay, so that time above it is the
    collection's own per-call overhead."""
    m0, m1 = members
    dists = np.stack([m0.squared_dist(x, scaled=True, inverted=True),
                      m1.squared_dist(x, scaled=True, inverted=True)], axis=1)
    dist_idxs = np.argmin(dists, axis=1)
    dists[np.arange(dists.shape[0]), dist_idxs]
    vectors = np.stack([m0.repulsion_vector(x, min_dist_select=True), m1.repulsion_vector(x, min_dist_select=True)],
                       axis=0).swapaxes(0, 1)
    nvectors = np.einsum("ijk,lik->lij", inv_repulsions, vectors)
    select = (vectors * nvectors).sum(-1).argmin(1)
    v = vectors[np.arange(len(select)), select].reshape(-1, 2)
    d = np.min(np.stack([m0.squared_dist(x, scaled=True, inverted=True),
                         m1.squared_dist(x, scaled=True, inverted=True)], axis=1), axis=1)
    f = -np.exp(-d).reshape(-1, 1)
    return f * np.einsum("ijk,ik->ij", grad_matrixes[dist_idxs], v)


def stand_members(m: int, n: int, seed: int = 0) -> list[dict[str, Any]]:
    rng = np.random.default_rng(seed)
    out = []
    for _ in range(m):
        a = rng.normal(size=(2, 2))
        spd = a @ a.T + np.eye(2)
        out.append({"type": "Stand", "dist": rng.uniform(0, 10, n), "vec": rng.normal(size=(n, 2)),
                    "inv": np.linalg.inv(spd), "grad": 2 * np.linalg.inv(spd), "bbox": rng.uniform(0, 1, (2, 2))})
    return out


def per_call(fn: Callable[[], Any], calls: int) -> float:
    start = time.perf_counter()
    for _ in range(calls):
        fn()
    return (time.perf_counter() - start) / calls


def calibrate(fn: Callable[[], Any], target: float = 0.05) -> int:
    calls = 1
    while True:
        elapsed = per_call(fn, calls) * calls
        if elapsed >= target / 4:
            return max(1, int(calls * target / elapsed))
        calls *= 4


def quartiles(values: list[float]) -> tuple[float, float, float]:
    q = statistics.quantiles(values, n=4, method="inclusive")
    return q[0], statistics.median(values), q[2]


def us(values: list[float]) -> str:
    lo, med, hi = quartiles(values)
    return f"{med * 1e6:9.2f} us [{lo * 1e6:.2f}-{hi * 1e6:.2f}]"


def compare(label: str, native: Callable[[], Any], python: Callable[[], Any], repeats: int,
            floor: Callable[[], Any] | None = None) -> None:
    np.testing.assert_allclose(native(), python(), rtol=1e-15, atol=0)
    if floor is not None:
        np.testing.assert_allclose(floor(), python(), rtol=1e-15, atol=0)
    calls = calibrate(python)
    t_native, t_python, t_floor, ratios, over_native, over_python, over_ratios = [], [], [], [], [], [], []
    for _ in range(repeats):
        a = per_call(native, calls)
        b = per_call(python, calls)
        t_native.append(a)
        t_python.append(b)
        ratios.append(b / a)
        if floor is not None:
            f = per_call(floor, calls)
            t_floor.append(f)
            over_native.append(a - f)
            over_python.append(b - f)
    r_lo, r_med, r_hi = quartiles(ratios)
    print(f"{label}\n  native {us(t_native)}   python {us(t_python)}   "
          f"python/native {r_med:.2f}x [{r_lo:.2f}-{r_hi:.2f}]")
    if floor is not None:
        print(f"  bare NumPy + member calls {us(t_floor)}\n"
              f"  overhead above it: native {us(over_native)}   python {us(over_python)}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--repeats", type=int, default=21)
    parser.add_argument("--only", choices=["native", "python", "floor"])
    parser.add_argument("--setting", choices=["tiny", "large"], default="tiny")
    parser.add_argument("--calls", type=int, default=1000)
    args = parser.parse_args()
    geometry._RGJ_TYPES["Stand"] = Stand
    if args.only:
        m, n = (2, 1) if args.setting == "tiny" else (8, 10_000)
        dicts = stand_members(m, n)
        x = np.zeros((n, 2))
        native = GeometryCollectionRGJ(dicts)
        python = PyCollection([Stand(**d) for d in dicts])
        members = [Stand(**d) for d in dicts]
        run = {
            "native": lambda: native.gradient(x),
            "python": lambda: python.gradient(x),
            "floor": lambda: bare_gradient(members, native.inv_repulsions, native.grad_matrixes, x),
        }[args.only]
        if args.only == "floor" and m != 2:
            parser.error("the floor is written for the tiny setting")
        # Collector passes land at allocation-count boundaries and would add
        # a large, placement-dependent share to the counts.
        gc.disable()
        for _ in range(args.calls):
            run()
        return
    print(f"gradient, {args.repeats} paired repeats; median [interquartile range]")

    for label, m, n in [("8 members x 10k points", 8, 10_000), ("2 members x 1 point", 2, 1)]:
        dicts = stand_members(m, n)
        native = GeometryCollectionRGJ(dicts)
        python = PyCollection([Stand(**d) for d in dicts])
        x = np.zeros((n, 2))
        floor = None
        if m == 2:
            members = [Stand(**d) for d in dicts]
            floor = lambda: bare_gradient(members, native.inv_repulsions, native.grad_matrixes, x)  # noqa: E731
        compare(label, lambda: native.gradient(x), lambda: python.gradient(x), args.repeats, floor)

    real = [
        {"type": "Point", "coordinates": [6.0, 1.0], "repulsion": [[2.0, 0.5], [0.5, 1.0]]},
        {"type": "Polygon", "coordinates": [[[0, 0], [4, 0], [4, 4], [0, 4], [0, 0]],
                                            [[1, 1], [3, 1], [3, 3], [1, 3], [1, 1]]]},
    ]
    native = GeometryCollectionRGJ(real)
    python = PyCollection(native.rgjs)
    x = np.random.default_rng(1).uniform(-2, 8, (10_000, 2))
    compare("real Point+Polygon x 10k", lambda: native.gradient(x), lambda: python.gradient(x), args.repeats)


if __name__ == "__main__":
    main()
