#include <cmath>
#include <memory>
#include <numbers>

#include <gtest/gtest.h>

#include "common/internal_error.h"
#include "geometry/box.h"
#include "geometry/cylinder.h"
#include "geometry/sphere.h"
#include "geometry/transform.h"

namespace {

constexpr double PI_2 = std::numbers::pi / 2.0;

Box unit_box() { return Box(Transform::identity(), {1.0, 2.0, 3.0}); }

}  // namespace

TEST(GeometryBox, BoundsMapCornersThroughTransform) {
    const Box box(Transform::translation({10.0, 20.0, 30.0}), {1.0, 2.0, 3.0});
    const Aabb b = box.cached_bounds();
    EXPECT_EQ(b.min, (Vec3{9.0, 18.0, 27.0}));
    EXPECT_EQ(b.max, (Vec3{11.0, 22.0, 33.0}));
}

TEST(GeometryBox, ContainsWithToleranceAndNan) {
    const Box box = unit_box();
    EXPECT_TRUE(box.contains({1.0, 2.0, 3.0}, true, 0.0));
    EXPECT_FALSE(box.contains({1.1, 0.0, 0.0}, true, 0.0));
    EXPECT_TRUE(box.contains({1.1, 0.0, 0.0}, true, 0.2));
    EXPECT_TRUE(box.contains({-1.1, -2.1, -3.1}, true, 0.2));
    EXPECT_FALSE(box.contains({NAN, 0.0, 0.0}, true, 1.0));
}

TEST(GeometryBox, InsideNormalPicksNearestFaceWithTiesToHigherAxis) {
    const Box cube(Transform::identity(), {1.0, 1.0, 1.0});
    double dist = 0.0;
    bool unique = true;
    // |dx| = |dy| inside: the y face wins.
    Vec3 n = cube.surface_normal({0.5, 0.5, 0.0}, dist, unique, false, 1e-6);
    EXPECT_EQ(n, (Vec3{0.0, 1.0, 0.0}));
    EXPECT_DOUBLE_EQ(dist, -0.5);
    EXPECT_FALSE(unique);
    // |dy| = |dz|: the z face wins.
    unique = true;
    n = cube.surface_normal({0.0, -0.5, -0.5}, dist, unique, false, 1e-6);
    EXPECT_EQ(n, (Vec3{0.0, 0.0, -1.0}));
    EXPECT_FALSE(unique);
    // Clearly nearest to +x: unique kept.
    unique = true;
    n = cube.surface_normal({0.9, 0.1, 0.0}, dist, unique, false, 1e-6);
    EXPECT_EQ(n, (Vec3{1.0, 0.0, 0.0}));
    EXPECT_NEAR(dist, -0.1, 1e-15);
    EXPECT_TRUE(unique);
}

TEST(GeometryBox, OutsideNormalIsVectorFromNearestPoint) {
    const Box cube(Transform::identity(), {1.0, 1.0, 1.0});
    double dist = 0.0;
    bool unique = true;
    const Vec3 n = cube.surface_normal({4.0, -5.0, 0.5}, dist, unique, false, 1e-6);
    EXPECT_EQ(n, (Vec3{3.0, -4.0, 0.0}));
    EXPECT_DOUBLE_EQ(dist, 5.0);
    EXPECT_TRUE(unique);
}

TEST(GeometryBox, EdgeAtTwoFacesButNotAtCorner) {
    const Box box = unit_box();
    double wedge = 0.0;
    int32_t axis = -1;
    EXPECT_TRUE(box.edge_at({1.0, 2.0, 0.0}, 1e-6, wedge, axis));
    EXPECT_DOUBLE_EQ(wedge, PI_2);
    EXPECT_EQ(axis, 2);
    EXPECT_TRUE(box.edge_at({-1.0, 0.5, 3.0 + 5e-7}, 1e-6, wedge, axis));
    EXPECT_EQ(axis, 1);
    EXPECT_FALSE(box.edge_at({1.0, 2.0, 3.0}, 1e-6, wedge, axis));  // corner
    EXPECT_FALSE(box.edge_at({1.0, 0.0, 0.0}, 1e-6, wedge, axis));   // face
    EXPECT_FALSE(box.edge_at({1.0 + 1e-3, 2.0, 0.0}, 1e-6, wedge, axis));  // outside
}

