// Drawing a regular grid element by element.
//
// Where the grid's spacing is wide beside what each element reaches (a whole
// city's map, its buildings under a steep repulsion), nearly every grid point
// needs elements of its own, and the per-point evaluation spends its time
// waiting for them to arrive from memory.  Turned around, a band of rows asks
// the trees once for the elements that reach it, reads them in memory order,
// and takes each one's d2 into the few points it can reach, a row at a time
// in one vector pass; then the polygons mark the points they hold.
//
// The minimum is the same in whatever order it is taken, and every d2 comes
// from the very loops the evaluation runs, so a drawn band holds exactly what
// the evaluation gives.  Where drawing would cost more (finely divided
// outlines under a weak repulsion, elements that reach every point) the band
// is left to the evaluation.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "scene_engine.hpp"
#include "simd_lanes.hpp"

namespace orin::scene {

// A grid axis: finite, non-decreasing samples.  Ranges are found from the
// samples themselves, so an uneven axis is exact too; an even one (a
// linspace) is answered in a step or two from its spacing.
class grid_axis {
public:
    grid_axis(const f64* at, i64 n) noexcept : at_(at), n_(n) {
        if (n > 1 && at[n - 1] > at[0]) {
            origin_ = at[0];
            per_ = static_cast<f64>(n - 1) / (at[n - 1] - at[0]);
        }
    }

    static bool usable(const f64* at, i64 n) noexcept {
        for (i64 i = 0; i < n; ++i) {
            if (!std::isfinite(at[i]) || (i > 0 && at[i] < at[i - 1])) return false;
        }
        return n > 0;
    }

    i64 size() const noexcept { return n_; }
    f64 operator[](i64 i) const noexcept { return at_[i]; }
    const f64* data() const noexcept { return at_; }
    // Samples a width w spans, at most.
    f64 span(f64 w) const noexcept { return std::min(static_cast<f64>(n_), w * per_ + 1.0); }

    // The first sample at or above v, and the first above it.
    i64 first_from(f64 v) const noexcept {
        return find(v, [](f64 a, f64 b) { return a < b; });
    }
    i64 first_past(f64 v) const noexcept {
        return find(v, [](f64 a, f64 b) { return a <= b; });
    }

private:
    const f64* at_;
    i64 n_;
    f64 origin_ = 0.0, per_ = 0.0;

