#include "subpixel/subpixel_schemes.h"

#include <cmath>

#include "common/internal_error.h"
#include "common/medium_index.h"
#include "common/tolerance.h"
#include "geometry/geometry.h"
#include "spec/simulation_spec.h"
#include "subpixel/integration_drivers.h"
#include "subpixel/periodic_and_clipping.h"

namespace {

bool inside(const InterfacePoint& p) { return p.distance <= 0.0; }

// Share of a segment or triangle counted over the generator's sample points: 1 or 0 without
// sampling when every corner carries the same medium in the front-end's list.
double sampled_fraction(const SamplePointGenerator& generator, std::span<const InterfacePoint> corners,
                        std::span<const int> positions, const SchemeInput& input) {
    require(!input.candidate_media.empty());
    for (std::size_t i = 0; i < corners.size(); ++i)
        require(positions[i] >= 0 && static_cast<std::size_t>(positions[i]) < input.point_media.size());
    const uint16_t measured = input.measured_medium();
    const uint16_t first = input.point_media[positions[0]];
    bool same = true;
    for (std::size_t i = 1; i < corners.size(); ++i) same = same && input.point_media[positions[i]] == first;
    if (same) return first == measured ? 1.0 : 0.0;

    uint64_t hits = 0;
    for (uint64_t r = 0; r < generator.count(); ++r) {
        const double* b = generator.row(r);
        Vec3 x;
        for (std::size_t i = 0; i < corners.size(); ++i) x += corners[i].point * b[i];
        if (sample_medium(x, input.spec, input.candidate_structures, input.candidate_media) == measured) ++hits;
    }
    return static_cast<double>(hits) / static_cast<double>(generator.count());
}

// Analytic mode: the normalized sum of the normals of the points in the measured point's medium.
void normal_from_points(const SchemeInput& input, Measurement& result) {
    if (input.sample) return;
    const uint16_t medium = input.point_media[input.measured_point];
    Vec3 sum;
    for (std::size_t k = 0; k < input.points.size(); ++k) {
        if (input.point_media[k] == medium) sum += input.points[k].normal;
    }
    normalize_vec3(sum);
    result.normal = sum;
}

}  // namespace

SchemeSet make_scheme_set(int32_t subpixel_scheme) {
    require(subpixel_scheme >= 0 && subpixel_scheme <= 2);
    SchemeSet set;
    set.subpixel_scheme = subpixel_scheme;
    set.volume = std::make_unique<VolumeScheme>();
    set.face = std::make_unique<FaceScheme>();
    set.edge = std::make_unique<EdgeScheme>();
    set.fine_face = std::make_unique<FineFaceScheme>();
    return set;
}

void SubpixelScheme::finish_normal(const SchemeInput&, Measurement&) const {}

Measurement VolumeScheme::integrate(const SchemeInput& input) const { return integrate_tetrahedra(*this, input); }
void VolumeScheme::finish_normal(const SchemeInput& input, Measurement& result) const {
    normal_from_points(input, result);
}

Measurement FaceScheme::integrate(const SchemeInput& input) const { return integrate_triangles(*this, input); }
void FaceScheme::finish_normal(const SchemeInput& input, Measurement& result) const {
    normal_from_points(input, result);
}

Measurement EdgeScheme::integrate(const SchemeInput& input) const { return integrate_segments(*this, input); }

Measurement EdgeScheme::measure_element(std::span<const InterfacePoint> corners, std::span<const int> positions,
                                        const SchemeInput& input) const {
    require(corners.size() == 2 && positions.size() == 2);
    if (input.sample) return {sampled_fraction(generator(), corners, positions, input), {}};
    const InterfacePoint& a = corners[0];
    const InterfacePoint& b = corners[1];
    const Vec3 ab = b.point - a.point;
    if (inside(a) && inside(b)) return {1.0, {}};
    if (inside(a)) return {crossing(a.point, b.point, -a.distance, dot(ab, a.normal)), {}};
    if (inside(b)) return {crossing(a.point, b.point, -b.distance, -dot(ab, b.normal)), {}};
    return {0.0, {}};
}

