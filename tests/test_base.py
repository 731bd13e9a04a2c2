from __future__ import annotations

import copy
import copyreg
import gc
import pickle
import struct
import sys
import weakref

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

from orin.field.geometry.base import MultiRGJGeometry, RGJGeometry

FIELDS = (
    "coordinates",
    "repulsion",
    "inv_repulsion",
    "eye_repulsion",
    "grad_matrix",
    "properties",
    "bbox",
)
BASES = (RGJGeometry, MultiRGJGeometry)


class Marker:
    """A weakly referenceable object to watch for collection."""


class Geo(RGJGeometry):
    def __init__(self, scale: float = 1.0) -> None:
        self.scale = scale

    def squared_dist(self, x):
        x = np.asarray(x, dtype=float)
        return self.scale * (x[:, 0] ** 2 + x[:, 1] ** 2)


class MultiGeo(MultiRGJGeometry):
    def __init__(self, tag: str) -> None:
        self.tag = tag


class Slotted(MultiRGJGeometry):
    __slots__ = ("a", "b")


def filled(cls, *args):
    g = cls(*args)
    for i, name in enumerate(FIELDS):
        setattr(g, name, [name, i])
    return g


# --- layout and allocation ---------------------------------------------------------


@pytest.mark.parametrize("cls", BASES)
def test_layout_is_header_plus_seven_references(cls):
    pointer = struct.calcsize("P")
    assert cls.__basicsize__ == object.__basicsize__ + 7 * pointer
    assert cls.__itemsize__ == 0


def test_multi_derives_from_base():
    assert MultiRGJGeometry.__bases__ == (RGJGeometry,)
    assert MultiRGJGeometry.__module__ == "orin.field.geometry.base"


@pytest.mark.parametrize("cls", BASES)
@pytest.mark.parametrize(
    "args, kwargs", [((), {}), ((1, "a"), {}), ((), {"geometries": [], "x": 1}), ((None,), {"type": "X"})]
)
def test_allocation_ignores_arguments_and_sets_none(cls, args, kwargs):
    g = cls.__new__(cls, *args, **kwargs)
    assert all(getattr(g, name) is None for name in FIELDS)
    g = cls(*args, **kwargs)
    assert all(getattr(g, name) is None for name in FIELDS)


def test_new_rejects_unrelated_type():
    with pytest.raises(TypeError):
        RGJGeometry.__new__(int)


@pytest.mark.parametrize("cls", BASES)
def test_base_instances_take_no_other_attributes(cls):
    g = cls()
    with pytest.raises(AttributeError):
        g.other = 1
    assert not hasattr(g, "__dict__")


# --- attributes ---------------------------------------------------------------------------


@pytest.mark.parametrize("cls", BASES)
@pytest.mark.parametrize("name", FIELDS)
def test_field_set_get_delete(cls, name):
    g = cls()
    value = object()
    setattr(g, name, value)
    assert getattr(g, name) is value
    # The other six are untouched.
    assert all(getattr(g, other) is None for other in FIELDS if other != name)
    delattr(g, name)
    assert getattr(g, name) is None
    delattr(g, name)  # deleting an already-None field is fine too
    assert getattr(g, name) is None


@pytest.mark.parametrize("name", FIELDS)
def test_fields_are_data_descriptors_that_shadow_instance_dict(name):
    g = Geo()
    g.__dict__[name] = "from dict"
    setattr(g, name, "from field")
    assert getattr(g, name) == "from field"


# --- garbage collection ----------------------------------------------------------------------


@pytest.mark.parametrize("cls", (RGJGeometry, MultiRGJGeometry, Geo, MultiGeo, Slotted))
@pytest.mark.parametrize("name", FIELDS)
def test_cycle_through_field_is_collected(cls, name):
    g = cls.__new__(cls)
    marker = Marker()
    setattr(g, name, [g, marker])
    watch = weakref.ref(marker)
    del g, marker
    gc.collect()
    assert watch() is None


@pytest.mark.parametrize("cls", BASES)
def test_traverse_reports_fields_and_type(cls):
    g = filled(cls)
    referents = gc.get_referents(g)
    for name in FIELDS:
        assert any(r is getattr(g, name) for r in referents)
    assert any(r is cls for r in referents)
    assert gc.is_tracked(g)


