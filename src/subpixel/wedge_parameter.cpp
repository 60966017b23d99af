#include "subpixel/wedge_parameter.h"

#include <cmath>
#include <numbers>

#include "common/tolerance.h"

namespace {

constexpr double PI = std::numbers::pi;
constexpr double TWO_OVER_PI = 0.6366197723675814;

// 1 - x 2^(1 - x), with the exponent 1 - x rounded to float32 and the rest in double.
float parameter_of_exponent(float x) {
    const float exponent = 1.0f - x;
    return static_cast<float>(1.0 - double(x) * std::pow(2.0, double(exponent)));
}

bool near_angle(double a, double b) { return std::fabs(a - b) < ANGLE_TOLERANCE; }

}  // namespace

float wedge_parameter(const WedgeDescriptor& descriptor, bool for_h) {
    const double theta = descriptor.angle;
    if (theta - PI >= -ANGLE_TOLERANCE) return 0.0f;

    // Exponent of the bare wedge: pi over the open angle around the edge.
    const float nu = static_cast<float>(PI / (2.0 * PI - theta));
    const float bare = parameter_of_exponent(nu);
    if (for_h || std::fabs(double(descriptor.interface_angle)) < ANGLE_TOLERANCE) return bare;

    const float minority = descriptor.eps_minority;
    const float majority = descriptor.eps_majority;
    double t = 0.0;
    if (near_angle(theta, PI / 2.0)) {
        // Right-angle edge with a dielectric in one of its three open quadrants.
        const float sum = majority + minority;
        const double g = 1.0 - 0.5 * double(majority) / double(sum);
        t = std::asin(std::sqrt(g)) * TWO_OVER_PI;
    } else if (std::fabs(theta) < ANGLE_TOLERANCE && near_angle(descriptor.interface_angle, PI / 2.0)) {
        // Sheet rim with the interface across the sheet's plane.
        const float difference = majority - minority;
        const float sum = majority + minority;
        t = std::acos(0.5 * double(difference) / double(sum)) / PI;
    } else {
        return bare;
    }
    return parameter_of_exponent(static_cast<float>(t));
}
