// orin.field._scene: the compiled scene behind RiskField.
//
// `CompiledScene` takes a scene already flattened into arrays (RiskField does
// that from its obstacles), validates every index and coordinate, and hands
// them to the engine in scene_engine.hpp.  Queries write into arrays the
// caller allocated; the evaluation runs without the interpreter lock, on as
// many native threads as asked, and retakes the lock only between work items
// to check for signals and to report progress.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "buffer_view.hpp"
#include "isa_switch.hpp"
#include "module_slots.hpp"
#include "py_ref.hpp"
#include "scene_drive.hpp"
#include "scene_engine.hpp"

namespace orin {
namespace {

using scene::f64;
using scene::i32;
using scene::i64;

// ---------------------------------------------------------------------------
// Writable C-contiguous result buffers.

template <class T> struct result_code;
template <> struct result_code<f64> {
    static bool accepts(char c) noexcept { return c == 'd'; }
    static constexpr const char* name = "float64";
};
template <> struct result_code<i64> {
    static bool accepts(char c) noexcept { return c == 'q' || c == 'l'; }
    static constexpr const char* name = "int64";
};

template <class T>
class result_buffer {
public:
    result_buffer(PyObject* obj, const char* name, Py_ssize_t count) {
        if (obj == Py_None) return;
        // The buffer is a member of its own, so a rejection below still
        // gives it back.
        h_.acquire(obj, PyBUF_CONTIG | PyBUF_FORMAT);
        const Py_buffer& b = h_.get();
        const char code = native_format_code(b.format);
        if (!result_code<T>::accepts(code) || b.itemsize != static_cast<Py_ssize_t>(sizeof(T)) ||
            b.len != count * static_cast<Py_ssize_t>(sizeof(T))) {
            raise_format(PyExc_ValueError, "%s must be a writable contiguous %s buffer of %zd items", name,
                         result_code<T>::name, count);
        }
        // The loops store whole Ts, in vectors too: a buffer cut at an odd
        // byte (a memoryview of a bytearray, a packed record) is refused.
        if (reinterpret_cast<std::uintptr_t>(b.buf) % alignof(T) != 0) {
            raise_format(PyExc_ValueError, "%s must be aligned to %zu bytes", name, alignof(T));
        }
        data_ = static_cast<T*>(b.buf);
    }
    T* data() const noexcept { return data_; }

private:
    held_buffer h_;
    T* data_ = nullptr;
};

// ---------------------------------------------------------------------------
// The type.

struct SceneObject {
    PyObject_HEAD
    scene::compiled_scene* engine;
    double draw_budget;
};

scene::compiled_scene& engine_of(PyObject* self) {
    auto* s = reinterpret_cast<SceneObject*>(self);
    if (!s->engine) raise(PyExc_ValueError, "CompiledScene is not initialised");
    return *s->engine;
}

template <class T, int ND>
void need_shape(const buffer_view<T, ND>& a, const char* name, Py_ssize_t rows, Py_ssize_t cols) {
    bool ok = a.extent(0) == rows;
    if constexpr (ND >= 2) ok = ok && a.extent(1) >= cols;
    if (!ok) {
        raise_format(PyExc_ValueError, "%s has shape (%zd, ...) where (%zd, >= %zd) is needed", name,
                     a.extent(0), rows, cols);
    }
}

f64 finite_or_raise(f64 v, const char* what, Py_ssize_t i) {
    if (!std::isfinite(v)) raise_format(PyExc_ValueError, "%s %zd has a non-finite coordinate", what, i);
    return v;
}

void check_meta(i32 key, i32 owner, i32 metric_id, Py_ssize_t n_metrics, const char* what, Py_ssize_t i) {
    if (key == scene::no_key || owner < 0 || metric_id < 0 || metric_id >= n_metrics) {
        raise_format(PyExc_ValueError, "%s %zd has a bad key, owner or metric index", what, i);
    }
}

PyObject* scene_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"points",   "point_meta", "segments", "segment_meta", "ring_xy",
                                   "ring_start", "polygons", "metrics",  "gradients",    "cutoff",
                                   "projection", "max_bands", "capsules", "cells",    "draw_budget", nullptr};
    PyObject *o_pts, *o_pm, *o_seg, *o_sm, *o_rxy, *o_rs, *o_poly, *o_met, *o_grad;
    double cutoff;
    const char* proj_name;
    Py_ssize_t max_bands;
    // Off only to pin the capsule bounds against a scene pruned without them.
    int capsules = 1;
    // Off only to pin the cell lists against a scene answered by the trees alone.
    int cells = 1;
    // How much more than the evaluation, as estimated, a band of a grid may
    // cost to be drawn element by element; 0 and infinity pin either way.
    double draw_budget = 1.0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOOOOOOdsn|$ppd:CompiledScene", const_cast<char**>(kwlist),
                                     &o_pts, &o_pm, &o_seg, &o_sm, &o_rxy, &o_rs, &o_poly, &o_met, &o_grad,
                                     &cutoff, &proj_name, &max_bands, &capsules, &cells, &draw_budget)) {
        return nullptr;
    }
    if (!(draw_budget >= 0.0)) {
        PyErr_SetString(PyExc_ValueError, "draw_budget must be at least 0");
        return nullptr;
    }
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
        scene::projection proj;
        if (std::strcmp(proj_name, "euclidean") == 0) {
            proj = scene::projection::euclidean;
        } else if (std::strcmp(proj_name, "metric") == 0) {
            proj = scene::projection::metric;
        } else {
            raise_format(PyExc_ValueError, "projection must be 'euclidean' or 'metric', got '%s'", proj_name);
        }
        if (!(cutoff >= 0.0 && cutoff < 1.0)) raise(PyExc_ValueError, "cutoff must lie in [0, 1)");
        if (max_bands < 1) raise(PyExc_ValueError, "max_bands must be at least 1");

        buffer_view<f64, 2> pts(o_pts, "points"), seg(o_seg, "segments"), rxy(o_rxy, "ring_xy");
        buffer_view<i32, 2> pm(o_pm, "point_meta"), sm(o_sm, "segment_meta"), poly(o_poly, "polygons");
        buffer_view<i32, 1> rs(o_rs, "ring_start");
        buffer_view<f64, 3> met(o_met, "metrics"), grad(o_grad, "gradients");
        const Py_ssize_t np_ = pts.extent(0), ns = seg.extent(0), nv = rxy.extent(0), na = poly.extent(0);
        const Py_ssize_t nm = met.extent(0);
        need_shape(pts, "points", np_, 2);
        need_shape(pm, "point_meta", np_, 3);
        need_shape(seg, "segments", ns, 5);
        need_shape(sm, "segment_meta", ns, 3);
        need_shape(rxy, "ring_xy", nv, nv ? 2 : 0);
        need_shape(poly, "polygons", na, 4);
        if (met.extent(1) < 2 || met.extent(2) < 2 || grad.extent(0) != nm || grad.extent(1) < 2 ||
            grad.extent(2) < 2) {
            raise(PyExc_ValueError, "metrics and gradients must both have shape (M, 2, 2)");
        }
        const Py_ssize_t nr = rs.extent(0) - 1;
        if (na > 0 && nr < 1) raise(PyExc_ValueError, "ring_start must have one more entry than there are rings");
        if (np_ + ns >= std::numeric_limits<i32>::max() || na >= std::numeric_limits<i32>::max()) {
            raise(PyExc_ValueError, "a scene holds at most 2**31 - 2 elements");
        }

        scene::compiled_scene::parts p;
        p.metrics.resize(static_cast<size_t>(nm));
        for (Py_ssize_t m = 0; m < nm; ++m) {
            const auto& mv = met.view();
            const auto& gv = grad.view();
            scene::metric& t = p.metrics[static_cast<size_t>(m)];
            t = {mv(m, 0, 0), mv(m, 0, 1), mv(m, 1, 0), mv(m, 1, 1),
                 gv(m, 0, 0), gv(m, 0, 1), gv(m, 1, 0), gv(m, 1, 1)};
            for (f64 v : {t.m00, t.m01, t.m10, t.m11, t.g00, t.g01, t.g10, t.g11}) {
                if (!std::isfinite(v)) raise_format(PyExc_ValueError, "metric %zd is not finite", m);
            }
        }
        p.elements.reserve(static_cast<size_t>(np_ + ns));
        for (Py_ssize_t i = 0; i < np_; ++i) {
            const f64 x = finite_or_raise(pts.view()(i, 0), "point", i);
            const f64 y = finite_or_raise(pts.view()(i, 1), "point", i);
            const i32 key = pm.view()(i, 0), owner = pm.view()(i, 1), mid = pm.view()(i, 2);
            check_meta(key, owner, mid, nm, "point", i);
            p.elements.push_back({x, y, 0, 0, 0, key, owner, mid, 0});
        }
        for (Py_ssize_t i = 0; i < ns; ++i) {
            const auto& s = seg.view();
            const f64 ax = finite_or_raise(s(i, 0), "segment", i), ay = finite_or_raise(s(i, 1), "segment", i);
            const f64 vx = finite_or_raise(s(i, 2), "segment", i), vy = finite_or_raise(s(i, 3), "segment", i);
            const f64 vv = s(i, 4);
            if (!(vv > 0.0) || !std::isfinite(vv) || !std::isfinite(ax + vx) || !std::isfinite(ay + vy)) {
                raise_format(PyExc_ValueError, "segment %zd has no usable length", i);
            }
            const i32 key = sm.view()(i, 0), owner = sm.view()(i, 1), mid = sm.view()(i, 2);
            check_meta(key, owner, mid, nm, "segment", i);
            p.elements.push_back({ax, ay, vx, vy, vv, key, owner, mid, 1});
        }
        p.ring_xy.resize(static_cast<size_t>(2 * nv));
        for (Py_ssize_t v = 0; v < nv; ++v) {
            p.ring_xy[static_cast<size_t>(2 * v)] = finite_or_raise(rxy.view()(v, 0), "ring vertex", v);
            p.ring_xy[static_cast<size_t>(2 * v + 1)] = finite_or_raise(rxy.view()(v, 1), "ring vertex", v);
        }
        if (nr >= 0) {
            p.ring_start.resize(static_cast<size_t>(nr + 1));
            for (Py_ssize_t r = 0; r <= nr; ++r) {
                const i32 at = rs.view()(r);
                if (at < 0 || at > nv || (r > 0 && at < p.ring_start[static_cast<size_t>(r - 1)])) {
                    raise(PyExc_ValueError, "ring_start must be non-decreasing offsets into ring_xy");
                }
                p.ring_start[static_cast<size_t>(r)] = at;
            }
        }
        p.areas.reserve(static_cast<size_t>(na));
        for (Py_ssize_t a = 0; a < na; ++a) {
            const auto& pv = poly.view();
            const i32 key = pv(a, 0), owner = pv(a, 1), first = pv(a, 2), count = pv(a, 3);
            if (key == scene::no_key || owner < 0 || first < 0 || count < 1 || first > nr - count) {
                raise_format(PyExc_ValueError, "polygon %zd has a bad key, owner or ring range", a);
            }
            const i64 v0 = p.ring_start[static_cast<size_t>(first)], v1 = p.ring_start[static_cast<size_t>(first) + 1];
            const f64 inf = std::numeric_limits<f64>::infinity();
            scene::box b{inf, inf, -inf, -inf};
            for (i64 v = v0; v < v1; ++v) {
                const f64 x = p.ring_xy[static_cast<size_t>(2 * v)], y = p.ring_xy[static_cast<size_t>(2 * v + 1)];
                b = {std::min(b.x0, x), std::min(b.y0, y), std::max(b.x1, x), std::max(b.y1, y)};
            }
            if (v1 - v0 < 3) continue;  // an outer ring this short contains nothing
            p.areas.push_back({b, key, owner, first, count});
        }

        ref self = require(type->tp_alloc(type, 0));
        scene::compiled_scene* engine = nullptr;
        // Indexing a large scene takes a while: other threads may run, and
        // Ctrl-C ends it as it ends a long query.
        bool stopped = false;
        without_lock([&](lock_scope& lock) {
            build_guard guard([&lock]() { return lock.interrupted(); });
            try {
                engine = new scene::compiled_scene(std::move(p), cutoff, proj, max_bands, capsules != 0, cells != 0,
                                                   guard);
            } catch (const build_stopped&) {
                stopped = true;  // the lock is held, and the handler's exception set
            } catch (const std::bad_alloc&) {
                engine = nullptr;
            }
        });
        if (stopped) throw error_already_set{};
        if (!engine) throw std::bad_alloc{};
        reinterpret_cast<SceneObject*>(self.get())->engine = engine;
        reinterpret_cast<SceneObject*>(self.get())->draw_budget = draw_budget;
        return self.release();
    });
}

