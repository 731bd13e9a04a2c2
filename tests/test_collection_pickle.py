"""GeometryCollectionRGJ: export round trips, pickling, and hostile restored state."""

from __future__ import annotations

import base64
import copy
import math
import pickle
import subprocess
import sys
import textwrap
from typing import Any

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from orin.field.geometry import Point, Polygon
from orin.field.geometry import collection as collection_module
from orin.field.geometry.collection import GeometryCollectionRGJ

unpickle = getattr(collection_module, "__unpickle_GeometryCollectionRGJ")

STATE_ORDER = ["bbox", "coordinates", "eye_repulsion", "grad_matrix", "grad_matrixes", "inv_repulsion",
               "inv_repulsions", "properties", "repulsion", "rgjs"]
FIELD_LIST = ", ".join(STATE_ORDER)
CHECKSUMS = (0x96A235A, 0x3EB5C46, 0x7A84316)

POINT = {"type": "Point", "coordinates": [6.0, 1.0], "repulsion": [[2.0, 0.5], [0.5, 1.0]]}
POLYGON = {
    "type": "Polygon",
    "coordinates": [[[0, 0], [4, 0], [4, 4], [0, 4], [0, 0]], [[1, 1], [3, 1], [3, 3], [1, 3], [1, 1]]],
    "repulsion": [[1.0, 0.0], [0.0, 3.0]],
}
X = np.array([[2.0, 2.0], [0.5, 0.5], [6.0, 1.5], [-1.0, 7.0], [4.5, 2.0]])


def real_collection(**kwargs: Any) -> GeometryCollectionRGJ:
    return GeometryCollectionRGJ([POINT, POLYGON], **kwargs)


def state_of(c: GeometryCollectionRGJ) -> list[Any]:
    return [getattr(c, name) for name in STATE_ORDER]


def assert_same_answers(a: GeometryCollectionRGJ, b: GeometryCollectionRGJ) -> None:
    for method in ("squared_dist", "repulsion_vector", "gradient"):
        np.testing.assert_array_equal(getattr(a, method)(X), getattr(b, method)(X))
    np.testing.assert_array_equal(a.get_center_point(), b.get_center_point())
    assert a.toRGeoJSON()["geometry"] == b.toRGeoJSON()["geometry"]


class Tagged(GeometryCollectionRGJ):
    """A Python subclass: instances have an attribute dictionary."""


# --- export --------------------------------------------------------------------


def test_exported_dict_form() -> None:
    props = {"name": "harbour"}
    c = real_collection(properties=props)
    out = c.toRGeoJSON()
    assert list(out) == ["type", "properties", "geometry"]
    assert out["type"] == "Feature" and out["properties"] is props
    assert list(out["geometry"]) == ["type", "geometries"]
    assert out["geometry"]["type"] == "GeometryCollection"
    assert out["geometry"]["geometries"] == [m.toRGeoJSON()["geometry"] for m in c.rgjs]
    props["added"] = 1
    assert c.properties["added"] == 1


def test_export_round_trip_through_construction() -> None:
    c = real_collection(properties={"p": 1})
    again = GeometryCollectionRGJ(**c.toRGeoJSON()["geometry"])
    assert_same_answers(c, again)
    for name in ("bbox", "inv_repulsions", "grad_matrixes"):
        np.testing.assert_array_equal(getattr(again, name), getattr(c, name))
    assert again.properties == {}
    nested = GeometryCollectionRGJ([c.toRGeoJSON()["geometry"]])
    assert type(nested.rgjs[0]) is GeometryCollectionRGJ
    assert nested.toRGeoJSON()["geometry"]["geometries"] == [c.toRGeoJSON()["geometry"]]


# --- __reduce__ ------------------------------------------------------------------


def test_reduce_of_constructed_collection() -> None:
    c = real_collection()
    fn, args, state = c.__reduce__()
    assert fn is unpickle
    assert args == (GeometryCollectionRGJ, 157950810, None)
    assert len(state) == 10
    assert all(item is value for item, value in zip(state, state_of(c)))


def test_reduce_of_allocated_instance_is_two_items() -> None:
    bare = GeometryCollectionRGJ.__new__(GeometryCollectionRGJ)
    fn, args = bare.__reduce__()
    assert fn is unpickle and args == (GeometryCollectionRGJ, 157950810, (None,) * 10)
    back = pickle.loads(pickle.dumps(bare))
    assert type(back) is GeometryCollectionRGJ and state_of(back) == [None] * 10


