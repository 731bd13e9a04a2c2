// Fixed-width vectors of doubles for the loops compiled per instruction set
// (isa_dispatch.hpp): GCC vector extensions, which Clang shares.  Arithmetic
// on them is lane by lane IEEE arithmetic, the same operations a scalar loop
// would run; a comparison gives an all-ones / all-zeros mask per lane and
// `mask ? a : b` selects lane by lane.
#pragma once

#include <cstring>

#include "isa_dispatch.hpp"

namespace orin {

// Named per width: GCC drops vector_size when the size depends on a
// template parameter.
typedef double f64x2 __attribute__((vector_size(16)));
typedef double f64x4 __attribute__((vector_size(32)));
typedef double f64x8 __attribute__((vector_size(64)));

template <int W> struct vector_of;
template <> struct vector_of<2> { using type = f64x2; };
template <> struct vector_of<4> { using type = f64x4; };
template <> struct vector_of<8> { using type = f64x8; };

template <int W>
struct simd_lanes {
    static constexpr int width = W;
    using vec = typename vector_of<W>::type;

    // The block columns are plain double arrays with no alignment promise.
    static ORIN_FORCE_INLINE vec load(const double* p) noexcept {
        vec v;
        std::memcpy(&v, p, sizeof v);
        return v;
    }
    static ORIN_FORCE_INLINE void store(double* p, vec v) noexcept { std::memcpy(p, &v, sizeof v); }
    // Lane by lane rather than vec{} + x, which would turn -0.0 into +0.0.
    static ORIN_FORCE_INLINE vec splat(double x) noexcept {
        vec v;
        for (int i = 0; i < W; ++i) v[i] = x;
        return v;
    }
};

// One point at a time: plain doubles, for the last point of a block, where
// a single lane's short dependency chain beats a padded vector's.
template <>
struct simd_lanes<1> {
    static constexpr int width = 1;
    using vec = double;

    static ORIN_FORCE_INLINE vec load(const double* p) noexcept { return *p; }
    static ORIN_FORCE_INLINE void store(double* p, vec v) noexcept { *p = v; }
    static ORIN_FORCE_INLINE vec splat(double x) noexcept { return x; }
};

// The width each path runs: a zmm, a ymm, an xmm register of doubles.
template <isa I>
using simd_lanes_for = simd_lanes<I == isa::avx512 ? 8 : I == isa::avx2 ? 4 : 2>;

}  // namespace orin