void scene_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    delete reinterpret_cast<SceneObject*>(self)->engine;
    type->tp_free(self);
    Py_DECREF(type);
}

// Runs the items with the lock released.  Between items, on this thread
// only, the lock is retaken to check for signals and to report progress, in
// points finished since the last report; the reports add up to `points`.
template <class Work>
void run_without_lock(std::int64_t items, std::int64_t points, int threads, PyObject* progress, Work&& work) {
    std::int64_t reported = 0;
    auto report = [&](std::int64_t done) -> bool {
        if (progress == Py_None || done <= reported) return true;
        ref count = require(PyLong_FromLongLong(done - reported));
        reported = done;
        return ref::steal(PyObject_CallOneArg(progress, count.get())).get() != nullptr;
    };
    bool failed = false;
    PyThreadState* state = PyEval_SaveThread();
    // At interpreter exit CPython may end a daemon thread inside this retake
    // instead of returning (see py_ref.hpp); run_items then stops the workers
    // on the way out, and the flag keeps the unwind off Python objects.
    auto retake = [&]() {
        retaking_lock = true;
        PyEval_RestoreThread(state);
        retaking_lock = false;
    };
    auto checkpoint = [&](std::int64_t done) -> bool {
        retake();
        failed = PyErr_CheckSignals() != 0 || !report(done);
        state = PyEval_SaveThread();
        return !failed;
    };
    scene::run_items(items, threads, std::forward<Work>(work), checkpoint);
    retake();
    if (failed || !report(points)) throw error_already_set{};
}

