#include "subpixel/averaging_phases.h"

#include "common/internal_error.h"

// The conformal conductor phases (wedge detection at grid nodes, face records) are not built
// yet. A run that needs them and reaches any cell ends with the internal error rather than
// writing coefficients that leave the conductors' conformal treatment out.
namespace {
void no_cell_expected(int64_t, int64_t) { internal_error(); }
}  // namespace

void correct_edge_singularities(const SimulationSpec&, const StructureMap&, const Grid&, ConformalData&,
                                const LoopDescription& loop, int threads, float, const Span&) {
    for_each_outer_pair(loop, threads, no_cell_expected);
}

void collect_conformal_faces(const SimulationSpec&, const StructureMap&, const Grid&, ConformalData&,
                             const LoopDescription& loop, int threads, const SchemeSet&, const Span&) {
    for_each_outer_pair(loop, threads, no_cell_expected);
}
