"""An independent model of the conformal conductor treatment for one flat conductor surface.

The conductor is the half-space normal . p < offset. Every primal face and edge is clipped
exactly against the plane; the model then applies the record rules (closed, dropped and kept
faces), the stability limit and the shared-edge rule of the finishing pass, and the conductor
formulas of the assembly, and returns the diagonals of eps and mu of every cell.
"""

import itertools
import math

import numpy as np

from geometry_volumes import duals_of

MARK = -1e8
NEGLIGIBLE = 0.00048828125   # 2^-11
ZERO = 1.1920928955078125e-07  # 2^-23
FULL = np.float32(0.99999988)

# (h, d) of the nine face points for the face normal to axis j; entry r belongs to axis (j + r) % 3.
# Point 0 is the centre, 1-4 the corners once around, 5 + e the centre of the edge between
# corners e + 1 and ((e + 1) % 4) + 1.
FACE_POINTS = [
    ((0, 0), (1, 1), (1, 1)),
    ((0, 0), (0, 0), (0, 0)), ((0, 0), (0, 1), (0, 0)), ((0, 0), (0, 1), (0, 1)), ((0, 0), (0, 0), (0, 1)),
    ((0, 0), (1, 1), (0, 0)), ((0, 0), (0, 1), (1, 1)), ((0, 0), (1, 1), (0, 1)), ((0, 0), (0, 0), (1, 1)),
]


def face_point(cell, j, k, b, d):
    p = np.zeros(3)
    for r in range(3):
        axis = (j + r) % 3
        h, off = FACE_POINTS[k][r]
        n = cell[axis] + off
        p[axis] = d[axis][n] if h else b[axis][n]
    return p


def open_segment_share(p, q, normal, offset):
    dp, dq = np.dot(normal, p) - offset, np.dot(normal, q) - offset
    if dp >= 0 and dq >= 0:
        return 1.0
    if dp < 0 and dq < 0:
        return 0.0
    t = dp / (dp - dq)
    return t if dp > 0 else 1.0 - t


def clip_open(polygon, normal, offset):
    """The part of a convex polygon where normal . p >= offset."""
    out = []
    for a, c in zip(polygon, polygon[1:] + polygon[:1]):
        da, dc = np.dot(normal, a) - offset, np.dot(normal, c) - offset
        if da >= 0:
            out.append(a)
        if (da >= 0) != (dc >= 0):
            out.append(a + da / (da - dc) * (c - a))
    return out


def polygon_area(polygon):
    if len(polygon) < 3:
        return 0.0
    total = np.zeros(3)
    for a, c in zip(polygon, polygon[1:] + polygon[:1]):
        total += np.cross(a, c)
    return 0.5 * np.linalg.norm(total)


def surface_inside_face(corners, normal, offset):
    """Length of the plane's trace inside the face and its unit direction."""
    polygon = clip_open(corners, normal, offset)
    on_plane = [p for p in polygon if abs(np.dot(normal, p) - offset) < 1e-12]
    if len(on_plane) < 2:
        return 0.0, None
    s = on_plane[-1] - on_plane[0]
    return np.linalg.norm(s), s / np.linalg.norm(s)


def min_margin(b, d, normal, offset):
    """Smallest distance of any sample coordinate combination from the plane."""
    values = [np.concatenate([b[a], d[a]]) for a in range(3)]
    x, y, z = np.meshgrid(*values, indexing="ij")
    return float(np.min(np.abs(normal[0] * x + normal[1] * y + normal[2] * z - offset)))


def f32(x):
    return np.float32(x)


