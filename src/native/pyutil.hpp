// Small RAII helpers shared by every extension module of orin.field.
//
// Ownership is explicit at construction: `ref::steal` takes a new reference,
// `ref::borrow` increments a borrowed one.  Failures that leave a Python
// exception set travel as `error_already_set` and are turned back into a NULL
// or -1 return at the module boundary (see `guard`).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <utility>

#include "strided_view.hpp"

namespace orin {

// A Python exception is already set; whoever catches this returns NULL/-1.
struct error_already_set {};

class ref {
public:
    ref() noexcept = default;
    ref(const ref& other) noexcept : p_(other.p_) { Py_XINCREF(p_); }
    ref(ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    ref& operator=(ref other) noexcept {
        std::swap(p_, other.p_);
        return *this;
    }
    ~ref() { Py_XDECREF(p_); }

    static ref steal(PyObject* p) noexcept { return ref(p); }
    static ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return ref(p);
    }

    PyObject* get() const noexcept { return p_; }
    // Hands the reference to the caller; this object becomes empty.
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

// NULL from the C API means an exception is set.
inline ref require(PyObject* new_reference) {
    if (!new_reference) throw error_already_set{};
    return ref::steal(new_reference);
}

// -1 from the C API means an exception is set.
inline int require_ok(int rc) {
    if (rc < 0) throw error_already_set{};
    return rc;
}

[[noreturn]] inline void raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw error_already_set{};
}

template <class... Args>
[[noreturn]] inline void raise_format(PyObject* type, const char* format, Args... args) {
    PyErr_Format(type, format, args...);
    throw error_already_set{};
}

// Runs `body` and converts escaping C++ exceptions into a set Python error,
// returning `failure` in that case.  Every entry point from Python uses it,
// so nothing thrown here can unwind into the interpreter.
template <class R, class F>
R guard(R failure, F&& body) noexcept {
    try {
        return body();
    } catch (const error_already_set&) {
        return failure;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return failure;
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception");
        return failure;
    }
}

// Releases the interpreter lock for its lifetime.  Nothing inside the scope
// may touch a Python object.
class gil_release {
public:
    gil_release() noexcept : state_(PyEval_SaveThread()) {}
    ~gil_release() { PyEval_RestoreThread(state_); }
    gil_release(const gil_release&) = delete;
    gil_release& operator=(const gil_release&) = delete;

private:
    PyThreadState* state_;
};

// ---------------------------------------------------------------------------
// Typed strided views over buffer exporters.

// Element kinds that the kernels accept, with the buffer format codes that
// carry them.  Exact kind and size are required: nothing is cast.
template <class T> struct element_traits;
template <> struct element_traits<double> {
    static constexpr const char* name = "float64";
    static bool accepts(char code) noexcept { return code == 'd'; }
};
template <> struct element_traits<std::int32_t> {
    static constexpr const char* name = "int32";
    static bool accepts(char code) noexcept {
        // 'l' is 4 bytes only on platforms with a 32-bit long; the itemsize
        // check below settles that.
        return code == 'i' || code == 'l';
    }
};
template <> struct element_traits<std::uint8_t> {
    static constexpr const char* name = "uint8";
    // NumPy bool arrays export '?', a one-byte unsigned layout too.
    static bool accepts(char code) noexcept { return code == 'B' || code == '?'; }
};

// Returns the type code of a single-element format, or 0 when the format is
// not one (a struct, a repeat count, a foreign byte order).
inline char native_format_code(const char* format) noexcept {
    if (!format) return 'B';  // PEP 3118: NULL means unsigned bytes
    char order = format[0];
    const bool little = PY_LITTLE_ENDIAN;
    if (order == '@' || order == '=' || (order == '<' && little) || (order == '>' && !little) ||
        (order == '!' && !little)) {
        ++format;
    } else if (order == '<' || order == '>' || order == '!') {
        return 0;
    }
    if (format[0] == '\0' || format[1] != '\0') return 0;
    return format[0];
}

// strided_view's extents and strides are filled straight from Py_buffer.
static_assert(std::is_same_v<Py_ssize_t, std::ptrdiff_t>,
              "strided_view uses std::ptrdiff_t where the buffer protocol uses Py_ssize_t");

// Holds one acquired buffer and releases it on every exit.  `None` gives a
// view whose every extent is 0 and which holds nothing.
template <class T, int ND>
class buffer_view {
public:
    buffer_view(PyObject* obj, const char* name) {
        if (obj == Py_None) return;
        if (!PyObject_CheckBuffer(obj)) {
            raise_format(PyExc_TypeError, "%s: expected a %dD %s array, got %.200s", name, ND,
                         element_traits<T>::name, Py_TYPE(obj)->tp_name);
        }
        require_ok(PyObject_GetBuffer(obj, &buf_, PyBUF_FULL_RO));
        held_ = true;
        char code = native_format_code(buf_.format);
        if (!element_traits<T>::accepts(code) || buf_.itemsize != static_cast<Py_ssize_t>(sizeof(T))) {
            raise_format(PyExc_ValueError,
                         "%s: expected a native-endian %s buffer, got format '%s' with itemsize %zd",
                         name, element_traits<T>::name, buf_.format ? buf_.format : "B",
                         buf_.itemsize);
        }
        if (buf_.ndim != ND) {
            raise_format(PyExc_ValueError, "%s: expected %d dimension(s), got %d", name, ND,
                         buf_.ndim);
        }
        if (buf_.suboffsets) {
            for (int d = 0; d < ND; ++d) {
                if (buf_.suboffsets[d] >= 0) {
                    raise_format(PyExc_ValueError, "%s: indirect (suboffset) buffers are not supported",
                                 name);
                }
            }
        }
        view_.data = static_cast<const char*>(buf_.buf);
        for (int d = 0; d < ND; ++d) {
            view_.shape[d] = buf_.shape[d];
            view_.strides[d] = buf_.strides ? buf_.strides[d] : 0;
        }
        if (!buf_.strides) {
            // PyBUF_FULL_RO always asks for strides, but stay correct for a
            // C-contiguous exporter that leaves them out.
            Py_ssize_t step = static_cast<Py_ssize_t>(sizeof(T));
            for (int d = ND - 1; d >= 0; --d) {
                view_.strides[d] = step;
                step *= view_.shape[d];
            }
        }
    }
    ~buffer_view() {
        if (held_) PyBuffer_Release(&buf_);
    }
    buffer_view(const buffer_view&) = delete;
    buffer_view& operator=(const buffer_view&) = delete;

    bool is_none() const noexcept { return !held_; }
    Py_ssize_t extent(int axis) const noexcept { return view_.shape[axis]; }
    const strided_view<T, ND>& view() const noexcept { return view_; }

private:
    Py_buffer buf_{};
    bool held_ = false;
    strided_view<T, ND> view_{};
};

}  // namespace orin
