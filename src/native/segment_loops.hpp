// Repulsion vectors from many points to a set of segments.
#pragma once

#include <cstddef>
#include <limits>
#include <vector>

#include "field_math.hpp"
#include "multiversion.hpp"
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
// replaces", in segment order per point, so ties go to the lowest index
// while the compiler vectorises across the points.  Internal linkage (here
// and for the other cloned loops) keeps each module's ifunc resolver its own
// rather than an exported symbol that modules could interpose.
ORIN_CLONES static inline void repulsion_block(const double* __restrict xs, const double* __restrict ys,
                                               std::ptrdiff_t count, const packed_segments& seg, double m00,
                                               double m01, double m10, double m11, double* __restrict out_dx,
                                               double* __restrict out_dy) noexcept {
    double best[point_block_size], bdx[point_block_size], bdy[point_block_size];
    for (std::ptrdiff_t p = 0; p < count; ++p) {
        best[p] = std::numeric_limits<double>::infinity();
        bdx[p] = 0.0;
        bdy[p] = 0.0;
    }
    const std::ptrdiff_t s = seg.size();
    for (std::ptrdiff_t j = 0; j < s; ++j) {
        const double ax = seg.p1x[j], ay = seg.p1y[j], vx = seg.vx[j], vy = seg.vy[j], vv = seg.vv[j];
        for (std::ptrdiff_t p = 0; p < count; ++p) {
            double dx, dy;
            const double d2 = segment_candidate(xs[p], ys[p], ax, ay, vx, vy, vv, m00, m01, m10, m11, dx, dy);
            const bool better = d2 < best[p];
            best[p] = better ? d2 : best[p];
            bdx[p] = better ? dx : bdx[p];
            bdy[p] = better ? dy : bdy[p];
        }
    }
    for (std::ptrdiff_t p = 0; p < count; ++p) {
        out_dx[p] = bdx[p];
        out_dy[p] = bdy[p];
    }
}

// out(i, 0:2) = the repulsion vector of point i (of the first n rows of `x`)
// from its nearest segment under M; (0, 0) when every candidate is NaN.
template <class Points, class Out>
void segment_repulsion(const Points& x, std::ptrdiff_t n, const packed_segments& seg, double m00,
                       double m01, double m10, double m11, const Out& out) noexcept {
    for_point_blocks(x, n, [&](std::ptrdiff_t start, std::ptrdiff_t count, const double* xs,
                               const double* ys) {
        double dx[point_block_size], dy[point_block_size];
        repulsion_block(xs, ys, count, seg, m00, m01, m10, m11, dx, dy);
        for (std::ptrdiff_t p = 0; p < count; ++p) {
            out(start + p, 0) = dx[p];
            out(start + p, 1) = dy[p];
        }
    });
}

}  // namespace orin
