#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <omp.h>

#include "common/tolerance.h"
#include "driver/compute_driver.h"
#include "driver/structure_map.h"
#include "geometry/geometry.h"
#include "geometry/geometry_reader.h"
#include "subpixel/periodic_and_clipping.h"

namespace {

constexpr uint64_t NOTHING = std::numeric_limits<uint64_t>::max();
constexpr std::array<uint64_t, 6> UNREACHED = {NOTHING, 0, NOTHING, 0, NOTHING, 0};

std::vector<float> steps(double first, double step, int count) {
    std::vector<float> v;
    for (int i = 0; i <= count; ++i) v.push_back(static_cast<float>(first + step * i));
    return v;
}

// A test shape: the given world bounds, solid wherever `solid` holds the point, no transform.
// It records how it is queried: calls to contains, the largest team seen in them, the slice
// points prepared, and contains calls whose coordinate along the axis differs from the last
// prepared slice.
class ProbeShape final : public Geometry {
public:
    ProbeShape(const Aabb& bounds, const Aabb& solid, int axis, bool sliced)
        : Geometry(Transform::identity(), false), box_(bounds), solid_(solid), sliced_(sliced) {
        axis_index = axis;
    }

    Aabb bounds() const override { return box_; }
    bool contains(const Vec3& p, bool exact, double tol) const override {
        calls.fetch_add(1);
        int team = omp_get_num_threads();
        int seen = largest_team.load();
        while (team > seen && !largest_team.compare_exchange_weak(seen, team)) {
        }
        if (exact) exact_calls.fetch_add(1);
        if (sliced_ && (slices.empty() || p[axis_index] != slices.back()[axis_index])) off_slice.fetch_add(1);
        return solid_.contains(p, tol);
    }
    Vec3 surface_normal(const Vec3&, double& dist, bool&, bool, double) const override {
        dist = 1.0;
        return {};
    }
    bool uses_slices() const override { return sliced_; }
    void prepare_slice(const Vec3& p) override { slices.push_back(p); }

