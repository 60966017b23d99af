#include <algorithm>
#include <cmath>
#include <memory>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "common/medium_index.h"
#include "geometry/box.h"
#include "subpixel/volume_and_face_measurement.h"
#include "subpixel_fixtures.h"

namespace {

using subpixel_test::AllButBall;
using subpixel_test::cut_volume;
using subpixel_test::min_gap;
using subpixel_test::HalfSpace;
using subpixel_test::structure;

const Vec3 UNIT_TET[4] = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}};

// The corners of a tetrahedron with the data of the plane n · x = c (n unit), inside below it.
std::array<InterfacePoint, 4> planar_corners(const Vec3 (&p)[4], const Vec3& n, double c) {
    std::array<InterfacePoint, 4> corners;
    for (int i = 0; i < 4; ++i) corners[i] = {p[i], n, dot(n, p[i]) - c, 0, 1};
    return corners;
}

TEST(TetrahedronFraction, OneTwoAndThreeInsideCorners) {
    const double r3 = std::sqrt(3.0);
    const Vec3 diagonal{1 / r3, 1 / r3, 1 / r3};
    // One inside corner, three edge parameters 0.5.
    EXPECT_NEAR(tetrahedron_fraction(planar_corners(UNIT_TET, diagonal, 0.5 / r3)), 0.125, 1e-15);
    // Three inside corners, parameters 0.5 from the outside corner.
    EXPECT_NEAR(tetrahedron_fraction(planar_corners(UNIT_TET, -diagonal, -0.5 / r3)), 0.875, 1e-15);
    // The wedge: plane y + z = 0.5, corners 0 and 1 inside.
    const Vec3 n{0, 1 / std::sqrt(2.0), 1 / std::sqrt(2.0)};
    EXPECT_NEAR(tetrahedron_fraction(planar_corners(UNIT_TET, n, 0.5 / std::sqrt(2.0))), 0.5, 1e-15);
    EXPECT_EQ(tetrahedron_fraction(planar_corners(UNIT_TET, diagonal, 5.0)), 1.0);
    EXPECT_EQ(tetrahedron_fraction(planar_corners(UNIT_TET, diagonal, -5.0)), 0.0);
}

TEST(WedgeVolume, ExampleAndSplitOfANonPlanarSide) {
    EXPECT_NEAR(wedge_volume({0, 0, 0}, {0, 0.5, 0}, {0, 0, 0.5}, {1, 0, 0}, {0.5, 0.5, 0}, {0.5, 0, 0.5}), 1.0 / 12,
                1e-15);
    // Crossing points off one plane: the side b-c-f-e splits along b-f for a positive
    // orientation and along c-e for a mirrored one.
    const Vec3 a{0, 0, 0}, b{0.5, 0, 0}, c{0, 0.5, 0}, d{0, 0, 1}, e{0.5, 0, 0.5}, f{0, 0.1, 0.9};
    EXPECT_NEAR(wedge_volume(a, b, c, d, e, f, 1.0), 0.05, 1e-15);
    EXPECT_NEAR(wedge_volume(a, b, c, d, e, f, -1.0), 1.0 / 15, 1e-15);
}

