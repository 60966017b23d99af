#pragma once

#include <memory>
#include <vector>

#include "geometry/extrusion.h"
#include "geometry/polygon.h"
#include "geometry/polygon_edge_tree.h"

// The cross-sections of a sloped slab: `middle` is the cleaned, dilated polygon at the middle
// plane; the section at height z is middle + (-z·tan(angle))·offsets; `bottom` and `top` are
// the sections at z_bottom and z_top, the ends of the slab.
//
// Moving the vertices inwards shrinks the section until its area reaches zero at the shift
// `collapse_shift`; beyond it the moved vertices have crossed over and the section is empty. A
// slab whose section collapses before one of its caps ends there: that end's height becomes
// the collapse height and its section the collapsed (zero-area) one.
struct SlabSections {
    Polygon middle;
    // Miter offsets of the cleaned polygon before dilation.
    std::vector<Vec2> offsets;
    Polygon bottom;
    Polygon top;
    double z_bottom = 0.0;
    double z_top = 0.0;
    // The end's section is the collapsed one.
    bool bottom_collapsed = false;
    bool top_collapsed = false;
    // Sections at shifts below this are empty (-infinity when the section never collapses).
    double collapse_shift = -INFINITY;
};

// The most negative shift f for which the section middle + f·offsets has not yet collapsed: the
// zero of its area nearest below f = 0 (the area is a quadratic in f), or -infinity when the
// area stays positive. A double zero (a section shrinking to a point, as for every triangle and
// regular polygon) is recognised within rounding.
double collapse_shift(const Polygon& middle, const std::vector<Vec2>& offsets);

// Cleans `vertices` (duplicates dropped, counter-clockwise), dilates them and builds the bottom
// and top sections, cut where the section collapses. The sections keep one vertex per middle
// vertex (no duplicates removed). A polygon that encloses nothing gives empty sections.
SlabSections slab_sections(const std::vector<Vec2>& vertices, double height, double dilation, double sidewall_tan);

// A polygon slab with a sidewall angle, local frame with the middle plane at z = 0 and the slab
// from -height/2 to height/2: the cross-section shrinks towards +z for a positive angle.
// Convex slabs answer every query from the middle polygon's edge tree evaluated on the shifted
// edges; other slabs work with the section cached by prepare_slice() when `exact` is false and
// otherwise search the middle polygon's tree on the shifted edges themselves.
class TaperedPolySlab final : public TaperedExtrusion {
public:
    TaperedPolySlab(const Transform& transform, const std::vector<Vec2>& vertices, double height, double dilation,
                    double sidewall_angle);

    Aabb bounds() const override;
    bool contains_section(const Vec3& p, bool exact, double tol) const override;
    Vec2 planar_normal(const Vec3& p, double& dist, bool& unique, double tol) const override;
    void prepare_slice(const Vec3& p) override;
    bool uses_slices() const override { return slices_needed_; }
    // The world axis of the local z axis, along which the sections change.
    int32_t slice_axis() const override { return slice_axis_; }

    // The section at height z (no arcs).
    Polygon section_at(double z) const;

    const double height;
    const double dilation;
    const Polygon& middle() const { return sections_.middle; }
    const Polygon& bottom() const { return sections_.bottom; }
    const Polygon& top() const { return sections_.top; }
    const Polygon& slice() const { return slice_; }
    bool convex() const { return convex_; }
    bool has_tree() const { return has_tree_; }

private:
    TaperedPolySlab(const Transform& transform, SlabSections sections, double height, double dilation,
                    double sidewall_angle);
    // The section at height z has collapsed (or is the collapsed end section).
    bool collapsed_at(double z) const;
    // Unsigned distance from q to the collapsed section, which encloses nothing.
    double distance_to_collapsed(const Vec2& q) const;

    ShiftedVertices shifted(double z) const { return {sections_.middle.vertices, &sections_.offsets, -z * sidewall_tan}; }

    SlabSections sections_;
    Polygon slice_;
    bool has_tree_ = false;
    bool convex_ = true;
    bool slices_needed_ = true;
    int32_t slice_axis_ = 2;
    // Over slice_, rebuilt by prepare_slice (non-convex slabs only).
    std::shared_ptr<PolygonEdgeTree> slice_tree_;
    // Over the middle polygon with the offsets: answers for the section at any height.
    std::shared_ptr<const PolygonEdgeTree> middle_tree_;
    // Over the end sections, for points beyond the ends.
    std::shared_ptr<const PolygonEdgeTree> bottom_tree_;
    std::shared_ptr<const PolygonEdgeTree> top_tree_;
};
