#include <string>

#include <gtest/gtest.h>

#include "common/medium_index.h"
#include "driver/compute_driver.h"
#include "driver/finishing_pass.h"
#include "driver/loop_description.h"
#include "driver/memory_check.h"

namespace {

constexpr uint64_t NOTHING = ~uint64_t{0};
constexpr std::array<uint64_t, 6> EVERYWHERE = {0, 1000, 0, 1000, 0, 1000};

TEST(LoopDescription, OutermostAxisHasTheLargestExtentTiesGoToTheLaterAxis) {
    struct Case {
        Span span;
        std::array<int, 3> order;
    };
    const Case cases[] = {
        {{0, 4, 0, 4, 0, 3}, {1, 2, 0}},  // tie x, y -> y
        {{0, 5, 0, 5, 0, 5}, {2, 0, 1}},  // all tie -> z
        {{0, 6, 0, 5, 0, 5}, {0, 1, 2}},
        {{2, 3, 0, 0, 7, 7}, {0, 1, 2}},  // x only non-empty axis
        {{0, 0, 0, 0, 0, 0}, {2, 0, 1}},  // all empty -> z
    };
    for (const Case& c : cases) {
        const LoopDescription loop = make_loop_description(c.span, EVERYWHERE, false);
        EXPECT_EQ(loop.order, c.order);
        for (int k = 0; k < 3; ++k) EXPECT_EQ(loop.inverse[loop.order[k]], k);
    }
}

TEST(LoopDescription, BoundsAreTheSpanClampedToTheReach) {
    const Span span = {10, 20, 0, 4, 5, 6};
    const LoopDescription clamped = make_loop_description(span, {12, 30, 0, 2, 0, 100}, false);
    EXPECT_EQ(clamped.bounds, (std::array<uint64_t, 6>{12, 20, 0, 2, 5, 6}));
    EXPECT_EQ(clamped.extent(0), 8u);

    const LoopDescription extended = make_loop_description(span, {0, 100, 0, 100, 0, 100}, true);
    EXPECT_EQ(extended.bounds, (std::array<uint64_t, 6>{10, 21, 0, 5, 5, 7}));

    // An empty reach (nothing painted) leaves every axis empty, so no phase iterates.
    const LoopDescription unreached = make_loop_description(span, {NOTHING, 0, NOTHING, 0, NOTHING, 0}, false);
    int visits = 0;
    for_each_outer_pair(unreached, 1, [&](int64_t, int64_t) { ++visits; });
    EXPECT_EQ(visits, 0);
    for (int a = 0; a < 3; ++a) EXPECT_EQ(unreached.extent(a), 0u);
}

TEST(LoopDescription, OuterPairsCoverTheTwoOutermostRangesOnceEach) {
    const LoopDescription loop = make_loop_description({3, 6, 1, 5, 0, 2}, EVERYWHERE, false);
    ASSERT_EQ(loop.order, (std::array<int, 3>{1, 2, 0}));
    std::vector<int> seen(4 * 2, 0);
    for_each_outer_pair(loop, 2, [&](int64_t first, int64_t second) {
        ASSERT_GE(first, 1);
        ASSERT_LT(first, 5);
        ASSERT_GE(second, 0);
        ASSERT_LT(second, 2);
#pragma omp atomic
        seen[(first - 1) * 2 + second]++;
    });
    EXPECT_EQ(seen, std::vector<int>(8, 1));
}

TEST(MemoryCheck, WarnsOnlyWhenTheEstimateExceedsTwoThirdsOfFreeMemory) {
    ::testing::internal::CaptureStdout();
    check_memory(0);
    check_memory(available_memory_bytes() / 2);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    ::testing::internal::CaptureStdout();
    check_memory(available_memory_bytes());
    check_memory(1e30);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "Warning: getting close to exhausting RAM, may crash\n"
              "Warning: getting close to exhausting RAM, may crash\n");
}

