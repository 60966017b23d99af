"""Independent geometry for the end-to-end checks: the sampling region of a field component
(the union of its sixteen tetrahedra) and the exact share of it on one side of a plane."""

import math

import numpy as np


def tetra_volume(a, b, c, d):
    return abs(np.dot(b - a, np.cross(c - a, d - a))) / 6.0


def clipped_tetra_volume(vertices, normal, offset):
    """Volume of the part of a tetrahedron where normal . p < offset."""
    d = np.array([np.dot(normal, v) - offset for v in vertices])
    inside = [i for i in range(4) if d[i] < 0]
    outside = [i for i in range(4) if d[i] >= 0]
    full = tetra_volume(*vertices)
    if not inside:
        return 0.0
    if not outside:
        return full

    def cut(i, j):
        t = d[i] / (d[i] - d[j])
        return vertices[i] + t * (vertices[j] - vertices[i])

    if len(inside) == 1:
        a = inside[0]
        return tetra_volume(vertices[a], *(cut(a, o) for o in outside))
    if len(inside) == 3:
        o = outside[0]
        return full - tetra_volume(vertices[o], *(cut(o, i) for i in inside))
    a, b = inside
    c, e = outside
    pac, pae, pbc, pbe = cut(a, c), cut(a, e), cut(b, c), cut(b, e)
    # The inside part is a wedge with six corners; split it into three tetrahedra.
    return (tetra_volume(vertices[a], vertices[b], pac, pae) + tetra_volume(vertices[b], pac, pae, pbe)
            + tetra_volume(vertices[b], pac, pbe, pbc))


# (h, d) per axis of the eleven sample points of the x-directed electric component; the other
# components take the same entries with the axes turned cyclically.
EX_POINTS = [
    ((1, 1), (0, 0), (0, 0)), ((0, 0), (0, 0), (0, 0)), ((0, 1), (0, 0), (0, 0)),
    ((1, 1), (1, 0), (1, 0)), ((1, 1), (1, 1), (1, 0)), ((1, 1), (1, 1), (1, 1)), ((1, 1), (1, 0), (1, 1)),
    ((1, 1), (0, 0), (1, 0)), ((1, 1), (1, 1), (0, 0)), ((1, 1), (0, 0), (1, 1)), ((1, 1), (1, 0), (0, 0)),
]


def component_points(component, cell, boundaries, duals):
    """The eleven sample points of electric component `component` of global cell `cell`."""
    points = []
    for entry in EX_POINTS:
        p = np.zeros(3)
        for k in range(3):
            axis = (component + k) % 3
            h, d = entry[k]
            n = cell[axis] + d
            p[axis] = duals[axis][n] if h else boundaries[axis][n]
        points.append(p)
    return points


def component_tetrahedra(points):
    """The sixteen tetrahedra (P0, Pk, R, pole) of the sampling region."""
    for k in range(7, 11):
        for pole in (points[1], points[2]):
            for ring in (points[((k - 6) % 4) + 3], points[k - 4]):
                yield (points[0], points[k], ring, pole)


def share_below_plane(points, normal, offset):
    """Share of the sampling region where normal . p < offset."""
    total = below = 0.0
    for tetra in component_tetrahedra(points):
        total += tetra_volume(*tetra)
        below += clipped_tetra_volume(tetra, normal, offset)
    return below / total


def duals_of(boundaries):
    b = np.asarray(boundaries, dtype=np.float32)
    first = np.float32(np.float64(b[0]) - (0.5 * np.float64(b[-1]) - 0.5 * np.float64(b[-2])))
    centres = (0.5 * b[1:].astype(np.float64) + 0.5 * b[:-1].astype(np.float64)).astype(np.float32)
    return np.concatenate([[first], centres]).astype(np.float64)


def self_check(rng=np.random.default_rng(5)):
    """The clipped volumes against a Monte-Carlo estimate (used by a test)."""
    errors = []
    for _ in range(20):
        vertices = [rng.normal(size=3) for _ in range(4)]
        normal = rng.normal(size=3)
        normal /= np.linalg.norm(normal)
        offset = float(np.dot(normal, np.mean(vertices, axis=0)) + rng.normal() * 0.2)
        weights = rng.dirichlet(np.ones(4), size=200000)
        samples = weights @ np.array(vertices)
        estimate = np.mean(samples @ normal < offset) * tetra_volume(*vertices)
        errors.append(abs(estimate - clipped_tetra_volume(vertices, normal, offset)) / tetra_volume(*vertices))
    return max(errors)



def rotation(axis, angle):
    """The rotation matrix about `axis` by `angle` (Rodrigues)."""
    axis = np.asarray(axis, float) / np.linalg.norm(axis)
    k = np.array([[0, -axis[2], axis[1]], [axis[2], 0, -axis[0]], [-axis[1], axis[0], 0]])
    return np.eye(3) + math.sin(angle) * k + (1 - math.cos(angle)) * k @ k
