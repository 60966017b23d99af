"""Edge-singularity correction end to end: scenes run with and without the correction, where only
the coefficients next to conductor edges may change, and each by the factor of a wedge parameter;
and the modal PEC frames, painted over everything after the edge detection."""

import copy

import numpy as np
import pytest

from conftest import BASE_SPEC, read_output, run_gencoeffs

PEC = {"type": "PEC"}
CELLS = 8  # per axis, from -1 to 1
COORDS = {a: np.linspace(-1.0, 1.0, CELLS + 1) for a in "xyz"}
MARK = np.float32(-1e8)


def dielectric(eps):
    return {"type": "Medium", "permittivity": eps, "conductivity": 0.0, "poles": [[], [], []]}


def box(name, index, mat, lo, hi, **extra):
    centre = [(a + b) / 2 for a, b in zip(lo, hi)]
    size = [b - a for a, b in zip(lo, hi)]
    return {"type": "Box", "name": name, "str_index": index, "mat_index": mat,
            "x_cent": centre[0], "y_cent": centre[1], "z_cent": centre[2],
            "x_span": size[0], "y_span": size[1], "z_span": size[2], **extra}


def scene(media, structures, pec_correction=False, lossy_correction=False, lossy_method="SurfaceImpedance"):
    spec = copy.deepcopy(BASE_SPEC)
    spec["medium_list"] = media
    spec["struct_list"] = structures
    methods = spec["subpixel_method"]
    methods["pec"] = {"type": "PECConformal", "edge_singularity_correction": pec_correction}
    methods["lossy_metal"] = {"type": lossy_method, "edge_singularity_correction": lossy_correction,
                              "staircase_normal_component": False}
    return spec


def run(make_inputs, spec, name):
    inputs = make_inputs(spec=spec, coords=COORDS, subdomains={"all": [0, CELLS, 0, CELLS, 0, CELLS]},
                         freqs=(1e14, 2e14), name=name)
    proc = run_gencoeffs(inputs)
    assert proc.returncode == 0, proc.stderr
    assert proc.stderr == ""
    assert "RESULT None" in proc.stdout
    return read_output(inputs.file_out)["all"]


def near(nodes):
    """Cells with a node of `nodes` among the nodes of the cell or of its neighbours below and above."""
    cells = np.zeros((CELLS, CELLS, CELLS), bool)
    for n in nodes:
        lo = [max(0, c - 2) for c in n]
        hi = [min(CELLS, c + 2) for c in n]
        cells[lo[0]:hi[0], lo[1]:hi[1], lo[2]:hi[2]] = True
    return cells


def cube_edge_nodes():
    """Nodes on the edges of the cube [-0.5, 0.5]^3 (node indices 2 to 6) away from its corners."""
    nodes = []
    for i in range(CELLS + 1):
        for j in range(CELLS + 1):
            for k in range(CELLS + 1):
                n = (i, j, k)
                if sum(c in (2, 6) for c in n) == 2 and any(2 < c < 6 for c in n):
                    nodes.append(n)
    return nodes


def sheet_rim_nodes():
    """Nodes on the rims x = +-0.5 of a sheet in the plane z = 0 that spans all of y."""
    return [(i, j, 4) for i in (2, 6) for j in range(CELLS + 1)]


def factor(count):
    return np.float32(1) - np.float32(count) * np.float32(1 / 1024)


CUBE = box("cube", 0, 1, (-0.5, -0.5, -0.5), (0.5, 0.5, 0.5))
QUADRANT = box("quadrant", 0, 0, (0.5, -2, -2), (2, 0.5, 2))
SHEET = box("sheet", 0, 1, (-0.5, -2, 0), (0.5, 2, 0), **{"2dmaterial": 1, "normal_axis": 2})
LOSSY = {"type": "LossyMetal", "permittivity": 1.0, "conductivity": 5e7, "poles": [[[0.5, 0, 0, 0]], [], []]}

