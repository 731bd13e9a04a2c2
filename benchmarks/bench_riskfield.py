"""RiskField.eval on the bundled harbour against the plain max over obstacles.

Run:  python benchmarks/bench_riskfield.py [--points 1000000] [--repeats 5]

The reference is what a user writes without RiskField: every obstacle's own
eval over every point, then the maximum.  Both run on the same points in the
same process, alternating; the ratio is reference time / RiskField time, with
the middle half of the per-pair ratios as noise.  The two results are
compared first: equal to rounding wherever the field is at least RiskField's cut-off.
"""

from __future__ import annotations

import argparse
import statistics
import time

import numpy as np

from orin.field import RiskField, example_scene


def naive_max(field: RiskField, pts: np.ndarray) -> np.ndarray:
    return np.max([np.asarray(ob.eval(pts)) for ob in field.obstacles], axis=0)


def timed(fn) -> float:
    t0 = time.perf_counter()
    fn()
    return time.perf_counter() - t0


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--points", type=int, default=1_000_000)
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--seed", type=int, default=7)
    args = parser.parse_args(argv)

    field = RiskField(example_scene())
    (xmin, ymin), (xmax, ymax) = field.bbox
    rng = np.random.default_rng(args.seed)
    pts = np.column_stack([rng.uniform(xmin, xmax, args.points), rng.uniform(ymin, ymax, args.points)])

    got, want = field.eval(pts), naive_max(field, pts)
    sure = want >= field.cutoff
    # Point obstacles go through the fused kernel (libm exp) rather than
    # their own eval (NumPy's exp), so values may differ in the last bit.
    np.testing.assert_allclose(got[sure], want[sure], rtol=1e-14, atol=0)
    assert np.all((got[~sure] >= 0) & (got[~sure] <= want[~sure] * (1 + 1e-14)))

    fast, slow = [], []
    for _ in range(args.repeats):
        fast.append(timed(lambda: field.eval(pts)))
        slow.append(timed(lambda: naive_max(field, pts)))
    ratios = sorted(s / f for s, f in zip(slow, fast))
    q = statistics.quantiles(ratios, n=4) if len(ratios) >= 2 else [ratios[0]] * 3
    print(f"RiskField.eval, harbour scene ({len(field.obstacles)} obstacles), {args.points} points")
    print(f"  RiskField.eval            {statistics.median(fast) * 1e3:8.1f} ms "
          f"({args.points / statistics.median(fast) / 1e6:.2f} M points/s)")
    print(f"  max of obstacle.eval      {statistics.median(slow) * 1e3:8.1f} ms")
    print(f"  ratio {statistics.median(ratios):.1f}x (noise {q[0]:.1f}-{q[2]:.1f}x)")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
