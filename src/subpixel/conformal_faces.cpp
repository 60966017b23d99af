#include "subpixel/conformal_faces.h"

#include "common/internal_error.h"

namespace {
void no_cell_expected(int64_t, int64_t) { internal_error(); }
}  // namespace

void collect_conformal_faces(const SimulationSpec&, const StructureMap&, const Grid&, ConformalData&,
                             const LoopDescription& loop, int threads, const SchemeSet&, const Span&) {
    for_each_outer_pair(loop, threads, no_cell_expected);
}