TEST(GeometryBox, AxialExtentAndPlanarNormal) {
    Box box = unit_box();
    box.axis_index = 1;
    EXPECT_TRUE(box.within_axial_extent({100.0, 2.0, 100.0}, 0.0));
    EXPECT_FALSE(box.within_axial_extent({0.0, 2.1, 0.0}, 0.05));
    EXPECT_FALSE(box.within_axial_extent({0.0, NAN, 0.0}, 0.05));

    double dist = 0.0;
    bool unique = true;
    // Axis y: in-plane axes x (u) and z (v). Inside, nearer to x side.
    Vec2 n = box.planar_normal({-0.9, 0.0, 0.0}, dist, unique, 1e-6);
    EXPECT_EQ(n, (Vec2{-1.0, 0.0}));
    EXPECT_NEAR(dist, -0.1, 1e-15);
    EXPECT_TRUE(unique);
    // Inside, equally near: ties go to v.
    n = box.planar_normal({0.5, 0.0, 2.5}, dist, unique, 1e-6);
    EXPECT_EQ(n, (Vec2{0.0, 1.0}));
    EXPECT_DOUBLE_EQ(dist, -0.5);
    // Uniqueness is cleared when tol reaches |du| + |dv|.
    unique = true;
    box.planar_normal({0.5, 0.0, 2.5}, dist, unique, 1.0);
    EXPECT_FALSE(unique);
    // Outside on both axes.
    unique = true;
    n = box.planar_normal({4.0, 0.0, -7.0}, dist, unique, 1e-6);
    EXPECT_EQ(n, (Vec2{3.0, -4.0}));
    EXPECT_DOUBLE_EQ(dist, 5.0);
    EXPECT_TRUE(unique);
}

TEST(GeometrySphere, QueriesInLocalFrame) {
    const Sphere sphere(Transform::translation({1.0, 1.0, 1.0}), 2.0);
    const Aabb b = sphere.cached_bounds();
    EXPECT_EQ(b.min, (Vec3{-1.0, -1.0, -1.0}));
    EXPECT_EQ(b.max, (Vec3{3.0, 3.0, 3.0}));
    EXPECT_TRUE(sphere.contains({2.0, 0.0, 0.0}, false, 0.0));
    EXPECT_FALSE(sphere.contains({2.1, 0.0, 0.0}, false, 0.0));
    EXPECT_TRUE(sphere.contains({2.1, 0.0, 0.0}, false, 0.1));
    EXPECT_FALSE(sphere.has_edges);

    double dist = 0.0;
    bool unique = true;
    const Vec3 n = sphere.surface_normal({0.0, 3.0, 4.0}, dist, unique, false, 1e-6);
    EXPECT_EQ(n, (Vec3{0.0, 3.0, 4.0}));
    EXPECT_DOUBLE_EQ(dist, 3.0);
    EXPECT_TRUE(unique);
}

TEST(GeometrySphere, CentreClearsUnique) {
    const Sphere sphere(Transform::identity(), 2.0);
    double dist = 0.0;
    bool unique = true;
    sphere.surface_normal({0.0, 0.0, 0.0}, dist, unique, false, 1e-6);
    EXPECT_DOUBLE_EQ(dist, -2.0);
    EXPECT_FALSE(unique);
}

TEST(GeometrySphereDeathTest, PlanarQueriesAreInternalErrors) {
    const Sphere sphere(Transform::identity(), 1.0);
    double dist = 0.0;
    bool unique = true;
    EXPECT_EXIT(sphere.planar_normal({0.0, 0.0, 0.0}, dist, unique, 0.0), testing::ExitedWithCode(1),
                "^An internal error has occured\\. Please contact Zentrav support\\.$");
    EXPECT_EXIT(sphere.within_axial_extent({0.0, 0.0, 0.0}, 0.0), testing::ExitedWithCode(1),
                "internal error");
}

