#include "geometry/polygon.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <numbers>

#include "common/tolerance.h"
#include "geometry/polygon_edge_tree.h"

namespace {

constexpr double TWO_PI = 2.0 * std::numbers::pi;

double length(const Vec2& v) { return std::sqrt(v.x * v.x + v.y * v.y); }
double dot(const Vec2& a, const Vec2& b) { return a.x * b.x + a.y * b.y; }
double cross(const Vec2& a, const Vec2& b) { return a.x * b.y - a.y * b.x; }

Vec2 unit(const Vec2& v) {
    const double len = length(v);
    return v * (1.0 / (len > ZERO_LENGTH ? len : ZERO_LENGTH));
}

double wrap_angle(double a) {
    a = std::fmod(a, TWO_PI);
    if (a < 0.0) a += TWO_PI;
    if (a >= TWO_PI) a -= TWO_PI;
    return a;
}

// The sweep of an arc as a counter-clockwise interval [lo, lo + span].
void ccw_sweep(const ArcSegment& arc, double& lo, double& span) {
    if (arc.bulge > 0.0) {
        lo = arc.start_angle;
        span = wrap_angle(arc.end_angle - arc.start_angle);
    } else {
        lo = arc.end_angle;
        span = wrap_angle(arc.start_angle - arc.end_angle);
    }
}

ArcSegment make_arc(const Vec2& p, const Vec2& q, double bulge) {
    ArcSegment arc;
    arc.valid = true;
    arc.bulge = bulge;
    const Vec2 g = q - p;
    arc.radius = std::fabs(length(g) * 0.25 * (bulge + 1.0 / bulge));
    const Vec2 m = (p + q) * 0.5;
    const double d = 0.25 * (1.0 / bulge - bulge);
    arc.centre = {m.x - d * g.y, m.y + d * g.x};
    arc.start_angle = wrap_angle(std::atan2(p.y - arc.centre.y, p.x - arc.centre.x));
    arc.end_angle = wrap_angle(std::atan2(q.y - arc.centre.y, q.x - arc.centre.x));

    // Cut the counter-clockwise sweep at π/2 and 3π/2 where they lie inside it, so that every
    // piece stays on one half of the circle.
    double lo = 0.0;
    double span = 0.0;
    ccw_sweep(arc, lo, span);
    double cuts[4];
    int cut_count = 0;
    for (double base : {0.5 * std::numbers::pi, 1.5 * std::numbers::pi, 2.5 * std::numbers::pi,
                        3.5 * std::numbers::pi}) {
        double rel = base - lo;
        if (rel > 0.0 && rel < span && cut_count < 2) cuts[cut_count++] = lo + rel;
    }
    // Counter-clockwise end points: start at lo, end at lo + span.
    const Vec2 lo_point = bulge > 0.0 ? p : q;
    const Vec2 hi_point = bulge > 0.0 ? q : p;
    double from_angle = lo;
    Vec2 from = lo_point;
    for (int i = 0; i <= cut_count; ++i) {
        const double to_angle = i < cut_count ? cuts[i] : lo + span;
        const Vec2 to = i < cut_count ? arc_point(arc, cuts[i]) : hi_point;
        ArcPiece& piece = arc.pieces[i];
        piece.start = from;
        piece.end = to;
        piece.right_half = std::cos(0.5 * (from_angle + to_angle)) > 0.0;
        from = to;
        from_angle = to_angle;
    }
    arc.piece_count = cut_count + 1;
    return arc;
}

// Distance from q to edge k of `arcs`/`v` (arc distance for a valid arc).
template <class Vertices>
double edge_distance(const Vertices& v, const ArcSegment* arcs, std::size_t k, const Vec2& q) {
    const std::size_t n = v.size();
    if (arcs != nullptr && arcs[k].valid) {
        const Vec2 near = arc_point(arcs[k], nearest_arc_angle(arcs[k], q));
        return length(q - near);
    }
    return segment_distance(q, v[k], v[(k + 1) % n]);
}

// The height y counts as h when it is within float_tolerance(y) of h.
double snap(double y, double h) { return std::fabs(y - h) <= float_tolerance(y) ? h : y; }

}  // namespace

