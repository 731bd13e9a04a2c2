// Typed strided views over buffer exporters, checked against the element type
// and the number of dimensions a kernel declares.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "py_ref.hpp"
#include "strided_view.hpp"

namespace orin {

// strided_view's extents and strides are filled straight from Py_buffer.
static_assert(std::is_same_v<Py_ssize_t, std::ptrdiff_t>,
              "strided_view uses std::ptrdiff_t where the buffer protocol uses Py_ssize_t");

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

// One Py_buffer, released by its destructor once acquired.  It is a member
// of buffer_view rather than two fields of it because a constructor that
// throws runs no destructor of its own object, only those of the members
// already built: a view rejected after PyObject_GetBuffer must still give
// the buffer back, or the exporter stays pinned (a memoryview that cannot be
// released, a bytearray that cannot be resized) and keeps a reference.
class held_buffer {
public:
    held_buffer() noexcept = default;
    ~held_buffer() {
        if (held_ && lock_held()) PyBuffer_Release(&buf_);
    }
    held_buffer(const held_buffer&) = delete;
    held_buffer& operator=(const held_buffer&) = delete;

    void acquire(PyObject* obj, int flags) {
        require_ok(PyObject_GetBuffer(obj, &buf_, flags));
        held_ = true;
    }
    bool held() const noexcept { return held_; }
    const Py_buffer& get() const noexcept { return buf_; }

private:
    Py_buffer buf_{};
    bool held_ = false;
};

// A checked typed view of one buffer exporter, holding the buffer for its
// lifetime.  `None` gives a view whose every extent is 0 and which holds
// nothing.
template <class T, int ND>
class buffer_view {
public:
    buffer_view(PyObject* obj, const char* name) {
        if (obj == Py_None) return;
        if (!PyObject_CheckBuffer(obj)) {
            raise_format(PyExc_TypeError, "%s: expected a %dD %s array, got %.200s", name, ND,
                         element_traits<T>::name, Py_TYPE(obj)->tp_name);
        }
        buf_.acquire(obj, PyBUF_FULL_RO);
        const Py_buffer& b = buf_.get();
        char code = native_format_code(b.format);
        if (!element_traits<T>::accepts(code) || b.itemsize != static_cast<Py_ssize_t>(sizeof(T))) {
            raise_format(PyExc_ValueError,
                         "%s: expected a native-endian %s buffer, got format '%s' with itemsize %zd",
                         name, element_traits<T>::name, b.format ? b.format : "B", b.itemsize);
        }
        if (b.ndim != ND) {
            raise_format(PyExc_ValueError, "%s: expected %d dimension(s), got %d", name, ND, b.ndim);
        }
        if (b.suboffsets) {
            for (int d = 0; d < ND; ++d) {
                if (b.suboffsets[d] >= 0) {
                    raise_format(PyExc_ValueError, "%s: indirect (suboffset) buffers are not supported",
                                 name);
                }
            }
        }
        view_.data = static_cast<const char*>(b.buf);
        for (int d = 0; d < ND; ++d) {
            view_.shape[d] = b.shape[d];
            view_.strides[d] = b.strides ? b.strides[d] : 0;
        }
        if (!b.strides) {
            // PyBUF_FULL_RO always asks for strides, but stay correct for a
            // C-contiguous exporter that leaves them out.
            Py_ssize_t step = static_cast<Py_ssize_t>(sizeof(T));
            for (int d = ND - 1; d >= 0; --d) {
                view_.strides[d] = step;
                step *= view_.shape[d];
            }
        }
    }
    buffer_view(const buffer_view&) = delete;
    buffer_view& operator=(const buffer_view&) = delete;

    bool is_none() const noexcept { return !buf_.held(); }
    Py_ssize_t extent(int axis) const noexcept { return view_.shape[axis]; }
    const strided_view<T, ND>& view() const noexcept { return view_; }

private:
    held_buffer buf_;
    strided_view<T, ND> view_{};
};

}  // namespace orin
