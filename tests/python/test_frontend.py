"""The safe front end: results bit-identical to one raw call whatever the executor, failures as
exceptions that name the subdomain, atomic output, and the thread count of the raw callable."""

import copy
import os
from concurrent.futures import Future, ProcessPoolExecutor

import h5py
import numpy as np
import pytest

from conftest import BASE_SPEC, INTERNAL_ERROR, LOAD_ERROR, read_output, run_child, write_grid_file

from orbelle_extras import CoefficientError, SpecificationError, generate_coefficients
from orbelle_extras.worker import WorkerOutcome

DIELECTRIC = {"type": "Medium", "permittivity": 2.25, "conductivity": 0.0, "poles": [[], [], []]}
METAL = {"type": "LossyMetal", "permittivity": 1.0, "conductivity": 5e7, "poles": [[[0.5, 0, 0, 0]], [], []]}


def box(name, centre, span, mat_index):
    return {"type": "Box", "name": name, "str_index": 0, "mat_index": mat_index,
            "x_cent": centre[0], "y_cent": centre[1], "z_cent": centre[2],
            "x_span": span[0], "y_span": span[1], "z_span": span[2]}


# Every kind of phase: dielectric averaging, a conformal perfect conductor, a lossy metal under
# its surface model and a group of shapes.
SCENE = {**copy.deepcopy(BASE_SPEC), "medium_list": [DIELECTRIC, {"type": "PEC"}, METAL], "struct_list": [
    {"type": "Sphere", "name": "ball", "str_index": 0, "mat_index": 0, "radius": 0.55,
     "x_cent": 0.05, "y_cent": -0.02, "z_cent": 0.01},
    box("plate", (-0.3, 0.4, 0.0), (0.6, 0.13, 0.9), 1),
    {"type": "GeometryGroup", "name": "pair", "str_index": 0, "mat_index": 2, "geometries": [
        {"type": "Box", "x_cent": 0.5, "y_cent": -0.4, "z_cent": 0.2, "x_span": 0.3, "y_span": 0.3, "z_span": 0.3},
        {"type": "Sphere", "x_cent": -0.45, "y_cent": -0.45, "z_cent": -0.3, "radius": 0.2}]},
]}
COORDS = {"x": np.linspace(-1, 1, 13), "y": np.geomspace(0.1, 2.1, 11) - 1.1, "z": np.linspace(-0.9, 1.1, 10)}
PARTS = {"a": [0, 5, 0, 10, 0, 9], "b": [5, 12, 0, 4, 0, 9], "c": [5, 12, 4, 10, 0, 3], "d": [5, 12, 4, 10, 3, 9]}


def raw(inputs, out, threads=None):
    """One raw call in a child process."""
    args = inputs.args(0)
    args[3] = str(out)
    keyword = "" if threads is None else f", threads={threads}"
    proc = run_child(f"""
        from orbelle_extras._isolated_extension import _gencoeffs
        _gencoeffs(*{args!r}{keyword})
    """)
    assert proc.returncode == 0, proc.stderr
    return read_output(out)


def assert_same(got, expected):
    assert list(got) == list(expected)
    for name in expected:
        for g, e in zip(got[name], expected[name]):
            assert g.dtype == e.dtype and g.shape == e.shape and g.tobytes() == e.tobytes(), name


def leftovers(folder, keep):
    return sorted(p.name for p in folder.iterdir() if p.name not in keep)


@pytest.mark.parametrize("subdomains", [{"all": [0, 12, 0, 10, 0, 9]}, PARTS])
def test_front_end_gives_the_raw_result_with_and_without_a_process_pool(make_inputs, subdomains):
    inputs = make_inputs(spec=SCENE, coords=COORDS, subdomains=subdomains)
    expected = raw(inputs, inputs.file_out.with_name("raw.h5"))
    keep = {p.name for p in inputs.file_out.parent.iterdir()}

    # os.PathLike paths throughout.
    serial = inputs.file_out.with_name("serial.h5")
    generate_coefficients(inputs.json_file, inputs.hdf5_file, inputs.frequency_file, serial, 0, threads=2)
    assert_same(read_output(serial), expected)
    with ProcessPoolExecutor(2) as pool:
        pooled = inputs.file_out.with_name("pooled.h5")
        generate_coefficients(inputs.json_file, inputs.hdf5_file, inputs.frequency_file, pooled, executor=pool)
    assert_same(read_output(pooled), expected)
    assert leftovers(inputs.file_out.parent, keep) == ["pooled.h5", "serial.h5"]  # no work files remain


def test_front_end_on_a_dask_cluster_of_two_worker_processes(make_inputs):
    distributed = pytest.importorskip("distributed")
    inputs = make_inputs(spec=SCENE, coords=COORDS, subdomains=PARTS)
    expected = raw(inputs, inputs.file_out.with_name("raw.h5"))
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster:
        with distributed.Client(cluster) as client:
            generate_coefficients(inputs.json_file, inputs.hdf5_file, inputs.frequency_file, inputs.file_out,
                                  executor=client.get_executor())
    assert_same(read_output(inputs.file_out), expected)


