#include "subpixel/measurement_front_ends.h"

#include "common/internal_error.h"
#include "common/medium_index.h"
#include "common/tolerance.h"
#include "geometry/geometry.h"
#include "spec/simulation_spec.h"
#include "subpixel/periodic_and_clipping.h"
#include "subpixel/surface_normal.h"

namespace {

// Largest front-end point count.
constexpr std::size_t MAX_POINTS = 11;
// Normals farther apart than this (Euclidean) do not describe one flat interface.
constexpr double FLATNESS_LIMIT = 0.1;

// The measured structure's surface at point k: the normal (without its components along axes
// where the scheme point lies beyond a clipping plane) and the signed distance.
InterfacePoint evaluate_point(const SimulationSpec& spec, const Geometry& geometry, bool in_plane,
                              const FrontEndPoints& input, std::size_t k, bool& unique) {
    const Vec3& at = input.geometry_points[k];
    double distance = 1.0;
    Vec3 normal = surface_normal_world(geometry, at, float_tolerance(length(at)), in_plane, distance, unique).normal;
    const std::array<bool, 3> outside = outside_clipping_bounds(spec, input.scheme_points[k]);
    if (outside[0] || outside[1] || outside[2]) normal = clip_normal(spec, normal, input.scheme_points[k]);
    return {input.scheme_points[k], normal, distance, 0, 1};
}

InterfacePoint bare_point(const Vec3& point) { return {point, {}, 1.0, 0, 1}; }

// Points in the measured point's medium are evaluated, the others stay bare.
void evaluate_single_structure(const SimulationSpec& spec, const Geometry& geometry, bool in_plane,
                               const FrontEndPoints& input, std::size_t first, std::span<InterfacePoint> points) {
    const uint16_t medium = input.media[input.measured_point];
    for (std::size_t k = first; k < points.size(); ++k) {
        bool unique = true;
        points[k] = input.media[k] == medium ? evaluate_point(spec, geometry, in_plane, input, k, unique)
                                             : bare_point(input.scheme_points[k]);
    }
}

void check_arguments(int32_t mode, const FrontEndPoints& input, std::size_t n, int32_t component) {
    require(mode >= 0 && mode <= 2);
    require(component >= 0 && component <= 2);
    require(input.structures.size() == n && input.media.size() == n && input.scheme_points.size() == n &&
            input.geometry_points.size() == n);
    require(input.measured_point >= 0 && static_cast<std::size_t>(input.measured_point) < n);
    require(input.media[input.measured_point] != MEDIUM_NONE);
}

template <std::size_t N>
Measurement run_front_end(const SubpixelScheme& scheme, const SimulationSpec& spec, int32_t mode,
                          const std::array<int32_t, N>& structures, int32_t measured_point,
                          const std::array<uint16_t, N>& media, int32_t component, const Geometry& geometry,
                          const std::array<Vec3, N>& scheme_points, const std::array<Vec3, N>& geometry_points,
                          std::array<InterfacePoint, N>& points, bool in_plane, std::size_t tested_count,
                          bool finish) {
    const FrontEndPoints input{structures, measured_point, media, scheme_points, geometry_points};
    check_arguments(mode, input, N, component);
    std::array<int32_t, N> candidate_structures;
    std::array<uint16_t, N> candidate_media;
    const bool sample = evaluate_front_end_points(spec, mode, geometry, in_plane, input, tested_count, points,
                                                  candidate_structures, candidate_media);
    const SchemeInput scheme_input{spec,           points,          media, candidate_structures, candidate_media,
                                   measured_point, component,       sample};
    Measurement result = scheme.integrate(scheme_input);
    if (finish) scheme.finish_normal(scheme_input, result);
    return result;
}

}  // namespace

int build_candidate_lists(std::span<const int32_t> structures, std::span<const uint16_t> media,
                          std::span<int32_t> candidate_structures, std::span<uint16_t> candidate_media) {
    const std::size_t n = structures.size();
    require(n <= MAX_POINTS && media.size() == n && candidate_structures.size() == n && candidate_media.size() == n);
    int32_t pair_structures[MAX_POINTS];
    uint16_t pair_media[MAX_POINTS];
    std::size_t pairs = 0;
    for (std::size_t k = 0; k < n; ++k) {
        if (media[k] == MEDIUM_NONE) continue;
        // Insertion sort: a new pair goes after every pair that is not greater.
        std::size_t at = pairs;
        while (at > 0 && (pair_structures[at - 1] > structures[k] ||
                          (pair_structures[at - 1] == structures[k] && pair_media[at - 1] > media[k]))) {
            pair_structures[at] = pair_structures[at - 1];
            pair_media[at] = pair_media[at - 1];
            --at;
        }
        pair_structures[at] = structures[k];
        pair_media[at] = media[k];
        ++pairs;
    }
    require(pairs > 0);
    int distinct = 1;
    for (std::size_t k = 1; k < pairs; ++k)
        if (pair_structures[k] != pair_structures[k - 1]) ++distinct;
    const std::size_t kept = distinct == 2 ? 0 : pairs;
    for (std::size_t k = 0; k < n; ++k) {
        const std::size_t from = k < kept ? k : pairs - 1;
        candidate_structures[k] = pair_structures[from];
        candidate_media[k] = pair_media[from];
    }
    return distinct;
}

