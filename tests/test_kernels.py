"""Tests of orin.field.kernels: the array kernels, argument rules and lock use.

Each kernel is checked against an independent NumPy/Python version of its
rule.  Quadtree walks have their own file; this one holds what all five
kernels share (module attributes, calling convention, the interpreter lock).
"""

from __future__ import annotations

import contextlib
import inspect
import math
import os
import subprocess
import sys
import threading
import time
import typing
from typing import Any, Callable

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

from orin.field import kernels

NAN = float("nan")
INF = float("inf")
EPS = np.finfo(np.float64).eps

# ---------------------------------------------------------------------------
# Independent references.


def ref_in_ring(px: np.ndarray, py: np.ndarray, ring: np.ndarray) -> np.ndarray:
    """Even-odd ray casting, edge by edge, vectorised over the points."""
    inside = np.zeros(px.shape, dtype=bool)
    n = len(ring)
    if n < 3:
        return inside
    with np.errstate(all="ignore"):
        j = n - 1
        for i in range(n):
            xi, yi = ring[i, 0], ring[i, 1]
            xj, yj = ring[j, 0], ring[j, 1]
            straddles = (yi > py) != (yj > py)
            # Same operation order as the rule: product, quotient, sum.
            crossing_x = (xj - xi) * (py - yi) / (yj - yi) + xi
            inside ^= straddles & (px < crossing_x)
            j = i
    return inside


def ref_point_in_rings(pts: np.ndarray, outer: np.ndarray, holes: list[Any]) -> np.ndarray:
    px, py = pts[:, 0], pts[:, 1]
    result = ref_in_ring(px, py, outer)
    for h in holes:
        result &= ~ref_in_ring(px, py, np.asarray(h, dtype=np.float64))
    return result.astype(np.uint8)


def ref_segments(x, p1, v, vdv, metric):
    """Returns (vectors, candidates dx, candidates dy, candidates d2, best d2)."""
    n, s = len(x), len(p1)
    xi, yi = x[:, 0], x[:, 1]
    best = np.full(n, INF)
    bdx = np.zeros(n)
    bdy = np.zeros(n)
    cdx = np.zeros((s, n))
    cdy = np.zeros((s, n))
    cd2 = np.zeros((s, n))
    if s:
        m00, m01, m10, m11 = metric[0, 0], metric[0, 1], metric[1, 0], metric[1, 1]
    with np.errstate(all="ignore"):
        for j in range(s):
            wx = xi - p1[j, 0]
            wy = yi - p1[j, 1]
            t = (wx * v[j, 0] + wy * v[j, 1]) / vdv[j]
            t = np.where(t < 0, 0.0, np.where(t > 1, 1.0, t))  # NaN passes through
            dx = xi - (p1[j, 0] + v[j, 0] * t)
            dy = yi - (p1[j, 1] + v[j, 1] * t)
            d2 = dx * (m00 * dx + m01 * dy) + dy * (m10 * dx + m11 * dy)
            better = d2 < best
            best = np.where(better, d2, best)
            bdx = np.where(better, dx, bdx)
            bdy = np.where(better, dy, bdy)
            cdx[j], cdy[j], cd2[j] = dx, dy, d2
    return np.stack([bdx, bdy], axis=1), cdx, cdy, cd2, best


def ref_obstacles(x, centers, inv):
    """max_k exp(-d2_k) as exp(-min_k d2_k) with libm's exp (math.exp)."""
    n, k = len(x), len(centers)
    out = np.zeros(n)
    if k == 0:
        return out, np.zeros(n)
    with np.errstate(all="ignore"):
        dx = x[:, 0, None] - centers[None, :, 0]
        dy = x[:, 1, None] - centers[None, :, 1]
        m = inv[:k]
        d2 = dx * (m[:, 0, 0] * dx + m[:, 0, 1] * dy) + dy * (m[:, 1, 0] * dx + m[:, 1, 1] * dy)
        size = np.abs(dx) * (np.abs(m[:, 0, 0] * dx) + np.abs(m[:, 0, 1] * dy)) + np.abs(dy) * (
            np.abs(m[:, 1, 0] * dx) + np.abs(m[:, 1, 1] * dy)
        )
        dmin = np.fmin.reduce(d2, axis=1)  # NaN only where every d2 is NaN
        size = np.fmax.reduce(np.where(np.isfinite(size), size, 0.0), axis=1)
    for i, d in enumerate(dmin):
        if math.isnan(d):
            continue
        try:
            val = math.exp(-d)
        except OverflowError:
            val = INF
        out[i] = val if val > 0.0 else 0.0
    return out, size


def assert_float_close(got: np.ndarray, want: np.ndarray, abs_tol: np.ndarray | float) -> None:
    """Equal up to `abs_tol` (plus an ulp), with NaN and infinities matching exactly."""
    got = np.asarray(got)
    want = np.asarray(want)
    assert got.shape == want.shape
    same_nan = np.isnan(got) == np.isnan(want)
    assert same_nan.all(), (got, want)
    finite = np.isfinite(want)
    assert (got[~finite & ~np.isnan(want)] == want[~finite & ~np.isnan(want)]).all(), (got, want)
    tol = np.broadcast_to(abs_tol, want.shape) + np.spacing(np.abs(np.where(finite, want, 0.0)))
    with np.errstate(invalid="ignore"):
        diff = np.abs(np.where(finite, got - want, 0.0))
    assert (diff <= tol).all(), (got, want, diff, tol)


def check_segment_result(got, x, p1, v, vdv, metric) -> None:
    want, cdx, cdy, cd2, best = ref_segments(x, p1, v, vdv, metric)
    assert got.shape == want.shape and got.dtype == np.float64
    with np.errstate(all="ignore"):
        scale = np.abs(x[:, :2]).max(axis=1, initial=0.0)
        ends = np.abs(np.concatenate([p1[:, :2].ravel(), v[:, :2].ravel()]))
        scale = scale + 2 * ends[np.isfinite(ends)].max(initial=0.0)
        scale = np.where(np.isfinite(scale), scale, 0.0)
    tol = 16 * EPS * scale
    for i in range(len(x)):
        with np.errstate(invalid="ignore"):
            row_ok = np.all(
                (got[i] == want[i])
                | (np.isnan(got[i]) & np.isnan(want[i]))
                | (np.abs(got[i] - want[i]) <= tol[i])
            )
        if row_ok:
            continue
        # Fused multiply-add may break a near-tie the other way; the kernel's
        # row must then be another segment's candidate that is just as close.
        slack = 1e-12 * abs(best[i]) + 1e-300
        near = [
            j
            for j in range(len(p1))
            if cd2[j, i] <= best[i] + slack
            and abs(cdx[j, i] - got[i, 0]) <= tol[i]
            and abs(cdy[j, i] - got[i, 1]) <= tol[i]
        ]
        assert near, (i, got[i], want[i])


def check_obstacle_result(got, x, centers, inv) -> None:
    want, size = ref_obstacles(x, centers, inv)
    assert got.dtype == np.float64 and got.shape == want.shape
    # exp(-d2) carries d2's rounding as a relative error: |Δd2| <= few eps * size.
    assert_float_close(got, want, np.where(np.isfinite(want), want, 0.0) * 16 * EPS * size)


# ---------------------------------------------------------------------------
# Strategies.

special = st.sampled_from([NAN, INF, -INF, 0.0, -0.0])
grid = st.sampled_from([-2.0, -1.0, -0.5, 0.0, 0.5, 1.0, 1.5, 2.0])
smooth = st.floats(-4, 4, allow_nan=False, width=64)
coord = st.one_of(grid, grid, smooth, special)
finite_coord = st.one_of(grid, smooth)


def point_arrays(min_rows=0, max_rows=12, elements=coord, cols=2):
    return st.integers(min_rows, max_rows).flatmap(
        lambda n: hnp.arrays(np.float64, (n, cols), elements=elements)
    )


# ---------------------------------------------------------------------------
# Module level.