def test_raw_result_does_not_depend_on_the_thread_count(make_inputs):
    inputs = make_inputs(spec=SCENE, coords=COORDS, subdomains=PARTS)
    default = raw(inputs, inputs.file_out.with_name("default.h5"))
    for threads in (1, 2, 3, 0):
        assert_same(raw(inputs, inputs.file_out.with_name(f"t{threads}.h5"), threads), default)
    proc = run_child(f"""
        from orbelle_extras._isolated_extension import _gencoeffs
        try:
            _gencoeffs(*{inputs.args(0)!r}, threads=-1)
        except ValueError as error:
            print("VALUE", error)
    """)
    assert proc.returncode == 0 and "VALUE" in proc.stdout and "threads" in proc.stdout
    assert not inputs.file_out.exists()


@pytest.mark.parametrize("pooled", [False, True])
def test_failed_subdomain_names_itself_and_leaves_the_earlier_output(make_inputs, pooled):
    bad = {**PARTS, "c": [5, 12, 4, 11, 0, 3]}  # reaches beyond the grid's 10 cells along y
    inputs = make_inputs(spec=SCENE, coords=COORDS, subdomains=bad)
    inputs.file_out.write_bytes(b"earlier result")
    keep = {p.name for p in inputs.file_out.parent.iterdir()}
    with ProcessPoolExecutor(2) if pooled else _no_executor() as pool:
        with pytest.raises(CoefficientError) as caught:
            generate_coefficients(str(inputs.json_file), str(inputs.hdf5_file), str(inputs.frequency_file),
                                  str(inputs.file_out), executor=pool)
    error = caught.value
    assert not isinstance(error, SpecificationError)
    assert error.subdomain == "c" and error.exit_status == 1 and error.stderr == INTERNAL_ERROR
    assert "'c'" in str(error)
    assert inputs.file_out.read_bytes() == b"earlier result"
    assert leftovers(inputs.file_out.parent, keep) == []


class _no_executor:
    def __enter__(self):
        return None

    def __exit__(self, *exc):
        return False


def test_unloadable_specification_is_a_specification_error(make_inputs):
    inputs = make_inputs(subdomains=PARTS, coords=COORDS)
    inputs.json_file.write_text("{ not json")
    with pytest.raises(SpecificationError) as caught:
        generate_coefficients(inputs.json_file, inputs.hdf5_file, inputs.frequency_file, inputs.file_out)
    assert caught.value.stderr.startswith(LOAD_ERROR)
    assert caught.value.cause.startswith("parse error at line 1, column 4")
    assert caught.value.cause in str(caught.value)
    assert not inputs.file_out.exists()


def test_output_that_is_an_input_is_refused_before_anything_runs(make_inputs, tmp_path):
    inputs = make_inputs()
    link = tmp_path / "link.json"
    os.symlink(inputs.json_file, link)
    other_spelling = inputs.hdf5_file.parent / ".." / inputs.hdf5_file.parent.name / inputs.hdf5_file.name
    for out, label in ((link, "json_file"), (other_spelling, "hdf5_file"), (inputs.frequency_file, "frequency_file")):
        before = {p: p.read_bytes() for p in (inputs.json_file, inputs.hdf5_file, inputs.frequency_file)}
        with pytest.raises(ValueError, match=label):
            generate_coefficients(inputs.json_file, inputs.hdf5_file, inputs.frequency_file, out)
        assert {p: p.read_bytes() for p in before} == before
    assert sorted(p.name for p in inputs.json_file.parent.iterdir()) == ["freqs.h5", "grid.h5", "spec.json"]


class _KilledTasks:
    """An executor whose every task ends as a worker killed by SIGKILL."""

    def submit(self, fn, request):
        future = Future()
        index = request["jobs"][0][0]
        future.set_result(WorkerOutcome(-9, {}, index, ""))
        return future


def test_killed_worker_is_reported_as_killed(make_inputs):
    inputs = make_inputs(subdomains={"only": [0, 4, 0, 4, 0, 4]})
    with pytest.raises(CoefficientError, match="SIGKILL.*out of memory") as caught:
        generate_coefficients(inputs.json_file, inputs.hdf5_file, inputs.frequency_file, inputs.file_out,
                              executor=_KilledTasks())
    assert caught.value.subdomain == "only" and caught.value.exit_status == -9
    assert not inputs.file_out.exists()


def test_subdomain_files_link_the_grid_and_gridded_media(make_inputs, tmp_path):
    from orbelle_extras.subdomain_files import write_subdomain_file

    source = tmp_path / "source.h5"
    write_grid_file(source, COORDS, PARTS, span_dtype=np.int64)
    with h5py.File(source, "a") as f:
        f.create_group("custom_medium").create_dataset("marker", data=np.arange(3))
    part = tmp_path / "part.h5"
    write_subdomain_file(source, "b", part)
    with h5py.File(part, "r") as f:
        assert list(f["subdomains"]) == ["b"]
        assert f["subdomains/b/span_inds"].dtype == np.int64
        assert list(f["subdomains/b/span_inds"][()]) == PARTS["b"]
        assert isinstance(f.get("grid", getlink=True), h5py.ExternalLink)
        assert np.array_equal(f["grid/y"][()], np.asarray(COORDS["y"], np.float32))
        assert list(f["custom_medium/marker"][()]) == [0, 1, 2]
