#pragma once

#include <vector>

#include "geometry/triangle_mesh.h"
#include "geometry/vec2.h"

// The closed, outward-facing surface of a sloped polygon slab in its local frame (middle plane
// at z = 0, slab from -height/2 to height/2): side walls cut into well-shaped triangles and the
// two caps triangulated by constrained Delaunay triangulation. An outline that bounds no
// surface (the triangulation library's errors, such as crossing constraint edges) and
// non-finite or absurdly large coordinates (beyond 1e100) leave this call as
// std::invalid_argument; any other failure (running out of memory) leaves it unchanged.
std::vector<TriangleRecord> triangulate_slab(const std::vector<Vec2>& vertices, double height, double dilation,
                                             double sidewall_angle);
