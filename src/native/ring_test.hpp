// The even-odd point-in-ring rule: plainly, through a band index of the
// ring's edges, and by sweeping the ring's edges over banded points.
//
// All three make exactly the same crossing test for every (point, edge) pair
// that can cross, and parity does not depend on the order of the toggles, so
// they give identical results; which one runs is a matter of speed alone.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "isa_dispatch.hpp"
#include "multiversion.hpp"
#include "simd_lanes.hpp"
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

namespace ring_detail {

// Eight lanes: one AVX-512 register, two AVX2 ones, four SSE2 ones; the
// chunks of the indexes are eight wide on every path, and the arithmetic is
// the plain rule's, lane by lane, so every path gives the same bits.
inline constexpr int lanes = 8;
using lane_f64 = f64x8;
typedef long long lane_mask __attribute__((vector_size(lanes * sizeof(long long))));
using lane_ops = simd_lanes<lanes>;

// One value in every lane.  Lane by lane, as simd_lanes fills them, GCC
// emits an insert per lane inside an AVX-512 function, and there one
// broadcast instead cut the sweep by a quarter; on the narrower paths the
// shuffle of eight lanes measured slower than the inserts.  Either way the
// bits are copied, so -0.0 stays -0.0.
template <isa I>
ORIN_FORCE_INLINE lane_f64 broadcast(double v) noexcept {
    if constexpr (I == isa::avx512) {
        lane_f64 one{};
        one[0] = v;
        return __builtin_shufflevector(one, one, 0, 0, 0, 0, 0, 0, 0, 0);
    } else {
        return lane_ops::splat(v);
    }
}

// Lanes where the edge (xi, yi)-(xj, yj) toggles the parity of (x, y).  The
// quotient is computed everywhere but counts only where the edge straddles
// y; padding lanes have NaN heights and never straddle.
ORIN_FORCE_INLINE lane_mask crossings(lane_f64 x, lane_f64 y, lane_f64 xi, lane_f64 yi, lane_f64 xj,
                                      lane_f64 yj) noexcept {
    const lane_mask straddles = (yi > y) ^ (yj > y);  // all-ones or zero lanes: ^ is !=
    const lane_mask left = x < (xj - xi) * (y - yi) / (yj - yi) + xi;
    return straddles & left;
}

// Heights [ymin, ymax) cut into bands by a map that is monotonic in y (a
// subtraction and a multiplication by a positive constant, both rounded
// monotonically), so a y between two heights always falls in a band between
// theirs: an edge filed under the bands of its end points is found from any
// height it straddles.
struct height_bands {
    double ymin = 0.0, ymax = 0.0, scale = 0.0;
    std::ptrdiff_t count = 0;

    // False where a ring cannot be banded: a NaN height (ordering is what
    // banding rests on), or no finite height range.
    bool span(const strided_view<double, 2>& ring) noexcept {
        ymin = std::numeric_limits<double>::infinity();
        ymax = -ymin;
        for (std::ptrdiff_t i = 0; i < ring.extent(0); ++i) {
            const double y = ring(i, 1);
            if (std::isnan(y)) return false;
            ymin = std::min(ymin, y);
            ymax = std::max(ymax, y);
        }
        return ymax > ymin && std::isfinite(ymax - ymin);
    }

    void cut(std::ptrdiff_t bands) noexcept {
        count = bands;
        scale = static_cast<double>(bands) / (ymax - ymin);
    }

    // Only an edge that straddles y can toggle its parity, and outside
    // [ymin, ymax) every edge lies on one side of y.
    bool covers(double y) const noexcept { return y >= ymin && y < ymax; }

    std::ptrdiff_t of(double y) const noexcept {
        const double f = (y - ymin) * scale;
        if (!(f > 0.0)) return 0;
        if (f >= static_cast<double>(count)) return count - 1;
        return static_cast<std::ptrdiff_t>(f);
    }

