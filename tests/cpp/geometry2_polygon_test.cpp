#include <cmath>
#include <numbers>
#include <utility>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "geometry/polygon.h"
#include "geometry/polygon_edge_tree.h"

namespace {

constexpr double PI = std::numbers::pi;

Polygon square(double half, bool clockwise = false) {
    Polygon p;
    p.vertices = {{-half, -half}, {half, -half}, {half, half}, {-half, half}};
    if (clockwise) p.vertices = {{-half, -half}, {-half, half}, {half, half}, {half, -half}};
    return p;
}

// A star with `points` tips: 2·points edges alternating between two radii.
Polygon star(int points, double inner = 0.6, double outer = 1.0) {
    Polygon p;
    for (int k = 0; k < 2 * points; ++k) {
        const double a = PI * k / points;
        const double r = k % 2 ? inner : outer;
        p.vertices.push_back({r * std::cos(a), r * std::sin(a)});
    }
    return p;
}

// A regular polygon of n vertices, which has n edges.
Polygon regular(int n, double r = 1.0) {
    Polygon p;
    for (int k = 0; k < n; ++k) p.vertices.push_back({r * std::cos(2 * PI * k / n), r * std::sin(2 * PI * k / n)});
    return p;
}

const ArcSegment* only_valid_arc(const Polygon& p) {
    const ArcSegment* found = nullptr;
    for (const ArcSegment& a : p.arcs) {
        if (!a.valid) continue;
        if (found) return nullptr;
        found = &a;
    }
    return found;
}

}  // namespace

TEST(PolygonCleaning, ClockwiseInputIsReversedWithItsArcsKept) {
    // Square [0, 2]² traversed clockwise; the edge from (2, 2) to (2, 0) bulges outwards (+x),
    // which for clockwise order is a negative bulge.
    Polygon cw;
    cw.vertices = {{0, 0}, {0, 2}, {2, 2}, {2, 0}};
    cw.arcs = build_arcs(cw.vertices, {0.0, 0.0, -1.0, 0.0});
    const ArcSegment before = *only_valid_arc(cw);
    make_counter_clockwise(cw);
    EXPECT_GT(signed_area(cw.vertices), 0.0);
    ASSERT_EQ(cw.vertices.size(), 4u);
    const ArcSegment* after = only_valid_arc(cw);
    ASSERT_NE(after, nullptr);
    EXPECT_NEAR(after->centre.x, before.centre.x, 1e-12);
    EXPECT_NEAR(after->centre.y, before.centre.y, 1e-12);
    EXPECT_NEAR(after->radius, before.radius, 1e-12);
    EXPECT_DOUBLE_EQ(after->bulge, 1.0);
    // The same region: the bulge reaches x = 3, the inside stays inside.
    EXPECT_TRUE(point_in_polygon(cw, {2.9, 1.0}, 0.0));
    EXPECT_FALSE(point_in_polygon(cw, {3.1, 1.0}, 0.0));
    EXPECT_TRUE(point_in_polygon(cw, {1.0, 1.0}, 0.0));

    Polygon ccw = square(1.0);
    make_counter_clockwise(ccw);
    EXPECT_EQ(ccw.vertices, square(1.0).vertices);
}

