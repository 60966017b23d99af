#include "material/cell_assembler.h"

#include "common/internal_error.h"

void CellAssembler::assemble(int64_t, int64_t, int64_t, const CellSamples&) {
    // No averaging phase delivers cells in this build; a delivery means the engine is
    // inconsistent.
    fail();
}

void CellAssembler::fail() { internal_error(); }