    mutable std::atomic<int64_t> calls{0};
    mutable std::atomic<int> largest_team{0};
    mutable std::atomic<int64_t> exact_calls{0};
    mutable std::atomic<int64_t> off_slice{0};
    std::vector<Vec3> slices;

private:
    Aabb box_;
    Aabb solid_;
    bool sliced_;
};

Aabb box_of(Vec3 min, Vec3 max) {
    Aabb b;
    b.min = min;
    b.max = max;
    return b;
}

const Aabb EVERYTHING = box_of({-1e9, -1e9, -1e9}, {1e9, 1e9, 1e9});

std::shared_ptr<Structure> structure_of(std::shared_ptr<Geometry> g, int32_t medium = 0, bool frame = false) {
    auto s = std::make_shared<Structure>();
    s->geometry = std::move(g);
    s->medium_index = medium;
    s->modal_pec_frame = frame;
    return s;
}

std::shared_ptr<Structure> structure_of(const char* json, int32_t medium = 0, bool frame = false) {
    nlohmann::json entry = nlohmann::json::parse(json);
    std::shared_ptr<Geometry> g = read_structure_geometry(entry);
    EXPECT_NE(g, nullptr) << json;
    return structure_of(g, medium, frame);
}

std::shared_ptr<Structure> box(Vec3 centre, Vec3 span, int32_t medium = 0, bool frame = false) {
    nlohmann::json j = {{"type", "Box"},       {"x_cent", centre.x}, {"y_cent", centre.y}, {"z_cent", centre.z},
                        {"x_span", span.x},    {"y_span", span.y},   {"z_span", span.z}};
    return structure_of(j.dump().c_str(), medium, frame);
}

// One real medium (index 0); a second one of gridded kind (index 1).
SimulationSpec spec_with_media(std::array<std::pair<double, double>, 3> bounds) {
    SimulationSpec spec;
    spec.courant_scaling = 1.0f;
    spec.media.push_back(std::make_shared<Medium>(1, ComponentKind::Medium));
    spec.media.push_back(std::make_shared<Medium>(1, ComponentKind::Custom));
    for (int a = 0; a < 3; ++a) {
        spec.simulation_bounds[a] = bounds[a];
        spec.simulation_size[a] = bounds[a].second - bounds[a].first;
    }
    spec.bounds_tolerance = 1e-6;
    return spec;
}

Span full_span(const Grid& grid) { return {0, grid.cell_count[0], 0, grid.cell_count[1], 0, grid.cell_count[2]}; }

StructureMap paint(const Grid& grid, const SimulationSpec& spec, const Span& span, uint64_t threads = 1,
                   PaintMode mode = PaintMode::All) {
    StructureMap map(span);
    build_structure_map(map, grid, spec.structures, threads, spec, mode);
    return map;
}

// The doubled index of the grid position whose coordinate is x (boundary or dual) on an axis.
int64_t doubled_at(const Grid& grid, const Span& span, int axis, double x) {
    for (int64_t i = 0; i <= grid.cell_count[axis]; ++i) {
        if (double(grid.boundaries[axis][i]) == x) return 2 * (i - span[2 * axis]);
        if (double(grid.duals[axis][i]) == x) return 2 * (i - span[2 * axis]) + 1;
    }
    ADD_FAILURE() << "no grid position at " << x;
    return 0;
}

int32_t at_point(const StructureMap& map, const Grid& grid, Vec3 p) {
    return map.at(doubled_at(grid, map.span, 0, p.x), doubled_at(grid, map.span, 1, p.y),
                  doubled_at(grid, map.span, 2, p.z));
}

// ---------------------------------------------------------------------------------------------
// Index ranges and reach

// Unit cells from 0 to 10 on every axis: boundaries at integers, duals at half-integers
// (and -0.5 before the first cell).
Grid unit_grid(int cells = 10) { return make_grid({steps(0, 1, cells), steps(0, 1, cells), steps(0, 1, cells)}); }

TEST(StructureMapReach, BoxEdgesOnGridPositionsAndBeyondTheGridEnds) {
    const Grid grid = unit_grid();
    struct Case {
        double min, max;
        uint64_t lower, upper;  // expected reach along x
    };
    const Case cases[] = {
        {2.5, 5.5, 2, 8},     // ends on duals: both included, then one more index each side
        {3.0, 5.5, 2, 8},     // starts on a boundary: its index counts although its dual is below
        {3.1, 5.4, 3, 7},     // strictly between positions
        {8.2, 20.0, 8, 11},   // runs past the grid end: one past the last index, not widened further
        {-3.0, 0.2, 0, 2},    // starts before the grid: lower stays 0
        {-5.0, -3.0, NOTHING, 0},  // entirely before the grid: nothing reached
        {10.7, 12.0, NOTHING, 0},  // entirely after the grid
    };
    for (const Case& c : cases) {
        SimulationSpec spec = spec_with_media({{{0, 10}, {0, 10}, {0, 10}}});
        spec.bounds_tolerance = 0.0;
        spec.structures.push_back(box({(c.min + c.max) / 2, 5, 5}, {c.max - c.min, 2, 2}));
        const StructureMap map = paint(grid, spec, full_span(grid));
        EXPECT_EQ(map.reach[0], c.lower) << c.min << " " << c.max;
        EXPECT_EQ(map.reach[1], c.upper) << c.min << " " << c.max;
        if (c.upper != 0) {
            EXPECT_EQ(map.reach[2], 3u);
            EXPECT_EQ(map.reach[3], 8u);
        }
    }
}

TEST(StructureMapReach, GrowsForStructuresOutsideTheSubdomainWhichPaintNothing) {
    const Grid grid = unit_grid();
    SimulationSpec spec = spec_with_media({{{0, 10}, {0, 10}, {0, 10}}});
    spec.structures.push_back(box({7.5, 5, 5}, {1, 2, 2}));
    const Span span = {0, 3, 0, 10, 0, 10};
    const StructureMap map = paint(grid, spec, span);
    EXPECT_EQ(map.reach, (std::array<uint64_t, 6>{6, 10, 3, 8, 3, 8}));
    EXPECT_TRUE(std::all_of(map.indices.begin(), map.indices.end(), [](int32_t v) { return v == -1; }));

    // The compute driver's loop bounds clamp to the span: no cell is visited and every cell keeps
    // the identity.
    CoefficientSet set;
    const uint64_t threads = 1;
    compute_subdomain(make_scheme_set(1), threads, grid, spec, span, {1e14f}, set);
    ASSERT_EQ(set.size(), 1u);
    for (const CellCoefficients& cell : set[0].cells) EXPECT_EQ(cell.values, CellCoefficients::identity().values);
}

TEST(StructureMapReach, WidensAcrossStructuresAndPaintingsAndNeverShrinks) {
    const Grid grid = unit_grid();
    SimulationSpec spec = spec_with_media({{{0, 10}, {0, 10}, {0, 10}}});
    spec.structures.push_back(box({2, 2, 2}, {1, 1, 1}));
    spec.structures.push_back(box({8, 8, 8}, {1, 1, 1}, 0, true));
    StructureMap map(full_span(grid));
    build_structure_map(map, grid, spec.structures, 1, spec, PaintMode::WithoutModalFrames);
    EXPECT_EQ(map.reach, (std::array<uint64_t, 6>{1, 5, 1, 5, 1, 5}));
    build_structure_map(map, grid, spec.structures, 1, spec, PaintMode::OnlyModalFrames);
    EXPECT_EQ(map.reach, (std::array<uint64_t, 6>{1, 10, 1, 10, 1, 10}));
}

// ---------------------------------------------------------------------------------------------
// Painting order and modes

TEST(StructureMapPainting, PositionsInsideHoldTheStructureAndLaterStructuresWin) {
    const Grid grid = unit_grid();
    SimulationSpec spec = spec_with_media({{{0, 10}, {0, 10}, {0, 10}}});
    spec.structures.push_back(box({3, 5, 5}, {4, 4, 4}));  // x in [1, 5]
    nlohmann::json sphere = {{"type", "Sphere"}, {"x_cent", 5.0}, {"y_cent", 5.0}, {"z_cent", 5.0}, {"radius", 1.6}};
    spec.structures.push_back(structure_of(sphere.dump().c_str()));
    const StructureMap map = paint(grid, spec, full_span(grid));
    EXPECT_EQ(at_point(map, grid, {2, 5, 5}), 0);
    EXPECT_EQ(at_point(map, grid, {4.5, 5, 5}), 1);  // in both: the later one
    EXPECT_EQ(at_point(map, grid, {5, 5, 6.5}), 1);
    EXPECT_EQ(at_point(map, grid, {6, 6, 6}), -1);   // outside the sphere (distance 1.73)
    EXPECT_EQ(at_point(map, grid, {0.5, 5, 5}), -1);
    // Surfaces on grid positions count as inside.
    EXPECT_EQ(at_point(map, grid, {1, 3, 3}), 0);

    std::swap(spec.structures[0], spec.structures[1]);
    const StructureMap swapped = paint(grid, spec, full_span(grid));
    EXPECT_EQ(at_point(swapped, grid, {4.5, 5, 5}), 1);  // now the box is later
    EXPECT_EQ(at_point(swapped, grid, {6, 5, 5}), 0);
    // The last two doubled positions of every axis are never painted.
    for (int64_t X = 0; X < map.extents[0]; ++X)
        for (int64_t Y = 0; Y < map.extents[1]; ++Y)
            for (int64_t Z = map.extents[2] - 2; Z < map.extents[2]; ++Z) EXPECT_EQ(map.at(X, Y, Z), -1);
}

TEST(StructureMapPainting, ModesSelectTheModalFramesOrTheRest) {
    const Grid grid = unit_grid();
    SimulationSpec spec = spec_with_media({{{0, 10}, {0, 10}, {0, 10}}});
    spec.structures.push_back(box({3, 5, 5}, {4, 4, 4}));           // 0: x in [1, 5]
    spec.structures.push_back(box({5, 5, 5}, {4, 4, 4}, 0, true));  // 1: frame, x in [3, 7]
    spec.structures.push_back(box({7.5, 5, 5}, {3, 4, 4}));         // 2: x in [6, 9]
    const double xs[] = {2, 4, 6.5, 8};
    struct Case {
        std::vector<PaintMode> paintings;
        std::array<int32_t, 4> expected;
    };
    const Case cases[] = {
        {{PaintMode::All}, {0, 1, 2, 2}},
        {{PaintMode::WithoutModalFrames}, {0, 0, 2, 2}},
        // The frame goes over everything already painted, even a later structure.
        {{PaintMode::WithoutModalFrames, PaintMode::OnlyModalFrames}, {0, 1, 1, 2}},
        {{PaintMode::OnlyModalFrames}, {-1, 1, 1, -1}},
    };
    for (const Case& c : cases) {
        StructureMap map(full_span(grid));
        for (PaintMode mode : c.paintings) build_structure_map(map, grid, spec.structures, 1, spec, mode);
        for (int p = 0; p < 4; ++p) EXPECT_EQ(at_point(map, grid, {xs[p], 5, 5}), c.expected[p]) << xs[p];
    }
}

// ---------------------------------------------------------------------------------------------
// Periodic images

// x periodic on [0, 10] with the grid one cell beyond each side: boundaries -1 ... 11, duals
// -1.5, -0.5, 0.5, ... 10.5.
Grid periodic_grid() { return make_grid({steps(-1, 1, 12), steps(0, 1, 4), steps(0, 1, 4)}); }

TEST(StructureMapPeriodic, StructureAtTheUpperBoundPaintsTheFirstTwoLayersThroughItsImage) {
    const Grid grid = periodic_grid();
    struct Case {
        bool periodic;
        int32_t medium;  // 1 is gridded: no images
        std::array<int32_t, 4> bottom;  // doubled x positions 0 .. 3: x = -1, -1.5, 0, -0.5
    };
    const Case cases[] = {
        {true, 0, {0, 0, -1, 0}},  // x = 0 stays unwrapped and lies outside
        {false, 0, {-1, -1, -1, -1}},
        {true, 1, {-1, -1, -1, -1}},
    };
    for (const Case& c : cases) {
        SimulationSpec spec = spec_with_media({{{0, 10}, {0, 4}, {0, 4}}});
        spec.periodic_boundary[0] = c.periodic;
        spec.structures.push_back(box({9, 2, 2}, {2, 2, 2}, c.medium));  // x in [8, 10]
        const StructureMap map = paint(grid, spec, full_span(grid));
        for (int X = 0; X < 4; ++X) EXPECT_EQ(map.at(X, 4, 4), c.bottom[X]) << c.periodic << c.medium << X;
        EXPECT_EQ(map.reach[0], c.bottom[0] == 0 ? 0u : 8u);
        // The structure itself: x = 9.5 (dual of index 11) is inside; x = 10 wraps to 0.
        EXPECT_EQ(at_point(map, grid, {9.5, 2, 2}), 0);
        EXPECT_EQ(at_point(map, grid, {10, 2, 2}), c.periodic ? -1 : 0);
    }
}

TEST(StructureMapPeriodic, ImagesRejectPositionsWrappedTheOtherWay) {
    // x periodic on [0, 1] with a coarse grid far beyond the upper bound: boundaries -0.5, 1.5,
    // 1.75, 2, 2.25, 2.5; duals -0.625, 0.5, 1.625, 1.875, 2.125, 2.375. The shape is solid
    // everywhere but its bounds are x in [2.25, 2.375], so its own range is indices 3 to 5 and
    // the image below covers indices 0 and 1. At index 1 the boundary 1.5 wraps downwards,
    // which the image below must not paint.
    const Grid grid = make_grid({std::vector<float>{-0.5f, 1.5f, 1.75f, 2.0f, 2.25f, 2.5f}, steps(0, 1, 1), steps(0, 1, 1)});
    for (bool periodic : {true, false}) {
        SimulationSpec spec = spec_with_media({{{0, 1}, {0, 1}, {0, 1}}});
        spec.bounds_tolerance = 0.0;
        spec.periodic_boundary[0] = periodic;
        auto probe = std::make_shared<ProbeShape>(box_of({2.25, 0, 0}, {2.375, 1, 1}), EVERYTHING, 2, false);
        spec.structures.push_back(structure_of(probe));
        const StructureMap map = paint(grid, spec, full_span(grid));
        const std::array<int32_t, 12> expected =
            periodic ? std::array<int32_t, 12>{0, 0, -1, 0, -1, -1, 0, 0, 0, 0, 0, 0}
                     : std::array<int32_t, 12>{-1, -1, -1, -1, -1, -1, 0, 0, 0, 0, 0, 0};
        for (int X = 0; X < 12; ++X)
            for (int Y = 0; Y < 4; ++Y)
                for (int Z = 0; Z < 4; ++Z) ASSERT_EQ(map.at(X, Y, Z), expected[X]) << periodic << " " << X;
        EXPECT_EQ(map.reach[0], periodic ? 0u : 3u);
        EXPECT_EQ(map.reach[1], 6u);
    }
}

// ---------------------------------------------------------------------------------------------
// Clipping planes

TEST(StructureMapClipping, StructuresReachingAnAppliedPlaneExtendToTheGridEnd) {
    const Grid grid = make_grid({steps(0, 1, 6), steps(0, 1, 6), steps(0, 1, 8)});
    struct Case {
        double z_min, z_max;    // of the box
        bool apply_min, apply_max;
        double lowest, highest;  // painted z along the column x = y = 2
    };
    const Case cases[] = {
        {2, 5, false, true, 2, 8},       // reaches the max plane at 5: up to the boundary at z = 8
        {2, 4.5, false, true, 2, 4.5},   // stops short of the plane
        {2, 5, false, false, 2, 5},      // plane not applied
        {1, 3, true, false, -0.5, 3},    // reaches the min plane at 1: down to the first dual
        {1, 5, true, true, -0.5, 8},
    };
    for (const Case& c : cases) {
        SimulationSpec spec = spec_with_media({{{0, 6}, {0, 6}, {0, 8}}});
        spec.extrusion_clipping_bounds[2] = {1.0, 5.0};
        spec.apply_extrusion_bounds[2] = {c.apply_min, c.apply_max};
        spec.extrusion_bound_tolerance[2] = {float_tolerance(1.0), float_tolerance(5.0)};
        spec.structures.push_back(box({2, 2, (c.z_min + c.z_max) / 2}, {2, 2, c.z_max - c.z_min}));
        const StructureMap map = paint(grid, spec, full_span(grid));
        double lowest = 1e9, highest = -1e9;
        for (int64_t i = 0; i <= 8; ++i)
            for (int d = 0; d < 2; ++d)
                if (map.at(4, 4, 2 * i + d) == 0) {
                    const double z = d == 0 ? grid.boundaries[2][i] : grid.duals[2][i];
                    lowest = std::min(lowest, z);
                    highest = std::max(highest, z);
                }
        EXPECT_EQ(lowest, c.lowest) << c.z_min << " " << c.z_max;
        EXPECT_EQ(highest, c.highest) << c.z_min << " " << c.z_max;
        // Outside the box's footprint nothing is painted beyond the plane.
        EXPECT_EQ(at_point(map, grid, {4.5, 2, 7}), -1);
    }
}

// ---------------------------------------------------------------------------------------------
// Threads and slices

TEST(StructureMapThreads, BoxesBelow1001IndexTriplesArePaintedOnOneThread) {
    struct Case {
        int x_cells;        // the span covers the grid; indices per axis = cells + 1
        uint64_t threads;
        bool one_thread;
    };
    const Case cases[] = {
        {9, 4, true},    // 10 x 10 x 10 = 1000 triples
        {10, 4, false},  // 11 x 10 x 10 = 1100
        {10, 1, true},
    };
    for (const Case& c : cases) {
        const Grid grid = make_grid({steps(0, 1, c.x_cells), steps(0, 1, 9), steps(0, 1, 9)});
        SimulationSpec spec = spec_with_media({{{0, 10}, {0, 10}, {0, 10}}});
        auto probe = std::make_shared<ProbeShape>(EVERYTHING, EVERYTHING, 2, false);
        spec.structures.push_back(structure_of(probe));
        const StructureMap map = paint(grid, spec, full_span(grid), c.threads);
        // Every doubled position is asked exactly once.
        EXPECT_EQ(probe->calls.load(), int64_t(2 * (c.x_cells + 1)) * 20 * 20);
        EXPECT_EQ(probe->exact_calls.load(), 0);
        if (c.one_thread)
            EXPECT_EQ(probe->largest_team.load(), 1) << c.x_cells << " " << c.threads;
        else
            EXPECT_GT(probe->largest_team.load(), 1) << c.x_cells << " " << c.threads;
    }
}

TEST(StructureMapThreads, SlicedShapesArePreparedOncePerSliceAlongTheirAxis) {
    const Grid grid = make_grid({steps(0, 0.5, 12), steps(1, 1, 5), steps(-2, 1, 5)});
    SimulationSpec spec = spec_with_media({{{0, 6}, {1, 6}, {-2, 3}}});
    spec.bounds_tolerance = 0.0;
    // The shape's axis is x, so x is the outer loop and every x position is one slice.
    auto probe = std::make_shared<ProbeShape>(box_of({1.2, 1.5, -1.5}, {2.2, 4.5, 1.5}), EVERYTHING, 0, true);
    spec.structures.push_back(structure_of(probe));
    const Span span = {0, 12, 1, 5, 0, 5};
    const StructureMap map = paint(grid, spec, span, 4);

    // x range: first dual >= 1.2 is 1.25 at index 3, boundary 1.0 at index 2 is below: 3; first
    // dual > 2.2 is 2.25 at index 5; widened to [2, 6). y from index 1 (span), z from index 0.
    ASSERT_EQ(probe->slices.size(), 8u);
    for (std::size_t s = 0; s < probe->slices.size(); ++s) {
        const int64_t i = 2 + int64_t(s / 2);
        const double x = s % 2 == 0 ? grid.boundaries[0][i] : grid.duals[0][i];
        EXPECT_EQ(probe->slices[s].x, x) << s;
        EXPECT_EQ(probe->slices[s].y, grid.boundaries[1][1]);
        EXPECT_EQ(probe->slices[s].z, grid.boundaries[2][0]);
    }
    EXPECT_EQ(probe->off_slice.load(), 0);
    EXPECT_GT(probe->calls.load(), 0);
    EXPECT_EQ(map.at(2 * 2, 0, 0), 0);
    EXPECT_EQ(map.at(2 * 5 + 1, 0, 0), 0);
    EXPECT_EQ(map.at(2 * 6, 0, 0), -1);
}

// An L-shaped slab (non-convex, so it is painted slice by slice) extruded along x between
// x = -0.5 and 0.5, sidewall angle 0.2. Its polygon lies in the world (y, z) plane; at height
// h = x the L of the rectangles [0, 2] x [0, 1] and [0, 1] x [0, 2] has every side moved
// inwards by h·tan(0.2).
const char* const SLOPED_L_ALONG_X =
    R"({"type": "PolySlab", "axis": "x", "z_cent": 0.0, "z_size": 1.0, "sidewall_angle": 0.2,
        "vertices": [[0, 0], [2, 0], [2, 1], [1, 1], [1, 2], [0, 2]]})";

