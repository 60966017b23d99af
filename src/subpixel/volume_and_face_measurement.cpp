#include "subpixel/volume_and_face_measurement.h"

#include <cmath>

#include "common/internal_error.h"
#include "common/medium_index.h"
#include "common/tolerance.h"
#include "geometry/geometry.h"
#include "spec/simulation_spec.h"
#include "subpixel/periodic_and_clipping.h"
#include "subpixel/surface_normal.h"

namespace {

bool inside(const InterfacePoint& p) { return p.distance <= 0.0; }

// +1 for an even permutation of (0, 1, 2, 3), -1 for an odd one.
double permutation_sign(const int (&order)[4]) {
    int inversions = 0;
    for (int i = 0; i < 4; ++i)
        for (int j = i + 1; j < 4; ++j)
            if (order[i] > order[j]) ++inversions;
    return inversions % 2 == 0 ? 1.0 : -1.0;
}

// Where the plane of inside corner I crosses the edge towards outside corner O.
Vec3 crossing_point(const InterfacePoint& i, const InterfacePoint& o) {
    const Vec3 edge = o.point - i.point;
    return i.point + edge * crossing(o.point, i.point, -i.distance, dot(edge, i.normal));
}

void clamp_and_wrap(const SimulationSpec& spec, Vec3& p) {
    clamp_to_clipping_bounds(spec, p);
    wrap_periodic(spec, p);
}

bool any_periodic(const SimulationSpec& spec) {
    return spec.periodic_boundary[0] || spec.periodic_boundary[1] || spec.periodic_boundary[2];
}

bool any_outside(const SimulationSpec& spec, const Vec3& x) {
    const std::array<bool, 3> flags = outside_clipping_bounds(spec, x);
    return flags[0] || flags[1] || flags[2];
}

}  // namespace

double tetrahedron_volume(const Vec3& p, const Vec3& q, const Vec3& r, const Vec3& s) {
    return dot(q - p, cross(r - p, s - p)) / 6.0;
}

double wedge_volume(const Vec3& a, const Vec3& b, const Vec3& c, const Vec3& d, const Vec3& e, const Vec3& f,
                    double orientation) {
    if (orientation * dot(e - c, cross(f - c, b - c)) > 0.0)
        return tetrahedron_volume(a, b, c, d) + tetrahedron_volume(b, c, d, f) + tetrahedron_volume(b, d, e, f);
    return tetrahedron_volume(a, b, c, d) + tetrahedron_volume(b, c, d, e) + tetrahedron_volume(c, d, e, f);
}

double tetrahedron_fraction(std::span<const InterfacePoint, 4> c) {
    int in[4];
    int out[4];
    int n_in = 0;
    int n_out = 0;
    for (int k = 0; k < 4; ++k) {
        if (inside(c[k]))
            in[n_in++] = k;
        else
            out[n_out++] = k;
    }
    double fraction;
    if (n_in == 4) {
        fraction = 1.0;
    } else if (n_in == 0) {
        fraction = 0.0;
    } else if (n_in == 1) {
        const InterfacePoint& i = c[in[0]];
        fraction = 1.0;
        for (int k = 0; k < 3; ++k) {
            const InterfacePoint& o = c[out[k]];
            fraction *= crossing(o.point, i.point, -i.distance, dot(o.point - i.point, i.normal));
        }
    } else if (n_in == 3) {
        const InterfacePoint& o = c[out[0]];
        double outside_share = 1.0;
        for (int k = 0; k < 3; ++k) {
            const InterfacePoint& i = c[in[k]];
            outside_share *= 1.0 - crossing(i.point, o.point, i.distance, dot(i.point - o.point, i.normal));
        }
        fraction = 1.0 - outside_share;
    } else {
        const InterfacePoint& i1 = c[in[0]];
        const InterfacePoint& i2 = c[in[1]];
        const InterfacePoint& o1 = c[out[0]];
        const InterfacePoint& o2 = c[out[1]];
        const double volume = tetrahedron_volume(c[0].point, c[1].point, c[2].point, c[3].point);
        // The wedge's tetrahedron (I1, O1, O2, I2) has the orientation of the corner order times
        // the sign of this permutation; measuring the wedge in that orientation keeps the
        // fraction positive and the result independent of how the corners are listed.
        const int order[4] = {in[0], out[0], out[1], in[1]};
        const double sign = permutation_sign(order);
        const double orientation = sign * volume > 0.0 ? 1.0 : -1.0;
        const double wedge = wedge_volume(i1.point, crossing_point(i1, o1), crossing_point(i1, o2), i2.point,
                                          crossing_point(i2, o1), crossing_point(i2, o2), orientation);
        fraction = sign * wedge / volume;
    }
    if (fraction < 0.0) return 0.0;
    if (fraction > 1.0) return 1.0;
    return fraction;
}

