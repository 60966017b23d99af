#include "subpixel/average_cells.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <vector>

#include "common/checked_size.h"
#include "common/internal_error.h"
#include "common/medium_index.h"
#include "common/tolerance.h"
#include "geometry/geometry.h"
#include "spec/checked_structure.h"
#include "material/cell_assembler.h"
#include "subpixel/cell_samples.h"
#include "subpixel/component_outcome.h"
#include "subpixel/measurement_front_ends.h"
#include "subpixel/periodic_and_clipping.h"
#include "subpixel/surface_normal.h"

namespace {

constexpr int POINTS = 11;
constexpr uint16_t VACUUM = static_cast<uint16_t>(MEDIUM_INDEX_VACUUM);
constexpr uint16_t PEC = static_cast<uint16_t>(MEDIUM_INDEX_PEC);
constexpr uint16_t PMC = static_cast<uint16_t>(MEDIUM_INDEX_PMC);
// A sample whose conductor is treated conformally takes no part in the averaging.
constexpr uint16_t DROPPED = MEDIUM_NONE;

// An edge share below this shorts an electric component.
constexpr float SHORT_EDGE_SHARE = 0.00048828125f;  // 2^-11
// The wedge angle of a face without a conductor wedge.
constexpr float NO_WEDGE_ANGLE = 3.1415927f;
// First of the candidate distances of the heuristic staircasing.
constexpr double FAR_DISTANCE = 1e20;

// One coordinate of a sample point: the boundary (h = 0) or dual (h = 1) coordinate at the cell's
// index plus d. The structure-map position along the axis is 2 (local index + d) + h.
struct Offset {
    uint8_t h;
    uint8_t d;
};

// The eleven points around Ex and Hx of a cell; column r is the axis (component + r) mod 3, so the
// same tables serve the y and z components. Point 0 is the Yee position, 1 and 2 the poles, 3 to
// 6 a ring in cyclic order and 7 + m the point between ring points 3 + m and 3 + (m + 1) mod 4.
constexpr Offset ELECTRIC_POINTS[POINTS][3] = {
    {{1, 1}, {0, 0}, {0, 0}},  // edge centre
    {{0, 0}, {0, 0}, {0, 0}},  // lower end node
    {{0, 1}, {0, 0}, {0, 0}},  // upper end node
    {{1, 1}, {1, 0}, {1, 0}},  // cell centres around the edge
    {{1, 1}, {1, 1}, {1, 0}},
    {{1, 1}, {1, 1}, {1, 1}},
    {{1, 1}, {1, 0}, {1, 1}},
    {{1, 1}, {0, 0}, {1, 0}},  // face centres around the edge
    {{1, 1}, {1, 1}, {0, 0}},
    {{1, 1}, {0, 0}, {1, 1}},
    {{1, 1}, {1, 0}, {0, 0}},
};
constexpr Offset MAGNETIC_POINTS[POINTS][3] = {
    {{0, 0}, {1, 1}, {1, 1}},  // face centre
    {{1, 0}, {1, 1}, {1, 1}},  // centre of the cell below
    {{1, 1}, {1, 1}, {1, 1}},  // centre of the cell
    {{0, 0}, {0, 0}, {0, 0}},  // face corners
    {{0, 0}, {0, 1}, {0, 0}},
    {{0, 0}, {0, 1}, {0, 1}},
    {{0, 0}, {0, 0}, {0, 1}},
    {{0, 0}, {1, 1}, {0, 0}},  // centres of the face's edges
    {{0, 0}, {0, 1}, {1, 1}},
    {{0, 0}, {1, 1}, {0, 1}},
    {{0, 0}, {0, 0}, {1, 1}},
};

// Samples 7 to 10: the face centres around an electric edge, the edge centres around a magnetic
// face.
constexpr int FIRST_SIDE_CENTRE = 7;

// The five points of a component's face lying in the plane of a sheet normal to the axis
// (component + 1) mod 3, respectively (component + 2) mod 3: the centre, then the poles and the
// two in-plane face centres alternating, so that points 1 to 4 run around the centre.
constexpr int SHEET_FACE_NEXT[5] = {0, 1, 7, 2, 9};
constexpr int SHEET_FACE_AFTER_NEXT[5] = {0, 1, 8, 2, 10};

bool is_real(uint16_t medium) { return medium <= MEDIUM_INDEX_LAST_REAL; }

bool is_conductor(uint16_t medium) { return medium == PEC || medium == PMC; }

// Whether a wedge angle is that of a sheet rim (0) or a right-angle edge (pi/2).
bool corrected_wedge(float angle) {
    return std::fabs(double(angle)) <= ANGLE_TOLERANCE ||
           std::fabs(double(angle) - std::numbers::pi / 2.0) <= ANGLE_TOLERANCE;
}

// What the phase needs of a structure, worked out once per phase.
struct StructureInfo {
    const Geometry* geometry = nullptr;
    int32_t medium_index = 0;
    // The sample medium of the structure for each electric component and for the magnetic ones.
    std::array<uint16_t, 3> electric{};
    uint16_t magnetic = VACUUM;
    // The medium (and open flag) of an electric component whose whole neighbourhood lies in the
    // structure.
    std::array<uint16_t, 3> electric_alone{};
    std::array<uint8_t, 3> electric_alone_open{};
};

// What the phase needs of a medium of the media list.
struct MediumInfo {
    bool fully_anisotropic = false;
    bool lossy_metal = false;
    uint64_t identifier = 0;
};

// The shared, read-only inputs of the phase.
struct Phase {
    const SimulationSpec& spec;
    const StructureMap& map;
    const Grid& grid;
    const ConformalData& conformal;
    const SchemeSet& schemes;
    CellAssembler& assembler;
    std::vector<StructureInfo> structures;
    std::vector<MediumInfo> media;
    bool magnetic_pass = false;
    bool conformal_metal = false;
};

std::vector<MediumInfo> describe_media(const SimulationSpec& spec) {
    std::vector<MediumInfo> media(spec.media.size());
    for (std::size_t i = 0; i < media.size(); ++i) {
        const Medium* medium = spec.media[i].get();
        require(medium != nullptr);
        media[i].fully_anisotropic = medium->all_kinds(ComponentKind::FullyAnisotropic);
        media[i].lossy_metal = medium->all_kinds(ComponentKind::LossyMetal);
        media[i].identifier = medium->subpixel_identifier;
    }
    return media;
}

std::vector<StructureInfo> describe_structures(const SimulationSpec& spec) {
    const bool surface_impedance = spec.subpixel.lossy_metal == AveragingMethod::SurfaceImpedance;
    std::vector<StructureInfo> infos(spec.structures.size());
    for (std::size_t s = 0; s < infos.size(); ++s) {
        const Structure* structure = &checked_structure(spec, s);
        const int32_t m = structure->medium_index;
        StructureInfo& info = infos[s];
        info.geometry = structure->geometry.get();
        require(info.geometry->axis_index >= 0 && info.geometry->axis_index <= 2);
        info.medium_index = m;
        info.magnetic = m == MEDIUM_INDEX_PMC ? PMC : VACUUM;
        const uint16_t medium = static_cast<uint16_t>(m);
        for (int c = 0; c < 3; ++c) {
            uint16_t sample = medium;
            uint16_t alone = medium;
            uint8_t open = 1;
            if (m == MEDIUM_INDEX_PEC) {
                sample = alone = PEC;
                open = 0;
            } else if (is_real_medium_index(m)) {
                const Medium& med = *spec.media[static_cast<std::size_t>(m)];
                if (med.kinds[c] == ComponentKind::PEC) {
                    sample = alone = PEC;
                    open = 0;
                } else if (surface_impedance && med.all_kinds(ComponentKind::LossyMetal)) {
                    alone = PEC;
                    open = 0;
                }
            } else if (m == MEDIUM_INDEX_PMC) {
                sample = alone = VACUUM;
            }
            info.electric[c] = sample;
            info.electric_alone[c] = alone;
            info.electric_alone_open[c] = open;
        }
    }
    return infos;
}

// The consistency of the inputs that the per-cell work relies on for its index arithmetic.
void check_inputs(const Phase& phase, const LoopDescription& loop) {
    const Span& span = phase.map.span;
    for (int a = 0; a < 3; ++a) require(span[2 * a] >= 0);
    require(phase.map.extents == StructureMap::extents_for(span));
    require(phase.map.indices.size() == static_cast<std::size_t>(StructureMap::entry_count(span)));
    const int64_t cells = checked_product({span[1] - span[0], span[3] - span[2], span[5] - span[4]});
    if (loop.empty(0) || loop.empty(1) || loop.empty(2)) return;
    for (int a = 0; a < 3; ++a) {
        // Cells of the loop lie in the span, and the grid holds their coordinates and the next ones.
        require(loop.lower(a) >= static_cast<uint64_t>(span[2 * a]) &&
                loop.upper(a) <= static_cast<uint64_t>(span[2 * a + 1]));
        require(phase.grid.boundaries[a].size() > loop.upper(a) && phase.grid.duals[a].size() > loop.upper(a));
    }
    require(loop.order[0] != loop.order[1] && loop.order[1] != loop.order[2] && loop.order[0] != loop.order[2]);
    if (phase.conformal_metal) {
        const ConformalData& cd = phase.conformal;
        for (int a = 0; a < 3; ++a) require(cd.extents[a] == span[2 * a + 1] - span[2 * a]);
        require(cd.face_record_ids.size() == static_cast<std::size_t>(cells) &&
                cd.edge_face_flags.size() == static_cast<std::size_t>(cells));
    }
}

// The work on one cell; lives on the stack of the thread that owns the cell.
class CellWork {
public:
    CellWork(const Phase& phase, const int64_t (&global)[3]) : p_(phase), spec_(phase.spec) {
        for (int a = 0; a < 3; ++a) {
            global_[a] = global[a];
            local_[a] = global[a] - phase.map.span[2 * a];
        }
    }

