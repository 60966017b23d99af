// The conformal face collection on small hand-built scenes: closed faces, flat surfaces through
// faces, the keep-or-drop rules, the open media of edges, wedges from the corner nodes, and the
// independence of the result from the thread count.

#include <array>
#include <complex>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "common/conformal_data.h"
#include "common/medium_index.h"
#include "common/node_word.h"
#include "driver/compute_driver.h"
#include "driver/finishing_pass.h"
#include "driver/grid.h"
#include "driver/loop_description.h"
#include "driver/structure_map.h"
#include "geometry/geometry.h"
#include "geometry/geometry_reader.h"
#include "spec/medium.h"
#include "spec/simulation_spec.h"
#include "subpixel/conformal_faces.h"
#include "subpixel/subpixel_schemes.h"

namespace {

// A shape whose inside test and surface answer separately: `inside` paints the structure map,
// the distance and the fixed normal feed the measurements. A consistent pair is a half-space;
// a disagreeing pair sets up fractions that a flat surface through the sample points cannot give.
class TestShape final : public Geometry {
public:
    TestShape(std::function<bool(const Vec3&, double)> inside, std::function<double(const Vec3&)> distance, Vec3 normal)
        : Geometry(Transform::identity(), false), inside_(std::move(inside)), distance_(std::move(distance)),
          normal_(normal) {}
    Aabb bounds() const override {
        Aabb box;
        box.include(Vec3{-100, -100, -100});
        box.include(Vec3{100, 100, 100});
        return box;
    }
    bool contains(const Vec3& p, bool, double tol) const override { return inside_(p, tol); }
    Vec3 surface_normal(const Vec3& p, double& dist, bool& unique, bool, double) const override {
        dist = distance_(p);
        unique = true;
        return normal_;
    }

private:
    std::function<bool(const Vec3&, double)> inside_;
    std::function<double(const Vec3&)> distance_;
    Vec3 normal_;
};

// The half-space n . p <= c.
std::shared_ptr<Geometry> half_space(Vec3 n, double c) {
    return std::make_shared<TestShape>([n, c](const Vec3& p, double tol) { return dot(n, p) - c <= tol; },
                                       [n, c](const Vec3& p) { return dot(n, p) - c; }, n);
}

std::shared_ptr<Medium> dielectric(float eps) {
    auto m = std::make_shared<Medium>(3, ComponentKind::Medium);
    m->eps_inf = {eps, eps, eps};
    return m;
}

struct Scene {
    SimulationSpec spec;
    Grid grid;
    Span span;

