#pragma once

#include <cstdint>

// A conductor wedge as the field-singularity correction sees it: the edge's axis, the wedge
// angle (0 for a sheet rim, pi/2 for a right-angle edge), the angle of a dielectric interface
// meeting the edge (0 when one open medium surrounds it, else pi/2 or pi), and the relative
// permittivities of the two open media, the one held by fewer quadrants first.
struct WedgeDescriptor {
    int32_t axis = 0;
    float angle = 0.0f;
    float interface_angle = 0.0f;
    float eps_minority = 1.0f;
    float eps_majority = 1.0f;
};

// The correction parameter 1 - x 2^(1 - x) of the wedge's singularity exponent x: for magnetic
// components (for_h) the exponent of the bare wedge, for electric ones the exponent with the
// dielectric interface where one is recognised. 0 for a wedge angle of pi or more.
float wedge_parameter(const WedgeDescriptor& descriptor, bool for_h);
