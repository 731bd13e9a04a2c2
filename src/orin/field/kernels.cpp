// orin.field.kernels: the hot numeric loops of the GeoJSON-standard geometries.
//
// Every kernel follows one shape: take typed strided views of the arguments,
// validate every extent a loop will index (so no input can make a loop read
// outside a buffer), allocate the result through the module attribute `np`,
// then run the loop with the interpreter lock released.  The loops themselves
// are plain functions over views and touch no Python object.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define PY_ARRAY_UNIQUE_SYMBOL orin_kernels_ARRAY_API
#include <numpy/arrayobject.h>
#include <structmember.h>

#include <algorithm>
#include <cstddef>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

#include "pyutil.hpp"

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

template <class T, int ND>
struct out_view {
    char* data = nullptr;
    Py_ssize_t strides[ND] = {};

    T& operator()(Py_ssize_t i) const noexcept requires(ND == 1) {
        return *reinterpret_cast<T*>(data + i * strides[0]);
    }
    T& operator()(Py_ssize_t i, Py_ssize_t j) const noexcept requires(ND == 2) {
        return *reinterpret_cast<T*>(data + i * strides[0] + j * strides[1]);
    }
};

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

// ---------------------------------------------------------------------------
// Integer arguments: an int converts directly, anything else only through
// __int__ (so "5" and objects offering only __index__ are refused), and the
// value must fit a signed 32-bit integer.

i32 as_i32(PyObject* obj, const char* name) {
    ref value;
    if (PyLong_Check(obj)) {
        value = ref::borrow(obj);
    } else {
        PyNumberMethods* nb = Py_TYPE(obj)->tp_as_number;
        if (!nb || !nb->nb_int) {
            raise_format(PyExc_TypeError, "%s must be an integer, got %.200s", name,
                         Py_TYPE(obj)->tp_name);
        }
        value = require(nb->nb_int(obj));
        if (!PyLong_Check(value.get())) {
            raise_format(PyExc_TypeError, "%.200s.__int__ returned non-int (type %.200s)",
                         Py_TYPE(obj)->tp_name, Py_TYPE(value.get())->tp_name);
        }
    }
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(value.get(), &overflow);
    if (v == -1 && PyErr_Occurred()) throw error_already_set{};
    if (overflow || v < std::numeric_limits<i32>::min() || v > std::numeric_limits<i32>::max()) {
        raise_format(PyExc_OverflowError, "%s is out of the range of a 32-bit signed integer", name);
    }
    return static_cast<i32>(v);
}

// ---------------------------------------------------------------------------
// Point in polygon.

// Even-odd ray casting.  The abscissa is evaluated as product, then quotient,
// then sum, and only for edges that straddle y, so horizontal edges never
// divide; NaN fails every comparison and so never crosses.
int point_in_ring(f64 x, f64 y, const strided_view<f64, 2>& ring) noexcept {
    const Py_ssize_t n = ring.extent(0);
    if (n < 3) return 0;
    int inside = 0;
    Py_ssize_t j = n - 1;
    for (Py_ssize_t i = 0; i < n; ++i) {
        const f64 xi = ring(i, 0), yi = ring(i, 1);
        const f64 xj = ring(j, 0), yj = ring(j, 1);
        if (((yi > y) != (yj > y)) && (x < (xj - xi) * (y - yi) / (yj - yi) + xi)) inside ^= 1;
        j = i;
    }
    return inside;
}

// The outer pass, for many points against one ring.
//
// Only edges that straddle a point's y can toggle the parity, so the edges are
// sorted into horizontal bands of the ring's y range and each point tests just
// the edges of its band, with the very same edge test as point_in_ring.
// Parity does not depend on the order of the toggles, so the result is
// identical.  A point outside [ymin, ymax) sees every edge on one side of it
// and crosses none.  Both facts rest on ordered comparisons, so a ring with a
// NaN y falls back to the plain loop.
class ring_bands {
public:
    // Returns false when banding cannot be used for this ring.
    bool build(const strided_view<f64, 2>& ring) {
        const Py_ssize_t r = ring.extent(0);
        ymin_ = std::numeric_limits<f64>::infinity();
        ymax_ = -ymin_;
        for (Py_ssize_t i = 0; i < r; ++i) {
            const f64 y = ring(i, 1);
            if (std::isnan(y)) return false;
            ymin_ = std::min(ymin_, y);
            ymax_ = std::max(ymax_, y);
        }
        if (!(ymax_ > ymin_) || !std::isfinite(ymax_ - ymin_)) return false;
        // Long edges land in many bands; keep the table within a small
        // multiple of the ring size.
        Py_ssize_t bands = std::min<Py_ssize_t>(r, 4096);
        const Py_ssize_t budget = 8 * r + 1024;
        for (;;) {
            scale_ = static_cast<f64>(bands) / (ymax_ - ymin_);
            bands_ = bands;
            Py_ssize_t entries = 0;
            for_each_edge(ring, [&](Py_ssize_t lo, Py_ssize_t hi, Py_ssize_t) { entries += hi - lo + 1; });
            if (entries <= budget || bands == 1) break;
            bands = std::max<Py_ssize_t>(1, bands / 4);
        }
        start_.assign(static_cast<size_t>(bands_) + 1, 0);
        for_each_edge(ring, [&](Py_ssize_t lo, Py_ssize_t hi, Py_ssize_t) {
            for (Py_ssize_t b = lo; b <= hi; ++b) ++start_[static_cast<size_t>(b) + 1];
        });
        for (Py_ssize_t b = 0; b < bands_; ++b) start_[b + 1] += start_[b];
        edges_.resize(static_cast<size_t>(start_[bands_]));
        std::vector<Py_ssize_t> fill(start_.begin(), start_.end() - 1);
        for_each_edge(ring, [&](Py_ssize_t lo, Py_ssize_t hi, Py_ssize_t i) {
            const Py_ssize_t j = i == 0 ? r - 1 : i - 1;
            const edge e{ring(i, 0), ring(i, 1), ring(j, 0), ring(j, 1)};
            for (Py_ssize_t b = lo; b <= hi; ++b) edges_[static_cast<size_t>(fill[b]++)] = e;
        });
        return true;
    }