    // f(lo, hi, i) for every edge that is not horizontal (those never
    // straddle), edge i running from vertex i to vertex i - 1.
    template <class F>
    void for_each_edge(const strided_view<double, 2>& ring, F&& f) const {
        const std::ptrdiff_t r = ring.extent(0);
        for (std::ptrdiff_t i = 0; i < r; ++i) {
            const std::ptrdiff_t j = i == 0 ? r - 1 : i - 1;
            const double a = ring(i, 1), c = ring(j, 1);
            if (a == c) continue;
            f(of(std::min(a, c)), of(std::max(a, c)), i, j);
        }
    }
};

// Eight edges of one band, a column each.
struct alignas(64) edge_chunk {
    double xi[lanes], yi[lanes], xj[lanes], yj[lanes];
};

ORIN_FORCE_INLINE int chunk_parity(const edge_chunk* c, const edge_chunk* end, double x, double y) noexcept {
    const lane_f64 xv = lane_ops::splat(x), yv = lane_ops::splat(y);
    lane_mask acc{};
    for (; c != end; ++c) {
        acc ^= crossings(xv, yv, lane_ops::load(c->xi), lane_ops::load(c->yi), lane_ops::load(c->xj),
                         lane_ops::load(c->yj));
    }
    // Halves folded onto each other: three shuffles rather than eight
    // extractions.
    acc ^= __builtin_shufflevector(acc, acc, 4, 5, 6, 7, 0, 1, 2, 3);
    acc ^= __builtin_shufflevector(acc, acc, 2, 3, 0, 1, 6, 7, 4, 5);
    acc ^= __builtin_shufflevector(acc, acc, 1, 0, 3, 2, 5, 4, 7, 6);
    return static_cast<int>(acc[0] & 1);
}

// Points [0, n) of xs, ys against the band index, into out.
struct band_loop {
    template <isa>
    static ORIN_FORCE_INLINE void run(const edge_chunk* chunks, const std::ptrdiff_t* start, const height_bands& hb,
                                      const double* __restrict xs, const double* __restrict ys, std::ptrdiff_t n,
                                      std::uint8_t* __restrict out) noexcept {
        for (std::ptrdiff_t p = 0; p < n; ++p) {
            const double x = xs[p], y = ys[p];
            int inside = 0;
            if (hb.covers(y)) {
                const std::ptrdiff_t b = hb.of(y);
                inside = chunk_parity(chunks + start[b], chunks + start[b + 1], x, y);
            }
            out[p] = static_cast<std::uint8_t>(inside);
        }
    }
};

// f(xi, yi, xj, yj) for each edge from vertex i to vertex i - 1 (the last,
// for vertex 0) whose ends differ in height: a horizontal edge straddles no
// height, and never toggles a parity.
template <class F>
ORIN_FORCE_INLINE void for_each_sloped_edge(const strided_view<double, 2>& ring, F&& f) noexcept {
    const std::ptrdiff_t r = ring.extent(0);
    double xj = ring(r - 1, 0), yj = ring(r - 1, 1);
    for (std::ptrdiff_t i = 0; i < r; ++i) {
        const double xi = ring(i, 0), yi = ring(i, 1);
        if (yi != yj) f(xi, yi, xj, yj);
        xj = xi;
        yj = yi;
    }
}

// Every edge of the ring, in order, against the chunks of banded points in
// the bands it spans (consecutive bands, so consecutive chunks), toggling
// their parity lanes.
struct sweep_loop {
    template <isa I>
    static ORIN_FORCE_INLINE void run(const strided_view<double, 2>& ring, const height_bands& hb,
                                      const std::ptrdiff_t* start, const double* __restrict xs,
                                      const double* __restrict ys, long long* __restrict parity) noexcept {
        for_each_sloped_edge(ring, [&](double xi, double yi, double xj, double yj) {
            const std::ptrdiff_t first = start[hb.of(std::min(yi, yj))], last = start[hb.of(std::max(yi, yj)) + 1];
            const lane_f64 vxi = broadcast<I>(xi), vyi = broadcast<I>(yi);
            const lane_f64 vxj = broadcast<I>(xj), vyj = broadcast<I>(yj);
            for (std::ptrdiff_t c = first; c < last; ++c) {
                lane_mask p;
                std::memcpy(&p, parity + c * lanes, sizeof p);
                p ^= crossings(lane_ops::load(xs + c * lanes), lane_ops::load(ys + c * lanes), vxi, vyi, vxj, vyj);
                std::memcpy(parity + c * lanes, &p, sizeof p);
            }
        });
    }
};

// Points [0, n) of xs, ys against every edge of the ring, a vector of them
// at a time: for a ring too small to index, the points of a block share
// each edge's loads, and no lane waits on a branch.
struct points_loop {
    template <isa I>
    static ORIN_FORCE_INLINE void run(const strided_view<double, 2>& ring, const double* __restrict xs,
                                      const double* __restrict ys, std::ptrdiff_t n,
                                      std::uint8_t* __restrict out) noexcept {
        for (std::ptrdiff_t c = 0; c < n; c += lanes) {
            // A short last vector repeats its last point.
            const std::ptrdiff_t m = std::min<std::ptrdiff_t>(lanes, n - c);
            double px[lanes], py[lanes];
            for (std::ptrdiff_t k = 0; k < lanes; ++k) {
                px[k] = xs[c + std::min(k, m - 1)];
                py[k] = ys[c + std::min(k, m - 1)];
            }
            const lane_f64 x = lane_ops::load(px), y = lane_ops::load(py);
            lane_mask parity{};
            for_each_sloped_edge(ring, [&](double xi, double yi, double xj, double yj) {
                parity ^= crossings(x, y, broadcast<I>(xi), broadcast<I>(yi), broadcast<I>(xj), broadcast<I>(yj));
            });
            for (std::ptrdiff_t k = 0; k < m; ++k) out[c + k] = static_cast<std::uint8_t>(parity[k] & 1);
        }
    }
};

}  // namespace ring_detail