    // The first i with !before(at[i], v), for a `before` true on a prefix.
    template <class Before>
    i64 find(f64 v, Before before) const noexcept {
        // Both answers lie just above v's place on an even axis, where most
        // finds then stop at their first step.
        const f64 g = (v - origin_) * per_;
        i64 i = g > 0.0 ? (g < static_cast<f64>(n_ - 1) ? static_cast<i64>(g) + 1 : n_) : 0;
        for (int step = 0; step < 4; ++step) {
            if (i > 0 && !before(at_[i - 1], v)) {
                --i;
            } else if (i < n_ && before(at_[i], v)) {
                ++i;
            } else {
                return i;
            }
        }
        return std::partition_point(at_, at_ + n_, [&](f64 a) { return before(a, v); }) - at_;
    }
};

// The d2 of one element at (x, y), by the evaluation's own candidates, so
// with the same bits.
struct point_d2 {
    f64 ax, ay, m00, m01, m10, m11;
    template <class T>
    ORIN_FORCE_INLINE T operator()(T x, T y) const noexcept {
        return quadratic_form(x - ax, y - ay, m00, m01, m10, m11);
    }
};

struct segment_euclidean_d2 {
    f64 ax, ay, vx, vy, vv, m00, m01, m10, m11;
    template <class T>
    ORIN_FORCE_INLINE T operator()(T x, T y) const noexcept {
        T dx, dy;
        return segment_candidate(x, y, ax, ay, vx, vy, vv, m00, m01, m10, m11, dx, dy);
    }
};

struct segment_metric_d2 {
    f64 ax, ay, vx, vy, svx, svy, vsv, m00, m01, m10, m11;
    template <class T>
    ORIN_FORCE_INLINE T operator()(T x, T y) const noexcept {
        T dx, dy;
        return metric_candidate(x, y, ax, ay, vx, vy, svx, svy, vsv, m00, m01, m10, m11, dx, dy);
    }
};

// One element's d2 over columns [from[k], to[k]) of rows k < rows, into
// their running minimum; row k starts at best + k * stride.  In explicit
// vectors, so that the clamp is field_math.hpp's vector max and min: the
// scalar loop, vectorised by GCC, kept the compares and masked moves.  A
// row's last vector ends at its last column, going again over columns
// already taken, whose minimum it leaves as it was.
struct rows_pass {
    template <isa I, class D2>
    static ORIN_FORCE_INLINE void run(const f64* __restrict xs, const f64* __restrict ys, const i64* from,
                                      const i64* to, i64 rows, i64 stride, f64* best, const D2& d2_of) noexcept {
        using lanes = simd_lanes_for<I>;
        using vec = typename lanes::vec;
        constexpr int w = lanes::width;
        for (i64 k = 0; k < rows; ++k) {
            const f64 y = ys[k];
            f64* __restrict row = best + k * stride;
            const i64 a = from[k], b = to[k];
            if (b - a < w) {
                for (i64 c = a; c < b; ++c) {
                    const f64 d2 = d2_of(xs[c], y);
                    row[c] = d2 < row[c] ? d2 : row[c];
                }
                continue;
            }
            // y - 0 is y in every lane, -0.0 included: one broadcast.
            const vec yv = y - vec{};
            for (i64 c = a;; c += w) {
                c = c + w < b ? c : b - w;
                const vec d2 = d2_of(lanes::load(xs + c), yv), was = lanes::load(row + c);
                lanes::store(row + c, d2 < was ? d2 : was);
                if (c + w == b) break;
            }
        }
    }
};

// One element's d2 over W columns of `rows` rows, into their running
// minimum, in whole vectors: eight columns, then four.  Left to itself the
// compiler runs a short block's rows as scalars, reloading the element at
// every store.
template <int W>
struct block_pass {
    static_assert(W % 4 == 0);
    using wide = simd_lanes<8>;
    using half = simd_lanes<4>;

    template <isa I, class D2>
    static ORIN_FORCE_INLINE void run(const f64* __restrict xs, const f64* __restrict ys, i64 rows, i64 stride,
                                      f64* best, const D2& d2_of) noexcept {
        const D2 d = d2_of;
        typename wide::vec x8[W / 8 > 0 ? W / 8 : 1];
        typename half::vec x4{};
        for (int j = 0; j < W / 8; ++j) x8[j] = wide::load(xs + 8 * j);
        if constexpr (W % 8 != 0) x4 = half::load(xs + W - 4);
        for (i64 k = 0; k < rows; ++k) {
            f64* row = best + k * stride;
            // y - 0 is y in every lane, -0.0 included: one broadcast.
            const typename wide::vec y8 = ys[k] - typename wide::vec{};
            for (int j = 0; j < W / 8; ++j) {
                const auto d2 = d(x8[j], y8), was = wide::load(row + 8 * j);
                wide::store(row + 8 * j, d2 < was ? d2 : was);
            }
            if constexpr (W % 8 != 0) {
                const typename half::vec y4 = ys[k] - typename half::vec{};
                const auto d2 = d(x4, y4), was = half::load(row + W - 4);
                half::store(row + W - 4, d2 < was ? d2 : was);
            }
        }
    }
};

// One element's d2 at n scattered points, into their running minimum:
// rows too short to fill a vector are gathered and run together.
struct points_pass {
    template <isa I, class D2>
    static ORIN_FORCE_INLINE void run(const f64* __restrict xs, const f64* __restrict ys, int n, f64* __restrict best,
                                      const D2& d2_of) noexcept {
        for (int p = 0; p < n; ++p) {
            const f64 d2 = d2_of(xs[p], ys[p]);
            best[p] = d2 < best[p] ? d2 : best[p];
        }
    }
};

// What a band found to draw: an element or polygon, its rows, counted from
// the band's first, and the columns it reaches.
struct drawn_item {
    i32 item;
    i32 first_row, end_row;
    i32 count;  // a leaf of the element tree: items [item, item + count)
    i64 first_col, end_col;
    i32 outline = -1;  // a leaf's: the outline its block tests too
};

struct raster_scratch {
    std::vector<i64> from, to;  // an element's columns, row by row
    std::vector<drawn_item> elements, leaves, areas;
};

class grid_raster {
public:
    // A band is drawn where that costs at most `scale` times what the
    // evaluation would, both as estimated below; 0 and infinity pin either
    // way.
    grid_raster(const compiled_scene& scene, const f64* xs, i64 nx, const f64* ys, i64 ny, f64 scale = 1.0) noexcept
        : s_(scene), xs_(xs, nx), ys_(ys, ny), scale_(scale) {}