int as_threads(PyObject* obj) {
    if (!PyLong_Check(obj) || PyBool_Check(obj)) {
        raise_format(PyExc_TypeError, "threads must be an int, got %.200s", Py_TYPE(obj)->tp_name);
    }
    const long t = PyLong_AsLong(obj);
    if (t == -1 && PyErr_Occurred()) throw error_already_set{};
    if (t < 1 || t > 1024) raise(PyExc_ValueError, "threads must lie in 1..1024");
    return static_cast<int>(t);
}

PyObject* scene_query(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"x", "value", "gradient", "owner", "nearest", "threads", "progress", nullptr};
    PyObject *o_x, *o_value, *o_grad, *o_owner, *o_near, *o_threads, *progress;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOOOO:query", const_cast<char**>(kwlist), &o_x, &o_value,
                                     &o_grad, &o_owner, &o_near, &o_threads, &progress)) {
        return nullptr;
    }
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
        const scene::compiled_scene& engine = engine_of(self);
        const int threads = as_threads(o_threads);
        buffer_view<f64, 2> x(o_x, "x");
        const Py_ssize_t n = x.extent(0);
        if (n > 0 && x.extent(1) < 2) raise(PyExc_ValueError, "x must have at least 2 columns");
        result_buffer<f64> value(o_value, "value", n), grad(o_grad, "gradient", 2 * n), near(o_near, "nearest", 2 * n);
        result_buffer<i64> owner(o_owner, "owner", n);
        const scene::outputs out{value.data(), grad.data(), owner.data(), near.data()};
        const std::int64_t chunk = scene::points_per_chunk(n, threads);
        const std::int64_t items = (n + chunk - 1) / chunk;
        const strided_view<f64, 2> pv = x.view();
        run_without_lock(items, n, threads, progress, [&](std::int64_t item, scene::worker_state& st) {
            const std::int64_t lo = item * chunk, hi = std::min<std::int64_t>(lo + chunk, n);
            scene::drive_points(engine, pv, lo, hi, out, st);
        });
        Py_RETURN_NONE;
    });
}

