#include "geometry/geometry_reader.h"

#include <cmath>
#include <cstdio>
#include <stdexcept>
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
#include "geometry/poly_slab.h"
#include "geometry/slab_triangulation.h"
#include "geometry/sphere.h"
#include "geometry/tapered_poly_slab.h"
#include "geometry/transform.h"
#include "geometry/triangle_mesh.h"

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

Vec3 read_point(json& j) { return {j[0].get<double>(), j[1].get<double>(), j[2].get<double>()}; }

std::shared_ptr<Geometry> read_triangle_mesh(json& j, const Transform& outer) {
    std::vector<TriangleRecord> triangles;
    for (json& triangle : j["vectors"])
        triangles.emplace_back(read_point(triangle[0]), read_point(triangle[1]), read_point(triangle[2]));
    return std::make_shared<TriangleMesh>(outer, std::move(triangles));
}

double read_optional(json& j, const char* key) { return j.contains(key) ? j[key].get<double>() : 0.0; }

std::shared_ptr<Geometry> read_poly_slab(json& j, const Transform& outer, int axis) {
    const double z_cent = j["z_cent"].get<double>();
    const double z_size = j["z_size"].get<double>();
    std::vector<Vec2> vertices;
    for (json& vertex : j["vertices"]) vertices.push_back({vertex[0].get<double>(), vertex[1].get<double>()});
    std::vector<double> bulges;
    if (j.contains("bulges"))
        for (json& bulge : j["bulges"]) bulges.push_back(bulge.get<double>());
    const double angle = read_optional(j, "sidewall_angle");
    const double dilation = read_optional(j, "dilation");
    const Transform permutation = Transform::axis_permutation(axis);

    if (std::fabs(angle) <= ZERO_LENGTH) {
        const Transform frame = outer.after(Transform::translation(unit_along(axis) * (z_cent - z_size / 2.0)))
                                    .after(permutation);
        return std::make_shared<PolySlab>(frame, z_size, vertices, bulges, dilation);
    }
    const Transform frame = outer.after(Transform::translation(unit_along(axis) * z_cent)).after(permutation);
    if (outer.keeps_axis(axis)) return std::make_shared<TaperedPolySlab>(frame, vertices, z_size, dilation, angle);
    // A tilted axis: the slab becomes a closed triangle surface. An outline that bounds no
    // surface makes the structure malformed; a failure to build a well-formed one (running out
    // of memory) is no malformed geometry and leaves the reader, failing the load as such.
    std::vector<TriangleRecord> triangles;
    try {
        triangles = triangulate_slab(vertices, z_size, dilation, angle);
    } catch (const std::invalid_argument&) {
        return nullptr;
    }
    return std::make_shared<TriangleMesh>(frame, std::move(triangles));
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
    } else if (type == "TriangleMesh") {
        geometry = read_triangle_mesh(j, outer);
    } else if (type == "PolySlab") {
        geometry = read_poly_slab(j, outer, axis);
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
