#include "geometry/poly_slab.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "common/internal_error.h"
#include "common/tolerance.h"

namespace {

Vec2 unit(const Vec2& v) {
    const double len = std::sqrt(v.x * v.x + v.y * v.y);
    return v * (1.0 / (len > ZERO_LENGTH ? len : ZERO_LENGTH));
}

double distance(const Vec2& a, const Vec2& b) { return std::hypot(a.x - b.x, a.y - b.y); }

}  // namespace

PolySlab::PolySlab(const Transform& transform, double height, const std::vector<Vec2>& vertices,
                   const std::vector<double>& bulges, double dilation)
    : Extrusion(transform, true, height), dilation(dilation) {
    polygon_.vertices = vertices;
    const bool any_bulge = std::any_of(bulges.begin(), bulges.begin() + std::min(bulges.size(), vertices.size()),
                                       [](double b) { return std::fabs(b) >= ZERO_LENGTH; });
    if (any_bulge) polygon_.arcs = build_arcs(vertices, bulges);
    remove_duplicate_vertices(polygon_);
    make_counter_clockwise(polygon_);
    // A polygon without area bounds nothing; left as it is, the sign of the nearest edge would
    // call a half-plane inside.
    if (encloses_nothing(polygon_)) polygon_ = Polygon{};

    if (std::fabs(dilation) >= ZERO_LENGTH) {
        if (polygon_.has_arcs()) internal_error();
        polygon_ = offset_polygon(polygon_, miter_offsets(polygon_), dilation);
    }
    // The tree covers arc edges too, so that no query scans every edge.
    if (polygon_.size() > 0) edge_tree_ = std::make_shared<PolygonEdgeTree>(polygon_);

    const std::vector<Vec2>& v = polygon_.vertices;
    const std::size_t n = v.size();
    vertex_angles_.resize(n);
    for (std::size_t k = 0; k < n; ++k) {
        const Vec2 u = unit(v[(k + 1) % n] - v[k]);
        const Vec2 w = unit(v[(k + n - 1) % n] - v[k]);
        double angle = std::acos(std::clamp(u.x * w.x + u.y * w.y, -1.0, 1.0));
        if (u.x * w.y - u.y * w.x < -ZERO_LENGTH) angle = 2.0 * std::numbers::pi - angle;
        vertex_angles_[k] = angle;
    }
}

Aabb PolySlab::bounds() const {
    Vec2 lo{DBL_MAX, DBL_MAX};
    Vec2 hi{-DBL_MAX, -DBL_MAX};
    auto include = [&](const Vec2& p) {
        lo = {std::min(lo.x, p.x), std::min(lo.y, p.y)};
        hi = {std::max(hi.x, p.x), std::max(hi.y, p.y)};
    };
    for (const Vec2& p : polygon_.vertices) include(p);
    for (const ArcSegment& arc : polygon_.arcs) {
        if (!arc.valid) continue;
        include(arc_point(arc, arc.start_angle));
        include(arc_point(arc, arc.end_angle));
        for (int k = 0; k < 4; ++k) {
            const double angle = k * 0.5 * std::numbers::pi;
            if (angle_in_sweep(arc, angle)) include(arc_point(arc, angle));
        }
    }
    const double z_lo = std::min(0.0, height);
    const double z_hi = std::max(0.0, height);
    if (polygon_.size() == 0) {
        Aabb box;
        box.min.z = z_lo;
        box.max.z = z_hi;
        return box;
    }
    return world_box({lo.x, lo.y, z_lo}, {hi.x, hi.y, z_hi});
}

bool PolySlab::contains_section(const Vec2& q, double tol) const {
    if (!edge_tree_) return point_in_polygon(polygon_, q, tol);
    double dist = 0.0;
    bool unique = false;  // not needed here
    if (polygon_.has_arcs()) return edge_tree_->contains(q, tol);
    nearest_edge_normal(*edge_tree_, ShiftedVertices{polygon_.vertices}, q, dist, unique, 0.0);
    return dist <= tol;
}

