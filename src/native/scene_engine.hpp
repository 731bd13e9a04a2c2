// A compiled obstacle scene: every point centre, boundary segment and polygon
// of a scene, indexed once, and the evaluation of the field over them.
//
// The field at x is exp(-min_e d2_e(x)) over the elements e, each measured
// in its own obstacle's metric; inside a polygon d2 is 0.  Query points are
// taken in small spatially compact blocks.  A block first settles which
// polygons contain its points, then visits the distance elements through a
// bounding-volume hierarchy, nearest lower bound first, and stops as soon as
// no element left can beat the worst best value of the block.  Where a
// block's points lie farther apart than the elements, so that they share
// none, each instead reads the list of its cell in a uniform grid: the few
// elements that can win anywhere in that cell, worked out once.
//
// Nothing here is approximate.  A lower bound skips an element only where the
// element's computed d2 is certainly larger than every point's best, so the
// result is the minimum over all elements, with ties to the lowest key, for
// any blocking and any thread count.  The only cut is the cut-off: elements
// whose d2 is at least `d2_limit` are never considered, and a point that no
// element reaches below it reads 0.
//
// No Python here: the module that binds it hands in plain arrays.
#pragma once

#include <algorithm>
#include <atomic>
#include <exception>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "build_guard.hpp"
#include "capsule_bound.hpp"
#include "field_math.hpp"
#include "isa_dispatch.hpp"
#include "multiversion.hpp"
#include "ring_test.hpp"
#include "strided_view.hpp"

namespace orin::scene {

using f64 = double;
using i32 = std::int32_t;
using i64 = std::int64_t;

enum class projection { euclidean, metric };

inline constexpr int block_size = 64;
inline constexpr i32 no_key = std::numeric_limits<i32>::max();
// Keys and element numbers ride in double lanes beside the distances, so
// that the selection loops are all one width and vectorise; every int32 is
// exact in a double.
inline constexpr f64 no_key_lane = static_cast<f64>(no_key);
inline constexpr f64 f64_eps = std::numeric_limits<f64>::epsilon();

struct box {
    f64 x0, y0, x1, y1;
};

// The smallest box holding both.
inline box merged(const box& a, const box& b) noexcept {
    return {std::min(a.x0, b.x0), std::min(a.y0, b.y0), std::max(a.x1, b.x1), std::max(a.y1, b.y1)};
}

// Lower bounds of a metric's quadratic form: v^T M v >= all * |v|^2,
// >= x * vx^2 and >= y * vy^2 for every v.  For a positive-definite M the
// best such x is 1 / (M^-1)_00 (the form minimised over vy), and likewise y;
// `all` is the smallest eigenvalue.  0 gives no bound.  Where every item
// under the bound shares one metric, `exact` is set and (a, b, c) are its
// symmetric part [[a, b], [b, c]], for the tighter corner bound below.
struct floors {
    f64 all, x, y;
    f64 a = 0.0, b = 0.0, c = 0.0;
    bool exact = false;
};

// Relative room left under every bound for the rounding of the computed
// forms and of the bounds themselves.
inline constexpr f64 bound_margin = 1e-9;

// The bound on d2 between anything in box a and anything in box b.
//
// With gaps gx, gy > 0 every difference v = x - p has |vx| >= gx and
// |vy| >= gy with signs fixed by which side a lies on.  The form is convex,
// so its minimum over that quadrant is at the corner unless its gradient
// there points back into the quadrant along one axis; then it lies on an
// edge, where it is exactly the x or y floor.  Both cannot happen for a
// positive-definite metric.  Inlined, as every descent's inner step needs it.
ORIN_FORCE_INLINE f64 gap_bound(const floors& f, const box& a, const box& b) noexcept {
    const f64 lx = b.x0 - a.x1, rx = a.x0 - b.x1, ly = b.y0 - a.y1, ry = a.y0 - b.y1;
    const f64 dx = std::max({0.0, lx, rx});
    const f64 dy = std::max({0.0, ly, ry});
    const f64 x2 = dx * dx, y2 = dy * dy;
    const f64 floor = std::max({f.all * (x2 + y2), f.x * x2, f.y * y2});
    if (!f.exact || !(dx > 0.0) || !(dy > 0.0)) return floor;
    const f64 sb = (lx > 0.0) == (ly > 0.0) ? f.b : -f.b;
    if (f.a * dx + sb * dy < 0.0 || f.c * dy + sb * dx < 0.0) return floor;
    const f64 corner = f.a * x2 + 2.0 * sb * dx * dy + f.c * y2;
    const f64 scale = f.a * x2 + 2.0 * std::fabs(f.b) * dx * dy + f.c * y2;
    return std::max(floor, corner * (1.0 - bound_margin) - 64.0 * f64_eps * scale);
}

inline bool boxes_overlap(const box& a, const box& b) noexcept {
    return a.x0 <= b.x1 && b.x0 <= a.x1 && a.y0 <= b.y1 && b.y0 <= a.y1;
}

// A 2 x 2 metric with its gradient matrix.
struct metric {
    f64 m00, m01, m10, m11;
    f64 g00, g01, g10, g11;
};

// The floors of a metric, each lowered by a relative margin and by the
// computed form's worst rounding error, so that they bound the form as the
// loops compute it.  A metric whose symmetric part is not positive-definite
// gets none (its elements are then never skipped).
inline floors metric_floors(const metric& m) noexcept {
    const f64 a = m.m00, c = m.m11, b = 0.5 * (m.m01 + m.m10);
    const f64 half = 0.5 * (a - c);
    const f64 lam = 0.5 * (a + c) - std::sqrt(half * half + b * b);
    const f64 det = a * c - b * b;
    const f64 norm = std::fabs(m.m00) + std::fabs(m.m01) + std::fabs(m.m10) + std::fabs(m.m11);
    auto lowered = [&](f64 v) {
        const f64 f = v * (1.0 - bound_margin) - 64.0 * f64_eps * norm;
        return f > 0.0 && std::isfinite(f) ? f : 0.0;
    };
    if (!(lam > 0.0) || !(det > 0.0)) return {0.0, 0.0, 0.0};
    return {lowered(lam), lowered(det / c), lowered(det / a), a, b, c, std::isfinite(a * c + b * b)};
}

// A point centre (v = 0) or a segment [a, a + v], one cache line each: a
// query touches many elements once, so their size is what it waits on.
// The metric, its floors and its gradient matrix live in the scene's metric
// table, shared by all the elements of an obstacle.
struct alignas(64) element {
    f64 ax, ay, vx, vy, vv;
    i32 key;
    i32 owner;
    i32 metric_id;
    i32 is_segment;
};

// The element's box, widened by what the rounding of the computed nearest
// point a + v t may stray from the segment, so that gaps to it stay bounds.
inline box element_box(const element& e) noexcept {
    const f64 slack = 4.0 * f64_eps * (std::max(std::fabs(e.ax), std::fabs(e.ay)) +
                                       std::max(std::fabs(e.vx), std::fabs(e.vy))) +
                      std::numeric_limits<f64>::min();
    const f64 bx = e.ax + e.vx, by = e.ay + e.vy;
    return {std::min(e.ax, bx) - slack, std::min(e.ay, by) - slack, std::max(e.ax, bx) + slack,
            std::max(e.ay, by) + slack};
}

// A bound from above on element e's d2, as the loops compute it, at every
// point of box b.  Either projection's nearest point does at least as well
// as the Euclidean one, the form is at most the metric's largest eigenvalue
// times the squared length, and the Euclidean distance to a segment is
// convex, so over a box it is largest at a corner.  The margins cover the
// rounding of the computed nearest point and form.
inline f64 upper_bound(const element& e, const metric& m, const box& b) noexcept {
    const f64 a = m.m00, c = m.m11, s = 0.5 * (m.m01 + m.m10);
    const f64 half = 0.5 * (a - c);
    const f64 norm = std::fabs(m.m00) + std::fabs(m.m01) + std::fabs(m.m10) + std::fabs(m.m11);
    const f64 lam =
        std::max(0.0, 0.5 * (a + c) + std::sqrt(half * half + s * s)) * (1.0 + 1e-9) + 64.0 * f64_eps * norm;
    f64 far = 0.0;
    for (const f64 x : {b.x0, b.x1}) {
        for (const f64 y : {b.y0, b.y1}) {
            const f64 wx = x - e.ax, wy = y - e.ay;
            const f64 t = e.is_segment ? clamp_unit((wx * e.vx + wy * e.vy) / e.vv) : 0.0;
            const f64 dx = wx - e.vx * t, dy = wy - e.vy * t;
            far = std::max(far, dx * dx + dy * dy);
        }
    }
    const f64 slack = 8.0 * f64_eps *
                          (std::max({std::fabs(b.x0), std::fabs(b.x1), std::fabs(b.y0), std::fabs(b.y1)}) +
                           std::max(std::fabs(e.ax), std::fabs(e.ay)) + std::max(std::fabs(e.vx), std::fabs(e.vy))) +
                      std::numeric_limits<f64>::min();
    const f64 length = std::sqrt(far) * (1.0 + 1e-9) + slack;
    const f64 ub = lam * length * length * (1.0 + 1e-9) + std::numeric_limits<f64>::min();
    return std::isfinite(ub) ? ub : std::numeric_limits<f64>::infinity();
}

// The form S = [[a, s], [s, c]] of p less the point of [q, q + u] nearest to
// it in S (S positive-definite).
inline f64 metric_gap2(f64 px, f64 py, f64 qx, f64 qy, f64 ux, f64 uy, f64 a, f64 s, f64 c) noexcept {
    const f64 wx = px - qx, wy = py - qy;
    const f64 sux = a * ux + s * uy, suy = s * ux + c * uy;
    const f64 usu = ux * sux + uy * suy;
    const f64 t = usu > 0.0 ? clamp_unit((wx * sux + wy * suy) / usu) : 0.0;
    return quadratic_form(wx - ux * t, wy - uy * t, a, s, s, c);
}

// A bound from below on segment e's d2, as the loops compute it, at every
// point of box b: the metric distance between the segment and the box.  A
// box bound gives away a slanted segment's whole box; this does not.  Where
// they do not meet, the distance is from a corner to the segment or from an
// end to an edge (a linear map takes the metric to the Euclidean one, and
// vertices to vertices).  Either projection's candidate lies on the segment,
// to within the rounding that the margins cover; 0 where the metric is too
// ill-conditioned for the margins to hold.
inline f64 segment_box_bound(const element& e, const metric& m, const floors& f, const box& b) noexcept {
    const f64 a = m.m00, c = m.m11, s = 0.5 * (m.m01 + m.m10);
    const f64 half = 0.5 * (a - c);
    const f64 top = 0.5 * (a + c) + std::sqrt(half * half + s * s);
    if (!(f.all > 1e-6 * top) || !std::isfinite(top)) return 0.0;
    const f64 bx = e.ax + e.vx, by = e.ay + e.vy;
    auto holds = [&](f64 x, f64 y) { return x >= b.x0 && x <= b.x1 && y >= b.y0 && y <= b.y1; };
    if (holds(e.ax, e.ay) || holds(bx, by)) return 0.0;
    // They meet unless an axis separates them: x, y, or the segment's normal.
    f64 lo = std::numeric_limits<f64>::infinity(), hi = -lo;
    for (const f64 x : {b.x0, b.x1}) {
        for (const f64 y : {b.y0, b.y1}) {
            const f64 side = (x - e.ax) * e.vy - (y - e.ay) * e.vx;
            lo = std::min(lo, side);
            hi = std::max(hi, side);
        }
    }
    const bool apart = lo > 0.0 || hi < 0.0 || std::max(e.ax, bx) < b.x0 || std::min(e.ax, bx) > b.x1 ||
                       std::max(e.ay, by) < b.y0 || std::min(e.ay, by) > b.y1;
    if (!apart) return 0.0;
    f64 d2 = std::numeric_limits<f64>::infinity();
    for (const f64 x : {b.x0, b.x1}) {
        for (const f64 y : {b.y0, b.y1}) d2 = std::min(d2, metric_gap2(x, y, e.ax, e.ay, e.vx, e.vy, a, s, c));
    }
    const f64 w = b.x1 - b.x0, h = b.y1 - b.y0;
    for (const auto& [px, py] : {std::pair{e.ax, e.ay}, std::pair{bx, by}}) {
        d2 = std::min({d2, metric_gap2(px, py, b.x0, b.y0, w, 0.0, a, s, c),
                       metric_gap2(px, py, b.x0, b.y1, w, 0.0, a, s, c),
                       metric_gap2(px, py, b.x0, b.y0, 0.0, h, a, s, c),
                       metric_gap2(px, py, b.x1, b.y0, 0.0, h, a, s, c)});
    }
    // The computed candidates stray from the segment, and the computed
    // points of the box's edges from the edges, by a few ulp of the
    // coordinates; the forms, here and in the loops, by a few ulp of norm
    // |d|^2, which the conditioning above keeps under 1e-7 of d2.
    const f64 slack = 8.0 * f64_eps *
                          (std::max({std::fabs(b.x0), std::fabs(b.x1), std::fabs(b.y0), std::fabs(b.y1)}) +
                           std::max(std::fabs(e.ax), std::fabs(e.ay)) + std::max(std::fabs(e.vx), std::fabs(e.vy)) +
                           std::max(w, h)) +
                      std::numeric_limits<f64>::min();
    const f64 dist = std::sqrt(std::max(0.0, d2)) * (1.0 - 1e-7) - 4.0 * std::sqrt(top) * slack;
    return dist > 0.0 && std::isfinite(dist) ? dist * dist * (1.0 - 1e-7) : 0.0;
}

// A uniform grid over the scene.  A point's cell is found by rounding, so
// each cell's box is taken a little wider than its share: whatever cell a
// point lands in, that cell's box holds it.
struct cell_grid {
    f64 x0 = 0.0, y0 = 0.0, x1 = -1.0, y1 = -1.0;
    f64 w = 0.0, h = 0.0;    // a cell's sides
    f64 sx = 0.0, sy = 0.0;  // cells per unit length
    f64 slack_x = 0.0, slack_y = 0.0;
    i32 nx = 0, ny = 0;

