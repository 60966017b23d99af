"""Conformal conductors end to end: a tilted perfect conductor and an axis-aligned lossy metal
against an independent model of every face and edge, curved conductors under every scheme, and
subdomain splitting."""

import copy
import math

import numpy as np
import pytest

from conformal_model import MARK, min_margin, pole_sum, predict
from conftest import BASE_SPEC, read_output, run_gencoeffs
from geometry_volumes import duals_of, rotation

FREQ = 1e14
DIELECTRIC = {"type": "Medium", "permittivity": 2.25, "conductivity": 0.0, "poles": [[], [], []]}
PEC = {"type": "PEC"}
HUGE = 100.0


def spec_with(media, structures):
    spec = copy.deepcopy(BASE_SPEC)
    spec["medium_list"] = media
    spec["struct_list"] = structures
    return spec


def background(mat_index):
    return {"type": "Box", "name": "background", "str_index": 0, "mat_index": mat_index,
            "x_cent": 0, "y_cent": 0, "z_cent": 0, "x_span": HUGE, "y_span": HUGE, "z_span": HUGE}


def half_space(normal_rotation, offset, mat_index):
    """The huge box whose +x face, turned by the rotation, is the plane normal . p = offset."""
    transform = np.eye(4)
    transform[:3, :3] = normal_rotation
    box = {"type": "Box", "x_cent": offset - HUGE / 2, "y_cent": 0, "z_cent": 0,
           "x_span": HUGE, "y_span": HUGE, "z_span": HUGE}
    return {"type": "Transformed", "name": "conductor", "str_index": 1, "mat_index": mat_index,
            "transform": transform.tolist(), "geometry": box}


def uneven_axis(rng, cells, low=-0.5):
    widths = rng.uniform(0.08, 0.2, cells)
    return np.concatenate([[low], low + np.cumsum(widths)])


def run(make_inputs, spec, coords, scheme, name, subdomains=None):
    n = [len(coords[a]) - 1 for a in "xyz"]
    subdomains = subdomains or {"all": [0, n[0], 0, n[1], 0, n[2]]}
    inputs = make_inputs(spec=spec, coords=coords, subdomains=subdomains, freqs=(FREQ,), name=name)
    proc = run_gencoeffs(inputs, scheme)
    assert proc.returncode == 0, proc.stderr
    assert proc.stderr == ""
    return read_output(inputs.file_out)


def diagonals(tensor):
    return tensor[0][..., [0, 4, 8]]


def off_diagonal(tensor):
    return tensor[0][..., [1, 2, 3, 5, 6, 7]]


def compare(got_eps, got_mu, eps_open, expected_eps, expected_mu):
    """Conductor marks exactly; open shares of edges (eps_open / eps) and faces (mu) to float32."""
    for got, expected, to_share in ((got_eps, expected_eps, lambda v: eps_open / v), (got_mu, expected_mu, None)):
        marked = expected.real == MARK
        assert np.array_equal(got.real == MARK, marked)
        assert np.all(got[marked].imag == 0)
        g, e = got[~marked], expected[~marked]
        if to_share is not None:
            g, e = to_share(g.real), to_share(e.real)
        np.testing.assert_allclose(g.real, np.real(e), rtol=0, atol=3e-6)
        np.testing.assert_allclose(g.imag, np.imag(e), rtol=1e-5, atol=3e-6)


@pytest.mark.parametrize("seed", [3, 11])
def test_tilted_perfect_conductor_matches_the_face_and_edge_model(make_inputs, seed):
    rng = np.random.default_rng(seed)
    turn = rotation(rng.normal(size=3), rng.uniform(0.3, 2.8))
    normal = turn[:, 0]
    offset = float(rng.uniform(-0.05, 0.05))
    coords = {a: uneven_axis(rng, 7) for a in "xyz"}
    b = [np.asarray(coords[a], np.float32).astype(np.float64) for a in "xyz"]
    assert min_margin(b, [duals_of(x) for x in b], normal, offset) > 1e-5  # no sample on the plane

    spec = spec_with([DIELECTRIC, PEC], [background(0), half_space(turn, offset, 1)])
    expected_eps, expected_mu, records = predict(coords, normal, offset, 2.25)
    kept = [r for r in records.values() if r["area"] > 0]
    assert len(kept) > 40  # the plane crosses many faces
    raised = sum(1 for r in kept if r["area"] > 0.26)
    assert 0 < raised < len(kept)
    partial = np.count_nonzero((expected_eps.real > 2.25) & (expected_eps.real != MARK))
    assert partial > 40  # edges partly in the conductor

    for scheme in (0, 1):
        eps, mu = run(make_inputs, spec, coords, scheme, f"tilted{seed}_{scheme}")["all"]
        assert np.all(off_diagonal(eps) == 0) and np.all(off_diagonal(mu) == 0)
        compare(diagonals(eps), diagonals(mu), 2.25, expected_eps, expected_mu)


