// orin.field.geometry.base: the base types every RGeoJSON geometry derives
// from.  RGJGeometry owns the seven per-geometry fields; MultiRGJGeometry is
// the same layout under another name, so that multi-part kinds (and the C
// collection type, which appends its own fields) can be told apart by type.
//
// Contract with C types that extend this layout from another module: their
// traverse, clear and dealloc handle their own fields and then call ours
// through tp_base.  Our traverse visits the (heap) type, and our dealloc
// untracks, frees the memory and drops the reference to the type, so an
// extending type does none of those three things itself.
#include "module_slots.hpp"
#include "py_ref.hpp"
#include "rgj_geometry.hpp"

#include <cstddef>
#include <cstdint>

namespace {

using orin::field_closure;
using orin::field_index;
using orin::geometry_field;
using orin::or_none;
using orin::ref;
using orin::require;
using orin::require_ok;
using orin::RGJGeometryObject;

// Fields by index in layout order; pickled states follow it too.
constexpr Py_ssize_t field_count = orin::rgj_geometry_field_count;

// --- allocation and garbage collection --------------------------------------

// Arguments are ignored on purpose: subtypes (the collection among them) call
// this with their own constructor arguments, and __init__ is where the
// geometry is built.
PyObject* rgj_new(PyTypeObject* type, PyObject*, PyObject*) {
    return orin::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* obj = type->tp_alloc(type, 0);
        if (!obj) throw orin::error_already_set{};
        for (Py_ssize_t i = 0; i < field_count; ++i) geometry_field(obj, i) = Py_NewRef(Py_None);
        return obj;
    });
}

int rgj_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    for (Py_ssize_t i = 0; i < field_count; ++i) Py_VISIT(geometry_field(self, i));
    // Instances of heap types own a reference to their type; Python and C
    // subclasses of ours leave this visit to us.
    Py_VISIT(Py_TYPE(self));
    return 0;
}

// Breaks cycles by setting the fields to None rather than NULL, so C code of
// extending types and finalizers that still run on a cleared object keep
// reading valid objects.
int rgj_clear(PyObject* self) {
    for (Py_ssize_t i = 0; i < field_count; ++i) Py_XSETREF(geometry_field(self, i), Py_NewRef(Py_None));
    return 0;
}

void rgj_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    // A long chain of geometries linked through their fields would otherwise
    // recurse once per link here and can exhaust the C stack.
    Py_TRASHCAN_BEGIN(self, rgj_dealloc)
    for (Py_ssize_t i = 0; i < field_count; ++i) Py_CLEAR(geometry_field(self, i));
    type->tp_free(self);
    Py_DECREF(type);
    Py_TRASHCAN_END
}

// --- attributes ---------------------------------------------------------------

// The closure carries the index of the field in layout order.
PyObject* get_field(PyObject* self, void* closure) noexcept {
    return Py_NewRef(or_none(geometry_field(self, field_index(closure))));
}

// Deleting a field stores None: an instance always holds an object in each of
// its seven fields, which is what tp_new establishes too.
int set_field(PyObject* self, PyObject* value, void* closure) {
    Py_XSETREF(geometry_field(self, field_index(closure)), Py_NewRef(value ? value : Py_None));
    return 0;
}

PyGetSetDef rgj_getset[] = {
    {"coordinates", get_field, set_field,
     "The geometry's coordinates; deleting the attribute stores None.", field_closure(0)},
    {"repulsion", get_field, set_field,
     "The 2 x 2 repulsion matrix; deleting the attribute stores None.", field_closure(1)},
    {"inv_repulsion", get_field, set_field,
     "The inverse of the repulsion matrix; deleting the attribute stores None.", field_closure(2)},
    {"eye_repulsion", get_field, set_field,
     "The 2 x 2 identity used for unscaled distances; deleting the attribute stores None.",
     field_closure(3)},
    {"grad_matrix", get_field, set_field,
     "The matrix applied to repulsion vectors in the gradient; deleting the attribute stores None.",
     field_closure(4)},
    {"properties", get_field, set_field,
     "The geometry's properties object; deleting the attribute stores None.", field_closure(5)},
    {"bbox", get_field, set_field,
     "The bounding box [[min x, min y], [max x, max y]]; deleting the attribute stores None.",
     field_closure(6)},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// --- field value ----------------------------------------------------------------

// NumPy is found through sys.modules on each call rather than cached, so the
// module holds no state of its own and serves every interpreter alike.
ref numpy_module() {
    if (PyObject* np = PyImport_GetModule(orin::require(PyUnicode_FromString("numpy")).get())) {
        return ref::steal(np);
    }
    if (PyErr_Occurred()) throw orin::error_already_set{};
    return require(PyImport_ImportModule("numpy"));
}

PyObject* rgj_eval(PyObject* self, PyObject* args, PyObject* kwargs) {
    return orin::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        static const char* kwlist[] = {"x", nullptr};
        PyObject* x = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:eval", const_cast<char**>(kwlist), &x)) {
            throw orin::error_already_set{};
        }
        // Looked up on the instance each call: a subclass's squared_dist, the
        // collection's included, decides the distance.
        ref name = require(PyUnicode_FromString("squared_dist"));
        ref dist = require(PyObject_CallMethodOneArg(self, name.get(), x));
        ref negated = require(PyNumber_Negative(dist.get()));
        ref np = numpy_module();
        ref exp = require(PyObject_GetAttrString(np.get(), "exp"));
        return require(PyObject_CallOneArg(exp.get(), negated.get())).release();
    });
}

