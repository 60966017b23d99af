#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "spec/medium.h"

struct SimulationSpec;

// Structures whose name starts with this prefix are the PEC frames of modal sources.
inline constexpr std::string_view MODAL_PEC_FRAME_PREFIX = "__orbelle_modal_pec_frame_";

bool is_modal_pec_frame_name(std::string_view name);

// A medium of kind Medium with no poles, permittivity exactly 1, conductivity exactly 0 and no
// nonlinear iterations.
bool is_plain_vacuum(const Medium& medium);

// Points structures made of a custom medium at the gridded medium read for them. The gridded
// media sit in the media list from `custom_base` on, in the order of their structure indices;
// the search moves forward only.
class CustomStructureCursor {
public:
    CustomStructureCursor(int32_t custom_base, std::vector<int32_t> structure_indices)
        : custom_base_(custom_base), structure_indices_(std::move(structure_indices)) {}

    // The medium index of the first gridded medium, from the cursor on, whose structure index
    // is not below `str_index`; the cursor stays on it. Nothing when there is none.
    std::optional<int32_t> medium_for(int32_t str_index);

private:
    int32_t custom_base_;
    std::vector<int32_t> structure_indices_;
    std::size_t position_ = 0;
};

// Checks a structure's medium index and replaces it by the special index of a vacuum, PEC or
// PMC medium, or by its gridded medium for a custom one. False when the index names neither a
// medium of `media` nor a special medium, or a custom structure has no gridded medium.
bool normalize_medium_index(int32_t& medium_index, int32_t str_index,
                            const std::vector<std::shared_ptr<Medium>>& media, CustomStructureCursor& cursor);

// Reads "struct_list" into the spec's structures and public indices. Returns false when the
// list is rejected (a geometry that cannot be read, an invalid medium index); values of the
// wrong JSON type raise.
// On false, `cause` says which structure was rejected and why.
bool read_structures(SimulationSpec& spec, CustomStructureCursor& cursor, std::string& cause);

// Sets has_conformal_metal, has_pmc and has_subpixel_identifiers from the loaded media and
// structures.
void compute_run_flags(SimulationSpec& spec);
