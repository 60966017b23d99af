"""End-to-end checks of the main paths: extruded and meshed shapes against a point oracle,
contour-path and normal-staircased averaging on flat interfaces, sampled fractions, conductor
staircases (PEC and PMC, plain and heuristic), fully anisotropic and gridded media, periodic
wrap and clipping planes. Expected values come from membership tests of the sample points and
from the averaging formulas evaluated with independently computed shares."""

import copy
import math

import h5py
import numpy as np
import pytest

from conftest import BASE_SPEC, read_output, run_gencoeffs
from geometry_volumes import component_points, rotation, share_below_plane
from yee_samples import axis_lists, classify, sample_points

FREQ = 1e14
OMEGA_EPS0 = float(np.float32(2 * math.pi * FREQ)) * 8.854187812800384e-18
PEC_MARK = np.complex64(-1e8)


def dielectric(value):
    return {"type": "Medium", "permittivity": value, "conductivity": 0.0, "poles": [[], [], []]}


def spec_with(media, structures, bounds=1.0, **methods):
    spec = copy.deepcopy(BASE_SPEC)
    spec["simulation_bounds"] = [[-bounds] * 3, [bounds] * 3]
    spec["medium_list"] = media
    spec["struct_list"] = [{"name": f"s{i}", "str_index": i, **s} for i, s in enumerate(structures)]
    for material_class, method in methods.items():
        spec["subpixel_method"][material_class] = method if isinstance(method, dict) else {
            "type": method, "staircase_normal_component": False, "edge_singularity_correction": False}
    return spec


def cube_grid(cells, half=1.0):
    return {axis: np.linspace(-half, half, cells + 1) for axis in "xyz"}


def compute(make_inputs, spec, coords, scheme=1, name="run", custom=None):
    n = [len(coords[a]) - 1 for a in "xyz"]
    inputs = make_inputs(spec=spec, coords=coords, subdomains={"all": [0, n[0], 0, n[1], 0, n[2]]},
                         freqs=(FREQ,), name=name)
    if custom:
        custom(inputs.hdf5_file)
    proc = run_gencoeffs(inputs, scheme)
    assert proc.returncode == 0, proc.stderr
    eps, mu = read_output(inputs.file_out)["all"]
    return eps[0], mu[0]


def box_inside(centre, half):
    centre, half = np.asarray(centre), np.asarray(half)
    return lambda p: np.all(np.abs(p - centre) < half, axis=-1)


# --- PolySlab and TriangleMesh against a point oracle --------------------------------------------

def polygon_inside(vertices, x, y):
    """Even-odd test of the straight polygon."""
    inside = np.zeros(np.shape(x), bool)
    n = len(vertices)
    for k in range(n):
        (x0, y0), (x1, y1) = vertices[k], vertices[(k + 1) % n]
        crosses = (y0 > y) != (y1 > y)
        with np.errstate(divide="ignore", invalid="ignore"):
            at = x0 + (y - y0) * (x1 - x0) / (y1 - y0)
        inside ^= crosses & (x < at)
    return inside


def arc_polygon_inside(vertices, bulges, x, y):
    """The polygon with each edge of bulge b replaced by an arc of sagitta b * chord / 2 bulging to
    the right of the edge's direction for b > 0 (to the left for b < 0): the straight polygon with
    each circular segment between chord and arc added or removed."""
    inside = polygon_inside(vertices, x, y)
    n = len(vertices)
    for k, b in enumerate(bulges):
        if b == 0:
            continue
        p, q = np.asarray(vertices[k], float), np.asarray(vertices[(k + 1) % n], float)
        g = q - p
        chord = np.linalg.norm(g)
        theta = 4 * math.atan(abs(b))  # angle the arc subtends
        radius = chord / (2 * math.sin(theta / 2))
        right = np.array([g[1], -g[0]]) / chord
        side = right if b > 0 else -right
        centre = (p + q) / 2 - side * radius * math.cos(theta / 2)
        beyond_chord = ((x - p[0]) * side[0] + (y - p[1]) * side[1]) > 0
        in_circle = (x - centre[0]) ** 2 + (y - centre[1]) ** 2 < radius ** 2
        inside ^= beyond_chord & in_circle
    return inside


