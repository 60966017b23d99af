#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "common/internal_error.h"
#include "common/medium_index.h"
#include "material/medium_response.h"
#include "material_fixtures.h"

using namespace material_test;

namespace {

constexpr const char* INTERNAL_ERROR = "An internal error has occured";

void expect_near(C actual, C expected, float tolerance) {
    EXPECT_NEAR(actual.real(), expected.real(), tolerance);
    EXPECT_NEAR(actual.imag(), expected.imag(), tolerance);
}

ComplexTensor multiply(const ComplexTensor& x, const ComplexTensor& y) {
    ComplexTensor p{};
    for (int r = 0; r < 3; ++r)
        for (int s = 0; s < 3; ++s)
            for (int q = 0; q < 3; ++q) p[r][s] += x[r][q] * y[q][s];
    return p;
}

// A one-point medium that reports a fixed spatial point, for probing the list checks.
class PointedMedium : public Medium {
public:
    explicit PointedMedium(int32_t point) : Medium(3, ComponentKind::Medium), point_(point) {}
    int32_t spatial_index(int32_t, int32_t, int32_t) const override { return point_; }

private:
    int32_t point_;
};

// A two-point gridded medium over cells x = 4, 5 (y = z = 0): point 0 has permittivity 2,
// point 1 has 3 plus a pole only on component 1.
std::shared_ptr<CustomMedium> two_point_custom() {
    auto m = std::make_shared<CustomMedium>(2);
    m->point_counts = {2, 1, 1};
    m->point_origin = {4, 0, 0};
    m->eps_inf = {2, 2, 2, 3, 3, 3};
    m->sigma = {0, 0, 0, 0, 0, 0};
    m->poles[1].push_back(Pole{{C(-1e15f, 0), C(-1e15f, 0)}, {C(0, 0), C(1e15f, 0)}});
    return m;
}

}  // namespace

TEST(MediumResponse, ComponentOfPlainAndConductiveMedia) {
    // No conductivity and no poles: exactly eps_inf at any frequency, zero frequency included.
    const auto plain = isotropic(2.0f);
    for (const float f : {0.0f, 1e9f, F14, 3e15f}) EXPECT_EQ(eps_component(*plain, f, 1, 0, 0, 0), C(2.0f, 0.0f)) << f;

    const auto conductive = isotropic(1.0f, 1e-3f);
    const C e = eps_component(*conductive, F14, 2, 7, 8, 9);
    EXPECT_EQ(e.real(), 1.0f);
    EXPECT_NEAR(e.imag(), 1e-3 / (6.2831853e14 * 8.8541878e-18), 1e-5);
    EXPECT_NEAR(e.imag(), 0.17975f, 1e-5f);
}

TEST(MediumResponse, PoleExampleAgreesAcrossOperations) {
    auto m = isotropic(1.0f);
    for (auto& poles : m->poles) poles.push_back(lorentz_pole());

    expect_near(pole_sum(m->poles[0], 0, F14), C(1.43391f, 0.90095f), 2e-4f);
    for (int c = 0; c < 3; ++c) expect_near(eps_component(*m, F14, c, 0, 0, 0), C(2.43391f, 0.90095f), 2e-4f);

    const ComplexTensor t = eps_tensor(*m, F14, 0, 0, 0);
    for (int r = 0; r < 3; ++r)
        for (int s = 0; s < 3; ++s) {
            if (r == s)
                expect_near(t[r][s], eps_component(*m, F14, r, 0, 0, 0), 1e-5f);
            else
                EXPECT_EQ(t[r][s], C(0, 0));
        }

    // A complex pole contributes c/(iw + a) and its conjugate partner.
    const Pole complex_pole = pole({-2e14f, 5e14f}, {3e14f, -1e14f});
    const std::complex<double> iw(0.0, 6.283185307179586e14), a(-2e14, 5e14), c(3e14, -1e14);
    const std::complex<double> expected = -(c / (iw + a) + std::conj(c) / (iw + std::conj(a)));
    expect_near(pole_sum({complex_pole}, 0, F14), C(expected), 1e-5f);
    EXPECT_EQ(pole_sum({}, 0, F14), C(0, 0));
}

