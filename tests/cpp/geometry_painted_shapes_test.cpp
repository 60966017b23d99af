// Shapes read from JSON and painted on the structure map, compared at every Yee position with a
// point-in-shape oracle computed here by hand from the shape's definition.

#include <algorithm>
#include <cmath>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "driver/structure_map.h"
#include "geometry/geometry.h"
#include "geometry/geometry_reader.h"

namespace {

using nlohmann::json;

// The oracle's answer at a point: inside or not, and a lower bound on the point's distance from
// the surface (positions nearer than the comparison margin are not compared).
struct Truth {
    bool inside = false;
    double clearance = 0.0;
};
using Oracle = std::function<Truth(const Vec3&)>;

std::vector<float> steps(double first, double step, int count) {
    std::vector<float> v;
    for (int i = 0; i <= count; ++i) v.push_back(static_cast<float>(first + step * i));
    return v;
}

struct Comparison {
    int64_t wrong = 0;
    int64_t compared = 0;
    int64_t painted = 0;
};

// Paints the one structure `shape` over the whole grid and compares every doubled position.
Comparison paint_and_compare(json shape, const Grid& grid, const Oracle& oracle, double margin = 1e-4) {
    SimulationSpec spec;
    spec.courant_scaling = 1.0f;
    spec.media.push_back(std::make_shared<Medium>(1, ComponentKind::Medium));
    for (int a = 0; a < 3; ++a) {
        spec.simulation_bounds[a] = {grid.boundaries[a].front(), grid.boundaries[a].back()};
        spec.simulation_size[a] = spec.simulation_bounds[a].second - spec.simulation_bounds[a].first;
    }
    spec.bounds_tolerance = 1e-6;
    auto structure = std::make_shared<Structure>();
    structure->geometry = read_structure_geometry(shape);
    EXPECT_NE(structure->geometry, nullptr) << shape.dump();
    Comparison c;
    if (!structure->geometry) return c;
    structure->medium_index = 0;
    spec.structures.push_back(structure);

    const Span span = {0, grid.cell_count[0], 0, grid.cell_count[1], 0, grid.cell_count[2]};
    StructureMap map(span);
    build_structure_map(map, grid, spec.structures, 2, spec, PaintMode::All);
    for (int64_t X = 0; X <= 2 * span[1] + 1; ++X)
        for (int64_t Y = 0; Y <= 2 * span[3] + 1; ++Y)
            for (int64_t Z = 0; Z <= 2 * span[5] + 1; ++Z) {
                const std::array<int64_t, 3> doubled = {X, Y, Z};
                Vec3 p;
                for (int a = 0; a < 3; ++a) {
                    const std::size_t i = static_cast<std::size_t>(doubled[a] / 2);
                    p[a] = doubled[a] % 2 == 0 ? grid.boundaries[a][i] : grid.duals[a][i];
                }
                const bool painted = map.at(X, Y, Z) == 0;
                c.painted += painted;
                const Truth t = oracle(p);
                if (t.clearance < margin) continue;
                ++c.compared;
                c.wrong += painted != t.inside;
            }
    return c;
}

json poly_slab(const json& vertices, double angle = 0.0) {
    json j = {{"type", "PolySlab"}, {"z_cent", 0.5}, {"z_size", 1.0}, {"vertices", vertices}};
    if (angle != 0.0) j["sidewall_angle"] = angle;
    return j;
}

// A rotation by `angle` about x, in the file's column-vector convention.
json rotated_about_x(const json& geometry, double angle) {
    const double c = std::cos(angle), s = std::sin(angle);
    return {{"type", "Transformed"},
            {"transform", {{1, 0, 0, 0}, {0, c, -s, 0}, {0, s, c, 0}, {0, 0, 0, 1}}},
            {"geometry", geometry}};
}

// The point rotated back by `angle` about x (the inverse of rotated_about_x).
Vec3 unrotate_about_x(const Vec3& p, double angle) {
    const double c = std::cos(angle), s = std::sin(angle);
    return {p.x, c * p.y + s * p.z, -s * p.y + c * p.z};
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Polygons that enclose no area

TEST(PaintedPolygons, ZeroAreaPolygonsEncloseNothingOnEveryPath) {
    const Grid grid = make_grid({steps(-0.05, 0.1, 21), steps(-0.05, 0.1, 21), steps(-0.45, 0.1, 19)});
    struct Case {
        const char* what;
        json vertices;
        // The polygon's line a·x + b·y = c (a² + b² = 1): positions near it are not compared.
        double a, b, c;
    };
    const double r = std::sqrt(0.5);
    const Case cases[] = {
        {"two vertices", {{0.2, 0.52}, {1.8, 0.52}}, 0, 1, 0.52},
        {"collinear vertices", {{0.2, 0.22}, {1.0, 1.02}, {1.8, 1.82}}, r, -r, -0.02 * r},
        {"back over itself", {{0.2, 0.52}, {1.8, 0.52}, {1.0, 0.52}}, 0, 1, 0.52},
        {"back over itself twice", {{0.2, 0.52}, {1.8, 0.52}, {0.5, 0.52}, {1.5, 0.52}}, 0, 1, 0.52},
    };
    for (const Case& k : cases) {
        const json kinds[] = {poly_slab(k.vertices), poly_slab(k.vertices, 0.3), poly_slab(k.vertices, -0.3),
                              rotated_about_x(poly_slab(k.vertices, 0.3), 1e-3)};
        for (const json& shape : kinds) {
            const Oracle nothing = [&](const Vec3& p) {
                return Truth{false, std::fabs(k.a * p.x + k.b * p.y - k.c) - 0.01};
            };
            const Comparison c = paint_and_compare(shape, grid, nothing);
            EXPECT_GT(c.compared, 50000) << k.what << " " << shape.dump();
            EXPECT_EQ(c.wrong, 0) << k.what << " " << shape.dump();
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Sloped slabs whose sections shrink to nothing

namespace {

struct Rect {
    double x0, x1, y0, y1;
};

// A sloped slab whose polygon is the union of axis-aligned rectangles, extruded along z from
// z = -height/2 to height/2 around the middle plane z = 0: at height z every rectangle has its
// sides moved inwards by z·tan(angle), and a rectangle whose sides have crossed is empty. (The
// union rule holds for the rectilinear polygons used here: rectangles and an L.)
Truth sloped_rectangles(const Vec3& p, const std::vector<Rect>& rects, double height, double angle) {
    const double t = std::tan(angle);
    const double s = p.z * t;
    Truth truth;
    truth.clearance = std::fabs(std::fabs(p.z) - height / 2.0);
    bool inside_any = false;
    for (const Rect& r : rects) {
        const double x0 = r.x0 + s, x1 = r.x1 - s, y0 = r.y0 + s, y1 = r.y1 - s;
        if (x0 > x1 || y0 > y1) {
            // Collapsed below this height: near the shape only close to the collapse height.
            const double collapse = std::min(r.x1 - r.x0, r.y1 - r.y0) / 2.0;
            truth.clearance = std::min(truth.clearance, std::fabs(s - collapse) / std::fabs(t));
            continue;
        }
        const double dx = std::min(p.x - x0, x1 - p.x);
        const double dy = std::min(p.y - y0, y1 - p.y);
        const bool in = dx >= 0.0 && dy >= 0.0;
        inside_any = inside_any || in;
        const double clear = in ? std::min(dx, dy) : std::hypot(std::min(dx, 0.0), std::min(dy, 0.0));
        truth.clearance = std::min({truth.clearance, clear, in ? 1e300 : std::max(-dx, -dy)});
    }
    truth.inside = inside_any && std::fabs(p.z) <= height / 2.0;
    return truth;
}

}  // namespace

TEST(PaintedSlopedSlabs, SectionsThatShrinkToNothingAreEmptyBeyondTheirApex) {
    const Grid grid = make_grid({steps(-2.05, 0.1, 41), steps(-2.05, 0.1, 41), steps(-1.55, 0.1, 31)});
    struct Case {
        const char* what;
        json vertices;
        std::vector<Rect> rects;
    };
    const Case cases[] = {
        {"square", {{-1, -1}, {1, -1}, {1, 1}, {-1, 1}}, {{-1, 1, -1, 1}}},
        {"rectangle", {{-1.5, -0.6}, {1.5, -0.6}, {1.5, 0.6}, {-1.5, 0.6}}, {{-1.5, 1.5, -0.6, 0.6}}},
        {"L", {{-1, -1}, {1, -1}, {1, 0}, {0, 0}, {0, 1}, {-1, 1}}, {{-1, 1, -1, 0}, {-1, 0, -1, 1}}},
    };
    const double tilt = 1e-3;
    for (const Case& k : cases) {
        for (double angle : {0.9, -0.9, 1.4, -1.5}) {
            json slab = {{"type", "PolySlab"}, {"z_cent", 0.0},       {"z_size", 2.0},
                         {"vertices", k.vertices}, {"sidewall_angle", angle}};
            const Oracle upright = [&](const Vec3& p) { return sloped_rectangles(p, k.rects, 2.0, angle); };
            const Comparison c = paint_and_compare(slab, grid, upright);
            EXPECT_GT(c.compared, 350000) << k.what << " " << angle;
            EXPECT_EQ(c.wrong, 0) << k.what << " " << angle;

            // The same slab tilted slightly: the triangle-surface path.
            const Oracle tilted = [&](const Vec3& p) {
                return sloped_rectangles(unrotate_about_x(p, tilt), k.rects, 2.0, angle);
            };
            const Comparison m = paint_and_compare(rotated_about_x(slab, tilt), grid, tilted, 3e-3);
            EXPECT_GT(m.compared, 300000) << k.what << " tilted " << angle;
            EXPECT_EQ(m.wrong, 0) << k.what << " tilted " << angle;
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Near-duplicate vertices and the arcs of the edges they end

namespace {

// The square [0, 2]² whose right side (from (2, 0) to (2, 2)) bulges outwards by a circular arc
// of sagitta bulge·1 (straight for bulge 0), extruded from z = 0 to 1. The arc of bulge β over
// the chord of length 2 has radius (β + 1/β)/2 and its centre on the line y = 1 at
// x = 2 - (1/β - β)/2.
Truth square_with_bulged_side(const Vec3& p, double bulge) {
    Truth t;
    const double dz = std::min(p.z, 1.0 - p.z);
    const double square_dx = std::min(p.x, 2.0 - p.x);
    const double square_dy = std::min(p.y, 2.0 - p.y);
    const bool in_square = square_dx >= 0.0 && square_dy >= 0.0;
    double clear = std::min({std::fabs(dz), std::fabs(p.x), std::fabs(p.y), std::fabs(2.0 - p.y)});
    bool in_segment = false;
    if (bulge == 0.0) {
        clear = std::min(clear, std::fabs(2.0 - p.x));
    } else {
        const double radius = (bulge + 1.0 / bulge) / 2.0;
        const double cx = 2.0 - (1.0 / bulge - bulge) / 2.0;
        const double from_centre = std::hypot(p.x - cx, p.y - 1.0);
        in_segment = p.x >= 2.0 && from_centre <= radius;
        clear = std::min({clear, std::fabs(from_centre - radius), std::fabs(2.0 - p.x)});
    }
    t.inside = dz >= 0.0 && (in_square || in_segment);
    t.clearance = clear;
    return t;
}

}  // namespace

TEST(PaintedArcs, ARemovedNearDuplicateVertexLeavesItsArcToTheEdgeThatSurvives) {
    const Grid grid = make_grid({steps(-0.35, 0.1, 34), steps(-0.35, 0.1, 27), steps(-0.35, 0.1, 17)});
    struct Case {
        const char* what;
        json vertices;
        json bulges;
        double expected_bulge;  // of the right side after cleaning
    };
    const Case cases[] = {
        {"bulge on the edge after the duplicate", {{0, 0}, {2, 0}, {2 + 1e-8, 0}, {2, 2}, {0, 2}}, {0, 0, 0.5, 0, 0}, 0.5},
        {"bulge on the vanishing edge", {{0, 0}, {2, 0}, {2 + 1e-8, 0}, {2, 2}, {0, 2}}, {0, 0.5, 0, 0, 0}, 0.0},
        {"bulges on both", {{0, 0}, {2, 0}, {2 + 1e-8, 0}, {2, 2}, {0, 2}}, {0, 0.7, 0.5, 0, 0}, 0.5},
        {"a run of two duplicates", {{0, 0}, {2, 0}, {2, 1e-8}, {2 + 1e-8, 0}, {2, 2}, {0, 2}}, {0, 0.3, 0.3, 0.5, 0, 0},
         0.5},
        {"clockwise, duplicate before the bulged side", {{0, 0}, {0, 2}, {2, 2}, {2 + 1e-8, 2}, {2, 0}},
         {0, 0, 0, -0.5, 0}, 0.5},
        {"duplicate of the last vertex", {{0, 2}, {0, 0}, {2, 0}, {2, 2}, {1e-8, 2}}, {0, 0, 0.5, 0, 0}, 0.5},
    };
    for (const Case& k : cases) {
        json slab = poly_slab(k.vertices);
        slab["bulges"] = k.bulges;
        const Oracle truth = [&](const Vec3& p) { return square_with_bulged_side(p, k.expected_bulge); };
        const Comparison c = paint_and_compare(slab, grid, truth);
        EXPECT_GT(c.compared, 40000) << k.what;
        EXPECT_EQ(c.wrong, 0) << k.what;
    }
}

// ---------------------------------------------------------------------------------------------
// Tilted sloped slabs of many vertices

TEST(PaintedSlopedSlabs, ATiltedSlabOfManyVerticesKeepsItsShapeWithFewWallTriangles) {
    // A regular 3000-gon of circumradius 0.8, height 1, sidewall angle 0.1, tilted by 0.3 about
    // x: its walls are cut with the shared strip budget. At height z (before the tilt) the
    // section is the 3000-gon whose edges moved in by z·tan(0.1): a point lies inside when its
    // distance along the normal of the edge of its angular sector is at most the apothem
    // a0 - z·tan(0.1).
    const int n = 3000;
    json vertices = json::array();
    for (int k = 0; k < n; ++k) vertices.push_back({0.8 * std::cos(2 * M_PI * k / n), 0.8 * std::sin(2 * M_PI * k / n)});
    json slab = {{"type", "PolySlab"}, {"z_cent", 0.0}, {"z_size", 1.0}, {"vertices", vertices}, {"sidewall_angle", 0.1}};
    const double tilt = 0.3;
    const double t = std::tan(0.1);
    const double a0 = 0.8 * std::cos(M_PI / n);
    const Oracle frustum = [&](const Vec3& world) {
        const Vec3 p = unrotate_about_x(world, tilt);
        double phi = std::atan2(p.y, p.x);
        if (phi < 0.0) phi += 2 * M_PI;
        const double middle = (std::floor(phi / (2 * M_PI / n)) + 0.5) * (2 * M_PI / n);
        const double along = p.x * std::cos(middle) + p.y * std::sin(middle);
        const double wall = a0 - p.z * t - along;
        Truth truth;
        truth.inside = wall >= 0.0 && std::fabs(p.z) <= 0.5;
        truth.clearance = std::min(std::fabs(wall), std::fabs(std::fabs(p.z) - 0.5));
        return truth;
    };
    const Grid grid = make_grid({steps(-1.05, 0.125, 17), steps(-1.05, 0.125, 17), steps(-1.05, 0.125, 17)});
    const Comparison c = paint_and_compare(rotated_about_x(slab, tilt), grid, frustum, 1e-3);
    EXPECT_GT(c.compared, 30000);
    EXPECT_GT(c.painted, 5000);
    EXPECT_EQ(c.wrong, 0);
}
