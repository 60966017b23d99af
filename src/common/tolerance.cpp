#include "common/tolerance.h"

#include <cmath>
#include <limits>

double float_tolerance(double x) {
    const float f = static_cast<float>(x);
    if (std::isinf(f)) return std::numeric_limits<double>::quiet_NaN();
    const float next = std::nextafter(f, std::numeric_limits<float>::infinity());
    const double spacing = 2.0 * (static_cast<double>(next) - static_cast<double>(f));
    return spacing > ZERO_LENGTH ? spacing : ZERO_LENGTH;
}
