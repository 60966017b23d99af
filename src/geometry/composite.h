#pragma once

#include <cstdint>

#include "geometry/geometry.h"

// Helpers shared by the composite shapes. A composite's frame is the world frame; its members
// keep their own transforms, so every query is mapped into the member's frame first.

// The member's contains() for a world point and world tolerance.
bool member_contains(const Geometry& member, const Vec3& p, bool exact, double tol);

// The composite's own surface passes within tol of p (the first test of its edge search).
bool on_surface(const Geometry& composite, const Vec3& p, double tol);

// A member's world unit normal, world signed distance and uniqueness at a world point.
struct MemberNormal {
    Vec3 normal;
    double dist = 1.0;
    bool unique = true;
};
MemberNormal member_normal(const Geometry& member, const Vec3& p, bool in_plane, double tol);

// Edge search over the members of a composite whose own surface passes within tol of p.
// visit() examines one member; it answers true (with wedge_angle and edge_axis set) when the
// member has a world-aligned edge at p or when it is the second member whose surface at p
// faces a different world axis than the first.
class CompositeEdgeSearch {
public:
    CompositeEdgeSearch(const Vec3& p, double tol);
    bool visit(const Geometry& member, double& wedge_angle, int32_t& edge_axis);

private:
    Vec3 p_;
    double tol_;
    double member_edge_tol_;  // float tolerance of |p|, before the member's scale
    int first_facing_axis_ = -1;
};