    void run() {
        CellSamples samples;
        for (int c = 0; c < 3; ++c) sample_component(false, c, samples.electric(c));
        if (p_.magnetic_pass)
            for (int c = 0; c < 3; ++c) sample_component(true, c, samples.magnetic(c));
        p_.assembler.assemble(global_[0], global_[1], global_[2], samples);
    }

private:
    const Offset& offset(bool magnetic, int c, int k, int axis) const {
        const int column = (axis - c + 3) % 3;
        return magnetic ? MAGNETIC_POINTS[k][column] : ELECTRIC_POINTS[k][column];
    }

    int32_t map_read(bool magnetic, int c, int k) const {
        int64_t position[3];
        for (int a = 0; a < 3; ++a) {
            const Offset& o = offset(magnetic, c, k, a);
            position[a] = 2 * (local_[a] + o.d) + o.h;
        }
        const int32_t s = p_.map.at(position[0], position[1], position[2]);
        require(s >= -1 && s < static_cast<int64_t>(p_.structures.size()));
        return s;
    }

    Vec3 point(bool magnetic, int c, int k) const {
        Vec3 v;
        for (int a = 0; a < 3; ++a) {
            const Offset& o = offset(magnetic, c, k, a);
            const std::size_t n = static_cast<std::size_t>(global_[a] + o.d);
            v[a] = o.h == 0 ? double(p_.grid.boundaries[a][n]) : double(p_.grid.duals[a][n]);
        }
        return v;
    }