    int contains(f64 x, f64 y) const noexcept {
        if (!(y >= ymin_ && y < ymax_)) return 0;
        const Py_ssize_t b = band_of(y);
        int inside = 0;
        for (Py_ssize_t k = start_[b]; k < start_[b + 1]; ++k) {
            const edge& e = edges_[static_cast<size_t>(k)];
            // Branch-free: the quotient is computed for every edge of the band
            // but only counts where the edge straddles y, exactly as above.
            const bool straddles = (e.yi > y) != (e.yj > y);
            const bool left = x < (e.xj - e.xi) * (y - e.yi) / (e.yj - e.yi) + e.xi;
            inside ^= static_cast<int>(straddles & left);
        }
        return inside;
    }

private:
    struct edge {
        f64 xi, yi, xj, yj;
    };

    // Monotonic in y (a subtraction and a multiplication by a positive
    // constant, both rounded monotonically), so a y between an edge's end
    // points always falls in a band the edge was filed under.
    Py_ssize_t band_of(f64 y) const noexcept {
        const f64 f = (y - ymin_) * scale_;
        if (!(f > 0.0)) return 0;
        if (f >= static_cast<f64>(bands_)) return bands_ - 1;
        return static_cast<Py_ssize_t>(f);
    }

    template <class F>
    void for_each_edge(const strided_view<f64, 2>& ring, F&& f) const {
        const Py_ssize_t r = ring.extent(0);
        for (Py_ssize_t i = 0; i < r; ++i) {
            const Py_ssize_t j = i == 0 ? r - 1 : i - 1;
            const f64 a = ring(i, 1), c = ring(j, 1);
            if (a == c) continue;  // horizontal edges never straddle
            f(band_of(std::min(a, c)), band_of(std::max(a, c)), i);
        }
    }

    f64 ymin_ = 0.0, ymax_ = 0.0, scale_ = 0.0;
    Py_ssize_t bands_ = 0;
    std::vector<Py_ssize_t> start_;
    std::vector<edge> edges_;
};

void outer_pass(const strided_view<f64, 2>& pts, Py_ssize_t n, const strided_view<f64, 2>& ring,
                const ring_bands* bands, const out_view<u8, 1>& out) noexcept {
    if (ring.extent(0) < 3) return;  // the result is already zero-filled
    for (Py_ssize_t i = 0; i < n; ++i) {
        const f64 x = pts(i, 0), y = pts(i, 1);
        out(i) = static_cast<u8>(bands ? bands->contains(x, y) : point_in_ring(x, y, ring));
    }
}

PyObject* point_in_rings(PyObject* module, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"pts", "outer", "holes", nullptr};
    PyObject *pts_obj, *outer_obj, *holes;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO:point_in_rings", const_cast<char**>(kwlist),
                                     &pts_obj, &outer_obj, &holes)) {
        return nullptr;
    }
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
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
            ref converted = require(PyObject_Call(ascontiguousarray.get(), conv_args.get(), conv_kwargs.get()));
            PyList_SET_ITEM(hole_views.get(), k, converted.release());
        }

        ring_bands bands;
        const bool banded = n > 0 && outer.extent(0) >= 3 && bands.build(outer.view());
        {
            gil_release nogil;
            outer_pass(pts.view(), n, outer.view(), banded ? &bands : nullptr, out_v);
        }

        // Holes only remove points the outer pass found inside.  A hole is
        // viewed (and validated) the first time a point reaches it, so a
        // malformed hole fails only when it matters, and once.
        std::vector<std::unique_ptr<buffer_view<f64, 2>>> hole_cache(static_cast<size_t>(n_holes));
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (!out_v(i)) continue;
            const f64 x = pts.view()(i, 0), y = pts.view()(i, 1);
            for (Py_ssize_t k = 0; k < n_holes; ++k) {
                auto& hole = hole_cache[static_cast<size_t>(k)];
                if (!hole) {
                    char name[64];
                    PyOS_snprintf(name, sizeof name, "holes[%zd]", k);
                    hole = std::make_unique<buffer_view<f64, 2>>(PyList_GET_ITEM(hole_views.get(), k), name);
                    if (hole->extent(0) >= 3) need_columns(*hole, name, 2);
                }
                if (point_in_ring(x, y, hole->view())) {
                    out_v(i) = 0;
                    break;
                }
            }
        }
        return out.release();
    });
}

