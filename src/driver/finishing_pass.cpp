#include "driver/finishing_pass.h"

#include <algorithm>

#include "common/medium_index.h"
#include "common/tolerance.h"

namespace {

constexpr float NEGLIGIBLE_SHARE = 0.00048828125f;  // 2^-11

void clear_edges(FaceRecord& record) { record.edge_fraction = {0.0f, 0.0f, 0.0f, 0.0f}; }

bool is_metal_backed(const FaceRecord& record, const SimulationSpec& spec) {
    const uint16_t m = record.medium_index;
    return record.surface_length > 0.0f && m < MEDIUM_INDEX_VACUUM && m < spec.media.size() &&
           spec.media[m]->all_kinds(ComponentKind::LossyMetal);
}

// A fraction as the edge reconciliation compares it: negative and NaN values count as 0.
float usable(float fraction) { return fraction > 0.0f ? fraction : 0.0f; }

}  // namespace

void limit_face_record(FaceRecord& record, const SimulationSpec& spec) {
    const float s = std::max(1.0f, 1.0f / spec.courant_scaling);
    float f = record.area_fraction;
    const bool metal_backed = is_metal_backed(record, spec);

    if (f < NEGLIGIBLE_SHARE) {
        record.area_fraction = 0.0f;
        if (!metal_backed) {
            clear_edges(record);
            return;
        }
        f = 0.0f;
    }

    float largest_ratio = 0.0f;
    for (int k = 0; k < 4; ++k) {
        float reference = record.edge_reference[k];
        if (record.edge_fraction[k] > FULLY_OPEN_SHARE) reference = std::min(reference, 1.0f);
        float ratio = record.edge_fraction[k] / reference;
        if (k == 0) {
            if (!(ratio > 0.0f)) ratio = 0.0f;
            largest_ratio = ratio;
        } else {
            largest_ratio = std::max(largest_ratio, ratio);
        }
    }
    const float inverse_square = static_cast<float>((1.0 / double(s)) / double(s));
    float limit = std::min(1.0f, inverse_square * largest_ratio / 1.9f);

    if (metal_backed) {
        const float t = spec.media[record.medium_index]->lossy_metal_constant * record.surface_length;
        if (limit * 0.01f > f + t) {
            record.area_fraction = 0.0f;
            record.surface_length = 0.0f;
            clear_edges(record);
            return;
        }
        limit -= t;
    } else if (limit * 0.01f > f) {
        record.area_fraction = 0.0f;
        clear_edges(record);
        return;
    }
    if (limit > f) record.area_fraction = limit;
}

void finish_face_records(ConformalData& data, const SimulationSpec& spec, const LoopDescription& edge_loop,
                         const Span& span) {
    for (FaceRecord& record : data.face_records) limit_face_record(record, spec);
    if (!data.any_record) return;

    const std::array<int64_t, 3> begin = {span[0], span[2], span[4]};
    // Per-cell lists cover the subdomain's cells only; faces of cells beyond them carry no data.
    auto inside = [&](const std::array<int64_t, 3>& local) {
        for (int a = 0; a < 3; ++a)
            if (local[a] < 0 || local[a] >= data.extents[a]) return false;
        return true;
    };

    for (uint64_t x = edge_loop.lower(0); x < edge_loop.upper(0); ++x)
        for (uint64_t y = edge_loop.lower(1); y < edge_loop.upper(1); ++y)
            for (uint64_t z = edge_loop.lower(2); z < edge_loop.upper(2); ++z) {
                const std::array<int64_t, 3> c = {int64_t(x) - begin[0], int64_t(y) - begin[1], int64_t(z) - begin[2]};
                if (!inside(c)) continue;
                const auto& flags = data.edge_face_flags[data.cell_index(c[0], c[1], c[2])];
                for (int j = 0; j < 3; ++j) {
                    const int u = (j + 2) % 3;
                    const int v = (j + 1) % 3;
                    // The four faces around the edge along j: (cell, face normal) for flags 0..3.
                    std::array<int64_t, 3> c_minus_u = c, c_minus_v = c;
                    c_minus_u[u] -= 1;
                    c_minus_v[v] -= 1;
                    const std::array<std::pair<std::array<int64_t, 3>, int>, 4> faces = {
                        {{c, u}, {c_minus_u, v}, {c_minus_v, u}, {c, v}}};

                    std::array<float*, 4> entries{};
                    int count = 0;
                    bool negligible = false;
                    float largest = 0.0f;
                    for (int q = 0; q < 4; ++q) {
                        if (flags[4 * j + q] == 0 || !inside(faces[q].first)) continue;
                        const auto& cell = faces[q].first;
                        const uint32_t id = data.face_record_ids[data.cell_index(cell[0], cell[1], cell[2])][faces[q].second];
                        if (!(id & FACE_HAS_RECORD_BIT)) continue;
                        const uint32_t record = id & FACE_RECORD_INDEX_MASK;
                        if (record >= data.face_records.size()) continue;
                        float* entry = &data.face_records[record].edge_fraction[q];
                        entries[count++] = entry;
                        const float value = usable(*entry);
                        negligible = negligible || value < NEGLIGIBLE_SHARE;
                        largest = std::max(largest, value);
                    }
                    for (int k = 0; k < count; ++k) *entries[k] = negligible ? 0.0f : largest;
                }
            }
}