bool evaluate_front_end_points(const SimulationSpec& spec, int32_t mode, const Geometry& geometry, bool in_plane,
                               const FrontEndPoints& input, std::size_t tested_count,
                               std::span<InterfacePoint> points, std::span<int32_t> candidate_structures,
                               std::span<uint16_t> candidate_media) {
    const std::size_t n = points.size();
    check_arguments(mode, input, n, 0);
    require(n <= MAX_POINTS && tested_count <= n && candidate_structures.size() == n && candidate_media.size() == n);

    if (mode == 1 || (mode == 0 && !geometry.sign_from_nearest_face)) {
        // The scheme reads the candidate lists only when sampling.
        for (std::size_t k = 0; k < n; ++k) {
            candidate_structures[k] = -1;
            candidate_media[k] = MEDIUM_NONE;
        }
        evaluate_single_structure(spec, geometry, in_plane, input, 0, points);
        return false;
    }

    const int distinct = build_candidate_lists(input.structures, input.media, candidate_structures, candidate_media);
    if (mode == 2 || distinct >= 3) {
        for (std::size_t k = 0; k < n; ++k) points[k] = bare_point(input.scheme_points[k]);
        return true;
    }

    // Flatness test: the tested points must see one unambiguous surface with agreeing normals.
    for (std::size_t k = 0; k < tested_count; ++k) {
        bool unique = true;
        points[k] = evaluate_point(spec, geometry, in_plane, input, k, unique);
        bool flat = unique && length(points[k].normal) >= ZERO_LENGTH;
        for (std::size_t j = 0; j < k && flat; ++j) flat = length(points[k].normal - points[j].normal) <= FLATNESS_LIMIT;
        if (!flat) {
            for (std::size_t later = k + 1; later < n; ++later) points[later] = bare_point(input.scheme_points[later]);
            return true;
        }
    }
    evaluate_single_structure(spec, geometry, in_plane, input, tested_count, points);
    return false;
}

Measurement measure_volume(const VolumeScheme& scheme, const SimulationSpec& spec, int32_t mode,
                           const std::array<int32_t, 11>& structures, int32_t measured_point,
                           const std::array<uint16_t, 11>& media, int32_t component, const Geometry& geometry,
                           const std::array<Vec3, 11>& scheme_points, const std::array<Vec3, 11>& geometry_points,
                           std::array<InterfacePoint, 11>& points) {
    return run_front_end(scheme, spec, mode, structures, measured_point, media, component, geometry, scheme_points,
                         geometry_points, points, component != geometry.axis_index, 7, true);
}

Measurement measure_face(const FaceScheme& scheme, const SimulationSpec& spec, int32_t mode,
                         const std::array<int32_t, 5>& structures, int32_t measured_point,
                         const std::array<uint16_t, 5>& media, int32_t component, const Geometry& geometry,
                         const std::array<Vec3, 5>& scheme_points, const std::array<Vec3, 5>& geometry_points,
                         std::array<InterfacePoint, 5>& points) {
    return run_front_end(scheme, spec, mode, structures, measured_point, media, component, geometry, scheme_points,
                         geometry_points, points, component != geometry.axis_index, 5, true);
}

double measure_edge(const EdgeScheme& scheme, const SimulationSpec& spec, int32_t mode,
                    const std::array<int32_t, 3>& structures, int32_t measured_point,
                    const std::array<uint16_t, 3>& media, int32_t component, const Geometry& geometry,
                    const std::array<Vec3, 3>& scheme_points, const std::array<Vec3, 3>& geometry_points,
                    std::array<InterfacePoint, 3>& points) {
    return run_front_end(scheme, spec, mode, structures, measured_point, media, component, geometry, scheme_points,
                         geometry_points, points, component != geometry.axis_index, 3, false)
        .fraction;
}

double measure_face_fine(const FineFaceScheme& scheme, const SimulationSpec& spec, int32_t mode,
                         const std::array<int32_t, 9>& structures, int32_t measured_point,
                         const std::array<uint16_t, 9>& media, int32_t component, const Geometry& geometry,
                         const std::array<Vec3, 9>& scheme_points, const std::array<Vec3, 9>& geometry_points,
                         std::array<InterfacePoint, 9>& points) {
    return run_front_end(scheme, spec, mode, structures, measured_point, media, component, geometry, scheme_points,
                         geometry_points, points, component == geometry.axis_index, 9, false)
        .fraction;
}