bool edge_flips_parity(const Vec2& start, const Vec2& end, const ArcSegment* arc_record, const Vec2& q, double tol,
                       bool& on_edge) {
    if (arc_record != nullptr && arc_record->valid) {
        const ArcSegment& arc = *arc_record;
        if (tol >= std::fabs(length(q - arc.centre) - arc.radius)) {
            if (length(q - arc_point(arc, nearest_arc_angle(arc, q))) <= tol) {
                on_edge = true;
                return false;
            }
        }
        bool flips = false;
        for (int k = 0; k < arc.piece_count; ++k) {
            const ArcPiece& piece = arc.pieces[k];
            const double ya = snap(piece.start.y, q.y);
            const double yb = snap(piece.end.y, q.y);
            if ((ya > q.y) == (yb > q.y)) continue;
            double x;
            if (ya == q.y) {
                x = piece.start.x;
            } else if (yb == q.y) {
                x = piece.end.x;
            } else {
                const double dy = q.y - arc.centre.y;
                const double root = std::sqrt(std::max(0.0, arc.radius * arc.radius - dy * dy));
                x = piece.right_half ? arc.centre.x + root : arc.centre.x - root;
            }
            if (x > q.x) flips = !flips;
        }
        return flips;
    }
    const Vec2 a = end;
    const Vec2 b = start;
    if (segment_distance(q, a, b) <= tol) {
        on_edge = true;
        return false;
    }
    const double yi = snap(a.y, q.y);
    const double yj = snap(b.y, q.y);
    if (yi == q.y && yj == q.y) {
        if ((a.x > q.x) != (b.x > q.x)) on_edge = true;
        return false;
    }
    if ((yi > q.y) == (yj > q.y)) return false;
    const double x = a.x + (q.y - yi) * (b.x - a.x) / (yj - yi);
    if (x == q.x) {
        on_edge = true;
        return false;
    }
    return x > q.x;
}

namespace {

template <class Vertices>
bool point_in_polygon_impl(const Vertices& v, const ArcSegment* arcs, const Vec2& q, double tol) {
    const std::size_t n = v.size();
    if (n == 0) return false;
    bool inside = false;
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t j = i == 0 ? n - 1 : i - 1;
        bool on_edge = false;
        const bool flips = edge_flips_parity(v[j], v[i], arcs != nullptr ? &arcs[j] : nullptr, q, tol, on_edge);
        if (on_edge) return true;
        if (flips) inside = !inside;
    }
    return inside;
}

template <class Vertices>
Vec2 nearest_edge_normal_impl(const Vertices& v, const ArcSegment* arcs, const Vec2& q, double& dist, bool& unique,
                              double tol) {
    const std::size_t n = v.size();
    double best = 1e20;
    Vec2 direction;
    std::size_t best_edge = 0;
    bool best_at_vertex = false;
    for (std::size_t step = 0; step < n; ++step) {
        const std::size_t e = (step + n - 1) % n;  // n-1, 0, 1, ...
        const Vec2 a = v[e];
        const Vec2 b = v[(e + 1) % n];
        double d;
        Vec2 dir;
        Vec2 near;
        bool at_vertex;
        if (arcs != nullptr && arcs[e].valid) {
            const ArcSegment& arc = arcs[e];
            const double angle = nearest_arc_angle(arc, q);
            near = arc_point(arc, angle);
            d = length(q - near);
            dir = near - arc.centre;
            if (arc.bulge < 0.0) dir = -dir;
            at_vertex = angle == arc.start_angle || angle == arc.end_angle;
        } else {
            const Vec2 ab = b - a;
            double t = dot(q - a, ab) / dot(ab, ab);
            if (!(t > 0.0)) t = 0.0;
            if (t > 1.0) t = 1.0;
            near = a + ab * t;
            d = length(q - near);
            dir = {ab.y, -ab.x};
            at_vertex = t == 0.0 || t == 1.0;
        }
        if (d < std::fabs(best)) {
            best = dot(q - near, dir) < 0.0 ? -d : d;
            direction = dir;
            best_edge = e;
            best_at_vertex = at_vertex;
        }
    }
    // Nearest to a vertex, the side of the edge found first is no guide (beyond a sharp convex
    // corner a point lies on the inner side of one edge's line): the crossing test decides.
    if (best_at_vertex) best = point_in_polygon_impl(v, arcs, q, 0.0) ? -std::fabs(best) : std::fabs(best);
    dist = best;
    if (n > 0 && unique) {
        const double next = edge_distance(v, arcs, (best_edge + 1) % n, q);
        const double prev = edge_distance(v, arcs, (best_edge + n - 1) % n, q);
        if (tol >= std::fabs(std::fabs(best) - next) || tol >= std::fabs(std::fabs(best) - prev)) unique = false;
    }
    return direction;
}

}  // namespace

