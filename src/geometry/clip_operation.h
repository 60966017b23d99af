#pragma once

#include <cstdint>
#include <memory>

#include "geometry/geometry.h"

// Set operation codes of a ClipOperation.
inline constexpr int32_t CLIP_UNION = 0;
inline constexpr int32_t CLIP_INTERSECTION = 1;
inline constexpr int32_t CLIP_DIFFERENCE = 2;  // a minus b
inline constexpr int32_t CLIP_SYMMETRIC_DIFFERENCE = 3;

// A set operation on two shapes. Its own frame is the world frame; an operation code outside
// 0-3 contains nothing and reports a zero normal.
class ClipOperation final : public Geometry {
public:
    ClipOperation(std::shared_ptr<Geometry> operand_a, std::shared_ptr<Geometry> operand_b, int32_t operation);

    Aabb bounds() const override;
    bool contains(const Vec3& p, bool exact, double tol) const override;
    bool edge_at(const Vec3& p, double tol, double& wedge_angle, int32_t& edge_axis) const override;
    void prepare_slice(const Vec3& p) override;
    bool within_axial_extent(const Vec3& p, double tol) const override;
    Vec2 planar_normal(const Vec3& p, double& dist, bool& unique, double tol) const override;
    Vec3 surface_normal(const Vec3& p, double& dist, bool& unique, bool in_plane, double tol) const override;
    bool uses_slices() const override;
    int32_t slice_axis() const override;

    const std::shared_ptr<Geometry> operand_a;
    const std::shared_ptr<Geometry> operand_b;
    const Aabb box_a;
    const Aabb box_b;
    const int32_t operation;
    // The operands use slices along different axes: contains() is always exact.
    bool slice_conflict = false;

private:
    bool uses_slices_ = false;
    // The slice axis of the operand (or operands) that use slices.
    int32_t slice_axis_ = 2;
};
