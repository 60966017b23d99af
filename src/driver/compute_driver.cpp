#include "driver/compute_driver.h"

#include <omp.h>

#include "common/checked_size.h"
#include "common/conformal_data.h"
#include "driver/finishing_pass.h"
#include "driver/loop_description.h"
#include "driver/memory_check.h"
#include "driver/structure_map.h"
#include "material/cell_assembler.h"
#include "subpixel/average_cells.h"
#include "subpixel/conformal_faces.h"
#include "subpixel/edge_singularities.h"

namespace {

bool edge_correction_requested(const SimulationSpec& spec) {
    return spec.subpixel.pec_edge_singularity_correction || spec.subpixel.lossy_metal_edge_singularity_correction;
}

// The list sizes of one subdomain, each checked to be one that can be held.
struct SubdomainSizes {
    int64_t nx = 0, ny = 0, nz = 0;
    int64_t cells = 0;
    int64_t map_entries = 0;
    int64_t nodes = 0;
};

SubdomainSizes subdomain_sizes(const Span& span) {
    SubdomainSizes s;
    s.nx = checked_extent(span[0], span[1]);
    s.ny = checked_extent(span[2], span[3]);
    s.nz = checked_extent(span[4], span[5]);
    s.cells = checked_product({s.nx, s.ny, s.nz});
    s.map_entries = StructureMap::entry_count(span);
    s.nodes = checked_product({checked_sum(s.nx, 1), checked_sum(s.ny, 1), checked_sum(s.nz, 1)});
    return s;
}

void allocate_conformal_lists(ConformalData& conformal, const SubdomainSizes& sizes) {
    conformal.extents = {sizes.nx, sizes.ny, sizes.nz};
    const double cells = double(sizes.cells);
    check_memory(cells * 12);
    conformal.face_record_ids.assign(static_cast<std::size_t>(sizes.cells), {0, 0, 0});
    check_memory(cells * 12);
    conformal.edge_face_flags.assign(static_cast<std::size_t>(sizes.cells), {});
    check_memory(double(sizes.nodes) * 4);
    conformal.node_values.assign(static_cast<std::size_t>(sizes.nodes), 0u);
}

}  // namespace

Span widened_below(const Span& span) {
    Span widened = span;
    for (int a = 0; a < 3; ++a)
        if (widened[2 * a] > 0 && widened[2 * a] < widened[2 * a + 1]) widened[2 * a] -= 1;
    return widened;
}

Span widened_above(const Span& span, const Grid& grid) {
    Span widened = span;
    for (int a = 0; a < 3; ++a)
        if (widened[2 * a] < widened[2 * a + 1] && widened[2 * a + 1] < grid.cell_count[a]) widened[2 * a + 1] += 1;
    return widened;
}

bool paints_frames_separately(const SimulationSpec& spec) {
    if (!spec.has_conformal_metal || !edge_correction_requested(spec)) return false;
    for (const auto& structure : spec.structures)
        if (structure->modal_pec_frame) return true;
    return false;
}

void compute_subdomain(const SchemeSet& schemes, const uint64_t& thread_count, const Grid& grid,
                       const SimulationSpec& spec, const Span& span, const std::vector<float>& freqs,
                       CoefficientSet& coefficients) {
    const SubdomainSizes sizes = subdomain_sizes(span);

    coefficients.resize(freqs.size());
    for (FrequencyBlock& block : coefficients) {
        block.nx = sizes.nx;
        block.ny = sizes.ny;
        block.nz = sizes.nz;
        check_memory(double(sizes.cells) * 144);
        block.cells.assign(static_cast<std::size_t>(sizes.cells), CellCoefficients::identity());
    }

    CellAssembler assembler(spec, freqs, coefficients, span[0], span[2], span[4]);

    // With conformal metals the map and the face data also cover the layer of cells just below
    // the span: an electric edge on the span's lower side lies in faces of those cells, and the
    // edge's fraction is reconciled over all faces that hold it, whatever the partition.
    // The edge detection also looks half a cell beyond every node, so with it the data cover the
    // layer just above the span as well: the nodes on the span's upper side then see the media
    // around them, as they do in the subdomain that holds those media.
    Span data_span = span;
    if (spec.has_conformal_metal) {
        data_span = widened_below(span);
        if (edge_correction_requested(spec)) data_span = widened_above(data_span, grid);
    }
    const SubdomainSizes data_sizes = subdomain_sizes(data_span);

    const bool separate_frames = paints_frames_separately(spec);
    check_memory(double(data_sizes.map_entries) * 4);
    StructureMap map(data_span);
    build_structure_map(map, grid, spec.structures, thread_count, spec,
                        separate_frames ? PaintMode::WithoutModalFrames : PaintMode::All);

    ConformalData conformal;
    if (spec.has_conformal_metal) {
        allocate_conformal_lists(conformal, data_sizes);

        if (edge_correction_requested(spec) && !freqs.empty()) {
            const float centre_frequency = (freqs.front() + freqs.back()) * 0.5f;
            const Grid grid_copy = grid;
            const Span extended = {data_span[0], data_span[1] + 1, data_span[2],
                                   data_span[3] + 1, data_span[4], data_span[5] + 1};
            omp_set_num_threads(static_cast<int>(thread_count));
            const LoopDescription edge_loop = make_loop_description(data_span, map.reach, true);
            correct_edge_singularities(spec, map, grid_copy, conformal, edge_loop, omp_get_max_threads(),
                                       centre_frequency, extended);
        }
        if (separate_frames)
            build_structure_map(map, grid, spec.structures, thread_count, spec, PaintMode::OnlyModalFrames);

        {
            const Grid grid_copy = grid;
            omp_set_num_threads(static_cast<int>(thread_count));
            const LoopDescription loop = make_loop_description(data_span, map.reach, false);
            collect_conformal_faces(spec, map, grid_copy, conformal, loop, phase_threads(thread_count), schemes,
                                    data_span);
        }
        finish_face_records(conformal, spec, make_loop_description(data_span, map.reach, true), data_span);
    }

    const Grid grid_copy = grid;
    omp_set_num_threads(static_cast<int>(thread_count));
    const LoopDescription loop = make_loop_description(span, map.reach, false);
    average_cells(spec, map, grid_copy, conformal, loop, phase_threads(thread_count), schemes, assembler);
}
