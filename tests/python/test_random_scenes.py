"""Property tests over random small scenes: shapes of every kind, media, averaging methods,
schemes, grids and subdomain partitions.

Every example runs `_gencoeffs` in child interpreters, so the examples are few, the grids tiny
and the seed fixed (the same examples on every run)."""

import copy
import json
import math

import numpy as np
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

from conftest import BASE_SPEC, INTERNAL_ERROR, LOAD_ERROR, read_output, run_child

FREQS = (1e14, 2.5e14)
PROPERTY_SETTINGS = settings(max_examples=25, deadline=None, derandomize=True, database=None,
                             suppress_health_check=list(HealthCheck))
MORE_EXAMPLES = settings(PROPERTY_SETTINGS, max_examples=40)

coordinate = st.floats(-0.9, 0.9, allow_nan=False).map(lambda v: round(v, 3))
length = st.floats(0.15, 1.6, allow_nan=False).map(lambda v: round(v, 3))
axis_name = st.sampled_from(["x", "y", "z"])


@st.composite
def grids(draw):
    """Boundaries per axis: 2 to 6 cells of random widths inside [-1, 1]."""
    coords = {}
    for axis in "xyz":
        n = draw(st.integers(2, 6))
        widths = np.array(draw(st.lists(st.floats(0.3, 1.0), min_size=n, max_size=n)))
        edges = np.concatenate([[0.0], np.cumsum(widths)])
        coords[axis] = (-1.0 + 2.0 * edges / edges[-1]).astype(np.float32)
    return coords


@st.composite
def polygons(draw, max_vertices=7):
    """A star-shaped (hence simple) polygon around a centre: increasing angles, random radii."""
    n = draw(st.integers(3, max_vertices))
    cx, cy = draw(coordinate), draw(coordinate)
    gaps = np.array(draw(st.lists(st.floats(0.3, 1.0), min_size=n, max_size=n)))
    angles = 2 * math.pi * np.cumsum(gaps) / gaps.sum()
    radii = draw(st.lists(st.floats(0.15, 0.8), min_size=n, max_size=n))
    vertices = [[round(cx + r * math.cos(a), 4), round(cy + r * math.sin(a), 4)] for r, a in zip(radii, angles)]
    if draw(st.booleans()):
        vertices.reverse()
    return vertices


def box():
    return st.builds(lambda c, s: {"type": "Box", "x_cent": c[0], "y_cent": c[1], "z_cent": c[2],
                                   "x_span": s[0], "y_span": s[1], "z_span": s[2]},
                     st.tuples(coordinate, coordinate, coordinate), st.tuples(length, length, length))


def sphere():
    return st.builds(lambda c, r: {"type": "Sphere", "x_cent": c[0], "y_cent": c[1], "z_cent": c[2], "radius": r / 2},
                     st.tuples(coordinate, coordinate, coordinate), length)


def cylinder():
    return st.builds(lambda c, r, h, axis, angle, plane: {
        "type": "Cylinder", "axis": axis, "reference_plane": plane, "x_cent": c[0], "y_cent": c[1],
        "z_cent": c[2], "radius": r / 2, "height": h, "sidewall_angle": angle},
        st.tuples(coordinate, coordinate, coordinate), length, length, axis_name,
        st.sampled_from([0.0, 0.2, -0.3]), st.sampled_from(["top", "middle", "bottom"]))


@st.composite
def polyslab(draw):
    vertices = draw(polygons())
    kind = draw(st.sampled_from(["straight", "arcs", "sloped", "dilated"]))
    slab = {"type": "PolySlab", "axis": draw(axis_name), "z_cent": draw(coordinate), "z_size": draw(length),
            "vertices": vertices}
    if kind == "arcs":
        slab["bulges"] = draw(st.lists(st.sampled_from([0.0, 0.0, 0.25, -0.2, 0.4]),
                                       min_size=len(vertices), max_size=len(vertices)))
    elif kind == "sloped":
        slab["sidewall_angle"] = draw(st.sampled_from([0.15, -0.2, 0.35]))
    elif kind == "dilated":
        slab["dilation"] = draw(st.sampled_from([0.05, -0.04]))
    return slab


@st.composite
def triangle_mesh(draw):
    """A closed, outward-oriented octahedron with random half-extents."""
    c = np.array([draw(coordinate) for _ in range(3)])
    h = [draw(length) / 2 for _ in range(3)]
    tips = [c + s * h[a] * np.eye(3)[a] for a in range(3) for s in (1, -1)]  # +x, -x, +y, -y, +z, -z
    triangles = []
    for sx in (0, 1):
        for sy in (2, 3):
            for sz in (4, 5):
                tri = [tips[sx], tips[sy], tips[sz]]
                normal = np.cross(tri[1] - tri[0], tri[2] - tri[0])
                if np.dot(normal, tri[0] - c) < 0:
                    tri = [tri[0], tri[2], tri[1]]
                triangles.append([[round(float(v), 5) for v in p] for p in tri])
    return {"type": "TriangleMesh", "vectors": triangles}


