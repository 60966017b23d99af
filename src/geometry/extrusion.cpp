#include "geometry/extrusion.h"

#include <cmath>

Extrusion::Extrusion(const Transform& transform, bool has_edges, double height)
    : Geometry(transform, has_edges), height(height) {}

int32_t Extrusion::axis() const { return 2; }

bool Extrusion::within_axial_extent(const Vec3& p, double tol) const {
    if (height > 0.0) return -tol <= p.z && p.z <= height + tol;
    return height - tol <= p.z && p.z <= tol;
}

bool Extrusion::contains(const Vec3& p, bool, double tol) const {
    return within_axial_extent(p, tol) && contains_section({p.x, p.y}, tol);
}

Vec3 Extrusion::surface_normal(const Vec3& p, double& dist, bool& unique, bool, double tol) const {
    const double h = height;
    const double dz = std::fabs(p.z - h / 2.0) - h / 2.0;
    const double s = sign_of(p.z - h / 2.0);
    dist = dz;
    const double t = h == 0.0 ? 0.0 : p.z / h;

    double d2 = 0.0;
    const Vec2 in_plane_normal = planar_normal({p.x, p.y, 0.0}, d2, unique, tol);
    if (unique && tol >= std::fabs(std::fabs(dz) - std::fabs(d2))) unique = false;
    const Vec3 n = normalized({in_plane_normal.x, in_plane_normal.y, 0.0});

    if (d2 <= 0.0) {
        if (t >= 1.0 || t <= 0.0 || std::fabs(d2) >= std::fabs(dz)) return {0.0, 0.0, s};
        dist = d2;
        return {h * n.x, h * n.y, 0.0};
    }
    if (t >= 0.0 && t <= 1.0) {
        dist = d2;
        if (h > 0.0) return {h * n.x, h * n.y, 0.0};
        return {n.x, n.y, 0.0};
    }
    const double c = t > 1.0 ? 1.0 : -1.0;
    dist = std::sqrt(d2 * d2 + dz * dz);
    return {n.x, n.y, c * dz / d2};
}

TaperedExtrusion::TaperedExtrusion(const Transform& transform, double sidewall_angle, double z_min, double z_max)
    : Geometry(transform, false),
      sidewall_angle(sidewall_angle),
      sidewall_tan(std::tan(sidewall_angle)),
      z_min(z_min),
      z_max(z_max),
      z_mid((z_min + z_max) / 2.0),
      sidewall_cos_(std::cos(sidewall_angle)) {}

int32_t TaperedExtrusion::axis() const { return 2; }

bool TaperedExtrusion::within_axial_extent(const Vec3& p, double tol) const {
    return z_min - tol <= p.z && p.z <= z_max + tol;
}

bool TaperedExtrusion::contains(const Vec3& p, bool exact, double tol) const {
    return within_axial_extent(p, tol) && contains_section(p, exact, tol);
}

Vec3 TaperedExtrusion::surface_normal(const Vec3& p, double& dist, bool& unique, bool, double tol) const {
    const double z = p.z;
    const double s = sign_of(z - z_mid);
    const double dz = std::fabs(z_min - z) >= std::fabs(z - z_max) ? z - z_max : z_min - z;
    dist = dz;

    double d2 = 0.0;
    const Vec2 in_plane_normal = planar_normal(p, d2, unique, tol);
    const Vec3 n = normalized({in_plane_normal.x, in_plane_normal.y, 0.0});
    if (z_min < z && z < z_max) d2 *= sidewall_cos_;
    if (unique && tol >= std::fabs(std::fabs(d2) - std::fabs(dz))) unique = false;

    if (d2 <= 0.0) {
        if (z >= z_max || z <= z_min || std::fabs(dz) <= std::fabs(d2)) return {0.0, 0.0, s};
        dist = d2;
        return {n.x, n.y, sidewall_tan};
    }
    if (z_min <= z && z <= z_max) {
        dist = d2;
        return {n.x, n.y, sidewall_tan};
    }
    dist = std::sqrt(d2 * d2 + dz * dz);
    return {n.x, n.y, s * dz / d2};
}
