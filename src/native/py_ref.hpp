// Owned references, Python errors as C++ exceptions, and the lock scope:
// the helpers every extension module of orin.field is written with.
//
// Ownership is explicit at construction: `ref::steal` takes a new reference,
// `ref::borrow` increments a borrowed one.  Failures that leave a Python
// exception set travel as `error_already_set` and are turned back into a NULL
// or -1 return at the module boundary (see `guard`).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <utility>

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
    // Drops the reference held, if any, and holds `new_reference` instead.
    void reset(PyObject* new_reference = nullptr) noexcept { Py_XSETREF(p_, new_reference); }
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

}  // namespace orin
