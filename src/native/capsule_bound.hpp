// Capsules: a chord segment and a radius that together hold a run of
// elements, for lower bounds on their metric distance that stay tight along
// finely divided smooth curves.
//
// A box bound gives away about the box's size.  Near an outline cut into
// segments far shorter than the distance to it, hundreds of segments lie
// almost equally far from a point, and no box tells them apart.  Every point
// of a smooth arc of length L and curvature radius rho lies within about
// L^2 / (8 rho) of the chord through its ends, so a bound measured to the
// chord separates the arc's pieces by how far each really is.
//
// Every quantity here is rounded towards the safe side: radii up, bounds
// down, so that a bound never exceeds the d2 the element loops compute.
#pragma once

#include <algorithm>
#include <cmath>
#include <limits>

#include "field_math.hpp"
#include "multiversion.hpp"
#include "simd_lanes.hpp"

namespace orin::scene {

// A segment [a, b] and a Euclidean radius r around it.
struct chord {
    double ax, ay, bx, by;
    double r;
};

inline constexpr double capsule_eps = std::numeric_limits<double>::epsilon();

// Relative room added to every rounded-up quantity: far above the few ulp
// their computation can lose, far below what would cost any pruning.
inline constexpr double capsule_room = 1e-9;

// The Euclidean distance from p to the segment [a, b], as computed; its
// error is a few ulp of the coordinates' size, which callers add.
inline double chord_distance(double px, double py, const chord& k) noexcept {
    const double vx = k.bx - k.ax, vy = k.by - k.ay;
    const double vv = vx * vx + vy * vy;
    const double wx = px - k.ax, wy = py - k.ay;
    const double t = vv > 0.0 ? clamp_unit((wx * vx + wy * vy) / vv) : 0.0;
    return std::hypot(px - (k.ax + vx * t), py - (k.ay + vy * t));
}

// Collects points and, from them, the chord through the two that lie
// farthest apart along the longer side of their box: on an arc that bends
// less than a half turn, its two ends.  `radius` then takes the points again
// (or the chords of children, with their own radii) and widens r until it
// holds them all.
class chord_fit {
public:
    void add_end(double x, double y) noexcept {
        if (count_ == 0) {
            lo_x_ = hi_x_ = lo_y_ = hi_y_ = {x, y};
        } else {
            if (x < lo_x_.x) lo_x_ = {x, y};
            if (x > hi_x_.x) hi_x_ = {x, y};
            if (y < lo_y_.y) lo_y_ = {x, y};
            if (y > hi_y_.y) hi_y_ = {x, y};
        }
        size_ = std::max({size_, std::fabs(x), std::fabs(y)});
        ++count_;
    }

    chord line() const noexcept {
        const bool along_x = hi_x_.x - lo_x_.x >= hi_y_.y - lo_y_.y;
        const xy& a = along_x ? lo_x_ : lo_y_;
        const xy& b = along_x ? hi_x_ : hi_y_;
        return {a.x, a.y, b.x, b.y, 0.0};
    }

