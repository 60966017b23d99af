#include "subpixel/conformal_faces.h"

#include <algorithm>
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
#include "subpixel/measurement_front_ends.h"
#include "subpixel/periodic_and_clipping.h"
#include "subpixel/surface_normal.h"

namespace {

constexpr uint16_t VACUUM = static_cast<uint16_t>(MEDIUM_INDEX_VACUUM);
constexpr uint16_t PEC = static_cast<uint16_t>(MEDIUM_INDEX_PEC);
// The two classes a face sample falls into; the measurement front-ends receive the classes as
// their medium list, so they measure the conductor region as a whole.
constexpr uint16_t CONDUCTOR = PEC;
constexpr uint16_t OPEN = VACUUM;

constexpr int POINTS = 9;
constexpr float NO_WEDGE_ANGLE = 3.1415927f;
constexpr float RIGHT_ANGLE = static_cast<float>(std::numbers::pi / 2.0);
// A slope at or below this leaves a triangle's surface length out of the face's total.
constexpr double FLAT_SLOPE = 0.001;

// One coordinate of a sample point: the boundary (h = 0) or dual (h = 1) coordinate at the cell's
// index plus d; the structure-map position along the axis is 2 (local index + d) + h.
struct Offset {
    uint8_t h;
    uint8_t d;
};

// The nine points of the face of a cell normal to axis j; column r is the axis (j + r) mod 3.
// Point 0 is the face centre, 1 to 4 the corners once around the face, 5 + e the centre of the
// edge between corners e + 1 and ((e + 1) mod 4) + 1.
constexpr Offset FACE_POINTS[POINTS][3] = {
    {{0, 0}, {1, 1}, {1, 1}},
    {{0, 0}, {0, 0}, {0, 0}},
    {{0, 0}, {0, 1}, {0, 0}},
    {{0, 0}, {0, 1}, {0, 1}},
    {{0, 0}, {0, 0}, {0, 1}},
    {{0, 0}, {1, 1}, {0, 0}},
    {{0, 0}, {0, 1}, {1, 1}},
    {{0, 0}, {1, 1}, {0, 1}},
    {{0, 0}, {0, 0}, {1, 1}},
};

// The three samples of edge entry e of a face: its centre, then its two ends.
constexpr int EDGE_SAMPLES[4][3] = {{5, 1, 2}, {6, 2, 3}, {7, 3, 4}, {8, 4, 1}};

// What the phase needs of a structure, worked out once per phase.
struct StructureInfo {
    const Geometry* geometry = nullptr;
    // The sample medium and class for faces normal to x, y, z.
    std::array<uint16_t, 3> medium{};
    std::array<uint16_t, 3> cls{};
    // The medium is real and fully anisotropic / a lossy metal on all three components.
    bool fully_anisotropic = false;
    bool lossy_metal = false;
};

struct Phase {
    const SimulationSpec& spec;
    const StructureMap& map;
    const Grid& grid;
    ConformalData& conformal;
    const SchemeSet& schemes;
    std::vector<StructureInfo> structures;
    bool surface_impedance = false;
};

std::vector<StructureInfo> describe_structures(const SimulationSpec& spec) {
    const bool pec_conformal = spec.subpixel.pec == AveragingMethod::PECConformal;
    const bool surface_impedance = spec.subpixel.lossy_metal == AveragingMethod::SurfaceImpedance;
    std::vector<StructureInfo> infos(spec.structures.size());
    for (std::size_t s = 0; s < infos.size(); ++s) {
        const Structure* structure = &checked_structure(spec, s);
        const int32_t m = structure->medium_index;
        StructureInfo& info = infos[s];
        info.geometry = structure->geometry.get();
        const Medium* medium = nullptr;
        if (is_real_medium_index(m)) {
            medium = spec.media[m].get();
            info.fully_anisotropic = medium->all_kinds(ComponentKind::FullyAnisotropic);
            info.lossy_metal = medium->all_kinds(ComponentKind::LossyMetal);
        }
        for (int j = 0; j < 3; ++j) {
            uint16_t sample = static_cast<uint16_t>(m);
            if (medium != nullptr && medium->kinds[j] == ComponentKind::PEC) sample = PEC;
            info.medium[j] = sample;
            const bool conductor = (sample == PEC && pec_conformal) || (info.lossy_metal && surface_impedance);
            info.cls[j] = conductor ? CONDUCTOR : OPEN;
        }
    }
    return infos;
}

void check_inputs(const Phase& phase, const LoopDescription& loop) {
    const Span& span = phase.map.span;
    const ConformalData& cd = phase.conformal;
    int64_t cells = 1;
    int64_t nodes = 1;
    for (int a = 0; a < 3; ++a) {
        const int64_t n = span[2 * a + 1] - span[2 * a];
        require(span[2 * a] >= 0 && n >= 0 && phase.map.extents[a] == 2 * n + 4 && cd.extents[a] == n);
        cells *= n;
        nodes *= n + 1;
    }
    require(cd.face_record_ids.size() == static_cast<std::size_t>(cells) &&
            cd.edge_face_flags.size() == static_cast<std::size_t>(cells) &&
            cd.node_values.size() == static_cast<std::size_t>(nodes));
    if (loop.empty(0) || loop.empty(1) || loop.empty(2)) return;
    for (int a = 0; a < 3; ++a) {
        require(loop.lower(a) >= static_cast<uint64_t>(span[2 * a]) &&
                loop.upper(a) <= static_cast<uint64_t>(span[2 * a + 1]));
        require(phase.grid.boundaries[a].size() > loop.upper(a) && phase.grid.duals[a].size() > loop.upper(a));
    }
}

// The wedge a face carries from the node words of its corners.
struct FaceWedge {
    bool present = false;
    int32_t axis = 0;
    float angle = NO_WEDGE_ANGLE;
    float param_e = 0.0f;
    float param_h = 0.0f;
};

float wedge_angle_of(const NodeWedge& w) { return w.right_angle ? RIGHT_ANGLE : 0.0f; }

// A wedge exists when exactly two corners carry one, they end one face edge, and both wedges run
// along that edge with the same angle; the lower-numbered corner's data are taken.
FaceWedge face_wedge(const std::array<uint32_t, 4>& corner_words, int u, int v) {
    std::array<NodeWedge, 4> corners;
    int carrying = 0;
    for (int k = 0; k < 4; ++k) {
        corners[k] = decode_node_word(corner_words[k]);
        carrying += corners[k].present ? 1 : 0;
    }
    FaceWedge wedge;
    if (carrying != 2) return wedge;
    // Corner pairs that end one edge (zero-based corner numbers) and the edge's direction.
    constexpr int PAIRS[4][2] = {{0, 1}, {1, 2}, {2, 3}, {0, 3}};
    for (int e = 0; e < 4; ++e) {
        const NodeWedge& a = corners[PAIRS[e][0]];
        const NodeWedge& b = corners[PAIRS[e][1]];
        if (!a.present || !b.present) continue;
        const int direction = (e % 2 == 0) ? u : v;
        const bool same_angle =
            std::fabs(double(wedge_angle_of(a)) - double(wedge_angle_of(b))) <= ANGLE_TOLERANCE;
        if (a.axis != b.axis || !same_angle || a.axis != direction) return wedge;
        wedge.present = true;
        wedge.axis = a.axis;
        wedge.angle = wedge_angle_of(a);
        wedge.param_e = static_cast<float>(a.count_e) * NODE_PARAMETER_UNIT;
        wedge.param_h = static_cast<float>(a.count_h) * NODE_PARAMETER_UNIT;
        return wedge;
    }
    return wedge;
}

// The work on the faces of one cell; lives on the stack of the thread that owns the cell.
class FaceWork {
public:
    FaceWork(Phase& phase, const int64_t (&global)[3]) : p_(phase), spec_(phase.spec) {
        for (int a = 0; a < 3; ++a) {
            global_[a] = global[a];
            local_[a] = global[a] - phase.map.span[2 * a];
        }
    }

