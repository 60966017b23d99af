#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "spec/medium.h"

// A medium whose values vary over a box of grid cells: one set of values per point, with the
// point of position (di, dj, dk) in the box at dk + (dj + ny·di)·nz (z fastest, x slowest).
class CustomMedium final : public Medium {
public:
    // A medium of n_points points, every component of kind Custom.
    explicit CustomMedium(std::size_t n_points);

    // The point that cell (i, j, k) uses. Cells outside the box are moved onto it on the
    // clamped sides; a cell that stays outside ends the process with the internal error.
    int32_t spatial_index(int32_t i, int32_t j, int32_t k) const override;

    std::array<int32_t, 3> point_counts{};
    std::array<int32_t, 3> point_origin{};
    // Low x, high x, low y, high y, low z, high z.
    std::array<bool, 6> clamp_sides{};
};

// The gridded media of a file, each with the index of the structure it belongs to.
struct CustomMediaList {
    std::vector<std::shared_ptr<CustomMedium>> media;
    std::vector<int32_t> structure_indices;
};

// Reads the group "custom_medium" of the HDF5 file. A file without that group or without its
// "istr_ind" dataset has no gridded media. Returns nothing when the data are inconsistent
// (datasets of the wrong size, structure indices out of order, an empty or reversed box) or
// when a dataset or group that exists cannot be read.
// On failure, `reason` (when given) says which group or dataset is wrong.
std::optional<CustomMediaList> read_custom_media(const char* hdf5_path, std::string* reason = nullptr);
