// Node words of the edge-singularity phase on small scenes: shapes read from their JSON
// descriptions, painted into a structure map on a grid of 8 cells per axis from -1 to 1, and the
// phase run over every node.

#include <cmath>
#include <functional>
#include <memory>
#include <numbers>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "common/medium_index.h"
#include "common/node_word.h"
#include "driver/grid.h"
#include "driver/loop_description.h"
#include "driver/structure_map.h"
#include "geometry/geometry_reader.h"
#include "spec/medium.h"
#include "spec/simulation_spec.h"
#include "subpixel/edge_singularities.h"

namespace {

using nlohmann::json;

constexpr int CELLS = 8;
constexpr int NODES = CELLS + 1;
constexpr double LOW = -1.0;
constexpr double STEP = 0.25;

// Expected counts, from 1 - x 2^(1 - x) of the exponents 2/3 (right angle) and 1/2 (sheet rim),
// rounded to 1/1024.
constexpr uint32_t RIGHT_ANGLE_COUNT = 164;  // 0.16005 * 1024 = 163.9
constexpr uint32_t RIM_COUNT = 300;          // 0.29289 * 1024 = 299.9

double coordinate(int i) { return LOW + STEP * i; }

uint32_t word(bool right_angle, int axis, uint32_t e, uint32_t h) {
    return 1u | (right_angle ? 2u : 0u) | uint32_t(axis) << 2 | e << 4 | h << 14;
}

std::shared_ptr<Medium> dielectric(float eps) {
    auto m = std::make_shared<Medium>(3, ComponentKind::Medium);
    m->eps_inf = {eps, eps, eps};
    return m;
}

std::shared_ptr<Medium> lossy_metal() {
    auto m = std::make_shared<Medium>(3, ComponentKind::LossyMetal);
    m->eps_inf = {1.0f, 1.0f, 1.0f};
    return m;
}

json box(double x0, double x1, double y0, double y1, double z0, double z1) {
    return {{"type", "Box"},         {"x_cent", (x0 + x1) / 2}, {"y_cent", (y0 + y1) / 2}, {"z_cent", (z0 + z1) / 2},
            {"x_span", x1 - x0},     {"y_span", y1 - y0},       {"z_span", z1 - z0}};
}

// A box normal to z of zero thickness: a planar sheet.
json sheet(double x0, double x1, double y0, double y1, double z) {
    json j = box(x0, x1, y0, y1, z, z);
    j["2dmaterial"] = 1;
    j["normal_axis"] = 2;
    return j;
}

struct Scene {
    SimulationSpec spec;

    Scene() {
        spec.courant_scaling = 1.0f;
        spec.has_conformal_metal = true;
        spec.subpixel.pec_edge_singularity_correction = true;
        for (int a = 0; a < 3; ++a) {
            spec.simulation_bounds[a] = {LOW, LOW + STEP * CELLS};
            spec.simulation_size[a] = STEP * CELLS;
        }
    }

    Scene& add(json geometry, int32_t medium_index) {
        auto s = std::make_shared<Structure>();
        s->geometry = read_structure_geometry(geometry);
        EXPECT_NE(s->geometry, nullptr);
        s->medium_index = medium_index;
        spec.structures.push_back(s);
        return *this;
    }