    void run() {
        for (int j = 0; j < 3; ++j) collect(j);
    }

private:
    const Offset& offset(int j, int k, int axis) const { return FACE_POINTS[k][(axis - j + 3) % 3]; }

    int32_t map_read(int j, int k) const {
        int64_t position[3];
        for (int a = 0; a < 3; ++a) {
            const Offset& o = offset(j, k, a);
            position[a] = 2 * (local_[a] + o.d) + o.h;
        }
        const int32_t s = p_.map.at(position[0], position[1], position[2]);
        require(s >= -1 && s < static_cast<int64_t>(p_.structures.size()));
        return s;
    }

    Vec3 point(int j, int k) const {
        Vec3 v;
        for (int a = 0; a < 3; ++a) {
            const Offset& o = offset(j, k, a);
            const std::size_t n = static_cast<std::size_t>(global_[a] + o.d);
            v[a] = o.h == 0 ? double(p_.grid.boundaries[a][n]) : double(p_.grid.duals[a][n]);
        }
        return v;
    }

    std::size_t cell(const int64_t (&c)[3]) const { return p_.conformal.cell_index(c[0], c[1], c[2]); }

    uint32_t node_word(int64_t x, int64_t y, int64_t z) const {
        const auto& e = p_.conformal.extents;
        return p_.conformal.node_values[static_cast<std::size_t>((x * (e[1] + 1) + y) * (e[2] + 1) + z)];
    }

