#pragma once

#include "common/conformal_data.h"
#include "driver/grid.h"
#include "driver/loop_description.h"
#include "driver/structure_map.h"
#include "spec/simulation_spec.h"
#include "subpixel/interface_point.h"
#include "subpixel/subpixel_schemes.h"

// Records the open share of every primal cell face a conductor crosses: one FaceRecord per such
// face (area, edges, open media, wedge, surface length), the face's id word and the flags of the
// edges it carries data for. Faces entirely inside a conductor are only marked closed. `grid` is
// the phase's private copy of the coordinate lists; the loop's two outermost axes are spread over
// `threads` threads.
void collect_conformal_faces(const SimulationSpec& spec, const StructureMap& map, const Grid& grid,
                             ConformalData& conformal, const LoopDescription& loop, int threads,
                             const SchemeSet& schemes, const Span& span);

// The conductor surface length inside the triangle of three face points, whose flag_a marks the
// points inside the conductor; writes the triangle's area and the slope of the crossing segment
// against the face's normal axis j (the slope only when the flags differ). 0 when the flags agree.
double triangle_surface_length(const InterfacePoint& a, const InterfacePoint& b, const InterfacePoint& c, int j,
                               double& area, double& slope);
