#include "material/cell_assembler.h"

#include <limits>

#include "common/internal_error.h"
#include "material/cell_assembly.h"
#include "subpixel/cell_samples.h"

void CellAssembler::assemble(int64_t ix, int64_t iy, int64_t iz, const CellSamples& samples) {
    // Every frequency has its block, and the cell lies in the span that sized them.
    require(coefficients_.size() == freqs_.size());
    const int64_t global[3] = {ix, iy, iz};
    for (const int64_t index : global)
        require(index >= std::numeric_limits<int32_t>::min() && index <= std::numeric_limits<int32_t>::max());
    const int64_t lx = ix - begin_[0], ly = iy - begin_[1], lz = iz - begin_[2];

    for (std::size_t f = 0; f < freqs_.size(); ++f) {
        FrequencyBlock& block = coefficients_[f];
        require(lx >= 0 && lx < block.nx && ly >= 0 && ly < block.ny && lz >= 0 && lz < block.nz);
        const std::size_t cell = block.index(lx, ly, lz);
        require(cell < block.cells.size());
        block.cells[cell] = assemble_cell(samples, spec_, static_cast<int32_t>(ix), static_cast<int32_t>(iy),
                                          static_cast<int32_t>(iz), freqs_[f], magnetic_pass_);
    }
}

void CellAssembler::fail() { internal_error(); }
