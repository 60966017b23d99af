#include "geometry/triangle_mesh.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <random>
#include <thread>
#include <utility>

#include "common/tolerance.h"

namespace {

// Slack of the barycentric lower bounds of a ray hit (2^-126).
constexpr double BARY_LOW = 1.1754943508222875e-38;

Vec3 vmin(const Vec3& a, const Vec3& b) { return {std::min(a.x, b.x), std::min(a.y, b.y), std::min(a.z, b.z)}; }
Vec3 vmax(const Vec3& a, const Vec3& b) { return {std::max(a.x, b.x), std::max(a.y, b.y), std::max(a.z, b.z)}; }

double squared(const Vec3& v) { return dot(v, v); }

// Nearest point to p on the segment a-b (projection clamped; a zero-length segment gives a).
Vec3 nearest_on_segment(const Vec3& p, const Vec3& a, const Vec3& b) {
    const Vec3 ab = b - a;
    double t = dot(p - a, ab) / dot(ab, ab);
    if (!(t > 0.0)) t = 0.0;
    if (t > 1.0) t = 1.0;
    return a + ab * t;
}

// Nearest point to p on the triangle.
Vec3 nearest_on_triangle(const Vec3& p, const TriangleRecord& t) {
    if (!t.degenerate) {
        // Projection into the plane; inside when all barycentric coordinates are non-negative.
        const Vec3 e0 = t.b - t.a;
        const Vec3 e1 = t.c - t.a;
        const Vec3 proj = p - t.unit_normal * dot(p - t.a, t.unit_normal);
        const double nn = dot(t.normal, t.normal);
        const double w_c = dot(cross(e0, proj - t.a), t.normal) / nn;
        const double w_b = dot(cross(proj - t.a, e1), t.normal) / nn;
        const double w_a = 1.0 - w_b - w_c;
        if (w_a >= 0.0 && w_b >= 0.0 && w_c >= 0.0) return proj;
    }
    Vec3 best = nearest_on_segment(p, t.a, t.b);
    double best_sq = squared(p - best);
    for (const Vec3& q : {nearest_on_segment(p, t.b, t.c), nearest_on_segment(p, t.c, t.a)}) {
        const double d = squared(p - q);
        if (d < best_sq) {
            best_sq = d;
            best = q;
        }
    }
    return best;
}

// Ray p + t·d (t ≥ 0) meets the box; the far parameter is raised by `far_slack` of itself when
// set.
bool ray_hits_box(const Vec3& p, const Vec3& d, const Vec3& lo, const Vec3& hi, bool far_slack) {
    double t_near = -INFINITY;
    double t_far = INFINITY;
    for (int i = 0; i < 3; ++i) {
        if (d[i] == 0.0) {
            if (!(p[i] >= lo[i] && p[i] <= hi[i])) return false;
            continue;
        }
        double t1 = (lo[i] - p[i]) / d[i];
        double t2 = (hi[i] - p[i]) / d[i];
        if (t1 > t2) std::swap(t1, t2);
        t_near = std::max(t_near, t1);
        t_far = std::min(t_far, t2);
    }
    if (far_slack && std::isfinite(t_far)) t_far += float_tolerance(t_far);
    return t_near <= t_far && t_far >= 0.0;
}

// Per-thread state of the inside test: the generator, seeded once from the thread, and the
// traversal stack and leaf list, reused between calls.
struct RayScratch {
    std::minstd_rand0 generator;
    std::vector<uint32_t> stack;
    std::vector<uint32_t> leaves;

    RayScratch() {
        uint64_t seed = std::hash<std::thread::id>{}(std::this_thread::get_id()) % 2147483647u;
        if (seed == 0) seed = 1;
        generator.seed(static_cast<std::minstd_rand0::result_type>(seed));
    }
};

RayScratch& ray_scratch() {
    thread_local RayScratch scratch;
    return scratch;
}

}  // namespace

TriangleRecord::TriangleRecord(const Vec3& a, const Vec3& b, const Vec3& c) : a(a), b(b), c(c) {
    edges = {b - a, c - b, a - c};
    normal = cross(b - a, c - a);
    const double len = length(normal);
    degenerate = len == 0.0;
    unit_normal = degenerate ? Vec3{} : normal / len;
    const Vec3 lo = vmin(vmin(a, b), c);
    const Vec3 hi = vmax(vmax(a, b), c);
    for (int i = 0; i < 3; ++i) {
        box_min[i] = lo[i] - float_tolerance(lo[i]);
        box_max[i] = hi[i] + float_tolerance(hi[i]);
    }
}

TriangleMesh::TriangleMesh(const Transform& transform, std::vector<TriangleRecord> triangles)
    : Geometry(transform, false), triangles_(std::move(triangles)) {
    sign_from_nearest_face = triangles_.size() < NEAREST_FACE_SIGN_LIMIT;
    build_octree();
}

