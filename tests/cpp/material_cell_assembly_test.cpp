#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <utility>

#include "common/coefficient_set.h"
#include "common/medium_index.h"
#include "material/cell_assembly.h"
#include "material/medium_response.h"
#include "material_fixtures.h"
#include "subpixel/cell_samples.h"

using namespace material_test;

namespace {

constexpr const char* INTERNAL_ERROR = "An internal error has occured";
constexpr uint16_t VAC = MEDIUM_INDEX_VACUUM, PEC = MEDIUM_INDEX_PEC, PMC = MEDIUM_INDEX_PMC, NONE = MEDIUM_NONE;
constexpr float MARK = PERFECT_CONDUCTOR_MARK;

void expect_near(C actual, C expected, float tolerance) {
    EXPECT_NEAR(actual.real(), expected.real(), tolerance);
    EXPECT_NEAR(actual.imag(), expected.imag(), tolerance);
}

C eps_at(const CellCoefficients& cell, int r, int s) { return cell.values[3 * r + s]; }
C mu_at(const CellCoefficients& cell, int r, int s) { return cell.values[9 + 3 * r + s]; }

// Expects mu to be the identity.
void expect_unit_mu(const CellCoefficients& cell) {
    for (int r = 0; r < 3; ++r)
        for (int s = 0; s < 3; ++s) EXPECT_EQ(mu_at(cell, r, s), C(r == s ? 1.0f : 0.0f, 0.0f)) << r << s;
}

// Media of the interface examples: 0 has eps 4, 1 has eps 2 + 0.5i, 2 is a lossy metal with
// eps 2 + 0.5i.
std::vector<std::shared_ptr<Medium>> interface_media() {
    const float half = sigma_for(0.5f, F14);
    return {isotropic(4.0f), isotropic(2.0f, half), isotropic(2.0f, half, ComponentKind::LossyMetal)};
}

ComponentSample interface_sample(uint16_t a, uint16_t b, float fraction, std::array<float, 3> normal) {
    ComponentSample s;
    s.medium_a = a;
    s.medium_b = b;
    s.fraction = fraction;
    s.normal = normal;
    return s;
}

SubpixelMethodSettings settings_with(AveragingMethod dielectric, AveragingMethod lossy_metal) {
    SubpixelMethodSettings settings;
    settings.dielectric = dielectric;
    settings.lossy_metal = lossy_metal;
    return settings;
}

}  // namespace

TEST(AssembleCell, InterfaceExamplesOfEachMethod) {
    using M = AveragingMethod;
    struct Case {
        const char* name;
        M dielectric;
        M lossy_metal;
        uint16_t b;
        float contour_fraction;
        float wedge;
        C expected;
    };
    const Case cases[] = {
        {"polarized", M::PolarizedAveraging, M::VolumetricAveraging, 1, 0.0f, 0.0f, {3.4089f, 0.19267f}},
        {"volumetric", M::PolarizedAveraging, M::VolumetricAveraging, 2, 0.0f, 0.0f, {3.5f, 0.125f}},
        {"volumetric with a wedge", M::PolarizedAveraging, M::VolumetricAveraging, 2, 0.0f, 0.1f, {3.15f, 0.1125f}},
        {"contour path", M::ContourPathAveraging, M::VolumetricAveraging, 1, 0.4f, 0.0f, {3.2491f, 0.26634f}},
        {"PEC conformal", M::PolarizedAveraging, M::VolumetricAveraging, PEC, 0.0f, 0.0f, {4.0f / 0.75f, 0.0f}},
        {"staircasing", M::Staircasing, M::VolumetricAveraging, 1, 0.0f, 0.0f, {4.0f, 0.0f}},
        {"lossy metal staircased", M::PolarizedAveraging, M::Staircasing, 2, 0.0f, 0.0f, {4.0f, 0.0f}},
    };
    for (const Case& t : cases) {
        SCOPED_TRACE(t.name);
        const SimulationSpec spec = spec_with(interface_media(), settings_with(t.dielectric, t.lossy_metal));
        CellSamples samples;
        samples.electric(0) = interface_sample(0, t.b, 0.25f, {0.6f, 0.8f, 0.0f});
        samples.electric(0).contour_fraction = t.contour_fraction;
        samples.electric(0).wedge_param = t.wedge;
        const CellCoefficients cell = assemble_cell(samples, spec, 0, 0, 0, F14, false);
        expect_near(eps_at(cell, 0, 0), t.expected, 2e-4f);
        // The other components sit in vacuum; nothing off the diagonal; mu untouched.
        EXPECT_EQ(eps_at(cell, 1, 1), C(1, 0));
        EXPECT_EQ(eps_at(cell, 2, 2), C(1, 0));
        for (int r = 0; r < 3; ++r)
            for (int s = 0; s < 3; ++s)
                if (r != s) EXPECT_EQ(eps_at(cell, r, s), C(0, 0));
        expect_unit_mu(cell);
    }
}

