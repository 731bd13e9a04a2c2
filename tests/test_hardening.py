"""Hostile use of the three extension modules: nothing may crash, leak or hang.

Crashes are provoked in subprocesses (a crash there is a failed assertion
here, not a dead test run); leaks are counted with sys.getrefcount over many
rejected calls; threads share inputs; a bounded fuzz throws arbitrary
arguments at every entry point in-process.
"""

from __future__ import annotations

import gc
import os
import signal
import subprocess
import sys
import textwrap
import time
from typing import Any, Callable, Iterator

import numpy as np
import pytest

from orin.field import kernels

try:
    import _testbuffer  # CPython's test exporter: the only common source of suboffsets
except ImportError:  # pragma: no cover - stripped Python builds
    _testbuffer = None


def run_python(code: str, timeout: float = 120) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=timeout
    )


# ---------------------------------------------------------------------------
# Valid arguments for every kernel, and what each array parameter must be.

# parameter -> (dtype, ndim), per kernel, in parameter order.
ARRAYS: dict[str, dict[str, tuple[type, int]]] = {
    "segment_repulsion_vectors": {
        "x": (np.float64, 2), "p1": (np.float64, 2), "v": (np.float64, 2),
        "v_dot_v": (np.float64, 1), "metric": (np.float64, 2),
    },
    "point_in_rings": {"pts": (np.float64, 2), "outer": (np.float64, 2)},
    "point_obstacles_eval_max": {"x": (np.float64, 2), "centers": (np.float64, 2), "inv_repulsions": (np.float64, 3)},
    "quadtree_find_leaf": {
        "pts": (np.float64, 2), "cx": (np.float64, 1), "cy": (np.float64, 1), "is_leaf": (np.uint8, 1),
        "child_tl": (np.int32, 1), "child_tr": (np.int32, 1), "child_bl": (np.int32, 1), "child_br": (np.int32, 1),
    },
}
ARRAYS["quadtree_find_chain"] = ARRAYS["quadtree_find_leaf"]
KERNELS = list(ARRAYS)


def valid_args(name: str, n: int = 6, seed: int = 0) -> dict[str, Any]:
    rng = np.random.default_rng(seed)
    pts = rng.uniform(-1, 1, (n, 2))
    if name == "segment_repulsion_vectors":
        v = rng.uniform(-1, 1, (3, 2))
        return dict(x=pts, p1=rng.uniform(-1, 1, (3, 2)), v=v, v_dot_v=(v * v).sum(1),
                    metric=np.array([[2.0, 0.3], [0.1, 1.0]]))
    if name == "point_in_rings":
        outer = np.array([[-2.0, -2], [2, -2], [2, 2], [-2, 2], [-2, -2]])
        return dict(pts=pts, outer=outer, holes=[np.array([[0.0, 0], [0.5, 0], [0.5, 0.5], [0, 0.5]])])
    if name == "point_obstacles_eval_max":
        return dict(x=pts, centers=rng.uniform(-1, 1, (3, 2)), inv_repulsions=np.tile(np.eye(2), (3, 1, 1)))
    # Root at (0, 0) with four leaf children.
    tree = dict(
        cx=np.zeros(5), cy=np.zeros(5), is_leaf=np.array([0, 1, 1, 1, 1], np.uint8),
        child_tl=np.array([1, -1, -1, -1, -1], np.int32), child_tr=np.array([2, -1, -1, -1, -1], np.int32),
        child_bl=np.array([3, -1, -1, -1, -1], np.int32), child_br=np.array([4, -1, -1, -1, -1], np.int32),
    )
    args = dict(pts=pts, **tree, max_depth=3)
    if name == "quadtree_find_chain":
        args["max_cols"] = 3
    return args


def call(name: str, args: dict[str, Any]) -> Any:
    return getattr(kernels, name)(**args)


# ---------------------------------------------------------------------------
# Leaks: every rejected call gives back every buffer and reference it took.