// ---------------------------------------------------------------------------
// Segment repulsion vectors.

// Segments are packed once per call so the point loop streams contiguous
// memory; points are processed in blocks against each segment in turn, which
// keeps "strictly smaller replaces" in segment order per point (ties to the
// lowest index) while letting the compiler vectorise across points.
struct segments {
    std::vector<f64> p1x, p1y, vx, vy, vv;
};

constexpr Py_ssize_t block = 64;

// Gathers the points block by block into contiguous x and y columns, which
// the vectorised block loops below read, and hands each block to `body`.
template <class Body>
void for_point_blocks(const strided_view<f64, 2>& pts, Py_ssize_t n, Body&& body) noexcept {
    f64 xs[block], ys[block];
    for (Py_ssize_t start = 0; start < n; start += block) {
        const Py_ssize_t count = std::min(block, n - start);
        for (Py_ssize_t p = 0; p < count; ++p) {
            xs[p] = pts(start + p, 0);
            ys[p] = pts(start + p, 1);
        }
        body(start, count, xs, ys);
    }
}

__attribute__((target_clones("avx2", "default")))
void repulsion_block(const f64* __restrict xs, const f64* __restrict ys, Py_ssize_t count,
                     const segments& seg, Py_ssize_t s, f64 m00, f64 m01, f64 m10, f64 m11,
                     f64* __restrict out_dx, f64* __restrict out_dy) noexcept {
    f64 best[block], bdx[block], bdy[block];
    for (Py_ssize_t p = 0; p < count; ++p) {
        best[p] = std::numeric_limits<f64>::infinity();
        bdx[p] = 0.0;
        bdy[p] = 0.0;
    }
    for (Py_ssize_t j = 0; j < s; ++j) {
        const f64 ax = seg.p1x[j], ay = seg.p1y[j], vx = seg.vx[j], vy = seg.vy[j], vv = seg.vv[j];
        for (Py_ssize_t p = 0; p < count; ++p) {
            const f64 xi = xs[p], yi = ys[p];
            const f64 wx = xi - ax, wy = yi - ay;
            f64 t = (wx * vx + wy * vy) / vv;
            // Both tests are made unconditionally (so the loop vectorises); at
            // most one holds, and NaN passes both and then loses every comparison.
            const bool below = t < 0.0, above = t > 1.0;
            t = below ? 0.0 : t;
            t = above ? 1.0 : t;
            const f64 dx = xi - (ax + vx * t);
            const f64 dy = yi - (ay + vy * t);
            const f64 d2 = dx * (m00 * dx + m01 * dy) + dy * (m10 * dx + m11 * dy);
            const bool better = d2 < best[p];
            best[p] = better ? d2 : best[p];
            bdx[p] = better ? dx : bdx[p];
            bdy[p] = better ? dy : bdy[p];
        }
    }
    for (Py_ssize_t p = 0; p < count; ++p) {
        out_dx[p] = bdx[p];
        out_dy[p] = bdy[p];
    }
}

PyObject* segment_repulsion_vectors(PyObject* module, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"x", "p1", "v", "v_dot_v", "metric", nullptr};
    PyObject *x_obj, *p1_obj, *v_obj, *vv_obj, *metric_obj;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOO:segment_repulsion_vectors",
                                     const_cast<char**>(kwlist), &x_obj, &p1_obj, &v_obj, &vv_obj,
                                     &metric_obj)) {
        return nullptr;
    }
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
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
        segments seg;
        for (auto* a : {&seg.p1x, &seg.p1y, &seg.vx, &seg.vy, &seg.vv}) a->resize(static_cast<size_t>(s));
        {
            gil_release nogil;
            const auto& pv = p1.view();
            const auto& vvw = v.view();
            const auto& dv = v_dot_v.view();
            const auto& xv = x.view();
            for (Py_ssize_t j = 0; j < s; ++j) {
                seg.p1x[j] = pv(j, 0);
                seg.p1y[j] = pv(j, 1);
                seg.vx[j] = vvw(j, 0);
                seg.vy[j] = vvw(j, 1);
                seg.vv[j] = dv(j);
            }
            for_point_blocks(xv, n, [&](Py_ssize_t start, Py_ssize_t count, const f64* xs, const f64* ys) {
                f64 dx[block], dy[block];
                repulsion_block(xs, ys, count, seg, s, m00, m01, m10, m11, dx, dy);
                for (Py_ssize_t p = 0; p < count; ++p) {
                    out_v(start + p, 0) = dx[p];
                    out_v(start + p, 1) = dy[p];
                }
            });
        }
        return out.release();
    });
}

// ---------------------------------------------------------------------------
// Point-obstacle risk maximum.

