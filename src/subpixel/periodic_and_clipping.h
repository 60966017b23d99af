#pragma once

#include <array>

#include "common/vec3.h"
#include "spec/simulation_spec.h"

// Moves the point into the periodic simulation box along every periodic axis; the accepted
// interval is [min - t, max - t) with t the bounds tolerance. Returns the shift applied per axis
// (-size, 0 or +size).
Vec3 wrap_periodic(const SimulationSpec& spec, Vec3& point);

// Clamps each coordinate lying beyond an active clipping plane by more than its tolerance onto
// that plane.
void clamp_to_clipping_bounds(const SimulationSpec& spec, Vec3& point);

// Per axis, whether the point lies beyond an active clipping plane by more than its tolerance.
std::array<bool, 3> outside_clipping_bounds(const SimulationSpec& spec, const Vec3& point);

// The normal with its components along the axes where the point lies beyond a clipping plane
// removed, normalized (a zero vector stays zero).
Vec3 clip_normal(const SimulationSpec& spec, const Vec3& normal, const Vec3& point);

// Divides v by max(|v|, 2^-23) and returns |v| before the division.
double normalize_vec3(Vec3& v);
