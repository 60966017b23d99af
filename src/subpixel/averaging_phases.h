#pragma once

#include <cstdint>

#include "common/conformal_data.h"
#include "driver/grid.h"
#include "driver/loop_description.h"
#include "driver/structure_map.h"
#include "spec/simulation_spec.h"
#include "subpixel/subpixel_schemes.h"

// The parallel phases of one subdomain. Each receives a private copy of the grid and the loop it
// runs (the cells the structures reach, in the driver's axis order) and spreads the two
// outermost axes over `threads` threads.

// Marks the grid nodes on conductor wedges (node_values) at the centre frequency.
void correct_edge_singularities(const SimulationSpec& spec, const StructureMap& map, const Grid& grid,
                                ConformalData& conformal, const LoopDescription& loop, int threads,
                                float centre_frequency, const Span& extended_span);

// Records the open share of every cell face a conductor crosses.
void collect_conformal_faces(const SimulationSpec& spec, const StructureMap& map, const Grid& grid,
                             ConformalData& conformal, const LoopDescription& loop, int threads,
                             const SchemeSet& schemes, const Span& span);
