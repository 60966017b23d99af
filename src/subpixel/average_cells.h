#pragma once

#include "common/conformal_data.h"
#include "driver/grid.h"
#include "driver/loop_description.h"
#include "driver/structure_map.h"
#include "spec/simulation_spec.h"
#include "subpixel/subpixel_schemes.h"

class CellAssembler;

// The main averaging phase of a subdomain. For every cell of `loop` it samples the structure map
// around each electric component (and each magnetic one when the run has perfect magnetic
// conductors or conformal metals), decides which media meet there, measures fill fraction,
// interface normal and contour fraction where two media are averaged, takes the conductor data
// of conformally treated faces from `conformal` (read only when the specification has conformal
// metals), and hands the cell's samples to `assembler`.
//
// `grid` is the phase's private copy of the coordinate lists; `map` was painted for the
// subdomain. The two outermost axes of the loop are spread over `threads` threads; every cell is
// delivered exactly once and the results do not depend on the thread count. Cells whose
// neighbourhood holds one structure cost map reads only; the geometry is queried only where
// media are averaged or a conductor is staircased heuristically. Nothing is allocated per cell.
//
// A combination of settings and media the settings cannot treat, conductor flags that name no
// face record, inconsistent inputs (map, grid, loop or conformal lists that do not fit the
// subdomain, a structure without geometry or with an unknown medium) and the failures of the
// measurements end the process with the internal error.
void average_cells(const SimulationSpec& spec, const StructureMap& map, const Grid& grid,
                   const ConformalData& conformal, const LoopDescription& loop, int threads,
                   const SchemeSet& schemes, CellAssembler& assembler);
