// The main averaging phase run directly on small scenes: a 4 x 4 x 4 grid of unit cells (cell
// boundaries 0 ... 4 on every axis) painted by the structure map, with the samples of every
// cell captured by a recording assembler.
//
// Cell (1, 1, 1) is the one most tests look at. Its Ex lies at (1.5, 1, 1) with poles (1, 1, 1)
// and (2, 1, 1), the centres of the four cells around the edge at y, z in {0.5, 1.5} and the four
// face centres between them; Ey and Ez follow cyclically.

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <bit>
#include <memory>
#include <mutex>
#include <vector>

#include <gtest/gtest.h>

#include "common/medium_index.h"
#include "driver/grid.h"
#include "driver/loop_description.h"
#include "driver/structure_map.h"
#include "geometry/box.h"
#include "geometry/geometry.h"
#include "material/cell_assembler.h"
#include "spec/medium.h"
#include "spec/simulation_spec.h"
#include "subpixel/average_cells.h"
#include "subpixel/cell_samples.h"
#include "subpixel/component_outcome.h"

namespace {

constexpr uint16_t VAC = MEDIUM_INDEX_VACUUM;
constexpr uint16_t PEC = MEDIUM_INDEX_PEC;
constexpr uint16_t PMC = MEDIUM_INDEX_PMC;
constexpr int N = 4;
constexpr double FAR = 10.0;

// Keeps the frequency list and coefficient set a recording assembler's base refers to.
struct AssemblerStorage {
    std::vector<float> freqs;
    CoefficientSet coefficients;
};

// Captures the samples the phase delivers for every cell of the span, and how often each cell
// was delivered.
class RecordingAssembler final : private AssemblerStorage, public CellAssembler {
public:
    RecordingAssembler(const SimulationSpec& spec, const Span& span)
        : CellAssembler(spec, freqs, coefficients, span[0], span[2], span[4]),
          span_(span),
          samples(static_cast<std::size_t>(N * N * N)),
          deliveries(static_cast<std::size_t>(N * N * N)) {}

    void assemble(int64_t ix, int64_t iy, int64_t iz, const CellSamples& s) override {
        const std::size_t at = slot(ix, iy, iz);
        samples[at] = s;
        deliveries[at].fetch_add(1);
    }

    const CellSamples& cell(int64_t ix, int64_t iy, int64_t iz) const { return samples[slot(ix, iy, iz)]; }
    int delivered(int64_t ix, int64_t iy, int64_t iz) const { return deliveries[slot(ix, iy, iz)].load(); }

    std::size_t slot(int64_t ix, int64_t iy, int64_t iz) const {
        return static_cast<std::size_t>(((ix - span_[0]) * N + (iy - span_[2])) * N + (iz - span_[4]));
    }

private:
    Span span_;
    std::vector<CellSamples> samples;
    std::vector<std::atomic<int>> deliveries;
};

// A box that counts every query the averaging may make after the map is painted.
class CountingBox final : public Geometry {
public:
    CountingBox(const Vec3& lo, const Vec3& hi) : Geometry(Transform::identity(), true), lo(lo), hi(hi) {}
    Aabb bounds() const override {
        Aabb box;
        box.include(lo);
        box.include(hi);
        return box;
    }
    bool contains(const Vec3& p, bool exact, double tol) const override {
        if (exact) ++queries;
        for (int a = 0; a < 3; ++a)
            if (!(p[a] >= lo[a] - tol && p[a] <= hi[a] + tol)) return false;
        return true;
    }
    Vec3 surface_normal(const Vec3& p, double& dist, bool& unique, bool, double) const override {
        ++queries;
        // Signed distance to the nearest face (inside points only matter in these tests).
        int nearest = 0;
        double best = 1e300;
        double sign = 1.0;
        for (int a = 0; a < 3; ++a) {
            const double to_lo = p[a] - lo[a];
            const double to_hi = hi[a] - p[a];
            if (std::fabs(to_lo) < best) { best = std::fabs(to_lo); nearest = a; sign = -1.0; }
            if (std::fabs(to_hi) < best) { best = std::fabs(to_hi); nearest = a; sign = 1.0; }
        }
        const bool inside = contains(p, false, 0.0);
        dist = inside ? -best : best;
        unique = true;
        Vec3 n;
        n[nearest] = sign;
        return n;
    }
    bool edge_at(const Vec3&, double, double&, int32_t&) const override {
        ++queries;
        return false;
    }
    const Vec3 lo, hi;
    mutable std::atomic<int> queries{0};
};

// A sheet in the plane z = z0 covering y <= y_max: a planar shape whose in-plane normal is used
// for components lying in the sheet. Counts its in-plane and out-of-plane normal queries.
class Sheet final : public Geometry {
public:
    Sheet(double z0, double y_max) : Geometry(Transform::identity(), false), z0(z0), y_max(y_max) {
        planar = true;
        axis_index = 2;
    }
    Aabb bounds() const override {
        Aabb box;
        box.include(Vec3{-FAR, -FAR, z0});
        box.include(Vec3{FAR, y_max, z0});
        return box;
    }
    bool contains(const Vec3& p, bool, double tol) const override {
        return std::fabs(p.z - z0) <= tol && p.y <= y_max + tol && std::fabs(p.x) <= FAR + tol;
    }
    bool within_axial_extent(const Vec3& p, double tol) const override { return std::fabs(p.z - z0) <= tol; }
    Vec2 planar_normal(const Vec3& p, double& dist, bool& unique, double) const override {
        ++in_plane_queries;
        dist = p.y - y_max;
        unique = true;
        return {0.0, 1.0};
    }
    Vec3 surface_normal(const Vec3& p, double& dist, bool& unique, bool, double) const override {
        ++volume_queries;
        dist = std::fabs(p.z - z0);
        unique = true;
        return {0.0, 0.0, p.z >= z0 ? 1.0 : -1.0};
    }
    const double z0, y_max;
    mutable std::atomic<int> in_plane_queries{0};
    mutable std::atomic<int> volume_queries{0};
};

std::shared_ptr<Medium> dielectric(float eps, ComponentKind kind = ComponentKind::Medium) {
    auto m = std::make_shared<Medium>(3, kind);
    m->eps_inf = {eps, eps, eps};
    return m;
}

std::shared_ptr<Medium> fully_anisotropic() {
    auto m = std::make_shared<Medium>(9, ComponentKind::FullyAnisotropic);
    m->eps_inf = {2, 0.1f, 0, 0.1f, 3, 0, 0, 0, 4};
    return m;
}

// A box from lo to hi, every unspecified side far outside the grid.
std::shared_ptr<Geometry> box(const Vec3& lo, const Vec3& hi) {
    const Vec3 centre = (lo + hi) * 0.5;
    return std::make_shared<Box>(Transform::translation(centre), (hi - lo) * 0.5);
}

// The half-space axis < limit (within the far box).
std::shared_ptr<Geometry> below(int axis, double limit) {
    Vec3 hi{FAR, FAR, FAR};
    hi[axis] = limit;
    return box({-FAR, -FAR, -FAR}, hi);
}

// A 4 x 4 x 4 unit-cell scene: the specification, the grid, one subdomain over the whole grid
// and the schemes.
struct Scene {
    SimulationSpec spec;
    Grid grid;
    Span span = {0, N, 0, N, 0, N};
    SchemeSet schemes = make_scheme_set(1);
    ConformalData conformal;

