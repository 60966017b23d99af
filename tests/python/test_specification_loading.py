"""End-to-end reactions to malformed specifications: the loader's failure reaches Python as
RuntimeError after the fixed line; a few inconsistencies end the process instead."""

import copy
import json

import h5py
import numpy as np
import pytest

from conftest import BASE_SPEC, INTERNAL_ERROR, LOAD_ERROR, read_output, run_expecting_runtime_error, run_gencoeffs

PEC = {"type": "PEC"}
DIELECTRIC = {"type": "Medium", "permittivity": 4.0, "conductivity": 0.0, "poles": [[], [], []]}


def box(**extra):
    entry = {"type": "Box", "name": "b", "str_index": 0, "mat_index": 0, "x_cent": 0, "y_cent": 0, "z_cent": 0,
             "x_span": 0.5, "y_span": 0.5, "z_span": 0.5}
    entry.update(extra)
    return entry


def spec_with(**changes):
    spec = copy.deepcopy(BASE_SPEC)
    for key, value in changes.items():
        if value is None:
            del spec[key]
        else:
            spec[key] = value
    return spec


REJECTED = {
    "missing version": spec_with(version=None),
    "run_time of wrong type": spec_with(run_time="1e-12"),
    "symmetry shorter than three": spec_with(symmetry=[0, 0]),
    "periodic flags not booleans": spec_with(periodic_boundary=[0, 0, 0]),
    "missing simulation bounds": spec_with(simulation_bounds=None),
    "unsupported geometry": spec_with(medium_list=[PEC], struct_list=[box(type="Unknown")]),
    "medium index beyond media": spec_with(medium_list=[PEC], struct_list=[box(mat_index=1)]),
    "negative medium index": spec_with(medium_list=[PEC], struct_list=[box(mat_index=-1)]),
    "custom medium without gridded data": spec_with(medium_list=[{"type": "Custom"}], struct_list=[box()]),
    "one-element permittivity": spec_with(medium_list=[
        {"type": "Medium", "permittivity": [2], "conductivity": [0], "poles": [[], [], []]}]),
    "pole that is not an array": spec_with(medium_list=[
        {"type": "Medium", "permittivity": 2, "conductivity": 0, "poles": [[1.0], [], []]}]),
    "source direction not a string": spec_with(
        sources=[{"type": "TFSF", "injection_axis": 0, "direction": 1}], source_time_list=[{"freq0": 1e14}]),
    "absorber size shorter than three": spec_with(internal_absorbers=[{"size": [0, 1], "direction": "+"}]),
    "monitor field name not a string": spec_with(monitor_list=[{"name": "m", "type": "FieldMonitor",
                                                                "fields": ["Ex", 1]}]),
    "monitor type not a string": spec_with(monitor_list=[{"name": "m", "type": 3}]),
}


# What each rejected specification's failure names: the offending value's path and the reason.
CAUSES = {
    "missing version": "version: expected a string, got nothing (missing or null)",
    "run_time of wrong type": "run_time: expected a number, got string",
    "symmetry shorter than three": "symmetry: symmetry needs three numbers",
    "periodic flags not booleans": "periodic_boundary[0]: expected a boolean, got number",
    "missing simulation bounds": "simulation_bounds[0][0]: expected a number, got nothing (missing or null)",
    "unsupported geometry": 'struct_list[0]: unsupported or malformed geometry of type "Unknown"',
    "medium index beyond media": "struct_list[0].mat_index: medium index 1 with 1 media",
    "negative medium index": "struct_list[0].mat_index: medium index -1 with 1 media",
    "custom medium without gridded data":
        "struct_list[0].mat_index: medium index 0 with 1 media (no gridded medium for this structure)",
    "one-element permittivity":
        "medium_list[0].permittivity: permittivity must be a number or an array per component",
    "pole that is not an array": "medium_list[0].poles[0][0]: a pole must be an array of four numbers",
    "source direction not a string": "sources[0].direction: expected a string, got number",
    "absorber size shorter than three": "internal_absorbers[0].size: an absorber size needs three numbers",
    "monitor field name not a string": "monitor_list[0].fields[1]: expected a string, got number",
    "monitor type not a string": "monitor_list[0].type: expected a string, got number",
}


