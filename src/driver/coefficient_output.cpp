#include "driver/coefficient_output.h"

#include <complex>
#include <string>

#include "common/internal_error.h"

static_assert(sizeof(std::complex<float>) == 8, "complex values must be two packed floats");

hid_t complex_float_type() {
    static const hid_t type = [] {
        ensure_hdf5_ready();
        const hid_t t = H5Tcreate(H5T_COMPOUND, 8);
        require(t >= 0);
        require(H5Tinsert(t, "r", 0, H5T_NATIVE_FLOAT) >= 0);
        require(H5Tinsert(t, "i", 4, H5T_NATIVE_FLOAT) >= 0);
        return t;
    }();
    return type;
}

H5Handle create_output_file(const char* path) {
    ensure_hdf5_ready();
    H5Handle file(H5Fcreate(path, H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT), H5Fclose);
    require(file.valid());
    return file;
}

void write_coefficients(hid_t group, const std::vector<Subdomain>& subdomains, std::string_view name,
                        const CoefficientSet& coefficients, std::size_t index) {
    require(name == "eps" || name == "mu");
    const Subdomain& subdomain = subdomains.at(index);
    const hsize_t dims[5] = {subdomain.freqs.size(), hsize_t(subdomain.extent(0)), hsize_t(subdomain.extent(1)),
                             hsize_t(subdomain.extent(2)), 9};
    const std::size_t offset = name == "eps" ? 0 : 9;
    require(coefficients.size() == subdomain.freqs.size());

    std::vector<std::complex<float>> buffer;
    buffer.reserve(dims[0] * dims[1] * dims[2] * dims[3] * 9);
    for (const FrequencyBlock& block : coefficients) {
        require(block.cells.size() == dims[1] * dims[2] * dims[3]);
        for (const CellCoefficients& cell : block.cells)
            buffer.insert(buffer.end(), cell.values.begin() + offset, cell.values.begin() + offset + 9);
    }

    H5Handle space(H5Screate_simple(5, dims, nullptr), H5Sclose);
    require(space.valid());
    const std::string dataset_name(name);
    H5Handle dataset(H5Dcreate2(group, dataset_name.c_str(), complex_float_type(), space.get(), H5P_DEFAULT,
                                H5P_DEFAULT, H5P_DEFAULT),
                     H5Dclose);
    require(dataset.valid());
    if (!buffer.empty())
        require(H5Dwrite(dataset.get(), complex_float_type(), H5S_ALL, H5S_ALL, H5P_DEFAULT, buffer.data()) >= 0);
    require(dataset.close());
}