// Inside the sloped L at a world point, and how far the point is from the L's surface along the
// coordinate axes (positions nearer than a margin are not compared).
struct SlopedLOracle {
    bool inside = false;
    double clearance = 0.0;
};

SlopedLOracle sloped_l_along_x(const Vec3& p) {
    const double s = p.x * std::tan(0.2);
    auto in_rect = [&](double y0, double y1, double z0, double z1, double& clear) {
        const double dy = std::min(p.y - y0, y1 - p.y);
        const double dz = std::min(p.z - z0, z1 - p.z);
        clear = std::min(std::fabs(dy), std::fabs(dz));
        return dy >= 0.0 && dz >= 0.0;
    };
    double c1 = 0.0, c2 = 0.0;
    const bool r1 = in_rect(s, 2.0 - s, s, 1.0 - s, c1);
    const bool r2 = in_rect(s, 1.0 - s, s, 2.0 - s, c2);
    SlopedLOracle o;
    o.inside = std::fabs(p.x) <= 0.5 && (r1 || r2);
    o.clearance = std::min({std::fabs(std::fabs(p.x) - 0.5), r1 || r2 ? std::max(r1 ? c1 : 0.0, r2 ? c2 : 0.0)
                                                                     : std::min(c1, c2)});
    return o;
}

