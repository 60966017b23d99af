#pragma once

#include <array>
#include <complex>
#include <cstdint>
#include <vector>

// The 18 values of one cell: the permittivity tensor (positions 0-8) and the permeability
// tensor (positions 9-17), both row-major (xx, xy, xz, yx, yy, yz, zx, zy, zz).
struct CellCoefficients {
    std::array<std::complex<float>, 18> values;

    static constexpr CellCoefficients identity() {
        CellCoefficients c{};
        for (int i : {0, 4, 8, 9, 13, 17}) c.values[i] = {1.0f, 0.0f};
        return c;
    }
};

// Marks a component inside a perfect conductor.
inline constexpr float PERFECT_CONDUCTOR_MARK = -1e8f;

// The cells of one subdomain at one frequency; cell (ix, iy, iz), counted from the span's
// begin values, sits at (ix * ny + iy) * nz + iz.
struct FrequencyBlock {
    int64_t nx = 0;
    int64_t ny = 0;
    int64_t nz = 0;
    std::vector<CellCoefficients> cells;

    std::size_t index(int64_t ix, int64_t iy, int64_t iz) const {
        return static_cast<std::size_t>((ix * ny + iy) * nz + iz);
    }
};

// One block per frequency, in the order of the frequency list.
using CoefficientSet = std::vector<FrequencyBlock>;
