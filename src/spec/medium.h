#pragma once

#include <array>
#include <complex>
#include <cstdint>
#include <memory>
#include <vector>

#include "common/medium_index.h"

// Class of one component (x, y or z) of a medium.
enum class ComponentKind : uint8_t {
    Medium = 0,
    LossyMetal = 1,
    PEC = 2,
    PMC = 3,
    Custom = 4,
    FullyAnisotropic = 5,
    Invalid = 6,
};

// One pole-residue pair, with one value per spatial point of the medium.
struct Pole {
    std::vector<std::complex<float>> a;
    std::vector<std::complex<float>> c;
};

// Nonlinear parameters; all zero unless the medium has them.
struct NonlinearSpec {
    float numiters = 0, freq0_set = 0, freq0 = 0, n0_set = 0, n0 = 0, chi3 = 0, n2 = 0, beta = 0, tau = 0,
          sigma = 0, e_e = 0, e_h = 0, c_e = 0, c_h = 0;
};

// A material: per component its kind, instantaneous permittivity, conductivity and poles.
// eps_inf and sigma hold 3 entries per spatial point (9 for a fully anisotropic tensor).
class Medium {
public:
    // n entries per component list, every component of the given kind. Ends the process with
    // the internal error for an inconsistent kind combination.
    Medium(std::size_t n, ComponentKind kind);
    virtual ~Medium() = default;

    // The spatial point that holds the values for cell (i, j, k); 0 for a uniform medium.
    virtual int32_t spatial_index(int32_t i, int32_t j, int32_t k) const;

    // True when all three components are of the given kind.
    bool all_kinds(ComponentKind kind) const {
        return kinds[0] == kind && kinds[1] == kind && kinds[2] == kind;
    }

    std::array<ComponentKind, 3> kinds;
    uint64_t subpixel_identifier = 0;
    std::vector<float> eps_inf;
    std::vector<float> sigma;
    std::array<std::vector<Pole>, 3> poles;
    std::array<bool, 3> subpixel = {true, true, true};
    float lossy_metal_constant = 0.0f;
    std::vector<Pole> lossy_metal_poles;
    NonlinearSpec nonlinear;
};