// Positions of the map whose painting disagrees with `inside`, and positions compared.
std::pair<int64_t, int64_t> disagreements(const StructureMap& map, const Grid& grid,
                                          SlopedLOracle (*oracle)(const Vec3&)) {
    int64_t wrong = 0, compared = 0;
    const Span& span = map.span;
    for (int64_t X = 0; X <= 2 * (span[1] - span[0]) + 1; ++X)
        for (int64_t Y = 0; Y <= 2 * (span[3] - span[2]) + 1; ++Y)
            for (int64_t Z = 0; Z <= 2 * (span[5] - span[4]) + 1; ++Z) {
                const std::array<int64_t, 3> doubled = {X, Y, Z};
                Vec3 p;
                for (int a = 0; a < 3; ++a) {
                    const std::size_t i = static_cast<std::size_t>(span[2 * a] + doubled[a] / 2);
                    p[a] = doubled[a] % 2 == 0 ? grid.boundaries[a][i] : grid.duals[a][i];
                }
                const SlopedLOracle o = oracle(p);
                if (o.clearance < 1e-4) continue;
                ++compared;
                wrong += (map.at(X, Y, Z) == 0) != o.inside;
            }
    return {wrong, compared};
}

TEST(StructureMapSlices, EveryShapeIsSlicedAlongTheAxisOfItsOwnSectionsWhateverItsWrapperSays) {
    const Grid grid = make_grid({steps(-0.7, 0.1, 14), steps(-0.35, 0.1, 27), steps(-0.35, 0.1, 27)});
    const std::string slab = SLOPED_L_ALONG_X;
    const std::string far_box = R"({"type": "Box", "x_cent": 0, "y_cent": 9, "z_cent": 9,
                                    "x_span": 0.1, "y_span": 0.1, "z_span": 0.1})";
    const std::string identity = "[[1, 0, 0, 0], [0, 1, 0, 0], [0, 0, 1, 0], [0, 0, 0, 1]]";
    const std::string cases[] = {
        slab,
        R"({"type": "GeometryGroup", "axis": "z", "geometries": [)" + slab + "]}",
        R"({"type": "GeometryGroup", "axis": "y", "geometries": [)" + far_box + ", " + slab + "]}",
        R"({"type": "ClipOperation", "axis": "z", "operation": "union", "operand_a": )" + far_box +
            R"(, "operand_b": )" + slab + "}",
        R"({"type": "ClipOperation", "axis": "y", "operation": "difference", "operand_a": )" + slab +
            R"(, "operand_b": )" + far_box + "}",
        R"({"type": "Transformed", "axis": "z", "transform": )" + identity + R"(, "geometry": )" + slab + "}",
        R"({"type": "Transformed", "axis": "y", "transform": )" + identity +
            R"(, "geometry": {"type": "GeometryGroup", "geometries": [)" + slab + "]}}",
    };
    for (const std::string& json : cases) {
        SimulationSpec spec = spec_with_media({{{-0.7, 0.7}, {-0.35, 2.35}, {-0.35, 2.35}}});
        spec.structures.push_back(structure_of(json.c_str()));
        ASSERT_TRUE(spec.structures.back()->geometry->uses_slices()) << json;
        const StructureMap map = paint(grid, spec, full_span(grid), 2);
        const auto [wrong, compared] = disagreements(map, grid, sloped_l_along_x);
        EXPECT_GT(compared, 40000) << json;
        EXPECT_EQ(wrong, 0) << json;
    }
}