TEST(PolygonCleaning, NearDuplicateVerticesCollapseAndTheSurvivingEdgesKeepTheirArcs) {
    Polygon p;
    p.vertices = {{0, 0}, {1e-8, 0}, {1, 0}, {1, 1}, {1 + 5e-8, 1}};
    p.arcs = build_arcs(p.vertices, {0.0, 0.0, 0.5, 0.0, 0.0});
    remove_duplicate_vertices(p);
    ASSERT_EQ(p.vertices.size(), 3u);
    EXPECT_EQ(p.vertices[1], (Vec2{1, 0}));
    ASSERT_EQ(p.arcs.size(), 3u);
    EXPECT_TRUE(p.arcs[1].valid);  // the arc of vertex (1, 0)
    EXPECT_FALSE(p.arcs[0].valid);
    // Dropping (1 + 1e-8, 0) removes the vanishing edge from (1, 0) and its bulge 0.4; the edge
    // to (1, 1) keeps its bulge 0.5, now starting at (1, 0).
    Polygon r;
    r.vertices = {{0, 0}, {1, 0}, {1 + 1e-8, 0}, {1, 1}};
    r.arcs = build_arcs(r.vertices, {0.0, 0.4, 0.5, 0.0});
    remove_duplicate_vertices(r);
    ASSERT_EQ(r.vertices.size(), 3u);
    ASSERT_EQ(r.arcs.size(), 3u);
    ASSERT_TRUE(r.arcs[1].valid);
    EXPECT_EQ(r.arcs[1].bulge, 0.5);
    const ArcSegment expected = build_arcs({{1, 0}, {1, 1}}, {0.5})[0];
    EXPECT_EQ(r.arcs[1].centre, expected.centre);
    EXPECT_EQ(r.arcs[1].radius, expected.radius);
    // Vertices 1e-6 apart are kept.
    Polygon q;
    q.vertices = {{0, 0}, {1e-6, 0}, {1, 1}};
    remove_duplicate_vertices(q);
    EXPECT_EQ(q.vertices.size(), 3u);
}

TEST(PolygonCleaning, BulgeListLengthMismatch) {
    const std::vector<Vec2> v = square(1.0).vertices;
    const std::vector<ArcSegment> shorter = build_arcs(v, {0.5});
    ASSERT_EQ(shorter.size(), 4u);
    EXPECT_TRUE(shorter[0].valid);
    EXPECT_FALSE(shorter[1].valid || shorter[2].valid || shorter[3].valid);
    const std::vector<ArcSegment> longer = build_arcs(v, {0, 0, 0, 0.5, 0.7, 0.9});
    ASSERT_EQ(longer.size(), 4u);
    EXPECT_TRUE(longer[3].valid);
    EXPECT_DOUBLE_EQ(longer[3].bulge, 0.5);
}

TEST(PolygonOffsets, DilatedSquareMovesEverySideByD) {
    const Polygon sq = square(1.0);
    const std::vector<Vec2> offsets = miter_offsets(sq);
    for (double d : {0.25, -0.25}) {
        const Polygon grown = offset_polygon(sq, offsets, d);
        ASSERT_EQ(grown.vertices.size(), 4u);
        for (std::size_t k = 0; k < 4; ++k) {
            EXPECT_NEAR(std::fabs(grown.vertices[k].x), 1.0 + d, 1e-15) << d;
            EXPECT_NEAR(std::fabs(grown.vertices[k].y), 1.0 + d, 1e-15) << d;
            EXPECT_NEAR(std::hypot(offsets[k].x, offsets[k].y), std::sqrt(2.0), 1e-15);
        }
    }
    // A straight-through vertex gets the plain edge normal.
    Polygon with_midpoint;
    with_midpoint.vertices = {{0, 0}, {1, 0}, {2, 0}, {2, 1}};
    const std::vector<Vec2> o = miter_offsets(with_midpoint);
    EXPECT_NEAR(o[1].x, 0.0, 1e-15);
    EXPECT_NEAR(o[1].y, -1.0, 1e-15);
}