TEST(AssembleCell, NormalStaircasingNeedsANormalComponentAboveHalf) {
    // The lossy metal across x, averaged volumetrically unless the normal's x component squared
    // exceeds 0.25.
    const SimulationSpec spec = spec_with(
        interface_media(), settings_with(AveragingMethod::PolarizedAveraging,
                                         AveragingMethod::VolumetricAveragingNormalStaircased));
    for (const auto& [nx, expected] : {std::pair{0.5f, C(3.5f, 0.125f)}, std::pair{0.50001f, C(4.0f, 0.0f)}}) {
        SCOPED_TRACE(nx);
        CellSamples samples;
        samples.electric(0) = interface_sample(0, 2, 0.25f, {nx, 0.0f, std::sqrt(1.0f - nx * nx)});
        expect_near(eps_at(assemble_cell(samples, spec, 0, 0, 0, F14, false), 0, 0), expected, 1e-4f);
    }
}

TEST(AssembleCell, PolarizedAveragingUsesTheNormalAlongEachComponent) {
    const SimulationSpec spec = spec_with(interface_media());
    CellSamples samples;
    for (int c = 0; c < 3; ++c) samples.electric(c) = interface_sample(0, 1, 0.25f, {0.6f, 0.8f, 0.0f});
    const CellCoefficients cell = assemble_cell(samples, spec, 0, 0, 0, F14, false);
    expect_near(eps_at(cell, 0, 0), {3.4089f, 0.19267f}, 2e-4f);  // n_x^2 = 0.36
    // n_y^2 = 0.64: 0.64 / (0.25/B + 0.75/4) + 0.36 (3.5 + 0.125i)
    expect_near(eps_at(cell, 1, 1), {3.33804f, 0.24529f}, 2e-4f);
    expect_near(eps_at(cell, 2, 2), {3.5f, 0.125f}, 1e-4f);  // no normal component: volumetric

    // A component entirely in the second medium takes its value.
    samples.electric(0).fraction = 1.0f;
    expect_near(eps_at(assemble_cell(samples, spec, 0, 0, 0, F14, false), 0, 0), {2.0f, 0.5f}, 1e-5f);
}

TEST(AssembleCell, FirstMediumWithoutAveraging) {
    // fraction 0 or below, and the special first media, whatever the method settings say.
    SubpixelMethodSettings surface = settings_with(AveragingMethod::PolarizedAveraging, AveragingMethod::SurfaceImpedance);
    const SimulationSpec spec = spec_with(interface_media(), surface);
    struct Case {
        uint16_t a;
        uint16_t b;
        float fraction;
        float wedge;
        C expected;
    };
    const Case cases[] = {
        {0, 2, 0.0f, 0.0f, {4, 0}},      // a lossy metal across the interface is not consulted
        {0, 1, -0.5f, 0.0f, {4, 0}},     // a negative fraction keeps the first medium
        {0, NONE, 0.0f, 0.5f, {2, 0}},   // uniform, with a wedge
        {PEC, 1, 0.7f, 0.0f, {MARK, 0}},
        {PEC, NONE, 0.0f, 0.5f, {MARK, 0}},  // the marker ignores the wedge
        {PMC, NONE, 0.0f, 0.0f, {1, 0}},
        {VAC, NONE, 0.0f, 0.0f, {1, 0}},
        {NONE, NONE, 0.0f, 0.0f, {1, 0}},
    };
    for (const Case& t : cases) {
        SCOPED_TRACE(testing::Message() << t.a << " / " << t.b << " / " << t.fraction);
        CellSamples samples;
        samples.electric(2) = interface_sample(t.a, t.b, t.fraction, {0.0f, 0.0f, 1.0f});
        samples.electric(2).wedge_param = t.wedge;
        const CellCoefficients cell = assemble_cell(samples, spec, 0, 0, 0, F14, true);
        EXPECT_EQ(eps_at(cell, 2, 2), t.expected);
    }
}

