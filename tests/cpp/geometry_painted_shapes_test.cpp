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