    // The point clamped to the clipping planes and wrapped into the periodic box, as the geometry
    // is asked.
    Vec3 geometry_point(const Vec3& scheme_point) const {
        Vec3 g = scheme_point;
        clamp_to_clipping_bounds(spec_, g);
        wrap_periodic(spec_, g);
        return g;
    }

    const MediumInfo* medium_info(uint16_t m) const { return is_real(m) ? &p_.media[m] : nullptr; }
    bool fully_anisotropic(uint16_t m) const { return is_real(m) && p_.media[m].fully_anisotropic; }
    bool lossy_metal(uint16_t m) const { return is_real(m) && p_.media[m].lossy_metal; }

    std::size_t conformal_cell(const int64_t (&cell)[3]) const {
        return p_.conformal.cell_index(cell[0], cell[1], cell[2]);
    }

    const FaceRecord& record(uint32_t id) const {
        require((id & FACE_HAS_RECORD_BIT) != 0);
        const std::size_t r = id & FACE_RECORD_INDEX_MASK;
        require(r < p_.conformal.face_records.size());
        return p_.conformal.face_records[r];
    }

    // The conductor data of the four faces around an electric edge. Returns true when they settle
    // the component; the wedge parameter is set either way.
    bool conformal_electric(int c, ComponentSample& out) const {
        const int u = (c + 1) % 3;
        const int v = (c + 2) % 3;
        const int64_t here[3] = {local_[0], local_[1], local_[2]};
        const std::array<uint8_t, 12>& flags = p_.conformal.edge_face_flags[conformal_cell(here)];
        float angle = NO_WEDGE_ANGLE;
        float w = 0.0f;
        bool handled = false;
        for (int q = 0; q < 4; ++q) {
            if (flags[4 * c + q] == 0) continue;
            int64_t cell[3] = {here[0], here[1], here[2]};
            int face_axis = u;
            if (q == 0) face_axis = v;
            if (q == 1) cell[v] -= 1;
            if (q == 2) {
                cell[u] -= 1;
                face_axis = v;
            }
            // A flag of a face below the subdomain has no record to point to.
            require(cell[u] >= 0 && cell[v] >= 0);
            const FaceRecord& r = record(p_.conformal.face_record_ids[conformal_cell(cell)][face_axis]);
            if (q == 0) {
                if (r.axis == c || !(r.wedge_angle < NO_WEDGE_ANGLE)) {
                    angle = NO_WEDGE_ANGLE;
                    w = 0.0f;
                } else {
                    angle = r.wedge_angle;
                    w = r.wedge_param_e;
                }
            } else if (r.axis != c && r.wedge_angle < angle) {
                angle = r.wedge_angle;
                w = r.wedge_param_e;
            }
            if (handled) continue;
            const float e = r.edge_fraction[q];
            if (e > FULLY_OPEN_SHARE) continue;
            if (e < SHORT_EDGE_SHARE) {
                out.medium_a = PEC;
                out.medium_b = MEDIUM_NONE;
                out.fraction = 0.0f;
                out.open = 0;
            } else {
                out.medium_a = r.edge_medium[q];
                out.medium_b = PEC;
                out.fraction = 1.0f - e;
            }
            handled = true;
        }
        out.wedge_param = corrected_wedge(angle) ? w : 0.0f;
        return handled;
    }

