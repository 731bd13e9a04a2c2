// Typed views over strided memory: what the numeric loops read and write.
//
// No Python here, on purpose: a loop that sees only these views cannot touch
// a Python object, so it may run without the interpreter lock.  Extents and
// strides are std::ptrdiff_t, which is the type Py_ssize_t names on every
// platform we build for (buffer_view.hpp checks it), so a buffer's shape and
// strides copy over unchanged.
#pragma once

#include <cstddef>
#include <cstring>

namespace orin {

// Read-only view of an ND array of T.  Strides are in bytes and may be
// negative or zero, as a buffer exporter may give them.
template <class T, int ND>
struct strided_view {
    const char* data = nullptr;
    std::ptrdiff_t shape[ND] = {};
    std::ptrdiff_t strides[ND] = {};

    std::ptrdiff_t extent(int axis) const noexcept { return shape[axis]; }

    T operator()(std::ptrdiff_t i) const noexcept requires(ND == 1) {
        return load(data + i * strides[0]);
    }
    T operator()(std::ptrdiff_t i, std::ptrdiff_t j) const noexcept requires(ND == 2) {
        return load(data + i * strides[0] + j * strides[1]);
    }
    T operator()(std::ptrdiff_t i, std::ptrdiff_t j, std::ptrdiff_t k) const noexcept requires(ND == 3) {
        return load(data + i * strides[0] + j * strides[1] + k * strides[2]);
    }
    // Where element (i, j) lies, to prefetch it.
    const char* address(std::ptrdiff_t i, std::ptrdiff_t j) const noexcept requires(ND == 2) {
        return data + i * strides[0] + j * strides[1];
    }

private:
    // Buffers need not be aligned (a memoryview cast, a packed record).
    static T load(const char* p) noexcept {
        T value;
        std::memcpy(&value, p, sizeof(T));
        return value;
    }
};

// Writable view of a result array.  Results are allocated by NumPy and
// checked aligned before a loop gets one, so elements are written in place.
template <class T, int ND>
struct out_view {
    char* data = nullptr;
    std::ptrdiff_t strides[ND] = {};

    T& operator()(std::ptrdiff_t i) const noexcept requires(ND == 1) {
        return *reinterpret_cast<T*>(data + i * strides[0]);
    }
    T& operator()(std::ptrdiff_t i, std::ptrdiff_t j) const noexcept requires(ND == 2) {
        return *reinterpret_cast<T*>(data + i * strides[0] + j * strides[1]);
    }
};

}  // namespace orin
