#include "geometry/slab_triangulation.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

#include <CDT.h>

#include "common/tolerance.h"
#include "geometry/tapered_poly_slab.h"

namespace {

// Strips cut from one side wall at most; a wall whose remaining width keeps shrinking towards
// zero would otherwise be cut without end.
constexpr int MAX_STRIPS = 4096;
// Strips cut from all the side walls of one slab together, shared out evenly between the
// walls. The strips of one wall number about its height over twice its width, which for a
// polygon of n short edges grows like n: without a budget the walls would hold n² triangles.
constexpr int WALL_STRIP_BUDGET = 1 << 16;

double distance(const Vec3& a, const Vec3& b) { return length(b - a); }

Vec3 lerp(const Vec3& a, const Vec3& b, double t) { return a + (b - a) * t; }

class WallBuilder {
public:
    // Each wall is cut into at most max_strips strips.
    WallBuilder(std::vector<TriangleRecord>& out, int max_strips) : out_(out), max_strips_(max_strips) {}

    void triangle(const Vec3& a, const Vec3& b, const Vec3& c) { out_.emplace_back(a, b, c); }

    // The quad a-b-c-d (in outward order) split along its shorter diagonal; on equal lengths
    // along b-d.
    void quad(const Vec3& a, const Vec3& b, const Vec3& c, const Vec3& d) {
        if (distance(a, c) < distance(b, d)) {
            triangle(a, b, c);
            triangle(a, c, d);
        } else {
            triangle(b, c, d);
            triangle(b, d, a);
        }
    }

    // One side wall P0-P1-P2-P3 (bottom edge P0-P1, top edge P3-P2, outward order).
    void wall(const Vec3& p0, const Vec3& p1, const Vec3& p2, const Vec3& p3) {
        const bool bottom_collapsed = p0 == p1;
        const bool top_collapsed = p2 == p3;
        if (bottom_collapsed && top_collapsed) return;
        if (bottom_collapsed) return triangle(p1, p2, p3);
        if (top_collapsed) return triangle(p0, p1, p2);

        const Vec3 p[4] = {p0, p1, p2, p3};
        double side[4];
        for (int i = 0; i < 4; ++i) side[i] = distance(p[i], p[(i + 1) % 4]);
        int k = 0;
        for (int i = 1; i < 4; ++i)
            if (side[i] < side[k]) k = i;
        // Rotate so that the shortest side runs from q[0] to q[1].
        const Vec3 q[4] = {p[k], p[(k + 1) % 4], p[(k + 2) % 4], p[(k + 3) % 4]};
        const double w = side[k];
        const bool next_long = side[(k + 1) % 4] > 2.0 * w;      // q1-q2
        const bool previous_long = side[(k + 3) % 4] > 2.0 * w;  // q3-q0
        const bool opposite_long = side[(k + 2) % 4] > 2.0 * w;  // q2-q3

        if (next_long && previous_long) return strips(q);
        if (next_long || previous_long) {
            if (opposite_long) return quad(q[0], q[1], q[2], q[3]);
            if (next_long) {
                const Vec3 m = lerp(q[1], q[2], 0.5);
                triangle(m, q[2], q[3]);
                triangle(m, q[3], q[0]);
                triangle(m, q[0], q[1]);
            } else {
                const Vec3 m = lerp(q[3], q[0], 0.5);
                triangle(m, q[0], q[1]);
                triangle(m, q[1], q[2]);
                triangle(m, q[2], q[3]);
            }
            return;
        }
        if (!opposite_long) return quad(q[0], q[1], q[2], q[3]);
        const Vec3 m = lerp(q[2], q[3], 0.5);
        triangle(m, q[3], q[0]);
        triangle(m, q[0], q[1]);
        triangle(m, q[1], q[2]);
    }

private:
    // Strips across the two long sides adjacent to the short side q0-q1, each about twice as
    // long as it is wide, but none shorter than the wall's longer side over (max_strips + 1),
    // so that there are at most max_strips of them.
    void strips(const Vec3 (&q)[4]) {
        Vec3 f = q[0];
        Vec3 g = q[1];
        const double shortest_strip = std::max(distance(q[0], q[3]), distance(q[1], q[2])) / (max_strips_ + 1.0);
        for (int count = 0; count < max_strips_; ++count) {
            const double width = distance(f, g);
            const double remaining = std::max(distance(f, q[3]), distance(g, q[2]));
            const double r = remaining / (2.0 * width);
            if (!(r > 1.0)) break;
            const double c = std::max(1.0 / std::max(2.0, r), shortest_strip / remaining);
            if (!(c < 1.0)) break;
            const Vec3 f_next = lerp(f, q[3], c);
            const Vec3 g_next = lerp(g, q[2], c);
            quad(f, g, g_next, f_next);
            f = f_next;
            g = g_next;
        }
        quad(f, g, q[2], q[3]);
    }

