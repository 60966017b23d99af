"""Averaged coefficients end to end: known shapes, exact flat interfaces, filled volume,
subdomain splitting and agreement of the subpixel schemes."""

import copy
import math

import numpy as np
import pytest

from conftest import BASE_SPEC, read_output, run_gencoeffs
from geometry_volumes import component_points, duals_of, rotation, self_check, share_below_plane

DIELECTRIC_4 = {"type": "Medium", "permittivity": 4.0, "conductivity": 0.0, "poles": [[], [], []]}
# Drude-like: at 1e14 Hz the real part is about -13, so it is averaged as a metal.
DRUDE = {"type": "Medium", "permittivity": 1.0, "conductivity": 0.0,
         "poles": [[[1e15, 0, 1e16, 0]], [[1e15, 0, 1e16, 0]], [[1e15, 0, 1e16, 0]]]}
FREQ = 1e14


def spec_with(media, structures, **subpixel):
    spec = copy.deepcopy(BASE_SPEC)
    spec["medium_list"] = media
    spec["struct_list"] = structures
    for material_class, method in subpixel.items():
        spec["subpixel_method"][material_class] = {"type": method, "staircase_normal_component": False}
    return spec


def sphere(radius, centre=(0.0, 0.0, 0.0), mat_index=0):
    return {"type": "Sphere", "name": "s", "str_index": 0, "mat_index": mat_index, "radius": radius,
            "x_cent": centre[0], "y_cent": centre[1], "z_cent": centre[2]}


def cube_grid(cells, half=1.0):
    return {axis: np.linspace(-half, half, cells + 1) for axis in "xyz"}


def compute(make_inputs, spec, coords, subdomains=None, scheme=1, name="run", freqs=(FREQ,)):
    n = [len(coords[a]) - 1 for a in "xyz"]
    subdomains = subdomains or {"all": [0, n[0], 0, n[1], 0, n[2]]}
    inputs = make_inputs(spec=spec, coords=coords, subdomains=subdomains, freqs=freqs, name=name)
    proc = run_gencoeffs(inputs, scheme)
    assert proc.returncode == 0, proc.stderr
    return read_output(inputs.file_out)


def yee_positions(component, coords):
    """World position of electric component `component` of every cell, shape (nx, ny, nz, 3)."""
    b = [np.asarray(coords[a], np.float32).astype(np.float64) for a in "xyz"]
    d = [duals_of(x) for x in b]
    axes = [d[a][1:] if a == component else b[a][:-1] for a in range(3)]
    return np.stack(np.meshgrid(*axes, indexing="ij"), axis=-1)


def test_region_volumes_are_computed_exactly():
    assert self_check() < 0.01


def test_sphere_of_permittivity_four(make_inputs):
    radius, cells = 0.55, 20
    coords = cube_grid(cells)
    eps, mu = compute(make_inputs, spec_with([DIELECTRIC_4], [sphere(radius)]), coords)["all"]
    assert np.array_equal(mu, np.broadcast_to(np.eye(3, dtype=np.complex64).reshape(9), mu.shape))
    reach = math.sqrt(3) * 2.0 / cells  # farther than any sample point of a component
    interface_values = []
    for c in range(3):
        values = eps[0, ..., 4 * c]
        assert np.all(values.imag == 0)
        r = np.linalg.norm(yee_positions(c, coords), axis=-1)
        inside, outside = r < radius - reach, r > radius + reach
        assert np.all(values[inside] == 4) and np.all(values[outside] == 1)
        between = ~inside & ~outside
        assert np.all((values[between].real >= 1) & (values[between].real <= 4))
        interface_values.append((r[between], values[between].real))
        off_diagonal = [k for k in range(9) if k % 4]
        assert np.all(eps[0, ..., off_diagonal] == 0)
    # The averaged value follows the surface: it falls as the Yee position moves outwards.
    r, v = map(np.concatenate, zip(*interface_values))
    assert np.corrcoef(r, v)[0, 1] < -0.8
    assert np.any((v > 1.05) & (v < 3.95))


def polarized(share_inside, n_squared, eps_inside):
    """The polarized average of eps_inside and vacuum for the given share and normal."""
    s = share_inside * eps_inside + (1 - share_inside)
    harmonic = 1.0 / (share_inside / eps_inside + (1 - share_inside))
    return n_squared * harmonic + (1 - n_squared) * s


