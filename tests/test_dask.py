"""orin.field.dask: lazy risk over Dask arrays, threaded and on a loopback cluster."""

from __future__ import annotations

import importlib
import io
import math
import os
import pickle

import numpy as np
import pytest

dask = pytest.importorskip("dask")
da = pytest.importorskip("dask.array")
distributed = pytest.importorskip("distributed")

from orin.field import RiskField, example_scene  # noqa: E402
from orin.field.dask import client_for, eval_dask, gradient_dask, grid_dask  # noqa: E402
from orin.field.geometry import Polygon  # noqa: E402

BOUNDS = (-60.0, -60.0, 660.0, 460.0)


class Bump:
    """An obstacle the engine cannot compile: it has only ``eval`` and a box."""

    bbox = [[300.0, 200.0], [300.0, 200.0]]
    inv_repulsion = [[1 / 400.0, 0.0], [0.0, 1 / 400.0]]

    grad_matrix = [[2 / 400.0, 0.0], [0.0, 2 / 400.0]]

    def repulsion_vector(self, x):
        return np.asarray(x) - [300.0, 200.0]

    def eval(self, x):
        d = self.repulsion_vector(x)
        return np.exp(-(d * d).sum(axis=1) / 400.0)


FIELDS = {
    "euclidean": lambda: RiskField(example_scene()),
    "metric": lambda: RiskField(example_scene(), projection="metric", threads=2),
    "fallback": lambda: RiskField([*RiskField(example_scene()).obstacles, Bump()]),
}


@pytest.fixture(scope="module", params=sorted(FIELDS))
def field(request):
    return FIELDS[request.param]()


@pytest.fixture(scope="module")
def harbour():
    return FIELDS["euclidean"]()


@pytest.fixture(scope="module")
def points():
    rng = np.random.default_rng(15)
    pts = rng.uniform(BOUNDS[:2], BOUNDS[2:], size=(5000, 2))
    scene = RiskField(example_scene())
    # Points on an obstacle (its box corners and inside it), plus the rows
    # the engine treats apart: NaN and infinite coordinates.
    corners = np.concatenate([o.bbox for o in scene.obstacles if hasattr(o, "bbox")])
    special = np.array([[np.nan, 1.0], [1.0, np.inf], [-np.inf, -np.inf], [np.nan, np.nan]])
    return np.concatenate([pts, corners, special])


@pytest.fixture(scope="module")
def cluster_client():
    # Module-wide, so the processes start once: a second or so.
    with client_for(workers=2) as client:
        yield client


@pytest.fixture(params=["threads", "cluster"])
def run(request):
    """Computes a dask array on the threaded scheduler or the loopback cluster."""
    if request.param == "threads":
        return lambda arr: arr.compute(scheduler="threads", num_workers=2)
    client = request.getfixturevalue("cluster_client")
    return lambda arr: client.compute(arr).result()


def on_cluster_or_threads(field, run, request):
    # The field with a foreign obstacle reaches the workers only if they can
    # import this module (they inherit sys.path, but not under every import mode).
    if request.node.callspec.params.get("field") != "fallback" or request.node.callspec.params["run"] != "cluster":
        return
    client = request.getfixturevalue("cluster_client")
    try:
        client.run(importlib.import_module, Bump.__module__)
    except ImportError:
        pytest.skip("the workers cannot import this test module")


# Row blocks; None stands for the rows left over.
ROW_CHUNKS = [
    (5000, None),
    (1000, 1000, 1000, 1000, 1000, None),
    (0, 2500, 0, 0, None, 0),
    (None,),
]


def row_blocks(pattern, n):
    rest = n - sum(c for c in pattern if c is not None)
    return tuple(rest if c is None else c for c in pattern)


# -- bit identity ---------------------------------------------------------------------


@pytest.mark.parametrize("rows", ROW_CHUNKS)
def test_eval_and_gradient_are_direct_calls_bit_for_bit(field, points, rows, run, request):
    on_cluster_or_threads(field, run, request)
    pts = da.from_array(points, chunks=(row_blocks(rows, len(points)), 2))
    np.testing.assert_array_equal(run(eval_dask(field, pts)), field.eval(points))
    np.testing.assert_array_equal(run(gradient_dask(field, pts)), field.gradient(points))