def convex_section_inside(vertices, inset, x, y):
    """Inside the counter-clockwise convex polygon whose edges are all moved inwards by `inset`."""
    inside = np.ones(np.shape(x), bool)
    n = len(vertices)
    for k in range(n):
        p, q = np.asarray(vertices[k], float), np.asarray(vertices[(k + 1) % n], float)
        g = q - p
        outward = np.array([g[1], -g[0]]) / np.linalg.norm(g)
        inside &= (x - p[0]) * outward[0] + (y - p[1]) * outward[1] < -inset
    return inside


L_SHAPE = [[-0.7, -0.6], [0.65, -0.6], [0.65, -0.05], [0.0, -0.05], [0.0, 0.7], [-0.7, 0.7]]
SQUARE = [[-0.5, -0.5], [0.5, -0.5], [0.5, 0.5], [-0.5, 0.5]]
SQUARE_BULGES = [0.35, 0.0, -0.3, 0.2]
HEXAGON = [[0.7 * math.cos(a), 0.6 * math.sin(a)] for a in np.arange(6) * math.pi / 3 + 0.2]
SLOPE = 0.3
TILT = rotation((1, 0.3, 0), 0.4)


def straight_slab_oracle(p):
    # Axis y: polygon (u, v) lies in world (x, z), the slab spans y in [-0.45, 0.55].
    return polygon_inside(L_SHAPE, p[..., 0], p[..., 2]) & (np.abs(p[..., 1] - 0.05) < 0.5)


def arc_slab_oracle(p):
    return arc_polygon_inside(SQUARE, SQUARE_BULGES, p[..., 0], p[..., 1]) & (np.abs(p[..., 2] + 0.1) < 0.6)


def sloped_local_oracle(p):
    z = p[..., 2] - 0.05
    return convex_section_inside(HEXAGON, z * math.tan(SLOPE), p[..., 0], p[..., 1]) & (np.abs(z) < 0.6)


def tilted_oracle(p):
    # World = TILT . local, so local = TILT^T . world.
    return sloped_local_oracle(p @ TILT)


OCTAHEDRON_HALF = np.array([0.8, 0.55, 0.7])
OCTAHEDRON_CENTRE = np.array([0.05, -0.07, 0.03])


def octahedron():
    c, h = OCTAHEDRON_CENTRE, OCTAHEDRON_HALF
    triangles = []
    for sx in (1, -1):
        for sy in (1, -1):
            for sz in (1, -1):
                a, b, d = c + [sx * h[0], 0, 0], c + [0, sy * h[1], 0], c + [0, 0, sz * h[2]]
                if sx * sy * sz < 0:  # keep every normal pointing outwards
                    a, b = b, a
                triangles.append([a.tolist(), b.tolist(), d.tolist()])
    return {"type": "TriangleMesh", "vectors": triangles}


def octahedron_oracle(p):
    return np.sum(np.abs(p - OCTAHEDRON_CENTRE) / OCTAHEDRON_HALF, axis=-1) < 1


def sloped_slab(axis="z"):
    return {"type": "PolySlab", "axis": axis, "z_cent": 0.05, "z_size": 1.2, "vertices": HEXAGON,
            "sidewall_angle": SLOPE}


tilt_matrix = np.eye(4)
tilt_matrix[:3, :3] = TILT

SHAPES = {
    "straight": ({"type": "PolySlab", "axis": "y", "z_cent": 0.05, "z_size": 1.0, "vertices": L_SHAPE},
                 straight_slab_oracle),
    "arcs": ({"type": "PolySlab", "axis": "z", "z_cent": -0.1, "z_size": 1.2, "vertices": SQUARE,
              "bulges": SQUARE_BULGES}, arc_slab_oracle),
    "sloped": (sloped_slab(), sloped_local_oracle),
    "tilted": ({"type": "Transformed", "transform": tilt_matrix.tolist(), "geometry": sloped_slab()}, tilted_oracle),
    "mesh": (octahedron(), octahedron_oracle),
}


