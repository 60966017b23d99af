#include <cmath>
#include <numbers>
#include <random>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "geometry/poly_slab.h"
#include "geometry/transform.h"

namespace {

constexpr double PI = std::numbers::pi;

// L shape: a 2x2 square without its upper-right unit square; vertex 3 (1, 1) is reflex.
const std::vector<Vec2> L_SHAPE = {{0, 0}, {2, 0}, {2, 1}, {1, 1}, {1, 2}, {0, 2}};

PolySlab slab(const std::vector<Vec2>& vertices, const std::vector<double>& bulges = {}, double dilation = 0.0,
              double height = 1.0) {
    return PolySlab(Transform::identity(), height, vertices, bulges, dilation);
}

}  // namespace

TEST(PolySlab, ConstructionCleansOrientsAndDilates) {
    // Clockwise square with a near-duplicate vertex, dilated by 0.5.
    const PolySlab s = slab({{-1, -1}, {-1, 1}, {-1 + 1e-9, 1}, {1, 1}, {1, -1}}, {}, 0.5);
    ASSERT_EQ(s.polygon().vertices.size(), 4u);
    EXPECT_GT(signed_area(s.polygon().vertices), 0.0);
    for (const Vec2& v : s.polygon().vertices) {
        EXPECT_NEAR(std::fabs(v.x), 1.5, 1e-15);
        EXPECT_NEAR(std::fabs(v.y), 1.5, 1e-15);
    }
    EXPECT_TRUE(s.has_tree());
    EXPECT_TRUE(s.contains({1.45, -1.45, 0.5}, true, 0.0));
    EXPECT_FALSE(s.contains({1.55, 0.0, 0.5}, true, 0.0));
    EXPECT_FALSE(s.contains({0.0, 0.0, 1.01}, true, 0.0));
    EXPECT_TRUE(s.contains({0.0, 0.0, 1.01}, true, 0.02));
    const Aabb b = s.cached_bounds();
    EXPECT_EQ(b.min, (Vec3{-1.5, -1.5, 0.0}));
    EXPECT_EQ(b.max, (Vec3{1.5, 1.5, 1.0}));

    const PolySlab arced = slab({{0, 0}, {2, 0}, {2, 2}, {0, 2}}, {0, 0, 1.0});
    EXPECT_TRUE(arced.has_tree());
    EXPECT_TRUE(arced.polygon().has_arcs());
}

TEST(PolySlabDeathTest, DilationWithArcsIsAnInternalError) {
    EXPECT_EXIT(slab({{0, 0}, {2, 0}, {2, 2}, {0, 2}}, {0, 0.3, 0, 0}, 0.1), testing::ExitedWithCode(1),
                "^An internal error has occured\\. Please contact Zentrav support\\.$");
}

TEST(PolySlab, ArcBoundsForBothBulgeSigns) {
    // Top edge (2, 2) -> (0, 2) as a half circle about (1, 2): up to y = 3 outwards, inwards the
    // square's own vertices bound it.
    const PolySlab out = slab({{0, 0}, {2, 0}, {2, 2}, {0, 2}}, {0, 0, 1.0, 0});
    const PolySlab in = slab({{0, 0}, {2, 0}, {2, 2}, {0, 2}}, {0, 0, -1.0, 0});
    EXPECT_NEAR(out.cached_bounds().max.y, 3.0, 1e-12);
    EXPECT_NEAR(in.cached_bounds().max.y, 2.0, 1e-12);
    EXPECT_NEAR(in.cached_bounds().min.y, 0.0, 1e-12);
    // A quarter arc on the right edge (2, 0) -> (2, 2) bulging out reaches x = 2 + r - sagitta.
    const double bulge = std::tan(PI / 8.0);  // a 90° arc
    const PolySlab quarter = slab({{0, 0}, {2, 0}, {2, 2}, {0, 2}}, {0, bulge, 0, 0});
    const double r = std::sqrt(2.0);
    EXPECT_NEAR(quarter.cached_bounds().max.x, 1.0 + r, 1e-12);

    EXPECT_TRUE(out.contains({1.0, 2.9, 0.5}, true, 0.0));
    EXPECT_FALSE(in.contains({1.0, 1.5, 0.5}, true, 0.0));
    double dist = 0.0;
    bool unique = true;
    const Vec2 n = out.planar_normal({1.0, 3.5, 0.3}, dist, unique, 1e-6);
    EXPECT_NEAR(dist, 0.5, 1e-12);
    EXPECT_GT(n.y, 0.0);

    // An empty polygon: nothing inside, bounds only along z.
    const PolySlab empty = slab({});
    EXPECT_FALSE(empty.contains({0, 0, 0.5}, true, 1.0));
    EXPECT_EQ(empty.cached_bounds().min.z, 0.0);
    EXPECT_GT(empty.cached_bounds().min.x, empty.cached_bounds().max.x);
}

