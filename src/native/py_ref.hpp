// Owned references, Python errors as C++ exceptions, and the lock scope:
// the helpers every extension module of orin.field is written with.
//
// Ownership is explicit at construction: `ref::steal` takes a new reference,
// `ref::borrow` increments a borrowed one.  Failures that leave a Python
// exception set travel as `error_already_set` and are turned back into a NULL
// or -1 return at the module boundary (see `guard`).
//
// One more thing may travel through our frames: at interpreter exit CPython
// ends every other thread that asks for the interpreter lock by calling
// pthread_exit, and glibc implements that as a forced unwind, run through
// every C++ frame up the thread's stack.  Our lock retake (lock_scope) and
// any NumPy or Python call we make may be where it starts.  While it runs,
// this thread does not hold the lock, so nothing may touch a Python object:
// `ref` and the buffer releases check `lock_held()` first and otherwise let
// the reference go (the process is ending).  The unwind must also pass
// through: `guard` rethrows it, and no frame it crosses may be noexcept,
// which would call std::terminate.  That is why the module entry points and
// slots are not declared noexcept, though they let no other exception out.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#if defined(__GLIBCXX__)
#include <cxxabi.h>  // abi::__forced_unwind
#endif

#include <chrono>
#include <cstddef>
#include <new>
#include <type_traits>
#include <utility>

#if defined(__GNUC__) || defined(__clang__)
// Kept out of line: inlined into a caller, the caller's checks would apply.
#define ORIN_NO_SANITIZE_NULL __attribute__((no_sanitize("null"), noinline))
#else
#define ORIN_NO_SANITIZE_NULL
#endif

namespace orin {

// A Python exception is already set; whoever catches this returns NULL/-1.
struct error_already_set {};

// Set while this thread waits for the lock in lock_scope::retake; left set
// when CPython ends the thread there instead of returning.
inline thread_local bool retaking_lock = false;

// Whether this thread may touch Python objects.  False during the forced
// unwind of a thread that CPython ends at exit: either it started in our own
// retake (the flag), or inside a call into Python or NumPy, where the thread
// was stopped before it became the lock's holder again (PyGILState_Check).
// Late in finalisation PyGILState_Check answers 1 for every thread, but by
// then no thread has a thread state of its own any more.
inline bool lock_held() noexcept {
    return !retaking_lock && PyGILState_GetThisThreadState() && PyGILState_Check();
}

class ref {
public:
    ref() noexcept = default;
    ref(const ref& other) noexcept : p_(other.p_) { Py_XINCREF(p_); }
    ref(ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    ref& operator=(ref other) noexcept {
        std::swap(p_, other.p_);
        return *this;
    }
    ~ref() {
        if (p_ && lock_held()) Py_DECREF(p_);
    }

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
// so no C++ exception unwinds into the interpreter; only the forced unwind
// of a thread that is being ended passes, as it must (see the top).
//
// The forced unwind carries no C++ object, so the reference its handler
// binds is null; UBSan's null check would report that, on a handler whose
// only statement rethrows without touching it.
template <class R, class F>
ORIN_NO_SANITIZE_NULL R guard(R failure, F&& body) {
    try {
        return body();
    } catch (const error_already_set&) {
        return failure;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return failure;
#if defined(__GLIBCXX__)
    } catch (abi::__forced_unwind&) {
        throw;
#endif
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception");
        return failure;
    }
}

// The interpreter lock, released for a loop that touches no Python object.
//
// The lock is taken back by retake(), never by a destructor: CPython may end
// the thread right there (see the top), and a destructor, being noexcept,
// would turn that into std::terminate.
class lock_scope {
public:
    lock_scope() noexcept : state_(PyEval_SaveThread()) {}
    lock_scope(const lock_scope&) = delete;
    lock_scope& operator=(const lock_scope&) = delete;

    // Takes the lock back, once.
    void retake() {
        if (!state_) return;
        retaking_lock = true;
        PyEval_RestoreThread(std::exchange(state_, nullptr));
        retaking_lock = false;
    }

    // For long loops, between blocks: at most every poll_interval, takes the
    // lock back to run the signal handlers (Ctrl-C among them).  True when a
    // handler raised; the lock is then held and its exception set, and the
    // loop should stop.  Otherwise the lock is released again.
    bool interrupted() {
        const auto now = std::chrono::steady_clock::now();
        if (!state_ || now < next_poll_) return false;
        next_poll_ = now + poll_interval;
        retake();
        if (PyErr_CheckSignals() < 0) return true;
        state_ = PyEval_SaveThread();
        return false;
    }

private:
    // Well under the second a user waits for Ctrl-C to act; each poll costs
    // a lock handover, so no more often than this.
    static constexpr std::chrono::milliseconds poll_interval{50};

    PyThreadState* state_;
    std::chrono::steady_clock::time_point next_poll_ = std::chrono::steady_clock::now() + poll_interval;
};

// Runs body() (or body(lock), to poll for signals) without the lock.  The
// body must not touch Python objects and must not throw: the one exception
// that may leave it is the forced unwind that lock.interrupted() can start.
template <class Body>
void without_lock(Body&& body) {
    lock_scope lock;
    if constexpr (std::is_invocable_v<Body&, lock_scope&>) {
        body(lock);
    } else {
        static_assert(noexcept(body()), "a body that cannot poll must not throw");
        body();
    }
    lock.retake();
}

}  // namespace orin