@pytest.mark.parametrize("kind", SHAPES)
def test_extruded_and_meshed_shapes_match_a_point_oracle(make_inputs, kind):
    geometry, oracle = SHAPES[kind]
    coords = cube_grid(14)
    spec = spec_with([dielectric(3.0)], [{**geometry, "mat_index": 0}], dielectric="PolarizedAveraging")
    eps, mu = compute(make_inputs, spec, coords)
    inside_total = outside_total = mixed_between = mixed_total = 0
    for c in range(3):
        values = eps[..., 4 * c]
        all_in, all_out, straddling = classify(sample_points(coords, c), oracle)
        assert np.all(values[all_in] == 3), (kind, c)
        assert np.all(values[all_out] == 1), (kind, c)
        mixed = values[~all_in & ~all_out]
        assert np.all((mixed.real >= 1) & (mixed.real <= 3) & (mixed.imag == 0))
        inside_total += all_in.sum()
        outside_total += all_out.sum()
        crossed = values[straddling]
        mixed_total += crossed.size
        mixed_between += np.sum((crossed.real > 1) & (crossed.real < 3))
    assert inside_total > 150 and outside_total > 150, (inside_total, outside_total)
    # A neighbourhood that the surface crosses is averaged, not staircased.
    assert mixed_between > 0.9 * mixed_total, (mixed_between, mixed_total)


# --- averaging formulas on flat interfaces ---------------------------------------------------------

def tilted_half_space(normal_axis, angle, offset):
    """A huge box whose +x face, turned into the world, is the plane normal . p = offset."""
    r = rotation(normal_axis, angle)
    transform = np.eye(4)
    transform[:3, :3] = r
    huge = 100.0
    box = {"type": "Box", "x_cent": offset - huge / 2, "y_cent": 0, "z_cent": 0,
           "x_span": huge, "y_span": huge, "z_span": huge}
    return {"type": "Transformed", "transform": transform.tolist(), "geometry": box}, r[:, 0]


def edge_share_below(points, normal, offset):
    """Share of the polyline end 1 - centre - end 2 (points 1, 0, 2) where normal . p < offset."""
    total = below = 0.0
    for a, b in ((points[1], points[0]), (points[0], points[2])):
        da, db = np.dot(normal, a) - offset, np.dot(normal, b) - offset
        length = np.linalg.norm(b - a)
        total += length
        if da < 0 and db < 0:
            below += length
        elif (da < 0) != (db < 0):
            below += length * (da if da < 0 else db) / (da - db) * (1 if da < 0 else -1)
    return below / total


def flat_interface_cases(make_inputs, media, methods, scheme=1, cells=8, name="run"):
    """Runs a tilted half-space of media[0] in vacuum; yields (cell, component, share inside,
    edge share inside, normal, value)."""
    geometry, normal = tilted_half_space((1, 2, 3), 0.7, 0.013)
    coords = cube_grid(cells, half=0.4)
    eps, _ = compute(make_inputs, spec_with(media, [{**geometry, "mat_index": 0}], **methods), coords,
                     scheme=scheme, name=name)
    boundaries, duals = axis_lists(coords)
    for cell in np.ndindex(cells, cells, cells):
        for c in range(3):
            points = component_points(c, cell, boundaries, duals)
            yield (cell, c, share_below_plane(points, normal, 0.013), edge_share_below(points, normal, 0.013),
                   normal, points, eps[cell + (4 * c,)])


def test_contour_path_averaging_on_a_flat_interface(make_inputs):
    inner, checked = 2.5, 0
    for cell, c, share, edge, normal, points, got in flat_interface_cases(
            make_inputs, [dielectric(inner)], {"dielectric": "ContourPathAveraging"}):
        yee_inside = np.dot(normal, points[0]) < 0.013
        # medium_a is the Yee position's medium, the fractions are those of the other medium.
        a, b = (inner, 1.0) if yee_inside else (1.0, inner)
        phi, g = (1 - share, 1 - edge) if yee_inside else (share, edge)
        if phi == 0:
            expected = a
        else:
            n2 = normal[c] ** 2
            s = phi * b + (1 - phi) * a
            t = (1 - n2) * s + n2 * a
            expected = (t / a) / (n2 * g / b + (1 - n2 * g) / a)
        assert got.imag == 0
        assert got.real == pytest.approx(expected, rel=3e-6, abs=3e-6), (cell, c, share, edge)
        checked += 0 < edge < 1
    assert checked > 30  # many edges cross the plane


