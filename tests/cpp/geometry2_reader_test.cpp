#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <memory>
#include <random>
#include <string>

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>
#include <nlohmann/json.hpp>

#include "geometry/geometry.h"
#include "geometry/geometry_reader.h"
#include "geometry/poly_slab.h"
#include "geometry/tapered_poly_slab.h"
#include "geometry/triangle_mesh.h"

using nlohmann::json;

namespace {

json poly_slab_json(double angle = 0.0) {
    json j = {{"type", "PolySlab"},
              {"z_cent", 0.0},
              {"z_size", 2.0},
              {"vertices", {{0, 0}, {3, 0}, {2, 2}}}};
    if (angle != 0.0) j["sidewall_angle"] = angle;
    return j;
}

// Rotation by 45 degrees about x, in the file's column-vector convention.
json rotated(const json& geometry) {
    const double c = std::sqrt(0.5);
    return {{"type", "Transformed"},
            {"transform", {{1, 0, 0, 0}, {0, c, -c, 0}, {0, c, c, 0}, {0, 0, 0, 1}}},
            {"geometry", geometry}};
}

}  // namespace

TEST(GeometryReaderPolySlab, EveryKindLoads) {
    json straight = poly_slab_json();
    json arced = poly_slab_json();
    arced["bulges"] = {0.0, 0.4};
    json dilated = poly_slab_json();
    dilated["dilation"] = 0.1;
    json sloped = poly_slab_json(0.2);
    sloped["bulges"] = {0.5, 0.5, 0.5};  // read and ignored
    json tilted = rotated(poly_slab_json(0.2));
    json mesh = {{"type", "TriangleMesh"},
                 {"vectors", {{{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}, {{0, 0, 0}, {0, 0, 1}, {1, 0, 0}}}}};

    const auto g_straight = read_structure_geometry(straight);
    const auto g_arced = read_structure_geometry(arced);
    const auto g_dilated = read_structure_geometry(dilated);
    const auto g_sloped = read_structure_geometry(sloped);
    const auto g_tilted = read_structure_geometry(tilted);
    const auto g_mesh = read_structure_geometry(mesh);
    ASSERT_NE(dynamic_cast<PolySlab*>(g_straight.get()), nullptr);
    ASSERT_NE(dynamic_cast<PolySlab*>(g_arced.get()), nullptr);
    EXPECT_TRUE(dynamic_cast<PolySlab*>(g_arced.get())->polygon().arcs[1].valid);
    ASSERT_NE(dynamic_cast<PolySlab*>(g_dilated.get()), nullptr);
    EXPECT_NEAR(g_dilated->cached_bounds().min.y, -0.1, 1e-12);
    ASSERT_NE(dynamic_cast<TaperedPolySlab*>(g_sloped.get()), nullptr);
    ASSERT_NE(dynamic_cast<TriangleMesh*>(g_tilted.get()), nullptr);
    const auto* m = dynamic_cast<TriangleMesh*>(g_mesh.get());
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->triangles().size(), 2u);
    EXPECT_EQ(m->triangles()[1].b, (Vec3{0, 0, 1}));
    EXPECT_TRUE(g_straight->has_edges);
    EXPECT_FALSE(g_sloped->has_edges);
    EXPECT_FALSE(g_tilted->has_edges);

    json empty_mesh = {{"type", "TriangleMesh"}};
    EXPECT_FALSE(read_structure_geometry(empty_mesh)->contains({0, 0, 0}, true, 1.0));
}