TEST(MediumResponse, FullyAnisotropicTensorKeepsOffDiagonalEntries) {
    const float unit = sigma_for(1.0f, F14);
    const auto m = anisotropic({2, 0.5f, 0.25f, 0.5f, 3, 0, 0.25f, 0, 4},
                               {0, unit, 0, 2 * unit, 0, 0, 0, 0, 3 * unit});
    const ComplexTensor t = eps_tensor(*m, F14, 1, 2, 3);
    const float eps[9] = {2, 0.5f, 0.25f, 0.5f, 3, 0, 0.25f, 0, 4};
    const float imag[9] = {0, 1, 0, 2, 0, 0, 0, 0, 3};
    for (int q = 0; q < 9; ++q) {
        EXPECT_EQ(t[q / 3][q % 3].real(), eps[q]) << q;
        EXPECT_NEAR(t[q / 3][q % 3].imag(), imag[q], 1e-6f) << q;
    }
}

TEST(MediumResponse, GriddedMediaUseTheCellsPoint) {
    const auto m = two_point_custom();
    EXPECT_EQ(eps_component(*m, F14, 0, 4, 0, 0), C(2, 0));
    EXPECT_EQ(eps_component(*m, F14, 0, 5, 0, 0), C(3, 0));
    // Point 0's pole has a zero residue, point 1's is the Lorentz pole.
    EXPECT_EQ(eps_component(*m, F14, 1, 4, 0, 0), C(2, 0));
    expect_near(eps_component(*m, F14, 1, 5, 0, 0), C(4.43391f, 0.90095f), 2e-4f);

    const ComplexTensor t = eps_tensor(*m, F14, 5, 0, 0);
    EXPECT_EQ(t[0][0], C(3, 0));
    expect_near(t[1][1], C(4.43391f, 0.90095f), 2e-4f);
    EXPECT_EQ(t[2][2], C(3, 0));
}

TEST(MediumResponse, InvertTensor) {
    const ComplexTensor identity = identity_tensor();
    EXPECT_EQ(invert_tensor(identity), identity);

    const ComplexTensor t = {{{C(2, 1), C(0.5f, 0), C(0, 0)}, {C(0, 0.25f), C(3, 0), C(0.1f, 0)}, {C(1, 0), C(0, 0), C(1, -2)}}};
    const ComplexTensor inverse = invert_tensor(t);
    for (const ComplexTensor& product : {multiply(t, inverse), multiply(inverse, t)})
        for (int r = 0; r < 3; ++r)
            for (int s = 0; s < 3; ++s) expect_near(product[r][s], identity[r][s], 1e-6f);

    // Large entries stay invertible: their determinant squares beyond float range in a naive
    // quotient.
    const ComplexTensor big = {{{C(1e20f, 0), C(0, 0), C(0, 0)}, {C(0, 0), C(1, 0), C(0, 0)}, {C(0, 0), C(0, 0), C(1, 0)}}};
    expect_near(invert_tensor(big)[0][0] * 1e20f, C(1, 0), 1e-6f);
}

TEST(MediumResponseDeathTest, InvertTensorRejectsSingularAndUndefinedMatrices) {
    ComplexTensor small = identity_tensor();
    small[0][0] = C(1e-7f, 0);  // determinant 1e-7, below 2^-23
    EXPECT_EXIT(invert_tensor(small), ::testing::ExitedWithCode(1), INTERNAL_ERROR);
    ComplexTensor rank_two = identity_tensor();
    rank_two[2] = rank_two[1];
    EXPECT_EXIT(invert_tensor(rank_two), ::testing::ExitedWithCode(1), INTERNAL_ERROR);
    ComplexTensor undefined = identity_tensor();
    undefined[1][1] = C(std::numeric_limits<float>::quiet_NaN(), 0);
    EXPECT_EXIT(invert_tensor(undefined), ::testing::ExitedWithCode(1), INTERNAL_ERROR);

    // Just above the threshold the inverse exists.
    ComplexTensor barely = identity_tensor();
    barely[0][0] = C(1.25e-7f, 0);
    EXPECT_NEAR(invert_tensor(barely)[0][0].real(), 8e6f, 1.0f);
}