Vec2 arc_point(const ArcSegment& arc, double angle) {
    return {arc.centre.x + arc.radius * std::cos(angle), arc.centre.y + arc.radius * std::sin(angle)};
}

bool angle_in_sweep(const ArcSegment& arc, double angle) {
    double lo = 0.0;
    double span = 0.0;
    ccw_sweep(arc, lo, span);
    double rel = wrap_angle(angle - lo);
    if (rel <= span + ANGLE_TOLERANCE) return true;
    // Just below the start, wrapped to near 2π.
    return rel >= TWO_PI - ANGLE_TOLERANCE;
}

double nearest_arc_angle(const ArcSegment& arc, const Vec2& q) {
    if (q.x == arc.centre.x && q.y == arc.centre.y) return wrap_angle(arc.start_angle + 2.0 * std::atan(arc.bulge));
    const double angle = wrap_angle(std::atan2(q.y - arc.centre.y, q.x - arc.centre.x));
    if (angle_in_sweep(arc, angle)) return angle;
    auto separation = [](double a, double b) {
        const double d = wrap_angle(a - b);
        return d > std::numbers::pi ? TWO_PI - d : d;
    };
    return separation(angle, arc.end_angle) < separation(angle, arc.start_angle) ? arc.end_angle : arc.start_angle;
}

double segment_distance(const Vec2& q, const Vec2& a, const Vec2& b) {
    const Vec2 ab = b - a;
    double t = dot(q - a, ab) / dot(ab, ab);
    if (!(t > 0.0)) t = 0.0;  // also a zero-length segment (NaN)
    if (t > 1.0) t = 1.0;
    return length(q - (a + ab * t));
}

std::vector<ArcSegment> build_arcs(const std::vector<Vec2>& vertices, const std::vector<double>& bulges) {
    const std::size_t n = vertices.size();
    std::vector<ArcSegment> arcs(n);
    for (std::size_t i = 0; i < n && i < bulges.size(); ++i) {
        const double bulge = bulges[i];
        if (!(std::fabs(bulge) >= ZERO_LENGTH)) continue;
        arcs[i] = make_arc(vertices[i], vertices[(i + 1) % n], bulge);
    }
    return arcs;
}

void remove_duplicate_vertices(Polygon& polygon) {
    std::vector<Vec2> vertices;
    // Per kept vertex, the input vertex whose outgoing edge the kept vertex's edge continues:
    // dropping vertex i (next to the kept vertex k) removes the vanishing edge k -> i and leaves
    // edge i -> i + 1 running from k, so that edge's arc is the one that survives.
    std::vector<std::size_t> edge_of;
    vertices.reserve(polygon.vertices.size());
    for (std::size_t i = 0; i < polygon.vertices.size(); ++i) {
        const Vec2 v = polygon.vertices[i];
        if (!vertices.empty() && length(v - vertices.back()) < ZERO_LENGTH) {
            edge_of.back() = i;
            continue;
        }
        vertices.push_back(v);
        edge_of.push_back(i);
    }
    if (polygon.has_arcs()) {
        bool moved = false;
        std::vector<double> bulges(vertices.size(), 0.0);
        for (std::size_t k = 0; k < vertices.size(); ++k) {
            const ArcSegment& arc = polygon.arcs[edge_of[k]];
            bulges[k] = arc.valid ? arc.bulge : 0.0;
            moved = moved || edge_of[k] != k;
        }
        // An arc whose start vertex was dropped is rebuilt between its new end points.
        if (moved) {
            polygon.arcs = build_arcs(vertices, bulges);
        }
    }
    polygon.vertices = std::move(vertices);
}

double signed_area(const std::vector<Vec2>& v) {
    const std::size_t n = v.size();
    double sum = 0.0;
    for (std::size_t k = 0; k < n; ++k) {
        const Vec2& prev = v[(k + n - 1) % n];
        sum += prev.x * v[k].y - prev.y * v[k].x;
    }
    return 0.5 * sum;
}