    // The permittivity an edge's open medium offers along the edge's axis, at least 1.
    float reference(uint16_t medium, int axis) const {
        if (!is_real_medium_index(medium)) return 1.0f;
        const Medium& m = *spec_.media[medium];
        const int32_t point = m.spatial_index(static_cast<int32_t>(global_[0]), static_cast<int32_t>(global_[1]),
                                              static_cast<int32_t>(global_[2]));
        const std::size_t at = 3 * static_cast<std::size_t>(point) + static_cast<std::size_t>(axis);
        require(point >= 0 && at < m.eps_inf.size());
        return std::max(m.eps_inf[at], 1.0f);
    }

    bool lossy(uint16_t medium) const {
        return is_real_medium_index(medium) && spec_.media[medium]->all_kinds(ComponentKind::LossyMetal);
    }

    // The face's edge-flag bytes: byte 0 of the u-edge of the cell, byte 3 of its v-edge, byte 2
    // of the u-edge of the cell above along v and byte 1 of the v-edge of the cell above along u
    // (the last two only inside the subdomain).
    void set_flags(int u, int v, uint8_t value) const {
        auto& flags = p_.conformal.edge_face_flags;
        const int64_t here[3] = {local_[0], local_[1], local_[2]};
        flags[cell(here)][4 * u + 0] = value;
        flags[cell(here)][4 * v + 3] = value;
        int64_t above_v[3] = {here[0], here[1], here[2]};
        above_v[v] += 1;
        if (above_v[v] < p_.conformal.extents[v]) flags[cell(above_v)][4 * u + 2] = value;
        int64_t above_u[3] = {here[0], here[1], here[2]};
        above_u[u] += 1;
        if (above_u[u] < p_.conformal.extents[u]) flags[cell(above_u)][4 * v + 1] = value;
    }

