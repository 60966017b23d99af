#include "driver/input_files.h"

#include <cstdint>

#include "common/internal_error.h"
#include "driver/hdf5_handle.h"
#include "driver/hdf5_member_type.h"
#include "driver/hdf5_readers.h"

namespace {

constexpr std::size_t MEMBER_NAME_BUFFER = 1024;

// Reads the span of one subdomain group from its "span_inds", which must be of an integer
// class and hold at least six values.
std::array<int32_t, 6> read_span(hid_t group) {
    H5Handle dataset(H5Dopen2(group, "span_inds", H5P_DEFAULT), H5Dclose);
    require(dataset.valid());
    H5Handle type(H5Dget_type(dataset.get()), H5Tclose);
    require(type.valid() && H5Tget_class(type.get()) == H5T_INTEGER);
    H5Handle space(H5Dget_space(dataset.get()), H5Sclose);
    require(space.valid());
    const hssize_t count = H5Sget_simple_extent_npoints(space.get());
    require(count >= 6);
    std::vector<int32_t> values(static_cast<std::size_t>(count), 0);
    require(H5Dread(dataset.get(), H5T_NATIVE_INT32, H5S_ALL, H5S_ALL, H5P_DEFAULT, values.data()) >= 0);
    std::array<int32_t, 6> span{};
    for (int i = 0; i < 6; ++i) span[i] = values[i];
    return span;
}

}  // namespace

std::vector<Subdomain> read_subdomains(const char* hdf5_path) {
    H5Handle file = open_hdf5_file_read_only(hdf5_path);
    require(file.valid());
    H5Handle root(H5Gopen2(file.get(), "/subdomains", H5P_DEFAULT), H5Gclose);
    require(root.valid());
    H5G_info_t info;
    require(H5Gget_info(root.get(), &info) >= 0);

    std::vector<Subdomain> subdomains;
    for (hsize_t i = 0; i < info.nlinks; ++i) {
        char name[MEMBER_NAME_BUFFER] = {};
        require(H5Lget_name_by_idx(root.get(), ".", H5_INDEX_NAME, H5_ITER_INC, i, name, sizeof name,
                                   H5P_DEFAULT) >= 0);
        if (!member_is_group(root.get(), i)) continue;
        H5Handle group(H5Gopen2(root.get(), name, H5P_DEFAULT), H5Gclose);
        require(group.valid());
        Subdomain subdomain;
        subdomain.name = name;
        subdomain.span = read_span(group.get());
        subdomains.push_back(std::move(subdomain));
    }
    return subdomains;
}

std::vector<float> read_frequencies(const char* frequency_path) {
    H5Handle file = open_hdf5_file_read_only(frequency_path);
    H5Handle group(file.valid() ? H5Gopen2(file.get(), "frequency", H5P_DEFAULT) : -1, H5Gclose);
    require(group.valid());
    // A missing "freqs" is an empty list; one that exists but cannot be read as floats is not.
    std::vector<float> freqs;
    if (H5Lexists(group.get(), "freqs", H5P_DEFAULT) > 0) require(read_float_dataset(group.get(), "freqs", freqs));
    return freqs;
}

Grid read_grid(const char* hdf5_path) {
    H5Handle file = open_hdf5_file_read_only(hdf5_path);
    H5Handle group(file.valid() ? H5Gopen2(file.get(), "grid", H5P_DEFAULT) : -1, H5Gclose);
    require(group.valid());
    std::array<std::vector<float>, 3> boundaries;
    const char* names[3] = {"x", "y", "z"};
    for (int a = 0; a < 3; ++a) require(read_float_dataset(group.get(), names[a], boundaries[a]));
    group.close();
    file.close();
    return make_grid(std::move(boundaries));
}

void check_spans_within_grid(const std::vector<Subdomain>& subdomains, const Grid& grid) {
    for (const Subdomain& subdomain : subdomains) {
        for (int a = 0; a < 3; ++a) {
            const int64_t begin = subdomain.span[2 * a];
            const int64_t end = subdomain.span[2 * a + 1];
            require(begin >= 0 && begin <= end && end <= grid.cell_count[a]);
        }
    }
}