@pytest.mark.parametrize(
    ("shape", "chunks"),
    [
        ((201, 301), (50, 70)),
        ((201, 301), ((0, 100, 0, 101), (301,))),
        ((201, 301), ((201,), (0, 1, 300, 0))),
        ((64, 96), "auto"),
        ((1, 1), 1),
        ((7, 1), 3),
        ((1, 9), (1, 4)),
    ],
)
def test_grid_is_direct_grid_bit_for_bit(field, shape, chunks, run, request):
    on_cluster_or_threads(field, run, request)
    lazy = grid_dask(field, BOUNDS, shape, chunks)
    assert lazy.shape == shape and lazy.dtype == np.float64
    np.testing.assert_array_equal(run(lazy), field.grid(BOUNDS, shape))


def test_grid_on_degenerate_bounds(harbour):
    # xmin == xmax: every column is the same x, which linspace repeats exactly.
    lazy = grid_dask(harbour, (250.0, 0.0, 250.0, 400.0), (33, 5), (10, 2))
    np.testing.assert_array_equal(lazy.compute(scheduler="threads"), harbour.grid((250, 0, 250, 400), (33, 5)))


def test_column_chunks_and_other_dtypes_are_taken(harbour, points):
    finite = points[np.isfinite(points).all(axis=1)]
    split = da.from_array(finite, chunks=(700, 1))
    np.testing.assert_array_equal(eval_dask(harbour, split).compute(scheduler="threads"), harbour.eval(finite))
    ints = np.round(finite).astype(np.int32)
    np.testing.assert_array_equal(
        eval_dask(harbour, da.from_array(ints, chunks=(999, 2))).compute(scheduler="threads"),
        harbour.eval(ints.astype(np.float64)),
    )


def test_numpy_input_is_split_into_blocks(harbour, points):
    lazy = eval_dask(harbour, points)
    assert isinstance(lazy, da.Array)
    np.testing.assert_array_equal(lazy.compute(scheduler="threads"), harbour.eval(points))


def test_unknown_row_counts(harbour, points):
    # Rows filtered by value have unknown block lengths until computed.
    pts = da.from_array(points, chunks=(1200, 2))
    kept = pts[pts[:, 0] > 300.0]
    assert math.isnan(kept.shape[0])
    want = harbour.eval(points[points[:, 0] > 300.0])
    np.testing.assert_array_equal(eval_dask(harbour, kept).compute(scheduler="threads"), want)


def test_lazily_generated_points_reduce_to_the_direct_maximum(harbour, run):
    unit = da.random.default_rng(3).random((40000, 2), chunks=(6000, 2))
    pts = BOUNDS[:2] + unit * (np.array(BOUNDS[2:]) - BOUNDS[:2])
    risk = eval_dask(harbour, pts)
    top = run(risk.max())
    hist = run(da.histogram(risk, bins=10, range=(0.0, 1.0))[0])
    direct = harbour.eval(pts.compute(scheduler="threads"))
    assert top == direct.max()
    np.testing.assert_array_equal(hist, np.histogram(direct, bins=10, range=(0.0, 1.0))[0])


# -- the field in the graph -------------------------------------------------------------


class _FieldCounter(pickle.Pickler):
    """Pickles a graph, counting every reference to a RiskField or a compiled scene in it."""

    def __init__(self) -> None:
        super().__init__(io.BytesIO(), protocol=pickle.HIGHEST_PROTOCOL)
        self.fields: list[RiskField] = []
        self.scenes = 0

    def persistent_id(self, obj):
        if isinstance(obj, RiskField):
            self.fields.append(obj)
            return len(self.fields)
        if type(obj).__name__ == "CompiledScene":
            self.scenes += 1
        return None


def references(graph):
    counter = _FieldCounter()
    counter.dump(dict(graph))
    return counter


