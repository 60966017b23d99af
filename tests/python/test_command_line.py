"""The command line: each command's output and exit status, in a child process."""

import copy
import json
import subprocess
import sys
from pathlib import Path

import matplotlib.image
import numpy as np
import pytest

from conftest import BASE_SPEC, LOAD_ERROR, read_output, run_gencoeffs

COMMAND = [sys.executable, "-m", "orbelle_extras"]
DIELECTRIC = {"type": "Medium", "permittivity": 2.25, "conductivity": 0.0, "poles": [[], [], []]}


def cli(*args):
    return subprocess.run(COMMAND + [str(a) for a in args], capture_output=True, text=True, timeout=300,
                          cwd=Path(__file__).parent)


def scene(media, structures):
    return {**copy.deepcopy(BASE_SPEC), "medium_list": media, "struct_list": structures}


def filling(mat_index):
    return {"type": "Box", "name": "all", "str_index": 0, "mat_index": mat_index, "x_cent": 0, "y_cent": 0,
            "z_cent": 0, "x_span": 10, "y_span": 10, "z_span": 10}


BALL = scene([DIELECTRIC, {"type": "PEC"}], [
    {"type": "Sphere", "name": "ball", "str_index": 0, "mat_index": 0, "radius": 0.6, "x_cent": 0, "y_cent": 0,
     "z_cent": 0.1},
    {"type": "Box", "name": "plate", "str_index": 1, "mat_index": 1, "x_cent": 0.6, "y_cent": 0, "z_cent": 0,
     "x_span": 0.2, "y_span": 1.0, "z_span": 1.0}])


def test_run_writes_the_raw_result_and_reports_failures_by_exit_status(make_inputs):
    coords = {a: np.linspace(-1, 1, 9) for a in "xyz"}
    inputs = make_inputs(spec=BALL, coords=coords, subdomains={"low": [0, 8, 0, 8, 0, 4], "high": [0, 8, 0, 8, 4, 8]})
    raw_out = inputs.file_out.with_name("raw.h5")
    raw_inputs = copy.copy(inputs)
    raw_inputs.file_out = raw_out
    assert run_gencoeffs(raw_inputs).returncode == 0

    for extra in ([], ["--workers", "2"], ["--threads", "2", "--quiet"]):
        proc = cli("run", inputs.json_file, inputs.hdf5_file, inputs.frequency_file, inputs.file_out, *extra)
        assert proc.returncode == 0, proc.stderr
        got, expected = read_output(inputs.file_out), read_output(raw_out)
        assert list(got) == list(expected)
        assert all(g.tobytes() == e.tobytes() for n in expected for g, e in zip(got[n], expected[n]))

    broken = inputs.json_file.with_name("broken.json")
    broken.write_text("{")
    proc = cli("run", broken, inputs.hdf5_file, inputs.frequency_file, inputs.file_out.with_name("x.h5"))
    assert proc.returncode == 1 and "parse error at line 1, column 2" in proc.stderr

    bad = make_inputs(spec=BALL, coords=coords, subdomains={"beyond": [0, 9, 0, 8, 0, 8]}, name="bad")
    proc = cli("run", bad.json_file, bad.hdf5_file, bad.frequency_file, bad.file_out)
    assert proc.returncode == 3 and "'beyond'" in proc.stderr and not bad.file_out.exists()

    for usage in (["run", inputs.json_file], ["run", inputs.json_file, inputs.hdf5_file, inputs.frequency_file,
                                               inputs.file_out, "--scheme", "5"],
                  ["run", inputs.json_file, inputs.hdf5_file, inputs.frequency_file, inputs.json_file],
                  ["run", inputs.json_file, inputs.hdf5_file, inputs.frequency_file, "y.h5", "--workers", "2",
                   "--scheduler", "tcp://127.0.0.1:1"]):
        assert cli(*usage).returncode == 2, usage


@pytest.mark.parametrize("media, structures, counts, value", [
    ([], [], "64 identity, 0 uniform, 0 averaged, 0 conductor", "1 .. 1"),
    ([DIELECTRIC], [filling(0)], "0 identity, 64 uniform, 0 averaged, 0 conductor", "2.25 .. 2.25"),
    ([{"type": "PEC"}], [filling(0)], "0 identity, 0 uniform, 0 averaged, 64 conductor", "only conductor marks"),
])
def test_summary_counts_cells_by_kind(make_inputs, media, structures, counts, value):
    inputs = make_inputs(spec=scene(media, structures))
    assert run_gencoeffs(inputs).returncode == 0
    proc = cli("summary", inputs.file_out)
    assert proc.returncode == 0
    lines = proc.stdout.splitlines()
    assert lines[0] == f"sub0: 1 frequencies x 4 x 4 x 4 cells; {counts}"
    assert lines[1] == f"  eps_xx: {value}"


def test_show_draws_slices_of_the_requested_size(make_inputs, tmp_path):
    coords = {"x": np.linspace(-1, 1, 9), "y": np.geomspace(0.1, 2.1, 9) - 1.1, "z": np.linspace(-1, 1, 9)}
    inputs = make_inputs(spec=BALL, coords=coords, subdomains={"low": [0, 8, 0, 8, 0, 4], "high": [0, 8, 0, 8, 4, 8]})
    assert run_gencoeffs(inputs).returncode == 0
    pictures = {}
    for plane in ("z=0.1", "z=0.8", "x=0.55"):
        out = tmp_path / f"{plane}.png"
        proc = cli("show", inputs.file_out, inputs.hdf5_file, "--plane", plane, "--size", "640x480", "--output", out)
        assert proc.returncode == 0, proc.stderr
        pictures[plane] = matplotlib.image.imread(out)
        assert pictures[plane].shape[:2] == (480, 640)
    assert not np.array_equal(pictures["z=0.1"], pictures["z=0.8"])
    assert not np.array_equal(pictures["z=0.1"], pictures["x=0.55"])
    for component in ("mu_yy", "zz"):
        assert cli("show", inputs.file_out, inputs.hdf5_file, "--component", component, "--output",
                   tmp_path / f"{component}.png").returncode == 0
    assert cli("show", inputs.file_out, inputs.hdf5_file, "--plane", "z=7", "--output", tmp_path / "x.png").returncode == 2
    assert cli("show", inputs.file_out, inputs.hdf5_file, "--plane", "w=0").returncode == 2


def test_check_loads_without_computing_and_says_why_a_load_fails(make_inputs, tmp_path):
    inputs = make_inputs(spec=BALL)
    proc = cli("check", inputs.json_file, inputs.hdf5_file)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.startswith("ok: 2 media (0 gridded), 2 structures (1 Box, 1 Sphere); methods: dielectric ")
    assert "conformal metals: yes; perfect magnetic conductors: no" in proc.stdout
    assert not inputs.file_out.exists()

    broken = {
        "radius": (scene([DIELECTRIC], [{**BALL["struct_list"][0], "radius": "0.6"}]),
                   "struct_list[0].radius: type must be number, but is string"),
        "type": (scene([DIELECTRIC], [{**BALL["struct_list"][0], "type": "Polyslab"}]),
                 'struct_list[0]: unsupported or malformed geometry of type "Polyslab"'),
        "index": (scene([DIELECTRIC], [{**BALL["struct_list"][0], "mat_index": 4}]),
                  "struct_list[0].mat_index: medium index 4 with 1 media"),
    }
    for name, (spec, cause) in broken.items():
        path = tmp_path / f"{name}.json"
        path.write_text(json.dumps(spec))
        proc = cli("check", path)
        assert proc.returncode == 1, name
        assert proc.stdout == f"failed: {cause}\n", name