DRUDE = {"type": "Medium", "permittivity": 1.0, "conductivity": 0.0,
         "poles": [[[1e15, 0, 1e16, 0]], [[1e15, 0, 1e16, 0]], [[1e15, 0, 1e16, 0]]]}
DRUDE_VALUE = 1 - 2 * 1e16 / (1e15 + 1j * float(np.float32(2 * math.pi * FREQ)))
LOSSY = {"type": "LossyMetal", "permittivity": 1.5, "conductivity": 2e-3,
         "poles": [[[-1e14, 2e14, 3e14, 0], [4.0, 0, 0, 0]], [], []]}
LOSSY_VALUE = 1.5 + 1j * 2e-3 / OMEGA_EPS0
NORMAL_STAIRCASED = {"type": "VolumetricAveraging", "staircase_normal_component": True}


@pytest.mark.parametrize("medium, value, methods", [
    (DRUDE, DRUDE_VALUE, {"metal": NORMAL_STAIRCASED}),
    (LOSSY, LOSSY_VALUE, {"lossy_metal": NORMAL_STAIRCASED}),
], ids=["metal", "lossy_metal"])
def test_normal_staircased_metals_on_a_flat_interface(make_inputs, medium, value, methods):
    staircased = averaged = 0
    for cell, c, share, _, normal, points, got in flat_interface_cases(make_inputs, [medium], methods):
        yee_inside = np.dot(normal, points[0]) < 0.013
        a = value if yee_inside else 1.0
        if 0 < share < 1 and normal[c] ** 2 > 0.25:
            expected = a  # the component along the normal keeps the Yee position's medium
            staircased += 1
        else:
            expected = share * value + (1 - share)
            averaged += 0 < share < 1
        assert got == pytest.approx(expected, rel=3e-5, abs=3e-5), (cell, c, share)
    assert staircased > 20 and averaged > 20


def fixed_tetrahedron_points(count=30, dimension=4):
    """The fixed barycentric sample points of a tetrahedron: uniforms from the minimal-standard
    generator seeded with 1 (two outputs per double), turned into normalized exponentials."""
    modulus, state = 2147483647, 1

    def draw():
        nonlocal state
        state = 16807 * state % modulus
        return state

    rows = []
    for _ in range(count):
        row = []
        for _ in range(dimension):
            r1 = draw()
            r2 = draw()
            u = min(((r1 - 1) + (r2 - 1) * 2147483646) / 2147483646 ** 2, 0.9999999999999999)
            row.append(-math.log(min(max(u, 2 ** -23), 1 - 2 ** -23)))
        total = sum(row)
        rows.append([x / total for x in row])
    return np.array(rows)


def sampled_share_below_plane(points, normal, offset, rows):
    """Share of the sampling region below the plane as counted at the fixed points: a tetrahedron
    whose corners lie on one side counts whole, any other one counts its points below the plane."""
    from geometry_volumes import component_tetrahedra, tetra_volume
    total = below = 0.0
    for tetra in component_tetrahedra(points):
        corners = np.array(tetra)
        volume = tetra_volume(*tetra)
        sides = corners @ normal < offset
        share = float(sides[0]) if sides.all() or not sides.any() else np.mean((rows @ corners) @ normal < offset)
        total += volume
        below += share * volume
    return below / total


def test_sampled_fractions_count_the_fixed_points(make_inputs):
    rows = fixed_tetrahedron_points()
    assert abs(rows[:, 0].sum() / 30 - 0.25) < 0.1 and np.allclose(rows.sum(axis=1), 1)
    errors, counted = [], 0
    for cell, c, share, _, normal, points, got in flat_interface_cases(
            make_inputs, [DRUDE], {"metal": "VolumetricAveraging"}, scheme=2):
        measured = ((got - 1) / (DRUDE_VALUE - 1)).real
        expected = sampled_share_below_plane(points, normal, 0.013, rows)
        assert measured == pytest.approx(expected, abs=2e-5), (cell, c, share)
        if 0 < share < 1:
            errors.append(abs(measured - share))
            counted += abs(expected - share) > 1e-3
    errors = np.array(errors)
    # The counts stay within the sampling error of the exact share and visibly differ from it.
    assert errors.size > 100 and counted > 0.5 * errors.size
    assert errors.mean() < 0.03 and errors.max() < 0.15, (errors.mean(), errors.max())


