#include "material/medium_response.h"

#include <cmath>

#include "common/internal_error.h"
#include "common/medium_index.h"
#include "common/tolerance.h"
#include "material/complex_math.h"

namespace {

using CF = std::complex<float>;

// Permittivities below this (the float32 just under 1) count as below vacuum.
constexpr float BELOW_VACUUM = FULLY_OPEN_SHARE;
using CD = std::complex<double>;

// Angular frequency rounded to float32, as every single-precision evaluation uses it.
float angular_frequency(float f) { return static_cast<float>(TWO_PI * static_cast<double>(f)); }

// The conductivity term sigma / (w eps0), divided in double and rounded to float32. Zero
// conductivity contributes nothing at any frequency, including f = 0 where the quotient
// would be 0/0.
float conductivity_term(float sigma, double omega_eps0) {
    if (sigma == 0.0f) return 0.0f;
    return static_cast<float>(static_cast<double>(sigma) / omega_eps0);
}

// The spatial point of the medium for a cell, checked against the per-point lists so that no
// index leaves them.
std::size_t checked_point(const Medium& medium, int32_t i, int32_t j, int32_t k) {
    const int32_t p = medium.spatial_index(i, j, k);
    require(p >= 0);
    const std::size_t point = static_cast<std::size_t>(p);
    require(3 * point + 2 < medium.eps_inf.size() && 3 * point + 2 < medium.sigma.size());
    return point;
}

void require_pole_point(const Pole& pole, std::size_t p) { require(p < pole.a.size() && p < pole.c.size()); }

}  // namespace

const Medium& medium_at(const std::vector<std::shared_ptr<Medium>>& media, uint32_t index) {
    require(index < media.size() && media[index] != nullptr);
    return *media[index];
}

std::complex<float> pole_sum(const std::vector<Pole>& poles, int32_t p, float f) {
    require(p >= 0);
    const std::size_t point = static_cast<std::size_t>(p);
    const double omega = TWO_PI * static_cast<double>(f);
    CD sum(0.0, 0.0);
    for (const Pole& pole : poles) {
        require_pole_point(pole, point);
        const CD a(pole.a[point].real(), pole.a[point].imag());
        const CD c(pole.c[point].real(), pole.c[point].imag());
        sum -= complex_divide(c, CD(a.real(), omega + a.imag()));
        sum -= complex_divide(std::conj(c), CD(a.real(), omega - a.imag()));
    }
    return {static_cast<float>(sum.real()), static_cast<float>(sum.imag())};
}

std::complex<float> eps_component(const Medium& medium, float f, int c, int32_t i, int32_t j, int32_t k) {
    require(c >= 0 && c < 3);
    const float omega = angular_frequency(f);
    const std::size_t p = checked_point(medium, i, j, k);
    const float e = medium.eps_inf[3 * p + c];
    const float s = conductivity_term(medium.sigma[3 * p + c], static_cast<double>(omega) * VACUUM_PERMITTIVITY);
    const CF poles = pole_sum(medium.poles[c], static_cast<int32_t>(p), f);
    return {e + poles.real(), s + poles.imag()};
}

ComplexTensor eps_tensor(const Medium& medium, float f, int32_t i, int32_t j, int32_t k) {
    const float omega = angular_frequency(f);
    const double omega_eps0 = static_cast<double>(omega) * VACUUM_PERMITTIVITY;
    const std::size_t p = checked_point(medium, i, j, k);

    ComplexTensor t{};
    if (medium.kinds[0] == ComponentKind::FullyAnisotropic) {
        require(medium.eps_inf.size() >= 9 && medium.sigma.size() >= 9);
        for (int r = 0; r < 3; ++r)
            for (int s = 0; s < 3; ++s)
                t[r][s] = {medium.eps_inf[3 * r + s], conductivity_term(medium.sigma[3 * r + s], omega_eps0)};
    } else {
        for (int r = 0; r < 3; ++r)
            t[r][r] = {medium.eps_inf[3 * p + r], conductivity_term(medium.sigma[3 * p + r], omega_eps0)};
    }

    for (int r = 0; r < 3; ++r) {
        for (const Pole& pole : medium.poles[r]) {
            require_pole_point(pole, p);
            const CF a = pole.a[p];
            const CF c = pole.c[p];
            t[r][r] -= complex_divide(c, CF(a.real(), omega + a.imag()));
            t[r][r] -= complex_divide(std::conj(c), CF(a.real(), omega - a.imag()));
        }
    }
    return t;
}

