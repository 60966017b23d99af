#pragma once

#include <cstdint>
#include <vector>

#include "common/coefficient_set.h"
#include "spec/simulation_spec.h"

struct CellSamples;

// Receives the averaged samples of one cell from the averaging phase and stores the cell's
// tensors at every frequency into the coefficient set.
class CellAssembler {
public:
    CellAssembler(const SimulationSpec& spec, const std::vector<float>& freqs, CoefficientSet& coefficients,
                  int64_t x_begin, int64_t y_begin, int64_t z_begin)
        : spec_(spec),
          magnetic_pass_(spec.has_conformal_metal || spec.has_pmc),
          freqs_(freqs),
          coefficients_(coefficients),
          begin_{x_begin, y_begin, z_begin} {}
    virtual ~CellAssembler() = default;

    // Stores the tensors of global cell (ix, iy, iz) for every frequency.
    virtual void assemble(int64_t ix, int64_t iy, int64_t iz, const CellSamples& samples);
    // Ends the process with the internal error.
    [[noreturn]] virtual void fail();

    bool magnetic_pass() const { return magnetic_pass_; }

private:
    const SimulationSpec& spec_;
    bool magnetic_pass_;
    const std::vector<float>& freqs_;
    CoefficientSet& coefficients_;
    int64_t begin_[3];
};
