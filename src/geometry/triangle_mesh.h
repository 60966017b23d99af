#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "geometry/geometry.h"

// One triangle of a mesh with the quantities the queries reuse.
struct TriangleRecord {
    TriangleRecord(const Vec3& a, const Vec3& b, const Vec3& c);

    Vec3 a, b, c;
    // b - a, c - b, a - c.
    std::array<Vec3, 3> edges;
    // (b - a) × (c - a), and its unit vector (zero for a degenerate triangle).
    Vec3 normal;
    Vec3 unit_normal;
    // Vertex box, each side moved out by float_tolerance of its coordinate.
    Vec3 box_min;
    Vec3 box_max;
    // The normal has zero length.
    bool degenerate = false;
};

// A surface given by triangles, expected closed and facing outwards (counter-clockwise seen from
// outside). Inside tests cast random rays through an octree of the triangles and count oriented
// crossings; the nearest-surface query searches the same octree.
class TriangleMesh final : public Geometry {
public:
    // Octree nodes holding more triangles than this are split.
    static constexpr std::size_t LEAF_ITEMS = 20;
    // Octree nodes at this depth are never split.
    static constexpr int MAX_DEPTH = 32;
    // Meshes with fewer triangles judge inside/outside from the nearest face's orientation.
    static constexpr std::size_t NEAREST_FACE_SIGN_LIMIT = 50000;
    // Node bounds the ray walk tests.
    enum VolumeKind : int32_t { BOXES = 1, SPHERES = 2 };

    struct Node {
        Vec3 centre;
        double half_size = 0.0;
        // Largest distance from the centre to a vertex of the node's triangles.
        double radius = 0.0;
        // Vertex box of the node's triangles, widened by float_tolerance per coordinate.
        Vec3 box_min;
        Vec3 box_max;
        // Triangle indices: all of a leaf's, a sample of two or three for a split node.
        std::vector<uint32_t> items;
        std::array<uint32_t, 8> children{};
        int child_count = 0;
        int depth = 0;
    };

    TriangleMesh(const Transform& transform, std::vector<TriangleRecord> triangles);

    Aabb bounds() const override;
    bool contains(const Vec3& p, bool exact, double tol) const override;
    Vec3 surface_normal(const Vec3& p, double& dist, bool& unique, bool in_plane, double tol) const override;

    // The surface check and random-ray crossing count of contains().
    bool inside(const Vec3& p, double tol) const;
    // The nearest triangle to p (-1 for an empty mesh), its distance and nearest point.
    int64_t nearest_triangle(const Vec3& p, double& distance, Vec3& nearest) const;

    const std::vector<TriangleRecord>& triangles() const { return triangles_; }
    const std::vector<Node>& nodes() const { return nodes_; }
    VolumeKind volume_kind() const { return volume_kind_; }
    // Ray directions the inside test may try before it decides from the last one.
    static constexpr int max_attempts = 50;

private:
    void build_octree();
    void search(uint32_t node, const Vec3& p, double& best_sq, int64_t& best, Vec3& nearest) const;
    // Counts oriented crossings along d; false when a hit near an edge makes the attempt
    // ambiguous and `may_retry` is set. `hit_surface` is set when p is within tol of a triangle.
    bool count_crossings(const Vec3& p, const Vec3& d, double tol, bool may_retry, bool& hit_surface,
                         int& sum) const;

    std::vector<TriangleRecord> triangles_;
    std::vector<Node> nodes_;
    VolumeKind volume_kind_ = BOXES;
};
