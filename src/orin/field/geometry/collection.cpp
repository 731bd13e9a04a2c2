// orin.field.geometry.collection: GeometryCollectionRGJ, a geometry made of
// member geometries that answers every query by asking each member and
// combining the answers with whole-array NumPy calls.
//
// The type extends the C instance layout of orin.field.geometry.base's
// MultiRGJGeometry (seven references) by three references of its own.  The
// base is imported at load and its actual instance size decides where our
// fields start, so a base that grew does not have its tail overwritten.
//
// Every field may hold any object: __setstate__ restores whatever a pickle
// carries, and attributes of the base type are writable from Python.  So no
// field is ever cast to a concrete type here; everything goes through the
// generic object protocols and NumPy, and a wrong object ends in a Python
// exception.
#include "call.hpp"
#include "module_slots.hpp"
#include "py_ref.hpp"
#include "rgj_geometry.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <vector>

namespace {

using orin::as_geometry;
using orin::bind;
using orin::call;
using orin::call_attr;
using orin::call_method;
using orin::error_already_set;
using orin::extra_keywords;
using orin::field_closure;
using orin::field_index;
using orin::or_default;
using orin::or_none;
using orin::ref;
using orin::require;
using orin::require_ok;
using orin::RGJGeometryObject;
using orin::signature;

// ---------------------------------------------------------------------------
// Process-wide state.  The type object and its base live in static storage,
// which is why one module object per process can be initialised.

struct module_state {
    PyObject* module = nullptr;       // the one initialised module object
    PyObject* module_dict = nullptr;  // borrowed from module
    PyTypeObject* type = nullptr;     // GeometryCollectionRGJ
    PyTypeObject* base = nullptr;     // MultiRGJGeometry
    Py_ssize_t own_offset = 0;        // where rgjs, inv_repulsions, grad_matrixes start
};
module_state g;

// Interned names and small constants, created once and kept for the process.
struct names_t {
    PyObject* np;
    PyObject* array;
    PyObject* arange;
    PyObject* stack;
    PyObject* concatenate;
    PyObject* reshape;
    PyObject* einsum;
    PyObject* argmin;
    PyObject* min;
    PyObject* max;
    PyObject* sum;
    PyObject* swapaxes;
    PyObject* shape;
    PyObject* squared_dist;
    PyObject* repulsion_vector;
    PyObject* eval;
    PyObject* get_dist_matrix;
    PyObject* grad_matrix;
    PyObject* bbox;
    PyObject* set_repulsion;
    PyObject* in_bbox;
    PyObject* get_center_point;
    PyObject* toRGeoJSON;
    PyObject* RGJType;
    PyObject* type;
    PyObject* properties;
    PyObject* geometry;
    PyObject* geometries;
    PyObject* Feature;
    PyObject* dunder_dict;
    PyObject* update;
    PyObject* rgj_types;
    PyObject* geometry_package;
    PyObject* unpickle;
    PyObject* dunder_new;
    PyObject* min_dist_select;
    PyObject* return_reference;
    PyObject* einsum_members;   // "ijk,lik->lij"
    PyObject* einsum_gradient;  // "ijk,ik->ij"
    PyObject* kw_axis;             // ("axis",)
    PyObject* kw_x;                // ("x",)
    PyObject* kw_scaled_inverted;  // ("scaled", "inverted")
    PyObject* kw_min_dist_select;  // ("min_dist_select",)
    PyObject* kw_return_reference;  // ("return_reference",)
    PyObject* fromlist;            // ("_RGJ_TYPES",)
    PyObject* minus_one;
    PyObject* zero;
    PyObject* one;
    PyObject* two;
    PyObject* two_float;
    PyObject* rows_of_two;  // (-1, 2)
};
names_t S{};

PyObject* intern(const char* s) {
    PyObject* o = PyUnicode_InternFromString(s);
    if (!o) throw error_already_set{};
    return o;
}

PyObject* keep(PyObject* o) {
    if (!o) throw error_already_set{};
    return o;
}

void init_names() {
    if (S.np) return;
    names_t n{};
    n.np = intern("np");
    n.array = intern("array");
    n.arange = intern("arange");
    n.stack = intern("stack");
    n.concatenate = intern("concatenate");
    n.reshape = intern("reshape");
    n.einsum = intern("einsum");
    n.argmin = intern("argmin");
    n.min = intern("min");
    n.max = intern("max");
    n.sum = intern("sum");
    n.swapaxes = intern("swapaxes");
    n.shape = intern("shape");
    n.squared_dist = intern("squared_dist");
    n.repulsion_vector = intern("repulsion_vector");
    n.eval = intern("eval");
    n.get_dist_matrix = intern("get_dist_matrix");
    n.grad_matrix = intern("grad_matrix");
    n.bbox = intern("bbox");
    n.set_repulsion = intern("set_repulsion");
    n.in_bbox = intern("in_bbox");
    n.get_center_point = intern("get_center_point");
    n.toRGeoJSON = intern("toRGeoJSON");
    n.RGJType = intern("RGJType");
    n.type = intern("type");
    n.properties = intern("properties");
    n.geometry = intern("geometry");
    n.geometries = intern("geometries");
    n.Feature = intern("Feature");
    n.dunder_dict = intern("__dict__");
    n.update = intern("update");
    n.rgj_types = intern("_RGJ_TYPES");
    n.geometry_package = intern("orin.field.geometry");
    n.unpickle = intern("__unpickle_GeometryCollectionRGJ");
    n.dunder_new = intern("__new__");
    n.min_dist_select = intern("min_dist_select");
    n.return_reference = intern("return_reference");
    n.einsum_members = intern("ijk,lik->lij");
    n.einsum_gradient = intern("ijk,ik->ij");
    n.kw_axis = keep(PyTuple_Pack(1, intern("axis")));
    n.kw_x = keep(PyTuple_Pack(1, intern("x")));
    n.kw_scaled_inverted = keep(PyTuple_Pack(2, intern("scaled"), intern("inverted")));
    n.kw_min_dist_select = keep(PyTuple_Pack(1, n.min_dist_select));
    n.kw_return_reference = keep(PyTuple_Pack(1, n.return_reference));
    n.fromlist = keep(PyTuple_Pack(1, n.rgj_types));
    n.minus_one = keep(PyLong_FromLong(-1));
    n.zero = keep(PyLong_FromLong(0));
    n.one = keep(PyLong_FromLong(1));
    n.two = keep(PyLong_FromLong(2));
    n.two_float = keep(PyFloat_FromDouble(2.0));
    n.rows_of_two = keep(PyTuple_Pack(2, n.minus_one, n.two));
    S = n;
}

// ---------------------------------------------------------------------------
// Field access.

enum own_field : int { f_rgjs = 0, f_inv_repulsions = 1, f_grad_matrixes = 2 };
constexpr int own_field_count = 3;

PyObject*& own(PyObject* self, int field) noexcept {
    return reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + g.own_offset)[field];
}

