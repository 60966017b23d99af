#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "common/vec3.h"
#include "subpixel/interface_point.h"
#include "subpixel/subpixel_schemes.h"

class Geometry;
struct SimulationSpec;

// Measurement front-ends: turn a neighbourhood of sample points around a field component into
// the fill fraction of one medium (and, for volumes and faces, the interface normal) by
// evaluating the points against the measured structure and handing them to a scheme.
//
// Common arguments:
// - scheme: the SchemeSet's scheme of the matching shape;
// - spec: the loaded specification (periodic box and clipping planes, structures for sampling);
// - mode: the run's subpixel_scheme. 1 always measures analytically from the measured
//   structure's signed distances and normals; 2 always samples; 0 measures analytically when the
//   neighbourhood holds at most two structures and the structure's normals agree within 0.1
//   (always, for a geometry whose sign does not come from its nearest face), and samples
//   otherwise;
// - structures: the structure index at every sample point (-1 none);
// - measured_point: the sample point whose medium is measured;
// - media: the 16-bit medium at every sample point (65535 none; the measured point's medium must
//   not be none);
// - component: the field component (0, 1, 2);
// - geometry: the measured structure's shape;
// - scheme_points: the sample points; geometry_points: the same points clamped to the clipping
//   planes and wrapped into the periodic box, used for the geometry queries;
// - points: caller-provided output, the evaluated InterfacePoints.
// The fraction is in [0, 1]; the normal is a unit normal pointing out of the measured medium, or
// zero when none was found. Bad arguments (mode, measured point or component out of range, a
// measured medium of none, a structure index beyond the specification), a non-finite fraction
// and a badly ordered neighbourhood end the run with the internal error.
//
// All four are reentrant and allocation-free: many threads call them at once on shared,
// read-only specification, geometries and schemes.

// Eleven points around a field component (Yee position, two poles, a ring of four, four points
// between ring neighbours), measured as 16 tetrahedra.
Measurement measure_volume(const VolumeScheme& scheme, const SimulationSpec& spec, int32_t mode,
                           const std::array<int32_t, 11>& structures, int32_t measured_point,
                           const std::array<uint16_t, 11>& media, int32_t component, const Geometry& geometry,
                           const std::array<Vec3, 11>& scheme_points, const std::array<Vec3, 11>& geometry_points,
                           std::array<InterfacePoint, 11>& points);

// Five points of a face (centre, four corners in cyclic order), measured as four triangles.
Measurement measure_face(const FaceScheme& scheme, const SimulationSpec& spec, int32_t mode,
                         const std::array<int32_t, 5>& structures, int32_t measured_point,
                         const std::array<uint16_t, 5>& media, int32_t component, const Geometry& geometry,
                         const std::array<Vec3, 5>& scheme_points, const std::array<Vec3, 5>& geometry_points,
                         std::array<InterfacePoint, 5>& points);

// Three points of an edge (centre, both ends), measured as two segments. Fraction only.
double measure_edge(const EdgeScheme& scheme, const SimulationSpec& spec, int32_t mode,
                    const std::array<int32_t, 3>& structures, int32_t measured_point,
                    const std::array<uint16_t, 3>& media, int32_t component, const Geometry& geometry,
                    const std::array<Vec3, 3>& scheme_points, const std::array<Vec3, 3>& geometry_points,
                    std::array<InterfacePoint, 3>& points);

// Nine points of a cell face (centre, four corners, four edge midpoints), measured as eight
// triangles; `component` is the face's normal axis. Fraction only.
double measure_face_fine(const FineFaceScheme& scheme, const SimulationSpec& spec, int32_t mode,
                         const std::array<int32_t, 9>& structures, int32_t measured_point,
                         const std::array<uint16_t, 9>& media, int32_t component, const Geometry& geometry,
                         const std::array<Vec3, 9>& scheme_points, const std::array<Vec3, 9>& geometry_points,
                         std::array<InterfacePoint, 9>& points);

// --- The evaluation shared by the front-ends ---

// The candidate lists a sampling scheme tests points against: the (structure, medium) pairs of
// the points whose medium is not none, sorted by structure index, then medium, keeping equal
// pairs in point order. With exactly two distinct structures every entry is the last (highest)
// pair; otherwise the sorted pairs are followed by copies of the last pair. Returns the number
// of distinct structure indices. The output spans have the length of the inputs; a list without
// any pair is the internal error.
int build_candidate_lists(std::span<const int32_t> structures, std::span<const uint16_t> media,
                          std::span<int32_t> candidate_structures, std::span<uint16_t> candidate_media);

// The arguments a front-end evaluates, as spans of the front-end's point count.
struct FrontEndPoints {
    std::span<const int32_t> structures;
    int32_t measured_point = 0;
    std::span<const uint16_t> media;
    std::span<const Vec3> scheme_points;
    std::span<const Vec3> geometry_points;
};

// Evaluates the points into `points` and fills the candidate lists for the mode; returns the
// `sample` flag handed to the scheme. in_plane is passed to the surface-normal query; the first
// tested_count points undergo the flatness test in mode 0. Arguments are checked as for the
// front-ends.
bool evaluate_front_end_points(const SimulationSpec& spec, int32_t mode, const Geometry& geometry, bool in_plane,
                               const FrontEndPoints& input, std::size_t tested_count,
                               std::span<InterfacePoint> points, std::span<int32_t> candidate_structures,
                               std::span<uint16_t> candidate_media);
