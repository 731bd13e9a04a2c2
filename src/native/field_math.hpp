// The per-element arithmetic of the field: a 2 x 2 quadratic form and the
// repulsion candidate of one segment.  Every loop that computes these calls
// the functions here, so that all of them give the same bits: the operation
// order is part of the result (no FMA contraction, no reassociation).
#pragma once

#include "multiversion.hpp"

namespace orin {

// v^T M v for v = (dx, dy), row by row as written.
ORIN_FORCE_INLINE double quadratic_form(double dx, double dy, double m00, double m01, double m10,
                                        double m11) noexcept {
    return dx * (m00 * dx + m01 * dy) + dy * (m10 * dx + m11 * dy);
}

// t clamped to [0, 1].  Both tests are made unconditionally (so a loop over
// points vectorises); at most one holds, and NaN passes both, to lose every
// comparison later.
ORIN_FORCE_INLINE double clamp_unit(double t) noexcept {
    const bool below = t < 0.0, above = t > 1.0;
    t = below ? 0.0 : t;
    return above ? 1.0 : t;
}

// The Euclidean projection of (xi, yi) on the segment [a, a + v], with
// vv = v.v given: writes the repulsion vector (dx, dy) = x - projection and
// returns its quadratic form under M.
ORIN_FORCE_INLINE double segment_candidate(double xi, double yi, double ax, double ay, double vx,
                                           double vy, double vv, double m00, double m01, double m10,
                                           double m11, double& dx, double& dy) noexcept {
    const double wx = xi - ax, wy = yi - ay;
    const double t = clamp_unit((wx * vx + wy * vy) / vv);
    dx = xi - (ax + vx * t);
    dy = yi - (ay + vy * t);
    return quadratic_form(dx, dy, m00, m01, m10, m11);
}

}  // namespace orin
