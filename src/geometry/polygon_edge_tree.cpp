#include "geometry/polygon_edge_tree.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "common/tolerance.h"

namespace {

double length(const Vec2& v) { return std::sqrt(v.x * v.x + v.y * v.y); }
double dot(const Vec2& a, const Vec2& b) { return a.x * b.x + a.y * b.y; }

Vec2 unit(const Vec2& v) {
    const double len = length(v);
    return v * (1.0 / (len > ZERO_LENGTH ? len : ZERO_LENGTH));
}

double squared_segment_distance(const Vec2& q, const Vec2& a, const Vec2& b) {
    const Vec2 ab = b - a;
    double t = dot(q - a, ab) / dot(ab, ab);
    if (!(t > 0.0)) t = 0.0;
    if (t > 1.0) t = 1.0;
    const Vec2 d = q - (a + ab * t);
    return dot(d, d);
}

}  // namespace

PolygonEdgeTree::PolygonEdgeTree(const Polygon& polygon, const std::vector<Vec2>& offsets) {
    vertices_ = polygon.vertices;
    arcs_ = polygon.arcs;
    offsets_ = offsets;
    if (offsets_.size() != vertices_.size()) offsets_.clear();
    build();
}

void PolygonEdgeTree::rebuild(const Polygon& polygon) {
    vertices_ = polygon.vertices;
    arcs_ = polygon.arcs;
    offsets_.clear();
    build();
}

namespace {

// Largest distance from c to a point of the arc: the far side of its circle when that lies in
// the sweep, otherwise an end point.
double farthest_on_arc(const ArcSegment& arc, const Vec2& c, const Vec2& a, const Vec2& b) {
    const Vec2 away = arc.centre - c;
    const double l = length(away);
    double far = std::max(length(a - c), length(b - c));
    if (l > 0.0) {
        const double angle = std::atan2(away.y, away.x);
        if (angle_in_sweep(arc, angle < 0.0 ? angle + 2.0 * std::numbers::pi : angle)) far = std::max(far, l + arc.radius);
    } else {
        far = std::max(far, arc.radius);
    }
    return far;
}

}  // namespace

void PolygonEdgeTree::build() {
    nodes_.clear();
    const std::size_t n = vertices_.size();
    if (n == 0) return;
    const bool arcs = !arcs_.empty();
    const bool offsets = !offsets_.empty();
    // An edge with a non-finite end point has no distance and is never the nearest; it is left
    // out, so that it cannot spoil the centres and bounds of the nodes either.
    auto finite = [](const Vec2& v) { return std::isfinite(v.x) && std::isfinite(v.y); };
    Node root;
    Vec2 sum;
    std::size_t finite_count = 0;
    for (const Vec2& v : vertices_) {
        if (!finite(v)) continue;
        sum = sum + v;
        ++finite_count;
    }
    root.centre = finite_count > 0 ? sum * (1.0 / static_cast<double>(finite_count)) : Vec2{};
    double extent = 0.0;
    for (const Vec2& v : vertices_)
        if (finite(v)) extent = std::max({extent, std::fabs(v.x - root.centre.x), std::fabs(v.y - root.centre.y)});
    root.half_size = 1.01 * extent;
    root.edges.reserve(n);
    for (std::size_t i = 0; i < n; ++i)
        if (finite(vertices_[i]) && finite(vertices_[(i + 1) % n])) root.edges.push_back(static_cast<uint32_t>(i));
    nodes_.push_back(std::move(root));

    // Nodes are processed in the order they were appended: children after all their siblings.
    for (std::size_t index = 0; index < nodes_.size(); ++index) {
        Node& node = nodes_[index];
        double radius = 0.0;
        double reach = 0.0;
        Vec2 lo{1e300, 1e300};
        Vec2 hi{-1e300, -1e300};
        for (uint32_t e : node.edges) {
            const std::size_t f = (e + 1) % n;
            for (const Vec2& p : {vertices_[e], vertices_[f]}) {
                radius = std::max(radius, length(p - node.centre));
                lo = {std::min(lo.x, p.x), std::min(lo.y, p.y)};
                hi = {std::max(hi.x, p.x), std::max(hi.y, p.y)};
            }
            if (arcs && arcs_[e].valid) {
                radius = std::max(radius, farthest_on_arc(arcs_[e], node.centre, vertices_[e], vertices_[f]));
                for (int k = 0; k < 4; ++k) {
                    const double angle = k * 0.5 * std::numbers::pi;
                    if (!angle_in_sweep(arcs_[e], angle)) continue;
                    const Vec2 p = arc_point(arcs_[e], angle);
                    lo = {std::min(lo.x, p.x), std::min(lo.y, p.y)};
                    hi = {std::max(hi.x, p.x), std::max(hi.y, p.y)};
                }
            }
            if (offsets) reach = std::max({reach, length(offsets_[e]), length(offsets_[f])});
        }
        node.radius = radius;
        node.offset_reach = reach;
        node.box_min = {lo.x - float_tolerance(lo.x), lo.y - float_tolerance(lo.y)};
        node.box_max = {hi.x + float_tolerance(hi.x), hi.y + float_tolerance(hi.y)};
        if (node.edges.size() <= LEAF_EDGES || node.depth >= MAX_DEPTH) continue;

        // Edges whose midpoints coincide can never be separated by a split.
        auto midpoint = [&](uint32_t e) { return (vertices_[e] + vertices_[(e + 1) % n]) * 0.5; };
        const Vec2 first_mid = midpoint(node.edges.front());
        bool separable = false;
        for (uint32_t e : node.edges) {
            if (!(midpoint(e) == first_mid)) {
                separable = true;
                break;
            }
        }
        if (!separable) continue;

        std::array<std::vector<uint32_t>, 4> quadrants;
        for (uint32_t e : node.edges) {
            const Vec2 m = midpoint(e);
            quadrants[(m.x > node.centre.x ? 1 : 0) + (m.y > node.centre.y ? 2 : 0)].push_back(e);
        }
        const Vec2 centre = node.centre;
        const double child_half = node.half_size / 2.0;
        const int child_depth = node.depth + 1;
        node.edges.clear();
        node.edges.shrink_to_fit();
        std::array<uint32_t, 4> children{};
        int child_count = 0;
        for (int q = 0; q < 4; ++q) {
            if (quadrants[q].empty()) continue;
            Node child;
            child.centre = {centre.x + ((q & 1) ? child_half : -child_half), centre.y + ((q & 2) ? child_half : -child_half)};
            child.half_size = child_half;
            child.depth = child_depth;
            child.edges = std::move(quadrants[q]);
            children[child_count++] = static_cast<uint32_t>(nodes_.size());
            nodes_.push_back(std::move(child));  // invalidates `node`
        }
        nodes_[index].children = children;
        nodes_[index].child_count = child_count;
    }
}

