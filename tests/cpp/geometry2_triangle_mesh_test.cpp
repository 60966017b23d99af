#include <algorithm>
#include <cmath>
#include <numbers>
#include <random>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "geometry/transform.h"
#include "geometry/triangle_mesh.h"

namespace {

constexpr double PI = std::numbers::pi;

// The 12 outward triangles of the box [-h, h]³ (each face split along one diagonal).
std::vector<TriangleRecord> cube_triangles(double h) {
    std::vector<TriangleRecord> t;
    for (int axis = 0; axis < 3; ++axis) {
        const int u = (axis + 1) % 3;
        const int v = (axis + 2) % 3;
        for (double side : {-1.0, 1.0}) {
            Vec3 c[4];
            const double us[4] = {-1, 1, 1, -1};
            const double vs[4] = {-1, -1, 1, 1};
            for (int k = 0; k < 4; ++k) {
                c[k][axis] = side * h;
                c[k][u] = us[k] * h;
                c[k][v] = vs[k] * h;
            }
            // (u, v) counter-clockwise faces +axis; reverse for the -axis face. The face diagonal
            // c0-c2 is each triangle's edge opposite its first vertex.
            if (side > 0) {
                t.emplace_back(c[1], c[2], c[0]);
                t.emplace_back(c[3], c[0], c[2]);
            } else {
                t.emplace_back(c[1], c[0], c[2]);
                t.emplace_back(c[3], c[2], c[0]);
            }
        }
    }
    return t;
}

// A closed latitude-longitude sphere of radius r with 2·rings·segments triangles (fewer at the
// poles), facing outwards.
std::vector<TriangleRecord> sphere_triangles(double r, int rings, int segments) {
    auto point = [&](int i, int j) {
        const double theta = PI * i / rings;
        const double phi = 2 * PI * j / segments;
        return Vec3{r * std::sin(theta) * std::cos(phi), r * std::sin(theta) * std::sin(phi), r * std::cos(theta)};
    };
    std::vector<TriangleRecord> t;
    for (int i = 0; i < rings; ++i) {
        for (int j = 0; j < segments; ++j) {
            const Vec3 a = point(i, j), b = point(i + 1, j), c = point(i + 1, j + 1), d = point(i, j + 1);
            if (i > 0) t.emplace_back(a, b, d);
            if (i < rings - 1) t.emplace_back(b, c, d);
        }
    }
    return t;
}

double segment_distance(const Vec3& p, const Vec3& a, const Vec3& b) {
    const double t = std::clamp(dot(p - a, b - a) / dot(b - a, b - a), 0.0, 1.0);
    return length(p - (a + (b - a) * t));
}

// Distance from p to a triangle: to its plane when the projection falls inside (same side of
// all three edges), else to the nearest edge.
double brute_distance(const Vec3& p, const TriangleRecord& t) {
    const Vec3 n = cross(t.b - t.a, t.c - t.a);
    const Vec3 proj = p - n * (dot(p - t.a, n) / dot(n, n));
    const bool inside = dot(cross(t.b - t.a, proj - t.a), n) >= 0 && dot(cross(t.c - t.b, proj - t.b), n) >= 0 &&
                        dot(cross(t.a - t.c, proj - t.c), n) >= 0;
    if (inside) return length(p - proj);
    return std::min({segment_distance(p, t.a, t.b), segment_distance(p, t.b, t.c), segment_distance(p, t.c, t.a)});
}

TriangleMesh mesh(std::vector<TriangleRecord> t) { return TriangleMesh(Transform::identity(), std::move(t)); }

}  // namespace