TEST(MediumResponseDeathTest, IndicesOutsideTheMediumsListsAreInternalErrors) {
    const auto plain = isotropic(2.0f);
    EXPECT_EXIT(eps_component(*plain, F14, 3, 0, 0, 0), ::testing::ExitedWithCode(1), INTERNAL_ERROR);
    EXPECT_EXIT(eps_component(*plain, F14, -1, 0, 0, 0), ::testing::ExitedWithCode(1), INTERNAL_ERROR);

    const PointedMedium beyond(1), negative(-1);
    EXPECT_EXIT(eps_component(beyond, F14, 0, 0, 0, 0), ::testing::ExitedWithCode(1), INTERNAL_ERROR);
    EXPECT_EXIT(eps_tensor(beyond, F14, 0, 0, 0), ::testing::ExitedWithCode(1), INTERNAL_ERROR);
    EXPECT_EXIT(eps_component(negative, F14, 0, 0, 0, 0), ::testing::ExitedWithCode(1), INTERNAL_ERROR);

    // A pole without a value for the point.
    EXPECT_EXIT(pole_sum({lorentz_pole()}, 1, F14), ::testing::ExitedWithCode(1), INTERNAL_ERROR);

    // A gridded medium asked for a cell outside its box.
    const auto custom = two_point_custom();
    EXPECT_EXIT(eps_component(*custom, F14, 0, 6, 0, 0), ::testing::ExitedWithCode(1), INTERNAL_ERROR);
}

namespace {

// Media of the averaging-method table, by index.
enum : uint16_t {
    GLASS = 0,         // eps 4
    LOW = 1,           // eps_inf 0.5, no poles
    DRUDE = 2,         // real permittivity about -13 at 1e14 Hz
    LORENTZ = 3,       // dispersive but above 1
    LOSSY = 4,         // all kinds LossyMetal
    GRID_ON = 5,       // gridded, averaging on for every component
    GRID_OFF_Y = 6,    // gridded, averaging off for component 1
    EDGE = 7,          // eps_inf 0.99999988, the float just below 1 that still counts as 1
    BELOW_EDGE = 8,    // the next float down
};

std::vector<std::shared_ptr<Medium>> method_media() {
    auto drude = isotropic(1.0f);
    auto lorentz = isotropic(1.0f);
    for (int c = 0; c < 3; ++c) {
        drude->poles[c].push_back(drude_pole());
        lorentz->poles[c].push_back(lorentz_pole());
    }
    auto grid_on = std::make_shared<CustomMedium>(1);
    grid_on->point_counts = {1, 1, 1};
    auto grid_off = std::make_shared<CustomMedium>(1);
    grid_off->point_counts = {1, 1, 1};
    grid_off->subpixel = {true, false, true};
    return {isotropic(4.0f),
            isotropic(0.5f),
            drude,
            lorentz,
            isotropic(1.0f, 58.0f, ComponentKind::LossyMetal),
            grid_on,
            grid_off,
            isotropic(0.99999988f),
            isotropic(std::nextafter(0.99999988f, 0.0f))};
}

struct MethodCase {
    const char* name;
    uint16_t a;
    uint16_t b;
    int component;
    bool normal_dominant;
    AveragingMethod dielectric;
    AveragingMethod metal;
    AveragingMethod lossy_metal;
    AveragingMethod expected;
};

using M = AveragingMethod;
constexpr uint16_t VAC = MEDIUM_INDEX_VACUUM, PEC = MEDIUM_INDEX_PEC, PMC = MEDIUM_INDEX_PMC, NONE = MEDIUM_NONE;
constexpr M ST = M::Staircasing, VOL = M::VolumetricAveraging, VNS = M::VolumetricAveragingNormalStaircased,
            POL = M::PolarizedAveraging, CPA = M::ContourPathAveraging, SI = M::SurfaceImpedance;

}  // namespace