bool encloses_nothing(const Polygon& polygon) {
    for (const ArcSegment& arc : polygon.arcs)
        if (arc.valid) return false;
    const std::vector<Vec2>& v = polygon.vertices;
    if (v.size() < 3) return true;
    // The line through the first vertex and the vertex farthest from it.
    const Vec2 origin = v.front();
    Vec2 far;
    double far_length = 0.0;
    for (const Vec2& p : v) {
        const double l = length(p - origin);
        if (l > far_length) {
            far_length = l;
            far = p - origin;
        }
    }
    if (!(far_length > 0.0)) return far_length == 0.0;  // all one point; NaN coordinates do not count
    // Each vertex's sine of the angle off that line, against a few rounding units.
    constexpr double ROUNDING = 8.0 * DBL_EPSILON;
    for (const Vec2& p : v) {
        const Vec2 d = p - origin;
        if (!(std::fabs(cross(far, d)) <= ROUNDING * far_length * length(d))) return false;
    }
    return true;
}

void make_counter_clockwise(Polygon& polygon) {
    if (!(signed_area(polygon.vertices) < 0.0)) return;
    const std::size_t n = polygon.vertices.size();
    std::reverse(polygon.vertices.begin(), polygon.vertices.end());
    if (!polygon.has_arcs()) return;
    // New edge j runs backwards along old edge n - 2 - j (mod n).
    std::vector<double> bulges(n, 0.0);
    for (std::size_t j = 0; j < n; ++j) {
        const ArcSegment& old = polygon.arcs[(2 * n - j - 2) % n];
        bulges[j] = old.valid ? -old.bulge : 0.0;
    }
    polygon.arcs = build_arcs(polygon.vertices, bulges);
}

std::vector<Vec2> miter_offsets(const Polygon& polygon) {
    const std::vector<Vec2>& v = polygon.vertices;
    const std::size_t n = v.size();
    std::vector<Vec2> offsets(n);
    for (std::size_t k = 0; k < n; ++k) {
        const Vec2 u_in = unit(v[k] - v[(k + n - 1) % n]);
        const Vec2 u_out = unit(v[(k + 1) % n] - v[k]);
        Vec2 offset{u_in.y, -u_in.x};
        const double s = cross(u_in, u_out);
        if (std::fabs(s) > ZERO_LENGTH) {
            const double t = (1.0 - dot(u_in, u_out)) / s;
            if (std::fabs(t) <= DBL_MAX) offset = {u_in.y + t * u_in.x, t * u_in.y - u_in.x};
        }
        offsets[k] = offset;
    }
    return offsets;
}

Polygon offset_polygon(const Polygon& polygon, const std::vector<Vec2>& offsets, double d) {
    Polygon out;
    out.vertices.resize(polygon.vertices.size());
    for (std::size_t k = 0; k < polygon.vertices.size(); ++k) out.vertices[k] = polygon.vertices[k] + offsets[k] * d;
    return out;
}

bool point_in_polygon(const Polygon& polygon, const Vec2& q, double tol) {
    return point_in_polygon_impl(polygon.vertices, polygon.has_arcs() ? polygon.arcs.data() : nullptr, q, tol);
}

bool point_in_polygon(const ShiftedVertices& vertices, const Vec2& q, double tol) {
    return point_in_polygon_impl(vertices, nullptr, q, tol);
}

Vec2 nearest_edge_normal(const Polygon& polygon, const Vec2& q, double& dist, bool& unique, double tol) {
    return nearest_edge_normal_impl(polygon.vertices, polygon.has_arcs() ? polygon.arcs.data() : nullptr, q, dist,
                                    unique, tol);
}

Vec2 nearest_edge_normal(const ShiftedVertices& vertices, const Vec2& q, double& dist, bool& unique, double tol) {
    return nearest_edge_normal_impl(vertices, nullptr, q, dist, unique, tol);
}

