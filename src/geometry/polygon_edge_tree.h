#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "geometry/polygon.h"
#include "geometry/vec2.h"

// A quadtree over the edges of a polygon that finds the nearest edge to a point in logarithmic
// time. Edge i runs from vertex i to vertex (i + 1) mod n; arc edges are measured to their arc.
// The tree keeps its own copy of the vertices, arcs and (when given) per-vertex offsets;
// queries are read-only and allocate nothing.
//
// With offsets, the tree also answers for the polygon whose vertices are moved to
// vertices + shift·offsets (a section of a sloped slab): each node knows how far its edges'
// end points move per unit shift, which widens its distance bound by that much.
class PolygonEdgeTree {
public:
    // A node holds at most this many edges before it is split.
    static constexpr std::size_t LEAF_EDGES = 20;
    // Nodes at this depth are never split, whatever their edge count.
    static constexpr int MAX_DEPTH = 32;

    struct Node {
        Vec2 centre;
        double half_size = 0.0;
        // Largest distance from the centre to a point of the node's edges.
        double radius = 0.0;
        // Largest length of the offsets of the node's edges' end points.
        double offset_reach = 0.0;
        // Bounding rectangle of the edges (end points and the extreme points of arcs), widened by
        // float_tolerance per side.
        Vec2 box_min;
        Vec2 box_max;
        // Start vertex index of each edge; only leaves keep edges.
        std::vector<uint32_t> edges;
        std::array<uint32_t, 4> children{};
        int child_count = 0;
        int depth = 0;
    };

    PolygonEdgeTree() = default;
    explicit PolygonEdgeTree(const Polygon& polygon) { rebuild(polygon); }
    // A tree that also answers for the polygon moved along `offsets` (one per vertex).
    PolygonEdgeTree(const Polygon& polygon, const std::vector<Vec2>& offsets);

    // Rebuilds the tree over the edges of `polygon`, its arcs included; no offsets.
    void rebuild(const Polygon& polygon);

    // The edge nearest to q (ties go to the edge found first) and its distance. For a polygon
    // of straight edges the edge is then moved to the neighbouring edge that q projects onto
    // when q is nearest to a vertex; with arcs it is the nearest edge as found. The index is -1
    // for an empty polygon.
    std::pair<int64_t, double> nearest_edge(const Vec2& q) const;
    // The same for the straight polygon vertices + shift·offsets (requires offsets), searched on
    // the moved edges themselves.
    std::pair<int64_t, double> nearest_edge(const Vec2& q, double shift) const;

    // point_in_polygon() of the tree's polygon, arcs included, with the same answer: true
    // within tol of an edge, otherwise the parity of the crossings of the ray from q towards
    // +x, counted only over the nodes whose box the ray meets.
    bool contains(const Vec2& q, double tol) const;
    // The same for the straight polygon vertices + shift·offsets (requires offsets).
    bool contains(const Vec2& q, double tol, double shift) const;

    // Distance from q to edge `edge` of the tree's polygon (to its arc for an arc edge).
    double segment_distance(const Vec2& q, std::size_t edge) const;

    const std::vector<Vec2>& vertices() const { return vertices_; }
    const std::vector<ArcSegment>& arcs() const { return arcs_; }
    const std::vector<Vec2>& offsets() const { return offsets_; }
    const std::vector<Node>& nodes() const { return nodes_; }

private:
    template <class Distance>
    void search(uint32_t node, const Vec2& q, double reach_factor, const Distance& squared_distance,
                double& best_sq, int64_t& best) const;
    double squared_edge_distance(const Vec2& q, std::size_t edge) const;
    template <class Vertices>
    bool ray_parity(uint32_t node, const Vertices& v, const Vec2& q, double move, double snap, bool& on_edge) const;
    void build();

    std::vector<Vec2> vertices_;
    std::vector<ArcSegment> arcs_;
    std::vector<Vec2> offsets_;
    std::vector<Node> nodes_;
};