    void cover(const box& b, i32 cols, i32 rows) noexcept {
        x0 = b.x0;
        y0 = b.y0;
        x1 = b.x1;
        y1 = b.y1;
        nx = cols;
        ny = rows;
        w = (x1 - x0) / nx;
        h = (y1 - y0) / ny;
        sx = w > 0.0 ? nx / (x1 - x0) : 0.0;
        sy = h > 0.0 ? ny / (y1 - y0) : 0.0;
        const f64 tiny = std::numeric_limits<f64>::min();
        slack_x = 1e-6 * w + 16.0 * f64_eps * std::max(std::fabs(x0), std::fabs(x1)) + tiny;
        slack_y = 1e-6 * h + 16.0 * f64_eps * std::max(std::fabs(y0), std::fabs(y1)) + tiny;
    }

    size_t count() const noexcept { return static_cast<size_t>(nx) * static_cast<size_t>(ny); }

    bool holds(f64 x, f64 y) const noexcept { return x >= x0 && x <= x1 && y >= y0 && y <= y1; }
    // For a point the grid holds.
    i32 column(f64 x) const noexcept { return std::min(nx - 1, static_cast<i32>((x - x0) * sx)); }
    i32 row(f64 y) const noexcept { return std::min(ny - 1, static_cast<i32>((y - y0) * sy)); }

    box bounds(i32 c) const noexcept {
        const i32 i = c % nx, j = c / nx;
        return {x0 + i * w - slack_x, y0 + j * h - slack_y, x0 + (i + 1) * w + slack_x, y0 + (j + 1) * h + slack_y};
    }
};

// What a cell's points must consult: its first entry in the scene's list,
// how many areas to test (inside) and how many elements to run, nearest
// first.  `elements` < 0: too many, the tree answers there instead.
struct cell {
    i32 first = 0;
    std::int16_t areas = 0;
    std::int16_t elements = -1;
};

// One element against a run of points: branch-free so that it vectorises
// across points.  Strictly smaller replaces, and an equal value replaces
// only from a lower key; NaN never replaces.  Everything the loop reads
// besides the lanes comes in by value, so no store can alias it.
#define ORIN_SCENE_TAKE(d2)                                                                \
    do {                                                                                   \
        const f64 d2_ = (d2);                                                              \
        const bool better = (d2_ < best[p]) | ((d2_ == best[p]) & (key < best_key[p]));    \
        best[p] = better ? d2_ : best[p];                                                  \
        best_key[p] = better ? key : best_key[p];                                          \
        best_item[p] = better ? item : best_item[p];                                       \
    } while (false)

// Each pass is compiled per instruction set (isa_dispatch.hpp) and the
// compiler vectorises it across the points; the paths differ only in width.
struct point_pass {
    template <isa I>
    static ORIN_FORCE_INLINE void run(const f64* __restrict xs, const f64* __restrict ys, int n, f64* __restrict best,
                                      f64* __restrict best_key, f64* __restrict best_item, f64 key, f64 item, f64 ax,
                                      f64 ay, f64 m00, f64 m01, f64 m10, f64 m11) noexcept {
        for (int p = 0; p < n; ++p) {
            const f64 dx = xs[p] - ax, dy = ys[p] - ay;
            ORIN_SCENE_TAKE(quadratic_form(dx, dy, m00, m01, m10, m11));
        }
    }
};

struct segment_euclidean_pass {
    template <isa I>
    static ORIN_FORCE_INLINE void run(const f64* __restrict xs, const f64* __restrict ys, int n, f64* __restrict best,
                                      f64* __restrict best_key, f64* __restrict best_item, f64 key, f64 item, f64 ax,
                                      f64 ay, f64 vx, f64 vy, f64 vv, f64 m00, f64 m01, f64 m10, f64 m11) noexcept {
        for (int p = 0; p < n; ++p) {
            f64 dx, dy;
            ORIN_SCENE_TAKE(segment_candidate(xs[p], ys[p], ax, ay, vx, vy, vv, m00, m01, m10, m11, dx, dy));
        }
    }
};

// The exact nearest point of a segment in its metric: t minimises
// (w - v t)^T S (w - v t), S the metric's symmetric part, given as
// (svx, svy) = S v and vsv = v.S v.
template <class T>
ORIN_FORCE_INLINE T metric_candidate(T x, T y, f64 ax, f64 ay, f64 vx, f64 vy, f64 svx, f64 svy, f64 vsv, f64 m00,
                                     f64 m01, f64 m10, f64 m11, T& dx, T& dy) noexcept {
    const T wx = x - ax, wy = y - ay;
    const T t = clamp_unit((wx * svx + wy * svy) / vsv);
    dx = x - (ax + vx * t);
    dy = y - (ay + vy * t);
    return quadratic_form(dx, dy, m00, m01, m10, m11);
}

struct segment_metric_pass {
    template <isa I>
    static ORIN_FORCE_INLINE void run(const f64* __restrict xs, const f64* __restrict ys, int n, f64* __restrict best,
                                      f64* __restrict best_key, f64* __restrict best_item, f64 key, f64 item, f64 ax,
                                      f64 ay, f64 vx, f64 vy, f64 svx, f64 svy, f64 vsv, f64 m00, f64 m01, f64 m10,
                                      f64 m11) noexcept {
        for (int p = 0; p < n; ++p) {
            f64 dx, dy;
            ORIN_SCENE_TAKE(
                metric_candidate(xs[p], ys[p], ax, ay, vx, vy, svx, svy, vsv, m00, m01, m10, m11, dx, dy));
        }
    }
};

#undef ORIN_SCENE_TAKE

// A polygon: an outer ring and its holes, by index into the scene's rings.
struct area {
    box b;
    i32 key;
    i32 owner;
    i32 first_ring;
    i32 n_rings;
};

struct ring {
    // The flag and the view share the first cache line: a small ring is
    // tested without reading the rest.
    bool banded = false;
    strided_view<f64, 2> view;
    ring_bands bands;
    // A large ring's grid: most points answered by their cell.  Held apart,
    // so that a scene of small rings keeps them close together.
    std::unique_ptr<ring_cells> cells;

    bool contains(f64 x, f64 y) const noexcept {
        if (cells) {
            const std::uint8_t k = cells->lookup(x, y);
            if (k != ring_cells::crossed) return k != 0;
        }
        return banded ? bands.contains(x, y) != 0 : point_in_ring(x, y, view) != 0;
    }

    // contains() for n <= block_size points, into out.
    void contains_many(const f64* xs, const f64* ys, int n, std::uint8_t* out) const noexcept {
        if (!banded) {
            point_in_ring_block(xs, ys, n, view, out);
            return;
        }
        if (!cells) {
            bands.contains_scattered(xs, ys, n, out);
            return;
        }
        f64 rx[block_size], ry[block_size];
        int where[block_size], m = 0;
        for (int k = 0; k < n; ++k) {
            out[k] = cells->lookup(xs[k], ys[k]);
            rx[m] = xs[k];
            ry[m] = ys[k];
            where[m] = k;
            m += out[k] == ring_cells::crossed ? 1 : 0;
        }
        std::uint8_t rest[block_size];
        bands.contains_scattered(rx, ry, m, rest);
        for (int j = 0; j < m; ++j) out[where[j]] = rest[j];
    }
};

// A bounding-volume hierarchy over boxes, each with the metric floors of its
// item, so that a node bounds its items' d2 from below through gap_bound.
//
// Two cache lines a node, each node on its own pair: a descent waits on
// every line it touches.  The first line holds the links, the key and the
// metric's form, all that a capsule bound about a point reads; the box,
// `exact` and the wide node come second, asked for with the first.
struct alignas(64) bvh_node {
    i32 first;  // leaf: first item; internal: index of the right child
    i32 count;  // leaf: item count (> 0); internal: 0, left child follows
    i32 min_key;  // the lowest key below: what a tie at distance 0 needs
    i32 capsule;  // where the node's items have a capsule, its number; else -1
    floors floor;
    box b;
    i32 wide = -1;  // where a single point's descent takes the level below too, its wide node; else -1
};
static_assert(sizeof(bvh_node) == 128 && offsetof(bvh_node, floor) + offsetof(floors, exact) == 64);

// Two levels of the tree at once, for a single point's descent along a
// finely divided outline: the up to four nodes below a node's children (a
// child that is a leaf stands for itself), their capsules side by side, all
// in one metric.  A binary descent there waits on a line and takes a
// branch at each level; this takes both levels in one step, over five
// lines asked for together.
struct alignas(64) wide_node {
    i32 node[4];     // as single_step has them; node -1: an empty slot
    i32 wide[4];
    i32 min_key[4];
    i32 spare[4];    // to five whole lines
    f64 a, b, c, keep;
    f64 ax[4], ay[4], vx[4], vy[4], ux[4], uy[4], reach[4];
};
static_assert(sizeof(wide_node) == 320);

class bvh {
public:
    static constexpr i32 leaf_items = 4;

    // Orders `order` so that every leaf holds a contiguous run of it.
    // Items next to each other with the same `unit` (an obstacle's few
    // elements) share a leaf where they fit in one: a point near one of a
    // building's walls needs the others too, and a grid drawn leaf by leaf
    // runs each over the box they share, not over one spanning two buildings.
    void build(const std::vector<box>& boxes, const std::vector<floors>& bounds, const std::vector<i32>& keys,
               std::vector<i32>& order, build_guard& guard, const std::vector<i32>* unit = nullptr) {
        nodes_.clear();
        depth_ = 0;
        const auto n = static_cast<i32>(boxes.size());
        order.resize(static_cast<size_t>(n));
        for (i32 i = 0; i < n; ++i) order[static_cast<size_t>(i)] = i;
        if (n == 0) return;
        nodes_.reserve(static_cast<size_t>(2 * (n / leaf_items + 1)));
        split(boxes, bounds, keys, find_runs(boxes, unit), order, 0, n, 0, guard);
    }

    const std::vector<bvh_node>& nodes() const noexcept { return nodes_; }
    // Levels below the root: at most about log2 of the items, as splits halve.
    int depth() const noexcept { return depth_; }
    void attach_capsule(i32 node, i32 capsule) noexcept { nodes_[static_cast<size_t>(node)].capsule = capsule; }
    void attach_wide(i32 node, i32 wide) noexcept { nodes_[static_cast<size_t>(node)].wide = wide; }
    size_t nbytes() const noexcept { return nodes_.capacity() * sizeof(bvh_node); }

    // Calls f(item) for every item of every leaf whose box meets q, until f
    // returns false; false if it did.
    template <class F>
    bool visit(const box& q, std::vector<i32>& stack, F&& f) const {
        return visit_leaves(q, stack, [&](i32 first, i32 count) {
            for (i32 i = first; i < first + count; ++i) {
                if (!f(i)) return false;
            }
            return true;
        });
    }

    // The same a leaf at a time: f(first, count).
    template <class F>
    bool visit_leaves(const box& q, std::vector<i32>& stack, F&& f) const {
        if (nodes_.empty()) return true;
        stack.clear();
        stack.push_back(0);
        while (!stack.empty()) {
            const i32 at = stack.back();
            stack.pop_back();
            const bvh_node& nd = nodes_[static_cast<size_t>(at)];
            if (!boxes_overlap(nd.b, q)) continue;
            if (nd.count == 0) {
                stack.push_back(nd.first);
                stack.push_back(at + 1);
                continue;
            }
            if (!f(nd.first, nd.count)) return false;
        }
        return true;
    }

private:
    std::vector<bvh_node> nodes_;
    int depth_ = 0;

    // The runs of items kept in one leaf, each item split by its run's box;
    // all empty where every item is alone.
    struct runs {
        std::vector<box> at;
        std::vector<i32> first;  // the first item of an item's run
        std::vector<i32> size;   // the items in that run

