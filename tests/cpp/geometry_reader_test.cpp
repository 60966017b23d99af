#include <cmath>
#include <memory>
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "geometry/box.h"
#include "geometry/clip_operation.h"
#include "geometry/cylinder.h"
#include "geometry/geometry.h"
#include "geometry/geometry_group.h"
#include "geometry/geometry_reader.h"
#include "geometry/sphere.h"
#include "geometry/transform.h"

using nlohmann::json;

namespace {

json box_json(double x, double y, double z, double span = 2.0) {
    return {{"type", "Box"},     {"x_cent", x},     {"y_cent", y},    {"z_cent", z},
            {"x_span", span},    {"y_span", span},  {"z_span", span}};
}

// Reads j and captures what the reader writes to standard error.
std::shared_ptr<Geometry> read_capturing(json& j, std::string& err) {
    testing::internal::CaptureStderr();
    std::shared_ptr<Geometry> g = read_structure_geometry(j);
    err = testing::internal::GetCapturedStderr();
    return g;
}

}  // namespace

TEST(GeometryReader, BoxIsPlacedAtItsCentre) {
    json j = box_json(1.0, 2.0, 3.0);
    j["x_span"] = 4.0;
    const auto g = read_structure_geometry(j);
    ASSERT_TRUE(g);
    const Aabb& b = g->cached_bounds();
    EXPECT_EQ(b.min, (Vec3{-1.0, 1.0, 2.0}));
    EXPECT_EQ(b.max, (Vec3{3.0, 3.0, 4.0}));
    EXPECT_TRUE(g->has_edges);
    EXPECT_EQ(g->axis_index, 2);
    EXPECT_FALSE(g->planar);
    EXPECT_TRUE(g->contains(g->to_local_point({2.9, 2.9, 3.9}), true, 0.0));
}

TEST(GeometryReader, AxisKey) {
    for (const char* name : {"z", "Z", "w"}) {
        json j = box_json(0, 0, 0);
        j["axis"] = name;
        EXPECT_EQ(read_structure_geometry(j)->axis_index, 2) << name;
    }
    json jx = box_json(0, 0, 0);
    jx["axis"] = "x";
    EXPECT_EQ(read_structure_geometry(jx)->axis_index, 0);
    json jy = box_json(0, 0, 0);
    jy["axis"] = "y";
    EXPECT_EQ(read_structure_geometry(jy)->axis_index, 1);
    json none = box_json(0, 0, 0);
    EXPECT_EQ(read_structure_geometry(none)->axis_index, 2);
    json bad = box_json(0, 0, 0);
    bad["axis"] = 1;
    EXPECT_THROW(read_structure_geometry(bad), json::type_error);
}

TEST(GeometryReader, PlanarBoxOnlyForNumericOne) {
    json j = box_json(0, 0, 0);
    j["2dmaterial"] = 1;
    j["normal_axis"] = 1;
    auto g = read_structure_geometry(j);
    ASSERT_TRUE(g);
    EXPECT_TRUE(g->planar);
    EXPECT_EQ(g->axis_index, 1);

    json f = box_json(0, 0, 0);
    f["2dmaterial"] = 1.0;
    f["normal_axis"] = 0;
    f["axis"] = "z";
    g = read_structure_geometry(f);
    EXPECT_TRUE(g->planar);
    EXPECT_EQ(g->axis_index, 0);

    json t = box_json(0, 0, 0);
    t["2dmaterial"] = true;
    t["normal_axis"] = 1;
    g = read_structure_geometry(t);
    EXPECT_FALSE(g->planar);
    EXPECT_EQ(g->axis_index, 2);
}

