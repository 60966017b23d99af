"""End-to-end behaviour of the callable and the run driver, each call in a child interpreter."""

import copy
import json

import h5py
import numpy as np
import pytest

from conftest import (BASE_SPEC, INTERNAL_ERROR, LOAD_ERROR, read_output, run_child, run_gencoeffs,
                      write_frequency_file, write_grid_file)


def test_success_returns_none_and_writes_identity_tensors(make_inputs):
    inputs = make_inputs(freqs=[1e14, 2e14, 3e14])
    proc = run_gencoeffs(inputs)
    assert proc.returncode == 0, proc.stderr
    assert "RESULT None" in proc.stdout
    eps, mu = read_output(inputs.file_out)["sub0"]
    assert eps.shape == mu.shape == (3, 4, 4, 4, 9)
    identity = np.eye(3, dtype=np.complex64).reshape(9)
    assert np.array_equal(eps, np.broadcast_to(identity, eps.shape))
    assert np.array_equal(mu, np.broadcast_to(identity, mu.shape))


def test_call_forms_give_the_same_file(make_inputs):
    # A sphere crossing many cells, where the analytic and the sampled fractions differ, so the
    # scheme each call form hands over shows in the file.
    spec = copy.deepcopy(BASE_SPEC)
    spec["medium_list"] = [{"type": "Medium", "permittivity": 4.0, "conductivity": 0.0, "poles": [[], [], []]}]
    spec["struct_list"] = [{"type": "Sphere", "name": "s", "str_index": 0, "mat_index": 0, "radius": 0.62,
                            "x_cent": 0.03, "y_cent": -0.02, "z_cent": 0.01}]
    inputs = make_inputs(spec=spec, coords={axis: np.linspace(-1.0, 1.0, 9) for axis in "xyz"},
                         subdomains={"sub0": [0, 8, 0, 8, 0, 8]})
    j, h, f, o, _ = inputs.args()
    proc = run_child(f"""
        from orbelle_extras._isolated_extension import _gencoeffs
        import h5py, json
        class PathText(str):
            pass
        calls = {{
            "positional": lambda out, s: _gencoeffs({j!r}, {h!r}, {f!r}, out, s),
            "keyword": lambda out, s: _gencoeffs(subpixel_scheme=s, file_out=out, frequency_file={f!r},
                                                 hdf5_file={h!r}, json_file={j!r}),
            "mixed": lambda out, s: _gencoeffs({j!r}, {h!r}, {f!r}, out, subpixel_scheme=s),
            "str subclass": lambda out, s: _gencoeffs(PathText({j!r}), PathText({h!r}), PathText({f!r}),
                                                      PathText(out), s),
        }}
        files = {{}}
        for scheme in (1, 2):
            for name, call in calls.items():
                out = {o!r} + "." + name.replace(" ", "_") + str(scheme)
                assert call(out, scheme) is None, name
                with h5py.File(out, "r") as fh:
                    files.setdefault(scheme, {{}})[name] = (fh["sub0"]["eps"][()].tobytes() +
                                                           fh["sub0"]["mu"][()].tobytes()).hex()
        print(json.dumps(files))
    """)
    assert proc.returncode == 0, proc.stderr
    files = json.loads(proc.stdout.strip().splitlines()[-1])
    for scheme in ("1", "2"):
        assert len(set(files[scheme].values())) == 1, scheme
    assert files["1"]["positional"] != files["2"]["positional"]


