#pragma once

// Helpers of the specification tests: a minimal valid specification, scratch files, and a
// small HDF5 writer for gridded-media fixtures.

#include <hdf5.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "spec/simulation_spec.h"

namespace spec_test {

// A specification that loads: no media, structures or lists, every required key present.
inline nlohmann::json minimal_spec() {
    return nlohmann::json::parse(R"({
        "version": "2.9",
        "run_time": 1e-12,
        "shutoff": 1e-5,
        "courant": 0.99,
        "courant_scaling": 0.5,
        "symmetry": [0, 0, 0],
        "subpixel_method": {
            "dielectric": {"type": "PolarizedAveraging"},
            "metal": {"type": "Staircasing"},
            "pec": {"type": "PECConformal", "edge_singularity_correction": false},
            "lossy_metal": {"type": "SurfaceImpedance", "edge_singularity_correction": false},
            "pmc": {"type": "Staircasing"}
        },
        "time_step": 1e-17,
        "total_time_steps": 1000,
        "fixed_angle_dir": [0, 0, 1],
        "fixed_angle_center": [0, 0, 0],
        "fixed_angle_axis": 2,
        "periodic_boundary": [false, false, false],
        "simulation_bounds": [[-1, -2, -3], [1, 2, 3]],
        "medium_list": [],
        "struct_list": [],
        "sources": [],
        "source_time_list": [],
        "monitor_list": [],
        "internal_absorbers": []
    })");
}

// A scratch directory removed with everything in it at the end of the test.
class ScratchDir {
public:
    ScratchDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "spec_test_XXXXXX").string();
        if (!mkdtemp(pattern.data())) std::abort();
        path_ = pattern;
    }
    ~ScratchDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    std::string file(const std::string& name) const { return (path_ / name).string(); }

    std::string write_text(const std::string& name, const std::string& text) const {
        const std::string path = file(name);
        std::ofstream(path, std::ios::binary) << text;
        return path;
    }

private:
    std::filesystem::path path_;
};

// Writes `document` to a scratch file and loads it; returns the loader's result.
inline int load_json(SimulationSpec& spec, const nlohmann::json& document, const char* hdf5_path = nullptr) {
    ScratchDir dir;
    const std::string path = dir.write_text("spec.json", document.dump());
    return load_simulation_spec(spec, path.c_str(), hdf5_path);
}

// One-dimensional datasets written through the HDF5 C API.
class H5Writer {
public:
    explicit H5Writer(const std::string& path) : file_(H5Fcreate(path.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT)) {}
    ~H5Writer() { H5Fclose(file_); }
    H5Writer(const H5Writer&) = delete;
    H5Writer& operator=(const H5Writer&) = delete;

    // Creates the group `path` (its parent must exist).
    void group(const std::string& path) { H5Gclose(H5Gcreate2(file_, path.c_str(), H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT)); }

    void floats(const std::string& path, const std::vector<float>& values) { write(path, H5T_NATIVE_FLOAT, values.data(), values.size()); }
    void uints(const std::string& path, const std::vector<uint32_t>& values) { write(path, H5T_NATIVE_UINT, values.data(), values.size()); }
    void ints(const std::string& path, const std::vector<int32_t>& values) { write(path, H5T_NATIVE_INT, values.data(), values.size()); }
    void bools(const std::string& path, const std::vector<uint8_t>& values) { write(path, H5T_NATIVE_HBOOL, values.data(), values.size()); }

private:
    void write(const std::string& path, hid_t type, const void* data, std::size_t count) {
        const hsize_t dims[1] = {count};
        const hid_t space = H5Screate_simple(1, dims, nullptr);
        const hid_t dataset = H5Dcreate2(file_, path.c_str(), type, space, H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT);
        if (count > 0) H5Dwrite(dataset, type, H5S_ALL, H5S_ALL, H5P_DEFAULT, data);
        H5Dclose(dataset);
        H5Sclose(space);
    }

    hid_t file_;
};

}  // namespace spec_test
