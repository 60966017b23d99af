#include "spec/custom_medium.h"

#include <algorithm>
#include <cstdio>
#include <limits>
#include <string>

#include <hdf5.h>

#include "common/internal_error.h"
#include "driver/hdf5_handle.h"
#include "driver/hdf5_readers.h"

namespace {

bool link_exists(hid_t loc, const char* name) { return H5Lexists(loc, name, H5P_DEFAULT) > 0; }

// "custom_" followed by the index, zero-filled to at least four digits.
std::string custom_group_name(int32_t structure_index) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "custom_%04d", structure_index);
    return buffer;
}

// Number of points of the box, or 0 when the box is reversed, empty, or too large for the
// 32-bit point and value indices.
std::size_t box_point_count(const std::vector<uint32_t>& range) {
    constexpr uint64_t max_index = static_cast<uint64_t>(std::numeric_limits<int32_t>::max());
    uint64_t points = 1;
    for (int axis = 0; axis < 3; ++axis) {
        const uint64_t begin = range[2 * axis];
        const uint64_t end = range[2 * axis + 1];
        if (end <= begin || end > max_index) return 0;
        points *= end - begin;  // below 2^61: the previous product passed the check below
        if (points > max_index / 3) return 0;
    }
    return static_cast<std::size_t>(points);
}

// Appends the poles of component c, read from the four datasets of its axis. False when the
// datasets do not hold the same whole number of values per point.
bool read_component_poles(hid_t group, int c, std::size_t n_points, CustomMedium& medium) {
    static const char* const axes[] = {"x", "y", "z"};
    std::vector<float> parts[4];
    const char* const prefixes[] = {"pole_ar_", "pole_ai_", "pole_cr_", "pole_ci_"};
    for (int part = 0; part < 4; ++part) {
        const std::string name = std::string(prefixes[part]) + axes[c];
        if (link_exists(group, name.c_str()) && !read_float_dataset(group, name.c_str(), parts[part])) return false;
    }
    if (parts[0].size() % n_points != 0) return false;
    const std::size_t pole_count = parts[0].size() / n_points;
    for (int part = 1; part < 4; ++part)
        if (parts[part].size() != parts[0].size()) return false;
    for (std::size_t q = 0; q < pole_count; ++q) {
        Pole pole;
        pole.a.reserve(n_points);
        pole.c.reserve(n_points);
        for (std::size_t p = 0; p < n_points; ++p) {
            const std::size_t at = q * n_points + p;
            pole.a.emplace_back(parts[0][at], parts[1][at]);
            pole.c.emplace_back(parts[2][at], parts[3][at]);
        }
        medium.poles[c].push_back(std::move(pole));
    }
    return true;
}

// Reads the medium stored in one "custom_NNNN" group; null when the group is missing or its
// datasets are inconsistent, with `reason` saying which.
std::shared_ptr<CustomMedium> read_one_custom_medium(hid_t custom_group, int32_t structure_index,
                                                     std::string& reason) {
    const std::string name = custom_group_name(structure_index);
    const std::string where = "custom_medium/" + name;
    const auto fail = [&reason](std::string why) {
        reason = std::move(why);
        return std::shared_ptr<CustomMedium>();
    };
    if (!link_exists(custom_group, name.c_str())) return fail(where + ": missing");
    H5Handle group(H5Gopen2(custom_group, name.c_str(), H5P_DEFAULT), H5Gclose);
    if (!group.valid()) return fail(where + ": not a readable group");

    // A missing dataset leaves its list empty, which the size checks below reject; asking for
    // the link first keeps the library from printing its own error report. A dataset that
    // exists but cannot be read rejects the medium.
    const auto read = [&group](const char* name, auto reader, auto& values) {
        return !link_exists(group.get(), name) || reader(group.get(), name, values);
    };
    std::vector<float> eps_inf, sigma;
    std::vector<uint32_t> range, identifier;
    std::vector<bool> subpixel, dispersive;
    if (!read("eps_inf", read_float_dataset, eps_inf) || !read("sigma", read_float_dataset, sigma) ||
        !read("inds_range", read_uint_dataset, range) || !read("subpixel", read_bool_dataset, subpixel) ||
        !read("subpixel_identifier", read_uint_dataset, identifier) ||
        !read("dispersive", read_bool_dataset, dispersive))
        return fail(where + ": a dataset cannot be read");

    if (range.size() != 6)
        return fail(where + "/inds_range: expected 6 values, got " + std::to_string(range.size()));
    const std::size_t n_points = box_point_count(range);
    if (n_points == 0) return fail(where + "/inds_range: an empty or oversized index box");
    for (const auto& [list, label] : {std::pair{&eps_inf, "eps_inf"}, std::pair{&sigma, "sigma"}})
        if (list->size() != 3 * n_points)
            return fail(where + "/" + label + ": expected " + std::to_string(3 * n_points) + " values (3 per point), got " +
                        std::to_string(list->size()));
    if (subpixel.size() != 3 || dispersive.size() != 3 || identifier.empty())
        return fail(where + ": subpixel and dispersive need 3 values each, subpixel_identifier one");

    auto medium = std::make_shared<CustomMedium>(n_points);
    for (int axis = 0; axis < 3; ++axis) {
        medium->point_origin[axis] = static_cast<int32_t>(range[2 * axis]);
        medium->point_counts[axis] = static_cast<int32_t>(range[2 * axis + 1] - range[2 * axis]);
        medium->subpixel[axis] = subpixel[axis];
    }
    medium->eps_inf = std::move(eps_inf);
    medium->sigma = std::move(sigma);
    medium->subpixel_identifier = identifier[0];

    for (int c = 0; c < 3; ++c)
        if (dispersive[c] && !read_component_poles(group.get(), c, n_points, *medium))
            return fail(where + ": the poles of component " + std::to_string(c) + " are inconsistent");

    if (link_exists(group.get(), "clamp_sides")) {
        std::vector<bool> clamp;
        if (!read_bool_dataset(group.get(), "clamp_sides", clamp)) return fail(where + "/clamp_sides: cannot be read");
        if (clamp.size() == 6)
            for (int side = 0; side < 6; ++side) medium->clamp_sides[side] = clamp[side];
    }
    return medium;
}

}  // namespace