// max_k exp(-d_k) is exp(-min_k d_k) because exp is monotonic, so the loop
// keeps the smallest quadratic form and calls exp once per point.  NaN forms
// lose every comparison, as NaN values would; a point with no non-NaN form
// keeps 0.0, as does one whose exp underflows.
struct obstacles {
    std::vector<f64> cx, cy, m00, m01, m10, m11;
};

__attribute__((target_clones("avx2", "default")))
void min_forms_block(const f64* __restrict xs, const f64* __restrict ys, Py_ssize_t count,
                     const obstacles& ob, Py_ssize_t k, f64* __restrict best) noexcept {
    for (Py_ssize_t p = 0; p < count; ++p) best[p] = std::numeric_limits<f64>::quiet_NaN();
    for (Py_ssize_t c = 0; c < k; ++c) {
        const f64 cx = ob.cx[c], cy = ob.cy[c];
        const f64 a = ob.m00[c], b = ob.m01[c], d = ob.m10[c], e = ob.m11[c];
        for (Py_ssize_t p = 0; p < count; ++p) {
            const f64 dx = xs[p] - cx, dy = ys[p] - cy;
            const f64 d2 = dx * (a * dx + b * dy) + dy * (d * dx + e * dy);
            // NaN in best means "nothing yet"; a NaN d2 never replaces.
            best[p] = (d2 < best[p] || (best[p] != best[p] && d2 == d2)) ? d2 : best[p];
        }
    }
}

PyObject* point_obstacles_eval_max(PyObject* module, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"x", "centers", "inv_repulsions", nullptr};
    PyObject *x_obj, *c_obj, *m_obj;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO:point_obstacles_eval_max",
                                     const_cast<char**>(kwlist), &x_obj, &c_obj, &m_obj)) {
        return nullptr;
    }
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
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

        obstacles ob;
        for (auto* a : {&ob.cx, &ob.cy, &ob.m00, &ob.m01, &ob.m10, &ob.m11}) a->resize(static_cast<size_t>(k));
        {
            gil_release nogil;
            const auto& cv = centers.view();
            const auto& mv = inv.view();
            const auto& xv = x.view();
            for (Py_ssize_t c = 0; c < k; ++c) {
                ob.cx[c] = cv(c, 0);
                ob.cy[c] = cv(c, 1);
                ob.m00[c] = mv(c, 0, 0);
                ob.m01[c] = mv(c, 0, 1);
                ob.m10[c] = mv(c, 1, 0);
                ob.m11[c] = mv(c, 1, 1);
            }
            for_point_blocks(xv, n, [&](Py_ssize_t start, Py_ssize_t count, const f64* xs, const f64* ys) {
                f64 best[block];
                min_forms_block(xs, ys, count, ob, k, best);
                for (Py_ssize_t p = 0; p < count; ++p) {
                    out_v(start + p) = std::isnan(best[p]) ? 0.0 : std::exp(-best[p]);
                }
            });
        }
        return out.release();
    });
}

// ---------------------------------------------------------------------------
// Quadtree walks.

struct tree_views {
    const strided_view<f64, 1>& cx;
    const strided_view<f64, 1>& cy;
    const strided_view<u8, 1>& is_leaf;
    const strided_view<i32, 1>& tl;
    const strided_view<i32, 1>& tr;
    const strided_view<i32, 1>& bl;
    const strided_view<i32, 1>& br;
    Py_ssize_t nodes;  // shortest of the seven arrays: every valid node number is below it
    // The child arrays again, indexed by quadrant q = 2 * top + right, so that
    // a descent picks its child by index rather than through two branches
    // that random points mispredict half the time.
    const char* child_data[4] = {};
    Py_ssize_t child_stride[4] = {};
};

// One descent.  Sign tests on the differences send a point on a centre line
// top or right, and NaN bottom or left.
inline i32 descend(const tree_views& t, i32 node, f64 x, f64 y) noexcept {
    const f64 dx = x - t.cx(node), dy = y - t.cy(node);
    const int q = 2 * static_cast<int>(dy >= 0) + static_cast<int>(dx >= 0);
    i32 child;
    std::memcpy(&child, t.child_data[q] + node * t.child_stride[q], sizeof child);
    return child;
}

// Where a walk broke the tree's contract; reported once the lock is back.
struct walk_fault {
    Py_ssize_t point = -1;
    i32 node = 0;
    Py_ssize_t width = 0;  // chain columns the path needed, when that was the fault
};

// Walks one point; `record(depth, node)` sees every node visited.  Returns
// false (and fills `fault`) on a node number outside the arrays.
template <class Record>
inline bool walk(const tree_views& t, f64 x, f64 y, i32 max_depth, i32& node_out, int& depth_out,
                 Record&& record) noexcept {
    i32 node = 0;
    int depth = 0;
    for (;;) {
        if (node >= t.nodes) {
            node_out = node;
            return false;
        }
        if (t.is_leaf(node)) break;
        if (depth >= max_depth) break;
        node = descend(t, node, x, y);
        ++depth;
        record(depth, node);
        if (node < 0) break;
    }
    node_out = node;
    depth_out = depth;
    return true;
}

