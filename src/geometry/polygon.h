#pragma once

#include <array>
#include <cstddef>
#include <vector>

#include "geometry/vec2.h"

class PolygonEdgeTree;

// One part of an arc edge that lies on one half (right or left) of its circle: arcs are cut at
// the angles π/2 and 3π/2, so each piece is monotone in y and a horizontal line meets it once
// at most.
struct ArcPiece {
    Vec2 start;
    Vec2 end;
    // The piece lies on the right half of its circle (cosine of its middle angle positive).
    bool right_half = false;
};

// The circular arc of one polygon edge. A straight edge has valid false.
struct ArcSegment {
    bool valid = false;
    double radius = 0.0;
    Vec2 centre;
    // Angles of the edge's start and end vertex seen from the centre, in [0, 2π).
    double start_angle = 0.0;
    double end_angle = 0.0;
    // Positive: the arc runs counter-clockwise from start to end; negative: clockwise.
    double bulge = 0.0;
    std::array<ArcPiece, 3> pieces{};
    int piece_count = 0;
};

// A closed polygon: edge i runs from vertex i to vertex (i + 1) mod n. arcs is empty when every
// edge is straight, otherwise it holds one record per edge.
struct Polygon {
    std::vector<Vec2> vertices;
    std::vector<ArcSegment> arcs;

    bool has_arcs() const { return !arcs.empty(); }
    std::size_t size() const { return vertices.size(); }
};

// The vertices of a polygon moved along per-vertex offsets: vertex k is
// vertices[k] + shift·offsets[k]. With no offsets it is the polygon itself. Lets the queries
// below run on a shifted section without building it.
struct ShiftedVertices {
    const std::vector<Vec2>& vertices;
    const std::vector<Vec2>* offsets = nullptr;
    double shift = 0.0;

    std::size_t size() const { return vertices.size(); }
    Vec2 operator[](std::size_t k) const {
        if (offsets == nullptr) return vertices[k];
        return vertices[k] + (*offsets)[k] * shift;
    }
};

// Arc records for the edges of `vertices` from their bulges (edge i from vertex i to i + 1).
// Edges without a bulge (the list is shorter than the vertices) are straight; extra bulges are
// ignored; a bulge below 2^-23 in magnitude is a straight edge.
std::vector<ArcSegment> build_arcs(const std::vector<Vec2>& vertices, const std::vector<double>& bulges);

// Drops every vertex closer than 2^-23 to the last kept one (the last vertex is not compared
// with the first); arc records move with their vertices.
void remove_duplicate_vertices(Polygon& polygon);

// Reverses a clockwise polygon (negative signed area); its arcs are rebuilt so that the same
// arcs are traversed backwards.
void make_counter_clockwise(Polygon& polygon);

// Signed area (positive for counter-clockwise order).
double signed_area(const std::vector<Vec2>& vertices);

// The polygon encloses no area: all its edges are straight and its vertices lie on one line
// within rounding (fewer than three vertices, collinear vertices, a path that runs back over
// itself). Such a polygon bounds nothing and is treated as empty by the slabs.
bool encloses_nothing(const Polygon& polygon);

// Per vertex, the direction along which the two adjacent edges move apart by one unit each:
// the right-hand normal of the incoming edge, or the miter vector along the bisector (length
// 1/cos of half the turn; no miter limit).
std::vector<Vec2> miter_offsets(const Polygon& polygon);

// vertices + d·offsets; arcs are dropped.
Polygon offset_polygon(const Polygon& polygon, const std::vector<Vec2>& offsets, double d);

// One edge's part in point_in_polygon(), for the edge from `start` to `end` (an arc when `arc` is
// a valid record): sets on_edge when q lies on it (within tol, on the ray's line inside a
// horizontal edge, or exactly at the crossing); otherwise answers whether the edge flips the
// parity of the ray from q towards +x.
bool edge_flips_parity(const Vec2& start, const Vec2& end, const ArcSegment* arc, const Vec2& q, double tol,
                       bool& on_edge);

// q lies inside the polygon or within tol of its boundary (ray crossing parity towards +x).
// An empty polygon contains nothing.
bool point_in_polygon(const Polygon& polygon, const Vec2& q, double tol);
// The same on shifted vertices (all edges straight).
bool point_in_polygon(const ShiftedVertices& vertices, const Vec2& q, double tol);

// Outward normal (not normalized) of the nearest edge, scanning every edge; dist is the signed
// distance (negative inside); unique is cleared when the next or the previous edge is within
// tol of equally near. Arc edges measure to the arc.
Vec2 nearest_edge_normal(const Polygon& polygon, const Vec2& q, double& dist, bool& unique, double tol);
// The same on shifted vertices (all edges straight).
Vec2 nearest_edge_normal(const ShiftedVertices& vertices, const Vec2& q, double& dist, bool& unique, double tol);

// The same answer found through the edge tree built over the polygon: the tree picks the
// nearest edge on its own (unshifted) vertices and the distance, uniqueness, sign and normal are
// measured on `vertices`, which must have as many vertices as the tree.
Vec2 nearest_edge_normal(const PolygonEdgeTree& tree, const ShiftedVertices& vertices, const Vec2& q,
                         double& dist, bool& unique, double tol);

// The scan's answer for the straight polygon moved to tree vertices + shift·tree offsets (the
// tree must have offsets), found through the tree: the nearest edge is searched on the moved
// edges themselves; the sign is the side of that edge, or at a vertex the crossing test.
Vec2 nearest_shifted_edge_normal(const PolygonEdgeTree& tree, double shift, const Vec2& q, double& dist,
                                 bool& unique, double tol);

// The scan's answer for a polygon with arcs, found through the tree built over it (arcs
// included): the sign is the side of the nearest edge, or at a vertex the crossing test.
Vec2 nearest_arc_edge_normal(const PolygonEdgeTree& tree, const Vec2& q, double& dist, bool& unique, double tol);

// Distance from q to the segment a-b (projection clamped to the segment).
double segment_distance(const Vec2& q, const Vec2& a, const Vec2& b);

// The angle of the arc point nearest to q (in [0, 2π)).
double nearest_arc_angle(const ArcSegment& arc, const Vec2& q);
// The point of the arc's circle at `angle`.
Vec2 arc_point(const ArcSegment& arc, double angle);
// The angle lies within the arc's sweep, with a slack of 2^-20 at both ends.
bool angle_in_sweep(const ArcSegment& arc, double angle);
