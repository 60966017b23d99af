"""Inputs a hostile or careless caller may hand over: sizes that cannot be held, datasets that
exist but cannot be read, an output path that names an input, and paths with a NUL. Each ends
with its defined reaction, never a signal, a changed input or a result presented as success."""

import copy
import hashlib
import os

import h5py
import numpy as np
import pytest

from conftest import BASE_SPEC, INTERNAL_ERROR, LOAD_ERROR, run_child, run_expecting_runtime_error, run_gencoeffs

SMALL_BOX = {"type": "Box", "name": "b", "str_index": 0, "mat_index": 0, "x_cent": 0, "y_cent": 0, "z_cent": 0,
             "x_span": 0.2, "y_span": 0.2, "z_span": 0.2}
DIELECTRIC = {"type": "Medium", "permittivity": 4.0, "conductivity": 0.0, "poles": [[], [], []]}


def assert_internal_error(proc, inputs, output_may_exist=False):
    assert proc.returncode == 1, (proc.returncode, proc.stdout, proc.stderr[-2000:])
    assert proc.stderr.endswith(INTERNAL_ERROR)
    assert "RESULT" not in proc.stdout
    if output_may_exist and inputs.file_out.exists():
        # The run ended while computing its first subdomain: the file holds no subdomain.
        with h5py.File(inputs.file_out, "r") as f:
            assert list(f.keys()) == []
    else:
        assert not inputs.file_out.exists()


@pytest.mark.parametrize("freqs", [[], [1e14]], ids=["no frequencies", "one frequency"])
def test_grid_too_large_to_hold_is_an_internal_error(make_inputs, freqs):
    # 2^22 - 1 by 2^21 - 1 by 2^21 - 1 boundaries: the cell count and the doubled map size do not
    # fit 64 bits (the map's 2^23 * 2^22 * 2^22 entries wrap to 0). The axes are chunked datasets
    # that hold only their fill value, so the file stays small; the coordinates are all 0, which
    # the small box around the origin covers.
    spec = {**copy.deepcopy(BASE_SPEC), "medium_list": [DIELECTRIC], "struct_list": [SMALL_BOX]}
    inputs = make_inputs(spec=spec, freqs=freqs)
    counts = {"x": 2**22 - 1, "y": 2**21 - 1, "z": 2**21 - 1}
    with h5py.File(inputs.hdf5_file, "a") as f:
        for axis, count in counts.items():
            del f["grid"][axis]
            f["grid"].create_dataset(axis, shape=(count,), dtype=np.float32, chunks=(2**16,), fillvalue=0.0)
        f["subdomains/sub0/span_inds"][...] = np.array([0, 2**22 - 2, 0, 2**21 - 2, 0, 2**21 - 2], np.int32)
    assert inputs.hdf5_file.stat().st_size < 1 << 20
    assert_internal_error(run_gencoeffs(inputs), inputs, output_may_exist=True)


def _replace(path, name, **dataset):
    with h5py.File(path, "a") as f:
        parent, _, leaf = name.rpartition("/")
        del f[name]
        if dataset:
            f[parent].create_dataset(leaf, **dataset)
        else:
            f[parent].create_group(leaf)


STRINGS = {"data": np.array([b"1e14", b"2e14"])}
COMPOUND = {"data": np.array([(1.0, 2.0)], dtype=[("a", "<f4"), ("b", "<f4")])}


@pytest.mark.parametrize("target,dataset", [
    ("frequency", STRINGS), ("frequency", COMPOUND), ("frequency", {}), ("grid/x", STRINGS), ("grid/z", COMPOUND),
], ids=["freqs of strings", "freqs of a compound", "freqs a group", "x of strings", "z of a compound"])
def test_dataset_that_exists_but_cannot_be_read_is_an_internal_error(make_inputs, target, dataset):
    inputs = make_inputs()
    path, name = ((inputs.frequency_file, "frequency/freqs") if target == "frequency"
                  else (inputs.hdf5_file, target))
    _replace(path, name, **dataset)
    assert_internal_error(run_gencoeffs(inputs), inputs)


def write_single_point_medium(path, **replace):
    """A gridded medium of one point (permittivity 2, 3, 4) for the structure of index 0."""
    datasets = {"inds_range": np.array([0, 1, 0, 1, 0, 1], np.uint32),
                "eps_inf": np.array([2, 3, 4], np.float32), "sigma": np.zeros(3, np.float32),
                "subpixel": np.ones(3, np.uint8), "subpixel_identifier": np.array([0], np.uint32),
                "dispersive": np.zeros(3, np.uint8), "clamp_sides": np.zeros(6, np.uint8),
                "istr_ind": np.array([0], np.int32)}
    datasets.update(replace)
    with h5py.File(path, "a") as f:
        group = f.create_group("custom_medium")
        group.create_dataset("istr_ind", data=datasets.pop("istr_ind"))
        medium = group.create_group("custom_0000")
        for name, data in datasets.items():
            medium.create_dataset(name, data=data)


