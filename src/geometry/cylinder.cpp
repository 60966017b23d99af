#include "geometry/cylinder.h"

#include <algorithm>
#include <cmath>

#include "common/internal_error.h"

Cylinder::Cylinder(const Transform& transform, double radius, double height)
    : Extrusion(transform, false, height), radius(radius) {}

Aabb Cylinder::bounds() const {
    return world_box({-radius, -radius, std::min(0.0, height)}, {radius, radius, std::max(0.0, height)});
}

bool Cylinder::contains_section(const Vec2& q, double tol) const {
    const double r = radius + tol;
    return r * r >= q.x * q.x + q.y * q.y;
}

Vec2 Cylinder::planar_normal(const Vec3& p, double& dist, bool& unique, double tol) const {
    const double rho = std::sqrt(p.x * p.x + p.y * p.y);
    dist = rho - radius;
    if (tol >= rho) unique = false;
    return {p.x, p.y};
}

ZRange tapered_z_range(ReferencePlane plane, double height) {
    switch (plane) {
        case ReferencePlane::Middle: return {-height / 2.0, height / 2.0};
        case ReferencePlane::Bottom: return {0.0, height};
        case ReferencePlane::Top: return {-height, 0.0};
    }
    internal_error();
}

TaperedCylinder::TaperedCylinder(const Transform& transform, double reference_radius, double height,
                                 double sidewall_angle, ReferencePlane reference_plane)
    : TaperedExtrusion(transform, sidewall_angle, tapered_z_range(reference_plane, height).min,
                       tapered_z_range(reference_plane, height).max),
      height(height),
      reference_plane(reference_plane),
      reference_radius(reference_radius) {}

Aabb TaperedCylinder::bounds() const {
    double b = reference_radius;
    switch (reference_plane) {
        case ReferencePlane::Middle: b = reference_radius + std::fabs(sidewall_tan) * height / 2.0; break;
        case ReferencePlane::Bottom:
            if (sidewall_tan < 0.0) b = reference_radius - sidewall_tan * height;
            break;
        case ReferencePlane::Top:
            if (sidewall_tan > 0.0) b = reference_radius + sidewall_tan * height;
            break;
        default: internal_error();
    }
    return world_box({-b, -b, std::min(z_min, z_max)}, {b, b, std::max(z_min, z_max)});
}

bool TaperedCylinder::contains_section(const Vec3& p, bool, double tol) const {
    const double r = tol + reference_radius - p.z * sidewall_tan;
    if (!(r >= 0.0)) return false;
    return p.x * p.x + p.y * p.y <= r * r;
}

Vec2 TaperedCylinder::planar_normal(const Vec3& p, double& dist, bool& unique, double tol) const {
    const double rho = std::sqrt(p.x * p.x + p.y * p.y);
    dist = rho - radius_at(p.z);
    if (tol >= rho) unique = false;
    return {p.x, p.y};
}