@pytest.mark.parametrize("name", REJECTED)
def test_malformed_specification_raises_runtime_error(make_inputs, name):
    inputs = make_inputs(spec=REJECTED[name])
    proc = run_expecting_runtime_error(inputs)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == ["RAISED Error generating permittivity distribution.", "NOTE " + CAUSES[name]]
    assert proc.stderr.endswith(LOAD_ERROR)
    assert not inputs.file_out.exists()


def test_unsupported_structure_names_itself_on_standard_error(make_inputs):
    spec = spec_with(medium_list=[PEC], struct_list=[box(type="Unknown", name="wg", str_index=7)])
    proc = run_expecting_runtime_error(make_inputs(spec=spec))
    assert proc.stderr == (
        "Error: unsupported or malformed geometry type 'Unknown'.\n"
        "Error loading structure index 7 (name='wg', type='Unknown'): unsupported or malformed geometry; "
        "rejecting simulation.\n" + LOAD_ERROR)


def test_gridded_medium_of_wrong_size_is_a_failed_load(make_inputs):
    inputs = make_inputs(spec=spec_with(medium_list=[{"type": "Custom"}], struct_list=[box(str_index=2)]))
    with h5py.File(inputs.hdf5_file, "a") as f:
        group = f.create_group("custom_medium")
        group.create_dataset("istr_ind", data=np.array([2], np.int32))
        medium = group.create_group("custom_0002")  # the group of structure index 2
        medium.create_dataset("inds_range", data=np.array([0, 2, 0, 1, 0, 1], np.int32))
        medium.create_dataset("eps_inf", data=np.ones(5, np.float32))  # 3 * 2 expected
        medium.create_dataset("sigma", data=np.zeros(6, np.float32))
    proc = run_expecting_runtime_error(inputs)
    assert proc.stdout.splitlines() == [
        "RAISED Error generating permittivity distribution.",
        "NOTE custom_medium/custom_0002/eps_inf: expected 6 values (3 per point), got 5"]
    assert proc.stderr.endswith(LOAD_ERROR)


INTERNAL = {
    "unknown dielectric method": lambda s: s["subpixel_method"].update({"dielectric": {"type": "VolumetricAveraging"}}),
    "missing pec method type": lambda s: s["subpixel_method"].update({"pec": {}}),
    "clipping flag on periodic axis": lambda s: s.update(
        periodic_boundary=[True, False, False],
        apply_extrusion_bounds=[[True, False, False], [False, False, False]],
        extrusion_clipping_bounds=[[-1, -1, -1], [1, 1, 1]]),
    "clipping plane below the simulation": lambda s: s.update(
        apply_extrusion_bounds=[[False, False, True], [False, False, False]],
        extrusion_clipping_bounds=[[-1, -1, -2.5], [1, 1, 1]]),
}


@pytest.mark.parametrize("name", INTERNAL)
def test_inconsistent_specification_ends_the_process(make_inputs, name):
    spec = copy.deepcopy(BASE_SPEC)
    INTERNAL[name](spec)
    inputs = make_inputs(spec=spec)
    proc = run_gencoeffs(inputs)
    assert proc.returncode == 1
    assert proc.stderr == INTERNAL_ERROR
    assert not inputs.file_out.exists()


