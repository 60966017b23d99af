#include "geometry/clip_operation.h"

#include <cmath>
#include <utility>

#include "geometry/composite.h"

namespace {

// A member answer: direction, signed distance, uniqueness.
template <typename V>
struct Candidate {
    V normal;
    double dist;
    bool unique;
};

// Combines the two operands' answers into the set operation's, as for surface normals.
template <typename V>
bool combine(int32_t operation, const Candidate<V>& a, const Candidate<V>& b, Candidate<V>& out) {
    switch (operation) {
        case CLIP_UNION: out = b.dist > a.dist ? a : b; return true;
        case CLIP_INTERSECTION: out = b.dist < a.dist ? a : b; return true;
        case CLIP_DIFFERENCE:
            if (a.dist > -b.dist)
                out = a;
            else
                out = {-b.normal, -b.dist, b.unique};
            return true;
        case CLIP_SYMMETRIC_DIFFERENCE: {
            const Candidate<V>& lo = a.dist < b.dist ? a : b;
            const Candidate<V>& hi = a.dist > b.dist ? a : b;
            if (lo.dist > -hi.dist)
                out = lo;
            else
                out = {-hi.normal, -hi.dist, hi.unique};
            return true;
        }
        default: return false;
    }
}

}  // namespace

ClipOperation::ClipOperation(std::shared_ptr<Geometry> a, std::shared_ptr<Geometry> b, int32_t operation)
    : Geometry(Transform::identity(), a->has_edges || b->has_edges),
      operand_a(std::move(a)),
      operand_b(std::move(b)),
      box_a(operand_a->cached_bounds()),
      box_b(operand_b->cached_bounds()),
      operation(operation) {
    axis_index = operand_a->axis_index;
    slice_axis_ = operand_a->slice_axis();
    uses_slices_ = operand_a->uses_slices();
    if (operand_b->uses_slices()) {
        if (uses_slices_) {
            if (slice_axis_ != operand_b->slice_axis()) {
                slice_conflict = true;
                uses_slices_ = false;
            }
        } else {
            axis_index = operand_b->axis_index;
            slice_axis_ = operand_b->slice_axis();
            uses_slices_ = true;
        }
    }
}

Aabb ClipOperation::bounds() const {
    switch (operation) {
        case CLIP_INTERSECTION: return intersection(box_a, box_b);
        case CLIP_DIFFERENCE: return box_a;
        default: {
            Aabb box = box_a;
            box.include(box_b);
            return box;
        }
    }
}

bool ClipOperation::contains(const Vec3& p, bool exact, double tol) const {
    const bool e = exact || slice_conflict;
    auto in_a = [&] { return box_a.contains(p, tol) && member_contains(*operand_a, p, e, tol); };
    auto in_b = [&] { return box_b.contains(p, tol) && member_contains(*operand_b, p, e, tol); };
    switch (operation) {
        case CLIP_UNION: return in_a() || in_b();
        case CLIP_INTERSECTION: return in_a() && in_b();
        case CLIP_DIFFERENCE: return in_a() && !in_b();
        case CLIP_SYMMETRIC_DIFFERENCE: return in_a() != in_b();
        default: return false;
    }
}

bool ClipOperation::edge_at(const Vec3& p, double tol, double& wedge_angle, int32_t& edge_axis) const {
    if (!on_surface(*this, p, tol)) return false;
    CompositeEdgeSearch search(p, tol);
    return search.visit(*operand_a, wedge_angle, edge_axis) || search.visit(*operand_b, wedge_angle, edge_axis);
}

void ClipOperation::prepare_slice(const Vec3& p) {
    if (operand_a->uses_slices()) operand_a->prepare_slice(operand_a->to_local_point(p));
    if (operand_b->uses_slices()) operand_b->prepare_slice(operand_b->to_local_point(p));
}

bool ClipOperation::within_axial_extent(const Vec3& p, double tol) const {
    return operand_a->within_axial_extent(p, tol);
}

Vec2 ClipOperation::planar_normal(const Vec3& p, double& dist, bool& unique, double tol) const {
    Candidate<Vec2> a{};
    Candidate<Vec2> b{};
    a.unique = true;
    b.unique = true;
    a.normal = operand_a->planar_normal(p, a.dist, a.unique, tol);
    b.normal = operand_b->planar_normal(p, b.dist, b.unique, tol);
    Candidate<Vec2> out{};
    if (!combine(operation, a, b, out)) return {};
    dist = out.dist;
    unique = out.unique;
    return out.normal;
}

Vec3 ClipOperation::surface_normal(const Vec3& p, double& dist, bool& unique, bool in_plane, double tol) const {
    const MemberNormal ma = member_normal(*operand_a, p, in_plane, tol);
    const MemberNormal mb = member_normal(*operand_b, p, in_plane, tol);
    Candidate<Vec3> out{};
    if (!combine(operation, Candidate<Vec3>{ma.normal, ma.dist, ma.unique}, Candidate<Vec3>{mb.normal, mb.dist, mb.unique},
                 out))
        return {};
    dist = out.dist;
    unique = out.unique;
    return out.normal;
}

bool ClipOperation::uses_slices() const { return uses_slices_; }

int32_t ClipOperation::slice_axis() const { return uses_slices_ ? slice_axis_ : axis_index; }
