"""Quadtree walks (quadtree_find_leaf, quadtree_find_chain) and the QuadTree class.

The walks are compared with a plain recursive descent over the same seven
arrays, on random trees that have missing branches, cycles, NaN centres and
points on the centre lines.
"""

from __future__ import annotations

import re
import sys
from typing import Any

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

from orin.field import kernels
from orin.field.quadtree import QuadTree

NAN = float("nan")
INF = float("inf")
FIELDS = ("cx", "cy", "is_leaf", "child_tl", "child_tr", "child_bl", "child_br")


# ---------------------------------------------------------------------------
# Reference: the recursion the kernels replace.


class NodeOutOfRange(Exception):
    def __init__(self, node: int):
        self.node = node


def descend(tree: dict[str, np.ndarray], x: float, y: float, node: int, depth: int, max_depth: int,
            path: list[int], usable: int) -> int:
    """Returns the node where the walk stops; `path` collects every node visited."""
    if node >= usable:
        raise NodeOutOfRange(node)
    if tree["is_leaf"][node]:
        return node
    if depth >= max_depth:
        return node
    dx = x - float(tree["cx"][node])
    dy = y - float(tree["cy"][node])
    if dy >= 0:
        child = tree["child_tr"][node] if dx >= 0 else tree["child_tl"][node]
    else:
        child = tree["child_br"][node] if dx >= 0 else tree["child_bl"][node]
    child = int(child)
    path.append(child)
    if child < 0:
        return child
    return descend(tree, x, y, child, depth + 1, max_depth, path, usable)


def ref_walks(tree, pts, max_depth):
    """(leaf per point, path per point), or NodeOutOfRange for the first bad point."""
    usable = min(len(tree[f]) for f in FIELDS)
    leaves, paths = [], []
    for i, (x, y) in enumerate(np.asarray(pts, dtype=float)[:, :2].tolist()):
        path = [0]
        try:
            leaves.append(descend(tree, x, y, 0, 0, max_depth, path, usable))
        except NodeOutOfRange as e:
            e.point = i  # type: ignore[attr-defined]
            raise
        paths.append(path)
    return np.array(leaves, dtype=np.int32), paths


def find_leaf(pts, tree, max_depth):
    return kernels.quadtree_find_leaf(pts, *(tree[f] for f in FIELDS), max_depth)


def find_chain(pts, tree, max_depth, max_cols):
    return kernels.quadtree_find_chain(pts, *(tree[f] for f in FIELDS), max_depth, max_cols)


def make_tree(cx, cy, is_leaf, tl, tr, bl, br) -> dict[str, np.ndarray]:
    return dict(
        cx=np.asarray(cx, np.float64), cy=np.asarray(cy, np.float64), is_leaf=np.asarray(is_leaf, np.uint8),
        child_tl=np.asarray(tl, np.int32), child_tr=np.asarray(tr, np.int32),
        child_bl=np.asarray(bl, np.int32), child_br=np.asarray(br, np.int32),
    )


def mentions(message: str, *numbers: int) -> bool:
    return all(re.search(rf"(?<![\d-]){n}(?!\d)", message) for n in numbers)


# ---------------------------------------------------------------------------
# Strategies.

centre_values = [-1.0, 0.0, 0.5, 1.0]
coord = st.one_of(st.sampled_from(centre_values), st.floats(-2, 2), st.sampled_from([NAN, INF, -INF]))


@st.composite
def trees(draw, max_nodes: int = 24):
    m = draw(st.integers(1, max_nodes))
    child = st.one_of(st.just(-1), st.integers(0, m - 1), st.integers(0, m - 1), st.sampled_from([-7, -2**31]))
    kids = [draw(hnp.arrays(np.int32, m, elements=child)) for _ in range(4)]
    return dict(
        cx=draw(hnp.arrays(np.float64, m, elements=coord)),
        cy=draw(hnp.arrays(np.float64, m, elements=coord)),
        is_leaf=draw(hnp.arrays(np.uint8, m, elements=st.sampled_from([0, 0, 1, 2, 255]))),
        child_tl=kids[0], child_tr=kids[1], child_bl=kids[2], child_br=kids[3],
    )


def query_points(max_rows: int = 20):
    return st.integers(0, max_rows).flatmap(lambda n: hnp.arrays(np.float64, (n, 2), elements=coord))


# ---------------------------------------------------------------------------
# Walks against the reference.