# --- conductors: plain and heuristic staircases --------------------------------------------------

# Faces a quarter cell off the grid lines, so no sample point lies on them.
# On the 10-cell grid of [-1, 1] the boundaries lie at multiples of 0.2 and the centres halfway.
CONDUCTOR_CENTRE = (0.05, -0.15, 0.05)
CONDUCTOR_HALF = (0.4, 0.3, 0.6)
CONDUCTOR_BOX = {"type": "Box", "x_cent": CONDUCTOR_CENTRE[0], "y_cent": CONDUCTOR_CENTRE[1],
                 "z_cent": CONDUCTOR_CENTRE[2], "x_span": 2 * CONDUCTOR_HALF[0],
                 "y_span": 2 * CONDUCTOR_HALF[1], "z_span": 2 * CONDUCTOR_HALF[2]}


def nearest_face_axis(p):
    """Axis of the box face nearest to each point, and whether another face is as near."""
    gaps = np.sort(np.abs(np.asarray(CONDUCTOR_HALF) - np.abs(p - np.asarray(CONDUCTOR_CENTRE))), axis=-1)
    nearest = np.argmin(np.abs(np.asarray(CONDUCTOR_HALF) - np.abs(p - np.asarray(CONDUCTOR_CENTRE))), axis=-1)
    return nearest, gaps[..., 1] - gaps[..., 0] < 1e-6


def conductor_run(make_inputs, kind, method, extra=()):
    coords = cube_grid(10)
    material_class = kind.lower()
    structures = [{**CONDUCTOR_BOX, "mat_index": 0}] + [{**e, "mat_index": 0} for e in extra]
    spec = spec_with([{"type": kind}], structures, **{material_class: method})
    return coords, compute(make_inputs, spec, coords, name=f"{kind}_{method}")


def thin_rod(y, z):
    """A rod along x, 0.04 thick, around the line (y, z)."""
    return {"type": "Box", "x_cent": 0.0, "y_cent": y, "z_cent": z, "x_span": 1.8, "y_span": 0.04, "z_span": 0.04}


# The rod runs along the line that holds the Yee positions of the x components (boundaries for
# the electric ones, centres for the magnetic ones) but none of their face-centre samples.
RODS = {"PEC": (0.6, -0.8), "PMC": (0.7, -0.7)}


@pytest.mark.parametrize("kind", ["PEC", "PMC"])
def test_conductor_staircase_marks_components_with_a_face_centre_inside(make_inputs, kind):
    rod = RODS[kind]
    coords, (eps, mu) = conductor_run(make_inputs, kind, "Staircasing", [thin_rod(*rod)])
    in_box = box_inside(CONDUCTOR_CENTRE, CONDUCTOR_HALF)
    in_rod = box_inside((0.0, *rod), (0.9, 0.02, 0.02))

    def inside(p):
        return in_box(p) | in_rod(p)

    marked, untouched = (eps, mu) if kind == "PEC" else (mu, eps)
    assert np.array_equal(untouched, np.broadcast_to(np.eye(3, dtype=np.complex64).reshape(9), untouched.shape))
    for c in range(3):
        points = sample_points(coords, c, magnetic=(kind == "PMC"))
        expected = np.where(inside(points[..., 7:11, :]).any(axis=-1), PEC_MARK, np.complex64(1))
        assert np.array_equal(marked[..., 4 * c], expected), c
        if c == 0:
            # Along the rod the components sit inside the conductor and still stay open.
            assert np.count_nonzero(in_rod(points[..., 0, :]) & (expected == 1)) >= 8
    assert np.count_nonzero(marked == PEC_MARK) > 100