CUSTOM_SPEC = {**copy.deepcopy(BASE_SPEC), "medium_list": [{"type": "Custom"}], "struct_list": [SMALL_BOX]}


def test_readable_gridded_medium_loads(make_inputs):
    inputs = make_inputs(spec=CUSTOM_SPEC)
    write_single_point_medium(inputs.hdf5_file)
    proc = run_gencoeffs(inputs)
    assert proc.returncode == 0, proc.stderr


@pytest.mark.parametrize("name, cause", [
    ("clamp_sides", "custom_medium/custom_0000/clamp_sides: cannot be read"),
    ("istr_ind", "custom_medium/istr_ind: cannot be read"),
    ("eps_inf", "custom_medium/custom_0000: a dataset cannot be read"),
    ("subpixel_identifier", "custom_medium/custom_0000: a dataset cannot be read"),
])
def test_gridded_dataset_that_cannot_be_read_is_a_failed_load(make_inputs, name, cause):
    inputs = make_inputs(spec=CUSTOM_SPEC)
    write_single_point_medium(inputs.hdf5_file, **{name: np.array([b"a", b"b", b"c", b"d", b"e", b"f"])})
    proc = run_expecting_runtime_error(inputs)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == ["RAISED Error generating permittivity distribution.", "NOTE " + cause]
    assert proc.stderr.endswith(LOAD_ERROR)
    assert not inputs.file_out.exists()


def test_gridded_media_group_that_is_not_a_group_is_a_failed_load(make_inputs):
    inputs = make_inputs()
    with h5py.File(inputs.hdf5_file, "a") as f:
        f.create_dataset("custom_medium", data=np.arange(3))
    proc = run_expecting_runtime_error(inputs)
    assert proc.stdout.splitlines() == ["RAISED Error generating permittivity distribution.",
                                        "NOTE custom_medium: not a readable group"]
    assert not inputs.file_out.exists()


def _digests(inputs):
    return {p: hashlib.sha256(p.read_bytes()).hexdigest() for p in (inputs.json_file, inputs.hdf5_file,
                                                                     inputs.frequency_file)}


@pytest.mark.parametrize("spelling", ["same path", "another spelling", "symbolic link", "hard link"])
@pytest.mark.parametrize("target", ["json_file", "hdf5_file", "frequency_file"])
def test_output_that_is_an_input_is_refused_before_any_file_is_touched(make_inputs, spelling, target):
    inputs = make_inputs()
    before = _digests(inputs)
    source = getattr(inputs, target)
    if spelling == "same path":
        out = str(source)
    elif spelling == "another spelling":
        out = str(source.parent / ".." / source.parent.name / "." / source.name)
    elif spelling == "symbolic link":
        out = str(source.parent / "link.h5")
        os.symlink(source, out)
    else:
        out = str(source.parent / "hard.h5")
        os.link(source, out)
    args = inputs.args()
    args[3] = out
    proc = run_child(f"""
        from orbelle_extras._isolated_extension import _gencoeffs
        _gencoeffs(*{args!r})
        print("RESULT")
    """)
    assert proc.returncode == 1, proc.stderr
    assert proc.stderr == INTERNAL_ERROR
    assert _digests(inputs) == before
    assert sorted(p.name for p in source.parent.iterdir()) == sorted(
        ["spec.json", "grid.h5", "freqs.h5"] + ([os.path.basename(out)] if spelling in ("symbolic link", "hard link")
                                               else []))


def test_output_beside_the_inputs_is_still_written(make_inputs):
    inputs = make_inputs()
    os.symlink(inputs.hdf5_file, inputs.file_out.parent / "grid_link.h5")
    proc = run_gencoeffs(inputs)
    assert proc.returncode == 0, proc.stderr
    assert inputs.file_out.exists()


@pytest.mark.parametrize("position,name", [(0, "json_file"), (1, "hdf5_file"), (2, "frequency_file"),
                                           (3, "file_out")])
def test_path_with_an_embedded_nul_is_a_value_error_naming_it(make_inputs, position, name):
    inputs = make_inputs()
    args = inputs.args()
    args[position] = args[position] + "\0junk"
    proc = run_child(f"""
        from orbelle_extras._isolated_extension import _gencoeffs
        try:
            _gencoeffs(*{args!r})
            print("RETURNED")
        except ValueError as e:
            print("RAISED", e)
    """)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == f"RAISED Argument '{name}' must not contain a null character."
    assert not inputs.file_out.exists()
    assert not (inputs.file_out.parent / "out.h5\0junk").exists()
