#include "geometry/geometry.h"

#include <cmath>

#include "common/internal_error.h"
#include "common/tolerance.h"

namespace {

double largest_row_norm(const Matrix4& m) {
    double best = 0.0;
    for (int i = 0; i < 3; ++i) {
        const double n = std::sqrt(m[i][0] * m[i][0] + m[i][1] * m[i][1] + m[i][2] * m[i][2]);
        if (n > best) best = n;
    }
    return best;
}

}  // namespace

Geometry::Geometry(const Transform& transform, bool has_edges)
    : transform(transform), local_scale(largest_row_norm(transform.to_local)), has_edges(has_edges) {}

Geometry::~Geometry() = default;

int32_t Geometry::axis() const { return axis_index; }

bool Geometry::edge_at(const Vec3&, double, double&, int32_t&) const { return false; }

void Geometry::prepare_slice(const Vec3&) {}

bool Geometry::within_axial_extent(const Vec3&, double) const { internal_error(); }

Vec2 Geometry::planar_normal(const Vec3&, double&, bool&, double) const { internal_error(); }

bool Geometry::uses_slices() const { return false; }

int32_t Geometry::slice_axis() const { return axis_index; }

const Aabb& Geometry::cached_bounds() const {
    if (!bounds_cached_.load(std::memory_order_acquire)) {
        std::lock_guard<std::mutex> lock(bounds_mutex_);
        if (!bounds_cached_.load(std::memory_order_relaxed)) {
            bounds_cache_ = bounds();
            bounds_cached_.store(true, std::memory_order_release);
        }
    }
    return bounds_cache_;
}

Aabb Geometry::world_box(const Vec3& lo, const Vec3& hi) const {
    Aabb box;
    for (int corner = 0; corner < 8; ++corner) {
        const Vec3 p{(corner & 4) ? hi.x : lo.x, (corner & 2) ? hi.y : lo.y, (corner & 1) ? hi.z : lo.z};
        box.include(transform_point(transform.to_world, p));
    }
    return box;
}

Vec3 normalized(const Vec3& v) {
    const double len = length(v);
    return v / (len > ZERO_LENGTH ? len : ZERO_LENGTH);
}
