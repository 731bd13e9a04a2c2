// Instance layout of orin.field.geometry.base.RGJGeometry and
// MultiRGJGeometry.  Types in other extension modules extend it at the C
// level, so the field order here is a binary contract: append, never reorder.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

namespace orin {

struct RGJGeometryObject {
    PyObject_HEAD
    PyObject* coordinates;
    PyObject* repulsion;
    PyObject* inv_repulsion;
    PyObject* eye_repulsion;
    PyObject* grad_matrix;
    PyObject* properties;
    PyObject* bbox;
};

inline constexpr Py_ssize_t rgj_geometry_field_count = 7;
static_assert(sizeof(RGJGeometryObject) == sizeof(PyObject) + 7 * sizeof(PyObject*),
              "base geometry instance must be the header plus seven references");

// The seven fields in layout order, for access by index.
inline constexpr PyObject* RGJGeometryObject::*rgj_geometry_fields[rgj_geometry_field_count] = {
    &RGJGeometryObject::coordinates,   &RGJGeometryObject::repulsion,
    &RGJGeometryObject::inv_repulsion, &RGJGeometryObject::eye_repulsion,
    &RGJGeometryObject::grad_matrix,   &RGJGeometryObject::properties,
    &RGJGeometryObject::bbox,
};

// Only for objects whose type has been checked to extend the layout: a slot
// of our own types, or an instance whose type was tested.
inline RGJGeometryObject* as_geometry(PyObject* self) noexcept {
    return reinterpret_cast<RGJGeometryObject*>(self);
}

inline PyObject*& geometry_field(PyObject* self, Py_ssize_t index) noexcept {
    return as_geometry(self)->*rgj_geometry_fields[index];
}

// Fields are NULL only while an object is torn down; readers see None.
inline PyObject* or_none(PyObject* value) noexcept { return value ? value : Py_None; }

// A field index carried in a PyGetSetDef closure.
inline void* field_closure(Py_ssize_t index) noexcept {
    return reinterpret_cast<void*>(static_cast<std::intptr_t>(index));
}
inline Py_ssize_t field_index(void* closure) noexcept {
    return static_cast<Py_ssize_t>(reinterpret_cast<std::intptr_t>(closure));
}

// The base module exports this record in a capsule named rgj_layout_capsule,
// as its attribute `_rgj_layout`, so that a module extending the layout can
// tell the base types from a look-alike of another layout that happens to be
// large enough: a type is one of ours when its deallocation, traversal and
// clearing are the base module's own (none of the three can be replaced
// from Python, unlike __new__).
struct rgj_layout {
    int version;
    Py_ssize_t basicsize;
    destructor dealloc;
    traverseproc traverse;
    inquiry clear;
};

inline constexpr const char* rgj_layout_capsule = "orin.field.geometry.base._rgj_layout";
// Raised with any change to the layout or to the record itself.
inline constexpr int rgj_layout_version = 1;

}  // namespace orin