void TriangleMesh::build_octree() {
    const std::size_t n = triangles_.size();
    if (n == 0) return;
    Node root;
    Vec3 sum;
    for (const TriangleRecord& t : triangles_) sum += t.a + t.b + t.c;
    root.centre = sum / static_cast<double>(3 * n);
    double extent = 0.0;
    for (const TriangleRecord& t : triangles_)
        for (const Vec3& v : {t.a, t.b, t.c})
            for (int i = 0; i < 3; ++i) extent = std::max(extent, std::fabs(v[i] - root.centre[i]));
    root.half_size = 1.01 * extent;
    root.items.resize(n);
    for (std::size_t i = 0; i < n; ++i) root.items[i] = static_cast<uint32_t>(i);
    nodes_.push_back(std::move(root));

    auto centroid = [&](uint32_t i) { return (triangles_[i].a + triangles_[i].b + triangles_[i].c) / 3.0; };
    for (std::size_t index = 0; index < nodes_.size(); ++index) {
        Node& node = nodes_[index];
        double radius = 0.0;
        Vec3 lo{INFINITY, INFINITY, INFINITY};
        Vec3 hi{-INFINITY, -INFINITY, -INFINITY};
        for (uint32_t item : node.items) {
            const TriangleRecord& t = triangles_[item];
            for (const Vec3& v : {t.a, t.b, t.c}) {
                radius = std::max(radius, length(v - node.centre));
                lo = vmin(lo, v);
                hi = vmax(hi, v);
            }
        }
        node.radius = radius;
        for (int i = 0; i < 3; ++i) {
            node.box_min[i] = lo[i] - float_tolerance(lo[i]);
            node.box_max[i] = hi[i] + float_tolerance(hi[i]);
        }
        if (node.items.size() <= LEAF_ITEMS || node.depth >= MAX_DEPTH) continue;
        // Triangles whose centroids coincide can never be separated by a split.
        const Vec3 first = centroid(node.items.front());
        if (std::all_of(node.items.begin(), node.items.end(), [&](uint32_t i) { return centroid(i) == first; }))
            continue;

        std::array<std::vector<uint32_t>, 8> octants;
        for (uint32_t item : node.items) {
            const Vec3 c = centroid(item);
            octants[(c.x > node.centre.x ? 1 : 0) + (c.y > node.centre.y ? 2 : 0) + (c.z > node.centre.z ? 4 : 0)]
                .push_back(item);
        }
        // The split node keeps a sample so that the nearest search finds a bound early.
        const std::size_t step = node.items.size() / 2;
        std::vector<uint32_t> sample;
        for (std::size_t pos = 0; pos < node.items.size(); pos += step) sample.push_back(node.items[pos]);
        node.items = std::move(sample);

        const Vec3 centre = node.centre;
        const double child_half = node.half_size / 2.0;
        const int child_depth = node.depth + 1;
        std::array<uint32_t, 8> children{};
        int child_count = 0;
        for (int o = 0; o < 8; ++o) {
            if (octants[o].empty()) continue;
            Node child;
            child.centre = {centre.x + ((o & 1) ? child_half : -child_half),
                            centre.y + ((o & 2) ? child_half : -child_half),
                            centre.z + ((o & 4) ? child_half : -child_half)};
            child.half_size = child_half;
            child.depth = child_depth;
            child.items = std::move(octants[o]);
            children[child_count++] = static_cast<uint32_t>(nodes_.size());
            nodes_.push_back(std::move(child));  // invalidates `node`
        }
        nodes_[index].children = children;
        nodes_[index].child_count = child_count;
    }

    double spheres = 0.0;
    double boxes = 0.0;
    for (const Node& node : nodes_) {
        spheres += 12.566370614359172 * node.radius * node.radius;
        const double wx = std::max(0.0, node.box_max.x - node.box_min.x);
        const double wy = std::max(0.0, node.box_max.y - node.box_min.y);
        const double wz = std::max(0.0, node.box_max.z - node.box_min.z);
        boxes += 2.0 * (wx * wy + wy * wz + wx * wz);
    }
    volume_kind_ = spheres / std::max(boxes, ZERO_LENGTH) <= 1.1 ? SPHERES : BOXES;
}

Aabb TriangleMesh::bounds() const {
    Aabb box;
    for (const TriangleRecord& t : triangles_) {
        for (int corner = 0; corner < 8; ++corner) {
            const Vec3 p{(corner & 4) ? t.box_max.x : t.box_min.x, (corner & 2) ? t.box_max.y : t.box_min.y,
                         (corner & 1) ? t.box_max.z : t.box_min.z};
            box.include(transform_point(transform.to_world, p));
        }
    }
    return box;
}

bool TriangleMesh::contains(const Vec3& p, bool, double tol) const { return inside(p, tol); }