// point_in_ring for points [0, n) of xs, ys, into out.
inline void point_in_ring_block(const double* xs, const double* ys, std::ptrdiff_t n,
                                const strided_view<double, 2>& ring, std::uint8_t* out) noexcept {
    if (ring.extent(0) < 3) {
        std::fill(out, out + n, std::uint8_t{0});
        return;
    }
    dispatch<ring_detail::points_loop>(ring, xs, ys, n, out);
}

// The same rule for many points against one ring, through an index built
// once: the edges filed into horizontal bands of the ring's height range,
// eight to a chunk, so that a point tests just the chunks of its band.
class ring_bands {
public:
    // Returns false when banding cannot be used for this ring.  At most
    // `max_bands` bands.  May throw std::bad_alloc.
    bool build(const strided_view<double, 2>& ring, std::ptrdiff_t max_bands = std::ptrdiff_t{1} << 22) {
        using namespace ring_detail;
        const std::ptrdiff_t r = ring.extent(0);
        if (r < 3 || !bands_.span(ring)) return false;
        // A band at a vertex's height holds its two edges, so about a band
        // per vertex keeps most bands to one chunk.  Past a few thousand
        // vertices the index leaves the core's caches, and a quarter as many
        // bands, two chunks each in a quarter of the memory, measured faster.
        // Long edges land in many bands: the chunks stay within the edge
        // slots of a small multiple of the ring, and bands are halved while
        // most slots would be padding.
        std::ptrdiff_t bands = std::max<std::ptrdiff_t>(1, std::min(r > 4096 ? r / 4 : r, max_bands));
        const std::ptrdiff_t budget = r + 128;
        std::vector<std::ptrdiff_t> filed;
        std::ptrdiff_t chunks = 0;
        for (;;) {
            bands_.cut(bands);
            filed.assign(static_cast<std::size_t>(bands) + 1, 0);
            std::ptrdiff_t entries = 0;
            bands_.for_each_edge(ring, [&](std::ptrdiff_t lo, std::ptrdiff_t hi, std::ptrdiff_t, std::ptrdiff_t) {
                ++filed[static_cast<std::size_t>(lo)];
                --filed[static_cast<std::size_t>(hi) + 1];
                entries += hi - lo + 1;
            });
            chunks = 0;
            std::ptrdiff_t open = 0;
            for (std::ptrdiff_t b = 0; b < bands; ++b) {
                open += filed[static_cast<std::size_t>(b)];
                chunks += (open + lanes - 1) / lanes;
            }
            const bool fits = chunks <= budget && chunks * lanes <= 2 * entries + lanes;
            if (fits || bands == 1) break;
            bands = std::max<std::ptrdiff_t>(1, bands / 2);
        }
        // filed[] becomes each band's count, then its first chunk.
        std::vector<std::ptrdiff_t> count(static_cast<std::size_t>(bands), 0);
        bands_.for_each_edge(ring, [&](std::ptrdiff_t lo, std::ptrdiff_t hi, std::ptrdiff_t, std::ptrdiff_t) {
            for (std::ptrdiff_t b = lo; b <= hi; ++b) ++count[static_cast<std::size_t>(b)];
        });
        start_.assign(static_cast<std::size_t>(bands) + 1, 0);
        for (std::ptrdiff_t b = 0; b < bands; ++b) {
            start_[static_cast<std::size_t>(b) + 1] =
                start_[static_cast<std::size_t>(b)] + (count[static_cast<std::size_t>(b)] + lanes - 1) / lanes;
        }
        edge_chunk blank;
        for (int l = 0; l < lanes; ++l) {
            blank.xi[l] = blank.xj[l] = 0.0;
            blank.yi[l] = blank.yj[l] = std::numeric_limits<double>::quiet_NaN();
        }
        chunks_.assign(static_cast<std::size_t>(chunks), blank);
        std::fill(count.begin(), count.end(), 0);  // now: edges placed in each band
        bands_.for_each_edge(ring, [&](std::ptrdiff_t lo, std::ptrdiff_t hi, std::ptrdiff_t i, std::ptrdiff_t j) {
            const double xi = ring(i, 0), yi = ring(i, 1), xj = ring(j, 0), yj = ring(j, 1);
            for (std::ptrdiff_t b = lo; b <= hi; ++b) {
                const std::ptrdiff_t k = count[static_cast<std::size_t>(b)]++;
                edge_chunk& c = chunks_[static_cast<std::size_t>(start_[static_cast<std::size_t>(b)] + k / lanes)];
                c.xi[k % lanes] = xi;
                c.yi[k % lanes] = yi;
                c.xj[k % lanes] = xj;
                c.yj[k % lanes] = yj;
            }
        });
        return true;
    }

