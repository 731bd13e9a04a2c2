// orin.field.kernels: the hot numeric loops of the GeoJSON-standard geometries.
//
// Every kernel follows one shape: take typed strided views of the arguments,
// validate every extent a loop will index (so no input can make a loop read
// outside a buffer), allocate the result through the module attribute `np`,
// then run the loop with the interpreter lock released.  The loops live in
// headers that never include Python.h (ring_test.hpp, segment_loops.hpp,
// obstacle_loops.hpp, quadtree_walks.hpp), so they cannot touch a Python
// object; this file holds the argument handling, allocation and bindings.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define PY_ARRAY_UNIQUE_SYMBOL orin_kernels_ARRAY_API
#include <numpy/arrayobject.h>
#include <structmember.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <exception>
#include <limits>
#include <memory>
#include <new>
#include <vector>

#include "buffer_view.hpp"
#include "call.hpp"
#include "isa_switch.hpp"
#include "module_slots.hpp"
#include "obstacle_loops.hpp"
#include "py_ref.hpp"
#include "quadtree_walks.hpp"
#include "ring_test.hpp"
#include "segment_loops.hpp"
#include "strided_view.hpp"

namespace orin {
namespace {

using f64 = double;
using i32 = std::int32_t;
using u8 = std::uint8_t;

// ---------------------------------------------------------------------------
// Results: allocated by NumPy, written through a checked mutable view.

template <class T> constexpr int npy_type_of();
template <> constexpr int npy_type_of<f64>() { return NPY_FLOAT64; }
template <> constexpr int npy_type_of<i32>() { return NPY_INT32; }
template <> constexpr int npy_type_of<u8>() { return NPY_UINT8; }

// `np` is a module attribute that callers may rebind, so whatever the
// allocation returned is checked before the loops write into it.
template <class T, int ND>
out_view<T, ND> writable(PyObject* result, const Py_ssize_t (&shape)[ND]) {
    if (!PyArray_Check(result)) {
        raise_format(PyExc_TypeError, "result allocation returned %.200s, not a numpy.ndarray",
                     Py_TYPE(result)->tp_name);
    }
    auto* arr = reinterpret_cast<PyArrayObject*>(result);
    bool ok = PyArray_NDIM(arr) == ND && PyArray_TYPE(arr) == npy_type_of<T>() &&
              PyArray_ISWRITEABLE(arr) && PyArray_ISNOTSWAPPED(arr) && PyArray_ISALIGNED(arr);
    for (int d = 0; ok && d < ND; ++d) ok = PyArray_DIM(arr, d) == shape[d];
    if (!ok) raise(PyExc_ValueError, "result allocation returned an array of unexpected shape or dtype");
    out_view<T, ND> v;
    v.data = static_cast<char*>(PyArray_DATA(arr));
    for (int d = 0; d < ND; ++d) v.strides[d] = PyArray_STRIDE(arr, d);
    return v;
}

// np.<func>(shape, [fill,] dtype=np.<dtype_name>), everything looked up at
// call time through the module.
ref np_alloc(PyObject* module, const char* func, ref shape, PyObject* fill, const char* dtype_name) {
    ref np = require(PyObject_GetAttrString(module, "np"));
    ref callable = require(PyObject_GetAttrString(np.get(), func));
    ref dtype = require(PyObject_GetAttrString(np.get(), dtype_name));
    ref args = require(fill ? PyTuple_Pack(2, shape.get(), fill) : PyTuple_Pack(1, shape.get()));
    ref kwargs = require(PyDict_New());
    require_ok(PyDict_SetItemString(kwargs.get(), "dtype", dtype.get()));
    return require(PyObject_Call(callable.get(), args.get(), kwargs.get()));
}

ref shape_1d(Py_ssize_t n) { return require(PyLong_FromSsize_t(n)); }

ref shape_2d(Py_ssize_t n, Py_ssize_t m) { return require(Py_BuildValue("(nn)", n, m)); }

// ---------------------------------------------------------------------------
// Shape checks that keep the loops inside their buffers.

template <class T, int ND>
void need_columns(const buffer_view<T, ND>& a, const char* name, Py_ssize_t columns) {
    if (a.extent(1) < columns) {
        raise_format(PyExc_ValueError, "%s must have at least %zd columns, got shape (%zd, %zd)", name,
                     columns, a.extent(0), a.extent(1));
    }
}

template <class T, int ND>
void need_rows(const buffer_view<T, ND>& a, const char* name, Py_ssize_t rows, const char* of) {
    if (a.extent(0) < rows) {
        if constexpr (ND == 1) {
            raise_format(PyExc_ValueError, "%s has %zd elements but %s has %zd rows", name,
                         a.extent(0), of, rows);
        } else {
            raise_format(PyExc_ValueError, "%s has %zd rows but %s has %zd rows", name, a.extent(0),
                         of, rows);
        }
    }
}

// The pair loops look at the clock (lock_scope::interrupted) after about this
// many point-element pairs: a few milliseconds of work, so that a call of a
// few blocks never reads it and a call of minutes answers Ctrl-C at once.
constexpr std::ptrdiff_t pairs_between_polls = std::ptrdiff_t{1} << 22;

// Integer arguments follow the package's one rule (call.hpp), in 32 bits.
i32 as_i32(PyObject* obj, const char* name) {
    return static_cast<i32>(integer_argument(obj, name, std::numeric_limits<i32>::min(),
                                             std::numeric_limits<i32>::max(), "32-bit signed integer"));
}

// ---------------------------------------------------------------------------
// Point in polygon.

const char doc_point_in_rings[] =
    "\n"
    "    Ray-casting point-in-polygon test with hole support.\n"
    "\n"
    "    pts:   (N, 2) query points\n"
    "    outer: (R, 2) outer ring (closed, last point == first point)\n"
    "    holes: list of (H_k, 2) closed ring arrays (interior holes)\n"
    "\n"
    "    Returns: (N,) uint8 array, 1 if inside outer ring and outside all holes.\n"
    "    ";

// How point_in_rings tests points against a ring; _set_ring_method forces
// one, so that tests can run every method on the same inputs.
std::atomic<ring_method> ring_method_setting{ring_method::automatic};

// Points already gathered into two columns, as the ring passes read them.
struct column_points {
    const f64* x;
    const f64* y;
    f64 operator()(std::ptrdiff_t i, int axis) const noexcept { return axis == 0 ? x[i] : y[i]; }
};

struct byte_column {
    u8* data;
    u8& operator()(std::ptrdiff_t i) const noexcept { return data[i]; }
};

// One ring pass without the lock.  An index that cannot be allocated fails
// the call with MemoryError rather than leaving results half written.
template <class Points, class Out>
void run_ring_pass(const Points& pts, std::ptrdiff_t n, const strided_view<f64, 2>& ring, ring_method method,
                   const Out& out) {
    bool out_of_memory = false;
    without_lock([&]() noexcept {
        try {
            rings_outer_pass(pts, n, ring, method, out);
        } catch (const std::exception&) {  // bad_alloc, or a length past what vector can hold
            out_of_memory = true;
        }
    });
    if (out_of_memory) throw std::bad_alloc();
}

const signature<3> point_in_rings_signature{"point_in_rings", {"pts", "outer", "holes"}, 3, false};

PyObject* point_in_rings(PyObject* module, PyObject* args, PyObject* kwargs) {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
        auto [pts_obj, outer_obj, holes] = bind(point_in_rings_signature, args, kwargs);
        buffer_view<f64, 2> pts(pts_obj, "pts");
        buffer_view<f64, 2> outer(outer_obj, "outer");
        if (holes != Py_None && !PyList_CheckExact(holes)) {
            raise_format(PyExc_TypeError, "holes must be a list, got %.200s", Py_TYPE(holes)->tp_name);
        }
        if (holes == Py_None) raise(PyExc_TypeError, "object of type 'NoneType' has no len()");
        const Py_ssize_t n = pts.extent(0);
        const Py_ssize_t n_holes = PyList_GET_SIZE(holes);
        if (n > 0) need_columns(pts, "pts", 2);
        if (n > 0 && outer.extent(0) >= 3) need_columns(outer, "outer", 2);

        ref out = np_alloc(module, "zeros", shape_1d(n), nullptr, "uint8");
        const Py_ssize_t out_shape[1] = {n};
        const out_view<u8, 1> out_v = writable<u8, 1>(out.get(), out_shape);

        // Every hole is converted before any point is tested, so a hole NumPy
        // cannot convert fails the call whatever the points are.
        ref np = require(PyObject_GetAttrString(module, "np"));
        ref ascontiguousarray = require(PyObject_GetAttrString(np.get(), "ascontiguousarray"));
        ref float64 = require(PyObject_GetAttrString(np.get(), "float64"));
        ref hole_views = require(PyList_New(n_holes));
        for (Py_ssize_t k = 0; k < n_holes; ++k) {
            // The list may shrink under us if an item's __array__ mutates it.
            ref item = ref::borrow(PyList_GetItem(holes, k));
            if (!item) throw error_already_set{};
            ref conv_args = require(PyTuple_Pack(1, item.get()));
            ref conv_kwargs = require(Py_BuildValue("{s:O}", "dtype", float64.get()));
            ref converted =
                require(PyObject_Call(ascontiguousarray.get(), conv_args.get(), conv_kwargs.get()));
            PyList_SET_ITEM(hole_views.get(), k, converted.release());
        }

        // The ring's index is built off the lock too: on a ring of millions
        // of vertices it takes about as long as the pass itself.
        const ring_method method = ring_method_setting.load(std::memory_order_relaxed);
        run_ring_pass(pts.view(), n, outer.view(), method, out_v);

        // Holes only remove points the outer pass found inside, hole by hole
        // over the points still in.  A hole is viewed (and validated) only
        // when some point reaches it, so a malformed hole fails only when it
        // matters, and once.
        // Without holes the outer pass is the answer.  Otherwise the points
        // still in are gathered without a branch: whether a random point is
        // inside is a coin toss the branch predictor loses half the time,
        // and on large N that cost as much as a banded outer pass.
        std::vector<Py_ssize_t> still;
        if (n_holes > 0) {
            still.resize(static_cast<size_t>(n));
            Py_ssize_t kept = 0;
            for (Py_ssize_t i = 0; i < n; ++i) {
                still[static_cast<size_t>(kept)] = i;
                kept += out_v(i) != 0;
            }
            still.resize(static_cast<size_t>(kept));
        }
        std::vector<f64> xs, ys;
        std::vector<u8> in_hole;
        for (Py_ssize_t k = 0; k < n_holes && !still.empty(); ++k) {
            char name[64];
            PyOS_snprintf(name, sizeof name, "holes[%zd]", k);
            buffer_view<f64, 2> hole(PyList_GET_ITEM(hole_views.get(), k), name);
            if (hole.extent(0) >= 3) need_columns(hole, name, 2);
            const auto m = static_cast<Py_ssize_t>(still.size());
            xs.resize(still.size());
            ys.resize(still.size());
            for (Py_ssize_t q = 0; q < m; ++q) {
                xs[static_cast<size_t>(q)] = pts.view()(still[static_cast<size_t>(q)], 0);
                ys[static_cast<size_t>(q)] = pts.view()(still[static_cast<size_t>(q)], 1);
            }
            in_hole.assign(still.size(), 0);
            run_ring_pass(column_points{xs.data(), ys.data()}, m, hole.view(), method, byte_column{in_hole.data()});
            Py_ssize_t kept = 0;
            for (Py_ssize_t q = 0; q < m; ++q) {
                const Py_ssize_t i = still[static_cast<size_t>(q)];
                if (in_hole[static_cast<size_t>(q)]) {
                    out_v(i) = 0;
                } else {
                    still[static_cast<size_t>(kept++)] = i;
                }
            }
            still.resize(static_cast<size_t>(kept));
        }
        return out.release();
    });
}