// The member list at the time of the call, held for its duration: a member
// may replace or empty the collection's list while we walk it.
ref members_of(PyObject* self) {
    PyObject* list = own(self, f_rgjs);
    if (!list || list == Py_None) orin::raise(PyExc_TypeError, "'NoneType' object is not iterable");
    if (!PyList_Check(list)) {
        orin::raise_format(PyExc_TypeError, "rgjs must be a list, not %.200s", Py_TYPE(list)->tp_name);
    }
    return ref::borrow(list);
}

// Collections nested in collections, or one that holds itself, recurse
// through the members' methods with several C frames a level.  CPython's own
// bound on C recursion counts calls, sized for small frames in an 8 MiB
// stack; a thread with a smaller stack, or larger frames (a sanitizer build),
// overflows first.  Real scenes nest a few levels, so a bound of our own
// turns the runaway case into RecursionError well before the stack ends.
constexpr int max_nesting = 200;
thread_local int nesting = 0;

class nesting_scope {
public:
    nesting_scope() {
        if (nesting >= max_nesting) {
            orin::raise_format(PyExc_RecursionError,
                               "GeometryCollectionRGJ members nest more than %d levels deep", max_nesting);
        }
        ++nesting;
    }
    ~nesting_scope() { --nesting; }
    nesting_scope(const nesting_scope&) = delete;
    nesting_scope& operator=(const nesting_scope&) = delete;
};

// Walks a list by index like Python's for loop: the length is read again
// before every step and each item is held while `f` runs, since `f` may
// shrink or grow the list.
template <class F>
void for_each_item(PyObject* list, F&& f) {
    const nesting_scope level;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        ref item = ref::borrow(PyList_GET_ITEM(list, i));
        f(item.get());
    }
}

void append(PyObject* list, const ref& item) { require_ok(PyList_Append(list, item.get())); }

// NumPy as the module attribute `np` holds it at the time of the call.
ref numpy() {
    PyObject* np = PyDict_GetItemWithError(g.module_dict, S.np);
    if (!np) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_NameError, "name 'np' is not defined");
        throw error_already_set{};
    }
    return ref::borrow(np);
}

// ---------------------------------------------------------------------------
// Construction.

// `from orin.field.geometry import _RGJ_TYPES`, run at every construction so
// that the package may import this module while it initialises itself.
ref rgj_types() {
    if (PyObject* pkg = PyImport_GetModule(S.geometry_package)) {
        ref held = ref::steal(pkg);
        if (PyObject* types = PyObject_GetAttr(pkg, S.rgj_types)) return ref::steal(types);
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw error_already_set{};
        PyErr_Clear();
    } else if (PyErr_Occurred()) {
        throw error_already_set{};
    }
    ref pkg = require(PyImport_ImportModuleLevelObject(S.geometry_package, nullptr, nullptr, S.fromlist, 0));
    if (PyObject* types = PyObject_GetAttr(pkg.get(), S.rgj_types)) return ref::steal(types);
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        orin::raise(PyExc_ImportError, "cannot import name '_RGJ_TYPES' from 'orin.field.geometry'");
    }
    throw error_already_set{};
}

ref build_member(PyObject* types, PyObject* d) {
    ref kind = orin::item_of(d, S.type);
    ref cls = require(PyObject_GetItem(types, kind.get()));
    ref kwargs = PyDict_CheckExact(d) ? require(PyDict_Copy(d))
                                      : require(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyDict_Type), d));
    ref no_args = require(PyTuple_New(0));
    return require(PyObject_Call(cls.get(), no_args.get(), kwargs.get()));
}

const signature<2> init_signature{"GeometryCollectionRGJ", {"geometries", "properties"}, 1, true};