# (name, media, structures, settings, edge nodes, electric counts, magnetic counts): the counts of
# 1/1024 the node words carry, from 1 - x 2^(1 - x) of the wedge's exponent x. A lossy metal comes
# first in its media list.
SCENES = [
    ("pec cube", [dielectric(1.0), PEC], [CUBE], {"pec_correction": True}, cube_edge_nodes(), {164}, {164}),
    # A dielectric of permittivity 4 beside the face x = 0.5, for y < 0.5: in one open quadrant of
    # the edge x = y = 0.5, where the electric parameter drops to 86, and in two of the three open
    # quadrants of the other edges of that face (243); edges away from it keep 164.
    ("pec cube beside a dielectric", [dielectric(4.0), PEC], [QUADRANT, {**CUBE, "str_index": 1}],
     {"pec_correction": True}, cube_edge_nodes(), {164, 86, 243}, {164}),
    ("pec sheet", [dielectric(1.0), PEC], [SHEET], {"pec_correction": True}, sheet_rim_nodes(), {300}, {300}),
    ("lossy cube", [LOSSY], [{**CUBE, "mat_index": 0}], {"lossy_correction": True}, cube_edge_nodes(), {164},
     {164}),
]


@pytest.mark.parametrize("name,media,structures,settings,nodes,e_counts,h_counts", SCENES,
                         ids=[s[0] for s in SCENES])
def test_correction_changes_only_values_next_to_edges_by_the_wedge_factor(
        make_inputs, name, media, structures, settings, nodes, e_counts, h_counts):
    lossy = media[0]["type"] == "LossyMetal"
    plain = run(make_inputs, scene(media, structures), "plain")
    corrected = run(make_inputs, scene(media, structures, **settings), "corrected")
    allowed = near(nodes)
    for t, counts, electric in ((0, e_counts, True), (1, h_counts, False)):
        before, after = plain[t], corrected[t]
        assert np.array_equal(before[..., [1, 2, 3, 5, 6, 7]], after[..., [1, 2, 3, 5, 6, 7]])
        d0, d1 = before[..., [0, 4, 8]], after[..., [0, 4, 8]]
        changed = d0 != d1
        assert changed.any()
        # Only next to the edges.
        assert not np.any(changed.any(axis=(0, -1)) & ~allowed)
        # Conductor marks never change.
        assert not np.any(changed & (d0.real == MARK))
        # Each changed value is the plain one times (1 - w), or divided by it for H.
        old, new = d0[changed], d1[changed]
        explained = np.zeros(old.shape, bool)
        seen = set()
        for count in counts:
            f = factor(count)
            if electric:
                match = (new.real == old.real * f) & (new.imag == old.imag * f)
            elif lossy:
                # mu = phi / (1 - w) + the surface term, which the correction leaves alone: the
                # change is phi (1 / (1 - w) - 1) for an open area share phi.
                phi = (new.real.astype(np.float64) - old.real) / (1 / np.float64(f) - 1)
                match = (new.imag == old.imag) & (phi > 0) & (phi < 1 + 1e-5)
            else:
                match = (new.real == old.real / f) & (new.imag == old.imag / f)
            if match.any():
                seen.add(count)
            explained |= match
        assert explained.all(), (old[~explained][:5], new[~explained][:5])
        assert seen == counts


def test_without_correction_requested_nothing_changes(make_inputs):
    # The lossy-metal correction does not act on a perfect conductor.
    media, structures = [dielectric(1.0), PEC], [CUBE]
    plain = run(make_inputs, scene(media, structures), "plain")
    other = run(make_inputs, scene(media, structures, lossy_correction=True), "other")
    for t in range(2):
        assert plain[t].tobytes() == other[t].tobytes()


