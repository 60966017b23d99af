#include <cmath>
#include <limits>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "common/medium_index.h"
#include "geometry/box.h"
#include "subpixel/integration_drivers.h"
#include "subpixel/subpixel_schemes.h"
#include "subpixel_fixtures.h"

namespace {

using subpixel_test::HalfSpace;
using subpixel_test::structure;

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

TEST(Crossing, DepthOverSlopeOrOverLengthClampedToTheEdge) {
    const Vec3 p{0, 0, 0};
    const Vec3 q{0.5, 0, 0};
    struct Case {
        double depth, slope;
        Vec3 q;
        double expected;
    };
    const Case cases[] = {
        {0.2, 1.0, q, 0.2},      {0.2, -1.0, q, 0.0},    {3.0, 2.0, q, 1.0},
        {0.2, 0.0, q, 0.4},      // zero slope: depth over |P - Q|
        {-0.2, 0.0, q, 0.0},     {0.8, 0.0, q, 1.0},
        {0.0, 0.0, p, 1.0},      // coincident points: 1 for depth >= 0
        {-1e-9, 0.0, p, 0.0},    // and 0 otherwise
        {0.2, -0.0, q, 0.4},     // negative zero is zero
    };
    for (const Case& c : cases) EXPECT_DOUBLE_EQ(crossing(p, c.q, c.depth, c.slope), c.expected) << c.depth << " " << c.slope;
    // A NaN slope is not zero: the NaN quotient passes through.
    EXPECT_TRUE(std::isnan(crossing(p, q, 0.2, NaN)));
    EXPECT_TRUE(std::isnan(crossing(p, q, NaN, 1.0)));
    EXPECT_EQ(crossing(p, p, NaN, 0.0), 0.0);
}

InterfacePoint ip(const Vec3& p, const Vec3& n, double d) { return {p, n, d, 0, 1}; }

TEST(TriangleFraction, CornerCasesAndArea) {
    // Right triangle with legs 2 along x and y; every interface normal along the edge tested.
    const Vec3 a{0, 0, 0}, b{2, 0, 0}, c{0, 2, 0};
    const Vec3 diagonal = normalized(Vec3{1, 1, 0});
    double area = 0.0;
    // One inside corner, both edge parameters 0.5 (plane x + y = 1): 0.25.
    EXPECT_NEAR(triangle_fraction(ip(a, diagonal, -1 / std::sqrt(2.0)), ip(b, {}, 1), ip(c, {}, 1), area), 0.25,
                1e-15);
    EXPECT_DOUBLE_EQ(area, 2.0);
    // Two inside corners, both parameters 0.5 from the outside corner: 0.75.
    const Vec3 toward_a = normalized(Vec3{-1, -1, 0});  // outward normal of the region x + y >= 1... from b, c
    const double d = -1 / std::sqrt(2.0);
    EXPECT_NEAR(triangle_fraction(ip(a, {}, 1), ip(b, toward_a, d), ip(c, toward_a, d), area), 0.75, 1e-15);
    // Order of the corners does not matter.
    EXPECT_NEAR(triangle_fraction(ip(c, toward_a, d), ip(a, {}, 1), ip(b, toward_a, d), area), 0.75, 1e-15);
    EXPECT_EQ(triangle_fraction(ip(a, {}, 0.0), ip(b, {}, -1), ip(c, {}, -2), area), 1.0);  // 0 counts inside
    EXPECT_EQ(triangle_fraction(ip(a, {}, 1e-300), ip(b, {}, 1), ip(c, {}, 2), area), 0.0);
}

// A one-structure specification: structure 0 fills the half-space x <= cut with medium 7.
struct HalfSpaceSpec {
    explicit HalfSpaceSpec(double cut) {
        geometry = std::make_shared<HalfSpace>(Vec3{1, 0, 0}, cut);
        spec.structures.push_back(structure(geometry, 7));
    }
    SimulationSpec spec;
    std::shared_ptr<HalfSpace> geometry;
};

// The three points of an edge along x from -1 to 1 and the input the edge scheme reads.
struct EdgeFixture {
    std::array<InterfacePoint, 3> points;
    std::array<uint16_t, 3> media;
    std::array<int32_t, 3> candidate_structures{0, 0, 0};
    std::array<uint16_t, 3> candidate_media{7, 7, 7};
    SchemeInput input(const SimulationSpec& spec, bool sample) const {
        return {spec, points, media, candidate_structures, candidate_media, 0, 0, sample};
    }
};

TEST(EdgeScheme, AnalyticSegments) {
    const EdgeScheme scheme;
    const SimulationSpec spec;
    struct Case {
        double d_a, d_b;
        Vec3 n_a, n_b;
        double b_x;
        double expected;
    };
    const Case cases[] = {
        {-0.2, 0.6, {1, 0, 0}, {}, 1.0, 0.2},    // A inside, normal along B - A, |B - A| = 1
        {0.6, -0.2, {}, {-1, 0, 0}, 1.0, 0.2},   // B inside, normal from B towards A
        {-0.2, 0.6, {0, 1, 0}, {}, 0.5, 0.4},    // zero slope: depth over length
        {-0.1, -0.3, {}, {}, 1.0, 1.0},
        {0.1, 0.3, {}, {}, 1.0, 0.0},
    };
    for (const Case& c : cases) {
        const InterfacePoint corners[2] = {ip({0, 0, 0}, c.n_a, c.d_a), ip({c.b_x, 0, 0}, c.n_b, c.d_b)};
        const int positions[2] = {0, 1};
        EdgeFixture f;
        f.media = {7, 7, 7};
        EXPECT_DOUBLE_EQ(scheme.measure_element(corners, positions, f.input(spec, false)).fraction, c.expected)
            << c.d_a << " " << c.d_b;
    }
}

TEST(EdgeScheme, SampledSegmentCountsGeneratorPointsInTheMeasuredMedium) {
    const EdgeScheme scheme;
    const HalfSpaceSpec fixture(0.3);
    EdgeFixture f;
    f.points = {ip({0, 0, 0}, {}, 1), ip({-1, 0, 0}, {}, 1), ip({1, 0, 0}, {}, 1)};
    f.media = {7, 7, 65530};
    const int positions[2] = {1, 2};
    const InterfacePoint corners[2] = {f.points[1], f.points[2]};
    int expected_hits = 0;
    for (uint64_t r = 0; r < 30; ++r) {
        const double* b = scheme.generator().row(r);
        if (-b[0] + b[1] <= 0.3) ++expected_hits;
    }
    ASSERT_GT(expected_hits, 0);
    ASSERT_LT(expected_hits, 30);
    EXPECT_DOUBLE_EQ(scheme.measure_element(corners, positions, f.input(fixture.spec, true)).fraction,
                     expected_hits / 30.0);
    EXPECT_EQ(fixture.geometry->contains_calls.load(), 30);
}

// Corners that share a medium decide without testing any point: an unknown structure in the
// candidate lists is never looked up.
TEST(EdgeScheme, SampledSegmentWithOneMediumNeedsNoPoint) {
    const EdgeScheme scheme;
    const SimulationSpec spec;  // no structures
    EdgeFixture f;
    f.points = {ip({0, 0, 0}, {}, 1), ip({-1, 0, 0}, {}, 1), ip({1, 0, 0}, {}, 1)};
    f.candidate_structures = {5, 5, 5};
    const int positions[2] = {1, 2};
    const InterfacePoint corners[2] = {f.points[1], f.points[2]};
    f.media = {7, 7, 7};
    EXPECT_EQ(scheme.measure_element(corners, positions, f.input(spec, true)).fraction, 1.0);
    f.media = {3, 3, 3};
    EXPECT_EQ(scheme.measure_element(corners, positions, f.input(spec, true)).fraction, 0.0);
}

TEST(SampleMedium, LastCandidateFirstBackgroundAndNone) {
    SimulationSpec spec;
    spec.structures.push_back(structure(std::make_shared<HalfSpace>(Vec3{1, 0, 0}, 0.0), 4));  // x <= 0
    spec.structures.push_back(structure(std::make_shared<HalfSpace>(Vec3{1, 0, 0}, -1.0), 9));  // x <= -1
    const std::vector<int32_t> both = {0, 1, 1};
    const std::vector<uint16_t> both_media = {4, 9, 9};
    EXPECT_EQ(sample_medium({-2, 0, 0}, spec, both, both_media), 9);  // the higher structure wins
    EXPECT_EQ(sample_medium({-0.5, 0, 0}, spec, both, both_media), 4);
    EXPECT_EQ(sample_medium({0.5, 0, 0}, spec, both, both_media), MEDIUM_NONE);  // no structure, no background
    const std::vector<int32_t> with_background = {-1, 0, 0};
    const std::vector<uint16_t> background_media = {65530, 4, 4};
    EXPECT_EQ(sample_medium({0.5, 0, 0}, spec, with_background, background_media), MEDIUM_INDEX_VACUUM);
    // Only the last entry of a run of equal structure indices counts.
    const std::vector<int32_t> run = {0, 0};
    const std::vector<uint16_t> run_media = {1, 2};
    EXPECT_EQ(sample_medium({-0.5, 0, 0}, spec, run, run_media), 2);
}

TEST(SampleMedium, PointIsClampedAndWrappedFirst) {
    SimulationSpec spec;
    spec.structures.push_back(structure(std::make_shared<HalfSpace>(Vec3{1, 0, 0}, 1.0), 4));  // x <= 1
    spec.apply_extrusion_bounds[1] = {false, true};
    spec.extrusion_clipping_bounds[1] = {0.0, 2.0};
    spec.extrusion_bound_tolerance[1] = {1e-6, 1e-6};
    spec.periodic_boundary[0] = true;
    spec.simulation_bounds[0] = {0.0, 10.0};
    spec.simulation_size[0] = 10.0;
    spec.structures.push_back(structure(std::make_shared<HalfSpace>(Vec3{0, 1, 0}, 2.0), 6));  // y <= 2
    const std::vector<int32_t> s = {0};
    const std::vector<uint16_t> m = {4};
    EXPECT_EQ(sample_medium({10.5, 0, 0}, spec, s, m), 4);  // wrapped to 0.5
    EXPECT_EQ(sample_medium({1.5, 0, 0}, spec, s, m), MEDIUM_NONE);
    const std::vector<int32_t> s1 = {1};
    const std::vector<uint16_t> m1 = {6};
    EXPECT_EQ(sample_medium({0, 5, 0}, spec, s1, m1), 6);  // clamped onto the plane y = 2
}

TEST(SampleMediumDeathTest, StructureIndexBeyondTheList) {
    const SimulationSpec spec;
    const std::vector<int32_t> s = {3};
    const std::vector<uint16_t> m = {4};
    EXPECT_EXIT(sample_medium({0, 0, 0}, spec, s, m), ::testing::ExitedWithCode(1), "An internal error has occured");
}

TEST(FinishNormal, SumsNormalsOfThePointsInTheMeasuredMediumWhenAnalytic) {
    const SimulationSpec spec;
    std::array<InterfacePoint, 5> points;
    points[0].normal = {1, 0, 0};
    points[1].normal = {0, 1, 0};
    points[2].normal = {0, 0, 5};  // other medium: ignored
    points[3].normal = {1, 1, 0};
    const std::array<uint16_t, 5> media = {2, 2, 3, 2, 2};
    const std::array<int32_t, 5> cs{};
    const std::array<uint16_t, 5> cm{};
    const FaceScheme face;
    Measurement result{0.5, {0, 0, 1}};
    face.finish_normal({spec, points, media, cs, cm, 1, 0, false}, result);
    EXPECT_NEAR(result.normal.x, 1 / std::sqrt(2.0), 1e-15);
    EXPECT_NEAR(result.normal.y, 1 / std::sqrt(2.0), 1e-15);
    EXPECT_EQ(result.normal.z, 0.0);
    EXPECT_EQ(result.fraction, 0.5);
    // Sampling keeps the integrated normal; the edge scheme never touches it.
    result.normal = {0, 0, 1};
    face.finish_normal({spec, points, media, cs, cm, 1, 0, true}, result);
    EXPECT_EQ(result.normal, (Vec3{0, 0, 1}));
    const EdgeScheme edge;
    edge.finish_normal({spec, points, media, cs, cm, 1, 0, false}, result);
    EXPECT_EQ(result.normal, (Vec3{0, 0, 1}));
    // Normals cancelling out stay zero.
    std::array<InterfacePoint, 5> opposite;
    opposite[0].normal = {1, 0, 0};
    opposite[1].normal = {-1, 0, 0};
    face.finish_normal({spec, opposite, media, cs, cm, 0, 0, false}, result);
    EXPECT_EQ(result.normal, (Vec3{0, 0, 0}));
}

TEST(MakeSchemeSet, BuildsAllFourSchemesForEverySelector) {
    for (int32_t selector = 0; selector <= 2; ++selector) {
        const SchemeSet set = make_scheme_set(selector);
        EXPECT_EQ(set.subpixel_scheme, selector);
        ASSERT_TRUE(set.volume && set.face && set.edge && set.fine_face);
    }
    EXPECT_EXIT(make_scheme_set(3), ::testing::ExitedWithCode(1), "An internal error has occured");
    EXPECT_EXIT(make_scheme_set(-1), ::testing::ExitedWithCode(1), "An internal error has occured");
}

}  // namespace