    Scene() {
        std::vector<float> b;
        for (int i = 0; i <= N; ++i) b.push_back(float(i));
        grid = make_grid({b, b, b});
        spec.courant_scaling = 1.0f;
        spec.subpixel.pec = AveragingMethod::Staircasing;
        spec.subpixel.lossy_metal = AveragingMethod::Staircasing;
    }

    int add_medium(std::shared_ptr<Medium> m) {
        spec.media.push_back(std::move(m));
        return int(spec.media.size()) - 1;
    }
    int add(std::shared_ptr<Geometry> g, int32_t medium_index) {
        auto s = std::make_shared<Structure>();
        g->cached_bounds();
        s->geometry = std::move(g);
        s->medium_index = medium_index;
        spec.structures.push_back(s);
        return int(spec.structures.size()) - 1;
    }

    // The conformal lists of the subdomain, all clear.
    void allocate_conformal() {
        conformal.extents = {N, N, N};
        conformal.face_record_ids.assign(N * N * N, {0, 0, 0});
        conformal.edge_face_flags.assign(N * N * N, {});
        conformal.node_values.assign((N + 1) * (N + 1) * (N + 1), 0u);
    }

    // Paints the map and runs the phase over `cells` (the whole span when not given).
    std::unique_ptr<RecordingAssembler> run(int threads = 1, const Span* cells = nullptr) {
        StructureMap map(span);
        build_structure_map(map, grid, spec.structures, 1, spec, PaintMode::All);
        return run_on(map, threads, cells);
    }