double PolygonEdgeTree::squared_edge_distance(const Vec2& q, std::size_t edge) const {
    const std::size_t n = vertices_.size();
    if (!arcs_.empty() && arcs_[edge].valid) {
        const Vec2 d = q - arc_point(arcs_[edge], nearest_arc_angle(arcs_[edge], q));
        return dot(d, d);
    }
    return squared_segment_distance(q, vertices_[edge], vertices_[(edge + 1) % n]);
}

double PolygonEdgeTree::segment_distance(const Vec2& q, std::size_t edge) const {
    return std::sqrt(squared_edge_distance(q, edge));
}

template <class Distance>
void PolygonEdgeTree::search(uint32_t index, const Vec2& q, double reach_factor, const Distance& squared_distance,
                             double& best_sq, int64_t& best) const {
    const Node& node = nodes_[index];
    for (uint32_t e : node.edges) {
        const double d = squared_distance(e);
        if (d < best_sq) {
            best_sq = d;
            best = e;
        }
    }
    if (node.child_count == 0) return;
    std::array<std::pair<double, uint32_t>, 4> order;
    int count = 0;
    const double best_dist = std::sqrt(best_sq);
    for (int c = 0; c < node.child_count; ++c) {
        const Node& child = nodes_[node.children[c]];
        // Moved end points stay within reach_factor·offset_reach of their place in the tree.
        double bound = length(q - child.centre) - child.radius;
        if (reach_factor != 0.0) bound -= reach_factor * child.offset_reach;
        if (bound < best_dist) order[count++] = {bound, node.children[c]};
    }
    // Insertion sort by (bound, child index): at most a handful of children.
    for (int i = 1; i < count; ++i)
        for (int j = i; j > 0 && order[j] < order[j - 1]; --j) std::swap(order[j], order[j - 1]);
    for (int c = 0; c < count; ++c) {
        if (order[c].first >= std::sqrt(best_sq)) continue;
        search(order[c].second, q, reach_factor, squared_distance, best_sq, best);
    }
}

