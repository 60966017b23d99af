#include <cmath>
#include <memory>
#include <numbers>
#include <random>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "geometry/box.h"
#include "geometry/clip_operation.h"
#include "geometry/geometry_group.h"
#include "geometry/sphere.h"
#include "geometry/transform.h"

namespace {

constexpr double PI_2 = std::numbers::pi / 2.0;

std::shared_ptr<Geometry> make_box(const Vec3& centre, const Vec3& half) {
    return std::make_shared<Box>(Transform::translation(centre), half);
}

std::shared_ptr<Geometry> cube(const Vec3& centre, double half = 1.0) { return make_box(centre, {half, half, half}); }

// A shape whose answers depend on slices along a given axis; records how it was asked.
class SlicedProbe final : public Geometry {
public:
    explicit SlicedProbe(int32_t axis) : Geometry(Transform::identity(), false) { axis_index = axis; }
    Aabb bounds() const override {
        Aabb b;
        b.include(Vec3{-1.0, -1.0, -1.0});
        b.include(Vec3{1.0, 1.0, 1.0});
        return b;
    }
    bool contains(const Vec3&, bool exact, double) const override {
        last_exact = exact;
        return exact;
    }
    Vec3 surface_normal(const Vec3&, double& dist, bool&, bool, double) const override {
        dist = 0.0;
        return {};
    }
    bool uses_slices() const override { return true; }
    void prepare_slice(const Vec3& p) override { prepared.push_back(p); }

    mutable bool last_exact = false;
    std::vector<Vec3> prepared;
};

Vec3 world_normal_of(const Geometry& g, const Vec3& p, double& dist, bool& unique) {
    unique = true;
    return g.surface_normal(p, dist, unique, false, 1e-6);
}

}  // namespace

TEST(GeometryClipOperation, ContainsPerOperation) {
    const auto a = cube({0.0, 0.0, 0.0});
    const auto b = cube({1.5, 0.0, 0.0});
    const Vec3 only_a{-0.5, 0.0, 0.0}, both{0.75, 0.0, 0.0}, only_b{2.0, 0.0, 0.0}, none{5.0, 0.0, 0.0};
    const ClipOperation u(a, b, CLIP_UNION), i(a, b, CLIP_INTERSECTION), d(a, b, CLIP_DIFFERENCE),
        x(a, b, CLIP_SYMMETRIC_DIFFERENCE), bad(a, b, 9);
    for (const Vec3& p : {only_a, both, only_b, none}) {
        const bool in_a = p.x <= 1.0 && p.x >= -1.0;
        const bool in_b = p.x >= 0.5 && p.x <= 2.5;
        EXPECT_EQ(u.contains(p, true, 0.0), in_a || in_b);
        EXPECT_EQ(i.contains(p, true, 0.0), in_a && in_b);
        EXPECT_EQ(d.contains(p, true, 0.0), in_a && !in_b);
        EXPECT_EQ(x.contains(p, true, 0.0), in_a != in_b);
        EXPECT_FALSE(bad.contains(p, true, 0.0));
    }
    double dist = 7.0;
    bool unique = true;
    EXPECT_EQ(bad.surface_normal(both, dist, unique, false, 1e-6), (Vec3{0.0, 0.0, 0.0}));
}

TEST(GeometryClipOperation, BoundsPerOperation) {
    const auto a = cube({0.0, 0.0, 0.0});
    const auto b = cube({1.5, 0.0, 0.0});
    EXPECT_EQ(ClipOperation(a, b, CLIP_UNION).cached_bounds().max.x, 2.5);
    EXPECT_EQ(ClipOperation(a, b, CLIP_SYMMETRIC_DIFFERENCE).cached_bounds().min.x, -1.0);
    const Aabb in = ClipOperation(a, b, CLIP_INTERSECTION).cached_bounds();
    EXPECT_EQ(in.min.x, 0.5);
    EXPECT_EQ(in.max.x, 1.0);
    const Aabb diff = ClipOperation(a, b, CLIP_DIFFERENCE).cached_bounds();
    EXPECT_EQ(diff.min.x, -1.0);
    EXPECT_EQ(diff.max.x, 1.0);
}

