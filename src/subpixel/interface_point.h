#pragma once

#include <cstdint>

#include "common/vec3.h"

// One sample point of a measurement together with what was learnt about the measured surface
// there. The measurement front-ends fill contiguous arrays of these and hand them to a scheme.
struct InterfacePoint {
    // The sample point exactly as the caller passed it (neither wrapped nor clamped).
    Vec3 point;
    // Unit outward normal of the measured structure's surface near the point, in world
    // coordinates; (0, 0, 0) when the point was not evaluated.
    Vec3 normal;
    // Signed world distance from the point to that surface, negative inside; 1.0 when the point
    // was not evaluated.
    double distance = 1.0;
    // Two flags; the front-ends always write 0 and 1. The conformal face collection uses flag_a
    // of its own points as an inside flag.
    uint8_t flag_a = 0;
    uint8_t flag_b = 1;
};
