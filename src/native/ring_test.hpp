// The even-odd point-in-ring rule, plainly and through a band index.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "strided_view.hpp"

namespace orin {

// Even-odd ray casting.  The abscissa is evaluated as product, then quotient,
// then sum, and only for edges that straddle y, so horizontal edges never
// divide; NaN fails every comparison and so never crosses.
inline int point_in_ring(double x, double y, const strided_view<double, 2>& ring) noexcept {
    const std::ptrdiff_t n = ring.extent(0);
    if (n < 3) return 0;
    int inside = 0;
    std::ptrdiff_t j = n - 1;
    for (std::ptrdiff_t i = 0; i < n; ++i) {
        const double xi = ring(i, 0), yi = ring(i, 1);
        const double xj = ring(j, 0), yj = ring(j, 1);
        if (((yi > y) != (yj > y)) && (x < (xj - xi) * (y - yi) / (yj - yi) + xi)) inside ^= 1;
        j = i;
    }
    return inside;
}

// The same rule for many points against one ring.
//
// Only edges that straddle a point's y can toggle the parity, so the edges are
// sorted into horizontal bands of the ring's y range and each point tests just
// the edges of its band, with the very same edge test as point_in_ring.
// Parity does not depend on the order of the toggles, so the result is
// identical.  A point outside [ymin, ymax) sees every edge on one side of it
// and crosses none.  Both facts rest on ordered comparisons, so a ring with a
// NaN y cannot be banded and the caller falls back to the plain loop.
class ring_bands {
public:
    // Returns false when banding cannot be used for this ring.  At most
    // `max_bands` bands (fewer when long edges would fill too many).  May
    // throw std::bad_alloc.
    bool build(const strided_view<double, 2>& ring, std::ptrdiff_t max_bands = 4096) {
        const std::ptrdiff_t r = ring.extent(0);
        ymin_ = std::numeric_limits<double>::infinity();
        ymax_ = -ymin_;
        for (std::ptrdiff_t i = 0; i < r; ++i) {
            const double y = ring(i, 1);
            if (std::isnan(y)) return false;
            ymin_ = std::min(ymin_, y);
            ymax_ = std::max(ymax_, y);
        }
        if (!(ymax_ > ymin_) || !std::isfinite(ymax_ - ymin_)) return false;
        // Long edges land in many bands; keep the table within a small
        // multiple of the ring size.
        std::ptrdiff_t bands = std::max<std::ptrdiff_t>(1, std::min(r, max_bands));
        const std::ptrdiff_t budget = 8 * r + 1024;
        for (;;) {
            scale_ = static_cast<double>(bands) / (ymax_ - ymin_);
            bands_ = bands;
            std::ptrdiff_t entries = 0;
            for_each_edge(ring, [&](std::ptrdiff_t lo, std::ptrdiff_t hi, std::ptrdiff_t) {
                entries += hi - lo + 1;
            });
            if (entries <= budget || bands == 1) break;
            bands = std::max<std::ptrdiff_t>(1, bands / 4);
        }
        start_.assign(static_cast<std::size_t>(bands_) + 1, 0);
        for_each_edge(ring, [&](std::ptrdiff_t lo, std::ptrdiff_t hi, std::ptrdiff_t) {
            for (std::ptrdiff_t b = lo; b <= hi; ++b) ++start_[static_cast<std::size_t>(b) + 1];
        });
        for (std::ptrdiff_t b = 0; b < bands_; ++b) start_[b + 1] += start_[b];
        edges_.resize(static_cast<std::size_t>(start_[bands_]));
        std::vector<std::ptrdiff_t> fill(start_.begin(), start_.end() - 1);
        for_each_edge(ring, [&](std::ptrdiff_t lo, std::ptrdiff_t hi, std::ptrdiff_t i) {
            const std::ptrdiff_t j = i == 0 ? r - 1 : i - 1;
            const edge e{ring(i, 0), ring(i, 1), ring(j, 0), ring(j, 1)};
            for (std::ptrdiff_t b = lo; b <= hi; ++b) edges_[static_cast<std::size_t>(fill[b]++)] = e;
        });
        return true;
    }

    // Needs a successful build().
    // Memory held by the index, in bytes.
    std::size_t nbytes() const noexcept {
        return start_.capacity() * sizeof(start_[0]) + edges_.capacity() * sizeof(edges_[0]);
    }

    int contains(double x, double y) const noexcept {
        if (!(y >= ymin_ && y < ymax_)) return 0;
        const std::ptrdiff_t b = band_of(y);
        int inside = 0;
        for (std::ptrdiff_t k = start_[b]; k < start_[b + 1]; ++k) {
            const edge& e = edges_[static_cast<std::size_t>(k)];
            // Branch-free: the quotient is computed for every edge of the band
            // but only counts where the edge straddles y, exactly as above.
            const bool straddles = (e.yi > y) != (e.yj > y);
            const bool left = x < (e.xj - e.xi) * (y - e.yi) / (e.yj - e.yi) + e.xi;
            inside ^= static_cast<int>(straddles & left);
        }
        return inside;
    }

private:
    struct edge {
        double xi, yi, xj, yj;
    };

    // Monotonic in y (a subtraction and a multiplication by a positive
    // constant, both rounded monotonically), so a y between an edge's end
    // points always falls in a band the edge was filed under.
    std::ptrdiff_t band_of(double y) const noexcept {
        const double f = (y - ymin_) * scale_;
        if (!(f > 0.0)) return 0;
        if (f >= static_cast<double>(bands_)) return bands_ - 1;
        return static_cast<std::ptrdiff_t>(f);
    }

    template <class F>
    void for_each_edge(const strided_view<double, 2>& ring, F&& f) const {
        const std::ptrdiff_t r = ring.extent(0);
        for (std::ptrdiff_t i = 0; i < r; ++i) {
            const std::ptrdiff_t j = i == 0 ? r - 1 : i - 1;
            const double a = ring(i, 1), c = ring(j, 1);
            if (a == c) continue;  // horizontal edges never straddle
            f(band_of(std::min(a, c)), band_of(std::max(a, c)), i);
        }
    }

    double ymin_ = 0.0, ymax_ = 0.0, scale_ = 0.0;
    std::ptrdiff_t bands_ = 0;
    std::vector<std::ptrdiff_t> start_;
    std::vector<edge> edges_;
};

// The outer-ring pass of point_in_rings: out(i) = 1 where point i of the
// first n rows of `pts` is inside `ring`, through `bands` when given (built
// for this ring).  A ring of fewer than three vertices contains nothing and
// leaves `out` as it was.
template <class Points, class Out>
void rings_outer_pass(const Points& points, std::ptrdiff_t n, const strided_view<double, 2>& ring,
                      const ring_bands* bands, const Out& out_view) noexcept {
    if (ring.extent(0) < 3) return;
    // Local copies of the views: a one-byte store may alias any memory the
    // compiler cannot see is private, so through the references it would
    // reload their pointers and strides after every point.
    const Points pts = points;
    const Out out = out_view;
    for (std::ptrdiff_t i = 0; i < n; ++i) {
        const double x = pts(i, 0), y = pts(i, 1);
        out(i) = static_cast<std::uint8_t>(bands ? bands->contains(x, y) : point_in_ring(x, y, ring));
    }
}

}  // namespace orin
