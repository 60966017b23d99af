#pragma once

#include "geometry/geometry.h"

// A rectangular box centred at the local origin.
class Box final : public Geometry {
public:
    Box(const Transform& transform, const Vec3& half_size);

    Aabb bounds() const override;
    bool contains(const Vec3& p, bool exact, double tol) const override;
    bool edge_at(const Vec3& p, double tol, double& wedge_angle, int32_t& edge_axis) const override;
    bool within_axial_extent(const Vec3& p, double tol) const override;
    Vec2 planar_normal(const Vec3& p, double& dist, bool& unique, double tol) const override;
    Vec3 surface_normal(const Vec3& p, double& dist, bool& unique, bool in_plane, double tol) const override;

    const Vec3 half_size;
};