CustomMedium::CustomMedium(std::size_t n_points) : Medium(3 * n_points, ComponentKind::Custom) {}

int32_t CustomMedium::spatial_index(int32_t i, int32_t j, int32_t k) const {
    if (point_counts[0] == 1 && point_counts[1] == 1 && point_counts[2] == 1) return 0;
    // Offset of a cell index from the box's first cell after clamping, in 64 bits so that no
    // cell index can overflow it.
    const auto offset = [this](int32_t index, int axis) {
        const int64_t origin = point_origin[axis];
        int64_t v = index;
        if (v < origin && clamp_sides[2 * axis]) v = origin;
        if (clamp_sides[2 * axis + 1]) v = std::min<int64_t>(v, origin + point_counts[axis] - 1);
        return v - origin;
    };
    const int64_t di = offset(i, 0), dj = offset(j, 1), dk = offset(k, 2);
    const int64_t nx = point_counts[0], ny = point_counts[1], nz = point_counts[2];
    if (di < 0 || di >= nx || dj < 0 || dj >= ny || dk < 0 || dk >= nz) internal_error();
    return static_cast<int32_t>(dk + (dj + ny * di) * nz);
}

std::optional<CustomMediaList> read_custom_media(const char* hdf5_path, std::string* reason) {
    std::string why;
    const auto fail = [&](std::string text) -> std::optional<CustomMediaList> {
        if (reason) *reason = std::move(text);
        return std::nullopt;
    };
    CustomMediaList result;
    H5Handle file = open_hdf5_file_read_only(hdf5_path);
    if (!file.valid() || !link_exists(file.get(), "custom_medium")) return result;
    // A "custom_medium" or "istr_ind" that exists but cannot be read is a failure, not the
    // absence of gridded media.
    H5Handle group(H5Gopen2(file.get(), "custom_medium", H5P_DEFAULT), H5Gclose);
    if (!group.valid()) return fail("custom_medium: not a readable group");
    if (!link_exists(group.get(), "istr_ind")) return result;
    std::vector<int32_t> structure_indices;
    if (!read_int_dataset(group.get(), "istr_ind", structure_indices))
        return fail("custom_medium/istr_ind: cannot be read");

    // The loader's redirection of custom structures walks this list forwards only.
    for (std::size_t s = 1; s < structure_indices.size(); ++s)
        if (structure_indices[s] < structure_indices[s - 1])
            return fail("custom_medium/istr_ind: the structure indices must not decrease");

    for (const int32_t structure_index : structure_indices) {
        auto medium = read_one_custom_medium(group.get(), structure_index, why);
        if (!medium) return fail(why);
        result.media.push_back(std::move(medium));
    }
    result.structure_indices = std::move(structure_indices);
    return result;
}