TEST(GeometryReaderDeathTest, PlanarWithoutNormalAxisOrWithTiltedAxis) {
    json j = box_json(0, 0, 0);
    j["2dmaterial"] = 1;
    EXPECT_EXIT(read_structure_geometry(j), testing::ExitedWithCode(1),
                "^An internal error has occured\\. Please contact Zentrav support\\.$");

    // A rotation about x by 45 degrees tilts the z axis.
    const double c = std::sqrt(0.5);
    json tilted = {{"type", "Transformed"},
                   {"transform", {{1, 0, 0, 0}, {0, c, -c, 0}, {0, c, c, 0}, {0, 0, 0, 1}}},
                   {"geometry", box_json(0, 0, 0)}};
    tilted["geometry"]["2dmaterial"] = 1;
    tilted["geometry"]["normal_axis"] = 2;
    EXPECT_EXIT(read_structure_geometry(tilted), testing::ExitedWithCode(1), "internal error");
    // The same sheet is fine with normal axis x, which the rotation keeps.
    tilted["geometry"]["normal_axis"] = 0;
    EXPECT_TRUE(read_structure_geometry(tilted)->planar);

    // An unsupported type still runs the planar check.
    json unsupported = {{"type", "Torus"}, {"2dmaterial", 1}};
    EXPECT_EXIT(read_structure_geometry(unsupported), testing::ExitedWithCode(1),
                "unsupported or malformed geometry type 'Torus'\\.\nAn internal error");
}

TEST(GeometryReader, Sphere) {
    json j = {{"type", "Sphere"}, {"x_cent", 1.0}, {"y_cent", 0.0}, {"z_cent", 0.0}, {"radius", 0.5}};
    const auto g = read_structure_geometry(j);
    ASSERT_TRUE(g);
    EXPECT_EQ(g->cached_bounds().min, (Vec3{0.5, -0.5, -0.5}));
    EXPECT_FALSE(g->has_edges);
}

TEST(GeometryReader, StraightCylinderAlongEachAxis) {
    for (int axis = 0; axis < 3; ++axis) {
        json j = {{"type", "Cylinder"}, {"reference_plane", "bottom"}, {"x_cent", 1.0}, {"y_cent", 2.0},
                  {"z_cent", 3.0},      {"radius", 0.5},               {"height", 4.0}};
        j["axis"] = std::string(1, "xyz"[axis]);
        const auto g = read_structure_geometry(j);
        ASSERT_TRUE(g);
        EXPECT_NE(dynamic_cast<Cylinder*>(g.get()), nullptr);
        EXPECT_EQ(g->axis_index, axis);
        EXPECT_EQ(g->axis(), 2);
        const Aabb& b = g->cached_bounds();
        const Vec3 c{1.0, 2.0, 3.0};
        for (int i = 0; i < 3; ++i) {
            const double half = i == axis ? 2.0 : 0.5;
            EXPECT_DOUBLE_EQ(b.min[i], c[i] - half) << axis << i;
            EXPECT_DOUBLE_EQ(b.max[i], c[i] + half) << axis << i;
        }
        // The local origin is the centre of the bottom face.
        Vec3 bottom = c;
        bottom[axis] -= 2.0;
        const Vec3 local = g->to_local_point(bottom);
        EXPECT_NEAR(length(local), 0.0, 1e-15);
    }
}