def field_keys(graph):
    return [k for k in dict(graph) if isinstance(k, str) and k.startswith("riskfield-")]


@pytest.mark.parametrize(
    "build",
    [
        lambda f, p: eval_dask(f, p),
        lambda f, p: gradient_dask(f, p),
        lambda f, p: grid_dask(f, BOUNDS, (400, 300), (50, 50)),
        lambda f, p: eval_dask(f, p).sum() + gradient_dask(f, p).sum() + grid_dask(f, BOUNDS, (99, 98), 20).sum(),
    ],
    ids=["eval", "gradient", "grid", "all-three"],
)
def test_field_enters_the_graph_once(harbour, points, build):
    lazy = build(harbour, da.from_array(points, chunks=(300, 2)))
    graph = lazy.__dask_graph__()
    assert len(dict(graph)) > 20
    found = references(graph)
    assert len(found.fields) == 1
    assert len(field_keys(graph)) == 1
    # Tasks run the engine on one native thread; the caller's field is unchanged.
    assert found.fields[0].threads == 1
    assert harbour.threads >= 1 and harbour._threads_arg is None


def test_graphs_of_one_field_share_its_key(harbour, points):
    a = eval_dask(harbour, points[:100])
    b = grid_dask(harbour, BOUNDS, (10, 10), 5)
    c = gradient_dask(RiskField(example_scene()), points[:100])
    assert field_keys(a.__dask_graph__()) == field_keys(b.__dask_graph__()) == field_keys(c.__dask_graph__())
    other = eval_dask(RiskField(example_scene(), projection="metric"), points[:100])
    assert field_keys(other.__dask_graph__()) != field_keys(a.__dask_graph__())


class Unpicklable(Bump):
    def __init__(self):
        self.hook = lambda: None

    def __reduce__(self):
        raise TypeError("Unpicklable does not pickle")


def test_a_field_that_does_not_pickle_still_runs_threaded(points):
    field = RiskField([*RiskField(example_scene()).obstacles, Unpicklable()])
    lazy = eval_dask(field, da.from_array(points, chunks=(1000, 2)))
    assert len(field_keys(lazy.__dask_graph__())) == 1
    np.testing.assert_array_equal(lazy.compute(scheduler="threads"), field.eval(points))


def test_the_task_copy_rebuilds_with_one_thread(harbour):
    node = references(eval_dask(harbour, np.zeros((3, 2))).__dask_graph__()).fields[0]
    back = pickle.loads(pickle.dumps(node))
    assert back.threads == 1


# -- pickled size ------------------------------------------------------------------------


def small_city(buildings, seed=0):
    """Rotated rectangles with rotated anisotropic repulsions, 1,000 per km²."""
    rng = np.random.default_rng(seed)
    side = math.sqrt(buildings / 1000.0) * 1000.0
    unit = np.array([[-0.5, -0.5], [0.5, -0.5], [0.5, 0.5], [-0.5, 0.5], [-0.5, -0.5]])
    out = []
    for _ in range(buildings):
        a, b = rng.uniform(0, math.pi, 2)
        rot_a = np.array([[math.cos(a), -math.sin(a)], [math.sin(a), math.cos(a)]])
        rot_b = np.array([[math.cos(b), -math.sin(b)], [math.sin(b), math.cos(b)]])
        ring = rng.uniform(0, side, 2) + (unit * rng.uniform(8, 25, 2)) @ rot_a.T
        rep = rot_b @ np.diag(rng.uniform(3, 10, 2) ** 2) @ rot_b.T
        out.append(Polygon(coordinates=[ring.tolist()], repulsion=(0.5 * (rep + rep.T)).tolist()))
    return out