    // Rows [r0, r1) of the grid into `value` (the whole grid, row-major);
    // both axes must be usable().  False, with nothing written, where the
    // evaluation does them for less.
    bool draw(i64 r0, i64 r1, f64* value, raster_scratch& rs) const {
        if (!std::isfinite(s_.raster_reach_.first) || !std::isfinite(s_.raster_reach_.second)) return false;
        const i64 nx = xs_.size();
        const auto points = static_cast<f64>((r1 - r0) * nx);
        // Both ways read what reaches the band, from memory where its points
        // are sparse beside the items (the evaluation more often: once for
        // each block or cell it serves); what the evaluation spares is the
        // runs its bounds prune.
        f64 items = 0.0, runs = 0.0;
        auto evaluating = [&] { return scale_ * (eval_point * points + eval_item * items); };
        auto drawing = [&] { return draw_point * points + draw_item * items + runs; };
        const box band{xs_[0], ys_[r0], xs_[nx - 1], ys_[r1 - 1]};
        rs.elements.clear();
        rs.leaves.clear();
        rs.areas.clear();
        // `row`: what a row of it costs, given its columns.
        auto note = [&](std::vector<drawn_item>& to, i32 i, i32 count, const box& at, auto&& row) {
            const i64 a = std::max(r0, ys_.first_from(at.y0)), b = std::min(r1, ys_.first_past(at.y1));
            if (a >= b) return true;
            const i64 c0 = xs_.first_from(at.x0), c1 = xs_.first_past(at.x1);
            if (c0 >= c1) return true;
            items += count;
            runs += static_cast<f64>(b - a) * (draw_row + row(c1 - c0));
            to.push_back({i, static_cast<i32>(a - r0), static_cast<i32>(b - r0), count, c0, c1});
            return runs <= evaluating();
        };
        auto note_area = [&](i32 i) {
            const area& a = s_.areas_[static_cast<size_t>(i)];
            if (!boxes_overlap(a.b, band)) return true;
            const ring& outer = s_.rings_[static_cast<size_t>(a.first_ring)];
            const f64 each = outer.banded ? banded_test : 2.0 + 0.25 * static_cast<f64>(outer.view.extent(0));
            return note(rs.areas, i, 1, a.b, [&](i64 cols) { return static_cast<f64>(cols) * each; });
        };
        const bool cheap = s_.element_scan_.visit(band, [&](i32 first, i32 count, const box& u, i32 outline) {
            // Where a leaf reaches only a few samples a row, its elements
            // run together over the block of rows it reaches.
            if (xs_.span(u.x1 - u.x0) < static_cast<f64>(long_rows)) {
                const size_t noted = rs.leaves.size();
                if (!note(rs.leaves, first, count, u, [&](i64 cols) { return draw_pair * cols * count; })) {
                    return false;
                }
                if (outline < 0 || rs.leaves.size() == noted) return true;
                drawn_item& d = rs.leaves.back();
                // Drawn otherwise than as a block, the leaf leaves its
                // polygon to be drawn as any other.
                if (block_width(d) == 0) return note_area(s_.outlines_[static_cast<size_t>(outline)].area);
                d.outline = outline;
                const compiled_scene::outline& o = s_.outlines_[static_cast<size_t>(outline)];
                runs += ys_.span(o.b.y1 - o.b.y0) * (draw_row + 4.0 * static_cast<f64>(o.count));
                return runs <= evaluating();
            }
            if (outline >= 0 && !note_area(s_.outlines_[static_cast<size_t>(outline)].area)) return false;
            for (i32 i = first; i < first + count; ++i) {
                const element& e = s_.elements_[static_cast<size_t>(i)];
                const auto [ex, ey] = s_.element_reach(e);
                const box b = element_box(e);
                const box reach{b.x0 - ex, b.y0 - ey, b.x1 + ex, b.y1 + ey};
                // Clipped, a row runs over about the span within ey of it.
                const f64 w = clipped(e, ey) ? std::fabs(e.vx / e.vy) * 2.0 * ey + 2.0 * ex : reach.x1 - reach.x0;
                auto row = [&](i64 cols) { return draw_pair * std::min(static_cast<f64>(cols), xs_.span(w)); };
                if (!note(rs.elements, i, 1, reach, row)) return false;
            }
            return true;
        }) && s_.area_scan_.visit(band, [&](i32 first, i32 count, const box&, i32) {
            for (i32 i = first; i < first + count; ++i) {
                const bool outlined = s_.outlined_[static_cast<size_t>(i)] == compiled_scene::area_outlined;
                if (!outlined && !note_area(i)) return false;
            }
            return true;
        });
        if (!cheap || drawing() > evaluating()) return false;
        const f64 limit = s_.d2_limit_;
        std::fill(value + r0 * nx, value + r1 * nx, limit);
        for (const drawn_item& d : rs.elements) draw_element(d, r0, value, rs);
        // Leaves that fit a block go first, all in one call.
        const auto blocks = std::partition(rs.leaves.begin(), rs.leaves.end(),
                                           [&](const drawn_item& d) { return block_width(d) != 0; });
        dispatch<blocks_pass>(*this, rs.leaves.data(), static_cast<size_t>(blocks - rs.leaves.begin()), r0, value);
        for (auto d = blocks; d != rs.leaves.end(); ++d) {
            gathered(d->item, d->count, r0 + d->first_row, r0 + d->end_row,
                     [&](i64) { return std::pair{d->first_col, d->end_col}; }, value);
        }
        for (const drawn_item& d : rs.areas) draw_area(d, r0, value);
        for (f64* v = value + r0 * nx; v < value + r1 * nx; ++v) *v = *v < limit ? std::exp(-*v) : 0.0;
        return true;
    }

private:
    const compiled_scene& s_;
    grid_axis xs_, ys_;
    f64 scale_;

