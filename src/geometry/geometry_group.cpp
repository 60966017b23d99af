#include "geometry/geometry_group.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <utility>

#include "geometry/composite.h"

// ---------------------------------------------------------------------------------------------
// GroupTree

GroupTree::GroupTree(std::vector<std::shared_ptr<Geometry>> members) : members_(std::move(members)) {
    Node root;
    for (const auto& m : members_) root.box.include(m->cached_bounds());
    const Vec3 extent = root.box.max - root.box.min;
    root.half_size = 0.5 * 1.01 * std::max({extent.x, extent.y, extent.z});
    root.centre = root.box.centre();
    root.members.resize(members_.size());
    for (size_t i = 0; i < members_.size(); ++i) root.members[i] = static_cast<int32_t>(i);
    nodes_.push_back(std::move(root));
    build(0);
}

void GroupTree::build(int32_t index) {
    {
        Node& node = nodes_[index];
        node.box = Aabb{};
        for (int32_t m : node.members) node.box.include(members_[m]->cached_bounds());
        if (node.members.size() <= LEAF_SIZE || node.depth > MAX_DEPTH) return;
    }

    std::array<std::vector<int32_t>, 8> octants;
    {
        const Node& node = nodes_[index];
        for (int32_t m : node.members) {
            const Vec3 c = members_[m]->cached_bounds().centre();
            const int octant = 4 * (c.x > node.centre.x) + 2 * (c.y > node.centre.y) + (c.z > node.centre.z);
            octants[octant].push_back(m);
        }
        size_t fullest = 0;
        for (const auto& o : octants) fullest = std::max(fullest, o.size());
        if (fullest == node.members.size()) return;
    }

    Node& node = nodes_[index];
    const size_t count = node.members.size();
    const size_t step = count <= 3 ? 1 : count / 2;
    std::vector<int32_t> samples;
    for (size_t i = 0; i < count; i += step) samples.push_back(node.members[i]);
    node.members = std::move(samples);

    const double child_half = node.half_size / 2.0;
    const Vec3 centre = node.centre;
    const int32_t depth = node.depth + 1;
    const int32_t first_child = static_cast<int32_t>(nodes_.size());
    int32_t child_count = 0;
    std::array<int32_t, 8> children{};
    for (int octant = 0; octant < 8; ++octant) {
        if (octants[octant].empty()) continue;
        Node child;
        child.half_size = child_half;
        child.centre = {centre.x + ((octant & 4) ? child_half : -child_half),
                        centre.y + ((octant & 2) ? child_half : -child_half),
                        centre.z + ((octant & 1) ? child_half : -child_half)};
        child.depth = depth;
        child.members = std::move(octants[octant]);
        children[child_count] = first_child + child_count;
        ++child_count;
        nodes_.push_back(std::move(child));
    }
    nodes_[index].children = children;
    nodes_[index].child_count = child_count;
    for (int32_t c = 0; c < child_count; ++c) build(children[c]);
}

bool GroupTree::contains(const Vec3& p, bool exact, double tol) const { return contains(0, p, exact, tol); }

bool GroupTree::contains(int32_t index, const Vec3& p, bool exact, double tol) const {
    const Node& node = nodes_[index];
    if (!node.box.contains(p, tol)) return false;
    if (node.child_count == 0) {
        for (int32_t m : node.members)
            if (member_contains(*members_[m], p, exact, tol)) return true;
        return false;
    }
    for (int32_t c = 0; c < node.child_count; ++c)
        if (contains(node.children[c], p, exact, tol)) return true;
    return false;
}

void GroupTree::nearest(const Vec3& p, bool in_plane, double tol, Vec3& normal, double& dist, bool& unique) const {
    nearest(0, p, in_plane, tol, normal, dist, unique);
}

void GroupTree::nearest(int32_t index, const Vec3& p, bool in_plane, double tol, Vec3& normal, double& dist,
                        bool& unique) const {
    const Node& node = nodes_[index];
    for (int32_t m : node.members) {
        const MemberNormal r = member_normal(*members_[m], p, in_plane, tol);
        if (r.dist < dist) {
            normal = r.normal;
            dist = r.dist;
            unique = r.unique;
        }
    }
    struct Bound {
        double bound;
        int32_t child;
    };
    std::array<Bound, 8> order;
    int n = 0;
    for (int32_t c = 0; c < node.child_count; ++c) {
        const int32_t child = node.children[c];
        const double bound = signed_distance(nodes_[child].box, p);
        if (bound < dist) order[n++] = {bound, child};
    }
    // Insertion sort by (bound, child index): at most eight entries.
    for (int i = 1; i < n; ++i) {
        const Bound key = order[i];
        int j = i - 1;
        for (; j >= 0 && (key.bound < order[j].bound || (key.bound == order[j].bound && key.child < order[j].child)); --j)
            order[j + 1] = order[j];
        order[j + 1] = key;
    }
    for (int i = 0; i < n; ++i) {
        if (!(order[i].bound < dist)) continue;
        nearest(order[i].child, p, in_plane, tol, normal, dist, unique);
    }
}