    std::unique_ptr<RecordingAssembler> run_on(const StructureMap& map, int threads, const Span* cells = nullptr) {
        auto assembler = std::make_unique<RecordingAssembler>(spec, span);
        const std::array<uint64_t, 6> everywhere = {0, N, 0, N, 0, N};
        const LoopDescription loop = make_loop_description(cells ? *cells : span, everywhere, false);
        const Grid copy = grid;
        average_cells(spec, map, copy, conformal, loop, threads, schemes, *assembler);
        return assembler;
    }
};

void expect_single(const ComponentSample& s, uint16_t medium, uint8_t open = 1) {
    EXPECT_EQ(s.medium_a, medium);
    EXPECT_EQ(s.medium_b, MEDIUM_NONE);
    EXPECT_EQ(s.fraction, 0.0f);
    EXPECT_EQ(s.open, open);
}

// --- Uniform cells ---

TEST(AveragingUniform, CellsAwayFromInterfacesCostMapReadsOnly) {
    Scene scene;
    const int m = scene.add_medium(dielectric(2.0f));
    auto shape = std::make_shared<CountingBox>(Vec3{-FAR, -FAR, -FAR}, Vec3{2.25, FAR, FAR});
    scene.add(shape, m);
    StructureMap map(scene.span);
    build_structure_map(map, scene.grid, scene.spec.structures, 1, scene.spec, PaintMode::All);
    shape->queries = 0;

    // Cells with x index 0 and 1 lie inside, index 3 outside; every sample of theirs agrees.
    const Span inside = {0, 2, 0, N, 0, N};
    const Span outside = {3, 4, 0, N, 0, N};
    const auto in = scene.run_on(map, 1, &inside);
    const auto out = scene.run_on(map, 1, &outside);
    EXPECT_EQ(shape->queries.load(), 0);
    for (int i = 0; i < N; ++i)
        for (int j = 0; j < N; ++j)
            for (int k = 0; k < N; ++k) {
                const RecordingAssembler& r = i < 2 ? *in : *out;
                ASSERT_EQ(r.delivered(i, j, k), i == 2 ? 0 : 1);
                if (i == 2) continue;
                const CellSamples& s = r.cell(i, j, k);
                for (int c = 0; c < 3; ++c) {
                    expect_single(s.electric(c), i < 2 ? m : VAC);
                    expect_single(s.magnetic(c), VAC);
                }
                for (double v : s.auxiliary_values) EXPECT_EQ(v, -1.0);
            }

    // The cells at the interface do ask the geometry.
    const Span interface = {2, 3, 0, N, 0, N};
    scene.run_on(map, 1, &interface);
    EXPECT_GT(shape->queries.load(), 0);
}

TEST(AveragingUniform, MediumOfAComponentInsideOneStructure) {
    // One structure over the whole grid; the component's medium follows the structure's medium.
    struct Case {
        const char* what;
        int medium;  // index into the media below, or a special index
        AveragingMethod lossy_setting;
        std::array<uint16_t, 3> electric;
        std::array<uint8_t, 3> open;
        uint16_t magnetic;
    };
    // Media: 0 dielectric, 1 PEC along y only, 2 lossy metal.
    const Case cases[] = {
        {"dielectric", 0, AveragingMethod::Staircasing, {0, 0, 0}, {1, 1, 1}, VAC},
        {"pec structure", MEDIUM_INDEX_PEC, AveragingMethod::Staircasing, {PEC, PEC, PEC}, {0, 0, 0}, VAC},
        {"pec along y", 1, AveragingMethod::Staircasing, {1, PEC, 1}, {1, 0, 1}, VAC},
        {"lossy metal staircased", 2, AveragingMethod::Staircasing, {2, 2, 2}, {1, 1, 1}, VAC},
        {"lossy metal as surface", 2, AveragingMethod::SurfaceImpedance, {PEC, PEC, PEC}, {0, 0, 0}, VAC},
        {"pmc structure", MEDIUM_INDEX_PMC, AveragingMethod::Staircasing, {VAC, VAC, VAC}, {1, 1, 1}, PMC},
        {"vacuum structure", MEDIUM_INDEX_VACUUM, AveragingMethod::Staircasing, {VAC, VAC, VAC}, {1, 1, 1}, VAC},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Scene scene;
        scene.add_medium(dielectric(2.0f));
        auto pec_y = dielectric(2.0f);
        pec_y->kinds[1] = ComponentKind::PEC;
        scene.add_medium(pec_y);
        scene.add_medium(dielectric(1.0f, ComponentKind::LossyMetal));
        scene.spec.subpixel.lossy_metal = c.lossy_setting;
        scene.spec.has_pmc = true;
        scene.add(box({-FAR, -FAR, -FAR}, {FAR, FAR, FAR}), c.medium);
        const auto r = scene.run();
        for (int c3 = 0; c3 < 3; ++c3) {
            expect_single(r->cell(1, 2, 3).electric(c3), c.electric[c3], c.open[c3]);
            expect_single(r->cell(1, 2, 3).magnetic(c3), c.magnetic);
        }
    }
}

// --- Selection of the outcome for two or more media ---

TEST(AveragingSelection, OutcomeTablesRowByRow) {
    using M = AveragingMethod;
    using O = ComponentOutcome;
    SubpixelMethodSettings staircase_all;
    staircase_all.dielectric = M::Staircasing;
    staircase_all.metal = M::Staircasing;
    staircase_all.lossy_metal = M::Staircasing;
    staircase_all.pec = M::Staircasing;
    staircase_all.pmc = M::Staircasing;

    struct Case {
        const char* row;
        M dielectric, metal, lossy_metal, pec, pmc;
        ComponentConditions conditions;  // pec, pmc, fully_anisotropic, distinct_media, magnetic
        O expected;
    };
    const M S = M::Staircasing, P = M::PolarizedAveraging, V = M::VolumetricAveraging, H = M::HeuristicPECStaircasing,
            C = M::PECConformal, I = M::SurfaceImpedance;
    const Case cases[] = {
        // pec present
        {"pec staircased", P, S, S, S, S, {true, false, false, 2, false}, O::StaircaseWithConductors},
        {"pec with anisotropic medium", P, S, S, V, S, {true, false, true, 2, false}, O::StaircaseWithConductors},
        {"pec and pmc staircased", P, S, S, V, S, {true, true, false, 2, false}, O::StaircaseWithConductors},
        {"pec averaged volumetrically", P, S, S, V, S, {true, false, false, 2, false}, O::Error},
        {"pec conformal left over", P, S, S, C, H, {true, true, false, 2, false}, O::Error},
        // heuristic pec
        {"heuristic, anisotropic", P, S, S, H, S, {true, false, true, 2, false}, O::StaircaseWithConductors},
        {"heuristic, pmc staircased", P, S, S, H, S, {true, true, false, 2, false}, O::StaircaseWithConductors},
        {"heuristic, pmc averaged", P, S, S, H, V, {true, true, false, 2, false}, O::Error},
        {"heuristic, pmc heuristic, two", P, S, S, H, H, {true, true, false, 2, false}, O::HeuristicPecStaircase},
        {"heuristic, staircased dielectric, metal averaged, two", S, V, S, H, S, {true, false, false, 2, false},
         O::HeuristicPecStaircase},
        {"heuristic, staircased dielectric, lossy averaged, three", S, S, I, H, S, {true, false, false, 3, false},
         O::PlainStaircase},
        {"heuristic, two media", P, S, S, H, S, {true, false, false, 2, false}, O::HeuristicPecStaircase},
        {"heuristic, three media", P, S, S, H, S, {true, false, false, 3, false}, O::PlainStaircase},
        {"heuristic, all staircased, two", S, S, S, H, S, {true, false, false, 2, false}, O::HeuristicPecStaircase},
        // pmc present, no pec
        {"pmc staircased", P, S, S, C, S, {false, true, false, 2, true}, O::StaircaseWithConductors},
        {"pmc averaged", P, S, S, C, V, {false, true, false, 2, true}, O::Error},
        {"pmc conformal", P, S, S, C, C, {false, true, false, 2, true}, O::Error},
        {"pmc heuristic, averaged dielectric", P, S, S, C, H, {false, true, false, 2, true}, O::HeuristicPmcStaircase},
        {"pmc heuristic, three media", P, S, S, C, H, {false, true, false, 3, true}, O::PlainStaircase},
        {"pmc heuristic, all staircased", S, S, S, S, H, {false, true, false, 2, true}, O::HeuristicPmcStaircase},
        {"pmc heuristic, all staircased, three", S, S, S, S, H, {false, true, false, 3, true}, O::PlainStaircase},
        // neither
        {"anisotropic", P, S, S, C, S, {false, false, true, 2, false}, O::FullyAnisotropicStaircase},
        {"averaged dielectric", P, S, S, C, S, {false, false, false, 2, false}, O::Averaging},
        {"averaged metal only", S, V, S, C, S, {false, false, false, 2, false}, O::Averaging},
        {"averaged lossy metal only", S, S, V, C, S, {false, false, false, 2, false}, O::Averaging},
        {"averaged, three media", P, S, S, C, S, {false, false, false, 3, false}, O::PlainStaircase},
        {"averaged, magnetic", P, S, S, C, S, {false, false, false, 2, true}, O::Error},
        {"all staircased", S, S, S, C, S, {false, false, false, 2, false}, O::PlainStaircase},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.row);
        SubpixelMethodSettings s = staircase_all;
        s.dielectric = c.dielectric;
        s.metal = c.metal;
        s.lossy_metal = c.lossy_metal;
        s.pec = c.pec;
        s.pmc = c.pmc;
        EXPECT_EQ(select_component_outcome(s, c.conditions), c.expected);
    }
}

