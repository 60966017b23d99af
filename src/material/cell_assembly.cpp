#include "material/cell_assembly.h"

#include <array>
#include <complex>

#include "common/internal_error.h"
#include "common/medium_index.h"
#include "common/tolerance.h"
#include "material/complex_math.h"
#include "material/medium_response.h"

namespace {

using CF = std::complex<float>;
using Media = std::vector<std::shared_ptr<Medium>>;

constexpr CF CONDUCTOR_MARK(PERFECT_CONDUCTOR_MARK, 0.0f);
constexpr CF ONE(1.0f, 0.0f);

// Everything one cell's evaluation needs besides the samples.
struct CellContext {
    const SimulationSpec& spec;
    int32_t i, j, k;
    float f;

    const Medium& medium(uint16_t index) const { return medium_at(spec.media, index); }
    ComplexTensor tensor(uint16_t index) const { return eps_tensor(medium(index), f, i, j, k); }
    CF component(uint16_t index, int c) const { return eps_component(medium(index), f, c, i, j, k); }
};

bool is_real(uint16_t index) { return is_real_medium_index(index); }

bool fully_anisotropic_medium(const CellContext& cell, uint16_t index) {
    return is_real(index) && cell.medium(index).all_kinds(ComponentKind::FullyAnisotropic);
}

// Whether some electric sample names a medium whose own component is a full tensor.
bool needs_full_tensor(const CellContext& cell, const CellSamples& samples) {
    bool any = false;
    for (int c = 0; c < 3; ++c) {
        for (const uint16_t index : {samples.electric(c).medium_a, samples.electric(c).medium_b})
            if (is_real(index) && cell.medium(index).kinds[c] == ComponentKind::FullyAnisotropic) any = true;
    }
    return any;
}

// A special second medium other than PEC and "none" stands for vacuum (PMC included: electric
// components see a magnetic conductor as vacuum).
bool vacuum_like(uint16_t index) { return !is_real(index) && index != MEDIUM_INDEX_PEC && index != MEDIUM_NONE; }

ComplexTensor add_and_halve(const ComplexTensor& x, const ComplexTensor& y) {
    ComplexTensor sum{};
    for (int r = 0; r < 3; ++r)
        for (int s = 0; s < 3; ++s) sum[r][s] = complex_scale(x[r][s] + y[r][s], 0.5f);
    return sum;
}

// Full-tensor rules: fills the rows of eps that a fully anisotropic medium decides and marks
// those components done; the others are left to the per-component rules.
void assemble_full_tensor(const CellContext& cell, const CellSamples& samples, ComplexTensor& eps,
                          std::array<bool, 3>& done) {
    bool all_single = true;
    for (int c = 0; c < 3; ++c) {
        const ComponentSample& s = samples.electric(c);
        if (s.medium_b != MEDIUM_NONE || s.medium_a == MEDIUM_INDEX_PEC) all_single = false;
    }
    if (all_single) {
        // One medium per component: the tensor of the x component's medium fills the cell; a
        // special index there has no tensor and leaves vacuum.
        const uint16_t a = samples.electric(0).medium_a;
        eps = is_real(a) ? cell.tensor(a) : identity_tensor();
        done = {true, true, true};
        return;
    }

    bool have_reference = false;
    uint16_t reference = 0;
    bool reference_anisotropic = false;
    ComplexTensor ta{};
    bool have_ta_inverse = false;
    ComplexTensor ta_inverse{};

    for (int c = 0; c < 3; ++c) {
        const ComponentSample& s = samples.electric(c);
        if (s.medium_a == MEDIUM_INDEX_PEC) continue;
        if (!have_reference) {
            have_reference = true;
            reference = s.medium_a;
            reference_anisotropic = fully_anisotropic_medium(cell, s.medium_a);
            ta = is_real(s.medium_a) ? cell.tensor(s.medium_a) : identity_tensor();
        } else if (reference_anisotropic) {
            require(s.medium_a == reference);
        } else {
            require(!fully_anisotropic_medium(cell, s.medium_a));
        }

        const uint16_t b = s.medium_b;
        require(b != MEDIUM_INDEX_PEC);
        if (is_real(b) || (vacuum_like(b) && reference_anisotropic)) {
            if (!have_ta_inverse) {
                ta_inverse = invert_tensor(ta);
                have_ta_inverse = true;
            }
            const ComplexTensor tb = is_real(b) ? cell.tensor(b) : identity_tensor();
            const ComplexTensor h = invert_tensor(add_and_halve(ta_inverse, invert_tensor(tb)));
            eps[c] = ta[c];
            eps[c][c] = h[c][c];
            done[c] = true;
        } else if (b == MEDIUM_NONE && reference_anisotropic) {
            eps[c] = ta[c];
            done[c] = true;
        }
    }
}

// The averaged value of electric component c before the wedge factor.
CF average_component(const CellContext& cell, const ComponentSample& s, int c) {
    const CF a = is_real(s.medium_a)             ? cell.component(s.medium_a, c)
                 : s.medium_a == MEDIUM_INDEX_PEC ? CONDUCTOR_MARK
                                                  : ONE;
    if (s.fraction == 0.0f) return a;

    const float n2 = s.normal[c] * s.normal[c];
    const AveragingMethod method = choose_averaging_method(cell.spec.media, cell.spec.subpixel, n2 > 0.25f, c,
                                                           cell.i, cell.j, cell.k, cell.f, s.medium_a, s.medium_b);
    const float phi = s.fraction;
    if (method == AveragingMethod::Staircasing || phi <= 0.0f) return a;
    const float rest = 1.0f - phi;
    if (method == AveragingMethod::PECConformal) return {a.real() / rest, a.imag() / rest};

    const CF b = is_real(s.medium_b) ? cell.component(s.medium_b, c) : ONE;
    const CF volume = complex_scale(b, phi) + complex_scale(a, rest);
    switch (method) {
        case AveragingMethod::VolumetricAveraging:
            return volume;
        case AveragingMethod::PolarizedAveraging: {
            if (rest == 0.0f) return b;
            if (n2 == 0.0f) return volume;
            const CF harmonic = complex_divide(CF(phi, 0.0f), b) + complex_divide(CF(rest, 0.0f), a);
            return complex_scale(complex_divide(ONE, harmonic), n2) + complex_scale(volume, 1.0f - n2);
        }
        case AveragingMethod::ContourPathAveraging: {
            const float g = s.contour_fraction;
            const CF tangential = complex_scale(volume, 1.0f - n2) + complex_scale(a, n2);
            const float n2g = n2 * g;
            const CF path = complex_divide(CF(n2g, 0.0f), b) + complex_divide(CF(1.0f - n2g, 0.0f), a);
            return complex_divide(complex_divide(tangential, a), path);
        }
        default:
            internal_error();
    }
}

// The permeability of magnetic component c: 1 in vacuum, the marker in a magnetic conductor or
// behind a closed face, the open share over (1 - w) otherwise, plus a lossy metal's surface
// term weighted by its surface length.
CF magnetic_component(const CellContext& cell, const ComponentSample& s) {
    const uint16_t a = s.medium_a;
    if (a == MEDIUM_INDEX_VACUUM) return ONE;
    if (a == MEDIUM_INDEX_PMC) return CONDUCTOR_MARK;
    const float phi = s.fraction;
    const float w = s.wedge_param;
    const float v = s.surface_length;
    if (is_real(a)) {
        const Medium& metal = cell.medium(a);
        if (v > 0.0f && metal.all_kinds(ComponentKind::LossyMetal)) {
            const int32_t p = metal.spatial_index(cell.i, cell.j, cell.k);
            const CF surface = CF(metal.lossy_metal_constant, 0.0f) + pole_sum(metal.lossy_metal_poles, p, cell.f);
            return CF(phi / (1.0f - w), 0.0f) + complex_scale(surface, v);
        }
    }
    if (phi < static_cast<float>(ZERO_LENGTH)) return CONDUCTOR_MARK;
    return {phi / (1.0f - w), 0.0f};
}

}  // namespace

