// Walks down the flattened quadtree: seven per-node arrays, node 0 the root,
// child numbers -1 where a quadrant is empty.  The arrays come from callers,
// so a node number is trusted only after a bounds check, and a cyclic tree
// ends its walks at max_depth.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>
#include <vector>

#include "multiversion.hpp"
#include "point_blocks.hpp"
#include "strided_view.hpp"

namespace orin {

struct tree_views {
    const strided_view<double, 1>& cx;
    const strided_view<double, 1>& cy;
    const strided_view<std::uint8_t, 1>& is_leaf;
    const strided_view<std::int32_t, 1>& tl;
    const strided_view<std::int32_t, 1>& tr;
    const strided_view<std::int32_t, 1>& bl;
    const strided_view<std::int32_t, 1>& br;
    std::ptrdiff_t nodes;  // shortest of the seven arrays: every valid node number is below it
    // The child arrays again, indexed by quadrant q = 2 * top + right, so that
    // a descent picks its child by index rather than through two branches
    // that random points mispredict half the time.
    const char* child_data[4] = {};
    std::ptrdiff_t child_stride[4] = {};
};

// One descent.  Sign tests on the differences send a point on a centre line
// top or right, and NaN bottom or left.
inline std::int32_t descend(const tree_views& t, std::int32_t node, double x, double y) noexcept {
    const double dx = x - t.cx(node), dy = y - t.cy(node);
    const int q = 2 * static_cast<int>(dy >= 0) + static_cast<int>(dx >= 0);
    std::int32_t child;
    std::memcpy(&child, t.child_data[q] + node * t.child_stride[q], sizeof child);
    return child;
}

// How a walk ended.
enum class walk_end { done, bad_node, stopped };

// Where a walk broke the tree's contract, or why it stopped early; reported
// once the lock is back.
struct walk_fault {
    std::ptrdiff_t point = -1;  // -1: no fault
    std::int32_t node = 0;      // the node number out of range, when that was the fault
    std::ptrdiff_t width = 0;   // > 0: the chain columns the path needed, when that was the fault
    bool stopped = false;       // the caller's poll asked to stop