        i32 size_of(size_t k) const noexcept { return size.empty() ? 1 : size[k]; }
        const box& of(const std::vector<box>& boxes, size_t k) const noexcept { return at.empty() ? boxes[k] : at[k]; }
    };

    static runs find_runs(const std::vector<box>& boxes, const std::vector<i32>* unit) {
        runs r;
        if (!unit) return r;
        const auto n = static_cast<i32>(boxes.size());
        r.first.resize(static_cast<size_t>(n));
        r.size.assign(static_cast<size_t>(n), 1);
        for (i32 i = 0; i < n;) {
            i32 j = i + 1;
            while (j < n && (*unit)[static_cast<size_t>(j)] == (*unit)[static_cast<size_t>(i)]) ++j;
            const bool together = j - i > 1 && j - i <= leaf_items;
            if (!together) {
                for (i32 k = i; k < j; ++k) r.first[static_cast<size_t>(k)] = k;
                i = j;
                continue;
            }
            // The boxes are copied at the first run: a single outline of a
            // million edges has none.
            if (r.at.empty()) r.at = boxes;
            box u = boxes[static_cast<size_t>(i)];
            for (i32 k = i + 1; k < j; ++k) u = merged(u, boxes[static_cast<size_t>(k)]);
            for (i32 k = i; k < j; ++k) {
                r.first[static_cast<size_t>(k)] = i;
                r.size[static_cast<size_t>(k)] = j - i;
                r.at[static_cast<size_t>(k)] = u;
            }
            i = j;
        }
        if (r.at.empty()) r = runs{};
        return r;
    }

    i32 split(const std::vector<box>& boxes, const std::vector<floors>& bounds, const std::vector<i32>& keys,
              const runs& r, std::vector<i32>& order, i32 lo, i32 hi, int level, build_guard& guard) {
        guard.step();
        depth_ = std::max(depth_, level);
        const auto at = static_cast<i32>(nodes_.size());
        nodes_.push_back({});
        box b{std::numeric_limits<f64>::infinity(), std::numeric_limits<f64>::infinity(),
              -std::numeric_limits<f64>::infinity(), -std::numeric_limits<f64>::infinity()};
        box c = b;  // bounds of the centres
        const f64 inf = std::numeric_limits<f64>::infinity();
        floors floor{inf, inf, inf, 0.0, 0.0, 0.0, true};
        bool first = true;
        i32 min_key = std::numeric_limits<i32>::max();
        for (i32 i = lo; i < hi; ++i) {
            const i32 k = order[static_cast<size_t>(i)];
            const box& e = r.of(boxes, static_cast<size_t>(k));
            b = merged(b, boxes[static_cast<size_t>(k)]);
            const f64 mx = 0.5 * (e.x0 + e.x1), my = 0.5 * (e.y0 + e.y1);
            c = {std::min(c.x0, mx), std::min(c.y0, my), std::max(c.x1, mx), std::max(c.y1, my)};
            const floors& f = bounds[static_cast<size_t>(k)];
            const bool same = first || (f.a == floor.a && f.b == floor.b && f.c == floor.c);
            floor = {std::min(floor.all, f.all), std::min(floor.x, f.x), std::min(floor.y, f.y), f.a, f.b, f.c,
                     floor.exact && f.exact && same};
            first = false;
            min_key = std::min(min_key, keys[static_cast<size_t>(k)]);
        }
        if (hi - lo <= leaf_items) {
            nodes_[static_cast<size_t>(at)] = {lo, hi - lo, min_key, -1, floor, b};
            return at;
        }
        const bool along_x = (c.x1 - c.x0) >= (c.y1 - c.y0);
        auto centre = [&](i32 k) {
            const box& e = r.of(boxes, static_cast<size_t>(k));
            return along_x ? e.x0 + e.x1 : e.y0 + e.y1;
        };
        // Ties go by number, so that a run's items, alike in centre and
        // numbered in a row, come out next to each other.
        auto before = [&](i32 p, i32 q) {
            const f64 a = centre(p), b = centre(q);
            return a < b || (a == b && p < q);
        };
        const auto from = order.begin() + lo, to = order.begin() + hi;
        i32 mid = lo + (hi - lo) / 2;
        std::nth_element(from, order.begin() + mid, to, before);
        // Cut at the nearer end of the run the middle falls in.  The run is
        // smaller than the node, so one of its ends lies inside it.
        const auto k = static_cast<size_t>(order[static_cast<size_t>(mid)]);
        if (r.size_of(k) > 1) {
            i32 ahead = 0;
            for (i32 i = lo; i < mid; ++i) {
                ahead += r.first[static_cast<size_t>(order[static_cast<size_t>(i)])] == r.first[k] ? 1 : 0;
            }
            const i32 start = mid - ahead, end = start + r.size[k];
            const i32 cut = start > lo && (end >= hi || mid - start <= end - mid) ? start : end;
            if (cut != mid) {
                mid = cut;
                std::nth_element(from, order.begin() + mid, to, before);
            }
        }
        split(boxes, bounds, keys, r, order, lo, mid, level + 1, guard);
        const i32 right = split(boxes, bounds, keys, r, order, mid, hi, level + 1, guard);
        nodes_[static_cast<size_t>(at)] = {right, 0, min_key, -1, floor, b};
        return at;
    }
};

// A tree laid out for a forward scan, node by node in the order of a bvh's
// (each parent before its children), with boxes of its own choosing for the
// leaves.  A band of grid rows meets leaves all over the tree: this visits
// them with no stack, reading nodes of 48 bytes (not 128) in ascending order of
// memory, and a subtree that misses is passed over in one jump.
class scan_tree {
public:
    // leaf_box(first, count): the box a leaf of t is to be met by; an inner
    // node's is the union of its children's.  leaf_tag(first, count): a
    // number the visit hands on with the leaf.
    template <class LeafBox, class LeafTag>
    void build(const bvh& t, LeafBox&& leaf_box, LeafTag&& leaf_tag) {
        const std::vector<bvh_node>& from = t.nodes();
        nodes_.resize(from.size());
        for (size_t i = from.size(); i-- > 0;) {
            const bvh_node& nd = from[i];
            node& to = nodes_[i];
            if (nd.count > 0) {
                to = {leaf_box(nd.first, nd.count), static_cast<i32>(i + 1), nd.first, nd.count,
                      leaf_tag(nd.first, nd.count)};
                continue;
            }
            const node& l = nodes_[i + 1];
            const node& r = nodes_[static_cast<size_t>(nd.first)];
            to = {merged(l.b, r.b), r.skip, 0, 0, -1};
        }
    }

    size_t nbytes() const noexcept { return nodes_.capacity() * sizeof(node); }

    // Calls f(first, count, leaf box, tag) for every leaf whose box meets q,
    // in the order of memory, until f returns false; false if it did.
    template <class F>
    bool visit(const box& q, F&& f) const {
        const auto n = static_cast<i32>(nodes_.size());
        for (i32 i = 0; i < n;) {
            const node& nd = nodes_[static_cast<size_t>(i)];
            if (!boxes_overlap(nd.b, q)) {
                i = nd.skip;
                continue;
            }
            if (nd.count > 0 && !f(nd.first, nd.count, nd.b, nd.tag)) return false;
            ++i;
        }
        return true;
    }

private:
    struct node {
        box b;
        i32 skip;  // the first node past this one's subtree
        i32 first, count;  // a leaf's items; count 0 for an inner node
        i32 tag;           // in what would be padding
    };
    static_assert(sizeof(node) == 48);
    std::vector<node> nodes_;
};

// Which outputs a query fills.
struct outputs {
    f64* value = nullptr;       // (N,)
    f64* gradient = nullptr;    // (N, 2)
    i64* owner = nullptr;       // (N,)
    f64* nearest = nullptr;     // (N, 2)
};

// One block of query points and its running minimum.
struct block {
    int count = 0;
    f64 xs[block_size], ys[block_size];
    i64 index[block_size];  // where each point's results go
    f64 best[block_size];
    f64 best_key[block_size];
    f64 best_item[block_size];  // >= 0: element; <= -2: area -2 - a; -1: none
};

// A node a single point's descent has still to take: a leaf as its items,
// read without the node.
struct single_step {
    f64 bound;
    i32 at;    // the node; for a leaf, its first item
    i32 wide;  // >= 0: the node's wide node; -1: none; <= -2: a leaf of -2 - wide items
    i32 min_key;
};

// Per-thread scratch for the traversal.
struct scratch {
    std::vector<std::pair<f64, i32>> heap;  // the traversal's stack of (bound, node)
    std::vector<single_step> lane_stacks;   // the single descents' stacks
    std::vector<i32> stack;
    int singles[block_size];  // points of the block left to descend alone
    int n_singles = 0;
};

class grid_raster;

class compiled_scene {
    friend class grid_raster;

public:
    // The scene's parts, already validated by the caller: every index in
    // range, every coordinate finite.
    struct parts {
        std::vector<element> elements;
        std::vector<metric> metrics;
        std::vector<f64> ring_xy;        // (V, 2) row-major
        std::vector<i64> ring_start;     // (rings + 1)
        std::vector<area> areas;
    };

    // Throws build_stopped where `guard` stops the build.
    compiled_scene(parts&& p, f64 cutoff, projection proj, std::ptrdiff_t max_bands, bool capsules, bool cells,
                   build_guard& guard)
        : metrics_(std::move(p.metrics)), ring_xy_(std::move(p.ring_xy)), proj_(proj), use_capsules_(capsules) {
        // Anything with a value of at least `cutoff` has d2 <= -ln(cutoff);
        // the limit sits a little above, so rounding there cannot drop it.
        d2_limit_ = cutoff > 0.0 ? -std::log(cutoff) * (1.0 + 1e-9) + 1e-300
                                 : std::numeric_limits<f64>::infinity();
        build_elements(std::move(p.elements), guard);
        build_areas(std::move(p.areas), guard);
        build_rings(order_rings(p.ring_start), max_bands, guard);
        build_scans(guard);
        if (cells) build_cells(guard);
    }


    size_t nbytes() const noexcept {
        size_t total = elements_.capacity() * sizeof(element) + metric_floors_.capacity() * sizeof(floors) +
                       metric_reach_.capacity() * sizeof(std::pair<f64, f64>) +
                       metrics_.capacity() * sizeof(metric) +
                       ring_xy_.capacity() * sizeof(f64) + rings_.capacity() * sizeof(ring) +
                       areas_.capacity() * sizeof(area) + element_tree_.nbytes() + area_tree_.nbytes() +
                       capsules_.capacity() * sizeof(capsule) + cells_.capacity() * sizeof(cell) +
                       cell_items_.capacity() * sizeof(i32) + element_scan_.nbytes() + area_scan_.nbytes() +
                       wide_.capacity() * sizeof(wide_node) + outlines_.capacity() * sizeof(outline) +
                       outline_edges_.capacity() * sizeof(outline_edges) + outlined_.capacity();
        for (const ring& r : rings_) total += r.bands.nbytes() + (r.cells ? sizeof(ring_cells) + r.cells->nbytes() : 0);
        return total;
    }

    size_t element_count() const noexcept { return elements_.size(); }
    size_t area_count() const noexcept { return areas_.size(); }
    size_t capsule_count() const noexcept { return capsule_count_; }
    size_t outline_count() const noexcept { return outlines_.size(); }
    size_t cell_count() const noexcept { return cells_.size(); }

    // The typical width of the region an element can reach below the
    // cut-off: blocks of query points are kept about this size, so that
    // their points share most of their candidates.  Infinite without a
    // cut-off or without elements.
    f64 reach() const noexcept { return reach_; }

    // The side of the square each element would have if they shared the
    // scene's box evenly: the distance at which query points stop sharing
    // their nearest elements.  Infinite without elements or area.
    f64 spacing() const noexcept { return spacing_; }