    // Memory held by the index, in bytes.
    std::size_t nbytes() const noexcept {
        return start_.capacity() * sizeof(start_[0]) + chunks_.capacity() * sizeof(chunks_[0]);
    }

    // Needs a successful build().
    int contains(double x, double y) const noexcept {
        std::uint8_t inside = 0;
        dispatch<ring_detail::band_loop>(chunks_.data(), start_.data(), bands_, &x, &y, std::ptrdiff_t{1}, &inside);
        return inside;
    }

    // contains() for points [0, n) of xs, ys, into out.
    void contains_block(const double* xs, const double* ys, std::ptrdiff_t n, std::uint8_t* out) const noexcept {
        dispatch<ring_detail::band_loop>(chunks_.data(), start_.data(), bands_, xs, ys, n, out);
    }

    // contains_block() for points scattered over an index too large for the
    // caches: each point's band, then its first chunk, is asked for before
    // any is read, so that the misses overlap instead of queueing.
    void contains_scattered(const double* xs, const double* ys, std::ptrdiff_t n, std::uint8_t* out) const noexcept {
        for (std::ptrdiff_t p = 0; p < n; ++p) {
            if (bands_.covers(ys[p])) __builtin_prefetch(start_.data() + bands_.of(ys[p]));
        }
        for (std::ptrdiff_t p = 0; p < n; ++p) {
            if (!bands_.covers(ys[p])) continue;
            const char* c = reinterpret_cast<const char*>(chunks_.data() + start_[static_cast<std::size_t>(bands_.of(ys[p]))]);
            for (std::size_t line = 0; line < sizeof(ring_detail::edge_chunk); line += 64) __builtin_prefetch(c + line);
        }
        contains_block(xs, ys, n, out);
    }

private:
    ring_detail::height_bands bands_;
    std::vector<std::ptrdiff_t> start_;  // band b's chunks are [start_[b], start_[b + 1])
    std::vector<ring_detail::edge_chunk> chunks_;
};

// The rule for points that are few against the ring's edges: rather than
// index the edges, the points are filed into height bands, eight to a chunk,
// and every edge, read once in order, tests the chunks of the bands it
// spans.  Scratch is O(n), whatever the ring's size.
class ring_sweep {
public:
    // Returns false when the ring cannot be banded.  May throw std::bad_alloc.
    template <class Points>
    bool run(const Points& pts, std::ptrdiff_t n, const strided_view<double, 2>& ring, std::uint8_t* out) {
        using namespace ring_detail;
        if (ring.extent(0) < 3 || !bands_.span(ring)) return false;
        // About four points a band: most bands fill one chunk.
        const std::ptrdiff_t bands = std::max<std::ptrdiff_t>(1, n / 4);
        bands_.cut(bands);
        std::vector<std::ptrdiff_t> count(static_cast<std::size_t>(bands), 0);
        for (std::ptrdiff_t p = 0; p < n; ++p) {
            const double y = pts(p, 1);
            if (bands_.covers(y)) ++count[static_cast<std::size_t>(bands_.of(y))];
        }
        std::vector<std::ptrdiff_t> start(static_cast<std::size_t>(bands) + 1, 0);
        for (std::ptrdiff_t b = 0; b < bands; ++b) {
            start[static_cast<std::size_t>(b) + 1] =
                start[static_cast<std::size_t>(b)] + (count[static_cast<std::size_t>(b)] + lanes - 1) / lanes;
        }
        const auto slots = static_cast<std::size_t>(start[static_cast<std::size_t>(bands)] * lanes);
        xs_.assign(slots, 0.0);
        ys_.assign(slots, std::numeric_limits<double>::quiet_NaN());
        where_.assign(slots, -1);
        std::fill(count.begin(), count.end(), 0);
        for (std::ptrdiff_t p = 0; p < n; ++p) {
            const double y = pts(p, 1);
            out[p] = 0;
            if (!bands_.covers(y)) continue;
            const auto b = static_cast<std::size_t>(bands_.of(y));
            const auto s = static_cast<std::size_t>(start[b] * lanes + count[b]++);
            xs_[s] = pts(p, 0);
            ys_[s] = y;
            where_[s] = p;
        }
        parity_.assign(slots, 0);
        dispatch<sweep_loop>(ring, bands_, static_cast<const std::ptrdiff_t*>(start.data()),
                             static_cast<const double*>(xs_.data()), static_cast<const double*>(ys_.data()),
                             parity_.data());
        for (std::size_t s = 0; s < slots; ++s) {
            if (where_[s] >= 0) out[where_[s]] = static_cast<std::uint8_t>(parity_[s] & 1);
        }
        return true;
    }

private:
    ring_detail::height_bands bands_;
    std::vector<double> xs_, ys_;
    std::vector<std::ptrdiff_t> where_;
    std::vector<long long> parity_;
};