CellCoefficients assemble_cell(const CellSamples& samples, const SimulationSpec& spec, int32_t i, int32_t j,
                               int32_t k, float f, bool magnetic_pass) {
    const CellContext cell{spec, i, j, k, f};
    ComplexTensor eps = identity_tensor();
    std::array<bool, 3> done{};

    if (needs_full_tensor(cell, samples)) assemble_full_tensor(cell, samples, eps, done);

    for (int c = 0; c < 3; ++c) {
        if (done[c]) continue;
        const ComponentSample& s = samples.electric(c);
        CF value = average_component(cell, s, c);
        if (value != CONDUCTOR_MARK) value = complex_scale(value, 1.0f - s.wedge_param);
        eps[c][c] = value;
    }

    CellCoefficients result = CellCoefficients::identity();
    for (int r = 0; r < 3; ++r)
        for (int s = 0; s < 3; ++s) {
            // No infinite or undefined permittivity reaches the solver, whichever rule made it.
            require(complex_is_finite(eps[r][s]));
            result.values[3 * r + s] = eps[r][s];
        }

    if (!magnetic_pass) return result;
    for (int c = 0; c < 3; ++c) {
        const CF mu = magnetic_component(cell, samples.magnetic(c));
        require(complex_is_finite(mu));
        result.values[9 + 4 * c] = mu;
    }
    return result;
}