// The leaf walk for many points.  The seven arrays are first packed into one
// record per node, so a descent touches one cache line instead of four, and
// several points walk in lockstep, so the loads of independent walks overlap
// instead of each descent waiting on the last.  The routing is the very same
// comparisons as descend().
struct packed_node {
    f64 cx, cy;
    i32 child[4];  // by quadrant q = 2 * top + right
    i32 leaf;
    i32 unused;
};

// A point partway down the tree.
struct walker {
    Py_ssize_t point;
    f64 x, y;
    i32 node;
    i32 depth;
};

// Finishes every walker and writes where it ends.  Returns false on a node
// number outside the arrays; the caller then re-walks serially to report the
// first such point.
bool walk_lockstep(const std::vector<packed_node>& nodes, const walker* walkers, Py_ssize_t count,
                   i32 max_depth, const out_view<i32, 1>& out) noexcept {
    constexpr int lanes = 8;
    const packed_node* tree = nodes.data();
    const auto size = static_cast<Py_ssize_t>(nodes.size());
    walker lane[lanes];
    bool busy[lanes];
    Py_ssize_t next = 0;
    int active = 0;
    for (int g = 0; g < lanes; ++g) {
        busy[g] = next < count;
        if (busy[g]) {
            lane[g] = walkers[next++];
            ++active;
        }
    }
    while (active > 0) {
        for (int g = 0; g < lanes; ++g) {
            if (!busy[g]) continue;
            walker& w = lane[g];
            const i32 k = w.node;
            bool finished;
            if (k >= size) return false;
            const packed_node& nd = tree[k];
            if (nd.leaf || w.depth >= max_depth) {
                finished = true;
            } else {
                const f64 dx = w.x - nd.cx, dy = w.y - nd.cy;
                const int q = 2 * static_cast<int>(dy >= 0) + static_cast<int>(dx >= 0);
                w.node = nd.child[q];
                ++w.depth;
                finished = w.node < 0;
            }
            if (!finished) continue;
            out(w.point) = w.node;
            if (next < count) {
                w = walkers[next++];
            } else {
                busy[g] = false;
                --active;
            }
        }
    }
    return true;
}

// The start table's cell of each point of a block, row-major in a g x g
// grid, or g * g for a point off the grid (NaN and infinities included).
__attribute__((target_clones("avx2", "default")))
void grid_cells(const f64* __restrict xs, const f64* __restrict ys, Py_ssize_t count, f64 x0, f64 sx,
                f64 y0, f64 sy, int g, i32* __restrict cell) noexcept {
    const f64 side = g;
    for (Py_ssize_t p = 0; p < count; ++p) {
        f64 u = (xs[p] - x0) * sx, v = (ys[p] - y0) * sy;
        // Bitwise, not short-circuit, so that the loop has no branch.
        const bool on = (u >= 0) & (u < side) & (v >= 0) & (v < side);
        // Only in-range values may be converted to an integer.
        u = on ? u : 0.0;
        v = on ? v : 0.0;
        const i32 c = static_cast<i32>(v) * g + static_cast<i32>(u);
        cell[p] = on ? c : g * g;
    }
}

// Where a walk starts, or, with depth < 0, where it is known to end.
struct start_entry {
    i32 node;
    i32 depth;
};

// A grid of cells over the tree, each holding the deepest node that every
// point of the cell walks through (or the end of the walk, when the whole
// cell shares it).  Random points then mostly skip their walk, or its
// shared prefix, with one table read.
//
// Nothing here is approximate.  A cell is the set of coordinates that the
// lookup's own arithmetic maps to it; since that arithmetic is monotonic, a
// centre splits the columns into those wholly below it, those wholly at or
// above it, and at most one that holds both, and which is which is found by
// mapping the centre and its predecessor with the same arithmetic.  For the
// finite coordinates a cell holds, `x - cx >= 0` is exactly `x >= cx`.
// Points outside the grid, infinite or NaN walk from the root.
class start_table {
public:
    // Lays a g x g grid over the root's cell as its children's centres
    // imply (for a midpoint tree, exactly the root's cell, so the grid lines
    // fall on centre lines).  False when the tree suggests no usable extent.
    bool place(const tree_views& t, int g) noexcept {
        if (t.nodes == 0 || t.is_leaf(0)) return false;
        const f64 cx0 = t.cx(0), cy0 = t.cy(0);
        f64 hx = 0, hy = 0;
        for (const strided_view<i32, 1>* child : {&t.tl, &t.tr, &t.bl, &t.br}) {
            const i32 c = (*child)(0);
            if (c < 0 || c >= t.nodes) continue;
            const f64 dx = std::fabs(t.cx(c) - cx0), dy = std::fabs(t.cy(c) - cy0);
            if (std::isfinite(dx)) hx = std::max(hx, 2 * dx);
            if (std::isfinite(dy)) hy = std::max(hy, 2 * dy);
        }
        g_ = g;
        x0_ = cx0 - hx;
        y0_ = cy0 - hy;
        sx_ = g / (2 * hx);
        sy_ = g / (2 * hy);
        return std::isfinite(x0_) && std::isfinite(y0_) && std::isfinite(sx_) && std::isfinite(sy_) &&
               sx_ > 0 && sy_ > 0;
    }