// ---------------------------------------------------------------------------------------------
// The whole map against a plain painting of the same rules

// For every doubled position of the span, walks the structures (in list order, as selected by
// the mode) and their images (in offset order) and keeps the last that holds the position.
// Index ranges are found by linear scans.
void paint_plainly(StructureMap& map, const Grid& grid, const SimulationSpec& spec, PaintMode mode) {
    struct Image {
        int32_t k;
        std::array<int, 3> offset;
        std::array<int64_t, 6> range;
    };
    std::vector<Image> images;
    const double t = spec.bounds_tolerance;
    std::array<double, 3> start{}, end{};
    for (int a = 0; a < 3; ++a) {
        start[a] = grid.duals[a].front();
        end[a] = grid.boundaries[a].back();
    }
    for (std::size_t k = 0; k < spec.structures.size(); ++k) {
        const Structure& s = *spec.structures[k];
        if (mode == PaintMode::WithoutModalFrames && s.modal_pec_frame) continue;
        if (mode == PaintMode::OnlyModalFrames && !s.modal_pec_frame) continue;
        Aabb b = s.geometry->bounds();
        for (int a = 0; a < 3; ++a) {
            if (spec.apply_extrusion_bounds[a].first &&
                b.min[a] <= spec.extrusion_clipping_bounds[a].first + spec.extrusion_bound_tolerance[a].first)
                b.min[a] = start[a];
            if (spec.apply_extrusion_bounds[a].second &&
                b.max[a] >= spec.extrusion_clipping_bounds[a].second - spec.extrusion_bound_tolerance[a].second)
                b.max[a] = end[a];
        }
        const bool custom = s.medium_index < 65530 && spec.media[s.medium_index]->all_kinds(ComponentKind::Custom);
        for (int ix = -1; ix <= 1; ++ix)
            for (int iy = -1; iy <= 1; ++iy)
                for (int iz = -1; iz <= 1; ++iz) {
                    const std::array<int, 3> o = {ix, iy, iz};
                    bool used = true;
                    for (int a = 0; a < 3; ++a) {
                        if (o[a] == 0) continue;
                        if (custom || !spec.periodic_boundary[a]) used = false;
                        if (o[a] == 1 && end[a] < spec.simulation_bounds[a].second - t) used = false;
                        if (o[a] == -1 && start[a] > spec.simulation_bounds[a].first + t) used = false;
                    }
                    if (!used) continue;
                    Image image{int32_t(k), o, {}};
                    bool meets = true;
                    for (int a = 0; a < 3; ++a) {
                        const double lo = b.min[a] - t + o[a] * spec.simulation_size[a];
                        const double hi = b.max[a] + t + o[a] * spec.simulation_size[a];
                        const int64_t n = grid.cell_count[a];
                        int64_t lower = n + 1, upper = n + 1;
                        for (int64_t i = n; i >= 0; --i)
                            if (double(grid.duals[a][i]) >= lo) lower = i;
                        for (int64_t i = n; i >= 0; --i)
                            if (double(grid.duals[a][i]) > hi) upper = i;
                        if (lower > 0 && double(grid.boundaries[a][lower - 1]) >= lo) lower -= 1;
                        if (lower < upper) {
                            lower = std::max<int64_t>(lower - 1, 0);
                            if (upper < n) upper += 1;
                        }
                        if (o[a] == 1 && upper - lower > 2) lower = upper - 2;
                        if (o[a] == -1 && upper - lower > 2) upper = lower + 2;
                        image.range[2 * a] = lower;
                        image.range[2 * a + 1] = upper;
                        meets = meets && lower < upper;
                    }
                    if (!meets) continue;
                    for (int a = 0; a < 3; ++a) {
                        map.reach[2 * a] = std::min<uint64_t>(map.reach[2 * a], image.range[2 * a]);
                        map.reach[2 * a + 1] = std::max<uint64_t>(map.reach[2 * a + 1], image.range[2 * a + 1]);
                    }
                    images.push_back(image);
                }
    }

    const Span& span = map.span;
    const bool periodic = spec.periodic_boundary[0] || spec.periodic_boundary[1] || spec.periodic_boundary[2];
    for (int64_t X = 0; X <= 2 * (span[1] - span[0]) + 1; ++X)
        for (int64_t Y = 0; Y <= 2 * (span[3] - span[2]) + 1; ++Y)
            for (int64_t Z = 0; Z <= 2 * (span[5] - span[4]) + 1; ++Z) {
                const std::array<int64_t, 3> doubled = {X, Y, Z};
                std::array<int64_t, 3> index{};
                Vec3 position;
                for (int a = 0; a < 3; ++a) {
                    index[a] = span[2 * a] + doubled[a] / 2;
                    position[a] = doubled[a] % 2 == 0 ? grid.boundaries[a][index[a]] : grid.duals[a][index[a]];
                }
                int32_t value = map.at(X, Y, Z);
                for (const Image& image : images) {
                    bool in_range = true;
                    for (int a = 0; a < 3; ++a)
                        in_range = in_range && index[a] >= image.range[2 * a] && index[a] < image.range[2 * a + 1];
                    if (!in_range) continue;
                    Vec3 p = position;
                    if (periodic) {
                        const Vec3 shift = wrap_periodic(spec, p);
                        bool rejected = false;
                        for (int a = 0; a < 3; ++a)
                            if ((image.offset[a] == -1 && shift[a] < 0) || (image.offset[a] == 1 && shift[a] > 0))
                                rejected = true;
                        if (rejected) continue;
                    }
                    clamp_to_clipping_bounds(spec, p);
                    const Geometry& g = *spec.structures[image.k]->geometry;
                    if (g.contains(g.to_local_point(p), false, float_tolerance(length(p)) * g.local_scale))
                        value = image.k;
                }
                map.indices[map.index(X, Y, Z)] = value;
            }
}