    // The minimum over every element for each point of the block; the
    // block's points must be finite.
    void evaluate(block& blk, scratch& s) const noexcept {
        const int n = blk.count;
        if (n == 0) return;
        for (int p = 0; p < n; ++p) {
            blk.best[p] = d2_limit_;
            blk.best_key[p] = no_key_lane;
            blk.best_item[p] = -1.0;
        }
        if (cells_.empty()) {
            settle_tree(blk, 0, n, s);
            return;
        }
        // Many points a cell: the trees, pruning with every point's own
        // best, do better than the lists.  Outside the grid, the trees too.
        const box tile = extent(blk, 0, n);
        if (!grid_.holds(tile.x0, tile.y0) || !grid_.holds(tile.x1, tile.y1)) {
            settle_tree(blk, 0, n, s);
            return;
        }
        const i32 c0 = grid_.column(tile.x0), r0 = grid_.row(tile.y0);
        const i32 cols = grid_.column(tile.x1) - c0 + 1, rows = grid_.row(tile.y1) - r0 + 1;
        if (static_cast<i64>(cols) * rows * dense_cells <= n) {
            settle_tree(blk, 0, n, s);
            return;
        }
        // Otherwise point by point through their cell's list, cell by cell;
        // in a cell too crowded to list, through the trees.
        i32 at[block_size], local[block_size];
        for (int p = 0; p < n; ++p) {
            const i32 i = grid_.column(blk.xs[p]), j = grid_.row(blk.ys[p]);
            const i32 c = j * grid_.nx + i;
            // The tree's points go first, together, so that they share its
            // descents as they would without the grid.
            at[p] = cells_[static_cast<size_t>(c)].elements >= 0 ? c : -1;
            const i64 place = static_cast<i64>(j - r0) * cols + (i - c0);
            local[p] = at[p] < 0 ? 0 : 1 + static_cast<i32>(std::min<i64>(place, spread_cells - 1));
        }
        group(blk, at, local);
        int starts[block_size + 1], runs = 0;
        for (int p = 0; p < n; ++p) {
            if (p == 0 || local[p] != local[p - 1] || at[p] != at[p - 1]) starts[runs++] = p;
        }
        starts[runs] = n;
        // Over a large scene each cell's entries wait on memory.  Every
        // run's list is asked for now, what a list names two runs ahead,
        // and the rings and metrics hanging off that one run ahead.
        auto listed = [&](int r) -> const cell* {
            return r < runs && at[starts[r]] >= 0 ? &cells_[static_cast<size_t>(at[starts[r]])] : nullptr;
        };
        for (int r = 0; r < runs; ++r) {
            if (const cell* ce = listed(r)) __builtin_prefetch(cell_items_.data() + ce->first);
        }
        for (int r = 0; r < 2; ++r) {
            if (const cell* ce = listed(r)) prefetch_cell(*ce);
        }
        for (int r = 0; r < runs; ++r) {
            if (const cell* ce = listed(r + 2)) prefetch_cell(*ce);
            if (const cell* ce = listed(r + 1)) prefetch_hanging(*ce);
            if (const cell* ce = listed(r)) {
                settle_cell(*ce, blk, starts[r], starts[r + 1]);
            } else {
                settle_tree(blk, starts[r], starts[r + 1], s);
            }
        }
    }

    // Writes the requested outputs of point p of the block.
    void finish(const block& blk, int p, const outputs& out) const noexcept {
        const i64 at = blk.index[p];
        const auto item = static_cast<i32>(blk.best_item[p]);
        const f64 x = blk.xs[p], y = blk.ys[p];
        const f64 f = item == -1 ? 0.0 : std::exp(-blk.best[p]);
        if (out.value) out.value[at] = f;
        if (!out.gradient && !out.owner && !out.nearest) return;
        f64 dx = 0.0, dy = 0.0, gx = 0.0, gy = 0.0;
        i64 owner = -1;
        if (item >= 0) {
            const element& e = elements_[static_cast<size_t>(item)];
            owner = e.owner;
            const bool interior = repulsion(e, x, y, dx, dy);
            const metric& m = metrics_[static_cast<size_t>(e.metric_id)];
            gx = m.g00 * dx + m.g01 * dy;
            gy = m.g10 * dx + m.g11 * dy;
            if (interior) {
                // The Euclidean projection slides along the segment as x
                // moves: d(d)/dx = I - u u^T, u the segment's direction.
                const f64 along = (e.vx * gx + e.vy * gy) / e.vv;
                gx -= e.vx * along;
                gy -= e.vy * along;
            }
            gx *= -f;
            gy *= -f;
        } else if (item <= -2) {
            owner = areas_[static_cast<size_t>(-2 - item)].owner;
        }
        if (out.gradient) {
            out.gradient[2 * at] = gx;
            out.gradient[2 * at + 1] = gy;
        }
        if (out.owner) out.owner[at] = owner;
        if (out.nearest) {
            const f64 nan = std::numeric_limits<f64>::quiet_NaN();
            out.nearest[2 * at] = owner < 0 ? nan : x - dx;
            out.nearest[2 * at + 1] = owner < 0 ? nan : y - dy;
        }
    }

    // Results for a point with a non-finite coordinate: NaN where one is NaN,
    // otherwise infinitely far from every obstacle.
    static void finish_nonfinite(i64 at, f64 x, f64 y, const outputs& out) noexcept {
        const f64 nan = std::numeric_limits<f64>::quiet_NaN();
        const bool is_nan = std::isnan(x) || std::isnan(y);
        if (out.value) out.value[at] = is_nan ? nan : 0.0;
        if (out.gradient) out.gradient[2 * at] = out.gradient[2 * at + 1] = is_nan ? nan : 0.0;
        if (out.owner) out.owner[at] = -1;
        if (out.nearest) out.nearest[2 * at] = out.nearest[2 * at + 1] = nan;
    }

private:
    std::vector<element> elements_;
    std::vector<floors> metric_floors_;  // by metric_id
    // By metric_id: how far along x and along y a point may lie from an
    // element and still have its d2 under the limit; infinite where no
    // floor bounds it.
    std::vector<std::pair<f64, f64>> metric_reach_;
    std::pair<f64, f64> raster_reach_{0.0, 0.0};  // the largest element_reach
    std::vector<metric> metrics_;
    std::vector<f64> ring_xy_;
    std::vector<ring> rings_;
    std::vector<area> areas_;
    bvh element_tree_, area_tree_;
    // The trees again for drawing a grid: an element leaf met by the box of
    // every point within reach of its elements, an area by its own box.
    scan_tree element_scan_, area_scan_;
    // A building drawn from far off reaches a few samples a row, and its
    // walls' leaf meets every sample its polygon holds: there the walls'
    // block tests the polygon too, from a copy of its one ring's edges kept
    // in the leaves' order, and the polygon is left out of area_scan_.
    struct outline {
        box b;  // its area's
        i32 area;
        i32 first, count;  // its edges: outline_edges_[first, first + count)
    };
    // Four edges that may straddle a row, as the ring test has them: from
    // (xj, yj) to (xi, yi), ex = xj - xi and ey = yj - yi.  Unused lanes have
    // NaN heights, which straddle nothing.
    struct alignas(32) outline_edges {
        f64 yi[4], yj[4], xi[4], ex[4], ey[4];
    };
    static constexpr i32 outline_chunks = 4;
    std::vector<outline> outlines_;  // tagged to element_scan_'s leaves
    std::vector<outline_edges> outline_edges_;
    // By area: whether an outline tests it, or it was found unfit for one.
    enum : std::uint8_t { area_open = 0, area_outlined = 1, area_refused = 2 };
    std::vector<std::uint8_t> outlined_;
    std::vector<capsule> capsules_;  // by element_tree_ node, where any node has one
    std::vector<wide_node> wide_;
    size_t capsule_count_ = 0;
    f64 d2_limit_ = 0.0;
    f64 reach_ = std::numeric_limits<f64>::infinity();
    f64 spacing_ = std::numeric_limits<f64>::infinity();
    f64 grain_ = std::numeric_limits<f64>::infinity();  // the median leaf's longer side
    cell_grid grid_;
    std::vector<cell> cells_;      // by grid cell; empty without a grid
    std::vector<i32> cell_items_;  // each cell's areas, then its elements
    projection proj_;
    bool use_capsules_;

    void build_elements(std::vector<element>&& elements, build_guard& guard) {
        metric_floors_.resize(metrics_.size());
        for (size_t m = 0; m < metrics_.size(); ++m) metric_floors_[m] = metric_floors(metrics_[m]);
        // d2 >= x vx^2 and >= y vy^2, so d2 < limit needs |vx| < sqrt(limit / x).
        auto far = [&](f64 floor) {
            const f64 r = std::sqrt(d2_limit_ / floor) * (1.0 + 1e-9);
            return floor > 0.0 && std::isfinite(r) ? r : std::numeric_limits<f64>::infinity();
        };
        metric_reach_.resize(metrics_.size());
        for (size_t m = 0; m < metrics_.size(); ++m) {
            metric_reach_[m] = {far(metric_floors_[m].x), far(metric_floors_[m].y)};
        }
        std::vector<floors> bounds(elements.size());
        std::vector<box> boxes(elements.size());
        std::vector<i32> order, keys(elements.size()), owners(elements.size());
        for (size_t i = 0; i < elements.size(); ++i) {
            bounds[i] = metric_floors_[static_cast<size_t>(elements[i].metric_id)];
            boxes[i] = element_box(elements[i]);
            keys[i] = elements[i].key;
            owners[i] = elements[i].owner;
        }
        element_tree_.build(boxes, bounds, keys, order, guard, &owners);
        elements_.resize(elements.size());
        for (size_t i = 0; i < order.size(); ++i) elements_[i] = elements[static_cast<size_t>(order[i])];
        order_metrics();
        if (use_capsules_) build_capsules(guard);
        if (!capsules_.empty()) {
            build_wide(0);
            wide_.shrink_to_fit();
        }
        for (const element& e : elements_) {
            const auto [rx, ry] = element_reach(e);
            raster_reach_ = {std::max(raster_reach_.first, rx), std::max(raster_reach_.second, ry)};
        }
        std::vector<f64> widths;
        widths.reserve(elements_.size());
        for (const element& e : elements_) {
            const floors& f = metric_floors_[static_cast<size_t>(e.metric_id)];
            const box b = element_box(e);
            const f64 w = std::min(b.x1 - b.x0 + 2.0 * std::sqrt(d2_limit_ / f.x),
                                   b.y1 - b.y0 + 2.0 * std::sqrt(d2_limit_ / f.y));
            if (std::isfinite(w)) widths.push_back(w);
        }
        if (!widths.empty() && widths.size() * 2 >= elements_.size()) {
            std::nth_element(widths.begin(), widths.begin() + widths.size() / 2, widths.end());
            reach_ = widths[widths.size() / 2];
        }
        std::vector<f64> leaves;
        for (const bvh_node& nd : element_tree_.nodes()) {
            if (nd.count > 0) leaves.push_back(std::max(nd.b.x1 - nd.b.x0, nd.b.y1 - nd.b.y0));
        }
        if (!leaves.empty()) {
            std::nth_element(leaves.begin(), leaves.begin() + leaves.size() / 2, leaves.end());
            // A leaf of coincident elements has no extent: no scale to compare with.
            if (leaves[leaves.size() / 2] > 0.0) grain_ = leaves[leaves.size() / 2];
        }
        if (!element_tree_.nodes().empty()) {
            const box& all = element_tree_.nodes()[0].b;
            const f64 area = (all.x1 - all.x0) * (all.y1 - all.y0);
            if (area > 0.0 && std::isfinite(area)) spacing_ = std::sqrt(area / static_cast<f64>(elements_.size()));
        }
    }

    // A capsule is kept where its radius is at most this share of its box's
    // longer side: elsewhere (a building's four walls, a closed ring) the box
    // bound is about as tight, and the capsule would only cost time.
    static constexpr f64 capsule_share = 0.125;

    // Obstacles come in any order, but a query reads neighbours together:
    // metrics are numbered in the order the element tree meets them, and
    // rings stored in the order of the area tree, so that neighbours share
    // cache lines and pages.  No result changes.
    void order_metrics() {
        std::vector<i32> renumber(metrics_.size(), -1);
        i32 next = 0;
        for (element& e : elements_) {
            i32& to = renumber[static_cast<size_t>(e.metric_id)];
            if (to < 0) to = next++;
            e.metric_id = to;
        }
        for (i32& to : renumber) {
            if (to < 0) to = next++;
        }
        auto permute = [&](auto& table) {
            auto old = table;
            for (size_t m = 0; m < renumber.size(); ++m) table[static_cast<size_t>(renumber[m])] = old[m];
        };
        permute(metrics_);
        permute(metric_floors_);
        permute(metric_reach_);
    }

    // Moves ring_xy_ into area order and returns the rings' new starts.  Only
    // where every ring belongs to exactly one polygon (as compiled scenes'
    // do): shared rings would be copied once for each.
    std::vector<i64> order_rings(const std::vector<i64>& start) {
        const size_t n = start.empty() ? 0 : start.size() - 1;
        std::vector<std::uint8_t> uses(n, 0);
        for (const area& a : areas_) {
            for (i32 h = 0; h < a.n_rings; ++h) {
                std::uint8_t& u = uses[static_cast<size_t>(a.first_ring + h)];
                if (u++ > 0) return start;
            }
        }
        if (std::find(uses.begin(), uses.end(), 0) != uses.end()) return start;
        std::vector<f64> xy;
        xy.reserve(ring_xy_.size());
        std::vector<i64> moved{0};
        moved.reserve(n + 1);
        for (area& a : areas_) {
            const auto first = static_cast<i32>(moved.size() - 1);
            for (i32 h = 0; h < a.n_rings; ++h) {
                const auto r = static_cast<size_t>(a.first_ring + h);
                xy.insert(xy.end(), ring_xy_.begin() + 2 * start[r], ring_xy_.begin() + 2 * start[r + 1]);
                moved.push_back(static_cast<i64>(xy.size() / 2));
            }
            a.first_ring = first;
        }
        ring_xy_ = std::move(xy);
        return moved;
    }

