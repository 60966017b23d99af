#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "common/vec3.h"
#include "geometry/aabb.h"
#include "geometry/transform.h"
#include "geometry/vec2.h"

// A shape with its own local frame. Every query except bounds() works in local coordinates:
// callers map a world point with to_local_point(), multiply a world tolerance by local_scale
// and map returned directions back with to_world_direction().
//
// Queries are const and lock-free, so many threads may ask one shape at once; only
// prepare_slice() mutates a shape and it runs between parallel regions.
class Geometry {
public:
    Geometry(const Transform& transform, bool has_edges);
    virtual ~Geometry();
    Geometry(const Geometry&) = delete;
    Geometry& operator=(const Geometry&) = delete;

    // World bounds. Callers use cached_bounds().
    virtual Aabb bounds() const = 0;
    // The axis of the shape in its frame of reference; axis_index unless overridden.
    virtual int32_t axis() const;
    // p lies inside the shape grown by tol. `exact` matters only to shapes that use slices
    // (false lets them answer from the section cached by the last prepare_slice).
    virtual bool contains(const Vec3& p, bool exact, double tol) const = 0;
    // p lies on a sharp edge within tol; wedge_angle is the interior dihedral angle (radians)
    // and edge_axis the local axis along which the edge runs. Default: no edge.
    virtual bool edge_at(const Vec3& p, double tol, double& wedge_angle, int32_t& edge_axis) const;
    // Caches what the shape needs for queries at the height of p. Default: nothing.
    virtual void prepare_slice(const Vec3& p);
    // p lies within the shape's extent along its axis grown by tol. Default: internal error.
    virtual bool within_axial_extent(const Vec3& p, double tol) const;
    // Outward in-plane normal at the nearest boundary of the cross-section normal to the axis
    // (components along the two other axes in ascending order, not necessarily unit length);
    // dist is the signed in-plane distance (negative inside); unique is cleared when another
    // part of the boundary is about as near. Default: internal error.
    virtual Vec2 planar_normal(const Vec3& p, double& dist, bool& unique, double tol) const;
    // Outward direction normal to the nearest surface (not necessarily unit length); dist is
    // the signed distance to it (negative inside); unique is cleared when another surface is
    // about as near. in_plane is passed through to the members of composites.
    virtual Vec3 surface_normal(const Vec3& p, double& dist, bool& unique, bool in_plane, double tol) const = 0;
    // The answers depend on the last prepare_slice(). Default: false.
    virtual bool uses_slices() const;
    // The world axis along which the sections cached by prepare_slice() change: a sliced shape
    // is painted one position of this axis at a time. It belongs to the shape's own sections, so
    // a wrapper's "axis" (which replaces axis_index) does not change it. Default: axis_index.
    virtual int32_t slice_axis() const;

    // bounds(), computed once. Filled by the reader before any parallel use; the first fill is
    // nevertheless safe from several threads.
    const Aabb& cached_bounds() const;

    Vec3 to_local_point(const Vec3& world) const { return transform_point(transform.to_local, world); }
    Vec3 to_world_direction(const Vec3& local) const { return transform_direction(transform.to_world, local); }

    // Local-to-world mapping, including every enclosing transform and the shape's placement.
    const Transform transform;
    // Largest norm of the rows of the upper-left 3x3 block of to_local: the factor that turns a
    // world tolerance into a local one.
    const double local_scale;
    // The shape's axis (0 x, 1 y, 2 z), or the normal axis of a planar sheet.
    int32_t axis_index = 2;
    // A 2D material sheet.
    bool planar = false;
    // edge_at() reports sharp edges.
    const bool has_edges;
    // Inside/outside may be judged from the orientation of the nearest surface element.
    bool sign_from_nearest_face = true;

protected:
    // The local box [lo, hi] mapped to world coordinates (its eight corners, min and max).
    Aabb world_box(const Vec3& lo, const Vec3& hi) const;

private:
    mutable std::atomic<bool> bounds_cached_{false};
    mutable std::mutex bounds_mutex_;
    mutable Aabb bounds_cache_;
};

// -1, 0 or +1 (0 for NaN).
inline double sign_of(double x) { return static_cast<double>((x > 0.0) - (x < 0.0)); }

// v divided by max(|v|, 2^-23): a zero vector stays zero.
Vec3 normalized(const Vec3& v);