TEST(GeometryCylinder, ContainsAndBounds) {
    const Cylinder cyl(Transform::identity(), 1.0, 4.0);
    EXPECT_EQ(cyl.axis(), 2);
    EXPECT_FALSE(cyl.has_edges);
    EXPECT_TRUE(cyl.contains({0.6, 0.8, 0.0}, false, 0.0));
    EXPECT_TRUE(cyl.contains({0.0, 0.0, 4.0}, false, 0.0));
    EXPECT_FALSE(cyl.contains({0.0, 0.0, 4.1}, false, 0.0));
    EXPECT_FALSE(cyl.contains({0.0, 0.0, -0.1}, false, 0.0));
    EXPECT_TRUE(cyl.contains({0.0, 0.0, -0.1}, false, 0.1));
    EXPECT_FALSE(cyl.contains({0.8, 0.8, 1.0}, false, 0.0));
    const Aabb b = cyl.cached_bounds();
    EXPECT_EQ(b.min, (Vec3{-1.0, -1.0, 0.0}));
    EXPECT_EQ(b.max, (Vec3{1.0, 1.0, 4.0}));

    const Cylinder down(Transform::identity(), 1.0, -2.0);
    EXPECT_TRUE(down.contains({0.0, 0.0, -2.0}, false, 0.0));
    EXPECT_FALSE(down.contains({0.0, 0.0, 0.5}, false, 0.0));
    EXPECT_EQ(down.cached_bounds().min.z, -2.0);
    EXPECT_EQ(down.cached_bounds().max.z, 0.0);
}

TEST(GeometryCylinder, SurfaceNormalInside) {
    const Cylinder cyl(Transform::identity(), 1.0, 4.0);
    double dist = 0.0;
    bool unique = true;
    // Nearer the top cap than the side.
    Vec3 n = cyl.surface_normal({0.1, 0.0, 3.9}, dist, unique, false, 1e-6);
    EXPECT_EQ(n, (Vec3{0.0, 0.0, 1.0}));
    EXPECT_NEAR(dist, 3.9 - 4.0, 1e-15);
    EXPECT_TRUE(unique);
    // Nearer the side: the in-plane direction scaled by the height.
    n = cyl.surface_normal({0.9, 0.0, 2.0}, dist, unique, false, 1e-6);
    EXPECT_EQ(n, (Vec3{4.0, 0.0, 0.0}));
    EXPECT_NEAR(dist, -0.1, 1e-15);
    // Exactly at mid-height the cap sign is 0 (the axis point is nearer a cap than the side
    // when the cylinder is wide).
    const Cylinder wide(Transform::identity(), 10.0, 2.0);
    unique = true;
    n = wide.surface_normal({0.0, 0.0, 1.0}, dist, unique, false, 1e-6);
    EXPECT_EQ(n, (Vec3{0.0, 0.0, 0.0}));
    EXPECT_DOUBLE_EQ(dist, -1.0);
    EXPECT_FALSE(unique);  // on the axis the side direction is undefined
}

TEST(GeometryCylinder, SurfaceNormalOutside) {
    const Cylinder cyl(Transform::identity(), 1.0, 4.0);
    double dist = 0.0;
    bool unique = true;
    // Beside the side wall.
    Vec3 n = cyl.surface_normal({0.0, 3.0, 1.0}, dist, unique, false, 1e-6);
    EXPECT_EQ(n, (Vec3{0.0, 4.0, 0.0}));
    EXPECT_DOUBLE_EQ(dist, 2.0);
    // Above the top rim.
    n = cyl.surface_normal({4.0, 0.0, 8.0}, dist, unique, false, 1e-6);
    EXPECT_EQ(n, (Vec3{1.0, 0.0, 4.0 / 3.0}));
    EXPECT_DOUBLE_EQ(dist, 5.0);
    // Below the bottom rim.
    n = cyl.surface_normal({0.0, -4.0, -4.0}, dist, unique, false, 1e-6);
    EXPECT_EQ(n, (Vec3{0.0, -1.0, -4.0 / 3.0}));
    EXPECT_DOUBLE_EQ(dist, 5.0);
    // Above the cap, inside the cross-section.
    n = cyl.surface_normal({0.0, 0.0, 6.0}, dist, unique, false, 1e-6);
    EXPECT_EQ(n, (Vec3{0.0, 0.0, 1.0}));
    EXPECT_DOUBLE_EQ(dist, 2.0);
}

