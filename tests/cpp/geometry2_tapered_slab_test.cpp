#include <cmath>
#include <random>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "geometry/slab_triangulation.h"
#include "geometry/tapered_poly_slab.h"
#include "geometry/transform.h"
#include "geometry/triangle_mesh.h"

namespace {

const std::vector<Vec2> SQUARE = {{-1, -1}, {1, -1}, {1, 1}, {-1, 1}};
const std::vector<Vec2> L_SHAPE = {{0, 0}, {2, 0}, {2, 1}, {1, 1}, {1, 2}, {0, 2}};

TaperedPolySlab tapered(const std::vector<Vec2>& v, double height, double angle, double dilation = 0.0) {
    return TaperedPolySlab(Transform::identity(), v, height, dilation, angle);
}

// Volume enclosed by outward triangles (divergence theorem).
double enclosed_volume(const std::vector<TriangleRecord>& triangles) {
    double v = 0.0;
    for (const TriangleRecord& t : triangles) v += dot(t.a, cross(t.b, t.c)) / 6.0;
    return v;
}

// Volume of a square slab of half-width `half` whose sides move in by z·tan at height z.
double square_frustum_volume(double half, double height, double tan) {
    return 4.0 * (half * half * height + tan * tan * height * height * height / 12.0);
}

}  // namespace