TEST(TriangleMesh, RecordsAndBounds) {
    const TriangleRecord t({0, 0, 0}, {1, 0, 0}, {0, 2, 0});
    EXPECT_EQ(t.normal, (Vec3{0, 0, 2}));
    EXPECT_EQ(t.unit_normal, (Vec3{0, 0, 1}));
    EXPECT_FALSE(t.degenerate);
    EXPECT_LT(t.box_min.x, 0.0);
    EXPECT_GT(t.box_max.y, 2.0);
    const TriangleRecord flat({0, 0, 0}, {1, 1, 1}, {2, 2, 2});
    EXPECT_TRUE(flat.degenerate);
    EXPECT_EQ(flat.unit_normal, (Vec3{}));

    const TriangleMesh cube(Transform::translation({5, 0, 0}), cube_triangles(1.0));
    const Aabb b = cube.cached_bounds();
    EXPECT_NEAR(b.min.x, 4.0, 1e-6);
    EXPECT_LT(b.min.x, 4.0);
    EXPECT_NEAR(b.max.z, 1.0, 1e-6);

    const TriangleMesh empty = mesh({});
    EXPECT_FALSE(empty.contains({0, 0, 0}, true, 1.0));
    EXPECT_GT(empty.cached_bounds().min.x, empty.cached_bounds().max.x);
}

TEST(TriangleMesh, ClosedCubeInsideTest) {
    const TriangleMesh cube = mesh(cube_triangles(1.0));
    struct Case {
        Vec3 p;
        double tol;
        bool inside;
    };
    const Case cases[] = {
        {{0, 0, 0}, 0.0, true},          {{0.99, -0.99, 0.5}, 0.0, true},  {{1.01, 0, 0}, 0.0, false},
        {{5, 5, 5}, 0.0, false},         {{1.0 + 5e-7, 0.3, 0.2}, 1e-6, true},  // within tol of a face
        {{1.0, 1.0, 1.0 + 1e-7}, 1e-6, true},  {{0, 0, -1.0 - 1e-3}, 1e-6, false},
    };
    for (const Case& c : cases)
        for (int repeat = 0; repeat < 20; ++repeat)
            ASSERT_EQ(cube.contains(c.p, true, c.tol), c.inside) << c.p.x << ", " << c.p.y << ", " << c.p.z;
}

TEST(TriangleMesh, RaysThroughEdgesAreRetried) {
    // A huge cube: its face diagonals run through the face centres, and the barycentric band in
    // which a hit counts as near the diagonal is about 0.2 wide. Points half a unit from a face centre
    // send many rays through that band; every answer must still be right.
    const TriangleMesh cube = mesh(cube_triangles(1e6));
    for (int repeat = 0; repeat < 300; ++repeat) {
        ASSERT_TRUE(cube.contains({1e6 - 0.5, 0.0, 0.0}, true, 0.0)) << repeat;
        ASSERT_FALSE(cube.contains({1e6 + 0.5, 0.0, 0.0}, true, 0.0)) << repeat;
    }
}

TEST(TriangleMesh, NearestTriangleMatchesBruteForce) {
    const std::vector<TriangleRecord> tris = sphere_triangles(1.0, 24, 32);
    const TriangleMesh sphere = mesh(tris);
    ASSERT_GT(sphere.nodes().size(), 8u);
    std::mt19937 rng(11);
    std::uniform_real_distribution<double> u(-1.6, 1.6);
    for (int i = 0; i < 1000; ++i) {
        const Vec3 p{u(rng), u(rng), u(rng)};
        double best = 1e300;
        for (const TriangleRecord& t : tris) best = std::min(best, brute_distance(p, t));
        double dist = 0.0;
        Vec3 nearest;
        const int64_t index = sphere.nearest_triangle(p, dist, nearest);
        ASSERT_GE(index, 0);
        ASSERT_NEAR(dist, best, 1e-12) << i;
        EXPECT_NEAR(length(nearest - p), dist, 1e-12);

        bool unique = true;
        double signed_dist = 0.0;
        const Vec3 n = sphere.surface_normal(p, signed_dist, unique, false, 1e-9);
        EXPECT_NEAR(std::fabs(signed_dist), dist, 1e-12);
        EXPECT_NEAR(length(n), 1.0, 1e-12);
        // Away from the surface the sign from the nearest face agrees with the radius.
        if (std::fabs(length(p) - 1.0) > 0.05) EXPECT_EQ(signed_dist < 0.0, length(p) < 1.0) << i;
    }
}