def refcounts(args: dict[str, Any]) -> dict[str, int]:
    # Collected first, so that a cycle of pytest's or of a traceback that
    # happens to be pending cannot shift a count either way.
    gc.collect()
    return {k: sys.getrefcount(v) for k, v in args.items()}


def _wrong_element(dtype: type, ndim: int) -> np.ndarray:
    other = {np.float64: np.float32, np.int32: np.int64, np.uint8: np.int8}[dtype]
    return np.zeros((3,) * ndim, other)


def _rejected_arrays(dtype: type, ndim: int) -> Iterator[tuple[str, Any]]:
    """Buffers that the view rules reject after the buffer was taken."""
    yield "element-type", _wrong_element(dtype, ndim)
    yield "dimensions", np.zeros((3,) * (ndim + 1), dtype)
    if np.dtype(dtype).itemsize > 1:
        yield "byte-order", np.zeros((3,) * ndim, np.dtype(dtype).newbyteorder())
    if _testbuffer is not None:
        code = np.dtype(dtype).char
        items = [np.zeros((), dtype).item()] * 3**ndim
        yield "suboffsets", _testbuffer.ndarray(items, shape=[3] * ndim, format=code, flags=_testbuffer.ND_PIL)


def _rejections() -> Iterator[Any]:
    for name, params in ARRAYS.items():
        for param, (dtype, ndim) in params.items():
            for label, bad in _rejected_arrays(dtype, ndim):
                yield pytest.param(name, {param: bad}, ValueError, id=f"{name}-{param}-{label}")
    # Rejections after every array was taken: shapes, integers, the holes list.
    yield pytest.param("segment_repulsion_vectors", {"v": np.zeros((1, 2))}, ValueError, id="seg-short-v")
    yield pytest.param("point_obstacles_eval_max", {"x": np.zeros((6, 1))}, ValueError, id="obs-narrow-x")
    yield pytest.param("point_in_rings", {"holes": ()}, TypeError, id="rings-holes-tuple")
    yield pytest.param("point_in_rings", {"outer": np.zeros((4, 1))}, ValueError, id="rings-narrow-outer")
    for name in ("quadtree_find_leaf", "quadtree_find_chain"):
        yield pytest.param(name, {"max_depth": "3"}, TypeError, id=f"{name}-depth-str")
        yield pytest.param(name, {"max_depth": 2**40}, OverflowError, id=f"{name}-depth-big")
        for n in (1, 70):  # the plain walk, and the packed one with its start table
            bad_node = {"pts": np.full((n, 2), [-0.5, 0.5]), "child_tl": np.array([7, -1, -1, -1, -1], np.int32)}
            yield pytest.param(name, bad_node, ValueError, id=f"{name}-bad-node-{n}")
    yield pytest.param("quadtree_find_chain", {"max_cols": 1}, ValueError, id="chain-narrow")


@pytest.mark.parametrize("name,bad,exc", list(_rejections()))
def test_rejected_calls_release_every_argument(name: str, bad: dict[str, Any], exc: type) -> None:
    args = {**valid_args(name), **bad}
    before = refcounts(args)
    for _ in range(1000):
        with pytest.raises(exc):
            call(name, args)
    assert refcounts(args) == before


@pytest.mark.parametrize("name,param", [(n, p) for n, ps in ARRAYS.items() for p in ps])
def test_rejected_memoryview_can_be_released_and_its_bytearray_resized(name: str, param: str) -> None:
    dtype, ndim = ARRAYS[name][param]
    wrong = _wrong_element(dtype, ndim)
    store = bytearray(wrong.tobytes())
    view = memoryview(store).cast("B").cast(wrong.dtype.char, wrong.shape)
    for _ in range(3):
        with pytest.raises(ValueError):
            call(name, {**valid_args(name), param: view})
    view.release()
    store.extend(b"\0" * 8)  # BufferError while any export is still held
    assert len(store) == wrong.nbytes + 8