// Exactness against an independent formula, and the same answer whatever the corner order: with
// two inside corners the wedge's orientation depends on which corners they are.
TEST(TetrahedronFraction, ExactForPlanesAndIndependentOfCornerOrder) {
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    int two_inside = 0;
    for (int trial = 0; trial < 300; ++trial) {
        Vec3 p[4];
        for (Vec3& q : p) q = {u(rng), u(rng), u(rng)};
        const Vec3 n = normalized(Vec3{u(rng), u(rng), u(rng)});
        if (min_gap(p, n) < 0.05) continue;
        const double c = dot(n, p[0] + (p[1] + p[2] + p[3] - p[0] * 3.0) * (0.5 * (u(rng) + 1.0)));
        const double expected =
            cut_volume(p, n, c) / (std::fabs(dot(p[1] - p[0], cross(p[2] - p[0], p[3] - p[0]))) / 6.0);
        int order[4] = {0, 1, 2, 3};
        int inside = 0;
        for (const Vec3& q : p) inside += dot(n, q) <= c;
        two_inside += inside == 2;
        do {
            const Vec3 permuted[4] = {p[order[0]], p[order[1]], p[order[2]], p[order[3]]};
            EXPECT_NEAR(tetrahedron_fraction(planar_corners(permuted, n, c)), expected, 1e-9) << trial;
        } while (std::next_permutation(order, order + 4));
    }
    EXPECT_GT(two_inside, 20);

    // Non-planar data (a different plane at every corner): still independent of the order.
    for (int trial = 0; trial < 200; ++trial) {
        std::array<InterfacePoint, 4> corners;
        for (InterfacePoint& q : corners) {
            q.point = {u(rng), u(rng), u(rng)};
            q.normal = normalized(Vec3{u(rng), u(rng), u(rng)});
            q.distance = 0.5 * u(rng);
        }
        const double reference = tetrahedron_fraction(corners);
        int order[4] = {0, 1, 2, 3};
        do {
            const std::array<InterfacePoint, 4> permuted = {corners[order[0]], corners[order[1]], corners[order[2]],
                                                             corners[order[3]]};
            EXPECT_NEAR(tetrahedron_fraction(permuted), reference, 1e-12) << trial;
        } while (std::next_permutation(order, order + 4));
    }
}

// A specification with one structure (index 0, medium 7) and the 11-point input a volume scheme
// reads, with the four tetrahedron corners at positions 0 to 3.
struct SampledTetrahedron {
    explicit SampledTetrahedron(std::shared_ptr<Geometry> geometry) {
        spec.structures.push_back(structure(std::move(geometry), 7));
        for (int i = 0; i < 4; ++i) points[i].point = UNIT_TET[i];
        media.fill(7);
        candidate_structures.fill(0);
        candidate_media.fill(7);
    }
    Measurement measure(const VolumeScheme& scheme) const {
        const SchemeInput input{spec, points, media, candidate_structures, candidate_media, 0, 0, true};
        const int positions[4] = {0, 1, 2, 3};
        return scheme.measure_element(std::span<const InterfacePoint>(points.data(), 4), positions, input);
    }
    SimulationSpec spec;
    std::array<InterfacePoint, 11> points;
    std::array<uint16_t, 11> media;
    std::array<int32_t, 11> candidate_structures;
    std::array<uint16_t, 11> candidate_media;
};

Vec3 sample_point(const VolumeScheme& scheme, uint64_t row) {
    Vec3 x;
    for (int i = 0; i < 4; ++i) x += UNIT_TET[i] * scheme.generator().row(row)[i];
    return x;
}

TEST(VolumeSampling, EightSpreadPointsDecideUnlessOneDisagrees) {
    const VolumeScheme scheme;
    // Everything but a tiny ball around the sample point of row 3 (among the first eight).
    auto miss_early = std::make_shared<AllButBall>(sample_point(scheme, 3), 1e-4);
    const SampledTetrahedron early(miss_early);
    EXPECT_DOUBLE_EQ(early.measure(scheme).fraction, 29.0 / 30.0);
    EXPECT_EQ(miss_early->contains_calls.load(), 30);

    // A miss beyond the first eight rows is never seen: N = 8, fraction exactly 1.
    const Vec3 hole = sample_point(scheme, 12);
    auto miss_late = std::make_shared<AllButBall>(hole, 1e-4);
    const SampledTetrahedron late(miss_late);
    const Measurement m = late.measure(scheme);
    EXPECT_EQ(m.fraction, 1.0);
    EXPECT_EQ(miss_late->contains_calls.load(), 8);
    // The normal is the plain mean of the eight points' normals (towards the hole).
    Vec3 mean;
    for (uint64_t r = 0; r < 8; ++r) mean += normalized(hole - sample_point(scheme, r)) / 8.0;
    EXPECT_NEAR(length(m.normal - mean), 0.0, 1e-12);

    // Corners in different media: all thirty rows count.
    SampledTetrahedron mixed(std::make_shared<AllButBall>(hole, 1e-4));
    mixed.media[2] = 3;
    EXPECT_DOUBLE_EQ(mixed.measure(scheme).fraction, 29.0 / 30.0);

    // Corners outside the measured medium whose points all lie outside: N = 8, fraction 0.
    auto nothing = std::make_shared<HalfSpace>(Vec3{1, 0, 0}, -5.0);
    SampledTetrahedron outside(nothing);
    outside.media.fill(3);
    EXPECT_EQ(outside.measure(scheme).fraction, 0.0);
    EXPECT_EQ(nothing->contains_calls.load(), 8);
}

