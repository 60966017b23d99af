#include "driver/compute_driver.h"

#include <omp.h>

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

void allocate_conformal_lists(ConformalData& conformal, int64_t nx, int64_t ny, int64_t nz) {
    conformal.extents = {nx, ny, nz};
    const double cells = double(nx) * double(ny) * double(nz);
    check_memory(cells * 12);
    conformal.face_record_ids.assign(static_cast<std::size_t>(nx * ny * nz), {0, 0, 0});
    check_memory(cells * 12);
    conformal.edge_face_flags.assign(static_cast<std::size_t>(nx * ny * nz), {});
    check_memory(double(nx + 1) * double(ny + 1) * double(nz + 1) * 4);
    conformal.node_values.assign(static_cast<std::size_t>((nx + 1) * (ny + 1) * (nz + 1)), 0u);
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
    const int64_t nx = span[1] - span[0];
    const int64_t ny = span[3] - span[2];
    const int64_t nz = span[5] - span[4];

    coefficients.resize(freqs.size());
    for (FrequencyBlock& block : coefficients) {
        block.nx = nx;
        block.ny = ny;
        block.nz = nz;
        check_memory(double(nx) * double(ny) * double(nz) * 144);
        block.cells.assign(static_cast<std::size_t>(nx * ny * nz), CellCoefficients::identity());
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
    const int64_t mx = data_span[1] - data_span[0];
    const int64_t my = data_span[3] - data_span[2];
    const int64_t mz = data_span[5] - data_span[4];

    const bool separate_frames = paints_frames_separately(spec);
    check_memory(double(2 * mx + 4) * double(2 * my + 4) * double(2 * mz + 4) * 4);
    StructureMap map(data_span);
    build_structure_map(map, grid, spec.structures, thread_count, spec,
                        separate_frames ? PaintMode::WithoutModalFrames : PaintMode::All);

    ConformalData conformal;
    if (spec.has_conformal_metal) {
        allocate_conformal_lists(conformal, mx, my, mz);

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
