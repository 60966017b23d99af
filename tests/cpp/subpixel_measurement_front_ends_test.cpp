#include <cmath>
#include <memory>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "common/medium_index.h"
#include "geometry/box.h"
#include "subpixel/measurement_front_ends.h"
#include "subpixel_fixtures.h"

namespace {

using subpixel_test::cut_volume;
using subpixel_test::ex_neighbourhood;
using subpixel_test::HalfSpace;
using subpixel_test::min_gap;
using subpixel_test::structure;

constexpr uint16_t NONE = MEDIUM_NONE;

TEST(CandidateLists, SortedPairsOrTheHighestPairEverywhere) {
    struct Case {
        std::vector<int32_t> structures;
        std::vector<uint16_t> media;
        int distinct;
        std::vector<int32_t> candidate_structures;
        std::vector<uint16_t> candidate_media;
    };
    const Case cases[] = {
        // Three structures: the sorted pairs.
        {{3, -1, 3, 5, -1}, {7, 65530, 7, 2, 65530}, 3, {-1, -1, 3, 3, 5}, {65530, 65530, 7, 7, 2}},
        // Points of no medium are left out; the list is padded with the last pair.
        {{1, 1, 2, -1, 2}, {4, NONE, 5, 65530, 5}, 3, {-1, 1, 2, 2, 2}, {65530, 4, 5, 5, 5}},
        // Two structures (vacuum counts as -1): only the highest pair.
        {{-1, 4, 4}, {65530, 9, 9}, 2, {4, 4, 4}, {9, 9, 9}},
        {{6, 2, 2}, {1, 3, 3}, 2, {6, 6, 6}, {1, 1, 1}},
        // One structure with two media: sorted by medium.
        {{2, 2, 2}, {5, 3, 5}, 1, {2, 2, 2}, {3, 5, 5}},
    };
    for (const Case& c : cases) {
        std::vector<int32_t> cs(c.structures.size());
        std::vector<uint16_t> cm(c.structures.size());
        EXPECT_EQ(build_candidate_lists(c.structures, c.media, cs, cm), c.distinct);
        EXPECT_EQ(cs, c.candidate_structures);
        EXPECT_EQ(cm, c.candidate_media);
    }
}

TEST(CandidateListsDeathTest, NoPointWithAMedium) {
    const std::vector<int32_t> s = {0, 1};
    const std::vector<uint16_t> m = {NONE, NONE};
    std::vector<int32_t> cs(2);
    std::vector<uint16_t> cm(2);
    EXPECT_EXIT(build_candidate_lists(s, m, cs, cm), ::testing::ExitedWithCode(1), "An internal error has occured");
}

// An eleven-point neighbourhood around `centre` next to the unit box (structure 0, medium 7),
// with the media and structure indices the points see.
struct BoxNeighbourhood {
    BoxNeighbourhood(const Vec3& centre, double a, double b) {
        box = std::make_shared<Box>(Transform::identity(), Vec3{1, 1, 1});
        spec.structures.push_back(structure(box, 7));
        points = ex_neighbourhood(a, a, b, b, b, b);
        for (std::size_t k = 0; k < 11; ++k) {
            points[k] += centre;
            const bool in = box->contains(points[k], true, 0.0);
            media[k] = in ? 7 : 65530;
            structures[k] = in ? 0 : -1;
        }
    }
    bool evaluate(int32_t mode, std::array<InterfacePoint, 11>& out, std::array<int32_t, 11>& cs,
                  std::array<uint16_t, 11>& cm) const {
        const FrontEndPoints input{structures, 0, media, points, points};
        return evaluate_front_end_points(spec, mode, *box, true, input, 7, out, cs, cm);
    }
    Measurement measure(int32_t mode) const {
        std::array<InterfacePoint, 11> out;
        return measure_volume(scheme, spec, mode, structures, 0, media, 0, *box, points, points, out);
    }
    SimulationSpec spec;
    std::shared_ptr<Box> box;
    std::array<Vec3, 11> points;
    std::array<uint16_t, 11> media;
    std::array<int32_t, 11> structures;
    VolumeScheme scheme;
};

bool bare(const InterfacePoint& p) { return p.normal == Vec3{} && p.distance == 1.0 && p.flag_a == 0 && p.flag_b == 1; }

TEST(FrontEndModes, AnalyticEvaluatesOnlyThePointsInTheMeasuredMedium) {
    // Across the box's +y face: points with y above 1 lie outside.
    const BoxNeighbourhood n({0, 0.99, 0}, 0.05, 0.05);
    ASSERT_EQ(n.media[4], 65530);
    ASSERT_EQ(n.media[8], 65530);
    std::array<InterfacePoint, 11> out;
    std::array<int32_t, 11> cs;
    std::array<uint16_t, 11> cm;
    EXPECT_FALSE(n.evaluate(1, out, cs, cm));
    for (std::size_t k = 0; k < 11; ++k) {
        EXPECT_EQ(out[k].point, n.points[k]);
        if (n.media[k] == 7) {
            EXPECT_EQ(out[k].normal, (Vec3{0, 1, 0})) << k;
            EXPECT_NEAR(out[k].distance, n.points[k].y - 1.0, 1e-15) << k;
        } else {
            EXPECT_TRUE(bare(out[k])) << k;
        }
    }
}

TEST(FrontEndModes, FlatInterfacePassesTheFlatnessTest) {
    const BoxNeighbourhood n({0, 0.99, 0}, 0.05, 0.05);
    std::array<InterfacePoint, 11> out;
    std::array<int32_t, 11> cs;
    std::array<uint16_t, 11> cm;
    EXPECT_FALSE(n.evaluate(0, out, cs, cm));
    // The tested points 0..6 are evaluated whatever their medium, points 7..10 only in the measured
    // medium.
    EXPECT_EQ(out[4].normal, (Vec3{0, 1, 0}));
    EXPECT_NEAR(out[4].distance, 0.04, 1e-15);
    EXPECT_TRUE(bare(out[8]));
    EXPECT_EQ(out[10].normal, (Vec3{0, 1, 0}));
    EXPECT_NEAR(n.measure(0).fraction, n.measure(1).fraction, 1e-15);
    EXPECT_EQ(n.measure(0).normal, (Vec3{0, 1, 0}));
}

TEST(FrontEndModes, FlatnessTestSwitchesToSamplingAtTheFirstDisagreeingPoint) {
    struct Case {
        Vec3 centre;
        double a;
        std::size_t failing;
    };
    const Case cases[] = {
        // Poles along x: P0 and P1 nearest the +y face, P2 outside the +x face.
        {{0.85, 0.97, 0}, 0.3, 2},
        // P0 equally near the +x and +y faces: an ambiguous normal.
        {{0.98, 0.98, 0}, 0.05, 0},
    };
    for (const Case& c : cases) {
        const BoxNeighbourhood n(c.centre, c.a, c.a == 0.3 ? 0.02 : 0.05);
        std::array<InterfacePoint, 11> out;
        std::array<int32_t, 11> cs;
        std::array<uint16_t, 11> cm;
        EXPECT_TRUE(n.evaluate(0, out, cs, cm));
        EXPECT_FALSE(bare(out[c.failing])) << c.failing;
        for (std::size_t k = c.failing + 1; k < 11; ++k) EXPECT_TRUE(bare(out[k])) << k;
        // Vacuum and the box: every candidate is the box.
        for (std::size_t k = 0; k < 11; ++k) EXPECT_EQ(cs[k], 0);
        for (std::size_t k = 0; k < 11; ++k) EXPECT_EQ(cm[k], 7);
        // From there on the measurement is the sampled one.
        const Measurement sampled = n.measure(2);
        const Measurement switched = n.measure(0);
        EXPECT_EQ(switched.fraction, sampled.fraction);
        EXPECT_EQ(switched.normal, sampled.normal);
        EXPECT_GT(sampled.fraction, 0.0);
        EXPECT_LT(sampled.fraction, 1.0);
    }
    const BoxNeighbourhood first(cases[0].centre, cases[0].a, 0.02);
    std::array<InterfacePoint, 11> out;
    std::array<int32_t, 11> cs;
    std::array<uint16_t, 11> cm;
    first.evaluate(0, out, cs, cm);
    EXPECT_EQ(out[1].normal, (Vec3{0, 1, 0}));
    EXPECT_EQ(out[2].normal, (Vec3{1, 0, 0}));
}

// A plane y = 0.02 whose reported normal turns about z by `angle` for points with x > 0: the
// normals of two tested points differ by 2 sin(angle / 2) in Euclidean distance.
class BentNormalPlane final : public Geometry {
public:
    explicit BentNormalPlane(double angle) : Geometry(Transform::identity(), false), angle(angle) {}
    Aabb bounds() const override {
        Aabb box;
        box.include(Vec3{-1e30, -1e30, -1e30});
        box.include(Vec3{1e30, 1e30, 1e30});
        return box;
    }
    bool contains(const Vec3& p, bool, double tol) const override { return p.y - 0.02 <= tol; }
    Vec3 surface_normal(const Vec3& p, double& dist, bool& unique, bool, double) const override {
        dist = p.y - 0.02;
        unique = true;
        return p.x > 0 ? Vec3{std::sin(angle), std::cos(angle), 0} : Vec3{0, 1, 0};
    }
    const double angle;
};

// The flatness limit is 0.1: point 2 (the pole at +x) is the only one whose normal turns; a turn
// of 0.09999 keeps the evaluation analytic, one of 0.10001 switches to sampling from point 2 on.
TEST(FrontEndModes, FlatnessLimitIsANormalDistanceOfOneTenth) {
    for (const double distance : {0.09999, 0.10001}) {
        SCOPED_TRACE(distance);
        const bool beyond = distance > 0.1;
        const auto plane = std::make_shared<BentNormalPlane>(2.0 * std::asin(distance / 2.0));
        SimulationSpec spec;
        spec.structures.push_back(structure(plane, 7));
        std::array<Vec3, 11> points = ex_neighbourhood(0.05, 0.05, 0.05, 0.05, 0.05, 0.05);
        std::array<uint16_t, 11> media;
        std::array<int32_t, 11> structures;
        for (std::size_t k = 0; k < 11; ++k) {
            const bool in = plane->contains(points[k], true, 0.0);
            media[k] = in ? 7 : 65530;
            structures[k] = in ? 0 : -1;
        }
        std::array<InterfacePoint, 11> out;
        std::array<int32_t, 11> cs;
        std::array<uint16_t, 11> cm;
        const FrontEndPoints input{structures, 0, media, points, points};
        EXPECT_EQ(evaluate_front_end_points(spec, 0, *plane, true, input, 7, out, cs, cm), beyond);
        EXPECT_NEAR(length(out[2].normal - Vec3{0, 1, 0}), distance, 1e-12);
        EXPECT_EQ(out[3].normal, (Vec3{0, 1, 0}) * (beyond ? 0.0 : 1.0));
        for (std::size_t k = 3; k < 7; ++k) EXPECT_EQ(bare(out[k]), beyond) << k;
    }
}

TEST(FrontEndModes, SamplingModeAndThreeStructures) {
    BoxNeighbourhood n({0, 0.99, 0}, 0.05, 0.05);
    std::array<InterfacePoint, 11> out;
    std::array<int32_t, 11> cs;
    std::array<uint16_t, 11> cm;
    // Mode 2: every point bare, sampling.
    EXPECT_TRUE(n.evaluate(2, out, cs, cm));
    for (const InterfacePoint& p : out) EXPECT_TRUE(bare(p));
    // A third structure makes mode 0 sample as well, even across a flat face.
    n.spec.structures.push_back(structure(std::make_shared<Box>(Transform::identity(), Vec3{0.5, 0.5, 0.5}), 3));
    n.structures[1] = 1;
    EXPECT_TRUE(n.evaluate(0, out, cs, cm));
    for (const InterfacePoint& p : out) EXPECT_TRUE(bare(p));
    // Unless the shape's sign does not come from its nearest face: then always analytic.
    n.box->sign_from_nearest_face = false;
    EXPECT_FALSE(n.evaluate(0, out, cs, cm));
    EXPECT_EQ(out[0].normal, (Vec3{0, 1, 0}));
}

TEST(FrontEndModes, GeometryIsQueriedAtTheGeometryPoints) {
    SimulationSpec spec;
    const EdgeScheme scheme;
    const HalfSpace plane({1, 0, 0}, 0.0);
    const std::array<Vec3, 3> at = {{{0, 0, 0}, {-1, 0, 0}, {1, 0, 0}}};
    std::array<Vec3, 3> shifted = at;
    for (Vec3& p : shifted) p.x -= 0.5;  // e.g. the periodic image
    const std::array<int32_t, 3> s{0, 0, -1};
    const std::array<uint16_t, 3> m{7, 7, 65530};
    std::array<InterfacePoint, 3> out;
    const double f = measure_edge(scheme, spec, 1, s, 0, m, 0, plane, at, shifted, out);
    EXPECT_EQ(out[1].point, at[1]);
    EXPECT_DOUBLE_EQ(out[0].distance, -0.5);
    EXPECT_DOUBLE_EQ(out[1].distance, -1.5);
    // Segment centre to x = 1: the plane seen by the centre lies at 0.5 along it; the other half
    // edge is inside.
    EXPECT_DOUBLE_EQ(f, (1.0 + 0.5) / 2.0);
}

TEST(FrontEndModes, PlanarSheetInPlaneSelection) {
    SimulationSpec spec;
    Box sheet(Transform::identity(), {1, 1, 0});
    sheet.axis_index = 2;
    sheet.planar = true;
    const Vec3 near_edge{0.9, 0, 0};
    // The edge and volume front-ends measure a sheet in its plane for the in-plane components.
    const EdgeScheme edge;
    const std::array<Vec3, 3> at = {{near_edge, near_edge + Vec3{-0.05, 0, 0}, near_edge + Vec3{0.05, 0, 0}}};
    const std::array<int32_t, 3> s{0, 0, 0};
    const std::array<uint16_t, 3> m{7, 7, 7};
    std::array<InterfacePoint, 3> out;
    measure_edge(edge, spec, 1, s, 0, m, 0, sheet, at, at, out);
    EXPECT_EQ(out[0].normal, (Vec3{1, 0, 0}));
    const std::array<Vec3, 3> above = {{{0.5, 0, 0.01}, {0.5, 0, 0.005}, {0.5, 0, 0.015}}};
    measure_edge(edge, spec, 1, s, 0, m, 2, sheet, above, above, out);
    EXPECT_EQ(out[0].normal, (Vec3{0, 0, 1}));
    // The fine face front-end gets the face's normal axis: in plane when it is the sheet's.
    const FineFaceScheme fine;
    std::array<Vec3, 9> face;
    face.fill(near_edge);
    const std::array<int32_t, 9> s9{};
    std::array<uint16_t, 9> m9;
    m9.fill(7);
    std::array<InterfacePoint, 9> out9;
    face[1].x -= 0.01;  // keep the triangles from collapsing
    face[2].y += 0.01;
    face[3].x += 0.01;
    face[4].y -= 0.01;
    for (int i = 0; i < 4; ++i) face[5 + i] = (face[1 + i] + face[1 + (i + 1) % 4]) * 0.5;
    measure_face_fine(fine, spec, 1, s9, 0, m9, 2, sheet, face, face, out9);
    EXPECT_EQ(out9[0].normal, (Vec3{1, 0, 0}));
}

TEST(FrontEndModes, NormalLosesItsComponentBeyondAClippingPlane) {
    SimulationSpec spec;
    spec.apply_extrusion_bounds[2] = {false, true};
    spec.extrusion_clipping_bounds[2] = {-1.0, 0.5};
    spec.extrusion_bound_tolerance[2] = {1e-6, 1e-6};
    const HalfSpace plane(normalized(Vec3{1, 0, 1}), 0.0);
    const EdgeScheme scheme;
    const std::array<Vec3, 3> at = {{{-0.1, 0, 0.4}, {-0.1, 0, 0.3}, {-0.1, 0, 0.8}}};
    const std::array<int32_t, 3> s{0, 0, 0};
    const std::array<uint16_t, 3> m{7, 7, 7};
    std::array<InterfacePoint, 3> out;
    measure_edge(scheme, spec, 1, s, 0, m, 0, plane, at, at, out);
    EXPECT_NEAR(length(out[0].normal - normalized(Vec3{1, 0, 1})), 0.0, 1e-15);
    EXPECT_EQ(out[2].normal, (Vec3{1, 0, 0}));
}

TEST(FrontEndsDeathTest, BadArguments) {
    const BoxNeighbourhood n({0, 0.99, 0}, 0.05, 0.05);
    std::array<InterfacePoint, 11> out;
    const std::string message = "An internal error has occured";
    EXPECT_EXIT(measure_volume(n.scheme, n.spec, 3, n.structures, 0, n.media, 0, *n.box, n.points, n.points, out),
                ::testing::ExitedWithCode(1), message);
    EXPECT_EXIT(measure_volume(n.scheme, n.spec, 1, n.structures, 11, n.media, 0, *n.box, n.points, n.points, out),
                ::testing::ExitedWithCode(1), message);
    EXPECT_EXIT(measure_volume(n.scheme, n.spec, 1, n.structures, 0, n.media, 3, *n.box, n.points, n.points, out),
                ::testing::ExitedWithCode(1), message);
    std::array<uint16_t, 11> no_medium = n.media;
    no_medium[0] = NONE;
    EXPECT_EXIT(measure_volume(n.scheme, n.spec, 1, n.structures, 0, no_medium, 0, *n.box, n.points, n.points, out),
                ::testing::ExitedWithCode(1), message);
    // Sampling needs every candidate structure in the specification.
    std::array<int32_t, 11> unknown = n.structures;
    for (int32_t& s : unknown)
        if (s == 0) s = 4;
    EXPECT_EXIT(measure_volume(n.scheme, n.spec, 2, unknown, 0, n.media, 0, *n.box, n.points, n.points, out),
                ::testing::ExitedWithCode(1), message);
}

// The cut of a convex polygon in the plane z = 0 by n · x <= c: its area (Sutherland-Hodgman, then
// the shoelace formula).
double cut_area(const std::vector<Vec3>& polygon, const Vec3& n, double c) {
    std::vector<Vec3> kept;
    for (std::size_t i = 0; i < polygon.size(); ++i) {
        const Vec3& p = polygon[i];
        const Vec3& q = polygon[(i + 1) % polygon.size()];
        const double hp = dot(n, p) - c;
        const double hq = dot(n, q) - c;
        if (hp <= 0) kept.push_back(p);
        if ((hp < 0) != (hq < 0) && hp != hq) kept.push_back(p + (q - p) * (hp / (hp - hq)));
    }
    double twice = 0.0;
    for (std::size_t i = 0; i < kept.size(); ++i) {
        const Vec3& p = kept[i];
        const Vec3& q = kept[(i + 1) % kept.size()];
        twice += p.x * q.y - q.x * p.y;
    }
    return std::fabs(twice) / 2.0;
}

// A flat interface through the neighbourhood gives, analytically, the exact share of the region
// the points span and the exact normal, at any orientation and offset.
TEST(FrontEndExactness, FlatInterfaceVolumeAndFace) {
    std::mt19937_64 rng(2024);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    std::uniform_real_distribution<double> size(0.3, 1.5);
    const VolumeScheme volume;
    const FaceScheme face;
    const FineFaceScheme fine_face;
    const SimulationSpec spec;
    int checked = 0;
    for (int trial = 0; trial < 400; ++trial) {
        const Vec3 n = normalized(Vec3{u(rng), u(rng), u(rng)});
        const double a1 = size(rng), a2 = size(rng), b1 = size(rng), b2 = size(rng), c1 = size(rng), c2 = size(rng);
        const Vec3 centre{u(rng), u(rng), u(rng)};
        std::array<Vec3, 11> p = ex_neighbourhood(a1, a2, b1, b2, c1, c2);
        for (Vec3& q : p) q += centre;
        const double c = dot(n, centre) + 0.8 * u(rng);
        const HalfSpace plane(n, c);

        // The double pyramid as four tetrahedra over the ring rectangle.
        const Vec3 tets[4][4] = {{p[1], p[3], p[4], p[5]}, {p[1], p[3], p[5], p[6]},
                                 {p[2], p[3], p[4], p[5]}, {p[2], p[3], p[5], p[6]}};
        bool well_apart = true;
        double inside_volume = 0.0;
        for (const auto& t : tets) {
            well_apart = well_apart && min_gap(t, n) > 0.05;
            inside_volume += cut_volume(t, n, c);
        }
        const double total = (b1 + b2) * (c1 + c2) * (a1 + a2) / 3.0;

        std::array<uint16_t, 11> media;
        std::array<int32_t, 11> structures;
        int measured = -1;
        for (int k = 10; k >= 0; --k) {
            const bool in = dot(n, p[k]) <= c;
            media[k] = in ? 7 : 65530;
            structures[k] = in ? 0 : -1;
            if (in) measured = k;
        }
        if (!well_apart || measured < 0) continue;
        ++checked;
        for (int32_t mode : {0, 1}) {
            std::array<InterfacePoint, 11> out;
            const Measurement m = measure_volume(volume, spec, mode, structures, measured, media, 0, plane, p, p, out);
            EXPECT_NEAR(m.fraction, inside_volume / total, 1e-9) << trial << " mode " << mode;
            EXPECT_NEAR(length(m.normal - n), 0.0, 1e-12) << trial;
        }

        // The face through the Yee position spanned by the poles and two mid-ring points (in the
        // plane z = 0 after moving the centre to the origin).
        const std::array<Vec3, 5> f = {{p[0] - centre, p[1] - centre, p[8] - centre, p[2] - centre, p[10] - centre}};
        const double cf = c - dot(n, centre);
        std::array<uint16_t, 5> fm;
        std::array<int32_t, 5> fs;
        int f_measured = -1;
        for (int k = 4; k >= 0; --k) {
            const bool in = dot(n, f[k]) <= cf;
            fm[k] = in ? 7 : 65530;
            fs[k] = in ? 0 : -1;
            if (in) f_measured = k;
        }
        if (f_measured < 0) continue;
        const HalfSpace face_plane(n, cf);
        const double expected = cut_area({f[1], f[2], f[3], f[4]}, n, cf) / ((a1 + a2) * b2 + (a1 + a2) * b1) * 2.0;
        std::array<InterfacePoint, 5> out;
        const Measurement m = measure_face(face, spec, 1, fs, f_measured, fm, 2, face_plane, f, f, out);
        EXPECT_NEAR(m.fraction, expected, 1e-9) << trial;
        EXPECT_NEAR(length(m.normal - n), 0.0, 1e-12) << trial;

        // The same face with its edge midpoints, as the fine face front-end sees it.
        std::array<Vec3, 9> fine;
        std::array<uint16_t, 9> fine_media;
        std::array<int32_t, 9> fine_structures;
        for (int k = 0; k < 5; ++k) fine[k] = f[k];
        for (int i = 0; i < 4; ++i) fine[5 + i] = (f[1 + i] + f[1 + (i + 1) % 4]) * 0.5;
        for (int k = 0; k < 9; ++k) {
            const bool in = dot(n, fine[k]) <= cf;
            fine_media[k] = in ? 7 : 65530;
            fine_structures[k] = in ? 0 : -1;
        }
        std::array<InterfacePoint, 9> fine_out;
        EXPECT_NEAR(measure_face_fine(fine_face, spec, 1, fine_structures, f_measured, fine_media, 2, face_plane, fine,
                                      fine, fine_out),
                    expected, 1e-9)
            << trial;
    }
    EXPECT_GT(checked, 100);
}

}  // namespace
