"""The eleven sample points of every field component of every cell, as coordinates, for tests that
judge each component from an independent membership test of its neighbourhood."""

import numpy as np

from geometry_volumes import EX_POINTS, duals_of

# (h, d) per axis of the eleven sample points of the x-directed magnetic component; y and z turn
# the axes cyclically like the electric table.
HX_POINTS = [
    ((0, 0), (1, 1), (1, 1)), ((1, 0), (1, 1), (1, 1)), ((1, 1), (1, 1), (1, 1)),
    ((0, 0), (0, 0), (0, 0)), ((0, 0), (0, 1), (0, 0)), ((0, 0), (0, 1), (0, 1)), ((0, 0), (0, 0), (0, 1)),
    ((0, 0), (1, 1), (0, 0)), ((0, 0), (0, 1), (1, 1)), ((0, 0), (1, 1), (0, 1)), ((0, 0), (0, 0), (1, 1)),
]


def axis_lists(coords):
    boundaries = [np.asarray(coords[a], np.float32).astype(np.float64) for a in "xyz"]
    return boundaries, [duals_of(b) for b in boundaries]


def sample_points(coords, component, magnetic=False):
    """Array (nx, ny, nz, 11, 3): the sample points of one component of every cell; point 0 is the
    component's own Yee position."""
    boundaries, duals = axis_lists(coords)
    counts = [len(b) - 1 for b in boundaries]
    table = HX_POINTS if magnetic else EX_POINTS
    points = np.zeros(tuple(counts) + (11, 3))
    index = np.indices(counts)
    for k, entry in enumerate(table):
        for step in range(3):
            axis = (component + step) % 3
            h, d = entry[step]
            source = duals[axis] if h else boundaries[axis]
            points[..., k, axis] = source[index[axis] + d]
    return points


def classify(points, inside, margin=2e-3):
    """Per component (arrays of shape points.shape[:-2]): whether every sample point lies inside the
    shape with a margin, whether every one lies outside with a margin, and whether some point lies
    inside and another outside, both with the margin."""
    offsets = np.vstack([np.zeros(3), margin * np.eye(3), -margin * np.eye(3)])
    votes = np.stack([inside(points + o) for o in offsets], axis=-1)  # (..., 11, 7)
    surely_in, surely_out = votes.all(axis=-1), (~votes).all(axis=-1)
    return surely_in.all(axis=-1), surely_out.all(axis=-1), surely_in.any(axis=-1) & surely_out.any(axis=-1)