// ---------------------------------------------------------------------------
// Segment repulsion vectors.

const char doc_segment_repulsion_vectors[] =
    "\n"
    "    For every point in `x`, find the closest point (in the metric induced by\n"
    "    `metric`) among the projections onto every segment [p1, p1+v], and return\n"
    "    the repulsion vector (x - closest_point).\n"
    "\n"
    "    Used by LineString / Polygon / MultiPolygon boundary-segment repulsion.\n"
    "\n"
    "    x:       (N, 2)\n"
    "    p1, v:   (S, 2) segment origins / direction vectors\n"
    "    v_dot_v: (S,) precomputed dot(v, v) per segment (denominator, >0)\n"
    "    metric:  (2, 2) anisotropic distance matrix\n"
    "\n"
    "    Returns: (N, 2) repulsion vectors\n"
    "    ";

const signature<5> segment_repulsion_vectors_signature{
    "segment_repulsion_vectors", {"x", "p1", "v", "v_dot_v", "metric"}, 5, false};

PyObject* segment_repulsion_vectors(PyObject* module, PyObject* args, PyObject* kwargs) {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
        auto [x_obj, p1_obj, v_obj, vv_obj, metric_obj] = bind(segment_repulsion_vectors_signature, args, kwargs);
        buffer_view<f64, 2> x(x_obj, "x");
        buffer_view<f64, 2> p1(p1_obj, "p1");
        buffer_view<f64, 2> v(v_obj, "v");
        buffer_view<f64, 1> v_dot_v(vv_obj, "v_dot_v");
        buffer_view<f64, 2> metric(metric_obj, "metric");
        const Py_ssize_t n = x.extent(0), s = p1.extent(0);
        if (n > 0) need_columns(x, "x", 2);
        if (s > 0) {
            need_columns(p1, "p1", 2);
            need_rows(v, "v", s, "p1");
            need_columns(v, "v", 2);
            need_rows(v_dot_v, "v_dot_v", s, "p1");
            if (metric.extent(0) < 2 || metric.extent(1) < 2) {
                raise_format(PyExc_ValueError, "metric must be at least 2 x 2, got shape (%zd, %zd)",
                             metric.extent(0), metric.extent(1));
            }
        }

        ref out = np_alloc(module, "empty", shape_2d(n, 2), nullptr, "float64");
        const Py_ssize_t out_shape[2] = {n, 2};
        const out_view<f64, 2> out_v = writable<f64, 2>(out.get(), out_shape);
        if (s == 0) {
            for (Py_ssize_t i = 0; i < n; ++i) out_v(i, 0) = out_v(i, 1) = 0.0;
            return out.release();
        }
        const auto& mv = metric.view();
        const f64 m00 = mv(0, 0), m01 = mv(0, 1), m10 = mv(1, 0), m11 = mv(1, 1);
        packed_segments seg;
        seg.resize(s);
        bool finished = true;
        without_lock([&](lock_scope& lock) {
            seg.fill(p1.view(), v.view(), v_dot_v.view());
            finished = segment_repulsion(x.view(), n, seg, m00, m01, m10, m11, out_v, pairs_between_polls,
                                         [&] { return lock.interrupted(); });
        });
        if (!finished) throw error_already_set{};
        return out.release();
    });
}