DOCS = {
    "segment_repulsion_vectors": [
        "For every point in `x`, find the closest point (in the metric induced by",
        "`metric`) among the projections onto every segment [p1, p1+v], and return",
        "the repulsion vector (x - closest_point).",
        "",
        "Used by LineString / Polygon / MultiPolygon boundary-segment repulsion.",
        "",
        "x:       (N, 2)",
        "p1, v:   (S, 2) segment origins / direction vectors",
        "v_dot_v: (S,) precomputed dot(v, v) per segment (denominator, >0)",
        "metric:  (2, 2) anisotropic distance matrix",
        "",
        "Returns: (N, 2) repulsion vectors",
    ],
    "point_in_rings": [
        "Ray-casting point-in-polygon test with hole support.",
        "",
        "pts:   (N, 2) query points",
        "outer: (R, 2) outer ring (closed, last point == first point)",
        "holes: list of (H_k, 2) closed ring arrays (interior holes)",
        "",
        "Returns: (N,) uint8 array, 1 if inside outer ring and outside all holes.",
    ],
    "point_obstacles_eval_max": [
        "Fused kernel for RiskField.eval() over many Point-type obstacles: for",
        "each query point, compute max_k exp(-((x-c_k)^T M_k (x-c_k))) without",
        "materializing an (N, K) intermediate array in Python.",
        "",
        "x:               (N, 2) query points",
        "centers:         (K, 2) obstacle coordinates",
        "inv_repulsions:  (K, 2, 2) per-obstacle anisotropic repulsion metric",
        "",
        "Returns: (N,) risk values in [0, 1]",
    ],
    "quadtree_find_leaf": [
        "For every point, walk the flattened tree from the root (node 0) and",
        "return the node index of the leaf reached, or -1 if the walk falls off",
        "a missing branch (mirrors the old recursion returning None).",
    ],
    "quadtree_find_chain": [
        "Same walk as quadtree_find_leaf, but records every node index visited",
        "(root -> ... -> terminal). Terminal entry is -1 if the walk fell off a",
        "missing branch, matching the old recursion's `None` chain entry.",
        "",
        "Returns (chain, length):",
        "  chain:  (N, max_cols) int32, only chain[i, :length[i]] is meaningful.",
        "  length: (N,) int32",
    ],
}

PARAMS = {
    "segment_repulsion_vectors": ["x", "p1", "v", "v_dot_v", "metric"],
    "point_in_rings": ["pts", "outer", "holes"],
    "point_obstacles_eval_max": ["x", "centers", "inv_repulsions"],
    "quadtree_find_leaf": [
        "pts", "cx", "cy", "is_leaf", "child_tl", "child_tr", "child_bl", "child_br", "max_depth",
    ],
    "quadtree_find_chain": [
        "pts", "cx", "cy", "is_leaf", "child_tl", "child_tr", "child_bl", "child_br",
        "max_depth", "max_cols",
    ],
}


def test_module_attributes_and_order():
    assert kernels.Tuple is typing.Tuple
    assert kernels.np is np
    names = [n for n in vars(kernels) if n in PARAMS]
    assert names == list(PARAMS)
    doc = kernels.__doc__
    assert doc and "GeoJSON" in doc and "Rectangle" in doc and "Ellipse" in doc


def test_second_module_object_is_refused_even_after_the_first_is_gone():
    """One module object per process: a re-import after the first module was
    dropped and collected must fail, never hand back an uninitialised module."""
    script = """
import gc, sys
import orin.field, orin.field.kernels
outcomes = set()
for _ in range(30):
    sys.modules.pop("orin.field.kernels", None)
    orin.field.__dict__.pop("kernels", None)
    gc.collect()
    try:
        import orin.field.kernels as k
        outcomes.add("imported, has np: %s" % hasattr(k, "np"))
    except RuntimeError:
        outcomes.add("RuntimeError")
print(sorted(outcomes))
"""
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "['RuntimeError']"


SUBINTERPRETER_SCRIPT = r'''
import os, sys
try:
    import _interpreters as interpreters
except ImportError:
    import _xxsubinterpreters as interpreters
import orin.field.kernels
path = orin.field.kernels.__file__
read_end, write_end = os.pipe()
# The extension is loaded from its file, so neither the package nor NumPy can
# be the one to refuse the second interpreter.
code = f"""
import importlib.util, os
found = importlib.util.spec_from_file_location("orin.field.kernels", {path!r})
try:
    found.loader.exec_module(importlib.util.module_from_spec(found))
    outcome = "imported"
except ImportError:
    outcome = "ImportError"
except BaseException as e:
    outcome = type(e).__name__
os.write({write_end}, outcome.encode())
"""
interps = [interpreters.create()]
if sys.version_info >= (3, 13):
    interps.append(interpreters.create("legacy"))
elif sys.version_info >= (3, 12):
    interps.append(interpreters.create(isolated=False))
outcomes = []
for interp in interps:
    interpreters.run_string(interp, code)
    outcomes.append(os.read(read_end, 100).decode())
    interpreters.destroy(interp)
print(sorted(set(outcomes)))
'''