// A scene whose Ex at cell (1, 1, 1) sees a conductor structure at its lower pole (x < 1.25).
Scene conductor_at_pole(int32_t conductor) {
    Scene scene;
    scene.spec.has_pmc = conductor == MEDIUM_INDEX_PMC;
    scene.add(below(0, 1.25), conductor);
    return scene;
}

TEST(AveragingSelectionDeathTest, SettingsThatCannotTreatTheMediaEndTheRun) {
    {
        Scene scene = conductor_at_pole(MEDIUM_INDEX_PEC);
        scene.spec.subpixel.pec = AveragingMethod::VolumetricAveraging;
        EXPECT_EXIT(scene.run(), ::testing::ExitedWithCode(1), "An internal error has occured");
    }
    {
        Scene scene = conductor_at_pole(MEDIUM_INDEX_PMC);
        scene.spec.subpixel.pmc = AveragingMethod::VolumetricAveraging;
        EXPECT_EXIT(scene.run(), ::testing::ExitedWithCode(1), "An internal error has occured");
    }
    {
        // A conductor under conformal treatment needs its face records.
        Scene scene = conductor_at_pole(MEDIUM_INDEX_PEC);
        scene.spec.subpixel.pec = AveragingMethod::PECConformal;
        scene.spec.has_conformal_metal = true;
        scene.allocate_conformal();
        scene.conformal.edge_face_flags[(1 * N + 1) * N + 1][0] = 1;  // Ex edge, face 0: no record
        EXPECT_EXIT(scene.run(), ::testing::ExitedWithCode(1), "An internal error has occured");
    }
}

// --- Staircasing ---

TEST(AveragingStaircase, TwoMediaTakeTheYeePositionsMediumThreeMediaToo) {
    Scene scene;
    scene.spec.subpixel.dielectric = AveragingMethod::Staircasing;
    const int a = scene.add_medium(dielectric(2.0f));
    scene.add(below(0, 1.75), a);
    auto r = scene.run();
    expect_single(r->cell(1, 1, 1).electric(0), a);  // Yee at x = 1.5 inside
    expect_single(r->cell(2, 1, 1).electric(1), VAC);  // Ey at x = 2 outside, x = 1.5 inside

    // Three media reaching the averaging entry are staircased: 0 at the Yee position, 1 at the
    // lower pole (later structure, higher index), vacuum at the upper pole.
    Scene three;
    const int b = three.add_medium(dielectric(2.0f));
    const int d = three.add_medium(dielectric(3.0f));
    three.add(below(0, 1.75), b);
    three.add(below(0, 1.25), d);
    r = three.run();
    expect_single(r->cell(1, 1, 1).electric(0), b);
}