def test_lossy_metal_surface_model_on_a_flat_face(make_inputs):
    rng = np.random.default_rng(7)
    coords = {"x": uneven_axis(rng, 8), "y": uneven_axis(rng, 5), "z": uneven_axis(rng, 4)}
    constant, pole = 0.02, [2e13, 1e12, 3e14, -2e13]
    metal = {"type": "LossyMetal", "permittivity": 1.0, "conductivity": 5e7,
             "poles": [[pole, [constant, 0, 0, 0]], [], []]}
    x0 = float(0.25 * coords["x"][3] + 0.75 * coords["x"][4])  # inside cell 3 along x
    spec = spec_with([metal], [half_space(np.eye(3), x0, 0)])
    eps, mu = run(make_inputs, spec, coords, 1, "lossy")["all"]

    surface = (constant, pole_sum([pole], FREQ))
    expected_eps, expected_mu, records = predict(coords, (1.0, 0.0, 0.0), x0, 1.0, metal=surface)
    compare(diagonals(eps), diagonals(mu), 1.0, expected_eps, expected_mu)

    # Faces normal to y and z across the surface carry a surface length of 1 / dx, and their
    # open area is the stability limit less the surface term where that exceeds the open share.
    dx = float(np.float32(coords["x"][4]) - np.float32(coords["x"][3]))
    crossed = [r for (cell, j), r in records.items() if j != 0]
    assert len(crossed) == 2 * 5 * 4 and all(r["length"] == pytest.approx(1 / dx, rel=1e-6) for r in crossed)
    share = (float(np.float32(coords["x"][4])) - x0) / dx
    limit = 1 / 1.9 - constant / dx
    assert 0.01 * limit < share < limit  # the limit less the surface term raises the open share
    hy = mu[0, 3, :, :, 4]
    term = np.complex64(np.float32(1 / dx)) * np.complex64(constant + surface[1])
    np.testing.assert_allclose(hy - term, max(share, limit), rtol=1e-5, atol=1e-6)
    assert np.all(mu[0, :4, :, :, 0].real == MARK) and np.all(mu[0, 4:, :, :, 0] == 1)


def sphere(radius, centre, mat_index):
    return {"type": "Sphere", "name": "ball", "str_index": 1, "mat_index": mat_index, "radius": radius,
            "x_cent": centre[0], "y_cent": centre[1], "z_cent": centre[2]}


def cylinder(radius, centre, mat_index):
    return {"type": "Cylinder", "name": "rod", "str_index": 2, "mat_index": mat_index, "axis": "y",
            "reference_plane": "middle", "x_cent": centre[0], "y_cent": centre[1], "z_cent": centre[2],
            "radius": radius, "height": 1.2}


CURVED = spec_with([DIELECTRIC, PEC], [background(0), sphere(0.45, (-0.35, 0.05, 0.02), 1),
                                        cylinder(0.25, (0.45, -0.1, 0.03), 1)])


def cube(cells):
    return {a: np.linspace(-1.0, 1.0, cells + 1) for a in "xyz"}


@pytest.mark.parametrize("scheme", [0, 1, 2])
def test_curved_conductors_in_a_dielectric(make_inputs, scheme):
    cells = 24
    coords = cube(cells)
    eps, mu = run(make_inputs, CURVED, coords, scheme, f"curved{scheme}")["all"]
    centres = [0.5 * (c[1:] + c[:-1]) for c in (coords[a] for a in "xyz")]
    x, y, z = np.meshgrid(*centres, indexing="ij")
    to_sphere = np.sqrt((x + 0.35) ** 2 + (y - 0.05) ** 2 + (z - 0.02) ** 2) - 0.45
    to_rod = np.maximum(np.sqrt((x - 0.45) ** 2 + (z - 0.03) ** 2) - 0.25, np.abs(y + 0.1) - 0.6)
    distance = np.minimum(to_sphere, to_rod)
    # Every sample of a cell's components lies within 1.5 cells of its centre along each axis.
    reach = 1.5 * math.sqrt(3) * 2.0 / cells
    deep, far = distance < -reach, distance > reach
    assert deep.sum() > 20 and far.sum() > 1000
    for t, open_value in ((eps, 2.25), (mu, 1.0)):
        d = diagonals(t)
        assert np.all(d[deep] == MARK)
        assert np.all(d[far] == open_value)
    mu_d = diagonals(mu)
    changed = np.any(mu_d != 1, axis=-1)
    assert np.all(changed <= (distance < reach))  # mu differs from 1 only next to the surfaces
    surface_cells = changed & ~np.all(mu_d == MARK, axis=-1)
    assert surface_cells.sum() > 50
    between = mu_d[surface_cells]
    assert np.all((between.real == MARK) | ((between.real > 0) & (between.real <= 1)))


def test_splitting_conductor_scenes_into_subdomains_changes_nothing(make_inputs):
    coords = {"x": np.linspace(-1, 1, 13), "y": np.geomspace(0.1, 2.1, 11) - 1.1, "z": np.linspace(-0.9, 1.1, 9)}
    metal = {"type": "LossyMetal", "permittivity": 1.0, "conductivity": 5e7, "poles": [[[0.5, 0, 0, 0]], [], []]}
    spec = copy.deepcopy(CURVED)
    spec["medium_list"].append(metal)
    spec["struct_list"][2]["mat_index"] = 2
    whole = run(make_inputs, spec, coords, 0, "whole")["all"]
    parts = {"a": [0, 5, 0, 10, 0, 8], "b": [5, 12, 0, 4, 0, 8], "c": [5, 12, 4, 10, 0, 3], "d": [5, 12, 4, 10, 3, 8]}
    split = run(make_inputs, spec, coords, 0, "split", subdomains=parts)
    for name, (x0, x1, y0, y1, z0, z1) in parts.items():
        for k in range(2):
            assert split[name][k].tobytes() == whole[k][:, x0:x1, y0:y1, z0:z1].tobytes(), name