TEST(TaperedPolySlab, SectionsAtBottomTopAndBetween) {
    const double h = 2.0;
    const double angle = 0.1;
    const double t = std::tan(angle);
    const TaperedPolySlab s = tapered(SQUARE, h, angle);
    EXPECT_EQ(s.z_min, -1.0);
    EXPECT_EQ(s.z_max, 1.0);
    for (const Vec2& v : s.bottom().vertices) {
        EXPECT_NEAR(std::fabs(v.x), 1.0 + t * h / 2, 1e-15);
        EXPECT_NEAR(std::fabs(v.y), 1.0 + t * h / 2, 1e-15);
    }
    for (const Vec2& v : s.top().vertices) EXPECT_NEAR(std::fabs(v.x), 1.0 - t * h / 2, 1e-15);
    for (const Vec2& v : s.section_at(0.5).vertices) EXPECT_NEAR(std::fabs(v.y), 1.0 - 0.5 * t, 1e-15);

    struct Case {
        Vec3 p;
        bool inside;
    };
    const Case cases[] = {
        {{1.0 - t - 1e-9, 0.0, 1.0}, true},   {{1.0 - t + 1e-6, 0.0, 1.0}, false},
        {{1.0 + t - 1e-9, 0.3, -1.0}, true},  {{1.0 + t + 1e-6, 0.3, -1.0}, false},
        {{0.99, 0.99, 0.0}, true},            {{0.0, 0.0, 1.0 + 1e-6}, false},
        {{1.0 - 0.5 * t - 1e-9, 0.0, 0.5}, true}, {{1.0 - 0.5 * t + 1e-6, 0.0, 0.5}, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(s.contains(c.p, true, 0.0), c.inside) << c.p.x << ", " << c.p.z;
        EXPECT_EQ(s.contains(c.p, false, 0.0), c.inside) << c.p.x << ", " << c.p.z;
    }
    const Aabb b = s.cached_bounds();
    EXPECT_NEAR(b.max.x, 1.0 + t, 1e-15);
    EXPECT_EQ(b.min.z, -1.0);

    // Dilation moves the middle section out before the slope applies.
    const TaperedPolySlab dilated = tapered(SQUARE, h, angle, 0.5);
    for (const Vec2& v : dilated.middle().vertices) EXPECT_NEAR(std::fabs(v.x), 1.5, 1e-15);
    for (const Vec2& v : dilated.top().vertices) EXPECT_NEAR(std::fabs(v.x), 1.5 - t, 1e-15);
}

TEST(TaperedPolySlab, NormalsFromTheShiftedSectionsAndBelowTheBottom) {
    const double t = std::tan(0.1);
    const TaperedPolySlab s = tapered(SQUARE, 2.0, 0.1);
    double dist = 0.0;
    bool unique = true;
    // Between the caps, convex: the offset nearest-edge query at the point's height.
    Vec2 n = s.planar_normal({1.2, 0.1, 0.5}, dist, unique, 1e-9);
    EXPECT_NEAR(dist, 1.2 - (1.0 - 0.5 * t), 1e-12);
    EXPECT_GT(n.x, 0.0);
    EXPECT_NEAR(n.y, 0.0, 1e-12);
    // Below the bottom the bottom section is used as it is.
    n = s.planar_normal({1.5, 0.1, -3.0}, dist, unique, 1e-9);
    EXPECT_NEAR(dist, 1.5 - (1.0 + t), 1e-12);
    n = s.planar_normal({0.0, 1.5, 3.0}, dist, unique, 1e-9);
    EXPECT_NEAR(dist, 1.5 - (1.0 - t), 1e-12);
    EXPECT_GT(n.y, 0.0);
    // The slanted wall: its normal leans by the sidewall slope and the distance is measured to it.
    unique = true;
    const Vec3 wall = s.surface_normal({0.8, 0.0, 0.0}, dist, unique, false, 1e-9);
    EXPECT_NEAR(dist, -0.2 * std::cos(0.1), 1e-12);
    EXPECT_NEAR(wall.x, 1.0, 1e-12);
    EXPECT_NEAR(wall.z, t, 1e-12);
}

TEST(TaperedPolySlab, ConvexSlabsNeedNoSlicesAndOthersAnswerFromThePreparedSlice) {
    EXPECT_FALSE(tapered(SQUARE, 2.0, 0.2).uses_slices());
    TaperedPolySlab l = tapered(L_SHAPE, 2.0, 0.2);
    ASSERT_TRUE(l.uses_slices());
    EXPECT_FALSE(l.convex());
    const double t = std::tan(0.2);

    // The right side of the lower arm is at x = 2 - z·tan.
    l.prepare_slice({0.0, 0.0, -0.9});
    EXPECT_NEAR(l.slice().vertices[1].x, 2.0 + 0.9 * t, 1e-12);
    const Vec3 p{2.1, 0.5, 0.9};  // outside at its own height, inside the slice at -0.9
    EXPECT_TRUE(l.contains(p, false, 0.0));
    EXPECT_FALSE(l.contains(p, true, 0.0));
    l.prepare_slice({0.0, 0.0, 0.9});
    EXPECT_FALSE(l.contains(p, false, 0.0));
    EXPECT_TRUE(l.contains({1.75, 0.5, 0.9}, false, 0.0));
    EXPECT_TRUE(l.contains({1.75, 0.5, 0.9}, true, 0.0));
    // The notch stays outside, the reflex corner moves with the slope.
    EXPECT_FALSE(l.contains({1.5, 1.5, 0.9}, true, 0.0));
    EXPECT_TRUE(l.contains({1.0, 1.0 - 0.9 * t - 0.01, 0.9}, true, 0.0));

    // Preparing a convex slab changes nothing.
    TaperedPolySlab sq = tapered(SQUARE, 2.0, 0.2);
    sq.prepare_slice({0.0, 0.0, -0.9});
    EXPECT_FALSE(sq.contains({1.0, 0.0, 0.9}, false, 0.0));

    // An empty polygon contains nothing.
    const TaperedPolySlab empty = tapered({}, 2.0, 0.2);
    EXPECT_FALSE(empty.contains({0, 0, 0}, true, 1.0));
    EXPECT_FALSE(empty.contains({0, 0, 0}, false, 1.0));
}

TEST(TaperedPolySlab, ManyThreadsGetSingleThreadAnswers) {
    TaperedPolySlab l = tapered(L_SHAPE, 2.0, 0.2);
    l.prepare_slice({0.0, 0.0, 0.3});
    const TaperedPolySlab sq = tapered(SQUARE, 2.0, -0.15);
    std::mt19937 rng(9);
    std::uniform_real_distribution<double> u(-1.3, 2.3);
    std::vector<Vec3> points(3000);
    for (Vec3& p : points) p = {u(rng), u(rng), u(rng) * 0.6};
    auto answer = [&](const Vec3& p) {
        double d1 = 0.0, d2 = 0.0;
        bool u1 = true, u2 = true;
        const Vec3 n1 = l.surface_normal(p, d1, u1, false, 1e-6);
        const Vec3 n2 = sq.surface_normal(p, d2, u2, false, 1e-6);
        return std::tuple(l.contains(p, false, 1e-6), l.contains(p, true, 1e-6), sq.contains(p, true, 1e-6), d1, d2,
                          n1, n2, u1, u2);
    };
    std::vector<decltype(answer(points[0]))> expected;
    for (const Vec3& p : points) expected.push_back(answer(p));
    std::vector<int> mismatches(4, 0);
    std::vector<std::thread> threads;
    for (int k = 0; k < 4; ++k)
        threads.emplace_back([&, k] {
            for (std::size_t i = 0; i < points.size(); ++i)
                if (answer(points[i]) != expected[i]) ++mismatches[k];
        });
    for (std::thread& th : threads) th.join();
    for (int m : mismatches) EXPECT_EQ(m, 0);
}

TEST(TaperedSlabTriangulation, ClosedOutwardSurfaceWithTheSlabsVolume) {
    struct Case {
        double half;
        double height;
        double angle;
    };
    // Squat, tall (strips along the side walls) and growing-towards-the-top slabs.
    for (const Case& c : {Case{1.0, 2.0, 0.1}, Case{0.5, 10.0, 0.02}, Case{1.0, 1.0, -0.3}}) {
        const std::vector<Vec2> square = {{-c.half, -c.half}, {c.half, -c.half}, {c.half, c.half}, {-c.half, c.half}};
        const std::vector<TriangleRecord> tris = triangulate_slab(square, c.height, 0.0, c.angle);
        EXPECT_NEAR(enclosed_volume(tris), square_frustum_volume(c.half, c.height, std::tan(c.angle)), 1e-9)
            << c.height;
        const TaperedPolySlab reference = tapered(square, c.height, c.angle);
        for (const TriangleRecord& t : tris) {
            ASSERT_FALSE(t.degenerate);
            const Vec3 centroid = (t.a + t.b + t.c) / 3.0;
            EXPECT_FALSE(reference.contains(centroid + t.unit_normal * 1e-3, true, 0.0));
            EXPECT_TRUE(reference.contains(centroid - t.unit_normal * 1e-3, true, 0.0));
        }
        if (c.height == 10.0) EXPECT_GT(tris.size(), 4u * 8u + 4u);  // each wall cut into strips
    }

    // An L shape: the caps cover exactly the L at each height.
    const double t = std::tan(0.1);
    const std::vector<TriangleRecord> l = triangulate_slab(L_SHAPE, 1.0, 0.0, 0.1);
    double top_area = 0.0;
    for (const TriangleRecord& tri : l)
        if (tri.unit_normal.z > 0.999) top_area += length(tri.normal) / 2.0;
    // The L's area at height 0.5: 3 minus the perimeter (8) times the inward shift 0.5·tan, plus
    // the corner corrections (a miter offset keeps the edges straight).
    const double shift = 0.5 * t;
    const double expected = 3.0 - 8.0 * shift + 4.0 * shift * shift;
    EXPECT_NEAR(top_area, expected, 1e-9);
}

TEST(TaperedSlabTriangulation, CollapsedCornersAndCrossingEdges) {
    // A slope that shrinks a triangle's top to its incentre: the top corners collapse into one
    // point and the slab becomes a pyramid over the bottom section (twice the middle one).
    const std::vector<Vec2> triangle = {{0, 0}, {2, 0}, {1, 1.5}};
    const double inradius = 1.5 / (1.0 + std::sqrt(1.0 + 2.25));
    const std::vector<TriangleRecord> tris = triangulate_slab(triangle, 1.0, 0.0, std::atan(2.0 * inradius));
    EXPECT_NEAR(enclosed_volume(tris), 4.0 * 1.5 * 1.0 / 3.0, 1e-9);
    EXPECT_EQ(tris.size(), 3u + 1u);  // one triangle per wall, no top cap
    for (const TriangleRecord& t : tris) EXPECT_FALSE(t.degenerate);

    // Crossing edges cannot be triangulated: the library's error leaves the call.
    const std::vector<Vec2> bow_tie = {{0, 0}, {2, 2}, {2, 0}, {0, 2}};
    EXPECT_THROW(triangulate_slab(bow_tie, 1.0, 0.0, 0.1), std::exception);
}

TEST(TaperedPolySlab, ASectionShrinkingToNothingEndsTheSlabAtItsApex) {
    // The square's sides move in by z·tan(0.9): they meet at the centre at z = 1/tan(0.9), below
    // the top cap at z = 1. A triangle's incentre and a rectangle's short sides do the same.
    const double t = std::tan(0.9);
    const TaperedPolySlab square = tapered(SQUARE, 2.0, 0.9);
    EXPECT_NEAR(square.z_max, 1.0 / t, 1e-12);
    EXPECT_EQ(square.z_min, -1.0);
    EXPECT_NEAR(square.cached_bounds().max.z, 1.0 / t, 1e-12);
    const TaperedPolySlab rectangle = tapered({{-2, -0.5}, {2, -0.5}, {2, 0.5}, {-2, 0.5}}, 2.0, -0.9);
    EXPECT_NEAR(rectangle.z_min, -0.5 / t, 1e-12);
    EXPECT_EQ(rectangle.z_max, 1.0);
    // The right triangle with legs 3 and 4 has inradius 1.
    const TaperedPolySlab triangle = tapered({{0, 0}, {4, 0}, {0, 3}}, 2.0, 0.9);
    EXPECT_NEAR(triangle.z_max, 1.0 / t, 1e-9);

    for (bool exact : {true, false}) {
        const Vec3 below_apex{0.0, 0.0, 0.99 / t};
        const Vec3 above_apex{0.0, 0.0, 1.01 / t};
        EXPECT_TRUE(square.contains(below_apex, exact, 1e-9));
        EXPECT_FALSE(square.contains(above_apex, exact, 1e-9));
        EXPECT_FALSE(square.contains({1.5, 1.5, 0.95}, exact, 1e-9));
    }
    // Above the apex the nearest part of the section is the apex point itself, outside.
    double dist = 0.0;
    bool unique = true;
    square.planar_normal({0.3, 0.4, 0.95}, dist, unique, 1e-9);
    EXPECT_NEAR(dist, 0.5, 1e-9);
}

TEST(TaperedPolySlab, NonConvexSlabsAnswerExactQueriesThroughTheTreeAsTheSectionScanDoes) {
    // A flower of 300 vertices (r = 1 + 0.3·sin(5θ)) with a slope: the exact inside test and
    // the in-plane normal at any height are those of the section at that height, scanned.
    std::vector<Vec2> v;
    for (int k = 0; k < 300; ++k) {
        const double a = 2 * M_PI * k / 300;
        const double r = 1.0 + 0.3 * std::sin(5 * a);
        v.push_back({r * std::cos(a), r * std::sin(a)});
    }
    const TaperedPolySlab s = tapered(v, 2.0, 0.08);
    ASSERT_TRUE(s.uses_slices());
    std::mt19937 rng(12);
    std::uniform_real_distribution<double> coord(-1.5, 1.5), height(-0.99, 0.99);
    for (int i = 0; i < 3000; ++i) {
        const Vec3 p{coord(rng), coord(rng), height(rng)};
        const Polygon section = s.section_at(p.z);
        ASSERT_EQ(s.contains(p, true, 1e-9), point_in_polygon(section, {p.x, p.y}, 1e-9)) << p.x << " " << p.y;
        double d_slab = 0.0, d_scan = 0.0;
        bool u_slab = true, u_scan = true;
        s.planar_normal(p, d_slab, u_slab, 1e-9);
        nearest_edge_normal(section, {p.x, p.y}, d_scan, u_scan, 1e-9);
        ASSERT_NEAR(d_slab, d_scan, 1e-12);
    }
}

TEST(TaperedSlabTriangulation, WallTrianglesGrowLinearlyWithTheVertexCount) {
    // A regular 2000-gon (circumradius 1) of height 1 and angle 0.1: each wall is about 80
    // times as tall as it is wide, which the strip rule alone would cut into some 80 strips.
    const int n = 2000;
    std::vector<Vec2> v;
    for (int k = 0; k < n; ++k) v.push_back({std::cos(2 * M_PI * k / n), std::sin(2 * M_PI * k / n)});
    const double t = std::tan(0.1);
    const std::vector<TriangleRecord> triangles = triangulate_slab(v, 1.0, 0.0, 0.1);
    // At most 2^16 strips over all walls (two triangles each), three triangles per wall
    // besides, and the two caps.
    EXPECT_LE(triangles.size(), std::size_t(2 * 65536 + 3 * n + 2 * n));
    // Still the closed frustum: the section at height z is the 2000-gon of apothem
    // a0 - z·tan, whose area is n·a²·tan(π/n).
    const double a0 = std::cos(M_PI / n);
    const double volume = n * std::tan(M_PI / n) * (a0 * a0 + t * t / 12.0);
    EXPECT_NEAR(enclosed_volume(triangles), volume, 1e-9 * volume);
    for (const TriangleRecord& tr : triangles) EXPECT_FALSE(tr.degenerate);
}
