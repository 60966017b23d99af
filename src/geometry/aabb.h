#pragma once

#include <cfloat>

#include "common/vec3.h"

// Axis-aligned box in world coordinates. The default box is empty (min = +DBL_MAX,
// max = -DBL_MAX on every axis) and contains nothing.
struct Aabb {
    Vec3 min{DBL_MAX, DBL_MAX, DBL_MAX};
    Vec3 max{-DBL_MAX, -DBL_MAX, -DBL_MAX};

    // Grows the box to hold p.
    void include(const Vec3& p) {
        for (int i = 0; i < 3; ++i) {
            if (p[i] < min[i]) min[i] = p[i];
            if (p[i] > max[i]) max[i] = p[i];
        }
    }
    // Grows the box to hold o.
    void include(const Aabb& o) {
        for (int i = 0; i < 3; ++i) {
            if (o.min[i] < min[i]) min[i] = o.min[i];
            if (o.max[i] > max[i]) max[i] = o.max[i];
        }
    }
    // p lies in the box grown by tol on every side (false for a NaN coordinate).
    bool contains(const Vec3& p, double tol) const {
        for (int i = 0; i < 3; ++i) {
            if (!(p[i] >= min[i] - tol && p[i] <= max[i] + tol)) return false;
        }
        return true;
    }
    Vec3 centre() const { return (min + max) * 0.5; }
};

// The common part of a and b (max of the mins, min of the maxes).
inline Aabb intersection(const Aabb& a, const Aabb& b) {
    Aabb r;
    for (int i = 0; i < 3; ++i) {
        r.min[i] = a.min[i] > b.min[i] ? a.min[i] : b.min[i];
        r.max[i] = a.max[i] < b.max[i] ? a.max[i] : b.max[i];
    }
    return r;
}

// Signed distance from p to the box surface: negative inside, Euclidean outside.
double signed_distance(const Aabb& box, const Vec3& p);