TEST(AssembleCell, FullTensorCells) {
    // Medium 0: fully anisotropic [[2, 0.5, 0], [0.5, 2, 0], [0, 0, 3]] with conductivity on xy;
    // medium 1: isotropic eps 4; medium 2: a second fully anisotropic medium.
    const float unit = sigma_for(1.0f, F14);
    const std::vector<float> eps = {2, 0.5f, 0, 0.5f, 2, 0, 0, 0, 3};
    const SimulationSpec spec = spec_with({anisotropic(eps, {0, unit, 0, 0, 0, 0, 0, 0, 0}), isotropic(4.0f),
                                           anisotropic(eps, std::vector<float>(9, 0.0f))});
    const SimulationSpec real_spec = spec_with({anisotropic(eps, std::vector<float>(9, 0.0f)), isotropic(4.0f)});

    // The medium alone fills the cell: its whole tensor.
    CellSamples filled;
    for (int c = 0; c < 3; ++c) filled.electric(c).medium_a = 0;
    const CellCoefficients whole = assemble_cell(filled, spec, 0, 0, 0, F14, false);
    for (int q = 0; q < 9; ++q) EXPECT_EQ(eps_at(whole, q / 3, q % 3).real(), eps[q]) << q;
    EXPECT_NEAR(eps_at(whole, 0, 1).imag(), 1.0f, 1e-6f);
    // The x component's medium decides, even when another component names a different one;
    // a special index there leaves vacuum.
    CellSamples other_y = filled;
    other_y.electric(1).medium_a = 2;
    EXPECT_EQ(assemble_cell(other_y, spec, 0, 0, 0, F14, false).values, whole.values);
    other_y.electric(0).medium_a = VAC;
    EXPECT_EQ(assemble_cell(other_y, spec, 0, 0, 0, F14, false).values, CellCoefficients::identity().values);

    // A second medium on the x sample only: [(TA^-1 + TB^-1)/2]^-1 on (0, 0), for any fraction
    // and normal; the rest of the rows are TA's.
    for (const float fraction : {0.1f, 0.5f, 0.9f}) {
        CellSamples crossed = filled;
        crossed.electric(0).medium_b = 1;
        crossed.electric(0).fraction = fraction;
        crossed.electric(0).normal = {fraction, 0.0f, 1.0f - fraction};
        const CellCoefficients cell = assemble_cell(crossed, real_spec, 0, 0, 0, F14, false);
        expect_near(eps_at(cell, 0, 0), {2.6293706f, 0.0f}, 1e-5f);
        for (int q = 1; q < 9; ++q) EXPECT_EQ(eps_at(cell, q / 3, q % 3), C(eps[q], 0)) << q;
    }

    // Vacuum across a fully anisotropic reference averages with the identity.
    CellSamples vacuum_side = filled;
    vacuum_side.electric(1).medium_b = VAC;
    const CellCoefficients with_vacuum = assemble_cell(vacuum_side, real_spec, 0, 0, 0, F14, false);
    expect_near(eps_at(with_vacuum, 1, 1), {1.3142857f, 0.0f}, 1e-5f);
    EXPECT_EQ(eps_at(with_vacuum, 1, 0), C(0.5f, 0));
    EXPECT_EQ(eps_at(with_vacuum, 0, 0), C(2, 0));

    // An isotropic reference with the anisotropic medium across x: the other components are
    // averaged per component from the isotropic medium.
    CellSamples isotropic_reference;
    for (int c = 0; c < 3; ++c) isotropic_reference.electric(c).medium_a = 1;
    isotropic_reference.electric(0).medium_b = 0;
    isotropic_reference.electric(0).fraction = 0.3f;
    const CellCoefficients mixed = assemble_cell(isotropic_reference, real_spec, 0, 0, 0, F14, false);
    expect_near(eps_at(mixed, 0, 0), {2.6293706f, 0.0f}, 1e-5f);
    EXPECT_EQ(eps_at(mixed, 0, 1), C(0, 0));  // row 0 of the isotropic reference
    EXPECT_EQ(eps_at(mixed, 1, 1), C(4, 0));
    EXPECT_EQ(eps_at(mixed, 2, 2), C(4, 0));

    // Vacuum across an isotropic reference is averaged per component: 0.5 * 1 + 0.5 * 4.
    isotropic_reference.electric(1) = interface_sample(1, VAC, 0.5f, {0, 0, 1});
    const CellCoefficients with_vacuum_y = assemble_cell(isotropic_reference, real_spec, 0, 0, 0, F14, false);
    EXPECT_EQ(eps_at(with_vacuum_y, 1, 1), C(2.5f, 0));
    EXPECT_EQ(eps_at(with_vacuum_y, 1, 0), C(0, 0));

    // A PEC component is left to the per-component rules; the others follow the reference.
    CellSamples with_pec = filled;
    with_pec.electric(0) = interface_sample(PEC, NONE, 0.0f, {});
    with_pec.electric(2).medium_b = NONE;
    const CellCoefficients pec_cell = assemble_cell(with_pec, spec, 0, 0, 0, F14, false);
    EXPECT_EQ(eps_at(pec_cell, 0, 0), C(MARK, 0));
    EXPECT_EQ(eps_at(pec_cell, 0, 1), C(0, 0));
    EXPECT_EQ(eps_at(pec_cell, 1, 0), C(0.5f, 0));
    EXPECT_EQ(eps_at(pec_cell, 2, 2), C(3, 0));
}

