// Repulsion vectors from many points to a set of segments.
#pragma once

#include <cstddef>
#include <limits>
#include <vector>

#include "field_math.hpp"
#include "isa_dispatch.hpp"
#include "simd_lanes.hpp"
#include "point_blocks.hpp"
#include "strided_view.hpp"

namespace orin {

// Segments packed into columns once per call, so the point loop streams
// contiguous memory whatever the layout of the caller's arrays.
struct packed_segments {
    std::vector<double> p1x, p1y, vx, vy, vv;

    std::ptrdiff_t size() const noexcept { return static_cast<std::ptrdiff_t>(vv.size()); }

    // May throw std::bad_alloc; call with the lock held.
    void resize(std::ptrdiff_t s) {
        for (auto* a : {&p1x, &p1y, &vx, &vy, &vv}) a->resize(static_cast<std::size_t>(s));
    }

    // Copies the first size() rows of origins, directions and v.v.
    void fill(const strided_view<double, 2>& p1, const strided_view<double, 2>& v,
              const strided_view<double, 1>& v_dot_v) noexcept {
        for (std::ptrdiff_t j = 0; j < size(); ++j) {
            p1x[j] = p1(j, 0);
            p1y[j] = p1(j, 1);
            vx[j] = v(j, 0);
            vy[j] = v(j, 1);
            vv[j] = v_dot_v(j);
        }
    }
};

// One block of points against every segment in turn: "strictly smaller
// replaces", in segment order per point, so ties go to the lowest index,
// with the points across the lanes.  A point whose every candidate is NaN
// or +inf keeps (0, 0).
struct repulsion_loop {
    // Each point carries five vectors of state (x, y, best, dx, dy); two
    // tiles of them keep two divisions in flight per segment.
    template <isa I>
    static constexpr int tile_vectors = 2;

    template <class L, int U>
    static ORIN_FORCE_INLINE void tile(const double* __restrict xs, const double* __restrict ys,
                                       const packed_segments& seg, double m00, double m01, double m10,
                                       double m11, double* __restrict out_dx, double* __restrict out_dy) noexcept {
        using vec = typename L::vec;
        constexpr int w = L::width;
        vec x[U], y[U], best[U], bdx[U], bdy[U];
        for (int u = 0; u < U; ++u) {
            x[u] = L::load(xs + u * w);
            y[u] = L::load(ys + u * w);
            best[u] = L::splat(std::numeric_limits<double>::infinity());
            bdx[u] = L::splat(0.0);
            bdy[u] = L::splat(0.0);
        }
        const double *p1x = seg.p1x.data(), *p1y = seg.p1y.data();
        const double *vx = seg.vx.data(), *vy = seg.vy.data(), *vv = seg.vv.data();
        const std::ptrdiff_t s = seg.size();
        for (std::ptrdiff_t j = 0; j < s; ++j) {
            for (int u = 0; u < U; ++u) {
                vec dx, dy;
                const vec d2 =
                    segment_candidate(x[u], y[u], p1x[j], p1y[j], vx[j], vy[j], vv[j], m00, m01, m10, m11, dx, dy);
                const auto better = d2 < best[u];
                best[u] = better ? d2 : best[u];
                bdx[u] = better ? dx : bdx[u];
                bdy[u] = better ? dy : bdy[u];
            }
        }
        for (int u = 0; u < U; ++u) {
            L::store(out_dx + u * w, bdx[u]);
            L::store(out_dy + u * w, bdy[u]);
        }
    }

    // A lone point (a call for one point, the last of a block) against w
    // segments at a time: lane l sees segments l, l + w, ..., keeping the
    // first of its own smallest, with its index; the lanes then merge, the
    // lower index first among equal values, and the last s % w segments
    // follow in order.  That is the sequential rule's choice, reached in
    // s / w steps rather than s.
    template <class L>
    static ORIN_FORCE_INLINE void lone_point(double xi, double yi, const packed_segments& seg, double m00,
                                             double m01, double m10, double m11, double& out_dx,
                                             double& out_dy) noexcept {
        using vec = typename L::vec;
        constexpr int w = L::width;
        const vec x = L::splat(xi), y = L::splat(yi);
        vec best = L::splat(std::numeric_limits<double>::infinity()), bdx = L::splat(0.0), bdy = bdx;
        vec index = bdx, at;
        for (int l = 0; l < w; ++l) at[l] = l;
        const std::ptrdiff_t s = seg.size();
        std::ptrdiff_t j = 0;
        for (; j + w <= s; j += w) {
            vec dx, dy;
            const vec d2 = segment_candidate(x, y, L::load(&seg.p1x[j]), L::load(&seg.p1y[j]), L::load(&seg.vx[j]),
                                             L::load(&seg.vy[j]), L::load(&seg.vv[j]), m00, m01, m10, m11, dx, dy);
            const auto better = d2 < best;
            best = better ? d2 : best;
            bdx = better ? dx : bdx;
            bdy = better ? dy : bdy;
            index = better ? at : index;
            at += w;
        }
        // A lane that never chose keeps +inf and (0, 0), which can tie only
        // with another such lane: merging it changes nothing.
        double b = std::numeric_limits<double>::infinity(), rx = 0.0, ry = 0.0, bi = 0.0;
        for (int l = 0; l < w; ++l) {
            if (best[l] < b || (best[l] == b && index[l] < bi)) {
                b = best[l];
                rx = bdx[l];
                ry = bdy[l];
                bi = index[l];
            }
        }
        for (; j < s; ++j) {
            double dx, dy;
            const double d2 = segment_candidate(xi, yi, seg.p1x[j], seg.p1y[j], seg.vx[j], seg.vy[j], seg.vv[j], m00,
                                                m01, m10, m11, dx, dy);
            const bool better = d2 < b;
            b = better ? d2 : b;
            rx = better ? dx : rx;
            ry = better ? dy : ry;
        }
        out_dx = rx;
        out_dy = ry;
    }