// ---------------------------------------------------------------------------
// Point-obstacle risk maximum.

const char doc_point_obstacles_eval_max[] =
    "\n"
    "    Fused kernel for RiskField.eval() over many Point-type obstacles: for\n"
    "    each query point, compute max_k exp(-((x-c_k)^T M_k (x-c_k))) without\n"
    "    materializing an (N, K) intermediate array in Python.\n"
    "\n"
    "    x:               (N, 2) query points\n"
    "    centers:         (K, 2) obstacle coordinates\n"
    "    inv_repulsions:  (K, 2, 2) per-obstacle anisotropic repulsion metric\n"
    "\n"
    "    Returns: (N,) risk values in [0, 1]\n"
    "    ";

const signature<3> point_obstacles_eval_max_signature{
    "point_obstacles_eval_max", {"x", "centers", "inv_repulsions"}, 3, false};

PyObject* point_obstacles_eval_max(PyObject* module, PyObject* args, PyObject* kwargs) {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
        auto [x_obj, c_obj, m_obj] = bind(point_obstacles_eval_max_signature, args, kwargs);
        buffer_view<f64, 2> x(x_obj, "x");
        buffer_view<f64, 2> centers(c_obj, "centers");
        buffer_view<f64, 3> inv(m_obj, "inv_repulsions");
        const Py_ssize_t n = x.extent(0), k = centers.extent(0);
        if (n > 0) need_columns(x, "x", 2);
        if (k > 0) {
            need_columns(centers, "centers", 2);
            if (inv.extent(0) < k || inv.extent(1) < 2 || inv.extent(2) < 2) {
                raise_format(PyExc_ValueError,
                             "inv_repulsions must have shape at least (%zd, 2, 2) for %zd centers, "
                             "got (%zd, %zd, %zd)",
                             k, k, inv.extent(0), inv.extent(1), inv.extent(2));
            }
        }

        ref out = np_alloc(module, "zeros", shape_1d(n), nullptr, "float64");
        const Py_ssize_t out_shape[1] = {n};
        const out_view<f64, 1> out_v = writable<f64, 1>(out.get(), out_shape);
        if (k == 0) return out.release();

        packed_obstacles ob;
        ob.resize(k);
        bool finished = true;
        without_lock([&](lock_scope& lock) {
            ob.fill(centers.view(), inv.view());
            finished = obstacles_eval_max(x.view(), n, ob, out_v, pairs_between_polls,
                                          [&] { return lock.interrupted(); });
        });
        if (!finished) throw error_already_set{};
        return out.release();
    });
}