TEST(PolySlab, VerticalEdgesAtConvexAndReflexCornersButNotStraightVertices) {
    std::vector<Vec2> with_straight = L_SHAPE;
    with_straight.insert(with_straight.begin() + 1, Vec2{1, 0});  // 180° vertex
    const PolySlab s = slab(with_straight);
    struct Case {
        Vec3 p;
        bool edge;
        double wedge;
    };
    const Case cases[] = {
        {{0, 0, 0.5}, true, PI / 2},          {{2, 1, 0.5}, true, PI / 2},
        {{1, 1, 0.5}, true, 1.5 * PI},        {{1 + 5e-7, 1, 0.5}, true, 1.5 * PI},
        {{1, 0, 0.5}, false, 0.0},            {{0.5, 0, 0.5}, false, 0.0},
        {{1.5, 1.5, 0.5}, false, 0.0},        {{0, 0, 1.5}, false, 0.0},
    };
    for (const Case& c : cases) {
        double wedge = 0.0;
        int32_t axis = -1;
        EXPECT_EQ(s.edge_at(c.p, 1e-6, wedge, axis), c.edge) << c.p.x << ", " << c.p.y << ", " << c.p.z;
        if (c.edge) {
            EXPECT_NEAR(wedge, c.wedge, 1e-12);
            EXPECT_EQ(axis, 2);
        }
    }
    EXPECT_NEAR(s.vertex_angles()[1], PI, 1e-12);
}

TEST(PolySlab, CapEdgesOnlyAlongLocalAxes) {
    // A quadrilateral with a slanted edge from (2, 0) to (3, 2).
    const std::vector<Vec2> v = {{0, 0}, {2, 0}, {3, 2}, {0, 2}};
    for (const std::vector<double>& bulges : {std::vector<double>{}, std::vector<double>{0, 0, 0, 0.2}}) {
        // With a bulge on the left edge the slab has no tree and scans the straight edges.
        const PolySlab s = slab(v, bulges);
        double wedge = 0.0;
        int32_t axis = -1;
        EXPECT_TRUE(s.edge_at({1.0, 0.0, 0.0}, 1e-6, wedge, axis));
        EXPECT_EQ(axis, 0);
        EXPECT_NEAR(wedge, PI / 2, 1e-15);
        EXPECT_TRUE(s.edge_at({1.0, 2.0, 1.0 + 5e-7}, 1e-6, wedge, axis));
        EXPECT_EQ(axis, 0);
        EXPECT_FALSE(s.edge_at({2.5, 1.0, 0.0}, 1e-6, wedge, axis));   // slanted edge
        EXPECT_FALSE(s.edge_at({1.0, 0.0, 0.5}, 1e-6, wedge, axis));   // side face, not a cap
        EXPECT_FALSE(s.edge_at({2.0 - 5e-7, 0.0, 0.0}, 1e-6, wedge, axis));  // within tol of an end
        if (bulges.empty()) {
            EXPECT_TRUE(s.edge_at({0.0, 1.0, 0.0}, 1e-6, wedge, axis));
            EXPECT_EQ(axis, 1);
        } else {
            EXPECT_FALSE(s.edge_at({0.0, 1.0, 0.0}, 1e-6, wedge, axis));  // an arc edge
            // Vertices next to an arc are no vertical edges; the others are.
            EXPECT_FALSE(s.edge_at({0.0, 0.0, 0.5}, 1e-6, wedge, axis));
            EXPECT_TRUE(s.edge_at({2.0, 0.0, 0.5}, 1e-6, wedge, axis));
        }
    }
}

TEST(PolySlab, SurfaceNormalThroughTheExtrusion) {
    const PolySlab s = slab(L_SHAPE, {}, 0.0, 4.0);
    double dist = 0.0;
    bool unique = true;
    // Inside near the reflex corner's vertical face x = 1 (above y = 1).
    Vec3 n = s.surface_normal({0.9, 1.5, 2.0}, dist, unique, false, 1e-6);
    EXPECT_NEAR(dist, -0.1, 1e-12);
    EXPECT_GT(n.x, 0.0);
    EXPECT_NEAR(n.y, 0.0, 1e-12);
    EXPECT_TRUE(unique);
    // Near the top cap.
    n = s.surface_normal({0.5, 0.5, 3.95}, dist, unique, false, 1e-6);
    EXPECT_EQ(n, (Vec3{0, 0, 1}));
    EXPECT_NEAR(dist, -0.05, 1e-12);
    // Outside in the notch, nearest to the face x = 1.
    unique = true;
    s.surface_normal({1.3, 1.4, 2.0}, dist, unique, false, 1e-6);
    EXPECT_NEAR(dist, 0.3, 1e-12);
}

TEST(PolySlab, ManyThreadsGetSingleThreadAnswers) {
    std::vector<Vec2> ring;
    for (int k = 0; k < 200; ++k) {
        const double a = 2 * PI * k / 200;
        const double r = k % 2 ? 0.8 : 1.0;
        ring.push_back({r * std::cos(a), r * std::sin(a)});
    }
    const PolySlab s = slab(ring);
    std::mt19937 rng(3);
    std::uniform_real_distribution<double> u(-1.2, 1.2);
    std::vector<Vec3> points(4000);
    for (Vec3& p : points) p = {u(rng), u(rng), u(rng)};
    auto answer = [&](const Vec3& p) {
        double dist = 0.0;
        bool unique = true;
        const Vec3 n = s.surface_normal(p, dist, unique, false, 1e-6);
        return std::tuple(s.contains(p, false, 1e-6), dist, n, unique);
    };
    std::vector<decltype(answer(points[0]))> expected;
    for (const Vec3& p : points) expected.push_back(answer(p));
    std::vector<std::thread> threads;
    std::vector<int> mismatches(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (std::size_t i = 0; i < points.size(); ++i)
                if (answer(points[i]) != expected[i]) ++mismatches[t];
        });
    }
    for (std::thread& th : threads) th.join();
    for (int m : mismatches) EXPECT_EQ(m, 0);
}