TEST(PolygonPointInPolygon, PointsOnAndNearEdges) {
    const Polygon sq = square(1.0);
    struct Case {
        Vec2 q;
        double tol;
        bool inside;
    };
    const Case cases[] = {
        {{0.0, 0.0}, 0.0, true},       {{0.3, 1.0}, 0.0, true},       // on the top (horizontal) edge
        {{0.3, -1.0}, 0.0, true},      {{1.0, 0.2}, 0.0, true},       // bottom edge, vertical edge
        {{1.0 + 1e-7, 0.2}, 0.0, false}, {{1.0 + 1e-7, 0.2}, 2e-7, true},
        {{1.0, 1.0}, 0.0, true},       {{2.0, 1.0}, 0.0, false},      // vertex; ray through a vertex
        {{-2.0, 1.0}, 0.0, false},     {{-2.0, -1.0}, 0.0, false},    // outside on both edge lines
        {{0.5, 0.999}, 0.0, true},     {{NAN, 0.0}, 1.0, false},
    };
    for (const Case& c : cases) EXPECT_EQ(point_in_polygon(sq, c.q, c.tol), c.inside) << c.q.x << ", " << c.q.y;
    EXPECT_FALSE(point_in_polygon(Polygon{}, {0, 0}, 1.0));

    // L shape: the notch is outside, rays through reflex vertices count correctly.
    Polygon l;
    l.vertices = {{0, 0}, {2, 0}, {2, 1}, {1, 1}, {1, 2}, {0, 2}};
    EXPECT_TRUE(point_in_polygon(l, {0.5, 1.0}, 0.0));
    EXPECT_TRUE(point_in_polygon(l, {0.5, 1.5}, 0.0));
    EXPECT_FALSE(point_in_polygon(l, {1.5, 1.5}, 0.0));
    EXPECT_FALSE(point_in_polygon(l, {-0.5, 1.0}, 0.0));  // ray through the reflex vertex's height
    EXPECT_TRUE(point_in_polygon(l, {1.5, 0.5}, 0.0));
}