@settings(max_examples=400, deadline=None)
@given(tree=trees(), pts=query_points(), max_depth=st.integers(-3, 30))
def test_find_leaf_matches_recursive_descent(tree, pts, max_depth):
    want, _ = ref_walks(tree, pts, max_depth)
    got = find_leaf(pts, tree, max_depth)
    assert got.dtype == np.int32 and got.shape == (len(pts),)
    assert np.array_equal(got, want)


@settings(max_examples=400, deadline=None)
@given(tree=trees(), pts=query_points(), max_depth=st.integers(-3, 30), extra=st.integers(-3, 3))
def test_find_chain_matches_recursive_descent(tree, pts, max_depth, extra):
    leaves, paths = ref_walks(tree, pts, max_depth)
    longest = max((len(p) for p in paths), default=0)
    max_cols = max(0, max(longest, 1) + extra)
    if longest > max_cols:
        first = next(i for i, p in enumerate(paths) if len(p) > max_cols)
        with pytest.raises(ValueError) as info:
            find_chain(pts, tree, max_depth, max_cols)
        assert mentions(str(info.value), first, len(paths[first])), str(info.value)
        return
    chain, length = find_chain(pts, tree, max_depth, max_cols)
    assert chain.dtype == np.int32 and chain.shape == (len(pts), max_cols)
    assert length.dtype == np.int32 and length.shape == (len(pts),)
    want = np.full((len(pts), max_cols), -2, np.int32)
    for i, p in enumerate(paths):
        want[i, : len(p)] = p
    assert np.array_equal(chain, want)
    assert length.tolist() == [len(p) for p in paths]
    if len(pts):
        assert np.array_equal(chain[np.arange(len(pts)), length - 1], leaves)
        assert (length <= max(max_depth, 0) + 1).all()


@settings(max_examples=200, deadline=None)
@given(tree=trees(), pts=query_points(), max_depth=st.integers(0, 12), data=st.data())
def test_short_arrays_are_caught_not_read(tree, pts, max_depth, data):
    """Node numbers past the shortest array raise ValueError naming the point and node."""
    field = data.draw(st.sampled_from(FIELDS))
    keep = data.draw(st.integers(0, len(tree[field])))
    short = dict(tree, **{field: tree[field][:keep]})
    try:
        leaves, paths = ref_walks(short, pts, max_depth)
    except NodeOutOfRange as e:
        for run in (lambda: find_leaf(pts, short, max_depth),
                    lambda: find_chain(pts, short, max_depth, max_depth + 1)):
            with pytest.raises(ValueError) as info:
                run()
            if keep > 0:  # an empty tree is reported as such, without a walk
                assert mentions(str(info.value), e.point, e.node), str(info.value)
        return
    assert np.array_equal(find_leaf(pts, short, max_depth), leaves)
    chain, length = find_chain(pts, short, max_depth, max_depth + 1)
    assert length.tolist() == [len(p) for p in paths]


# ---------------------------------------------------------------------------
# Many points at once.  Large calls first settle whole regions of the plane
# against the tree and only walk the points those regions leave undecided,
# so these cases aim at the edges of such regions: coordinates equal to a
# centre, one step either side of it, and off the tree altogether.


def with_neighbours(values: np.ndarray) -> np.ndarray:
    """The values and the floats either side of each."""
    return np.concatenate([values, np.nextafter(values, INF), np.nextafter(values, -INF)])


def nearby_coordinates(centres: np.ndarray, rng: np.random.Generator, spread: int) -> np.ndarray:
    finite = centres[np.isfinite(centres)]
    lo, hi = (finite.min() - 1.0, finite.max() + 1.0) if len(finite) else (-2.0, 2.0)
    return np.concatenate([
        with_neighbours(finite), rng.uniform(lo, hi, spread), [NAN, INF, -INF, 0.0, -0.0, 1e300, -1e300],
    ])