    void add(std::shared_ptr<Geometry> geometry, int32_t medium_index) {
        auto s = std::make_shared<Structure>();
        s->geometry = std::move(geometry);
        s->medium_index = medium_index;
        spec.structures.push_back(s);
    }
};

Scene scene(const std::vector<float>& b) {
    Scene s;
    s.spec.courant_scaling = 1.0f;
    s.spec.has_conformal_metal = true;
    s.grid = make_grid({b, b, b});
    const int64_t n = static_cast<int64_t>(b.size()) - 1;
    s.span = {0, n, 0, n, 0, n};
    return s;
}

using Node = std::pair<std::array<int64_t, 3>, uint32_t>;

ConformalData collect(const Scene& s, int threads = 1, int32_t mode = 1, const std::vector<Node>& nodes = {}) {
    StructureMap map(s.span);
    build_structure_map(map, s.grid, s.spec.structures, 1, s.spec, PaintMode::All);
    ConformalData cd;
    const int64_t nx = s.span[1] - s.span[0], ny = s.span[3] - s.span[2], nz = s.span[5] - s.span[4];
    cd.extents = {nx, ny, nz};
    cd.face_record_ids.assign(static_cast<std::size_t>(nx * ny * nz), {0, 0, 0});
    cd.edge_face_flags.assign(static_cast<std::size_t>(nx * ny * nz), {});
    cd.node_values.assign(static_cast<std::size_t>((nx + 1) * (ny + 1) * (nz + 1)), 0u);
    for (const auto& [node, word] : nodes)
        cd.node_values[static_cast<std::size_t>((node[0] * (ny + 1) + node[1]) * (nz + 1) + node[2])] = word;
    const SchemeSet schemes = make_scheme_set(mode);
    collect_conformal_faces(s.spec, map, s.grid, cd, make_loop_description(s.span, map.reach, false), threads,
                            schemes, s.span);
    return cd;
}

uint32_t id_of(const ConformalData& cd, int64_t x, int64_t y, int64_t z, int axis) {
    return cd.face_record_ids[cd.cell_index(x, y, z)][axis];
}

const FaceRecord* record_of(const ConformalData& cd, int64_t x, int64_t y, int64_t z, int axis) {
    const uint32_t id = id_of(cd, x, y, z, axis);
    if (!(id & FACE_HAS_RECORD_BIT)) return nullptr;
    return &cd.face_records.at(id & FACE_RECORD_INDEX_MASK);
}

uint8_t flag(const ConformalData& cd, int64_t x, int64_t y, int64_t z, int edge_axis, int q) {
    return cd.edge_face_flags[cd.cell_index(x, y, z)][4 * edge_axis + q];
}

bool no_flags(const ConformalData& cd) {
    for (const auto& f : cd.edge_face_flags)
        for (uint8_t b : f)
            if (b != 0) return false;
    return true;
}

constexpr std::complex<float> MARK(-1e8f, 0.0f);

TEST(ConformalFaces, FacesInsideAConductorAreClosedWithoutRecords) {
    Scene s = scene({0, 1, 2});
    s.spec.subpixel.pec = AveragingMethod::PECConformal;
    s.add(half_space({1, 0, 0}, 10), MEDIUM_INDEX_PEC);
    const ConformalData cd = collect(s);
    EXPECT_TRUE(cd.face_records.empty());
    EXPECT_FALSE(cd.any_record);
    for (const auto& ids : cd.face_record_ids)
        for (uint32_t id : ids) EXPECT_EQ(id, FACE_CLOSED_BIT);
    EXPECT_TRUE(no_flags(cd));

    // Through the compute driver, the closed faces make every magnetic component a magnetic
    // conductor and every electric one lies inside the conductor.
    CoefficientSet set;
    compute_subdomain(make_scheme_set(1), 1, s.grid, s.spec, s.span, {1e14f}, set);
    for (const CellCoefficients& cell : set[0].cells)
        for (int d : {0, 4, 8, 9, 13, 17}) EXPECT_EQ(cell.values[d], MARK) << d;
}

// The conductor x <= 0.5 cuts the faces normal to y and z of the cells at x in [0, 1] through
// their middles, parallel to one pair of their edges.
TEST(ConformalFaces, FlatSurfaceThroughTheMiddleOfFaces) {
    for (int32_t mode : {0, 1}) {
        Scene s = scene({0, 1, 2});
        s.add(half_space({1, 0, 0}, 0.5), MEDIUM_INDEX_PEC);
        const ConformalData cd = collect(s, 1, mode);

        // Face normal to y: edges once around are along z at x = 0, along x at z + 1, along z
        // at x = 1, along x at z. Face normal to z: along x at y, along y at x = 1, along x at
        // y + 1, along y at x = 0.
        const std::array<float, 4> y_face = {0.0f, 0.5f, 1.0f, 0.5f};
        const std::array<float, 4> z_face = {0.5f, 1.0f, 0.5f, 0.0f};
        for (int64_t a = 0; a < 2; ++a)
            for (int64_t b = 0; b < 2; ++b) {
                const FaceRecord* ry = record_of(cd, 0, a, b, 1);
                const FaceRecord* rz = record_of(cd, 0, a, b, 2);
                ASSERT_TRUE(ry && rz) << mode;
                EXPECT_FLOAT_EQ(ry->area_fraction, 0.5f);
                EXPECT_FLOAT_EQ(rz->area_fraction, 0.5f);
                for (int e = 0; e < 4; ++e) {
                    EXPECT_NEAR(ry->edge_fraction[e], y_face[e], 1e-6) << e;
                    EXPECT_NEAR(rz->edge_fraction[e], z_face[e], 1e-6) << e;
                }
                EXPECT_EQ(ry->medium_index, MEDIUM_INDEX_PEC);
                EXPECT_EQ(ry->surface_length, 0.0f);
                EXPECT_EQ(ry->wedge_angle, 3.1415927f);
                EXPECT_EQ(ry->edge_reference, (std::array<float, 4>{1, 1, 1, 1}));
                // Faces normal to x: closed at x = 0, all open at x = 1.
                EXPECT_EQ(id_of(cd, 0, a, b, 0), FACE_CLOSED_BIT);
                EXPECT_EQ(id_of(cd, 1, a, b, 0), 0u);
                // Cells at x in [1, 2] are open: their faces carry nothing.
                EXPECT_EQ(id_of(cd, 1, a, b, 1), 0u);
                EXPECT_EQ(id_of(cd, 1, a, b, 2), 0u);
                // The open face normal to x at x = 1 sets none of its own flags.
                EXPECT_EQ(flag(cd, 1, a, b, 1, 0), 0);
                EXPECT_EQ(flag(cd, 1, a, b, 2, 3), 0);
            }
        EXPECT_EQ(cd.face_records.size(), 8u);

        // The face normal to y of cell (0, 0, 0) flags its four edges: its own z-edge (byte 0)
        // and x-edge (byte 3), the z-edge of the cell above along x (byte 2) and the x-edge of
        // the cell above along z (byte 1).
        EXPECT_EQ(flag(cd, 0, 0, 0, 2, 0), 1);
        EXPECT_EQ(flag(cd, 0, 0, 0, 0, 3), 1);
        EXPECT_EQ(flag(cd, 1, 0, 0, 2, 2), 1);
        EXPECT_EQ(flag(cd, 0, 0, 1, 0, 1), 1);

        // The finishing pass: the largest edge ratio is 1 (the fully open edge), so the stability
        // limit 1 / 1.9 exceeds the open area 0.5 and replaces it.
        ConformalData finished = cd;
        finish_face_records(finished, s.spec, make_loop_description(s.span, {0, 2, 0, 2, 0, 2}, true), s.span);
        for (const FaceRecord& r : finished.face_records) EXPECT_FLOAT_EQ(r.area_fraction, 1.0f / 1.9f);
    }
}

// The keep-or-drop rules on a single cell, with surfaces that no flat conductor through the
// sample points could give.
TEST(ConformalFaces, NegligibleOrFullFacesAreDropped) {
    // A conductor touching one corner: every face at that corner is open over its whole area and
    // along its edges, so none keeps a record, none is closed and no flag remains.
    {
        Scene s = scene({0, 1});
        s.add(half_space(normalized({1, 1, 1}), 0.0), MEDIUM_INDEX_PEC);
        const ConformalData cd = collect(s);
        EXPECT_TRUE(cd.face_records.empty());
        for (int j = 0; j < 3; ++j) EXPECT_EQ(id_of(cd, 0, 0, 0, j), 0u);
        EXPECT_TRUE(no_flags(cd));
    }
    // Painted as x < 0.75, measured as the surface x = 1: the faces normal to y and z have no
    // open area, but their edges at x = 1 are open, so they keep a record and stay unclosed.
    {
        Scene s = scene({0, 1});
        s.add(std::make_shared<TestShape>([](const Vec3& p, double) { return p.x < 0.75; },
                                          [](const Vec3& p) { return p.x - 1.0; }, Vec3{1, 0, 0}),
              MEDIUM_INDEX_PEC);
        const ConformalData cd = collect(s);
        const FaceRecord* ry = record_of(cd, 0, 0, 0, 1);
        const FaceRecord* rz = record_of(cd, 0, 0, 0, 2);
        ASSERT_TRUE(ry && rz);
        EXPECT_LT(ry->area_fraction, 1.1920928955078125e-07f);
        EXPECT_EQ(ry->edge_fraction, (std::array<float, 4>{0, 0, 1, 0}));
        EXPECT_EQ(rz->edge_fraction, (std::array<float, 4>{0, 1, 0, 0}));
        EXPECT_EQ(id_of(cd, 0, 0, 0, 1) & FACE_CLOSED_BIT, 0u);
    }
    // Painted open only at the corner x = z = 1 and measured deep inside: the face normal to y
    // has neither open area nor open edges, so it is dropped and closed, and its flags cleared.
    {
        Scene s = scene({0, 1});
        s.add(std::make_shared<TestShape>([](const Vec3& p, double) { return p.x < 0.75 || p.z < 0.75; },
                                          [](const Vec3&) { return -1.0; }, Vec3{1, 0, 0}),
              MEDIUM_INDEX_PEC);
        const ConformalData cd = collect(s);
        EXPECT_EQ(id_of(cd, 0, 0, 0, 1), FACE_CLOSED_BIT);
        EXPECT_EQ(flag(cd, 0, 0, 0, 2, 0), 0);
        EXPECT_EQ(flag(cd, 0, 0, 0, 0, 3), 0);
    }
}

// An edge whose open samples lie in two media takes the one of smaller permittivity along the
// edge (at least 1), the centre's medium on a tie.
TEST(ConformalFaces, EdgeBetweenTwoOpenMediaTakesTheSmallerPermittivity) {
    struct Case {
        float second;
        uint16_t medium;
        float reference;
    };
    for (const Case& c : {Case{2.0f, 1, 2.0f}, Case{4.0f, 0, 4.0f}, Case{0.5f, 1, 1.0f}}) {
        Scene s = scene({0, 1});
        s.spec.media = {dielectric(4.0f), dielectric(c.second)};
        s.add(half_space({1, 0, 0}, 0.2), MEDIUM_INDEX_PEC);
        s.add(half_space({-1, 0, 0}, -0.5), 0);   // x >= 0.5: permittivity 4
        s.add(half_space({0, 0, 1}, 0.25), 1);  // z <= 0.25: the second medium
        const ConformalData cd = collect(s);
        // The face normal to y; entry 2 is its edge along z at x = 1, sampled at its centre,
        // its upper end (both in the first medium) and its lower end (in the second).
        const FaceRecord* r = record_of(cd, 0, 0, 0, 1);
        ASSERT_NE(r, nullptr);
        EXPECT_EQ(r->edge_fraction[2], 1.0f);
        EXPECT_EQ(r->edge_medium[2], c.medium) << c.second;
        EXPECT_EQ(r->edge_reference[2], c.reference) << c.second;
    }
}

std::shared_ptr<Geometry> shape(nlohmann::json description) { return read_structure_geometry(description); }

uint32_t wedge_word(int axis, bool right_angle, uint32_t e, uint32_t h) {
    return encode_node_word({true, right_angle, axis, e, h});
}

// The face normal to z of the single cell has the corner nodes (0,0,0), (1,0,0), (1,1,0),
// (0,1,0) once around; its edges run along x (corners 1-2, 3-4) and y (corners 2-3, 1-4).
TEST(ConformalFaces, WedgesComeFromTwoCornersOfOneEdgeAlongThatEdge) {
    const std::array<int64_t, 3> c1 = {0, 0, 0}, c2 = {1, 0, 0}, c3 = {1, 1, 0}, c4 = {0, 1, 0};
    struct Case {
        const char* what;
        std::vector<Node> nodes;
        bool wedge;
        float angle;
        int axis;
        float param_e, param_h;
    };
    const float right = 1.5707964f;
    const Case cases[] = {
        {"corners 1 and 2 along x", {{c1, wedge_word(0, true, 100, 300)}, {c2, wedge_word(0, true, 200, 400)}},
         true, right, 0, 100 / 1024.0f, 300 / 1024.0f},
        {"corners 2 and 3 along y", {{c2, wedge_word(1, false, 7, 9)}, {c3, wedge_word(1, false, 8, 10)}},
         true, 0.0f, 1, 7 / 1024.0f, 9 / 1024.0f},
        {"corners 1 and 4 along y", {{c4, wedge_word(1, true, 5, 6)}, {c1, wedge_word(1, true, 50, 60)}},
         true, right, 1, 50 / 1024.0f, 60 / 1024.0f},
        {"corners 1 and 2 along y", {{c1, wedge_word(1, true, 1, 1)}, {c2, wedge_word(1, true, 1, 1)}}, false},
        {"along the face normal", {{c1, wedge_word(2, true, 1, 1)}, {c2, wedge_word(2, true, 1, 1)}}, false},
        {"diagonal corners", {{c1, wedge_word(0, true, 1, 1)}, {c3, wedge_word(0, true, 1, 1)}}, false},
        {"three corners",
         {{c1, wedge_word(0, true, 1, 1)}, {c2, wedge_word(0, true, 1, 1)}, {c3, wedge_word(1, true, 1, 1)}},
         false},
        {"angles differ", {{c1, wedge_word(0, true, 1, 1)}, {c2, wedge_word(0, false, 1, 1)}}, false},
        {"axes differ", {{c1, wedge_word(0, true, 1, 1)}, {c2, wedge_word(1, true, 1, 1)}}, false},
    };
    for (const Case& c : cases) {
        Scene s = scene({0, 1});
        s.spec.media = {dielectric(2.0f)};
        s.add(half_space({1, 0, 0}, 10), 0);  // open everywhere, so only a wedge makes a record
        const ConformalData cd = collect(s, 1, 1, c.nodes);
        const FaceRecord* r = record_of(cd, 0, 0, 0, 2);
        if (!c.wedge) {
            EXPECT_EQ(r, nullptr) << c.what;
            continue;
        }
        ASSERT_NE(r, nullptr) << c.what;
        EXPECT_EQ(r->area_fraction, 1.0f);
        EXPECT_EQ(r->edge_fraction, (std::array<float, 4>{1, 1, 1, 1}));
        EXPECT_EQ(r->wedge_angle, c.angle) << c.what;
        EXPECT_EQ(r->axis, c.axis) << c.what;
        EXPECT_EQ(r->wedge_param_e, c.param_e) << c.what;
        EXPECT_EQ(r->wedge_param_h, c.param_h) << c.what;
    }

    // With a conductor over the face the wedge survives only while at least half the face is open.
    for (double edge : {0.3, 0.7}) {
        Scene s = scene({0, 1});
        s.add(half_space({1, 0, 0}, edge), MEDIUM_INDEX_PEC);
        const ConformalData cd =
            collect(s, 1, 1, {{c1, wedge_word(0, true, 100, 300)}, {c2, wedge_word(0, true, 200, 400)}});
        const FaceRecord* r = record_of(cd, 0, 0, 0, 2);
        ASSERT_NE(r, nullptr);
        EXPECT_FLOAT_EQ(r->area_fraction, float(1.0 - edge));
        EXPECT_EQ(r->wedge_angle, edge < 0.5 ? right : 3.1415927f) << edge;
    }
}

// A PEC sphere, a lossy-metal box and a dielectric sphere meeting on a small grid.
Scene metals_scene() {
    std::vector<float> b;
    for (int i = 0; i <= 10; ++i) b.push_back(-1.0f + 0.2f * float(i) + (i % 3 == 1 ? 0.031f : 0.0f));
    Scene s = scene(b);
    auto metal = std::make_shared<Medium>(3, ComponentKind::LossyMetal);
    metal->lossy_metal_constant = 0.3f;
    s.spec.media = {dielectric(2.25f), metal};
    s.add(shape({{"type", "Sphere"}, {"x_cent", 0.1}, {"y_cent", 0}, {"z_cent", 0}, {"radius", 0.8}}), 0);
    s.add(shape({{"type", "Sphere"}, {"x_cent", -0.2}, {"y_cent", 0.1}, {"z_cent", 0}, {"radius", 0.5}}),
          MEDIUM_INDEX_PEC);
    s.add(shape(
              {{"type", "Box"}, {"x_cent", 0.5}, {"y_cent", -0.3}, {"z_cent", 0.2}, {"x_span", 0.7}, {"y_span", 0.9}, {"z_span", 0.65}}),
          1);
    return s;
}

bool same_record(const FaceRecord& a, const FaceRecord& b) {
    return a.area_fraction == b.area_fraction && a.medium_index == b.medium_index &&
           a.edge_fraction == b.edge_fraction && a.edge_reference == b.edge_reference &&
           a.edge_medium == b.edge_medium && a.axis == b.axis && a.wedge_angle == b.wedge_angle &&
           a.wedge_param_e == b.wedge_param_e && a.wedge_param_h == b.wedge_param_h &&
           a.surface_length == b.surface_length;
}

TEST(ConformalFaces, SeveralThreadsGiveTheSameRecordsFlagsAndIds) {
    const Scene s = metals_scene();
    const ConformalData one = collect(s, 1, 0);
    ASSERT_GT(one.face_records.size(), 50u);
    bool lossy_surface = false;
    for (const FaceRecord& r : one.face_records) lossy_surface = lossy_surface || (r.medium_index == 1 && r.surface_length > 0);
    EXPECT_TRUE(lossy_surface);
    for (int threads : {2, 3}) {
        const ConformalData many = collect(s, threads, 0);
        ASSERT_EQ(many.face_records.size(), one.face_records.size());
        EXPECT_EQ(many.edge_face_flags, one.edge_face_flags);
        for (std::size_t c = 0; c < one.face_record_ids.size(); ++c)
            for (int j = 0; j < 3; ++j) {
                const uint32_t a = one.face_record_ids[c][j], b = many.face_record_ids[c][j];
                ASSERT_EQ(a & ~FACE_RECORD_INDEX_MASK, b & ~FACE_RECORD_INDEX_MASK);
                if (a & FACE_HAS_RECORD_BIT)
                    EXPECT_TRUE(same_record(one.face_records[a & FACE_RECORD_INDEX_MASK],
                                            many.face_records[b & FACE_RECORD_INDEX_MASK]));
            }
        // Every record is pointed at by exactly one face.
        std::vector<int> uses(many.face_records.size(), 0);
        for (const auto& ids : many.face_record_ids)
            for (uint32_t id : ids)
                if (id & FACE_HAS_RECORD_BIT) ++uses.at(id & FACE_RECORD_INDEX_MASK);
        for (int u : uses) EXPECT_EQ(u, 1);
    }
}

TEST(ConformalFaces, ComputeDriverGivesTheSingleThreadCoefficientsWithSeveralThreads) {
    const Scene s = metals_scene();
    for (int32_t mode : {0, 1, 2}) {
        CoefficientSet one, two;
        const SchemeSet schemes = make_scheme_set(mode);
        compute_subdomain(schemes, 1, s.grid, s.spec, s.span, {1e14f, 3e14f}, one);
        compute_subdomain(schemes, 2, s.grid, s.spec, s.span, {1e14f, 3e14f}, two);
        ASSERT_EQ(one.size(), two.size());
        for (std::size_t f = 0; f < one.size(); ++f) {
            ASSERT_EQ(one[f].cells.size(), two[f].cells.size());
            EXPECT_EQ(std::memcmp(one[f].cells.data(), two[f].cells.data(),
                                  one[f].cells.size() * sizeof(CellCoefficients)),
                      0)
                << mode;
        }
    }
}

}  // namespace