TEST(PolygonArcs, BothBulgeSignsInContainsAndNearestEdge) {
    // Square [0, 2]², counter-clockwise; its top edge (2, 2) -> (0, 2) is a half circle about
    // (1, 2): outwards for bulge +1, inwards for -1.
    Polygon out;
    out.vertices = {{0, 0}, {2, 0}, {2, 2}, {0, 2}};
    Polygon in = out;
    out.arcs = build_arcs(out.vertices, {0, 0, 1.0, 0});
    in.arcs = build_arcs(in.vertices, {0, 0, -1.0, 0});
    // Each half circle is cut once, at its apex (π/2 or 3π/2), into a right and a left piece.
    EXPECT_EQ(out.arcs[2].piece_count, 2);
    EXPECT_EQ(in.arcs[2].piece_count, 2);
    EXPECT_NEAR(out.arcs[2].radius, 1.0, 1e-15);

    struct Case {
        Vec2 q;
        bool in_out;
        bool in_in;
    };
    const Case cases[] = {
        {{1.0, 2.9}, true, false}, {{1.0, 3.1}, false, false}, {{1.0, 1.5}, true, false},
        {{1.0, 0.9}, true, true},  {{0.2, 2.5}, true, false},  {{1.9, 2.2}, true, false},
        {{-0.1, 2.0}, false, false}, {{2.5, 2.0}, false, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(point_in_polygon(out, c.q, 0.0), c.in_out) << c.q.x << ", " << c.q.y;
        EXPECT_EQ(point_in_polygon(in, c.q, 0.0), c.in_in) << c.q.x << ", " << c.q.y;
    }
    EXPECT_TRUE(point_in_polygon(in, {1.0, 1.0 + 1e-7}, 2e-7));  // within tol of the inward arc
    EXPECT_TRUE(point_in_polygon(out, {1.0, 3.0 + 1e-7}, 2e-7));

    double dist = 0.0;
    bool unique = true;
    Vec2 n = nearest_edge_normal(out, {1.0, 3.2}, dist, unique, 1e-6);
    EXPECT_NEAR(dist, 0.2, 1e-12);
    EXPECT_GT(n.y, 0.0);
    EXPECT_NEAR(n.x, 0.0, 1e-12);
    EXPECT_TRUE(unique);
    n = nearest_edge_normal(out, {1.0, 2.7}, dist, unique, 1e-6);
    EXPECT_NEAR(dist, -0.3, 1e-12);
    EXPECT_GT(n.y, 0.0);

    unique = true;
    n = nearest_edge_normal(in, {1.0, 1.2}, dist, unique, 1e-6);
    EXPECT_NEAR(dist, 0.2, 1e-12);  // above the inward arc is outside
    EXPECT_GT(n.y, 0.0);
    n = nearest_edge_normal(in, {1.0, 0.8}, dist, unique, 1e-6);
    EXPECT_NEAR(dist, -0.2, 1e-12);
    EXPECT_GT(n.y, 0.0);
    // Nearest to the arc's end point beyond its sweep: distance to the end vertex.
    n = nearest_edge_normal(in, {2.5, 2.5}, dist, unique, 1e-6);
    EXPECT_NEAR(dist, std::sqrt(0.5), 1e-12);
}

TEST(PolygonNearestEdge, ConvexCornerTakesTheEdgeItProjectsOntoAndClearsUniqueWhenEquidistant) {
    const Polygon sq = square(1.0);
    const PolygonEdgeTree tree(sq);
    double dist = 0.0;
    bool unique = true;
    // Outside, nearest to the corner (1, 1): both edges are equally near; the tree answers with
    // the edge the point lies farther beyond.
    Vec2 n = nearest_edge_normal(tree, ShiftedVertices{sq.vertices}, {1.5, 1.2}, dist, unique, 1e-6);
    EXPECT_GT(n.x, 0.0);
    EXPECT_NEAR(n.y, 0.0, 1e-15);
    EXPECT_NEAR(dist, std::hypot(0.5, 0.2), 1e-12);
    EXPECT_FALSE(unique);
    unique = true;
    n = nearest_edge_normal(tree, ShiftedVertices{sq.vertices}, {1.2, 1.5}, dist, unique, 1e-6);
    EXPECT_GT(n.y, 0.0);
    EXPECT_NEAR(n.x, 0.0, 1e-15);
    EXPECT_FALSE(unique);

    for (bool use_tree : {false, true}) {
        auto query = [&](const Vec2& q) {
            unique = true;
            return use_tree ? nearest_edge_normal(tree, ShiftedVertices{sq.vertices}, q, dist, unique, 1e-6)
                            : nearest_edge_normal(sq, q, dist, unique, 1e-6);
        };
        // Inside on the diagonal, and within tol of it: ambiguous.
        query({0.6, 0.6});
        EXPECT_NEAR(dist, -0.4, 1e-12);
        EXPECT_FALSE(unique) << use_tree;
        query({0.6, 0.6 + 5e-7});
        EXPECT_FALSE(unique) << use_tree;
        // Clearly nearer to the top edge.
        n = query({0.6, 0.65});
        EXPECT_TRUE(unique) << use_tree;
        EXPECT_GT(n.y, 0.0);
        EXPECT_NEAR(n.x, 0.0, 1e-15);
        EXPECT_NEAR(dist, -0.35, 1e-12);
    }

    // Inside near the reflex corner (1, 1) of an L shape: a point nearest to the corner itself
    // is equally near both edges meeting there; one beside the corner is not.
    Polygon l;
    l.vertices = {{0, 0}, {2, 0}, {2, 1}, {1, 1}, {1, 2}, {0, 2}};
    const PolygonEdgeTree l_tree(l);
    for (bool use_tree : {false, true}) {
        for (const auto& [q, ambiguous] : {std::pair{Vec2{0.8, 0.8}, true}, std::pair{Vec2{1.2, 0.9}, false}}) {
            unique = true;
            if (use_tree)
                nearest_edge_normal(l_tree, ShiftedVertices{l.vertices}, q, dist, unique, 1e-6);
            else
                nearest_edge_normal(l, q, dist, unique, 1e-6);
            EXPECT_EQ(unique, !ambiguous) << use_tree << q.y;
            EXPECT_LT(dist, 0.0);
        }
        EXPECT_NEAR(dist, -0.1, 1e-12);  // (1.2, 0.9) is 0.1 below the edge y = 1
    }

    // Beyond a sharp tip a point lies on the inner side of one edge's line; it is still outside.
    Polygon spike;
    spike.vertices = {{0, 0}, {10, 0.5}, {0, 1}};
    for (const Vec2& q : {Vec2{10.5, 0.3}, Vec2{10.5, 0.7}}) {
        unique = true;
        nearest_edge_normal(spike, q, dist, unique, 1e-9);
        EXPECT_NEAR(dist, std::hypot(0.5, 0.2), 1e-12) << q.y;
        const PolygonEdgeTree spike_tree(spike);
        nearest_edge_normal(spike_tree, ShiftedVertices{spike.vertices}, q, dist, unique, 1e-9);
        EXPECT_NEAR(dist, std::hypot(0.5, 0.2), 1e-12) << q.y;
    }
}

TEST(PolygonEdgeTree, SplitsAbove20EdgesAndAgreesWithTheBruteForceScan) {
    const Polygon twenty = star(10);
    const Polygon twenty_one = regular(21);
    ASSERT_EQ(twenty.vertices.size(), 20u);
    const PolygonEdgeTree leaf(twenty);
    const PolygonEdgeTree split(twenty_one);
    EXPECT_EQ(leaf.nodes().size(), 1u);
    EXPECT_GT(split.nodes().size(), 1u);
    EXPECT_EQ(split.nodes()[0].edges.size(), 0u);
    EXPECT_GT(split.nodes()[0].child_count, 1);

    std::mt19937 rng(7);
    std::uniform_real_distribution<double> coord(-1.5, 1.5);
    for (const Polygon* p : {&twenty, &twenty_one}) {
        const PolygonEdgeTree tree(*p);
        for (int i = 0; i < 2000; ++i) {
            const Vec2 q{coord(rng), coord(rng)};
            double d_tree = 0.0, d_brute = 0.0;
            bool u_tree = true, u_brute = true;
            const Vec2 n_tree = nearest_edge_normal(tree, ShiftedVertices{p->vertices}, q, d_tree, u_tree, 1e-9);
            const Vec2 n_brute = nearest_edge_normal(*p, q, d_brute, u_brute, 1e-9);
            ASSERT_NEAR(d_tree, d_brute, 1e-12) << q.x << ", " << q.y;
            EXPECT_EQ(d_tree <= 0.0, point_in_polygon(*p, q, 0.0));
            if (u_brute && u_tree) {
                EXPECT_NEAR(n_tree.x * n_brute.y - n_tree.y * n_brute.x, 0.0, 1e-12);
                EXPECT_GT(n_tree.x * n_brute.x + n_tree.y * n_brute.y, 0.0);
            }
        }
    }
    // A large polygon: the tree's answer is still the brute-force nearest distance.
    const Polygon big = star(500, 0.9, 1.0);
    const PolygonEdgeTree big_tree(big);
    EXPECT_GT(big_tree.nodes().size(), 50u);
    for (int i = 0; i < 500; ++i) {
        const Vec2 q{coord(rng), coord(rng)};
        double best = 1e300;
        for (std::size_t e = 0; e < big.vertices.size(); ++e)
            best = std::min(best, segment_distance(q, big.vertices[e], big.vertices[(e + 1) % big.vertices.size()]));
        const auto [edge, d] = big_tree.nearest_edge(q);
        ASSERT_GE(edge, 0);
        EXPECT_NEAR(d, best, 1e-12);
    }
}

TEST(PolygonCleaning, OnlyPolygonsOnOneLineEncloseNothing) {
    auto of = [](std::vector<Vec2> v) { return Polygon{std::move(v), {}}; };
    EXPECT_TRUE(encloses_nothing(of({})));
    EXPECT_TRUE(encloses_nothing(of({{1, 1}, {3, 2}})));
    // Coordinates that are not representable: the cross products differ by rounding only.
    EXPECT_TRUE(encloses_nothing(of({{0, 0}, {0.1, 0.3}, {0.2, 0.6}, {0.7, 2.1}})));
    EXPECT_TRUE(encloses_nothing(of({{5, 5}, {5, 5}, {5, 5}})));
    // A thin but real sliver, and a path that retraces itself off one line, keep their rules.
    EXPECT_FALSE(encloses_nothing(of({{0, 0}, {1, 0}, {0.5, 1e-9}})));
    EXPECT_FALSE(encloses_nothing(of({{0, 0}, {1, 0}, {1, 1}, {1, 0}})));
    // Arcs may enclose area between collinear vertices.
    Polygon disc = of({{0, 0}, {2, 0}});
    disc.arcs = build_arcs(disc.vertices, {1.0, 1.0});
    EXPECT_FALSE(encloses_nothing(disc));
}

TEST(PolygonEdgeTree, InseparableOrNanEdgesStopSplitting) {
    // 40 edges alternating between two points share one midpoint.
    Polygon zigzag;
    for (int k = 0; k < 40; ++k) zigzag.vertices.push_back(k % 2 ? Vec2{1, 0} : Vec2{0, 1});
    const PolygonEdgeTree tree(zigzag);
    EXPECT_EQ(tree.nodes().size(), 1u);
    EXPECT_NEAR(tree.nearest_edge({0, 0}).second, std::sqrt(0.5), 1e-15);

    Polygon nan = regular(30);
    nan.vertices[3] = {NAN, NAN};
    const PolygonEdgeTree nan_tree(nan);
    for (const PolygonEdgeTree::Node& node : nan_tree.nodes()) EXPECT_LE(node.depth, PolygonEdgeTree::MAX_DEPTH);
    // The two edges at the NaN vertex never count as nearest: the answer is the nearest of the
    // finite edges, at the distance measured by hand (apothem cos(π/30) of the unit 30-gon).
    const double apothem = std::cos(PI / 30);
    const Vec2 mid15 = (nan.vertices[15] + nan.vertices[16]) * 0.5;
    const auto [near15, d15] = nan_tree.nearest_edge(mid15 * 0.9);
    EXPECT_EQ(near15, 15);
    EXPECT_NEAR(d15, 0.1 * apothem, 1e-12);
    const auto [at_centre, d_centre] = nan_tree.nearest_edge({0.0, 0.0});
    EXPECT_TRUE(at_centre >= 0 && at_centre < 30 && at_centre != 2 && at_centre != 3) << at_centre;
    EXPECT_NEAR(d_centre, apothem, 1e-12);
    // Next to the NaN vertex, the nearest finite edges are its neighbours' edges 1 and 4.
    const auto [near_gap, d_gap] = nan_tree.nearest_edge((nan.vertices[2] + nan.vertices[4]) * 0.5);
    EXPECT_TRUE(near_gap == 1 || near_gap == 4) << near_gap;
    EXPECT_TRUE(std::isfinite(d_gap));

    const PolygonEdgeTree empty{Polygon{}};
    EXPECT_EQ(empty.nearest_edge({0, 0}).first, -1);
}

namespace {

// A flower of n vertices, r = 1 + 0.3·sin(5θ) (non-convex), counter-clockwise.
Polygon flower(int n) {
    Polygon p;
    for (int k = 0; k < n; ++k) {
        const double a = 2 * PI * k / n;
        const double r = 1.0 + 0.3 * std::sin(5 * a);
        p.vertices.push_back({r * std::cos(a), r * std::sin(a)});
    }
    return p;
}

}  // namespace

TEST(PolygonEdgeTree, ArcEdgesGiveTheAnswersOfTheScanOverEveryEdge) {
    // Every third edge straight, the others arcs bulging out and in; 60 and 600 edges (split
    // trees), plus the half-disc square of the arc test.
    std::vector<Polygon> polygons;
    for (int n : {60, 600}) {
        Polygon p = flower(n);
        std::vector<double> bulges(n);
        for (int k = 0; k < n; ++k) bulges[k] = k % 3 == 0 ? 0.0 : (k % 3 == 1 ? 0.4 : -0.3);
        p.arcs = build_arcs(p.vertices, bulges);
        polygons.push_back(p);
    }
    Polygon square;
    square.vertices = {{0, 0}, {2, 0}, {2, 2}, {0, 2}};
    square.arcs = build_arcs(square.vertices, {0.5, 0, 1.0, -0.5});
    polygons.push_back(square);

    std::mt19937 rng(15);
    std::uniform_real_distribution<double> coord(-1.6, 2.4);
    for (const Polygon& p : polygons) {
        const PolygonEdgeTree tree(p);
        int inside = 0;
        for (int i = 0; i < 4000; ++i) {
            const Vec2 q{coord(rng), coord(rng)};
            double d_tree = 0.0, d_scan = 0.0;
            bool u_tree = true, u_scan = true;
            const Vec2 n_tree = nearest_arc_edge_normal(tree, q, d_tree, u_tree, 1e-9);
            const Vec2 n_scan = nearest_edge_normal(p, q, d_scan, u_scan, 1e-9);
            ASSERT_NEAR(d_tree, d_scan, 1e-12) << q.x << ", " << q.y;
            // The crossing test is the independent judge of inside.
            const bool in = point_in_polygon(p, q, 0.0);
            if (std::fabs(d_scan) > 1e-9) EXPECT_EQ(d_tree < 0.0, in) << q.x << ", " << q.y;
            inside += in;
            EXPECT_EQ(tree.contains(q, 1e-9), point_in_polygon(p, q, 1e-9));
            EXPECT_EQ(tree.contains(q, 0.02), point_in_polygon(p, q, 0.02));
            EXPECT_EQ(u_tree, u_scan);
            if (u_tree && u_scan) {
                EXPECT_NEAR(n_tree.x * n_scan.y - n_tree.y * n_scan.x, 0.0, 1e-9 * std::hypot(n_tree.x, n_tree.y) *
                                                                             std::hypot(n_scan.x, n_scan.y));
                EXPECT_GT(n_tree.x * n_scan.x + n_tree.y * n_scan.y, 0.0);
            }
        }
        EXPECT_GT(inside, 400);
    }
}

TEST(PolygonEdgeTree, ShiftedSearchFindsTheNearestEdgeOfTheMovedPolygon) {
    // The flower moved along its miter offsets: the moved polygon's nearest edge is no longer
    // the original's, and the search must find it on the moved edges.
    const Polygon p = flower(400);
    const std::vector<Vec2> offsets = miter_offsets(p);
    const PolygonEdgeTree tree(p, offsets);
    std::mt19937 rng(16);
    std::uniform_real_distribution<double> coord(-1.6, 1.6);
    for (double shift : {-0.2, -0.05, 0.0, 0.1, 0.3}) {
        const Polygon moved = offset_polygon(p, offsets, shift);
        for (int i = 0; i < 1500; ++i) {
            const Vec2 q{coord(rng), coord(rng)};
            double best = 1e300;
            for (std::size_t e = 0; e < moved.size(); ++e)
                best = std::min(best, segment_distance(q, moved.vertices[e], moved.vertices[(e + 1) % moved.size()]));
            const auto [edge, d] = tree.nearest_edge(q, shift);
            ASSERT_GE(edge, 0);
            ASSERT_NEAR(d, best, 1e-12) << shift << ": " << q.x << ", " << q.y;
            double d_tree = 0.0, d_scan = 0.0;
            bool u_tree = true, u_scan = true;
            nearest_shifted_edge_normal(tree, shift, q, d_tree, u_tree, 1e-9);
            nearest_edge_normal(moved, q, d_scan, u_scan, 1e-9);
            EXPECT_NEAR(d_tree, d_scan, 1e-12) << shift << ": " << q.x << ", " << q.y;
            // The crossing test through the tree is the crossing test over every edge, also where
            // the moved polygon crosses itself (its petal tips turn inside out at shift -0.2, the
            // gaps between petals at 0.3).
            EXPECT_EQ(tree.contains(q, 1e-9, shift), point_in_polygon(moved, q, 1e-9)) << shift;
            EXPECT_EQ(tree.contains(q, 0.05, shift), point_in_polygon(moved, q, 0.05)) << shift;
            // While the moved polygon stays simple the signed distance agrees with it.
            if (std::fabs(shift) <= 0.1 && std::fabs(d_scan) > 1e-9)
                EXPECT_EQ(d_tree < 0.0, point_in_polygon(moved, q, 0.0)) << shift << ": " << q.x << ", " << q.y;
        }
    }
}
