#include "geometry/tapered_poly_slab.h"

#include "common/tolerance.h"

#include <cmath>

SlabSections slab_sections(const std::vector<Vec2>& vertices, double height, double dilation, double sidewall_tan) {
    SlabSections s;
    s.middle.vertices = vertices;
    remove_duplicate_vertices(s.middle);
    make_counter_clockwise(s.middle);
    // A polygon without area bounds nothing at any height: every section is empty.
    if (encloses_nothing(s.middle)) return SlabSections{};
    s.offsets = miter_offsets(s.middle);
    s.middle = offset_polygon(s.middle, s.offsets, dilation);
    s.bottom = offset_polygon(s.middle, s.offsets, height * sidewall_tan / 2.0);
    s.top = offset_polygon(s.middle, s.offsets, -height * sidewall_tan / 2.0);
    return s;
}

TaperedPolySlab::TaperedPolySlab(const Transform& transform, const std::vector<Vec2>& vertices, double height,
                                 double dilation, double sidewall_angle)
    : TaperedExtrusion(transform, sidewall_angle, -height / 2.0, height / 2.0), height(height), dilation(dilation) {
    sections_ = slab_sections(vertices, height, dilation, sidewall_tan);
    remove_duplicate_vertices(sections_.bottom);
    remove_duplicate_vertices(sections_.top);
    slice_ = sections_.middle;
    const Vec3 along = to_world_direction({0.0, 0.0, 1.0});
    for (int a = 0; a < 3; ++a)
        if (std::fabs(along[a]) > std::fabs(along[slice_axis_])) slice_axis_ = a;

    const std::vector<Vec2>& v = sections_.middle.vertices;
    const std::size_t n = v.size();
    if (n == 0) return;  // slices needed, convex, no tree: contains nothing
    for (std::size_t k = 0; k < n && convex_; ++k) {
        const Vec2& a = v[k];
        const Vec2& b = v[(k + 1) % n];
        const Vec2& c = v[(k + 2) % n];
        if ((c.y - b.y) * (b.x - a.x) - (c.x - b.x) * (b.y - a.y) < 0.0) convex_ = false;
    }
    has_tree_ = true;
    slices_needed_ = !convex_;
    slice_tree_ = std::make_shared<PolygonEdgeTree>(slice_);
}

Polygon TaperedPolySlab::section_at(double z) const {
    return offset_polygon(sections_.middle, sections_.offsets, -z * sidewall_tan);
}

void TaperedPolySlab::prepare_slice(const Vec3& p) {
    // Convex slabs never read the slice, and their tree must stay over the middle polygon.
    if (!slices_needed_) return;
    slice_ = section_at(p.z);
    if (has_tree_) slice_tree_->rebuild(slice_);
}

bool TaperedPolySlab::contains_section(const Vec3& p, bool exact, double tol) const {
    const Vec2 q{p.x, p.y};
    double dist = 0.0;
    bool unique = false;  // not needed here
    if (slices_needed_) {
        if (exact) return point_in_polygon(shifted(p.z), q, tol);
        if (!has_tree_) return point_in_polygon(slice_, q, tol);
        nearest_edge_normal(*slice_tree_, ShiftedVertices{slice_.vertices}, q, dist, unique, 0.0);
        return dist <= tol;
    }
    nearest_edge_normal(*slice_tree_, shifted(p.z), q, dist, unique, 0.0);
    return dist <= tol;
}

Vec2 TaperedPolySlab::planar_normal(const Vec3& p, double& dist, bool& unique, double tol) const {
    const Vec2 q{p.x, p.y};
    if (p.z <= z_min) return nearest_edge_normal(sections_.bottom, q, dist, unique, tol);
    if (p.z >= z_max) return nearest_edge_normal(sections_.top, q, dist, unique, tol);
    if (convex_ && has_tree_) return nearest_edge_normal(*slice_tree_, shifted(p.z), q, dist, unique, tol);
    return nearest_edge_normal(shifted(p.z), q, dist, unique, tol);
}

Aabb TaperedPolySlab::bounds() const {
    Aabb box;
    for (const Vec2& v : sections_.bottom.vertices) box.include(transform_point(transform.to_world, {v.x, v.y, z_min}));
    for (const Vec2& v : sections_.top.vertices) box.include(transform_point(transform.to_world, {v.x, v.y, z_max}));
    return box;
}
