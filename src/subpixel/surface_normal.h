#pragma once

#include "common/vec3.h"

class Geometry;

// A world-space unit normal and the stretch L of the local normal under the shape's
// local-to-world mapping.
struct WorldNormal {
    Vec3 normal;
    double scale = 0.0;
};

// Outward unit normal, in world coordinates, of the surface of `geometry` nearest to the world
// point. With in_plane set, a planar sheet whose axial extent holds the point answers with its
// in-plane normal instead. `distance` is in/out: the shape overwrites the caller's start value
// with its signed local distance, rescaled here to world units. `unique` is set to true and
// cleared when the normal is ambiguous. Reentrant and allocation-free.
WorldNormal surface_normal_world(const Geometry& geometry, const Vec3& point, double tol, bool in_plane,
                                 double& distance, bool& unique);

// The world axis (0, 1, 2) a direction is aligned with (largest absolute component within
// 5·2^-23 of 1), or -1.
int aligned_axis(const Vec3& direction);
