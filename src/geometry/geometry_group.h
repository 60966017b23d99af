#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "geometry/geometry.h"

// Octree over the members of a large group, built on the members' cached world boxes.
class GroupTree {
public:
    struct Node {
        double half_size = 0.0;
        Vec3 centre;
        int32_t depth = 0;
        std::array<int32_t, 8> children{};
        int32_t child_count = 0;
        // All members of a leaf; a few sample members of an internal node (which are also in
        // its leaves), asked first to get a good bound for the nearest-surface search.
        std::vector<int32_t> members;
        Aabb box;  // union of the node's members' boxes
    };

    // A node with at most this many members is a leaf; deeper than this depth too.
    static constexpr size_t LEAF_SIZE = 20;
    static constexpr int32_t MAX_DEPTH = 29;

    explicit GroupTree(std::vector<std::shared_ptr<Geometry>> members);

    bool contains(const Vec3& p, bool exact, double tol) const;
    // Replaces (normal, dist, unique) by any member whose world distance is strictly smaller.
    void nearest(const Vec3& p, bool in_plane, double tol, Vec3& normal, double& dist, bool& unique) const;
    // Calls visit(member) for the members of the leaves whose box grown by tol holds p, until
    // one returns true; returns whether one did.
    template <typename Visit>
    bool any_member_near(const Vec3& p, double tol, Visit&& visit) const {
        return any_member_near(0, p, tol, visit);
    }

    const std::vector<std::shared_ptr<Geometry>>& members() const { return members_; }
    const std::vector<Node>& nodes() const { return nodes_; }

private:
    void build(int32_t node);
    bool contains(int32_t node, const Vec3& p, bool exact, double tol) const;
    void nearest(int32_t node, const Vec3& p, bool in_plane, double tol, Vec3& normal, double& dist,
                 bool& unique) const;
    template <typename Visit>
    bool any_member_near(int32_t index, const Vec3& p, double tol, Visit& visit) const {
        const Node& node = nodes_[index];
        if (!node.box.contains(p, tol)) return false;
        if (node.child_count == 0) {
            for (int32_t m : node.members)
                if (visit(*members_[m])) return true;
            return false;
        }
        for (int32_t c = 0; c < node.child_count; ++c)
            if (any_member_near(node.children[c], p, tol, visit)) return true;
        return false;
    }

    std::vector<std::shared_ptr<Geometry>> members_;
    std::vector<Node> nodes_;
};

// The union of any number of shapes. Its own frame is the world frame. Groups of more than
// GroupTree::LEAF_SIZE members search their members through an octree.
class GeometryGroup final : public Geometry {
public:
    explicit GeometryGroup(std::vector<std::shared_ptr<Geometry>> members);

    Aabb bounds() const override;
    bool contains(const Vec3& p, bool exact, double tol) const override;
    bool edge_at(const Vec3& p, double tol, double& wedge_angle, int32_t& edge_axis) const override;
    void prepare_slice(const Vec3& p) override;
    bool within_axial_extent(const Vec3& p, double tol) const override;
    Vec2 planar_normal(const Vec3& p, double& dist, bool& unique, double tol) const override;
    Vec3 surface_normal(const Vec3& p, double& dist, bool& unique, bool in_plane, double tol) const override;
    bool uses_slices() const override;
    int32_t slice_axis() const override;

    const std::vector<std::shared_ptr<Geometry>> members;
    // Members use slices along different axes: contains() is always exact.
    bool slice_conflict = false;
    // Null unless the group has more than GroupTree::LEAF_SIZE members.
    const std::shared_ptr<const GroupTree> group_tree;

private:
    bool uses_slices_ = false;
    // The slice axis of the first member that uses slices.
    int32_t slice_axis_ = 2;
};
