#pragma once

#include <cstdint>

#include "geometry/extrusion.h"

// A straight circular cylinder: local origin at the centre of the bottom face, axis along
// local z.
class Cylinder final : public Extrusion {
public:
    Cylinder(const Transform& transform, double radius, double height);

    Aabb bounds() const override;
    bool contains_section(const Vec2& q, double tol) const override;
    Vec2 planar_normal(const Vec3& p, double& dist, bool& unique, double tol) const override;

    const double radius;
};

// Where the reference radius of a tapered cylinder is given.
enum class ReferencePlane : int32_t { Top = 0, Middle = 1, Bottom = 2 };

// A cylinder with a nonzero sidewall angle (a cone frustum): local origin on the axis at the
// reference plane, radius r0 - z·tan(angle) at height z.
class TaperedCylinder final : public TaperedExtrusion {
public:
    TaperedCylinder(const Transform& transform, double reference_radius, double height, double sidewall_angle,
                    ReferencePlane reference_plane);

    Aabb bounds() const override;
    bool contains_section(const Vec3& p, bool exact, double tol) const override;
    Vec2 planar_normal(const Vec3& p, double& dist, bool& unique, double tol) const override;

    // Radius of the section at height z.
    double radius_at(double z) const { return reference_radius - z * sidewall_tan; }

    const double height;
    const ReferencePlane reference_plane;
    const double reference_radius;
};

// The local z range [first, second] of a tapered cylinder of the given height and reference
// plane.
struct ZRange {
    double min;
    double max;
};
ZRange tapered_z_range(ReferencePlane plane, double height);
