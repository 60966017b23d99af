#pragma once

#include <cstdint>

#include "common/coefficient_set.h"
#include "spec/simulation_spec.h"
#include "subpixel/cell_samples.h"

// The 18 values of global cell (i, j, k) at frequency f from the cell's six component samples:
// the permittivity tensor from the electric samples and, when magnetic_pass is set, the
// permeability diagonal from the magnetic samples (otherwise the identity). A singular tensor,
// an inconsistent full-tensor cell, a value that is not finite, or a sample naming a medium
// the specification does not have ends the process with the internal error. Allocates nothing.
CellCoefficients assemble_cell(const CellSamples& samples, const SimulationSpec& spec, int32_t i, int32_t j,
                               int32_t k, float f, bool magnetic_pass);
