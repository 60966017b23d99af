#pragma once

#include <array>
#include <cstdint>
#include <vector>

// Conductor measurements of one primal cell face.
struct FaceRecord {
    float area_fraction = 0.0f;              // share of the face area outside the conductor
    uint16_t medium_index = 0;               // the conductor's medium
    std::array<float, 4> edge_fraction{};    // open length share of each edge, once around the face
    std::array<float, 4> edge_reference{};   // permittivity of each edge's open medium, at least 1
    std::array<uint16_t, 4> edge_medium{};   // medium filling each edge's open part
    int32_t axis = 0;                        // axis of a conductor wedge along the face
    float wedge_angle = 3.1415927f;          // 0 or pi/2 for a wedge; pi when there is none
    float wedge_param_e = 0.0f;
    float wedge_param_h = 0.0f;
    float surface_length = 0.0f;             // conductor surface length per unit face area
};

// Bits of a face_record_ids word.
inline constexpr uint32_t FACE_RECORD_INDEX_MASK = 0x3FFFFFFFu;
inline constexpr uint32_t FACE_CLOSED_BIT = 1u << 30;
inline constexpr uint32_t FACE_HAS_RECORD_BIT = 1u << 31;

// Per-subdomain data of the conformal conductor phases. The per-cell lists hold nx*ny*nz
// entries at (ix * ny + iy) * nz + iz; node_values holds (nx+1)(ny+1)(nz+1) entries likewise.
struct ConformalData {
    std::array<int64_t, 3> extents{};
    bool any_record = false;
    std::vector<FaceRecord> face_records;
    std::vector<std::array<uint32_t, 3>> face_record_ids;   // per cell, faces normal to x, y, z
    std::vector<std::array<uint8_t, 12>> edge_face_flags;   // per cell, four bytes per edge axis
    std::vector<uint32_t> node_values;

    std::size_t cell_index(int64_t ix, int64_t iy, int64_t iz) const {
        return static_cast<std::size_t>((ix * extents[1] + iy) * extents[2] + iz);
    }
};