    // The last few points of a block, in one vector padded with zeros
    // whose results are dropped.
    template <class L>
    static ORIN_FORCE_INLINE void padded(const double* xs, const double* ys, std::ptrdiff_t rest,
                                         const packed_segments& seg, double m00, double m01, double m10,
                                         double m11, double* out_dx, double* out_dy) noexcept {
        double px[L::width] = {}, py[L::width] = {}, pdx[L::width], pdy[L::width];
        for (std::ptrdiff_t q = 0; q < rest; ++q) {
            px[q] = xs[q];
            py[q] = ys[q];
        }
        tile<L, 1>(px, py, seg, m00, m01, m10, m11, pdx, pdy);
        for (std::ptrdiff_t q = 0; q < rest; ++q) {
            out_dx[q] = pdx[q];
            out_dy[q] = pdy[q];
        }
    }

    // out_dx[p], out_dy[p] for the first `count` points of the block columns.
    template <isa I>
    static ORIN_FORCE_INLINE void run(const double* xs, const double* ys, std::ptrdiff_t count,
                                      const packed_segments& seg, double m00, double m01, double m10, double m11,
                                      double* out_dx, double* out_dy) noexcept {
        using L = simd_lanes_for<I>;
        constexpr int w = L::width, u = tile_vectors<I>;
        std::ptrdiff_t p = 0;
        for (; p + u * w <= count; p += u * w) {
            tile<L, u>(xs + p, ys + p, seg, m00, m01, m10, m11, out_dx + p, out_dy + p);
        }
        for (; p + w <= count; p += w) tile<L, 1>(xs + p, ys + p, seg, m00, m01, m10, m11, out_dx + p, out_dy + p);
        // The narrowest vector that holds the rest: a wide division costs
        // more than a narrow one, and a call for one point should not pay
        // for eight lanes.
        const std::ptrdiff_t rest = count - p;
        if (rest == 0) return;
        if (rest == 1) return lone_point<L>(xs[p], ys[p], seg, m00, m01, m10, m11, out_dx[p], out_dy[p]);
        if (w == 2 || rest <= 2) {
            return padded<simd_lanes<2>>(xs + p, ys + p, rest, seg, m00, m01, m10, m11, out_dx + p, out_dy + p);
        }
        if (w == 4 || rest <= 4) {
            return padded<simd_lanes<4>>(xs + p, ys + p, rest, seg, m00, m01, m10, m11, out_dx + p, out_dy + p);
        }
        padded<L>(xs + p, ys + p, rest, seg, m00, m01, m10, m11, out_dx + p, out_dy + p);
    }
};

// out(i, 0:2) = the repulsion vector of point i (of the first n rows of `x`)
// from its nearest segment under M; (0, 0) when every candidate is NaN.
// About every `interval` point-segment pairs, stop() may end the pass early
// (false).
template <class Points, class Out, class Stop>
bool segment_repulsion(const Points& x, std::ptrdiff_t n, const packed_segments& seg, double m00, double m01,
                       double m10, double m11, const Out& out, std::ptrdiff_t interval, Stop&& stop) {
    return for_point_blocks(
        x, n, seg.size(), interval,
        [&](std::ptrdiff_t start, std::ptrdiff_t count, const double* xs, const double* ys) {
            double dx[point_block_size], dy[point_block_size];
            dispatch<repulsion_loop>(xs, ys, count, seg, m00, m01, m10, m11, dx, dy);
            for (std::ptrdiff_t p = 0; p < count; ++p) {
                out(start + p, 0) = dx[p];
                out(start + p, 1) = dy[p];
            }
        },
        stop);
}

}  // namespace orin