    // The estimates, in about a nanosecond each on the machine they were
    // measured on: a city's grids at 1.4 to 14 m spacing, the harbour's,
    // and finely divided outlines.  Drawing costs a few a point, fifty an
    // element or polygon read, eight a row it runs and half a pair; a ring
    // test two and a quarter a vertex, or about thirty through its index.
    // The evaluation costs forty a point, and a hundred an item read.
    static constexpr f64 draw_point = 4.0;
    static constexpr f64 draw_item = 50.0;
    static constexpr f64 draw_row = 8.0;
    static constexpr f64 draw_pair = 0.5;
    static constexpr f64 banded_test = 32.0;
    static constexpr f64 eval_point = 40.0;
    static constexpr f64 eval_item = 100.0;

    // Samples a row, on average, from which an element runs row by row.
    static constexpr i64 long_rows = 16;

    // A segment that rises well beyond its reach spares most of its box:
    // a point within reach has its nearest point on the part within ry of
    // the point's row, so lies within rx of the span of that part.
    static bool clipped(const element& e, f64 ry) noexcept { return e.is_segment && std::fabs(e.vy) > ry; }

    void draw_element(const drawn_item& d, i64 r0, f64* value, raster_scratch& rs) const {
        const element& e = s_.elements_[static_cast<size_t>(d.item)];
        const auto [rx, ry] = s_.element_reach(e);
        const i64 first = r0 + d.first_row, rows = d.end_row - d.first_row;
        rs.from.resize(static_cast<size_t>(rows));
        rs.to.resize(static_cast<size_t>(rows));
        const i64 c0 = d.first_col, c1 = d.end_col;
        const bool clip = clipped(e, ry);
        const f64 room = rx + compiled_scene::rounding_room(std::fabs(e.ax) + std::fabs(e.vx) + rx);
        for (i64 k = 0; k < rows; ++k) {
            i64 lo = c0, hi = c1;
            if (clip) {
                const f64 y = ys_[first + k];
                const f64 h = ry + compiled_scene::rounding_room(std::fabs(y) + std::fabs(e.ay) + ry);
                const f64 ta = (y - h - e.ay) / e.vy, tb = (y + h - e.ay) / e.vy;
                const f64 xa = e.ax + e.vx * std::clamp(std::min(ta, tb), 0.0, 1.0);
                const f64 xb = e.ax + e.vx * std::clamp(std::max(ta, tb), 0.0, 1.0);
                lo = std::max(lo, xs_.first_from(std::min(xa, xb) - room));
                hi = std::min(hi, xs_.first_past(std::max(xa, xb) + room));
            }
            rs.from[static_cast<size_t>(k)] = lo;
            rs.to[static_cast<size_t>(k)] = hi;
        }
        i64 reached = 0;
        for (size_t k = 0; k < static_cast<size_t>(rows); ++k) reached += std::max<i64>(0, rs.to[k] - rs.from[k]);
        if (reached < long_rows * rows) {
            gathered(d.item, 1, first, first + rows, [&](i64 r) {
                return std::pair{rs.from[static_cast<size_t>(r - first)], rs.to[static_cast<size_t>(r - first)]};
            }, value);
            return;
        }
        const i64 nx = xs_.size();
        with_d2(e, [&](const auto& d2_of) {
            dispatch<rows_pass>(xs_.data(), ys_.data() + first, rs.from.data(), rs.to.data(), rows, nx,
                                value + first * nx, d2_of);
        });
    }