def test_second_interpreter_gets_import_error():
    out = subprocess.run([sys.executable, "-c", SUBINTERPRETER_SCRIPT], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "['ImportError']", out.stdout


NUMPY_API_MISSING = r"""
import sys, types
import numpy
# NumPy itself imports; its C-API table cannot be had.
sys.modules["numpy._core._multiarray_umath"] = types.ModuleType("numpy._core._multiarray_umath")
try:
    import orin.field.kernels
except ImportError as exc:
    cause = exc.__cause__
    print(str(exc), type(cause).__name__, "_ARRAY_API" in str(cause), sep="|")
"""


def test_numpy_api_failure_keeps_numpys_reason_as_the_cause():
    out = subprocess.run([sys.executable, "-c", NUMPY_API_MISSING], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "numpy._core.multiarray failed to import|AttributeError|True", out.stdout
    assert "Traceback" not in out.stderr  # the reason is raised, not printed


def test_reload_keeps_the_module_working():
    import importlib

    same = importlib.reload(kernels)
    assert same is kernels and kernels.np is np
    assert kernels.point_in_rings(np.array([[0.5, 0.5]]), np.array(SQUARE, float), []).tolist() == [1]


@pytest.mark.parametrize("name", list(PARAMS))
def test_docstring_and_annotations(name):
    fn = getattr(kernels, name)
    body = "\n".join("    " + line if line else "" for line in DOCS[name])
    assert fn.__doc__ == "\n" + body + "\n    "
    ret = "Tuple[cnp.ndarray, cnp.ndarray]" if name == "quadtree_find_chain" else "cnp.ndarray"
    assert fn.__annotations__ == {"return": ret}


@pytest.mark.parametrize("name", list(PARAMS))
def test_signature_if_published(name):
    fn = getattr(kernels, name)
    try:
        sig = inspect.signature(fn)
    except (ValueError, TypeError):
        pytest.skip("no introspectable signature")
    assert list(sig.parameters) == PARAMS[name]
    for p in sig.parameters.values():
        assert p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
        assert p.default is inspect.Parameter.empty


# ---------------------------------------------------------------------------
# A valid call for every kernel, used by the generic tests below.


def tree_args():
    # Root splits at (0, 0); its four children are leaves 1..4.
    cx = np.array([0.0, 0, 0, 0, 0])
    cy = np.array([0.0, 0, 0, 0, 0])
    leaf = np.array([0, 1, 1, 1, 1], dtype=np.uint8)
    tl, tr, bl, br = (np.array([c, -1, -1, -1, -1], dtype=np.int32) for c in (1, 2, 3, 4))
    return dict(cx=cx, cy=cy, is_leaf=leaf, child_tl=tl, child_tr=tr, child_bl=bl, child_br=br)


def valid_args(name: str, rng: np.random.Generator, n: int = 9) -> dict[str, Any]:
    pts = rng.uniform(-2, 2, (n, 2))
    if name == "point_in_rings":
        outer = np.array([[-1.5, -1.5], [1.5, -1.2], [1.4, 1.6], [-1.3, 1.1], [-1.5, -1.5]])
        return dict(pts=pts, outer=outer, holes=[[[0, 0], [1, 0], [1, 1], [0, 1]]])
    if name == "segment_repulsion_vectors":
        p1 = rng.uniform(-2, 2, (4, 2))
        v = rng.uniform(-1, 1, (4, 2))
        return dict(x=pts, p1=p1, v=v, v_dot_v=(v * v).sum(1), metric=np.array([[2.0, 0.3], [0.1, 1.0]]))
    if name == "point_obstacles_eval_max":
        centers = rng.uniform(-2, 2, (4, 2))
        inv = np.array([[[1.0, 0.2], [0.0, 2.0]]]) * rng.uniform(0.5, 2, (4, 1, 1))
        return dict(x=pts, centers=centers, inv_repulsions=inv)
    args = dict(pts=pts, **tree_args(), max_depth=3)
    if name == "quadtree_find_chain":
        args["max_cols"] = 4
    return args


# (parameter, element dtype, ndim) of every array parameter.
ARRAY_PARAMS = [
    ("segment_repulsion_vectors", "x", np.float64, 2),
    ("segment_repulsion_vectors", "p1", np.float64, 2),
    ("segment_repulsion_vectors", "v", np.float64, 2),
    ("segment_repulsion_vectors", "v_dot_v", np.float64, 1),
    ("segment_repulsion_vectors", "metric", np.float64, 2),
    ("point_in_rings", "pts", np.float64, 2),
    ("point_in_rings", "outer", np.float64, 2),
    ("point_obstacles_eval_max", "x", np.float64, 2),
    ("point_obstacles_eval_max", "centers", np.float64, 2),
    ("point_obstacles_eval_max", "inv_repulsions", np.float64, 3),
    ("quadtree_find_leaf", "pts", np.float64, 2),
    ("quadtree_find_leaf", "cx", np.float64, 1),
    ("quadtree_find_leaf", "cy", np.float64, 1),
    ("quadtree_find_leaf", "is_leaf", np.uint8, 1),
    ("quadtree_find_leaf", "child_tl", np.int32, 1),
    ("quadtree_find_leaf", "child_br", np.int32, 1),
    ("quadtree_find_chain", "pts", np.float64, 2),
    ("quadtree_find_chain", "child_bl", np.int32, 1),
]


def call(name: str, args: dict[str, Any]):
    return getattr(kernels, name)(**args)


def results_equal(a, b) -> bool:
    if isinstance(a, tuple):
        return len(a) == len(b) and all(results_equal(x, y) for x, y in zip(a, b))
    return a.dtype == b.dtype and a.shape == b.shape and np.array_equal(a, b, equal_nan=True)


def _layouts():
    """Each returns (unusual layout, contiguous array with the same values)."""

    def fortran(a):
        return np.asfortranarray(a), a

    def every_second(a):
        big = np.repeat(a, 2, axis=0)
        return big[::2], a

    def inner_strided(a):
        # Elements spaced out in the last axis too.
        big = np.zeros(a.shape[:-1] + (a.shape[-1] * 3,), a.dtype)
        big[..., ::3] = a
        return big[..., ::3], a

    def reversed_(a):
        r = np.ascontiguousarray(a[::-1])
        return r[::-1], a

    def zero_stride(a):
        b = np.broadcast_to(a[:1], a.shape)
        return b, b.copy()

    def read_only(a):
        c = a.copy()
        c.setflags(write=False)
        return c, a

    def memview(a):
        return memoryview(np.repeat(a, 2, axis=0)[::2]), a

    def bytes_cast(a):
        fmt = {np.dtype(np.float64): "d", np.dtype(np.int32): "i", np.dtype(np.uint8): "B"}[a.dtype]
        return memoryview(a.tobytes()).cast(fmt, a.shape), a

    return [fortran, every_second, inner_strided, reversed_, zero_stride, read_only, memview, bytes_cast]


LAYOUTS = _layouts()


@pytest.mark.parametrize("layout", LAYOUTS, ids=lambda f: f.__name__)
@pytest.mark.parametrize("name,param,dtype,ndim", ARRAY_PARAMS)
def test_any_layout_reads_the_same_values(name, param, dtype, ndim, layout):
    args = valid_args(name, np.random.default_rng(7))
    unusual, plain = layout(np.asarray(args[param]))
    got = call(name, {**args, param: unusual})
    want = call(name, {**args, param: np.ascontiguousarray(plain)})
    assert results_equal(got, want)


@pytest.mark.parametrize("name", ["segment_repulsion_vectors", "point_in_rings", "point_obstacles_eval_max"])
def test_extra_point_columns_are_ignored(name):
    args = valid_args(name, np.random.default_rng(3))
    key = "x" if "x" in args else "pts"
    wide = np.concatenate([args[key], np.full((len(args[key]), 2), NAN)], axis=1)
    assert results_equal(call(name, {**args, key: wide}), call(name, args))


def _bad_arrays(dtype, ndim):
    good = np.zeros((3,) * ndim, dtype)
    wrong_dtypes = {
        np.float64: [np.float32, np.int64, np.complex128, object, np.float16],
        np.int32: [np.int64, np.uint32, np.int16, np.float64, np.float32],
        np.uint8: [np.int8, np.int32, np.float64],
    }[dtype]
    yield "list", good.tolist(), TypeError
    yield "tuple", tuple(good.tolist()), TypeError
    yield "float", 1.5, TypeError
    yield "str", "abc", TypeError
    for wd in wrong_dtypes:
        yield f"dtype-{np.dtype(wd).name}", good.astype(wd), ValueError
    yield "byteswapped", good.astype(np.dtype(dtype).newbyteorder()), ValueError
    yield "fewer-dims", np.zeros((3,) * (ndim - 1), dtype), ValueError
    yield "more-dims", np.zeros((3,) * (ndim + 1), dtype), ValueError
    yield "structured", np.zeros((3,) * ndim, [("a", dtype)]), ValueError


BAD_CASES = [
    pytest.param(name, param, bad, exc, id=f"{name}-{param}-{label}")
    for name, param, dtype, ndim in ARRAY_PARAMS
    for label, bad, exc in _bad_arrays(dtype, ndim)
    # A one-byte type has no byte order to get wrong.
    if not (dtype is np.uint8 and label == "byteswapped")
]


@pytest.mark.parametrize("name,param,bad,exc", BAD_CASES)
def test_bad_array_argument_is_rejected(name, param, bad, exc):
    args = valid_args(name, np.random.default_rng(0))
    with pytest.raises(exc):
        call(name, {**args, param: bad})


@pytest.mark.parametrize("name", list(PARAMS))
def test_first_bad_argument_decides(name):
    """Arguments are converted in order: a TypeError one before a ValueError one wins, and vice versa."""
    params = [p for p in PARAMS[name] if p not in ("holes", "max_depth", "max_cols")]
    args = valid_args(name, np.random.default_rng(0))
    for a, b in zip(params, params[1:]):
        with pytest.raises(TypeError):
            call(name, {**args, a: [[1.0]], b: np.zeros((2, 2, 2, 2), np.float32)})
        with pytest.raises(ValueError):
            call(name, {**args, a: np.zeros((2, 2, 2, 2), np.float32), b: [[1.0]]})


@pytest.mark.parametrize("name", list(PARAMS))
def test_calling_convention(name):
    fn = getattr(kernels, name)
    args = valid_args(name, np.random.default_rng(1))
    names = PARAMS[name]
    positional = [args[p] for p in names]
    want = fn(*positional)
    assert results_equal(fn(**args), want)
    half = len(names) // 2
    assert results_equal(fn(*positional[:half], **{p: args[p] for p in names[half:]}), want)
    with pytest.raises(TypeError):
        fn()
    with pytest.raises(TypeError):
        fn(*positional[:-1])
    with pytest.raises(TypeError):
        fn(*positional, positional[-1])
    with pytest.raises(TypeError):
        fn(*positional[:-1], **{names[-1] + "_": positional[-1]})
    with pytest.raises(TypeError):
        fn(*positional, **{names[0]: positional[0]})
    with pytest.raises(TypeError):
        fn(*positional[:-1], **{names[-1]: positional[-1], names[0]: positional[0]})
    with pytest.raises(TypeError):
        fn(*positional, bogus=1)


@pytest.mark.parametrize("name", list(PARAMS))
def test_results_are_fresh_c_contiguous_arrays(name):
    args = valid_args(name, np.random.default_rng(2))
    before = {k: v.copy() for k, v in args.items() if isinstance(v, np.ndarray)}
    r1 = call(name, args)
    r2 = call(name, args)
    for a, b in zip(r1 if isinstance(r1, tuple) else (r1,), r2 if isinstance(r2, tuple) else (r2,)):
        assert type(a) is np.ndarray
        assert a.flags.c_contiguous and a.flags.writeable and a.flags.owndata
        assert not np.shares_memory(a, b)
        for v in args.values():
            if isinstance(v, np.ndarray):
                assert not np.shares_memory(a, v)
    for k, v in before.items():
        assert np.array_equal(args[k], v)


@pytest.mark.parametrize("name", list(PARAMS))
@pytest.mark.parametrize("empty", ["none", "zero-rows"])
def test_no_query_points(name, empty):
    args = valid_args(name, np.random.default_rng(2))
    key = "x" if "x" in args else "pts"
    args[key] = None if empty == "none" else np.empty((0, 2))
    result = call(name, args)
    if name == "quadtree_find_chain":
        chain, length = result
        assert chain.shape == (0, args["max_cols"]) and chain.dtype == np.int32
        assert length.shape == (0,) and length.dtype == np.int32
        return
    shape, dtype = {
        "segment_repulsion_vectors": ((0, 2), np.float64),
        "point_in_rings": ((0,), np.uint8),
        "point_obstacles_eval_max": ((0,), np.float64),
        "quadtree_find_leaf": ((0,), np.int32),
    }[name]
    assert result.shape == shape and result.dtype == dtype


class NumpySpy:
    """Stands in for the module attribute `np` and records allocations."""

    ALLOCATORS = ("zeros", "empty", "full", "ascontiguousarray")

    def __init__(self, after_call: Callable[[], None] = lambda: None):
        self.calls: list[str] = []
        self.made: list[Any] = []
        self._after = after_call

    def __getattr__(self, attr):
        value = getattr(np, attr)
        if attr not in self.ALLOCATORS:
            return value

        def allocate(*a, **k):
            result = value(*a, **k)
            self.calls.append(attr)
            self.made.append(result)
            self._after()
            return result

        return allocate


@pytest.mark.parametrize(
    "name,expected",
    [
        ("segment_repulsion_vectors", ["empty"]),
        ("point_in_rings", ["zeros", "ascontiguousarray"]),
        ("point_obstacles_eval_max", ["zeros"]),
        ("quadtree_find_leaf", ["empty"]),
        ("quadtree_find_chain", ["full", "zeros"]),
    ],
)
def test_results_come_from_module_np_at_call_time(name, expected, monkeypatch):
    spy = NumpySpy()
    monkeypatch.setattr(kernels, "np", spy)
    result = call(name, valid_args(name, np.random.default_rng(4)))
    assert spy.calls == expected
    outputs = result if isinstance(result, tuple) else (result,)
    allocated = [m for m, c in zip(spy.made, spy.calls) if c != "ascontiguousarray"]
    assert len(outputs) == len(allocated) and all(o is m for o, m in zip(outputs, allocated))


# ---------------------------------------------------------------------------
# The interpreter lock.


def ran_during_loop(kernel_call: Callable[[], Any]) -> bool:
    """Whether another thread made progress while `kernel_call` was in its loop.

    The switch interval is raised so far that the main thread never hands the
    lock over on its own: the worker, woken just before the call, can only run
    when the kernel releases the lock.  A spy in place of the module's `np`
    marks the end of the result allocation, so a lock that NumPy itself drops
    while filling a result does not count.
    """
    count = [0]
    mark = [0]
    ready, go, done = threading.Event(), threading.Event(), threading.Event()

    def worker():
        ready.set()
        go.wait()
        while not done.is_set():
            count[0] += 1
            time.sleep(1e-5)  # lets the kernel's thread take the lock back

    def after_alloc():
        mark[0] = count[0]

    saved = kernels.np
    t = threading.Thread(target=worker, daemon=True)
    t.start()
    ready.wait()
    time.sleep(0.05)  # let the worker park in go.wait(), lock released
    old = sys.getswitchinterval()
    sys.setswitchinterval(100.0)
    try:
        kernels.np = NumpySpy(after_alloc)
        go.set()
        mark[0] = count[0]
        kernel_call()
        progressed = count[0] > mark[0]
    finally:
        kernels.np = saved
        sys.setswitchinterval(old)
        done.set()
        t.join()
    return progressed


def _big_call(name: str, scale: int) -> Callable[[], Any]:
    """Inputs for a long call of kernel `name`, and the call itself."""
    rng = np.random.default_rng(5)
    n = 20_000 * scale
    if name == "point_in_rings":
        t = np.linspace(0, 2 * np.pi, 257)
        ring = np.stack([np.cos(t), np.sin(t)], axis=1)
        pts = rng.uniform(-1, 1, (n, 2))
        return lambda: kernels.point_in_rings(pts, ring, [])
    if name == "segment_repulsion_vectors":
        x, p1, v = rng.uniform(-1, 1, (n, 2)), rng.uniform(-1, 1, (128, 2)), rng.uniform(-1, 1, (128, 2))
        vdv, m = (v * v).sum(1), np.eye(2)
        return lambda: kernels.segment_repulsion_vectors(x, p1, v, vdv, m)
    if name == "point_obstacles_eval_max":
        x, c, inv = rng.uniform(-1, 1, (n, 2)), rng.uniform(-1, 1, (128, 2)), np.tile(np.eye(2), (128, 1, 1))
        return lambda: kernels.point_obstacles_eval_max(x, c, inv)
    # A root whose every child is itself: each walk makes max_depth descents.
    tree = [np.zeros(1), np.zeros(1), np.zeros(1, np.uint8)] + [np.zeros(1, np.int32)] * 4
    depth = 100 * scale
    pts = rng.uniform(-1, 1, (20_000, 2))
    if name == "quadtree_find_leaf":
        return lambda: kernels.quadtree_find_leaf(pts, *tree, depth)
    return lambda: kernels.quadtree_find_chain(pts, *tree, depth, depth + 1)


@pytest.mark.parametrize("name", list(PARAMS))
def test_lock_is_released_for_the_loop(name):
    # A released lock shows on the first attempt in practice; the larger
    # retries only guard against a worker thread the OS did not schedule
    # (on a loaded machine the fastest loops end within one time slice).
    assert any(ran_during_loop(_big_call(name, scale)) for scale in (1, 4, 16, 64))


@pytest.mark.parametrize("name", ["segment_repulsion_vectors", "point_obstacles_eval_max"])
def test_concurrent_calls_agree(name):
    rng = np.random.default_rng(11)
    args = valid_args(name, rng, n=20_000)
    want = call(name, args)
    results: list[Any] = [None] * 4

    def run(k):
        results[k] = call(name, args)

    threads = [threading.Thread(target=run, args=(k,)) for k in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert all(results_equal(r, want) for r in results)


# ---------------------------------------------------------------------------
# point_in_rings

SQUARE = [(0, 0), (1, 0), (1, 1), (0, 1), (0, 0)]

# Ways point_in_rings can test a ring; all must give the plain rule's answer.
RING_METHODS = ["auto", "plain", "bands", "sweep", "cells"]


@contextlib.contextmanager
def ring_method(name: str):
    previous = kernels._set_ring_method(name)
    try:
        yield
    finally:
        kernels._set_ring_method(previous)


def in_rings_by_every_method(pts, outer, holes) -> dict[str, np.ndarray]:
    """Every method, the indexes on every instruction-set path the CPU has."""
    results = {}
    for name in RING_METHODS:
        for path in kernels._ISAS if name != "plain" else ["baseline"]:
            previous = kernels._set_isa(path)
            try:
                with ring_method(name):
                    results[f"{name} on {path}"] = kernels.point_in_rings(pts, outer, holes)
            finally:
                kernels._set_isa(previous)
    return results


def assert_every_method_gives(want, pts, outer, holes) -> None:
    for name, got in in_rings_by_every_method(pts, outer, holes).items():
        assert got.dtype == np.uint8, name
        assert np.array_equal(got, want), name


@pytest.mark.parametrize("ring", [SQUARE, SQUARE[::-1], SQUARE[:4]], ids=["closed", "reversed", "open"])
@pytest.mark.parametrize(
    "point,inside",
    [((0.5, 0.5), 1), ((0, 0.5), 1), ((0.5, 0), 1), ((0, 0), 1), ((1, 0.5), 0), ((0.5, 1), 0),
     ((1, 0), 0), ((1, 1), 0), ((0, 1), 0), ((2, 0.5), 0), ((NAN, 0.5), 0), ((0.5, NAN), 0)],
)
def test_unit_square(ring, point, inside):
    # The point repeated: an index pays only beyond a few points.
    assert_every_method_gives(np.full(9, inside, np.uint8), np.array([point] * 9, float), np.array(ring, float), [])


def test_hole_boundaries_follow_the_ring_rule():
    outer = np.array([(0, 0), (3, 0), (3, 3), (0, 3), (0, 0)], float)
    hole = [(1, 1), (2, 1), (2, 2), (1, 2), (1, 1)]
    pts = np.array([(1, 1.5), (2, 1.5), (1.5, 1.5), (0.5, 0.5), (4, 4)])
    assert kernels.point_in_rings(pts, outer, [hole]).tolist() == [0, 1, 0, 1, 0]
    # Int arrays and nested lists are converted; overlapping holes and holes
    # reaching outside the polygon remove nothing more.
    far_hole = np.array([(2, 2), (5, 2), (5, 5), (2, 5)], dtype=np.int64)
    assert kernels.point_in_rings(pts, outer, [hole, hole, far_hole]).tolist() == [0, 1, 0, 1, 0]


@pytest.mark.parametrize("outer", [None, np.empty((0, 2)), np.zeros((1, 2)), np.array([[0, 0], [1, 1.0]])])
def test_degenerate_outer_ring_contains_nothing_but_holes_are_still_converted(outer):
    pts = np.array([[0.5, 0.5], [0.0, 0.0]])
    assert kernels.point_in_rings(pts, outer, [SQUARE]).tolist() == [0, 0]
    with pytest.raises((ValueError, TypeError)):
        kernels.point_in_rings(pts, outer, [[[1, 2], [3]]])
    with pytest.raises((ValueError, TypeError)):
        kernels.point_in_rings(np.empty((0, 2)), outer, [["a", "b"]])


@pytest.mark.parametrize("holes,exc", [(None, TypeError), ((), TypeError), (tuple([SQUARE]), TypeError)])
def test_holes_must_be_a_list(holes, exc):
    with pytest.raises(exc):
        kernels.point_in_rings(np.zeros((1, 2)), np.array(SQUARE, float), holes)


def test_holes_list_subclass_is_rejected():
    class Holes(list):
        pass

    with pytest.raises(TypeError):
        kernels.point_in_rings(np.zeros((1, 2)), np.array(SQUARE, float), Holes())


def test_bad_hole_is_diagnosed_only_when_reached():
    outer = np.array([(0, 0), (4, 0), (4, 4), (0, 4)], float)
    big_hole = [(0.5, 0.5), (3.5, 0.5), (3.5, 3.5), (0.5, 3.5)]
    flat = [1.0, 2.0, 3.0]
    inside = np.array([[2.0, 2.0]])
    outside = np.array([[9.0, 9.0]])
    # Nobody inside the outer ring, or every such point already removed.
    assert kernels.point_in_rings(outside, outer, [flat]).tolist() == [0]
    assert kernels.point_in_rings(inside, outer, [big_hole, flat]).tolist() == [0]
    for bad in (flat, 5.0, np.zeros((2, 2, 2))):
        with pytest.raises(ValueError):
            kernels.point_in_rings(inside, outer, [bad])
    # A narrow ring would be read past its end.
    with pytest.raises(ValueError):
        kernels.point_in_rings(inside, outer, [np.zeros((4, 1))])


@settings(max_examples=300, deadline=None)
@given(
    pts=point_arrays(),
    outer=point_arrays(0, 8),
    holes=st.lists(point_arrays(0, 6), max_size=3),
)
def test_point_in_rings_matches_reference(pts, outer, holes):
    assert_every_method_gives(ref_point_in_rings(pts, outer, holes), pts, outer, holes)


@settings(max_examples=100, deadline=None)
@given(pts=point_arrays(0, 30, elements=finite_coord), outer=point_arrays(3, 8, elements=grid))
def test_ring_orientation_and_closing_do_not_matter(pts, outer):
    got = kernels.point_in_rings(pts, outer, [])
    closed = np.concatenate([outer, outer[:1]])
    assert np.array_equal(got, kernels.point_in_rings(pts, closed, []))
    # Reversed, each edge's crossing is computed from its other end, which
    # rounds differently for a point on the edge itself.
    clear = np.ones(len(pts), bool)
    for a, b in zip(closed[:-1], closed[1:]):
        d = b - a
        t = np.clip(((pts - a) @ d) / max(d @ d, 1e-300), 0, 1)
        clear &= np.hypot(*(pts - a - t[:, None] * d).T) > 1e-9
    reversed_ = kernels.point_in_rings(pts, outer[::-1], [])
    assert np.array_equal(got[clear], reversed_[clear])


# ---------------------------------------------------------------------------
# segment_repulsion_vectors


def seg(x, p1, v, vdv=None, metric=((1.0, 0.0), (0.0, 1.0))):
    p1 = np.array(p1, float).reshape(-1, 2)
    v = np.array(v, float).reshape(-1, 2)
    vdv = (v * v).sum(1) if vdv is None else np.array(vdv, float)
    return kernels.segment_repulsion_vectors(np.array(x, float).reshape(-1, 2), p1, v, vdv, np.array(metric, float))


@pytest.mark.parametrize(
    "x,p1,v,metric,want",
    [
        ([0, 1], [-1, 0], [2, 0], np.eye(2), [0, 1]),
        ([3, 1], [-1, 0], [2, 0], np.eye(2), [2, 1]),
        ([-3, 1], [-1, 0], [2, 0], np.eye(2), [-2, 1]),
        ([0, 0], [[-1, 1], [1.5, -1]], [[2, 0], [0, 2]], np.eye(2), [0, -1]),
        ([0, 0], [[-1, 1], [1.5, -1]], [[2, 0], [0, 2]], [[1, 0], [0, 4]], [-1.5, 0]),
        ([0, 0], [[-1, 1], [-1, -1]], [[2, 0], [2, 0]], np.eye(2), [0, -1]),
        ([0, 0], [[-1, -1], [-1, 1]], [[2, 0], [2, 0]], np.eye(2), [0, 1]),
        ([0.25, 0], [-1, 0], [2, 0], np.eye(2), [0, 0]),
        ([5, 5], [0, 0], [0, 0], np.eye(2), [0, 0]),
    ],
    ids=["middle", "clamp-high", "clamp-low", "metric-a", "metric-b", "tie", "tie-swapped", "on-segment", "zero-length"],
)
def test_segment_hand_worked(x, p1, v, metric, want):
    assert seg(x, p1, v, metric=metric).tolist() == [want]


def test_v_dot_v_is_used_as_given():
    # Twice v·v halves t: the projection of (1, 1) lands at x = 0, not 1.
    assert seg([1, 1], [-1, 0], [2, 0], vdv=[8.0]).tolist() == [[1.0, 1.0]]
    assert seg([1, 1], [-1, 0], [2, 0], vdv=[4.0]).tolist() == [[0.0, 1.0]]


@pytest.mark.parametrize("p1", [None, np.empty((0, 2))])
def test_no_segments_gives_zero_rows(p1):
    x = np.random.default_rng(0).uniform(-1, 1, (5, 2))
    for v, vdv, metric in [(None, None, None), (np.ones((3, 2)), np.ones(3), np.eye(2))]:
        got = kernels.segment_repulsion_vectors(x, p1, v, vdv, metric)
        assert got.shape == (5, 2) and not got.any()


@settings(max_examples=300, deadline=None)
@given(
    x=point_arrays(),
    s=st.integers(0, 6),
    data=st.data(),
)
def test_segment_repulsion_matches_reference(x, s, data):
    p1 = data.draw(hnp.arrays(np.float64, (s, 2), elements=coord))
    v = data.draw(hnp.arrays(np.float64, (s, 2), elements=coord))
    vdv_mode = data.draw(st.sampled_from(["exact", "random"]))
    if vdv_mode == "exact":
        vdv = (v * v).sum(1)
    else:
        vdv = data.draw(hnp.arrays(np.float64, (s,), elements=st.one_of(grid, special, st.floats(0, 9))))
    metric = data.draw(
        st.one_of(
            st.just(np.eye(2)),
            hnp.arrays(np.float64, (2, 2), elements=st.one_of(st.floats(-3, 3), special)),
        )
    )
    got = kernels.segment_repulsion_vectors(x, p1, v, vdv, metric)
    check_segment_result(got, x, p1, v, vdv, metric)


@settings(max_examples=50, deadline=None)
@given(x=point_arrays(1, 5, elements=finite_coord), data=st.data())
def test_duplicated_segments_keep_the_first(x, data):
    """Ties go to the lowest index: duplicating every segment changes nothing."""
    s = data.draw(st.integers(1, 4))
    p1 = data.draw(hnp.arrays(np.float64, (s, 2), elements=finite_coord))
    v = data.draw(hnp.arrays(np.float64, (s, 2), elements=finite_coord))
    vdv = (v * v).sum(1)
    m = np.array([[1.0, 0.5], [0.5, 2.0]])
    once = kernels.segment_repulsion_vectors(x, p1, v, vdv, m)
    twice = kernels.segment_repulsion_vectors(x, np.tile(p1, (2, 1)), np.tile(v, (2, 1)), np.tile(vdv, 2), m)
    assert np.array_equal(once, twice)


# ---------------------------------------------------------------------------
# point_obstacles_eval_max


def obstacles(x, centers, inv):
    return kernels.point_obstacles_eval_max(
        np.array(x, float).reshape(-1, 2), np.array(centers, float).reshape(-1, 2), np.array(inv, float).reshape(-1, 2, 2)
    )


@pytest.mark.parametrize(
    "x,centers,inv,want",
    [
        ([1, 0], [0, 0], np.eye(2), math.exp(-1)),
        ([1, 0], [0, 0], [[2, 0], [0, 0.5]], math.exp(-2)),
        ([0, 2], [0, 0], [[2, 0], [0, 0.5]], math.exp(-2)),
        ([1, 0], [[0, 0], [3, 0]], [np.eye(2), np.eye(2)], math.exp(-1)),
        ([4, 4], [4, 4], np.eye(2), 1.0),
        ([1, 1], [0, 0], [[1, 2], [0, 1]], math.exp(-4)),
        ([1, 1], [0, 0], [[1, 1], [1, 1]], math.exp(-4)),
        ([1, 0], [0, 0], -np.eye(2), math.e),
        ([0, 1000**0.5], [0, 0], np.eye(2), 0.0),
        ([NAN, 0], [0, 0], np.eye(2), 0.0),
        ([0, 0], [[NAN, 0], [1, 0]], [np.eye(2), np.eye(2)], math.exp(-1)),
    ],
)
def test_obstacles_hand_worked(x, centers, inv, want):
    assert obstacles(x, centers, inv).tolist() == [want]


def test_obstacles_exact_values():
    assert obstacles([1, 0], [0, 0], np.eye(2)).tolist() == [0.36787944117144233]
    assert obstacles([1, 1], [0, 0], [[1, 2], [0, 1]]).tolist() == [0.01831563888873418]
    assert obstacles([1, 0], [0, 0], -np.eye(2)).tolist() == [2.718281828459045]


@pytest.mark.parametrize("centers", [None, np.empty((0, 2))])
def test_no_obstacles_gives_zeros(centers):
    x = np.ones((4, 2))
    for inv in (None, np.ones((3, 2, 2))):
        got = kernels.point_obstacles_eval_max(x, centers, inv)
        assert got.shape == (4,) and not got.any()


@settings(max_examples=300, deadline=None)
@given(x=point_arrays(), k=st.integers(0, 6), data=st.data())
def test_obstacles_match_reference(x, k, data):
    centers = data.draw(hnp.arrays(np.float64, (k, 2), elements=coord))
    inv = data.draw(
        st.one_of(
            st.just(np.tile(np.eye(2), (k, 1, 1))),
            hnp.arrays(np.float64, (k, 2, 2), elements=st.one_of(st.floats(-3, 3), special)),
        )
    )
    got = kernels.point_obstacles_eval_max(x, centers, inv)
    check_obstacle_result(got, x, centers, inv)
    assert not np.isnan(got).any() and (got >= 0).all()


@settings(max_examples=50, deadline=None)
@given(x=point_arrays(1, 8), k=st.integers(1, 6), data=st.data())
def test_obstacle_order_does_not_matter(x, k, data):
    centers = data.draw(hnp.arrays(np.float64, (k, 2), elements=coord))
    inv = data.draw(hnp.arrays(np.float64, (k, 2, 2), elements=st.floats(0, 3)))
    perm = data.draw(st.permutations(range(k)))
    a = kernels.point_obstacles_eval_max(x, centers, inv)
    b = kernels.point_obstacles_eval_max(x, centers[list(perm)], inv[list(perm)])
    assert np.array_equal(a, b)


# ---------------------------------------------------------------------------
# Larger inputs: many points (the loops work in blocks) and long rings (the
# outer pass files edges into bands).


def _sprinkle(rng: np.random.Generator, a: np.ndarray, fraction: float = 0.03) -> np.ndarray:
    a = a.copy()
    flat = a.reshape(-1)
    hit = rng.random(flat.shape) < fraction
    flat[hit] = rng.choice([NAN, INF, -INF, 0.0], hit.sum())
    return a


@pytest.mark.parametrize("n", [1, 63, 64, 65, 129, 1000])
@pytest.mark.parametrize("seed", range(3))
def test_many_points_match_references(n, seed):
    rng = np.random.default_rng(seed)
    x = _sprinkle(rng, np.round(rng.uniform(-3, 3, (n, 2)), 1))
    s = int(rng.integers(1, 40))
    p1 = _sprinkle(rng, np.round(rng.uniform(-3, 3, (s, 2)), 1), 0.01)
    v = _sprinkle(rng, np.round(rng.uniform(-2, 2, (s, 2)), 1), 0.01)
    vdv = (v * v).sum(1)
    metric = np.array([[1.5, 0.25], [-0.5, 0.75]])
    check_segment_result(kernels.segment_repulsion_vectors(x, p1, v, vdv, metric), x, p1, v, vdv, metric)
    inv = rng.uniform(-0.5, 2, (s, 2, 2))
    check_obstacle_result(kernels.point_obstacles_eval_max(x, p1, inv), x, p1, inv)


def _random_ring(rng: np.random.Generator, r: int, kind: str) -> np.ndarray:
    if kind == "star":
        t = np.sort(rng.uniform(0, 2 * np.pi, r))
        rad = rng.uniform(0.2, 1.0, r)
        return np.stack([rad * np.cos(t), rad * np.sin(t)], axis=1)
    if kind == "grid":  # many shared y values, horizontal edges, self-intersections
        return rng.integers(-4, 5, (r, 2)).astype(float) / 4
    if kind == "spiky":  # long edges that span many bands
        ring = rng.uniform(-1, 1, (r, 2))
        ring[::7, 1] = rng.choice([-1.0, 1.0], len(ring[::7]))
        return ring
    ring = rng.uniform(-1, 1, (r, 2))
    ring[rng.integers(0, r)] = [rng.uniform(-1, 1), rng.choice([NAN, INF, -INF])]
    return ring


@pytest.mark.parametrize("r", [3, 4, 17, 300, 5000])
@pytest.mark.parametrize("kind", ["star", "grid", "spiky", "special"])
def test_long_rings_match_reference(r, kind):
    rng = np.random.default_rng(r)
    ring = _random_ring(rng, r, kind)
    pts = np.concatenate(
        [
            rng.uniform(-1.2, 1.2, (3000, 2)),
            ring + rng.choice([0.0, 1e-12, -1e-12], ring.shape),  # on and next to vertices
            np.stack([rng.uniform(-1, 1, r), ring[:, 1]], axis=1),  # on vertex heights
            [[0.0, ring[:, 1].max()], [0.0, ring[:, 1].min()], [NAN, 0.0], [0.0, INF]],
        ]
    )
    pts = np.round(pts, 3) if kind == "grid" else pts
    holes = [ring * 0.5, _random_ring(rng, 50, "grid")]
    assert_every_method_gives(ref_point_in_rings(pts, ring, []), pts, ring, [])
    assert_every_method_gives(ref_point_in_rings(pts, ring, holes), pts, ring, holes)
    # Few points against many edges, and the reverse, with points in every
    # band of either index.
    few = pts[rng.choice(len(pts), 7)]
    assert_every_method_gives(ref_point_in_rings(few, ring, holes), few, ring, holes)


@pytest.mark.parametrize(
    "scale,offset",
    [(1e-3, (1e7, -3e6)), (1e-300, (0.0, 0.0)), (1e150, (-1e150, 0.0)), (1.0, (0.5, 1e-310))],
    ids=["utm", "subnormal", "huge", "tiny-offset"],
)
def test_rings_far_from_the_origin_or_at_extreme_scales(scale, offset):
    # Band edges are computed from the ring's height range: rounding there
    # must never lose an edge from the band of a point it straddles.
    rng = np.random.default_rng(7)
    ring = _random_ring(rng, 400, "star") * scale + offset
    near = ring + rng.normal(0.0, 1e-9, ring.shape) * scale
    pts = np.concatenate([rng.uniform(-1.2, 1.2, (2000, 2)) * scale + offset, ring, near])
    assert_every_method_gives(ref_point_in_rings(pts, ring, []), pts, ring, [])


def _outline(rng: np.random.Generator, kind: str, r: int) -> np.ndarray:
    """Rings whose interior and exterior leave most grid cells clear of edges."""
    if kind == "smooth":  # many short edges, few crossings per row
        t = np.linspace(0.0, 2 * np.pi, r, endpoint=False)
        rad = 0.4 + 0.04 * np.sin(5 * t) + 0.01 * np.sin(37 * t)
        return np.stack([0.5 + rad * np.cos(t), 0.5 + rad * np.sin(t)], axis=1)
    if kind == "staircase":  # horizontal edges through whole rows of cells, vertices at shared heights
        steps = max(2, r // 4)
        xs = np.sort(rng.uniform(0, 1, steps))
        ys = np.sort(rng.uniform(0, 1, steps))
        stair = np.stack([np.repeat(xs, 2)[1:], np.repeat(ys, 2)[:-1]], axis=1)
        return np.concatenate([stair, [[xs[-1], -0.1], [xs[0], -0.1]]])
    if kind == "comb":  # long horizontal teeth, one above the other
        teeth = max(2, r // 4)
        y = np.linspace(0, 1, 2 * teeth)
        right = np.stack([np.tile([0.1, 1.0, 1.0, 0.1], teeth), np.repeat(y, 2)], axis=1)
        return np.concatenate([right, [[0.0, 1.0], [0.0, 0.0]]])
    if kind == "sliver":  # a needle across the box, thinner than any cell
        t = np.linspace(0, 1, r // 2)
        top = np.stack([t, 0.3 + 0.4 * t + 1e-7], axis=1)
        return np.concatenate([top, np.stack([t[::-1], 0.3 + 0.4 * t[::-1]], axis=1)])
    # Two loops through each other, so the even-odd rule, not the winding,
    # decides the crossed region.
    t = np.linspace(0, 4 * np.pi, r, endpoint=False)
    return np.stack([0.5 + 0.45 * np.cos(t) * (1 + 0.3 * (t > 2 * np.pi)), 0.5 + 0.3 * np.sin(1.5 * t)], axis=1)


@pytest.mark.parametrize("n", [60, 9000])  # a coarse grid and a fine one
@pytest.mark.parametrize("r", [40, 3000])
@pytest.mark.parametrize("kind", ["smooth", "staircase", "comb", "sliver", "self-crossing"])
def test_outlines_with_clear_cells_match_reference(kind, r, n):
    # Points in clear cells are answered by the cell: near vertices and
    # edges, at vertex heights and on the box's sides, the cell's answer and
    # the rule's must still agree, whatever the grid.
    rng = np.random.default_rng(r + n)
    ring = _outline(rng, kind, r)
    ring = np.concatenate([ring, ring[:1]])
    lo, hi = ring.min(axis=0), ring.max(axis=0)
    mid = (ring[1:] + ring[:-1]) / 2
    normal = np.stack([ring[:-1, 1] - ring[1:, 1], ring[1:, 0] - ring[:-1, 0]], axis=1)
    picks = rng.integers(0, len(mid), n)
    offsets = rng.choice([1e-12, -1e-12, 1e-6, -1e-6, 1e-3, -1e-3], (n, 1))
    pts = np.concatenate(
        [
            rng.uniform(lo - 0.05, hi + 0.05, (n, 2)),
            mid[picks] + offsets * normal[picks],
            ring + rng.choice([0.0, EPS, -EPS, 1e-9, -1e-9], ring.shape),
            np.stack([rng.uniform(lo[0], hi[0], len(ring)), ring[:, 1]], axis=1),
            np.stack([np.full(len(ring), lo[0]), ring[:, 1]], axis=1),
            [[NAN, 0.5], [INF, 0.5], [-INF, 0.5], [0.5, NAN], [0.5, INF], [hi[0], hi[1]], [lo[0], lo[1]]],
        ]
    )
    pts = pts[rng.permutation(len(pts))[: max(n, 2 * len(ring))]] if n < 1000 else pts
    assert_every_method_gives(ref_point_in_rings(pts, ring, []), pts, ring, [])


@pytest.mark.parametrize("odd", ["nan", "inf", "-inf", "tiny", "vertical", "overflowing"])
def test_rings_with_odd_abscissae_match_reference(odd):
    # A non-finite abscissa leaves no grid to lay (the cells give way to the
    # bands), a tiny one a grid with a wide column; a vertical ring has no
    # width at all; on an uneven ring at 1e155 the rule's product
    # (xj - xi) (y - yi) overflows at some heights of an edge and not at
    # others, and its abscissae leave the edge's own.
    rng = np.random.default_rng(3)
    t = np.linspace(0, 2 * np.pi, 300, endpoint=False)
    ring = np.stack([np.cos(t), np.sin(t)], axis=1)
    pts = np.concatenate([rng.uniform(-1.2, 1.2, (6000, 2)), ring, [[0.0, 0.5], [-0.0, 0.5], [NAN, 0.0]]])
    if odd == "vertical":
        ring[:, 0] = 0.0
    elif odd == "overflowing":
        ring = _random_ring(rng, 300, "star") * 1e155
        pts = np.concatenate([rng.uniform(-1.2, 1.2, (20000, 2)), ring / 1e155]) * 1e155
    else:
        ring[17, 0] = {"nan": NAN, "inf": INF, "-inf": -INF, "tiny": 1e-310}[odd]
    assert_every_method_gives(ref_point_in_rings(pts, ring, []), pts, ring, [])


def test_ring_method_switch_names_its_argument():
    with pytest.raises(ValueError, match="method"):
        kernels._set_ring_method("fast")
    with pytest.raises(TypeError, match="method"):
        kernels._set_ring_method(3)
    with ring_method("sweep"):
        assert kernels._set_ring_method("sweep") == "sweep"
    assert kernels._set_ring_method("auto") == "auto"


@settings(max_examples=100, deadline=None)
@given(pts=point_arrays(0, 200, elements=st.one_of(grid, smooth)), outer=point_arrays(3, 60, elements=st.one_of(grid, smooth)))
def test_point_in_rings_many_points_and_vertices(pts, outer):
    assert_every_method_gives(ref_point_in_rings(pts, outer, []), pts, outer, [])


# ---------------------------------------------------------------------------
# Shapes that the loops would read past: rejected with ValueError naming
# the argument and its extents.


def _names(message: str, param: str, *numbers: int) -> bool:
    import re

    return re.search(rf"(?<![\w]){re.escape(param)}(?![\w])", message) is not None and all(
        str(n) in message for n in numbers
    )


def _seg_args(n=5, s=7):
    rng = np.random.default_rng(0)
    v = rng.uniform(-1, 1, (s, 2))
    return dict(x=rng.uniform(size=(n, 2)), p1=rng.uniform(size=(s, 2)), v=v, v_dot_v=(v * v).sum(1), metric=np.eye(2))


def _obs_args(n=5, k=7):
    rng = np.random.default_rng(0)
    return dict(x=rng.uniform(size=(n, 2)), centers=rng.uniform(size=(k, 2)), inv_repulsions=np.tile(np.eye(2), (k, 1, 1)))


def _rings_args(n=5):
    return dict(pts=np.full((n, 2), 0.5), outer=np.array(SQUARE, float), holes=[])


UNSAFE = [
    ("segment_repulsion_vectors", _seg_args, "x", np.zeros((5, 1)), (5, 1)),
    ("segment_repulsion_vectors", _seg_args, "p1", np.zeros((7, 1)), (7, 1)),
    ("segment_repulsion_vectors", _seg_args, "v", np.zeros((7, 1)), (7, 1)),
    ("segment_repulsion_vectors", _seg_args, "v", np.zeros((3, 2)), (3, 7)),
    ("segment_repulsion_vectors", _seg_args, "v_dot_v", np.ones(3), (3, 7)),
    ("segment_repulsion_vectors", _seg_args, "metric", np.eye(1), (1,)),
    ("segment_repulsion_vectors", _seg_args, "metric", np.ones((2, 1)), (2, 1)),
    ("segment_repulsion_vectors", _seg_args, "metric", np.ones((1, 2)), (1, 2)),
    ("segment_repulsion_vectors", _seg_args, "v", None, ()),
    ("segment_repulsion_vectors", _seg_args, "v_dot_v", None, ()),
    ("segment_repulsion_vectors", _seg_args, "metric", None, ()),
    ("point_obstacles_eval_max", _obs_args, "x", np.zeros((5, 1)), (5, 1)),
    ("point_obstacles_eval_max", _obs_args, "centers", np.zeros((7, 1)), (7, 1)),
    ("point_obstacles_eval_max", _obs_args, "inv_repulsions", np.zeros((3, 2, 2)), (3, 7)),
    ("point_obstacles_eval_max", _obs_args, "inv_repulsions", np.zeros((7, 1, 2)), (7, 1)),
    ("point_obstacles_eval_max", _obs_args, "inv_repulsions", np.zeros((7, 2, 1)), (7, 1)),
    ("point_obstacles_eval_max", _obs_args, "inv_repulsions", None, ()),
    ("point_in_rings", _rings_args, "pts", np.zeros((5, 1)), (5, 1)),
    ("point_in_rings", _rings_args, "outer", np.zeros((4, 1)), (4, 1)),
]


@pytest.mark.parametrize("name,make,param,bad,numbers", UNSAFE, ids=lambda p: p if isinstance(p, str) else None)
def test_unsafe_shapes_raise_value_error(name, make, param, bad, numbers):
    args = make()
    with pytest.raises(ValueError) as info:
        call(name, {**args, param: bad})
    assert _names(str(info.value), param, *numbers), str(info.value)


def test_extra_rows_and_wider_metrics_are_fine():
    """Longer-than-needed arguments are the caller's business: only what is read must exist."""
    args = _seg_args()
    want = call("segment_repulsion_vectors", args)
    wider = dict(
        args,
        v=np.concatenate([args["v"], np.full((3, 2), NAN)]),
        v_dot_v=np.concatenate([args["v_dot_v"], [NAN]]),
        metric=np.pad(args["metric"], ((0, 1), (0, 2)), constant_values=NAN),
    )
    assert results_equal(call("segment_repulsion_vectors", wider), want)
    obs = _obs_args()
    want = call("point_obstacles_eval_max", obs)
    inv = np.pad(obs["inv_repulsions"], ((0, 2), (0, 1), (0, 1)), constant_values=NAN)
    assert results_equal(call("point_obstacles_eval_max", dict(obs, inv_repulsions=inv)), want)


@pytest.mark.parametrize("name", ["segment_repulsion_vectors", "point_obstacles_eval_max", "point_in_rings"])
def test_repeated_failures_do_not_leak_references(name):
    make = {"segment_repulsion_vectors": _seg_args, "point_obstacles_eval_max": _obs_args, "point_in_rings": _rings_args}[name]
    args = make()
    key = "x" if "x" in args else "pts"
    bad = np.zeros((5, 1))
    before = [sys.getrefcount(v) for v in args.values()] + [sys.getrefcount(bad)]
    for _ in range(200):
        with pytest.raises(ValueError):
            call(name, {**args, key: bad})
        call(name, args)
    after = [sys.getrefcount(v) for v in args.values()] + [sys.getrefcount(bad)]
    assert after == before


# ---------------------------------------------------------------------------
# Instruction-set paths: the obstacle and segment loops are compiled for
# AVX-512, AVX2 and a baseline, chosen at import and switched by _set_isa.
# Every path must give the scalar rule's bits.

ISA_NAMES = ["baseline", "avx2", "avx512"]
PATH_KERNELS = ["point_obstacles_eval_max", "segment_repulsion_vectors"]


@pytest.fixture(params=ISA_NAMES)
def isa(request):
    """Runs the test on one path, then puts the import-time choice back."""
    if request.param not in kernels._ISAS:
        pytest.skip(f"this CPU lacks {request.param}")
    previous = kernels._set_isa(request.param)
    yield request.param
    kernels._set_isa(previous)


def on_path(name: str, kernel: str, *args):
    previous = kernels._set_isa(name)
    try:
        return getattr(kernels, kernel)(*args)
    finally:
        kernels._set_isa(previous)


def same_bits(a: np.ndarray, b: np.ndarray) -> bool:
    return a.dtype == b.dtype and a.shape == b.shape and a.tobytes() == b.tobytes()


def _path_case(rng: np.random.Generator, n: int, k: int, fraction: float = 0.04):
    """Points, centres / segment origins, directions and metrics, with NaN,
    infinities, zeros and huge values sprinkled in, and some metrics that
    are not positive definite (negative and -inf forms)."""
    x = rng.choice([-1.0, -0.5, 0.0, 0.5, 1.0], (n, 2)) + np.round(rng.uniform(-3, 3, (n, 2)), 2)
    x = _sprinkle(rng, x, fraction)
    x[rng.random(n) < fraction] = [1e200, 0.0]
    centers = _sprinkle(rng, np.round(rng.uniform(-3, 3, (k, 2)), 1), fraction / 2)
    v = _sprinkle(rng, np.round(rng.uniform(-2, 2, (k, 2)), 1), fraction / 2)
    vdv = (v * v).sum(1)
    vdv[rng.random(k) < 0.1] = 0.0
    inv = _sprinkle(rng, rng.uniform(-0.5, 2, (k, 2, 2)), fraction / 2)
    inv[rng.random(k) < 0.1] = -np.eye(2)
    metric = _sprinkle(rng, rng.uniform(-0.5, 2, (2, 2)), 0.05)
    return x, centers, v, vdv, inv, metric


def test_isa_switch_contract():
    assert kernels._ISAS[0] == "baseline"
    assert set(kernels._ISAS) <= set(ISA_NAMES)
    start = kernels._set_isa("baseline")
    try:
        assert start in kernels._ISAS
        for name in kernels._ISAS:
            assert kernels._set_isa(name) in kernels._ISAS
            assert kernels._set_isa(name) == name
        with pytest.raises(ValueError, match="name") as bad:
            kernels._set_isa("sse9")
        assert "sse9" in str(bad.value)
        with pytest.raises(TypeError, match="name"):
            kernels._set_isa(2)
        for lacking in set(ISA_NAMES) - set(kernels._ISAS):
            with pytest.raises(ValueError, match="name"):
                kernels._set_isa(lacking)
        # A refused switch leaves the path as it was.
        assert kernels._set_isa(kernels._ISAS[-1]) == kernels._ISAS[-1]
    finally:
        kernels._set_isa(start)


@pytest.mark.parametrize("module", ["kernels", "_scene"])
@pytest.mark.parametrize("forced", [None, *ISA_NAMES, "", "AVX2", "neon"])
def test_isa_chosen_at_import(forced, module):
    """Unset (or empty): the widest path the CPU has; a name forces that path;
    an unknown name, or one this CPU lacks, fails the import.  The compiled
    scene reads the same variable for its own passes."""
    env = {k: v for k, v in os.environ.items() if k != "ORIN_FIELD_ISA"}
    if forced is not None:
        env["ORIN_FIELD_ISA"] = forced
    script = f"from orin.field import {module} as m; print(m._set_isa('baseline'))"
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, env=env, timeout=120)
    if not forced:
        assert out.returncode == 0, out.stderr
        assert out.stdout.strip() == kernels._ISAS[-1]
    elif forced in kernels._ISAS:
        assert out.returncode == 0, out.stderr
        assert out.stdout.strip() == forced
    else:
        assert out.returncode != 0
        assert "ImportError" in out.stderr and "ORIN_FIELD_ISA" in out.stderr and forced in out.stderr


# Counts around every vector width, tile and the 64-point block.
PATH_COUNTS = [0, 1, 2, 3, 4, 5, 7, 8, 9, 15, 16, 17, 31, 32, 33, 63, 64, 65, 97, 130]


@pytest.mark.parametrize("n", PATH_COUNTS)
@pytest.mark.parametrize("k", [1, 3, 40])
def test_every_path_gives_the_scalar_rules_bits(isa, n, k):
    """Against the NumPy references, which compute in the rule's order with
    separate roundings (as the build does: no contraction), so the bits
    agree exactly; and against the baseline path."""
    rng = np.random.default_rng(1000 * n + k)
    x, centers, v, vdv, inv, metric = _path_case(rng, n, k)
    got_obs = kernels.point_obstacles_eval_max(x, centers, inv)
    got_seg = kernels.segment_repulsion_vectors(x, centers, v, vdv, metric)
    assert same_bits(got_obs, ref_obstacles(x, centers, inv)[0])
    assert same_bits(got_seg, ref_segments(x, centers, v, vdv, metric)[0])
    assert same_bits(got_obs, on_path("baseline", "point_obstacles_eval_max", x, centers, inv))
    assert same_bits(got_seg, on_path("baseline", "segment_repulsion_vectors", x, centers, v, vdv, metric))


@pytest.mark.parametrize(
    "point,want",
    [
        ([NAN, 0.0], 0.0),  # every form NaN: no obstacle counts
        ([INF, 1.0], 0.0),  # inf - inf in every form
        ([1e200, 0.0], INF),  # a -inf form under -I wins: exp(+inf)
        ([2.0, 0.0], math.exp(4.0)),  # -I: d2 = -4 beats +1 from the identity obstacle
    ],
)
def test_nan_and_negative_forms_on_every_path(isa, point, want):
    centers = np.array([[0.0, 0.0], [1.0, 0.0]])
    inv = np.array([-np.eye(2), np.eye(2)])
    # The same point in every lane position of a tile and of the tail.
    x = np.tile(point, (37, 1))
    got = kernels.point_obstacles_eval_max(x, centers, inv)
    assert got.tolist() == [want] * 37


@pytest.mark.parametrize("n", [1, 3, 8, 13, 40])
def test_segment_ties_go_to_the_lowest_index_on_every_path(isa, n):
    """Segments above and below the points at equal distance: which one wins
    shows in the sign of dy.  Copies of both further on must not take over."""
    rng = np.random.default_rng(n)
    # Multiples of 1/8, so that each projection lands exactly below the point.
    x = np.stack([rng.integers(-7, 8, n) / 8, np.zeros(n)], axis=1)
    above, below = [-1.0, 1.0], [-1.0, -1.0]
    p1 = np.array([above, below, below, above, above])
    v = np.tile([2.0, 0.0], (5, 1))
    vdv = (v * v).sum(1)
    got = kernels.segment_repulsion_vectors(x, p1, v, vdv, np.eye(2))
    assert (got[:, 1] == -1.0).all() and (got[:, 0] == 0.0).all()
    got = kernels.segment_repulsion_vectors(x, p1[1:], v[1:], vdv[1:], np.eye(2))
    assert (got[:, 1] == 1.0).all()


def _path_args(kernel: str, n: int, k: int, seed: int) -> list[np.ndarray]:
    x, centers, v, vdv, inv, metric = _path_case(np.random.default_rng(seed), n, k)
    if kernel == "point_obstacles_eval_max":
        return [x, centers, inv]
    return [x, centers, v, vdv, metric]


@pytest.mark.parametrize("a,b", [(0, 8), (8, 0), (3, 11), (11, 3), (7, 36), (36, 7), (35, 36), (36, 35), (1, 2)])
@pytest.mark.parametrize("n", [1, 9])
def test_lone_point_ties_across_lanes_and_tail(isa, n, a, b):
    """One point against 37 segments (whole vectors of them, then a tail):
    two segments at equal distance, at indices a and b, the rest far away;
    the lower index wins wherever the two fall."""
    p1 = np.tile([10.0, 10.0], (37, 1)) + np.arange(37)[:, None]
    p1[a] = [-1.0, 1.0]  # above: dy = -1
    p1[b] = [-1.0, -1.0]  # below: dy = +1
    v = np.tile([2.0, 0.0], (37, 1))
    x = np.zeros((n, 2))
    got = kernels.segment_repulsion_vectors(x, p1, v, (v * v).sum(1), np.eye(2))
    assert got.tolist() == [[0.0, -1.0 if a < b else 1.0]] * n


@pytest.mark.parametrize("layout", LAYOUTS, ids=lambda f: f.__name__)
@pytest.mark.parametrize("kernel", PATH_KERNELS)
def test_every_path_reads_any_layout(isa, layout, kernel):
    args = _path_args(kernel, 45, 9, seed=5)
    fn = getattr(kernels, kernel)
    for i in range(len(args)):
        unusual, plain = layout(args[i])
        got = fn(*args[:i], unusual, *args[i + 1:])
        want = fn(*args[:i], np.ascontiguousarray(plain), *args[i + 1:])
        assert same_bits(got, want), (kernel, i)


@pytest.mark.parametrize("kernel", PATH_KERNELS)
def test_concurrent_calls_on_another_path_agree(kernel):
    """A switch while other threads run changes no result: every path
    computes the same bits."""
    args = _path_args(kernel, 20_000, 64, seed=12)
    fn = getattr(kernels, kernel)
    want = fn(*args)
    results: list[Any] = [None] * 3
    start = kernels._set_isa("baseline")
    try:
        threads = [threading.Thread(target=lambda k=k: results.__setitem__(k, fn(*args))) for k in range(3)]
        for t in threads:
            t.start()
        for name in kernels._ISAS * 20:
            kernels._set_isa(name)
        for t in threads:
            t.join()
    finally:
        kernels._set_isa(start)
    assert all(same_bits(r, want) for r in results)