def test_hole_rejected_in_the_hole_pass_is_released() -> None:
    # Contiguous float64 passes the conversion unchanged, so the view that the
    # hole pass rejects is of this very array.
    hole = np.zeros((4, 2, 1))
    args = dict(valid_args("point_in_rings"), pts=np.zeros((3, 2)), holes=[hole])
    before = refcounts({"hole": hole})
    for _ in range(1000):
        with pytest.raises(ValueError, match=r"holes\[0\]"):
            kernels.point_in_rings(**args)
    assert refcounts({"hole": hole}) == before


# ---------------------------------------------------------------------------
# A daemon thread inside a package call while the interpreter exits.  CPython
# ends such a thread with pthread_exit when it next asks for the lock, and
# the forced unwind runs through our frames: it must neither abort nor touch
# an object.  Children are forked from one prepared parent so that each exit
# race costs a fork rather than an interpreter start, and they stop their
# threads at varied points of the calls.

EXIT_RACE = r"""
import os, sys, threading, time
import numpy as np
from orin.field import RiskField, kernels
from orin.field.geometry import GeometryCollectionRGJ, Polygon

target, repeats = sys.argv[1], int(sys.argv[2])
rng = np.random.default_rng(0)
x = rng.random((3000, 2)) * 4
c = rng.random((32, 2))
tree = dict(
    cx=np.zeros(5), cy=np.zeros(5), is_leaf=np.array([0, 1, 1, 1, 1], np.uint8),
    child_tl=np.array([1, -1, -1, -1, -1], np.int32), child_tr=np.array([2, -1, -1, -1, -1], np.int32),
    child_bl=np.array([3, -1, -1, -1, -1], np.int32), child_br=np.array([4, -1, -1, -1, -1], np.int32),
)
members = [
    {"type": "Point", "coordinates": [0, 0]},
    {"type": "Polygon", "coordinates": [[[1, 1], [2, 1], [2, 2], [1, 2], [1, 1]]]},
    {"type": "LineString", "coordinates": [[0, 3], [3, 3]]},
]
collection = GeometryCollectionRGJ(members)
polygon = Polygon(coordinates=members[1]["coordinates"])
fields = [RiskField([collection, polygon], cutoff=0.0, threads=t) for t in (1, 2)]
calls = {
    "point_obstacles_eval_max": lambda: kernels.point_obstacles_eval_max(x, c, np.tile(np.eye(2), (32, 1, 1))),
    "segment_repulsion_vectors": lambda: kernels.segment_repulsion_vectors(x, c, c, (c * c).sum(1), np.eye(2)),
    "point_in_rings": lambda: kernels.point_in_rings(x, c, [c]),
    "quadtree_find_leaf": lambda: kernels.quadtree_find_leaf(x, **tree, max_depth=3),
    "quadtree_find_chain": lambda: kernels.quadtree_find_chain(x, **tree, max_depth=3, max_cols=3),
    "collection.gradient": lambda: collection.gradient(x),
    "collection construction": lambda: GeometryCollectionRGJ(members),
    "RGJGeometry.eval": lambda: polygon.eval(x),
    "RiskField.eval": lambda: fields[0].eval(x),
    "RiskField.grid, 2 threads": lambda: fields[1].grid((0, 0, 4, 4), (80, 80)),
}
work = calls[target]

def loop():
    while True:
        work()

codes = []
for i in range(repeats):
    pid = os.fork()
    if pid == 0:
        break
    codes.append(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]))
else:
    print(codes)
    sys.exit(0)
# The child: two daemon threads in the calls, then a normal interpreter exit.
for _ in range(2):
    threading.Thread(target=loop, daemon=True).start()
time.sleep(0.002 * (1 + i % 8))
"""

EXIT_TARGETS = [
    "point_obstacles_eval_max", "segment_repulsion_vectors", "point_in_rings", "quadtree_find_leaf",
    "quadtree_find_chain", "collection.gradient", "collection construction", "RGJGeometry.eval",
    "RiskField.eval", "RiskField.grid, 2 threads",
]