@pytest.mark.parametrize("kind", ["PEC", "PMC"])
def test_heuristic_staircase_opens_components_along_the_surface_normal(make_inputs, kind):
    coords, (eps, mu) = conductor_run(make_inputs, kind, "HeuristicPECStaircasing")
    inside = box_inside(CONDUCTOR_CENTRE, CONDUCTOR_HALF)
    marked, untouched = (eps, mu) if kind == "PEC" else (mu, eps)
    assert np.array_equal(untouched, np.broadcast_to(np.eye(3, dtype=np.complex64).reshape(9), untouched.shape))
    opened = 0
    for c in range(3):
        points = sample_points(coords, c, magnetic=(kind == "PMC"))
        membership = inside(points)
        yee, poles = membership[..., 0], membership[..., 1:3]
        # Inside the conductor the component opens when the nearest face is normal to it and a
        # pole lies outside; every other component inside stays marked, those outside are vacuum.
        nearest, tied = nearest_face_axis(points[..., 0, :])
        opens = yee & (nearest == c) & ~poles.all(axis=-1)
        expected = np.where(yee & ~opens, PEC_MARK, np.complex64(1))
        judged = ~(yee & tied)  # a corner's two faces are equally near: either answer is right
        assert np.array_equal(marked[..., 4 * c][judged], expected[judged]), c
        assert judged.sum() > 0.9 * judged.size
        opened += opens.sum()
    assert opened > 10
    assert np.count_nonzero(marked == PEC_MARK) > 100


# --- fully anisotropic and gridded media ---------------------------------------------------------

def test_fully_anisotropic_medium_fills_its_cells_with_the_full_tensor(make_inputs):
    permittivity = [3.0, 0.4, -0.2, 0.4, 2.5, 0.3, -0.2, 0.3, 4.0]
    conductivity = [1e-3, 0.0, 2e-4, 0.0, 5e-4, 0.0, 2e-4, 0.0, 0.0]
    medium = {"type": "FullyAnisotropic", "permittivity": permittivity, "conductivity": conductivity}
    coords = cube_grid(10)
    spec = spec_with([medium], [{**CONDUCTOR_BOX, "mat_index": 0}])
    eps, mu = compute(make_inputs, spec, coords)
    expected = np.array(permittivity, np.float32) + 1j * (np.array(conductivity) / OMEGA_EPS0).astype(np.float32)
    inside = box_inside(CONDUCTOR_CENTRE, CONDUCTOR_HALF)
    all_in = np.ones(eps.shape[:3], bool)
    all_out = np.ones(eps.shape[:3], bool)
    for c in range(3):
        ins, outs, _ = classify(sample_points(coords, c), inside)
        all_in &= ins
        all_out &= outs
    assert all_in.sum() > 10 and all_out.sum() > 100
    assert np.allclose(eps[all_in], expected.astype(np.complex64), rtol=1e-6, atol=1e-7)
    assert np.all(eps[all_in][:, 1] != 0)
    identity = np.eye(3, dtype=np.complex64).reshape(9)
    assert np.array_equal(eps[all_out], np.broadcast_to(identity, eps[all_out].shape))
    assert np.array_equal(mu, np.broadcast_to(identity, mu.shape))


def write_custom_media(path, media):
    """media: list of (structure index, dict of datasets) written under /custom_medium."""
    with h5py.File(path, "a") as f:
        group = f.create_group("custom_medium")
        group.create_dataset("istr_ind", data=np.array([s for s, _ in media], np.int32))
        for s, data in media:
            g = group.create_group(f"custom_{s:04d}")
            g.create_dataset("eps_inf", data=np.asarray(data["eps_inf"], np.float32))
            g.create_dataset("sigma", data=np.zeros(len(data["eps_inf"]), np.float32))
            g.create_dataset("inds_range", data=np.asarray(data["inds_range"], np.uint32))
            g.create_dataset("subpixel", data=np.asarray(data.get("subpixel", [True] * 3), bool))
            g.create_dataset("subpixel_identifier", data=np.array([data.get("identifier", 0)], np.uint32))
            g.create_dataset("dispersive", data=np.zeros(3, bool))