// Every value is computed before any field is written, so a construction
// that fails at any step leaves the instance exactly as it was (a fresh
// instance keeps its allocated state, a constructed one its old members).
int collection_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    return orin::guard(-1, [&]() -> int {
        auto [geometries, properties] = bind(init_signature, args, kwargs);
        ref types = rgj_types();
        ref props = (properties && properties != Py_None) ? ref::borrow(properties) : require(PyDict_New());

        ref members = require(PyList_New(0));
        if (PyList_CheckExact(geometries)) {
            for_each_item(geometries, [&](PyObject* d) { append(members.get(), build_member(types.get(), d)); });
        } else if (PyTuple_CheckExact(geometries)) {
            for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(geometries); ++i) {
                append(members.get(), build_member(types.get(), PyTuple_GET_ITEM(geometries, i)));
            }
        } else {
            ref it = require(PyObject_GetIter(geometries));
            while (PyObject* d = PyIter_Next(it.get())) {
                ref item = ref::steal(d);
                append(members.get(), build_member(types.get(), item.get()));
            }
            if (PyErr_Occurred()) throw error_already_set{};
        }

        ref metrics = require(PyList_New(0));
        for_each_item(members.get(), [&](PyObject* m) {
            append(metrics.get(), call_method(S.get_dist_matrix, {m, Py_True, Py_True}, S.kw_scaled_inverted));
        });
        ref np = numpy();
        ref inv_repulsions = call_attr(np.get(), S.array, {metrics.get()});

        ref gradients = require(PyList_New(0));
        for_each_item(members.get(), [&](PyObject* m) { append(gradients.get(), require(PyObject_GetAttr(m, S.grad_matrix))); });
        np = numpy();
        ref grad_matrixes = call_attr(np.get(), S.array, {gradients.get()});

        ref boxes = require(PyList_New(0));
        for_each_item(members.get(), [&](PyObject* m) { append(boxes.get(), require(PyObject_GetAttr(m, S.bbox))); });
        np = numpy();
        ref joined = call_attr(np.get(), S.concatenate, {boxes.get(), S.zero});
        ref corners = call_method(S.reshape, {joined.get(), S.minus_one, S.two});
        ref lows = call_method(S.min, {corners.get(), S.zero});
        ref highs = call_method(S.max, {corners.get(), S.zero});
        ref extremes = require(PyList_New(2));
        PyList_SET_ITEM(extremes.get(), 0, lows.release());
        PyList_SET_ITEM(extremes.get(), 1, highs.release());
        np = numpy();
        ref bbox = call_attr(np.get(), S.array, {extremes.get()});

        // Commit: all five fields change together.  The old values are
        // released only afterwards, since releasing them can run arbitrary
        // code that may look at this instance.
        RGJGeometryObject* geo = as_geometry(self);
        PyObject* old[] = {geo->properties, geo->bbox, own(self, f_rgjs), own(self, f_inv_repulsions),
                           own(self, f_grad_matrixes)};
        geo->properties = props.release();
        geo->bbox = bbox.release();
        own(self, f_rgjs) = members.release();
        own(self, f_inv_repulsions) = inv_repulsions.release();
        own(self, f_grad_matrixes) = grad_matrixes.release();
        for (PyObject* o : old) Py_XDECREF(o);
        return 0;
    });
}

// ---------------------------------------------------------------------------
// Allocation and garbage collection.

// The base's allocation may be replaced from Python (the base types are
// mutable heap types, so `MultiRGJGeometry.__new__` can be reassigned), and
// then returns whatever that code returns: our fields are written only into
// an instance of our layout.
PyObject* collection_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return orin::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        ref self = require(g.base->tp_new(type, args, kwargs));
        if (!PyObject_TypeCheck(self.get(), g.type)) {
            orin::raise_format(PyExc_TypeError, "%.200s.__new__ returned %.200s, not a GeometryCollectionRGJ",
                               g.base->tp_name, Py_TYPE(self.get())->tp_name);
        }
        for (int i = 0; i < own_field_count; ++i) Py_XSETREF(own(self.get(), i), Py_NewRef(Py_None));
        return self.release();
    });
}

// The base visits the instance's type when it is a heap type itself; a
// static base would leave that visit to us.
int collection_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    PyTypeObject* base = g.base;
    if (base->tp_traverse) {
        if (int rc = base->tp_traverse(self, visit, arg)) return rc;
    }
    if (!(base->tp_flags & Py_TPFLAGS_HEAPTYPE)) Py_VISIT(Py_TYPE(self));
    for (int i = 0; i < own_field_count; ++i) Py_VISIT(own(self, i));
    return 0;
}

int collection_clear(PyObject* self) {
    if (g.base->tp_clear) g.base->tp_clear(self);
    for (int i = 0; i < own_field_count; ++i) Py_XSETREF(own(self, i), Py_NewRef(Py_None));
    return 0;
}

void collection_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyTypeObject* base = g.base;
    PyObject_GC_UnTrack(self);
    // Collections nested through their member lists release each other
    // recursively; the trashcan bounds the C stack depth.
    Py_TRASHCAN_BEGIN(self, collection_dealloc)
    for (int i = 0; i < own_field_count; ++i) Py_CLEAR(own(self, i));
    // The base's dealloc releases its seven fields, frees the memory and,
    // being a heap type's, drops the reference the instance holds on its
    // type; only a static base would leave that last step to us.
    const bool base_drops_type = base->tp_flags & Py_TPFLAGS_HEAPTYPE;
    base->tp_dealloc(self);
    if (!base_drops_type && (type->tp_flags & Py_TPFLAGS_HEAPTYPE)) Py_DECREF(type);
    Py_TRASHCAN_END
}

// ---------------------------------------------------------------------------
// Own attributes.

// The closure carries the index among our own fields.
PyObject* get_own(PyObject* self, void* closure) noexcept {
    return Py_NewRef(or_none(own(self, static_cast<int>(field_index(closure)))));
}

void store_own(PyObject* self, int field, PyObject* value) { Py_XSETREF(own(self, field), Py_NewRef(value)); }

int set_rgjs(PyObject* self, PyObject* value, void*) {
    if (!value) value = Py_None;
    if (value != Py_None && !PyList_CheckExact(value)) {
        PyErr_Format(PyExc_TypeError, "Expected list, got %.200s", Py_TYPE(value)->tp_name);
        return -1;
    }
    store_own(self, f_rgjs, value);
    return 0;
}

int set_any(PyObject* self, PyObject* value, void* closure) {
    store_own(self, static_cast<int>(field_index(closure)), value ? value : Py_None);
    return 0;
}

PyGetSetDef collection_getset[] = {
    {"rgjs", get_own, set_rgjs, nullptr, field_closure(f_rgjs)},
    {"inv_repulsions", get_own, set_any, nullptr, field_closure(f_inv_repulsions)},
    {"grad_matrixes", get_own, set_any, nullptr, field_closure(f_grad_matrixes)},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---------------------------------------------------------------------------
// Mutators.

const signature<1> set_coordinates_signature{"set_coordinates", {"new_coords"}, 1, false};
const signature<1> set_repulsion_signature{"set_repulsion", {"new_repulsion"}, 1, false};

PyObject* collection_set_coordinates(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) {
    return orin::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        bind(set_coordinates_signature, args, nargs, kwnames);
        PyErr_SetNone(PyExc_NotImplementedError);
        return nullptr;
    });
}