    // A leaf over columns [c0, c1) of its rows is drawn as a block of the
    // next width up that the row holds: the columns it takes beyond
    // [c0, c1) only see a d2 that the evaluation could have found there too,
    // so they keep their minimum.  0 where no block fits.
    //
    // Over a whole city's coarse grid (a leaf a building, its block about
    // 8 x 6 samples) the widths and the leaf's shared rows take a quarter
    // more d2 than each wall's own box rounded alike would, yet every cut
    // measured lost: each wall over its own rows (a tenth fewer d2, 12%
    // slower however its rows were found; likely the loops' exits, which
    // the leaf's elements no longer share), rows outermost over a
    // leaf's elements (no faster), a second pass skipping the rows that no
    // sample could improve on by the box bound (two in five skipped, 12%
    // slower: each leaf read and set up twice), and leaves sorted by shape
    // (half the speed: the band's rows leave the cache, so leaves keep the
    // index's order).  In one pass, a leaf may skip the rows whose best so
    // far is already at or below its gap bound: a quarter of the rows, yet
    // 12 to 16% slower, even with each leaf's rows found two leaves ahead,
    // and slower still with the rows found and then ignored.  The d2 loop
    // runs at about 15 cycles a vector where its operations alone need 6,
    // so it is likely bound by how much of its chain of dependent
    // operations the core holds in flight, and the bound's loads, waiting
    // on the stores before them, take that room.  Packing a leaf's samples
    // densely (an eighth fewer d2) lost 15 to 20%: the copies in and out cost
    // more than the d2 they spared.  Row counts fixed at compile time
    // changed nothing.
    int block_width(const drawn_item& d) const noexcept {
        const i64 w = d.end_col - d.first_col;
        const int width = w <= 4 ? 4 : w <= 8 ? 8 : w <= 12 ? 12 : w <= 16 ? 16 : 0;
        return xs_.size() < width ? 0 : width;
    }

    // Leaves d[0, n) drawn as blocks, in one call of the active path: a
    // leaf's elements each reach a few rows, and a call apiece would cost a
    // good part of what drawing them does.
    struct blocks_pass {
        template <isa I>
        static ORIN_FORCE_INLINE void run(const grid_raster& g, const drawn_item* d, size_t n, i64 r0,
                                          f64* value) noexcept {
            for (size_t k = 0; k < n; ++k) {
                switch (g.block_width(d[k])) {
                    case 4: g.leaf_block<I, 4>(d[k], r0 + d[k].first_row, value); break;
                    case 8: g.leaf_block<I, 8>(d[k], r0 + d[k].first_row, value); break;
                    case 12: g.leaf_block<I, 12>(d[k], r0 + d[k].first_row, value); break;
                    default: g.leaf_block<I, 16>(d[k], r0 + d[k].first_row, value); break;
                }
            }
        }
    };