// ---------------------------------------------------------------------------------------------
// GeometryGroup

namespace {

bool any_has_edges(const std::vector<std::shared_ptr<Geometry>>& members) {
    for (const auto& m : members)
        if (m->has_edges) return true;
    return false;
}

std::shared_ptr<const GroupTree> tree_for(const std::vector<std::shared_ptr<Geometry>>& members) {
    if (members.size() <= GroupTree::LEAF_SIZE) return nullptr;
    return std::make_shared<const GroupTree>(members);
}

}  // namespace

GeometryGroup::GeometryGroup(std::vector<std::shared_ptr<Geometry>> members_in)
    : Geometry(Transform::identity(), any_has_edges(members_in)),
      members(std::move(members_in)),
      group_tree(tree_for(members)) {
    bool axis_known = false;
    for (const auto& m : members) {
        m->cached_bounds();
        if (!m->uses_slices()) continue;
        if (!axis_known) {
            uses_slices_ = true;
            axis_known = true;
            axis_index = m->axis_index;
            slice_axis_ = m->slice_axis();
        } else if (m->slice_axis() != slice_axis_) {
            slice_conflict = true;
            uses_slices_ = false;
            break;
        }
    }
}

Aabb GeometryGroup::bounds() const {
    Aabb box;
    for (const auto& m : members) box.include(m->cached_bounds());
    return box;
}

bool GeometryGroup::contains(const Vec3& p, bool exact, double tol) const {
    const bool e = exact || slice_conflict;
    if (group_tree) return group_tree->contains(p, e, tol);
    for (const auto& m : members)
        if (member_contains(*m, p, e, tol)) return true;
    return false;
}

bool GeometryGroup::edge_at(const Vec3& p, double tol, double& wedge_angle, int32_t& edge_axis) const {
    if (!on_surface(*this, p, tol)) return false;
    CompositeEdgeSearch search(p, tol);
    auto visit = [&](const Geometry& m) { return search.visit(m, wedge_angle, edge_axis); };
    if (group_tree) return group_tree->any_member_near(p, tol, visit);
    for (const auto& m : members)
        if (visit(*m)) return true;
    return false;
}

void GeometryGroup::prepare_slice(const Vec3& p) {
    for (const auto& m : members)
        if (m->uses_slices()) m->prepare_slice(m->to_local_point(p));
}

bool GeometryGroup::within_axial_extent(const Vec3& p, double tol) const {
    return !members.empty() && members.front()->within_axial_extent(p, tol);
}

Vec2 GeometryGroup::planar_normal(const Vec3& p, double& dist, bool& unique, double tol) const {
    Vec2 best;
    for (size_t i = 0; i < members.size(); ++i) {
        double d = 0.0;
        bool u = true;
        const Vec2 n = members[i]->planar_normal(p, d, u, tol);
        if (i == 0 || d < dist) {
            best = n;
            dist = d;
            unique = u;
        }
    }
    if (members.empty()) dist = DBL_MAX;
    return best;
}

Vec3 GeometryGroup::surface_normal(const Vec3& p, double& dist, bool& unique, bool in_plane, double tol) const {
    Vec3 normal;
    unique = true;
    if (group_tree) {
        dist = 1e20;
        group_tree->nearest(p, in_plane, tol, normal, dist, unique);
        return normal;
    }
    dist = DBL_MAX;
    for (const auto& m : members) {
        const MemberNormal r = member_normal(*m, p, in_plane, tol);
        if (r.dist < dist) {
            normal = r.normal;
            dist = r.dist;
            unique = r.unique;
        }
    }
    return normal;
}

bool GeometryGroup::uses_slices() const { return uses_slices_; }

int32_t GeometryGroup::slice_axis() const { return uses_slices_ ? slice_axis_ : axis_index; }