def rotation_matrix(axis, angle):
    axis = np.asarray(axis, float) / np.linalg.norm(axis)
    k = np.array([[0, -axis[2], axis[1]], [axis[2], 0, -axis[0]], [-axis[1], axis[0], 0]])
    return np.eye(3) + math.sin(angle) * k + (1 - math.cos(angle)) * k @ k


primitives = st.one_of(box(), sphere(), cylinder(), polyslab(), triangle_mesh())


def wrapped(children):
    def transformed(args):
        axis, angle, shift, inner = args
        t = np.eye(4)
        t[:3, :3] = rotation_matrix(axis, angle)
        t[:3, 3] = shift
        return {"type": "Transformed", "transform": np.round(t, 6).tolist(), "geometry": inner}

    return st.one_of(
        st.builds(lambda op, a, b: {"type": "ClipOperation", "operation": op, "operand_a": a, "operand_b": b},
                  st.sampled_from(["union", "intersection", "difference", "symmetric_difference"]),
                  children, children),
        st.builds(lambda members: {"type": "GeometryGroup", "geometries": members},
                  st.lists(children, min_size=1, max_size=3)),
        st.tuples(st.sampled_from([(1, 0, 0), (0, 1, 1), (1, 2, 3)]), st.floats(-1.2, 1.2),
                  st.tuples(coordinate, coordinate, coordinate).map(lambda v: [x / 3 for x in v]),
                  children).map(transformed),
    )


geometries = st.recursive(primitives, wrapped, max_leaves=4)
# Shapes the reader rejects or that end the run: an unknown type, a missing key, arcs together
# with a dilation.
broken_geometries = st.sampled_from([
    {"type": "Torus", "radius": 0.3},
    {"type": "Box", "x_cent": 0.0, "y_cent": 0.0, "x_span": 0.5, "y_span": 0.5, "z_span": 0.5},
    {"type": "PolySlab", "z_cent": 0.0, "z_size": 0.5, "vertices": [[0, 0], [0.5, 0], [0, 0.5]],
     "bulges": [0.3, 0, 0], "dilation": 0.05},
    {"type": "GeometryGroup", "geometries": [{"type": "Sphere", "x_cent": 0, "y_cent": 0, "z_cent": 0, "radius": 0.4},
                                             {"type": "Cone"}]},
])


def dielectric(value):
    return {"type": "Medium", "permittivity": value, "conductivity": 0.0, "poles": [[], [], []]}


permittivities = st.floats(1.0, 8.0, allow_nan=False).map(lambda v: round(v, 3))
DRUDE = {"type": "Medium", "permittivity": 1.0, "conductivity": 0.0,
         "poles": [[[1e15, 0, 1e16, 0]], [[1e15, 0, 1e16, 0]], [[1e15, 0, 1e16, 0]]]}
other_media = st.sampled_from([
    {"type": "PEC"},
    {"type": "PMC"},
    DRUDE,
    {"type": "Medium", "permittivity": [2.0, 3.0, 4.0], "conductivity": [0.0, 1e-3, 0.0], "poles": [[], [], []]},
    {"type": "LossyMetal", "permittivity": 1.0, "conductivity": 5.0, "poles": [[[-1e14, 2e14, 3e14, 0], [4.0, 0, 0, 0]], [], []]},
    {"type": "FullyAnisotropic", "permittivity": [3, 0.5, 0, 0.5, 2, 0.2, 0, 0.2, 4], "conductivity": [0] * 9},
    {"type": "Anisotropic", "comp_types": ["Medium", "Medium", "Medium"], "permittivity": [1.5, 2.5, 3.5],
     "conductivity": [0, 0, 0], "poles": [[], [], []]},
])
DIELECTRIC_METHODS = ["PolarizedAveraging", "Staircasing", "ContourPathAveraging"]
methods = st.fixed_dictionaries({
    "dielectric": st.sampled_from(DIELECTRIC_METHODS),
    "metal": st.sampled_from(["VolumetricAveraging", "Staircasing", "VolumetricAveragingNormalStaircased"]),
    "pec": st.sampled_from(["PECConformal", "Staircasing", "HeuristicPECStaircasing", "PECConformalCorrected",
                            "VolumetricAveraging"]),
    "pmc": st.sampled_from(["Staircasing", "HeuristicPECStaircasing"]),
    "lossy_metal": st.sampled_from(["SurfaceImpedance", "VolumetricAveraging", "Staircasing",
                                    "SurfaceImpedanceCorrected"]),
})