    // One element's block, for with_d2: a named functor, always inlined,
    // where a lambda would not take on the instruction set of the function
    // it is called from.
    template <isa I, int W>
    struct element_block {
        const f64 *xs, *ys;
        i64 rows, nx;
        f64* best;
        template <class D2>
        ORIN_FORCE_INLINE void operator()(const D2& d2_of) const noexcept {
            block_pass<W>::template run<I>(xs, ys, rows, nx, best, d2_of);
        }
    };

    template <isa I, int W>
    ORIN_FORCE_INLINE void leaf_block(const drawn_item& d, i64 first, f64* value) const noexcept {
        const i64 nx = xs_.size(), c = std::min(d.first_col, nx - W);
        const element_block<I, W> block{xs_.data() + c, ys_.data() + first, d.end_row - d.first_row, nx,
                                         value + first * nx + c};
        // The polygon first: its rows do not wait on the elements' d2.
        if (d.outline >= 0) {
            outline_block<W>(s_.outlines_[static_cast<size_t>(d.outline)], xs_.data() + c, ys_.data() + first,
                             d.end_row - d.first_row, nx, value + first * nx + c);
        }
        for (i32 i = d.item; i < d.item + d.count; ++i) with_d2(s_.elements_[static_cast<size_t>(i)], block);
    }

    // Inside is d2 = 0, as in draw_area, over a leaf's block: a row meets
    // each edge it straddles at one abscissa, computed as the ring test
    // computes it for every point of the row, four edges at a time, and a
    // sample is inside where an odd number of them lie to its right.
    // inside() admits only samples in the polygon's box, and so does this.
    template <int W>
    ORIN_FORCE_INLINE void outline_block(const compiled_scene::outline& o, const f64* __restrict xs,
                                         const f64* __restrict ys, i64 rows, i64 stride, f64* best) const noexcept {
        // The vectors block_pass stores, so that each load takes its row
        // back from one store.
        using wide = simd_lanes<8>;
        using half = simd_lanes<4>;
        using edge = typename half::vec;
        constexpr int n8 = W / 8;
        constexpr bool tail = W % 8 != 0;
        // Samples outside the box become NaN, which lies left of nothing.
        // The parity is a sign, flipped at each crossing: GCC splits the
        // select of an integer mask into lanes, but not one on a compare.
        const f64 nan = std::numeric_limits<f64>::quiet_NaN();
        auto boxed = [&](auto x) {
            using vec = decltype(x);
            x = x < o.b.x0 - vec{} ? nan - vec{} : x;
            return o.b.x1 - vec{} < x ? nan - vec{} : x;
        };
        typename wide::vec x8[n8 > 0 ? n8 : 1];
        typename half::vec x4{};
        for (int j = 0; j < n8; ++j) x8[j] = boxed(wide::load(xs + 8 * j));
        if constexpr (tail) x4 = boxed(half::load(xs + W - 4));
        const compiled_scene::outline_edges* e = s_.outline_edges_.data() + o.first;
        const f64 none = -std::numeric_limits<f64>::infinity(), huge = std::numeric_limits<f64>::max();
        // Only the polygon's rows: the rest are outside its box.
        const i64 k0 = std::max<i64>(0, ys_.first_from(o.b.y0) - (ys - ys_.data()));
        const i64 k1 = std::min<i64>(rows, ys_.first_past(o.b.y1) - (ys - ys_.data()));
        for (i64 k = k0; k < k1; ++k) {
            const edge y = ys[k] - edge{};
            typename wide::vec odd8[n8 > 0 ? n8 : 1];
            typename half::vec odd4 = 1.0 - half::vec{};
            for (int j = 0; j < n8; ++j) odd8[j] = 1.0 - wide::vec{};
            for (i32 c = 0; c < o.count; ++c) {
                const edge yi = half::load(e[c].yi), yj = half::load(e[c].yj);
                const edge cut = half::load(e[c].ex) * (y - yi) / half::load(e[c].ey) + half::load(e[c].xi);
                // An edge that does not straddle the row lies right of nothing.
                const edge cross = ((yi > y) ^ (yj > y)) ? cut : none - edge{};
                for (int l = 0; l < 4; ++l) {
                    for (int j = 0; j < n8; ++j) odd8[j] = x8[j] < cross[l] - wide::vec{} ? -odd8[j] : odd8[j];
                    if constexpr (tail) odd4 = x4 < cross[l] - half::vec{} ? -odd4 : odd4;
                }
            }
            f64* row = best + k * stride;
            // Inside, a positive d2 becomes 0: the minimum with 0 inside and
            // with infinity (1 + 1 times a huge number) outside.
            for (int j = 0; j < n8; ++j) {
                const typename wide::vec was = wide::load(row + 8 * j), cap = (odd8[j] + 1.0) * huge;
                wide::store(row + 8 * j, cap < was ? cap : was);
            }
            if constexpr (tail) {
                const typename half::vec was = half::load(row + W - 4), cap = (odd4 + 1.0) * huge;
                half::store(row + W - 4, cap < was ? cap : was);
            }
        }
    }