def test_gridded_medium_takes_each_cells_point_and_staircases_flagged_components(make_inputs):
    # An 8 x 6 x 9 block of points over cells [1, 9) x [2, 8) x [1, 10); every cell whose
    # neighbourhood reaches into the box holding the medium has a point of its own.
    origin, counts = np.array([1, 2, 1]), np.array([8, 6, 9])
    rng = np.random.default_rng(3)
    point_values = rng.uniform(2.0, 6.0, size=(*counts, 3)).astype(np.float32)
    data = {"eps_inf": point_values.reshape(-1), "inds_range": [1, 9, 2, 8, 1, 10], "subpixel": [True, False, True]}
    coords = cube_grid(10)
    centre, half = (-0.02, -0.07, 0.0), (0.33, 0.21, 0.43)
    box = {"type": "Box", "x_cent": centre[0], "y_cent": centre[1], "z_cent": centre[2],
           "x_span": 2 * half[0], "y_span": 2 * half[1], "z_span": 2 * half[2], "mat_index": 0}
    spec = spec_with([{"type": "Custom"}], [box])
    eps, _ = compute(make_inputs, spec, coords, custom=lambda p: write_custom_media(p, [(0, data)]))
    inside = box_inside(centre, half)
    full_cells = single_face = 0
    for c in range(3):
        points = sample_points(coords, c)
        all_in, all_out, _ = classify(points, inside)
        values = eps[..., 4 * c]
        for cell in zip(*np.nonzero(all_in)):
            point = np.array(cell) - origin
            assert values[cell] == point_values[tuple(point) + (c,)], (cell, c)
            full_cells += 1
        assert np.all(values[all_out] == 1)
        mixed = ~all_in & ~all_out
        yee_inside = inside(points[..., 0, :])
        if c == 1:
            # Its averaging is switched off: the Yee position's medium, the cell's own point.
            for cell in zip(*np.nonzero(mixed)):
                expected = point_values[tuple(np.array(cell) - origin) + (1,)] if yee_inside[cell] else 1
                assert values[cell] == np.float32(expected), cell
        else:
            single_face += check_single_face_components(points, values, centre, half, c,
                                                        lambda cell: point_values[tuple(np.array(cell) - origin) + (c,)])
    assert full_cells > 20 and single_face >= 8


def check_single_face_components(points, values, centre, half, c, value_of):
    """Components whose sampling region only one face of the box crosses, and whose sample points all
    lie nearest to that face: the polarized average of the cell's value and vacuum with the exact
    share inside and the face normal. Returns their count."""
    low, high = points.min(axis=-2), points.max(axis=-2)
    lower_face, upper_face = np.asarray(centre) - half, np.asarray(centre) + half
    checked = 0
    for cell in np.ndindex(values.shape):
        crossings = []
        for a in range(3):
            for plane, sign in ((lower_face[a], -1.0), (upper_face[a], 1.0)):
                if low[cell][a] < plane < high[cell][a]:
                    crossings.append((a, plane, sign))
        if len(crossings) != 1:
            continue
        a, plane, sign = crossings[0]
        others = [b for b in range(3) if b != a]
        if not all(lower_face[b] < low[cell][b] and high[cell][b] < upper_face[b] for b in others):
            continue
        # Every sample point must be nearest to that face, or its normal and distance come from another.
        gaps = np.abs(points[cell][:, :, None] - np.stack([lower_face, upper_face], axis=-1)[None])
        own = np.abs(points[cell][:, a] - plane)
        gaps[:, a, 0 if sign < 0 else 1] = np.inf
        if not np.all(own < gaps.min(axis=(1, 2))):
            continue
        normal = sign * np.eye(3)[a]
        share = share_below_plane(list(points[cell]), normal, sign * plane)
        v = float(value_of(cell))
        n2 = 1.0 if a == c else 0.0
        expected = n2 / (share / v + (1 - share)) + (1 - n2) * (share * v + 1 - share)
        assert values[cell].real == pytest.approx(expected, rel=3e-6), (cell, c, share)
        checked += 1
    return checked