    // Records how the walk of point i ended; true when that ends the pass.
    bool ended(walk_end e, std::ptrdiff_t i, std::int32_t at) noexcept {
        if (e == walk_end::stopped) stopped = true;
        if (e == walk_end::bad_node) {
            point = i;
            node = at;
        }
        return e != walk_end::done;
    }
};

// A tree may be cyclic and max_depth 2^31 - 1, so one walk can take many
// seconds.  The walks count their descents and ask the caller's poll()
// between stretches of this many whether to stop (the kernels answer Ctrl-C
// there); the count is cheap beside a descent, the poll need not be.
inline constexpr std::int64_t descents_per_poll = std::int64_t{1} << 16;

inline constexpr int stretch_mask = static_cast<int>(descents_per_poll - 1);

// For callers that never stop a walk.
struct never_stop {
    bool operator()() const noexcept { return false; }
};

template <class Poll>
class poll_counter {
public:
    explicit poll_counter(Poll& poll) noexcept : poll_(poll) {}
    // Counts `descents`; true when the poll then asks to stop.
    bool tick(std::int64_t descents = 1) {
        left_ -= descents;
        if (left_ > 0) return false;
        left_ = descents_per_poll;
        return poll_();
    }

private:
    Poll& poll_;
    std::int64_t left_ = descents_per_poll;
};

// Walks one point; `record(depth, node)` sees every node visited.  Ends
// with bad_node, the offending number in node_out, on a node number outside
// the arrays.
// Walks shorter than a stretch (max_depth below it) skip the in-walk count.
template <bool Long, class Record, class Poll>
inline walk_end walk(const tree_views& t, double x, double y, std::int32_t max_depth, std::int32_t& node_out,
                     int& depth_out, Record&& record, poll_counter<Poll>& counter) {
    std::int32_t node = 0;
    int depth = 0;
    for (;;) {
        if (node >= t.nodes) {
            node_out = node;
            return walk_end::bad_node;
        }
        if (t.is_leaf(node)) break;
        if (depth >= max_depth) break;
        // Counted in whole stretches, so that a descent costs a test on a
        // register rather than an update of the counter.
        if constexpr (Long) {
            if ((depth & stretch_mask) == stretch_mask && counter.tick(descents_per_poll)) return walk_end::stopped;
        }
        node = descend(t, node, x, y);
        ++depth;
        record(depth, node);
        if (node < 0) break;
    }
    node_out = node;
    depth_out = depth;
    // The rest of the walk, and one for the point itself.
    return counter.tick((depth & stretch_mask) + 1) ? walk_end::stopped : walk_end::done;
}

// The leaf walk for many points.  The seven arrays are first packed into one
// record per node, so a descent touches one cache line instead of four, and
// several points walk in lockstep, so the loads of independent walks overlap
// instead of each descent waiting on the last.  The routing is the very same
// comparisons as descend().
struct packed_node {
    double cx, cy;
    std::int32_t child[4];  // by quadrant q = 2 * top + right
    std::int32_t leaf;
    std::int32_t unused;
};

// A point partway down the tree.
struct walker {
    std::ptrdiff_t point;
    double x, y;
    std::int32_t node;
    std::int32_t depth;
};

// Finishes every walker and writes where it ends.  Ends with bad_node on a
// node number outside the arrays; the caller then re-walks serially to
// report the first such point.
template <class Poll>
walk_end walk_lockstep(const std::vector<packed_node>& nodes, const walker* walkers, std::ptrdiff_t count,
                       std::int32_t max_depth, const out_view<std::int32_t, 1>& out,
                       poll_counter<Poll>& counter) {
    constexpr int lanes = 8;
    const packed_node* tree = nodes.data();
    const auto size = static_cast<std::ptrdiff_t>(nodes.size());
    walker lane[lanes];
    bool busy[lanes];
    std::ptrdiff_t next = 0;
    int active = 0;
    for (int g = 0; g < lanes; ++g) {
        busy[g] = next < count;
        if (busy[g]) {
            lane[g] = walkers[next++];
            ++active;
        }
    }
    while (active > 0) {
        if (counter.tick(active)) return walk_end::stopped;
        for (int g = 0; g < lanes; ++g) {
            if (!busy[g]) continue;
            walker& w = lane[g];
            const std::int32_t k = w.node;
            bool finished;
            if (k >= size) return walk_end::bad_node;
            const packed_node& nd = tree[k];
            if (nd.leaf || w.depth >= max_depth) {
                finished = true;
            } else {
                const double dx = w.x - nd.cx, dy = w.y - nd.cy;
                const int q = 2 * static_cast<int>(dy >= 0) + static_cast<int>(dx >= 0);
                w.node = nd.child[q];
                ++w.depth;
                finished = w.node < 0;
            }
            if (!finished) continue;
            out(w.point) = w.node;
            if (next < count) {
                w = walkers[next++];
            } else {
                busy[g] = false;
                --active;
            }
        }
    }
    return walk_end::done;
}

// The start table's cell of each point of a block, row-major in a g x g
// grid, or g * g for a point off the grid (NaN and infinities included).
ORIN_CLONES static inline void grid_cells(const double* __restrict xs, const double* __restrict ys,
                                          std::ptrdiff_t count, double x0, double sx, double y0, double sy,
                                          int g, std::int32_t* __restrict cell) noexcept {
    const double side = g;
    for (std::ptrdiff_t p = 0; p < count; ++p) {
        double u = (xs[p] - x0) * sx, v = (ys[p] - y0) * sy;
        // Bitwise, not short-circuit, so that the loop has no branch.
        const bool on = (u >= 0) & (u < side) & (v >= 0) & (v < side);
        // Only in-range values may be converted to an integer.
        u = on ? u : 0.0;
        v = on ? v : 0.0;
        const std::int32_t c = static_cast<std::int32_t>(v) * g + static_cast<std::int32_t>(u);
        cell[p] = on ? c : g * g;
    }
}

// Where a walk starts, or, with depth < 0, where it is known to end.
struct start_entry {
    std::int32_t node;
    std::int32_t depth;
};

// A grid of cells over the tree, each holding the deepest node that every
// point of the cell walks through (or the end of the walk, when the whole
// cell shares it).  Random points then mostly skip their walk, or its
// shared prefix, with one table read.
//
// Nothing here is approximate.  A cell is the set of coordinates that the
// lookup's own arithmetic maps to it; since that arithmetic is monotonic, a
// centre splits the columns into those wholly below it, those wholly at or
// above it, and at most one that holds both, and which is which is found by
// mapping the centre and its predecessor with the same arithmetic.  For the
// finite coordinates a cell holds, `x - cx >= 0` is exactly `x >= cx`.
// Points outside the grid, infinite or NaN walk from the root.
class start_table {
public:
    // Lays a g x g grid over the root's cell as its children's centres
    // imply (for a midpoint tree, exactly the root's cell, so the grid lines
    // fall on centre lines).  False when the tree suggests no usable extent.
    bool place(const tree_views& t, int g) noexcept {
        if (t.nodes == 0 || t.is_leaf(0)) return false;
        const double cx0 = t.cx(0), cy0 = t.cy(0);
        double hx = 0, hy = 0;
        for (const strided_view<std::int32_t, 1>* child : {&t.tl, &t.tr, &t.bl, &t.br}) {
            const std::int32_t c = (*child)(0);
            if (c < 0 || c >= t.nodes) continue;
            const double dx = std::fabs(t.cx(c) - cx0), dy = std::fabs(t.cy(c) - cy0);
            if (std::isfinite(dx)) hx = std::max(hx, 2 * dx);
            if (std::isfinite(dy)) hy = std::max(hy, 2 * dy);
        }
        g_ = g;
        x0_ = cx0 - hx;
        y0_ = cy0 - hy;
        sx_ = g / (2 * hx);
        sy_ = g / (2 * hy);
        return std::isfinite(x0_) && std::isfinite(y0_) && std::isfinite(sx_) && std::isfinite(sy_) &&
               sx_ > 0 && sy_ > 0;
    }