def method_entry(material_class, name):
    if name.endswith("NormalStaircased"):
        return {"type": "VolumetricAveraging", "staircase_normal_component": True}
    if name.endswith("Corrected"):
        return {"type": name[:-len("Corrected")], "edge_singularity_correction": True}
    return {"type": name, "staircase_normal_component": False, "edge_singularity_correction": False}


def make_spec(coords, media, shapes, method_names, periodic=(False, False, False)):
    spec = copy.deepcopy(BASE_SPEC)
    spec["simulation_bounds"] = [[float(coords[a][0]) for a in "xyz"], [float(coords[a][-1]) for a in "xyz"]]
    spec["periodic_boundary"] = list(periodic)
    spec["medium_list"] = media
    spec["subpixel_method"] = {k: method_entry(k, v) for k, v in method_names.items()}
    spec["struct_list"] = [{**shape, "name": f"s{i}", "str_index": i, "mat_index": mat}
                           for i, (shape, mat) in enumerate(shapes)]
    return spec


@st.composite
def partitions(draw, counts):
    """Subdomains covering the grid: a split along one axis, then possibly along another."""
    whole = [0, counts[0], 0, counts[1], 0, counts[2]]
    boxes = [whole]
    for _ in range(draw(st.integers(1, 2))):
        axis = draw(st.integers(0, 2))
        index = draw(st.integers(0, len(boxes) - 1))
        b = boxes[index]
        if b[2 * axis + 1] - b[2 * axis] < 2:
            continue
        cut = draw(st.integers(b[2 * axis] + 1, b[2 * axis + 1] - 1))
        low, high = list(b), list(b)
        low[2 * axis + 1] = cut
        high[2 * axis] = cut
        boxes[index:index + 1] = [low, high]
    return {f"part{i}": b for i, b in enumerate(boxes)}


def write_run(folder, spec, coords, subdomains):
    import h5py
    folder.mkdir(parents=True, exist_ok=True)
    (folder / "spec.json").write_text(json.dumps(spec))
    with h5py.File(folder / "grid.h5", "w") as f:
        for axis in "xyz":
            f.create_dataset(f"grid/{axis}", data=np.asarray(coords[axis], np.float32))
        for name, span in subdomains.items():
            f.create_dataset(f"subdomains/{name}/span_inds", data=np.asarray(span, np.int32))
    if not (folder / "freqs.h5").exists():
        with h5py.File(folder / "freqs.h5", "w") as f:
            f.create_dataset("frequency/freqs", data=np.asarray(FREQS, np.float32))
    return [str(folder / n) for n in ("spec.json", "grid.h5", "freqs.h5")]


def gencoeffs_calls(calls, timeout=120):
    """Runs several `_gencoeffs` calls (argument lists, keyword threads) one after another in one
    child interpreter."""
    return run_child(f"""
        from orbelle_extras._isolated_extension import _gencoeffs
        for args, threads in {calls!r}:
            print("RESULT", repr(_gencoeffs(*args, threads=threads)), flush=True)
    """, timeout=timeout)


# --- any scene: no signal, only the defined outcomes -------------------------------------------

@st.composite
def any_scenes(draw):
    coords = draw(grids())
    media = draw(st.lists(st.one_of(permittivities.map(dielectric), other_media), min_size=1, max_size=3))
    shape = st.one_of(geometries, geometries, geometries, broken_geometries)
    shapes = draw(st.lists(st.tuples(shape, st.integers(0, len(media) - 1)), min_size=1, max_size=3))
    periodic = draw(st.tuples(st.booleans(), st.booleans(), st.booleans()))
    return coords, make_spec(coords, media, shapes, draw(methods), periodic), draw(st.sampled_from([0, 1, 2]))