    // The largest coordinate magnitude seen: what rounding errors scale with.
    double size() const noexcept { return size_; }

private:
    struct xy {
        double x, y;
    };
    xy lo_x_{}, hi_x_{}, lo_y_{}, hi_y_{};
    double size_ = 0.0;
    long count_ = 0;
};

// r for a chord once the farthest distance of what it holds is known: the
// distance rounded up, plus the rounding of the distance itself and of the
// points the loops compute on the elements, both a few ulp of `size`.
inline double rounded_radius(double farthest, double size) noexcept {
    return farthest * (1.0 + capsule_room) + 32.0 * capsule_eps * size + std::numeric_limits<double>::min();
}

// What rounding may move a computed form of d in the metric (a, b, c), per
// unit of |d|^2, with room to spare.
inline double tile_rounding(double a, double b, double c) noexcept {
    return 64.0 * capsule_eps * (std::fabs(a) + 2.0 * std::fabs(b) + std::fabs(c));
}

// A chord prepared for queries in one metric, whose symmetric part is
// S = [[a, b], [b, c]]: one cache line, as a descent reads one per level.
struct alignas(64) capsule {
    double ax, ay, vx, vy;  // the chord a + v t, t in [0, 1]
    double ux, uy;          // S v / v.S v, so that t = w.u (0, 0 for a chord of one point)
    double reach;           // an upper bound of the chord's radius in the metric, with rounding room
    double keep;            // the relative room left for the loops' rounding
};

// The capsule of `k` in the metric with symmetric part (a, b, c), lowest
// eigenvalue at least `lam` (already lowered for rounding), and absolute
// entry sum `norm` of the metric as the loops apply it.  False where the
// metric is too ill-conditioned for the bound to be worth its margins.
inline bool make_capsule(const chord& k, double a, double b, double c, double lam, double norm,
                         capsule& out) noexcept {
    if (!(lam > 0.0) || !std::isfinite(norm)) return false;
    // A computed form is within a few ulp of norm * |d|^2 <= norm / lam * d2
    // of the exact one, so everything under the bound keeps that much room.
    const double keep = 1.0 - 4.0 * capsule_room - 64.0 * capsule_eps * norm / lam;
    if (!(keep > 0.5)) return false;
    const double vx = k.bx - k.ax, vy = k.by - k.ay;
    const double svx = a * vx + b * vy, svy = b * vx + c * vy;
    const double vsv = vx * svx + vy * svy;
    const bool line = vsv > 0.0 && std::isfinite(vsv);
    const double half = 0.5 * (a - c);
    const double top = 0.5 * (a + c) + std::sqrt(half * half + b * b);
    const double root = std::sqrt(top) * (1.0 + capsule_room);
    const double size = std::max({std::fabs(k.ax), std::fabs(k.ay), std::fabs(vx), std::fabs(vy)});
    // A t rounded, or computed through a rounded u, misses the chord's
    // nearest point by a few ulp of |w| and |v|: d2 moves by a few ulp of
    // the form of both.  The |w| share is taken at query time; the |v|
    // share, as a distance, joins the radius (sqrt(x - y) >= sqrt x - sqrt y).
    const double from_v = std::sqrt(tile_rounding(a, b, c) * (vx * vx + vy * vy)) * (1.0 + capsule_room);
    // The chord's own computed points a + v t stray a few ulp of `size`.
    const double reach = (root * rounded_radius(k.r, size) + from_v) * (1.0 + capsule_room);
    out = {k.ax, k.ay, line ? vx : 0.0, line ? vy : 0.0, line ? svx / vsv : 0.0, line ? svy / vsv : 0.0, reach, keep};
    return std::isfinite(reach) && std::isfinite(out.ux) && std::isfinite(out.uy);
}

// An upper bound of |x - centre| in the metric (a, b, c) over a box of half
// sides hx, hy: the form is convex, so its largest value is at a corner.
inline double tile_radius(double a, double b, double c, double hx, double hy) noexcept {
    if (hx == 0.0 && hy == 0.0) return 0.0;
    return std::sqrt(a * hx * hx + 2.0 * std::fabs(b) * hx * hy + c * hy * hy) * (1.0 + capsule_room);
}

// The form from (cx, cy) to the nearest point of the chord a + v t, less
// what rounding may have added to it: what the bounds below take the root
// of.  T is a double or a vector of them (simd_lanes.hpp).
template <class T>
ORIN_FORCE_INLINE T chord_form(T ax, T ay, T vx, T vy, T ux, T uy, double a, double b, double c, double round,
                               double cx, double cy) noexcept {
    const T wx = cx - ax, wy = cy - ay;
    const T t = clamp_unit(wx * ux + wy * uy);
    const T dx = cx - (ax + vx * t), dy = cy - (ay + vy * t);
    const T d2 = a * dx * dx + 2.0 * b * dx * dy + c * dy * dy;
    return d2 - round * (wx * wx + wy * wy);
}

// A lower bound of the d2 the loops compute, in this metric, between any
// point within metric distance `tile_r` of (cx, cy) and any point within the
// capsule: by the triangle inequality, the distance from the centre to the
// chord less both radii, squared.  `round` is tile_rounding of the metric.
// No rounding of the centre's coordinates enters: w = c - a and c - q are
// single subtractions, off by an ulp of their own (small) size.
// Inlined: a descent computes two a step, and left out of line GCC called
// it, spilling the step's state around every call.
ORIN_FORCE_INLINE double capsule_bound(const capsule& k, double a, double b, double c, double round, double cx,
                                       double cy, double tile_r) noexcept {
    const double near = chord_form(k.ax, k.ay, k.vx, k.vy, k.ux, k.uy, a, b, c, round, cx, cy);
    if (!(near > 0.0)) return 0.0;
    const double s = std::sqrt(near) - (tile_r + k.reach);
    return s > 0.0 ? s * s * k.keep : 0.0;
}

// Four capsules side by side, one metric, about a point: capsule_bound of
// each with tile_r = 0, in pairs of lanes through the same operations.  A
// single point's descent takes four a step, each as likely to win as not,
// so the pairs also spare it their branches.
ORIN_FORCE_INLINE void capsule_bounds4(const double* ax, const double* ay, const double* vx, const double* vy,
                                       const double* ux, const double* uy, const double* reach, double keep,
                                       double a, double b, double c, double round, double cx, double cy,
                                       double* out) noexcept {
    using lanes = simd_lanes<2>;
    for (int k = 0; k < 4; k += 2) {
        const f64x2 near = chord_form(lanes::load(ax + k), lanes::load(ay + k), lanes::load(vx + k),
                                      lanes::load(vy + k), lanes::load(ux + k), lanes::load(uy + k), a, b, c,
                                      round, cx, cy);
        const auto positive = near > 0.0;
        f64x2 root = positive ? near : 0.0;
        for (int i = 0; i < 2; ++i) root[i] = __builtin_sqrt(root[i]);
        // (0 + reach): capsule_bound's tile_r + reach, for the same bits.
        const f64x2 s = root - (0.0 + lanes::load(reach + k));
        const f64x2 bound = (positive & (s > 0.0)) ? s * s * keep : 0.0;
        lanes::store(out + k, bound);
    }
}

}  // namespace orin::scene