@pytest.mark.parametrize(
    "make", [lambda: RiskField(example_scene()), lambda: RiskField(small_city(400))], ids=["harbour", "city"]
)
def test_pickle_is_the_obstacles_not_the_index(make):
    field = make()
    blob = pickle.dumps(field, protocol=pickle.HIGHEST_PROTOCOL)
    # What the field reduces to is what travels: no compiled scene in it.
    counter = _FieldCounter()
    counter.dump(field.__reduce__())
    assert counter.scenes == 0 and not counter.fields
    # A few hundred bytes per obstacle part: the harbour stays in tens of KB.
    assert len(blob) < 1500 * len(field) + 8192
    back = pickle.loads(blob)
    probe = np.random.default_rng(1).uniform(-50, 700, (2000, 2))
    np.testing.assert_array_equal(back.eval(probe), field.eval(probe))


def test_harbour_pickle_is_tens_of_kilobytes(harbour):
    assert len(pickle.dumps(harbour)) < 32 * 1024


# -- arguments -------------------------------------------------------------------------------


@pytest.mark.parametrize("fn", [eval_dask, gradient_dask])
@pytest.mark.parametrize(
    ("pts", "exc"),
    [
        (da.zeros((10, 3), chunks=5), ValueError),
        (da.zeros((10,), chunks=5), ValueError),
        (da.zeros((2, 2, 2), chunks=1), ValueError),
        (da.zeros((10, 2), dtype=complex, chunks=5), TypeError),
        (da.from_array(np.array([["a", "b"]], dtype=object), chunks=1), TypeError),
        (np.zeros((4, 5)), ValueError),
    ],
)
def test_bad_points(harbour, fn, pts, exc):
    with pytest.raises(exc, match="points"):
        fn(harbour, pts)


@pytest.mark.parametrize("fn", [eval_dask, gradient_dask, lambda f, p: grid_dask(f, BOUNDS, (3, 3))])
@pytest.mark.parametrize("bad", [None, example_scene(), "scene.geojson", object()])
def test_field_must_be_a_risk_field(fn, bad):
    with pytest.raises(TypeError, match="field must be a RiskField"):
        fn(bad, da.zeros((3, 2), chunks=2))


@pytest.mark.parametrize(
    ("bounds", "shape"),
    [((0, 0, 1), (3, 3)), ((0, 0, np.nan, 1), (3, 3)), ((1, 0, 0, 1), (3, 3)), (BOUNDS, (0, 3)), (BOUNDS, (3,))],
)
def test_grid_rejects_what_direct_grid_rejects(harbour, bounds, shape):
    with pytest.raises(ValueError) as direct:
        harbour.grid(bounds, shape)
    with pytest.raises(ValueError) as lazy:
        grid_dask(harbour, bounds, shape, 2)
    assert str(lazy.value) == str(direct.value)


# -- the single-threaded copy ---------------------------------------------------------------


def test_with_threads_shares_the_scene(harbour, points):
    twin = harbour.with_threads(1)
    assert twin is not harbour and type(twin) is RiskField
    assert twin.threads == 1 and twin._scene is harbour._scene
    assert harbour.with_threads(None).threads == harbour.threads
    np.testing.assert_array_equal(twin.eval(points), harbour.eval(points))


@pytest.mark.parametrize(("threads", "exc"), [(0, ValueError), (2000, ValueError), (1.5, TypeError), (True, TypeError)])
def test_with_threads_checks_its_argument(harbour, threads, exc):
    with pytest.raises(exc, match="threads"):
        harbour.with_threads(threads)
    assert harbour._threads_arg is None


# -- clients ------------------------------------------------------------------------------------


def test_no_options_means_no_client():
    with client_for() as client:
        assert client is None


@pytest.mark.parametrize(
    ("kwargs", "exc"),
    [
        ({"scheduler": "tcp://127.0.0.1:1", "workers": 2}, ValueError),
        ({"workers": 0}, ValueError),
        ({"workers": "2"}, TypeError),
        ({"workers": 2.0}, TypeError),
        ({"workers": True}, TypeError),
        ({"scheduler": ""}, TypeError),
    ],
)
def test_client_for_rejects(kwargs, exc):
    with pytest.raises(exc), client_for(**kwargs):
        pass


