#include "subpixel/edge_singularities.h"

#include <array>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <vector>

#include "common/internal_error.h"
#include "common/medium_index.h"
#include "common/node_word.h"
#include "common/tolerance.h"
#include "geometry/geometry.h"
#include "spec/checked_structure.h"
#include "material/medium_response.h"
#include "subpixel/periodic_and_clipping.h"
#include "subpixel/surface_normal.h"
#include "subpixel/wedge_parameter.h"

namespace {

constexpr int POINTS = 7;
constexpr int QUADRANTS = 4;
constexpr uint16_t VACUUM = static_cast<uint16_t>(MEDIUM_INDEX_VACUUM);
constexpr uint16_t PEC = static_cast<uint16_t>(MEDIUM_INDEX_PEC);
constexpr double RIGHT_ANGLE = std::numbers::pi / 2.0;
// An edge direction runs along a grid axis when its largest component is this close to 1.
constexpr double AXIS_ALIGNMENT = 5.0 * ZERO_LENGTH;
// An open medium of lower permittivity than this is not a dielectric the correction knows.
constexpr float LOWEST_OPEN_PERMITTIVITY = FULLY_OPEN_SHARE;

// One coordinate of a sample point: the boundary (h = 0) or dual (h = 1) coordinate at the node's
// index plus d. The structure-map position along the axis is 2 (local index + d) + h.
struct Offset {
    uint8_t h;
    uint8_t d;
};

constexpr Offset AT{0, 0};
constexpr Offset BELOW{1, 0};
constexpr Offset ABOVE{1, 1};

// The node and the centres of the six grid edges that end at it; the two points along axis b are
// 2b + 1 (below) and 2b + 2 (above).
constexpr Offset STENCIL[POINTS][3] = {
    {AT, AT, AT},    {BELOW, AT, AT}, {ABOVE, AT, AT}, {AT, BELOW, AT},
    {AT, ABOVE, AT}, {AT, AT, BELOW}, {AT, AT, ABOVE},
};

// The centres of the four cell cross-sections around the node in the plane normal to an edge, in
// cyclic order: (p, q) below/above with p < q the two other axes.
constexpr Offset QUADRANT_P[QUADRANTS] = {BELOW, BELOW, ABOVE, ABOVE};
constexpr Offset QUADRANT_Q[QUADRANTS] = {BELOW, ABOVE, ABOVE, BELOW};

// How the phase sees a structure's medium.
struct StructureInfo {
    const Geometry* geometry = nullptr;
    uint16_t medium = VACUUM;     // PEC for every perfect conductor
    bool conductor = false;       // a perfect conductor or an all-lossy-metal medium
    bool open_sheet = false;      // a planar sheet of anything but a perfect conductor
};

struct Phase {
    const SimulationSpec& spec;
    const StructureMap& map;
    const Grid& grid;
    ConformalData& conformal;
    float centre_frequency;
    std::array<int64_t, 3> begin;
    std::array<int64_t, 3> nodes;  // node counts of the widened span per axis
    std::vector<StructureInfo> structures;
};

std::vector<StructureInfo> describe_structures(const SimulationSpec& spec) {
    std::vector<StructureInfo> infos(spec.structures.size());
    for (std::size_t s = 0; s < infos.size(); ++s) {
        const Structure* structure = &checked_structure(spec, s);
        const int32_t m = structure->medium_index;
        StructureInfo& info = infos[s];
        info.geometry = structure->geometry.get();
        info.medium = static_cast<uint16_t>(m);
        bool pec = m == MEDIUM_INDEX_PEC;
        if (is_real_medium_index(m)) {
            const Medium& medium = medium_at(spec.media, static_cast<uint32_t>(m));
            pec = medium.kinds[0] == ComponentKind::PEC;
            info.conductor = pec || medium.all_kinds(ComponentKind::LossyMetal);
        }
        if (pec) {
            info.medium = PEC;
            info.conductor = true;
        }
        info.open_sheet = !pec && info.geometry->planar;
    }
    return infos;
}

// The inputs the per-node index arithmetic relies on.
void check_inputs(const Phase& phase, const LoopDescription& loop, const Span& extended_span) {
    const Span& span = phase.map.span;
    for (int a = 0; a < 3; ++a) {
        const int64_t n = span[2 * a + 1] - span[2 * a];
        require(span[2 * a] >= 0 && n >= 0 && phase.map.extents[a] == 2 * n + 4);
        require(extended_span[2 * a] == span[2 * a] && extended_span[2 * a + 1] == span[2 * a + 1] + 1);
        require(phase.conformal.extents[a] == n);
        // The grid's lists hold every boundary and dual.
        const std::size_t cells = static_cast<std::size_t>(phase.grid.cell_count[a]);
        require(phase.grid.cell_count[a] > 0);
        require(phase.grid.boundaries[a].size() == cells + 1 && phase.grid.duals[a].size() == cells + 1);
    }
    require(phase.map.indices.size() ==
            static_cast<std::size_t>(phase.map.extents[0] * phase.map.extents[1] * phase.map.extents[2]));
    require(phase.conformal.node_values.size() ==
            static_cast<std::size_t>(phase.nodes[0] * phase.nodes[1] * phase.nodes[2]));
    if (loop.empty(0) || loop.empty(1) || loop.empty(2)) return;
    // Nodes of the loop lie in the widened span and on the grid (at most its last boundary).
    for (int a = 0; a < 3; ++a)
        require(loop.lower(a) >= static_cast<uint64_t>(extended_span[2 * a]) &&
                loop.upper(a) <= static_cast<uint64_t>(extended_span[2 * a + 1]) &&
                loop.upper(a) <= static_cast<uint64_t>(phase.grid.cell_count[a]) + 1);
    require(loop.order[0] != loop.order[1] && loop.order[1] != loop.order[2] && loop.order[0] != loop.order[2]);
}

// The world axis of a local edge direction of a shape, or -1 when the edge does not run along a
// grid axis. On a tie the higher axis wins.
int world_edge_axis(const Geometry& g, int32_t local_axis) {
    if (local_axis < 0 || local_axis > 2) return -1;
    Vec3 unit;
    unit[local_axis] = 1.0;
    const Vec3 w = normalized(g.to_world_direction(unit));
    int best = 0;
    for (int a = 1; a < 3; ++a)
        if (std::fabs(w[a]) >= std::fabs(w[best])) best = a;
    return std::fabs(std::fabs(w[best]) - 1.0) < AXIS_ALIGNMENT ? best : -1;
}

// An edge of the shape through the world point, along a grid axis. A planar shape's edges are
// sheet rims of angle 0.
struct EdgeHit {
    bool found = false;
    int axis = -1;
    double angle = 0.0;
};

EdgeHit edge_through(const SimulationSpec& spec, const Geometry& g, Vec3 point) {
    wrap_periodic(spec, point);
    const double tol = float_tolerance(length(point));
    double angle = 0.0;
    int32_t local_axis = -1;
    EdgeHit hit;
    if (!g.edge_at(g.to_local_point(point), tol * g.local_scale, angle, local_axis)) return hit;
    hit.axis = world_edge_axis(g, local_axis);
    if (hit.axis < 0) return hit;
    hit.found = true;
    hit.angle = g.planar ? 0.0 : angle;
    return hit;
}

// Signed distance (negative inside) from a world point to the shape's surface.
double signed_distance(const Geometry& g, const Vec3& point, double tol) {
    double distance = 0.0;
    bool unique = true;
    surface_normal_world(g, point, tol, false, distance, unique);
    return distance;
}

// The work on one node; lives on the stack of the thread that owns the node.
class NodeWork {
public:
    NodeWork(const Phase& phase, const int64_t (&node)[3]) : p_(phase), spec_(phase.spec) {
        for (int a = 0; a < 3; ++a) {
            node_[a] = node[a];
            local_[a] = node[a] - phase.begin[a];
            at_last_boundary_[a] = node[a] >= phase.grid.cell_count[a];
        }
    }