@pytest.mark.parametrize("axis, angle, offset", [((1, 2, 3), 0.7, 0.013), ((-2, 1, 0.5), 2.1, -0.071)])
def test_flat_interface_is_exact_in_analytic_mode(make_inputs, axis, angle, offset):
    eps_inside, cells = 2.5, 8
    r = rotation(axis, angle)
    normal = r[:, 0]  # the box's +x face turned into the world
    transform = np.eye(4)
    transform[:3, :3] = r
    huge = 100.0
    box = {"type": "Box", "x_cent": offset - huge / 2, "y_cent": 0, "z_cent": 0,
           "x_span": huge, "y_span": huge, "z_span": huge}
    structure = {"type": "Transformed", "name": "slab", "str_index": 0, "mat_index": 0,
                 "transform": transform.tolist(), "geometry": box}
    medium = {"type": "Medium", "permittivity": eps_inside, "conductivity": 0.0, "poles": [[], [], []]}
    coords = cube_grid(cells, half=0.4)
    eps = compute(make_inputs, spec_with([medium], [structure]), coords, scheme=1)["all"][0][0]

    b = [np.asarray(coords[a], np.float32).astype(np.float64) for a in "xyz"]
    d = [duals_of(x) for x in b]
    checked = 0
    for cell in np.ndindex(cells, cells, cells):
        for c in range(3):
            share = share_below_plane(component_points(c, cell, b, d), normal, offset)
            expected = polarized(share, normal[c] ** 2, eps_inside)
            got = eps[cell + (4 * c,)]
            assert got.imag == 0
            assert got.real == pytest.approx(expected, rel=3e-6, abs=3e-6), (cell, c, share)
            checked += 0 < share < 1
    assert checked > 50  # the plane crosses many sampling regions


def filled_volume_error(make_inputs, cells, name):
    radius = 0.7
    coords = cube_grid(cells)
    spec = spec_with([DRUDE], [sphere(radius)], metal="VolumetricAveraging")
    eps = compute(make_inputs, spec, coords, name=name)["all"][0][0]
    omega = 2 * math.pi * FREQ
    eps_metal = 1 - 2 * 1e16 / (1e15 + 1j * omega)
    cell_volume = (2.0 / cells) ** 3
    errors = []
    for c in range(3):
        shares = ((eps[..., 4 * c] - 1) / (eps_metal - 1)).real
        assert shares.min() > -1e-4 and shares.max() < 1 + 1e-4
        errors.append(abs(shares.sum() * cell_volume / (4 / 3 * math.pi * radius ** 3) - 1))
    return max(errors)


def test_filled_volume_matches_the_sphere_and_improves_with_resolution(make_inputs):
    coarse = filled_volume_error(make_inputs, 10, "coarse")
    fine = filled_volume_error(make_inputs, 30, "fine")
    assert fine < 0.01
    assert fine < coarse


def test_splitting_into_subdomains_changes_nothing(make_inputs):
    coords = {"x": np.linspace(-1, 1, 13), "y": np.geomspace(0.1, 2.1, 11) - 1.1, "z": np.linspace(-0.9, 1.1, 9)}
    spec = spec_with([DIELECTRIC_4, DRUDE], [sphere(0.6), sphere(0.3, (0.2, 0.1, -0.1), mat_index=1)])
    whole = compute(make_inputs, spec, coords, name="whole", freqs=(1e14, 2e14))["all"]
    parts = {"a": [0, 5, 0, 10, 0, 8], "b": [5, 12, 0, 4, 0, 8], "c": [5, 12, 4, 10, 0, 3], "d": [5, 12, 4, 10, 3, 8]}
    split = compute(make_inputs, spec, coords, subdomains=parts, name="split", freqs=(1e14, 2e14))
    for name, (x0, x1, y0, y1, z0, z1) in parts.items():
        for k in range(2):
            assert np.array_equal(split[name][k], whole[k][:, x0:x1, y0:y1, z0:z1]), name


def test_schemes_agree_on_smooth_surfaces(make_inputs):
    coords = cube_grid(16)
    spec = spec_with([DIELECTRIC_4], [sphere(0.62, (0.03, -0.02, 0.01))])
    results = {s: compute(make_inputs, spec, coords, scheme=s, name=f"scheme{s}")["all"][0][0].real for s in (0, 1, 2)}
    interface = (results[1] > 1) & (results[1] < 4)
    assert interface.sum() > 100
    for s in (0, 2):
        difference = np.abs(results[s] - results[1])[interface]
        assert difference.mean() < 0.05, s
        assert difference.max() < 0.75, s
