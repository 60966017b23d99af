#pragma once

#include "subpixel/subpixel_schemes.h"

// The element loops behind SubpixelScheme::integrate. Each splits a front-end's points into
// elements, asks the scheme's measure_element once per element, clamps every answer to [0, 1]
// and returns the size-weighted mean fraction (and, for volumes and faces, the size-weighted sum
// of the element normals, normalized; a zero sum stays zero). A non-finite element or final
// fraction, input spans of the wrong length, a measured point or component out of range, and a
// badly ordered neighbourhood end the run with the internal error. Reentrant, allocation-free.

// Eleven points: P0 the Yee position, poles P1 and P2, a ring P3..P6 in cyclic order and P7..P10
// with P(k) between ring points P(k-4) and P(k-3) (P10 between P6 and P3). For k = 7..10, pole
// P1 then P2, ring point ((k-6) mod 4)+3 then k-4: the tetrahedron (P0, Pk, ring, pole), weighted
// by its volume, whose sign is corrected once for pole P1 and once for the second ring point. A
// negative corrected volume is the internal error.
Measurement integrate_tetrahedra(const SubpixelScheme& scheme, const SchemeInput& input);

// Five points: P0 the face centre, P1..P4 the corners in cyclic order; triangles (P0, Pi, Pi+1)
// for i = 1..4 (P5 meaning P1), weighted by area.
Measurement integrate_triangles(const SubpixelScheme& scheme, const SchemeInput& input);

// Three points: P0 the edge centre, P1 and P2 its ends; segments (P0, P1) and (P0, P2), weighted
// by length. No normal.
Measurement integrate_segments(const SubpixelScheme& scheme, const SchemeInput& input);

// Nine points: P0 the face centre, P1..P4 the corners in cyclic order, P5+i the midpoint between
// P(i+1) and P((i+1) mod 4 + 1); for i = 0..3 the triangles (P0, P5+i, P(i+1)) and
// (P0, P5+i, P((i+1) mod 4 + 1)), weighted by area. No normal.
Measurement integrate_fine_triangles(const SubpixelScheme& scheme, const SchemeInput& input);
