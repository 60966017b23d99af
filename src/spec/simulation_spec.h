#pragma once

#include <array>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/averaging_method.h"
#include "spec/medium.h"
#include "spec/sources_monitors.h"

class Geometry;

// The averaging method chosen for each class of material.
struct SubpixelMethodSettings {
    AveragingMethod dielectric = AveragingMethod::PolarizedAveraging;
    AveragingMethod metal = AveragingMethod::Staircasing;
    AveragingMethod pec = AveragingMethod::PECConformal;
    AveragingMethod pmc = AveragingMethod::Staircasing;
    AveragingMethod lossy_metal = AveragingMethod::SurfaceImpedance;
    bool pec_edge_singularity_correction = false;
    bool lossy_metal_edge_singularity_correction = false;
};

// One entry of the structure list: a shape filled with a medium.
struct Structure {
    std::shared_ptr<Geometry> geometry;
    int32_t medium_index = 0;
    bool modal_pec_frame = false;
};

// A (min side, max side) pair per axis.
template <typename T>
using AxisPairs = std::array<std::pair<T, T>, 3>;

// The loaded simulation specification; read-only once loaded and shared by all threads.
struct SimulationSpec {
    nlohmann::json document;
    std::string version;
    float run_time = 0;
    float shutoff = 0;
    float courant = 0;
    float courant_scaling = 1;
    SubpixelMethodSettings subpixel;
    float time_step = 0;
    int32_t total_time_steps = 0;
    std::array<double, 3> fixed_angle_dir{};
    std::array<double, 3> fixed_angle_center{};
    uint8_t fixed_angle_axis = 0;
    bool relax_courant = false;
    std::array<int32_t, 3> symmetry{};
    bool has_conformal_metal = false;
    bool has_pmc = false;
    bool has_subpixel_identifiers = false;
    int32_t normalize_index = 0;
    std::array<bool, 3> periodic_boundary{};
    AxisPairs<double> simulation_bounds{};
    std::array<double, 3> simulation_size{};
    double bounds_tolerance = 0;
    AxisPairs<double> extrusion_clipping_bounds = {{{-std::numeric_limits<double>::infinity(),
                                                     std::numeric_limits<double>::infinity()},
                                                    {-std::numeric_limits<double>::infinity(),
                                                     std::numeric_limits<double>::infinity()},
                                                    {-std::numeric_limits<double>::infinity(),
                                                     std::numeric_limits<double>::infinity()}}};
    AxisPairs<bool> apply_extrusion_bounds{};
    AxisPairs<double> extrusion_bound_tolerance = {{{std::numeric_limits<double>::quiet_NaN(),
                                                     std::numeric_limits<double>::quiet_NaN()},
                                                    {std::numeric_limits<double>::quiet_NaN(),
                                                     std::numeric_limits<double>::quiet_NaN()},
                                                    {std::numeric_limits<double>::quiet_NaN(),
                                                     std::numeric_limits<double>::quiet_NaN()}}};
    std::vector<std::shared_ptr<Medium>> media;
    std::vector<std::shared_ptr<Structure>> structures;
    std::vector<int32_t> public_str_indices;
    std::vector<std::shared_ptr<Source>> sources;
    std::vector<std::shared_ptr<Monitor>> monitors;
    std::vector<std::shared_ptr<InternalAbsorber>> internal_absorbers;
};

// Loads json_path into spec, with the gridded media of hdf5_path when it is not null.
// Returns 0 on success and -1 when the specification cannot be loaded (unreadable or invalid
// JSON, a missing key or a value of the wrong type, a structure whose geometry cannot be read,
// a medium index that names no medium, inconsistent gridded media); no exception leaves it.
// An unknown averaging method, a violated clipping-plane check or an inconsistent medium ends
// the process with the internal error. On a failed load, `cause` (when given) receives what went
// wrong, led by the dotted path of the offending value where one is known.
int load_simulation_spec(SimulationSpec& spec, const char* json_path, const char* hdf5_path,
                         std::string* cause = nullptr);
