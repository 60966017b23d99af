#include "geometry/sphere.h"

Sphere::Sphere(const Transform& transform, double radius) : Geometry(transform, false), radius(radius) {}

Aabb Sphere::bounds() const { return world_box({-radius, -radius, -radius}, {radius, radius, radius}); }

bool Sphere::contains(const Vec3& p, bool, double tol) const {
    const double r = radius + tol;
    return r * r >= dot(p, p);
}

Vec3 Sphere::surface_normal(const Vec3& p, double& dist, bool& unique, bool, double tol) const {
    const double len = length(p);
    dist = len - radius;
    if (tol >= len) unique = false;
    return p;
}