    // How far from e's box, along x and along y, a point may lie and still
    // have its computed d2 under the limit: the metric's reach, and room for
    // the computed nearest point straying from the segment.
    std::pair<f64, f64> element_reach(const element& e) const noexcept {
        const auto [rx, ry] = metric_reach_[static_cast<size_t>(e.metric_id)];
        const f64 t =
            rounding_room(std::max(std::fabs(e.ax), std::fabs(e.ay)) + std::max(std::fabs(e.vx), std::fabs(e.vy)));
        return {rx + t, ry + t};
    }

    // Room for the rounding of a few operations on values of magnitude m.
    static f64 rounding_room(f64 m) noexcept { return 16.0 * f64_eps * m + std::numeric_limits<f64>::min(); }

    static f64 metric_norm(const metric& m) noexcept {
        return std::fabs(m.m00) + std::fabs(m.m01) + std::fabs(m.m10) + std::fabs(m.m11);
    }

    // Bottom-up: a leaf's chord from its elements' ends, a parent's from its
    // children's chords.  The distance to a segment is convex, so a child's
    // chord lies within the larger of its ends' distances to the parent's,
    // and the child's elements within that plus the child's radius.
    void build_capsules(build_guard& guard) {
        const auto& nodes = element_tree_.nodes();
        std::vector<chord> fits(nodes.size());
        std::vector<f64> norms(nodes.size());
        std::vector<i32> made(nodes.size(), -1);
        std::vector<capsule> found;
        for (size_t at = nodes.size(); at-- > 0;) {
            guard.step();
            const bvh_node& nd = nodes[at];
            chord_fit fit;
            f64 far = 0.0, norm = 0.0;
            chord k;
            if (nd.count > 0) {
                for (i32 i = nd.first; i < nd.first + nd.count; ++i) {
                    const element& e = elements_[static_cast<size_t>(i)];
                    fit.add_end(e.ax, e.ay);
                    fit.add_end(e.ax + e.vx, e.ay + e.vy);
                    norm = std::max(norm, metric_norm(metrics_[static_cast<size_t>(e.metric_id)]));
                }
                k = fit.line();
                for (i32 i = nd.first; i < nd.first + nd.count; ++i) {
                    const element& e = elements_[static_cast<size_t>(i)];
                    far = std::max({far, chord_distance(e.ax, e.ay, k), chord_distance(e.ax + e.vx, e.ay + e.vy, k)});
                }
            } else {
                const chord &l = fits[at + 1], &r = fits[static_cast<size_t>(nd.first)];
                fit.add_end(l.ax, l.ay);
                fit.add_end(l.bx, l.by);
                fit.add_end(r.ax, r.ay);
                fit.add_end(r.bx, r.by);
                k = fit.line();
                far = std::max(l.r + std::max(chord_distance(l.ax, l.ay, k), chord_distance(l.bx, l.by, k)),
                               r.r + std::max(chord_distance(r.ax, r.ay, k), chord_distance(r.bx, r.by, k)));
                norm = std::max(norms[at + 1], norms[static_cast<size_t>(nd.first)]);
            }
            k.r = rounded_radius(far, fit.size());
            fits[at] = k;
            norms[at] = norm;
            const floors& f = nd.floor;
            const f64 side = std::max(nd.b.x1 - nd.b.x0, nd.b.y1 - nd.b.y0);
            capsule c;
            if (!f.exact || !(k.r <= capsule_share * side) || !make_capsule(k, f.a, f.b, f.c, f.all, norm, c)) continue;
            made[at] = static_cast<i32>(found.size());
            found.push_back(c);
        }
        // Filed by node number, so that a descent can ask for the next
        // level's capsules before it has read the nodes that name them.
        capsules_.clear();
        capsule_count_ = found.size();
        if (found.empty()) return;
        capsules_.assign(nodes.size(), capsule{});
        for (size_t at = 0; at < nodes.size(); ++at) {
            if (made[at] < 0) continue;
            element_tree_.attach_capsule(static_cast<i32>(at), static_cast<i32>(at));
            capsules_[at] = found[static_cast<size_t>(made[at])];
        }
    }

    // Wide nodes for the subtree at `at`, reached by a single point's
    // descent in binary steps: where every node two levels down has a
    // capsule in one metric, with one rounding room (`keep`), `at` gets a
    // wide node and its slots go on from there; elsewhere its children go
    // on alone.  Returns at's wide node.
    i32 build_wide(i32 at) {
        const bvh_node& nd = element_tree_.nodes()[static_cast<size_t>(at)];
        if (nd.count != 0) return -1;
        i32 slot[4], n = 0;
        for (const i32 child : {at + 1, nd.first}) {
            const bvh_node& ch = element_tree_.nodes()[static_cast<size_t>(child)];
            if (ch.count != 0) {
                slot[n++] = child;
            } else {
                slot[n++] = child + 1;
                slot[n++] = ch.first;
            }
        }
        const bvh_node& s0 = element_tree_.nodes()[static_cast<size_t>(slot[0])];
        const capsule* k0 = s0.capsule >= 0 ? &capsules_[static_cast<size_t>(slot[0])] : nullptr;
        bool alike = true;
        for (i32 k = 0; k < n && alike; ++k) {
            const bvh_node& sn = element_tree_.nodes()[static_cast<size_t>(slot[k])];
            alike = k0 && sn.capsule >= 0 && sn.floor.a == s0.floor.a && sn.floor.b == s0.floor.b &&
                    sn.floor.c == s0.floor.c && capsules_[static_cast<size_t>(slot[k])].keep == k0->keep;
        }
        if (!alike) {
            build_wide(at + 1);
            build_wide(nd.first);
            return -1;
        }
        const auto w = static_cast<i32>(wide_.size());
        wide_.emplace_back();
        element_tree_.attach_wide(at, w);
        const f64 a = s0.floor.a, b = s0.floor.b, c = s0.floor.c;
        wide_node out{};
        out.a = a;
        out.b = b;
        out.c = c;
        out.keep = k0->keep;
        for (i32 k = 0; k < 4; ++k) {
            out.node[k] = -1;
            out.wide[k] = -1;
        }
        for (i32 k = 0; k < n; ++k) {
            const bvh_node& sn = element_tree_.nodes()[static_cast<size_t>(slot[k])];
            const capsule& cap = capsules_[static_cast<size_t>(slot[k])];
            out.node[k] = sn.count != 0 ? sn.first : slot[k];
            out.min_key[k] = sn.min_key;
            out.ax[k] = cap.ax;
            out.ay[k] = cap.ay;
            out.vx[k] = cap.vx;
            out.vy[k] = cap.vy;
            out.ux[k] = cap.ux;
            out.uy[k] = cap.uy;
            out.reach[k] = cap.reach;
        }
        for (i32 k = 0; k < n; ++k) {
            const bvh_node& sn = element_tree_.nodes()[static_cast<size_t>(slot[k])];
            out.wide[k] = sn.count != 0 ? -2 - sn.count : build_wide(slot[k]);
        }
        wide_[static_cast<size_t>(w)] = out;
        return w;
    }

    // Entries a cell may list before it is left to the trees: past that,
    // near a finely divided outline, the tree's pruning per point does better.
    static constexpr int cell_capacity = 24;
    // Cells per element, and at most this many in all.
    static constexpr f64 cells_per_element = 4.0;
    static constexpr f64 max_cells = 1048576.0;

    // A grid over the scene, widened by half the elements' typical reach,
    // with about four cells an element.  Each cell lists the areas whose box
    // meets it and every element that can still win somewhere in it: an
    // element is left out only where its lower bound over the cell is above
    // another listed element's upper bound over the whole cell, or above the
    // cut-off, so that it cannot win at any point of the cell.  Cells along
    // a finely divided outline are left to the tree: its capsules tell apart
    // what a list would have to run one by one.
    void build_cells(build_guard& guard) {
        const f64 inf = std::numeric_limits<f64>::infinity();
        box all{inf, inf, -inf, -inf};
        for (const bvh* t : {&element_tree_, &area_tree_}) {
            if (t->nodes().empty()) continue;
            const box& b = t->nodes()[0].b;
            all = merged(all, b);
        }
        const f64 widen = std::isfinite(reach_) ? 0.5 * reach_ : 0.0;
        all = {all.x0 - widen, all.y0 - widen, all.x1 + widen, all.y1 + widen};
        const f64 wide = all.x1 - all.x0, high = all.y1 - all.y0;
        if (!(std::isfinite(wide) && std::isfinite(high) && wide >= 0.0 && high >= 0.0)) return;
        const f64 target = std::clamp(
            cells_per_element * static_cast<f64>(elements_.size()) + static_cast<f64>(areas_.size()), 1.0, max_cells);
        f64 side = std::sqrt(wide * high / target);
        if (!(side > 0.0)) side = std::max(wide, high) / target;
        auto along = [&](f64 length) {
            return side > 0.0 ? static_cast<i32>(std::clamp(std::ceil(length / side), 1.0, target)) : 1;
        };
        i32 cols = along(wide), rows = along(high);
        // A box too thin for its area to be rounded to: keep the count near the target.
        while (static_cast<f64>(cols) * rows > 4.0 * target) {
            i32& more = cols > rows ? cols : rows;
            more = std::max(1, more / 2);
        }
        grid_.cover(all, cols, rows);
        cells_.assign(grid_.count(), cell{});
        // Elements under a leaf with a capsule lie along a finely divided outline.
        std::vector<char> fine(elements_.size(), 0);
        for (const bvh_node& nd : element_tree_.nodes()) {
            if (nd.count > 0 && nd.capsule >= 0) std::fill_n(fine.begin() + nd.first, nd.count, 1);
        }
        // Each cell's list depends on that cell alone: ranges of cells are
        // listed side by side on every core, then joined in order.
        const size_t parts = std::min<size_t>(cells_.size(), 64);
        std::vector<std::vector<i32>> items(parts);
        std::atomic<size_t> next{0};
        auto work = [&]() {
            std::vector<std::pair<f64, i32>> stack(static_cast<size_t>(element_tree_.depth()) + 2), found;
            std::vector<i32> near_areas, area_stack;
            for (size_t part; (part = next.fetch_add(1)) < parts;) {
                std::vector<i32>& out = items[part];
                for (size_t c = cells_.size() * part / parts; c < cells_.size() * (part + 1) / parts; ++c) {
                    guard.step();
                    const box cb = grid_.bounds(static_cast<i32>(c));
                    near_areas.clear();
                    if (!areas_near(cb, near_areas, area_stack)) continue;
                    if (!elements_near(cb, found, stack.data())) continue;
                    if (near_areas.size() + found.size() > static_cast<size_t>(cell_capacity)) continue;
                    if (std::any_of(found.begin(), found.end(),
                                    [&](const auto& f) { return fine[static_cast<size_t>(f.second)] != 0; })) {
                        continue;
                    }
                    cell& ce = cells_[c];
                    ce.first = static_cast<i32>(out.size());  // within the part, for now
                    ce.areas = static_cast<std::int16_t>(near_areas.size());
                    ce.elements = static_cast<std::int16_t>(found.size());
                    out.insert(out.end(), near_areas.begin(), near_areas.end());
                    for (const auto& f : found) out.push_back(f.second);
                }
            }
        };
        run_beside(work, cells_.size() >= 4096 ? std::thread::hardware_concurrency() : 1, guard);
        size_t total = 0;
        for (const auto& v : items) total += v.size();
        cell_items_.clear();
        cell_items_.reserve(total);
        for (size_t part = 0; part < parts; ++part) {
            const auto offset = static_cast<i32>(cell_items_.size());
            for (size_t c = cells_.size() * part / parts; c < cells_.size() * (part + 1) / parts; ++c) {
                if (cells_[c].elements >= 0) cells_[c].first += offset;
            }
            cell_items_.insert(cell_items_.end(), items[part].begin(), items[part].end());
            std::vector<i32>().swap(items[part]);
        }
        // A grid that lists nothing (a finely divided outline everywhere)
        // would only cost every query point a read of its cell.
        if (std::none_of(cells_.begin(), cells_.end(), [](const cell& ce) { return ce.elements >= 0; })) {
            std::vector<cell>().swap(cells_);
            std::vector<i32>().swap(cell_items_);
        }
    }

    // Runs `work` on up to `threads` threads, this one among them, and
    // rethrows the first exception any of them raised.  Where no thread can
    // be started, this one does it all.  What leaves this thread's share
    // (a stop, or the forced unwind of a thread ending at interpreter exit)
    // stops the others first and is rethrown as it came.
    template <class Work>
    static void run_beside(Work& work, unsigned threads, build_guard& guard) {
        std::vector<std::thread> pool;
        std::vector<std::exception_ptr> errors(std::max(1u, std::min(threads, 8u)));
        for (size_t t = 1; t < errors.size(); ++t) {
            try {
                pool.emplace_back([&work, &errors, t]() {
                    try {
                        work();
                    } catch (...) {
                        errors[t] = std::current_exception();
                    }
                });
            } catch (...) {
                break;
            }
        }
        try {
            work();
        } catch (...) {
            guard.stop();
            for (std::thread& th : pool) th.join();
            throw;
        }
        for (std::thread& th : pool) th.join();
        for (const auto& e : errors) {
            if (e) std::rethrow_exception(e);
        }
    }