TEST(GeometryClipOperation, DifferenceWithFarOperandKeepsFirstAnswers) {
    const auto a = std::make_shared<Sphere>(Transform::identity(), 1.0);
    const auto b = cube({10.0, 0.0, 0.0});
    const ClipOperation d(a, b, CLIP_DIFFERENCE);
    for (const Vec3& p : {Vec3{0.5, 0.0, 0.0}, Vec3{0.0, 0.9, 0.1}, Vec3{1.5, 0.0, 0.0}}) {
        EXPECT_EQ(d.contains(p, true, 0.0), a->contains(p, true, 0.0));
        double dd = 0.0, da = 0.0;
        bool ud = true, ua = true;
        const Vec3 nd = world_normal_of(d, p, dd, ud);
        const Vec3 na = normalized(a->surface_normal(p, da, ua, false, 1e-6));
        EXPECT_EQ(nd, na);
        EXPECT_EQ(dd, da);
        EXPECT_EQ(ud, ua);
    }
}

TEST(GeometryClipOperation, NormalSelection) {
    const auto a = cube({0.0, 0.0, 0.0});
    const auto b = cube({1.5, 0.0, 0.0});
    double dist = 0.0;
    bool unique = true;
    // Union, equidistant from both (x = 0.75 is 0.25 inside a's +x face and b's -x face): b wins.
    const ClipOperation u(a, b, CLIP_UNION);
    Vec3 n = world_normal_of(u, {0.75, 0.0, 0.0}, dist, unique);
    EXPECT_EQ(n, (Vec3{-1.0, 0.0, 0.0}));
    EXPECT_DOUBLE_EQ(dist, -0.25);
    // Union deep in a: the smaller distance (a's, farther inside) is taken.
    n = world_normal_of(u, {-0.5, 0.0, 0.0}, dist, unique);
    EXPECT_EQ(n, (Vec3{-1.0, 0.0, 0.0}));
    EXPECT_DOUBLE_EQ(dist, -0.5);
    // Intersection: the larger distance.
    const ClipOperation i(a, b, CLIP_INTERSECTION);
    n = world_normal_of(i, {0.6, 0.0, 0.0}, dist, unique);
    EXPECT_EQ(n, (Vec3{-1.0, 0.0, 0.0}));  // b's -x face at 0.5 is nearer than a's +x face
    EXPECT_NEAR(dist, -0.1, 1e-15);
    // Difference inside a near b: b's face, reversed.
    const ClipOperation d(a, b, CLIP_DIFFERENCE);
    n = world_normal_of(d, {0.4, 0.0, 0.0}, dist, unique);
    EXPECT_EQ(n, (Vec3{1.0, 0.0, 0.0}));
    EXPECT_NEAR(dist, -0.1, 1e-15);
    // Difference far from b: a's face.
    n = world_normal_of(d, {-0.9, 0.0, 0.0}, dist, unique);
    EXPECT_EQ(n, (Vec3{-1.0, 0.0, 0.0}));
    // Symmetric difference inside both: the nearer surface, pointing out of the overlap.
    const ClipOperation x(a, b, CLIP_SYMMETRIC_DIFFERENCE);
    n = world_normal_of(x, {0.9, 0.0, 0.0}, dist, unique);
    EXPECT_EQ(n, (Vec3{-1.0, 0.0, 0.0}));
    EXPECT_NEAR(dist, 0.1, 1e-15);
}

TEST(GeometryClipOperation, SliceSettings) {
    const auto s0 = std::make_shared<SlicedProbe>(0);
    const auto s1 = std::make_shared<SlicedProbe>(1);
    const auto plain = cube({0.0, 0.0, 0.0});
    plain->axis_index = 2;

    const ClipOperation none(plain, plain, CLIP_UNION);
    EXPECT_FALSE(none.uses_slices());
    EXPECT_EQ(none.axis_index, 2);

    const ClipOperation from_b(plain, s1, CLIP_INTERSECTION);
    EXPECT_TRUE(from_b.uses_slices());
    EXPECT_EQ(from_b.axis_index, 1);
    EXPECT_FALSE(from_b.slice_conflict);

    ClipOperation conflict(s0, s1, CLIP_INTERSECTION);
    EXPECT_TRUE(conflict.slice_conflict);
    EXPECT_FALSE(conflict.uses_slices());
    EXPECT_EQ(conflict.axis_index, 0);
    EXPECT_TRUE(conflict.contains({0.0, 0.0, 0.0}, false, 0.0));
    EXPECT_TRUE(s0->last_exact);
    EXPECT_TRUE(s1->last_exact);

    ClipOperation same(s0, std::make_shared<SlicedProbe>(0), CLIP_UNION);
    EXPECT_TRUE(same.uses_slices());
    EXPECT_FALSE(same.contains({0.0, 0.0, 0.0}, false, 0.0));
    same.prepare_slice({0.0, 0.0, 0.5});
    ASSERT_EQ(s0->prepared.size(), 1u);
    EXPECT_EQ(s0->prepared[0], (Vec3{0.0, 0.0, 0.5}));
}

