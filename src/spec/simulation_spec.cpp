#include "spec/simulation_spec.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <fstream>

#include "common/internal_error.h"
#include "common/tolerance.h"
#include "spec/custom_medium.h"
#include "spec/json_values.h"
#include "spec/load_failure.h"
#include "spec/medium_reader.h"
#include "spec/structure_list.h"

using nlohmann::json;

namespace {

// The averaging method named by `settings`.type for one class of material. An unlisted
// name (or a missing type) is an internal error.
struct MethodName {
    const char* name;
    AveragingMethod method;
};

template <std::size_t N>
AveragingMethod method_from_list(const json& type, const MethodName (&choices)[N]) {
    for (const MethodName& choice : choices)
        if (type == choice.name) return choice.method;
    internal_error();
}

// "VolumetricAveraging" of metals and lossy metals may staircase the normal component.
AveragingMethod volumetric_variant(json& settings) {
    return read_bool(settings["staircase_normal_component"]) ? AveragingMethod::VolumetricAveragingNormalStaircased
                                                             : AveragingMethod::VolumetricAveraging;
}

void read_subpixel_methods(json& methods, SubpixelMethodSettings& out) {
    using M = AveragingMethod;
    json& dielectric = methods["dielectric"];
    out.dielectric = method_from_list(dielectric["type"], {{"PolarizedAveraging", M::PolarizedAveraging},
                                                           {"Staircasing", M::Staircasing},
                                                           {"ContourPathAveraging", M::ContourPathAveraging}});

    json& metal = methods["metal"];
    out.metal = method_from_list(metal["type"], {{"VolumetricAveraging", M::VolumetricAveraging},
                                                 {"Staircasing", M::Staircasing}});
    if (out.metal == M::VolumetricAveraging) out.metal = volumetric_variant(metal);

    json& pec = methods["pec"];
    out.pec = method_from_list(pec["type"], {{"Staircasing", M::Staircasing},
                                             {"HeuristicPECStaircasing", M::HeuristicPECStaircasing},
                                             {"PECConformal", M::PECConformal}});
    if (out.pec == M::PECConformal && read_bool(pec["edge_singularity_correction"]))
        out.pec_edge_singularity_correction = true;

    json& lossy = methods["lossy_metal"];
    out.lossy_metal = method_from_list(lossy["type"], {{"VolumetricAveraging", M::VolumetricAveraging},
                                                       {"Staircasing", M::Staircasing},
                                                       {"SurfaceImpedance", M::SurfaceImpedance}});
    if (out.lossy_metal == M::VolumetricAveraging) out.lossy_metal = volumetric_variant(lossy);
    if (out.lossy_metal == M::SurfaceImpedance && read_bool(lossy["edge_singularity_correction"]))
        out.lossy_metal_edge_singularity_correction = true;

    json& pmc = methods["pmc"];
    out.pmc = method_from_list(pmc["type"], {{"Staircasing", M::Staircasing},
                                             {"HeuristicPECStaircasing", M::HeuristicPECStaircasing}});
}

void read_symmetry(json& symmetry, std::array<int32_t, 3>& out) {
    if (!symmetry.is_array() || symmetry.size() < 3) reject_value(symmetry, "symmetry needs three numbers");
    for (int axis = 0; axis < 3; ++axis) out[axis] = read_int32(symmetry[axis]);
}

void read_bounds_and_axes(SimulationSpec& spec) {
    json& doc = spec.document;
    for (int axis = 0; axis < 3; ++axis) {
        spec.fixed_angle_dir[axis] = read_float(doc["fixed_angle_dir"][axis]);
        spec.fixed_angle_center[axis] = read_float(doc["fixed_angle_center"][axis]);
        spec.periodic_boundary[axis] = read_bool(doc["periodic_boundary"][axis]);
        spec.simulation_bounds[axis].first = read_double(doc["simulation_bounds"][0][axis]);
        spec.simulation_bounds[axis].second = read_double(doc["simulation_bounds"][1][axis]);
        spec.simulation_size[axis] = spec.simulation_bounds[axis].second - spec.simulation_bounds[axis].first;
    }
    double largest = 0.0;
    for (const auto& [low, high] : spec.simulation_bounds)
        largest = std::max({largest, std::fabs(low), std::fabs(high)});
    spec.bounds_tolerance = float_tolerance(largest);
}

// Reads the clipping planes and their flags and checks them against the simulation bounds.
void read_extrusion_clipping(SimulationSpec& spec) {
    json& doc = spec.document;
    if (!doc.is_object() || !doc.contains("apply_extrusion_bounds") || !doc.contains("extrusion_clipping_bounds"))
        return;
    json& flags = doc["apply_extrusion_bounds"];
    json& planes = doc["extrusion_clipping_bounds"];
    for (int axis = 0; axis < 3; ++axis) {
        spec.apply_extrusion_bounds[axis] = {read_bool(flags[0][axis]), read_bool(flags[1][axis])};
        spec.extrusion_clipping_bounds[axis] = {read_double(planes[0][axis]), read_double(planes[1][axis])};
        const auto& [low, high] = spec.extrusion_clipping_bounds[axis];
        spec.extrusion_bound_tolerance[axis] = {float_tolerance(std::max(1.0, std::fabs(low))),
                                                float_tolerance(std::max(1.0, std::fabs(high)))};
    }
    // A periodic axis cannot be clipped.
    for (int axis = 0; axis < 3; ++axis) {
        const auto [apply_low, apply_high] = spec.apply_extrusion_bounds[axis];
        if (spec.periodic_boundary[axis] && (apply_low || apply_high)) internal_error();
    }
    // Applied planes lie within the simulation bounds, and a pair is ordered.
    for (int axis = 0; axis < 3; ++axis) {
        const auto [apply_low, apply_high] = spec.apply_extrusion_bounds[axis];
        const auto [low, high] = spec.extrusion_clipping_bounds[axis];
        const auto [sim_low, sim_high] = spec.simulation_bounds[axis];
        if (apply_low) {
            require(!(low < sim_low - spec.bounds_tolerance));
            if (apply_high) {
                require(!(high > sim_high + spec.bounds_tolerance));
                require(low < high);
            }
        } else if (apply_high) {
            require(!(high > sim_high + spec.bounds_tolerance));
        }
    }
}

// Reads the JSON media; false when an entry yields no medium.
bool read_json_media(SimulationSpec& spec) {
    json& list = spec.document["medium_list"];
    if (list.is_null()) return true;
    if (!list.is_array()) reject_value(list, "medium_list must be an array");
    spec.media.reserve(list.size());
    for (json& entry : list) {
        std::shared_ptr<Medium> medium = read_medium(entry);
        if (!medium) return false;
        spec.media.push_back(std::move(medium));
    }
    return true;
}

void check_media_consistency(const SimulationSpec& spec) {
    for (const auto& medium : spec.media) {
        for (const ComponentKind kind : medium->kinds) require(kind != ComponentKind::Invalid);
        if (medium->kinds[0] == ComponentKind::FullyAnisotropic)
            require(medium->all_kinds(ComponentKind::FullyAnisotropic));
        if (medium->kinds[0] == ComponentKind::Custom) require(medium->all_kinds(ComponentKind::Custom));
    }
}

int load(SimulationSpec& spec, const char* json_path, const char* hdf5_path, std::string& cause) {
    std::ifstream in(json_path, std::ios::binary);
    if (!in) {
        cause = "the specification file cannot be opened";
        return -1;
    }
    // A syntax error raises the library's parse error, whose message gives line and column.
    spec.document = json::parse(in, nullptr, /*allow_exceptions=*/true, /*ignore_comments=*/false);
    replace_infinity_strings(spec.document);
    json& doc = spec.document;

    spec.version = read_string(doc["version"]);
    spec.run_time = read_float(doc["run_time"]);
    spec.shutoff = read_float(doc["shutoff"]);
    spec.courant = read_float(doc["courant"]);
    spec.courant_scaling = read_float(doc["courant_scaling"]);
    read_symmetry(doc["symmetry"], spec.symmetry);
    read_subpixel_methods(doc["subpixel_method"], spec.subpixel);
    if (doc.contains("normalize_index") && !doc["normalize_index"].is_null())
        spec.normalize_index = read_int32(doc["normalize_index"]);
    spec.time_step = read_float(doc["time_step"]);
    spec.total_time_steps = read_int32(doc["total_time_steps"]);
    spec.fixed_angle_axis = static_cast<uint8_t>(read_int32(doc["fixed_angle_axis"]) & 0xFF);
    if (doc.is_object() && doc.contains("relax_courant")) spec.relax_courant = read_bool(doc["relax_courant"]);
    read_bounds_and_axes(spec);
    read_extrusion_clipping(spec);

    if (!read_json_media(spec)) {
        cause = "medium_list: a medium could not be read";
        return -1;
    }
    const std::size_t custom_base = spec.media.size();
    std::vector<int32_t> custom_structures;
    if (hdf5_path) {
        std::optional<CustomMediaList> custom = read_custom_media(hdf5_path, &cause);
        if (!custom) return -1;
        spec.media.insert(spec.media.end(), custom->media.begin(), custom->media.end());
        custom_structures = std::move(custom->structure_indices);
    }
    check_media_consistency(spec);

    CustomStructureCursor cursor(static_cast<int32_t>(std::min<std::size_t>(custom_base, MEDIUM_INDEX_VACUUM)),
                                 std::move(custom_structures));
    if (!read_structures(spec, cursor, cause)) return -1;
    compute_run_flags(spec);

    read_sources(spec);
    read_monitors(spec);
    read_internal_absorbers(spec);
    return 0;
}

}  // namespace

int load_simulation_spec(SimulationSpec& spec, const char* json_path, const char* hdf5_path, std::string* cause) {
    std::string found;
    int result = -1;
    if (!json_path) {
        found = "no specification file was named";
    } else {
        try {
            result = load(spec, json_path, hdf5_path, found);
        } catch (const std::exception& error) {
            found = describe_load_error(error.what());
        } catch (...) {
            found = "an unknown error";
        }
    }
    if (result != 0 && cause != nullptr) *cause = found;
    return result;
}