TEST(AssembleCellDeathTest, InconsistentFullTensorCells) {
    const SimulationSpec spec = spec_with({anisotropic({2, 0.5f, 0, 0.5f, 2, 0, 0, 0, 3}, std::vector<float>(9, 0.0f)),
                                           isotropic(4.0f),
                                           anisotropic({2, 0, 0, 0, 2, 0, 0, 0, 2}, std::vector<float>(9, 0.0f)),
                                           anisotropic(std::vector<float>(9, 0.0f), std::vector<float>(9, 0.0f))});
    const auto run = [&spec](std::array<uint16_t, 3> a, std::array<uint16_t, 3> b) {
        CellSamples samples;
        for (int c = 0; c < 3; ++c) {
            samples.electric(c).medium_a = a[c];
            samples.electric(c).medium_b = b[c];
        }
        assemble_cell(samples, spec, 0, 0, 0, F14, false);
    };
    // Two different fully anisotropic media as first media.
    EXPECT_EXIT(run({0, 2, 0}, {1, NONE, NONE}), ::testing::ExitedWithCode(1), INTERNAL_ERROR);
    // A fully anisotropic first medium after an isotropic reference.
    EXPECT_EXIT(run({1, 0, 1}, {0, NONE, NONE}), ::testing::ExitedWithCode(1), INTERNAL_ERROR);
    // PEC across a full-tensor component.
    EXPECT_EXIT(run({0, 0, 0}, {PEC, NONE, NONE}), ::testing::ExitedWithCode(1), INTERNAL_ERROR);
    // A singular tensor that has to be inverted.
    EXPECT_EXIT(run({3, 3, 3}, {1, NONE, NONE}), ::testing::ExitedWithCode(1), INTERNAL_ERROR);
    // A sample naming a medium the specification does not have.
    EXPECT_EXIT(run({0, 0, 0}, {4, NONE, NONE}), ::testing::ExitedWithCode(1), INTERNAL_ERROR);
}

TEST(AssembleCellDeathTest, NonFiniteValuesAreInternalErrors) {
    const SimulationSpec spec = spec_with(interface_media());
    CellSamples conformal;  // PEC conformal with nothing left open: 4 / 0
    conformal.electric(0) = interface_sample(0, PEC, 1.0f, {1, 0, 0});
    EXPECT_EXIT(assemble_cell(conformal, spec, 0, 0, 0, F14, false), ::testing::ExitedWithCode(1), INTERNAL_ERROR);

    CellSamples undefined;
    undefined.electric(1) = interface_sample(0, 1, std::numeric_limits<float>::quiet_NaN(), {0, 1, 0});
    EXPECT_EXIT(assemble_cell(undefined, spec, 0, 0, 0, F14, false), ::testing::ExitedWithCode(1), INTERNAL_ERROR);

    // A conductive medium at zero frequency has no finite permittivity.
    CellSamples conductive;
    conductive.electric(2).medium_a = 1;
    EXPECT_EXIT(assemble_cell(conductive, spec, 0, 0, 0, 0.0f, false), ::testing::ExitedWithCode(1), INTERNAL_ERROR);

    // A magnetic record whose wedge closes the whole face.
    CellSamples wedge;
    wedge.magnetic(0) = interface_sample(0, NONE, 0.5f, {});
    wedge.magnetic(0).wedge_param = 1.0f;
    EXPECT_EXIT(assemble_cell(wedge, spec, 0, 0, 0, F14, true), ::testing::ExitedWithCode(1), INTERNAL_ERROR);

    // A magnetic record naming a medium the specification does not have.
    CellSamples missing;
    missing.magnetic(1).medium_a = 3;
    missing.magnetic(1).fraction = 1.0f;
    EXPECT_EXIT(assemble_cell(missing, spec, 0, 0, 0, F14, true), ::testing::ExitedWithCode(1), INTERNAL_ERROR);
}