def test_python_subclass_instance_cycle_through_dict_and_field():
    g = Geo()
    g.me = g
    g.bbox = g
    watch = weakref.ref(g)
    del g
    gc.collect()
    assert watch() is None


def test_long_chain_through_fields_deallocates():
    # Would overflow the C stack if dealloc recursed once per link.
    head = RGJGeometry()
    for _ in range(300_000):
        nxt = RGJGeometry()
        nxt.properties = head
        head = nxt
    del head, nxt


def test_subclass_types_are_released_with_their_instances():
    def make():
        class Temp(RGJGeometry):
            pass

        return weakref.ref(Temp), Temp()

    watch, inst = make()
    del inst
    gc.collect()
    assert watch() is None


# --- eval ---------------------------------------------------------------------------------------


@pytest.mark.parametrize("scale", [0.0, 0.5, 3.0])
def test_eval_uses_overridden_squared_dist(scale):
    g = Geo(scale)
    x = np.array([[0.0, 0.0], [1.0, 2.0], [-3.0, 0.5]])
    expected = np.exp(-scale * (x**2).sum(axis=1))
    np.testing.assert_array_equal(g.eval(x), expected)
    np.testing.assert_array_equal(g.eval(x=x), expected)


def test_eval_looks_up_squared_dist_at_call_time():
    g = Geo()
    x = np.array([[1.0, 1.0]])
    g.squared_dist = lambda pts: np.full(len(pts), 4.0)
    np.testing.assert_array_equal(g.eval(x), np.exp([-4.0]))
    Geo.squared_dist, original = (lambda self, pts: np.zeros(len(pts))), Geo.squared_dist
    try:
        del g.squared_dist
        np.testing.assert_array_equal(g.eval(x), [1.0])
    finally:
        Geo.squared_dist = original


def test_eval_passes_x_through_unchanged():
    seen = []

    class Rec(RGJGeometry):
        def squared_dist(self, x):
            seen.append(x)
            return 2.0

    token = object()
    assert Rec().eval(token) == pytest.approx(np.exp(-2.0))
    assert seen == [token]


@pytest.mark.parametrize("cls", BASES)
def test_eval_without_squared_dist_raises_attribute_error(cls):
    with pytest.raises(AttributeError, match="squared_dist"):
        cls().eval(np.zeros((1, 2)))


@pytest.mark.parametrize(
    "args, kwargs", [((), {}), ((1, 2), {}), ((1,), {"x": 1}), ((), {"y": 1}), ((), {"x": 1, "y": 2})]
)
def test_eval_argument_errors(args, kwargs):
    with pytest.raises(TypeError):
        Geo().eval(*args, **kwargs)


def test_eval_propagates_squared_dist_errors():
    class Bad(RGJGeometry):
        def squared_dist(self, x):
            raise ZeroDivisionError("boom")

    with pytest.raises(ZeroDivisionError, match="boom"):
        Bad().eval(1)


def test_eval_of_unnegatable_distance_raises_type_error():
    class Bad(RGJGeometry):
        def squared_dist(self, x):
            return "far"

    with pytest.raises(TypeError):
        Bad().eval(1)


# --- pickling and copying -----------------------------------------------------------------------


def assert_same_fields(a, b, *, identical: bool):
    for name in FIELDS:
        if identical:
            assert getattr(a, name) is getattr(b, name)
        else:
            assert getattr(a, name) == getattr(b, name)


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
@pytest.mark.parametrize("make", [lambda: filled(RGJGeometry), lambda: filled(MultiRGJGeometry),
                                  lambda: filled(Geo, 2.5), lambda: filled(MultiGeo, "t")])
def test_pickle_round_trip(make, protocol):
    g = make()
    h = pickle.loads(pickle.dumps(g, protocol))
    assert type(h) is type(g)
    assert_same_fields(g, h, identical=False)
    assert getattr(h, "__dict__", None) == getattr(g, "__dict__", None)


def test_pickle_does_not_run_init():
    class Strict(RGJGeometry):
        def __init__(self, *, required):
            self.required = required

    g = Strict(required=3)
    g.coordinates = np.arange(4.0)
    h = copy.deepcopy(g)
    assert h.required == 3
    np.testing.assert_array_equal(h.coordinates, g.coordinates)