TEST(GeometryGroup, SliceSettingsAndConflict) {
    const auto s0 = std::make_shared<SlicedProbe>(0);
    const auto s0b = std::make_shared<SlicedProbe>(0);
    const auto s1 = std::make_shared<SlicedProbe>(1);
    const auto plain = cube({0.0, 0.0, 0.0});

    GeometryGroup agree({plain, s0, s0b});
    EXPECT_TRUE(agree.uses_slices());
    EXPECT_EQ(agree.axis_index, 0);
    EXPECT_FALSE(agree.slice_conflict);
    agree.prepare_slice({1.0, 2.0, 3.0});
    EXPECT_EQ(s0->prepared.size(), 1u);
    EXPECT_EQ(s0b->prepared.size(), 1u);

    GeometryGroup conflict({s1, plain, s0});
    EXPECT_TRUE(conflict.slice_conflict);
    EXPECT_FALSE(conflict.uses_slices());
    EXPECT_EQ(conflict.axis_index, 1);
    EXPECT_TRUE(conflict.contains({5.0, 5.0, 5.0}, false, 0.0));  // the probe answers exact
    EXPECT_TRUE(s1->last_exact);

    const GeometryGroup none({plain});
    EXPECT_FALSE(none.uses_slices());
    EXPECT_EQ(none.axis_index, 2);
}

TEST(GeometryGroup, EmptyGroup) {
    const GeometryGroup empty({});
    EXPECT_FALSE(empty.contains({0.0, 0.0, 0.0}, true, 1.0));
    EXPECT_FALSE(empty.cached_bounds().contains({0.0, 0.0, 0.0}, 1.0));
    double dist = 0.0;
    bool unique = false;
    EXPECT_EQ(empty.surface_normal({0.0, 0.0, 0.0}, dist, unique, false, 1e-6), (Vec3{0.0, 0.0, 0.0}));
    EXPECT_EQ(dist, DBL_MAX);
    EXPECT_TRUE(unique);
    EXPECT_FALSE(empty.has_edges);
}

TEST(GeometryGroup, NearestMemberWinsStrictly) {
    const auto a = cube({0.0, 0.0, 0.0});
    const auto b = cube({3.0, 0.0, 0.0});
    const GeometryGroup g({a, b});
    EXPECT_TRUE(g.has_edges);
    double dist = 0.0;
    bool unique = true;
    Vec3 n = world_normal_of(g, {1.4, 0.0, 0.0}, dist, unique);
    EXPECT_EQ(n, (Vec3{1.0, 0.0, 0.0}));
    EXPECT_NEAR(dist, 0.4, 1e-15);
    n = world_normal_of(g, {1.6, 0.0, 0.0}, dist, unique);
    EXPECT_EQ(n, (Vec3{-1.0, 0.0, 0.0}));
    // Equidistant: the first member stays.
    n = world_normal_of(g, {1.5, 0.0, 0.0}, dist, unique);
    EXPECT_EQ(n, (Vec3{1.0, 0.0, 0.0}));
}

TEST(GeometryGroup, PlanarNormalAndAxialExtentFromMembers) {
    auto a = std::make_shared<Box>(Transform::identity(), Vec3{1.0, 1.0, 0.5});
    auto b = std::make_shared<Box>(Transform::identity(), Vec3{3.0, 3.0, 3.0});
    const GeometryGroup g({a, b});
    double dist = 0.0;
    bool unique = true;
    // Both boxes answer with p unchanged; b's side (distance -2.5 at x = 0.5) is farther inside.
    const Vec2 n = g.planar_normal({0.5, 0.0, 0.0}, dist, unique, 1e-6);
    EXPECT_EQ(n, (Vec2{1.0, 0.0}));
    EXPECT_DOUBLE_EQ(dist, -2.5);
    EXPECT_TRUE(g.within_axial_extent({0.0, 0.0, 0.5}, 0.0));
    EXPECT_FALSE(g.within_axial_extent({0.0, 0.0, 1.0}, 0.0));  // first member only
}

// An L of two boxes along z: a floor x in [-1, 3], y in [-2, 0] and an upright x in [1, 3],
// y in [-1, 2] that overlaps into it. At the inner corner line x = 1, y = 0 the floor's top face
// meets the upright's left face, and neither box has an edge there.
std::vector<std::shared_ptr<Geometry>> l_of_boxes(const Vec3& at) {
    return {make_box(at + Vec3{1.0, -1.0, 0.0}, {2.0, 1.0, 5.0}), make_box(at + Vec3{2.0, 0.5, 0.0}, {1.0, 1.5, 5.0})};
}

