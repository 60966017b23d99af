#include <cmath>
#include <numbers>

#include <gtest/gtest.h>

#include "geometry/box.h"
#include "geometry/sphere.h"
#include "geometry/transform.h"
#include "subpixel/surface_normal.h"

namespace {

Matrix4 rotation_z_90() {
    Matrix4 m{};
    m[0][1] = 1.0;   // local x -> world y
    m[1][0] = -1.0;  // local y -> world -x
    m[2][2] = 1.0;
    m[3][3] = 1.0;
    return m;
}

}  // namespace

TEST(GeometrySurfaceNormalWorld, RotatedShapeReturnsRotatedNormal) {
    // Box long along local x, rotated so that local x runs along world y.
    const Box box(Transform::from_to_world(rotation_z_90()), {3.0, 1.0, 1.0});
    double dist = 1.0;
    bool unique = false;
    // World point just inside the face that local +x became (world +y).
    const WorldNormal r = surface_normal_world(box, {0.0, 2.9, 0.0}, 1e-6, false, dist, unique);
    EXPECT_NEAR(r.normal.x, 0.0, 1e-15);
    EXPECT_NEAR(r.normal.y, 1.0, 1e-15);
    EXPECT_NEAR(r.normal.z, 0.0, 1e-15);
    EXPECT_NEAR(dist, -0.1, 1e-12);
    EXPECT_TRUE(unique);
    EXPECT_DOUBLE_EQ(r.scale, 1.0);
}

TEST(GeometrySurfaceNormalWorld, UniformScaleDoublesDistance) {
    Matrix4 m{};
    m[0][0] = m[1][1] = m[2][2] = 2.0;
    m[3][3] = 1.0;
    const Sphere sphere(Transform::from_to_world(m), 1.0);  // world radius 2
    double dist = 1.0;
    bool unique = true;
    const WorldNormal r = surface_normal_world(sphere, {3.0, 0.0, 0.0}, 1e-6, false, dist, unique);
    EXPECT_DOUBLE_EQ(dist, 1.0);  // local 0.5, doubled
    EXPECT_DOUBLE_EQ(r.scale, 2.0);
    EXPECT_EQ(r.normal, (Vec3{1.0, 0.0, 0.0}));
}

TEST(GeometrySurfaceNormalWorld, ToleranceScalesIntoLocalFrame) {
    Matrix4 m{};
    m[0][0] = m[1][1] = m[2][2] = 0.5;
    m[3][3] = 1.0;
    const Sphere sphere(Transform::from_to_world(m), 1.0);  // local_scale 2
    double dist = 1.0;
    bool unique = true;
    // |p_local| = 0.3: a world tolerance of 0.1 becomes 0.2 locally, not enough to clear unique;
    // 0.2 becomes 0.4, which is.
    surface_normal_world(sphere, {0.15, 0.0, 0.0}, 0.1, false, dist, unique);
    EXPECT_TRUE(unique);
    surface_normal_world(sphere, {0.15, 0.0, 0.0}, 0.2, false, dist, unique);
    EXPECT_FALSE(unique);
}

TEST(GeometrySurfaceNormalWorld, PlanarSheetUsesInPlaneNormalOnlyInPlane) {
    Box sheet(Transform::identity(), {1.0, 1.0, 0.0});
    sheet.axis_index = 2;
    sheet.planar = true;
    double dist = 1.0;
    bool unique = true;
    // For the z component (in_plane false) the 3D normal: the sheet's face.
    WorldNormal r = surface_normal_world(sheet, {0.5, 0.0, 0.0}, 1e-6, false, dist, unique);
    EXPECT_EQ(r.normal, (Vec3{0.0, 0.0, 0.0}));  // exactly in the sheet: sign of 0
    r = surface_normal_world(sheet, {0.5, 0.0, 1e-7}, 1e-9, false, dist, unique);
    EXPECT_EQ(r.normal, (Vec3{0.0, 0.0, 1.0}));
    // For the x component (in_plane true) within the sheet's z extent: the in-plane normal.
    r = surface_normal_world(sheet, {0.5, 0.0, 0.0}, 1e-6, true, dist, unique);
    EXPECT_EQ(r.normal, (Vec3{1.0, 0.0, 0.0}));
    EXPECT_DOUBLE_EQ(dist, -0.5);
    EXPECT_EQ(r.normal.z, 0.0);
    // Outside the z extent the 3D normal again.
    r = surface_normal_world(sheet, {0.5, 0.0, 0.5}, 1e-6, true, dist, unique);
    EXPECT_EQ(r.normal, (Vec3{0.0, 0.0, 1.0}));
    EXPECT_DOUBLE_EQ(dist, 0.5);
}

TEST(GeometrySurfaceNormalWorld, PlanarNormalComponentsFollowAxis) {
    Box sheet(Transform::identity(), {1.0, 0.0, 2.0});
    sheet.axis_index = 1;
    sheet.planar = true;
    double dist = 1.0;
    bool unique = true;
    // Axis y: u = x, v = z. Nearest in-plane side is z.
    const WorldNormal r = surface_normal_world(sheet, {0.0, 0.0, -1.9}, 1e-6, true, dist, unique);
    EXPECT_EQ(r.normal, (Vec3{0.0, 0.0, -1.0}));
    EXPECT_NEAR(dist, -0.1, 1e-15);
}

TEST(GeometrySurfaceNormalWorld, ZeroNormalStaysZero) {
    const Sphere sphere(Transform::identity(), 1.0);
    double dist = 1.0;
    bool unique = true;
    const WorldNormal r = surface_normal_world(sphere, {0.0, 0.0, 0.0}, 1e-6, false, dist, unique);
    EXPECT_EQ(r.normal, (Vec3{0.0, 0.0, 0.0}));
    EXPECT_EQ(r.scale, 0.0);
    EXPECT_DOUBLE_EQ(dist, -1.0);  // not rescaled when the stretch is below the floor
    EXPECT_FALSE(unique);
}

TEST(GeometrySurfaceNormalWorld, AlignedAxis) {
    EXPECT_EQ(aligned_axis({0.0, -1.0, 0.0}), 1);
    EXPECT_EQ(aligned_axis({1.0 - 4e-7, 0.0, 0.0}), 0);
    EXPECT_EQ(aligned_axis({0.6, 0.8, 0.0}), -1);
    EXPECT_EQ(aligned_axis({0.0, 0.0, 0.0}), -1);
}