    // The node's word, 0 when no correctable conductor edge passes it.
    uint32_t word() const {
        // Stencil samples and the conductor that fixes the wedge.
        std::array<int32_t, POINTS> s;
        std::array<uint16_t, POINTS> m;
        int32_t conductor_structure = -1;
        uint16_t c = VACUUM;
        bool uniform = true;
        for (int k = 0; k < POINTS; ++k) {
            s[k] = map_read(STENCIL[k]);
            m[k] = medium_of(s[k]);
            uniform = uniform && m[k] == m[0];
            if (s[k] < 0) continue;
            const StructureInfo& info = p_.structures[s[k]];
            if (info.open_sheet) return 0;
            if (!info.conductor) continue;
            if (conductor_structure < 0) {
                conductor_structure = s[k];
                c = info.medium;
            } else if (s[k] != conductor_structure) {
                return 0;
            }
        }
        if (uniform || conductor_structure < 0) return 0;
        if (c == PEC ? !spec_.subpixel.pec_edge_singularity_correction
                     : !spec_.subpixel.lossy_metal_edge_singularity_correction)
            return 0;
        const std::array<uint16_t, POINTS> before_snap = m;

        // Points on or near the conductor's surface count as conductor, unless they lie inside a
        // structure that takes precedence over it.
        std::array<Vec3, POINTS> points;
        const Geometry& g = *p_.structures[conductor_structure].geometry;
        for (int k = 0; k < POINTS; ++k) {
            points[k] = point(STENCIL[k]);
            clamp_to_clipping_bounds(spec_, points[k]);
        }
        uniform = true;
        for (int k = 0; k < POINTS; ++k) {
            if (m[k] != c) {
                const double tol = float_tolerance(length(points[k]));
                if (signed_distance(g, points[k], tol) <= tol) {
                    double above = 0.0;
                    if (s[k] > conductor_structure)
                        above = signed_distance(*p_.structures[s[k]].geometry, points[k], tol);
                    if (above >= -tol) m[k] = c;
                }
            }
            uniform = uniform && m[k] == m[0];
        }
        if (uniform) return 0;

        // An edge along a grid axis through the node and through the two stencil points along it,
        // and through none of the others.
        if (!g.has_edges) return 0;
        const EdgeHit at_node = edge_through(spec_, g, points[0]);
        if (!at_node.found) return 0;
        const int A = at_node.axis;
        double theta = at_node.angle;
        for (int k = 1; k < POINTS; ++k) {
            const EdgeHit hit = edge_through(spec_, g, points[k]);
            const bool along = k == 2 * A + 1 || k == 2 * A + 2;
            if (along ? !(hit.found && hit.axis == A && std::fabs(hit.angle - theta) <= ANGLE_TOLERANCE) : hit.found)
                return 0;
        }

        const int across[2] = {(A + 1) % 3, (A + 2) % 3};
        // Conductor on both sides across a periodic boundary: the edge is an artefact of the wrap.
        for (int b : across)
            if (spec_.periodic_boundary[b] && before_snap[2 * b + 1] == c && before_snap[2 * b + 2] == c) return 0;
        // A right-angle edge with no conductor on either side across one axis is a sheet's rim.
        if (std::fabs(theta) > ANGLE_TOLERANCE)
            for (int b : across)
                if (m[2 * b + 1] != c && m[2 * b + 2] != c) theta = 0.0;

        // The media of the four quadrants around the edge.
        const int p = std::min(across[0], across[1]);
        const int q = std::max(across[0], across[1]);
        uint16_t medium_a = MEDIUM_NONE;
        uint16_t medium_b = MEDIUM_NONE;
        int open = 0;
        int count_a = 0;
        bool conductor_quadrant = false;
        for (int r = 0; r < QUADRANTS; ++r) {
            Offset offsets[3];
            offsets[A] = AT;
            offsets[p] = QUADRANT_P[r];
            offsets[q] = QUADRANT_Q[r];
            const int32_t sq = map_read(offsets);
            if (sq >= 0 && p_.structures[sq].conductor) {
                if (conductor_quadrant || std::fabs(theta - RIGHT_ANGLE) >= ANGLE_TOLERANCE) return 0;
                conductor_quadrant = true;
                continue;
            }
            const uint16_t mq = medium_of(sq);
            ++open;
            if (open == 1) medium_a = mq;
            else if (mq != medium_a) {
                if (medium_b == MEDIUM_NONE) medium_b = mq;
                else if (mq != medium_b) return 0;
            }
            if (mq == medium_a) ++count_a;
        }

        const float eps_a = permittivity(medium_a, A);
        if (!(eps_a >= LOWEST_OPEN_PERMITTIVITY)) return 0;
        WedgeDescriptor wedge;
        wedge.axis = A;
        wedge.angle = static_cast<float>(theta);
        wedge.eps_minority = eps_a;
        wedge.eps_majority = 1.0f;
        if (medium_b != MEDIUM_NONE) {
            const float eps_b = permittivity(medium_b, A);
            if (!(eps_b >= 1.0f)) return 0;
            wedge.eps_majority = eps_b;
            if (std::fabs(double(eps_a) - double(eps_b)) > ZERO_LENGTH) {
                const int count_b = open - count_a;
                if (count_a > count_b) {
                    wedge.eps_minority = eps_b;
                    wedge.eps_majority = eps_a;
                }
                const bool rim = std::fabs(theta) < ANGLE_TOLERANCE;
                wedge.interface_angle = static_cast<float>(
                    rim && std::min(count_a, count_b) == 2 ? std::numbers::pi : std::numbers::pi / 2.0);
            }
        }

        NodeWedge node;
        if (std::fabs(theta) < ANGLE_TOLERANCE)
            node.right_angle = false;
        else if (std::fabs(theta - RIGHT_ANGLE) < ANGLE_TOLERANCE)
            node.right_angle = true;
        else
            return 0;
        node.present = true;
        node.axis = A;
        node.count_e = node_parameter_count(wedge_parameter(wedge, false));
        node.count_h = node_parameter_count(wedge_parameter(wedge, true));
        return encode_node_word(node);
    }