// --- pickling ---------------------------------------------------------------------

// The reduce value is (copyreg.__newobj__, (cls,), state): unpickling
// allocates through tp_new without running __init__, so subclasses whose
// constructors require arguments round-trip too.  state is the seven fields
// in layout order followed by what object.__getstate__ gives for the
// instance: None, its __dict__, or (__dict__ or None, slot values) for
// subclasses with __slots__.
PyObject* rgj_reduce(PyObject* self, PyObject*) {
    return orin::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        ref copyreg = require(PyImport_ImportModule("copyreg"));
        ref newobj = require(PyObject_GetAttrString(copyreg.get(), "__newobj__"));
        ref getstate = require(
            PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyBaseObject_Type), "__getstate__"));
        ref extra = require(PyObject_CallOneArg(getstate.get(), self));

        ref state = require(PyTuple_New(field_count + 1));
        for (Py_ssize_t i = 0; i < field_count; ++i) {
            PyTuple_SET_ITEM(state.get(), i, Py_NewRef(or_none(geometry_field(self, i))));
        }
        PyTuple_SET_ITEM(state.get(), field_count, extra.release());

        ref args = require(PyTuple_Pack(1, reinterpret_cast<PyObject*>(Py_TYPE(self))));
        return require(PyTuple_Pack(3, newobj.get(), args.get(), state.get())).release();
    });
}

void restore_instance_dict(PyObject* self, PyObject* items) {
    if (items == Py_None) return;
    if (!PyDict_Check(items)) {
        orin::raise(PyExc_TypeError, "__setstate__: the instance dict in the state must be a dict or None");
    }
    if (PyDict_GET_SIZE(items) == 0) return;
    ref dict = require(PyObject_GetAttrString(self, "__dict__"));
    if (PyDict_Check(dict.get())) {
        require_ok(PyDict_Update(dict.get(), items));
    } else {
        ref updated = require(PyObject_CallMethod(dict.get(), "update", "O", items));
    }
}

void restore_slots(PyObject* self, PyObject* slots) {
    if (slots == Py_None) return;
    if (!PyDict_Check(slots)) {
        orin::raise(PyExc_TypeError, "__setstate__: the slot values in the state must be a dict or None");
    }
    PyObject* key;
    PyObject* value;
    Py_ssize_t pos = 0;
    // Hold the dict: a __setattr__ run from here could drop the last other
    // reference to it.
    ref keep = ref::borrow(slots);
    while (PyDict_Next(slots, &pos, &key, &value)) {
        ref k = ref::borrow(key), v = ref::borrow(value);
        require_ok(PyObject_SetAttr(self, k.get(), v.get()));
    }
}

PyObject* rgj_setstate(PyObject* self, PyObject* state) {
    return orin::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        if (!PyTuple_Check(state)) {
            orin::raise_format(PyExc_TypeError, "__setstate__: expected a tuple, got %.200s",
                               Py_TYPE(state)->tp_name);
        }
        const Py_ssize_t n = PyTuple_GET_SIZE(state);
        if (n != field_count && n != field_count + 1) {
            orin::raise_format(PyExc_TypeError, "__setstate__: expected a tuple of %zd or %zd items, got %zd",
                               field_count, field_count + 1, n);
        }
        // Check the shape of the extra item before any field changes, so a
        // malformed state leaves the instance as it was.
        PyObject* extra = n > field_count ? PyTuple_GET_ITEM(state, field_count) : Py_None;
        PyObject* dict_items = extra;
        PyObject* slot_items = Py_None;
        if (PyTuple_Check(extra)) {
            if (PyTuple_GET_SIZE(extra) != 2) {
                orin::raise(PyExc_TypeError,
                            "__setstate__: the last state item must be None, a dict or a (dict, slots) pair");
            }
            dict_items = PyTuple_GET_ITEM(extra, 0);
            slot_items = PyTuple_GET_ITEM(extra, 1);
        }
        if ((dict_items != Py_None && !PyDict_Check(dict_items)) ||
            (slot_items != Py_None && !PyDict_Check(slot_items))) {
            orin::raise(PyExc_TypeError,
                        "__setstate__: the last state item must be None, a dict or a (dict, slots) pair");
        }
        ref keep = ref::borrow(state);
        for (Py_ssize_t i = 0; i < field_count; ++i) {
            Py_XSETREF(geometry_field(self, i), Py_NewRef(PyTuple_GET_ITEM(state, i)));
        }
        restore_instance_dict(self, dict_items);
        restore_slots(self, slot_items);
        Py_RETURN_NONE;
    });
}

