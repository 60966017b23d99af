#include "subpixel/integration_drivers.h"

#include <cfloat>
#include <cmath>

#include "common/internal_error.h"
#include "subpixel/periodic_and_clipping.h"

namespace {

bool finite(double x) { return std::fabs(x) <= DBL_MAX; }

double clamp_unit(double x) { return x < 0.0 ? 0.0 : (x > 1.0 ? 1.0 : x); }

void check_input(const SchemeInput& input, std::size_t n) {
    require(input.points.size() == n && input.point_media.size() == n && input.candidate_structures.size() == n &&
            input.candidate_media.size() == n);
    require(input.measured_point >= 0 && static_cast<std::size_t>(input.measured_point) < n);
    require(input.component >= 0 && input.component <= 2);
}

// Size-weighted sums of element answers.
class WeightedSum {
public:
    void add(const Measurement& element, double weight) {
        require(finite(element.fraction));
        fraction_ += clamp_unit(element.fraction) * weight;
        weight_ += weight;
        normal_ += element.normal * weight;
    }
    Measurement result() const {
        const double fraction = fraction_ / weight_;
        require(finite(fraction));
        Vec3 normal = normal_;
        normalize_vec3(normal);
        return {clamp_unit(fraction), normal};
    }

private:
    double fraction_ = 0.0;
    double weight_ = 0.0;
    Vec3 normal_;
};

template <std::size_t N>
Measurement measure(const SubpixelScheme& scheme, const SchemeInput& input, const int (&positions)[N]) {
    InterfacePoint corners[N];
    for (std::size_t i = 0; i < N; ++i) corners[i] = input.points[positions[i]];
    return scheme.measure_element(std::span<const InterfacePoint>(corners, N), std::span<const int>(positions, N),
                                  input);
}

double triangle_area(const SchemeInput& input, const int (&t)[3]) {
    const Vec3& p0 = input.points[t[0]].point;
    return length(cross(input.points[t[1]].point - p0, input.points[t[2]].point - p0)) / 2.0;
}

}  // namespace

Measurement integrate_tetrahedra(const SubpixelScheme& scheme, const SchemeInput& input) {
    check_input(input, 11);
    WeightedSum sum;
    for (int k = 7; k <= 10; ++k) {
        for (int pole = 1; pole <= 2; ++pole) {
            const int rings[2] = {((k - 6) % 4) + 3, k - 4};
            for (int r = 0; r < 2; ++r) {
                const int tet[4] = {0, k, rings[r], pole};
                const Vec3& p0 = input.points[0].point;
                const double det = dot(input.points[k].point - p0, cross(input.points[rings[r]].point - p0,
                                                                         input.points[pole].point - p0));
                const double sign = (pole == 1 ? -1.0 : 1.0) * (r == 1 ? -1.0 : 1.0);
                const double volume = sign * det / 6.0;
                require(volume >= 0.0);
                sum.add(measure(scheme, input, tet), volume);
            }
        }
    }
    return sum.result();
}

Measurement integrate_triangles(const SubpixelScheme& scheme, const SchemeInput& input) {
    check_input(input, 5);
    WeightedSum sum;
    for (int i = 1; i <= 4; ++i) {
        const int tri[3] = {0, i, (i % 4) + 1};
        sum.add(measure(scheme, input, tri), triangle_area(input, tri));
    }
    return sum.result();
}

Measurement integrate_segments(const SubpixelScheme& scheme, const SchemeInput& input) {
    check_input(input, 3);
    WeightedSum sum;
    for (int end = 1; end <= 2; ++end) {
        const int segment[2] = {0, end};
        sum.add(measure(scheme, input, segment), length(input.points[end].point - input.points[0].point));
    }
    Measurement result = sum.result();
    result.normal = {};
    return result;
}

Measurement integrate_fine_triangles(const SubpixelScheme& scheme, const SchemeInput& input) {
    check_input(input, 9);
    WeightedSum sum;
    for (int i = 0; i < 4; ++i) {
        const int first[3] = {0, 5 + i, i + 1};
        const int second[3] = {0, 5 + i, ((i + 1) % 4) + 1};
        sum.add(measure(scheme, input, first), triangle_area(input, first));
        sum.add(measure(scheme, input, second), triangle_area(input, second));
    }
    Measurement result = sum.result();
    result.normal = {};
    return result;
}
