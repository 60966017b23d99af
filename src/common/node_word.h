#pragma once

#include <cstdint>

// The packed edge-singularity word of a grid node: bit 0 set when a conductor wedge passes the
// node, bit 1 its kind (0: wedge angle 0, 1: wedge angle pi/2), bits 2-3 the wedge's axis, bits
// 4-13 and 14-23 the electric and magnetic parameters in counts of 1/1024.
struct NodeWedge {
    bool present = false;
    bool right_angle = false;
    int axis = 0;
    uint32_t count_e = 0;
    uint32_t count_h = 0;
};

inline constexpr float NODE_PARAMETER_UNIT = 0.0009765625f;  // 1/1024
// Counts of 1024 or more do not fit their 10-bit field.
inline constexpr uint32_t NODE_PARAMETER_COUNT_LIMIT = 1024;

// The count of a parameter: trunc(p * 1024 + 0.5) in float32; 0 when it does not fit the field
// (1024 or more, negative or not a number).
inline uint32_t node_parameter_count(float p) {
    const float scaled = p * 1024.0f + 0.5f;
    if (!(scaled >= 0.0f && scaled < float(NODE_PARAMETER_COUNT_LIMIT))) return 0;
    return static_cast<uint32_t>(scaled);
}

inline uint32_t encode_node_word(const NodeWedge& w) {
    if (!w.present) return 0;
    return 1u | (w.right_angle ? 2u : 0u) | (static_cast<uint32_t>(w.axis & 3) << 2) | ((w.count_e & 0x3FFu) << 4) |
           ((w.count_h & 0x3FFu) << 14);
}

inline NodeWedge decode_node_word(uint32_t word) {
    NodeWedge w;
    w.present = (word & 1u) != 0;
    w.right_angle = (word & 2u) != 0;
    w.axis = static_cast<int>((word >> 2) & 3u);
    w.count_e = (word >> 4) & 0x3FFu;
    w.count_h = (word >> 14) & 0x3FFu;
    return w;
}
