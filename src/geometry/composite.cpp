#include "geometry/composite.h"

#include <cmath>
#include <numbers>

#include "common/tolerance.h"
#include "subpixel/surface_normal.h"

bool member_contains(const Geometry& member, const Vec3& p, bool exact, double tol) {
    return member.contains(member.to_local_point(p), exact, tol * member.local_scale);
}

bool on_surface(const Geometry& composite, const Vec3& p, double tol) {
    double dist = 0.0;
    bool unique = true;
    composite.surface_normal(p, dist, unique, false, tol);
    return !(std::fabs(dist) > tol);
}

MemberNormal member_normal(const Geometry& member, const Vec3& p, bool in_plane, double tol) {
    MemberNormal r;
    r.normal = surface_normal_world(member, p, tol, in_plane, r.dist, r.unique).normal;
    return r;
}

CompositeEdgeSearch::CompositeEdgeSearch(const Vec3& p, double tol)
    : p_(p), tol_(tol), member_edge_tol_(float_tolerance(length(p))) {}

bool CompositeEdgeSearch::visit(const Geometry& member, double& wedge_angle, int32_t& edge_axis) {
    if (!member.cached_bounds().contains(p_, tol_)) return false;
    const MemberNormal m = member_normal(member, p_, false, tol_);
    if (std::fabs(m.dist) > tol_) return false;

    if (member.has_edges) {
        double member_wedge = 0.0;
        int32_t member_axis = 0;
        if (member.edge_at(member.to_local_point(p_), member_edge_tol_ * member.local_scale, member_wedge,
                           member_axis)) {
            Vec3 along;
            along[member_axis] = 1.0;
            const int world_axis = aligned_axis(member.to_world_direction(along));
            if (world_axis >= 0) {
                edge_axis = world_axis;
                wedge_angle = member.planar ? 0.0 : member_wedge;
                return true;
            }
        }
    }

    const int facing = aligned_axis(normalized(m.normal));
    if (facing < 0) return false;
    if (first_facing_axis_ < 0) {
        first_facing_axis_ = facing;
    } else if (facing != first_facing_axis_) {
        wedge_angle = std::numbers::pi / 2.0;
        edge_axis = 3 - first_facing_axis_ - facing;
        return true;
    }
    return false;
}