TEST(GeometryGroup, BoxesMeetingAtRightAnglesFormAnEdge) {
    const auto members = l_of_boxes({0.0, 0.0, 0.0});
    const GeometryGroup g(members);
    double wedge = 0.0;
    int32_t axis = -1;
    const Vec3 corner{1.0, 0.0, 0.5};
    for (const auto& m : members) EXPECT_FALSE(m->edge_at(m->to_local_point(corner), 1e-6, wedge, axis));
    ASSERT_TRUE(g.edge_at(corner, 1e-6, wedge, axis));
    EXPECT_EQ(axis, 2);
    EXPECT_DOUBLE_EQ(wedge, PI_2);
    // On one member's face only: the floor's top face, the upright's left face.
    EXPECT_FALSE(g.edge_at({0.0, 0.0, 0.5}, 1e-6, wedge, axis));
    EXPECT_FALSE(g.edge_at({1.0, 1.0, 0.5}, 1e-6, wedge, axis));
    // A point inside both members, away from the surface.
    EXPECT_FALSE(g.edge_at({2.0, -0.5, 0.5}, 1e-6, wedge, axis));
    // A member's own edge is reported along its world axis.
    ASSERT_TRUE(g.edge_at({-1.0, -2.0, 0.0}, 1e-6, wedge, axis));
    EXPECT_EQ(axis, 2);
    EXPECT_DOUBLE_EQ(wedge, PI_2);
}

TEST(GeometryGroup, FacesOfDifferentMembersFormAnEdgeWhereNeitherHasOne) {
    // At the origin a lies on its +y face and b on its +x face, each away from its own edges.
    const auto a = make_box({0.0, -1.0, 0.0}, {1.0, 1.0, 5.0});
    const auto b = make_box({-1.0, 0.0, 0.0}, {1.0, 1.0, 5.0});
    double wedge = 0.0;
    int32_t axis = -1;
    EXPECT_FALSE(a->edge_at(a->to_local_point({0.0, 0.0, 0.0}), 1e-6, wedge, axis));
    EXPECT_FALSE(b->edge_at(b->to_local_point({0.0, 0.0, 0.0}), 1e-6, wedge, axis));
    const GeometryGroup g({a, b});
    ASSERT_TRUE(g.edge_at({0.0, 0.0, 0.0}, 1e-6, wedge, axis));
    EXPECT_EQ(axis, 2);
    EXPECT_DOUBLE_EQ(wedge, PI_2);
    const ClipOperation u(a, b, CLIP_UNION);
    axis = -1;
    ASSERT_TRUE(u.edge_at({0.0, 0.0, 0.0}, 1e-6, wedge, axis));
    EXPECT_EQ(axis, 2);
}

TEST(GeometryClipOperation, EdgeOfMemberUnderRotation) {
    // A box rotated so that its local x runs along world y: its local edge along x is a world
    // edge along y.
    Matrix4 m{};
    m[0][1] = 1.0;
    m[1][0] = -1.0;
    m[2][2] = 1.0;
    m[3][3] = 1.0;
    const auto rotated = std::make_shared<Box>(Transform::from_to_world(m), Vec3{3.0, 1.0, 1.0});
    const auto far = cube({50.0, 0.0, 0.0});
    const ClipOperation u(rotated, far, CLIP_UNION);
    double wedge = 0.0;
    int32_t axis = -1;
    ASSERT_TRUE(u.edge_at({1.0, 0.5, 1.0}, 1e-6, wedge, axis));
    EXPECT_EQ(axis, 1);
    EXPECT_DOUBLE_EQ(wedge, PI_2);
    rotated->planar = true;
    ASSERT_TRUE(u.edge_at({1.0, 0.5, 1.0}, 1e-6, wedge, axis));
    EXPECT_EQ(wedge, 0.0);
}

namespace {

// n x n x 1 cubes of side 1 spaced 2 apart.
std::vector<std::shared_ptr<Geometry>> grid_of_cubes(int count) {
    std::vector<std::shared_ptr<Geometry>> members;
    for (int i = 0; i < count; ++i) members.push_back(cube({2.0 * (i % 7), 2.0 * (i / 7), 0.0}, 0.5));
    return members;
}

}  // namespace