PyObject* scene_query_grid(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"xs", "ys", "value", "threads", "progress", nullptr};
    PyObject *o_xs, *o_ys, *o_value, *o_threads, *progress;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOO:query_grid", const_cast<char**>(kwlist), &o_xs, &o_ys,
                                     &o_value, &o_threads, &progress)) {
        return nullptr;
    }
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
        const scene::compiled_scene& engine = engine_of(self);
        const int threads = as_threads(o_threads);
        buffer_view<f64, 1> xs(o_xs, "xs"), ys(o_ys, "ys");
        const Py_ssize_t nx = xs.extent(0), ny = ys.extent(0);
        if (nx > 0 && ny > std::numeric_limits<Py_ssize_t>::max() / nx) raise(PyExc_OverflowError, "grid too large");
        result_buffer<f64> value(o_value, "value", nx * ny);
        if (o_value == Py_None) raise(PyExc_TypeError, "value must be an array");
        // The loops index the axes directly; contiguous copies make that safe
        // for any strides.
        std::vector<f64> xv(static_cast<size_t>(nx)), yv(static_cast<size_t>(ny));
        for (Py_ssize_t i = 0; i < nx; ++i) xv[static_cast<size_t>(i)] = xs.view()(i);
        for (Py_ssize_t i = 0; i < ny; ++i) yv[static_cast<size_t>(i)] = ys.view()(i);
        const scene::outputs out{value.data(), nullptr, nullptr, nullptr};
        const std::int64_t cols = nx > 1 ? scene::tile_points(engine, xv[1] - xv[0]) : scene::tile_side;
        const std::int64_t rows = ny > 1 ? scene::tile_points(engine, yv[1] - yv[0]) : scene::tile_side;
        const bool drawable = scene::grid_axis::usable(xv.data(), nx) && scene::grid_axis::usable(yv.data(), ny);
        const scene::grid_raster raster(engine, xv.data(), nx, yv.data(), ny,
                                        reinterpret_cast<SceneObject*>(self)->draw_budget);
        const std::int64_t band = scene::band_rows(nx, ny, rows, threads, drawable);
        const std::int64_t bands = (ny + band - 1) / band;
        std::atomic<std::int64_t> drawn{0};
        run_without_lock(bands, nx * ny, threads, progress, [&](std::int64_t item, scene::worker_state& st) {
            drawn += scene::drive_grid_band(engine, drawable ? &raster : nullptr, xv.data(), nx, yv.data(), ny, item,
                                            band, rows, cols, out, st);
        });
        return PyLong_FromLongLong(drawn.load());
    });
}

