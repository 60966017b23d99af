#pragma once

#include "common/conformal_data.h"
#include "driver/grid.h"
#include "driver/loop_description.h"
#include "driver/structure_map.h"
#include "spec/simulation_spec.h"

// Marks the grid nodes on straight conductor wedges along a grid axis (node_values) at the centre
// frequency. `grid` is the phase's private copy of the coordinate lists; `loop` runs over the
// nodes of the span widened by one node per axis (`extended_span`), its two outermost axes spread
// over `threads` threads.
void correct_edge_singularities(const SimulationSpec& spec, const StructureMap& map, const Grid& grid,
                                ConformalData& conformal, const LoopDescription& loop, int threads,
                                float centre_frequency, const Span& extended_span);
