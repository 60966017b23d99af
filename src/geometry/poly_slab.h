#pragma once

#include <memory>
#include <vector>

#include "geometry/extrusion.h"
#include "geometry/polygon.h"
#include "geometry/polygon_edge_tree.h"

// A polygon in the local x-y plane, possibly with arc edges and dilated, extruded along local
// z from 0 to `height`. The polygon is stored counter-clockwise without duplicate vertices.
class PolySlab final : public Extrusion {
public:
    // vertices and bulges as read (bulge i belongs to the edge from vertex i to i + 1); a
    // dilation of 2^-23 or more moves the edges outwards by that distance. A dilation together
    // with arcs is an internal error.
    PolySlab(const Transform& transform, double height, const std::vector<Vec2>& vertices,
             const std::vector<double>& bulges, double dilation);

    Aabb bounds() const override;
    bool contains_section(const Vec2& q, double tol) const override;
    Vec2 planar_normal(const Vec3& p, double& dist, bool& unique, double tol) const override;
    bool edge_at(const Vec3& p, double tol, double& wedge_angle, int32_t& edge_axis) const override;

    const Polygon& polygon() const { return polygon_; }
    const double dilation;
    // Interior angle of each vertex, in [0, 2π).
    const std::vector<double>& vertex_angles() const { return vertex_angles_; }
    // Every non-empty polygon has one, arc edges included.
    bool has_tree() const { return edge_tree_ != nullptr; }
    const PolygonEdgeTree* edge_tree() const { return edge_tree_.get(); }

private:
    bool vertical_edge_at(const Vec2& q, double tol, double& wedge_angle) const;
    bool cap_edge_at(const Vec2& q, double tol, int32_t& edge_axis) const;
    bool cap_edge_qualifies(const Vec2& a, const Vec2& b, const Vec2& q, double tol, int32_t& edge_axis) const;

    Polygon polygon_;
    std::shared_ptr<PolygonEdgeTree> edge_tree_;
    std::vector<double> vertex_angles_;
};