// A grid of cells over the ring's box: most cells of a ring with a smooth
// outline are crossed by no edge, and every point in such a cell has the
// same parity, so one byte answers it; only the points in crossed cells go
// on to test edges.
//
// Why a clean cell has one answer, exactly as the crossing rule computes it:
// each edge marks, in every row of cells its heights reach, the columns its
// abscissa can take over that row's heights, widened by a bound on the
// rounding of the rule's abscissa.  In a cell it does not mark, an edge of
// the row is wholly right of the cell (it toggles exactly where it
// straddles) or wholly left (it never toggles), and edges of other rows
// never straddle.  The parity is then a sum over the right-hand edges of
// their straddling, which changes only at vertex heights; a vertex in the
// row has both of its edges on the same side (both mark its column), so
// they toggle together.  Neighbouring clean cells of a row see the same
// right-hand edges (an edge that is right of one but not of the next marks
// the next), so a whole run of clean cells takes the parity of one point
// in it, computed by the rule itself.
class ring_cells {
public:
    // Points as two columns and answers as bytes: what `exact` is given.
    struct columns {
        const double* x;
        const double* y;
        double operator()(std::ptrdiff_t i, int axis) const noexcept { return axis == 0 ? x[i] : y[i]; }
    };
    struct bytes {
        std::uint8_t* data;
        std::uint8_t& operator()(std::ptrdiff_t i) const noexcept { return data[i]; }
    };

    // Returns false, leaving `out` untouched, when the grid cannot be used
    // or would not pay for this ring.  About `cells` cells.  `exact(points,
    // m, answers)` answers points by the rule itself.  May throw
    // std::bad_alloc.
    template <class Points, class Out, class Exact>
    bool run(const Points& pts, std::ptrdiff_t n, const strided_view<double, 2>& ring, const Out& out,
             std::ptrdiff_t cells, Exact&& exact) {
        if (!prepare(ring, cells, exact)) return false;
        std::vector<double> xs, ys;
        std::vector<std::uint8_t> answers;
        // The points: a byte where the cell knows, the rule where edges
        // cross it.  A NaN abscissa has no column (the column map is
        // monotonic only on ordered values), so the rule answers it too.
        // Blocks of points are looked up without a branch (whether a random
        // point is above the ring's heights is a coin toss for the branch
        // predictor) and with the maps in locals, out of reach of the
        // stores' aliasing.
        xs.clear();
        ys.clear();
        std::vector<std::ptrdiff_t> where;
        const cell_map cell(rows_, cols_);
        const std::uint8_t* state = state_.data();
        const double ymin = rows_.ymin, ymax = rows_.ymax;
        constexpr std::ptrdiff_t block = 256;
        std::uint8_t known[block];
        for (std::ptrdiff_t s = 0; s < n; s += block) {
            const std::ptrdiff_t m = std::min(block, n - s);
            bool any_crossed = false;
            for (std::ptrdiff_t p = 0; p < m; ++p) {
                known[p] = known_at(cell, state, ymin, ymax, pts(s + p, 0), pts(s + p, 1));
                any_crossed |= known[p] == crossed;
            }
            if (any_crossed) {
                for (std::ptrdiff_t p = 0; p < m; ++p) {
                    if (known[p] != crossed) continue;
                    xs.push_back(pts(s + p, 0));
                    ys.push_back(pts(s + p, 1));
                    where.push_back(s + p);
                    known[p] = 0;
                }
            }
            for (std::ptrdiff_t p = 0; p < m; ++p) out(s + p) = known[p];
        }
        const auto rest = static_cast<std::ptrdiff_t>(where.size());
        if (rest > 0) {
            answers.assign(where.size(), 0);
            exact(columns{xs.data(), ys.data()}, rest, bytes{answers.data()});
            for (std::size_t k = 0; k < where.size(); ++k) out(where[k]) = answers[k];
        }
        return true;
    }