    void collect(int j) const {
        const int u = (j + 1) % 3;
        const int v = (j + 2) % 3;

        // Samples and classes.
        std::array<int32_t, POINTS> s;
        std::array<uint16_t, POINTS> m;
        std::array<uint16_t, POINTS> cls;
        bool all_conductor = true;
        bool all_open = true;
        for (int k = 0; k < POINTS; ++k) {
            s[k] = map_read(j, k);
            if (s[k] < 0) {
                m[k] = VACUUM;
                cls[k] = OPEN;
            } else {
                const StructureInfo& info = p_.structures[s[k]];
                if (info.fully_anisotropic) return;
                m[k] = info.medium[j];
                cls[k] = info.cls[j];
            }
            all_conductor = all_conductor && cls[k] == CONDUCTOR;
            all_open = all_open && cls[k] == OPEN;
        }
        const int64_t here[3] = {local_[0], local_[1], local_[2]};
        uint32_t& id = p_.conformal.face_record_ids[cell(here)][j];
        if (all_conductor) {
            id |= FACE_CLOSED_BIT;
            return;
        }

        // Wedge from the corner nodes: the cell's node, then once around the face.
        std::array<uint32_t, 4> corner_words;
        for (int k = 0; k < 4; ++k) {
            int64_t node[3] = {local_[0], local_[1], local_[2]};
            node[u] += FACE_POINTS[k + 1][1].d;
            node[v] += FACE_POINTS[k + 1][2].d;
            corner_words[k] = node_word(node[0], node[1], node[2]);
        }
        FaceWedge wedge = face_wedge(corner_words, u, v);
        if (all_open && !wedge.present) return;

        set_flags(u, v, 1);

        FaceRecord record;
        record.medium_index = PEC;
        if (p_.surface_impedance) {
            for (int k = 0; k < POINTS; ++k)
                if (lossy(m[k])) {
                    record.medium_index = m[k];
                    break;
                }
        }
        record.edge_fraction = {1.0f, 1.0f, 1.0f, 1.0f};
        record.edge_reference = {1.0f, 1.0f, 1.0f, 1.0f};
        record.edge_medium = {VACUUM, VACUUM, VACUUM, VACUUM};
        record.surface_length = 0.0f;

        if (all_open) {
            record.area_fraction = 1.0f;
        } else {
            std::array<Vec3, POINTS> scheme_points;
            std::array<Vec3, POINTS> geometry_points;
            for (int k = 0; k < POINTS; ++k) {
                scheme_points[k] = point(j, k);
                geometry_points[k] = scheme_points[k];
                clamp_to_clipping_bounds(spec_, geometry_points[k]);
                wrap_periodic(spec_, geometry_points[k]);
            }
            const int c_max = highest(s, 0, POINTS);
            require(s[c_max] >= 0);

            if (record.medium_index != PEC)
                record.surface_length = surface_length(j, s, m, cls, scheme_points, geometry_points);

            std::array<InterfacePoint, POINTS> points;
            const double f = measure_face_fine(*p_.schemes.fine_face, spec_, p_.schemes.subpixel_scheme, s, c_max,
                                               cls, j, *p_.structures[s[c_max]].geometry, scheme_points,
                                               geometry_points, points);
            record.area_fraction = static_cast<float>(cls[c_max] == OPEN ? f : 1.0 - f);
            if (!(record.area_fraction >= 0.5f)) wedge = FaceWedge{};

            for (int e = 0; e < 4; ++e)
                measure_edge_entry(e, e % 2 == 0 ? u : v, s, m, cls, scheme_points, geometry_points, record);

            if (!keep(record, wedge.present)) {
                set_flags(u, v, 0);
                if (record.area_fraction < ZERO_LENGTH) id |= FACE_CLOSED_BIT;
                return;
            }
        }

        if (wedge.present) {
            record.axis = wedge.axis;
            record.wedge_angle = wedge.angle;
            record.wedge_param_e = wedge.param_e;
            record.wedge_param_h = wedge.param_h;
        } else {
            record.wedge_angle = NO_WEDGE_ANGLE;
        }
        ConformalData& cd = p_.conformal;
#pragma omp critical(conformal_face_records)
        {
            const std::size_t index = cd.face_records.size();
            require(index <= FACE_RECORD_INDEX_MASK);
            id = static_cast<uint32_t>(index) | FACE_HAS_RECORD_BIT;
            cd.any_record = true;
            cd.face_records.push_back(record);
        }
    }

    // The sample of highest structure index among `count` samples starting at `first` (the
    // earliest on ties).
    template <std::size_t N>
    static int highest(const std::array<int32_t, N>& s, int first, int count) {
        int best = first;
        for (int k = first + 1; k < first + count; ++k)
            if (s[k] > s[best]) best = k;
        return best;
    }

    // A face whose open area and edges are all negligible, or all full, carries nothing worth a
    // record, unless it has a wedge or a conductor surface inside.
    static bool keep(const FaceRecord& r, bool wedge) {
        if (wedge || r.surface_length > 0.0f) return true;
        const float a = r.area_fraction;
        const auto& e = r.edge_fraction;
        const bool all_closed = a < ZERO_LENGTH && std::all_of(e.begin(), e.end(), [](float x) { return x < ZERO_LENGTH; });
        const bool all_open = a > FULLY_OPEN_SHARE &&
                              std::all_of(e.begin(), e.end(), [](float x) { return x > FULLY_OPEN_SHARE; });
        return !(all_closed || all_open);
    }