@MORE_EXAMPLES
@given(scene=any_scenes())
def test_every_run_succeeds_or_fails_in_a_defined_way(tmp_path_factory, scene):
    coords, spec, scheme = scene
    counts = [len(coords[a]) - 1 for a in "xyz"]
    folder = tmp_path_factory.mktemp("any")
    paths = write_run(folder, spec, coords, {"all": [0, counts[0], 0, counts[1], 0, counts[2]]})
    out = folder / "out.h5"
    proc = gencoeffs_calls([(paths + [str(out), scheme], 1)])
    assert proc.returncode >= 0, f"killed by signal {-proc.returncode}: {proc.stderr[-2000:]}"
    if proc.returncode == 0:
        event("success")
        assert "RESULT None" in proc.stdout
        eps, mu = read_output(out)["all"]
        assert eps.shape == mu.shape == (len(FREQS), *counts, 9)
        assert np.all(np.isfinite(eps)) and np.all(np.isfinite(mu))
    elif LOAD_ERROR in proc.stderr:
        event("load error")
        assert proc.returncode == 1
        assert "RuntimeError: Error generating permittivity distribution." in proc.stderr
    else:
        event("internal error")
        assert proc.returncode == 1, proc.stderr[-2000:]
        assert proc.stderr.endswith(INTERNAL_ERROR), proc.stderr[-2000:]
        assert "Traceback" not in proc.stderr


# --- dielectric-only scenes: splitting, bounds and reruns ---------------------------------------

@st.composite
def dielectric_scenes(draw):
    coords = draw(grids())
    values = draw(st.lists(permittivities, min_size=1, max_size=3))
    shapes = draw(st.lists(st.tuples(geometries, st.integers(0, len(values) - 1)), min_size=1, max_size=3))
    method = {"dielectric": draw(st.sampled_from(DIELECTRIC_METHODS)), "metal": "VolumetricAveraging",
              "pec": "PECConformal", "pmc": "Staircasing", "lossy_metal": "SurfaceImpedance"}
    periodic = draw(st.tuples(st.booleans(), st.booleans(), st.booleans()))
    spec = make_spec(coords, [dielectric(v) for v in values], shapes, method, periodic)
    counts = [len(coords[a]) - 1 for a in "xyz"]
    return coords, spec, values, draw(st.sampled_from([0, 1, 2])), draw(partitions(counts))


def run_dielectric(tmp_path_factory, scene):
    """The whole grid as one subdomain and as the partition (one child), then the whole grid again in
    a fresh child, once with one thread and once with two."""
    coords, spec, values, scheme, parts = scene
    counts = [len(coords[a]) - 1 for a in "xyz"]
    folder = tmp_path_factory.mktemp("dielectric")
    whole = write_run(folder / "whole", spec, coords, {"all": [0, counts[0], 0, counts[1], 0, counts[2]]})
    split = write_run(folder / "split", spec, coords, parts)
    outs = [str(folder / name) for name in ("whole.h5", "split.h5", "again.h5", "threads.h5")]
    first = gencoeffs_calls([(whole + [outs[0], scheme], 1), (split + [outs[1], scheme], 1)])
    assert first.returncode == 0, first.stderr[-2000:]
    second = gencoeffs_calls([(whole + [outs[2], scheme], 1), (whole + [outs[3], scheme], 2)])
    assert second.returncode == 0, second.stderr[-2000:]
    return [read_output(o) for o in outs]


@PROPERTY_SETTINGS
@given(scene=dielectric_scenes())
def test_dielectric_scene_is_bounded_split_invariant_and_reproducible(tmp_path_factory, scene):
    coords, spec, values, scheme, parts = scene
    whole, split, again, threads = run_dielectric(tmp_path_factory, scene)
    eps, mu = whole["all"]

    # Rerun in a fresh process and with two threads: the same bits.
    for other in (again, threads):
        assert np.array_equal(other["all"][0].view(np.uint32), eps.view(np.uint32))
        assert np.array_equal(other["all"][1].view(np.uint32), mu.view(np.uint32))

    # Every part of the partition equals its block of the whole grid, bit for bit.
    assert sorted(split) == sorted(parts)
    for name, (x0, x1, y0, y1, z0, z1) in parts.items():
        for k in range(2):
            block = whole["all"][k][:, x0:x1, y0:y1, z0:z1]
            assert np.array_equal(split[name][k].view(np.uint32), block.view(np.uint32)), name

    # Real, lossless, isotropic media: every diagonal value lies between the smallest and largest
    # medium (vacuum included), the rest of the tensor is zero and mu is the identity.
    low = np.float32(min(values + [1.0]))
    high = np.float32(max(values + [1.0]))
    slack = np.float32(4e-7) * high
    diagonal = eps[..., [0, 4, 8]]
    assert np.all(diagonal.imag == 0)
    assert np.all(diagonal.real >= low - slack), (diagonal.real.min(), low)
    assert np.all(diagonal.real <= high + slack), (diagonal.real.max(), high)
    assert np.all(eps[..., [1, 2, 3, 5, 6, 7]] == 0)
    assert np.array_equal(mu, np.broadcast_to(np.eye(3, dtype=np.complex64).reshape(9), mu.shape))