def test_modal_frames_are_painted_over_later_structures(make_inputs):
    # A PEC frame listed before a dielectric block that covers it. Without separate frames the
    # block, later in the list, wins; with the edge correction the frame is painted last.
    frame = box("__orbelle_modal_pec_frame_0", 0, 1, (-0.5, -0.5, -0.5), (0.5, 0.5, 0.5))
    block = box("block", 1, 0, (-2, -2, -2), (2, 2, 0.0))
    media = [dielectric(2.0), PEC]
    inside = (slice(3, 5), slice(3, 5), slice(3, 4))  # cells whose samples lie inside both

    plain = run(make_inputs, scene(media, [frame, block]), "plain")
    assert np.all(plain[0][0][inside][..., [0, 4, 8]] == 2.0)
    framed = run(make_inputs, scene(media, [frame, block], pec_correction=True), "framed")
    assert np.all(framed[0][0][inside][..., [0, 4, 8]].real == MARK)
    # Above the block the frame shows in both runs.
    assert np.all(plain[0][0][3:5, 3:5, 5][..., [0, 4, 8]].real == MARK)

    # The same frame under an ordinary name is painted in list order, correction or not.
    named = {**frame, "name": "frame"}
    ordinary = run(make_inputs, scene(media, [named, block], pec_correction=True), "ordinary")
    assert np.all(ordinary[0][0][inside][..., [0, 4, 8]] == 2.0)


@pytest.mark.parametrize("pec_method", ["PECConformal", "HeuristicPECStaircasing"])
@pytest.mark.parametrize("lossy_method", ["SurfaceImpedance", "VolumetricAveraging"])
def test_every_combination_of_conductor_methods_and_corrections_runs(make_inputs, pec_method, lossy_method):
    # A perfect conductor and a lossy metal with straight edges side by side.
    media = [dielectric(2.0), PEC, LOSSY]
    structures = [box("slab", 0, 0, (-2, -2, -2), (2, 2, -0.5)),
                  box("pec", 1, 1, (-0.75, -0.5, -0.5), (-0.25, 0.5, 0.5)),
                  box("lossy", 2, 2, (0.25, -0.5, -0.5), (0.75, 0.5, 0.5))]
    outputs = {}
    for pec_correction in (False, True):
        for lossy_correction in (False, True):
            spec = scene(media, structures, pec_correction, lossy_correction, lossy_method)
            spec["subpixel_method"]["pec"]["type"] = pec_method
            eps, mu = run(make_inputs, spec, f"run_{pec_correction}_{lossy_correction}")
            assert np.all(np.isfinite(eps)) and np.all(np.isfinite(mu))
            outputs[pec_correction, lossy_correction] = eps.tobytes() + mu.tobytes()
    # A correction acts only on a conductor treated conformally.
    for pec_correction in (False, True):
        for lossy_correction in (False, True):
            effective = (pec_correction and pec_method == "PECConformal",
                         lossy_correction and lossy_method == "SurfaceImpedance")
            same = outputs[pec_correction, lossy_correction] == outputs[False, False]
            assert same == (effective == (False, False)), (pec_correction, lossy_correction)


@pytest.mark.parametrize("split", [5, 3, 6])
def test_splitting_corrected_scenes_into_subdomains_changes_nothing(make_inputs, split):
    # A PEC box whose lower edges lie in the plane z = 0.25 (node 5) with a dielectric above them on
    # one side: splitting there puts those edges on the last node layer of the lower subdomain.
    media = [dielectric(4.0), PEC]
    structures = [box("dielectric", 0, 0, (-2, 0.5, 0.25), (2, 2, 2)),
                  box("pec", 1, 1, (-0.5, -0.5, 0.25), (0.5, 0.5, 0.75)),
                  box("sheet", 2, 1, (-2, -0.75, -0.5), (0.25, -0.25, -0.5), **{"2dmaterial": 1, "normal_axis": 2})]
    spec = scene(media, structures, pec_correction=True)
    whole = run(make_inputs, spec, "whole")
    parts = {"low": [0, CELLS, 0, CELLS, 0, split], "high": [0, CELLS, 0, CELLS, split, CELLS]}
    inputs = make_inputs(spec=spec, coords=COORDS, subdomains=parts, freqs=(1e14, 2e14), name="split")
    proc = run_gencoeffs(inputs)
    assert proc.returncode == 0, proc.stderr
    out = read_output(inputs.file_out)
    for name, (x0, x1, y0, y1, z0, z1) in parts.items():
        for t in range(2):
            got, want = out[name][t], whole[t][:, x0:x1, y0:y1, z0:z1]
            diff = np.argwhere(got != want)
            assert diff.size == 0, (name, t, diff[:4].tolist(), got[tuple(diff[0])], want[tuple(diff[0])])