namespace {

// Moves a nearest edge e of the straight polygon `v` to the neighbouring edge that q projects
// onto when q is nearest to one of e's vertices.
template <class Vertices>
std::size_t adjust_to_projection(const Vertices& v, std::size_t e, const Vec2& q) {
    const std::size_t n = v.size();
    const std::size_t prev = (e + n - 1) % n;
    const std::size_t next = (e + 1) % n;
    const Vec2 d = unit(v[next] - v[e]);
    const double before = dot(q - v[e], d);
    const double beyond = dot(q - v[next], d);
    if (before < 0.0 && dot(q - v[e], unit(v[prev] - v[e])) > before) return prev;
    if (beyond > 0.0 && dot(q - v[next], unit(v[(e + 2) % n] - v[next])) > -beyond) return next;
    return e;
}

}  // namespace

std::pair<int64_t, double> PolygonEdgeTree::nearest_edge(const Vec2& q) const {
    const std::size_t n = vertices_.size();
    if (nodes_.empty() || n == 0) return {-1, 1e20};
    double best_sq = 1e20 * 1e20;
    int64_t best = -1;
    search(0, q, 0.0, [&](uint32_t e) { return squared_edge_distance(q, e); }, best_sq, best);
    if (best < 0) return {-1, 1e20};
    if (!arcs_.empty()) return {best, std::sqrt(best_sq)};
    // A point nearest to a vertex gets the edge it projects onto.
    const std::size_t chosen = adjust_to_projection(vertices_, static_cast<std::size_t>(best), q);
    return {static_cast<int64_t>(chosen), segment_distance(q, chosen)};
}

std::pair<int64_t, double> PolygonEdgeTree::nearest_edge(const Vec2& q, double shift) const {
    const std::size_t n = vertices_.size();
    if (nodes_.empty() || n == 0 || offsets_.size() != n) return {-1, 1e20};
    const ShiftedVertices v{vertices_, &offsets_, shift};
    double best_sq = 1e20 * 1e20;
    int64_t best = -1;
    search(0, q, std::fabs(shift), [&](uint32_t e) { return squared_segment_distance(q, v[e], v[(e + 1) % n]); },
           best_sq, best);
    if (best < 0) return {-1, 1e20};
    const std::size_t chosen = adjust_to_projection(v, static_cast<std::size_t>(best), q);
    return {static_cast<int64_t>(chosen), std::sqrt(squared_segment_distance(q, v[chosen], v[(chosen + 1) % n]))};
}

template <class Vertices>
bool PolygonEdgeTree::ray_parity(uint32_t index, const Vertices& v, const Vec2& q, double move, double snap,
                                 bool& on_edge) const {
    const Node& node = nodes_[index];
    const double widen = move * node.offset_reach + snap;
    // The ray {(x, q.y) : x >= q.x} misses the node's (widened) box: no edge of it can cross.
    if (!(q.y >= node.box_min.y - widen && q.y <= node.box_max.y + widen && q.x <= node.box_max.x + widen)) return false;
    const std::size_t n = v.size();
    bool parity = false;
    for (uint32_t e : node.edges) {
        const ArcSegment* arc = arcs_.empty() ? nullptr : &arcs_[e];
        if (edge_flips_parity(v[e], v[(e + 1) % n], arc, q, 0.0, on_edge)) parity = !parity;
        if (on_edge) return false;
    }
    for (int c = 0; c < node.child_count; ++c) {
        if (ray_parity(node.children[c], v, q, move, snap, on_edge)) parity = !parity;
        if (on_edge) return false;
    }
    return parity;
}

bool PolygonEdgeTree::contains(const Vec2& q, double tol) const {
    if (nodes_.empty()) return false;
    if (nearest_edge(q).second <= tol) return true;
    bool on_edge = false;
    const bool parity = ray_parity(0, vertices_, q, 0.0, 0.0, on_edge);
    return on_edge || parity;
}

bool PolygonEdgeTree::contains(const Vec2& q, double tol, double shift) const {
    if (nodes_.empty() || offsets_.size() != vertices_.size()) return false;
    if (nearest_edge(q, shift).second <= tol) return true;
    // Moved end points stay within |shift|·offset_reach of the boxes; the heights they snap to
    // the ray within their own float tolerance, which grows with the move.
    const Node& root = nodes_[0];
    const double move = std::fabs(shift);
    const double scale =
        std::max({std::fabs(root.box_min.y), std::fabs(root.box_max.y), std::fabs(q.y)}) + move * root.offset_reach;
    bool on_edge = false;
    const bool parity =
        ray_parity(0, ShiftedVertices{vertices_, &offsets_, shift}, q, move, float_tolerance(scale), on_edge);
    return on_edge || parity;
}
