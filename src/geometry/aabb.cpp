#include "geometry/aabb.h"

#include <cmath>

double signed_distance(const Aabb& box, const Vec3& p) {
    double outside = 0.0;
    double deepest = -DBL_MAX;
    for (int i = 0; i < 3; ++i) {
        const double below = box.min[i] - p[i];
        const double above = p[i] - box.max[i];
        const double d = below > above ? below : above;
        if (d > 0.0) outside += d * d;
        if (d > deepest) deepest = d;
    }
    return outside > 0.0 ? std::sqrt(outside) : deepest;
}