// Uneven cells on every axis; x and y periodic with the grid beyond both bounds, z clipped.
Grid uneven_grid() {
    std::array<std::vector<float>, 3> b;
    const double first[3] = {-1.0, -0.75, -0.5};
    const double step[3] = {0.5, 0.5, 0.25};
    const int cells[3] = {24, 15, 20};
    for (int a = 0; a < 3; ++a)
        for (int i = 0; i <= cells[a]; ++i)
            b[a].push_back(static_cast<float>(first[a] + step[a] * i + 0.07 * step[a] * std::sin(3.1 * i + a)));
    return make_grid(b);
}

SimulationSpec mixed_spec() {
    SimulationSpec spec = spec_with_media({{{0, 10}, {0, 6}, {-0.5, 4.5}}});
    spec.bounds_tolerance = 1e-5;
    spec.periodic_boundary = {true, true, false};
    spec.extrusion_clipping_bounds[2] = {0.5, 3.0};
    spec.apply_extrusion_bounds[2] = {true, true};
    spec.extrusion_bound_tolerance[2] = {float_tolerance(1.0), float_tolerance(3.0)};
    const char* structures[] = {
        R"({"type": "Box", "x_cent": 5, "y_cent": 3, "z_cent": 2, "x_span": 5, "y_span": 3.3, "z_span": 2.1})",
        // Across the x maximum and the y minimum: images at the bottom of x and the top of y.
        R"({"type": "Sphere", "x_cent": 9.4, "y_cent": 0.3, "z_cent": 2, "radius": 1.1})",
        // Along x across the x minimum.
        R"({"type": "Cylinder", "axis": "x", "reference_plane": "bottom", "x_cent": 0.3, "y_cent": 4,
            "z_cent": 1.5, "radius": 0.9, "height": 2.2})",
        // Reaching the upper clipping plane.
        R"({"type": "Box", "x_cent": 3, "y_cent": 2, "z_cent": 2.5, "x_span": 1.5, "y_span": 1.5, "z_span": 1})",
        // Along z from below the lower clipping plane.
        R"({"type": "Cylinder", "reference_plane": "middle", "x_cent": 6.3, "y_cent": 4.2, "z_cent": 0.7,
            "radius": 0.8, "height": 1.2})",
        R"({"type": "ClipOperation", "operation": "difference",
            "operand_a": {"type": "Box", "x_cent": 7, "y_cent": 5.5, "z_cent": 2, "x_span": 2, "y_span": 2, "z_span": 2},
            "operand_b": {"type": "Sphere", "x_cent": 7, "y_cent": 6, "z_cent": 2, "radius": 0.9}})",
        R"({"type": "Transformed", "transform": [[0.8, -0.6, 0, 1.5], [0.6, 0.8, 0, 1], [0, 0, 1, 2], [0, 0, 0, 1]],
            "geometry": {"type": "Box", "x_cent": 0, "y_cent": 0, "z_cent": 0, "x_span": 1.5, "y_span": 0.6, "z_span": 1}})",
    };
    for (const char* s : structures) spec.structures.push_back(structure_of(s));
    // A gridded sphere across the y maximum (no images) and a modal frame over several others.
    spec.structures.push_back(structure_of(
        R"({"type": "Sphere", "x_cent": 2, "y_cent": 5.8, "z_cent": 1, "radius": 0.7})", 1));
    spec.structures.push_back(structure_of(
        R"({"type": "Box", "x_cent": 5.5, "y_cent": 2, "z_cent": 2, "x_span": 7, "y_span": 0.8, "z_span": 0.8})", 0,
        true));
    return spec;
}