Measurement FineFaceScheme::integrate(const SchemeInput& input) const {
    return integrate_fine_triangles(*this, input);
}

Measurement FineFaceScheme::measure_element(std::span<const InterfacePoint> corners,
                                            std::span<const int> positions, const SchemeInput& input) const {
    require(corners.size() == 3 && positions.size() == 3);
    if (input.sample) return {sampled_fraction(generator(), corners, positions, input), {}};
    double area = 0.0;
    return {triangle_fraction(corners[0], corners[1], corners[2], area), {}};
}

double crossing(const Vec3& p, const Vec3& q, double depth, double slope) {
    double t;
    if (slope != 0.0) {
        t = depth / slope;
    } else {
        const double edge = length(p - q);
        if (!(edge > 0.0)) return depth >= 0.0 ? 1.0 : 0.0;
        t = depth / edge;
    }
    if (t < 0.0) return 0.0;
    return t > 1.0 ? 1.0 : t;
}

double triangle_fraction(const InterfacePoint& c0, const InterfacePoint& c1, const InterfacePoint& c2,
                         double& area) {
    area = length(cross(c0.point - c2.point, c0.point - c1.point)) / 2.0;
    const InterfacePoint* c[3] = {&c0, &c1, &c2};
    const InterfacePoint* in[3];
    const InterfacePoint* out[3];
    int n_in = 0;
    int n_out = 0;
    for (const InterfacePoint* p : c) {
        if (inside(*p))
            in[n_in++] = p;
        else
            out[n_out++] = p;
    }
    if (n_in == 3) return 1.0;
    if (n_in == 0) return 0.0;
    if (n_in == 1) {
        const InterfacePoint& i = *in[0];
        double fraction = 1.0;
        for (int k = 0; k < 2; ++k) {
            const InterfacePoint& o = *out[k];
            fraction *= crossing(o.point, i.point, -i.distance, dot(o.point - i.point, i.normal));
        }
        return fraction;
    }
    const InterfacePoint& o = *out[0];
    double outside_share = 1.0;
    for (int k = 0; k < 2; ++k) {
        const InterfacePoint& i = *in[k];
        outside_share *= 1.0 - crossing(i.point, o.point, i.distance, dot(i.point - o.point, i.normal));
    }
    return 1.0 - outside_share;
}

CandidateHit find_candidate(const Vec3& prepared_point, const SimulationSpec& spec,
                            std::span<const int32_t> candidate_structures, std::span<const uint16_t> candidate_media) {
    require(candidate_structures.size() == candidate_media.size());
    const double tol = float_tolerance(length(prepared_point));
    for (std::size_t k = candidate_structures.size(); k-- > 0;) {
        const int32_t s = candidate_structures[k];
        if (k + 1 < candidate_structures.size() && candidate_structures[k + 1] == s) continue;
        if (s < 0) return {static_cast<uint16_t>(MEDIUM_INDEX_VACUUM), -1};
        require(static_cast<std::size_t>(s) < spec.structures.size() && spec.structures[s] &&
                spec.structures[s]->geometry);
        const Geometry& g = *spec.structures[s]->geometry;
        if (g.contains(g.to_local_point(prepared_point), true, tol * g.local_scale)) return {candidate_media[k], s};
    }
    return {MEDIUM_NONE, -1};
}

uint16_t sample_medium(const Vec3& point, const SimulationSpec& spec, std::span<const int32_t> candidate_structures,
                       std::span<const uint16_t> candidate_media) {
    Vec3 x = point;
    clamp_to_clipping_bounds(spec, x);
    wrap_periodic(spec, x);
    return find_candidate(x, spec, candidate_structures, candidate_media).medium;
}
