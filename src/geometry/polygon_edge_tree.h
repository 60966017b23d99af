#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "geometry/polygon.h"
#include "geometry/vec2.h"

// A quadtree over the straight edges of a polygon that finds the nearest edge to a point in
// logarithmic time. Edge i runs from vertex i to vertex (i + 1) mod n. The tree keeps its own
// copy of the vertices; queries are read-only and allocate nothing.
class PolygonEdgeTree {
public:
    // A node holds at most this many edges before it is split.
    static constexpr std::size_t LEAF_EDGES = 20;
    // Nodes at this depth are never split, whatever their edge count.
    static constexpr int MAX_DEPTH = 32;

    struct Node {
        Vec2 centre;
        double half_size = 0.0;
        // Largest distance from the centre to an end point of the node's edges.
        double radius = 0.0;
        // Bounding rectangle of the edges' end points, widened by float_tolerance per side.
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

    // Rebuilds the tree over the straight edges of `polygon` (its arcs are ignored).
    void rebuild(const Polygon& polygon);

    // The edge nearest to q (ties go to the edge found first) and its distance, then moved to
    // the neighbouring edge that q projects onto when q is nearest to a vertex. The index is
    // -1 for an empty polygon.
    std::pair<int64_t, double> nearest_edge(const Vec2& q) const;

    // Distance from q to edge `edge` of the tree's vertices.
    double segment_distance(const Vec2& q, std::size_t edge) const;

    const std::vector<Vec2>& vertices() const { return vertices_; }
    const std::vector<Node>& nodes() const { return nodes_; }

private:
    void search(uint32_t node, const Vec2& q, double& best_sq, int64_t& best) const;

    std::vector<Vec2> vertices_;
    std::vector<Node> nodes_;
};