TEST(StructureMapPlainPainting, SubdomainMapsMatchAPlainPaintingOfTheSameRules) {
    const Grid grid = uneven_grid();
    const SimulationSpec spec = mixed_spec();
    const Span spans[] = {
        {0, 24, 0, 15, 0, 20},
        {3, 11, 2, 9, 6, 14},
        {0, 3, 10, 15, 0, 20},
        {20, 24, 0, 4, 15, 20},
        {7, 7, 5, 6, 3, 3},  // empty on two axes: only the index at their begin
    };
    const std::vector<std::vector<PaintMode>> sequences = {
        {PaintMode::All}, {PaintMode::WithoutModalFrames, PaintMode::OnlyModalFrames}};
    for (const Span& span : spans) {
        for (const auto& sequence : sequences) {
            StructureMap built(span), plain(span);
            for (PaintMode mode : sequence) {
                build_structure_map(built, grid, spec.structures, 2, spec, mode);
                paint_plainly(plain, grid, spec, mode);
            }
            EXPECT_EQ(built.reach, plain.reach) << span[0] << " " << span[2] << " " << span[4];
            EXPECT_TRUE(built.indices == plain.indices) << span[0] << " " << span[2] << " " << span[4];
        }
    }
    // The case is not vacuous: on the full span every structure holds some position, and the
    // periodic images reach the first and last layers.
    StructureMap full(spans[0]);
    build_structure_map(full, grid, spec.structures, 1, spec, PaintMode::All);
    for (int32_t k = 0; k < int32_t(spec.structures.size()); ++k)
        EXPECT_NE(std::count(full.indices.begin(), full.indices.end(), k), 0) << k;
    EXPECT_EQ(full.reach[0], 0u);
    EXPECT_EQ(full.reach[3], 16u);
}