def test_argument_errors_name_the_first_wrong_path(make_inputs):
    inputs = make_inputs()
    j, h, f, o, _ = inputs.args()
    proc = run_child(f"""
        import json, pathlib
        from orbelle_extras._isolated_extension import _gencoeffs
        P = pathlib.Path
        cases = {{
            "json path object": (P({j!r}), {h!r}, {f!r}, {o!r}, 0),
            "hdf5 bytes": ({j!r}, {h!r}.encode(), {f!r}, {o!r}, 0),
            "frequency int": ({j!r}, {h!r}, 7, {o!r}, 0),
            "file_out None": ({j!r}, {h!r}, {f!r}, None, 0),
            "hdf5 and file_out wrong": ({j!r}, P({h!r}), {f!r}, P({o!r}), 0),
            "lone surrogate": ({j!r}, {h!r}, "\\udc80", {o!r}, 0),
            "scheme not an int": ({j!r}, {h!r}, {f!r}, {o!r}, "0"),
            "missing scheme": ({j!r}, {h!r}, {f!r}, {o!r}),
            "surplus argument": ({j!r}, {h!r}, {f!r}, {o!r}, 0, 1),
        }}
        out = {{}}
        for name, args in cases.items():
            try:
                _gencoeffs(*args)
                out[name] = ["returned", ""]
            except Exception as e:
                out[name] = [type(e).__name__, str(e)]
        print(json.dumps(out))
    """)
    assert proc.returncode == 0, proc.stderr
    results = json.loads(proc.stdout.strip().splitlines()[-1])
    assert results["json path object"] == ["TypeError", "Argument 'json_file' must be a string."]
    assert results["hdf5 bytes"] == ["TypeError", "Argument 'hdf5_file' must be a string."]
    assert results["frequency int"] == ["TypeError", "Argument 'frequency_file' must be a string."]
    assert results["file_out None"] == ["TypeError", "Argument 'file_out' must be a string."]
    assert results["hdf5 and file_out wrong"] == ["TypeError", "Argument 'hdf5_file' must be a string."]
    assert results["lone surrogate"][0] == "UnicodeEncodeError"
    for name in ("scheme not an int", "missing scheme", "surplus argument"):
        assert results[name][0] == "TypeError", name
    assert "gencoeffs" in results["missing scheme"][1]
    assert not inputs.file_out.exists()


@pytest.mark.parametrize("spec_text", ["", "{not json", '{"version": "1"} trailing', "// comment\n{}"])
def test_failed_load_raises_runtime_error_after_the_loader_line(make_inputs, spec_text):
    inputs = make_inputs()
    inputs.json_file.write_text(spec_text)
    proc = run_child(f"""
        from orbelle_extras._isolated_extension import _gencoeffs
        try:
            _gencoeffs(*{inputs.args()!r})
        except RuntimeError as e:
            print("RAISED", e)
            print("NOTE", e.__notes__[0])
    """)
    assert proc.returncode == 0, proc.stderr
    assert "RAISED Error generating permittivity distribution." in proc.stdout
    assert "NOTE parse error at line 1, column " in proc.stdout  # the cause: where the text stops being JSON
    assert proc.stderr.endswith(LOAD_ERROR)
    assert not inputs.file_out.exists()


def test_missing_specification_file_is_a_failed_load(make_inputs):
    inputs = make_inputs()
    inputs.json_file.unlink()
    proc = run_child(f"""
        from orbelle_extras._isolated_extension import _gencoeffs
        try:
            _gencoeffs(*{inputs.args()!r})
        except RuntimeError as e:
            print("RAISED", e)
            print("NOTE", e.__notes__[0])
    """)
    assert "RAISED Error generating permittivity distribution." in proc.stdout
    assert "NOTE the specification file cannot be opened" in proc.stdout
    assert proc.stderr == LOAD_ERROR


def assert_internal_error(proc, inputs):
    assert proc.returncode == 1, (proc.stdout, proc.stderr)
    assert proc.stderr.endswith(INTERNAL_ERROR)
    assert "RESULT" not in proc.stdout
    assert not inputs.file_out.exists()


@pytest.mark.parametrize("scheme", [3, 5, -1, 2**31 - 1])
def test_invalid_scheme_ends_the_process_before_the_output_exists(make_inputs, scheme):
    inputs = make_inputs()
    proc = run_gencoeffs(inputs, scheme)
    assert_internal_error(proc, inputs)
    assert proc.stderr == INTERNAL_ERROR  # exactly the text, no line end


@pytest.mark.parametrize("scheme", [0, 1, 2])
def test_valid_schemes_are_accepted(make_inputs, scheme):
    inputs = make_inputs()
    proc = run_gencoeffs(inputs, scheme)
    assert proc.returncode == 0, proc.stderr


def test_empty_subdomain_group_gives_an_empty_file(make_inputs):
    inputs = make_inputs(subdomains={})
    proc = run_gencoeffs(inputs)
    assert proc.returncode == 0, proc.stderr
    with h5py.File(inputs.file_out, "r") as f:
        assert list(f.keys()) == []
        assert len(f.attrs) == 0