    // The areas whose box meets cb; false if more than a cell may list.
    bool areas_near(const box& cb, std::vector<i32>& out, std::vector<i32>& stack) const {
        const bool fits = area_tree_.visit(cb, stack, [&](i32 i) {
            if (!boxes_overlap(areas_[static_cast<size_t>(i)].b, cb)) return true;
            if (out.size() >= static_cast<size_t>(cell_capacity)) return false;
            out.push_back(i);
            return true;
        });
        if (fits) std::sort(out.begin(), out.end());
        return fits;
    }

    // The elements that can win somewhere in cb, as (lower bound, element),
    // nearest first; false if more than a cell may list.  The descent takes
    // the nearest node first, so the best upper bound falls early and
    // prunes the rest of the tree.
    bool elements_near(const box& cb, std::vector<std::pair<f64, i32>>& out, std::pair<f64, i32>* stack) const {
        out.clear();
        const auto& nodes = element_tree_.nodes();
        if (nodes.empty()) return true;
        f64 best = d2_limit_;
        i32 holder = -1;
        int top = 0;
        stack[top++] = {gap_bound(nodes[0].floor, nodes[0].b, cb), 0};
        while (top > 0) {
            const auto [bound, at] = stack[--top];
            const bvh_node& nd = nodes[static_cast<size_t>(at)];
            const target goal{best, -1.0};
            if (loses(bound, nd.min_key, goal)) continue;
            if (nd.count == 0) {
                const i32 a = at + 1, c = nd.first;
                const f64 ba = gap_bound(nodes[static_cast<size_t>(a)].floor, nodes[static_cast<size_t>(a)].b, cb);
                const f64 bc = gap_bound(nodes[static_cast<size_t>(c)].floor, nodes[static_cast<size_t>(c)].b, cb);
                if (ba <= bc) {
                    stack[top++] = {bc, c};
                    stack[top++] = {ba, a};
                } else {
                    stack[top++] = {ba, a};
                    stack[top++] = {bc, c};
                }
                continue;
            }
            for (i32 i = nd.first; i < nd.first + nd.count; ++i) {
                const element& e = elements_[static_cast<size_t>(i)];
                const f64 b = gap_bound(metric_floors_[static_cast<size_t>(e.metric_id)], element_box(e), cb);
                if (loses(b, e.key, target{best, -1.0})) continue;
                const f64 ub = upper_bound(e, metrics_[static_cast<size_t>(e.metric_id)], cb);
                if (ub < best) {
                    best = ub;
                    holder = i;
                }
                // Until the bests fall, a crowded cell can gather many.
                if (out.size() >= static_cast<size_t>(2 * cell_capacity)) return false;
                out.emplace_back(b, i);
            }
        }
        // The holder's own lower bound may reach its upper one: it stays,
        // so that every point of the cell ends at or below `best`.  What the
        // box bounds keep, the segments' own bound (dearer, so only now)
        // may still leave out.
        const target goal{best, -1.0};
        auto leaves = [&](const std::pair<f64, i32>& f) {
            return f.second != holder && loses(f.first, elements_[static_cast<size_t>(f.second)].key, goal);
        };
        out.erase(std::remove_if(out.begin(), out.end(), leaves), out.end());
        for (auto& [b, i] : out) {
            const element& e = elements_[static_cast<size_t>(i)];
            if (!e.is_segment) continue;
            const f64 near = segment_box_bound(e, metrics_[static_cast<size_t>(e.metric_id)],
                                               metric_floors_[static_cast<size_t>(e.metric_id)], cb);
            b = std::max(b, near);
        }
        out.erase(std::remove_if(out.begin(), out.end(), leaves), out.end());
        std::sort(out.begin(), out.end());
        return out.size() <= static_cast<size_t>(cell_capacity);
    }

    static constexpr std::ptrdiff_t small_ring = 16;
    static constexpr std::ptrdiff_t large_ring = 4096;
    static constexpr std::ptrdiff_t max_ring_cells = std::ptrdiff_t{1} << 20;

    void build_rings(const std::vector<i64>& start, std::ptrdiff_t max_bands, build_guard& guard) {
        const size_t n = start.empty() ? 0 : start.size() - 1;
        rings_.resize(n);
        for (size_t r = 0; r < n; ++r) {
            guard.step();
            ring& g = rings_[r];
            g.view.data = reinterpret_cast<const char*>(ring_xy_.data() + 2 * start[r]);
            g.view.shape[0] = static_cast<std::ptrdiff_t>(start[r + 1] - start[r]);
            g.view.shape[1] = 2;
            g.view.strides[0] = 2 * sizeof(f64);
            g.view.strides[1] = sizeof(f64);
            // A building's few edges are tested faster than an index is read.
            g.banded = g.view.shape[0] > small_ring && g.bands.build(g.view, max_bands);
            // Past a few thousand vertices the band index leaves the caches,
            // where a byte a cell, about one a vertex, still fits.
            if (g.banded && g.view.shape[0] > large_ring) {
                auto grid = std::make_unique<ring_cells>();
                const bool made = grid->prepare(g.view, std::min<std::ptrdiff_t>(g.view.shape[0], max_ring_cells),
                                                [&g](const ring_cells::columns& pts, std::ptrdiff_t m,
                                                     const ring_cells::bytes& out) {
                                                    g.bands.contains_block(pts.x, pts.y, m, out.data);
                                                });
                if (made) g.cells = std::move(grid);
            }
        }
    }

    // The box of every point within reach of elements [first, first + count).
    box leaf_reach(i32 first, i32 count) const noexcept {
        const f64 inf = std::numeric_limits<f64>::infinity();
        box u{inf, inf, -inf, -inf};
        for (i32 i = first; i < first + count; ++i) {
            const element& e = elements_[static_cast<size_t>(i)];
            const auto [ex, ey] = element_reach(e);
            const box b = element_box(e);
            u = merged(u, {b.x0 - ex, b.y0 - ey, b.x1 + ex, b.y1 + ey});
        }
        return u;
    }

    void build_scans(build_guard& guard) {
        // The one polygon of each owner that has one, with no holes, by
        // owner (owners are any i32 a caller gives, so not an index).
        std::vector<std::pair<i32, i32>> by_owner;  // (owner, area)
        for (size_t a = 0; a < areas_.size(); ++a) by_owner.emplace_back(areas_[a].owner, static_cast<i32>(a));
        std::sort(by_owner.begin(), by_owner.end());
        std::vector<std::pair<i32, i32>> only;
        for (size_t k = 0; k < by_owner.size();) {
            size_t end = k + 1;
            while (end < by_owner.size() && by_owner[end].first == by_owner[k].first) ++end;
            const bool one = end == k + 1 && areas_[static_cast<size_t>(by_owner[k].second)].n_rings == 1;
            if (one) only.push_back(by_owner[k]);
            k = end;
        }
        outlined_.assign(areas_.size(), area_open);
        auto tag = [&](i32 first, i32 count) {
            const i32 owner = elements_[static_cast<size_t>(first)].owner;
            const auto it = std::lower_bound(only.begin(), only.end(), std::pair<i32, i32>{owner, -1});
            if (it == only.end() || it->first != owner) return -1;
            const i32 a = it->second;
            std::uint8_t& state = outlined_[static_cast<size_t>(a)];
            if (state != area_open) return -1;
            const area& ar = areas_[static_cast<size_t>(a)];
            const box u = leaf_reach(first, count);
            // Another leaf of the owner's may hold the polygon's box.
            if (!(u.x0 <= ar.b.x0 && u.y0 <= ar.b.y0 && u.x1 >= ar.b.x1 && u.y1 >= ar.b.y1)) return -1;
            const strided_view<f64, 2>& v = rings_[static_cast<size_t>(ar.first_ring)].view;
            // A ring of under three vertices holds nothing; one of many
            // edges is tested faster as before.  Each ring is counted once.
            const std::ptrdiff_t n = v.extent(0);
            std::ptrdiff_t edges = 0;
            for (std::ptrdiff_t i = 0, j = n - 1; i < n && edges <= 4 * outline_chunks; j = i++) {
                edges += v(i, 1) != v(j, 1) ? 1 : 0;
            }
            if (n < 3 || edges > 4 * outline_chunks) {
                state = area_refused;
                return -1;
            }
            const auto at = static_cast<i32>(outline_edges_.size());
            const f64 nan = std::numeric_limits<f64>::quiet_NaN();
            int lane = 4;
            // Horizontal edges never straddle a row.
            for (std::ptrdiff_t i = 0, j = n - 1; i < n; j = i++) {
                if (v(i, 1) == v(j, 1)) continue;
                if (lane == 4) {
                    outline_edges_.push_back({});
                    outline_edges& c = outline_edges_.back();
                    std::fill(c.yi, c.yi + 4, nan);
                    std::fill(c.yj, c.yj + 4, nan);
                    lane = 0;
                }
                outline_edges& c = outline_edges_.back();
                c.yi[lane] = v(i, 1);
                c.yj[lane] = v(j, 1);
                c.xi[lane] = v(i, 0);
                c.ex[lane] = v(j, 0) - v(i, 0);
                c.ey[lane] = v(j, 1) - v(i, 1);
                ++lane;
            }
            state = area_outlined;
            outlines_.push_back({ar.b, a, at, static_cast<i32>(outline_edges_.size()) - at});
            return static_cast<i32>(outlines_.size() - 1);
        };
        // Tagged in the order of the nodes, which is the order the visit reads.
        std::vector<i32> tags(elements_.size(), -1);
        for (const bvh_node& nd : element_tree_.nodes()) {
            guard.step();
            if (nd.count > 0) tags[static_cast<size_t>(nd.first)] = tag(nd.first, nd.count);
        }
        element_scan_.build(element_tree_, [&](i32 first, i32 count) { return leaf_reach(first, count); },
                            [&](i32 first, i32) { return tags[static_cast<size_t>(first)]; });
        outlines_.shrink_to_fit();
        outline_edges_.shrink_to_fit();
        area_scan_.build(area_tree_, [&](i32 first, i32 count) {
            const f64 inf = std::numeric_limits<f64>::infinity();
            box u{inf, inf, -inf, -inf};
            for (i32 i = first; i < first + count; ++i) {
                if (outlined_[static_cast<size_t>(i)] != area_outlined) u = merged(u, areas_[static_cast<size_t>(i)].b);
            }
            return u;
        }, [](i32, i32) { return -1; });
    }

    void build_areas(std::vector<area>&& areas, build_guard& guard) {
        std::vector<box> boxes(areas.size());
        std::vector<floors> zero(areas.size(), floors{0.0, 0.0, 0.0});
        for (size_t i = 0; i < areas.size(); ++i) boxes[i] = areas[i].b;
        std::vector<i32> order, keys(areas.size());
        for (size_t i = 0; i < areas.size(); ++i) keys[i] = areas[i].key;
        area_tree_.build(boxes, zero, keys, order, guard);
        areas_.resize(areas.size());
        for (size_t i = 0; i < order.size(); ++i) areas_[i] = areas[static_cast<size_t>(order[i])];
    }

    bool inside(const area& a, f64 x, f64 y) const noexcept {
        if (!(x >= a.b.x0 && x <= a.b.x1 && y >= a.b.y0 && y <= a.b.y1)) return false;
        return rings_[static_cast<size_t>(a.first_ring)].contains(x, y) && outside_holes(a, x, y);
    }

    bool outside_holes(const area& a, f64 x, f64 y) const noexcept {
        const ring* r = rings_.data() + a.first_ring;
        for (i32 h = 1; h < a.n_rings; ++h) {
            if (r[h].contains(x, y)) return false;
        }
        return true;
    }

    void settle_tree(block& blk, int lo, int hi, scratch& s) const noexcept {
        settle_areas(blk, lo, hi, extent(blk, lo, hi), s);
        s.n_singles = 0;
        solve(blk, lo, hi, s);
        visit_singles(blk, s);
    }

    void settle_areas(block& blk, int lo, int hi, const box& tile, scratch& s) const noexcept {
        area_tree_.visit(tile, s.stack, [&](i32 i) {
            if (boxes_overlap(areas_[static_cast<size_t>(i)].b, tile)) settle_area(i, blk, lo, hi);
            return true;
        });
    }

    // Points a block must hold for a ring to be tested all at once.
    static constexpr int scattered_points = 8;

    void settle_area(i32 i, block& blk, int lo, int hi) const noexcept {
        const area& a = areas_[static_cast<size_t>(i)];
        if (hi - lo >= scattered_points) {
            settle_many(i, blk, lo, hi);
            return;
        }
        for (int p = lo; p < hi; ++p) {
            // Inside is d2 = 0: it can only improve on a positive best, or on
            // an equal one held by a later key.
            if (!(blk.best[p] > 0.0 || a.key < blk.best_key[p])) continue;
            if (inside(a, blk.xs[p], blk.ys[p])) {
                blk.best[p] = 0.0;
                blk.best_key[p] = a.key;
                blk.best_item[p] = -2.0 - i;
            }
        }
    }