    // Needs place() first.  May throw std::bad_alloc.  One cell past the
    // grid stands for every point off it: walk from the root.
    void reserve() {
        cells_.resize(static_cast<std::size_t>(g_) * static_cast<std::size_t>(g_) + 1);
        cells_.back() = {0, 0};
    }

    void build(const tree_views& t, std::int32_t max_depth) noexcept {
        max_depth_ = max_depth;
        visit(t, 0, 0, 0, g_, 0, g_, 0);
    }

    // The entries for a block of points.
    void find(const double* xs, const double* ys, std::ptrdiff_t count, start_entry* out) const noexcept {
        std::int32_t cell[point_block_size];
        grid_cells(xs, ys, count, x0_, sx_, y0_, sy_, g_, cell);
        const start_entry* cells = cells_.data();
        for (std::ptrdiff_t p = 0; p < count; ++p) out[p] = cells[cell[p]];
    }

private:
    // Beyond this many levels a cell's walk just starts where the build
    // stopped; it bounds the build on cyclic trees with a huge max_depth.
    static constexpr int max_levels = 32;

    int g_ = 0;
    double x0_ = 0, y0_ = 0, sx_ = 0, sy_ = 0;
    std::int32_t max_depth_ = 0;
    std::vector<start_entry> cells_;

    // The cell index find() gives a finite coordinate, with -1 below the
    // grid and g above it.
    int index(double v, double v0, double s) const noexcept {
        const double u = (v - v0) * s;
        if (u < 0) return -1;
        if (u >= g_) return g_;
        return static_cast<int>(u);
    }