    // The conductor data of the face a magnetic component crosses. Returns true when they settle
    // the component.
    bool conformal_magnetic(int c, ComponentSample& out) const {
        const int64_t here[3] = {local_[0], local_[1], local_[2]};
        const uint32_t id = p_.conformal.face_record_ids[conformal_cell(here)][c];
        if ((id & FACE_CLOSED_BIT) != 0) {
            out.medium_a = PMC;
            out.fraction = 0.0f;
            out.open = 0;
            return true;
        }
        if ((id & FACE_HAS_RECORD_BIT) == 0) return false;
        const FaceRecord& r = record(id);
        out.medium_a = r.medium_index;
        out.fraction = r.area_fraction;
        out.surface_length = r.surface_length;
        if (out.fraction < ZERO_LENGTH) out.open = 0;
        out.wedge_param = corrected_wedge(r.wedge_angle) ? r.wedge_param_h : 0.0f;
        return true;
    }

    void settle(ComponentSample& out, uint16_t medium_a) const {
        out.medium_a = medium_a;
        out.medium_b = MEDIUM_NONE;
        out.fraction = 0.0f;
    }

    // Custom media sharing a nonzero identifier count as one: every sample of such a medium takes
    // the medium of the highest structure carrying the identifier (the earlier sample on ties).
    void merge_identifiers(const std::array<int32_t, POINTS>& s, std::array<uint16_t, POINTS>& m) const {
        uint64_t ids[POINTS];
        uint16_t kept_medium[POINTS];
        int32_t kept_structure[POINTS];
        int groups = 0;
        int group_of[POINTS];
        for (int k = 0; k < POINTS; ++k) {
            group_of[k] = -1;
            const MediumInfo* info = medium_info(m[k]);
            if (info == nullptr || info->identifier == 0) continue;
            int g = 0;
            while (g < groups && ids[g] != info->identifier) ++g;
            if (g == groups) {
                ids[g] = info->identifier;
                kept_medium[g] = m[k];
                kept_structure[g] = s[k];
                ++groups;
            } else if (kept_structure[g] < s[k]) {
                kept_medium[g] = m[k];
                kept_structure[g] = s[k];
            }
            group_of[k] = g;
        }
        for (int k = 0; k < POINTS; ++k)
            if (group_of[k] >= 0) m[k] = kept_medium[group_of[k]];
    }

