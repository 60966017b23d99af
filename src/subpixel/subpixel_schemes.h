#pragma once

#include <cstdint>
#include <memory>
#include <span>

#include "common/vec3.h"
#include "subpixel/interface_point.h"
#include "subpixel/sample_points.h"

struct SimulationSpec;

// Share of an element (or of a whole neighbourhood) on the measured side and, for volumes and
// faces, the interface normal found there.
struct Measurement {
    double fraction = 0.0;
    Vec3 normal;
};

// What a scheme receives from a measurement front-end besides the corners of one element. All
// spans have the front-end's point count n (11 volume, 5 face, 3 edge, 9 fine face).
struct SchemeInput {
    const SimulationSpec& spec;
    // The front-end's evaluated points.
    std::span<const InterfacePoint> points;
    // The medium of every front-end point (16-bit medium values, 65535 none).
    std::span<const uint16_t> point_media;
    // Structures (-1 none) and media a sample point is tested against, lowest structure first;
    // the last entry is the measured structure and medium. Read only when `sample` is set.
    std::span<const int32_t> candidate_structures;
    std::span<const uint16_t> candidate_media;
    // Position in the front-end's list of the point whose medium is measured.
    int32_t measured_point = 0;
    // The field component (0, 1, 2) being averaged.
    int32_t component = 0;
    // Decide elements by testing their sample points instead of analytically.
    bool sample = false;

    // The medium a sampled point must carry to count: the last candidate medium.
    uint16_t measured_medium() const { return candidate_media.back(); }
};

// A measurement scheme: how much of a tetrahedron, triangle or segment spanned by a front-end's
// points lies in the measured medium, analytically from the corners' signed distances and
// normals, or by counting the element's fixed sample points. Schemes are immutable after
// construction and shared read-only by all threads; every operation is reentrant and
// allocation-free.
class SubpixelScheme {
public:
    virtual ~SubpixelScheme() = default;
    SubpixelScheme(const SubpixelScheme&) = delete;
    SubpixelScheme& operator=(const SubpixelScheme&) = delete;

    // Splits the front-end's points into elements, measures each with measure_element and returns
    // the weighted result (the integration drivers of integration_drivers.h). Ends the run with
    // the internal error on a non-finite fraction.
    virtual Measurement integrate(const SchemeInput& input) const = 0;
    // Final touch on an integrated result; nothing by default.
    virtual void finish_normal(const SchemeInput& input, Measurement& result) const;
    // Measures one element. `corners` are copies of its corner points, `positions` their indices
    // in the front-end's list. The fraction is not clamped.
    virtual Measurement measure_element(std::span<const InterfacePoint> corners, std::span<const int> positions,
                                        const SchemeInput& input) const = 0;

    const SamplePointGenerator& generator() const { return generator_; }

protected:
    explicit SubpixelScheme(int dimension) : generator_(dimension) {}

private:
    SamplePointGenerator generator_;
};

// Eleven-point neighbourhoods cut into 16 tetrahedra. The interface normal is the normalized sum
// of the normals of the points in the measured medium (analytic) or the volume-weighted average
// of the sampled normals.
class VolumeScheme final : public SubpixelScheme {
public:
    VolumeScheme() : SubpixelScheme(4) {}
    Measurement integrate(const SchemeInput& input) const override;
    void finish_normal(const SchemeInput& input, Measurement& result) const override;
    // Defined with the volume and face measurement.
    Measurement measure_element(std::span<const InterfacePoint> corners, std::span<const int> positions,
                                const SchemeInput& input) const override;
};

// Five-point faces (centre and four corners) cut into four triangles; normal as VolumeScheme.
class FaceScheme final : public SubpixelScheme {
public:
    FaceScheme() : SubpixelScheme(3) {}
    Measurement integrate(const SchemeInput& input) const override;
    void finish_normal(const SchemeInput& input, Measurement& result) const override;
    // Defined with the volume and face measurement.
    Measurement measure_element(std::span<const InterfacePoint> corners, std::span<const int> positions,
                                const SchemeInput& input) const override;
};

// Three-point edges (centre and both ends) cut into two segments; fraction only.
class EdgeScheme final : public SubpixelScheme {
public:
    EdgeScheme() : SubpixelScheme(2) {}
    Measurement integrate(const SchemeInput& input) const override;
    Measurement measure_element(std::span<const InterfacePoint> corners, std::span<const int> positions,
                                const SchemeInput& input) const override;
};

// Nine-point faces (centre, four corners, four edge midpoints) cut into eight triangles; fraction
// only.
class FineFaceScheme final : public SubpixelScheme {
public:
    FineFaceScheme() : SubpixelScheme(3) {}
    Measurement integrate(const SchemeInput& input) const override;
    Measurement measure_element(std::span<const InterfacePoint> corners, std::span<const int> positions,
                                const SchemeInput& input) const override;
};

// The run's scheme selector (0, 1 or 2) and its four scheme objects.
struct SchemeSet {
    int32_t subpixel_scheme = 0;
    std::unique_ptr<VolumeScheme> volume;
    std::unique_ptr<FaceScheme> face;
    std::unique_ptr<EdgeScheme> edge;
    std::unique_ptr<FineFaceScheme> fine_face;

    SchemeSet() = default;
    SchemeSet(SchemeSet&&) = default;
    SchemeSet& operator=(SchemeSet&&) = default;
    // Destroys the schemes in reverse order of creation.
    ~SchemeSet() {
        fine_face.reset();
        edge.reset();
        face.reset();
        volume.reset();
    }
};

// Builds the four schemes, each with its sample points, in the order volume, face, edge, fine
// face. A selector outside 0..2 is an internal error.
SchemeSet make_scheme_set(int32_t subpixel_scheme);

// The parameter along an edge P-Q at which the interface is crossed: depth / slope, or, when the
// slope is exactly 0, depth / |P - Q| (1 or 0 by the sign of depth for coincident points);
// negative values give 0, values above 1 give 1, NaN stays NaN.
double crossing(const Vec3& p, const Vec3& q, double depth, double slope);

// Share of the triangle C0 C1 C2 on the inside (distance <= 0) of the planes through the inside
// corners; writes the triangle's area to `area`. Not clamped.
double triangle_fraction(const InterfacePoint& c0, const InterfacePoint& c1, const InterfacePoint& c2,
                         double& area);

// The medium of a world point: the point is clamped to the clipping planes and wrapped into the
// periodic box, then the candidates are tried from the last to the first (each run of equal
// structure indices once): a negative structure index answers MEDIUM_INDEX_VACUUM, a structure
// containing the point answers its candidate medium. MEDIUM_NONE when nothing answers. A
// structure index beyond the specification's list is an internal error.
uint16_t sample_medium(const Vec3& point, const SimulationSpec& spec, std::span<const int32_t> candidate_structures,
                       std::span<const uint16_t> candidate_media);

// The candidate that decides a point already clamped and wrapped, as in sample_medium: its
// medium (MEDIUM_NONE when none decides) and structure index (-1 for the background or none).
struct CandidateHit {
    uint16_t medium = 0;
    int32_t structure = -1;
};
CandidateHit find_candidate(const Vec3& prepared_point, const SimulationSpec& spec,
                            std::span<const int32_t> candidate_structures, std::span<const uint16_t> candidate_media);
