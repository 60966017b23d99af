#include "geometry/geometry_reader.h"

#include <cmath>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "common/internal_error.h"
#include "common/tolerance.h"
#include "geometry/box.h"
#include "geometry/clip_operation.h"
#include "geometry/cylinder.h"
#include "geometry/geometry.h"
#include "geometry/geometry_group.h"
#include "geometry/sphere.h"
#include "geometry/transform.h"

namespace {

using nlohmann::json;

// Composite and transformed objects nest; deeper nesting than this is rejected as malformed so
// that neither reading nor the shapes' recursive queries can exhaust the stack.
constexpr int MAX_GEOMETRY_NESTING = 64;

std::shared_ptr<Geometry> read_nested(json& j, const Transform& outer, int depth);

Vec3 read_centre(json& j) {
    return {j["x_cent"].get<double>(), j["y_cent"].get<double>(), j["z_cent"].get<double>()};
}

Vec3 unit_along(int axis) {
    Vec3 e;
    e[axis] = 1.0;
    return e;
}

std::shared_ptr<Geometry> read_box(json& j, const Transform& outer) {
    const Vec3 centre = read_centre(j);
    const Vec3 span{j["x_span"].get<double>(), j["y_span"].get<double>(), j["z_span"].get<double>()};
    return std::make_shared<Box>(outer.after(Transform::translation(centre)), span * 0.5);
}

std::shared_ptr<Geometry> read_sphere(json& j, const Transform& outer) {
    const Vec3 centre = read_centre(j);
    const double radius = j["radius"].get<double>();
    return std::make_shared<Sphere>(outer.after(Transform::translation(centre)), radius);
}

std::shared_ptr<Geometry> read_cylinder(json& j, const Transform& outer, int axis) {
    const std::string reference_plane = j["reference_plane"].get<std::string>();
    const Vec3 centre = read_centre(j);
    const double radius = j["radius"].get<double>();
    const double height = j["height"].get<double>();
    const double angle = j.contains("sidewall_angle") ? j["sidewall_angle"].get<double>() : 0.0;
    const Vec3 half_axis = unit_along(axis) * (height / 2.0);
    const Transform permutation = Transform::axis_permutation(axis);

    if (std::fabs(angle) <= ZERO_LENGTH) {
        const Transform frame = outer.after(Transform::translation(centre - half_axis)).after(permutation);
        return std::make_shared<Cylinder>(frame, radius, height);
    }
    Vec3 reference = centre - half_axis;
    ReferencePlane plane = ReferencePlane::Bottom;
    if (reference_plane == "top") {
        reference = centre + half_axis;
        plane = ReferencePlane::Top;
    } else if (reference_plane == "middle") {
        reference = centre;
        plane = ReferencePlane::Middle;
    }
    const Transform frame = outer.after(Transform::translation(reference)).after(permutation);
    return std::make_shared<TaperedCylinder>(frame, radius, height, angle, plane);
}

std::shared_ptr<Geometry> read_clip_operation(json& j, const Transform& outer, int depth) {
    json& op = j["operation"];
    int32_t operation = CLIP_UNION;
    if (op == "intersection")
        operation = CLIP_INTERSECTION;
    else if (op == "difference")
        operation = CLIP_DIFFERENCE;
    else if (op == "symmetric_difference")
        operation = CLIP_SYMMETRIC_DIFFERENCE;
    std::shared_ptr<Geometry> a = read_nested(j["operand_a"], outer, depth + 1);
    std::shared_ptr<Geometry> b = read_nested(j["operand_b"], outer, depth + 1);
    if (!a || !b) return nullptr;
    return std::make_shared<ClipOperation>(std::move(a), std::move(b), operation);
}

std::shared_ptr<Geometry> read_geometry_group(json& j, const Transform& outer, int depth) {
    std::vector<std::shared_ptr<Geometry>> members;
    for (json& member_json : j["geometries"]) {
        std::shared_ptr<Geometry> member = read_nested(member_json, outer, depth + 1);
        if (!member) return nullptr;
        members.push_back(std::move(member));
    }
    return std::make_shared<GeometryGroup>(std::move(members));
}

std::shared_ptr<Geometry> read_transformed(json& j, const Transform& outer, int depth) {
    json& matrix = j["transform"];
    Matrix4 to_world{};
    // The file uses column vectors (translation in the last column); internally the transpose.
    for (int i = 0; i < 4; ++i)
        for (int k = 0; k < 4; ++k) to_world[k][i] = matrix[i][k].get<double>();
    const Transform inner = outer.after(Transform::from_to_world(to_world));
    return read_nested(j["geometry"], inner, depth + 1);
}

std::shared_ptr<Geometry> report_unsupported(json& type) {
    std::fputs("Error: unsupported or malformed geometry type '", stderr);
    const std::string name = type.get<std::string>();
    std::fputs(name.c_str(), stderr);
    std::fputs("'.\n", stderr);
    std::fflush(stderr);
    return nullptr;
}

std::shared_ptr<Geometry> read_nested(json& j, const Transform& outer, int depth) {
    if (depth > MAX_GEOMETRY_NESTING) return nullptr;
    int axis = 2;
    const bool axis_given = j.contains("axis");
    if (axis_given) {
        const std::string name = j["axis"].get<std::string>();
        axis = name == "x" ? 0 : (name == "y" ? 1 : 2);
    }

    // Shapes built from other objects have an axis of their own (computed from their members or
    // read with the inner object); the wrapping object's settings replace it only when given.
    bool wrapper = false;
    std::shared_ptr<Geometry> geometry;
    json& type = j["type"];
    if (type == "Box") {
        geometry = read_box(j, outer);
    } else if (type == "Sphere") {
        geometry = read_sphere(j, outer);
    } else if (type == "Cylinder") {
        geometry = read_cylinder(j, outer, axis);
    } else if (type == "ClipOperation") {
        wrapper = true;
        geometry = read_clip_operation(j, outer, depth);
    } else if (type == "GeometryGroup") {
        wrapper = true;
        geometry = read_geometry_group(j, outer, depth);
    } else if (type == "Transformed") {
        wrapper = true;
        geometry = read_transformed(j, outer, depth);
    } else {
        // Also "TriangleMesh" and "PolySlab" until their shapes exist.
        geometry = report_unsupported(type);
    }

    const bool planar = j["2dmaterial"] == 1;
    if (planar) {
        if (!j.contains("normal_axis")) internal_error();
        const int normal_axis = j["normal_axis"].get<int>();
        if (normal_axis < 0 || normal_axis > 2 || !outer.keeps_axis(normal_axis)) internal_error();
        axis = normal_axis;
    }

    if (!geometry) return nullptr;
    if (!wrapper || axis_given || planar) geometry->axis_index = axis;
    if (planar) geometry->planar = true;
    geometry->cached_bounds();
    return geometry;
}

}  // namespace

std::shared_ptr<Geometry> read_geometry(nlohmann::json& j, const Transform& outer) { return read_nested(j, outer, 0); }

std::shared_ptr<Geometry> read_structure_geometry(nlohmann::json& entry) {
    return read_geometry(entry, Transform::identity());
}