    // The grid alone, for a ring that is asked about again and again: every
    // clean cell holds its answer.  False where the grid cannot be used or
    // would not pay.  May throw std::bad_alloc.
    template <class Exact>
    bool prepare(const strided_view<double, 2>& ring, std::ptrdiff_t cells, Exact&& exact) {
        if (!build(ring, cells)) return false;
        // Each run of clean cells by one point inside it.
        std::vector<double> xs, ys;
        for (const run_of_cells& c : runs_) {
            xs.push_back(c.x);
            ys.push_back(c.y);
        }
        std::vector<std::uint8_t> answers(runs_.size());
        const auto m = static_cast<std::ptrdiff_t>(runs_.size());
        if (m > 0) exact(columns{xs.data(), ys.data()}, m, bytes{answers.data()});
        for (std::size_t k = 0; k < runs_.size(); ++k) {
            std::uint8_t* row = state_.data() + runs_[k].row * cols_.count;
            std::fill(row + runs_[k].first, row + runs_[k].end, answers[k]);
        }
        std::vector<run_of_cells>().swap(runs_);
        return true;
    }

    static constexpr std::uint8_t crossed = 2;

    // After prepare(): 0 or 1 where the point's cell knows, `crossed` where
    // the rule must decide (a NaN abscissa among them).
    std::uint8_t lookup(double x, double y) const noexcept {
        return known_at(cell_map(rows_, cols_), state_.data(), rows_.ymin, rows_.ymax, x, y);
    }

    std::size_t nbytes() const noexcept { return state_.capacity() + runs_.capacity() * sizeof(run_of_cells); }

private:

    // height_bands::of for a row and a column at once, without branches:
    // the same clamped, truncated map, NaN to the first band.  Lane
    // selects, because the compiler turns scalar ones into branches.
    struct cell_map {
        f64x2 lo, scale, last;
        std::ptrdiff_t ncols;
        cell_map(const ring_detail::height_bands& rows, const ring_detail::height_bands& cols) noexcept
            : lo{rows.ymin, cols.ymin},
              scale{rows.scale, cols.scale},
              last{static_cast<double>(rows.count - 1), static_cast<double>(cols.count - 1)},
              ncols(cols.count) {}
        std::ptrdiff_t operator()(double x, double y) const noexcept {
            const f64x2 zero{};
            f64x2 f = (f64x2{y, x} - lo) * scale;
            f = f > zero ? f : zero;
            f = f < last ? f : last;
            return static_cast<std::ptrdiff_t>(f[0]) * ncols + static_cast<std::ptrdiff_t>(f[1]);
        }
    };

    // A point's answer from its cell, without a branch: 0 above or below
    // the ring's heights, `crossed` for a NaN abscissa.
    static ORIN_FORCE_INLINE std::uint8_t known_at(const cell_map& cell, const std::uint8_t* state, double ymin, double ymax, double x,
                                 double y) noexcept {
        const std::uint8_t c = state[cell(x, y)];
        const auto ordered = static_cast<std::uint8_t>(x == x);
        const auto in = static_cast<std::uint8_t>((y >= ymin) & (y < ymax));
        const auto v = static_cast<std::uint8_t>((c & -ordered) | ((1 - ordered) << 1));
        return static_cast<std::uint8_t>(v & -in);
    }

    struct run_of_cells {
        std::ptrdiff_t row, first, end;
        double x, y;  // a point in the run's first cell
    };