TEST(GeometryCylinder, PlanarNormal) {
    const Cylinder cyl(Transform::identity(), 1.0, 4.0);
    double dist = 0.0;
    bool unique = true;
    const Vec2 n = cyl.planar_normal({3.0, 4.0, 100.0}, dist, unique, 1e-6);
    EXPECT_EQ(n, (Vec2{3.0, 4.0}));
    EXPECT_DOUBLE_EQ(dist, 4.0);
    EXPECT_TRUE(unique);
    cyl.planar_normal({0.0, 0.0, 1.0}, dist, unique, 1e-6);
    EXPECT_FALSE(unique);
    EXPECT_TRUE(cyl.within_axial_extent({50.0, 0.0, 4.0}, 0.0));
    EXPECT_FALSE(cyl.within_axial_extent({0.0, 0.0, 4.5}, 0.1));
}

TEST(GeometryTaperedCylinder, RangesByReferencePlane) {
    const TaperedCylinder middle(Transform::identity(), 1.0, 2.0, 0.1, ReferencePlane::Middle);
    EXPECT_DOUBLE_EQ(middle.z_min, -1.0);
    EXPECT_DOUBLE_EQ(middle.z_max, 1.0);
    EXPECT_DOUBLE_EQ(middle.z_mid, 0.0);
    const TaperedCylinder bottom(Transform::identity(), 1.0, 2.0, 0.1, ReferencePlane::Bottom);
    EXPECT_DOUBLE_EQ(bottom.z_min, 0.0);
    EXPECT_DOUBLE_EQ(bottom.z_max, 2.0);
    EXPECT_DOUBLE_EQ(bottom.z_mid, 1.0);
    const TaperedCylinder top(Transform::identity(), 1.0, 2.0, 0.1, ReferencePlane::Top);
    EXPECT_DOUBLE_EQ(top.z_min, -2.0);
    EXPECT_DOUBLE_EQ(top.z_max, 0.0);
    EXPECT_DOUBLE_EQ(top.z_mid, -1.0);
    EXPECT_EQ(top.axis(), 2);
    EXPECT_FALSE(top.has_edges);
    EXPECT_FALSE(top.uses_slices());
}

TEST(GeometryTaperedCylinder, PositiveAngleNarrowsUpwards) {
    const double angle = 0.3;
    const double t = std::tan(angle);
    const TaperedCylinder cone(Transform::identity(), 1.0, 10.0, angle, ReferencePlane::Bottom);
    // Largest radius at z = 0.
    EXPECT_TRUE(cone.contains({0.999, 0.0, 0.0}, false, 0.0));
    EXPECT_FALSE(cone.contains({0.999, 0.0, 0.5}, false, 0.0));
    EXPECT_TRUE(cone.contains({1.0 - 0.5 * t - 1e-9, 0.0, 0.5}, false, 0.0));
    // Beyond the apex the section is empty, even on the axis.
    const double apex = 1.0 / t;
    EXPECT_FALSE(cone.contains_section({0.0, 0.0, apex + 0.1}, true, 0.0));
    EXPECT_TRUE(cone.contains_section({0.0, 0.0, apex - 0.1}, true, 0.0));
    EXPECT_FALSE(cone.contains_section({0.0, 0.0, NAN}, true, 1.0));
    // Bounds use the widest radius.
    const Aabb b = cone.cached_bounds();
    EXPECT_DOUBLE_EQ(b.max.x, 1.0);
    EXPECT_DOUBLE_EQ(b.min.z, 0.0);
    EXPECT_DOUBLE_EQ(b.max.z, 10.0);

    const TaperedCylinder flare(Transform::identity(), 1.0, 2.0, -angle, ReferencePlane::Bottom);
    EXPECT_DOUBLE_EQ(flare.cached_bounds().max.x, 1.0 + 2.0 * t);
    const TaperedCylinder top(Transform::identity(), 1.0, 2.0, angle, ReferencePlane::Top);
    EXPECT_DOUBLE_EQ(top.cached_bounds().max.x, 1.0 + 2.0 * t);
    const TaperedCylinder mid(Transform::identity(), 1.0, 2.0, -angle, ReferencePlane::Middle);
    EXPECT_DOUBLE_EQ(mid.cached_bounds().max.x, 1.0 + t);
}

