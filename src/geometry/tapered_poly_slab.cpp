#include "geometry/tapered_poly_slab.h"

#include "common/tolerance.h"

#include <algorithm>
#include <cmath>

namespace {

double cross(const Vec2& a, const Vec2& b) { return a.x * b.y - a.y * b.x; }

// |disc| below this fraction of B² counts as a double zero of the area.
constexpr double DOUBLE_ZERO = 1e-10;

}  // namespace

double collapse_shift(const Polygon& middle, const std::vector<Vec2>& offsets) {
    const std::vector<Vec2>& v = middle.vertices;
    const std::size_t n = v.size();
    if (n < 3 || offsets.size() != n) return -INFINITY;
    // Area of middle + f·offsets = a + b·f + c·f², with vertices taken relative to the first.
    double a = 0.0, b = 0.0, c = 0.0;
    for (std::size_t k = 0; k < n; ++k) {
        const std::size_t j = (k + n - 1) % n;
        const Vec2 pj = v[j] - v[0];
        const Vec2 pk = v[k] - v[0];
        a += cross(pj, pk);
        b += cross(pj, offsets[k]) + cross(offsets[j], pk);
        c += cross(offsets[j], offsets[k]);
    }
    a *= 0.5;
    b *= 0.5;
    c *= 0.5;
    if (!(a > 0.0) || !std::isfinite(b) || !std::isfinite(c)) return -INFINITY;
    const double disc = b * b - 4.0 * a * c;
    if (c != 0.0 && std::fabs(disc) <= DOUBLE_ZERO * b * b) {
        const double vertex = -b / (2.0 * c);
        return vertex < 0.0 ? vertex : -INFINITY;
    }
    if (disc < 0.0) return -INFINITY;
    // The roots q/c and a/q, computed without cancellation; the largest negative one.
    double best = -INFINITY;
    if (c == 0.0) {
        if (b != 0.0) best = -a / b;
    } else {
        const double q = -0.5 * (b + std::copysign(std::sqrt(disc), b));
        for (double root : {q / c, q != 0.0 ? a / q : -INFINITY})
            if (root < 0.0 && root > best) best = root;
    }
    return best < 0.0 ? best : -INFINITY;
}

SlabSections slab_sections(const std::vector<Vec2>& vertices, double height, double dilation, double sidewall_tan) {
    SlabSections s;
    s.middle.vertices = vertices;
    remove_duplicate_vertices(s.middle);
    make_counter_clockwise(s.middle);
    // A polygon without area bounds nothing at any height: every section is empty.
    if (encloses_nothing(s.middle)) return SlabSections{};
    s.offsets = miter_offsets(s.middle);
    s.middle = offset_polygon(s.middle, s.offsets, dilation);
    s.z_bottom = -height / 2.0;
    s.z_top = height / 2.0;
    s.collapse_shift = collapse_shift(s.middle, s.offsets);
    // The shift at height z is -z·tan; an end beyond the collapse moves to the collapse height.
    const double collapse_height = -s.collapse_shift / sidewall_tan;
    if (-s.z_top * sidewall_tan < s.collapse_shift && collapse_height < s.z_top) {
        s.z_top = collapse_height;
        s.top_collapsed = true;
    }
    if (-s.z_bottom * sidewall_tan < s.collapse_shift && collapse_height > s.z_bottom) {
        s.z_bottom = collapse_height;
        s.bottom_collapsed = true;
    }
    s.bottom = offset_polygon(s.middle, s.offsets, s.bottom_collapsed ? s.collapse_shift : height * sidewall_tan / 2.0);
    s.top = offset_polygon(s.middle, s.offsets, s.top_collapsed ? s.collapse_shift : -height * sidewall_tan / 2.0);
    return s;
}

TaperedPolySlab::TaperedPolySlab(const Transform& transform, const std::vector<Vec2>& vertices, double height,
                                 double dilation, double sidewall_angle)
    : TaperedPolySlab(transform, slab_sections(vertices, height, dilation, std::tan(sidewall_angle)), height,
                      dilation, sidewall_angle) {}