ComplexTensor invert_tensor(const ComplexTensor& t) {
    // Cofactor cof[r][s] of entry (r, s), from the 2x2 minor of the other rows and columns.
    const auto cofactor = [&t](int r, int s) {
        const int r0 = (r + 1) % 3, r1 = (r + 2) % 3;
        const int s0 = (s + 1) % 3, s1 = (s + 2) % 3;
        // Cyclic row and column order makes the sign (-1)^(r+s) part of the minor.
        return complex_multiply(t[r0][s0], t[r1][s1]) - complex_multiply(t[r0][s1], t[r1][s0]);
    };
    ComplexTensor cof{};
    for (int r = 0; r < 3; ++r)
        for (int s = 0; s < 3; ++s) cof[r][s] = cofactor(r, s);

    // Expansion along the first row.
    const CF det = complex_multiply(t[0][0], cof[0][0]) + complex_multiply(t[0][1], cof[0][1]) +
                   complex_multiply(t[0][2], cof[0][2]);
    const float magnitude = std::hypot(det.real(), det.imag());
    // A NaN or infinite determinant has no usable inverse either.
    require(std::isfinite(magnitude) && magnitude >= static_cast<float>(ZERO_LENGTH));

    const CF d = complex_divide(CF(1.0f, 0.0f), det);
    ComplexTensor inverse{};
    for (int r = 0; r < 3; ++r)
        for (int s = 0; s < 3; ++s) inverse[r][s] = complex_multiply(cof[s][r], d);
    return inverse;
}

namespace {

bool all_kinds_of(const std::vector<std::shared_ptr<Medium>>& media, uint16_t index, ComponentKind kind) {
    return is_real_medium_index(index) && medium_at(media, index).all_kinds(kind);
}

// The setting of a metal class applied to a component: volumetric averaging, or for the
// normal-staircased variant staircasing when the normal lies along the component.
AveragingMethod metal_method(AveragingMethod setting, bool normal_dominant) {
    switch (setting) {
        case AveragingMethod::VolumetricAveraging:
            return AveragingMethod::VolumetricAveraging;
        case AveragingMethod::VolumetricAveragingNormalStaircased:
            return normal_dominant ? AveragingMethod::Staircasing : AveragingMethod::VolumetricAveraging;
        default:
            return AveragingMethod::Staircasing;
    }
}

}  // namespace

AveragingMethod choose_averaging_method(const std::vector<std::shared_ptr<Medium>>& media,
                                        const SubpixelMethodSettings& settings, bool normal_dominant, int c,
                                        int32_t i, int32_t j, int32_t k, float f, uint16_t medium_a,
                                        uint16_t medium_b) {
    require(c >= 0 && c < 3);
    if (medium_a == MEDIUM_INDEX_PEC) return AveragingMethod::Staircasing;
    if (medium_b == MEDIUM_INDEX_PEC) return AveragingMethod::PECConformal;

    const bool real_a = is_real_medium_index(medium_a);
    const bool real_b = is_real_medium_index(medium_b);

    // Gridded media can exclude a component from averaging; the first medium decides when it
    // is gridded.
    if (all_kinds_of(media, medium_a, ComponentKind::Custom)) {
        if (!medium_at(media, medium_a).subpixel[c]) return AveragingMethod::Staircasing;
    } else if (all_kinds_of(media, medium_b, ComponentKind::Custom)) {
        if (!medium_at(media, medium_b).subpixel[c]) return AveragingMethod::Staircasing;
    }

    if (all_kinds_of(media, medium_a, ComponentKind::LossyMetal) ||
        all_kinds_of(media, medium_b, ComponentKind::LossyMetal)) {
        // Surface impedance is settled before the assembly asks.
        require(settings.lossy_metal != AveragingMethod::SurfaceImpedance);
        return metal_method(settings.lossy_metal, normal_dominant);
    }

    // A permittivity below 1 without dispersion is not averaged.
    const uint16_t sides[2] = {medium_a, medium_b};
    const bool real[2] = {real_a, real_b};
    bool dispersive[2] = {false, false};
    for (int side = 0; side < 2; ++side) {
        if (!real[side]) continue;
        const Medium& m = medium_at(media, sides[side]);
        const std::size_t p = checked_point(m, i, j, k);
        if (m.eps_inf[3 * p + c] < BELOW_VACUUM) return AveragingMethod::Staircasing;
        dispersive[side] = !m.poles[c].empty();
    }

    // A dispersive medium behaving as a metal at this frequency takes the metal setting.
    for (int side = 0; side < 2; ++side) {
        if (!dispersive[side]) continue;
        if (eps_component(medium_at(media, sides[side]), f, c, i, j, k).real() < BELOW_VACUUM)
            return metal_method(settings.metal, normal_dominant);
    }

    switch (settings.dielectric) {
        case AveragingMethod::Staircasing:
            return AveragingMethod::Staircasing;
        case AveragingMethod::ContourPathAveraging:
            return AveragingMethod::ContourPathAveraging;
        default:
            return AveragingMethod::PolarizedAveraging;
    }
}