PyObject* collection_set_repulsion(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
    return orin::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        auto [new_repulsion] = bind(set_repulsion_signature, args, nargs, kwnames);
        ref members = members_of(self);
        for_each_item(members.get(), [&](PyObject* m) { call_method(S.set_repulsion, {m, new_repulsion}); });
        Py_RETURN_NONE;
    });
}

// ---------------------------------------------------------------------------
// Distance, repulsion vector, gradient.

const signature<4> squared_dist_signature{
    "squared_dist", {"x", "scaled", "inverted", "return_reference"}, 1, true};

PyObject* collection_squared_dist(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
    return orin::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        auto [x, scaled_arg, inverted_arg, return_reference_arg] =
            bind(squared_dist_signature, args, nargs, kwnames);
        PyObject* scaled = or_default(scaled_arg, Py_True);
        PyObject* inverted = or_default(inverted_arg, Py_True);
        PyObject* return_reference = or_default(return_reference_arg, Py_False);

        ref members = members_of(self);
        ref results = require(PyList_New(0));
        for_each_item(members.get(), [&](PyObject* m) {
            append(results.get(), call_method(S.squared_dist, {m, x, scaled, inverted}, S.kw_scaled_inverted));
        });
        ref np = numpy();
        ref dists = call_attr(np.get(), S.stack, {results.get(), S.one}, S.kw_axis);
        // Temporaries go as soon as they are used, as they would in Python:
        // member results are large, and holding them makes every later
        // allocation of the call take fresh memory.
        results = ref();
        if (require_ok(PyObject_IsTrue(return_reference))) {
            np = numpy();
            ref min_idxs = call_attr(np.get(), S.argmin, {dists.get(), S.one}, S.kw_axis);
            ref shape = require(PyObject_GetAttr(dists.get(), S.shape));
            ref n = require(PySequence_GetItem(shape.get(), 0));
            np = numpy();
            ref rows = call_attr(np.get(), S.arange, {n.get()});
            ref index = require(PyTuple_Pack(2, rows.get(), min_idxs.get()));
            ref nearest = require(PyObject_GetItem(dists.get(), index.get()));
            return require(PyTuple_Pack(2, nearest.get(), min_idxs.get())).release();
        }
        np = numpy();
        return call_attr(np.get(), S.min, {dists.get(), S.one}, S.kw_axis).release();
    });
}

// Keyword names for a call that passes `leading` and then the collected
// extra keywords; a duplicate is the TypeError Python gives for
// f(..., name=v, **kwargs).
ref keyword_names(const char* callee, PyObject* leading, const extra_keywords& extra) {
    if (extra.names.empty()) return ref::borrow(leading);
    const Py_ssize_t nlead = PyTuple_GET_SIZE(leading);
    ref names = require(PyTuple_New(nlead + static_cast<Py_ssize_t>(extra.names.size())));
    for (Py_ssize_t i = 0; i < nlead; ++i) {
        PyTuple_SET_ITEM(names.get(), i, Py_NewRef(PyTuple_GET_ITEM(leading, i)));
    }
    for (std::size_t k = 0; k < extra.names.size(); ++k) {
        PyObject* name = extra.names[k];
        for (Py_ssize_t i = 0; i < nlead; ++i) {
            int same = PyObject_RichCompareBool(name, PyTuple_GET_ITEM(leading, i), Py_EQ);
            if (require_ok(same)) {
                orin::raise_format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", callee,
                                   name);
            }
        }
        PyTuple_SET_ITEM(names.get(), nlead + static_cast<Py_ssize_t>(k), Py_NewRef(name));
    }
    return names;
}

const signature<2> repulsion_vector_signature{"repulsion_vector", {"x", "min_dist_select"}, 1, true};

PyObject* collection_repulsion_vector(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames) {
    return orin::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        extra_keywords extra;
        auto [x, min_dist_select_arg] = bind(repulsion_vector_signature, args, nargs, kwnames, &extra);
        PyObject* min_dist_select = or_default(min_dist_select_arg, Py_True);

        // Member call: (member, x, min_dist_select=..., **kwargs).
        ref names = keyword_names("repulsion_vector", S.kw_min_dist_select, extra);
        std::vector<PyObject*> call_args{nullptr, x, min_dist_select};
        call_args.insert(call_args.end(), extra.values.begin(), extra.values.end());

        ref members = members_of(self);
        ref results = require(PyList_New(0));
        for_each_item(members.get(), [&](PyObject* m) {
            call_args[0] = m;
            append(results.get(), require(PyObject_VectorcallMethod(S.repulsion_vector, call_args.data(), 2,
                                                                    names.get())));
        });
        ref np = numpy();
        ref vectors = call_attr(np.get(), S.stack, {results.get(), S.zero}, S.kw_axis);
        results = ref();
        if (require_ok(PyObject_IsTrue(min_dist_select))) {
            vectors = call_method(S.swapaxes, {vectors.get(), S.zero, S.one});
            PyObject* inv_repulsions = or_none(own(self, f_inv_repulsions));
            ref keep_inv = ref::borrow(inv_repulsions);
            np = numpy();
            ref nvectors = call_attr(np.get(), S.einsum, {S.einsum_members, inv_repulsions, vectors.get()});
            ref product = require(PyNumber_Multiply(vectors.get(), nvectors.get()));
            nvectors = ref();
            ref dist = call_method(S.sum, {product.get(), S.minus_one});
            product = ref();
            ref select = call_method(S.argmin, {dist.get(), S.one});
            const Py_ssize_t n = PyObject_Size(select.get());
            if (n < 0) throw error_already_set{};
            ref count = require(PyLong_FromSsize_t(n));
            np = numpy();
            ref rows = call_attr(np.get(), S.arange, {count.get()});
            ref index = require(PyTuple_Pack(2, rows.get(), select.get()));
            vectors = require(PyObject_GetItem(vectors.get(), index.get()));
        }
        return call_method(S.reshape, {vectors.get(), S.minus_one, S.two}).release();
    });
}

