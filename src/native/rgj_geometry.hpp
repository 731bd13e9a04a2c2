// Instance layout of orin.field.geometry.base.RGJGeometry and
// MultiRGJGeometry.  Types in other extension modules extend it at the C
// level, so the field order here is a binary contract: append, never reorder.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

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

}  // namespace orin