    std::size_t node_index() const {
        return static_cast<std::size_t>((local_[0] * p_.nodes[1] + local_[1]) * p_.nodes[2] + local_[2]);
    }

private:
    // A half-way point beyond the last boundary falls back onto the node itself.
    Offset effective(const Offset& o, int axis) const {
        return at_last_boundary_[axis] && o.h == 1 && o.d == 1 ? AT : o;
    }

    int32_t map_read(const Offset (&offsets)[3]) const {
        int64_t position[3];
        for (int a = 0; a < 3; ++a) {
            const Offset o = effective(offsets[a], a);
            position[a] = 2 * (local_[a] + o.d) + o.h;
        }
        const int32_t s = p_.map.at(position[0], position[1], position[2]);
        require(s >= -1 && s < static_cast<int64_t>(p_.structures.size()));
        return s;
    }

    Vec3 point(const Offset (&offsets)[3]) const {
        Vec3 v;
        for (int a = 0; a < 3; ++a) {
            const Offset o = effective(offsets[a], a);
            const std::size_t n = static_cast<std::size_t>(node_[a] + o.d);
            v[a] = o.h == 0 ? double(p_.grid.boundaries[a][n]) : double(p_.grid.duals[a][n]);
        }
        return v;
    }

    uint16_t medium_of(int32_t s) const { return s < 0 ? VACUUM : p_.structures[s].medium; }