// `a, b = value` with Python's messages.
std::array<ref, 2> unpack_two(PyObject* value) {
    if (PyTuple_CheckExact(value) || PyList_CheckExact(value)) {
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(value);
        if (n == 2) {
            PyObject** items = PySequence_Fast_ITEMS(value);
            return {ref::borrow(items[0]), ref::borrow(items[1])};
        }
        if (n < 2) orin::raise_format(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)", n);
        orin::raise(PyExc_ValueError, "too many values to unpack (expected 2)");
    }
    ref it = ref::steal(PyObject_GetIter(value));
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            orin::raise_format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(value)->tp_name);
        }
        throw error_already_set{};
    }
    std::array<ref, 2> out;
    for (int i = 0; i < 2; ++i) {
        out[static_cast<std::size_t>(i)] = ref::steal(PyIter_Next(it.get()));
        if (!out[static_cast<std::size_t>(i)]) {
            if (PyErr_Occurred()) throw error_already_set{};
            orin::raise_format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
        }
    }
    ref rest = ref::steal(PyIter_Next(it.get()));
    if (rest) orin::raise(PyExc_ValueError, "too many values to unpack (expected 2)");
    if (PyErr_Occurred()) throw error_already_set{};
    return out;
}

const signature<1> gradient_signature{"gradient", {"x"}, 1, true};

PyObject* collection_gradient(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    return orin::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        extra_keywords extra;
        auto [x] = bind(gradient_signature, args, nargs, kwnames, &extra);
        std::vector<PyObject*> call_args{x, Py_True};
        call_args.insert(call_args.end(), extra.values.begin(), extra.values.end());

        ref dist_idxs;
        {
            ref names = keyword_names("squared_dist", S.kw_return_reference, extra);
            ref fn = require(PyObject_GetAttr(self, S.squared_dist));
            ref result = require(PyObject_Vectorcall(fn.get(), call_args.data(), 1, names.get()));
            dist_idxs = std::move(unpack_two(result.get())[1]);
        }
        ref repulsion_vector;
        {
            ref names = keyword_names("repulsion_vector", S.kw_min_dist_select, extra);
            ref fn = require(PyObject_GetAttr(self, S.repulsion_vector));
            repulsion_vector = require(PyObject_Vectorcall(fn.get(), call_args.data(), 1, names.get()));
        }
        ref field = call_attr(self, S.eval, {x}, S.kw_x);

        ref column = call_method(S.reshape, {field.get(), S.minus_one, S.one});
        ref negated = require(PyNumber_Negative(column.get()));
        PyObject* grad_matrixes = or_none(own(self, f_grad_matrixes));
        ref keep_grad = ref::borrow(grad_matrixes);
        ref gathered = require(PyObject_GetItem(grad_matrixes, dist_idxs.get()));
        ref np = numpy();
        ref w = call_attr(np.get(), S.einsum, {S.einsum_gradient, gathered.get(), repulsion_vector.get()});
        return require(PyNumber_Multiply(negated.get(), w.get())).release();
    });
}

// ---------------------------------------------------------------------------
// Distance matrix, bounding-box test, centre point, export.

const signature<2> get_dist_matrix_signature{"get_dist_matrix", {"scaled", "inverted"}, 0, false};

PyObject* collection_get_dist_matrix(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) {
    return orin::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        auto [scaled_arg, inverted_arg] = bind(get_dist_matrix_signature, args, nargs, kwnames);
        PyObject* scaled = or_default(scaled_arg, Py_True);
        PyObject* inverted = or_default(inverted_arg, Py_True);
        ref members = members_of(self);
        ref results = require(PyList_New(0));
        for_each_item(members.get(), [&](PyObject* m) {
            append(results.get(), call_method(S.get_dist_matrix, {m, scaled, inverted}, S.kw_scaled_inverted));
        });
        ref np = numpy();
        return call_attr(np.get(), S.array, {results.get()}).release();
    });
}

const signature<1> in_bbox_signature{"in_bbox", {"x"}, 1, false};

PyObject* collection_in_bbox(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return orin::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        auto [x] = bind(in_bbox_signature, args, nargs, kwnames);
        ref members = members_of(self);
        // Stops at the first member that answers true, like any().
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(members.get()); ++i) {
            ref m = ref::borrow(PyList_GET_ITEM(members.get(), i));
            ref answer = call_method(S.in_bbox, {m.get(), x});
            if (require_ok(PyObject_IsTrue(answer.get()))) Py_RETURN_TRUE;
        }
        Py_RETURN_FALSE;
    });
}

PyObject* collection_get_center_point(PyObject* self, PyObject*) {
    return orin::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        ref members = members_of(self);
        ref centres = require(PyList_New(0));
        for_each_item(members.get(), [&](PyObject* m) { append(centres.get(), call_method(S.get_center_point, {m})); });
        ref np = numpy();
        ref stacked = call_attr(np.get(), S.array, {centres.get()});
        np = numpy();
        ref coords = call_attr(np.get(), S.reshape, {stacked.get(), S.rows_of_two});
        // The centre of the box spanned by the member centres, not their
        // mean: only the two extreme centres on each axis matter.
        ref lows = call_method(S.min, {coords.get(), S.zero});
        ref highs = call_method(S.max, {coords.get(), S.zero});
        ref total = require(PyNumber_Add(lows.get(), highs.get()));
        return require(PyNumber_TrueDivide(total.get(), S.two_float)).release();
    });
}

PyObject* collection_to_rgeojson(PyObject* self, PyObject*) {
    return orin::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        ref outer = require(PyDict_New());
        require_ok(PyDict_SetItem(outer.get(), S.type, S.Feature));
        require_ok(PyDict_SetItem(outer.get(), S.properties, or_none(as_geometry(self)->properties)));
        ref inner = require(PyDict_New());
        ref kind = require(PyObject_GetAttr(self, S.RGJType));
        require_ok(PyDict_SetItem(inner.get(), S.type, kind.get()));
        ref members = members_of(self);
        ref geometries = require(PyList_New(0));
        for_each_item(members.get(), [&](PyObject* m) {
            ref exported = call_method(S.toRGeoJSON, {m});
            append(geometries.get(), orin::item_of(exported.get(), S.geometry));
        });
        require_ok(PyDict_SetItem(inner.get(), S.geometries, geometries.get()));
        require_ok(PyDict_SetItem(outer.get(), S.geometry, inner.get()));
        return outer.release();
    });
}

