#include "driver/structure_map.h"

#include <algorithm>
#include <climits>

#include <omp.h>

#include "common/checked_size.h"
#include "common/internal_error.h"
#include "common/medium_index.h"
#include "common/tolerance.h"
#include "geometry/geometry.h"
#include "subpixel/periodic_and_clipping.h"

std::array<int64_t, 3> StructureMap::extents_for(const Span& s) {
    std::array<int64_t, 3> e{};
    for (int a = 0; a < 3; ++a) e[a] = checked_sum(checked_product({2, checked_extent(s[2 * a], s[2 * a + 1])}), 4);
    return e;
}

int64_t StructureMap::entry_count(const Span& s) {
    const std::array<int64_t, 3> e = extents_for(s);
    return checked_product({e[0], e[1], e[2]});
}

StructureMap::StructureMap(const Span& s) : extents(extents_for(s)), span(s) {
    indices.assign(static_cast<std::size_t>(entry_count(s)), -1);
    for (int a = 0; a < 3; ++a) {
        reach[2 * a] = std::numeric_limits<uint64_t>::max();
        reach[2 * a + 1] = 0;
    }
}

namespace {

// Boxes with fewer grid index triples than this are painted on one thread.
constexpr double SINGLE_THREAD_TRIPLES = 1001.0;

// A half-open range of grid indices.
struct IndexRange {
    int64_t lower = 0;
    int64_t upper = 0;
    bool empty() const { return lower >= upper; }
    int64_t extent() const { return empty() ? 0 : upper - lower; }
};

// The grid's coordinate lists, copied for one painting.
struct Coordinates {
    std::array<std::vector<float>, 3> boundaries;
    std::array<std::vector<float>, 3> duals;