TEST(GeometryReader, CylinderAngleThreshold) {
    json j = {{"type", "Cylinder"}, {"reference_plane", "top"}, {"x_cent", 0.0}, {"y_cent", 0.0},
              {"z_cent", 0.0},      {"radius", 1.0},            {"height", 2.0}, {"sidewall_angle", 1e-8}};
    EXPECT_NE(dynamic_cast<Cylinder*>(read_structure_geometry(j).get()), nullptr);
    j["sidewall_angle"] = 0.1;
    const auto g = read_structure_geometry(j);
    const auto* tapered = dynamic_cast<TaperedCylinder*>(g.get());
    ASSERT_NE(tapered, nullptr);
    EXPECT_EQ(tapered->reference_plane, ReferencePlane::Top);
    EXPECT_DOUBLE_EQ(tapered->sidewall_tan, std::tan(0.1));
    // The local origin is the top face centre.
    EXPECT_NEAR(length(g->to_local_point({0.0, 0.0, 1.0})), 0.0, 1e-15);
    EXPECT_DOUBLE_EQ(g->cached_bounds().min.z, -1.0);
    EXPECT_DOUBLE_EQ(g->cached_bounds().max.z, 1.0);

    j["reference_plane"] = "middle";
    EXPECT_EQ(dynamic_cast<TaperedCylinder*>(read_structure_geometry(j).get())->reference_plane,
              ReferencePlane::Middle);
    j["reference_plane"] = "anything";
    const auto bottom = read_structure_geometry(j);
    EXPECT_EQ(dynamic_cast<TaperedCylinder*>(bottom.get())->reference_plane, ReferencePlane::Bottom);
    EXPECT_NEAR(length(bottom->to_local_point({0.0, 0.0, -1.0})), 0.0, 1e-15);
}

TEST(GeometryReader, CylinderWithoutReferencePlaneFails) {
    json j = {{"type", "Cylinder"}, {"x_cent", 0.0}, {"y_cent", 0.0}, {"z_cent", 0.0},
              {"radius", 1.0},      {"height", 2.0}};
    EXPECT_THROW(read_structure_geometry(j), json::type_error);
}

TEST(GeometryReader, MissingKeysRaiseTypeErrors) {
    json j = box_json(0, 0, 0);
    j.erase("z_span");
    EXPECT_THROW(read_structure_geometry(j), json::type_error);
    json s = {{"type", "Box"}, {"x_cent", "1"}};
    EXPECT_THROW(read_structure_geometry(s), json::type_error);
    json notype = {{"x_cent", 1}};
    std::string err;
    testing::internal::CaptureStderr();
    EXPECT_THROW(read_structure_geometry(notype), json::type_error);
    err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "Error: unsupported or malformed geometry type '");
    json array = json::array({1, 2});
    EXPECT_THROW(read_structure_geometry(array), json::type_error);
}

TEST(GeometryReader, UnsupportedTypesPrintAndReturnNull) {
    for (const char* type : {"Torus", "Polyslab", "Mesh"}) {
        json j = {{"type", type}};
        std::string err;
        EXPECT_EQ(read_capturing(j, err), nullptr);
        EXPECT_EQ(err, std::string("Error: unsupported or malformed geometry type '") + type + "'.\n");
    }
}

TEST(GeometryReader, ClipOperationKinds) {
    const std::pair<const char*, int32_t> cases[] = {{"union", CLIP_UNION},
                                                     {"intersection", CLIP_INTERSECTION},
                                                     {"difference", CLIP_DIFFERENCE},
                                                     {"symmetric_difference", CLIP_SYMMETRIC_DIFFERENCE},
                                                     {"other", CLIP_UNION}};
    for (const auto& [name, code] : cases) {
        json j = {{"type", "ClipOperation"}, {"operation", name}, {"operand_a", box_json(0, 0, 0)},
                  {"operand_b", box_json(1, 0, 0)}};
        const auto g = read_structure_geometry(j);
        const auto* clip = dynamic_cast<ClipOperation*>(g.get());
        ASSERT_NE(clip, nullptr);
        EXPECT_EQ(clip->operation, code) << name;
        EXPECT_TRUE(clip->has_edges);
    }
    json missing = {{"type", "ClipOperation"}, {"operand_a", box_json(0, 0, 0)}, {"operand_b", box_json(1, 0, 0)}};
    EXPECT_EQ(dynamic_cast<ClipOperation*>(read_structure_geometry(missing).get())->operation, CLIP_UNION);
    json numeric = missing;
    numeric["operation"] = 1;
    EXPECT_EQ(dynamic_cast<ClipOperation*>(read_structure_geometry(numeric).get())->operation, CLIP_UNION);
}