    bool build(const strided_view<double, 2>& ring, std::ptrdiff_t cells) {
        const std::ptrdiff_t r = ring.extent(0);
        if (r < 3 || !rows_.span(ring)) return false;
        double xmin = std::numeric_limits<double>::infinity(), xmax = -xmin, big = 0.0;
        double dy_min = std::numeric_limits<double>::infinity();
        for (std::ptrdiff_t i = 0; i < r; ++i) {
            const double x = ring(i, 0), y = ring(i, 1);
            if (!std::isfinite(x)) return false;
            xmin = std::min(xmin, x);
            xmax = std::max(xmax, x);
            big = std::max(big, std::max(std::fabs(x), std::fabs(y)));
            const double dy = std::fabs(y - ring(i == 0 ? r - 1 : i - 1, 1));
            if (dy > 0.0) dy_min = std::min(dy_min, dy);
        }
        // Below 1e150 the rule's product (xj - xi) (y - yi) cannot overflow.
        if (!(xmax > xmin) || !(big <= 1e150)) return false;
        // How far the rule's abscissa can stray outside the edge's own
        // abscissae: a few roundings relative to the coordinates and, where
        // the product underflows, half a subnormal step divided by the
        // height difference.  Taken ten times over.
        margin_ = 1e-14 * big + 0x1p-1060 / dy_min;
        const double width = xmax - xmin, height = rows_.ymax - rows_.ymin;
        auto nrows = static_cast<std::ptrdiff_t>(std::sqrt(static_cast<double>(cells) * height / width));
        nrows = std::clamp<std::ptrdiff_t>(nrows, 1, std::min<std::ptrdiff_t>(cells, 4096));
        const std::ptrdiff_t ncols = std::clamp<std::ptrdiff_t>(cells / nrows, 1, 4096);
        rows_.cut(nrows);
        cols_.ymin = xmin;
        cols_.ymax = xmax;
        cols_.cut(ncols);
        // A row's heights are taken a quarter row wider on each side, which
        // must dwarf the rounding of the height map.
        row_height_ = height / static_cast<double>(nrows);
        if (!(row_height_ > 1e-9 * std::max(std::fabs(rows_.ymin), std::fabs(rows_.ymax)))) return false;

        // Marking costs about a cell per row and per column an edge spans;
        // past a few per cell the grid costs more than it saves.
        std::ptrdiff_t marks = 0;
        const std::ptrdiff_t budget = 8 * nrows * ncols + 8 * r;
        for (std::ptrdiff_t i = 0; i < r && marks <= budget; ++i) {
            const std::ptrdiff_t j = i == 0 ? r - 1 : i - 1;
            const double xi = ring(i, 0), yi = ring(i, 1), xj = ring(j, 0), yj = ring(j, 1);
            marks += rows_.of(std::max(yi, yj)) - rows_.of(std::min(yi, yj)) + 1;
            marks += cols_.of(std::max(xi, xj) + margin_) - cols_.of(std::min(xi, xj) - margin_) + 1;
        }
        if (marks > budget) return false;

        state_.assign(static_cast<std::size_t>(nrows * ncols), 0);
        for (std::ptrdiff_t i = 0; i < r; ++i) mark_edge(ring, i, i == 0 ? r - 1 : i - 1);
        runs_.clear();
        for (std::ptrdiff_t k = 0; k < nrows; ++k) find_runs(k);
        return true;
    }

    void mark(std::ptrdiff_t row, double xa, double xb) noexcept {
        const std::ptrdiff_t lo = cols_.of(std::min(xa, xb) - margin_), hi = cols_.of(std::max(xa, xb) + margin_);
        std::uint8_t* cells = state_.data() + row * cols_.count;
        std::fill(cells + lo, cells + hi + 1, crossed);
    }

    // Horizontal edges too: they never toggle, but a boundary runs along
    // them, and the pairing of a vertex's edges needs them marked.
    void mark_edge(const strided_view<double, 2>& ring, std::ptrdiff_t i, std::ptrdiff_t j) noexcept {
        const double xi = ring(i, 0), yi = ring(i, 1), xj = ring(j, 0), yj = ring(j, 1);
        const double ylo = std::min(yi, yj), yhi = std::max(yi, yj);
        const std::ptrdiff_t first = rows_.of(ylo), last = rows_.of(yhi);
        if (first == last) return mark(first, xi, xj);
        const double xlo = yi < yj ? xi : xj, xhi = yi < yj ? xj : xi;
        // The line's abscissa at a height within the edge's, rounded as the
        // rule rounds it (so within the margin of the true line).
        auto at = [&](double y) { return (xj - xi) * (y - yi) / (yj - yi) + xi; };
        for (std::ptrdiff_t k = first; k <= last; ++k) {
            const double below = rows_.ymin + (static_cast<double>(k) - 0.25) * row_height_;
            const double above = rows_.ymin + (static_cast<double>(k) + 1.25) * row_height_;
            mark(k, below <= ylo ? xlo : at(below), above >= yhi ? xhi : at(above));
        }
    }