TEST(StructureMapThreads, ManyThreadsPaintTheSameMapAsOne) {
    const Grid grid = uneven_grid();
    const SimulationSpec spec = mixed_spec();
    const StructureMap one = paint(grid, spec, full_span(grid), 1);
    for (uint64_t threads : {2u, 4u}) {
        const StructureMap many = paint(grid, spec, full_span(grid), threads);
        EXPECT_TRUE(many.indices == one.indices) << threads;
        EXPECT_EQ(many.reach, one.reach);
    }
}

// ---------------------------------------------------------------------------------------------
// Bad input

TEST(StructureMapDeathTest, InconsistentInputIsAnInternalError) {
    const Grid grid = unit_grid(4);
    SimulationSpec spec = spec_with_media({{{0, 4}, {0, 4}, {0, 4}}});
    spec.structures.push_back(box({2, 2, 2}, {1, 1, 1}));
    const char* message = "^An internal error has occured\\. Please contact Zentrav support\\.$";

    // A span beyond the grid.
    EXPECT_EXIT(paint(grid, spec, {0, 5, 0, 4, 0, 4}), testing::ExitedWithCode(1), message);
    // A medium index that names no medium.
    SimulationSpec unknown_medium = spec;
    unknown_medium.structures = {box({2, 2, 2}, {1, 1, 1}, 7)};
    EXPECT_EXIT(paint(grid, unknown_medium, full_span(grid)), testing::ExitedWithCode(1), message);
    // A shape axis that is no axis.
    SimulationSpec bad_axis = spec;
    bad_axis.structures = {structure_of(std::make_shared<ProbeShape>(EVERYTHING, EVERYTHING, 3, false))};
    EXPECT_EXIT(paint(grid, bad_axis, full_span(grid)), testing::ExitedWithCode(1), message);
    // A structure without geometry.
    SimulationSpec no_geometry = spec;
    no_geometry.structures.push_back(std::make_shared<Structure>());
    EXPECT_EXIT(paint(grid, no_geometry, full_span(grid)), testing::ExitedWithCode(1), message);
    // A paint mode that is none of the three.
    StructureMap map(full_span(grid));
    EXPECT_EXIT(build_structure_map(map, grid, spec.structures, 1, spec, static_cast<PaintMode>(3)),
                testing::ExitedWithCode(1), message);
}

// Spans whose maps cannot be held: the doubled extents of a grid of 2^22 - 1 by 2^21 - 1 by
// 2^21 - 1 boundaries multiply to 2^67 entries, which wraps to 0 in 64 bits; an extent near
// 2^62 overflows already in 2n + 4; a reversed span has no size at all.
TEST(StructureMapDeathTest, SpansWhoseMapCannotBeHeldAreAnInternalError) {
    const char* message = "^An internal error has occured\\. Please contact Zentrav support\\.$";
    const int64_t big = (int64_t{1} << 21) - 2;
    const std::vector<Span> spans = {
        {0, 2 * big + 2, 0, big, 0, big},
        {0, int64_t{1} << 62, 0, 1, 0, 1},
        {3, 2, 0, 1, 0, 1},
    };
    for (const Span& span : spans) {
        EXPECT_EXIT(StructureMap{span}, testing::ExitedWithCode(1), message) << span[1];
        EXPECT_EXIT(StructureMap::entry_count(span), testing::ExitedWithCode(1), message) << span[1];
    }
    // The largest extents that still fit are sized exactly.
    EXPECT_EQ(StructureMap::entry_count({0, 1, 0, 2, 0, 3}), int64_t{6 * 8 * 10});
    EXPECT_EQ((StructureMap::extents_for({5, 5, 0, big, 0, 0})), (std::array<int64_t, 3>{4, 2 * big + 4, 4}));
}

}  // namespace