// ---------------------------------------------------------------------------
// Quadtree walks.

struct tree_args {
    buffer_view<f64, 2> pts;
    buffer_view<f64, 1> cx, cy;
    buffer_view<u8, 1> is_leaf;
    buffer_view<i32, 1> tl, tr, bl, br;

    tree_args(PyObject* const* o)
        : pts(o[0], "pts"), cx(o[1], "cx"), cy(o[2], "cy"), is_leaf(o[3], "is_leaf"),
          tl(o[4], "child_tl"), tr(o[5], "child_tr"), bl(o[6], "child_bl"), br(o[7], "child_br") {}

    tree_views views() const noexcept {
        return make_tree_views(cx.view(), cy.view(), is_leaf.view(), tl.view(), tr.view(), bl.view(),
                               br.view());
    }

    void validate(Py_ssize_t n) const {
        if (n == 0) return;
        need_columns(pts, "pts", 2);
        if (views().nodes == 0) {
            raise_format(PyExc_ValueError,
                         "the tree has no nodes (node arrays of lengths cx=%zd, cy=%zd, is_leaf=%zd, "
                         "child_tl=%zd, child_tr=%zd, child_bl=%zd, child_br=%zd) but %zd points were given",
                         cx.extent(0), cy.extent(0), is_leaf.extent(0), tl.extent(0), tr.extent(0),
                         bl.extent(0), br.extent(0), n);
        }
    }
};