PyObject* scene_get_nbytes(PyObject* self, void*) {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
        return PyLong_FromSize_t(engine_of(self).nbytes() + sizeof(SceneObject));
    });
}

PyObject* scene_get_elements(PyObject* self, void*) {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* { return PyLong_FromSize_t(engine_of(self).element_count()); });
}

PyObject* scene_get_capsules(PyObject* self, void*) {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* { return PyLong_FromSize_t(engine_of(self).capsule_count()); });
}

PyObject* scene_get_cells(PyObject* self, void*) {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* { return PyLong_FromSize_t(engine_of(self).cell_count()); });
}

PyObject* scene_get_outlines(PyObject* self, void*) {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* { return PyLong_FromSize_t(engine_of(self).outline_count()); });
}

PyObject* scene_get_areas(PyObject* self, void*) {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* { return PyLong_FromSize_t(engine_of(self).area_count()); });
}

PyObject* scene_reduce(PyObject* self, PyObject*) noexcept {
    PyErr_Format(PyExc_TypeError, "cannot pickle '%.200s': pickle the RiskField, which compiles it again",
                 Py_TYPE(self)->tp_name);
    return nullptr;
}

PyMethodDef scene_methods[] = {
    {"query", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(scene_query)), METH_VARARGS | METH_KEYWORDS,
     "query($self, /, x, value, gradient, owner, nearest, threads, progress)\n--\n\n"
     "Evaluate the points x, writing each requested result (the others None)."},
    {"query_grid", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(scene_query_grid)),
     METH_VARARGS | METH_KEYWORDS,
     "query_grid($self, /, xs, ys, value, threads, progress)\n--\n\n"
     "Evaluate the grid of points (xs[j], ys[i]) into value[i * len(xs) + j].\n\n"
     "Returns how many rows were drawn element by element rather than evaluated point by point."},
    {"__reduce__", scene_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef scene_getset[] = {
    {"nbytes", scene_get_nbytes, nullptr, "Memory held by the compiled scene and its index, in bytes.", nullptr},
    {"n_elements", scene_get_elements, nullptr, "Point centres and boundary segments compiled.", nullptr},
    {"n_polygons", scene_get_areas, nullptr, "Polygons compiled for the inside test.", nullptr},
    {"n_capsules", scene_get_capsules, nullptr, "Index nodes bounded by a chord and a radius as well as a box.",
     nullptr},
    {"n_cells", scene_get_cells, nullptr, "Cells of the grid whose lists answer queries before the trees.", nullptr},
    {"n_outlines", scene_get_outlines, nullptr, "Polygons a drawn grid tests along with their walls.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot scene_slots[] = {
    {Py_tp_doc, const_cast<char*>("CompiledScene(points, point_meta, segments, segment_meta, ring_xy, ring_start, "
                                  "polygons, metrics, gradients, cutoff, projection, max_bands, *, capsules=True, "
                                  "cells=True, draw_budget=1.0)\n--\n\n"
                                  "A scene flattened into elements and indexed for fast field queries.")},
    {Py_tp_new, reinterpret_cast<void*>(scene_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(scene_dealloc)},
    {Py_tp_methods, scene_methods},
    {Py_tp_getset, scene_getset},
    {0, nullptr},
};

PyType_Spec scene_spec = {
    "orin.field._scene.CompiledScene",
    sizeof(SceneObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    scene_slots,
};

int scene_exec(PyObject* module) {
    return guard<int>(-1, [&]() -> int {
        refuse_subinterpreters("orin.field._scene");
        choose_isa_at_import("orin.field._scene");
        ref isas = require(supported_isas());
        require_ok(PyModule_AddObjectRef(module, "_ISAS", isas.get()));
        ref type = require(PyType_FromModuleAndSpec(module, &scene_spec, nullptr));
        require_ok(PyModule_AddObjectRef(module, "CompiledScene", type.get()));
        return 0;
    });
}

// The scene's passes have their own switch, apart from the kernels' one.
PyMethodDef module_methods[] = {
    {"_set_isa", set_isa_function, METH_O, set_isa_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef scene_module = {
    PyModuleDef_HEAD_INIT, "orin.field._scene", "The compiled scene behind orin.field.RiskField.", 0, module_methods,
    module_slots<scene_exec>, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace orin

PyMODINIT_FUNC PyInit__scene() { return PyModuleDef_Init(&orin::scene_module); }
