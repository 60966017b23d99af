"""Polygons of 10^5 vertices with arcs or a sidewall angle: every query goes through the edge
tree, so a 24^3-cell run takes seconds, and the cells well inside and well outside hold the
medium and vacuum."""

import copy
import math
import resource

import numpy as np
import pytest

from conftest import BASE_SPEC, read_output, run_gencoeffs

VERTICES = 100_000
CELLS = 24


def flower(n):
    """r = 0.7 + 0.15 sin(7θ): a non-convex outline between radii 0.55 and 0.85."""
    a = 2 * math.pi * np.arange(n) / n
    r = 0.7 + 0.15 * np.sin(7 * a)
    return np.stack([r * np.cos(a), r * np.sin(a)], axis=1).tolist()


def slab(kind):
    shape = {"type": "PolySlab", "name": "flower", "str_index": 0, "mat_index": 0, "z_cent": 0.0, "z_size": 1.0,
             "vertices": flower(VERTICES)}
    if kind == "arcs":
        shape["bulges"] = [0.05 if k % 2 else -0.05 for k in range(VERTICES)]
    else:
        shape["sidewall_angle"] = 0.1
    return shape


def child_cpu_seconds():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


@pytest.mark.parametrize("kind", ["arcs", "sloped"])
def test_hundred_thousand_vertices_run_within_ten_seconds(make_inputs, kind):
    spec = copy.deepcopy(BASE_SPEC)
    spec["medium_list"] = [{"type": "Medium", "permittivity": 4.0, "conductivity": 0.0, "poles": [[], [], []]}]
    spec["struct_list"] = [slab(kind)]
    coords = {axis: np.linspace(-1.0, 1.0, CELLS + 1) for axis in "xyz"}
    inputs = make_inputs(spec=spec, coords=coords, subdomains={"all": [0, CELLS] * 3})
    before = child_cpu_seconds()
    proc = run_gencoeffs(inputs, 1)
    spent = child_cpu_seconds() - before
    assert proc.returncode == 0, proc.stderr
    assert spent < 10.0, f"{kind}: {spent:.1f} s of processor time"

    eps = read_output(inputs.file_out)["all"][0][0]
    # The x component sits at (dual x, boundary y, boundary z) of its cell. Its averaging
    # reaches less than one cell diagonal (0.15) from it; the outline lies between radii 0.55
    # and 0.85 (moved by at most 0.05 by the slope), the slab between z = -0.5 and 0.5.
    b = np.asarray(coords["x"], np.float32).astype(np.float64)
    centres = (b[:-1] + b[1:]) / 2
    x, y, z = np.meshgrid(centres, b[:-1], b[:-1], indexing="ij")
    r = np.hypot(x, y)
    inside = (r < 0.35) & (np.abs(z) < 0.3)
    outside = (r > 1.05) | (np.abs(z) > 0.7)
    assert inside.sum() > 50 and outside.sum() > 5000
    np.testing.assert_array_equal(eps[..., 0][inside], 4.0)
    np.testing.assert_array_equal(eps[..., 0][outside], 1.0)
