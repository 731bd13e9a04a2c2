// Feeding a compiled scene: query points cut into spatially compact blocks,
// spread over native threads.
//
// Every point's result depends on that point alone (see scene_engine.hpp),
// so how the points are blocked and which thread takes which block cannot
// change a bit of it.  Work is handed out in items (a chunk of input points,
// or a band of grid rows) from one atomic counter; the calling thread works
// too, and between items it calls `checkpoint`, the one place where the
// caller may retake the interpreter lock (to check for signals or report
// progress).  Items report every finished block through their state's
// `tick`, so that a stop is seen within one block, and a checkpoint made
// within a few (see poll_points), however large an item is.  A false
// checkpoint, or an exception out of it, stops every thread before the call
// returns: no worker outlives the call.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "scene_engine.hpp"
#include "scene_raster.hpp"
#include "strided_view.hpp"

namespace orin::scene {

struct worker_state {
    // Called with the points finished since the last call; false: stop now.
    // On the calling thread it may throw (what the checkpoint throws).
    std::function<bool(std::int64_t)> tick;
    scratch s;
    block blk;
    // A chunk's points by cell, as offsets into the chunk: 32 bits halve
    // what its counting sort scatters over.
    std::vector<i32> order;
    std::vector<i32> start;
    std::vector<i32> cell;
    raster_scratch raster;
};

// Points the calling thread finishes between looks at the clock, at most
// a few blocks: even where one point costs a millisecond, a checkpoint
// falls due within a quarter of a second.
inline constexpr std::int64_t poll_points = 256;

// Points a worker finishes between additions to the shared count.
inline constexpr std::int64_t count_points = 4096;

// Runs `work(item, state)` for every item in [0, items).
// `checkpoint(points_done)` runs on the calling thread at most every
// `interval`, between blocks.  Returns false if a checkpoint asked to stop.
template <class Work, class Checkpoint>
bool run_items(std::int64_t items, int threads, Work&& work, Checkpoint&& checkpoint,
               std::chrono::milliseconds interval = std::chrono::milliseconds(50)) {
    using clock = std::chrono::steady_clock;
    std::atomic<std::int64_t> next{0}, done{0};
    std::atomic<bool> stop{false};
    std::atomic<int> running{0};
    std::mutex finished_mutex;
    std::condition_variable finished;
    auto loop = [&](worker_state& st) {
        while (!stop.load(std::memory_order_relaxed)) {
            const std::int64_t i = next.fetch_add(1, std::memory_order_relaxed);
            if (i >= items) break;
            work(i, st);
        }
    };
    std::vector<std::thread> pool;
    auto join_all = [&]() noexcept {
        stop.store(true);
        for (std::thread& t : pool) {
            if (t.joinable()) t.join();
        }
    };
    const auto wanted = static_cast<std::int64_t>(std::max(1, threads));
    const int extra = static_cast<int>(std::min<std::int64_t>(wanted, std::max<std::int64_t>(items, 1)) - 1);
    auto last = clock::now();
    bool go_on = true;
    auto poll = [&]() {
        if (go_on && clock::now() - last >= interval) {
            go_on = checkpoint(done.load());
            last = clock::now();
            if (!go_on) stop.store(true);
        }
        return go_on;
    };
    try {
        for (int t = 0; t < extra; ++t) {
            running.fetch_add(1);
            try {
                pool.emplace_back([&]() {
                    worker_state st;
                    // Counted a few thousand points at a time: an add from
                    // every block, on both cores, keeps the counter's line
                    // moving between them, and `stop` beside it, which every
                    // block reads.
                    std::int64_t uncounted = 0;
                    st.tick = [&](std::int64_t points) {
                        uncounted += points;
                        if (uncounted >= count_points) {
                            done.fetch_add(uncounted, std::memory_order_relaxed);
                            uncounted = 0;
                        }
                        return !stop.load(std::memory_order_relaxed);
                    };
                    loop(st);
                    done.fetch_add(uncounted, std::memory_order_relaxed);
                    {
                        const std::lock_guard<std::mutex> hold(finished_mutex);
                        running.fetch_sub(1);
                    }
                    finished.notify_one();
                });
            } catch (...) {
                // No more threads to be had: the ones already running, and
                // this one, share the work.
                running.fetch_sub(1);
                break;
            }
        }
        worker_state st;
        // A look at the clock costs a few percent of a small block's work:
        // look once every few blocks, and count the points then.
        std::int64_t unpolled = 0;
        st.tick = [&](std::int64_t points) {
            unpolled += points;
            if (unpolled >= poll_points) {
                done.fetch_add(unpolled, std::memory_order_relaxed);
                unpolled = 0;
                poll();
            }
            return go_on && !stop.load(std::memory_order_relaxed);
        };
        loop(st);
        done.fetch_add(unpolled, std::memory_order_relaxed);
        // The workers finish their last blocks; keep answering checkpoints
        // meanwhile.
        for (;;) {
            {
                std::unique_lock<std::mutex> hold(finished_mutex);
                if (finished.wait_for(hold, interval, [&] { return running.load() == 0; })) break;
            }
            poll();
        }
        join_all();
        return go_on;
    } catch (...) {
        // Also the forced unwind of a thread that may not retake the lock at
        // interpreter exit: the workers use this frame, so they end first.
        join_all();
        throw;
    }
}

// Blocks of query points are at most this fraction of the elements' reach
// wide (see compiled_scene::reach).
inline constexpr f64 reach_fraction = 0.5;

// Cells for arbitrary points are at least this many element spacings wide
// (see compiled_scene::spacing), where points are far denser than elements.
inline constexpr f64 shared_cells = 0.25;

// Points a chunk holds at most, so that offsets into it fit 32 bits.
inline constexpr std::int64_t max_chunk = std::int64_t{1} << 30;

// Points a thread's chunk holds at most, as a rule: 64 MiB of coordinates.
inline constexpr std::int64_t chunk_points = std::int64_t{1} << 22;

// How many of n arbitrary points go to one chunk, for `threads` threads.
// A chunk is binned on its own, so the more points it holds, the more
// share each cell, and the finer its cells may be while their points still
// share their elements: over a city of 30,000 buildings 200k points
// evaluate 1.6x faster as two chunks than as eight.  So each thread takes
// its share as one chunk, and a share past chunk_points as equal chunks,
// where the binning's reads of points far apart have left the caches.
inline std::int64_t points_per_chunk(std::int64_t n, int threads) noexcept {
    const std::int64_t t = std::max(1, threads);
    const std::int64_t rounds = std::max<std::int64_t>(1, (n + t * chunk_points - 1) / (t * chunk_points));
    return std::max<std::int64_t>(4096, (n + t * rounds - 1) / (t * rounds));
}

// A chunk of arbitrary points: binned into a grid over the chunk's own box,
// so that each block is compact, then evaluated block by block.
inline void drive_points(const compiled_scene& scene, const strided_view<f64, 2>& pts, std::int64_t lo,
                         std::int64_t hi, const outputs& out, worker_state& st) {
    if (hi - lo > max_chunk) {
        for (std::int64_t at = lo; at < hi; at += max_chunk) {
            drive_points(scene, pts, at, std::min(hi, at + max_chunk), out, st);
        }
        return;
    }
    const f64 inf = std::numeric_limits<f64>::infinity();
    box b{inf, inf, -inf, -inf};
    std::int64_t finite = 0;
    for (std::int64_t i = lo; i < hi; ++i) {
        const f64 x = pts(i, 0), y = pts(i, 1);
        if (std::isfinite(x) && std::isfinite(y)) {
            b = {std::min(b.x0, x), std::min(b.y0, y), std::max(b.x1, x), std::max(b.y1, y)};
            ++finite;
        } else {
            compiled_scene::finish_nonfinite(i, x, y, out);
        }
    }
    if (!st.tick(hi - lo - finite) || finite == 0) return;
    // About 32 points a cell, as evenly as the points lie.  Where elements
    // are denser than that, a block's points are grouped again by the
    // scene's own cells as they are evaluated; fewer points a cell would
    // only mean more, smaller blocks.  Where even 32 points leave a cell a
    // small part of the spacing (a million points over a harbour), a wider
    // cell's points share the same few elements: up to 256 points a cell
    // then, in full blocks, which halves the blocks' visits and the cells
    // the sort counts into.
    const f64 dense = std::sqrt(static_cast<f64>(finite) / 32.0);
    const f64 full = std::sqrt(static_cast<f64>(finite) / 256.0);
    const f64 near = std::max(b.x1 - b.x0, b.y1 - b.y0) / (shared_cells * scene.spacing());
    const f64 want = std::max(full, std::isfinite(near) ? std::min(dense, near) : dense);
    const int g = static_cast<int>(std::clamp(want, 1.0, 4096.0));
    // In halves: points at both ends of the doubles span more than the
    // largest one, and cells only group points, so their rounding is free.
    const f64 hx = 0.5 * b.x0, hy = 0.5 * b.y0;
    f64 sx = g / (0.5 * b.x1 - hx), sy = g / (0.5 * b.y1 - hy);
    if (!std::isfinite(sx)) sx = 0.0;
    if (!std::isfinite(sy)) sy = 0.0;
    const auto cells = static_cast<size_t>(g) * static_cast<size_t>(g);
    // NaN, which no finite point should give, would take the lowest cell.
    auto at = [&](f64 u) { return static_cast<i32>(std::min(g - 1.0, std::max(0.0, u))); };
    auto cell_of = [&](f64 x, f64 y) { return at((0.5 * y - hy) * sy) * g + at((0.5 * x - hx) * sx); };
    st.start.assign(cells + 1, 0);
    st.cell.resize(static_cast<size_t>(hi - lo));
    for (std::int64_t i = lo; i < hi; ++i) {
        const f64 x = pts(i, 0), y = pts(i, 1);
        const bool ok = std::isfinite(x) && std::isfinite(y);
        const i32 c = ok ? cell_of(x, y) : -1;
        st.cell[static_cast<size_t>(i - lo)] = c;
        if (ok) ++st.start[static_cast<size_t>(c) + 1];
    }
    for (size_t c = 0; c < cells; ++c) st.start[c + 1] += st.start[c];
    st.order.resize(static_cast<size_t>(finite));
    {
        std::vector<i32>& fill = st.start;  // advanced while filling, restored below
        for (i32 k = 0; k < static_cast<i32>(hi - lo); ++k) {
            const i32 c = st.cell[static_cast<size_t>(k)];
            if (c >= 0) st.order[static_cast<size_t>(fill[static_cast<size_t>(c)]++)] = k;
        }
        // Each start now holds the next cell's start: shift back.
        for (size_t c = cells; c > 0; --c) fill[c] = fill[c - 1];
        fill[0] = 0;
    }
    block& blk = st.blk;
    for (size_t c = 0; c < cells; ++c) {
        for (i64 k = st.start[c]; k < st.start[c + 1]; k += block_size) {
            const i64 end = std::min<i64>(k + block_size, st.start[c + 1]);
            blk.count = static_cast<int>(end - k);
            for (int p = 0; p < blk.count; ++p) {
                const i64 i = lo + st.order[static_cast<size_t>(k + p)];
                blk.index[p] = i;
                blk.xs[p] = pts(i, 0);
                blk.ys[p] = pts(i, 1);
            }
            // A large chunk's points and results lie beyond the core's own
            // cache, each read and written wherever the arrays hold it: ask
            // for the next block's while this one is evaluated.  Both are
            // needed; either alone gains little.
            const i64 next = std::min<i64>(end + block_size, finite);
            for (i64 j = end; j < next; ++j) {
                const i64 i = lo + st.order[static_cast<size_t>(j)];
                __builtin_prefetch(pts.address(i, 0));
                __builtin_prefetch(pts.address(i, 1));
                if (out.value) __builtin_prefetch(out.value + i, 1);
                if (out.gradient) __builtin_prefetch(out.gradient + 2 * i, 1);
                if (out.owner) __builtin_prefetch(out.owner + i, 1);
                if (out.nearest) __builtin_prefetch(out.nearest + 2 * i, 1);
            }
            scene.evaluate(blk, st.s);
            for (int p = 0; p < blk.count; ++p) scene.finish(blk, p, out);
            if (!st.tick(blk.count)) return;
        }
    }
}

// Rows of a regular grid, a band of them an item.  A band is drawn element
// by element (scene_raster.hpp) where that is cheaper, else evaluated in
// tiles of up to 8 x 8 points, fewer where the grid is coarse beside the
// elements' reach.  Point (xs[c], ys[r]) has its results at r * nx + c.
inline constexpr std::int64_t tile_side = 8;

// Points a drawn band holds, at most: enough that each element it reads
// reaches several of them, few enough that the band stays in the core's
// own cache.  On a coarse grid an element reaches the rows of more than one
// band, and each band reads it again: taller bands read it less often.
inline constexpr std::int64_t band_points = 16384;

// Drawn bands a thread takes, at least, where the grid has the rows: the
// last band taken holds up the others, and an element read again by the
// next band costs less.
inline constexpr std::int64_t thread_bands = 6;

// Points along one axis of a tile, for a grid step of `step`.
inline std::int64_t tile_points(const compiled_scene& scene, f64 step) noexcept {
    const f64 fit = reach_fraction * scene.reach() / std::fabs(step);
    if (!(fit < static_cast<f64>(tile_side))) return tile_side;  // also NaN: a single row or column
    return std::max<std::int64_t>(1, static_cast<std::int64_t>(fit));
}

// Rows in a band: whole tiles, and where drawn up to band_points points.
inline std::int64_t band_rows(std::int64_t nx, std::int64_t ny, std::int64_t tile_rows, int threads,
                              bool drawn) noexcept {
    if (!drawn) return tile_rows;
    const std::int64_t spread = (ny + thread_bands * threads - 1) / (thread_bands * threads);
    const std::int64_t want = std::max<std::int64_t>(1, std::min(band_points / std::max<std::int64_t>(nx, 1), spread));
    return (want + tile_rows - 1) / tile_rows * tile_rows;
}

// Rows [r0, r1) through the evaluation; false if told to stop.
inline bool evaluate_grid_rows(const compiled_scene& scene, const f64* xs, std::int64_t nx, const f64* ys,
                               std::int64_t r0, std::int64_t r1, std::int64_t tile_cols, const outputs& out,
                               worker_state& st) {
    block& blk = st.blk;
    for (std::int64_t c0 = 0; c0 < nx; c0 += tile_cols) {
        const std::int64_t c1 = std::min(c0 + tile_cols, nx);
        blk.count = 0;
        for (std::int64_t r = r0; r < r1; ++r) {
            for (std::int64_t c = c0; c < c1; ++c) {
                const f64 x = xs[c], y = ys[r];
                if (std::isfinite(x) && std::isfinite(y)) {
                    blk.index[blk.count] = r * nx + c;
                    blk.xs[blk.count] = x;
                    blk.ys[blk.count] = y;
                    ++blk.count;
                } else {
                    compiled_scene::finish_nonfinite(r * nx + c, x, y, out);
                }
            }
        }
        scene.evaluate(blk, st.s);
        for (int p = 0; p < blk.count; ++p) scene.finish(blk, p, out);
        if (!st.tick((r1 - r0) * (c1 - c0))) return false;
    }
    return true;
}

// Band `band` of `rows` rows; `raster` null where no band may be drawn.
// Returns the rows drawn.
inline std::int64_t drive_grid_band(const compiled_scene& scene, const grid_raster* raster, const f64* xs,
                                    std::int64_t nx, const f64* ys, std::int64_t ny, std::int64_t band,
                                    std::int64_t rows, std::int64_t tile_rows, std::int64_t tile_cols,
                                    const outputs& out, worker_state& st) {
    const std::int64_t r0 = band * rows, r1 = std::min(r0 + rows, ny);
    if (raster && raster->draw(r0, r1, out.value, st.raster)) {
        st.tick((r1 - r0) * nx);
        return r1 - r0;
    }
    for (std::int64_t t = r0; t < r1; t += tile_rows) {
        if (!evaluate_grid_rows(scene, xs, nx, ys, t, std::min(t + tile_rows, r1), tile_cols, out, st)) break;
    }
    return 0;
}

}  // namespace orin::scene