[[noreturn]] void raise_bad_node(const walk_fault& f, Py_ssize_t nodes) {
    raise_format(PyExc_ValueError,
                 "walk for point %zd reached node %d, which is not a valid index into the tree arrays "
                 "(%zd usable nodes)",
                 f.point, static_cast<int>(f.node), nodes);
}

const char doc_quadtree_find_leaf[] =
    "\n"
    "    For every point, walk the flattened tree from the root (node 0) and\n"
    "    return the node index of the leaf reached, or -1 if the walk falls off\n"
    "    a missing branch (mirrors the old recursion returning None).\n"
    "    ";

const signature<9> quadtree_find_leaf_signature{
    "quadtree_find_leaf",
    {"pts", "cx", "cy", "is_leaf", "child_tl", "child_tr", "child_bl", "child_br", "max_depth"},
    9,
    false};

PyObject* quadtree_find_leaf(PyObject* module, PyObject* args, PyObject* kwargs) {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
        const auto o = bind(quadtree_find_leaf_signature, args, kwargs);
        tree_args a(o.data());
        const i32 max_depth = as_i32(o[8], "max_depth");
        const Py_ssize_t n = a.pts.extent(0);
        a.validate(n);

        ref out = np_alloc(module, "empty", shape_1d(n), nullptr, "int32");
        const Py_ssize_t out_shape[1] = {n};
        const out_view<i32, 1> out_v = writable<i32, 1>(out.get(), out_shape);

        const tree_views t = a.views();
        leaf_search search;
        search.prepare(t, n);
        walk_fault fault;
        without_lock([&](lock_scope& lock) {
            search.run(t, a.pts.view(), n, max_depth, out_v, fault, [&] { return lock.interrupted(); });
        });
        if (fault.stopped) throw error_already_set{};  // a signal handler raised
        if (fault.point >= 0) raise_bad_node(fault, t.nodes);
        return out.release();
    });
}

const char doc_quadtree_find_chain[] =
    "\n"
    "    Same walk as quadtree_find_leaf, but records every node index visited\n"
    "    (root -> ... -> terminal). Terminal entry is -1 if the walk fell off a\n"
    "    missing branch, matching the old recursion's `None` chain entry.\n"
    "\n"
    "    Returns (chain, length):\n"
    "      chain:  (N, max_cols) int32, only chain[i, :length[i]] is meaningful.\n"
    "      length: (N,) int32\n"
    "    ";

const signature<10> quadtree_find_chain_signature{
    "quadtree_find_chain",
    {"pts", "cx", "cy", "is_leaf", "child_tl", "child_tr", "child_bl", "child_br", "max_depth", "max_cols"},
    10,
    false};

