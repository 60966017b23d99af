#include "geometry/transform.h"

#include <cmath>
#include <utility>

#include "common/tolerance.h"

Matrix4 identity_matrix() {
    Matrix4 m{};
    for (int i = 0; i < 4; ++i) m[i][i] = 1.0;
    return m;
}

Matrix4 multiply(const Matrix4& a, const Matrix4& b) {
    Matrix4 r{};
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) {
            double s = 0.0;
            for (int k = 0; k < 4; ++k) s += a[i][k] * b[k][j];
            r[i][j] = s;
        }
    return r;
}

Matrix4 invert(const Matrix4& m) {
    Matrix4 a = m;
    Matrix4 inv = identity_matrix();
    std::array<bool, 4> used{};
    std::array<int, 4> pivot_row{};
    for (int col = 0; col < 4; ++col) {
        int p = -1;
        double best = -1.0;
        for (int r = 0; r < 4; ++r) {
            if (used[r]) continue;
            const double v = std::fabs(a[r][col]);
            if (p < 0 || v > best) {
                p = r;
                best = v;
            }
        }
        used[p] = true;
        pivot_row[col] = p;
        const double scale = 1.0 / a[p][col];
        for (int j = 0; j < 4; ++j) {
            a[p][j] *= scale;
            inv[p][j] *= scale;
        }
        for (int r = 0; r < 4; ++r) {
            if (r == p) continue;
            const double f = a[r][col];
            if (f == 0.0) continue;
            for (int j = 0; j < 4; ++j) {
                a[r][j] -= f * a[p][j];
                inv[r][j] -= f * inv[p][j];
            }
        }
    }
    // Row pivot_row[c] now holds the row of the inverse that belongs to column c.
    Matrix4 result{};
    for (int c = 0; c < 4; ++c) result[c] = inv[pivot_row[c]];
    return result;
}

Vec3 transform_point(const Matrix4& m, const Vec3& p) {
    double out[4];
    for (int j = 0; j < 4; ++j) out[j] = p.x * m[0][j] + p.y * m[1][j] + p.z * m[2][j] + m[3][j];
    Vec3 r{out[0], out[1], out[2]};
    if (!(out[3] == 1.0)) r = r / out[3];
    return r;
}

Vec3 transform_direction(const Matrix4& m, const Vec3& d) {
    return {d.x * m[0][0] + d.y * m[1][0] + d.z * m[2][0], d.x * m[0][1] + d.y * m[1][1] + d.z * m[2][1],
            d.x * m[0][2] + d.y * m[1][2] + d.z * m[2][2]};
}

Transform Transform::translation(const Vec3& offset) {
    Transform t;
    for (int j = 0; j < 3; ++j) {
        t.to_world[3][j] = offset[j];
        t.to_local[3][j] = -offset[j];
    }
    return t;
}

Transform Transform::axis_permutation(int axis) {
    Transform t;
    if (axis == 2) return t;
    Matrix4 m{};
    m[3][3] = 1.0;
    if (axis == 0) {  // world (x, y, z) = local (z, x, y)
        m[2][0] = 1.0;
        m[0][1] = 1.0;
        m[1][2] = 1.0;
    } else {  // world (x, y, z) = local (x, z, y)
        m[0][0] = 1.0;
        m[2][1] = 1.0;
        m[1][2] = 1.0;
    }
    t.to_world = m;
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) t.to_local[i][j] = m[j][i];
    return t;
}

Transform Transform::from_to_world(const Matrix4& to_world) {
    Transform t;
    t.to_world = to_world;
    t.to_local = invert(to_world);
    return t;
}

Transform Transform::after(const Transform& first) const {
    Transform t;
    t.to_world = multiply(first.to_world, to_world);
    t.to_local = multiply(to_local, first.to_local);
    return t;
}

bool Transform::keeps_axis(int axis) const {
    return std::fabs(to_world[axis][(axis + 1) % 3]) < ZERO_LENGTH &&
           std::fabs(to_world[axis][(axis + 2) % 3]) < ZERO_LENGTH;
}