def test_subdomain_members_that_are_not_groups_are_skipped(make_inputs):
    inputs = make_inputs(subdomains={"b": [0, 1, 0, 2, 0, 3], "a": [1, 4, 0, 4, 2, 4]})
    with h5py.File(inputs.hdf5_file, "a") as f:
        f["subdomains"].create_dataset("not_a_group", data=np.arange(6))
    proc = run_gencoeffs(inputs)
    assert proc.returncode == 0, proc.stderr
    out = read_output(inputs.file_out)
    assert sorted(out) == ["a", "b"]
    assert out["a"][0].shape == (1, 3, 4, 2, 9)
    assert out["b"][0].shape == (1, 1, 2, 3, 9)


def test_span_layouts_and_integer_types_are_accepted(make_inputs):
    inputs = make_inputs(subdomains={})
    with h5py.File(inputs.hdf5_file, "a") as f:
        sub = f["subdomains"]
        sub.create_group("flat64").create_dataset("span_inds", data=np.array([1, 3, 0, 4, 2, 3], dtype=np.int64))
        sub.create_group("matrix").create_dataset("span_inds", data=np.array([[1, 3], [0, 4], [2, 3]], dtype=np.int32))
        sub.create_group("unsigned").create_dataset("span_inds", data=np.array([1, 3, 0, 4, 2, 3], dtype=np.uint16))
        sub.create_group("longer").create_dataset("span_inds", data=np.array([1, 3, 0, 4, 2, 3, 99], dtype=np.int8))
    proc = run_gencoeffs(inputs)
    assert proc.returncode == 0, proc.stderr
    out = read_output(inputs.file_out)
    assert {name: eps.shape for name, (eps, _) in out.items()} == {
        name: (1, 2, 4, 1, 9) for name in ("flat64", "matrix", "unsigned", "longer")}


def test_float64_coordinates_are_read(make_inputs):
    inputs = make_inputs()
    with h5py.File(inputs.hdf5_file, "a") as f:
        del f["grid/x"]
        f["grid"].create_dataset("x", data=np.array([0.0, 0.1, 0.25, 0.5, 1.0], dtype=np.float64))
    assert run_gencoeffs(inputs).returncode == 0


def test_empty_frequency_list_gives_zero_length_datasets(make_inputs):
    inputs = make_inputs(freqs=[])
    proc = run_gencoeffs(inputs)
    assert proc.returncode == 0, proc.stderr
    eps, mu = read_output(inputs.file_out)["sub0"]
    assert eps.shape == mu.shape == (0, 4, 4, 4, 9)


def _span_float(path):
    with h5py.File(path, "a") as f:
        del f["subdomains/sub0/span_inds"]
        f["subdomains/sub0"].create_dataset("span_inds", data=np.array([0, 4, 0, 4, 0, 4], dtype=np.float64))


def _span_short(path):
    with h5py.File(path, "a") as f:
        del f["subdomains/sub0/span_inds"]
        f["subdomains/sub0"].create_dataset("span_inds", data=np.array([0, 4, 0, 4, 0], dtype=np.int32))


def _span_missing(path):
    with h5py.File(path, "a") as f:
        del f["subdomains/sub0/span_inds"]


def _span(values):
    def edit(path):
        with h5py.File(path, "a") as f:
            f["subdomains/sub0/span_inds"][...] = np.array(values, dtype=np.int32)
    return edit


def _delete(name):
    def edit(path):
        with h5py.File(path, "a") as f:
            del f[name]
    return edit


def _short_axis(path):
    with h5py.File(path, "a") as f:
        del f["grid/y"]
        f["grid"].create_dataset("y", data=np.array([0.0], dtype=np.float32))
        f["subdomains/sub0/span_inds"][...] = np.array([0, 4, 0, 0, 0, 4], dtype=np.int32)


def _not_hdf5(path):
    path.write_text("plain text")


@pytest.mark.parametrize("edit", [
    _span_float, _span_short, _span_missing, _span([-1, 4, 0, 4, 0, 4]), _span([3, 2, 0, 4, 0, 4]),
    _span([0, 5, 0, 4, 0, 4]), _span([0, 4, 0, 4, 0, 2**31 - 1]), _delete("grid"), _delete("subdomains"),
    _delete("grid/z"), _short_axis, _not_hdf5,
], ids=["span float", "span short", "span missing", "negative begin", "end below begin", "end beyond grid",
        "huge end", "no grid group", "no subdomains group", "missing z axis", "axis of one coordinate",
        "not an HDF5 file"])