@pytest.mark.skipif(not hasattr(os, "fork"), reason="the exit race is driven by fork")
@pytest.mark.parametrize("target", EXIT_TARGETS)
def test_daemon_thread_in_a_call_at_interpreter_exit(target: str) -> None:
    repeats = 15
    proc = subprocess.run(
        [sys.executable, "-c", EXIT_RACE, target, str(repeats)], capture_output=True, text=True, timeout=300
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == str([0] * repeats), proc.stdout + proc.stderr
    assert "Fatal Python error" not in proc.stderr


# ---------------------------------------------------------------------------
# Ctrl-C during a long call without the lock.  A one-node tree that is its
# own child, walked to max_depth 2**31 - 1, runs for minutes, and so do a
# million points against a million obstacles or segments; SIGINT must end
# each with KeyboardInterrupt.  The timeout is only a bound on a hung child.

LONG_CALL = r"""
import sys
import numpy as np
from orin.field import kernels

name, n = sys.argv[1], int(sys.argv[2])
rng = np.random.default_rng(0)
pts = rng.uniform(-1, 1, (n, 2))
if name.startswith("quadtree"):
    self_child = np.zeros(1, np.int32)
    tree = dict(cx=np.zeros(1), cy=np.zeros(1), is_leaf=np.zeros(1, np.uint8),
                child_tl=self_child, child_tr=self_child, child_bl=self_child, child_br=self_child)
    extra = {"max_cols": 4} if name == "quadtree_find_chain" else {}
    call = lambda: getattr(kernels, name)(pts, **tree, max_depth=2**31 - 1, **extra)
elif name == "point_obstacles_eval_max":
    centers = rng.uniform(-1, 1, (1_000_000, 2))
    call = lambda: kernels.point_obstacles_eval_max(pts, centers, np.tile(np.eye(2), (len(centers), 1, 1)))
else:
    p1, v = rng.uniform(-1, 1, (1_000_000, 2)), rng.uniform(-0.01, 0.01, (1_000_000, 2))
    call = lambda: kernels.segment_repulsion_vectors(pts, p1, v, (v * v).sum(1), np.eye(2))
print("calling", flush=True)
try:
    call()
except KeyboardInterrupt:
    print("interrupted", flush=True)
"""


@pytest.mark.skipif(sys.platform == "win32", reason="SIGINT delivery")
@pytest.mark.parametrize(
    "name,n",
    [
        ("quadtree_find_leaf", 1000),
        ("quadtree_find_leaf", 10),
        ("quadtree_find_chain", 1000),
        ("point_obstacles_eval_max", 1_000_000),
        ("segment_repulsion_vectors", 1_000_000),
    ],
)
def test_sigint_ends_a_long_call(name: str, n: int) -> None:
    proc = subprocess.Popen(
        [sys.executable, "-c", LONG_CALL, name, str(n)], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True
    )
    try:
        assert proc.stdout is not None
        assert proc.stdout.readline().strip() == "calling"
        time.sleep(0.5)  # into the call, past its setup
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=60)
    finally:
        proc.kill()
    assert proc.returncode == 0, err
    assert out.strip() == "interrupted", out + err


# ---------------------------------------------------------------------------
# The collection writes its fields only into objects of its own layout.  The
# base types are mutable heap types, so their allocation can be replaced from
# Python; each case runs in a child, where a heap overflow would show as a
# crash (or, with ASan preloaded, a report) instead of a wrong answer.

FOREIGN_NEW = r"""
import sys
from orin.field.geometry import GeometryCollectionRGJ as GC
from orin.field.geometry import collection
from orin.field.geometry.base import MultiRGJGeometry, RGJGeometry

state = (None,) * 9 + ([],)
foreign = {
    "object": lambda: object(),
    "base instance": lambda: RGJGeometry.__new__(RGJGeometry),
    "multi instance": lambda: MultiRGJGeometry.__new__(MultiRGJGeometry),
    "list": lambda: [1, 2, 3],
}[sys.argv[2]]
if sys.argv[1] == "reconstructor":
    GC.__new__ = staticmethod(lambda cls, *a, **k: foreign())
    attempt = lambda: collection.__unpickle_GeometryCollectionRGJ(GC, 0x96a235a, state)
else:
    # The base's allocation now runs Python, which finds the subclass's own
    # __new__ first.
    MultiRGJGeometry.__new__ = staticmethod(lambda cls, *a, **k: object())
    class Sub(GC):
        def __new__(cls, *a, **k):
            return foreign()
    attempt = lambda: GC.__new__(Sub)
try:
    attempt()
except TypeError as exc:
    print("TypeError", "GeometryCollectionRGJ" in str(exc))
"""