TEST(GeometryReaderPolySlab, PlacementAlongTheAxis) {
    json j = poly_slab_json();
    j["axis"] = "x";
    j["z_cent"] = 5.0;
    const auto g = read_structure_geometry(j);
    ASSERT_TRUE(g);
    EXPECT_EQ(g->axis_index, 0);
    const Aabb& b = g->cached_bounds();
    // Polygon (x, y) lies in world (y, z); the slab spans x from 4 to 6.
    EXPECT_EQ(b.min, (Vec3{4, 0, 0}));
    EXPECT_EQ(b.max, (Vec3{6, 3, 2}));
    EXPECT_TRUE(g->contains(g->to_local_point({4.5, 1.0, 0.5}), true, 0.0));
    EXPECT_FALSE(g->contains(g->to_local_point({4.5, 2.9, 1.5}), true, 0.0));

    // A sloped slab's local origin is its middle plane.
    json sloped = poly_slab_json(0.1);
    sloped["axis"] = "y";
    sloped["z_cent"] = -1.0;
    const auto s = read_structure_geometry(sloped);
    const Vec3 local = s->to_local_point({1.0, -1.0, 0.5});
    EXPECT_NEAR(local.z, 0.0, 1e-15);
    EXPECT_NEAR(s->cached_bounds().min.y, -2.0, 1e-15);
    EXPECT_NEAR(s->cached_bounds().max.y, 0.0, 1e-15);

    json planar = poly_slab_json();
    planar["2dmaterial"] = 1;
    planar["normal_axis"] = 2;
    EXPECT_TRUE(read_structure_geometry(planar)->planar);
}

TEST(GeometryReaderPolySlab, TiltedSlopedSlabContainsWhatTheRotatedSlabContains) {
    const json untilted_json = poly_slab_json(0.25);
    json copy = untilted_json;
    const auto untilted = read_structure_geometry(copy);
    json tilted_json = rotated(untilted_json);
    const auto tilted = read_structure_geometry(tilted_json);
    ASSERT_NE(dynamic_cast<TriangleMesh*>(tilted.get()), nullptr);
    const double c = std::sqrt(0.5);
    std::mt19937 rng(21);
    std::uniform_real_distribution<double> u(-1.5, 3.5);
    int checked = 0;
    for (int i = 0; i < 3000; ++i) {
        const Vec3 p{u(rng), u(rng) * 0.7, u(rng) * 0.5};
        double dist = 0.0;
        bool unique = true;
        untilted->surface_normal(p, dist, unique, false, 0.0);
        if (std::fabs(dist) < 1e-6) continue;
        // The transform maps (x, y, z) to (x, c·y - c·z, c·y + c·z).
        const Vec3 world{p.x, c * p.y - c * p.z, c * p.y + c * p.z};
        ASSERT_EQ(tilted->contains(tilted->to_local_point(world), true, 0.0), untilted->contains(p, true, 0.0))
            << p.x << ", " << p.y << ", " << p.z;
        ++checked;
    }
    EXPECT_GT(checked, 2900);
}