    // Splits cells [first, last) of one axis at centre c: those below `lo`
    // all fail `v - c >= 0`, those from `hi` on all pass, [lo, hi) is mixed.
    void split(double c, double v0, double s, int first, int last, int& lo, int& hi) const noexcept {
        if (std::isnan(c)) {  // every comparison with NaN fails
            lo = hi = last;
            return;
        }
        lo = std::clamp(index(c, v0, s), first, last);
        hi = std::clamp(index(std::nextafter(c, -std::numeric_limits<double>::infinity()), v0, s) + 1,
                        first, last);
        // Cells narrower than a coordinate step can be empty; give them below.
        hi = std::max(hi, lo);
    }

    void fill(int c0, int c1, int r0, int r1, start_entry e) noexcept {
        for (int r = r0; r < r1; ++r) {
            start_entry* row = cells_.data() + static_cast<std::size_t>(r) * static_cast<std::size_t>(g_);
            std::fill(row + c0, row + c1, e);
        }
    }

    // Every point of columns [c0, c1) x rows [r0, r1) has walked to `node`
    // at `depth`; the same steps as walk(), applied to the whole block.
    void visit(const tree_views& t, std::int32_t node, std::int32_t depth, int c0, int c1, int r0, int r1,
               int level) noexcept {
        if (c0 >= c1 || r0 >= r1) return;
        // A bad node is left for the walk itself to find and report.
        if (node >= t.nodes || level >= max_levels) return fill(c0, c1, r0, r1, {node, depth});
        if (t.is_leaf(node) || depth >= max_depth_) return fill(c0, c1, r0, r1, {node, -1});
        int xlo, xhi, ylo, yhi;
        split(t.cx(node), x0_, sx_, c0, c1, xlo, xhi);
        split(t.cy(node), y0_, sy_, r0, r1, ylo, yhi);
        const start_entry here{node, depth};
        fill(xlo, xhi, r0, r1, here);
        fill(c0, xlo, ylo, yhi, here);
        fill(xhi, c1, ylo, yhi, here);
        const struct {
            const strided_view<std::int32_t, 1>& child;
            int c0, c1, r0, r1;
        } quadrants[4] = {{t.bl, c0, xlo, r0, ylo}, {t.br, xhi, c1, r0, ylo},
                          {t.tl, c0, xlo, yhi, r1}, {t.tr, xhi, c1, yhi, r1}};
        for (const auto& q : quadrants) {
            const std::int32_t child = q.child(node);
            if (child < 0) {
                fill(q.c0, q.c1, q.r0, q.r1, {child, -1});
            } else {
                visit(t, child, depth + 1, q.c0, q.c1, q.r0, q.r1, level + 1);
            }
        }
    }
};

// The grid side for n points: big enough to settle most walks in one read,
// small enough that building it costs little beside the points themselves.
// 0 means walking from the root is cheaper.
inline int start_table_side(std::ptrdiff_t n, std::ptrdiff_t nodes) noexcept {
    const std::ptrdiff_t cells = std::min(n / 4, std::max<std::ptrdiff_t>(256, 16 * nodes));
    int g = 512;
    while (g >= 16 && static_cast<std::ptrdiff_t>(g) * g > cells) g /= 2;
    return g >= 16 ? g : 0;
}

// Walkers gathered before a lockstep pass: enough to keep every lane busy.
inline constexpr std::ptrdiff_t walk_block = 1024;

// The leaf walk for many points, a block at a time: points the table
// settles are written at once, the rest walk on in lockstep from where
// their cell's walks part.  Ends as walk_lockstep.
template <class Poll>
walk_end leaf_walk_blocks(const std::vector<packed_node>& nodes, const start_table* table,
                          const strided_view<double, 2>& pts, std::ptrdiff_t n, std::int32_t max_depth,
                          std::vector<walker>& pending, const out_view<std::int32_t, 1>& out,
                          poll_counter<Poll>& counter) {
    const auto capacity = static_cast<std::ptrdiff_t>(pending.size());
    std::ptrdiff_t count = 0;
    walk_end end = walk_end::done;
    for_point_blocks(pts, n, [&](std::ptrdiff_t start, std::ptrdiff_t m, const double* xs, const double* ys) {
        if (end != walk_end::done) return;
        // A settled point costs about a descent.
        if (counter.tick(m)) {
            end = walk_end::stopped;
            return;
        }
        start_entry e[point_block_size];
        if (table) {
            table->find(xs, ys, m, e);
        } else {
            std::fill(e, e + m, start_entry{0, 0});
        }
        for (std::ptrdiff_t p = 0; p < m; ++p) {
            if (e[p].depth < 0) {
                out(start + p) = e[p].node;
            } else {
                pending[static_cast<std::size_t>(count++)] = {start + p, xs[p], ys[p], e[p].node, e[p].depth};
            }
        }
        if (count + point_block_size > capacity || start + m == n) {
            end = walk_lockstep(nodes, pending.data(), count, max_depth, out, counter);
            count = 0;
        }
    });
    return end;
}

inline void pack_tree(const tree_views& t, std::vector<packed_node>& nodes) {
    nodes.resize(static_cast<std::size_t>(t.nodes));
    for (std::ptrdiff_t k = 0; k < t.nodes; ++k) {
        packed_node& nd = nodes[static_cast<std::size_t>(k)];
        nd.cx = t.cx(k);
        nd.cy = t.cy(k);
        nd.child[0] = t.bl(k);
        nd.child[1] = t.br(k);
        nd.child[2] = t.tl(k);
        nd.child[3] = t.tr(k);
        nd.leaf = t.is_leaf(k) != 0;
        nd.unused = 0;
    }
}

// The views of one tree, with `nodes` the shortest of the seven lengths
// (capped at the largest 32-bit node number).  The views must outlive it.
inline tree_views make_tree_views(const strided_view<double, 1>& cx, const strided_view<double, 1>& cy,
                                  const strided_view<std::uint8_t, 1>& is_leaf,
                                  const strided_view<std::int32_t, 1>& tl,
                                  const strided_view<std::int32_t, 1>& tr,
                                  const strided_view<std::int32_t, 1>& bl,
                                  const strided_view<std::int32_t, 1>& br) noexcept {
    std::ptrdiff_t nodes = cx.extent(0);
    for (std::ptrdiff_t e :
         {cy.extent(0), is_leaf.extent(0), tl.extent(0), tr.extent(0), bl.extent(0), br.extent(0)}) {
        nodes = std::min(nodes, e);
    }
    // Node numbers are 32-bit, so nothing past INT32_MAX is addressable anyway.
    nodes = std::min<std::ptrdiff_t>(nodes, std::numeric_limits<std::int32_t>::max());
    tree_views t{cx, cy, is_leaf, tl, tr, bl, br, nodes};
    const strided_view<std::int32_t, 1>* by_quadrant[4] = {&bl, &br, &tl, &tr};
    for (int q = 0; q < 4; ++q) {
        t.child_data[q] = by_quadrant[q]->data;
        t.child_stride[q] = by_quadrant[q]->strides[0];
    }
    return t;
}

// The leaf search for many points.  prepare() allocates (and so runs with
// the lock held); run() touches nothing but the views and this scratch.
class leaf_search {
public:
    // May throw std::bad_alloc.
    void prepare(const tree_views& t, std::ptrdiff_t n) {
        // Packing and the start table cost a pass over the nodes and the
        // grid; worth it only when the points outnumber them.
        use_packed_ = n >= 64 && t.nodes <= n;
        use_table_ = false;
        if (!use_packed_) return;
        pack_tree(t, packed_);
        pending_.resize(static_cast<std::size_t>(walk_block));
        const int side = start_table_side(n, t.nodes);
        use_table_ = side > 0 && table_.place(t, side);
        if (use_table_) table_.reserve();
    }