// ---------------------------------------------------------------------------
// Pickling.
//
// The state tuple holds the ten fields in alphabetical order of their names,
// optionally followed by the instance __dict__.  The layout checksum names
// that order; the reconstructor accepts the three digests' prefixes.

constexpr long long checksum_written = 0x96a235a;
constexpr long long checksums_accepted[] = {0x96a235a, 0x3eb5c46, 0x7a84316};
constexpr const char* state_fields =
    "bbox, coordinates, eye_repulsion, grad_matrix, grad_matrixes, inv_repulsion, inv_repulsions, properties, "
    "repulsion, rgjs";
constexpr Py_ssize_t state_size = 10;

// State index -> field slot.
PyObject** state_slot(PyObject* self, Py_ssize_t index) noexcept {
    RGJGeometryObject* geo = as_geometry(self);
    switch (index) {
        case 0: return &geo->bbox;
        case 1: return &geo->coordinates;
        case 2: return &geo->eye_repulsion;
        case 3: return &geo->grad_matrix;
        case 4: return &own(self, f_grad_matrixes);
        case 5: return &geo->inv_repulsion;
        case 6: return &own(self, f_inv_repulsions);
        case 7: return &geo->properties;
        case 8: return &geo->repulsion;
        default: return &own(self, f_rgjs);
    }
}

// Every check that can fail runs before the first field changes, so a bad
// state leaves a live instance as it was instead of half restored.
void restore_state(PyObject* self, PyObject* state) {
    ref held = ref::borrow(state);
    const Py_ssize_t n = PyTuple_GET_SIZE(state);
    if (n < state_size) orin::raise(PyExc_IndexError, "tuple index out of range");
    PyObject* rgjs = PyTuple_GET_ITEM(state, 9);
    if (rgjs != Py_None && !PyList_CheckExact(rgjs)) {
        orin::raise_format(PyExc_TypeError, "Expected list, got %.200s", Py_TYPE(rgjs)->tp_name);
    }
    ref attributes;
    ref instance_dict;
    if (n > state_size) {
        PyObject* item = PyTuple_GET_ITEM(state, state_size);
        if (require_ok(PyObject_IsTrue(item))) {
            attributes = ref::borrow(item);
            instance_dict = require(PyObject_GetAttr(self, S.dunder_dict));
        }
    }
    PyObject* old[state_size];
    for (Py_ssize_t i = 0; i < state_size; ++i) {
        PyObject** slot = state_slot(self, i);
        old[i] = *slot;
        *slot = Py_NewRef(PyTuple_GET_ITEM(state, i));
    }
    for (PyObject* o : old) Py_XDECREF(o);
    if (attributes) {
        if (PyDict_CheckExact(instance_dict.get())) {
            require_ok(PyDict_Update(instance_dict.get(), attributes.get()));
        } else {
            call_attr(instance_dict.get(), S.update, {attributes.get()});
        }
    }
}

PyObject* collection_reduce(PyObject* self, PyObject*) {
    return orin::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        ref state = require(PyTuple_New(state_size));
        bool any_field = false;
        for (Py_ssize_t i = 0; i < state_size; ++i) {
            PyObject* value = or_none(*state_slot(self, i));
            any_field = any_field || value != Py_None;
            PyTuple_SET_ITEM(state.get(), i, Py_NewRef(value));
        }
        ref instance_dict = ref::steal(PyObject_GetAttr(self, S.dunder_dict));
        if (!instance_dict) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw error_already_set{};
            PyErr_Clear();
        }
        bool use_setstate = any_field;
        if (instance_dict && instance_dict.get() != Py_None && require_ok(PyObject_IsTrue(instance_dict.get()))) {
            ref extended = require(PyTuple_New(state_size + 1));
            for (Py_ssize_t i = 0; i < state_size; ++i) {
                PyTuple_SET_ITEM(extended.get(), i, Py_NewRef(PyTuple_GET_ITEM(state.get(), i)));
            }
            PyTuple_SET_ITEM(extended.get(), state_size, instance_dict.release());
            state = std::move(extended);
            use_setstate = true;
        }
        PyObject* reconstructor = PyDict_GetItemWithError(g.module_dict, S.unpickle);
        if (!reconstructor) {
            if (!PyErr_Occurred()) {
                PyErr_SetString(PyExc_NameError, "name '__unpickle_GeometryCollectionRGJ' is not defined");
            }
            throw error_already_set{};
        }
        ref checksum = require(PyLong_FromLongLong(checksum_written));
        PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(self));
        if (use_setstate) {
            ref args = require(PyTuple_Pack(3, type, checksum.get(), Py_None));
            return require(PyTuple_Pack(3, reconstructor, args.get(), state.get())).release();
        }
        ref args = require(PyTuple_Pack(3, type, checksum.get(), state.get()));
        return require(PyTuple_Pack(2, reconstructor, args.get())).release();
    });
}

const signature<1> setstate_signature{"__setstate__", {"state"}, 1, false};

PyObject* collection_setstate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return orin::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        auto [state] = bind(setstate_signature, args, nargs, kwnames);
        if (!PyTuple_CheckExact(state)) {
            orin::raise_format(PyExc_TypeError, "Expected tuple, got %.200s", Py_TYPE(state)->tp_name);
        }
        restore_state(self, state);
        Py_RETURN_NONE;
    });
}

const signature<3> unpickle_signature{"__unpickle_GeometryCollectionRGJ", {"cls", "checksum", "state"}, 3, false};