bool TriangleMesh::count_crossings(const Vec3& p, const Vec3& d, double tol, bool may_retry, bool& hit_surface,
                                   int& sum) const {
    RayScratch& scratch = ray_scratch();
    std::vector<uint32_t>& stack = scratch.stack;
    std::vector<uint32_t>& leaves = scratch.leaves;
    stack.clear();
    leaves.clear();
    stack.push_back(0);
    while (!stack.empty()) {
        const uint32_t index = stack.back();
        stack.pop_back();
        const Node& node = nodes_[index];
        if (volume_kind_ == SPHERES) {
            const Vec3 to_centre = node.centre - p;
            const double reach = node.radius + tol;
            if (!(length(to_centre) <= reach)) {
                const double along = dot(to_centre, d);
                const bool behind = -tol >= along;
                const bool far = length(to_centre - d * along) > reach;
                if (behind || far) continue;
            }
        } else {
            const Vec3 grow{tol, tol, tol};
            if (!ray_hits_box(p, d, node.box_min - grow, node.box_max + grow, false)) continue;
        }
        if (node.child_count == 0) {
            leaves.push_back(index);
            continue;
        }
        for (int c = node.child_count - 1; c >= 0; --c) stack.push_back(node.children[c]);
    }

    sum = 0;
    for (uint32_t leaf : leaves) {
        for (uint32_t item : nodes_[leaf].items) {
            const TriangleRecord& t = triangles_[item];
            const double plane = t.degenerate ? length(t.a - p) : dot(t.a - p, t.unit_normal);
            if (std::fabs(plane) <= tol && length(p - nearest_on_triangle(p, t)) <= tol) {
                hit_surface = true;
                return true;
            }
            const double dn = dot(d, t.normal);
            if (dn == 0.0 || !ray_hits_box(p, d, t.box_min, t.box_max, true)) continue;
            const Vec3 e1 = t.b - t.a;
            const Vec3 e2 = t.c - t.a;
            const Vec3 pvec = cross(d, e2);
            const double inv = 1.0 / dot(e1, pvec);
            const Vec3 tvec = p - t.a;
            const double u = dot(tvec, pvec) * inv;
            const Vec3 qvec = cross(tvec, e1);
            const double v = dot(d, qvec) * inv;
            const double ray_t = dot(e2, qvec) * inv;
            if (!(u >= -BARY_LOW && u <= 1.0 + ZERO_LENGTH && v >= -BARY_LOW && u + v <= 1.0 + ZERO_LENGTH &&
                  ray_t >= -BARY_LOW))
                continue;
            if (u < BARY_LOW || v < BARY_LOW || u + v > 1.0 - ZERO_LENGTH) {
                if (may_retry) return false;
                continue;
            }
            sum += dn > 0.0 ? 1 : -1;
        }
    }
    return true;
}

bool TriangleMesh::inside(const Vec3& p, double tol) const {
    if (nodes_.empty()) return false;
    std::uniform_real_distribution<double> uniform(-1.0, 1.0);
    RayScratch& scratch = ray_scratch();
    for (int attempt = 0; attempt < max_attempts; ++attempt) {
        Vec3 d;
        d.x = uniform(scratch.generator);
        d.y = uniform(scratch.generator);
        d.z = uniform(scratch.generator);
        d = normalized(d);
        bool hit_surface = false;
        int sum = 0;
        const bool decided = count_crossings(p, d, tol, attempt < max_attempts - 1, hit_surface, sum);
        if (hit_surface) return true;
        if (decided) return sum >= 1;
    }
    return false;
}

void TriangleMesh::search(uint32_t index, const Vec3& p, double& best_sq, int64_t& best, Vec3& nearest) const {
    const Node& node = nodes_[index];
    for (uint32_t item : node.items) {
        const Vec3 q = nearest_on_triangle(p, triangles_[item]);
        const double d = squared(p - q);
        if (d < best_sq) {
            best_sq = d;
            best = item;
            nearest = q;
        }
    }
    if (node.child_count == 0) return;
    std::array<std::pair<double, uint32_t>, 8> order;
    int count = 0;
    const double best_dist = std::sqrt(best_sq);
    for (int c = 0; c < node.child_count; ++c) {
        const Node& child = nodes_[node.children[c]];
        const double bound = length(p - child.centre) - child.radius;
        if (bound < best_dist) order[count++] = {bound, node.children[c]};
    }
    // Insertion sort by (bound, child index): at most a handful of children.
    for (int i = 1; i < count; ++i)
        for (int j = i; j > 0 && order[j] < order[j - 1]; --j) std::swap(order[j], order[j - 1]);
    for (int c = 0; c < count; ++c) {
        if (order[c].first >= std::sqrt(best_sq)) continue;
        search(order[c].second, p, best_sq, best, nearest);
    }
}

int64_t TriangleMesh::nearest_triangle(const Vec3& p, double& distance, Vec3& nearest) const {
    double best_sq = 1e20 * 1e20;
    int64_t best = -1;
    if (!nodes_.empty()) search(0, p, best_sq, best, nearest);
    distance = std::sqrt(best_sq);
    return best;
}

Vec3 TriangleMesh::surface_normal(const Vec3& p, double& dist, bool&, bool, double tol) const {
    Vec3 nearest;
    const int64_t best = nearest_triangle(p, dist, nearest);
    if (best < 0) return {};
    const TriangleRecord& t = triangles_[static_cast<std::size_t>(best)];
    if (sign_from_nearest_face) {
        const bool behind = t.degenerate ? length(t.a - p) > 0.0 : dot(t.a - p, t.unit_normal) > 0.0;
        if (behind) dist = -dist;
    } else if (inside(p, tol)) {
        dist = -dist;
    }
    return t.unit_normal;
}