    void measure_edge_entry(int e, int axis, const std::array<int32_t, POINTS>& s,
                            const std::array<uint16_t, POINTS>& m, const std::array<uint16_t, POINTS>& cls,
                            const std::array<Vec3, POINTS>& scheme_points, const std::array<Vec3, POINTS>& geometry_points,
                            FaceRecord& r) const {
        const int* which = EDGE_SAMPLES[e];
        int conductors = 0;
        int open_samples[3];
        int open_count = 0;
        for (int q = 0; q < 3; ++q) {
            if (cls[which[q]] == CONDUCTOR)
                ++conductors;
            else
                open_samples[open_count++] = which[q];
        }
        if (conductors == 3) {
            r.edge_fraction[e] = 0.0f;
            return;
        }
        bool mixed = false;
        for (int q = 1; q < open_count; ++q) mixed = mixed || m[open_samples[q]] != m[open_samples[0]];
        if (open_count >= 2 && mixed) {
            if (cls[which[0]] == CONDUCTOR) {
                r.edge_fraction[e] = 0.0f;
                return;
            }
            // The open medium that offers the smallest permittivity along the edge, the centre's
            // first; a later one wins only when strictly smaller.
            uint16_t best = m[open_samples[0]];
            float best_value = reference(best, axis);
            for (int q = 1; q < open_count; ++q) {
                const float value = reference(m[open_samples[q]], axis);
                if (value < best_value) {
                    best = m[open_samples[q]];
                    best_value = value;
                }
            }
            r.edge_fraction[e] = 1.0f;
            r.edge_medium[e] = best;
            r.edge_reference[e] = best_value;
            return;
        }
        r.edge_medium[e] = m[open_samples[0]];
        r.edge_reference[e] = reference(r.edge_medium[e], axis);
        if (conductors == 0) {
            r.edge_fraction[e] = 1.0f;
            return;
        }

        std::array<int32_t, 3> es;
        std::array<uint16_t, 3> ec;
        std::array<Vec3, 3> ep;
        std::array<Vec3, 3> eg;
        for (int q = 0; q < 3; ++q) {
            es[q] = s[which[q]];
            ec[q] = cls[which[q]];
            ep[q] = scheme_points[which[q]];
            eg[q] = geometry_points[which[q]];
        }
        const int measured = highest(es, 0, 3);
        require(es[measured] >= 0);
        std::array<InterfacePoint, 3> points;
        const double f = measure_edge(*p_.schemes.edge, spec_, p_.schemes.subpixel_scheme, es, measured, ec, axis,
                                      *p_.structures[es[measured]].geometry, ep, eg, points);
        r.edge_fraction[e] = static_cast<float>(ec[measured] == OPEN ? f : 1.0 - f);
    }

    // The surface of the geometry at a sample, as the surface-length routine reads it.
    InterfacePoint surface_at(const Geometry& g, int j, const Vec3& scheme_point, const Vec3& geometry_point) const {
        double distance = 1.0;
        bool unique = true;
        Vec3 normal = surface_normal_world(g, geometry_point, float_tolerance(length(geometry_point)),
                                           j == g.axis_index, distance, unique)
                          .normal;
        const std::array<bool, 3> outside = outside_clipping_bounds(spec_, scheme_point);
        if (outside[0] || outside[1] || outside[2]) normal = clip_normal(spec_, normal, scheme_point);
        return {scheme_point, normal, distance, 0, 1};
    }

    static bool contains_scheme_point(const Geometry& g, const Vec3& scheme_point) {
        const double tol = float_tolerance(length(scheme_point)) * g.local_scale;
        return g.contains(g.to_local_point(scheme_point), true, tol);
    }