Vec2 PolySlab::planar_normal(const Vec3& p, double& dist, bool& unique, double tol) const {
    const Vec2 q{p.x, p.y};
    if (edge_tree_ && polygon_.has_arcs()) return nearest_arc_edge_normal(*edge_tree_, q, dist, unique, tol);
    if (edge_tree_) return nearest_edge_normal(*edge_tree_, ShiftedVertices{polygon_.vertices}, q, dist, unique, tol);
    return nearest_edge_normal(polygon_, q, dist, unique, tol);
}

bool PolySlab::edge_at(const Vec3& p, double tol, double& wedge_angle, int32_t& edge_axis) const {
    if (!within_axial_extent(p, tol)) return false;
    const Vec2 q{p.x, p.y};
    if (std::fabs(p.z) > tol && std::fabs(p.z - height) > tol) {
        if (!vertical_edge_at(q, tol, wedge_angle)) return false;
        edge_axis = 2;
        return true;
    }
    if (!cap_edge_at(q, tol, edge_axis)) return false;
    wedge_angle = std::numbers::pi / 2.0;
    return true;
}

bool PolySlab::vertical_edge_at(const Vec2& q, double tol, double& wedge_angle) const {
    const std::vector<Vec2>& v = polygon_.vertices;
    const std::size_t n = v.size();
    if (n == 0) return false;
    std::size_t vertex = n;
    if (edge_tree_) {
        const auto [e, d] = edge_tree_->nearest_edge(q);
        if (e < 0 || d > tol) return false;
        const std::size_t k = static_cast<std::size_t>(e);
        if (distance(v[k], q) <= tol)
            vertex = k;
        else if (distance(v[(k + 1) % n], q) <= tol)
            vertex = (k + 1) % n;
        else
            return false;
    } else {
        for (std::size_t k = 0; k < n; ++k) {
            if (distance(v[k], q) <= tol) {
                vertex = k;
                break;
            }
        }
        if (vertex == n) return false;
    }
    if (polygon_.has_arcs() && (polygon_.arcs[vertex].valid || polygon_.arcs[(vertex + n - 1) % n].valid)) return false;
    const double angle = vertex_angles_[vertex];
    if (std::fabs(angle - std::numbers::pi) <= ANGLE_TOLERANCE) return false;
    wedge_angle = angle;
    return true;
}

bool PolySlab::cap_edge_qualifies(const Vec2& a, const Vec2& b, const Vec2& q, double tol, int32_t& edge_axis) const {
    const double dx = std::fabs(b.x - a.x);
    const double dy = std::fabs(b.y - a.y);
    if ((dx <= tol) == (dy <= tol)) return false;
    const bool along_y = dx <= tol;
    const double across = along_y ? q.x - a.x : q.y - a.y;
    const double along = along_y ? q.y : q.x;
    const double lo = along_y ? std::min(a.y, b.y) : std::min(a.x, b.x);
    const double hi = along_y ? std::max(a.y, b.y) : std::max(a.x, b.x);
    if (!(std::fabs(across) <= tol)) return false;
    if (!(along > lo + tol && along < hi - tol)) return false;
    edge_axis = along_y ? 1 : 0;
    return true;
}

bool PolySlab::cap_edge_at(const Vec2& q, double tol, int32_t& edge_axis) const {
    const std::vector<Vec2>& v = polygon_.vertices;
    const std::size_t n = v.size();
    if (n == 0) return false;
    if (edge_tree_) {
        const int64_t e = edge_tree_->nearest_edge(q).first;
        if (e < 0) return false;
        const std::size_t k = static_cast<std::size_t>(e);
        if (polygon_.has_arcs() && polygon_.arcs[k].valid) return false;
        return cap_edge_qualifies(v[k], v[(k + 1) % n], q, tol, edge_axis);
    }
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t j = (i + n - 1) % n;
        if (polygon_.has_arcs() && polygon_.arcs[j].valid) continue;
        if (cap_edge_qualifies(v[j], v[i], q, tol, edge_axis)) return true;
    }
    return false;
}
