"""Writes the input files of the demo scene — a dielectric sphere, a dielectric cylinder and a
perfectly conducting plate (treated conformally) in vacuum, at two frequencies, on a 64^3 grid
split into two subdomains. scripts/demo.sh then computes and draws it with orbelle-gencoeffs.

Usage: python scripts/demo.py [output folder]   (default: demo-output)
"""

import json
import sys
from pathlib import Path

import h5py
import numpy as np

SPEC = {
    "version": "2.8.0",
    "run_time": 1e-12,
    "shutoff": 1e-5,
    "courant": 0.99,
    "courant_scaling": 1.0,
    "symmetry": [0, 0, 0],
    "subpixel_method": {
        "dielectric": {"type": "PolarizedAveraging"},
        "metal": {"type": "Staircasing"},
        "pec": {"type": "PECConformal", "edge_singularity_correction": False},
        "pmc": {"type": "Staircasing"},
        "lossy_metal": {"type": "SurfaceImpedance", "edge_singularity_correction": False},
    },
    "time_step": 1e-17,
    "total_time_steps": 100,
    "fixed_angle_axis": 2,
    "fixed_angle_dir": [0, 0, 1],
    "fixed_angle_center": [0, 0, 0],
    "periodic_boundary": [False, False, False],
    "simulation_bounds": [[-1.0, -1.0, -1.0], [1.0, 1.0, 1.0]],
    "medium_list": [
        {"type": "Medium", "permittivity": 4.0, "conductivity": 0.0, "poles": [[], [], []]},
        {"type": "Medium", "permittivity": 2.25, "conductivity": 0.0, "poles": [[], [], []]},
        {"type": "PEC"},
    ],
    "struct_list": [
        {"type": "Sphere", "name": "sphere", "str_index": 0, "mat_index": 0,
         "x_cent": -0.35, "y_cent": 0.1, "z_cent": 0.0, "radius": 0.45},
        {"type": "Cylinder", "name": "rod", "str_index": 1, "mat_index": 1, "axis": "z",
         "reference_plane": "middle", "x_cent": 0.45, "y_cent": -0.2, "z_cent": 0.0,
         "radius": 0.3, "height": 1.6},
        {"type": "Box", "name": "plate", "str_index": 2, "mat_index": 2,
         "x_cent": 0.1, "y_cent": 0.7, "z_cent": 0.0, "x_span": 1.1, "y_span": 0.17, "z_span": 1.2},
    ],
    "sources": [],
    "source_time_list": [],
    "monitor_list": [],
    "internal_absorbers": [],
}


CELLS = 64


def write_inputs(folder):
    folder.mkdir(parents=True, exist_ok=True)
    (folder / "spec.json").write_text(json.dumps(SPEC, indent=2))
    with h5py.File(folder / "grid.h5", "w") as f:
        grid = f.create_group("grid")
        for axis in "xyz":
            grid.create_dataset(axis, data=np.linspace(-1.0, 1.0, CELLS + 1, dtype=np.float32))
        subdomains = f.create_group("subdomains")
        half = CELLS // 2
        subdomains.create_group("lower").create_dataset("span_inds", data=np.array([0, CELLS, 0, CELLS, 0, half], np.int32))
        subdomains.create_group("upper").create_dataset("span_inds", data=np.array([0, CELLS, 0, CELLS, half, CELLS], np.int32))
    with h5py.File(folder / "freqs.h5", "w") as f:
        f.create_group("frequency").create_dataset("freqs", data=np.array([1.5e14, 2.0e14], np.float32))


def main():
    folder = Path(sys.argv[1] if len(sys.argv) > 1 else "demo-output").resolve()
    write_inputs(folder)
    print(f"wrote the demo's inputs into {folder}")


if __name__ == "__main__":
    main()