    std::vector<TriangleRecord>& out_;
    int max_strips_;
};

// Coordinates beyond this (micrometres) are rejected: the triangulation squares them.
constexpr double MAX_COORDINATE = 1e100;

// A vertex closer than 2^-23 to its predecessor (the first compared with the last) becomes an
// exact copy of it.
void snap_collapsed_corners(std::vector<Vec2>& v) {
    const std::size_t n = v.size();
    for (std::size_t k = 0; k < n; ++k) {
        const Vec2& prev = v[(k + n - 1) % n];
        if (std::hypot(v[k].x - prev.x, v[k].y - prev.y) < ZERO_LENGTH) v[k] = prev;
    }
}

// The cap of one section at height z, facing +z when `up`, else -z.
void cap(const std::vector<Vec2>& section, double z, bool up, std::vector<TriangleRecord>& out) {
    std::vector<Vec2> ring;
    for (const Vec2& v : section)
        if (ring.empty() || !(v == ring.back())) ring.push_back(v);
    while (ring.size() > 1 && ring.back() == ring.front()) ring.pop_back();
    if (ring.size() < 3) return;

    CDT::Triangulation<double> cdt;
    std::vector<CDT::V2d<double>> points;
    points.reserve(ring.size());
    for (const Vec2& v : ring) points.emplace_back(v.x, v.y);
    // The library's errors (crossing or overlapping ring edges, a vertex repeated away from its
    // neighbours) mean that the outline bounds no surface: a malformed polygon.
    std::vector<CDT::Edge> edges;
    edges.reserve(ring.size());
    const auto n = static_cast<CDT::VertInd>(ring.size());
    for (CDT::VertInd j = 0; j < n; ++j) {
        const CDT::VertInd i = j == 0 ? n - 1 : j - 1;
        edges.emplace_back(std::min(i, j), std::max(i, j));
    }
    try {
        cdt.insertVertices(points);
        cdt.conformToEdges(edges);
        cdt.eraseOuterTriangles();
    } catch (const CDT::Error& e) {
        throw std::invalid_argument(std::string("slab cap cannot be triangulated: ") + e.what());
    }

    for (const CDT::Triangle& t : cdt.triangles) {
        const auto& a = cdt.vertices[t.vertices[0]];
        const auto& b = cdt.vertices[t.vertices[1]];
        const auto& c = cdt.vertices[t.vertices[2]];
        const Vec3 pa{a.x, a.y, z};
        Vec3 pb{b.x, b.y, z};
        Vec3 pc{c.x, c.y, z};
        const double turn = (b.x - a.x) * (c.y - a.y) - (b.y - a.y) * (c.x - a.x);
        if ((turn > 0.0) != up) std::swap(pb, pc);
        out.emplace_back(pa, pb, pc);
    }
}

}  // namespace

std::vector<TriangleRecord> triangulate_slab(const std::vector<Vec2>& vertices, double height, double dilation,
                                             double sidewall_angle) {
    SlabSections sections = slab_sections(vertices, height, dilation, std::tan(sidewall_angle));
    std::vector<Vec2>& bottom = sections.bottom.vertices;
    std::vector<Vec2>& top = sections.top.vertices;
    for (const std::vector<Vec2>* section : {&bottom, &top})
        for (const Vec2& v : *section)
            if (!(std::fabs(v.x) <= MAX_COORDINATE && std::fabs(v.y) <= MAX_COORDINATE))
                throw std::invalid_argument("slab section coordinate out of range");
    if (!(std::fabs(height) <= MAX_COORDINATE)) throw std::invalid_argument("slab height out of range");
    snap_collapsed_corners(bottom);
    snap_collapsed_corners(top);

    const double z_bottom = sections.z_bottom;
    const double z_top = sections.z_top;
    std::vector<TriangleRecord> triangles;
    const std::size_t n = bottom.size();
    const int max_strips = static_cast<int>(std::min<std::size_t>(MAX_STRIPS, WALL_STRIP_BUDGET / std::max<std::size_t>(n, 1)));
    WallBuilder walls(triangles, max_strips);
    for (std::size_t m = 0; m < n; ++m) {
        const std::size_t prev = (m + n - 1) % n;
        walls.wall({bottom[prev].x, bottom[prev].y, z_bottom}, {bottom[m].x, bottom[m].y, z_bottom},
                   {top[m].x, top[m].y, z_top}, {top[prev].x, top[prev].y, z_top});
    }
    // A section that has collapsed encloses nothing and gets no cap: the walls meet there.
    if (!sections.bottom_collapsed) cap(bottom, z_bottom, false, triangles);
    if (!sections.top_collapsed) cap(top, z_top, true, triangles);
    return triangles;
}
