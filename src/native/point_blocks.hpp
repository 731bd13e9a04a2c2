// Points gathered block by block into contiguous x and y columns, which the
// vectorised block loops read whatever the strides of the caller's array.
#pragma once

#include <algorithm>
#include <cstddef>

#include "strided_view.hpp"

namespace orin {

// Small enough that a block's columns and per-point state stay in L1, large
// enough that the loop over a block amortises the loads of its obstacle.
inline constexpr std::ptrdiff_t point_block_size = 64;

// Calls body(start, count, xs, ys) for points [start, start + count) of the
// first n rows of `pts`, count <= point_block_size.  Between blocks, whenever
// the points done since the last time, each weighed by `cost`, add up to
// `interval`, asks stop() whether to end there.  Returns false where it did:
// the rows after that block are left as they were.  Throws what body throws.
template <class Points, class Body, class Stop>
bool for_point_blocks(const Points& pts, std::ptrdiff_t n, std::ptrdiff_t cost, std::ptrdiff_t interval, Body&& body,
                      Stop&& stop) {
    double xs[point_block_size], ys[point_block_size];
    std::ptrdiff_t spent = 0;
    for (std::ptrdiff_t start = 0; start < n; start += point_block_size) {
        const std::ptrdiff_t count = std::min(point_block_size, n - start);
        for (std::ptrdiff_t p = 0; p < count; ++p) {
            xs[p] = pts(start + p, 0);
            ys[p] = pts(start + p, 1);
        }
        body(start, count, xs, ys);
        spent += count * cost;
        if (spent >= interval) {
            spent = 0;
            if (stop()) return false;
        }
    }
    return true;
}

// The same without a stop.
template <class Points, class Body>
void for_point_blocks(const Points& pts, std::ptrdiff_t n, Body&& body) {
    for_point_blocks(pts, n, 0, 1, body, [] { return false; });
}

}  // namespace orin
