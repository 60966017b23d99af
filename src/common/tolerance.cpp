#include "common/tolerance.h"

#include <cmath>
#include <limits>

double float_tolerance(double x) {
    // The spacing is taken at the magnitude, so that x and -x get the same tolerance (towards
    // +infinity the spacing of a negative power of two is half that of its absolute value).
    const double magnitude = std::fabs(x);
    // Beyond the float range there is no spacing, as for an infinite x.
    if (magnitude > static_cast<double>(std::numeric_limits<float>::max()))
        return std::numeric_limits<double>::quiet_NaN();
    const float f = static_cast<float>(magnitude);
    const float next = std::nextafter(f, std::numeric_limits<float>::infinity());
    const double spacing = 2.0 * (static_cast<double>(next) - static_cast<double>(f));
    return spacing > ZERO_LENGTH ? spacing : ZERO_LENGTH;
}