// Structure 0 (medium 1) is a box reaching to x = `outer`; structure 1 (medium 1) the unit box
// inside it. Candidates: the background, structure 0 with `outer_medium`, then structure 1.
struct NestedBoxes {
    NestedBoxes(double outer, uint16_t outer_medium) : outer_medium(outer_medium) {
        spec.structures.push_back(structure(std::make_shared<Box>(Transform::translation({outer - 10.0, 0, 0}),
                                                                  Vec3{10, 10, 10}),
                                            outer_medium));
        spec.structures.push_back(structure(std::make_shared<Box>(Transform::identity(), Vec3{1, 1, 1}), 1));
    }
    SampleContext context(std::span<const Vec3> corners, bool probe) const {
        return {spec, candidate_structures, candidate_media, 0, corners, probe};
    }
    uint16_t outer_medium;
    SimulationSpec spec;
    std::array<int32_t, 3> candidate_structures{-1, 0, 1};
    std::array<uint16_t, 3> candidate_media{65530, outer_medium, 1};
};

TEST(EvaluateSample, ProbeZeroesTheNormalOfASurfaceBuriedInTheSameMedium) {
    const Vec3 corners[4] = {{0.8, 0, 0}, {1.2, 0, 0}, {0.8, 0.2, 0}, {0.8, 0, 0.2}};
    const Vec3 x{0.95, 0.05, 0.05};  // inside the unit box, nearest its +x face
    // The outer box continues past every corner: the +x face is buried.
    const NestedBoxes buried(5.0, 1);
    SampleValue v = evaluate_sample(buried.context(corners, true), x);
    EXPECT_EQ(v.indicator, 1.0);
    EXPECT_EQ(v.normal, (Vec3{0, 0, 0}));
    // Without probing the face's normal stays.
    v = evaluate_sample(buried.context(corners, false), x);
    EXPECT_EQ(v.normal, (Vec3{1, 0, 0}));
    // The outer box ends between the face and the farthest corner: a real interface.
    const NestedBoxes short_outer(1.1, 1);
    v = evaluate_sample(short_outer.context(corners, true), x);
    EXPECT_EQ(v.normal, (Vec3{1, 0, 0}));
    // Right outside the face lies another medium: the first probe point already settles it.
    const NestedBoxes other_medium(5.0, 2);
    v = evaluate_sample(other_medium.context(corners, true), x);
    EXPECT_EQ(v.normal, (Vec3{1, 0, 0}));
    // A point of the outer structure's other medium is not in the measured medium.
    v = evaluate_sample(other_medium.context(corners, true), {2.0, 0, 0});
    EXPECT_EQ(v.indicator, 0.0);
    EXPECT_EQ(v.normal, (Vec3{0, 0, 0}));
}

TEST(VolumeSampling, ProbingIsOnWhenAnotherStructureHasTheMeasuredMedium) {
    const VolumeScheme scheme;
    // Corners inside the unit box near its +x face; the outer box goes far beyond.
    for (uint16_t outer_medium : {uint16_t{1}, uint16_t{2}}) {
        NestedBoxes boxes(5.0, outer_medium);
        std::array<InterfacePoint, 11> points;
        const Vec3 corners[4] = {{0.9, 0, 0}, {0.99, 0, 0}, {0.9, 0.05, 0}, {0.9, 0, 0.05}};
        for (int i = 0; i < 4; ++i) points[i].point = corners[i];
        std::array<uint16_t, 11> media;
        media.fill(1);
        std::array<int32_t, 11> cs;
        std::array<uint16_t, 11> cm;
        cs.fill(1);
        cm.fill(1);
        cs[0] = -1;
        cm[0] = 65530;
        cs[1] = 0;
        cm[1] = outer_medium;
        const SchemeInput input{boxes.spec, points, media, cs, cm, 0, 0, true};
        const int positions[4] = {0, 1, 2, 3};
        const Measurement m = scheme.measure_element(std::span<const InterfacePoint>(points.data(), 4), positions, input);
        EXPECT_EQ(m.fraction, 1.0);
        if (outer_medium == 1)
            EXPECT_EQ(m.normal, (Vec3{0, 0, 0}));
        else
            EXPECT_EQ(m.normal, (Vec3{1, 0, 0}));  // all eight points see the +x face
    }
}