    // Needs place() first.  May throw std::bad_alloc.  One cell past the
    // grid stands for every point off it: walk from the root.
    void reserve() {
        cells_.resize(static_cast<size_t>(g_) * static_cast<size_t>(g_) + 1);
        cells_.back() = {0, 0};
    }

    void build(const tree_views& t, i32 max_depth) noexcept {
        max_depth_ = max_depth;
        visit(t, 0, 0, 0, g_, 0, g_, 0);
    }

    // The entries for a block of points.
    void find(const f64* xs, const f64* ys, Py_ssize_t count, start_entry* out) const noexcept {
        i32 cell[block];
        grid_cells(xs, ys, count, x0_, sx_, y0_, sy_, g_, cell);
        const start_entry* cells = cells_.data();
        for (Py_ssize_t p = 0; p < count; ++p) out[p] = cells[cell[p]];
    }

private:
    // Beyond this many levels a cell's walk just starts where the build
    // stopped; it bounds the build on cyclic trees with a huge max_depth.
    static constexpr int max_levels = 32;

    int g_ = 0;
    f64 x0_ = 0, y0_ = 0, sx_ = 0, sy_ = 0;
    i32 max_depth_ = 0;
    std::vector<start_entry> cells_;

    // The cell index find() gives a finite coordinate, with -1 below the
    // grid and g above it.
    int index(f64 v, f64 v0, f64 s) const noexcept {
        const f64 u = (v - v0) * s;
        if (u < 0) return -1;
        if (u >= g_) return g_;
        return static_cast<int>(u);
    }

    // Splits cells [first, last) of one axis at centre c: those below `lo`
    // all fail `v - c >= 0`, those from `hi` on all pass, [lo, hi) is mixed.
    void split(f64 c, f64 v0, f64 s, int first, int last, int& lo, int& hi) const noexcept {
        if (std::isnan(c)) {  // every comparison with NaN fails
            lo = hi = last;
            return;
        }
        lo = std::clamp(index(c, v0, s), first, last);
        hi = std::clamp(index(std::nextafter(c, -std::numeric_limits<f64>::infinity()), v0, s) + 1,
                        first, last);
        // Cells narrower than a coordinate step can be empty; give them below.
        hi = std::max(hi, lo);
    }

    void fill(int c0, int c1, int r0, int r1, start_entry e) noexcept {
        for (int r = r0; r < r1; ++r) {
            start_entry* row = cells_.data() + static_cast<size_t>(r) * static_cast<size_t>(g_);
            std::fill(row + c0, row + c1, e);
        }
    }

    // Every point of columns [c0, c1) x rows [r0, r1) has walked to `node`
    // at `depth`; the same steps as walk(), applied to the whole block.
    void visit(const tree_views& t, i32 node, i32 depth, int c0, int c1, int r0, int r1,
               int level) noexcept {
        if (c0 >= c1 || r0 >= r1) return;
        // A bad node is left for the walk itself to find and report.
        if (node >= t.nodes || level >= max_levels) return fill(c0, c1, r0, r1, {node, depth});
        if (t.is_leaf(node) || depth >= max_depth_) return fill(c0, c1, r0, r1, {node, -1});
        int xlo, xhi, ylo, yhi;
        split(t.cx(node), x0_, sx_, c0, c1, xlo, xhi);
        split(t.cy(node), y0_, sy_, r0, r1, ylo, yhi);
        const start_entry here{node, depth};
        fill(xlo, xhi, r0, r1, here);
        fill(c0, xlo, ylo, yhi, here);
        fill(xhi, c1, ylo, yhi, here);
        const struct {
            const strided_view<i32, 1>& child;
            int c0, c1, r0, r1;
        } quadrants[4] = {{t.bl, c0, xlo, r0, ylo}, {t.br, xhi, c1, r0, ylo},
                          {t.tl, c0, xlo, yhi, r1}, {t.tr, xhi, c1, yhi, r1}};
        for (const auto& q : quadrants) {
            const i32 child = q.child(node);
            if (child < 0) {
                fill(q.c0, q.c1, q.r0, q.r1, {child, -1});
            } else {
                visit(t, child, depth + 1, q.c0, q.c1, q.r0, q.r1, level + 1);
            }
        }
    }
};

// The grid side for n points: big enough to settle most walks in one read,
// small enough that building it costs little beside the points themselves.
// 0 means walking from the root is cheaper.
int start_table_side(Py_ssize_t n, Py_ssize_t nodes) noexcept {
    const Py_ssize_t cells = std::min(n / 4, std::max<Py_ssize_t>(256, 16 * nodes));
    int g = 512;
    while (g >= 16 && static_cast<Py_ssize_t>(g) * g > cells) g /= 2;
    return g >= 16 ? g : 0;
}

// Walkers gathered before a lockstep pass: enough to keep every lane busy.
constexpr Py_ssize_t walk_block = 1024;

