#pragma once

#include <cstddef>

#include "common/internal_error.h"
#include "common/medium_index.h"
#include "spec/simulation_spec.h"

// Structure s of the specification as the per-cell phases read it: it has a geometry, and its
// medium index fits the 16-bit sample media (where 65535 means none) and, when it is a real
// index, names an entry of the media list. Anything else is the internal error.
inline const Structure& checked_structure(const SimulationSpec& spec, std::size_t s) {
    const Structure* structure = spec.structures[s].get();
    require(structure != nullptr && structure->geometry != nullptr);
    const int32_t m = structure->medium_index;
    require(m >= 0 && m < MEDIUM_NONE);
    require(!is_real_medium_index(m) ||
            (static_cast<std::size_t>(m) < spec.media.size() && spec.media[static_cast<std::size_t>(m)] != nullptr));
    return *structure;
}
