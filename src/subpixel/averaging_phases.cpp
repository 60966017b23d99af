#include "subpixel/averaging_phases.h"

#include "common/internal_error.h"

// The per-cell work of these phases arrives with the averaging engine. Until then a cell can
// only be reached when a structure was painted, which the structure map refuses, so reaching
// a cell here means the engine is inconsistent.
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