    // Length of lossy-metal surface inside the face per unit face area, measured over the eight
    // triangles of the face.
    float surface_length(int j, const std::array<int32_t, POINTS>& s, const std::array<uint16_t, POINTS>& m,
                         const std::array<uint16_t, POINTS>& cls, const std::array<Vec3, POINTS>& scheme_points,
                         const std::array<Vec3, POINTS>& geometry_points) const {
        // Distinct lossy-metal structures in order of first appearance.
        int32_t metals[POINTS];
        int metal_count = 0;
        int c_star = -1;
        for (int k = 0; k < POINTS; ++k) {
            if (m[k] == PEC) continue;
            if (c_star < 0 || s[k] > s[c_star]) c_star = k;
            if (cls[k] == CONDUCTOR && std::find(metals, metals + metal_count, s[k]) == metals + metal_count)
                metals[metal_count++] = s[k];
        }
        require(c_star >= 0 && metal_count > 0);

        std::array<InterfacePoint, POINTS> points;
        if (metal_count == 1 || cls[c_star] == OPEN) {
            const int32_t S = s[c_star];
            require(S >= 0);
            const Geometry& g = *p_.structures[S].geometry;
            const int32_t top = *std::max_element(s.begin(), s.end());
            for (int k = 0; k < POINTS; ++k) {
                points[k] = surface_at(g, j, scheme_points[k], geometry_points[k]);
                if (s[k] == S)
                    points[k].flag_a = 1;
                else if (S != top)
                    points[k].flag_a = contains_scheme_point(g, scheme_points[k]) ? 1 : 0;
            }
        } else {
            for (int k = 0; k < POINTS; ++k) {
                bool found = false;
                for (int l = 0; l < metal_count; ++l) {
                    const InterfacePoint candidate =
                        surface_at(*p_.structures[metals[l]].geometry, j, scheme_points[k], geometry_points[k]);
                    if (!found || candidate.distance < points[k].distance) points[k] = candidate;
                    found = true;
                }
                if (cls[k] == CONDUCTOR && m[k] != PEC) {
                    points[k].flag_a = 1;
                } else if (m[k] == PEC) {
                    for (int l = 0; l < metal_count && points[k].flag_a == 0; ++l)
                        if (contains_scheme_point(*p_.structures[metals[l]].geometry, scheme_points[k]))
                            points[k].flag_a = 1;
                }
            }
        }

        double total_area = 0.0;
        double total_length = 0.0;
        for (int i = 0; i < 4; ++i) {
            const int side = 5 + i;
            for (const int corner : {i + 1, ((i + 1) % 4) + 1}) {
                double area = 0.0;
                double slope = 0.0;
                const double l = triangle_surface_length(points[0], points[side], points[corner], j, area, slope);
                total_area += area;
                if (l > 0.0 && slope > FLAT_SLOPE) total_length += l / slope;
            }
        }
        return static_cast<float>(double(static_cast<float>(total_length)) / total_area);
    }

    Phase& p_;
    const SimulationSpec& spec_;
    int64_t global_[3];
    int64_t local_[3];
};

}  // namespace

double triangle_surface_length(const InterfacePoint& a, const InterfacePoint& b, const InterfacePoint& c, int j,
                               double& area, double& slope) {
    area = length(cross(a.point - b.point, a.point - c.point)) / 2.0;
    if (a.flag_a == b.flag_a && b.flag_a == c.flag_a) return 0.0;
    const InterfacePoint* v[3] = {&a, &b, &c};
    // The lone vertex is the one whose inside flag differs from the other two.
    const int lone = a.flag_a != b.flag_a ? (a.flag_a != c.flag_a ? 0 : 1) : 2;
    const InterfacePoint& L = *v[lone];
    const InterfacePoint& P = *v[(lone + 1) % 3];
    const InterfacePoint& Q = *v[(lone + 2) % 3];
    const Vec3 e1 = P.point - L.point;
    const Vec3 e2 = Q.point - L.point;
    double t1, t2;
    if (L.flag_a != 0) {
        t1 = crossing(P.point, L.point, -L.distance, dot(e1, L.normal));
        t2 = crossing(Q.point, L.point, -L.distance, dot(e2, L.normal));
    } else {
        t1 = 1.0 - crossing(P.point, L.point, P.distance, dot(e1, P.normal));
        t2 = 1.0 - crossing(Q.point, L.point, Q.distance, dot(e2, Q.normal));
    }
    const Vec3 segment = e1 * t1 - e2 * t2;
    const double l = length(segment);
    Vec3 mean = a.normal + b.normal + c.normal;
    normalize_vec3(mean);
    Vec3 direction = segment;
    normalize_vec3(direction);
    slope = std::fabs(cross(direction, mean)[j]);
    return l;
}

void collect_conformal_faces(const SimulationSpec& spec, const StructureMap& map, const Grid& grid,
                             ConformalData& conformal, const LoopDescription& loop, int threads,
                             const SchemeSet& schemes, const Span& span) {
    Phase phase{spec, map, grid, conformal, schemes, describe_structures(spec)};
    phase.surface_impedance = spec.subpixel.lossy_metal == AveragingMethod::SurfaceImpedance;
    require(schemes.edge != nullptr && schemes.fine_face != nullptr);
    require(map.span == span);
    check_inputs(phase, loop);

    for_each_cell(loop, threads, [&](const int64_t (&cell)[3]) { FaceWork(phase, cell).run(); });
}
