#pragma once

#include <array>
#include <cstdint>
#include <vector>

// The rectilinear grid. Per axis: the cell count, the cell-boundary coordinates and the dual
// coordinates (a virtual centre before the first cell, then the centre of every cell).
struct Grid {
    std::array<int64_t, 3> cell_count{};
    std::array<std::vector<float>, 3> boundaries;
    std::array<std::vector<float>, 3> duals;
};

// Builds the grid from the three boundary lists. Ends the process with the internal error when
// an axis has fewer than two coordinates.
Grid make_grid(std::array<std::vector<float>, 3> boundaries);

// The dual coordinates of one axis: element 0 is b[0] minus half the last cell's size, element
// i + 1 the centre of cell i. Requires at least two boundaries.
std::vector<float> dual_coordinates(const std::vector<float>& b);