TEST(GeometryTaperedCylinder, SurfaceNormal) {
    const double angle = 0.25;
    const double t = std::tan(angle);
    const TaperedCylinder cone(Transform::identity(), 2.0, 2.0, angle, ReferencePlane::Middle);
    double dist = 0.0;
    bool unique = true;
    // Near the slanted wall at z = 0.
    Vec3 n = cone.surface_normal({1.9, 0.0, 0.0}, dist, unique, false, 1e-6);
    EXPECT_DOUBLE_EQ(n.x, 1.0);
    EXPECT_DOUBLE_EQ(n.y, 0.0);
    EXPECT_DOUBLE_EQ(n.z, t);
    EXPECT_NEAR(dist, -0.1 * std::cos(angle), 1e-15);
    EXPECT_TRUE(unique);
    // Near the top cap.
    n = cone.surface_normal({0.5, 0.0, 0.95}, dist, unique, false, 1e-6);
    EXPECT_EQ(n, (Vec3{0.0, 0.0, 1.0}));
    EXPECT_NEAR(dist, -0.05, 1e-15);
    // Outside beside the wall between the caps.
    n = cone.surface_normal({3.0, 0.0, 0.0}, dist, unique, false, 1e-6);
    EXPECT_DOUBLE_EQ(n.z, t);
    EXPECT_NEAR(dist, 1.0 * std::cos(angle), 1e-15);
    // Outside above the top rim: distance combines the in-plane and axial gaps.
    n = cone.surface_normal({3.0, 0.0, 2.0}, dist, unique, false, 1e-6);
    const double d2 = 3.0 - (2.0 - 2.0 * t);  // the section at z = 2
    EXPECT_DOUBLE_EQ(n.x, 1.0);
    EXPECT_DOUBLE_EQ(n.z, 1.0 / d2);
    EXPECT_DOUBLE_EQ(dist, std::sqrt(d2 * d2 + 1.0));
    // Below the bottom inside the section: the cap, facing down.
    n = cone.surface_normal({0.5, 0.0, -1.5}, dist, unique, false, 1e-6);
    EXPECT_EQ(n, (Vec3{0.0, 0.0, -1.0}));
    EXPECT_DOUBLE_EQ(dist, 0.5);
}

TEST(GeometryTaperedCylinder, PlanarNormalFollowsHeight) {
    const double angle = 0.2;
    const TaperedCylinder cone(Transform::identity(), 2.0, 2.0, angle, ReferencePlane::Middle);
    double dist = 0.0;
    bool unique = true;
    const Vec2 n = cone.planar_normal({3.0, 0.0, 1.0}, dist, unique, 1e-6);
    EXPECT_EQ(n, (Vec2{3.0, 0.0}));
    EXPECT_DOUBLE_EQ(dist, 3.0 - (2.0 - std::tan(angle)));
    EXPECT_TRUE(cone.within_axial_extent({0.0, 0.0, 1.0}, 0.0));
    EXPECT_FALSE(cone.within_axial_extent({0.0, 0.0, 1.2}, 0.1));
}

TEST(GeometryCylinderDeathTest, UnknownReferencePlaneIsInternalError) {
    EXPECT_EXIT(TaperedCylinder(Transform::identity(), 1.0, 1.0, 0.1, static_cast<ReferencePlane>(7)),
                testing::ExitedWithCode(1), "internal error");
}
