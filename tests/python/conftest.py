"""Shared fixtures of the end-to-end tests.

`_gencoeffs` ends the process on internal errors, so every call runs in a child interpreter.
"""

import copy
import json
import subprocess
import sys
import textwrap
from dataclasses import dataclass
from pathlib import Path

import h5py
import numpy as np
import pytest

INTERNAL_ERROR = "An internal error has occured. Please contact Zentrav support."
LOAD_ERROR = "Error loading simulation specification JSON file.\n"
RAM_WARNING = "Warning: getting close to exhausting RAM, may crash\n"

ROOT = Path(__file__).resolve().parents[2]
# The tests use the installed package (with its compiled extension), never the source tree.
sys.path[:] = [p for p in sys.path if Path(p or ".").resolve() != ROOT]
sys.path.insert(0, str(ROOT / "scripts"))
from demo import SPEC as DEMO_SPEC  # noqa: E402

# The demo's specification without media and structures: every cell stays vacuum.
BASE_SPEC = {**copy.deepcopy(DEMO_SPEC), "simulation_bounds": [[-2.0, -2.0, -2.0], [2.0, 2.0, 2.0]],
             "medium_list": [], "struct_list": []}


@dataclass
class Inputs:
    """Paths of one run's input and output files."""

    json_file: Path
    hdf5_file: Path
    frequency_file: Path
    file_out: Path

    def args(self, scheme=0):
        return [str(self.json_file), str(self.hdf5_file), str(self.frequency_file), str(self.file_out), scheme]


def write_spec(path, spec):
    path.write_text(json.dumps(spec))


def write_grid_file(path, coords, subdomains, span_dtype=np.int32):
    """coords: dict axis -> boundaries; subdomains: dict name -> six span values."""
    with h5py.File(path, "w") as f:
        grid = f.create_group("grid")
        for axis in "xyz":
            grid.create_dataset(axis, data=np.asarray(coords[axis], dtype=np.float32))
        group = f.create_group("subdomains")
        for name, span in subdomains.items():
            group.create_group(name).create_dataset("span_inds", data=np.asarray(span, dtype=span_dtype))


def write_frequency_file(path, freqs):
    with h5py.File(path, "w") as f:
        f.create_group("frequency").create_dataset("freqs", data=np.asarray(freqs, dtype=np.float32))


@pytest.fixture
def make_inputs(tmp_path):
    """Writes a run's input files; every part can be replaced."""

    def make(spec=None, coords=None, subdomains=None, freqs=(1e14,), name="run"):
        directory = tmp_path / name
        directory.mkdir()
        coords = coords or {axis: np.linspace(-1.0, 1.0, 5) for axis in "xyz"}
        if subdomains is None:
            subdomains = {"sub0": [0, 4, 0, 4, 0, 4]}
        inputs = Inputs(directory / "spec.json", directory / "grid.h5", directory / "freqs.h5",
                        directory / "out.h5")
        write_spec(inputs.json_file, copy.deepcopy(BASE_SPEC) if spec is None else spec)
        write_grid_file(inputs.hdf5_file, coords, subdomains)
        write_frequency_file(inputs.frequency_file, list(freqs))
        return inputs

    return make


def run_child(code, timeout=300):
    """Runs Python code in a child interpreter and returns the completed process."""
    # Run from the tests' folder so that the installed package, not the source tree, is imported.
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          timeout=timeout, cwd=Path(__file__).parent)


def run_gencoeffs(inputs, scheme=0):
    """Calls _gencoeffs positionally in a child interpreter; prints 'RESULT <repr>' on return."""
    args = inputs.args(scheme)
    return run_child(f"""
        from orbelle_extras._isolated_extension import _gencoeffs
        result = _gencoeffs(*{args!r})
        print("RESULT", repr(result))
    """)


def run_expecting_runtime_error(inputs):
    """Runs the call in a child that catches the RuntimeError, so its message and the notes that
    carry the cause of a failed load can be checked: prints 'RAISED <message>', then 'NOTE <note>'."""
    return run_child(f"""
        from orbelle_extras._isolated_extension import _gencoeffs
        try:
            _gencoeffs(*{inputs.args()!r})
        except RuntimeError as e:
            print("RAISED", e)
            for note in getattr(e, "__notes__", []):
                print("NOTE", note)
    """)


def read_output(path):
    """Returns {group name: (eps, mu)} as complex64 arrays."""
    with h5py.File(path, "r") as f:
        return {name: (f[name]["eps"][()].view(np.complex64), f[name]["mu"][()].view(np.complex64))
                for name in f}