TEST(GeometryReaderPolySlab, MalformedInput) {
    json no_size = poly_slab_json();
    no_size.erase("z_size");
    EXPECT_THROW(read_structure_geometry(no_size), json::type_error);
    json bad_vertex = poly_slab_json();
    bad_vertex["vertices"][1] = {3};
    EXPECT_THROW(read_structure_geometry(bad_vertex), json::type_error);
    json bad_bulge = poly_slab_json();
    bad_bulge["bulges"] = {"x"};
    EXPECT_THROW(read_structure_geometry(bad_bulge), json::type_error);
    json bad_mesh = {{"type", "TriangleMesh"}, {"vectors", {{{0, 0, 0}, {1, 0}, {0, 1, 0}}}}};
    EXPECT_THROW(read_structure_geometry(bad_mesh), json::type_error);
    json no_vertices = {{"type", "PolySlab"}, {"z_cent", 0.0}, {"z_size", 1.0}};
    EXPECT_FALSE(read_structure_geometry(no_vertices)->contains({0, 0, 0.5}, true, 1.0));

    // Cap triangulation failures make the structure unreadable: crossing edges, and a vertex
    // repeated away from its neighbours.
    for (const json& vertices : {json{{0, 0}, {2, 2}, {2, 0}, {0, 2}}, json{{0, 0}, {2, 0}, {1, 1}, {2, 2}, {0, 2}, {1, 1}}}) {
        json slab = poly_slab_json(0.1);
        slab["vertices"] = vertices;
        json tilted = rotated(slab);
        std::shared_ptr<Geometry> g;
        EXPECT_NO_THROW(g = read_structure_geometry(tilted)) << vertices.dump();
        EXPECT_EQ(g, nullptr) << vertices.dump();
    }
    // Polygons without area (collinear, two vertices) give slabs that contain nothing, on the
    // straight, the sloped and the tilted path alike; out-of-range coordinates are refused before
    // they reach the triangulation.
    for (const json& vertices : {json{{0, 0}, {1, 0}, {2, 0}}, json{{0, 0}, {1, 0}}}) {
        json straight = poly_slab_json();
        json sloped = poly_slab_json(0.1);
        straight["vertices"] = sloped["vertices"] = vertices;
        json tilted = rotated(sloped);
        for (json* j : {&straight, &sloped, &tilted}) {
            std::shared_ptr<Geometry> g;
            ASSERT_NO_THROW(g = read_structure_geometry(*j)) << j->dump();
            ASSERT_NE(g, nullptr) << j->dump();
            for (double x = -0.5; x <= 2.5; x += 0.25)
                for (double y = -0.5; y <= 0.5; y += 0.25)
                    EXPECT_FALSE(g->contains(g->to_local_point({x, y, 0.0}), true, 1e-3)) << j->dump();
        }
        const std::shared_ptr<Geometry> g = read_structure_geometry(tilted);
        const auto* mesh = dynamic_cast<const TriangleMesh*>(g.get());
        ASSERT_NE(mesh, nullptr);
        EXPECT_TRUE(mesh->triangles().empty());
    }
    json huge = rotated(poly_slab_json(0.1));
    huge["geometry"]["vertices"] = {{0, 0}, {1e200, 0}, {0, 1}};
    EXPECT_EQ(read_structure_geometry(huge), nullptr);
}

TEST(GeometryReaderPolySlabDeathTest, DilationWithBulgesIsAnInternalError) {
    json j = poly_slab_json();
    j["bulges"] = {0.0, 0.3};
    j["dilation"] = 0.1;
    EXPECT_EXIT(read_structure_geometry(j), testing::ExitedWithCode(1),
                "^An internal error has occured\\. Please contact Zentrav support\\.$");
}

#if defined(__SANITIZE_ADDRESS__)
#define ORBELLE_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ORBELLE_ADDRESS_SANITIZER 1
#endif
#endif

// Reads `j` with 32 MB of address space to spare and exits 0 when the reader lets an allocation
// failure out, 2 when it answers "malformed" (null) and 3 when it builds the shape.
[[noreturn]] static void read_with_little_memory(json& j) {
    long pages = 0;
    if (FILE* f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld", &pages) != 1) pages = 0;
        std::fclose(f);
    }
    const rlim_t limit = static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) + (rlim_t{32} << 20);
    rlimit cap{};
    cap.rlim_cur = cap.rlim_max = limit;
    setrlimit(RLIMIT_AS, &cap);
    try {
        const auto g = read_structure_geometry(j);
        std::_Exit(g ? 3 : 2);
    } catch (const std::bad_alloc&) {
        std::_Exit(0);
    }
}

TEST(GeometryReaderPolySlabDeathTest, RunningOutOfMemoryWhileTriangulatingIsNoMalformedGeometry) {
#ifdef ORBELLE_ADDRESS_SANITIZER
    GTEST_SKIP() << "an address-space limit does not work under AddressSanitizer";
#endif
    // A well-formed tilted slab of 200 000 vertices: the allocation failure leaves the reader
    // (the loader reports a failed load); it is not turned into "malformed geometry".
    json slab = poly_slab_json(0.1);
    json vertices = json::array();
    for (int k = 0; k < 200000; ++k) vertices.push_back({std::cos(k * 3.1415e-5), std::sin(k * 3.1415e-5)});
    slab["vertices"] = std::move(vertices);
    json tilted = rotated(slab);
    EXPECT_EXIT(read_with_little_memory(tilted), testing::ExitedWithCode(0), "");
}
