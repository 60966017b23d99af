#pragma once

#include <array>
#include <complex>
#include <cstdint>
#include <memory>
#include <vector>

#include "common/averaging_method.h"
#include "spec/medium.h"
#include "spec/simulation_spec.h"

// A 3x3 complex tensor, row-major: tensor[row][column].
using ComplexTensor = std::array<std::array<std::complex<float>, 3>, 3>;

// 2 pi and the vacuum permittivity in farads per micrometre.
inline constexpr double TWO_PI = 6.283185307179586;
inline constexpr double VACUUM_PERMITTIVITY = 8.854187812800384e-18;

// The identity tensor.
constexpr ComplexTensor identity_tensor() {
    ComplexTensor t{};
    for (int r = 0; r < 3; ++r) t[r][r] = {1.0f, 0.0f};
    return t;
}

// The pole term of the permittivity model at spatial point p and frequency f (hertz):
// -sum over poles of c/(i w + a) + conj(c)/(i w + conj(a)), accumulated in double precision.
// A point that a pole has no value for ends the process with the internal error.
std::complex<float> pole_sum(const std::vector<Pole>& poles, int32_t p, float f);

// Relative permittivity of component c (0, 1, 2) of the medium at cell (i, j, k) and
// frequency f: eps_inf + i sigma/(w eps0) + the pole term.
std::complex<float> eps_component(const Medium& medium, float f, int c, int32_t i, int32_t j, int32_t k);

// The full permittivity tensor: the stored nine values of a fully anisotropic medium,
// otherwise the diagonal of the three components; the pole terms (single precision) on the
// diagonal.
ComplexTensor eps_tensor(const Medium& medium, float f, int32_t i, int32_t j, int32_t k);

// The inverse of t. A determinant of magnitude below 2^-23, or one that is not finite, ends
// the process with the internal error.
ComplexTensor invert_tensor(const ComplexTensor& t);

// The averaging method for component c of a cell where media medium_a and medium_b meet
// (16-bit record values, special indices allowed): Staircasing, VolumetricAveraging,
// PolarizedAveraging, ContourPathAveraging or PECConformal. normal_dominant tells whether the
// interface normal's component c squared exceeds 0.25. A lossy metal under the
// surface-impedance setting, or a real index that names no medium, ends the process with the
// internal error.
AveragingMethod choose_averaging_method(const std::vector<std::shared_ptr<Medium>>& media,
                                        const SubpixelMethodSettings& settings, bool normal_dominant, int c,
                                        int32_t i, int32_t j, int32_t k, float f, uint16_t medium_a,
                                        uint16_t medium_b);

// The medium a real index names; an index beyond the list ends the process with the internal
// error.
const Medium& medium_at(const std::vector<std::shared_ptr<Medium>>& media, uint32_t index);
