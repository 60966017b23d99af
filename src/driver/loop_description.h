#pragma once

#include <array>
#include <cstdint>

#include <omp.h>

#include "driver/subdomain.h"

// The index box a phase visits and the order of its loops.
struct LoopDescription {
    // Lower and upper (half-open) global cell index per axis: x, then y, then z.
    std::array<uint64_t, 6> bounds{};
    // Axes from outermost to innermost, and for each axis its position in that order.
    std::array<int, 3> order{};
    std::array<int, 3> inverse{};

    uint64_t lower(int axis) const { return bounds[2 * axis]; }
    uint64_t upper(int axis) const { return bounds[2 * axis + 1]; }
    bool empty(int axis) const { return lower(axis) >= upper(axis); }
    // Number of indices on an axis, 0 when empty.
    uint32_t extent(int axis) const { return empty(axis) ? 0u : static_cast<uint32_t>(upper(axis) - lower(axis)); }
};

// Clamps the span to the index box that structures reach and orders the axes cyclically from the
// one of largest extent (ties go to the later axis; z when all are empty). With
// `extend_by_one`, each span end is taken one index further.
LoopDescription make_loop_description(const Span& span, const std::array<uint64_t, 6>& reach, bool extend_by_one);

// Runs body(first, second) for every index pair of the two outermost axes of the loop, the pairs
// spread over `threads` threads with dynamic scheduling in chunks of one. Indices are global.
template <typename Body>
void for_each_outer_pair(const LoopDescription& loop, int threads, Body&& body) {
    const int a0 = loop.order[0];
    const int a1 = loop.order[1];
    const int64_t n0 = loop.extent(a0);
    const int64_t n1 = loop.extent(a1);
    const int64_t total = n0 * n1;
    if (total == 0 || loop.empty(loop.order[2])) return;
    const int64_t lo0 = static_cast<int64_t>(loop.lower(a0));
    const int64_t lo1 = static_cast<int64_t>(loop.lower(a1));
#pragma omp parallel for schedule(nonmonotonic : dynamic, 1) num_threads(threads)
    for (int64_t flat = 0; flat < total; ++flat) body(lo0 + flat / n1, lo1 + flat % n1);
}

// Runs body(cell) for every cell (global indices x, y, z) of the loop: the pairs of the two
// outermost axes spread over `threads` threads as above, the innermost axis ascending within a
// pair.
template <typename Body>
void for_each_cell(const LoopDescription& loop, int threads, Body&& body) {
    const int inner = loop.order[2];
    const int64_t inner_lower = static_cast<int64_t>(loop.lower(inner));
    const int64_t inner_upper = static_cast<int64_t>(loop.upper(inner));
    for_each_outer_pair(loop, threads, [&](int64_t first, int64_t second) {
        int64_t cell[3];
        cell[loop.order[0]] = first;
        cell[loop.order[1]] = second;
        for (int64_t n = inner_lower; n < inner_upper; ++n) {
            cell[inner] = n;
            body(cell);
        }
    });
}

// The thread count a phase starts with: one when fewer than two threads are configured, else the
// runtime's default.
inline int phase_threads(uint64_t thread_count) { return thread_count < 2 ? 1 : omp_get_max_threads(); }