    // f(d2_of) with e's d2 as the evaluation computes it.
    template <class F>
    ORIN_FORCE_INLINE void with_d2(const element& e, F&& f) const {
        const metric& m = s_.metrics_[static_cast<size_t>(e.metric_id)];
        if (!e.is_segment) {
            f(point_d2{e.ax, e.ay, m.m00, m.m01, m.m10, m.m11});
        } else if (s_.proj_ == projection::euclidean) {
            f(segment_euclidean_d2{e.ax, e.ay, e.vx, e.vy, e.vv, m.m00, m.m01, m.m10, m.m11});
        } else {
            f64 svx, svy, vsv;
            compiled_scene::symmetric_along(e, m, svx, svy, vsv);
            f(segment_metric_d2{e.ax, e.ay, e.vx, e.vy, svx, svy, vsv, m.m00, m.m01, m.m10, m.m11});
        }
    }

    // Elements [first, first + count) over columns columns(r) of rows
    // [a, b), the samples gathered a block at a time.  A sample beyond an
    // element's reach is harmless: its d2 is at least the limit.
    template <class Columns>
    void gathered(i32 first, i32 count, i64 a, i64 b, Columns&& columns, f64* value) const {
        const i64 nx = xs_.size();
        f64 px[block_size], py[block_size], best[block_size];
        i64 at[block_size];
        int n = 0;
        auto flush = [&]() {
            for (i32 i = first; i < first + count; ++i) {
                with_d2(s_.elements_[static_cast<size_t>(i)],
                        [&](const auto& d2_of) { dispatch<points_pass>(px, py, n, best, d2_of); });
            }
            for (int j = 0; j < n; ++j) value[at[j]] = best[j];
            n = 0;
        };
        for (i64 r = a; r < b; ++r) {
            const auto [c0, c1] = columns(r);
            for (i64 c = c0; c < c1; ++c) {
                px[n] = xs_[c];
                py[n] = ys_[r];
                at[n] = r * nx + c;
                best[n] = value[at[n]];
                if (++n == block_size) flush();
            }
        }
        if (n > 0) flush();
    }

    // Inside is d2 = 0, which only a positive best can improve on.  The
    // points still to test, over all the polygon's rows, go to its rings a
    // block at a time: a large ring's index waits on memory at every point,
    // and a small ring tests a vector of them at once.
    void draw_area(const drawn_item& d, i64 r0, f64* value) const noexcept {
        const area& a = s_.areas_[static_cast<size_t>(d.item)];
        const ring& outer = s_.rings_[static_cast<size_t>(a.first_ring)];
        const i64 nx = xs_.size();
        f64 px[block_size], py[block_size];
        i64 at[block_size];
        std::uint8_t in[block_size];
        int n = 0;
        auto flush = [&]() {
            outer.contains_many(px, py, n, in);
            for (int k = 0; k < n; ++k) {
                if (in[k] && s_.outside_holes(a, px[k], py[k])) value[at[k]] = 0.0;
            }
            n = 0;
        };
        for (i64 r = r0 + d.first_row; r < r0 + d.end_row; ++r) {
            const f64 y = ys_[r];
            for (i64 c = d.first_col; c < d.end_col; ++c) {
                if (!(value[r * nx + c] > 0.0)) continue;
                px[n] = xs_[c];
                py[n] = y;
                at[n] = r * nx + c;
                if (++n == block_size) flush();
            }
        }
        if (n > 0) flush();
    }
};

}  // namespace orin::scene
