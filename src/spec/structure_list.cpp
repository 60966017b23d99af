#include "spec/structure_list.h"

#include <cstdio>
#include <string>

#include "common/medium_index.h"
#include "geometry/geometry_reader.h"
#include "spec/json_values.h"
#include "spec/simulation_spec.h"

using nlohmann::json;

namespace {

bool is_named_special_index(int32_t index) {
    return index == MEDIUM_INDEX_VACUUM || index == MEDIUM_INDEX_PEC || index == MEDIUM_INDEX_PMC;
}

void report_rejected_structure(int32_t str_index, const std::string& name, const json& type) {
    const std::string message = "Error loading structure index " + std::to_string(str_index) + " (name='" + name +
                                "', type='" + (type.is_string() ? type.get<std::string>() : std::string("<unknown>")) +
                                "'): unsupported or malformed geometry; rejecting simulation.\n";
    std::fwrite(message.data(), 1, message.size(), stderr);
    std::fflush(stderr);
}

}  // namespace

bool is_modal_pec_frame_name(std::string_view name) { return name.starts_with(MODAL_PEC_FRAME_PREFIX); }

bool is_plain_vacuum(const Medium& medium) {
    if (!medium.all_kinds(ComponentKind::Medium) || medium.eps_inf.size() < 3 || medium.sigma.size() < 3) return false;
    for (int c = 0; c < 3; ++c)
        if (!medium.poles[c].empty() || medium.eps_inf[c] != 1.0f || medium.sigma[c] != 0.0f) return false;
    return medium.nonlinear.numiters == 0.0f;
}

std::optional<int32_t> CustomStructureCursor::medium_for(int32_t str_index) {
    while (position_ < structure_indices_.size() && structure_indices_[position_] < str_index) ++position_;
    if (position_ == structure_indices_.size()) return std::nullopt;
    return custom_base_ + static_cast<int32_t>(position_);
}

bool normalize_medium_index(int32_t& medium_index, int32_t str_index, const std::vector<std::shared_ptr<Medium>>& media,
                            CustomStructureCursor& cursor) {
    if (!is_real_medium_index(medium_index)) return is_named_special_index(medium_index);
    if (static_cast<std::size_t>(medium_index) >= media.size()) return false;
    const Medium& medium = *media[medium_index];
    if (medium.kinds[0] != medium.kinds[1] || medium.kinds[0] != medium.kinds[2]) return true;
    switch (medium.kinds[0]) {
        case ComponentKind::Medium:
            if (is_plain_vacuum(medium)) medium_index = MEDIUM_INDEX_VACUUM;
            return true;
        case ComponentKind::PEC:
            medium_index = MEDIUM_INDEX_PEC;
            return true;
        case ComponentKind::PMC:
            medium_index = MEDIUM_INDEX_PMC;
            return true;
        case ComponentKind::Custom: {
            const std::optional<int32_t> gridded = cursor.medium_for(str_index);
            if (!gridded || !is_real_medium_index(*gridded) || static_cast<std::size_t>(*gridded) >= media.size())
                return false;
            medium_index = *gridded;
            return true;
        }
        default:
            return true;
    }
}

bool read_structures(SimulationSpec& spec, CustomStructureCursor& cursor, std::string& cause) {
    json& list = spec.document["struct_list"];
    if (list.is_null()) return true;
    if (!list.is_array()) reject_value(list, "struct_list must be an array");
    for (std::size_t position = 0; position < list.size(); ++position) {
        json& entry = list[position];
        const std::string where = "struct_list[" + std::to_string(position) + "]";
        if (!entry.is_object()) reject_value(entry, "a structure must be an object");
        json& name_value = entry["name"];
        const std::string name = name_value.is_null() ? std::string() : read_string(name_value);
        const int32_t str_index = read_int32(entry["str_index"]);
        const int32_t mat_index = read_int32(entry["mat_index"]);

        std::shared_ptr<Geometry> geometry = read_structure_geometry(entry);
        if (!geometry) {
            report_rejected_structure(str_index, name, entry["type"]);
            const json& type = entry["type"];
            cause = where + ": unsupported or malformed geometry" +
                    (type.is_string() ? " of type \"" + type.get<std::string>() + "\"" : std::string());
            return false;
        }

        auto structure = std::make_shared<Structure>();
        structure->geometry = std::move(geometry);
        structure->medium_index = mat_index;
        structure->modal_pec_frame = is_modal_pec_frame_name(name);

        const auto public_index = entry.find("public_str_index");
        spec.public_str_indices.push_back(public_index == entry.end() ? -1 : read_int32(*public_index));

        if (!normalize_medium_index(structure->medium_index, str_index, spec.media, cursor)) {
            cause = where + ".mat_index: medium index " + std::to_string(mat_index) + " with " +
                    std::to_string(spec.media.size()) + " media" +
                    (is_real_medium_index(mat_index) && static_cast<std::size_t>(mat_index) < spec.media.size()
                         ? " (no gridded medium for this structure)"
                         : "");
            return false;
        }
        spec.structures.push_back(std::move(structure));
    }
    return true;
}

void compute_run_flags(SimulationSpec& spec) {
    bool pec_structure = false, pmc_structure = false;
    for (const auto& structure : spec.structures) {
        pec_structure |= structure->medium_index == MEDIUM_INDEX_PEC;
        pmc_structure |= structure->medium_index == MEDIUM_INDEX_PMC;
    }
    bool pec_component = false, pmc_component = false, lossy_component = false, identifiers = false;
    for (const auto& medium : spec.media) {
        for (const ComponentKind kind : medium->kinds) {
            pec_component |= kind == ComponentKind::PEC;
            pmc_component |= kind == ComponentKind::PMC;
            lossy_component |= kind == ComponentKind::LossyMetal;
        }
        identifiers |= medium->subpixel_identifier != 0;
    }
    spec.has_conformal_metal =
        (spec.subpixel.pec == AveragingMethod::PECConformal && (pec_structure || pec_component)) ||
        (spec.subpixel.lossy_metal == AveragingMethod::SurfaceImpedance && lossy_component);
    spec.has_pmc = pmc_structure || pmc_component;
    if (identifiers) spec.has_subpixel_identifiers = true;
}