    // Real relative permittivity of an open medium along the edge, at the centre frequency and the
    // cell at the node (the last cell for a node on the last boundary); 1 for a special index.
    float permittivity(uint16_t medium, int axis) const {
        if (!is_real_medium_index(medium)) return 1.0f;
        int32_t cell[3];
        for (int a = 0; a < 3; ++a)
            cell[a] = static_cast<int32_t>(std::min(node_[a], p_.grid.cell_count[a] - 1));
        return eps_component(medium_at(spec_.media, medium), p_.centre_frequency, axis, cell[0], cell[1], cell[2])
            .real();
    }

    const Phase& p_;
    const SimulationSpec& spec_;
    int64_t node_[3];
    int64_t local_[3];
    bool at_last_boundary_[3];
};

}  // namespace

void correct_edge_singularities(const SimulationSpec& spec, const StructureMap& map, const Grid& grid,
                                ConformalData& conformal, const LoopDescription& loop, int threads,
                                float centre_frequency, const Span& extended_span) {
    Phase phase{spec, map, grid, conformal, centre_frequency, {}, {}, describe_structures(spec)};
    for (int a = 0; a < 3; ++a) {
        phase.begin[a] = map.span[2 * a];
        phase.nodes[a] = map.span[2 * a + 1] - map.span[2 * a] + 1;
    }
    check_inputs(phase, loop, extended_span);

    // The loop's indices are node indices here: the span's ends are taken one further.
    for_each_cell(loop, threads, [&](const int64_t (&node)[3]) {
        const NodeWork work(phase, node);
        const uint32_t w = work.word();
        if (w != 0) phase.conformal.node_values[work.node_index()] = w;
    });
}