@pytest.mark.parametrize("identifiers", [(7, 7), (0, 0)], ids=["merged", "distinct"])
def test_gridded_media_with_one_identifier_meet_without_averaging(make_inputs, identifiers):
    # Two single-point gridded media in boxes that meet at x = 0.05; the later box wins the samples.
    coords = cube_grid(8)
    boxes = [{"type": "Box", "x_cent": -0.45, "y_cent": 0.0, "z_cent": 0.0, "x_span": 1.0, "y_span": 3, "z_span": 3},
             {"type": "Box", "x_cent": 0.55, "y_cent": 0.0, "z_cent": 0.0, "x_span": 1.0, "y_span": 3, "z_span": 3}]
    spec = spec_with([{"type": "Custom"}], [{**b, "mat_index": 0} for b in boxes], bounds=1.0)
    media = [(s, {"eps_inf": [v] * 3, "inds_range": [0, 1, 0, 1, 0, 1], "identifier": g})
             for s, v, g in zip((0, 1), (2.0, 5.0), identifiers)]
    eps, _ = compute(make_inputs, spec, coords, custom=lambda p: write_custom_media(p, media))
    boundaries, duals = axis_lists(coords)
    for c in range(3):
        points = sample_points(coords, c)
        x = points[..., 0]
        touches_second = (x > 0.05).any(axis=-1)
        values = eps[..., 4 * c]
        first_only = (x < 0.05).all(axis=-1) & (np.abs(x + 0.45) < 0.5).all(axis=-1)
        assert np.all(values[first_only] == 2)
        meeting = touches_second & (x < 0.05).any(axis=-1)
        assert meeting.sum() > 20
        if identifiers[0]:
            # One medium: every neighbourhood holding the second box takes its value.
            assert np.all(values[meeting] == 5)
        else:
            assert np.all((values[meeting].real > 2) & (values[meeting].real < 5))


# --- periodic wrap and clipping planes ------------------------------------------------------------

def sphere(centre, radius, mat_index=0):
    return {"type": "Sphere", "x_cent": centre[0], "y_cent": centre[1], "z_cent": centre[2], "radius": radius,
            "mat_index": mat_index}


def test_periodic_wrap_shows_the_far_side_to_the_first_cells(make_inputs):
    # The sample points before the first boundary wrap to the far side of a periodic axis. A sphere
    # near the far side, seen that way, must give the same coefficients as a second sphere placed
    # one period lower on an open axis; without either the first cells stay vacuum.
    coords, radius = cube_grid(10), 0.25
    centre = np.array([0.7, 0.02, -0.03])
    runs = {"periodic": ([centre], True), "copy": ([centre, centre - [2.0, 0, 0]], False), "open": ([centre], False)}
    results = {}
    for name, (centres, periodic) in runs.items():
        spec = spec_with([dielectric(3.0)], [sphere(c, radius) for c in centres])
        spec["periodic_boundary"] = [periodic, False, False]
        results[name] = compute(make_inputs, spec, coords, name=name)[0]
    assert np.allclose(results["periodic"], results["copy"], rtol=1e-5, atol=1e-5)
    assert np.count_nonzero(results["periodic"][0].real > 1) > 5
    assert np.array_equal(results["open"][0], np.broadcast_to(np.eye(3, dtype=np.complex64).reshape(9),
                                                               results["open"][0].shape))
    assert np.array_equal(results["open"][1:], results["periodic"][1:])


def test_clipping_plane_extrudes_the_section_beyond_it(make_inputs):
    # Beyond x = 0.3 every point sees the sphere where the plane cuts it: a cylinder along x.
    coords, radius, plane = cube_grid(12), 0.6, 0.3
    spec = spec_with([dielectric(3.0)], [sphere((0.0, 0.0, 0.0), radius)])
    spec["apply_extrusion_bounds"] = [[False, False, False], [True, False, False]]
    spec["extrusion_clipping_bounds"] = [[-1.0, -1.0, -1.0], [plane, 1.0, 1.0]]
    eps, _ = compute(make_inputs, spec, coords)

    def clipped_sphere(p):
        q = p.copy()
        q[..., 0] = np.minimum(q[..., 0], plane)
        return np.linalg.norm(q, axis=-1) < radius

    beyond = 0
    for c in range(3):
        points = sample_points(coords, c)
        all_in, all_out, _ = classify(points, clipped_sphere)
        values = eps[..., 4 * c]
        assert np.all(values[all_in] == 3) and np.all(values[all_out] == 1)
        beyond += np.count_nonzero(all_in & (points[..., 0, 0] > plane + 0.1))
        mixed = values[~all_in & ~all_out]
        assert np.all((mixed.real >= 1) & (mixed.real <= 3))
    assert beyond > 20