PyMethodDef rgj_methods[] = {
    {"eval", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(rgj_eval)),
     METH_VARARGS | METH_KEYWORDS,
     "eval($self, /, x)\n--\n\n"
     "Field value exp(-d) at each query point, d being the instance's own\n"
     "squared_dist(x), looked up at call time."},
    {"__reduce__", rgj_reduce, METH_NOARGS,
     "__reduce__($self, /)\n--\n\n"
     "Reduce to (copyreg.__newobj__, (type,), state); state holds the seven\n"
     "fields in layout order and the instance's __dict__ / slot state."},
    {"__setstate__", rgj_setstate, METH_O,
     "__setstate__($self, state, /)\n--\n\n"
     "Restore the seven fields and any instance attributes from a state\n"
     "produced by __reduce__."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot rgj_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "Base type of the RGeoJSON geometries.\n\n"
                    "Holds seven fields: coordinates, repulsion, inv_repulsion, eye_repulsion,\n"
                    "grad_matrix, properties and bbox, each None after allocation.  Allocation\n"
                    "accepts and ignores any arguments; subclasses build the geometry in\n"
                    "__init__ and provide squared_dist, which eval uses.")},
    {Py_tp_new, reinterpret_cast<void*>(rgj_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(rgj_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(rgj_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(rgj_clear)},
    {Py_tp_getset, rgj_getset},
    {Py_tp_methods, rgj_methods},
    {0, nullptr},
};

// MultiRGJGeometry adds no field and no behaviour; the GC slots are repeated
// so that the type stands on its own rather than on slot inheritance rules.
PyType_Slot multi_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "Base type of the multi-part RGeoJSON geometries; the same layout and\n"
                    "behaviour as RGJGeometry.")},
    {Py_tp_new, reinterpret_cast<void*>(rgj_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(rgj_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(rgj_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(rgj_clear)},
    {0, nullptr},
};

constexpr unsigned int type_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;

PyType_Spec rgj_spec = {
    "orin.field.geometry.base.RGJGeometry",
    static_cast<int>(sizeof(RGJGeometryObject)),
    0,
    type_flags,
    rgj_slots,
};

PyType_Spec multi_spec = {
    "orin.field.geometry.base.MultiRGJGeometry",
    static_cast<int>(sizeof(RGJGeometryObject)),
    0,
    type_flags,
    multi_slots,
};

// Both types share these three slots, which the layout marker names.
const orin::rgj_layout layout_marker = {
    orin::rgj_layout_version,
    static_cast<Py_ssize_t>(sizeof(RGJGeometryObject)),
    rgj_dealloc,
    rgj_traverse,
    rgj_clear,
};

int base_exec(PyObject* module) {
    return orin::guard<int>(-1, [&]() -> int {
        orin::refuse_subinterpreters("orin.field.geometry.base");
        ref rgj = require(PyType_FromModuleAndSpec(module, &rgj_spec, nullptr));
        ref multi = require(PyType_FromModuleAndSpec(module, &multi_spec, rgj.get()));
        require_ok(PyModule_AddObjectRef(module, "RGJGeometry", rgj.get()));
        require_ok(PyModule_AddObjectRef(module, "MultiRGJGeometry", multi.get()));
        // The record is static and read-only; the capsule only points at it.
        ref marker = require(PyCapsule_New(const_cast<orin::rgj_layout*>(&layout_marker),
                                           orin::rgj_layout_capsule, nullptr));
        require_ok(PyModule_AddObjectRef(module, "_rgj_layout", marker.get()));
        return 0;
    });
}

PyModuleDef base_module = {
    PyModuleDef_HEAD_INIT,
    "orin.field.geometry.base",
    "Base types of the RGeoJSON geometries: RGJGeometry and MultiRGJGeometry.",
    0,
    nullptr,
    orin::module_slots<base_exec>,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_base(void) { return PyModuleDef_Init(&base_module); }
