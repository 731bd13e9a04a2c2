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
// first n rows of `pts`, count <= point_block_size.  Throws what body throws.
template <class Points, class Body>
void for_point_blocks(const Points& pts, std::ptrdiff_t n, Body&& body) {
    double xs[point_block_size], ys[point_block_size];
    for (std::ptrdiff_t start = 0; start < n; start += point_block_size) {
        const std::ptrdiff_t count = std::min(point_block_size, n - start);
        for (std::ptrdiff_t p = 0; p < count; ++p) {
            xs[p] = pts(start + p, 0);
            ys[p] = pts(start + p, 1);
        }
        body(start, count, xs, ys);
    }
}

}  // namespace orin