PyObject* quadtree_find_chain(PyObject* module, PyObject* args, PyObject* kwargs) {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
        const auto o = bind(quadtree_find_chain_signature, args, kwargs);
        tree_args a(o.data());
        const i32 max_depth = as_i32(o[8], "max_depth");
        const i32 max_cols = as_i32(o[9], "max_cols");
        const Py_ssize_t n = a.pts.extent(0);
        a.validate(n);

        ref minus_two = require(PyLong_FromLong(-2));
        ref chain = np_alloc(module, "full", shape_2d(n, max_cols), minus_two.get(), "int32");
        const Py_ssize_t chain_shape[2] = {n, max_cols};
        const out_view<i32, 2> chain_v = writable<i32, 2>(chain.get(), chain_shape);
        ref length = np_alloc(module, "zeros", shape_1d(n), nullptr, "int32");
        const Py_ssize_t length_shape[1] = {n};
        const out_view<i32, 1> length_v = writable<i32, 1>(length.get(), length_shape);

        const tree_views t = a.views();
        walk_fault fault;
        without_lock([&](lock_scope& lock) {
            find_chains(t, a.pts.view(), n, max_depth, max_cols, chain_v, length_v, fault,
                        [&] { return lock.interrupted(); });
        });
        if (fault.stopped) throw error_already_set{};  // a signal handler raised
        if (fault.width > 0) {
            raise_format(PyExc_ValueError,
                         "the path of point %zd needs %zd columns but max_cols is %d", fault.point,
                         fault.width, static_cast<int>(max_cols));
        }
        if (fault.point >= 0) raise_bad_node(fault, t.nodes);
        return require(PyTuple_Pack(2, chain.get(), length.get())).release();
    });
}

// ---------------------------------------------------------------------------
// The function objects.  Module functions carry a return annotation, so they
// are instances of a small callable type with a __dict__ rather than plain
// builtins, which cannot hold attributes.

using kernel_impl = PyObject* (*)(PyObject*, PyObject*, PyObject*);

struct kernel_def {
    const char* name;
    kernel_impl impl;
    const char* doc;
    const char* annotation;
    const char* const* params;
    int n_params;
};

struct KernelFunction {
    PyObject_HEAD
    const kernel_def* def;
    PyObject* module;
    PyObject* dict;
};

PyObject* kernel_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    auto* f = reinterpret_cast<KernelFunction*>(self);
    if (!f->module) {
        PyErr_SetString(PyExc_RuntimeError, "the kernels module has been torn down");
        return nullptr;
    }
    return f->def->impl(f->module, args, kwargs);
}

int kernel_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* f = reinterpret_cast<KernelFunction*>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->module);
    Py_VISIT(f->dict);
    return 0;
}

int kernel_clear(PyObject* self) {
    auto* f = reinterpret_cast<KernelFunction*>(self);
    Py_CLEAR(f->module);
    Py_CLEAR(f->dict);
    return 0;
}

void kernel_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    kernel_clear(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyObject* kernel_repr(PyObject* self) {
    auto* f = reinterpret_cast<KernelFunction*>(self);
    return PyUnicode_FromFormat("<kernel orin.field.kernels.%s>", f->def->name);
}

PyObject* kernel_get_doc(PyObject* self, void*) {
    return PyUnicode_FromString(reinterpret_cast<KernelFunction*>(self)->def->doc);
}

PyObject* kernel_get_name(PyObject* self, void*) {
    return PyUnicode_FromString(reinterpret_cast<KernelFunction*>(self)->def->name);
}

PyObject* kernel_get_text_signature(PyObject* self, void*) {
    const kernel_def* d = reinterpret_cast<KernelFunction*>(self)->def;
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
        ref names = require(PyList_New(d->n_params));
        for (int i = 0; i < d->n_params; ++i) {
            PyList_SET_ITEM(names.get(), i, require(PyUnicode_FromString(d->params[i])).release());
        }
        ref sep = require(PyUnicode_FromString(", "));
        ref joined = require(PyUnicode_Join(sep.get(), names.get()));
        return PyUnicode_FromFormat("(%U)", joined.get());
    });
}

