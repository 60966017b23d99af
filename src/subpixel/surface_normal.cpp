#include "subpixel/surface_normal.h"

#include <cmath>

#include "common/tolerance.h"
#include "geometry/geometry.h"

WorldNormal surface_normal_world(const Geometry& geometry, const Vec3& point, double tol, bool in_plane,
                                 double& distance, bool& unique) {
    const Vec3 local = geometry.to_local_point(point);
    const double local_tol = tol * geometry.local_scale;
    unique = true;
    Vec3 normal;
    if (in_plane && geometry.planar && geometry.within_axial_extent(local, local_tol)) {
        const Vec2 uv = geometry.planar_normal(local, distance, unique, local_tol);
        const int k = geometry.axis();
        const int u = k == 0 ? 1 : 0;
        const int v = k == 2 ? 1 : 2;
        normal[u] = uv.x;
        normal[v] = uv.y;
    } else {
        normal = geometry.surface_normal(local, distance, unique, in_plane, local_tol);
    }
    const Vec3 w = geometry.to_world_direction(normalized(normal));
    const double stretch = length(w);
    if (stretch > ZERO_LENGTH) distance *= stretch;
    return {w / (stretch > ZERO_LENGTH ? stretch : ZERO_LENGTH), stretch};
}

int aligned_axis(const Vec3& direction) {
    int best = 0;
    for (int i = 1; i < 3; ++i) {
        if (std::fabs(direction[i]) > std::fabs(direction[best])) best = i;
    }
    return std::fabs(std::fabs(direction[best]) - 1.0) <= 5.0 * ZERO_LENGTH ? best : -1;
}