    // Coordinate of kind d (0 boundary, 1 dual) at grid index i of an axis.
    double at(int axis, int64_t i, int d) const {
        const std::size_t n = static_cast<std::size_t>(i);
        return d == 0 ? double(boundaries[axis][n]) : double(duals[axis][n]);
    }
};

// First index whose coordinate is not below x (the list size when there is none). The search
// only ever reads inside the list, whatever its order.
int64_t first_not_below(const std::vector<float>& c, double x) {
    std::size_t lo = 0;
    std::size_t hi = c.size();
    while (lo < hi) {
        const std::size_t mid = lo + (hi - lo) / 2;
        if (double(c[mid]) < x)
            lo = mid + 1;
        else
            hi = mid;
    }
    return static_cast<int64_t>(lo);
}

// First index whose coordinate is greater than x (the list size when there is none).
int64_t first_above(const std::vector<float>& c, double x) {
    std::size_t lo = 0;
    std::size_t hi = c.size();
    while (lo < hi) {
        const std::size_t mid = lo + (hi - lo) / 2;
        if (double(c[mid]) > x)
            hi = mid;
        else
            lo = mid + 1;
    }
    return static_cast<int64_t>(lo);
}

// The grid indices whose samples may lie in [min, max] along one axis, one index wider on each
// side, then cut to the two indices nearest the grid end the image comes from.
IndexRange image_range(const Coordinates& grid, int axis, int64_t cell_count, double min, double max, int offset) {
    const std::vector<float>& duals = grid.duals[axis];
    IndexRange r;
    r.lower = first_not_below(duals, min);
    if (r.lower != 0 && grid.at(axis, r.lower - 1, 0) >= min) --r.lower;
    r.upper = first_above(duals, max);
    if (r.lower < r.upper) {
        if (r.lower != 0) --r.lower;
        if (r.upper < cell_count) ++r.upper;
    }
    if (offset == 1 && r.lower + 2 < r.upper) r.lower = r.upper - 2;
    if (offset == -1 && r.lower + 2 < r.upper) r.upper = r.lower + 2;
    return r;
}

bool selected(const Structure& s, PaintMode mode) {
    switch (mode) {
        case PaintMode::All:
            return true;
        case PaintMode::WithoutModalFrames:
            return !s.modal_pec_frame;
        case PaintMode::OnlyModalFrames:
            return s.modal_pec_frame;
    }
    internal_error();
}

// A structure of a gridded medium: it has no periodic images.
bool has_custom_medium(const Structure& s, const SimulationSpec& spec) {
    if (s.medium_index < 0 || s.medium_index >= MEDIUM_INDEX_VACUUM) return false;
    const std::size_t m = static_cast<std::size_t>(s.medium_index);
    require(m < spec.media.size() && spec.media[m] != nullptr);
    return spec.media[m]->all_kinds(ComponentKind::Custom);
}

// The structure's world bounds, stretched to the grid end on every side where it reaches an
// applied clipping plane, then grown by the bounds tolerance.
Aabb painting_box(const Geometry& g, const SimulationSpec& spec, const std::array<double, 3>& grid_start,
                  const std::array<double, 3>& grid_end) {
    Aabb box = g.cached_bounds();
    for (int a = 0; a < 3; ++a) {
        const auto& apply = spec.apply_extrusion_bounds[a];
        const auto& plane = spec.extrusion_clipping_bounds[a];
        const auto& tol = spec.extrusion_bound_tolerance[a];
        if (apply.first && box.min[a] <= plane.first + tol.first) box.min[a] = grid_start[a];
        if (apply.second && box.max[a] >= plane.second - tol.second) box.max[a] = grid_end[a];
    }
    const double t = spec.bounds_tolerance;
    for (int a = 0; a < 3; ++a) {
        box.min[a] -= t;
        box.max[a] += t;
    }
    return box;
}

// Everything one image of one structure needs while painting.
struct ImagePainting {
    const SimulationSpec& spec;
    const Coordinates& grid;
    StructureMap& map;
    Geometry& geometry;
    int32_t structure_index;
    std::array<int, 3> offset;
    std::array<IndexRange, 3> range;  // clamped to the painting limits, none empty
    uint64_t thread_count;
};

void paint_image(const ImagePainting& job) {
    const SimulationSpec& spec = job.spec;
    const Coordinates& grid = job.grid;
    Geometry& geometry = job.geometry;
    const Span& span = job.map.span;

    const int a = geometry.slice_axis();
    require(a >= 0 && a <= 2);
    const int next = (a + 1) % 3;
    const int after = (a + 2) % 3;
    const int second = job.range[next].extent() > job.range[after].extent() ? next : after;
    const int third = 3 - a - second;

    const IndexRange outer = job.range[a];
    const IndexRange r2 = job.range[second];
    const IndexRange r3 = job.range[third];
    const int64_t n2 = r2.extent();
    const int64_t n3 = r3.extent();
    const int64_t pairs = n2 * n3;

    const double triples = double(outer.extent()) * double(n2) * double(n3);
    omp_set_num_threads(static_cast<int>(std::clamp<uint64_t>(job.thread_count, 1, INT_MAX)));
    const int threads = (triples < SINGLE_THREAD_TRIPLES || job.thread_count < 2) ? 1 : omp_get_max_threads();

    const bool periodic = spec.periodic_boundary[0] || spec.periodic_boundary[1] || spec.periodic_boundary[2];
    const bool is_image = job.offset != std::array<int, 3>{0, 0, 0};
    const bool sliced = geometry.uses_slices();
    // The hot loop reaches the shape only through contains().
    const Matrix4 to_local = geometry.transform.to_local;
    const double local_scale = geometry.local_scale;
    const Geometry& shape = geometry;
    int32_t* const indices = job.map.indices.data();
    const int64_t ey = job.map.extents[1];
    const int64_t ez = job.map.extents[2];
    const int32_t k = job.structure_index;
    const std::array<int, 3> offset = job.offset;

    for (int64_t i = outer.lower; i < outer.upper; ++i) {
        for (int d = 0; d < 2; ++d) {
            const double c = grid.at(a, i, d);
            if (sliced) {
                Vec3 p;
                p[a] = c;
                p[second] = grid.at(second, r2.lower, 0);
                p[third] = grid.at(third, r3.lower, 0);
                clamp_to_clipping_bounds(spec, p);
                wrap_periodic(spec, p);
                geometry.prepare_slice(transform_point(to_local, p));
            }
            const int64_t slice_doubled = 2 * (i - span[2 * a]) + d;

#pragma omp parallel for schedule(nonmonotonic : dynamic, 1) num_threads(threads)
            for (int64_t flat = 0; flat < pairs; ++flat) {
                const int64_t j = r2.lower + flat / n3;
                const int64_t l = r3.lower + flat % n3;
                for (int d2 = 0; d2 < 2; ++d2) {
                    for (int d3 = 0; d3 < 2; ++d3) {
                        Vec3 p;
                        p[a] = c;
                        p[second] = grid.at(second, j, d2);
                        p[third] = grid.at(third, l, d3);
                        if (periodic) {
                            const Vec3 shift = wrap_periodic(spec, p);
                            if (is_image) {
                                bool wrong_side = false;
                                for (int ax = 0; ax < 3; ++ax)
                                    wrong_side = wrong_side || (offset[ax] == -1 && shift[ax] < 0.0) ||
                                                 (offset[ax] == 1 && shift[ax] > 0.0);
                                if (wrong_side) continue;
                            }
                        }
                        std::array<int64_t, 3> doubled{};
                        doubled[a] = slice_doubled;
                        doubled[second] = 2 * (j - span[2 * second]) + d2;
                        doubled[third] = 2 * (l - span[2 * third]) + d3;
                        clamp_to_clipping_bounds(spec, p);
                        const double tol = float_tolerance(length(p));
                        if (shape.contains(transform_point(to_local, p), false, tol * local_scale))
                            indices[(doubled[0] * ey + doubled[1]) * ez + doubled[2]] = k;
                    }
                }
            }
        }
    }
}

// The map and the grid agree: the span lies inside the grid and the map has the span's size.
void check_inputs(const StructureMap& map, const Grid& grid,
                  const std::vector<std::shared_ptr<Structure>>& structures) {
    require(structures.size() <= static_cast<std::size_t>(INT32_MAX));
    for (int a = 0; a < 3; ++a) {
        const int64_t n = grid.cell_count[a];
        require(n >= 1 && grid.boundaries[a].size() == static_cast<std::size_t>(n + 1) &&
                grid.duals[a].size() == static_cast<std::size_t>(n + 1));
        const int64_t begin = map.span[2 * a];
        const int64_t end = map.span[2 * a + 1];
        require(begin >= 0 && begin <= end && end <= n);
    }
    require(map.extents == StructureMap::extents_for(map.span));
    require(map.indices.size() == static_cast<std::size_t>(StructureMap::entry_count(map.span)));
}

}  // namespace