// The leaf walk for many points, a block at a time: points the table
// settles are written at once, the rest walk on in lockstep from where
// their cell's walks part.  Returns false on a bad node, as walk_lockstep.
bool leaf_walk_blocks(const std::vector<packed_node>& nodes, const start_table* table,
                      const strided_view<f64, 2>& pts, Py_ssize_t n, i32 max_depth,
                      std::vector<walker>& pending, const out_view<i32, 1>& out) noexcept {
    const auto capacity = static_cast<Py_ssize_t>(pending.size());
    Py_ssize_t count = 0;
    bool ok = true;
    for_point_blocks(pts, n, [&](Py_ssize_t start, Py_ssize_t m, const f64* xs, const f64* ys) {
        if (!ok) return;
        start_entry e[block];
        if (table) {
            table->find(xs, ys, m, e);
        } else {
            std::fill(e, e + m, start_entry{0, 0});
        }
        for (Py_ssize_t p = 0; p < m; ++p) {
            if (e[p].depth < 0) {
                out(start + p) = e[p].node;
            } else {
                pending[static_cast<size_t>(count++)] = {start + p, xs[p], ys[p], e[p].node, e[p].depth};
            }
        }
        if (count + block > capacity || start + m == n) {
            ok = walk_lockstep(nodes, pending.data(), count, max_depth, out);
            count = 0;
        }
    });
    return ok;
}

void pack_tree(const tree_views& t, std::vector<packed_node>& nodes) {
    nodes.resize(static_cast<size_t>(t.nodes));
    for (Py_ssize_t k = 0; k < t.nodes; ++k) {
        packed_node& nd = nodes[static_cast<size_t>(k)];
        nd.cx = t.cx(k);
        nd.cy = t.cy(k);
        nd.child[0] = t.bl(k);
        nd.child[1] = t.br(k);
        nd.child[2] = t.tl(k);
        nd.child[3] = t.tr(k);
        nd.leaf = t.is_leaf(k) != 0;
        nd.unused = 0;
    }
}

struct tree_args {
    buffer_view<f64, 2> pts;
    buffer_view<f64, 1> cx, cy;
    buffer_view<u8, 1> is_leaf;
    buffer_view<i32, 1> tl, tr, bl, br;

    tree_args(PyObject* const* o)
        : pts(o[0], "pts"), cx(o[1], "cx"), cy(o[2], "cy"), is_leaf(o[3], "is_leaf"),
          tl(o[4], "child_tl"), tr(o[5], "child_tr"), bl(o[6], "child_bl"), br(o[7], "child_br") {}

    tree_views views() const noexcept {
        Py_ssize_t nodes = cx.extent(0);
        for (Py_ssize_t e : {cy.extent(0), is_leaf.extent(0), tl.extent(0), tr.extent(0), bl.extent(0),
                             br.extent(0)}) {
            nodes = std::min(nodes, e);
        }
        // Node numbers are 32-bit, so nothing past INT32_MAX is addressable anyway.
        nodes = std::min<Py_ssize_t>(nodes, std::numeric_limits<i32>::max());
        tree_views t{cx.view(), cy.view(), is_leaf.view(), tl.view(), tr.view(), bl.view(), br.view(), nodes};
        const strided_view<i32, 1>* by_quadrant[4] = {&bl.view(), &br.view(), &tl.view(), &tr.view()};
        for (int q = 0; q < 4; ++q) {
            t.child_data[q] = by_quadrant[q]->data;
            t.child_stride[q] = by_quadrant[q]->strides[0];
        }
        return t;
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

constexpr const char* tree_arg_names[] = {"pts", "cx", "cy", "is_leaf", "child_tl", "child_tr",
                                          "child_bl", "child_br", "max_depth", "max_cols"};

PyObject* quadtree_find_leaf(PyObject* module, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {tree_arg_names[0], tree_arg_names[1], tree_arg_names[2],
                                   tree_arg_names[3], tree_arg_names[4], tree_arg_names[5],
                                   tree_arg_names[6], tree_arg_names[7], tree_arg_names[8], nullptr};
    PyObject* o[9];
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOOOOOO:quadtree_find_leaf",
                                     const_cast<char**>(kwlist), &o[0], &o[1], &o[2], &o[3], &o[4],
                                     &o[5], &o[6], &o[7], &o[8])) {
        return nullptr;
    }
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
        tree_args a(o);
        const i32 max_depth = as_i32(o[8], "max_depth");
        const Py_ssize_t n = a.pts.extent(0);
        a.validate(n);

        ref out = np_alloc(module, "empty", shape_1d(n), nullptr, "int32");
        const Py_ssize_t out_shape[1] = {n};
        const out_view<i32, 1> out_v = writable<i32, 1>(out.get(), out_shape);

