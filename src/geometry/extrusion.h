#pragma once

#include "geometry/geometry.h"

// A cross-section in the local x-y plane extruded along local z from 0 to `height` (from
// `height` to 0 when height is negative). Subclasses give the cross-section through
// contains_section() and planar_normal(); the section is the same at every height.
class Extrusion : public Geometry {
public:
    Extrusion(const Transform& transform, bool has_edges, double height);

    int32_t axis() const override;
    bool within_axial_extent(const Vec3& p, double tol) const override;
    bool contains(const Vec3& p, bool exact, double tol) const override;
    Vec3 surface_normal(const Vec3& p, double& dist, bool& unique, bool in_plane, double tol) const override;

    // q = (x, y) lies in the cross-section grown by tol.
    virtual bool contains_section(const Vec2& q, double tol) const = 0;

    const double height;
};

// Extrusion along local z between z_min and z_max whose cross-section at height z is the
// reference section (z = 0) shrunk by z·sidewall_tan along its outward normals: a positive
// angle narrows the shape towards +z. Subclasses give contains_section() and planar_normal()
// at the height of the point.
class TaperedExtrusion : public Geometry {
public:
    TaperedExtrusion(const Transform& transform, double sidewall_angle, double z_min, double z_max);

    int32_t axis() const override;
    bool within_axial_extent(const Vec3& p, double tol) const override;
    bool contains(const Vec3& p, bool exact, double tol) const override;
    Vec3 surface_normal(const Vec3& p, double& dist, bool& unique, bool in_plane, double tol) const override;

    // (x, y) lies in the cross-section at height z grown by tol.
    virtual bool contains_section(const Vec3& p, bool exact, double tol) const = 0;

    const double sidewall_angle;
    const double sidewall_tan;
    const double z_min;
    const double z_max;
    const double z_mid;

private:
    // cos(sidewall_angle), which turns an in-plane distance into the distance to the wall.
    const double sidewall_cos_;
};