TEST(EvaluateSample, BackgroundInTheMeasuredMediumHasNoSurface) {
    SimulationSpec spec;
    spec.structures.push_back(structure(std::make_shared<HalfSpace>(Vec3{1, 0, 0}, 0.0), MEDIUM_INDEX_VACUUM));
    const std::array<int32_t, 2> cs{-1, 0};
    const std::array<uint16_t, 2> cm{65530, 65530};
    const SampleContext context{spec, cs, cm, 0, {}, true};
    const SampleValue v = evaluate_sample(context, {1, 0, 0});  // outside structure 0: background
    EXPECT_EQ(v.indicator, 1.0);
    EXPECT_EQ(v.normal, (Vec3{0, 0, 0}));
}

TEST(EvaluateSample, NormalLosesItsComponentBeyondAClippingPlane) {
    SimulationSpec spec;
    spec.structures.push_back(structure(std::make_shared<HalfSpace>(Vec3{0.6, 0, 0.8}, 1.0), 4));
    spec.apply_extrusion_bounds[2] = {false, true};
    spec.extrusion_clipping_bounds[2] = {0.0, 0.5};
    spec.extrusion_bound_tolerance[2] = {1e-6, 1e-6};
    const std::array<int32_t, 1> cs{0};
    const std::array<uint16_t, 1> cm{4};
    const SampleContext context{spec, cs, cm, 0, {}, false};
    EXPECT_EQ(evaluate_sample(context, {0, 0, 0.9}).normal, (Vec3{1, 0, 0}));
    const SampleValue inside_bounds = evaluate_sample(context, {0, 0, 0.4});
    EXPECT_NEAR(length(inside_bounds.normal - Vec3{0.6, 0, 0.8}), 0.0, 1e-15);
}

TEST(AnalyticElements, FractionWithZeroNormal) {
    const SimulationSpec spec;
    const VolumeScheme volume;
    const FaceScheme face;
    const Vec3 n{0, 1 / std::sqrt(2.0), 1 / std::sqrt(2.0)};
    const std::array<InterfacePoint, 4> tet = planar_corners(UNIT_TET, n, 0.5 / std::sqrt(2.0));
    std::array<InterfacePoint, 11> points;
    std::array<uint16_t, 11> media{};
    std::array<int32_t, 11> cs{};
    std::array<uint16_t, 11> cm{};
    const int positions[4] = {0, 1, 2, 3};
    Measurement m = volume.measure_element(tet, positions, {spec, points, media, cs, cm, 0, 0, false});
    // Over the unit tetrahedron s = y + z has a density proportional to s (1 - s), which the
    // plane s = 0.5 halves.
    EXPECT_NEAR(m.fraction, 0.5, 1e-15);
    EXPECT_EQ(m.normal, (Vec3{0, 0, 0}));
    m = face.measure_element(std::span<const InterfacePoint>(tet.data(), 3), std::span<const int>(positions, 3),
                             {spec, std::span<const InterfacePoint>(points.data(), 5),
                              std::span<const uint16_t>(media.data(), 5), std::span<const int32_t>(cs.data(), 5),
                              std::span<const uint16_t>(cm.data(), 5), 0, 0, false});
    // The face (0, 0, 0), (1, 0, 0), (0, 1, 0) lies in z = 0, where the plane is y = 0.5: the
    // corner triangle above it, (0, 0.5), (0.5, 0.5), (0, 1), holds a quarter of the face.
    EXPECT_NEAR(m.fraction, 0.75, 1e-15);
    EXPECT_EQ(m.normal, (Vec3{0, 0, 0}));
}

}  // namespace