def test_copy_shares_field_objects_and_deepcopy_does_not():
    g = filled(Geo, 1.5)
    g.extra = [1, 2]
    shallow = copy.copy(g)
    assert_same_fields(g, shallow, identical=True)
    assert shallow.extra is g.extra
    assert shallow.__dict__ is not g.__dict__
    deep = copy.deepcopy(g)
    assert_same_fields(g, deep, identical=False)
    assert all(getattr(deep, n) is not getattr(g, n) for n in FIELDS)
    assert deep.extra == g.extra and deep.extra is not g.extra


def test_deepcopy_keeps_self_reference_through_field():
    g = Geo()
    g.properties = {"self": g}
    h = copy.deepcopy(g)
    assert h.properties["self"] is h


def test_slots_survive_pickle():
    s = filled(Slotted)
    s.a = [1]
    h = pickle.loads(pickle.dumps(s))
    assert h.a == [1]
    assert not hasattr(h, "b")
    assert_same_fields(s, h, identical=False)


def test_reduce_form():
    g = filled(Geo, 2.0)
    func, args, state = g.__reduce__()
    assert func is copyreg.__newobj__
    assert args == (Geo,)
    assert state[:7] == tuple(getattr(g, n) for n in FIELDS)
    assert state[7] == {"scale": 2.0}
    assert RGJGeometry().__reduce__()[2] == (None,) * 8


@pytest.mark.parametrize(
    "state",
    [
        None,
        [None] * 7,
        (None,) * 6,
        (None,) * 9,
        (None,) * 7 + ([],),
        (None,) * 7 + ((None,),),
        (None,) * 7 + ((None, None, None),),
        (None,) * 7 + (({}, [1]),),
        (None,) * 7 + (([], None),),
    ],
)
def test_setstate_rejects_malformed_state_and_changes_nothing(state):
    g = filled(Geo)
    before = [getattr(g, n) for n in FIELDS]
    with pytest.raises(TypeError):
        g.__setstate__(state)
    assert [getattr(g, n) for n in FIELDS] == before


def test_setstate_with_dict_on_instance_without_dict():
    g = RGJGeometry()
    with pytest.raises(AttributeError):
        g.__setstate__(tuple(range(7)) + ({"a": 1},))
    # The fields were written before the attribute dict was reached.
    assert g.bbox == 6
    g.__setstate__(tuple(range(7)) + ({},))
    assert g.coordinates == 0


def test_setstate_seven_items():
    g = Geo()
    g.__setstate__(tuple(range(7)))
    assert [getattr(g, n) for n in FIELDS] == list(range(7))


@given(st.lists(st.recursive(st.none() | st.integers() | st.text(max_size=5) | st.floats(allow_nan=False),
                             lambda c: st.lists(c, max_size=3) | st.dictionaries(st.text(max_size=3), c, max_size=3),
                             max_leaves=8),
                min_size=7, max_size=7))
def test_pickle_round_trip_any_field_values(values):
    g = MultiGeo("x")
    for name, value in zip(FIELDS, values):
        setattr(g, name, value)
    h = pickle.loads(pickle.dumps(g))
    assert [getattr(h, n) for n in FIELDS] == values
    assert h.tag == "x"


# --- reference counts ---------------------------------------------------------------------------


def test_reference_counts_stay_stable():
    g = Geo()
    value = object()
    x = np.ones((3, 2))
    state = tuple([value] * 7) + ({"scale": 1.0},)

    def exercise():
        for name in FIELDS:
            setattr(g, name, value)
            getattr(g, name)
            delattr(g, name)
            setattr(g, name, value)
        g.eval(x)
        g.eval(x=x)
        g.__reduce__()
        g.__setstate__(state)
        try:
            g.__setstate__((value,) * 3)
        except TypeError:
            pass

    exercise()
    before = (sys.getrefcount(value), sys.getrefcount(x), sys.getrefcount(Geo), sys.getrefcount(state))
    for _ in range(200):
        exercise()
    after = (sys.getrefcount(value), sys.getrefcount(x), sys.getrefcount(Geo), sys.getrefcount(state))
    assert after == before