    void sample_component(bool magnetic, int c, ComponentSample& out) const {
        std::array<int32_t, POINTS> s;
        std::array<uint16_t, POINTS> m;
        bool uniform = true;
        bool anisotropic = false;
        for (int k = 0; k < POINTS; ++k) {
            s[k] = map_read(magnetic, c, k);
            if (s[k] < 0)
                m[k] = VACUUM;
            else
                m[k] = magnetic ? p_.structures[s[k]].magnetic : p_.structures[s[k]].electric[c];
            uniform = uniform && s[k] == s[0];
            anisotropic = anisotropic || fully_anisotropic(m[k]);
        }

        if (p_.conformal_metal && !anisotropic) {
            if (magnetic ? conformal_magnetic(c, out) : conformal_electric(c, out)) return;
        }

        if (uniform) {
            if (s[0] < 0)
                settle(out, VACUUM);
            else if (magnetic)
                settle(out, p_.structures[s[0]].magnetic);
            else {
                settle(out, p_.structures[s[0]].electric_alone[c]);
                if (p_.structures[s[0]].electric_alone_open[c] == 0) out.open = 0;
            }
            return;
        }

        if (spec_.has_subpixel_identifiers && std::any_of(m.begin(), m.end(), [&](uint16_t x) { return x != m[0]; }))
            merge_identifiers(s, m);

        // Conductors treated conformally are carried by the face records, not by the samples.
        bool pec = false, pmc = false, lossy = false;
        for (int k = 0; k < POINTS; ++k) {
            pec = pec || m[k] == PEC;
            pmc = pmc || m[k] == PMC;
            lossy = lossy || lossy_metal(m[k]);
        }
        if (!anisotropic) {
            const SubpixelMethodSettings& settings = spec_.subpixel;
            const bool surface_impedance = settings.lossy_metal == AveragingMethod::SurfaceImpedance;
            const bool pec_conformal = settings.pec == AveragingMethod::PECConformal;
            bool drop_lossy = false;
            bool drop_pec = false;
            if (lossy && surface_impedance) {
                drop_lossy = true;
                drop_pec = pec_conformal;
            } else if (pec && pec_conformal) {
                drop_pec = true;
                drop_lossy = surface_impedance;
            }
            for (int k = 0; k < POINTS; ++k)
                if ((drop_pec && m[k] == PEC) || (drop_lossy && lossy_metal(m[k]))) m[k] = DROPPED;
            if (drop_pec) pec = false;
            if (m[0] == DROPPED) {
                settle(out, PEC);
                out.open = 0;
                return;
            }
        }

        // Distinct media (up to three) and the highest structure on either side of the Yee
        // position's medium.
        const uint16_t d0 = m[0];
        uint16_t d1 = DROPPED;
        int distinct = 1;
        int32_t top_a = s[0];
        int32_t top_b = -1;
        for (int k = 0; k < POINTS; ++k) {
            if (m[k] == DROPPED) continue;
            if (m[k] == d0) {
                top_a = std::max(top_a, s[k]);
                continue;
            }
            top_b = std::max(top_b, s[k]);
            if (distinct == 1) {
                d1 = m[k];
                distinct = 2;
            } else if (m[k] != d1) {
                distinct = 3;
            }
        }
        if (distinct == 1) {
            settle(out, d0);
            if (d0 == PEC) out.open = 0;
            return;
        }

        const ComponentConditions conditions{pec, pmc, anisotropic, distinct, magnetic};
        switch (select_component_outcome(spec_.subpixel, conditions)) {
            case ComponentOutcome::PlainStaircase:
                settle(out, d0);
                return;
            case ComponentOutcome::StaircaseWithConductors: {
                bool shorted = false;
                for (int k = FIRST_SIDE_CENTRE; k < POINTS; ++k) shorted = shorted || is_conductor(m[k]);
                if (shorted) {
                    settle(out, magnetic ? PMC : PEC);
                    out.open = 0;
                } else {
                    settle(out, is_conductor(d0) ? d1 : d0);
                }
                return;
            }
            case ComponentOutcome::FullyAnisotropicStaircase:
                if (fully_anisotropic(m[1]) || fully_anisotropic(m[2])) {
                    out.medium_a = m[1];
                    out.medium_b = m[2];
                    out.fraction = 0.5f;
                } else {
                    settle(out, fully_anisotropic(m[0]) ? m[1] : m[0]);
                }
                return;
            case ComponentOutcome::HeuristicPecStaircase:
            case ComponentOutcome::HeuristicPmcStaircase:
                settle(out, heuristic_staircase(magnetic, c, s, m, top_a));
                return;
            case ComponentOutcome::Averaging:
                average(c, s, m, d0, d1, top_a, top_b, out);
                return;
            case ComponentOutcome::Error:
                break;
        }
        internal_error();
    }

