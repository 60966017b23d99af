#include "driver/hdf5_readers.h"

#include "driver/hdf5_handle.h"

namespace {

// Reads every element of the dataset as `mem_type` into a buffer of T; false when the dataset
// is missing, has no valid dataspace or the read fails.
template <typename T>
bool read_all(hid_t loc, const char* name, hid_t mem_type, std::vector<T>& buffer) {
    H5Handle dataset(H5Dopen2(loc, name, H5P_DEFAULT), H5Dclose);
    if (!dataset.valid()) return false;
    H5Handle space(H5Dget_space(dataset.get()), H5Sclose);
    if (!space.valid()) return false;
    const hssize_t count = H5Sget_simple_extent_npoints(space.get());
    if (count < 0) return false;
    buffer.assign(static_cast<std::size_t>(count), T{});
    if (count == 0) return true;
    return H5Dread(dataset.get(), mem_type, H5S_ALL, H5S_ALL, H5P_DEFAULT, buffer.data()) >= 0;
}

}  // namespace

bool read_float_dataset(hid_t loc, const char* name, std::vector<float>& out) {
    std::vector<float> buffer;
    if (!read_all(loc, name, H5T_NATIVE_FLOAT, buffer)) return false;
    out = std::move(buffer);
    return true;
}

bool read_bool_dataset(hid_t loc, const char* name, std::vector<bool>& out) {
    // The library's boolean is an 8-bit enumeration; nonzero bytes are true.
    std::vector<uint8_t> buffer;
    if (!read_all(loc, name, H5T_NATIVE_HBOOL, buffer)) return false;
    out.assign(buffer.begin(), buffer.end());
    return true;
}

bool read_uint_dataset(hid_t loc, const char* name, std::vector<uint32_t>& out) {
    std::vector<uint32_t> buffer;
    if (!read_all(loc, name, H5T_NATIVE_UINT, buffer)) return false;
    out = std::move(buffer);
    return true;
}

bool read_int_dataset(hid_t loc, const char* name, std::vector<int32_t>& out) {
    std::vector<int32_t> buffer;
    if (!read_all(loc, name, H5T_NATIVE_INT32, buffer)) return false;
    out = std::move(buffer);
    return true;
}
