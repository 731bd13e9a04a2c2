// The per-element arithmetic of the field: a 2 x 2 quadratic form and the
// repulsion candidate of one segment.  Every loop that computes these calls
// the functions here, so that all of them give the same bits: the operation
// order is part of the result (no FMA contraction, no reassociation).
#pragma once

#include <type_traits>

#include "multiversion.hpp"

namespace orin {

// Each function is a template over T, a double or a vector of doubles
// (simd_lanes.hpp), so the vectorised paths run these very operations per lane.

// v^T M v for v = (dx, dy), row by row as written.
template <class T>
ORIN_FORCE_INLINE T quadratic_form(T dx, T dy, double m00, double m01, double m10, double m11) noexcept {
    return dx * (m00 * dx + m01 * dy) + dy * (m10 * dx + m11 * dy);
}

// t clamped to [0, 1].  Both tests are made unconditionally (so a loop over
// points vectorises); at most one holds, and NaN passes both, to lose every
// comparison later.
template <class T>
ORIN_FORCE_INLINE T clamp_unit(T t) noexcept {
    if constexpr (std::is_floating_point_v<T>) {
        const auto below = t < 0.0, above = t > 1.0;
        t = below ? 0.0 : t;
        return above ? 1.0 : t;
    } else {
        // The same selects, the second on the first's result, which changes
        // no lane.  Against a constant GCC makes each a compare and a masked
        // move; against a bound it cannot see through, the single max and
        // min of x86, which keep these bits (each yields its second operand
        // where the compare fails, NaN included).  Asm in a scalar loop would
        // stop it vectorising, hence vectors only.
        double lo = 0.0, hi = 1.0;
#if (defined(__GNUC__) || defined(__clang__)) && (defined(__x86_64__) || defined(__i386__))
        asm("" : "+x"(lo), "+x"(hi));
#endif
        t = lo > t ? lo : t;
        return hi < t ? hi : t;
    }
}

// The Euclidean projection of (xi, yi) on the segment [a, a + v], with
// vv = v.v given: writes the repulsion vector (dx, dy) = x - projection and
// returns its quadratic form under M.
// The segment (S) may be one segment for all lanes or one per lane.
template <class T, class S>
ORIN_FORCE_INLINE T segment_candidate(T xi, T yi, S ax, S ay, S vx, S vy, S vv, double m00, double m01,
                                      double m10, double m11, T& dx, T& dy) noexcept {
    const T wx = xi - ax, wy = yi - ay;
    const T t = clamp_unit((wx * vx + wy * vy) / vv);
    dx = xi - (ax + vx * t);
    dy = yi - (ay + vy * t);
    return quadratic_form(dx, dy, m00, m01, m10, m11);
}

}  // namespace orin