TEST(TriangleMesh, SignFromNearestFaceBelowTheLimitAndFromRaysAbove) {
    const TriangleMesh cube = mesh(cube_triangles(1.0));
    ASSERT_TRUE(cube.sign_from_nearest_face);
    double dist = 0.0;
    bool unique = true;
    Vec3 n = cube.surface_normal({0.999, 0.1, 0.2}, dist, unique, false, 1e-6);
    EXPECT_NEAR(dist, -0.001, 1e-12);
    EXPECT_EQ(n, (Vec3{1, 0, 0}));
    n = cube.surface_normal({0.1, 0.2, -1.5}, dist, unique, false, 1e-6);
    EXPECT_NEAR(dist, 0.5, 1e-12);
    EXPECT_EQ(n, (Vec3{0, 0, -1}));

    const TriangleMesh fine = mesh(sphere_triangles(1.0, 160, 160));
    ASSERT_GE(fine.triangles().size(), TriangleMesh::NEAREST_FACE_SIGN_LIMIT);
    EXPECT_FALSE(fine.sign_from_nearest_face);
    fine.surface_normal({0.2, 0.1, 0.3}, dist, unique, false, 1e-6);
    EXPECT_LT(dist, 0.0);
    fine.surface_normal({0.2, 0.1, 1.3}, dist, unique, false, 1e-6);
    EXPECT_GT(dist, 0.0);
    EXPECT_TRUE(fine.contains({0.0, 0.0, 0.99}, true, 0.0));
    EXPECT_FALSE(fine.contains({0.0, 0.0, 1.01}, true, 0.0));
}

TEST(TriangleMesh, DegenerateAndInseparableTriangles) {
    // A closed cube plus a degenerate triangle inside it: it never counts as a crossing.
    std::vector<TriangleRecord> t = cube_triangles(1.0);
    t.emplace_back(Vec3{0.5, 0, 0}, Vec3{0.5, 0, 0}, Vec3{0.5, 0, 0});
    const TriangleMesh with_degenerate = mesh(t);
    EXPECT_TRUE(with_degenerate.contains({0.1, 0.0, 0.0}, true, 0.0));
    EXPECT_TRUE(with_degenerate.contains({0.5, 0.0, 0.0}, true, 0.0));  // on it
    double dist = 0.0;
    bool unique = true;
    const Vec3 n = with_degenerate.surface_normal({0.5, 0.0, 1e-3}, dist, unique, false, 1e-6);
    EXPECT_EQ(n, (Vec3{}));
    EXPECT_NEAR(dist, -1e-3, 1e-15);

    // Many copies of one triangle share a centroid: the octree stops splitting them.
    std::vector<TriangleRecord> copies(100, TriangleRecord({0, 0, 0}, {1, 0, 0}, {0, 1, 0}));
    const TriangleMesh stacked = mesh(copies);
    EXPECT_EQ(stacked.nodes().size(), 1u);
    EXPECT_TRUE(stacked.contains({0.2, 0.2, 0.0}, true, 0.0));
}

TEST(TriangleMesh, ManyThreadsGetSingleThreadAnswersAwayFromTheSurface) {
    const TriangleMesh sphere = mesh(sphere_triangles(1.0, 30, 40));
    std::mt19937 rng(5);
    std::uniform_real_distribution<double> u(-1.3, 1.3);
    std::vector<Vec3> points;
    while (points.size() < 3000) {
        const Vec3 p{u(rng), u(rng), u(rng)};
        double dist = 0.0;
        Vec3 q;
        sphere.nearest_triangle(p, dist, q);
        if (dist > 1e-3) points.push_back(p);
    }
    std::vector<char> expected;
    for (const Vec3& p : points) expected.push_back(sphere.contains(p, true, 1e-6));
    std::vector<int> mismatches(4, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (std::size_t i = 0; i < points.size(); ++i) {
                double dist = 0.0;
                bool unique = true;
                sphere.surface_normal(points[i], dist, unique, false, 1e-6);
                if (sphere.contains(points[i], true, 1e-6) != static_cast<bool>(expected[i])) ++mismatches[t];
            }
        });
    for (std::thread& th : threads) th.join();
    for (int m : mismatches) EXPECT_EQ(m, 0);
}
