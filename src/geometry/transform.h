#pragma once

#include <array>

#include "common/vec3.h"

// 4x4 matrix acting on row vectors: a point (x, y, z) maps to (x, y, z, 1)·M, the translation
// sits in the last row.
using Matrix4 = std::array<std::array<double, 4>, 4>;

Matrix4 identity_matrix();
// a·b: applying the result means applying a first, then b.
Matrix4 multiply(const Matrix4& a, const Matrix4& b);
// Gauss-Jordan inverse, pivoting column by column on the unused row with the largest absolute
// entry. No singularity check.
Matrix4 invert(const Matrix4& m);

// p·M with the divide by w when w differs from 1 (including NaN).
Vec3 transform_point(const Matrix4& m, const Vec3& p);
// d times the upper-left 3x3 block of M (directions ignore translation).
Vec3 transform_direction(const Matrix4& m, const Vec3& d);

// A local-to-world mapping and its inverse.
struct Transform {
    Matrix4 to_world = identity_matrix();
    Matrix4 to_local = identity_matrix();

    static Transform identity() { return {}; }
    static Transform translation(const Vec3& offset);
    // The local z axis becomes world axis `axis`: 2 is the identity, 0 maps local (x, y, z) to
    // world (z, x, y), 1 maps local (x, y, z) to world (x, z, y).
    static Transform axis_permutation(int axis);
    // The mapping given by its local-to-world matrix; to_local is its inverse.
    static Transform from_to_world(const Matrix4& to_world);

    // This mapping applied after `first`.
    Transform after(const Transform& first) const;

    // Local axis `axis` stays parallel to world axis `axis`: the two off-axis entries of row
    // `axis` of to_world are below 2^-23 in absolute value.
    bool keeps_axis(int axis) const;
};