TaperedPolySlab::TaperedPolySlab(const Transform& transform, SlabSections sections, double height, double dilation,
                                 double sidewall_angle)
    : TaperedExtrusion(transform, sidewall_angle, sections.middle.size() > 0 ? sections.z_bottom : -height / 2.0,
                       sections.middle.size() > 0 ? sections.z_top : height / 2.0),
      height(height),
      dilation(dilation),
      sections_(std::move(sections)) {
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
    middle_tree_ = std::make_shared<const PolygonEdgeTree>(sections_.middle, sections_.offsets);
    bottom_tree_ = std::make_shared<const PolygonEdgeTree>(sections_.bottom);
    top_tree_ = std::make_shared<const PolygonEdgeTree>(sections_.top);
    if (slices_needed_) slice_tree_ = std::make_shared<PolygonEdgeTree>(slice_);
}

bool TaperedPolySlab::collapsed_at(double z) const {
    if (sections_.top_collapsed && z >= z_max) return true;
    if (sections_.bottom_collapsed && z <= z_min) return true;
    return !(-z * sidewall_tan > sections_.collapse_shift);
}

double TaperedPolySlab::distance_to_collapsed(const Vec2& q) const {
    const ShiftedVertices end{sections_.middle.vertices, &sections_.offsets, sections_.collapse_shift};
    const std::size_t n = end.size();
    double best = INFINITY;
    for (std::size_t k = 0; k < n; ++k) best = std::min(best, segment_distance(q, end[k], end[(k + 1) % n]));
    return best;
}

Polygon TaperedPolySlab::section_at(double z) const {
    return offset_polygon(sections_.middle, sections_.offsets, -z * sidewall_tan);
}

void TaperedPolySlab::prepare_slice(const Vec3& p) {
    // Convex slabs never read the slice, and their tree must stay over the middle polygon.
    if (!slices_needed_) return;
    slice_ = collapsed_at(p.z) ? Polygon{} : section_at(p.z);
    if (has_tree_) slice_tree_->rebuild(slice_);
}

bool TaperedPolySlab::contains_section(const Vec3& p, bool exact, double tol) const {
    const Vec2 q{p.x, p.y};
    // At and beyond the collapse only the collapsed section's own line set remains.
    if (collapsed_at(p.z)) return distance_to_collapsed(q) <= tol;
    double dist = 0.0;
    bool unique = false;  // not needed here
    if (!has_tree_) return point_in_polygon(slice_, q, tol);
    if (slices_needed_ && exact) return middle_tree_->contains(q, tol, -p.z * sidewall_tan);
    if (slices_needed_)
        nearest_edge_normal(*slice_tree_, ShiftedVertices{slice_.vertices}, q, dist, unique, 0.0);
    else
        nearest_edge_normal(*middle_tree_, shifted(p.z), q, dist, unique, 0.0);
    return dist <= tol;
}

Vec2 TaperedPolySlab::planar_normal(const Vec3& p, double& dist, bool& unique, double tol) const {
    const Vec2 q{p.x, p.y};
    if (p.z <= z_min || p.z >= z_max) {
        const bool below = p.z <= z_min;
        const Polygon& end = below ? sections_.bottom : sections_.top;
        const Vec2 n = has_tree_ ? nearest_edge_normal(below ? *bottom_tree_ : *top_tree_, ShiftedVertices{end.vertices},
                                                       q, dist, unique, tol)
                                 : nearest_edge_normal(end, q, dist, unique, tol);
        // A collapsed end encloses nothing: every point lies outside it.
        if (below ? sections_.bottom_collapsed : sections_.top_collapsed) dist = std::fabs(dist);
        return n;
    }
    if (!has_tree_) return nearest_edge_normal(shifted(p.z), q, dist, unique, tol);
    if (convex_) return nearest_edge_normal(*middle_tree_, shifted(p.z), q, dist, unique, tol);
    return nearest_shifted_edge_normal(*middle_tree_, -p.z * sidewall_tan, q, dist, unique, tol);
}

Aabb TaperedPolySlab::bounds() const {
    Aabb box;
    for (const Vec2& v : sections_.bottom.vertices) box.include(transform_point(transform.to_world, {v.x, v.y, z_min}));
    for (const Vec2& v : sections_.top.vertices) box.include(transform_point(transform.to_world, {v.x, v.y, z_max}));
    return box;
}