TEST(GeometryReader, ClipOperationReadsBothOperandsAndFailsOnEither) {
    json j = {{"type", "ClipOperation"}, {"operand_a", {{"type", "Torus"}}}, {"operand_b", {{"type", "Cone"}}}};
    std::string err;
    EXPECT_EQ(read_capturing(j, err), nullptr);
    EXPECT_EQ(err,
              "Error: unsupported or malformed geometry type 'Torus'.\n"
              "Error: unsupported or malformed geometry type 'Cone'.\n");
    // A missing operand reads as null: the message begins, then the type error leaves.
    json no_b = {{"type", "ClipOperation"}, {"operand_a", box_json(0, 0, 0)}};
    testing::internal::CaptureStderr();
    EXPECT_THROW(read_structure_geometry(no_b), json::type_error);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Error: unsupported or malformed geometry type '");
}

TEST(GeometryReader, GroupStopsAtFirstFailedMember) {
    json j = {{"type", "GeometryGroup"},
              {"geometries", {box_json(0, 0, 0), {{"type", "Torus"}}, {{"type", "Cone"}}}}};
    std::string err;
    EXPECT_EQ(read_capturing(j, err), nullptr);
    EXPECT_EQ(err, "Error: unsupported or malformed geometry type 'Torus'.\n");

    json empty = {{"type", "GeometryGroup"}};
    const auto g = read_structure_geometry(empty);
    const auto* group = dynamic_cast<GeometryGroup*>(g.get());
    ASSERT_NE(group, nullptr);
    EXPECT_TRUE(group->members.empty());
    EXPECT_FALSE(g->contains({0.0, 0.0, 0.0}, true, 1.0));
}

TEST(GeometryReader, GroupMembersInOrder) {
    json j = {{"type", "GeometryGroup"}, {"geometries", {box_json(0, 0, 0), box_json(5, 0, 0)}}};
    const auto g = read_structure_geometry(j);
    const auto* group = dynamic_cast<GeometryGroup*>(g.get());
    ASSERT_NE(group, nullptr);
    ASSERT_EQ(group->members.size(), 2u);
    EXPECT_DOUBLE_EQ(group->members[1]->cached_bounds().min.x, 4.0);
    EXPECT_EQ(g->cached_bounds().min, (Vec3{-1.0, -1.0, -1.0}));
    EXPECT_EQ(g->cached_bounds().max, (Vec3{6.0, 1.0, 1.0}));
    EXPECT_EQ(group->group_tree, nullptr);
}

TEST(GeometryReader, TransformedFoldsIntoInnerTransform) {
    // Column-vector file matrix: scale x by 2, then translate by (10, 0, 0).
    json j = {{"type", "Transformed"},
              {"transform", {{2, 0, 0, 10}, {0, 1, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}}},
              {"geometry", box_json(1, 0, 0)}};
    const auto g = read_structure_geometry(j);
    ASSERT_NE(dynamic_cast<Box*>(g.get()), nullptr);
    // The box [0, 2] in x becomes [10, 14].
    EXPECT_DOUBLE_EQ(g->cached_bounds().min.x, 10.0);
    EXPECT_DOUBLE_EQ(g->cached_bounds().max.x, 14.0);
    EXPECT_DOUBLE_EQ(g->local_scale, 1.0);
    EXPECT_TRUE(g->contains(g->to_local_point({13.9, 0.0, 0.0}), true, 0.0));
    EXPECT_FALSE(g->contains(g->to_local_point({14.1, 0.0, 0.0}), true, 0.0));

    // Nested: the outer matrix applies after the inner one.
    json nested = {{"type", "Transformed"},
                   {"transform", {{1, 0, 0, 0}, {0, 1, 0, 5}, {0, 0, 1, 0}, {0, 0, 0, 1}}},
                   {"geometry", j}};
    const auto n = read_structure_geometry(nested);
    EXPECT_DOUBLE_EQ(n->cached_bounds().min.x, 10.0);
    EXPECT_DOUBLE_EQ(n->cached_bounds().min.y, 4.0);

    json bad = {{"type", "Transformed"}, {"geometry", box_json(0, 0, 0)}};
    EXPECT_THROW(read_structure_geometry(bad), json::type_error);
    json failed = {{"type", "Transformed"},
                   {"transform", {{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}}},
                   {"geometry", {{"type", "Torus"}}}};
    std::string err;
    EXPECT_EQ(read_capturing(failed, err), nullptr);
}