TEST(MediumResponse, ChooseAveragingMethodBranches) {
    const auto media = method_media();
    ASSERT_LT(eps_component(*media[DRUDE], F14, 0, 0, 0, 0).real(), -10.0f);
    const MethodCase cases[] = {
        {"PEC first wins over everything", PEC, PEC, 0, false, POL, VOL, VOL, ST},
        {"PEC first before a lossy second", PEC, LOSSY, 0, false, POL, VOL, VOL, ST},
        {"PEC second", GLASS, PEC, 0, false, POL, VOL, VOL, M::PECConformal},
        {"PEC second beats lossy first", LOSSY, PEC, 1, false, POL, VOL, SI, M::PECConformal},
        {"gridded first, averaging off", GRID_OFF_Y, LOSSY, 1, false, POL, VOL, VOL, ST},
        {"gridded first, averaging on for this component", GRID_OFF_Y, GLASS, 0, false, POL, VOL, VOL, POL},
        {"gridded first with averaging on hides the second's flag", GRID_ON, GRID_OFF_Y, 1, false, POL, VOL, VOL, POL},
        {"gridded second, averaging off", GLASS, GRID_OFF_Y, 1, false, POL, VOL, VOL, ST},
        {"lossy first, volumetric", LOSSY, GLASS, 0, true, POL, ST, VOL, VOL},
        {"lossy second, volumetric", VAC, LOSSY, 0, false, POL, ST, VOL, VOL},
        {"lossy, normal staircased, dominant", GLASS, LOSSY, 2, true, POL, VOL, VNS, ST},
        {"lossy, normal staircased, across", GLASS, LOSSY, 2, false, POL, VOL, VNS, VOL},
        {"lossy, staircasing", LOSSY, VAC, 0, false, POL, VOL, ST, ST},
        {"lossy before a low permittivity", LOW, LOSSY, 0, false, POL, ST, VOL, VOL},
        {"low permittivity first", LOW, GLASS, 0, false, POL, VOL, VOL, ST},
        {"low permittivity second", GLASS, LOW, 0, false, POL, VOL, VOL, ST},
        {"low permittivity before a metal", LOW, DRUDE, 0, false, POL, VOL, VOL, ST},
        {"just below 1 still counts as 1", EDGE, GLASS, 0, false, POL, VOL, VOL, POL},
        {"the next float down does not", BELOW_EDGE, GLASS, 0, false, POL, VOL, VOL, ST},
        {"metal first, volumetric", DRUDE, GLASS, 0, false, POL, VOL, ST, VOL},
        {"metal second, volumetric", VAC, DRUDE, 1, false, CPA, VOL, ST, VOL},
        {"metal, normal staircased, dominant", DRUDE, VAC, 0, true, POL, VNS, ST, ST},
        {"metal, normal staircased, across", DRUDE, VAC, 0, false, POL, VNS, ST, VOL},
        {"metal, staircasing", GLASS, DRUDE, 0, false, POL, ST, VOL, ST},
        {"dispersive dielectric", LORENTZ, GLASS, 0, false, POL, VOL, VOL, POL},
        {"dielectric polarized", GLASS, VAC, 0, false, POL, VOL, VOL, POL},
        {"dielectric contour path", GLASS, NONE, 2, true, CPA, VOL, VOL, CPA},
        {"dielectric staircasing", GLASS, VAC, 0, false, ST, VOL, VOL, ST},
        {"special indices only", PMC, VAC, 0, false, POL, VOL, VOL, POL},
    };
    for (const MethodCase& t : cases) {
        SCOPED_TRACE(t.name);
        SubpixelMethodSettings settings;
        settings.dielectric = t.dielectric;
        settings.metal = t.metal;
        settings.lossy_metal = t.lossy_metal;
        EXPECT_EQ(choose_averaging_method(media, settings, t.normal_dominant, t.component, 0, 0, 0, F14, t.a, t.b),
                  t.expected);
    }
}

TEST(MediumResponseDeathTest, ChooseAveragingMethodFailures) {
    const auto media = method_media();
    SubpixelMethodSettings settings;
    settings.lossy_metal = AveragingMethod::SurfaceImpedance;
    EXPECT_EXIT(choose_averaging_method(media, settings, false, 0, 0, 0, 0, F14, LOSSY, GLASS),
                ::testing::ExitedWithCode(1), INTERNAL_ERROR);
    EXPECT_EXIT(choose_averaging_method(media, settings, false, 0, 0, 0, 0, F14, GLASS, LOSSY),
                ::testing::ExitedWithCode(1), INTERNAL_ERROR);

    // Real indices that name no medium, on either side.
    settings.lossy_metal = AveragingMethod::VolumetricAveraging;
    const uint16_t missing = static_cast<uint16_t>(media.size());
    EXPECT_EXIT(choose_averaging_method(media, settings, false, 0, 0, 0, 0, F14, missing, GLASS),
                ::testing::ExitedWithCode(1), INTERNAL_ERROR);
    EXPECT_EXIT(choose_averaging_method(media, settings, false, 0, 0, 0, 0, F14, GLASS, MEDIUM_INDEX_LAST_REAL),
                ::testing::ExitedWithCode(1), INTERNAL_ERROR);
}