    // settle_area for many points: those within the ring's box together, as
    // a large ring's index waits on memory at every point, and a small ring
    // tests a vector of them at once.
    void settle_many(i32 i, block& blk, int lo, int hi) const noexcept {
        const area& a = areas_[static_cast<size_t>(i)];
        const ring* r = rings_.data() + a.first_ring;
        f64 xs[block_size], ys[block_size];
        int who[block_size];
        int n = 0;
        for (int p = lo; p < hi; ++p) {
            if (!(blk.best[p] > 0.0 || a.key < blk.best_key[p])) continue;
            const f64 x = blk.xs[p], y = blk.ys[p];
            if (!(x >= a.b.x0 && x <= a.b.x1 && y >= a.b.y0 && y <= a.b.y1)) continue;
            xs[n] = x;
            ys[n] = y;
            who[n++] = p;
        }
        if (n == 0) return;
        std::uint8_t in[block_size];
        r[0].contains_many(xs, ys, n, in);
        for (int k = 0; k < n; ++k) {
            if (!in[k] || !outside_holes(a, xs[k], ys[k])) continue;
            const int p = who[k];
            blk.best[p] = 0.0;
            blk.best_key[p] = a.key;
            blk.best_item[p] = -2.0 - i;
        }
    }

    // Points a cell, on average over a block, from which the trees answer.
    static constexpr int dense_cells = 4;

    void prefetch_cell(const cell& ce) const noexcept {
        const i32* items = cell_items_.data() + ce.first;
        for (int k = 0; k < ce.areas; ++k) __builtin_prefetch(areas_.data() + items[k]);
        for (int k = ce.areas; k < ce.areas + ce.elements; ++k) __builtin_prefetch(elements_.data() + items[k]);
    }

    void prefetch_hanging(const cell& ce) const noexcept {
        const i32* items = cell_items_.data() + ce.first;
        for (int k = 0; k < ce.areas; ++k) {
            const ring& r = rings_[static_cast<size_t>(areas_[static_cast<size_t>(items[k])].first_ring)];
            __builtin_prefetch(&r);
            __builtin_prefetch(r.view.data);
        }
        for (int k = ce.areas; k < ce.areas + ce.elements; ++k) {
            __builtin_prefetch(metrics_.data() + elements_[static_cast<size_t>(items[k])].metric_id);
        }
    }

    // Points [lo, hi) of the block, all in one cell, against its list.  The
    // list holds every element that can win anywhere in the cell, nearest
    // first, so the bound test prunes most of the rest once the first few
    // have run.
    void settle_cell(const cell& ce, block& blk, int lo, int hi) const noexcept {
        const i32* items = cell_items_.data() + ce.first;
        for (int k = 0; k < ce.areas; ++k) settle_area(items[k], blk, lo, hi);
        items += ce.areas;
        if (hi - lo <= few_points) {
            // Running an element on a point or two costs less than its bound.
            for (int k = 0; k < ce.elements; ++k) {
                run<true>(elements_[static_cast<size_t>(items[k])], items[k], blk, lo, hi);
            }
            return;
        }
        const box tile = extent(blk, lo, hi);
        target goal = worst(blk, lo, hi);
        for (int k = 0; k < ce.elements; ++k) {
            const i32 i = items[k];
            const element& e = elements_[static_cast<size_t>(i)];
            const f64 b = gap_bound(metric_floors_[static_cast<size_t>(e.metric_id)], element_box(e), tile);
            if (loses(b, e.key, goal)) continue;
            run(e, i, blk, lo, hi);
            goal = worst(blk, lo, hi);
        }
    }

    // Cells a block may span and still be grouped by counting (less the
    // tree's own group); past that (a block far sparser than the grid) the
    // cells are told apart by sorting.
    static constexpr i32 spread_cells = 1024;

    // Reorders the block's points so that each cell's are contiguous, in the
    // order of `local`: 0 for the tree, else 1 + the cell's place in the
    // block's span of the grid; `at` and `local` move with them.  Bests are
    // not moved: every point still holds the starting values here.
    static void group(block& blk, i32* at, i32* local) noexcept {
        const int n = blk.count;
        bool sorted = true;
        for (int p = 1; p < n; ++p) sorted = sorted && local[p - 1] <= local[p];
        if (sorted) return;
        int order[block_size];
        bool spread = false;
        for (int p = 0; p < n; ++p) spread = spread || local[p] >= spread_cells;  // clamped: may share
        if (!spread) {
            // Only the span's own cells are counted: a block's few points
            // do not pay for a pass over the whole of `count`.
            i32 top = 0;
            for (int p = 0; p < n; ++p) top = std::max(top, local[p]);
            std::uint8_t count[spread_cells + 1];
            std::fill_n(count, top + 2, std::uint8_t{0});
            for (int p = 0; p < n; ++p) ++count[local[p] + 1];
            for (int k = 0; k <= top; ++k) count[k + 1] = static_cast<std::uint8_t>(count[k + 1] + count[k]);
            for (int p = 0; p < n; ++p) order[count[local[p]]++] = p;
        } else {
            // Far apart: sort by the cell itself.
            for (int p = 0; p < n; ++p) order[p] = p;
            std::sort(order, order + n, [&](int a, int c) { return at[a] < at[c] || (at[a] == at[c] && a < c); });
        }
        f64 xs[block_size], ys[block_size];
        i64 index[block_size];
        i32 cells[block_size];
        i32 places[block_size];
        for (int q = 0; q < n; ++q) {
            xs[q] = blk.xs[order[q]];
            ys[q] = blk.ys[order[q]];
            index[q] = blk.index[order[q]];
            cells[q] = at[order[q]];
            places[q] = local[order[q]];
        }
        for (int q = 0; q < n; ++q) {
            blk.xs[q] = xs[q];
            blk.ys[q] = ys[q];
            blk.index[q] = index[q];
            at[q] = cells[q];
            local[q] = places[q];
        }
    }

    static box extent(const block& blk, int lo, int hi) noexcept {
        box b{blk.xs[lo], blk.ys[lo], blk.xs[lo], blk.ys[lo]};
        for (int p = lo + 1; p < hi; ++p) {
            b = {std::min(b.x0, blk.xs[p]), std::min(b.y0, blk.ys[p]), std::max(b.x1, blk.xs[p]),
                 std::max(b.y1, blk.ys[p])};
        }
        return b;
    }

    // Elements one sub-block may evaluate before it is split in two: beyond
    // that, its points are spread over more elements than they share, and
    // halves prune better.  Results do not depend on it (see split).
    static constexpr int split_budget = 48;

    // A sub-block wider than this many leaves is split before it visits
    // anything: its points lie so far apart beside the elements that their
    // nearest ones differ, and a shared visit would run every point against
    // all of them (a finely divided outline, queried at a coarser spacing).
    // A few leaves already part them: at 64, points 2e-3 apart beside an
    // outline of 100,000 vertices (leaves of about 1e-4) spent their visits
    // on the budget before splitting, at 2.3x the time they take at 4, and
    // a window onto 1,000,000 vertices at 2.4x.  Fewer than 4 (down to 1)
    // gained nothing more and began to cost the harbour's points.
    static constexpr f64 apart_leaves = 4.0;

    // Points [lo, hi) of the block against the elements.
    void solve(block& blk, int lo, int hi, scratch& s) const noexcept {
        if (hi - lo == 1) {
            s.singles[s.n_singles++] = lo;
            return;
        }
        const box tile = extent(blk, lo, hi);
        const bool apart = hi - lo > 1 && std::max(tile.x1 - tile.x0, tile.y1 - tile.y0) > apart_leaves * grain_;
        if (!apart && visit_elements(blk, lo, hi, tile, s)) return;
        const int mid = split(blk, lo, hi);
        solve(blk, lo, mid, s);
        solve(blk, mid, hi, s);
    }

    // Orders points [lo, hi) by their coordinate along the sub-block's longer
    // side and returns the middle.  What each point has found so far moves
    // with it: those are values of real elements, so the halves start from
    // valid bests, and an element met again cannot replace itself (equal
    // value, equal key).
    static int split(block& blk, int lo, int hi) noexcept {
        const box b = extent(blk, lo, hi);
        const bool along_x = (b.x1 - b.x0) >= (b.y1 - b.y0);
        int order[block_size];
        for (int p = lo; p < hi; ++p) order[p - lo] = p;
        const int mid = (hi - lo) / 2;
        const f64* key = along_x ? blk.xs : blk.ys;
        std::nth_element(order, order + mid, order + (hi - lo), [&](int a, int c) { return key[a] < key[c]; });
        block tmp;
        for (int q = 0; q < hi - lo; ++q) {
            const int p = order[q];
            tmp.xs[q] = blk.xs[p];
            tmp.ys[q] = blk.ys[p];
            tmp.index[q] = blk.index[p];
            tmp.best[q] = blk.best[p];
            tmp.best_key[q] = blk.best_key[p];
            tmp.best_item[q] = blk.best_item[p];
        }
        for (int q = 0; q < hi - lo; ++q) {
            blk.xs[lo + q] = tmp.xs[q];
            blk.ys[lo + q] = tmp.ys[q];
            blk.index[lo + q] = tmp.index[q];
            blk.best[lo + q] = tmp.best[q];
            blk.best_key[lo + q] = tmp.best_key[q];
            blk.best_item[lo + q] = tmp.best_item[q];
        }
        return lo + mid;
    }

    // What an element must beat somewhere in the sub-block: the largest best
    // value, and the largest key holding a best of 0 (only an element at
    // distance 0 with a lower key can still win such a point).
    struct target {
        f64 limit;
        f64 zero_key;
    };

    static target worst(const block& blk, int lo, int hi) noexcept {
        target t{0.0, -1.0};
        for (int p = lo; p < hi; ++p) {
            t.limit = std::max(t.limit, blk.best[p]);
            t.zero_key = blk.best[p] == 0.0 ? std::max(t.zero_key, blk.best_key[p]) : t.zero_key;
        }
        return t;
    }

    // A positive lower bound at or above the limit certainly loses (the
    // computed forms lie strictly above their bounds); a bound of 0 loses
    // only where no key below could take a point's 0 by tie.
    static bool loses(f64 bound, i32 min_key, const target& t) noexcept {
        return bound >= t.limit && (bound > 0.0 || static_cast<f64>(min_key) > t.zero_key);
    }

    // A sub-block's extent as capsule bounds see it: a centre, and the
    // metric radius around it, kept for the last metric asked about (the
    // nodes met in one descent mostly share theirs).
    struct query_tile {
        box extent;
        f64 cx, cy, hx, hy;
        bool point = extent.x0 == extent.x1 && extent.y0 == extent.y1;
        f64 a = std::numeric_limits<f64>::quiet_NaN(), b = 0.0, c = 0.0, r = 0.0;

        explicit query_tile(const box& t) noexcept
            : extent(t), cx(0.5 * (t.x0 + t.x1)), cy(0.5 * (t.y0 + t.y1)), hx(std::max(cx - t.x0, t.x1 - cx)),
              hy(std::max(cy - t.y0, t.y1 - cy)) {}

        f64 radius(const floors& f) noexcept {
            if (!(f.a == a && f.b == b && f.c == c)) {
                a = f.a;
                b = f.b;
                c = f.c;
                r = tile_radius(a, b, c, hx, hy);
            }
            return r;
        }
    };

    // A leaf's elements, a line each.
    void prefetch_items(i32 first, i32 count) const noexcept {
        const element* e = elements_.data() + first;
        for (i32 i = 0; i < count; ++i) __builtin_prefetch(e + i);
    }

    void prefetch_below(const bvh_node& nd, i32 at) const noexcept {
        if (nd.count != 0) {
            prefetch_items(nd.first, nd.count);
            return;
        }
        const bvh_node* nodes = element_tree_.nodes().data();
        for (const i32 child : {at + 1, nd.first}) {
            // A node spans two lines; its capsule is one.
            __builtin_prefetch(nodes + child);
            __builtin_prefetch(reinterpret_cast<const char*>(nodes + child) + 64);
            if (!capsules_.empty()) __builtin_prefetch(capsules_.data() + child);
        }
    }

    // The box bound, and where the node has a capsule and the box alone
    // does not settle it, the larger of that and the capsule's.
    ORIN_FORCE_INLINE f64 node_bound(const bvh_node& nd, query_tile& q, const target& goal) const noexcept {
        const floors& f = nd.floor;
        if (nd.capsule >= 0 && q.point) {
            // About a single point the capsule is the tighter bound: at most
            // its radius short of the true distance, where the box may be
            // its whole size short.
            return capsule_bound(capsules_.data()[nd.capsule], f.a, f.b, f.c, tile_rounding(f.a, f.b, f.c), q.cx,
                                 q.cy, 0.0);
        }
        const f64 g = gap_bound(f, nd.b, q.extent);
        if (nd.capsule < 0 || loses(g, nd.min_key, goal)) return g;
        return std::max(g, capsule_bound(capsules_.data()[nd.capsule], f.a, f.b, f.c, tile_rounding(f.a, f.b, f.c),
                                         q.cx, q.cy, q.radius(f)));
    }