@pytest.mark.parametrize("attrs", [{}, {"tag": "t", "n": [1]}])
def test_subclass_dict_is_an_eleventh_item(attrs: dict[str, Any]) -> None:
    c = Tagged([POINT])
    c.__dict__.update(attrs)
    _, args, state = c.__reduce__()
    assert args == (Tagged, 157950810, None)
    assert len(state) == (11 if attrs else 10)
    back = pickle.loads(pickle.dumps(c))
    assert type(back) is Tagged and back.__dict__ == attrs
    bare = Tagged.__new__(Tagged)
    bare.__dict__.update(attrs)
    assert len(bare.__reduce__()) == (3 if attrs else 2)


def test_reduce_needs_the_module_reconstructor(monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.delattr(collection_module, "__unpickle_GeometryCollectionRGJ")
    with pytest.raises(NameError):
        real_collection().__reduce__()


def test_hooks_are_the_collections_own() -> None:
    assert "__reduce__" in vars(GeometryCollectionRGJ) and "__setstate__" in vars(GeometryCollectionRGJ)


# --- round trips -------------------------------------------------------------------


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_pickle_round_trip_keeps_stacks_as_pickled(protocol: int) -> None:
    c = real_collection(properties={"p": [1, 2]})
    # The stacks come back as they were, not recomputed from the members.
    c.inv_repulsions = c.inv_repulsions * 2.0
    c.grad_matrixes = c.grad_matrixes + 1.0
    back = pickle.loads(pickle.dumps(c, protocol=protocol))
    for mine, theirs in zip(state_of(c), state_of(back)):
        if isinstance(mine, np.ndarray):
            np.testing.assert_array_equal(mine, theirs)
    assert back.properties == c.properties
    assert [type(m) for m in back.rgjs] == [Point, Polygon]
    assert_same_answers(c, back)


def test_copy_shares_and_deepcopy_copies() -> None:
    c = real_collection()
    shallow = copy.copy(c)
    assert shallow.rgjs is c.rgjs and shallow.properties is c.properties
    deep = copy.deepcopy(c)
    assert deep.rgjs is not c.rgjs and all(a is not b for a, b in zip(deep.rgjs, c.rgjs))
    assert_same_answers(c, shallow)
    assert_same_answers(c, deep)


def test_pickle_crosses_interpreters() -> None:
    script = textwrap.dedent(
        """
        import base64, pickle, sys
        import numpy as np
        blob = base64.b64decode(sys.stdin.read())
        c = pickle.loads(blob)
        x = np.array([[2.0, 2.0], [0.5, 0.5], [6.0, 1.5], [-1.0, 7.0], [4.5, 2.0]])
        c.tag = c.gradient(x)
        sys.stdout.write(base64.b64encode(pickle.dumps(c)).decode())
        """
    )
    c = Tagged([POINT, POLYGON], {"origin": "parent"})
    sys.modules.setdefault("test_collection_pickle", sys.modules[__name__])
    Tagged.__module__ = "test_collection_pickle"
    proc = subprocess.run(
        [sys.executable, "-c", f"import sys; sys.path.insert(0, {str(__import__('pathlib').Path(__file__).parent)!r})\n"
         + script],
        input=base64.b64encode(pickle.dumps(c)).decode(), capture_output=True, text=True, timeout=120,
    )
    assert proc.returncode == 0, proc.stderr
    back = pickle.loads(base64.b64decode(proc.stdout))
    assert type(back) is Tagged and back.properties == {"origin": "parent"}
    np.testing.assert_array_equal(back.tag, c.gradient(X))
    assert_same_answers(c, back)


# --- the reconstructor -----------------------------------------------------------------


class IntOnly:
    """Converts through __int__, the one integer rule of the native code."""

    def __init__(self, value: int) -> None:
        self.value = value

    def __int__(self) -> int:
        return self.value


class IndexOnly:
    """Offers only __index__, which that rule refuses (as max_depth does)."""

    def __init__(self, value: int) -> None:
        self.value = value

    def __index__(self) -> int:
        return self.value


@pytest.mark.parametrize(
    "checksum", [*CHECKSUMS, float(CHECKSUMS[1]) + 0.9, np.int64(CHECKSUMS[2]), IntOnly(CHECKSUMS[0])]
)
def test_reconstructor_accepts_the_three_checksums(checksum: Any) -> None:
    c = real_collection()
    _, _, state = c.__reduce__()
    back = unpickle(GeometryCollectionRGJ, checksum, state)
    assert all(a is b for a, b in zip(state_of(back), state))
    bare = unpickle(cls=Tagged, checksum=checksum, state=None)
    assert type(bare) is Tagged and state_of(bare) == [None] * 10


@pytest.mark.parametrize(
    "checksum,shown",
    [(1, "0x1"), (0, "0x0"), (-1, "0xffffffff"), (2**40 + 0xABC, "0xabc"), (CHECKSUMS[0] + 1, "0x96a235b")],
)
def test_reconstructor_rejects_other_checksums(checksum: int, shown: str) -> None:
    with pytest.raises(pickle.PickleError) as info:
        unpickle(GeometryCollectionRGJ, checksum, None)
    assert str(info.value) == (
        f"Incompatible checksums ({shown} vs (0x96a235a, 0x3eb5c46, 0x7a84316) = ({FIELD_LIST}))"
    )


@pytest.mark.parametrize(
    "args,error",
    [
        ((GeometryCollectionRGJ, "157950810", None), TypeError),
        ((GeometryCollectionRGJ, None, None), TypeError),
        ((GeometryCollectionRGJ, IndexOnly(CHECKSUMS[0]), None), TypeError),
        ((GeometryCollectionRGJ, IntOnly(2**70), None), OverflowError),
        ((GeometryCollectionRGJ, 2**70, None), OverflowError),
        ((GeometryCollectionRGJ, CHECKSUMS[0], [None] * 10), TypeError),
        ((GeometryCollectionRGJ, CHECKSUMS[0], type("T", (tuple,), {})((None,) * 10)), TypeError),
        ((GeometryCollectionRGJ, 1, "not a tuple"), TypeError),  # checked before the checksum
        ((Point, CHECKSUMS[0], None), TypeError),
        ((object, CHECKSUMS[0], None), TypeError),
        ((3, CHECKSUMS[0], None), TypeError),
        ((GeometryCollectionRGJ, CHECKSUMS[0]), TypeError),
        ((GeometryCollectionRGJ, CHECKSUMS[0], None, None), TypeError),
    ],
)
def test_reconstructor_argument_errors(args: tuple[Any, ...], error: type) -> None:
    with pytest.raises(error):
        unpickle(*args)


# --- __setstate__ ----------------------------------------------------------------------


@pytest.mark.parametrize(
    "state,error",
    [
        (None, TypeError),
        ([None] * 10, TypeError),
        (type("T", (tuple,), {})((None,) * 10), TypeError),
        ((None,) * 9, IndexError),
        ((None,) * 9 + ((),), TypeError),
        ((None,) * 9 + (type("L", (list,), {})(),), TypeError),
        ((None,) * 10 + ({"tag": 1},), AttributeError),  # no attribute dictionary
    ],
)
def test_setstate_rejects_and_changes_nothing(state: Any, error: type) -> None:
    c = real_collection()
    before = state_of(c)
    with pytest.raises(error):
        c.__setstate__(state)
    assert all(a is b for a, b in zip(state_of(c), before))


def test_setstate_assigns_without_recomputing() -> None:
    c = real_collection()
    items = tuple(object() for _ in range(9)) + ([],)
    assert c.__setstate__(items + ({}, "ignored", "beyond")) is None
    assert all(a is b for a, b in zip(state_of(c), items))
    t = Tagged([POINT])
    t.__setstate__((None,) * 10 + ({"a": 1},))
    assert t.a == 1 and t.rgjs is None


# --- hostile state -----------------------------------------------------------------------


class Weird:
    """An object whose every attribute is a callable returning garbage or raising."""

    def __init__(self, result: Any) -> None:
        self.result = result

    def __getattr__(self, name: str) -> Any:
        if name.startswith("__"):
            raise AttributeError(name)
        if isinstance(self.result, BaseException):
            raise self.result
        return lambda *a, **k: self.result


class BadBool:
    def __bool__(self) -> bool:
        raise ZeroDivisionError

    def __len__(self) -> int:
        raise ZeroDivisionError


atoms = st.sampled_from([
    None, 0, -1, 2**80, 1.5, math.nan, "text", b"bytes", (), {}, {"geometry": 1}, {"geometry": {"type": "x"}},
    np.zeros(0), np.zeros((2, 2)), np.zeros((3, 2, 2)), np.zeros((1, 2, 2), dtype=object),
    np.array([True, False]), np.array(3.0), np.array(["a", "b"]), np.arange(6).reshape(3, 2),
    np.full((2, 5, 2), np.nan), BadBool(), Weird(None), Weird(np.zeros((2, 2))), Weird(np.zeros(2)),
    Weird(ValueError("boom")), Weird(BadBool()), Weird({"geometry": 5}), Weird([1.0, 2.0]), Weird(np.array([1, 2, 3])),
])


def members() -> Any:
    return st.lists(st.one_of(atoms, st.just("point"), st.just("self")), max_size=4)


@st.composite
def hostile_states(draw: Any) -> tuple[Any, ...]:
    items = [draw(atoms) for _ in range(9)]
    rgjs = draw(st.one_of(st.none(), members(), atoms))
    extra = draw(st.lists(st.one_of(atoms, st.dictionaries(st.sampled_from(["a", "b"]), atoms)), max_size=2))
    return (*items, rgjs, *extra)


def resolve(rgjs: Any, c: GeometryCollectionRGJ) -> Any:
    if not isinstance(rgjs, list):
        return rgjs
    point = Point(**POINT)
    return [point if m == "point" else c if m == "self" else m for m in rgjs
            if not isinstance(m, np.ndarray)] + [m for m in rgjs if isinstance(m, np.ndarray)]


queries = st.sampled_from([None, np.zeros((3, 2)), np.zeros((0, 2)), np.zeros(2), "x", np.zeros((2, 1))])

CALLS = [
    lambda c, x: c.squared_dist(x),
    lambda c, x: c.squared_dist(x, False, 0, return_reference=True, z=1),
    lambda c, x: c.repulsion_vector(x),
    lambda c, x: c.repulsion_vector(x, min_dist_select=False, q=1),
    lambda c, x: c.gradient(x),
    lambda c, x: c.gradient(x, scaled=False),
    lambda c, x: c.eval(x),
    lambda c, x: c.get_dist_matrix(),
    lambda c, x: c.in_bbox(x),
    lambda c, x: c.get_center_point(),
    lambda c, x: c.toRGeoJSON(),
    lambda c, x: c.set_repulsion(x),
    lambda c, x: c.set_coordinates(x),
    lambda c, x: c.__reduce__(),
    lambda c, x: copy.copy(c),
    lambda c, x: c.__init__([POINT, POINT], x),
    lambda c, x: (c.rgjs, c.inv_repulsions, c.grad_matrixes, c.bbox, c.properties),
]


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(hostile_states(), queries, st.sampled_from([Tagged, GeometryCollectionRGJ]))
def test_hostile_state_only_ever_raises(state: tuple[Any, ...], x: Any, cls: type) -> None:
    c = cls.__new__(cls)
    state = state[:9] + (resolve(state[9], c),) + state[10:]
    try:
        c.__setstate__(state)
    except Exception:  # noqa: BLE001 - rejecting the state is fine; crashing is not
        pass
    with np.errstate(all="ignore"):
        for call in CALLS:
            try:
                call(c, x)
            except Exception:  # noqa: BLE001
                pass
    # The pickled form of whatever is left must still be readable.
    try:
        fn, args, *rest = c.__reduce__()
        again = fn(*args)
        if rest:
            again.__setstate__(rest[0])
    except Exception:  # noqa: BLE001
        pass


# --- installation of the hooks on other bases --------------------------------------------


# The package's __init__ imports the collection module; these scripts stand
# in a bare package so that they can change the base before it loads.
BARE_PACKAGE = """
import os, sys, types
import orin.field
package = types.ModuleType("orin.field.geometry")
package.__path__ = [os.path.join(os.path.dirname(orin.field.__file__), "geometry")]
sys.modules["orin.field.geometry"] = package
"""


def run_python(code: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, "-W", "error::RuntimeWarning", "-c", BARE_PACKAGE + textwrap.dedent(code)],
        capture_output=True, text=True, timeout=120,
    )


