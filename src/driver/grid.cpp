#include "driver/grid.h"

#include "common/internal_error.h"

std::vector<float> dual_coordinates(const std::vector<float>& b) {
    const std::size_t n = b.size() - 1;
    std::vector<float> duals(n + 1);
    duals[0] = static_cast<float>(double(b[0]) - (0.5 * double(b[n]) - 0.5 * double(b[n - 1])));
    for (std::size_t i = 0; i < n; ++i) duals[i + 1] = static_cast<float>(0.5 * double(b[i + 1]) + 0.5 * double(b[i]));
    return duals;
}

Grid make_grid(std::array<std::vector<float>, 3> boundaries) {
    Grid grid;
    for (int a = 0; a < 3; ++a) {
        require(boundaries[a].size() >= 2);
        grid.cell_count[a] = static_cast<int64_t>(boundaries[a].size()) - 1;
        grid.duals[a] = dual_coordinates(boundaries[a]);
        grid.boundaries[a] = std::move(boundaries[a]);
    }
    return grid;
}