TEST(AveragingStaircase, ConductorsShortComponentsThroughTheFaceCentres) {
    struct Case {
        const char* what;
        std::shared_ptr<Geometry> conductor;
        uint16_t expected;
        uint8_t open;
    };
    const Case cases[] = {
        // Layer y < 1.25 holds the Yee position and face centres 7, 9, 10.
        {"face centres in pec", below(1, 1.25), PEC, 0},
        // A thin rod around the edge holds the Yee position and poles only.
        {"yee position in pec only", box({-FAR, 0.75, 0.75}, {FAR, 1.25, 1.25}), 0, 1},
        // The pec holds only the lower pole: the component keeps its medium.
        {"pole in pec", below(0, 1.25), 0, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Scene scene;
        const int d = scene.add_medium(dielectric(2.0f));
        scene.add(box({-FAR, -FAR, -FAR}, {FAR, FAR, FAR}), d);
        scene.add(c.conductor, MEDIUM_INDEX_PEC);
        const auto r = scene.run();
        expect_single(r->cell(1, 1, 1).electric(0), c.expected, c.open);
    }

    // Magnetic components: a pmc layer y < 1.25 holds the edge centre at y = 1 around Hx of
    // cell (1, 1, 1) (at (1, 1.5, 1.5)); the electric ones never see the pmc.
    Scene scene;
    scene.spec.has_pmc = true;
    scene.add(below(1, 1.25), MEDIUM_INDEX_PMC);
    const auto r = scene.run();
    expect_single(r->cell(1, 1, 1).magnetic(0), PMC, 0);
    for (int c = 0; c < 3; ++c) expect_single(r->cell(1, 1, 1).electric(c), VAC);
}

TEST(AveragingStaircase, HeuristicPecYieldsToTheOpenMediumWhenTheNormalRunsAlongTheComponent) {
    struct Case {
        const char* what;
        double slab_end;  // pec for x < slab_end
        int component;
        uint16_t expected;  // 0 is the dielectric
    };
    const Case cases[] = {
        // Ex at x = 1.5 inside the slab, surface at x = 1.75 normal to x: the dielectric at the
        // upper pole wins.
        {"normal along the component", 1.75, 0, 0},
        // Ey at x = 1 inside the slab ending at 1.25: normal across y, the component stays pec.
        {"normal across the component", 1.25, 1, PEC},
        // Ex at x = 1.5 outside the slab ending at 1.25: the Yee position's dielectric.
        {"yee position open", 1.25, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Scene scene;
        scene.spec.subpixel.pec = AveragingMethod::HeuristicPECStaircasing;
        const int d = scene.add_medium(dielectric(2.0f));
        scene.add(box({-FAR, -FAR, -FAR}, {FAR, FAR, FAR}), d);
        scene.add(below(0, c.slab_end), MEDIUM_INDEX_PEC);
        const auto r = scene.run();
        const ComponentSample& s = r->cell(1, 1, 1).electric(c.component);
        EXPECT_EQ(s.medium_a, c.expected);
        EXPECT_EQ(s.medium_b, MEDIUM_NONE);
        EXPECT_EQ(s.fraction, 0.0f);
        // The open flag is only cleared for conductors settled as such; a heuristic outcome
        // keeps it.
        EXPECT_EQ(s.open, 1);
    }
}

TEST(AveragingStaircase, FullyAnisotropicMediaAreStaircasedBetweenThePoles) {
    struct Case {
        const char* what;
        std::shared_ptr<Geometry> shape;
        uint16_t medium_a, medium_b;
        float fraction;
    };
    const Case cases[] = {
        // The anisotropic medium (index 0) holds the lower pole.
        {"at a pole", below(0, 1.25), 0, VAC, 0.5f},
        // ... the Yee position only: the lower pole's medium.
        {"at the yee position", box({1.4, -FAR, -FAR}, {1.6, FAR, FAR}), VAC, MEDIUM_NONE, 0.0f},
        // ... ring samples only: the Yee position's medium.
        {"beside the edge", below(1, 0.75), VAC, MEDIUM_NONE, 0.0f},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Scene scene;
        scene.add(c.shape, scene.add_medium(fully_anisotropic()));
        const auto r = scene.run();
        const ComponentSample& s = r->cell(1, 1, 1).electric(0);
        EXPECT_EQ(s.medium_a, c.medium_a);
        EXPECT_EQ(s.medium_b, c.medium_b);
        EXPECT_EQ(s.fraction, c.fraction);
    }

    // With the pec staircased heuristically, an anisotropic neighbourhood is staircased with
    // conductors: the pec layer holds the face centres of Ex and shorts it, while the later
    // anisotropic structure holds the lower pole.
    Scene scene;
    scene.spec.subpixel.pec = AveragingMethod::HeuristicPECStaircasing;
    scene.add(below(1, 1.25), MEDIUM_INDEX_PEC);
    scene.add(below(0, 1.25), scene.add_medium(fully_anisotropic()));
    const auto r = scene.run();
    expect_single(r->cell(1, 1, 1).electric(0), PEC, 0);
}

// --- Conformal conductors ---

TEST(AveragingConformal, ConformalConductorSamplesDoNotCountAsMedia) {
    struct Case {
        const char* what;
        int32_t medium;  // -1: the lossy metal
        double end;      // conductor for x < end
        uint16_t expected;
        uint8_t open;
    };
    const Case cases[] = {
        {"pec at the yee position", MEDIUM_INDEX_PEC, 1.75, PEC, 0},
        {"pec at a pole only", MEDIUM_INDEX_PEC, 1.25, VAC, 1},
        {"lossy metal at a pole only", -1, 1.25, VAC, 1},
        {"lossy metal at the yee position", -1, 1.75, PEC, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Scene scene;
        scene.spec.subpixel.pec = AveragingMethod::PECConformal;
        scene.spec.subpixel.lossy_metal = AveragingMethod::SurfaceImpedance;
        scene.spec.has_conformal_metal = true;
        scene.allocate_conformal();
        const int lossy = scene.add_medium(dielectric(1.0f, ComponentKind::LossyMetal));
        scene.add(below(0, c.end), c.medium < 0 ? lossy : c.medium);
        const auto r = scene.run();
        expect_single(r->cell(1, 1, 1).electric(0), c.expected, c.open);
    }
}

TEST(AveragingConformal, FaceRecordsSettleElectricAndMagneticComponents) {
    // Vacuum everywhere; the records alone decide. Cell (1, 1, 1), Ex edge (c = 0, u = y, v = z):
    // face 0 is the cell's z face, 1 the y face of cell (1, 1, 0), 2 the z face of cell (1, 0, 1),
    // 3 the cell's y face.
    Scene scene;
    scene.spec.subpixel.pec = AveragingMethod::PECConformal;
    scene.spec.has_conformal_metal = true;
    scene.allocate_conformal();
    ConformalData& cd = scene.conformal;
    const auto cell = [&](int i, int j, int k) { return cd.cell_index(i, j, k); };
    const auto add_record = [&](std::size_t at, int axis, FaceRecord r) {
        cd.face_record_ids[at][axis] = FACE_HAS_RECORD_BIT | uint32_t(cd.face_records.size());
        cd.face_records.push_back(r);
    };

    FaceRecord open_edge;  // no wedge, edges fully open
    open_edge.edge_fraction = {1, 1, 1, 1};
    // Face 0 carries a wedge along the edge itself, which does not count.
    FaceRecord along = open_edge;
    along.axis = 0;
    along.wedge_angle = 0.0f;
    along.wedge_param_e = 0.9f;
    FaceRecord partial = open_edge;
    partial.edge_fraction = {1, 1, 1, 0.25f};
    partial.edge_medium = {0, 0, 0, 7};
    FaceRecord wedge = open_edge;
    wedge.axis = 1;
    wedge.wedge_angle = 1.5707964f;
    wedge.wedge_param_e = 0.2f;
    add_record(cell(1, 1, 1), 2, along);      // face 0
    add_record(cell(1, 1, 0), 1, wedge);      // face 1
    add_record(cell(1, 1, 1), 1, partial);    // face 3
    for (int q : {0, 1, 3}) cd.edge_face_flags[cell(1, 1, 1)][q] = 1;

    // Ey edge of cell (2, 2, 2) (u = z, v = x): face 0, the cell's x face, has a shorted edge.
    FaceRecord shorted = open_edge;
    shorted.edge_fraction = {0.0001f, 1, 1, 1};
    add_record(cell(2, 2, 2), 0, shorted);
    cd.edge_face_flags[cell(2, 2, 2)][4] = 1;

    // Hx of cell (2, 1, 1) on a closed face; Hy of cell (2, 1, 1) on a face with a record.
    cd.face_record_ids[cell(2, 1, 1)][0] = FACE_CLOSED_BIT;
    FaceRecord face = open_edge;
    face.medium_index = PEC;
    face.area_fraction = 0.3f;
    face.surface_length = 0.1f;
    face.wedge_angle = 0.0f;
    face.wedge_param_h = 0.4f;
    add_record(cell(2, 1, 1), 1, face);
    // Hz of cell (2, 1, 1): a record with a negligible open share and no wedge.
    FaceRecord closed = face;
    closed.area_fraction = 0.0f;
    closed.wedge_angle = 3.1415927f;
    add_record(cell(2, 1, 1), 2, closed);

    const auto r = scene.run();
    const ComponentSample& ex = r->cell(1, 1, 1).electric(0);
    EXPECT_EQ(ex.medium_a, 7);
    EXPECT_EQ(ex.medium_b, PEC);
    EXPECT_FLOAT_EQ(ex.fraction, 0.75f);
    EXPECT_FLOAT_EQ(ex.wedge_param, 0.2f);  // from face 1: a right-angle wedge across the edge

    expect_single(r->cell(2, 2, 2).electric(1), PEC, 0);
    expect_single(r->cell(3, 3, 3).electric(0), VAC);  // no flags: the samples decide

    expect_single(r->cell(2, 1, 1).magnetic(0), PMC, 0);
    const ComponentSample& hy = r->cell(2, 1, 1).magnetic(1);
    EXPECT_EQ(hy.medium_a, PEC);
    EXPECT_FLOAT_EQ(hy.fraction, 0.3f);
    EXPECT_FLOAT_EQ(hy.surface_length, 0.1f);
    EXPECT_FLOAT_EQ(hy.wedge_param, 0.4f);
    EXPECT_EQ(hy.open, 1);
    const ComponentSample& hz = r->cell(2, 1, 1).magnetic(2);
    EXPECT_EQ(hz.medium_a, PEC);
    EXPECT_EQ(hz.open, 0);
    EXPECT_EQ(hz.wedge_param, 0.0f);

    // With every edge share open the component is left to its samples, keeping the wedge
    // parameter.
    cd.face_records[cd.face_record_ids[cell(1, 1, 1)][1] & FACE_RECORD_INDEX_MASK].edge_fraction[3] = 1.0f;
    const auto again = scene.run();
    const ComponentSample& open_ex = again->cell(1, 1, 1).electric(0);
    EXPECT_EQ(open_ex.medium_a, VAC);
    EXPECT_EQ(open_ex.medium_b, MEDIUM_NONE);
    EXPECT_FLOAT_EQ(open_ex.wedge_param, 0.2f);
}

TEST(AveragingConformalDeathTest, FlagsThatPointOutsideTheRecordsEndTheRun) {
    const auto conformal_scene = [] {
        Scene scene;
        scene.spec.subpixel.pec = AveragingMethod::PECConformal;
        scene.spec.has_conformal_metal = true;
        scene.allocate_conformal();
        return scene;
    };
    {
        // Face 1 of the Ex edge of cell (1, 1, 0) belongs to cell (1, 1, -1), outside the subdomain.
        Scene scene = conformal_scene();
        scene.conformal.edge_face_flags[scene.conformal.cell_index(1, 1, 0)][1] = 1;
        EXPECT_EXIT(scene.run(), ::testing::ExitedWithCode(1), "An internal error has occured");
    }
    {
        // A record id beyond the list.
        Scene scene = conformal_scene();
        scene.conformal.face_record_ids[scene.conformal.cell_index(1, 1, 1)][0] = FACE_HAS_RECORD_BIT | 5u;
        EXPECT_EXIT(scene.run(), ::testing::ExitedWithCode(1), "An internal error has occured");
    }
    {
        // Conformal lists that do not fit the subdomain.
        Scene scene = conformal_scene();
        scene.conformal.edge_face_flags.clear();
        EXPECT_EXIT(scene.run(), ::testing::ExitedWithCode(1), "An internal error has occured");
    }
}

// A map claiming the span of a grid of 2^22 - 1 by 2^21 - 1 by 2^21 - 1 boundaries: its doubled
// extents multiply to 2^67, which wraps to the 0 entries the list holds. The guard must see
// that no such map can be held before any cell reads it.
TEST(AveragingPhaseDeathTest, AMapWhoseSizeCannotBeHeldIsAnInternalError) {
    Scene scene;
    StructureMap map(scene.span);
    const int64_t big = (int64_t{1} << 21) - 2;
    map.span = {0, 2 * big + 2, 0, big, 0, big};
    map.extents = {int64_t{1} << 23, int64_t{1} << 22, int64_t{1} << 22};
    map.indices.clear();
    const Span first_cell = {0, 1, 0, 1, 0, 1};
    EXPECT_EXIT(scene.run_on(map, 1, &first_cell), ::testing::ExitedWithCode(1), "An internal error has occured");
}

// --- Identifier merge ---

TEST(AveragingIdentifiers, MediaSharingAnIdentifierAreOneMediumOfTheHigherStructure) {
    for (bool reversed : {false, true}) {
        SCOPED_TRACE(reversed ? "higher structure holds medium 0" : "higher structure holds medium 1");
        Scene scene;
        scene.spec.has_subpixel_identifiers = true;
        auto first = dielectric(2.0f, ComponentKind::Custom);
        auto second = dielectric(3.0f, ComponentKind::Custom);
        first->subpixel_identifier = second->subpixel_identifier = 7;
        scene.add_medium(first);
        scene.add_medium(second);
        const int lower = reversed ? 1 : 0;
        const int upper = reversed ? 0 : 1;
        // The Yee position of Ex (y = 1) in the lower structure, y = 1.5 in the upper one.
        scene.add(below(1, 1.25), lower);
        scene.add(box({-FAR, 1.25, -FAR}, {FAR, FAR, FAR}), upper);
        auto r = scene.run();
        expect_single(r->cell(1, 1, 1).electric(0), uint16_t(upper));

        // A third medium without identifier still makes two media to average.
        scene.add(below(2, 0.75), scene.add_medium(dielectric(5.0f)));
        r = scene.run();
        const ComponentSample& s = r->cell(1, 1, 1).electric(0);
        EXPECT_EQ(s.medium_a, upper);
        EXPECT_EQ(s.medium_b, 2);
        EXPECT_GT(s.fraction, 0.0f);

        // Without the run-wide flag the media stay apart.
        scene.spec.has_subpixel_identifiers = false;
        scene.spec.structures.pop_back();
        r = scene.run();
        EXPECT_EQ(r->cell(1, 1, 1).electric(0).medium_a, lower);
        EXPECT_EQ(r->cell(1, 1, 1).electric(0).medium_b, upper);
    }
}

// --- Averaging ---

TEST(AveragingMeasurement, FractionAndNormalOfTheSecondMedium) {
    // A dielectric layer x < end; Ex of cell (1, 1, 1) spans x in [1, 2] with the Yee position
    // at 1.5. Its dual volume is a double pyramid with apexes at the poles, so the share of the
    // layer between x = 1 and 1.25 is 0.5^3 / 2 = 0.0625.
    struct Case {
        const char* what;
        double end;
        uint16_t medium_a, medium_b;
        float normal_x;
    };
    const Case cases[] = {
        {"yee position outside", 1.25, VAC, 0, 1.0f},   // fraction of the layer, normal out of it
        {"yee position inside", 1.75, 0, VAC, -1.0f},  // fraction of vacuum, normal out of vacuum
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Scene scene;
        scene.add(below(0, c.end), scene.add_medium(dielectric(4.0f)));
        const auto r = scene.run();
        const ComponentSample& s = r->cell(1, 1, 1).electric(0);
        EXPECT_EQ(s.medium_a, c.medium_a);
        EXPECT_EQ(s.medium_b, c.medium_b);
        EXPECT_NEAR(s.fraction, 0.0625f, 1e-6f);
        EXPECT_NEAR(s.normal[0], c.normal_x, 1e-6f);
        EXPECT_NEAR(s.normal[1], 0.0f, 1e-6f);
        EXPECT_NEAR(s.normal[2], 0.0f, 1e-6f);
        EXPECT_EQ(s.contour_fraction, 0.0f);  // not contour-path averaging
    }
}

TEST(AveragingMeasurement, ComponentsOfEveryAxisSeeTheirNeighbourhoodAlike) {
    // The same layer across each axis in turn gives the component along that axis the same
    // measurement, with the normal turned along.
    for (int axis = 0; axis < 3; ++axis) {
        SCOPED_TRACE(axis);
        Scene scene;
        scene.add(below(axis, 1.25), scene.add_medium(dielectric(4.0f)));
        const auto r = scene.run();
        const ComponentSample& s = r->cell(1, 1, 1).electric(axis);
        EXPECT_EQ(s.medium_a, VAC);
        EXPECT_EQ(s.medium_b, 0);
        EXPECT_NEAR(s.fraction, 0.0625f, 1e-6f);
        for (int a = 0; a < 3; ++a) EXPECT_NEAR(s.normal[a], a == axis ? 1.0f : 0.0f, 1e-6f);
    }
}

TEST(AveragingMeasurement, OverlappingStructuresMeasureTheLaterOne) {
    // Structure 1 (x < 1.25) is painted over the background structure 0: the lower pole of Ex
    // shows structure 1, and the measured side is structure 1.
    Scene scene;
    const int early = scene.add_medium(dielectric(2.0f));
    const int late = scene.add_medium(dielectric(3.0f));
    scene.add(box({-FAR, -FAR, -FAR}, {FAR, FAR, FAR}), early);
    scene.add(below(0, 1.25), late);
    const auto r = scene.run();
    const ComponentSample& s = r->cell(1, 1, 1).electric(0);
    EXPECT_EQ(s.medium_a, early);
    EXPECT_EQ(s.medium_b, late);
    EXPECT_NEAR(s.fraction, 0.0625f, 1e-6f);
    EXPECT_NEAR(s.normal[0], 1.0f, 1e-6f);
}

TEST(AveragingMeasurement, ContourFractionIsTheEdgeShareOfTheSecondMedium) {
    Scene scene;
    scene.spec.subpixel.dielectric = AveragingMethod::ContourPathAveraging;
    scene.add(below(0, 1.25), scene.add_medium(dielectric(4.0f)));
    const auto r = scene.run();
    // Ex of cell (1, 1, 1): the edge from x = 1 to 2 lies in the layer up to 1.25.
    const ComponentSample& ex = r->cell(1, 1, 1).electric(0);
    EXPECT_EQ(ex.medium_b, 0);
    EXPECT_NEAR(ex.contour_fraction, 0.25f, 1e-6f);
    // Ey of cell (1, 1, 1) runs at x = 1 inside the layer: its edge lies in one medium.
    const ComponentSample& ey = r->cell(1, 1, 1).electric(1);
    EXPECT_EQ(ey.medium_a, 0);
    EXPECT_EQ(ey.medium_b, VAC);
    EXPECT_GT(ey.fraction, 0.0f);
    EXPECT_LT(ey.fraction, 1.0f);
    EXPECT_EQ(ey.contour_fraction, 0.0f);

    // With the Yee position inside the layer, the share is that of vacuum.
    Scene inside;
    inside.spec.subpixel.dielectric = AveragingMethod::ContourPathAveraging;
    inside.add(below(0, 1.75), inside.add_medium(dielectric(4.0f)));
    EXPECT_NEAR(inside.run()->cell(1, 1, 1).electric(0).contour_fraction, 0.25f, 1e-6f);
}

TEST(AveragingMeasurement, SheetsAreMeasuredOnTheFaceInTheirPlane) {
    // A sheet at z = 1 covering y <= 1.25. Ex of cell (1, 1, 1) lies in it: its face in the
    // sheet's plane is the diamond between the poles (x = 1, 2 at y = 1) and the face centres at
    // y = 0.5 and 1.5. The part beyond y = 1.25 is the tip of the upper half scaled by 1/2, so
    // vacuum holds 1/8 of the diamond.
    Scene scene;
    auto sheet = std::make_shared<Sheet>(1.0, 1.25);
    const int m = scene.add_medium(dielectric(4.0f));
    scene.add(sheet, m);
    StructureMap map(scene.span);
    build_structure_map(map, scene.grid, scene.spec.structures, 1, scene.spec, PaintMode::All);

    const Span ex_cell = {1, 2, 1, 2, 1, 2};
    auto r = scene.run_on(map, 1, &ex_cell);
    const ComponentSample& ex = r->cell(1, 1, 1).electric(0);
    EXPECT_EQ(ex.medium_a, m);
    EXPECT_EQ(ex.medium_b, VAC);
    EXPECT_NEAR(ex.fraction, 0.125f, 1e-6f);
    EXPECT_NEAR(ex.normal[1], -1.0f, 1e-6f);  // out of the vacuum side
    EXPECT_GT(sheet->in_plane_queries.load(), 0);

    // Ez crosses the sheet at its lower pole only: the volume measurement, which asks for the
    // sheet's out-of-plane surface and finds no volume on the sheet's side.
    const ComponentSample& ez = r->cell(1, 1, 1).electric(2);
    EXPECT_EQ(ez.medium_a, VAC);
    EXPECT_EQ(ez.medium_b, m);
    EXPECT_LT(ez.fraction, 1e-6f);
    EXPECT_GT(sheet->volume_queries.load(), 0);

    // Ex of cell (1, 0, 1): all five face points lie in the sheet, so nothing is averaged even
    // though the samples above and below the sheet are vacuum.
    const Span inner = {1, 2, 0, 1, 1, 2};
    r = scene.run_on(map, 1, &inner);
    expect_single(r->cell(1, 0, 1).electric(0), m);
}

// --- Threads ---

bool same_bits(const ComponentSample& a, const ComponentSample& b) {
    const auto bits = [](float f) { return std::bit_cast<uint32_t>(f); };
    return bits(a.fraction) == bits(b.fraction) && bits(a.contour_fraction) == bits(b.contour_fraction) &&
           bits(a.normal[0]) == bits(b.normal[0]) && bits(a.normal[1]) == bits(b.normal[1]) &&
           bits(a.normal[2]) == bits(b.normal[2]) && a.medium_a == b.medium_a && a.medium_b == b.medium_b &&
           bits(a.surface_length) == bits(b.surface_length) && bits(a.wedge_param) == bits(b.wedge_param) &&
           a.open == b.open;
}

TEST(AveragingThreads, SeveralThreadsGiveTheSingleThreadResultBitForBit) {
    Scene scene;
    scene.spec.subpixel.dielectric = AveragingMethod::ContourPathAveraging;
    scene.spec.has_pmc = true;
    const int a = scene.add_medium(dielectric(2.0f));
    const int b = scene.add_medium(dielectric(3.0f));
    auto sphere_like = box({0.6, 0.9, 1.3}, {3.1, 2.7, 3.4});
    scene.add(sphere_like, a);
    scene.add(below(2, 1.6), b);
    scene.add(box({2.2, -FAR, -FAR}, {2.8, FAR, FAR}), MEDIUM_INDEX_PMC);
    const auto one = scene.run(1);
    for (int threads : {2, 4}) {
        const auto many = scene.run(threads);
        for (int i = 0; i < N; ++i)
            for (int j = 0; j < N; ++j)
                for (int k = 0; k < N; ++k) {
                    ASSERT_EQ(many->delivered(i, j, k), 1);
                    const CellSamples& x = one->cell(i, j, k);
                    const CellSamples& y = many->cell(i, j, k);
                    for (int c = 0; c < 6; ++c)
                        EXPECT_TRUE(same_bits(x.components[c], y.components[c]))
                            << "cell " << i << j << k << " component " << c;
                }
    }
}

}  // namespace
