#pragma once

#include "geometry/geometry.h"

// A ball centred at the local origin.
class Sphere final : public Geometry {
public:
    Sphere(const Transform& transform, double radius);

    Aabb bounds() const override;
    bool contains(const Vec3& p, bool exact, double tol) const override;
    Vec3 surface_normal(const Vec3& p, double& dist, bool& unique, bool in_plane, double tol) const override;

    const double radius;
};