TEST(GeometryReader, WrapperAxisReplacesInnerOnlyWhenGiven) {
    json inner = box_json(0, 0, 0);
    inner["axis"] = "x";
    json j = {{"type", "Transformed"},
              {"transform", {{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}}},
              {"geometry", inner}};
    EXPECT_EQ(read_structure_geometry(j)->axis_index, 0);
    j["axis"] = "y";
    EXPECT_EQ(read_structure_geometry(j)->axis_index, 1);
    j.erase("axis");
    j["2dmaterial"] = 1;
    j["normal_axis"] = 2;
    const auto g = read_structure_geometry(j);
    EXPECT_EQ(g->axis_index, 2);
    EXPECT_TRUE(g->planar);

    json group = {{"type", "GeometryGroup"}, {"geometries", {box_json(0, 0, 0)}}, {"axis", "x"}};
    EXPECT_EQ(read_structure_geometry(group)->axis_index, 0);

    // A sliced shape keeps slicing along the axis its own sections change along (here x, the
    // slab's extrusion axis), whatever axis the wrapping object gives for its other uses.
    json slab = {{"type", "PolySlab"}, {"axis", "x"}, {"z_cent", 0.0}, {"z_size", 1.0}, {"sidewall_angle", 0.2},
                 {"vertices", {{0, 0}, {2, 0}, {2, 1}, {1, 1}, {1, 2}, {0, 2}}}};
    const json identity = {{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}};
    const json wrappers[] = {
        {{"type", "Transformed"}, {"axis", "y"}, {"transform", identity}, {"geometry", slab}},
        {{"type", "GeometryGroup"}, {"axis", "y"}, {"geometries", {box_json(5, 5, 5), slab}}},
        {{"type", "ClipOperation"}, {"axis", "y"}, {"operand_a", box_json(5, 5, 5)}, {"operand_b", slab}},
        {{"type", "Transformed"}, {"2dmaterial", 1}, {"normal_axis", 1}, {"transform", identity}, {"geometry", slab}},
    };
    for (json w : wrappers) {
        const auto g = read_structure_geometry(w);
        ASSERT_TRUE(g);
        EXPECT_TRUE(g->uses_slices()) << w.dump();
        EXPECT_EQ(g->axis_index, 1) << w.dump();
        EXPECT_EQ(g->slice_axis(), 0) << w.dump();
    }
}

// A box wrapped in `levels` groups of one member each.
static json nested_groups(int levels) {
    json j = box_json(0, 0, 0);
    for (int i = 0; i < levels; ++i) {
        json group = {{"type", "GeometryGroup"}, {"geometries", json::array()}};
        group["geometries"].push_back(std::move(j));
        j = std::move(group);
    }
    return j;
}

TEST(GeometryReader, NestingIsBoundedSoDeepInputCannotExhaustTheStack) {
    json allowed = nested_groups(64);
    const auto g = read_structure_geometry(allowed);
    ASSERT_TRUE(g);
    EXPECT_TRUE(g->contains(g->to_local_point({0.5, 0.5, 0.5}), false, 1e-6));

    json too_deep = nested_groups(65);
    EXPECT_EQ(read_structure_geometry(too_deep), nullptr);
    json very_deep = nested_groups(100000);
    EXPECT_EQ(read_structure_geometry(very_deep), nullptr);
}
