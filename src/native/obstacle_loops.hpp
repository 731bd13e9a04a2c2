// The maximum point-obstacle risk, max_k exp(-(x - c_k)^T M_k (x - c_k)).
#pragma once

#include <cmath>
#include <cstddef>
#include <limits>
#include <vector>

#include "field_math.hpp"
#include "isa_dispatch.hpp"
#include "simd_lanes.hpp"
#include "point_blocks.hpp"
#include "strided_view.hpp"

namespace orin {

// Centres and metrics packed into columns once per call.
struct packed_obstacles {
    std::vector<double> cx, cy, m00, m01, m10, m11;

    std::ptrdiff_t size() const noexcept { return static_cast<std::ptrdiff_t>(cx.size()); }

    // May throw std::bad_alloc; call with the lock held.
    void resize(std::ptrdiff_t k) {
        for (auto* a : {&cx, &cy, &m00, &m01, &m10, &m11}) a->resize(static_cast<std::size_t>(k));
    }

    // Copies the first size() centres and their (2, 2) metrics.
    void fill(const strided_view<double, 2>& centers, const strided_view<double, 3>& metrics) noexcept {
        for (std::ptrdiff_t c = 0; c < size(); ++c) {
            cx[c] = centers(c, 0);
            cy[c] = centers(c, 1);
            m00[c] = metrics(c, 0, 0);
            m01[c] = metrics(c, 0, 1);
            m10[c] = metrics(c, 1, 0);
            m11[c] = metrics(c, 1, 1);
        }
    }
};

// Running minima of the quadratic forms, min over c of d2_c(p), for the
// points of one block.  max_k exp(-d_k) is exp(-min_k d_k) because exp is
// monotonic, so the caller takes one exponential per point.
//
// The minima start at +inf and a form replaces only when strictly smaller,
// so a NaN form never replaces and a point whose every form is NaN (or
// +inf) ends at +inf, whose exp(-inf) = 0.0 is what "no obstacle counts"
// reads.  A form of -inf (a metric that is not positive definite) wins and
// gives exp(+inf) = +inf, as it would in the maximum of the exponentials.
// `d2 < best ? d2 : best` is also exactly what a vector min instruction
// computes, so the selection is one operation per lane.
struct min_forms_loop {
    // Points per tile: enough independent vectors that the obstacle loop's
    // additions and multiplications overlap, few enough that the tile's
    // coordinates and minima stay in registers (32 zmm, 16 ymm / xmm).
    template <isa I>
    static constexpr int tile_vectors = I == isa::avx512 ? 4 : 2;

    // U vectors of points against every obstacle; each obstacle's centre and
    // metric are read once per tile and broadcast to the lanes.
    template <class L, int U>
    static ORIN_FORCE_INLINE void tile(const double* __restrict xs, const double* __restrict ys,
                                       const packed_obstacles& ob, double* __restrict best) noexcept {
        using vec = typename L::vec;
        constexpr int w = L::width;
        vec x[U], y[U], b[U];
        for (int u = 0; u < U; ++u) {
            x[u] = L::load(xs + u * w);
            y[u] = L::load(ys + u * w);
            b[u] = L::splat(std::numeric_limits<double>::infinity());
        }
        const double *cx = ob.cx.data(), *cy = ob.cy.data();
        const double *m00 = ob.m00.data(), *m01 = ob.m01.data(), *m10 = ob.m10.data(), *m11 = ob.m11.data();
        const std::ptrdiff_t k = ob.size();
        for (std::ptrdiff_t c = 0; c < k; ++c) {
            for (int u = 0; u < U; ++u) {
                const vec d2 = quadratic_form(x[u] - cx[c], y[u] - cy[c], m00[c], m01[c], m10[c], m11[c]);
                b[u] = d2 < b[u] ? d2 : b[u];
            }
        }
        for (int u = 0; u < U; ++u) L::store(best + u * w, b[u]);
    }

    // The last few points of a block, in one vector padded with zeros
    // whose results are dropped.
    template <class L>
    static ORIN_FORCE_INLINE void padded(const double* xs, const double* ys, std::ptrdiff_t rest,
                                         const packed_obstacles& ob, double* best) noexcept {
        double px[L::width] = {}, py[L::width] = {}, pb[L::width];
        for (std::ptrdiff_t q = 0; q < rest; ++q) {
            px[q] = xs[q];
            py[q] = ys[q];
        }
        tile<L, 1>(px, py, ob, pb);
        for (std::ptrdiff_t q = 0; q < rest; ++q) best[q] = pb[q];
    }

    // best[p] for the first `count` points of the block columns.
    template <isa I>
    static ORIN_FORCE_INLINE void run(const double* xs, const double* ys, std::ptrdiff_t count,
                                      const packed_obstacles& ob, double* best) noexcept {
        using L = simd_lanes_for<I>;
        constexpr int w = L::width, u = tile_vectors<I>;
        std::ptrdiff_t p = 0;
        for (; p + u * w <= count; p += u * w) tile<L, u>(xs + p, ys + p, ob, best + p);
        for (; p + w <= count; p += w) tile<L, 1>(xs + p, ys + p, ob, best + p);
        // The narrowest vector that holds the rest: a call for one point
        // should not pay for eight lanes.
        const std::ptrdiff_t rest = count - p;
        if (rest == 0) return;
        if (w == 2 || rest <= 2) return padded<simd_lanes<2>>(xs + p, ys + p, rest, ob, best + p);
        if (w == 4 || rest <= 4) return padded<simd_lanes<4>>(xs + p, ys + p, rest, ob, best + p);
        padded<L>(xs + p, ys + p, rest, ob, best + p);
    }
};

// out(i) = the maximum risk at point i of the first n rows of `x`.  NaN forms
// lose every comparison, as NaN values would; a point with no non-NaN form
// gets 0.0, as does one whose exponential underflows.  About every
// `interval` point-obstacle pairs, stop() may end the pass early (false).
template <class Points, class Out, class Stop>
bool obstacles_eval_max(const Points& x, std::ptrdiff_t n, const packed_obstacles& ob, const Out& out,
                        std::ptrdiff_t interval, Stop&& stop) {
    return for_point_blocks(
        x, n, ob.size(), interval,
        [&](std::ptrdiff_t start, std::ptrdiff_t count, const double* xs, const double* ys) {
            double best[point_block_size];
            dispatch<min_forms_loop>(xs, ys, count, ob, best);
            for (std::ptrdiff_t p = 0; p < count; ++p) out(start + p) = std::exp(-best[p]);
        },
        stop);
}

}  // namespace orin