void build_structure_map(StructureMap& map, const Grid& grid, const std::vector<std::shared_ptr<Structure>>& structures,
                         uint64_t thread_count, const SimulationSpec& spec, PaintMode mode) {
    check_inputs(map, grid, structures);
    const Coordinates coords{grid.boundaries, grid.duals};
    std::array<double, 3> grid_start{};
    std::array<double, 3> grid_end{};
    std::array<IndexRange, 3> limits{};
    for (int a = 0; a < 3; ++a) {
        grid_start[a] = coords.duals[a].front();
        grid_end[a] = coords.boundaries[a].back();
        limits[a] = {map.span[2 * a], map.span[2 * a + 1] + 1};
    }
    const double t = spec.bounds_tolerance;

    for (std::size_t position = 0; position < structures.size(); ++position) {
        const Structure* s = structures[position].get();
        require(s != nullptr && s->geometry != nullptr);
        if (!selected(*s, mode)) continue;
        const Aabb box = painting_box(*s->geometry, spec, grid_start, grid_end);
        const bool custom = has_custom_medium(*s, spec);

        for (int ix = -1; ix <= 1; ++ix) {
            for (int iy = -1; iy <= 1; ++iy) {
                for (int iz = -1; iz <= 1; ++iz) {
                    const std::array<int, 3> offset = {ix, iy, iz};
                    bool used = true;
                    for (int a = 0; a < 3 && used; ++a) {
                        if (offset[a] == 0) continue;
                        used = !custom && spec.periodic_boundary[a] &&
                               (offset[a] == 1 ? grid_end[a] >= spec.simulation_bounds[a].second - t
                                               : grid_start[a] <= spec.simulation_bounds[a].first + t);
                    }
                    if (!used) continue;

                    std::array<IndexRange, 3> range{};
                    bool meets_grid = true;
                    for (int a = 0; a < 3; ++a) {
                        const double shift = offset[a] * spec.simulation_size[a];
                        range[a] = image_range(coords, a, grid.cell_count[a], box.min[a] + shift, box.max[a] + shift,
                                               offset[a]);
                        meets_grid = meets_grid && !range[a].empty();
                    }
                    if (meets_grid) {
                        for (int a = 0; a < 3; ++a) {
                            map.reach[2 * a] = std::min(map.reach[2 * a], static_cast<uint64_t>(range[a].lower));
                            map.reach[2 * a + 1] =
                                std::max(map.reach[2 * a + 1], static_cast<uint64_t>(range[a].upper));
                        }
                    }

                    bool paints = true;
                    for (int a = 0; a < 3; ++a) {
                        range[a].lower = std::max(range[a].lower, limits[a].lower);
                        range[a].upper = std::min(range[a].upper, limits[a].upper);
                        paints = paints && !range[a].empty();
                    }
                    if (!paints) continue;
                    paint_image({spec, coords, map, *s->geometry, static_cast<int32_t>(position), offset, range,
                                 thread_count});
                }
            }
        }
    }
}