MediumMembership in_measured_medium(const SimulationSpec& spec, std::span<const int32_t> candidate_structures,
                                    std::span<const uint16_t> candidate_media, const Vec3& x) {
    require(!candidate_media.empty());
    const CandidateHit hit = find_candidate(x, spec, candidate_structures, candidate_media);
    return {hit.medium != MEDIUM_NONE && hit.medium == candidate_media.back(), hit.structure};
}

SampleValue evaluate_sample(const SampleContext& context, const Vec3& x) {
    const SimulationSpec& spec = context.spec;
    Vec3 p = x;
    clamp_to_clipping_bounds(spec, p);
    const Vec3 shift = wrap_periodic(spec, p);
    const MediumMembership member = in_measured_medium(spec, context.candidate_structures, context.candidate_media, p);
    if (!member.inside) return {};

    Vec3 normal;
    if (member.structure >= 0) {
        const Geometry& geometry = *spec.structures[member.structure]->geometry;
        double distance = 1.0;
        bool unique = true;
        normal = surface_normal_world(geometry, p, float_tolerance(length(p)), geometry.axis_index != context.component,
                                      distance, unique)
                     .normal;
        if (context.probe && length(normal) > ZERO_LENGTH) {
            const Vec3 q0 = p - normal * distance;
            double step = 4.0 * float_tolerance(length(q0));
            if (any_periodic(spec) && 2.0 * spec.bounds_tolerance > step) step = 2.0 * spec.bounds_tolerance;
            Vec3 q1 = q0 + normal * step;
            clamp_and_wrap(spec, q1);
            if (in_measured_medium(spec, context.candidate_structures, context.candidate_media, q1).inside) {
                double depth = 0.0;
                for (const Vec3& corner : context.corners) {
                    const double along = dot(corner + shift - q0, normal);
                    if (along > depth) depth = along;
                }
                Vec3 q2 = q0 + normal * (depth + step);
                clamp_and_wrap(spec, q2);
                if (in_measured_medium(spec, context.candidate_structures, context.candidate_media, q2).inside)
                    normal = {};
            }
        }
    }
    if (any_outside(spec, x)) normal = clip_normal(spec, normal, x);
    return {1.0, normal};
}

Measurement sampled_element(const SamplePointGenerator& generator, std::span<const InterfacePoint> corners,
                            std::span<const int> positions, const SchemeInput& input) {
    const std::size_t k = corners.size();
    require(k >= 2 && k <= 4 && positions.size() == k && static_cast<int>(k) == generator.dimension());
    require(!input.candidate_structures.empty() && input.candidate_structures.size() == input.candidate_media.size());
    for (std::size_t i = 0; i < k; ++i)
        require(positions[i] >= 0 && static_cast<std::size_t>(positions[i]) < input.point_media.size());
    const std::size_t last = input.candidate_structures.size() - 1;
    bool probe = false;
    for (std::size_t e = 0; e < last; ++e) {
        probe = probe || (input.candidate_structures[e] != input.candidate_structures[last] &&
                          input.candidate_media[e] == input.candidate_media[last]);
    }
    Vec3 points[4];
    for (std::size_t i = 0; i < k; ++i) {
        points[i] = corners[i].point;
        if (probe) clamp_to_clipping_bounds(input.spec, points[i]);
    }
    const SampleContext context{input.spec,           input.candidate_structures, input.candidate_media,
                                input.component,      std::span<const Vec3>(points, k), probe};

    const uint16_t medium = input.point_media[positions[0]];
    bool same = true;
    for (std::size_t i = 1; i < k; ++i) same = same && input.point_media[positions[i]] == medium;
    const uint64_t count = generator.count();
    const uint64_t select = generator.select_count();
    const bool early_stop = same && select != 0 && select != count;
    const bool expected = medium == input.measured_medium();

    double indicators = 0.0;
    Vec3 normals;
    uint64_t evaluated = 0;
    bool disagreed = false;
    while (evaluated < count) {
        const double* b = generator.row(evaluated);
        Vec3 x;
        for (std::size_t i = 0; i < k; ++i) x += points[i] * b[i];
        const SampleValue value = evaluate_sample(context, x);
        indicators += value.indicator;
        normals += value.normal;
        ++evaluated;
        if (!early_stop || disagreed) continue;
        if ((value.indicator > 0.5) != expected)
            disagreed = true;
        else if (evaluated == select)
            break;
    }
    const double n = static_cast<double>(evaluated);
    return {indicators / n, normals / n};
}

Measurement VolumeScheme::measure_element(std::span<const InterfacePoint> corners, std::span<const int> positions,
                                          const SchemeInput& input) const {
    require(corners.size() == 4 && positions.size() == 4);
    if (input.sample) return sampled_element(generator(), corners, positions, input);
    return {tetrahedron_fraction(corners.first<4>()), {}};
}

Measurement FaceScheme::measure_element(std::span<const InterfacePoint> corners, std::span<const int> positions,
                                        const SchemeInput& input) const {
    require(corners.size() == 3 && positions.size() == 3);
    if (input.sample) return sampled_element(generator(), corners, positions, input);
    double area = 0.0;
    return {triangle_fraction(corners[0], corners[1], corners[2], area), {}};
}
