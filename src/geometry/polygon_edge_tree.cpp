#include "geometry/polygon_edge_tree.h"

#include <algorithm>
#include <cmath>

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

void PolygonEdgeTree::rebuild(const Polygon& polygon) {
    vertices_ = polygon.vertices;
    nodes_.clear();
    const std::size_t n = vertices_.size();
    if (n == 0) return;

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
        Vec2 lo{1e300, 1e300};
        Vec2 hi{-1e300, -1e300};
        for (uint32_t e : node.edges) {
            for (const Vec2& p : {vertices_[e], vertices_[(e + 1) % n]}) {
                radius = std::max(radius, length(p - node.centre));
                lo = {std::min(lo.x, p.x), std::min(lo.y, p.y)};
                hi = {std::max(hi.x, p.x), std::max(hi.y, p.y)};
            }
        }
        node.radius = radius;
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

double PolygonEdgeTree::segment_distance(const Vec2& q, std::size_t edge) const {
    const std::size_t n = vertices_.size();
    return std::sqrt(squared_segment_distance(q, vertices_[edge], vertices_[(edge + 1) % n]));
}

void PolygonEdgeTree::search(uint32_t index, const Vec2& q, double& best_sq, int64_t& best) const {
    const Node& node = nodes_[index];
    const std::size_t n = vertices_.size();
    for (uint32_t e : node.edges) {
        const double d = squared_segment_distance(q, vertices_[e], vertices_[(e + 1) % n]);
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
        const double bound = length(q - child.centre) - child.radius;
        if (bound < best_dist) order[count++] = {bound, node.children[c]};
    }
    // Insertion sort by (bound, child index): at most a handful of children.
    for (int i = 1; i < count; ++i)
        for (int j = i; j > 0 && order[j] < order[j - 1]; --j) std::swap(order[j], order[j - 1]);
    for (int c = 0; c < count; ++c) {
        if (order[c].first >= std::sqrt(best_sq)) continue;
        search(order[c].second, q, best_sq, best);
    }
}

std::pair<int64_t, double> PolygonEdgeTree::nearest_edge(const Vec2& q) const {
    const std::size_t n = vertices_.size();
    if (nodes_.empty() || n == 0) return {-1, 1e20};
    double best_sq = 1e20 * 1e20;
    int64_t best = -1;
    search(0, q, best_sq, best);
    if (best < 0) return {-1, 1e20};

    // A point nearest to a vertex gets the edge it projects onto.
    const std::size_t e = static_cast<std::size_t>(best);
    const std::size_t prev = (e + n - 1) % n;
    const std::size_t next = (e + 1) % n;
    const Vec2 d = unit(vertices_[next] - vertices_[e]);
    const double before = dot(q - vertices_[e], d);
    const double beyond = dot(q - vertices_[next], d);
    std::size_t chosen = e;
    if (before < 0.0 && dot(q - vertices_[e], unit(vertices_[prev] - vertices_[e])) > before) {
        chosen = prev;
    } else if (beyond > 0.0 && dot(q - vertices_[next], unit(vertices_[(e + 2) % n] - vertices_[next])) > -beyond) {
        chosen = next;
    }
    return {static_cast<int64_t>(chosen), segment_distance(q, chosen)};
}
