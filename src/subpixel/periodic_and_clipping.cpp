#include "subpixel/periodic_and_clipping.h"

#include <algorithm>

#include "common/tolerance.h"

Vec3 wrap_periodic(const SimulationSpec& spec, Vec3& point) {
    Vec3 shift;
    const double t = spec.bounds_tolerance;
    for (int a = 0; a < 3; ++a) {
        if (!spec.periodic_boundary[a]) continue;
        const double size = spec.simulation_size[a];
        if (point[a] >= spec.simulation_bounds[a].second - t) {
            point[a] -= size;
            shift[a] = -size;
        } else if (point[a] < spec.simulation_bounds[a].first - t) {
            point[a] += size;
            shift[a] = size;
        }
    }
    return shift;
}

namespace {

bool below_min(const SimulationSpec& spec, int a, double x) {
    return spec.apply_extrusion_bounds[a].first &&
           spec.extrusion_clipping_bounds[a].first - spec.extrusion_bound_tolerance[a].first > x;
}

bool above_max(const SimulationSpec& spec, int a, double x) {
    return spec.apply_extrusion_bounds[a].second &&
           x > spec.extrusion_clipping_bounds[a].second + spec.extrusion_bound_tolerance[a].second;
}

}  // namespace

void clamp_to_clipping_bounds(const SimulationSpec& spec, Vec3& point) {
    for (int a = 0; a < 3; ++a) {
        if (below_min(spec, a, point[a])) point[a] = spec.extrusion_clipping_bounds[a].first;
        if (above_max(spec, a, point[a])) point[a] = spec.extrusion_clipping_bounds[a].second;
    }
}

std::array<bool, 3> outside_clipping_bounds(const SimulationSpec& spec, const Vec3& point) {
    std::array<bool, 3> flags{};
    for (int a = 0; a < 3; ++a) flags[a] = below_min(spec, a, point[a]) || above_max(spec, a, point[a]);
    return flags;
}

Vec3 clip_normal(const SimulationSpec& spec, const Vec3& normal, const Vec3& point) {
    Vec3 clipped = normal;
    const std::array<bool, 3> flags = outside_clipping_bounds(spec, point);
    for (int a = 0; a < 3; ++a)
        if (flags[a]) clipped[a] = 0.0;
    normalize_vec3(clipped);
    return clipped;
}

double normalize_vec3(Vec3& v) {
    const double len = length(v);
    v = v / std::max(len, ZERO_LENGTH);
    return len;
}