// inspect.signature() consults __signature__ on callables that are not
// builtins; built on demand so importing the module does not import inspect.
PyObject* kernel_get_signature(PyObject* self, void*) {
    const kernel_def* d = reinterpret_cast<KernelFunction*>(self)->def;
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
        ref inspect = require(PyImport_ImportModule("inspect"));
        ref parameter = require(PyObject_GetAttrString(inspect.get(), "Parameter"));
        ref kind = require(PyObject_GetAttrString(parameter.get(), "POSITIONAL_OR_KEYWORD"));
        ref params = require(PyList_New(d->n_params));
        for (int i = 0; i < d->n_params; ++i) {
            ref p = require(PyObject_CallFunction(parameter.get(), "sO", d->params[i], kind.get()));
            PyList_SET_ITEM(params.get(), i, p.release());
        }
        ref signature = require(PyObject_GetAttrString(inspect.get(), "Signature"));
        ref call_args = require(PyTuple_Pack(1, params.get()));
        ref call_kwargs = require(Py_BuildValue("{s:s}", "return_annotation", d->annotation));
        return PyObject_Call(signature.get(), call_args.get(), call_kwargs.get());
    });
}

// Pickled by reference, like any module-level function.
PyObject* kernel_reduce(PyObject* self, PyObject*) {
    return PyUnicode_FromString(reinterpret_cast<KernelFunction*>(self)->def->name);
}