TEST(GeometryGroup, TreeOnlyAboveTwentyMembersWithSameAnswers) {
    const GeometryGroup twenty(grid_of_cubes(20));
    EXPECT_EQ(twenty.group_tree, nullptr);
    const auto members = grid_of_cubes(21);
    const GeometryGroup tree(members);
    ASSERT_NE(tree.group_tree, nullptr);
    EXPECT_GT(tree.group_tree->nodes().size(), 1u);

    // A copy without a tree: the same members walked in order.
    std::vector<std::shared_ptr<Geometry>> first20(members.begin(), members.begin() + 20);
    const GeometryGroup flat20(first20);
    const GeometryGroup last(std::vector<std::shared_ptr<Geometry>>{members[20]});

    std::mt19937 rng(7);
    std::uniform_real_distribution<double> ux(-1.0, 13.5), uy(-1.0, 7.0), uz(-1.0, 1.0);
    for (int k = 0; k < 3000; ++k) {
        const Vec3 p{ux(rng), uy(rng), uz(rng)};
        const bool expected = flat20.contains(p, true, 1e-6) || last.contains(p, true, 1e-6);
        ASSERT_EQ(tree.contains(p, true, 1e-6), expected) << p.x << " " << p.y << " " << p.z;

        double dt = 0.0, d1 = 0.0, d2 = 0.0;
        bool ut = true, u1 = true, u2 = true;
        tree.surface_normal(p, dt, ut, false, 1e-6);
        flat20.surface_normal(p, d1, u1, false, 1e-6);
        last.surface_normal(p, d2, u2, false, 1e-6);
        ASSERT_EQ(dt, std::min(d1, d2));
    }
}

TEST(GeometryGroup, TreeEdgeSearchAndBounds) {
    auto members = grid_of_cubes(30);
    // Two extra boxes meeting at right angles along z at (100, 0), neither with an edge there.
    for (const auto& m : l_of_boxes({99.0, 0.0, 0.0})) members.push_back(m);
    const GeometryGroup g(members);
    ASSERT_NE(g.group_tree, nullptr);
    EXPECT_EQ(g.cached_bounds().max.x, 102.0);
    double wedge = 0.0;
    int32_t axis = -1;
    ASSERT_TRUE(g.edge_at({100.0, 0.0, 0.5}, 1e-6, wedge, axis));
    EXPECT_EQ(axis, 2);
    EXPECT_DOUBLE_EQ(wedge, PI_2);
    // A point on the floor's top face only, and one on the upright's left face only.
    EXPECT_FALSE(g.edge_at({99.5, 0.0, 0.5}, 1e-6, wedge, axis));
    EXPECT_FALSE(g.edge_at({100.0, 1.0, 0.5}, 1e-6, wedge, axis));
    // A cube's own edge found through the tree.
    ASSERT_TRUE(g.edge_at({2.5, 2.5, 0.0}, 1e-6, wedge, axis));
    EXPECT_EQ(axis, 2);
}

TEST(GeometryGroup, CoincidentMembersDoNotRecurseForever) {
    std::vector<std::shared_ptr<Geometry>> members;
    for (int i = 0; i < 40; ++i) members.push_back(cube({0.0, 0.0, 0.0}));
    const GeometryGroup g(members);
    ASSERT_NE(g.group_tree, nullptr);
    EXPECT_EQ(g.group_tree->nodes().size(), 1u);
    EXPECT_TRUE(g.contains({0.5, 0.5, 0.5}, true, 0.0));
}

TEST(GeometryGroup, ConcurrentQueriesMatchSerial) {
    const GeometryGroup g(grid_of_cubes(60));
    std::vector<Vec3> points;
    std::mt19937 rng(3);
    std::uniform_real_distribution<double> ux(-1.0, 13.5), uy(-1.0, 18.0), uz(-1.0, 1.0);
    for (int k = 0; k < 2000; ++k) points.push_back({ux(rng), uy(rng), uz(rng)});
    std::vector<double> serial(points.size());
    std::vector<char> serial_in(points.size());
    for (size_t k = 0; k < points.size(); ++k) {
        bool u = true;
        g.surface_normal(points[k], serial[k], u, false, 1e-6);
        serial_in[k] = g.contains(points[k], true, 1e-6);
    }
    std::vector<std::thread> threads;
    std::vector<int> mismatches(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (size_t k = 0; k < points.size(); ++k) {
                double d = 0.0;
                bool u = true;
                g.surface_normal(points[k], d, u, false, 1e-6);
                if (d != serial[k] || g.contains(points[k], true, 1e-6) != static_cast<bool>(serial_in[k]))
                    ++mismatches[t];
            }
        });
    }
    for (auto& th : threads) th.join();
    for (int m : mismatches) EXPECT_EQ(m, 0);
}