SimulationSpec empty_spec() {
    SimulationSpec spec;
    spec.courant_scaling = 1.0f;
    return spec;
}

TEST(ComputeSubdomain, WithoutStructuresEveryCellIsIdentityAtEveryFrequency) {
    Grid grid = make_grid({std::vector<float>{0, 1, 2, 3}, std::vector<float>{0, 1, 2}, std::vector<float>{0, 1, 2, 3, 4}});
    const SchemeSet schemes = make_scheme_set(1);
    for (bool conformal : {false, true}) {
        SimulationSpec spec = empty_spec();
        spec.has_conformal_metal = conformal;
        spec.subpixel.pec_edge_singularity_correction = conformal;
        CoefficientSet set;
        const uint64_t threads = 1;
        compute_subdomain(schemes, threads, grid, spec, {1, 3, 0, 2, 1, 4}, {1e14f, 2e14f}, set);
        ASSERT_EQ(set.size(), 2u);
        for (const FrequencyBlock& block : set) {
            EXPECT_EQ(block.nx, 2);
            EXPECT_EQ(block.ny, 2);
            EXPECT_EQ(block.nz, 3);
            ASSERT_EQ(block.cells.size(), 12u);
            for (const CellCoefficients& cell : block.cells)
                for (int i = 0; i < 18; ++i)
                    EXPECT_EQ(cell.values[i], (i == 0 || i == 4 || i == 8 || i == 9 || i == 13 || i == 17)
                                                  ? std::complex<float>(1, 0)
                                                  : std::complex<float>(0, 0));
        }
    }
}

TEST(ComputeSubdomain, FramesArePaintedSeparatelyOnlyForConformalEdgeCorrection) {
    SimulationSpec spec = empty_spec();
    auto frame = std::make_shared<Structure>();
    frame->modal_pec_frame = true;
    spec.structures.push_back(frame);
    EXPECT_FALSE(paints_frames_separately(spec));
    spec.has_conformal_metal = true;
    EXPECT_FALSE(paints_frames_separately(spec));
    spec.subpixel.lossy_metal_edge_singularity_correction = true;
    EXPECT_TRUE(paints_frames_separately(spec));
    frame->modal_pec_frame = false;
    EXPECT_FALSE(paints_frames_separately(spec));
}

// The finishing pass on single records, with courant_scaling 1: limit = R / 1.9 where R is the
// largest edge ratio.
FaceRecord face(float area, float edge = 0.5f, float reference = 1.0f) {
    FaceRecord r;
    r.area_fraction = area;
    r.medium_index = MEDIUM_INDEX_PEC;
    r.edge_fraction = {edge, edge, edge, edge};
    r.edge_reference = {reference, reference, reference, reference};
    return r;
}

TEST(FinishingPass, StabilityLimitKeepsRaisesOrDropsAFace) {
    const SimulationSpec spec = empty_spec();
    const float limit = 0.26315789f;  // largest edge ratio 0.5 over 1.9
    struct Case {
        float area;
        float expected_area;
        bool edges_kept;
    };
    const Case cases[] = {
        {0.3f, 0.3f, true},       // above the limit: kept
        {0.2f, limit, true},      // below the limit: raised to it
        {0.002f, 0.0f, false},    // below 1 % of the limit: dropped
        {0.0004f, 0.0f, false},   // negligible share
    };
    for (const Case& c : cases) {
        FaceRecord r = face(c.area);
        limit_face_record(r, spec);
        EXPECT_FLOAT_EQ(r.area_fraction, c.expected_area) << c.area;
        EXPECT_EQ(r.edge_fraction[2], c.edges_kept ? 0.5f : 0.0f) << c.area;
    }
}

