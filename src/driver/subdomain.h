#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

// One named block of the grid: half-open global cell ranges
// (x_begin, x_end, y_begin, y_end, z_begin, z_end) and the frequencies to compute.
struct Subdomain {
    std::string name;
    std::array<int32_t, 6> span{};
    std::vector<float> freqs;

    int64_t extent(int axis) const { return int64_t(span[2 * axis + 1]) - int64_t(span[2 * axis]); }
    int64_t cell_count() const { return extent(0) * extent(1) * extent(2); }
};

// The span widened to 64-bit values, as the compute phases use it.
using Span = std::array<int64_t, 6>;