    // A conductor at the Yee position gives way to the open medium at the position or its poles
    // when the nearest surface's normal runs along the component.
    uint16_t heuristic_staircase(bool magnetic, int c, const std::array<int32_t, POINTS>& s,
                                 const std::array<uint16_t, POINTS>& m, int32_t top_a) const {
        const uint16_t d0 = m[0];
        if (!is_conductor(d0)) return d0;
        const Vec3 yee = point(magnetic, c, 0);
        const Vec3 at = geometry_point(yee);
        const double tol = float_tolerance(length(at));

        // Nearest surface among the top structure of the Yee position's medium and the sampled
        // structures, in this order; a later one wins only when strictly nearer. A structure
        // asked again answers the same, so each is asked once.
        int32_t tried[POINTS + 1];
        int tried_count = 0;
        bool found = false;
        double nearest = 0.0;
        Vec3 normal;
        for (int k = -1; k < POINTS; ++k) {
            const int32_t candidate = k < 0 ? top_a : s[k];
            if (candidate < 0) continue;
            if (std::find(tried, tried + tried_count, candidate) != tried + tried_count) continue;
            tried[tried_count++] = candidate;
            const Geometry& geometry = *p_.structures[candidate].geometry;
            double distance = 1.0;
            bool unique = true;
            const WorldNormal wn = surface_normal_world(geometry, at, tol, c != geometry.axis_index, distance, unique);
            const double d = std::fabs(distance);
            if (!found) {
                nearest = std::min(d, FAR_DISTANCE);
                normal = wn.normal;
                found = true;
            } else if (d < nearest) {
                nearest = d;
                normal = wn.normal;
            }
        }
        // A conductor sample always comes from a structure.
        require(found);
        const Vec3 n = clip_normal(spec_, normal, yee);
        int dominant = 0;
        if (length(n) > ZERO_LENGTH) {
            for (int a = 1; a < 3; ++a)
                if (std::fabs(n[a]) >= std::fabs(n[dominant])) dominant = a;
        }
        if (dominant != c) return d0;
        return std::min({d0, m[1], m[2]});
    }

