"""GeometryCollectionRGJ: construction, attributes and the member-combining queries.

Most tests use ``Fake`` members, which answer from the arrays they are built
with and log every call, so that the arguments, the order of the calls and
the selection rules are pinned exactly. The selection rules are checked
against a plain-Python reference (``reference_*``) that loops point by point.
"""

from __future__ import annotations

import gc
import math
import subprocess
import sys
import textwrap
import weakref
from typing import Any

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import orin.field.geometry as geometry
from orin.field.geometry import collection as collection_module
from orin.field.geometry.base import MultiRGJGeometry
from orin.field.geometry.collection import GeometryCollectionRGJ

CALLS: list[tuple[Any, ...]] = []
EYE = [[1.0, 0.0], [0.0, 1.0]]


class Fake:
    """A member that answers from its keyword data and logs each call."""

    def __init__(self, **kwargs: Any) -> None:
        CALLS.append(("init", kwargs.get("name"), kwargs))
        if kwargs.get("fail_init"):
            raise RuntimeError("member refused")
        self.kwargs = kwargs
        self.name = kwargs.get("name", "m")
        self.dist = kwargs.get("dist", [0.0])
        self.vec = kwargs.get("vec", [[0.0, 0.0]])
        self.inv = kwargs.get("inv", EYE)
        self._grad = kwargs.get("grad", EYE)
        self._bbox = kwargs.get("bbox", [[0.0, 0.0], [1.0, 1.0]])
        self.center = kwargs.get("center", [0.0, 0.0])
        self.inside = kwargs.get("inside", False)
        self.fail = kwargs.get("fail", ())

    def _log(self, what: str, *args: Any, **kwargs: Any) -> None:
        CALLS.append((what, self.name, args, kwargs))
        if what in self.fail:
            raise RuntimeError(f"{self.name} fails in {what}")

    def get_dist_matrix(self, scaled: Any = True, inverted: Any = True) -> Any:
        self._log("get_dist_matrix", scaled=scaled, inverted=inverted)
        return np.array(self.inv)

    @property
    def grad_matrix(self) -> Any:
        self._log("grad_matrix")
        return np.array(self._grad)

    @property
    def bbox(self) -> Any:
        self._log("bbox")
        return np.array(self._bbox)

    def squared_dist(self, x: Any, scaled: Any = True, inverted: Any = True) -> Any:
        self._log("squared_dist", x, scaled=scaled, inverted=inverted)
        return np.array(self.dist, dtype=float)

    def repulsion_vector(self, x: Any, min_dist_select: Any = True, **kwargs: Any) -> Any:
        self._log("repulsion_vector", x, min_dist_select=min_dist_select, **kwargs)
        return np.array(self.vec, dtype=float).reshape(-1, 2)

    def set_repulsion(self, *args: Any, **kwargs: Any) -> Any:
        self._log("set_repulsion", *args, **kwargs)
        return "ignored"

    def in_bbox(self, *args: Any, **kwargs: Any) -> Any:
        self._log("in_bbox", *args, **kwargs)
        return self.inside

    def get_center_point(self, *args: Any, **kwargs: Any) -> Any:
        self._log("get_center_point", *args, **kwargs)
        return self.center

    def toRGeoJSON(self, *args: Any, **kwargs: Any) -> Any:
        self._log("toRGeoJSON", *args, **kwargs)
        return {"type": "Feature", "properties": {}, "geometry": {"type": "Fake", "name": self.name}}


