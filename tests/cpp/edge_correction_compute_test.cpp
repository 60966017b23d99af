// The edge correction through the compute driver: a conducting cube beside a dielectric, computed
// on one and on several threads.

#include <complex>
#include <cstring>
#include <memory>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "common/medium_index.h"
#include "driver/compute_driver.h"
#include "driver/grid.h"
#include "geometry/geometry_reader.h"
#include "spec/medium.h"
#include "spec/simulation_spec.h"
#include "subpixel/subpixel_schemes.h"

namespace {

constexpr int CELLS = 10;

void add(SimulationSpec& spec, nlohmann::json geometry, int32_t medium_index) {
    auto s = std::make_shared<Structure>();
    s->geometry = read_structure_geometry(geometry);
    ASSERT_NE(s->geometry, nullptr);
    s->medium_index = medium_index;
    spec.structures.push_back(s);
}

nlohmann::json box(double cx, double cy, double cz, double sx, double sy, double sz) {
    return {{"type", "Box"}, {"x_cent", cx}, {"y_cent", cy}, {"z_cent", cz},
            {"x_span", sx},  {"y_span", sy}, {"z_span", sz}};
}

SimulationSpec scene(bool correction) {
    SimulationSpec spec;
    spec.courant_scaling = 1.0f;
    spec.has_conformal_metal = true;
    spec.subpixel.pec_edge_singularity_correction = correction;
    auto eps = std::make_shared<Medium>(3, ComponentKind::Medium);
    eps->eps_inf = {3.0f, 3.0f, 3.0f};
    spec.media.push_back(eps);
    add(spec, box(0.6, -0.4, 0.0, 0.8, 1.2, 4.0), 0);
    add(spec, box(0.0, 0.0, 0.05, 0.8, 0.8, 0.9), MEDIUM_INDEX_PEC);
    nlohmann::json sheet = box(-0.35, 0.0, -0.6, 0.5, 2.0, 0.0);
    sheet["2dmaterial"] = 1;
    sheet["normal_axis"] = 2;
    add(spec, sheet, MEDIUM_INDEX_PEC);
    return spec;
}

CoefficientSet compute(const SimulationSpec& spec, uint64_t threads, const Span& span) {
    std::vector<float> b;
    for (int i = 0; i <= CELLS; ++i) b.push_back(float(-1.0 + 0.2 * i));
    const Grid grid = make_grid({b, b, b});
    const SchemeSet schemes = make_scheme_set(0);
    CoefficientSet set;
    compute_subdomain(schemes, threads, grid, spec, span, {1e14f, 3e14f}, set);
    return set;
}

bool same_bits(const CoefficientSet& a, const CoefficientSet& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t f = 0; f < a.size(); ++f) {
        if (a[f].cells.size() != b[f].cells.size()) return false;
        if (std::memcmp(a[f].cells.data(), b[f].cells.data(), a[f].cells.size() * sizeof(CellCoefficients)) != 0)
            return false;
    }
    return true;
}

TEST(EdgeCorrectionCompute, SeveralThreadsGiveTheSingleThreadCoefficientsBitForBit) {
    const Span whole = {0, CELLS, 0, CELLS, 0, CELLS};
    const SimulationSpec corrected = scene(true);
    const CoefficientSet single = compute(corrected, 1, whole);
    // The correction is active in this scene.
    EXPECT_FALSE(same_bits(single, compute(scene(false), 1, whole)));
    for (int run = 0; run < 2; ++run) EXPECT_TRUE(same_bits(compute(corrected, 4, whole), single));
    // A subdomain starting inside the scene computes its nodes the same way on several threads.
    const Span part = {3, CELLS, 2, 8, 4, CELLS};
    EXPECT_TRUE(same_bits(compute(corrected, 4, part), compute(corrected, 1, part)));
}

TEST(EdgeCorrectionCompute, DataReachOneLayerAboveTheSpanWhereTheGridHasIt) {
    const Grid grid = make_grid({std::vector<float>{0, 1, 2, 3}, std::vector<float>{0, 1, 2}, std::vector<float>{0, 1}});
    EXPECT_EQ(widened_above({0, 2, 0, 2, 0, 1}, grid), (Span{0, 3, 0, 2, 0, 1}));  // y and z end on the grid's end
    EXPECT_EQ(widened_above({1, 1, 0, 1, 0, 0}, grid), (Span{1, 1, 0, 2, 0, 0}));  // empty axes stay empty
}

}  // namespace