    // Decides which side a list of samples measures: the side whose highest structure is higher,
    // side A being the samples of `d0`. Returns false when the samples hold only `d0`.
    template <std::size_t N>
    static bool decide_sides(const std::array<int32_t, N>& s, const std::array<uint16_t, N>& m, uint16_t d0,
                             bool& measure_b, int32_t& measured_structure, int32_t& measured_point) {
        int32_t top_a = s[0];
        int32_t top_b = -1;
        bool other = false;
        for (std::size_t k = 0; k < N; ++k) {
            if (m[k] == DROPPED) continue;
            if (m[k] == d0) {
                top_a = std::max(top_a, s[k]);
            } else {
                top_b = std::max(top_b, s[k]);
                other = true;
            }
        }
        if (!other) return false;
        measure_b = top_a < top_b;
        measured_structure = measure_b ? top_b : top_a;
        measured_point = first_carrier(s, m, measured_structure);
        return true;
    }

    // The first sample that carries the structure and takes part in the averaging.
    template <std::size_t N>
    static int32_t first_carrier(const std::array<int32_t, N>& s, const std::array<uint16_t, N>& m, int32_t structure) {
        // Both sides have a structure on top unless they are the background; at least one of the
        // two media of a component comes from a structure.
        require(structure >= 0);
        for (std::size_t k = 0; k < N; ++k)
            if (s[k] == structure && m[k] != DROPPED) return static_cast<int32_t>(k);
        internal_error();
    }

    template <std::size_t N>
    static void pick(const int (&which)[N], const std::array<int32_t, POINTS>& s, const std::array<uint16_t, POINTS>& m,
                     const std::array<Vec3, POINTS>& scheme, const std::array<Vec3, POINTS>& geometry,
                     std::array<int32_t, N>& s_out, std::array<uint16_t, N>& m_out, std::array<Vec3, N>& scheme_out,
                     std::array<Vec3, N>& geometry_out) {
        for (std::size_t i = 0; i < N; ++i) {
            s_out[i] = s[which[i]];
            m_out[i] = m[which[i]];
            scheme_out[i] = scheme[which[i]];
            geometry_out[i] = geometry[which[i]];
        }
    }

    // The planar sheet on top of one side whose plane holds the component, or null.
    const Geometry* sheet_across(int32_t top, int c) const {
        if (top < 0) return nullptr;
        const Geometry* g = p_.structures[top].geometry;
        return g->planar && g->axis_index != c ? g : nullptr;
    }