    // The runs of clean cells in row k, each with a point in its first cell;
    // where no such point can be named, the run counts as crossed.
    void find_runs(std::ptrdiff_t k) {
        std::uint8_t* cells = state_.data() + k * cols_.count;
        const double y = rows_.ymin + (static_cast<double>(k) + 0.5) * row_height_;
        const bool row_ok = rows_.covers(y) && rows_.of(y) == k;
        const double col_width = (cols_.ymax - cols_.ymin) / static_cast<double>(cols_.count);
        for (std::ptrdiff_t c = 0; c < cols_.count;) {
            if (cells[c] == crossed) {
                ++c;
                continue;
            }
            std::ptrdiff_t end = c;
            while (end < cols_.count && cells[end] != crossed) ++end;
            const double x = cols_.ymin + (static_cast<double>(c) + 0.5) * col_width;
            if (row_ok && cols_.of(x) == c) {
                runs_.push_back({k, c, end, x, y});
            } else {
                std::fill(cells + c, cells + end, crossed);
            }
            c = end;
        }
    }

    ring_detail::height_bands rows_, cols_;  // cols_ maps abscissae: its "heights" are x
    double margin_ = 0.0, row_height_ = 0.0;
    std::vector<std::uint8_t> state_;  // row-major: 0 or 1 where known, crossed where edges decide
    std::vector<run_of_cells> runs_;
};

// How the outer-ring pass tests its points.
enum class ring_method { automatic, plain, bands, sweep, cells };

// The outer-ring pass of point_in_rings: out(i) = 1 where point i of the
// first n rows of `pts` is inside `ring`.  A ring of fewer than three
// vertices contains nothing and leaves `out` as it was; a method that cannot
// serve the ring (a NaN height) falls back to the plain rule, the cells
// (which also refuse non-finite abscissae, and rings whose edges would mark
// too many cells) to the band index first.  May throw std::bad_alloc.
template <class Points, class Out>
void rings_outer_pass(const Points& points, std::ptrdiff_t n, const strided_view<double, 2>& ring,
                      ring_method method, const Out& out_view) {
    const std::ptrdiff_t r = ring.extent(0);
    if (r < 3 || n <= 0) return;
    // Local copies of the views: a one-byte store may alias any memory the
    // compiler cannot see is private, so through the references it would
    // reload their pointers and strides after every point.
    const Points pts = points;
    const Out out = out_view;
    // Filing the points beats filing the edges where the points are fewer,
    // and wherever the filed points stay in cache (measured: up to some
    // thousands of points, whatever the ring).
    constexpr std::ptrdiff_t cached_points = 4096;
    if (method == ring_method::automatic) {
        // A handful of points costs less against the edges than any index.
        method = n < 4 ? ring_method::plain
                 : (r > n || n <= cached_points) ? ring_method::sweep
                                                 : ring_method::cells;
    }
    // Points go to an index a block at a time, gathered into two columns.
    auto blocks = [&](const auto& index) {
        constexpr std::ptrdiff_t block = 256;
        double xs[block], ys[block];
        std::uint8_t inside[block];
        for (std::ptrdiff_t s = 0; s < n; s += block) {
            const std::ptrdiff_t m = std::min(block, n - s);
            for (std::ptrdiff_t p = 0; p < m; ++p) {
                xs[p] = pts(s + p, 0);
                ys[p] = pts(s + p, 1);
            }
            index.contains_block(xs, ys, m, inside);
            for (std::ptrdiff_t p = 0; p < m; ++p) out(s + p) = inside[p];
        }
    };
    if (method == ring_method::cells) {
        // About a cell per point, within what stays in the core's cache.
        // The points the cells cannot answer, and a point for each run of
        // clean cells, are answered as the automatic choice would answer
        // that many points.
        const auto exact = [&](const ring_cells::columns& some, std::ptrdiff_t m, const ring_cells::bytes& answers) {
            rings_outer_pass(some, m, ring,
                             m < 4                              ? ring_method::plain
                             : (r > m || m <= cached_points) ? ring_method::sweep
                                                              : ring_method::bands,
                             answers);
        };
        ring_cells cells;
        const std::ptrdiff_t grid = std::clamp<std::ptrdiff_t>(n, 1024, std::ptrdiff_t{1} << 18);
        if (cells.run(pts, n, ring, out, grid, exact)) return;
        method = ring_method::bands;
    }
    if (method == ring_method::sweep) {
        std::vector<std::uint8_t> inside(static_cast<std::size_t>(n));
        ring_sweep sweep;
        if (sweep.run(pts, n, ring, inside.data())) {
            for (std::ptrdiff_t i = 0; i < n; ++i) out(i) = inside[static_cast<std::size_t>(i)];
            return;
        }
    } else if (method == ring_method::bands) {
        ring_bands bands;
        if (bands.build(ring)) return blocks(bands);
    }
    for (std::ptrdiff_t i = 0; i < n; ++i) out(i) = static_cast<std::uint8_t>(point_in_ring(pts(i, 0), pts(i, 1), ring));
}

}  // namespace orin
