// Calling Python from C++, and binding the arguments of our own methods.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstddef>
#include <initializer_list>
#include <limits>
#include <vector>

#include "py_ref.hpp"

namespace orin {

// callable(*args), where the last len(kwnames) of `args` go by keyword.
inline ref call(PyObject* callable, std::initializer_list<PyObject*> args, PyObject* kwnames = nullptr) {
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    return require(PyObject_Vectorcall(callable, args.begin(), args.size() - static_cast<std::size_t>(nkw),
                                       kwnames));
}

inline ref call_attr(PyObject* obj, PyObject* name, std::initializer_list<PyObject*> args,
                     PyObject* kwnames = nullptr) {
    ref fn = require(PyObject_GetAttr(obj, name));
    return call(fn.get(), args, kwnames);
}

// obj.name(*args): `args` starts with obj itself.
inline ref call_method(PyObject* name, std::initializer_list<PyObject*> args, PyObject* kwnames = nullptr) {
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    return require(PyObject_VectorcallMethod(name, args.begin(), args.size() - static_cast<std::size_t>(nkw),
                                             kwnames));
}

// ---------------------------------------------------------------------------
// Argument binding: positional-or-keyword parameters, optionally collecting
// further keywords (borrowed; the caller's arguments outlive the call).

struct extra_keywords {
    std::vector<PyObject*> names;
    std::vector<PyObject*> values;
};

template <std::size_t N>
struct signature {
    const char* function;
    std::array<const char*, N> names;
    std::size_t required;
    bool collects_extra;
};

template <std::size_t N>
void bind_keyword(const signature<N>& sig, PyObject* name, PyObject* value, Py_ssize_t nargs,
                  std::array<PyObject*, N>& out, extra_keywords* extra) {
    if (!PyUnicode_Check(name)) raise(PyExc_TypeError, "keywords must be strings");
    for (std::size_t j = 0; j < N; ++j) {
        if (PyUnicode_CompareWithASCIIString(name, sig.names[j]) != 0) continue;
        if (static_cast<Py_ssize_t>(j) < nargs) {
            raise_format(PyExc_TypeError, "argument for %s() given by name ('%s') and position (%zu)",
                               sig.function, sig.names[j], j + 1);
        }
        if (out[j]) {
            raise_format(PyExc_TypeError, "%s() got multiple values for argument '%s'", sig.function,
                               sig.names[j]);
        }
        out[j] = value;
        return;
    }
    if (!sig.collects_extra) {
        raise_format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.function, name);
    }
    if (extra) {
        extra->names.push_back(name);
        extra->values.push_back(value);
    }
}

template <std::size_t N>
void bind_positional(const signature<N>& sig, PyObject* const* args, Py_ssize_t nargs,
                     std::array<PyObject*, N>& out) {
    out.fill(nullptr);
    if (nargs > static_cast<Py_ssize_t>(N)) {
        raise_format(PyExc_TypeError, "%s() takes at most %zu positional argument%s (%zd given)",
                           sig.function, N, N == 1 ? "" : "s", nargs);
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) out[static_cast<std::size_t>(i)] = args[i];
}

template <std::size_t N>
void check_required(const signature<N>& sig, const std::array<PyObject*, N>& out) {
    for (std::size_t j = 0; j < sig.required; ++j) {
        if (!out[j]) {
            raise_format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)", sig.function,
                               sig.names[j], j + 1);
        }
    }
}

// Vectorcall convention (METH_FASTCALL | METH_KEYWORDS).
template <std::size_t N>
std::array<PyObject*, N> bind(const signature<N>& sig, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames, extra_keywords* extra = nullptr) {
    std::array<PyObject*, N> out;
    bind_positional(sig, args, nargs, out);
    if (kwnames) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            bind_keyword(sig, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], nargs, out, extra);
        }
    }
    check_required(sig, out);
    return out;
}

// Tuple-and-dict convention (tp_init).
template <std::size_t N>
std::array<PyObject*, N> bind(const signature<N>& sig, PyObject* args, PyObject* kwargs) {
    std::array<PyObject*, N> out;
    bind_positional(sig, PySequence_Fast_ITEMS(args), PyTuple_GET_SIZE(args), out);
    if (kwargs) {
        PyObject* key;
        PyObject* value;
        Py_ssize_t pos = 0;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            bind_keyword(sig, key, value, PyTuple_GET_SIZE(args), out, nullptr);
        }
    }
    check_required(sig, out);
    return out;
}

inline PyObject* or_default(PyObject* given, PyObject* fallback) noexcept { return given ? given : fallback; }

// ---------------------------------------------------------------------------
// Values out of arguments.

// The one integer rule of the package's native entry points (the quadtree
// kernels' max_depth and max_cols, the reconstructor's checksum): an int, or
// an int subclass taken by value, as it is; anything else only through its
// __int__, so a float truncates while a string, or an object that offers only
// __index__, is refused with TypeError.  A value outside [lo, hi] raises
// OverflowError naming `range`.
inline long long integer_argument(PyObject* obj, const char* name, long long lo, long long hi,
                                  const char* range) {
    ref value;
    if (PyLong_Check(obj)) {
        value = ref::borrow(obj);
    } else {
        PyNumberMethods* nb = Py_TYPE(obj)->tp_as_number;
        if (!nb || !nb->nb_int) {
            raise_format(PyExc_TypeError, "%s must be an integer, got %.200s", name, Py_TYPE(obj)->tp_name);
        }
        value = require(nb->nb_int(obj));
        if (!PyLong_Check(value.get())) {
            raise_format(PyExc_TypeError, "%.200s.__int__ returned non-int (type %.200s)", Py_TYPE(obj)->tp_name,
                         Py_TYPE(value.get())->tp_name);
        }
    }
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(value.get(), &overflow);
    if (v == -1 && PyErr_Occurred()) throw error_already_set{};
    if (overflow || v < lo || v > hi) {
        raise_format(PyExc_OverflowError, "%s is out of the range of a %s", name, range);
    }
    return v;
}

// mapping[key], with the KeyError a dict lookup gives when `mapping` is
// exactly a dict, and the mapping's own __getitem__ otherwise.
inline ref item_of(PyObject* mapping, PyObject* key) {
    if (PyDict_CheckExact(mapping)) {
        PyObject* v = PyDict_GetItemWithError(mapping, key);
        if (!v) {
            if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, key);
            throw error_already_set{};
        }
        return ref::borrow(v);
    }
    return require(PyObject_GetItem(mapping, key));
}

}  // namespace orin