@pytest.mark.parametrize(
    "patch,reduce_installed,setstate_installed",
    [
        ("", True, True),
        ("M.__reduce__ = lambda self: (M, ())", False, False),
        ("M.__reduce_ex__ = lambda self, p: (M, ())", False, False),
        ("M.__getstate__ = lambda self: None", False, False),
        ("M.__setstate__ = lambda self, s: None", True, False),
    ],
    ids=["default", "python-reduce", "reduce_ex", "getstate", "python-setstate"],
)
def test_hook_installation_rules(patch: str, reduce_installed: bool, setstate_installed: bool) -> None:
    proc = run_python(
        f"""
        from orin.field.geometry.base import MultiRGJGeometry as M
        {patch}
        from orin.field.geometry.collection import GeometryCollectionRGJ as C
        print("__reduce__" in vars(C), "__setstate__" in vars(C))
        """
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split() == [str(reduce_installed), str(setstate_installed)]


@pytest.mark.parametrize(
    "replacement,error",
    [
        ("class MultiRGJGeometry: pass", "ValueError"),
        ("MultiRGJGeometry = 3", "TypeError"),
        ("class MultiRGJGeometry(base.MultiRGJGeometry): __slots__ = ('a',)", "RuntimeWarning"),
        ("del MultiRGJGeometry", "AttributeError"),
    ],
)
def test_base_layout_is_checked_at_load(replacement: str, error: str) -> None:
    proc = run_python(
        f"""
        import sys, types
        import orin.field.geometry.base as base
        fake = types.ModuleType("orin.field.geometry.base")
        fake.__dict__.update(vars(base))
        exec({replacement!r}, {{**fake.__dict__, "base": base}}, fake.__dict__)
        sys.modules["orin.field.geometry.base"] = fake
        try:
            import orin.field.geometry.collection
        except BaseException as exc:
            print(type(exc).__name__)
        """
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split() == [error]