PyGetSetDef kernel_getset[] = {
    {"__doc__", kernel_get_doc, nullptr, nullptr, nullptr},
    {"__name__", kernel_get_name, nullptr, nullptr, nullptr},
    {"__qualname__", kernel_get_name, nullptr, nullptr, nullptr},
    {"__text_signature__", kernel_get_text_signature, nullptr, nullptr, nullptr},
    {"__signature__", kernel_get_signature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef kernel_methods[] = {
    {"__reduce__", kernel_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef kernel_members[] = {
    {"__dictoffset__", T_PYSSIZET, offsetof(KernelFunction, dict), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot kernel_slots[] = {
    {Py_tp_members, kernel_members},
    {Py_tp_call, reinterpret_cast<void*>(kernel_call)},
    {Py_tp_traverse, reinterpret_cast<void*>(kernel_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(kernel_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(kernel_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(kernel_repr)},
    {Py_tp_getset, kernel_getset},
    {Py_tp_methods, kernel_methods},
    {0, nullptr},
};

PyType_Spec kernel_spec = {
    "orin.field.kernels.kernel",
    sizeof(KernelFunction),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    kernel_slots,
};

template <std::size_t N>
constexpr kernel_def define(kernel_impl impl, const signature<N>& sig, const char* doc, const char* annotation) {
    return {sig.function, impl, doc, annotation, sig.names.data(), static_cast<int>(N)};
}

// In the module's order.
const kernel_def kernel_table[] = {
    define(segment_repulsion_vectors, segment_repulsion_vectors_signature, doc_segment_repulsion_vectors,
           "cnp.ndarray"),
    define(point_in_rings, point_in_rings_signature, doc_point_in_rings, "cnp.ndarray"),
    define(point_obstacles_eval_max, point_obstacles_eval_max_signature, doc_point_obstacles_eval_max,
           "cnp.ndarray"),
    define(quadtree_find_leaf, quadtree_find_leaf_signature, doc_quadtree_find_leaf, "cnp.ndarray"),
    define(quadtree_find_chain, quadtree_find_chain_signature, doc_quadtree_find_chain,
           "Tuple[cnp.ndarray, cnp.ndarray]"),
};

// ---------------------------------------------------------------------------
// Private switches, for tests and benchmarks.

constexpr const char* ring_method_names[] = {"auto", "plain", "bands", "sweep", "cells"};

PyObject* set_ring_method(PyObject*, PyObject* arg) {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
        if (!PyUnicode_Check(arg)) {
            raise_format(PyExc_TypeError, "method must be a str, got %.200s", Py_TYPE(arg)->tp_name);
        }
        const char* name = PyUnicode_AsUTF8(arg);
        if (!name) throw error_already_set{};
        for (int m = 0; m < 5; ++m) {
            if (std::strcmp(name, ring_method_names[m]) == 0) {
                const ring_method previous = ring_method_setting.exchange(static_cast<ring_method>(m));
                return PyUnicode_FromString(ring_method_names[static_cast<int>(previous)]);
            }
        }
        raise_format(PyExc_ValueError, "method must be 'auto', 'plain', 'bands', 'sweep' or 'cells', got %R", arg);
    });
}

PyMethodDef module_functions[] = {
    {"_set_ring_method", set_ring_method, METH_O,
     "_set_ring_method(method, /)\n--\n\n"
     "Makes point_in_rings test rings by `method` ('auto', 'plain', 'bands',\n"
     "'sweep' or 'cells') and returns the previous one.  Every method gives the same\n"
     "results; this exists so that tests can run each of them."},
    {"_set_isa", set_isa_function, METH_O, set_isa_doc},
    {nullptr, nullptr, 0, nullptr},
};

// ---------------------------------------------------------------------------
// Module.

const char module_doc[] =
    "Kernels for the hottest numeric loops of the orin.field package's\n"
    "GeoJSON-standard geometries: Point, LineString, Polygon, MultiPoint,\n"
    "MultiLineString, MultiPolygon and GeometryCollection.\n"
    "\n"
    "The package's non-standard extension geometries (Rectangle, Ellipse) are not\n"
    "ported here: the architecture only carries geometries that have a direct\n"
    "GeoJSON equivalent.";

// The NumPy C-API table is process-wide static state, so the module can be
// initialised for one module object only.  The reference is strong: were that
// module freed, a new module object could be allocated at the same address and
// pass the identity test below without ever being initialised.
PyObject* initialised_module = nullptr;

// NumPy's C-API table, taken as NumPy's import_array macros take it, through
// the header's _import_array().  The macros print NumPy's reason for a
// failure to stderr and raise a bare ImportError; here that reason (a missing
// _ARRAY_API, an ABI or C-API version mismatch) becomes the cause of the
// ImportError with the fixed message.
int import_numpy_api() {
    if (_import_array() >= 0) return 0;
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value && traceback) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    PyErr_SetString(PyExc_ImportError, "numpy._core.multiarray failed to import");
    if (value) {
        PyObject *etype, *exc, *etb;
        PyErr_Fetch(&etype, &exc, &etb);
        PyErr_NormalizeException(&etype, &exc, &etb);
        PyException_SetContext(exc, Py_NewRef(value));
        PyException_SetCause(exc, value);
        PyErr_Restore(etype, exc, etb);
    }
    return -1;
}

int kernels_exec(PyObject* module) {
    return guard<int>(-1, [&]() -> int {
        // First: a second interpreter must get ImportError, not the
        // RuntimeError below.
        refuse_subinterpreters("orin.field.kernels");
        if (initialised_module == module) return 0;
        if (initialised_module) {
            raise(PyExc_RuntimeError,
                  "orin.field.kernels can be initialised only once per process");
        }
        choose_isa_at_import("orin.field.kernels");
        ref isas = require(supported_isas());
        require_ok(PyModule_AddObjectRef(module, "_ISAS", isas.get()));
        ref typing = require(PyImport_ImportModule("typing"));
        ref tuple = require(PyObject_GetAttrString(typing.get(), "Tuple"));
        require_ok(PyModule_AddObjectRef(module, "Tuple", tuple.get()));
        ref numpy = require(PyImport_ImportModule("numpy"));
        require_ok(PyModule_AddObjectRef(module, "np", numpy.get()));
        require_ok(import_numpy_api());

        ref type = require(PyType_FromModuleAndSpec(module, &kernel_spec, nullptr));
        auto* tp = reinterpret_cast<PyTypeObject*>(type.get());
        ref module_name = require(PyUnicode_FromString("orin.field.kernels"));
        for (const kernel_def& def : kernel_table) {
            ref fn = require(tp->tp_alloc(tp, 0));
            auto* f = reinterpret_cast<KernelFunction*>(fn.get());
            f->def = &def;
            f->module = Py_NewRef(module);
            ref dict = require(PyObject_GenericGetDict(fn.get(), nullptr));
            ref annotations = require(Py_BuildValue("{s:s}", "return", def.annotation));
            require_ok(PyDict_SetItemString(dict.get(), "__annotations__", annotations.get()));
            require_ok(PyDict_SetItemString(dict.get(), "__module__", module_name.get()));
            require_ok(PyModule_AddObjectRef(module, def.name, fn.get()));
        }
        initialised_module = Py_NewRef(module);
        return 0;
    });
}

PyModuleDef kernels_module = {
    PyModuleDef_HEAD_INIT,
    "orin.field.kernels",
    module_doc,
    0,
    module_functions,
    module_slots<kernels_exec>,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace orin

PyMODINIT_FUNC PyInit_kernels() { return PyModuleDef_Init(&orin::kernels_module); }
