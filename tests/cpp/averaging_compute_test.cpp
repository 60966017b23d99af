// The averaging phase through the compute driver: a sphere read from its JSON description,
// averaged and assembled into permittivity tensors.

#include <cmath>
#include <complex>
#include <cstring>
#include <memory>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "driver/compute_driver.h"
#include "driver/grid.h"
#include "geometry/geometry_reader.h"
#include "spec/medium.h"
#include "spec/simulation_spec.h"
#include "subpixel/subpixel_schemes.h"

namespace {

constexpr int CELLS = 12;       // per axis
constexpr double LOW = -1.5;    // grid from -1.5 to 1.5 in steps of 0.25
constexpr double STEP = 0.25;

std::shared_ptr<Medium> dielectric(float eps) {
    auto m = std::make_shared<Medium>(3, ComponentKind::Medium);
    m->eps_inf = {eps, eps, eps};
    return m;
}

void add_structure(SimulationSpec& spec, nlohmann::json geometry, int32_t medium_index) {
    auto s = std::make_shared<Structure>();
    s->geometry = read_structure_geometry(geometry);
    ASSERT_NE(s->geometry, nullptr);
    s->medium_index = medium_index;
    spec.structures.push_back(s);
}

// A sphere of radius 1 and permittivity 4 at the origin, in vacuum.
SimulationSpec sphere_spec() {
    SimulationSpec spec;
    spec.courant_scaling = 1.0f;
    spec.media.push_back(dielectric(4.0f));
    add_structure(spec, {{"type", "Sphere"}, {"x_cent", 0.0}, {"y_cent", 0.0}, {"z_cent", 0.0}, {"radius", 1.0}}, 0);
    return spec;
}

Grid sphere_grid() {
    std::vector<float> b;
    for (int i = 0; i <= CELLS; ++i) b.push_back(float(LOW + STEP * i));
    return make_grid({b, b, b});
}

CoefficientSet compute(const SimulationSpec& spec, uint64_t threads, const std::vector<float>& freqs) {
    const SchemeSet schemes = make_scheme_set(1);
    CoefficientSet set;
    compute_subdomain(schemes, threads, sphere_grid(), spec, {0, CELLS, 0, CELLS, 0, CELLS}, freqs, set);
    return set;
}

TEST(AveragingCompute, SphereOfPermittivityFourInVacuum) {
    const CoefficientSet set = compute(sphere_spec(), 1, {2e14f});
    ASSERT_EQ(set.size(), 1u);
    const FrequencyBlock& block = set[0];
    ASSERT_EQ(block.cells.size(), std::size_t(CELLS * CELLS * CELLS));

    int inside = 0, outside = 0, between = 0;
    for (int i = 0; i < CELLS; ++i)
        for (int j = 0; j < CELLS; ++j)
            for (int k = 0; k < CELLS; ++k) {
                const CellCoefficients& cell = block.cells[block.index(i, j, k)];
                const int index[3] = {i, j, k};
                for (int c = 0; c < 3; ++c) {
                    SCOPED_TRACE(testing::Message() << "cell " << i << " " << j << " " << k << " component " << c);
                    // The Yee position of component c: the cell centre along c, the cell's lower
                    // boundary across it. Its neighbourhood reaches at most 0.18 from it.
                    double r2 = 0.0;
                    for (int a = 0; a < 3; ++a) {
                        const double x = LOW + STEP * index[a] + (a == c ? STEP / 2 : 0.0);
                        r2 += x * x;
                    }
                    const double r = std::sqrt(r2);
                    const std::complex<float> eps = cell.values[4 * c];
                    EXPECT_EQ(eps.imag(), 0.0f);
                    EXPECT_GE(eps.real(), 1.0f);
                    EXPECT_LE(eps.real(), 4.0f);
                    if (r < 0.8) {
                        EXPECT_EQ(eps.real(), 4.0f);
                        ++inside;
                    } else if (r > 1.2) {
                        EXPECT_EQ(eps.real(), 1.0f);
                        ++outside;
                    } else if (std::fabs(r - 1.0) < 0.03) {
                        EXPECT_GT(eps.real(), 1.0f);
                        EXPECT_LT(eps.real(), 4.0f);
                        ++between;
                    }
                }
                // Off-diagonal permittivity stays zero and the permeability the identity.
                for (int v = 0; v < 18; ++v) {
                    if (v == 0 || v == 4 || v == 8) continue;
                    const bool diagonal_mu = v == 9 || v == 13 || v == 17;
                    EXPECT_EQ(cell.values[v], std::complex<float>(diagonal_mu ? 1.0f : 0.0f, 0.0f));
                }
            }
    EXPECT_GT(inside, 0);
    EXPECT_GT(outside, 0);
    EXPECT_GT(between, 0);
}

// Where the fraction is known the value follows the polarized formula. Ex of cell (9, 6, 6) sits
// at (0.875, 0, 0); its sampling region is the double pyramid with poles at x = 0.75 and 1.0 over
// the square |y|, |z| <= 0.125 in the plane x = 0.875. A sphere of radius 1 centred at
// (-0.15, 0, 0) crosses the axis at x = 0.85, t = 0.2 of the half-length before the Yee
// position, with the normal along x. Locally flat, it holds the share 0.5 (1 - t)^3 = 0.256 of
// the region: the normal component takes the harmonic mean 1 / (0.256 / 4 + 0.744) = 1.2376,
// where volumetric averaging would give 1.768. The sphere bends away from the plane by at most
// 0.016 (an eighth of the half-length) across the region, which moves the value by about 0.02.
TEST(AveragingCompute, NormalComponentAtAKnownFractionTakesThePolarizedValue) {
    SimulationSpec spec;
    spec.courant_scaling = 1.0f;
    spec.media.push_back(dielectric(4.0f));
    add_structure(spec, {{"type", "Sphere"}, {"x_cent", -0.15}, {"y_cent", 0.0}, {"z_cent", 0.0}, {"radius", 1.0}},
                  0);
    const CoefficientSet set = compute(spec, 1, {2e14f});
    const FrequencyBlock& block = set[0];
    const double t = 0.2;
    const double share = 0.5 * std::pow(1.0 - t, 3);
    const double polarized = 1.0 / (share / 4.0 + (1.0 - share));
    const double volumetric = share * 4.0 + (1.0 - share);
    ASSERT_GT(volumetric - polarized, 0.5);
    const std::complex<float> eps_xx = block.cells[block.index(9, 6, 6)].values[0];
    EXPECT_NEAR(eps_xx.real(), polarized, 0.05);
    EXPECT_EQ(eps_xx.imag(), 0.0f);
}

TEST(AveragingCompute, TwoThreadsGiveTheSingleThreadResultBitForBit) {
    SimulationSpec spec = sphere_spec();
    spec.subpixel.dielectric = AveragingMethod::ContourPathAveraging;
    spec.media.push_back(dielectric(2.5f));
    // A slab through the sphere, later in the list: three media meet along its rim.
    add_structure(spec,
                  {{"type", "Box"}, {"x_cent", 0.3}, {"y_cent", 0.0}, {"z_cent", -0.2}, {"x_span", 0.9},
                   {"y_span", 4.0}, {"z_span", 0.7}},
                  1);
    const std::vector<float> freqs = {1e14f, 3e14f};
    const CoefficientSet one = compute(spec, 1, freqs);
    const CoefficientSet two = compute(spec, 2, freqs);
    ASSERT_EQ(one.size(), 2u);
    ASSERT_EQ(two.size(), 2u);
    int averaged = 0;
    for (std::size_t f = 0; f < one.size(); ++f) {
        ASSERT_EQ(one[f].cells.size(), two[f].cells.size());
        for (std::size_t cell = 0; cell < one[f].cells.size(); ++cell) {
            EXPECT_EQ(std::memcmp(one[f].cells[cell].values.data(), two[f].cells[cell].values.data(),
                                  sizeof(one[f].cells[cell].values)),
                      0)
                << "frequency " << f << " cell " << cell;
            for (int c : {0, 4, 8}) {
                const float e = one[f].cells[cell].values[c].real();
                if (e != 1.0f && e != 4.0f && e != 2.5f) ++averaged;
            }
        }
    }
    EXPECT_GT(averaged, 0);  // the comparison covers measured cells, not only uniform ones
}

}  // namespace