PyObject* unpickle_collection(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return orin::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        auto [cls, checksum_arg, state] = bind(unpickle_signature, args, nargs, kwnames);
        const long long checksum =
            orin::integer_argument(checksum_arg, "checksum", std::numeric_limits<long long>::min(),
                                   std::numeric_limits<long long>::max(), "64-bit signed integer");
        if (state != Py_None && !PyTuple_CheckExact(state)) {
            orin::raise_format(PyExc_TypeError, "Expected tuple, got %.200s", Py_TYPE(state)->tp_name);
        }
        bool accepted = false;
        for (long long c : checksums_accepted) accepted = accepted || c == checksum;
        if (!accepted) {
            ref pickle = require(PyImport_ImportModule("pickle"));
            ref error = require(PyObject_GetAttrString(pickle.get(), "PickleError"));
            // A received value outside 32 bits is shown by its low 32 bits.
            const auto shown = static_cast<unsigned int>(static_cast<unsigned long long>(checksum) & 0xffffffffULL);
            PyErr_Format(error.get(), "Incompatible checksums (0x%x vs (0x%x, 0x%x, 0x%x) = (%s))", shown,
                         static_cast<unsigned int>(checksums_accepted[0]),
                         static_cast<unsigned int>(checksums_accepted[1]),
                         static_cast<unsigned int>(checksums_accepted[2]), state_fields);
            throw error_already_set{};
        }
        // GeometryCollectionRGJ.__new__(cls): TypeError for anything that is
        // not the type or a subtype of it.
        ref new_fn = require(PyObject_GetAttr(reinterpret_cast<PyObject*>(g.type), S.dunder_new));
        ref instance = call(new_fn.get(), {cls});
        // `__new__` is an attribute of a mutable type: whatever it returned
        // is written into only if it has our layout.
        if (!PyObject_TypeCheck(instance.get(), g.type)) {
            orin::raise_format(PyExc_TypeError, "GeometryCollectionRGJ.__new__ returned %.200s, not a "
                               "GeometryCollectionRGJ", Py_TYPE(instance.get())->tp_name);
        }
        if (state != Py_None) restore_state(instance.get(), state);
        return instance.release();
    });
}

// ---------------------------------------------------------------------------
// Type and module.

template <class F>
PyCFunction as_cfunction(F* fn) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

constexpr int fastcall = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef collection_methods[] = {
    {"set_coordinates", as_cfunction(collection_set_coordinates), fastcall, nullptr},
    {"set_repulsion", as_cfunction(collection_set_repulsion), fastcall, nullptr},
    {"in_bbox", as_cfunction(collection_in_bbox), fastcall, nullptr},
    {"get_dist_matrix", as_cfunction(collection_get_dist_matrix), fastcall, nullptr},
    {"get_center_point", as_cfunction(collection_get_center_point), METH_NOARGS, nullptr},
    {"squared_dist", as_cfunction(collection_squared_dist), fastcall, nullptr},
    {"repulsion_vector", as_cfunction(collection_repulsion_vector), fastcall, nullptr},
    {"gradient", as_cfunction(collection_gradient), fastcall, nullptr},
    {"toRGeoJSON", as_cfunction(collection_to_rgeojson), METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// Installed on the type after it is created, when the inherited protocol
// allows it (see install_pickling).
PyMethodDef reduce_def = {"__reduce__", as_cfunction(collection_reduce), METH_NOARGS, nullptr};
PyMethodDef setstate_def = {"__setstate__", as_cfunction(collection_setstate), fastcall, nullptr};

PyMethodDef module_functions[] = {
    {"__unpickle_GeometryCollectionRGJ", as_cfunction(unpickle_collection), fastcall, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot collection_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(collection_new)},
    {Py_tp_init, reinterpret_cast<void*>(collection_init)},
    {Py_tp_dealloc, reinterpret_cast<void*>(collection_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(collection_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(collection_clear)},
    {Py_tp_free, reinterpret_cast<void*>(PyObject_GC_Del)},
    {Py_tp_methods, collection_methods},
    {Py_tp_getset, collection_getset},
    {0, nullptr},
};

// An inherited __reduce__/__setstate__ that is object's, or a method of an
// extension type's method table (the base types' own, or hooks installed
// the way we install ours), gives way to ours.  A Python function, a
// classmethod or any other object is a protocol of another kind and wins.
bool is_c_method(PyObject* attr) noexcept { return Py_IS_TYPE(attr, &PyMethodDescr_Type); }

// Looks `name` up on `type` (None when absent) and on object.
std::array<ref, 2> inherited(PyObject* type, const char* name) {
    ref mine = ref::steal(PyObject_GetAttrString(type, name));
    if (!mine) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw error_already_set{};
        PyErr_Clear();
        mine = ref::borrow(Py_None);
    }
    ref objects = ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyBaseObject_Type), name));
    if (!objects) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw error_already_set{};
        PyErr_Clear();
        objects = ref::borrow(Py_None);
    }
    return {std::move(mine), std::move(objects)};
}

void install_pickling(PyObject* type) {
    auto [reduce_ex, object_reduce_ex] = inherited(type, "__reduce_ex__");
    if (reduce_ex.get() != object_reduce_ex.get()) return;
    auto [getstate, object_getstate] = inherited(type, "__getstate__");
    if (getstate.get() != Py_None && getstate.get() != object_getstate.get()) return;
    auto [reduce, object_reduce] = inherited(type, "__reduce__");
    if (reduce.get() != object_reduce.get() && !is_c_method(reduce.get())) return;

    ref reduce_descr = require(PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(type), &reduce_def));
    require_ok(PyObject_SetAttrString(type, "__reduce__", reduce_descr.get()));
    auto [setstate, unused] = inherited(type, "__setstate__");
    if (setstate.get() == Py_None || is_c_method(setstate.get())) {
        ref setstate_descr = require(PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(type), &setstate_def));
        require_ok(PyObject_SetAttrString(type, "__setstate__", setstate_descr.get()));
    }
}