@pytest.mark.parametrize("path", ["reconstructor", "allocation"])
@pytest.mark.parametrize("returned", ["object", "base instance", "multi instance", "list"])
def test_collection_refuses_an_allocation_of_another_layout(path: str, returned: str) -> None:
    proc = subprocess.run(
        [sys.executable, "-c", FOREIGN_NEW, path, returned], capture_output=True, text=True, timeout=120
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split() == ["TypeError", "True"], proc.stdout + proc.stderr


# A foreign module in place of the base module: the collection must refuse
# its types at import, whether or not the module also copies the base
# module's own attributes (the layout marker among them).
FOREIGN_BASE = r"""
import collections, decimal, os, sys, types, warnings
import orin.field
package = types.ModuleType("orin.field.geometry")
package.__path__ = [os.path.join(os.path.dirname(orin.field.__file__), "geometry")]
sys.modules["orin.field.geometry"] = package
kind, copy = sys.argv[1], sys.argv[2] == "copy"
fake = types.ModuleType("orin.field.geometry.base")
if copy:
    import orin.field.geometry.base as real
    fake.__dict__.update(vars(real))
T = {"OrderedDict": collections.OrderedDict, "deque": collections.deque, "Decimal": decimal.Decimal}[kind]
fake.MultiRGJGeometry = fake.RGJGeometry = T
sys.modules["orin.field.geometry.base"] = fake
warnings.simplefilter("ignore")  # these types are larger: the size rule only warns
try:
    from orin.field.geometry.collection import GeometryCollectionRGJ as GC
    GC.__new__(GC).__reduce__()
    print("loaded")
except ImportError as exc:
    print("ImportError")
"""


@pytest.mark.parametrize("copy", ["copy", "bare"])
@pytest.mark.parametrize("kind", ["OrderedDict", "deque", "Decimal"])
def test_foreign_base_types_are_refused_at_import(kind: str, copy: str) -> None:
    proc = subprocess.run(
        [sys.executable, "-c", FOREIGN_BASE, kind, copy], capture_output=True, text=True, timeout=120
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "ImportError", proc.stdout + proc.stderr


def test_base_module_exports_its_layout_marker() -> None:
    from orin.field.geometry import base

    assert type(base._rgj_layout).__name__ == "PyCapsule"
    assert "orin.field.geometry.base._rgj_layout" in repr(base._rgj_layout)


# ---------------------------------------------------------------------------
# Eight threads calling every kernel and collection method on shared inputs
# give what serial calls give.


def _shared_calls() -> dict[str, Callable[[], Any]]:
    from orin.field.geometry import GeometryCollectionRGJ

    rng = np.random.default_rng(21)
    x = rng.uniform(-1, 4, (3000, 2))
    big = {name: valid_args(name, n=3000, seed=3) for name in KERNELS}
    collection = GeometryCollectionRGJ([
        {"type": "Point", "coordinates": [0, 0], "repulsion": [[2.0, 0.3], [0.3, 1.0]]},
        {"type": "Polygon", "coordinates": [[[1, 1], [2, 1], [2, 2], [1, 2], [1, 1]]]},
        {"type": "LineString", "coordinates": [[0, 3], [3, 3], [3, 0]]},
    ])
    calls: dict[str, Callable[[], Any]] = {name: (lambda n=name: call(n, big[n])) for name in KERNELS}
    calls.update({
        "squared_dist": lambda: collection.squared_dist(x, return_reference=True),
        "repulsion_vector": lambda: collection.repulsion_vector(x),
        "gradient": lambda: collection.gradient(x),
        "eval": lambda: collection.eval(x),
        "get_dist_matrix": lambda: collection.get_dist_matrix(),
        "in_bbox": lambda: collection.in_bbox(x[7]),
        "get_center_point": lambda: collection.get_center_point(),
        "toRGeoJSON": lambda: collection.toRGeoJSON(),
        "__reduce__": lambda: collection.__reduce__()[1],
    })
    return calls


def _same(a: Any, b: Any) -> bool:
    if isinstance(a, np.ndarray):
        return isinstance(b, np.ndarray) and a.dtype == b.dtype and np.array_equal(a, b, equal_nan=True)
    if isinstance(a, (tuple, list)):
        return type(a) is type(b) and len(a) == len(b) and all(_same(p, q) for p, q in zip(a, b))
    if isinstance(a, dict):
        return a.keys() == b.keys() and all(_same(a[k], b[k]) for k in a)
    return bool(a == b)


def test_threads_calling_everything_agree_with_serial_calls() -> None:
    import threading

    calls = _shared_calls()
    want = {name: f() for name, f in calls.items()}
    got: list[list[tuple[str, Any]]] = [[] for _ in range(8)]
    errors: list[BaseException] = []
    start = threading.Barrier(8)

    def worker(k: int) -> None:
        order = list(calls)
        np.random.default_rng(k).shuffle(order)
        try:
            start.wait()
            for _ in range(3):
                for name in order:
                    got[k].append((name, calls[name]()))
        except BaseException as exc:  # noqa: BLE001 - reported below
            errors.append(exc)

    threads = [threading.Thread(target=worker, args=(k,)) for k in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors, errors
    assert all(len(g) == 3 * len(calls) for g in got)
    bad = sorted({name for g in got for name, result in g if not _same(result, want[name])})
    assert not bad


# ---------------------------------------------------------------------------
# A bounded fuzz, in-process: any argument gives a result or a Python
# exception.  A crash here ends the test run, which is the failure it looks
# for.  Integers stay small so that a cyclic tree drawn by chance cannot make
# a walk of minutes.

from hypothesis import HealthCheck, given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402
from hypothesis.extra import numpy as hnp  # noqa: E402


class _IntOnly:
    def __init__(self, v: Any) -> None:
        self.v = v

    def __int__(self) -> Any:
        return self.v


class _IndexOnly:
    def __index__(self) -> int:
        return 1


def _arrays() -> st.SearchStrategy[Any]:
    dtypes = st.sampled_from([np.float64, np.float32, np.int32, np.int64, np.uint8, np.bool_, ">f8", ">i4", "O"])
    shapes = hnp.array_shapes(min_dims=0, max_dims=4, min_side=0, max_side=6)

    def build(dtype: Any, shape: tuple[int, ...], data: st.DataObject) -> Any:
        if np.dtype(dtype).kind == "O":
            return np.empty(shape, object)
        kind = np.dtype(dtype).kind
        elements = {"i": st.integers(-3, 6), "u": st.integers(0, 6), "b": st.booleans()}.get(
            kind, st.floats(allow_nan=True, width=32)
        )
        return data.draw(hnp.arrays(dtype, shape, elements=elements))

    plain = st.builds(build, dtypes, shapes, st.data())
    # Views of odd layouts: reversed, strided, broadcast, read-only, memoryviews.
    reversed_ = plain.map(lambda a: a[::-1] if a.ndim else a)
    strided = plain.map(lambda a: a[..., ::2] if a.ndim else a)
    broadcast = plain.map(lambda a: np.broadcast_to(a, (3,) + a.shape))
    views = plain.map(lambda a: memoryview(a) if a.dtype.kind != "O" else a)
    return plain | reversed_ | strided | broadcast | views


SCALARS = st.sampled_from(
    [None, 0, 1, -1, 3, 2**40, -(2**63), 1.5, float("nan"), float("inf"), "3", b"x", [], (), {}, [[0.0, 0.0]],
     _IntOnly(2), _IntOnly("x"), _IntOnly(2**70), _IndexOnly(), object(), bytearray(16), np.int64(4)]
)
ANY = st.one_of(_arrays(), SCALARS, st.lists(_arrays(), max_size=3))


@settings(max_examples=200, deadline=None, suppress_health_check=list(HealthCheck))
@given(name=st.sampled_from(KERNELS), data=st.data())
def test_fuzz_kernel_arguments(name: str, data: st.DataObject) -> None:
    args = valid_args(name)
    for key in list(args):
        if data.draw(st.booleans()):
            args[key] = data.draw(ANY)
    try:
        call(name, args)
    except Exception:  # noqa: BLE001 - any Python exception is an acceptable answer
        pass


def _state_items() -> st.SearchStrategy[Any]:
    return st.one_of(SCALARS, st.lists(SCALARS, max_size=3), _arrays(), st.dictionaries(st.text(max_size=3), SCALARS))


@settings(max_examples=200, deadline=None, suppress_health_check=list(HealthCheck))
@given(
    state=st.one_of(st.tuples(*[_state_items()] * 10), st.lists(_state_items(), max_size=13).map(tuple), SCALARS),
    checksum=st.sampled_from([0x96A235A, 0x3EB5C46, 0x7A84316, 1, -1, 2**70, 1.5e8, _IntOnly(0x96A235A),
                              _IndexOnly(), "x", None]),
    cls_kind=st.sampled_from(["collection", "subclass", "slots subclass", "base", "object", "int", "instance"]),
    constructed=st.booleans(),
)
def test_fuzz_setstate_and_reconstructor(state: Any, checksum: Any, cls_kind: str, constructed: bool) -> None:
    from orin.field.geometry import GeometryCollectionRGJ, collection
    from orin.field.geometry.base import MultiRGJGeometry

    class Sub(GeometryCollectionRGJ):
        pass

    class Slotted(GeometryCollectionRGJ):
        __slots__ = ("a",)

    cls = {"collection": GeometryCollectionRGJ, "subclass": Sub, "slots subclass": Slotted,
           "base": MultiRGJGeometry, "object": object, "int": 3, "instance": GeometryCollectionRGJ.__new__(Sub)}[cls_kind]
    target = GeometryCollectionRGJ([{"type": "Point", "coordinates": [0, 0]}]) if constructed else Sub.__new__(Sub)
    for attempt in (
        lambda: target.__setstate__(state),
        lambda: collection.__unpickle_GeometryCollectionRGJ(cls, checksum, state),
        lambda: collection.__unpickle_GeometryCollectionRGJ(cls, checksum, None),
    ):
        try:
            attempt()
        except Exception:  # noqa: BLE001
            pass
    # Whatever was restored, the instance still answers (or raises) as an object.
    for query in (lambda: target.__reduce__(), lambda: repr(target.rgjs), lambda: target.gradient(np.zeros((2, 2)))):
        try:
            query()
        except Exception:  # noqa: BLE001
            pass


# ---------------------------------------------------------------------------
# A collection that holds itself recurses through its members' methods until
# a bound stops it: RecursionError, even in a thread with a small stack,
# where CPython's own call count would let the stack overflow first.

SELF_HOLDING = r"""
import threading
from orin.field.geometry import GeometryCollectionRGJ

collection = GeometryCollectionRGJ([{"type": "Point", "coordinates": [0, 0]}])
collection.rgjs.append(collection)
outcome = []

def query():
    for call in (lambda: collection.squared_dist([[1.0, 2.0]]), lambda: collection.get_center_point(),
                 lambda: collection.repulsion_vector([[1.0, 2.0]])):
        try:
            call()
        except RecursionError:
            outcome.append("RecursionError")

threading.stack_size(2 << 20)
worker = threading.Thread(target=query)
worker.start()
worker.join()
print(outcome)
"""


def test_a_collection_that_holds_itself_raises_recursion_error() -> None:
    proc = run_python(SELF_HOLDING)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == str(["RecursionError"] * 3)