TEST(AssembleCell, MagneticRecords) {
    auto metal = isotropic(1.0f, 0.0f, ComponentKind::LossyMetal);
    metal->lossy_metal_constant = 5.0f;
    metal->lossy_metal_poles = {lorentz_pole()};
    const SimulationSpec spec = spec_with({isotropic(4.0f), metal});
    struct Case {
        const char* name;
        uint16_t a;
        float fraction;
        float wedge;
        float surface_length;
        C expected;
    };
    const Case cases[] = {
        {"regular medium", 0, 0.5f, 0.2f, 0.0f, {0.625f, 0.0f}},
        {"closed face", 0, 0.0f, 0.2f, 0.0f, {MARK, 0.0f}},
        {"vacuum", VAC, 0.0f, 0.5f, 1.0f, {1.0f, 0.0f}},
        {"magnetic conductor", PMC, 1.0f, 0.0f, 0.0f, {MARK, 0.0f}},
        // 0.8 / 0.8 + 0.5 (5 + 1.43391 + 0.90095i)
        {"lossy metal surface", 1, 0.8f, 0.2f, 0.5f, {4.216955f, 0.450475f}},
        {"lossy metal without surface", 1, 0.8f, 0.2f, 0.0f, {1.0f, 0.0f}},
        {"lossy metal closed, without surface", 1, 0.0f, 0.0f, 0.0f, {MARK, 0.0f}},
        {"conductor face record", PEC, 0.25f, 0.0f, 0.0f, {0.25f, 0.0f}},
        {"surface length on a plain medium", 0, 0.5f, 0.0f, 2.0f, {0.5f, 0.0f}},
    };
    for (const Case& t : cases) {
        SCOPED_TRACE(t.name);
        CellSamples samples;
        ComponentSample& hy = samples.magnetic(1);
        hy.medium_a = t.a;
        hy.fraction = t.fraction;
        hy.wedge_param = t.wedge;
        hy.surface_length = t.surface_length;
        const CellCoefficients cell = assemble_cell(samples, spec, 0, 0, 0, F14, true);
        expect_near(mu_at(cell, 1, 1), t.expected, 2e-4f);
        EXPECT_EQ(mu_at(cell, 0, 0), C(1, 0));  // vacuum records keep 1
        EXPECT_EQ(mu_at(cell, 2, 2), C(1, 0));
        EXPECT_EQ(mu_at(cell, 0, 1), C(0, 0));
        EXPECT_EQ(eps_at(cell, 1, 1), C(1, 0));  // the magnetic records do not touch eps

        // Without the magnetic pass the same records leave mu the identity.
        expect_unit_mu(assemble_cell(samples, spec, 0, 0, 0, F14, false));
    }
}

TEST(AssembleCell, GriddedMediaAreEvaluatedAtTheCell) {
    // Permittivity 2 at cell x = 4 and 3 at x = 5.
    auto grid = std::make_shared<CustomMedium>(2);
    grid->point_counts = {2, 1, 1};
    grid->point_origin = {4, 0, 0};
    grid->eps_inf = {2, 2, 2, 3, 3, 3};
    grid->sigma = std::vector<float>(6, 0.0f);
    const SimulationSpec spec = spec_with({grid});
    CellSamples samples;
    samples.electric(0) = interface_sample(0, VAC, 0.5f, {0, 0, 1});
    EXPECT_EQ(eps_at(assemble_cell(samples, spec, 4, 0, 0, F14, false), 0, 0), C(1.5f, 0));
    EXPECT_EQ(eps_at(assemble_cell(samples, spec, 5, 0, 0, F14, false), 0, 0), C(2.0f, 0));
}

TEST(MaterialCellSamples, InitialValuesDescribeAnEmptyVacuumCell) {
    const CellSamples samples;
    for (const ComponentSample& s : samples.components) {
        EXPECT_EQ(s.medium_a, VAC);
        EXPECT_EQ(s.medium_b, NONE);
        EXPECT_EQ(s.fraction, 0.0f);
        EXPECT_EQ(s.wedge_param, 0.0f);
        EXPECT_EQ(s.open, 1);
    }
    for (const double v : samples.auxiliary_values) EXPECT_EQ(v, -1.0);
    // Untouched samples assemble to the identity cell.
    const SimulationSpec spec;
    EXPECT_EQ(assemble_cell(samples, spec, 0, 0, 0, F14, true).values, CellCoefficients::identity().values);
}
