#pragma once

#include <cstdint>
#include <vector>

#include "common/coefficient_set.h"
#include "driver/grid.h"
#include "driver/subdomain.h"
#include "spec/simulation_spec.h"
#include "subpixel/subpixel_schemes.h"

// Fills `coefficients` (empty on entry) with one block per frequency for the subdomain `span`:
// identity tensors everywhere, then the averaged tensors of every cell that structures reach.
void compute_subdomain(const SchemeSet& schemes, const uint64_t& thread_count, const Grid& grid,
                       const SimulationSpec& spec, const Span& span, const std::vector<float>& freqs,
                       CoefficientSet& coefficients);

// Whether the modal PEC frames are painted separately, after the edge-singularity phase.
bool paints_frames_separately(const SimulationSpec& spec);

// The span with each non-empty axis extended by one cell below its begin value, where the grid
// has such a cell.
Span widened_below(const Span& span);

// The span with each non-empty axis extended by one cell above its end value, where the grid
// has such a cell.
Span widened_above(const Span& span, const Grid& grid);