@pytest.fixture(autouse=True)
def registry(monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.setitem(geometry._RGJ_TYPES, "Fake", Fake)
    CALLS.clear()


def fake(name: str, **data: Any) -> dict[str, Any]:
    return {"type": "Fake", "name": name, **data}


def make(*members: dict[str, Any], **kwargs: Any) -> GeometryCollectionRGJ:
    c = GeometryCollectionRGJ(list(members), **kwargs)
    CALLS.clear()
    return c


def calls(what: str | None = None) -> list[tuple[Any, ...]]:
    return [c for c in CALLS if what is None or c[0] == what]


def fields(c: GeometryCollectionRGJ) -> list[Any]:
    names = ["coordinates", "repulsion", "inv_repulsion", "eye_repulsion", "grad_matrix", "properties",
             "bbox", "rgjs", "inv_repulsions", "grad_matrixes"]
    return [getattr(c, n) for n in names]


# --- plain-Python references ---------------------------------------------------------


def first_min(values: list[float]) -> int:
    """NumPy's argmin: the first NaN wins, otherwise the first smallest."""
    best = 0
    for i, v in enumerate(values):
        if math.isnan(v):
            return i
        if v < values[best]:
            best = i
    return best


def quadratic(m: list[list[float]], v: list[float]) -> float:
    return v[0] * (m[0][0] * v[0] + m[0][1] * v[1]) + v[1] * (m[1][0] * v[0] + m[1][1] * v[1])


def reference_squared_dist(dists: list[list[float]]) -> tuple[list[float], list[int]]:
    n = len(dists[0])
    idx = [first_min([d[p] for d in dists]) for p in range(n)]
    return [dists[idx[p]][p] for p in range(n)], idx


def reference_repulsion(vecs: list[list[list[float]]], invs: list[list[list[float]]]) -> list[list[float]]:
    out = []
    for p in range(len(vecs[0])):
        sel = first_min([quadratic(invs[m], vecs[m][p]) for m in range(len(vecs))])
        out.append(vecs[sel][p])
    return out


def reference_gradient(dists, vecs, invs, grads) -> list[list[float]]:
    nearest, idx = reference_squared_dist(dists)
    vectors = reference_repulsion(vecs, invs)
    out = []
    for p, v in enumerate(vectors):
        # The field value comes from the base type's eval, which uses NumPy's
        # exp; libm's may differ from it in the last bit on some NumPy builds.
        f = float(np.exp(-nearest[p]))
        g = grads[idx[p]]
        out.append([-f * (g[j][0] * v[0] + g[j][1] * v[1]) for j in range(2)])
    return out


# --- module and type --------------------------------------------------------------------


def test_module_contents_and_type_shape() -> None:
    names = [n for n in vars(collection_module) if not n.startswith("__") or n.startswith("__unpickle")]
    assert names == ["GeometryCollectionRGJ", "np", "__unpickle_GeometryCollectionRGJ"]
    assert collection_module.np is np
    t = GeometryCollectionRGJ
    assert t.__module__ == "orin.field.geometry.collection" and t.__bases__ == (MultiRGJGeometry,)
    assert t.__basicsize__ == MultiRGJGeometry.__basicsize__ + 3 * np.dtype(np.intp).itemsize
    assert t.RGJType == "GeometryCollection"
    methods = ["set_coordinates", "set_repulsion", "in_bbox", "get_dist_matrix", "get_center_point",
               "squared_dist", "repulsion_vector", "gradient", "toRGeoJSON", "__reduce__", "__setstate__"]
    assert [n for n in vars(t) if n in methods] == methods
    assert t.__doc__ is None
    assert all(getattr(t, n).__doc__ is None for n in methods)
    assert geometry._RGJ_TYPES["GeometryCollection"] is t


def test_allocation_sets_own_fields_to_none() -> None:
    c = GeometryCollectionRGJ.__new__(GeometryCollectionRGJ, "ignored", key="ignored")
    assert fields(c) == [None] * 10


# --- construction ---------------------------------------------------------------------


def test_construction_passes_each_dict_and_stacks_in_order() -> None:
    members = [
        fake("a", inv=[[1.0, 2.0], [3.0, 4.0]], grad=[[5.0, 0.0], [0.0, 5.0]], bbox=[0, 1, 2, 3], extra=[1]),
        fake("b", inv=[[6.0, 0.0], [0.0, 7.0]], grad=EYE, bbox=[-1.0, 5.0, 0.5, 6.0]),
    ]
    c = GeometryCollectionRGJ(members)
    assert [(k, n) for k, n, *_ in CALLS] == [
        ("init", "a"), ("init", "b"),
        ("get_dist_matrix", "a"), ("get_dist_matrix", "b"),
        ("grad_matrix", "a"), ("grad_matrix", "b"),
        ("bbox", "a"), ("bbox", "b"),
    ]
    # Every entry, "type" included, arrives as a keyword; a copy, not the dict.
    assert CALLS[0][2] == members[0] and CALLS[0][2] is not members[0]
    assert all(c_[2] == () and c_[3] == {"scaled": True, "inverted": True} for c_ in calls("get_dist_matrix"))
    assert [m.name for m in c.rgjs] == ["a", "b"]
    np.testing.assert_array_equal(c.inv_repulsions, [m["inv"] for m in members])
    np.testing.assert_array_equal(c.grad_matrixes, [[[5, 0], [0, 5]], EYE])
    np.testing.assert_array_equal(c.bbox, [[-1.0, 1.0], [2.0, 6.0]])
    assert c.inv_repulsions.shape == (2, 2, 2)
    assert isinstance(c.properties, dict) and c.properties == {}


def test_properties_identity_and_extra_keywords() -> None:
    props = {"k": 1}
    a = GeometryCollectionRGJ([fake("a")], props, type="GeometryCollection", anything=3)
    b = GeometryCollectionRGJ(geometries=[fake("a")], properties=None)
    c = GeometryCollectionRGJ([fake("a")])
    assert a.properties is props
    assert b.properties == {} and c.properties == {} and b.properties is not c.properties


class MappingMember:
    def __init__(self, data: dict[str, Any]) -> None:
        self.data = data

    def __getitem__(self, key: str) -> Any:
        return self.data[key]

    def keys(self) -> Any:
        return self.data.keys()


@pytest.mark.parametrize(
    "wrap",
    [list, tuple, lambda ms: (m for m in ms), lambda ms: [MappingMember(m) for m in ms], type("L", (list,), {})],
    ids=["list", "tuple", "generator", "mapping", "list-subclass"],
)
def test_any_iterable_of_mappings(wrap: Any) -> None:
    c = GeometryCollectionRGJ(wrap([fake("a"), fake("b"), fake("c")]))
    assert [m.name for m in c.rgjs] == ["a", "b", "c"]


def test_single_member_bbox_and_nested_collection() -> None:
    inner = {"type": "GeometryCollection", "geometries": [fake("x", bbox=[[2, 3], [4, 5]])]}
    c = GeometryCollectionRGJ([inner])
    assert type(c.rgjs[0]) is GeometryCollectionRGJ
    np.testing.assert_array_equal(c.bbox, [[2, 3], [4, 5]])
    np.testing.assert_array_equal(c.rgjs[0].bbox, [[2, 3], [4, 5]])


def test_list_mutated_by_member_constructor_is_walked_safely(monkeypatch: pytest.MonkeyPatch) -> None:
    class Shrinking(Fake):
        def __init__(self, **kw: Any) -> None:
            geoms.clear()
            super().__init__(**kw)

    monkeypatch.setitem(geometry._RGJ_TYPES, "Shrinking", Shrinking)
    geoms = [fake("a"), {"type": "Shrinking", "name": "s"}, fake("b")]
    c = GeometryCollectionRGJ(geoms)
    assert [m.name for m in c.rgjs] == ["a", "s"]


FAILURES = [
    ("not-iterable", 5, {}, TypeError),
    ("unsubscriptable", [fake("a"), 3], {}, TypeError),
    ("no-type", [fake("a"), {"name": "x"}], {}, KeyError),
    ("unknown-type", [fake("a"), {"type": "Nope"}], {}, KeyError),
    ("member-raises", [fake("a"), fake("b", fail_init=True)], {}, RuntimeError),
    ("get_dist_matrix", [fake("a"), fake("b", fail=("get_dist_matrix",))], {}, RuntimeError),
    ("grad_matrix", [fake("a"), fake("b", fail=("grad_matrix",))], {}, RuntimeError),
    ("bbox", [fake("a"), fake("b", fail=("bbox",))], {}, RuntimeError),
    ("empty", [], {}, ValueError),
    ("ragged-metrics", [fake("a"), fake("b", inv=[[1.0, 2.0, 3.0]])], {}, ValueError),
    ("odd-bbox", [fake("a", bbox=[1.0, 2.0, 3.0])], {}, ValueError),
    ("too-many-positional", [fake("a")], {"args": ({}, 3)}, TypeError),
    ("duplicate", [fake("a")], {"kwargs": {"geometries": []}}, TypeError),
]


@pytest.mark.parametrize("case", FAILURES, ids=[f[0] for f in FAILURES])
@pytest.mark.parametrize("fresh", [True, False], ids=["fresh", "reinit"])
def test_failed_construction_changes_nothing(case: Any, fresh: bool) -> None:
    _, geoms, extra, error = case
    if fresh:
        c = GeometryCollectionRGJ.__new__(GeometryCollectionRGJ)
    else:
        c = make(fake("old", inv=[[2.0, 0.0], [0.0, 2.0]]), properties={"old": 1})
    before = fields(c)
    with pytest.raises(error):
        c.__init__(geoms, *extra.get("args", ()), **extra.get("kwargs", {}))
    assert all(now is then for now, then in zip(fields(c), before))


def test_missing_registry_is_import_error(monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.delattr(geometry, "_RGJ_TYPES")
    with pytest.raises(ImportError, match="_RGJ_TYPES"):
        GeometryCollectionRGJ([fake("a")], properties={})


def test_registry_is_read_at_each_construction(monkeypatch: pytest.MonkeyPatch) -> None:
    class Other(Fake):
        pass

    monkeypatch.setattr(geometry, "_RGJ_TYPES", {"Fake": Other})
    assert type(GeometryCollectionRGJ([fake("a")]).rgjs[0]) is Other


# --- attributes and mutators ---------------------------------------------------------


def test_rgjs_attribute_rules() -> None:
    c = make(fake("a"))
    members = c.rgjs
    for bad in [(), type("L", (list,), {})(), "ab", 3]:
        with pytest.raises(TypeError):
            c.rgjs = bad
        assert c.rgjs is members
    new: list[Any] = []
    c.rgjs = new
    assert c.rgjs is new
    del c.rgjs
    assert c.rgjs is None
    c.inv_repulsions = "anything"
    assert c.inv_repulsions == "anything"
    del c.inv_repulsions, c.grad_matrixes
    assert c.inv_repulsions is None and c.grad_matrixes is None


@pytest.mark.parametrize(
    "call",
    [
        lambda c: c.squared_dist(np.zeros((1, 2))),
        lambda c: c.repulsion_vector(np.zeros((1, 2))),
        lambda c: c.gradient(np.zeros((1, 2))),
        lambda c: c.get_dist_matrix(),
        lambda c: c.in_bbox((0, 0)),
        lambda c: c.get_center_point(),
        lambda c: c.toRGeoJSON(),
        lambda c: c.set_repulsion(EYE),
    ],
)
def test_methods_on_member_list_none_raise_type_error(call: Any) -> None:
    c = make(fake("a"))
    c.rgjs = None
    with pytest.raises(TypeError):
        call(c)
    assert CALLS == []


def test_set_repulsion_forwards_positionally_and_keeps_stacks() -> None:
    c = make(fake("a"), fake("b"), fake("c"))
    stacks = (c.inv_repulsions, c.grad_matrixes, c.bbox)
    r = object()
    assert c.set_repulsion(r) is None
    assert calls() == [("set_repulsion", n, (r,), {}) for n in "abc"]
    assert (c.inv_repulsions, c.grad_matrixes, c.bbox) == stacks
    c2 = make(fake("a"), fake("b", fail=("set_repulsion",)), fake("c"))
    with pytest.raises(RuntimeError):
        c2.set_repulsion(new_repulsion=r)
    assert [n for _, n, *_ in calls()] == ["a", "b"]


def test_set_coordinates_always_raises() -> None:
    c = make(fake("a"))
    before = fields(c)
    with pytest.raises(NotImplementedError) as info:
        c.set_coordinates([[0, 0]])
    assert info.value.args == ()
    assert fields(c) == before and CALLS == []


SIGNATURE_ERRORS = [
    ("set_coordinates", (), {}), ("set_coordinates", (1, 2), {}), ("set_coordinates", (1,), {"other": 1}),
    ("set_repulsion", (), {}), ("set_repulsion", (1,), {"new_repulsion": 1}), ("set_repulsion", (1,), {"x": 1}),
    ("in_bbox", (), {}), ("in_bbox", (1, 2), {}), ("in_bbox", (1,), {"y": 2}),
    ("get_dist_matrix", (1, 2, 3), {}), ("get_dist_matrix", (1,), {"scaled": 1}),
    ("get_dist_matrix", (), {"other": 1}),
    ("get_center_point", (1,), {}), ("toRGeoJSON", (), {"x": 1}), ("__reduce__", (1,), {}),
    ("squared_dist", (), {}), ("squared_dist", (1, 2, 3, 4, 5), {}), ("squared_dist", (1,), {"x": 1}),
    ("repulsion_vector", (), {"min_dist_select": True}), ("repulsion_vector", (1, 2, 3), {}),
    ("repulsion_vector", (1, 2), {"min_dist_select": 1}),
    ("gradient", (), {}), ("gradient", (1, 2), {}), ("gradient", (1,), {"x": 1}),
    ("__setstate__", (), {}), ("__setstate__", ((), ()), {}),
]


@pytest.mark.parametrize("name,args,kwargs", SIGNATURE_ERRORS)
def test_argument_binding_errors(name: str, args: tuple[Any, ...], kwargs: dict[str, Any]) -> None:
    c = make(fake("a"))
    with pytest.raises(TypeError):
        getattr(c, name)(*args, **kwargs)
    assert CALLS == []


# --- squared_dist --------------------------------------------------------------------


def test_squared_dist_passes_flags_and_x_unchanged() -> None:
    c = make(fake("a", dist=[3.0, 1.0]), fake("b", dist=[2.0, 1.0]))
    x, scaled, inverted = object(), object(), object()
    np.testing.assert_array_equal(c.squared_dist(x, scaled, inverted=inverted, unknown=1), [2.0, 1.0])
    assert calls() == [("squared_dist", n, (x,), {"scaled": scaled, "inverted": inverted}) for n in "ab"]
    CALLS.clear()
    c.squared_dist(x)
    assert calls()[0][3] == {"scaled": True, "inverted": True}


@pytest.mark.parametrize("flag", [True, 1, "yes", [0]])
def test_return_reference_truthy_gives_tuple(flag: Any) -> None:
    c = make(fake("a", dist=[3.0, 1.0, 5.0]), fake("b", dist=[2.0, 1.0, 7.0]))
    dists, idx = c.squared_dist(np.zeros((3, 2)), return_reference=flag)
    np.testing.assert_array_equal(dists, c.squared_dist(np.zeros((3, 2))))
    np.testing.assert_array_equal(idx, [1, 0, 0])
    assert idx.dtype == np.intp


def test_single_member_and_no_points() -> None:
    c = make(fake("a", dist=[4.0, 9.0], vec=[[1, 2], [3, 4]]))
    out = c.squared_dist(None)
    np.testing.assert_array_equal(out, [4.0, 9.0])
    np.testing.assert_array_equal(c.squared_dist(None, return_reference=True)[1], [0, 0])
    np.testing.assert_array_equal(c.repulsion_vector(None), [[1, 2], [3, 4]])
    empty = make(fake("a", dist=[], vec=np.zeros((0, 2))), fake("b", dist=[], vec=np.zeros((0, 2))))
    assert empty.squared_dist(None).shape == (0,)
    assert [a.shape for a in empty.squared_dist(None, return_reference=True)] == [(0,), (0,)]
    assert empty.repulsion_vector(None).shape == (0, 2)
    assert empty.gradient(None).shape == (0, 2)


def test_empty_collection_queries_fail_with_value_error() -> None:
    c = make(fake("a"))
    c.rgjs = []
    for call in (c.squared_dist, c.repulsion_vector, c.gradient):
        with pytest.raises(ValueError):
            call(np.zeros((1, 2)))
    assert c.get_dist_matrix().shape == (0,) and c.get_dist_matrix().dtype == np.float64


values = st.sampled_from([0.0, 1.0, 2.0, 3.0, -1.0, math.nan, math.inf, -math.inf])
small = st.sampled_from([0.0, 1.0, -1.0, 2.0, -3.0, math.nan, math.inf])


@st.composite
def scenes(draw: Any) -> tuple[Any, ...]:
    m = draw(st.integers(1, 4))
    n = draw(st.integers(1, 5))
    dists = [[draw(values) for _ in range(n)] for _ in range(m)]
    vecs = [[[draw(small), draw(small)] for _ in range(n)] for _ in range(m)]
    invs = [[[draw(st.integers(-2, 3)) * 1.0 for _ in range(2)] for _ in range(2)] for _ in range(m)]
    grads = [[[draw(st.integers(-2, 3)) * 1.0 for _ in range(2)] for _ in range(2)] for _ in range(m)]
    return dists, vecs, invs, grads


def scene_collection(dists: Any, vecs: Any, invs: Any, grads: Any) -> GeometryCollectionRGJ:
    return make(*[fake(str(i), dist=d, vec=v, inv=a, grad=g)
                  for i, (d, v, a, g) in enumerate(zip(dists, vecs, invs, grads))])


@settings(max_examples=150, deadline=None)
@given(scenes())
def test_selection_matches_reference(scene: Any) -> None:
    dists, vecs, invs, grads = scene
    c = scene_collection(*scene)
    x = np.zeros((len(dists[0]), 2))
    nearest, idx = reference_squared_dist(dists)
    got, got_idx = c.squared_dist(x, return_reference=True)
    np.testing.assert_array_equal(got, nearest)
    np.testing.assert_array_equal(got_idx, idx)
    np.testing.assert_array_equal(c.squared_dist(x), nearest)
    with np.errstate(invalid="ignore"):
        np.testing.assert_array_equal(c.repulsion_vector(x), reference_repulsion(vecs, invs))
        np.testing.assert_array_equal(c.gradient(x), reference_gradient(dists, vecs, invs, grads))


def test_ties_and_nan_pick_the_first_member() -> None:
    c = make(fake("a", dist=[1.0, 2.0, math.nan]), fake("b", dist=[1.0, math.nan, math.nan]),
             fake("c", dist=[0.5, 0.0, 1.0]))
    d, idx = c.squared_dist(np.zeros((3, 2)), return_reference=True)
    np.testing.assert_array_equal(idx, [2, 1, 0])
    np.testing.assert_array_equal(d, [0.5, math.nan, math.nan])


def test_repulsion_vector_uses_each_members_own_non_symmetric_metric() -> None:
    # Member a's vector is the nearer one only in a's own metric (its
    # off-diagonal term makes the form negative); in b's metric, or in the
    # identity, b's vector would win.
    a = fake("a", vec=[[1.0, 1.0]], inv=[[1.0, -3.0], [0.0, 1.0]])
    b = fake("b", vec=[[1.0, 0.0]], inv=EYE)
    c = make(a, b)
    np.testing.assert_array_equal(c.repulsion_vector(np.zeros((1, 2))), [[1.0, 1.0]])
    c.inv_repulsions = np.array([EYE, EYE])  # the stored stack is what counts
    np.testing.assert_array_equal(c.repulsion_vector(np.zeros((1, 2))), [[1.0, 0.0]])


def test_repulsion_vector_routes_keywords_and_flattens_without_selection() -> None:
    c = make(fake("a", vec=[[1, 2], [3, 4]]), fake("b", vec=[[5, 6], [7, 8]]))
    c.inv_repulsions = "never read"
    x = object()
    out = c.repulsion_vector(x, False, scaled=0, extra="e")
    np.testing.assert_array_equal(out, [[1, 2], [3, 4], [5, 6], [7, 8]])
    assert calls() == [("repulsion_vector", n, (x,), {"min_dist_select": False, "scaled": 0, "extra": "e"})
                       for n in "ab"]


class BadBool:
    def __bool__(self) -> bool:
        raise ZeroDivisionError


def test_truth_test_errors_propagate() -> None:
    c = make(fake("a"))
    with pytest.raises(ZeroDivisionError):
        c.squared_dist(None, return_reference=BadBool())
    with pytest.raises(ZeroDivisionError):
        c.repulsion_vector(None, min_dist_select=BadBool())


# --- gradient -------------------------------------------------------------------


class Recording(GeometryCollectionRGJ):
    """Records the collection-level calls that gradient makes."""

    def squared_dist(self, *args: Any, **kwargs: Any) -> Any:
        CALLS.append(("self.squared_dist", args, kwargs))
        return super().squared_dist(*args, **kwargs)

    def repulsion_vector(self, *args: Any, **kwargs: Any) -> Any:
        CALLS.append(("self.repulsion_vector", args, kwargs))
        return super().repulsion_vector(*args, **kwargs)

    def eval(self, *args: Any, **kwargs: Any) -> Any:
        CALLS.append(("self.eval", args, kwargs))
        return super().eval(*args, **kwargs)


def test_gradient_call_order_and_keyword_routing() -> None:
    c = Recording([fake("a", dist=[1.0]), fake("b", dist=[2.0])])
    CALLS.clear()
    x = np.zeros((1, 2))
    c.gradient(x, scaled=False, note="n")
    top = [(k, a, kw) for k, a, kw in (e for e in CALLS if e[0].startswith("self."))]
    assert top[0] == ("self.squared_dist", (x,), {"return_reference": True, "scaled": False, "note": "n"})
    assert top[1] == ("self.repulsion_vector", (x,), {"min_dist_select": True, "scaled": False, "note": "n"})
    assert top[2] == ("self.eval", (), {"x": x})
    assert [e[3]["scaled"] for e in calls("squared_dist")[:2]] == [False, False]
    assert [e[3] for e in calls("repulsion_vector")] == [{"min_dist_select": True, "scaled": False, "note": "n"}] * 2


def test_gradient_duplicate_keywords() -> None:
    c = Recording([fake("a")])
    CALLS.clear()
    with pytest.raises(TypeError):
        c.gradient(np.zeros((1, 2)), return_reference=False)
    assert CALLS == []
    with pytest.raises(TypeError):
        c.gradient(np.zeros((1, 2)), min_dist_select=False)
    assert [e[0] for e in CALLS if e[0].startswith("self.")] == ["self.squared_dist"]


@pytest.mark.parametrize("result", [(1,), (1, 2, 3), 5, iter([1])])
def test_gradient_unpacks_exactly_two(result: Any) -> None:
    class Odd(GeometryCollectionRGJ):
        def squared_dist(self, *args: Any, **kwargs: Any) -> Any:
            return result

    c = Odd([fake("a")])
    with pytest.raises((ValueError, TypeError)):
        c.gradient(np.zeros((1, 2)))


class RecordingNumpy:
    def __init__(self) -> None:
        self.calls: list[tuple[Any, ...]] = []

    def __getattr__(self, name: str) -> Any:
        fn = getattr(np, name)

        def wrapper(*args: Any, **kwargs: Any) -> Any:
            self.calls.append((name, args, kwargs))
            return fn(*args, **kwargs)

        return wrapper


def test_numpy_is_reached_through_the_module_attribute(monkeypatch: pytest.MonkeyPatch) -> None:
    c = make(fake("a", dist=[1.0], vec=[[1, 0]]), fake("b", dist=[2.0], vec=[[0, 1]]))
    rec = RecordingNumpy()
    monkeypatch.setattr(collection_module, "np", rec)
    c.gradient(np.zeros((1, 2)))
    names = [n for n, *_ in rec.calls]
    assert names[:3] == ["stack", "argmin", "arange"]
    subscripts = [a[0] for n, a, _ in rec.calls if n == "einsum"]
    assert subscripts == ["ijk,lik->lij", "ijk,ik->ij"]
    members_einsum = next(a for n, a, _ in rec.calls if n == "einsum")
    assert members_einsum[1] is c.inv_repulsions
    monkeypatch.delattr(collection_module, "np")
    with pytest.raises(NameError):
        c.squared_dist(None)


# --- distance matrix, bbox, centre, export ----------------------------------------


def test_get_dist_matrix_passes_flags_as_received() -> None:
    c = make(fake("a", inv=[[1.0, 2.0], [3.0, 4.0]]), fake("b", inv=EYE))
    flag = object()
    out = c.get_dist_matrix(False)
    np.testing.assert_array_equal(out, [[[1, 2], [3, 4]], EYE])
    c.get_dist_matrix(inverted=flag)
    assert [e[3] for e in calls()] == [{"scaled": False, "inverted": True}] * 2 + [
        {"scaled": True, "inverted": flag}] * 2
    assert all(e[2] == () for e in calls())


def test_in_bbox_short_circuits_and_returns_bool() -> None:
    c = make(fake("a", inside=None), fake("b", inside=np.bool_(True)), fake("c", inside=True))
    x = object()
    assert c.in_bbox(x) is True
    assert calls() == [("in_bbox", n, (x,), {}) for n in "ab"]
    assert make(fake("a", inside=np.False_), fake("b", inside=0)).in_bbox(x=1) is False
    with pytest.raises(ValueError):
        make(fake("a", inside=np.array([True, False]))).in_bbox(0)


def test_get_center_point_is_the_midpoint_of_extremes() -> None:
    c = make(fake("a", center=[0, 0]), fake("b", center=np.array([1.0, 0.0])), fake("c", center=(10, 4)))
    np.testing.assert_array_equal(c.get_center_point(), [5.0, 2.0])
    single = make(fake("a", center=np.array([3.0, 4.0])))
    out = single.get_center_point()
    np.testing.assert_array_equal(out, [3.0, 4.0])
    assert out is not single.rgjs[0].center
    with pytest.raises(ValueError):
        make(fake("a", center=[1, 2, 3])).get_center_point()


def test_to_rgeojson_layout() -> None:
    props = {"p": 1}
    c = make(fake("a"), fake("b"), properties=props)
    out = c.toRGeoJSON()
    assert list(out) == ["type", "properties", "geometry"] and list(out["geometry"]) == ["type", "geometries"]
    assert out["type"] == "Feature" and out["properties"] is props
    assert out["geometry"]["geometries"] == [{"type": "Fake", "name": "a"}, {"type": "Fake", "name": "b"}]
    assert calls() == [("toRGeoJSON", n, (), {}) for n in "ab"]
    # A nested collection exports its own geometry dict, recursively.  (Only
    # nested collections here: a collection has no grad_matrix of its own, so
    # it cannot be stacked beside plain members.)
    nested = make({"type": "GeometryCollection", "geometries": [fake("b"), fake("c")]})
    assert nested.toRGeoJSON()["geometry"]["geometries"] == [
        {"type": "GeometryCollection", "geometries": [{"type": "Fake", "name": "b"}, {"type": "Fake", "name": "c"}]}
    ]
    c.properties = None
    assert c.toRGeoJSON()["properties"] is None

    class Renamed(GeometryCollectionRGJ):
        RGJType = "Other"

    assert Renamed([fake("a")]).toRGeoJSON()["geometry"]["type"] == "Other"


@pytest.mark.parametrize("exported,error", [({"type": "Feature"}, KeyError), (3, TypeError)])
def test_to_rgeojson_member_without_geometry(exported: Any, error: type) -> None:
    c = make(fake("a"))
    c.rgjs[0].toRGeoJSON = lambda: exported
    with pytest.raises(error):
        c.toRGeoJSON()


def test_member_list_mutated_during_a_query() -> None:
    c = make(fake("a", dist=[1.0]), fake("b", dist=[2.0]), fake("c", dist=[0.0]))
    members = c.rgjs

    def clear_and_answer(x: Any, scaled: Any = True, inverted: Any = True) -> Any:
        members.clear()
        c.rgjs = None
        return np.array([5.0])

    members[0].squared_dist = clear_and_answer
    np.testing.assert_array_equal(c.squared_dist(None), [5.0])


# --- the package's real geometries ---------------------------------------------------

POINT = {"type": "Point", "coordinates": [6.0, 1.0], "repulsion": [[2.0, 0.5], [0.5, 1.0]]}
POLYGON = {
    "type": "Polygon",
    "coordinates": [[[0, 0], [4, 0], [4, 4], [0, 4], [0, 0]], [[1, 1], [3, 1], [3, 3], [1, 3], [1, 1]]],
    "repulsion": [[1.0, 0.0], [0.0, 3.0]],
}


def test_real_point_and_polygon_with_hole() -> None:
    c = GeometryCollectionRGJ([POINT, POLYGON])
    point, polygon = c.rgjs
    rng = np.random.default_rng(7)
    x = np.concatenate([rng.uniform(-2, 8, size=(200, 2)), [[2.0, 2.0], [0.5, 0.5], [6.0, 1.0], [4.0, 2.0]]])
    member_d = np.stack([point.squared_dist(x), polygon.squared_dist(x)], axis=1)
    nearest, idx = c.squared_dist(x, return_reference=True)
    np.testing.assert_array_equal(nearest, member_d.min(axis=1))
    np.testing.assert_array_equal(idx, member_d.argmin(axis=1))
    assert nearest[-3] == 0.0 and nearest[-2] == 0.0 and nearest[-4] > 0.0  # in hole, in polygon, at point

    vecs = [point.repulsion_vector(x), polygon.repulsion_vector(x)]
    q = np.stack([[quadratic(m.inv_repulsion.tolist(), v) for v in vs.tolist()]
                  for m, vs in zip(c.rgjs, vecs)], axis=1)
    chosen = np.where(q.argmin(axis=1)[:, None] == 0, vecs[0], vecs[1])
    np.testing.assert_array_equal(c.repulsion_vector(x), chosen)

    grads = np.array([point.grad_matrix, polygon.grad_matrix])
    expected = -np.exp(-nearest)[:, None] * np.einsum("nij,nj->ni", grads[idx], chosen)
    np.testing.assert_allclose(c.gradient(x), expected, rtol=1e-15, atol=0)
    np.testing.assert_array_equal(c.get_dist_matrix(), [point.inv_repulsion, polygon.inv_repulsion])
    np.testing.assert_array_equal(c.bbox, [[0, 0], [6, 4]])
    assert c.in_bbox([5.0, 5.0]) is False and c.in_bbox([2.0, 2.0]) is True
    np.testing.assert_array_equal(c.get_center_point(), [(2 + 6) / 2, (2 + 1) / 2])


# --- references and garbage collection -------------------------------------------------


def test_refcounts_stable_over_repeated_calls() -> None:
    c = make(fake("a", dist=[1.0, 4.0], vec=[[1, 0], [0, 1]]), fake("b", dist=[2.0, 3.0], vec=[[0, 1], [1, 1]]))
    x = np.zeros((2, 2))
    watched = [c, x, c.rgjs, *c.rgjs, c.inv_repulsions, c.grad_matrixes, c.properties, c.bbox]
    ops = [
        lambda: c.squared_dist(x, return_reference=True, extra=1),
        lambda: c.repulsion_vector(x, extra=1),
        lambda: c.gradient(x, scaled=True),
        lambda: c.get_dist_matrix(),
        lambda: c.in_bbox(x),
        lambda: c.get_center_point(),
        lambda: c.toRGeoJSON(),
        lambda: c.__reduce__(),
        lambda: c.set_repulsion(x),
        lambda: c.gradient(x, return_reference=1),
        lambda: c.__setstate__(c.__reduce__()[2][:9]),
        lambda: c.__init__([fake("z"), 5]),
    ]
    for op in ops:
        for _ in range(3):
            try:
                op()
            except Exception:  # noqa: BLE001 - error paths are exercised too
                pass
        CALLS.clear()  # the fakes' log holds references of its own
        before = [sys.getrefcount(o) for o in watched]
        for _ in range(200):
            try:
                op()
            except Exception:  # noqa: BLE001
                pass
            CALLS.clear()
        assert [sys.getrefcount(o) for o in watched] == before


class Marker:
    pass


def test_cycles_through_rgjs_and_properties_are_collected() -> None:
    gc.collect()
    c = make(fake("a"))
    c.rgjs[0].owner = c
    member = weakref.ref(c.rgjs[0])
    d = make(fake("b"), properties={})
    d.properties["self"] = d
    d.properties["marker"] = marker = Marker()
    probe = weakref.ref(marker)
    e = make(fake("c"))
    e.rgjs.append(e)
    e.inv_repulsions = [e, Marker()]
    probe_e = weakref.ref(e.inv_repulsions[1])
    del c, d, e, marker
    gc.collect()
    assert member() is None and probe() is None and probe_e() is None


def test_gc_sees_every_field() -> None:
    c = make(fake("a"))
    referents = gc.get_referents(c)
    for value in fields(c):
        if value is not None:
            assert any(r is value for r in referents)
    assert any(r is GeometryCollectionRGJ for r in referents)


def test_subclass_instance_dealloc_and_weakref() -> None:
    class Sub(GeometryCollectionRGJ):
        pass

    s = Sub([fake("a")])
    s.note = "attr"
    ref = weakref.ref(s)
    del s
    gc.collect()
    assert ref() is None


def test_long_chains_deallocate_without_exhausting_the_stack() -> None:
    head = None
    for _ in range(200_000):
        node = GeometryCollectionRGJ.__new__(GeometryCollectionRGJ)
        node.inv_repulsions = head
        head = node
    del head, node
    gc.collect()


# --- one module object, one interpreter ------------------------------------------------


def run_python(code: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          timeout=120)


def test_second_module_object_raises_runtime_error() -> None:
    proc = run_python(
        """
        import _imp, importlib, sys
        import orin.field.geometry.collection as first
        assert _imp.exec_dynamic(first) == 0  # the same module object again: nothing happens
        del sys.modules["orin.field.geometry.collection"]
        try:
            importlib.import_module("orin.field.geometry.collection")
        except RuntimeError:
            print("runtime-error")
        assert first.GeometryCollectionRGJ.__reduce__ is not None
        """
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "runtime-error"


def test_subinterpreter_import_is_refused() -> None:
    proc = run_python(
        """
        import sys
        import orin.field.geometry.collection as mod
        path = mod.__file__
        try:
            import _xxsubinterpreters as interpreters
            run = interpreters.run_string
        except ImportError:
            import _interpreters as interpreters
            run = interpreters.run_string
        interp = interpreters.create()
        code = (
            "import importlib.util, sys\\n"
            f"found = importlib.util.spec_from_file_location('orin.field.geometry.collection', {path!r})\\n"
            "try:\\n"
            "    module = importlib.util.module_from_spec(found)\\n"
            "    found.loader.exec_module(module)\\n"
            "except ImportError:\\n"
            "    pass\\n"
            "else:\\n"
            "    raise SystemExit('imported in a subinterpreter')\\n"
        )
        result = run(interp, code)
        assert result is None, result
        interpreters.destroy(interp)
        print("refused")
        """
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "refused"