def predict(coords, normal, offset, eps_open, metal=None):
    """eps and mu diagonals, shape (nx, ny, nz, 3), for the conductor normal . p < offset filling
    its side and a uniform open medium of permittivity eps_open. metal: None for a perfect
    conductor, else (constant, pole_sum) of a lossy metal's surface model."""
    b = [np.asarray(coords[a], np.float32).astype(np.float64) for a in "xyz"]
    d = [duals_of(x) for x in b]
    n = [len(x) - 1 for x in b]
    normal = np.asarray(normal, float)

    closed, records = set(), {}
    for cell in itertools.product(*(range(m) for m in n)):
        for j in range(3):
            points = [face_point(cell, j, k, b, d) for k in range(9)]
            conductor = [np.dot(normal, p) < offset for p in points]
            if all(conductor):
                closed.add((cell, j))
                continue
            if not any(conductor):
                continue
            corners = points[1:5]
            area = polygon_area(clip_open(corners, normal, offset)) / polygon_area(corners)
            edges = [open_segment_share(corners[e], corners[(e + 1) % 4], normal, offset) for e in range(4)]
            references = [eps_open if e > 0 else 1.0 for e in edges]
            length = 0.0
            if metal is not None:
                trace, direction = surface_inside_face(corners, normal, offset)
                if trace > 0:
                    slope = abs(np.cross(direction, normal)[j])
                    if slope > 0.001:
                        length = f32(f32(trace / slope) / polygon_area(corners))
            if length == 0:
                if (area < ZERO and all(e < ZERO for e in edges)) or (area > FULL and all(e > FULL for e in edges)):
                    if area < ZERO:
                        closed.add((cell, j))
                    continue
            records[(cell, j)] = {"area": f32(area), "edges": [f32(e) for e in edges],
                                  "references": [f32(r) for r in references], "length": f32(length)}

    # Stability limit per face (courant_scaling 1).
    for r in records.values():
        f = r["area"]
        backed = metal is not None and r["length"] > 0
        if f < NEGLIGIBLE:
            r["area"] = f = f32(0)
            if not backed:
                r["edges"] = [f32(0)] * 4
                continue
        ratios = [r["edges"][k] / (min(r["references"][k], f32(1)) if r["edges"][k] > FULL else r["references"][k])
                  for k in range(4)]
        limit = min(f32(1), f32(f32(max(ratios)) / f32(1.9)))
        if backed:
            t = f32(f32(metal[0]) * r["length"])
            if limit * f32(0.01) > f + t:
                r["area"], r["length"], r["edges"] = f32(0), f32(0), [f32(0)] * 4
                continue
            limit = f32(limit - t)
        elif limit * f32(0.01) > f:
            r["area"], r["edges"] = f32(0), [f32(0)] * 4
            continue
        if limit > f:
            r["area"] = limit

    def edge_faces(cell, a):
        """The faces containing the edge along a at the cell's lower corner, with their entries."""
        u, v = (a + 1) % 3, (a + 2) % 3
        down_u, down_v = list(cell), list(cell)
        down_u[u] -= 1
        down_v[v] -= 1
        return [((cell, v), 0), ((tuple(down_v), u), 1), ((tuple(down_u), v), 2), ((cell, u), 3)]

    # Shared edges carry one fraction: zero when any is negligible, else the largest.
    for cell in itertools.product(*(range(m) for m in n)):
        for a in range(3):
            present = [(records[face], e) for face, e in edge_faces(cell, a) if face in records]
            if not present:
                continue
            values = [r["edges"][e] for r, e in present]
            value = f32(0) if min(values) < NEGLIGIBLE else max(values)
            for r, e in present:
                r["edges"][e] = value

    eps = np.zeros(tuple(n) + (3,), np.complex64)
    mu = np.ones(tuple(n) + (3,), np.complex64)
    for cell in itertools.product(*(range(m) for m in n)):
        for a in range(3):
            value = None
            for face, e in edge_faces(cell, a):
                if face not in records:
                    continue
                share = records[face]["edges"][e]
                if share > FULL:
                    continue
                value = MARK if share < NEGLIGIBLE else f32(eps_open) / (f32(1) - f32(f32(1) - share))
                break
            if value is None:
                # The Yee position of the component: the edge centre.
                p = np.array([d[k][cell[k] + 1] if k == a else b[k][cell[k]] for k in range(3)])
                value = MARK if np.dot(normal, p) < offset else eps_open
            eps[cell + (a,)] = value

            face = (cell, a)
            if face in closed:
                mu[cell + (a,)] = MARK
            elif face in records:
                r = records[face]
                if metal is not None and r["length"] > 0:
                    mu[cell + (a,)] = np.complex64(r["area"]) + r["length"] * np.complex64(metal[0] + metal[1])
                else:
                    mu[cell + (a,)] = MARK if r["area"] < ZERO else r["area"]
    return eps, mu, records


def pole_sum(poles, frequency):
    """The pole term of a surface model: minus c / (a_re + i(w + a_im)) and its conjugate partner."""
    omega = 2 * math.pi * frequency
    total = 0j
    for a_re, a_im, c_re, c_im in poles:
        c = complex(c_re, c_im)
        total -= c / complex(a_re, omega + a_im) + c.conjugate() / complex(a_re, omega - a_im)
    return complex(np.complex64(total))
