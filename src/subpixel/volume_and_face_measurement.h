#pragma once

#include <span>

#include "common/vec3.h"
#include "subpixel/subpixel_schemes.h"

// Measurement of one tetrahedron (VolumeScheme) and one triangle (FaceScheme): analytically from
// the signed distances and normals at the corners, or by averaging over the generator's sample
// points, where every point inside the measured medium contributes the surface normal of the
// structure it lies in.

// Signed volume det(q - p, r - p, s - p) / 6.
double tetrahedron_volume(const Vec3& p, const Vec3& q, const Vec3& r, const Vec3& s);

// Signed volume of the wedge with end triangles (a, b, c) and (d, e, f) and side edges a-d, b-e,
// c-f, as three tetrahedra. The possibly non-planar side b-c-f-e is split along b-f when
// orientation * det(e - c, f - c, b - c) > 0, else along c-e. Pass orientation +1 for a wedge whose
// tetrahedron (a, b, c, d) is positively oriented and -1 for a mirrored one, so that mirrored
// wedges are split alike.
double wedge_volume(const Vec3& a, const Vec3& b, const Vec3& c, const Vec3& d, const Vec3& e, const Vec3& f,
                    double orientation = 1.0);

// Share of the tetrahedron C0..C3 inside the planes through its inside corners (distance <= 0):
// a corner tetrahedron for one inside corner, the complement of one for three, a wedge for two.
// Independent of the order of the corners. Limited to [0, 1]; NaN passes.
double tetrahedron_fraction(std::span<const InterfacePoint, 4> corners);

// Whether a point (already clamped and wrapped) lies in the measured medium (the last candidate
// medium), with the index of the structure that decided (-1 for the background or none). A
// structure holding the point with another medium answers false; the background answers whether
// the measured medium is MEDIUM_INDEX_VACUUM.
struct MediumMembership {
    bool inside = false;
    int32_t structure = -1;
};
MediumMembership in_measured_medium(const SimulationSpec& spec, std::span<const int32_t> candidate_structures,
                                    std::span<const uint16_t> candidate_media, const Vec3& x);

// What evaluate_sample reads.
struct SampleContext {
    const SimulationSpec& spec;
    std::span<const int32_t> candidate_structures;
    std::span<const uint16_t> candidate_media;
    int32_t component = 0;
    // The element's corners as used for sampling (clamped copies when probing).
    std::span<const Vec3> corners;
    // Another structure of the measured medium is near: check normals for buried surfaces.
    bool probe = false;
};

// One sampled point: indicator 1 and the outward surface normal of the structure holding x when
// x lies in the measured medium, else 0 and a zero normal. With probing, a surface behind which
// the measured medium continues beyond every corner of the element (a structure buried in
// another of the same medium) gives a zero normal. The background has no surface: zero normal.
// Beyond an active clipping plane the normal loses its component along that axis.
struct SampleValue {
    double indicator = 0.0;
    Vec3 normal;
};
SampleValue evaluate_sample(const SampleContext& context, const Vec3& x);

// The sampled measurement of a tetrahedron (4 corners) or triangle (3 corners) for
// input.sample set: the mean indicator and the mean normal (not normalized) over the generator's
// rows. When all corners share one medium, the first select_count rows decide unless one of them
// disagrees with the corners, in which case all rows count.
Measurement sampled_element(const SamplePointGenerator& generator, std::span<const InterfacePoint> corners,
                            std::span<const int> positions, const SchemeInput& input);