def test_full_specification_loads_and_lists_change_no_coefficient(make_inputs):
    media = [
        DIELECTRIC,
        {"type": "Medium", "permittivity": [1, 2, 3], "conductivity": [0, 0.1, 0],
         "poles": [[[-1, 2, 3, 4]], [], []], "nonlinear_spec": {
             "numiters": 1, "freq0_set": True, "freq0": 1e14, "n0_set": False, "n0": 1, "chi3": 0, "n2": 0,
             "beta": 0, "tau": 0, "sigma": 0, "e_e": 0, "e_h": 0, "c_e": 0, "c_h": 0}},
        {"type": "LossyMetal", "permittivity": 1, "conductivity": 10, "poles": [[[1, 0, 1, 0], [5.0, 0, 0, 0]], [], []]},
        {"type": "Anisotropic", "comp_types": ["Medium", "PMC", "Medium"], "permittivity": [2, 2, 2],
         "conductivity": [0, 0, 0], "poles": [[], [], []]},
        {"type": "FullyAnisotropic", "permittivity": [2, 0.5, 0, 0.5, 3, 0, 0, 0, 4],
         "conductivity": [0, 0, 0, 0, 0, 0, 0, 0, 0]},
        PEC, {"type": "PMC"},
    ]
    # One box of each medium, at seven of the eight octant centres of the grid. Metals are
    # staircased or averaged volumetrically, so only the main averaging phase runs.
    centres = [(x, y, z) for x in (-0.5, 0.5) for y in (-0.5, 0.5) for z in (-0.5, 0.5)]
    structures = [box(str_index=k, mat_index=k, name=f"b{k}", x_cent=c[0], y_cent=c[1], z_cent=c[2]) for k, c in
                  enumerate(centres[:len(media)])]
    quiet = spec_with(medium_list=media, struct_list=structures)
    quiet["subpixel_method"].update(pec={"type": "Staircasing"}, pmc={"type": "Staircasing"},
                                    lossy_metal={"type": "VolumetricAveraging", "staircase_normal_component": False})
    busy = copy.deepcopy(quiet)
    busy["sources"] = [{"type": "TFSF", "injection_axis": 2, "direction": "-",
                        "angular_spec": {"type": "FixedAngleSpec"}},
                       {"type": "PointDipole"}]
    busy["source_time_list"] = [{"freq0": 2e14}, {"freq0": 3e14}]
    busy["monitor_list"] = [{"name": "field", "type": "FieldMonitor", "colocate": True, "size": [1, 1, 1],
                             "fields": ["Ex", "Hy"], "freqs": [1e14]},
                            {"name": "flux", "type": "FluxTimeMonitor", "start": 0, "stop": 1e-13}]
    busy["internal_absorbers"] = [{"size": [0, 2, 2], "direction": "+"}]
    outputs = []
    coords = {axis: np.linspace(-1.0, 1.0, 9) for axis in "xyz"}
    for name, spec in (("quiet", quiet), ("busy", busy)):
        inputs = make_inputs(spec=spec, name=name, coords=coords, subdomains={"sub0": [0, 8, 0, 8, 0, 8]})
        proc = run_gencoeffs(inputs)
        assert proc.returncode == 0, proc.stderr
        eps, mu = read_output(inputs.file_out)["sub0"]
        outputs.append((eps.tobytes(), mu.tobytes()))
    assert outputs[0] == outputs[1]

    # Every medium shows in the cells of its own box (two of the 0.25-wide cells per axis), so the
    # comparison above is not one of two vacuum runs.
    def cells_of(k):
        return tuple(slice(1 + 4 * (c > 0), 3 + 4 * (c > 0)) for c in centres[k])

    e = [eps[0][cells_of(k)] for k in range(len(media))]
    m = [mu[0][cells_of(k)] for k in range(len(media))]
    diagonal = [0, 4, 8]
    shows = {
        "dielectric": np.any(e[0][..., diagonal] == 4),
        "per-component medium": np.any(e[1][..., 4].real == 2) and np.any(e[1][..., 8] == 3),
        "lossy metal": np.any(e[2][..., 0].imag > 100),
        "anisotropic with a PMC component": np.any(m[3][..., diagonal] == -1e8),
        "fully anisotropic": np.any(e[4][..., 1] == 0.5) and np.any(e[4][..., 3] == 0.5),
        "PEC": np.any(e[5][..., diagonal] == -1e8),
        "PMC": np.any(m[6][..., diagonal] == -1e8),
    }
    assert all(shows.values()), shows
