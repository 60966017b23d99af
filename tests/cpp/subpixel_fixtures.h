#pragma once

// Helpers of the measurement tests: a flat half-space shape, structure lists and the eleven
// points of a field component's neighbourhood.

#include <array>
#include <atomic>
#include <cfloat>
#include <cmath>
#include <memory>
#include <utility>

#include "common/vec3.h"
#include "geometry/geometry.h"
#include "spec/simulation_spec.h"

namespace subpixel_test {

// The half-space normal · x <= offset (normal of unit length). Counts its inside tests.
class HalfSpace final : public Geometry {
public:
    HalfSpace(const Vec3& normal, double offset) : Geometry(Transform::identity(), false), n(normal), c(offset) {}

    Aabb bounds() const override {
        Aabb box;
        box.include(Vec3{-1e30, -1e30, -1e30});
        box.include(Vec3{1e30, 1e30, 1e30});
        return box;
    }
    bool contains(const Vec3& p, bool, double tol) const override {
        contains_calls.fetch_add(1);
        return dot(n, p) - c <= tol;
    }
    Vec3 surface_normal(const Vec3& p, double& dist, bool& unique, bool, double) const override {
        dist = dot(n, p) - c;
        unique = true;
        return n;
    }

    const Vec3 n;
    const double c;
    mutable std::atomic<int> contains_calls{0};
};

// Everything except a small ball around `hole`: a shape that one chosen sample point misses.
class AllButBall final : public Geometry {
public:
    AllButBall(const Vec3& hole, double radius) : Geometry(Transform::identity(), false), hole(hole), radius(radius) {}
    Aabb bounds() const override {
        Aabb box;
        box.include(Vec3{-1e30, -1e30, -1e30});
        box.include(Vec3{1e30, 1e30, 1e30});
        return box;
    }
    bool contains(const Vec3& p, bool, double) const override {
        contains_calls.fetch_add(1);
        return length(p - hole) > radius;
    }
    Vec3 surface_normal(const Vec3& p, double& dist, bool& unique, bool, double) const override {
        dist = radius - length(p - hole);
        unique = true;
        return hole - p;
    }
    const Vec3 hole;
    const double radius;
    mutable std::atomic<int> contains_calls{0};
};

inline std::shared_ptr<Structure> structure(std::shared_ptr<Geometry> geometry, int32_t medium_index) {
    auto s = std::make_shared<Structure>();
    s->geometry = std::move(geometry);
    s->medium_index = medium_index;
    return s;
}

// The eleven points around an Ex component at the origin: poles at -a1 and +a2 along x, a ring of
// cell centres at y in {-b1, b2} and z in {-c1, c2}, and the four points between ring neighbours.
inline std::array<Vec3, 11> ex_neighbourhood(double a1, double a2, double b1, double b2, double c1, double c2) {
    return {{{0, 0, 0},
             {-a1, 0, 0},
             {a2, 0, 0},
             {0, -b1, -c1},
             {0, b2, -c1},
             {0, b2, c2},
             {0, -b1, c2},
             {0, 0, -c1},
             {0, b2, 0},
             {0, 0, c2},
             {0, -b1, 0}}};
}

// Volume of {x in tetrahedron p : n · x <= c} by the closed formula for a simplex cut by a half
// space: V · sum_i (c - h_i)_+^3 / prod_{j != i} (h_j - h_i), with h_i = n · p_i pairwise distinct
// (callers keep the h_i well apart).
inline double cut_volume(const Vec3 (&p)[4], const Vec3& n, double c) {
    const double volume = std::fabs(dot(p[1] - p[0], cross(p[2] - p[0], p[3] - p[0]))) / 6.0;
    double h[4];
    for (int i = 0; i < 4; ++i) h[i] = dot(n, p[i]);
    double sum = 0.0;
    for (int i = 0; i < 4; ++i) {
        const double below = c - h[i] > 0.0 ? c - h[i] : 0.0;
        double denominator = 1.0;
        for (int j = 0; j < 4; ++j)
            if (j != i) denominator *= h[j] - h[i];
        sum += below * below * below / denominator;
    }
    return volume * sum;
}

// The smallest difference of n · p_i between two corners.
inline double min_gap(const Vec3 (&p)[4], const Vec3& n) {
    double gap = 1e300;
    for (int i = 0; i < 4; ++i)
        for (int j = i + 1; j < 4; ++j) gap = std::fmin(gap, std::fabs(dot(n, p[i]) - dot(n, p[j])));
    return gap;
}

}  // namespace subpixel_test