    // Electric averaging of two media: fill fraction and normal of medium_b, and its share of the
    // component's edge under contour-path averaging.
    void average(int c, const std::array<int32_t, POINTS>& s, const std::array<uint16_t, POINTS>& m, uint16_t d0,
                 uint16_t d1, int32_t top_a, int32_t top_b, ComponentSample& out) const {
        out.medium_a = d0;
        out.medium_b = d1;
        const int32_t mode = p_.schemes.subpixel_scheme;

        std::array<Vec3, POINTS> scheme_points;
        std::array<Vec3, POINTS> geometry_points;
        for (int k = 0; k < POINTS; ++k) {
            scheme_points[k] = point(false, c, k);
            geometry_points[k] = geometry_point(scheme_points[k]);
        }

        Measurement measured;
        bool measure_b = top_a < top_b;
        const Geometry* sheet = sheet_across(top_b, c);
        if (sheet == nullptr) sheet = sheet_across(top_a, c);
        if (sheet != nullptr) {
            const int(&which)[5] = sheet->axis_index == (c + 1) % 3 ? SHEET_FACE_NEXT : SHEET_FACE_AFTER_NEXT;
            std::array<int32_t, 5> fs;
            std::array<uint16_t, 5> fm;
            std::array<Vec3, 5> fp;
            std::array<Vec3, 5> fg;
            pick(which, s, m, scheme_points, geometry_points, fs, fm, fp, fg);
            int32_t structure = -1;
            int32_t at = 0;
            if (!decide_sides(fs, fm, d0, measure_b, structure, at)) {
                out.medium_b = MEDIUM_NONE;
                out.fraction = 0.0f;
                return;
            }
            std::array<InterfacePoint, 5> points;
            measured = measure_face(*p_.schemes.face, spec_, mode, fs, at, fm, c, *p_.structures[structure].geometry,
                                    fp, fg, points);
        } else {
            const int32_t structure = measure_b ? top_b : top_a;
            const int32_t at = first_carrier(s, m, structure);
            std::array<InterfacePoint, POINTS> points;
            measured = measure_volume(*p_.schemes.volume, spec_, mode, s, at, m, c,
                                      *p_.structures[structure].geometry, scheme_points, geometry_points, points);
        }

        Vec3 n = measured.normal;
        if (length(n) < ZERO_LENGTH) n = {1.0, 0.0, 0.0};
        if (!measure_b) n = -n;
        out.fraction = static_cast<float>(measure_b ? measured.fraction : 1.0 - measured.fraction);
        out.normal = {static_cast<float>(n.x), static_cast<float>(n.y), static_cast<float>(n.z)};

        if (spec_.subpixel.dielectric != AveragingMethod::ContourPathAveraging) return;
        constexpr int EDGE[3] = {0, 1, 2};
        std::array<int32_t, 3> es;
        std::array<uint16_t, 3> em;
        std::array<Vec3, 3> ep;
        std::array<Vec3, 3> eg;
        pick(EDGE, s, m, scheme_points, geometry_points, es, em, ep, eg);
        bool edge_b = false;
        int32_t structure = -1;
        int32_t at = 0;
        if (!decide_sides(es, em, d0, edge_b, structure, at)) {
            out.contour_fraction = 0.0f;
            return;
        }
        std::array<InterfacePoint, 3> points;
        const double f = measure_edge(*p_.schemes.edge, spec_, mode, es, at, em, c,
                                      *p_.structures[structure].geometry, ep, eg, points);
        out.contour_fraction = static_cast<float>(edge_b ? f : 1.0 - f);
    }

    const Phase& p_;
    const SimulationSpec& spec_;
    int64_t global_[3];
    int64_t local_[3];
};

}  // namespace

void average_cells(const SimulationSpec& spec, const StructureMap& map, const Grid& grid,
                   const ConformalData& conformal, const LoopDescription& loop, int threads,
                   const SchemeSet& schemes, CellAssembler& assembler) {
    Phase phase{spec, map, grid, conformal, schemes, assembler, describe_structures(spec), describe_media(spec)};
    phase.magnetic_pass = spec.has_pmc || spec.has_conformal_metal;
    phase.conformal_metal = spec.has_conformal_metal;
    require(schemes.volume != nullptr && schemes.face != nullptr && schemes.edge != nullptr);
    check_inputs(phase, loop);

    for_each_cell(loop, threads, [&](const int64_t (&cell)[3]) { CellWork(phase, cell).run(); });
}
