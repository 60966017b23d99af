#include "geometry/box.h"

#include <cmath>
#include <numbers>

Box::Box(const Transform& transform, const Vec3& half_size) : Geometry(transform, true), half_size(half_size) {}

Aabb Box::bounds() const { return world_box(-half_size, half_size); }

bool Box::contains(const Vec3& p, bool, double tol) const {
    for (int i = 0; i < 3; ++i) {
        if (!(p[i] >= -tol - half_size[i] && p[i] <= half_size[i] + tol)) return false;
    }
    return true;
}

bool Box::edge_at(const Vec3& p, double tol, double& wedge_angle, int32_t& edge_axis) const {
    if (!contains(p, false, tol)) return false;
    int near_count = 0;
    int far_axis = 0;
    for (int i = 0; i < 3; ++i) {
        if (std::fabs(p[i] - half_size[i]) <= tol || std::fabs(p[i] + half_size[i]) <= tol)
            ++near_count;
        else
            far_axis = i;
    }
    if (near_count != 2) return false;
    edge_axis = far_axis;
    wedge_angle = std::numbers::pi / 2.0;
    return true;
}

bool Box::within_axial_extent(const Vec3& p, double tol) const {
    const int a = axis_index;
    return p[a] >= -tol - half_size[a] && p[a] <= half_size[a] + tol;
}

Vec2 Box::planar_normal(const Vec3& p, double& dist, bool& unique, double tol) const {
    const int a = axis_index;
    const int u = a == 0 ? 1 : 0;
    const int v = a == 2 ? 1 : 2;
    const double du = std::fabs(p[u]) - half_size[u];
    const double dv = std::fabs(p[v]) - half_size[v];
    if (du <= 0.0 && dv <= 0.0) {
        if (tol >= std::fabs(du) - dv) unique = false;
        if (std::fabs(dv) <= std::fabs(du)) {
            dist = dv;
            return {0.0, sign_of(p[v])};
        }
        dist = du;
        return {sign_of(p[u]), 0.0};
    }
    Vec2 n;
    double sq = 0.0;
    if (du > 0.0) {
        n.x = sign_of(p[u]) * du;
        sq += du * du;
    }
    if (dv > 0.0) {
        n.y = sign_of(p[v]) * dv;
        sq += dv * dv;
    }
    dist = std::sqrt(sq);
    return n;
}

Vec3 Box::surface_normal(const Vec3& p, double& dist, bool& unique, bool, double tol) const {
    const Vec3 d{std::fabs(p.x) - half_size.x, std::fabs(p.y) - half_size.y, std::fabs(p.z) - half_size.z};
    if (d.x <= 0.0 && d.y <= 0.0 && d.z <= 0.0) {
        int nearest = 0;
        for (int i = 1; i < 3; ++i) {
            if (std::fabs(d[i]) <= std::fabs(d[nearest])) nearest = i;
        }
        for (int j = 0; j < 3; ++j) {
            if (j != nearest && tol >= std::fabs(std::fabs(d[nearest]) - std::fabs(d[j]))) unique = false;
        }
        dist = d[nearest];
        Vec3 n;
        n[nearest] = sign_of(p[nearest]);
        return n;
    }
    Vec3 n;
    for (int i = 0; i < 3; ++i) {
        if (d[i] > 0.0) n[i] = sign_of(p[i]) * d[i];
    }
    dist = length(n);
    return n;
}