def test_malformed_grid_file_is_an_internal_error(make_inputs, edit):
    inputs = make_inputs()
    edit(inputs.hdf5_file)
    assert_internal_error(run_gencoeffs(inputs), inputs)


def test_frequency_file_without_frequency_group_is_an_internal_error(make_inputs):
    inputs = make_inputs()
    with h5py.File(inputs.frequency_file, "w") as f:
        f.create_dataset("freqs", data=np.array([1e14], dtype=np.float32))
    assert_internal_error(run_gencoeffs(inputs), inputs)


def test_missing_frequency_file_is_an_internal_error(make_inputs):
    inputs = make_inputs()
    inputs.frequency_file.unlink()
    assert_internal_error(run_gencoeffs(inputs), inputs)


def test_output_that_cannot_be_created_is_an_internal_error(make_inputs, tmp_path):
    inputs = make_inputs()
    inputs.file_out = tmp_path / "no_such_directory" / "out.h5"
    proc = run_gencoeffs(inputs)
    assert proc.returncode == 1
    assert proc.stderr.endswith(INTERNAL_ERROR)
    assert "RESULT" not in proc.stdout


def test_existing_output_is_replaced(make_inputs):
    inputs = make_inputs()
    with h5py.File(inputs.file_out, "w") as f:
        f.create_group("stale")
    assert run_gencoeffs(inputs).returncode == 0
    assert sorted(read_output(inputs.file_out)) == ["sub0"]


def test_output_layout(make_inputs):
    inputs = make_inputs(subdomains={"left": [0, 2, 0, 3, 0, 4], "right": [2, 4, 1, 4, 3, 4]},
                         freqs=[1e14, 2e14, 3e14, 4e14, 5e14])
    assert run_gencoeffs(inputs).returncode == 0
    with h5py.File(inputs.file_out, "r") as f:
        assert sorted(f.keys()) == ["left", "right"]
        for name, shape in (("left", (5, 2, 3, 4, 9)), ("right", (5, 2, 3, 1, 9))):
            group = f[name]
            assert sorted(group.keys()) == ["eps", "mu"]
            for dataset in group.values():
                assert dataset.shape == shape
                stored = dataset.id.get_type()
                assert stored.get_class() == h5py.h5t.COMPOUND and stored.get_size() == 8
                assert [(stored.get_member_name(k), stored.get_member_offset(k)) for k in range(2)] == [
                    (b"r", 0), (b"i", 4)]
                for k in range(2):
                    member = stored.get_member_type(k)
                    assert member.get_class() == h5py.h5t.FLOAT and member.get_size() == 4
                assert dataset.maxshape == shape
                assert dataset.chunks is None and dataset.compression is None
                compound = dataset.astype(np.dtype([("r", "<f4"), ("i", "<f4")]))[()]
                as_complex = dataset[()].view(np.complex64)
                assert np.array_equal(as_complex.real, compound["r"])
                assert np.array_equal(as_complex.imag, compound["i"])


def test_h5py_loaded_first_does_not_collide(make_inputs):
    inputs = make_inputs(freqs=[1e14, 2e14])
    proc = run_child(f"""
        import h5py, numpy as np
        with h5py.File({str(inputs.hdf5_file)!r}, "r") as f:
            assert f["grid/x"].shape == (5,)
        from orbelle_extras._isolated_extension import _gencoeffs
        assert _gencoeffs(*{inputs.args()!r}) is None
        with h5py.File({str(inputs.file_out)!r}, "r") as f:
            eps = f["sub0/eps"][()].view(np.complex64)
        assert eps.shape == (2, 4, 4, 4, 9)
        assert np.array_equal(eps[..., 0], np.ones((2, 4, 4, 4), np.complex64))
        print("OK")
    """)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "OK"


def test_package_imports_without_the_extension():
    proc = run_child("""
        import sys, orbelle_extras
        assert "orbelle_extras._isolated_extension" not in sys.modules
        import orbelle_extras._isolated_extension as ext
        assert ext.__doc__ == "Subprocess-only feature extension for Orbelle extras."
        assert ext._gencoeffs.__doc__ == "Run local subpixel gencoeffs."
        # Besides the generator, the loader-only check that the command line's "check" uses.
        assert [n for n in dir(ext) if not n.startswith("__")] == ["_check_specification", "_gencoeffs"]
        assert ext._check_specification.__doc__.startswith("Load a simulation specification without computing")
        print("OK")
    """)
    assert proc.returncode == 0, proc.stderr