        const tree_views t = a.views();
        // Packing and the start table cost a pass over the nodes and the
        // grid; worth it only when the points outnumber them.
        std::vector<packed_node> packed;
        std::vector<walker> pending;
        start_table table;
        const bool use_packed = n >= 64 && t.nodes <= n;
        bool use_table = false;
        if (use_packed) {
            pack_tree(t, packed);
            pending.resize(static_cast<size_t>(walk_block));
            const int side = start_table_side(n, t.nodes);
            use_table = side > 0 && table.place(t, side);
            if (use_table) table.reserve();
        }
        walk_fault fault;
        {
            gil_release nogil;
            const auto& pv = a.pts.view();
            if (use_table) table.build(t, max_depth);
            const bool done =
                use_packed && leaf_walk_blocks(packed, use_table ? &table : nullptr, pv, n, max_depth,
                                               pending, out_v);
            for (Py_ssize_t i = 0; i < n && !done; ++i) {
                i32 node;
                int depth;
                if (!walk(t, pv(i, 0), pv(i, 1), max_depth, node, depth, [](int, i32) {})) {
                    fault.point = i;
                    fault.node = node;
                    break;
                }
                out_v(i) = node;
            }
        }
        if (fault.point >= 0) raise_bad_node(fault, t.nodes);
        return out.release();
    });
}

PyObject* quadtree_find_chain(PyObject* module, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {tree_arg_names[0], tree_arg_names[1], tree_arg_names[2],
                                   tree_arg_names[3], tree_arg_names[4], tree_arg_names[5],
                                   tree_arg_names[6], tree_arg_names[7], tree_arg_names[8],
                                   tree_arg_names[9], nullptr};
    PyObject* o[10];
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOOOOOOO:quadtree_find_chain",
                                     const_cast<char**>(kwlist), &o[0], &o[1], &o[2], &o[3], &o[4],
                                     &o[5], &o[6], &o[7], &o[8], &o[9])) {
        return nullptr;
    }
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
        tree_args a(o);
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
        bool too_narrow = false;
        {
            gil_release nogil;
            const auto& pv = a.pts.view();
            for (Py_ssize_t i = 0; i < n; ++i) {
                // A path wider than the row is finished without recording so
                // the error can say how many columns it needed.
                bool fits = max_cols > 0;
                auto record = [&](int depth, i32 node) {
                    if (depth >= max_cols) fits = false;
                    if (fits) chain_v(i, depth) = node;
                };
                if (fits) chain_v(i, 0) = 0;
                i32 node;
                int depth;
                if (!walk(t, pv(i, 0), pv(i, 1), max_depth, node, depth, record)) {
                    fault.point = i;
                    fault.node = node;
                    break;
                }
                if (!fits) {
                    fault.point = i;
                    fault.width = static_cast<Py_ssize_t>(depth) + 1;
                    too_narrow = true;
                    break;
                }
                length_v(i) = depth + 1;
            }
        }
        if (too_narrow) {
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

// ---------------------------------------------------------------------------
// Docstrings, in the module's order.

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

const char doc_quadtree_find_leaf[] =
    "\n"
    "    For every point, walk the flattened tree from the root (node 0) and\n"
    "    return the node index of the leaf reached, or -1 if the walk falls off\n"
    "    a missing branch (mirrors the old recursion returning None).\n"
    "    ";

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

const char* const params_segment_repulsion_vectors[] = {"x", "p1", "v", "v_dot_v", "metric"};
const char* const params_point_in_rings[] = {"pts", "outer", "holes"};
const char* const params_point_obstacles_eval_max[] = {"x", "centers", "inv_repulsions"};

const kernel_def kernel_table[] = {
    {"segment_repulsion_vectors", segment_repulsion_vectors, doc_segment_repulsion_vectors,
     "cnp.ndarray", params_segment_repulsion_vectors, 5},
    {"point_in_rings", point_in_rings, doc_point_in_rings, "cnp.ndarray", params_point_in_rings, 3},
    {"point_obstacles_eval_max", point_obstacles_eval_max, doc_point_obstacles_eval_max,
     "cnp.ndarray", params_point_obstacles_eval_max, 3},
    {"quadtree_find_leaf", quadtree_find_leaf, doc_quadtree_find_leaf, "cnp.ndarray",
     tree_arg_names, 9},
    {"quadtree_find_chain", quadtree_find_chain, doc_quadtree_find_chain,
     "Tuple[cnp.ndarray, cnp.ndarray]", tree_arg_names, 10},
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

int import_numpy_api() {
    if (PyArray_ImportNumPyAPI() >= 0) return 0;
    // Keep NumPy's own reason as the cause of the fixed ImportError.
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
        // Checked first and on every version: a second interpreter must get
        // ImportError, not the RuntimeError below, and the slot that refuses
        // sub-interpreters from 3.12 on is not enforced for legacy ones.
        if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
            raise(PyExc_ImportError, "orin.field.kernels does not support sub-interpreters");
        }
        if (initialised_module == module) return 0;
        if (initialised_module) {
            raise(PyExc_RuntimeError,
                  "orin.field.kernels can be initialised only once per process");
        }
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

PyModuleDef_Slot kernels_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(kernels_exec)},
#if PY_VERSION_HEX >= 0x030C0000
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
#if PY_VERSION_HEX >= 0x030D0000
    {Py_mod_gil, Py_MOD_GIL_USED},
#endif
    {0, nullptr},
};

PyModuleDef kernels_module = {
    PyModuleDef_HEAD_INIT,
    "orin.field.kernels",
    module_doc,
    0,
    nullptr,
    kernels_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace orin

PyMODINIT_FUNC PyInit_kernels() { return PyModuleDef_Init(&orin::kernels_module); }
