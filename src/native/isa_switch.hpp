// The Python side of the instruction-set switch (isa_dispatch.hpp): the
// choice at module initialisation, and the private `_set_isa` that tests use
// to run every path.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdlib>

#include "isa_dispatch.hpp"
#include "py_ref.hpp"

namespace orin {

inline constexpr const char isa_variable[] = "ORIN_FIELD_ISA";

// The widest path the CPU has, unless ORIN_FIELD_ISA names another.  A
// forced path that is unknown or that the CPU lacks fails the import rather
// than falling back: whoever forces a path wants to know that it ran.
inline void choose_isa_at_import(const char* module_name) {
    isa chosen = isa_best();
    const char* forced = std::getenv(isa_variable);
    if (forced && *forced) {
        if (!isa_from_name(forced, chosen)) {
            raise_format(PyExc_ImportError, "%s: %s=%.100s is not one of 'avx512', 'avx2', 'baseline'",
                         module_name, isa_variable, forced);
        }
        if (!isa_supported(chosen)) {
            raise_format(PyExc_ImportError, "%s: %s=%s, but this CPU lacks it", module_name, isa_variable,
                         forced);
        }
    }
    set_active_isa(chosen);
}

// _set_isa(name) -> the previous path's name.
inline PyObject* set_isa_function(PyObject*, PyObject* name) noexcept {
    if (!PyUnicode_Check(name)) {
        PyErr_Format(PyExc_TypeError, "name must be a str, got %.200s", Py_TYPE(name)->tp_name);
        return nullptr;
    }
    const char* text = PyUnicode_AsUTF8(name);
    if (!text) return nullptr;
    isa wanted;
    if (!isa_from_name(text, wanted)) {
        PyErr_Format(PyExc_ValueError, "name must be 'avx512', 'avx2' or 'baseline', got %R", name);
        return nullptr;
    }
    if (!isa_supported(wanted)) {
        PyErr_Format(PyExc_ValueError, "name %R: this CPU lacks that instruction set", name);
        return nullptr;
    }
    return PyUnicode_FromString(isa_name(set_active_isa(wanted)));
}

// The paths this CPU can run, narrowest first, as a tuple of names.
inline PyObject* supported_isas() noexcept {
    Py_ssize_t count = 0;
    for (isa i : every_isa) count += isa_supported(i);
    PyObject* names = PyTuple_New(count);
    Py_ssize_t at = 0;
    for (isa i : every_isa) {
        if (!names || !isa_supported(i)) continue;
        PyObject* name = PyUnicode_FromString(isa_name(i));
        if (!name) {
            Py_CLEAR(names);
            break;
        }
        PyTuple_SET_ITEM(names, at++, name);
    }
    return names;
}

inline constexpr const char set_isa_doc[] =
    "_set_isa(name, /)\n--\n\n"
    "Private: run the vectorised loops on the named instruction-set path\n"
    "('avx512', 'avx2' or 'baseline'; see _ISAS for this CPU's) and return the\n"
    "previous path's name.  Every path gives the same bits; this exists so that\n"
    "tests can run each of them.";

}  // namespace orin