// Our fields are appended after the imported base's instance, so its size
// must at least hold the seven fields this module reads.  A larger base still
// works (we start after its end) but may not be the layout we were built for.
void check_layout(PyObject* module_name, PyObject* type_obj, const char* name) {
    if (!PyType_Check(type_obj)) {
        orin::raise_format(PyExc_TypeError, "%U.%s is not a type", module_name, name);
    }
    auto* type = reinterpret_cast<PyTypeObject*>(type_obj);
    const Py_ssize_t expected = static_cast<Py_ssize_t>(sizeof(RGJGeometryObject));
    if (type->tp_itemsize != 0) {
        orin::raise_format(PyExc_ValueError, "%U.%s has variable-size instances; expected %zd fixed bytes",
                           module_name, name, expected);
    }
    if (type->tp_basicsize < expected) {
        orin::raise_format(PyExc_ValueError,
                           "%U.%s size changed, may indicate binary incompatibility. Expected %zd from C header, "
                           "got %zd from PyObject",
                           module_name, name, expected, type->tp_basicsize);
    }
    if (type->tp_basicsize > expected) {
        require_ok(PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                                    "%U.%s size changed, may indicate binary incompatibility. Expected %zd from "
                                    "C header, got %zd from PyObject",
                                    module_name, name, expected, type->tp_basicsize));
    }
}

// Our slots call the base's tp_dealloc, tp_traverse and tp_clear directly,
// and read and write its seven fields: a type of another layout that only
// passed the size rule (a foreign module in place of ours in sys.modules, a
// Python subclass) would be read as if it were ours.  The base module's
// layout marker names the three slots that its types have.
void check_ours(PyObject* module_name, PyObject* base_module, PyObject* type_obj, const char* name) {
    ref capsule = ref::steal(PyObject_GetAttrString(base_module, "_rgj_layout"));
    const orin::rgj_layout* marker = nullptr;
    if (capsule) {
        marker = static_cast<const orin::rgj_layout*>(PyCapsule_GetPointer(capsule.get(), orin::rgj_layout_capsule));
    }
    if (!marker) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError) && !PyErr_ExceptionMatches(PyExc_ValueError)) {
            throw error_already_set{};
        }
        PyErr_Clear();
        orin::raise_format(PyExc_ImportError, "%U has no layout marker: not the orin base module", module_name);
    }
    auto* type = reinterpret_cast<PyTypeObject*>(type_obj);
    if (marker->version != orin::rgj_layout_version || marker->basicsize != type->tp_basicsize ||
        type->tp_dealloc != marker->dealloc || type->tp_traverse != marker->traverse ||
        type->tp_clear != marker->clear) {
        orin::raise_format(PyExc_ImportError, "%U.%s is not the base type of layout version %d",
                           module_name, name, orin::rgj_layout_version);
    }
}

int collection_exec(PyObject* module) {
    return orin::guard(-1, [&]() -> int {
        // First: a sub-interpreter gets ImportError even after the main
        // interpreter loaded us.
        orin::refuse_subinterpreters("orin.field.geometry.collection");
        if (g.module == module) return 0;
        if (g.module) {
            orin::raise(PyExc_RuntimeError,
                        "orin.field.geometry.collection keeps process-wide state and cannot be initialised "
                        "for a second module object");
        }
        init_names();

        // 1. The base types.
        ref base_name = require(PyUnicode_FromString("orin.field.geometry.base"));
        ref base_module = require(PyImport_Import(base_name.get()));
        ref multi = require(PyObject_GetAttrString(base_module.get(), "MultiRGJGeometry"));
        ref rgj = require(PyObject_GetAttrString(base_module.get(), "RGJGeometry"));
        check_layout(base_name.get(), multi.get(), "MultiRGJGeometry");
        check_layout(base_name.get(), rgj.get(), "RGJGeometry");
        check_ours(base_name.get(), base_module.get(), multi.get(), "MultiRGJGeometry");
        check_ours(base_name.get(), base_module.get(), rgj.get(), "RGJGeometry");
        auto* base = reinterpret_cast<PyTypeObject*>(multi.get());

        // 2. The type, laid out after the base's actual instance.
        const Py_ssize_t own_offset = base->tp_basicsize;
        PyType_Spec type_spec = {
            "orin.field.geometry.collection.GeometryCollectionRGJ",
            static_cast<int>(own_offset + own_field_count * static_cast<Py_ssize_t>(sizeof(PyObject*))),
            0,
            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
            collection_slots,
        };
        // The slots read these while instances exist; no instance can exist
        // before the type below does.
        PyTypeObject* previous_base = g.base;
        const Py_ssize_t previous_offset = g.own_offset;
        g.base = base;
        g.own_offset = own_offset;
        ref type = ref::steal(PyType_FromModuleAndSpec(module, &type_spec, multi.get()));
        if (!type) {
            g.base = previous_base;
            g.own_offset = previous_offset;
            throw error_already_set{};
        }
        require_ok(PyModule_AddObjectRef(module, "GeometryCollectionRGJ", type.get()));
        install_pickling(type.get());

        // 3. NumPy, reached through this module attribute at every call.
        ref np = require(PyImport_ImportModule("numpy"));
        require_ok(PyModule_AddObjectRef(module, "np", np.get()));

        // 4. Class attribute.
        ref kind = require(PyUnicode_FromString("GeometryCollection"));
        require_ok(PyObject_SetAttr(type.get(), S.RGJType, kind.get()));

        // 5. The reconstructor named by pickles.
        require_ok(PyModule_AddFunctions(module, module_functions));

        PyObject* dict = PyModule_GetDict(module);
        if (!dict) throw error_already_set{};
        // Kept for the process: instances and pickles refer to both.
        g.type = reinterpret_cast<PyTypeObject*>(type.release());
        g.module_dict = dict;
        g.module = Py_NewRef(module);
        multi.release();  // g.base keeps this reference
        return 0;
    });
}

PyModuleDef collection_module = {
    PyModuleDef_HEAD_INIT,
    "orin.field.geometry.collection",
    nullptr,
    0,
    nullptr,
    orin::module_slots<collection_exec>,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_collection(void) { return PyModuleDef_Init(&collection_module); }
