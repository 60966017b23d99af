#pragma once

#include <array>
#include <cstdint>

#include "common/medium_index.h"
#include "common/vec3.h"

// What the averaging phase found for one field component of a cell: the medium at the
// component's own position, a possible second medium across an interface, and the measured
// shares and interface normal.
struct ComponentSample {
    // Share of the averaging region (electric) or of the face (magnetic) held by medium_b; for
    // a conformal magnetic component the open share of its face.
    float fraction = 0.0f;
    // Share of the component's edge lying in medium_b (contour-path averaging only).
    float contour_fraction = 0.0f;
    // Unit interface normal, pointing out of medium_b's region.
    std::array<float, 3> normal{};
    uint16_t medium_a = static_cast<uint16_t>(MEDIUM_INDEX_VACUUM);
    uint16_t medium_b = MEDIUM_NONE;
    // Conformal magnetic components: weight of a lossy metal's surface model.
    float surface_length = 0.0f;
    // Conductor wedge next to the component: electric values are scaled by (1 - w), magnetic
    // values divided by it.
    float wedge_param = 0.0f;
    // 0 when a conductor shorts the component.
    uint8_t open = 1;
};
static_assert(sizeof(ComponentSample) == 36, "ComponentSample is a 36-byte record");

// Component positions within a cell's samples.
inline constexpr int SAMPLE_EX = 0;
inline constexpr int SAMPLE_HX = 3;

// The samples of one cell as the averaging phase hands them to the assembler.
struct CellSamples {
    // Ex, Ey, Ez, Hx, Hy, Hz.
    std::array<ComponentSample, 6> components{};
    // Carried along with every cell; the averaging phase sets them to -1 and (0, 0, 0) and
    // leaves them so.
    std::array<double, 7> auxiliary_values = {-1.0, -1.0, -1.0, -1.0, -1.0, -1.0, -1.0};
    std::array<Vec3, 7> auxiliary_points{};

    ComponentSample& electric(int axis) { return components[SAMPLE_EX + axis]; }
    const ComponentSample& electric(int axis) const { return components[SAMPLE_EX + axis]; }
    ComponentSample& magnetic(int axis) { return components[SAMPLE_HX + axis]; }
    const ComponentSample& magnetic(int axis) const { return components[SAMPLE_HX + axis]; }
};