    int32_t medium(std::shared_ptr<Medium> m) {
        spec.media.push_back(std::move(m));
        return static_cast<int32_t>(spec.media.size() - 1);
    }
};

Grid grid() {
    std::vector<float> b;
    for (int i = 0; i <= CELLS; ++i) b.push_back(float(coordinate(i)));
    return make_grid({b, b, b});
}

// The node words of the whole grid as one subdomain.
std::vector<uint32_t> node_words(const SimulationSpec& spec, int threads = 1) {
    const Grid g = grid();
    const Span span = {0, CELLS, 0, CELLS, 0, CELLS};
    StructureMap map(span);
    build_structure_map(map, g, spec.structures, 1, spec, PaintMode::All);
    ConformalData data;
    data.extents = {CELLS, CELLS, CELLS};
    data.node_values.assign(NODES * NODES * NODES, 0u);
    const LoopDescription loop = make_loop_description(span, map.reach, true);
    const Span extended = {0, CELLS + 1, 0, CELLS + 1, 0, CELLS + 1};
    correct_edge_singularities(spec, map, g, data, loop, threads, 1e14f, extended);
    return data.node_values;
}

std::size_t at(int i, int j, int k) { return std::size_t((i * NODES + j) * NODES + k); }

// Compares every node's word with the expectation, reporting the first few differences.
void expect_words(const std::vector<uint32_t>& words, const std::function<uint32_t(int, int, int)>& expected) {
    ASSERT_EQ(words.size(), std::size_t(NODES * NODES * NODES));
    int reported = 0;
    for (int i = 0; i < NODES; ++i)
        for (int j = 0; j < NODES; ++j)
            for (int k = 0; k < NODES; ++k) {
                const uint32_t want = expected(i, j, k);
                if (words[at(i, j, k)] != want && reported++ < 8)
                    ADD_FAILURE() << "node " << i << " " << j << " " << k << ": word " << words[at(i, j, k)]
                                  << ", expected " << want;
            }
    EXPECT_EQ(reported, 0);
}

// Nodes of the cube [-0.5, 0.5]^3 (indices 2 to 6): the axis of the cube edge through the node
// away from the corners, or -1.
int cube_edge_axis(int i, int j, int k) {
    const int n[3] = {i, j, k};
    int on_face = 0, inside = -1;
    for (int a = 0; a < 3; ++a) {
        if (n[a] == 2 || n[a] == 6)
            ++on_face;
        else if (n[a] > 2 && n[a] < 6)
            inside = a;
    }
    return on_face == 2 && inside >= 0 ? inside : -1;
}

const json CUBE = box(-0.5, 0.5, -0.5, 0.5, -0.5, 0.5);

TEST(EdgeSingularities, PecCubeInVacuumMarksItsEdgesButNotItsCorners) {
    Scene scene;
    scene.add(CUBE, MEDIUM_INDEX_PEC);
    const std::vector<uint32_t> words = node_words(scene.spec);
    expect_words(words, [](int i, int j, int k) {
        const int a = cube_edge_axis(i, j, k);
        return a < 0 ? 0u : word(true, a, RIGHT_ANGLE_COUNT, RIGHT_ANGLE_COUNT);
    });
    // The 12 edges hold 3 nodes each away from the corners.
    int marked = 0;
    for (uint32_t w : words) marked += w != 0;
    EXPECT_EQ(marked, 36);
}

// Which conductor settings correct which conductors: a perfect conductor or a lossy metal cube
// under each pair of correction flags.
TEST(EdgeSingularities, EachConductorFollowsItsOwnCorrectionFlag) {
    struct Case {
        bool lossy_cube;
        bool pec_flag;
        bool lossy_flag;
        bool marked;
    };
    const Case cases[] = {
        {false, true, false, true},  {false, false, true, false}, {true, true, false, false},
        {true, false, true, true},   {true, true, true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "lossy " << c.lossy_cube << " pec flag " << c.pec_flag << " lossy flag "
                                        << c.lossy_flag);
        Scene scene;
        scene.spec.subpixel.pec_edge_singularity_correction = c.pec_flag;
        scene.spec.subpixel.lossy_metal_edge_singularity_correction = c.lossy_flag;
        const int32_t m = c.lossy_cube ? scene.medium(lossy_metal()) : MEDIUM_INDEX_PEC;
        scene.add(CUBE, m);
        expect_words(node_words(scene.spec), [&](int i, int j, int k) {
            const int a = cube_edge_axis(i, j, k);
            return a < 0 || !c.marked ? 0u : word(true, a, RIGHT_ANGLE_COUNT, RIGHT_ANGLE_COUNT);
        });
    }
}

// A real medium whose first component is a perfect conductor counts as one.
TEST(EdgeSingularities, MediumWithPecKindIsAPerfectConductor) {
    Scene scene;
    auto pec = std::make_shared<Medium>(3, ComponentKind::PEC);
    pec->eps_inf = {1.0f, 1.0f, 1.0f};
    scene.add(CUBE, scene.medium(pec));
    expect_words(node_words(scene.spec), [](int i, int j, int k) {
        const int a = cube_edge_axis(i, j, k);
        return a < 0 ? 0u : word(true, a, RIGHT_ANGLE_COUNT, RIGHT_ANGLE_COUNT);
    });
}

// The edge of the cube along z at x = y = 0.5 (nodes (6, 6, 3..5)), with a dielectric placed in
// the open quadrants around it. The dielectric is listed first, so the cube wins where they touch.
TEST(EdgeSingularities, DielectricsAroundARightAngleEdge) {
    const double pi = std::numbers::pi;
    // Singularity exponent of a right-angle edge whose open quadrant of permittivity e1 faces two of
    // permittivity e2 (the three open quadrants): sin^2(t pi / 2) = 1 - e2 / (2 (e1 + e2)).
    auto interface_count = [&](double minority, double majority) {
        const double t = std::asin(std::sqrt(1.0 - majority / (2.0 * (minority + majority)))) * 2.0 / pi;
        return uint32_t(std::floor((1.0 - t * std::exp2(1.0 - t)) * 1024.0 + 0.5));
    };
    ASSERT_EQ(interface_count(4.0, 1.0), 86u);
    struct Case {
        const char* name;
        float eps;
        json region;  // where the dielectric lies
        uint32_t expected;
        bool opposite_marked;  // the edge at x = y = -0.5, which the dielectric reaches only when it fills all
    };
    const Case cases[] = {
        {"eps 4 in the quadrant x > 0.5, y < 0.5", 4.0f, box(0.5, 2, -2, 0.5, -2, 2),
         word(true, 2, 86, RIGHT_ANGLE_COUNT), true},
        // Two of the three open quadrants: the vacuum quadrant is the minority.
        {"eps 4 in the half y > 0.5", 4.0f, box(-2, 2, 0.5, 2, -2, 2),
         word(true, 2, interface_count(1.0, 4.0), RIGHT_ANGLE_COUNT), true},
        // One medium all round the edge: no interface.
        {"eps 4 everywhere", 4.0f, box(-2, 2, -2, 2, -2, 2), word(true, 2, RIGHT_ANGLE_COUNT, RIGHT_ANGLE_COUNT), true},
        // Permittivities within 2^-23 of each other count as one medium.
        {"eps 1 + 2^-23 in one quadrant", 1.00000012f, box(0.5, 2, -2, 0.5, -2, 2),
         word(true, 2, RIGHT_ANGLE_COUNT, RIGHT_ANGLE_COUNT), true},
        // An open medium below 0.9999999 is not corrected for.
        {"eps 0.5 in one quadrant", 0.5f, box(0.5, 2, -2, 0.5, -2, 2), 0u, true},
        {"eps 0.5 everywhere", 0.5f, box(-2, 2, -2, 2, -2, 2), 0u, false},
        // Just below 1: accepted as the first open medium, refused as the second.
        {"eps 1 - 2^-24 everywhere", 0.99999994f, box(-2, 2, -2, 2, -2, 2),
         word(true, 2, RIGHT_ANGLE_COUNT, RIGHT_ANGLE_COUNT), true},
        {"eps 1 - 2^-24 in one quadrant", 0.99999994f, box(0.5, 2, -2, 0.5, -2, 2), 0u, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Scene scene;
        scene.add(c.region, scene.medium(dielectric(c.eps)));
        scene.add(CUBE, MEDIUM_INDEX_PEC);
        const std::vector<uint32_t> words = node_words(scene.spec);
        for (int k = 3; k <= 5; ++k) EXPECT_EQ(words[at(6, 6, k)], c.expected) << "node z index " << k;
        EXPECT_EQ(words[at(2, 2, 4)] != 0, c.opposite_marked);
    }
}

// A PEC sheet in the plane z = 0 (a grid boundary) covering x in [-0.5, 0.5] and all of y: its two
// rims run along y through every node at x = +-0.5, including the nodes on the last y boundary.
TEST(EdgeSingularities, SheetRims) {
    const double pi = std::numbers::pi;
    // A rim with one quadrant of permittivity e1 against three of e2: cos(t pi) = (e2 - e1) / (2 (e1 + e2)).
    const double t = std::acos((1.0 - 4.0) / (2.0 * 5.0)) / pi;
    const uint32_t one_quadrant = uint32_t(std::floor((1.0 - t * std::exp2(1.0 - t)) * 1024.0 + 0.5));
    struct Case {
        const char* name;
        json region;  // where a dielectric of permittivity 4 lies, or null
        uint32_t count_e_at_upper_rim;
    };
    const Case cases[] = {
        {"vacuum", nullptr, RIM_COUNT},
        // Two quadrants on one side of the sheet: the interface lies in the sheet's plane.
        {"eps 4 below the sheet", box(-2, 2, -2, 2, -2, 0), RIM_COUNT},
        // One quadrant at the rim x = 0.5: an interface across the sheet's plane.
        {"eps 4 in one quadrant", box(0.5, 2, -2, 2, -2, 0), one_quadrant},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Scene scene;
        if (!c.region.is_null()) scene.add(c.region, scene.medium(dielectric(4.0f)));
        scene.add(sheet(-0.5, 0.5, -2, 2, 0.0), MEDIUM_INDEX_PEC);
        expect_words(node_words(scene.spec), [&](int i, int, int k) {
            if (k != 4) return 0u;
            if (i == 6) return word(false, 1, c.count_e_at_upper_rim, RIM_COUNT);
            if (i == 2) return word(false, 1, RIM_COUNT, RIM_COUNT);
            return 0u;
        });
    }
}

// A sheet of a material other than a perfect conductor stops the correction at every node it
// touches, also next to a conductor.
TEST(EdgeSingularities, AnOpenSheetNextToTheConductorGivesNoWord) {
    Scene scene;
    scene.add(CUBE, MEDIUM_INDEX_PEC);
    scene.add(sheet(-2, 2, -2, 2, 0.0), scene.medium(dielectric(2.0f)));
    expect_words(node_words(scene.spec), [](int i, int j, int k) {
        const int a = cube_edge_axis(i, j, k);
        return a < 0 || k == 4 ? 0u : word(true, a, RIGHT_ANGLE_COUNT, RIGHT_ANGLE_COUNT);
    });
}

// A perfect conductor filling all of x for y < 0.5 has faces at x = +-1, the ends of the grid. Without
// periodic boundaries the face x = -1 meets y = 0.5 in a true edge along z; with x periodic the
// conductor continues across the boundary and that edge is an artefact.
TEST(EdgeSingularities, ConductorAcrossAPeriodicBoundaryHasNoEdgeThere) {
    for (bool periodic : {false, true}) {
        SCOPED_TRACE(periodic ? "periodic" : "not periodic");
        Scene scene;
        scene.spec.periodic_boundary[0] = periodic;
        scene.add(box(-1, 1, -2, 0.5, -2, 2), MEDIUM_INDEX_PEC);
        expect_words(node_words(scene.spec), [&](int i, int j, int) {
            // At x = 1 the upper-end rule puts the point beyond the node on the node, which lies in
            // the conductor: two conductor quadrants, no word.
            return !periodic && i == 0 && j == 6 ? word(true, 2, RIGHT_ANGLE_COUNT, RIGHT_ANGLE_COUNT) : 0u;
        });
    }
}

// Two cubes touching along one edge line, x = y = 0.5: the nodes there see two conductors.
TEST(EdgeSingularities, TwoConductorsMeetingAtANodeGiveNoWord) {
    Scene scene;
    scene.add(CUBE, MEDIUM_INDEX_PEC);
    scene.add(box(0.5, 1.5, 0.5, 1.5, -0.5, 0.5), MEDIUM_INDEX_PEC);
    const std::vector<uint32_t> words = node_words(scene.spec);
    for (int k = 2; k <= 6; ++k) EXPECT_EQ(words[at(6, 6, k)], 0u) << k;
    EXPECT_EQ(words[at(2, 2, 4)], word(true, 2, RIGHT_ANGLE_COUNT, RIGHT_ANGLE_COUNT));
    EXPECT_EQ(words[at(4, 2, 2)], word(true, 0, RIGHT_ANGLE_COUNT, RIGHT_ANGLE_COUNT));
}

// An L-shaped slab along z: its reflex vertex at (0, 0) gives no word, its convex right-angle
// vertices do.
TEST(EdgeSingularities, ReflexEdgeOfASlabGivesNoWord) {
    Scene scene;
    scene.add({{"type", "PolySlab"},
               {"vertices", {{-0.5, -0.5}, {0.5, -0.5}, {0.5, 0.0}, {0.0, 0.0}, {0.0, 0.5}, {-0.5, 0.5}}},
               {"z_cent", 0.0},
               {"z_size", 4.0}},
              MEDIUM_INDEX_PEC);
    const std::vector<uint32_t> words = node_words(scene.spec);
    const uint32_t vertical = word(true, 2, RIGHT_ANGLE_COUNT, RIGHT_ANGLE_COUNT);
    for (int k = 0; k < NODES; ++k) {
        SCOPED_TRACE(k);
        EXPECT_EQ(words[at(4, 4, k)], 0u);  // the reflex vertex
        EXPECT_EQ(words[at(2, 2, k)], vertical);
        EXPECT_EQ(words[at(6, 2, k)], vertical);
        EXPECT_EQ(words[at(6, 4, k)], vertical);
        EXPECT_EQ(words[at(4, 6, k)], vertical);
        EXPECT_EQ(words[at(2, 6, k)], vertical);
    }
}

// A cube turned by 45 degrees about z with its top at z = 0.5: the top edges run diagonally through
// the nodes (0.25, 0.25, 0.5) and (-0.25, 0.25, 0.5), not along a grid axis.
TEST(EdgeSingularities, EdgeNotAlongAGridAxisGivesNoWord) {
    Scene scene;
    const double c = std::sqrt(0.5);
    const double half = 0.25 * std::sqrt(2.0);  // corners at distance 0.5 from the axis
    json turned = {{"type", "Transformed"},
                   {"transform", {{c, -c, 0.0, 0.0}, {c, c, 0.0, 0.0}, {0.0, 0.0, 1.0, 0.0}, {0.0, 0.0, 0.0, 1.0}}},
                   {"geometry", box(-half, half, -half, half, -0.5, 0.5)}};
    scene.add(turned, MEDIUM_INDEX_PEC);
    const std::vector<uint32_t> words = node_words(scene.spec);
    for (int i : {3, 5})
        for (int j : {3, 5}) {
            EXPECT_EQ(words[at(i, j, 6)], 0u) << i << " " << j;
            EXPECT_EQ(words[at(i, j, 2)], 0u) << i << " " << j;
        }
}

// A cube standing on z = 0 and reaching beyond the grid's top at z = 1: its vertical edges end on
// the last boundary, where the upper-end rule takes the node itself for the missing points above.
// Its top edges, when the cube ends exactly at z = 1, lie in the last boundary plane, where that
// rule folds the point above the node onto the node, which lies on the edge itself: no word.
TEST(EdgeSingularities, NodesOnTheLastBoundary) {
    for (double top : {2.0, 1.0}) {
        SCOPED_TRACE(top);
        Scene scene;
        scene.add(box(-0.5, 0.5, -0.5, 0.5, 0.0, top), MEDIUM_INDEX_PEC);
        expect_words(node_words(scene.spec), [&](int i, int j, int k) {
            const bool x_face = i == 2 || i == 6, y_face = j == 2 || j == 6;
            const bool x_in = i > 2 && i < 6, y_in = j > 2 && j < 6;
            const bool z_in = k > 4 && (top > 1.0 || k < 8);
            if (x_face && y_face && z_in) return word(true, 2, RIGHT_ANGLE_COUNT, RIGHT_ANGLE_COUNT);
            if (k == 4 && x_face && y_in) return word(true, 1, RIGHT_ANGLE_COUNT, RIGHT_ANGLE_COUNT);
            if (k == 4 && y_face && x_in) return word(true, 0, RIGHT_ANGLE_COUNT, RIGHT_ANGLE_COUNT);
            return 0u;
        });
    }
}

// A scene with every kind of node, run on one and on four threads.
TEST(EdgeSingularities, ThreadsGiveTheSingleThreadWordsBitForBit) {
    Scene scene;
    scene.add(box(0.5, 2, -2, 0.5, -2, 2), scene.medium(dielectric(4.0f)));
    scene.add(CUBE, MEDIUM_INDEX_PEC);
    scene.add(sheet(-1, 0.25, -0.75, 0.75, -0.75), MEDIUM_INDEX_PEC);
    scene.add({{"type", "PolySlab"},
               {"vertices", {{-1.0, 0.5}, {-0.25, 0.5}, {-0.25, 0.75}, {-0.5, 0.75}, {-0.5, 1.0}, {-1.0, 1.0}}},
               {"z_cent", 0.0},
               {"z_size", 1.0}},
              scene.medium(lossy_metal()));
    scene.spec.subpixel.lossy_metal_edge_singularity_correction = true;
    const std::vector<uint32_t> single = node_words(scene.spec, 1);
    int marked = 0;
    for (uint32_t w : single) marked += w != 0;
    EXPECT_GT(marked, 40);
    for (int run = 0; run < 3; ++run) EXPECT_EQ(node_words(scene.spec, 4), single);
}

}  // namespace