    // Pushes the children of internal node `at` that can still win, far then
    // near, so that the near one is taken next.  A single point's steps
    // (single_step) carry each child's wide node and key along.
    template <class Step>
    ORIN_FORCE_INLINE void expand(const bvh_node& nd, i32 at, query_tile& q, const target& goal, Step* stack,
                                  int& top) const noexcept {
        constexpr bool single = std::is_same_v<Step, single_step>;
        const bvh_node* nodes = element_tree_.nodes().data();
        const i32 a = at + 1, c = nd.first;
        const bvh_node &na = nodes[a], &nc = nodes[c];
        const f64 ba = node_bound(na, q, goal), bc = node_bound(nc, q, goal);
        const bool keep_a = !loses(ba, na.min_key, goal), keep_c = !loses(bc, nc.min_key, goal);
        // The descent is a chain of cache misses: ask for the next level's
        // nodes, and their capsules, while this one is sorted.
        auto ahead = [&](const bvh_node& n, i32 i) {
            if (single && n.wide >= 0) {
                prefetch_wide(n.wide);
            } else {
                prefetch_below(n, i);
            }
        };
        auto step = [](f64 b, i32 i, const bvh_node& n) {
            if constexpr (single) {
                return n.count != 0 ? single_step{b, n.first, -2 - n.count, n.min_key}
                                    : single_step{b, i, n.wide, n.min_key};
            } else {
                return Step{b, i};
            }
        };
        if (keep_a) ahead(na, a);
        if (keep_c) ahead(nc, c);
        if (ba <= bc) {
            if (keep_c) stack[top++] = step(bc, c, nc);
            if (keep_a) stack[top++] = step(ba, a, na);
        } else {
            if (keep_a) stack[top++] = step(ba, a, na);
            if (keep_c) stack[top++] = step(bc, c, nc);
        }
    }

    void prefetch_wide(i32 w) const noexcept {
        const char* at = reinterpret_cast<const char*>(wide_.data() + w);
        for (size_t line = 0; line < sizeof(wide_node); line += 64) __builtin_prefetch(at + line);
    }

    // Depth first through the hierarchy, the nearer child first, so that
    // the best values fall early and prune the rest.  False when the
    // sub-block used up its budget before the search ended (and has more
    // than one point).
    bool visit_elements(block& blk, int lo, int hi, const box& tile, scratch& s) const noexcept {
        // Raw pointers: the stores to the stack below would otherwise make
        // the compiler reload every vector's data pointer after each push.
        const bvh_node* nodes = element_tree_.nodes().data();
        const element* elements = elements_.data();
        if (element_tree_.nodes().empty()) return true;
        target goal = worst(blk, lo, hi);
        int spent = 0;
        // Each pop pushes at most two children, one level down: the stack
        // never holds more than the tree's depth plus one.
        s.heap.resize(static_cast<size_t>(element_tree_.depth()) + 2);
        std::pair<f64, i32>* stack = s.heap.data();
        int top = 0;
        query_tile q(tile);
        stack[top++] = {node_bound(nodes[0], q, goal), 0};
        while (top > 0) {
            const auto [bound, at] = stack[--top];
            const bvh_node& nd = nodes[at];
            if (loses(bound, nd.min_key, goal)) continue;
            if (nd.count == 0) {
                expand(nd, at, q, goal, stack, top);
                continue;
            }
            if (hi - lo > 1 && spent >= split_budget) return false;
            bool changed = false;
            for (i32 i = nd.first; i < nd.first + nd.count; ++i) {
                const element& e = elements[i];
                const f64 b = gap_bound(metric_floors_[static_cast<size_t>(e.metric_id)], element_box(e), tile);
                if (loses(b, e.key, goal)) continue;
                run(e, i, blk, lo, hi);
                ++spent;
                changed = true;
            }
            if (changed) goal = worst(blk, lo, hi);
        }
        return true;
    }

    // Descents of single points a block could not share, a few at a time
    // and one step each in turn.  Alone, each level of a deep tree waits on
    // memory; interleaved, the nodes one descent asked for arrive while the
    // others step.  Each point's own steps are exactly those of its descent
    // alone, after its seed.
    //
    // The seed is the element that won the single last finished: points
    // follow each other through the block's halves, so it most often lies
    // near this point's own winner.  Run first, it gives the descent a low
    // best from its first step, and the siblings on the way down are pruned
    // at once.
    static constexpr int interleave = 8;

    struct descent {
        int p = -1;  // the block's point; -1: idle
        int top = 0;
        single_step* stack = nullptr;
        target goal{0.0, -1.0};
        query_tile q{box{0.0, 0.0, 0.0, 0.0}};
    };

    // Two levels in one step: the capsule bounds of a wide node's slots,
    // about a point, as a binary step would take them one node at a time;
    // those that can still win are pushed farthest first.
    ORIN_FORCE_INLINE void expand_wide(i32 w, descent& d) const noexcept {
        const wide_node& wn = wide_.data()[w];
        const f64 cx = d.q.cx, cy = d.q.cy, round = tile_rounding(wn.a, wn.b, wn.c);
        f64 bound[4];
        capsule_bounds4(wn.ax, wn.ay, wn.vx, wn.vy, wn.ux, wn.uy, wn.reach, wn.keep, wn.a, wn.b, wn.c, round, cx, cy,
                        bound);
        int order[4], n = 0;
        for (int k = 0; k < 4; ++k) {
            if (wn.node[k] < 0 || loses(bound[k], wn.min_key[k], d.goal)) continue;
            if (wn.wide[k] >= 0) {
                prefetch_wide(wn.wide[k]);
            } else if (wn.wide[k] <= -2) {
                prefetch_items(wn.node[k], -2 - wn.wide[k]);
            } else {
                const bvh_node* nodes = element_tree_.nodes().data();
                __builtin_prefetch(nodes + wn.node[k]);
                __builtin_prefetch(reinterpret_cast<const char*>(nodes + wn.node[k]) + 64);
            }
            // Farthest first, and of equal bounds the later slot, so that the
            // nearest is taken next and ties go left first, as binary steps do.
            int j = n++;
            while (j > 0 && bound[order[j - 1]] <= bound[k]) {
                order[j] = order[j - 1];
                --j;
            }
            order[j] = k;
        }
        for (int j = 0; j < n; ++j) {
            const int k = order[j];
            d.stack[d.top++] = {bound[k], wn.node[k], wn.wide[k], wn.min_key[k]};
        }
    }

    void visit_singles(block& blk, scratch& s) const noexcept {
        const int n = s.n_singles;
        if (n == 0 || element_tree_.nodes().empty()) return;
        const bvh_node* nodes = element_tree_.nodes().data();
        const element* elements = elements_.data();
        // A wide step pushes at most three more than it pops, and goes at
        // least a level down.
        const size_t depth = 3 * static_cast<size_t>(element_tree_.depth()) + 4;
        s.lane_stacks.resize(depth * interleave);
        descent lanes[interleave];
        int next = 0, live = 0;
        i32 seed = -1;
        auto begin = [&](descent& d) {
            if (next == n) {
                d.p = -1;
                return false;
            }
            const int p = s.singles[next++];
            d.p = p;
            d.q = query_tile(box{blk.xs[p], blk.ys[p], blk.xs[p], blk.ys[p]});
            if (seed >= 0) run<true>(elements[seed], seed, blk, p, p + 1);
            d.goal = worst(blk, p, p + 1);
            d.top = 0;
            const bvh_node& root = nodes[0];
            const f64 bound = node_bound(root, d.q, d.goal);
            d.stack[d.top++] = root.count != 0 ? single_step{bound, root.first, -2 - root.count, root.min_key}
                                               : single_step{bound, 0, root.wide, root.min_key};
            if (root.wide >= 0) {
                prefetch_wide(root.wide);
            } else {
                prefetch_below(root, 0);
            }
            return true;
        };
        for (int k = 0; k < interleave; ++k) {
            lanes[k].stack = s.lane_stacks.data() + depth * static_cast<size_t>(k);
            live += begin(lanes[k]) ? 1 : 0;
        }
        // One step: pops to the next node that can still win, and expands or
        // runs it.  False once the descent is over.
        auto step = [&](descent& d) {
            while (d.top > 0) {
                const single_step st = d.stack[--d.top];
                if (loses(st.bound, st.min_key, d.goal)) continue;
                if (st.wide >= 0) {
                    expand_wide(st.wide, d);
                    return true;
                }
                if (st.wide == -1) {
                    expand(nodes[st.at], st.at, d.q, d.goal, d.stack, d.top);
                    return true;
                }
                bool changed = false;
                for (i32 i = st.at; i < st.at - 2 - st.wide; ++i) {
                    const element& e = elements[i];
                    const f64 b =
                        gap_bound(metric_floors_[static_cast<size_t>(e.metric_id)], element_box(e), d.q.extent);
                    if (loses(b, e.key, d.goal)) continue;
                    run<true>(e, i, blk, d.p, d.p + 1);
                    changed = true;
                }
                if (changed) d.goal = worst(blk, d.p, d.p + 1);
                return true;
            }
            return false;
        };
        while (live > 0) {
            for (descent& d : lanes) {
                if (d.p < 0 || step(d)) continue;
                if (blk.best_item[d.p] >= 0.0) seed = static_cast<i32>(blk.best_item[d.p]);
                if (!begin(d)) --live;
            }
        }
    }

    static constexpr int few_points = 2;

    template <class Pass, bool Few, class... Args>
    static ORIN_FORCE_INLINE void pass(Args&&... args) noexcept {
        // A point or two fill no vector: the plain loop, free of the
        // dispatch, gives the same bits.
        if constexpr (Few) {
            Pass::template run<isa::baseline>(static_cast<Args&&>(args)...);
        } else {
            dispatch<Pass>(static_cast<Args&&>(args)...);
        }
    }

    template <bool Few = false>
    void run(const element& e, i32 item, block& blk, int lo, int hi) const noexcept {
        const f64 key = e.key, at = item;
        f64 *best = blk.best + lo, *best_key = blk.best_key + lo, *best_item = blk.best_item + lo;
        const f64 *xs = blk.xs + lo, *ys = blk.ys + lo;
        const int n = hi - lo;
        const metric& m = metrics_[static_cast<size_t>(e.metric_id)];
        if (!e.is_segment) {
            pass<point_pass, Few>(xs, ys, n, best, best_key, best_item, key, at, e.ax, e.ay, m.m00, m.m01, m.m10,
                                  m.m11);
        } else if (proj_ == projection::euclidean) {
            pass<segment_euclidean_pass, Few>(xs, ys, n, best, best_key, best_item, key, at, e.ax, e.ay, e.vx, e.vy,
                                              e.vv, m.m00, m.m01, m.m10, m.m11);
        } else {
            f64 svx, svy, vsv;
            symmetric_along(e, m, svx, svy, vsv);
            pass<segment_metric_pass, Few>(xs, ys, n, best, best_key, best_item, key, at, e.ax, e.ay, e.vx, e.vy,
                                          svx, svy, vsv, m.m00, m.m01, m.m10, m.m11);
        }
    }

    // S v and v.S v for the metric projection, S the metric's symmetric part.
    static void symmetric_along(const element& e, const metric& m, f64& svx, f64& svy, f64& vsv) noexcept {
        const f64 s01 = 0.5 * (m.m01 + m.m10);
        svx = m.m00 * e.vx + s01 * e.vy;
        svy = s01 * e.vx + m.m11 * e.vy;
        vsv = e.vx * svx + e.vy * svy;
    }

    // The repulsion vector of x from element e, as the evaluation computed
    // it.  True where it came from the open interior of a segment under the
    // Euclidean projection, where the nearest point moves with x.
    bool repulsion(const element& e, f64 x, f64 y, f64& dx, f64& dy) const noexcept {
        if (!e.is_segment) {
            dx = x - e.ax;
            dy = y - e.ay;
            return false;
        }
        const metric& m = metrics_[static_cast<size_t>(e.metric_id)];
        if (proj_ == projection::metric) {
            f64 svx, svy, vsv;
            symmetric_along(e, m, svx, svy, vsv);
            metric_candidate(x, y, e.ax, e.ay, e.vx, e.vy, svx, svy, vsv, m.m00, m.m01, m.m10, m.m11, dx, dy);
            return false;
        }
        segment_candidate(x, y, e.ax, e.ay, e.vx, e.vy, e.vv, m.m00, m.m01, m.m10, m.m11, dx, dy);
        const f64 t = ((x - e.ax) * e.vx + (y - e.ay) * e.vy) / e.vv;
        return t > 0.0 && t < 1.0;
    }
};

}  // namespace orin::scene