TEST(FinishingPass, CourantScalingAndReferencesShapeTheLimit) {
    SimulationSpec spec = empty_spec();
    spec.courant_scaling = 0.5f;  // s = 2: the limit shrinks by four
    FaceRecord r = face(0.01f);
    limit_face_record(r, spec);
    EXPECT_FLOAT_EQ(r.area_fraction, 0.065789474f);  // 0.5 / 2^2 / 1.9

    // A fully open edge caps its reference at 1; the first ratio is floored at 0.
    spec.courant_scaling = 1.0f;
    FaceRecord open = face(0.01f, 1.0f, 4.0f);
    open.edge_fraction = {-1.0f, 0.2f, 1.0f, 0.2f};
    limit_face_record(open, spec);
    EXPECT_FLOAT_EQ(open.area_fraction, 0.52631579f);  // ratio 1 / 1 of the open edge over 1.9
    FaceRecord thick = face(0.01f, 0.8f, 4.0f);
    limit_face_record(thick, spec);
    EXPECT_FLOAT_EQ(thick.area_fraction, 0.10526316f);  // 0.8 / 4 over 1.9
}

TEST(FinishingPass, LossyMetalFacesKeepTheirSurfaceTerm) {
    SimulationSpec spec = empty_spec();
    auto metal = std::make_shared<Medium>(3, ComponentKind::LossyMetal);
    metal->lossy_metal_constant = 0.1f;
    spec.media.push_back(metal);

    FaceRecord r = face(0.0001f);  // negligible area, but backed by a lossy metal surface
    r.medium_index = 0;
    r.surface_length = 1.0f;
    limit_face_record(r, spec);
    EXPECT_FLOAT_EQ(r.area_fraction, 0.16315789f);  // 0.5 / 1.9 less the surface term 0.1 * 1
    EXPECT_EQ(r.edge_fraction[0], 0.5f);

    FaceRecord weak = face(0.0f, 0.005f);  // limit far below the surface term: dropped
    weak.medium_index = 0;
    weak.surface_length = 1e-6f;
    limit_face_record(weak, spec);
    EXPECT_EQ(weak.area_fraction, 0.0f);
    EXPECT_EQ(weak.surface_length, 0.0f);
    EXPECT_EQ(weak.edge_fraction[1], 0.0f);
}

// Two cells along x share the edge along z at their common corner column; each face that carries
// the edge must end with the same fraction.
TEST(FinishingPass, SharedEdgesTakeTheLargestOrZero) {
    const SimulationSpec spec = empty_spec();
    for (float second : {0.4f, 0.0001f}) {
        ConformalData data;
        data.extents = {2, 2, 1};
        data.any_record = true;
        data.face_record_ids.assign(4, {0, 0, 0});
        data.edge_face_flags.assign(4, {});
        // Edge along z of cell (1, 1, 0): flag 0 is the face normal to y of the cell itself
        // (entry 0), flag 1 the face normal to x of the cell one step down along y, (1, 0, 0)
        // (entry 1).
        data.face_records = {face(0.6f, 0.9f), face(0.6f, second)};
        data.face_record_ids[data.cell_index(1, 1, 0)][1] = FACE_HAS_RECORD_BIT | 0;
        data.face_record_ids[data.cell_index(1, 0, 0)][0] = FACE_HAS_RECORD_BIT | 1;
        auto& flags = data.edge_face_flags[data.cell_index(1, 1, 0)];
        flags[8] = 1;
        flags[9] = 1;
        // A flag whose face would lie outside the subdomain is ignored.
        data.edge_face_flags[data.cell_index(0, 0, 0)][8 + 1] = 1;
        data.edge_face_flags[data.cell_index(0, 0, 0)][8 + 2] = 1;

        const Span span = {0, 2, 0, 2, 0, 1};
        finish_face_records(data, spec, make_loop_description(span, EVERYWHERE, true), span);
        const float expected = second > 0.1f ? 0.9f : 0.0f;
        EXPECT_EQ(data.face_records[0].edge_fraction[0], expected);
        EXPECT_EQ(data.face_records[1].edge_fraction[1], expected);
        EXPECT_EQ(data.face_records[0].edge_fraction[1], 0.9f);  // other edges untouched
    }
}

}  // namespace
