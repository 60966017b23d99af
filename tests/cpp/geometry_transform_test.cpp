#include <cmath>

#include <gtest/gtest.h>

#include "geometry/aabb.h"
#include "geometry/box.h"
#include "geometry/transform.h"

namespace {

void expect_vec_near(const Vec3& a, const Vec3& b, double eps = 1e-12) {
    EXPECT_NEAR(a.x, b.x, eps);
    EXPECT_NEAR(a.y, b.y, eps);
    EXPECT_NEAR(a.z, b.z, eps);
}

}  // namespace

TEST(GeometryTransform, TranslationRoundTrip) {
    const Transform t = Transform::translation({1.0, -2.0, 3.0});
    EXPECT_EQ(transform_point(t.to_world, {0.0, 0.0, 0.0}), (Vec3{1.0, -2.0, 3.0}));
    EXPECT_EQ(transform_point(t.to_local, {1.0, -2.0, 3.0}), (Vec3{0.0, 0.0, 0.0}));
    // Directions ignore the translation.
    EXPECT_EQ(transform_direction(t.to_world, {0.0, 1.0, 0.0}), (Vec3{0.0, 1.0, 0.0}));
}

TEST(GeometryTransform, AxisPermutationMapsLocalZToAxis) {
    const Transform px = Transform::axis_permutation(0);
    EXPECT_EQ(transform_point(px.to_world, {1.0, 2.0, 3.0}), (Vec3{3.0, 1.0, 2.0}));
    EXPECT_EQ(transform_point(px.to_local, {3.0, 1.0, 2.0}), (Vec3{1.0, 2.0, 3.0}));
    const Transform py = Transform::axis_permutation(1);
    EXPECT_EQ(transform_point(py.to_world, {1.0, 2.0, 3.0}), (Vec3{1.0, 3.0, 2.0}));
    EXPECT_EQ(transform_point(py.to_local, {1.0, 3.0, 2.0}), (Vec3{1.0, 2.0, 3.0}));
    const Transform pz = Transform::axis_permutation(2);
    EXPECT_EQ(transform_point(pz.to_world, {1.0, 2.0, 3.0}), (Vec3{1.0, 2.0, 3.0}));
}

TEST(GeometryTransform, CompositionAppliesFirstThenSecond) {
    // Permute local z to world x, then translate by (10, 0, 0).
    const Transform t = Transform::translation({10.0, 0.0, 0.0}).after(Transform::axis_permutation(0));
    EXPECT_EQ(transform_point(t.to_world, {0.0, 0.0, 1.0}), (Vec3{11.0, 0.0, 0.0}));
    EXPECT_EQ(transform_point(t.to_local, {11.0, 0.0, 0.0}), (Vec3{0.0, 0.0, 1.0}));
}

TEST(GeometryTransform, DivideByW) {
    Matrix4 m = identity_matrix();
    m[3][3] = 2.0;
    EXPECT_EQ(transform_point(m, {2.0, 4.0, 6.0}), (Vec3{1.0, 2.0, 3.0}));
    m[3][3] = NAN;
    EXPECT_TRUE(std::isnan(transform_point(m, {2.0, 4.0, 6.0}).x));
}

TEST(GeometryTransform, InverseNeedsPivoting) {
    // A rotation by 90 degrees about z plus a translation: the first column's leading entry is 0.
    Matrix4 m{};
    m[0][1] = 1.0;
    m[1][0] = -1.0;
    m[2][2] = 2.0;
    m[3] = {5.0, 6.0, 7.0, 1.0};
    const Transform t = Transform::from_to_world(m);
    const Matrix4 product = multiply(t.to_world, t.to_local);
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) EXPECT_NEAR(product[i][j], i == j ? 1.0 : 0.0, 1e-15);
    const Vec3 p{0.3, -0.7, 1.9};
    expect_vec_near(transform_point(t.to_local, transform_point(t.to_world, p)), p);
}

TEST(GeometryTransform, KeepsAxis) {
    Matrix4 rot = identity_matrix();  // rotation about z by 30 degrees
    const double c = std::cos(0.5235987755982988), s = std::sin(0.5235987755982988);
    rot[0][0] = c;
    rot[0][1] = s;
    rot[1][0] = -s;
    rot[1][1] = c;
    const Transform t = Transform::from_to_world(rot);
    EXPECT_TRUE(t.keeps_axis(2));
    EXPECT_FALSE(t.keeps_axis(0));
    EXPECT_FALSE(t.keeps_axis(1));
    EXPECT_TRUE(Transform::identity().keeps_axis(0));
}

TEST(GeometryTransform, LocalScaleIsLargestRowNorm) {
    Matrix4 m = identity_matrix();
    m[0][0] = 2.0;
    m[1][1] = 0.5;
    m[2][2] = 4.0;
    const Box box(Transform::from_to_world(m), {1.0, 1.0, 1.0});
    // to_local scales by 1/2, 2 and 1/4.
    EXPECT_DOUBLE_EQ(box.local_scale, 2.0);
    const Box plain(Transform::translation({3.0, 0.0, 0.0}), {1.0, 1.0, 1.0});
    EXPECT_DOUBLE_EQ(plain.local_scale, 1.0);
}

TEST(GeometryAabb, EmptyUnionIntersectionDistance) {
    const Aabb empty;
    EXPECT_FALSE(empty.contains({0.0, 0.0, 0.0}, 1.0));
    Aabb a;
    a.include(Vec3{0.0, 0.0, 0.0});
    a.include(Vec3{2.0, 2.0, 2.0});
    Aabb b;
    b.include(Vec3{1.0, 1.0, 1.0});
    b.include(Vec3{3.0, 3.0, 3.0});
    const Aabb i = intersection(a, b);
    EXPECT_EQ(i.min, (Vec3{1.0, 1.0, 1.0}));
    EXPECT_EQ(i.max, (Vec3{2.0, 2.0, 2.0}));
    Aabb u = a;
    u.include(b);
    EXPECT_EQ(u.max, (Vec3{3.0, 3.0, 3.0}));
    EXPECT_TRUE(a.contains({2.05, 1.0, 1.0}, 0.1));
    EXPECT_FALSE(a.contains({NAN, 1.0, 1.0}, 0.1));
    EXPECT_DOUBLE_EQ(signed_distance(a, {1.0, 1.0, 1.5}), -0.5);
    EXPECT_DOUBLE_EQ(signed_distance(a, {5.0, 6.0, 1.0}), 5.0);
}