def test_cluster_listens_on_loopback_only(cluster_client):
    psutil = pytest.importorskip("psutil")
    info = cluster_client.scheduler_info()
    assert info["address"].startswith("tcp://127.0.0.1:")
    assert len(info["workers"]) == 2
    for address, worker in info["workers"].items():
        assert address.startswith("tcp://127.0.0.1:")
        assert worker["nanny"].startswith("tcp://127.0.0.1:")
    # Every listening socket of this process (the scheduler's) and of the
    # worker processes, dashboards included, is bound to loopback.
    pids = {os.getpid(), *cluster_client.run(os.getpid).values()}
    pids |= {p.ppid() for p in map(psutil.Process, pids - {os.getpid()})}
    listening = [
        c.laddr
        for pid in pids
        for c in psutil.Process(pid).net_connections(kind="inet")
        if c.status == psutil.CONN_LISTEN
    ]
    assert listening
    assert all(addr.ip == "127.0.0.1" for addr in listening), listening


def test_connecting_to_a_running_scheduler(cluster_client, harbour, points):
    address = cluster_client.scheduler_info()["address"]
    with client_for(scheduler=address) as other:
        assert other is not cluster_client
        got = other.compute(eval_dask(harbour, da.from_array(points, chunks=(800, 2)))).result()
    np.testing.assert_array_equal(got, harbour.eval(points))


# -- xarray -----------------------------------------------------------------------------------------


@pytest.fixture(scope="module")
def xr():
    return pytest.importorskip("xarray", exc_type=ImportError)


@pytest.mark.parametrize("chunks", [None, (40, 25), "auto"])
def test_grid_xarray_labels_the_direct_grid(xr, harbour, chunks):
    from orin.field.xarray import grid_xarray

    arr = grid_xarray(harbour, BOUNDS, (81, 57), chunks=chunks, crs="EPSG:32631")
    assert arr.dims == ("y", "x") and arr.shape == (81, 57)
    assert isinstance(arr.data, da.Array) == (chunks is not None)
    np.testing.assert_array_equal(arr.values, harbour.grid(BOUNDS, (81, 57)))
    np.testing.assert_array_equal(arr["x"].values, np.linspace(BOUNDS[0], BOUNDS[2], 57))
    np.testing.assert_array_equal(arr["y"].values, np.linspace(BOUNDS[1], BOUNDS[3], 81))
    assert arr.attrs["crs"] == "EPSG:32631"
    # Label lookup finds the same sample as the grid's own indexing.
    picked = float(arr.sel(x=arr["x"][20], y=arr["y"][33]).values)
    assert picked == harbour.grid(BOUNDS, (81, 57))[33, 20]


@pytest.mark.parametrize(
    ("crs", "want"),
    [
        (3857, "EPSG:3857"),
        (np.int64(4326), "EPSG:4326"),
        ({"type": "name", "properties": {"name": "urn:ogc:def:crs:EPSG::25832"}}, "urn:ogc:def:crs:EPSG::25832"),
        ('PROJCS["x"]', 'PROJCS["x"]'),
        (None, None),
    ],
)
def test_grid_xarray_crs_forms(xr, harbour, crs, want):
    from orin.field.xarray import grid_xarray

    arr = grid_xarray(harbour, BOUNDS, (2, 2), crs=crs)
    assert arr.attrs.get("crs") == want


def test_grid_xarray_takes_the_fields_crs(xr):
    from orin.field.xarray import grid_xarray

    field = RiskField(example_scene())
    field.crs = "EPSG:2154"
    assert grid_xarray(field, BOUNDS, (2, 3)).attrs["crs"] == "EPSG:2154"
    assert grid_xarray(field, BOUNDS, (2, 3), crs=3857).attrs["crs"] == "EPSG:3857"


@pytest.mark.parametrize(
    ("crs", "exc"),
    [
        (True, TypeError),
        (1.5, TypeError),
        ({"type": "link"}, ValueError),
        ({"type": "name", "properties": {}}, ValueError),
    ],
)
def test_grid_xarray_bad_crs(xr, harbour, crs, exc):
    from orin.field.xarray import grid_xarray

    with pytest.raises(exc, match="crs"):
        grid_xarray(harbour, BOUNDS, (2, 2), crs=crs)