namespace {

// The tree version's answer for the found edge of the straight polygon `v`.
Vec2 found_edge_normal(int64_t found, const ShiftedVertices& v, const Vec2& q, double& dist, bool& unique,
                       double tol) {
    const std::size_t n = v.size();
    if (found < 0 || n == 0) {
        dist = 1e20;
        return {};
    }
    const std::size_t e = static_cast<std::size_t>(found);
    const Vec2 a = v[e];
    const Vec2 b = v[(e + 1) % n];
    dist = segment_distance(q, a, b);
    if (unique) {
        const double next = segment_distance(q, b, v[(e + 2) % n]);
        const double prev = segment_distance(q, v[(e + n - 1) % n], a);
        if (tol >= std::fabs(dist - next) || tol >= std::fabs(dist - prev)) unique = false;
    }
    if (cross(a - q, b - q) > 0.0) dist = -dist;
    return {b.y - a.y, -(b.x - a.x)};
}

}  // namespace

Vec2 nearest_edge_normal(const PolygonEdgeTree& tree, const ShiftedVertices& v, const Vec2& q, double& dist,
                         bool& unique, double tol) {
    return found_edge_normal(tree.nearest_edge(q).first, v, q, dist, unique, tol);
}

Vec2 nearest_shifted_edge_normal(const PolygonEdgeTree& tree, double shift, const Vec2& q, double& dist,
                                 bool& unique, double tol) {
    const ShiftedVertices v{tree.vertices(), &tree.offsets(), shift};
    const std::size_t n = v.size();
    const int64_t found = tree.nearest_edge(q, shift).first;
    if (found < 0 || n == 0) {
        dist = 1e20;
        return {};
    }
    const std::size_t e = static_cast<std::size_t>(found);
    const Vec2 a = v[e];
    const Vec2 ab = v[(e + 1) % n] - a;
    double t = dot(q - a, ab) / dot(ab, ab);
    if (!(t > 0.0)) t = 0.0;
    if (t > 1.0) t = 1.0;
    const Vec2 near = a + ab * t;
    const Vec2 direction{ab.y, -ab.x};
    const double d = length(q - near);
    // As in the scan: the side of the edge, or at a vertex the crossing test.
    const bool inside = t == 0.0 || t == 1.0 ? tree.contains(q, 0.0, shift) : dot(q - near, direction) < 0.0;
    dist = inside ? -d : d;
    if (unique) {
        const double next = segment_distance(q, v[(e + 1) % n], v[(e + 2) % n]);
        const double prev = segment_distance(q, v[(e + n - 1) % n], v[e]);
        if (tol >= std::fabs(d - next) || tol >= std::fabs(d - prev)) unique = false;
    }
    return direction;
}

Vec2 nearest_arc_edge_normal(const PolygonEdgeTree& tree, const Vec2& q, double& dist, bool& unique, double tol) {
    const std::vector<Vec2>& v = tree.vertices();
    const std::vector<ArcSegment>& arcs = tree.arcs();
    const std::size_t n = v.size();
    const auto [found, d] = tree.nearest_edge(q);
    if (found < 0 || n == 0) {
        dist = 1e20;
        return {};
    }
    const std::size_t e = static_cast<std::size_t>(found);
    // The nearest point of edge e, the edge's outward direction there, and whether the nearest
    // point is one of the edge's vertices.
    Vec2 near;
    Vec2 direction;
    bool at_vertex = false;
    if (!arcs.empty() && arcs[e].valid) {
        const double angle = nearest_arc_angle(arcs[e], q);
        near = arc_point(arcs[e], angle);
        direction = near - arcs[e].centre;
        if (arcs[e].bulge < 0.0) direction = -direction;
        at_vertex = angle == arcs[e].start_angle || angle == arcs[e].end_angle;
    } else {
        const Vec2 a = v[e];
        const Vec2 ab = v[(e + 1) % n] - a;
        double t = dot(q - a, ab) / dot(ab, ab);
        if (!(t > 0.0)) t = 0.0;
        if (t > 1.0) t = 1.0;
        near = a + ab * t;
        direction = {ab.y, -ab.x};
        at_vertex = t == 0.0 || t == 1.0;
    }
    // As in the scan: the side of the edge, or at a vertex the crossing test.
    const bool inside = at_vertex ? tree.contains(q, 0.0) : dot(q - near, direction) < 0.0;
    dist = inside ? -d : d;
    if (unique) {
        const double next = tree.segment_distance(q, (e + 1) % n);
        const double prev = tree.segment_distance(q, (e + n - 1) % n);
        if (tol >= std::fabs(d - next) || tol >= std::fabs(d - prev)) unique = false;
    }
    return direction;
}