    // out(i) = the leaf (or -1) that point i of the first n rows of `pts`
    // reaches.  On a node number out of range, `fault` names the first point
    // whose walk meets one; when poll() asks to stop, it says so.  In both
    // cases `out` is partly written.
    template <class Poll = never_stop>
    void run(const tree_views& t, const strided_view<double, 2>& pts, std::ptrdiff_t n, std::int32_t max_depth,
             const out_view<std::int32_t, 1>& out, walk_fault& fault, Poll&& poll = Poll{}) {
        poll_counter<std::remove_reference_t<Poll>> counter(poll);
        if (use_table_) table_.build(t, max_depth);
        walk_end end = walk_end::bad_node;
        if (use_packed_) {
            end = leaf_walk_blocks(packed_, use_table_ ? &table_ : nullptr, pts, n, max_depth, pending_, out,
                                   counter);
        }
        if (end == walk_end::stopped) {
            fault.stopped = true;
            return;
        }
        // The plain walk, also the one that names the first bad point.
        for (std::ptrdiff_t i = 0; i < n && end != walk_end::done; ++i) {
            std::int32_t node;
            int depth;
            const walk_end e = walk<true>(t, pts(i, 0), pts(i, 1), max_depth, node, depth,
                                          [](int, std::int32_t) {}, counter);
            if (fault.ended(e, i, node)) return;
            out(i) = node;
        }
    }

private:
    std::vector<packed_node> packed_;
    std::vector<walker> pending_;
    start_table table_;
    bool use_packed_ = false, use_table_ = false;
};

template <bool Long, class Poll>
void chain_walks(const tree_views& t, const strided_view<double, 2>& pts, std::ptrdiff_t n, std::int32_t max_depth,
                 std::int32_t max_cols, const out_view<std::int32_t, 2>& chain,
                 const out_view<std::int32_t, 1>& length, walk_fault& fault, poll_counter<Poll>& counter) {
    for (std::ptrdiff_t i = 0; i < n; ++i) {
        // A path wider than the row is finished without recording so the
        // error can say how many columns it needed.
        bool fits = max_cols > 0;
        auto record = [&](int depth, std::int32_t node) {
            if (depth >= max_cols) fits = false;
            if (fits) chain(i, depth) = node;
        };
        if (fits) chain(i, 0) = 0;
        std::int32_t node;
        int depth;
        const walk_end e = walk<Long>(t, pts(i, 0), pts(i, 1), max_depth, node, depth, record, counter);
        if (fault.ended(e, i, node)) return;
        if (!fits) {
            fault.point = i;
            fault.width = static_cast<std::ptrdiff_t>(depth) + 1;
            return;
        }
        length(i) = depth + 1;
    }
}

// chain(i, 0:length(i)) = the nodes that point i walks through, root first
// (the last -1 where the walk fell off a missing branch); length(i) their
// number.  Stops at the first point whose walk meets a node out of range or
// needs more than max_cols columns, or when poll() asks to, and says which
// in `fault`.
template <class Poll = never_stop>
void find_chains(const tree_views& t, const strided_view<double, 2>& pts, std::ptrdiff_t n,
                 std::int32_t max_depth, std::int32_t max_cols, const out_view<std::int32_t, 2>& chain,
                 const out_view<std::int32_t, 1>& length, walk_fault& fault, Poll&& poll = Poll{}) {
    poll_counter<std::remove_reference_t<Poll>> counter(poll);
    if (max_depth > stretch_mask) {
        chain_walks<true>(t, pts, n, max_depth, max_cols, chain, length, fault, counter);
    } else {
        chain_walks<false>(t, pts, n, max_depth, max_cols, chain, length, fault, counter);
    }
}

}  // namespace orin
