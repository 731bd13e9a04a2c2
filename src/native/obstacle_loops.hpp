// The maximum point-obstacle risk, max_k exp(-(x - c_k)^T M_k (x - c_k)).
#pragma once

#include <cmath>
#include <cstddef>
#include <limits>
#include <vector>

#include "field_math.hpp"
#include "multiversion.hpp"
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

// best[p] = the smallest quadratic form of point p over every obstacle, NaN
// when every form is NaN.  max_k exp(-d_k) is exp(-min_k d_k) because exp is
// monotonic, so the caller takes one exponential per point.
ORIN_CLONES static inline void min_forms_block(const double* __restrict xs, const double* __restrict ys,
                                               std::ptrdiff_t count, const packed_obstacles& ob,
                                               double* __restrict best) noexcept {
    for (std::ptrdiff_t p = 0; p < count; ++p) best[p] = std::numeric_limits<double>::quiet_NaN();
    const std::ptrdiff_t k = ob.size();
    for (std::ptrdiff_t c = 0; c < k; ++c) {
        const double cx = ob.cx[c], cy = ob.cy[c];
        const double a = ob.m00[c], b = ob.m01[c], d = ob.m10[c], e = ob.m11[c];
        for (std::ptrdiff_t p = 0; p < count; ++p) {
            const double d2 = quadratic_form(xs[p] - cx, ys[p] - cy, a, b, d, e);
            // NaN in best means "nothing yet"; a NaN d2 never replaces.
            best[p] = (d2 < best[p] || (best[p] != best[p] && d2 == d2)) ? d2 : best[p];
        }
    }
}

// out(i) = the maximum risk at point i of the first n rows of `x`.  NaN forms
// lose every comparison, as NaN values would; a point with no non-NaN form
// gets 0.0, as does one whose exponential underflows.
template <class Points, class Out>
void obstacles_eval_max(const Points& x, std::ptrdiff_t n, const packed_obstacles& ob,
                        const Out& out) noexcept {
    for_point_blocks(x, n, [&](std::ptrdiff_t start, std::ptrdiff_t count, const double* xs,
                               const double* ys) {
        double best[point_block_size];
        min_forms_block(xs, ys, count, ob, best);
        for (std::ptrdiff_t p = 0; p < count; ++p) {
            out(start + p) = std::isnan(best[p]) ? 0.0 : std::exp(-best[p]);
        }
    });
}

}  // namespace orin