def many_points(tree, rng: np.random.Generator, n: int) -> np.ndarray:
    xs = nearby_coordinates(tree["cx"], rng, n // 2)
    ys = nearby_coordinates(tree["cy"], rng, n // 2)
    return np.stack([rng.choice(xs, n), rng.choice(ys, n)], axis=1)


def grown_tree(rng: np.random.Generator, nodes: int, odd: float) -> dict[str, np.ndarray]:
    """A tree grown by splitting cells, as a builder would, then spoiled with
    probability `odd` per node: off-centre or non-finite centres, missing,
    negative and cyclic children, and leaves that still have children."""
    cx, cy, half, depth = [0.0], [0.0], [1.0], [0]
    kids = [[-1] * 4]
    leaf = [0]
    todo = [0]
    while todo:
        k = todo.pop(0)
        if len(cx) >= nodes or (depth[k] > 0 and rng.random() < 0.2):
            leaf[k] = 1
            if rng.random() < odd:  # a leaf's children must never be followed
                kids[k] = rng.integers(0, len(cx), 4).tolist()
            continue
        for q, (sx, sy) in enumerate([(-1, 1), (1, 1), (-1, -1), (1, -1)]):  # tl, tr, bl, br
            r = rng.random()
            if r < 0.15:
                kids[k][q] = int(rng.choice([-1, -7, -2**31]))
            elif r < 0.15 + odd:
                kids[k][q] = int(rng.integers(0, len(cx)))  # back or across: a cycle
            elif len(cx) < nodes:
                kids[k][q] = len(cx)
                h = half[k] / 2
                cx.append(cx[k] + sx * h)
                cy.append(cy[k] + sy * h)
                if rng.random() < odd:
                    cx[-1] += rng.uniform(-h, h)
                if rng.random() < odd:
                    cy[-1] = float(rng.choice([NAN, INF, -INF, cy[-1] * (1 + 1e-15)]))
                half.append(h)
                depth.append(depth[k] + 1)
                kids.append([-1] * 4)
                leaf.append(0)
                todo.append(len(cx) - 1)
    tl, tr, bl, br = np.array(kids, np.int32).T
    return make_tree(cx, cy, leaf, tl, tr, bl, br)


@st.composite
def many_point_trees(draw):
    if draw(st.booleans()):
        tree = draw(trees(max_nodes=40))
        tree["is_leaf"][0] = 0  # a leaf root would decide everything at once
        return tree
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    return grown_tree(rng, draw(st.integers(5, 300)), draw(st.sampled_from([0.0, 0.05, 0.3])))


@settings(max_examples=200, deadline=None)
@given(tree=many_point_trees(), seed=st.integers(0, 2**32 - 1), n=st.sampled_from([1100, 5000]),
       max_depth=st.integers(-1, 80))
def test_many_points_match_recursive_descent(tree, seed, n, max_depth):
    pts = many_points(tree, np.random.default_rng(seed), n)
    try:
        want, _ = ref_walks(tree, pts, max_depth)
    except NodeOutOfRange as e:
        with pytest.raises(ValueError) as info:
            find_leaf(pts, tree, max_depth)
        assert mentions(str(info.value), e.point, e.node), str(info.value)
        return
    assert np.array_equal(find_leaf(pts, tree, max_depth), want)


def edge_coordinates(qt: QuadTree) -> tuple[np.ndarray, np.ndarray]:
    """Every cell edge of the tree and its neighbouring floats, per axis."""
    return (with_neighbours(np.unique(qt.node_bounds[:, [0, 2]])),
            with_neighbours(np.unique(qt.node_bounds[:, [1, 3]])))


@pytest.mark.parametrize("bounds", [(0, 0, 1000, 1000), (-3.3, 10.0, 7.1, 10.5), (0, 0, 1e-300, 1e-300)])
@pytest.mark.parametrize("max_depth", [3, 9, 14])
def test_many_points_on_a_midpoint_tree(bounds, max_depth):
    rng = np.random.default_rng(max_depth)
    x0, y0, x1, y1 = bounds
    centres = rng.uniform((x0, y0), (x1, y1), (12, 2))
    items = centres[rng.integers(0, 12, 3000)] + rng.normal(0, 1, (3000, 2)) * [(x1 - x0) / 40, (y1 - y0) / 40]
    items = np.clip(items, (x0, y0), (x1, y1))
    qt = QuadTree(items, bucket_size=4, max_depth=max_depth, bounds=bounds)
    ex, ey = edge_coordinates(qt)
    n = 20_000
    pts = np.concatenate([
        items,
        rng.uniform((x0, y0), (x1, y1), (n, 2)),
        np.stack([rng.choice(ex, n), rng.choice(ey, n)], axis=1),
        np.stack([rng.choice(ex, n), rng.uniform(y0, y1, n)], axis=1),
    ])
    rng.shuffle(pts)
    tree = {f: getattr(qt, f) for f in FIELDS}
    want, _ = ref_walks(tree, pts, max_depth)
    assert np.array_equal(qt.find_leaf(pts), want)
    # Every item is found in the leaf that lists it.
    leaf_of = qt.find_leaf(items)
    for leaf in np.unique(leaf_of):
        assert set(np.flatnonzero(leaf_of == leaf)) == set(qt.items(leaf).tolist())


# ---------------------------------------------------------------------------
# Hand-worked cases.


def four_leaves():
    """Root at (0, 0) with leaves tl=1, tr=2, bl=3, br=4."""
    return make_tree([0, 9, 9, 9, 9], [0, 9, 9, 9, 9], [0, 1, 1, 1, 1],
                     [1, -1, -1, -1, -1], [2, -1, -1, -1, -1], [3, -1, -1, -1, -1], [4, -1, -1, -1, -1])


@pytest.mark.parametrize(
    "point,leaf",
    [((0, 0), 2), ((0, -1e-300), 4), ((-1e-300, 0), 1), ((-5e-324, -5e-324), 3), ((0, 7), 2), ((7, 0), 2),
     ((-1, 1), 1), ((1, -1), 4), ((NAN, NAN), 3), ((NAN, 1), 1), ((1, NAN), 4), ((INF, INF), 2), ((-INF, -INF), 3)],
)
def test_routing_at_a_centre(point, leaf):
    assert find_leaf(np.array([point], float), four_leaves(), 5).tolist() == [leaf]


def test_infinite_centre_sends_equal_infinity_bottom_left():
    tree = four_leaves()
    tree["cx"][0] = INF
    tree["cy"][0] = INF
    # inf - inf is NaN: both tests fail.
    assert find_leaf(np.array([[INF, INF], [INF, 0.0]]), tree, 5).tolist() == [3, 3]


def test_single_leaf_and_depth_limits():
    pts = np.random.default_rng(0).uniform(-3, 3, (20, 2))
    leaf_root = make_tree([0], [0], [1], [-1], [-1], [-1], [-1])
    assert (find_leaf(pts, leaf_root, 10) == 0).all()
    chain, length = find_chain(pts, leaf_root, 10, 4)
    assert (length == 1).all() and (chain == [0, -2, -2, -2]).all()
    for depth in (0, -1, -2**31):
        assert (find_leaf(pts, four_leaves(), depth) == 0).all()
        chain, length = find_chain(pts, four_leaves(), depth, 3)
        assert (length == 1).all() and (chain == [0, -2, -2]).all()


def deeper_tree():
    # 0 -> tl 4 (internal) -> br 9 (internal) -> everything missing; 0's other
    # quadrants: tr -1, bl -7, br leaf 2.
    n = 10
    tree = make_tree(np.zeros(n), np.zeros(n), np.zeros(n), -np.ones(n), -np.ones(n), -np.ones(n), -np.ones(n))
    tree["child_tl"][0], tree["child_tr"][0], tree["child_bl"][0], tree["child_br"][0] = 4, -1, -7, 2
    tree["is_leaf"][2] = 1
    tree["cx"][4], tree["cy"][4] = -1.0, 1.0
    tree["child_br"][4] = 9
    tree["child_tl"][4] = 9
    tree["cx"][9], tree["cy"][9] = -0.5, 0.5
    return tree


@pytest.mark.parametrize(
    "point,max_depth,want_path",
    [
        ((-0.5, 0.5), 5, [0, 4, 9, -1]),  # on 9's centre: its missing top-right child
        ((-0.5, 0.5), 2, [0, 4, 9]),  # stopped at internal node 9
        ((-0.5, 0.5), 1, [0, 4]),
        ((-5, 5), 5, [0, 4, 9, -1]),  # 4's tl is 9 too; 9's tl missing
        ((1, 1), 5, [0, -1]),
        ((-1, -1), 5, [0, -7]),
        ((1, -1), 5, [0, 2]),
    ],
)
def test_hand_walked_paths(point, max_depth, want_path):
    tree = deeper_tree()
    pts = np.array([point], float)
    chain, length = find_chain(pts, tree, max_depth, 6)
    assert length.tolist() == [len(want_path)]
    assert chain[0].tolist() == want_path + [-2] * (6 - len(want_path))
    assert find_leaf(pts, tree, max_depth).tolist() == [want_path[-1]]


def test_cycle_is_bounded_by_max_depth():
    # 0 -> 1 -> 0 -> 1 ... in every quadrant.
    tree = make_tree([0, 0], [0, 0], [0, 0], [1, 0], [1, 0], [1, 0], [1, 0])
    pts = np.zeros((3, 2))
    chain, length = find_chain(pts, tree, 7, 8)
    assert (length == 8).all() and chain[0].tolist() == [0, 1, 0, 1, 0, 1, 0, 1]
    assert find_leaf(pts, tree, 7).tolist() == [1, 1, 1]
    assert find_leaf(pts, tree, 10**6).tolist() == [0, 0, 0]


@pytest.mark.parametrize("view", ["bool", "reversed", "strided", "readonly", "memoryview", "fortran-pts", "wide-pts"])
def test_array_layouts(view):
    rng = np.random.default_rng(1)
    tree = deeper_tree()
    pts = rng.choice([-1.0, -0.5, 0.0, 0.5, 1.0, 5.0, NAN], (40, 2))
    want_leaf = find_leaf(pts, tree, 5)
    want_chain = find_chain(pts, tree, 5, 6)
    if view == "bool":
        tree["is_leaf"] = tree["is_leaf"].astype(bool)
    elif view == "reversed":
        tree = {k: np.ascontiguousarray(v[::-1])[::-1] for k, v in tree.items()}
    elif view == "strided":
        tree = {k: np.repeat(v, 3)[::3] for k, v in tree.items()}
    elif view == "readonly":
        for v in tree.values():
            v.setflags(write=False)
    elif view == "memoryview":
        tree = {k: memoryview(v) for k, v in tree.items()}
    elif view == "fortran-pts":
        pts = np.asfortranarray(pts)
    else:
        pts = np.concatenate([pts, np.full((40, 5), NAN)], axis=1)
    assert np.array_equal(find_leaf(pts, tree, 5), want_leaf)
    chain, length = find_chain(pts, tree, 5, 6)
    assert np.array_equal(chain, want_chain[0]) and np.array_equal(length, want_chain[1])


# ---------------------------------------------------------------------------
# Integer arguments.


class HasInt:
    def __init__(self, v: Any):
        self.v = v

    def __int__(self):
        return self.v


class OnlyIndex:
    def __index__(self):
        return 2


class IntWithOwnInt(int):
    def __int__(self):  # an int subclass is taken by value, not through __int__
        return 0


class Boom:
    def __int__(self):
        raise RuntimeError("boom")


@pytest.mark.parametrize(
    "value,as_int",
    [
        (True, 1), (False, 0), (2.7, 2), (-2.7, -2), (0.99, 0), (np.int64(3), 3), (np.int32(-1), -1),
        (np.float64(1.9), 1), (np.uint8(2), 2), (HasInt(2), 2), (IntWithOwnInt(2), 2),
        (2**31 - 1, 2**31 - 1), (-(2**31), -(2**31)), (float(2**31 - 1), 2**31 - 1),
    ],
)
def test_max_depth_conversion(value, as_int):
    tree = deeper_tree()
    pts = np.array([[-0.5, 0.5], [-5, 5], [1, -1]])
    assert np.array_equal(find_leaf(pts, tree, value), find_leaf(pts, tree, as_int))
    cols = max(as_int, 0) + 1 if as_int < 8 else 8
    for got, want in zip(find_chain(pts, tree, value, cols), find_chain(pts, tree, as_int, cols)):
        assert np.array_equal(got, want)


BAD_INTS = [
    ("3", TypeError), (b"3", TypeError), (None, TypeError), (OnlyIndex(), TypeError), ([1], TypeError),
    (HasInt("3"), TypeError), (HasInt(2.0), TypeError), (Boom(), RuntimeError),
    (2**31, OverflowError), (-(2**31) - 1, OverflowError), (2**64, OverflowError), (1e10, OverflowError),
    (np.int64(2**40), OverflowError), (INF, OverflowError), (HasInt(2**40), OverflowError),
]


@pytest.mark.parametrize("value,exc", BAD_INTS)
@pytest.mark.parametrize("which", ["leaf-depth", "chain-depth", "chain-cols"])
def test_bad_integer_arguments(value, exc, which):
    tree = deeper_tree()
    pts = np.zeros((2, 2))
    with pytest.raises(exc):
        if which == "leaf-depth":
            find_leaf(pts, tree, value)
        elif which == "chain-depth":
            find_chain(pts, tree, value, 4)
        else:
            find_chain(pts, tree, 3, value)


def test_max_cols_conversion_and_negative():
    tree = deeper_tree()
    pts = np.array([[-0.5, 0.5]])
    want = find_chain(pts, tree, 5, 6)
    for cols in (6.5, np.int16(6), HasInt(6), True + 5):
        got = find_chain(pts, tree, 5, cols)
        assert np.array_equal(got[0], want[0]) and np.array_equal(got[1], want[1])
    with pytest.raises(ValueError):
        find_chain(pts, tree, 5, -1)
    # No points: nothing needs a column, and an empty tree is never read.
    chain, length = find_chain(np.empty((0, 2)), {f: None for f in FIELDS}, 5, 0)
    assert chain.shape == (0, 0) and length.shape == (0,)


# ---------------------------------------------------------------------------
# Inputs the walk could not read safely.


@pytest.mark.parametrize("missing", FIELDS)
@pytest.mark.parametrize("how", ["none", "empty"])
def test_missing_tree_array_with_points(missing, how):
    tree = make_tree([0], [0], [1], [-1], [-1], [-1], [-1])  # a leaf root reads only is_leaf...
    tree[missing] = None if how == "none" else tree[missing][:0]
    pts = np.zeros((3, 2))
    # ...but every array must hold node 0 for the root to be a node at all.
    with pytest.raises(ValueError):
        find_leaf(pts, tree, 4)
    with pytest.raises(ValueError):
        find_chain(pts, tree, 4, 5)
    assert find_leaf(pts[:0], tree, 4).shape == (0,)
    assert find_leaf(None, tree, 4).shape == (0,)


@pytest.mark.parametrize("cols", [0, 1])
def test_narrow_points(cols):
    tree = deeper_tree()
    with pytest.raises(ValueError, match="pts"):
        find_leaf(np.zeros((3, cols)), tree, 4)
    with pytest.raises(ValueError, match="pts"):
        find_chain(np.zeros((3, cols)), tree, 4, 5)


@pytest.mark.parametrize("before,after", [(37, 1), (3000, 2000)])
def test_out_of_range_child_reports_point_and_node(before, after):
    tree = deeper_tree()
    tree["child_tr"][0] = 1234
    pts = np.array([[-1.0, -1.0]] * before + [[1.0, 1.0]] * after)
    for run in (lambda: find_leaf(pts, tree, 5), lambda: find_chain(pts, tree, 5, 6)):
        with pytest.raises(ValueError) as info:
            run()
        assert mentions(str(info.value), before, 1234), str(info.value)


def test_failed_calls_do_not_leak():
    tree = deeper_tree()
    tree["child_tr"][0] = 99
    pts = np.ones((5, 2))
    objs = list(tree.values()) + [pts]
    before = [sys.getrefcount(o) for o in objs]
    for _ in range(300):
        with pytest.raises(ValueError):
            find_leaf(pts, tree, 5)
        with pytest.raises(ValueError):
            find_chain(pts, tree, 5, 6)
        with pytest.raises(ValueError):
            find_chain(np.full((5, 2), -1.0), deeper_tree(), 5, 1)
    assert [sys.getrefcount(o) for o in objs] == before


# ---------------------------------------------------------------------------
# QuadTree


@st.composite
def point_sets(draw):
    n = draw(st.integers(0, 80))
    values = st.one_of(st.sampled_from([0.0, 0.25, 0.5, 1.0]), st.floats(0, 1))
    return draw(hnp.arrays(np.float64, (n, 2), elements=values))


@settings(max_examples=200, deadline=None)
@given(pts=point_sets(), bucket=st.integers(1, 6), depth=st.integers(0, 9), data=st.data())
def test_quadtree_structure(pts, bucket, depth, data):
    bounds = data.draw(st.sampled_from([None, (0.0, 0.0, 1.0, 1.0), (-1.0, -0.5, 2.0, 1.0)]))
    if bounds is None and len(pts) == 0:
        bounds = (0.0, 0.0, 1.0, 1.0)
    qt = QuadTree(pts, bucket_size=bucket, max_depth=depth, bounds=bounds)
    m = len(qt)
    for name, dtype in zip(FIELDS, [np.float64, np.float64, np.uint8] + [np.int32] * 4):
        arr = getattr(qt, name)
        assert arr.dtype == dtype and arr.shape == (m,) and not arr.flags.writeable
    kids = np.stack([qt.child_tl, qt.child_tr, qt.child_bl, qt.child_br], axis=1)
    assert ((kids == -1) | ((kids > 0) & (kids < m))).all()
    # Every node but the root has exactly one parent: a tree, no cycles.
    assert sorted(kids[kids >= 0].tolist()) == list(range(1, m))
    assert (kids[qt.is_leaf == 1] == -1).all()

    # The leaves partition the items, and each item is found in its leaf.
    leaf_of = qt.find_leaf(pts)
    owners = np.full(len(pts), -1)
    for leaf in qt.leaves:
        idx = qt.items(leaf)
        assert (owners[idx] == -1).all()
        owners[idx] = leaf
        x0, y0, x1, y1 = qt.cell(leaf)
        assert ((pts[idx, 0] >= x0) & (pts[idx, 0] <= x1) & (pts[idx, 1] >= y0) & (pts[idx, 1] <= y1)).all()
    assert np.array_equal(owners, leaf_of)
    for node in np.flatnonzero(qt.is_leaf == 0):
        assert len(qt.items(node)) == 0

    # Buckets overflow only at the depth limit.
    chain, length = qt.find_chain(pts)
    assert np.array_equal(chain[np.arange(len(pts)), length - 1], leaf_of)
    counts = np.bincount(leaf_of, minlength=m) if len(pts) else np.zeros(m, int)
    for i in range(len(pts)):
        if counts[leaf_of[i]] > bucket:
            assert length[i] - 1 == depth

    # Children split their parent's cell at its centre.
    for node in np.flatnonzero(qt.is_leaf == 0):
        x0, y0, x1, y1 = qt.cell(node)
        cx, cy = qt.cx[node], qt.cy[node]
        assert x0 <= cx <= x1 and y0 <= cy <= y1
        quads = {"child_tl": (x0, cy, cx, y1), "child_tr": (cx, cy, x1, y1),
                 "child_bl": (x0, y0, cx, cy), "child_br": (cx, y0, x1, cy)}
        for name, cell in quads.items():
            child = getattr(qt, name)[node]
            if child >= 0:
                assert qt.cell(child) == cell


@settings(max_examples=100, deadline=None)
@given(pts=point_sets(), queries=query_points(30), bucket=st.integers(1, 4), depth=st.integers(0, 8))
def test_quadtree_queries_match_recursive_descent(pts, queries, bucket, depth):
    qt = QuadTree(pts, bucket_size=bucket, max_depth=depth, bounds=(0, 0, 1, 1))
    tree = {f: getattr(qt, f) for f in FIELDS}
    leaves, paths = ref_walks(tree, queries, depth)
    assert np.array_equal(qt.find_leaf(queries), leaves)
    chain, length = qt.find_chain(queries)
    assert length.tolist() == [len(p) for p in paths]
    for i, p in enumerate(paths):
        assert chain[i, : len(p)].tolist() == p


@settings(max_examples=100, deadline=None)
@given(pts=point_sets(), box=hnp.arrays(np.float64, 4, elements=st.floats(-0.2, 1.2)), bucket=st.integers(1, 4))
def test_leaves_in_box_cover_the_items_in_the_box(pts, box, bucket):
    qt = QuadTree(pts, bucket_size=bucket, max_depth=6, bounds=(0, 0, 1, 1))
    xmin, xmax = sorted(box[:2])
    ymin, ymax = sorted(box[2:])
    inside = np.flatnonzero((pts[:, 0] >= xmin) & (pts[:, 0] <= xmax) & (pts[:, 1] >= ymin) & (pts[:, 1] <= ymax))
    leaves = qt.leaves_in_box(xmin, ymin, xmax, ymax)
    found = np.concatenate([qt.items(leaf) for leaf in leaves] + [np.empty(0, np.intp)])
    assert set(inside.tolist()) <= set(found.tolist())
    for leaf in leaves:
        x0, y0, x1, y1 = qt.cell(leaf)
        assert x0 <= xmax and x1 >= xmin and y0 <= ymax and y1 >= ymin


def test_quadtree_small_example():
    pts = np.array([[0.1, 0.1], [0.9, 0.9], [0.8, 0.9], [0.9, 0.8], [0.5, 0.5]])
    qt = QuadTree(pts, bucket_size=2, max_depth=4, bounds=(0, 0, 1, 1))
    # The root splits at (0.5, 0.5); (0.5, 0.5) itself goes top-right.
    assert qt.cx[0] == 0.5 and qt.cy[0] == 0.5 and qt.is_leaf[0] == 0
    assert qt.child_tl[0] == -1 and qt.child_br[0] == -1
    bl = qt.child_bl[0]
    assert qt.is_leaf[bl] and qt.items(bl).tolist() == [0] and qt.cell(bl) == (0.0, 0.0, 0.5, 0.5)
    # An empty quadrant has no node: the walk falls off with -1.
    assert qt.find_leaf([[0.2, 0.8], [0.1, 0.1]]).tolist() == [-1, bl]
    assert len(qt.items(-1)) == 0
    tr = qt.child_tr[0]
    assert not qt.is_leaf[tr] and qt.cell(tr) == (0.5, 0.5, 1.0, 1.0)
    assert sorted(np.concatenate([qt.items(l) for l in qt.leaves]).tolist()) == [0, 1, 2, 3, 4]


def test_quadtree_duplicates_stop_at_max_depth():
    pts = np.full((10, 2), 0.3)
    qt = QuadTree(pts, bucket_size=2, max_depth=5)
    leaf = qt.find_leaf(pts)
    assert (leaf == leaf[0]).all() and sorted(qt.items(leaf[0]).tolist()) == list(range(10))
    _, length = qt.find_chain(pts)
    assert (length == 6).all()


def test_quadtree_empty():
    qt = QuadTree(np.empty((0, 2)), bounds=(0, 0, 2, 2))
    assert len(qt) == 1 and qt.is_leaf.tolist() == [1]
    assert qt.find_leaf([[1.0, 1.0], [5.0, 5.0]]).tolist() == [0, 0]
    assert len(qt.items(0)) == 0
    assert qt.find_leaf(np.empty((0, 2))).shape == (0,)


@pytest.mark.parametrize(
    "kwargs,exc",
    [
        (dict(points=[[0.0, 0.0, 0.0]]), ValueError),
        (dict(points=[0.0, 0.0]), ValueError),
        (dict(points=[[NAN, 0.0]]), ValueError),
        (dict(points=[[INF, 0.0]]), ValueError),
        (dict(points=[[2.0, 0.0]], bounds=(0, 0, 1, 1)), ValueError),
        (dict(points=[[0.5, 0.5]], bounds=(1, 0, 0, 1)), ValueError),
        (dict(points=[[0.5, 0.5]], bounds=(0, 0, 1)), ValueError),
        (dict(points=[[0.5, 0.5]], bounds=(0, 0, INF, 1)), ValueError),
        (dict(points=[[0.5, 0.5]], bucket_size=0), ValueError),
        (dict(points=[[0.5, 0.5]], max_depth=-1), ValueError),
        (dict(points=[[0.5, 0.5]], max_depth=2**31 - 1), ValueError),
    ],
)
def test_quadtree_rejects_bad_input(kwargs, exc):
    with pytest.raises(exc):
        QuadTree(**kwargs)


def test_quadtree_node_lookups_check_range():
    qt = QuadTree(np.random.default_rng(0).uniform(0, 1, (50, 2)), bucket_size=4)
    with pytest.raises(IndexError):
        qt.items(len(qt))
    with pytest.raises(IndexError):
        qt.cell(len(qt))
    with pytest.raises(IndexError):
        qt.cell(-1)
    assert "QuadTree(50 points" in repr(qt)


def test_quadtree_input_is_copied():
    pts = np.random.default_rng(0).uniform(0, 1, (30, 2))
    qt = QuadTree(pts, bucket_size=3)
    before = qt.find_leaf(qt.points)
    pts[:] = 0.0
    assert np.array_equal(qt.find_leaf(qt.points), before)


@pytest.mark.parametrize(
    "pts,bounds",
    [
        (np.full((3, 2), 5e-324), None),  # halving the smallest subnormal rounds to 0
        (np.array([[-1.7e308, 1.7e308], [1.7e308, -1.7e308], [0.0, 0.0]]), None),  # (a + b) would overflow
    ],
)
def test_quadtree_centres_stay_inside_extreme_cells(pts, bounds):
    qt = QuadTree(pts, bucket_size=1, max_depth=3, bounds=bounds)
    b = qt.node_bounds
    assert ((b[:, 0] <= qt.cx) & (qt.cx <= b[:, 2]) & (b[:, 1] <= qt.cy) & (qt.cy <= b[:, 3])).all()
    assert np.isfinite(qt.cx).all() and np.isfinite(qt.cy).all()
    leaf = qt.find_leaf(pts)
    for i in range(len(pts)):
        assert i in qt.items(leaf[i]).tolist()
