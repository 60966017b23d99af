"""Writes a small set of input files, runs the coefficient generator on them in a worker
process, and reads the coefficient file back.

Usage: python scripts/demo.py [output folder]   (default: demo-output)
"""

import json
import subprocess
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
    "medium_list": [],
    "struct_list": [],
    "sources": [],
    "source_time_list": [],
    "monitor_list": [],
    "internal_absorbers": [],
}


def write_inputs(folder):
    folder.mkdir(parents=True, exist_ok=True)
    (folder / "spec.json").write_text(json.dumps(SPEC, indent=2))
    with h5py.File(folder / "grid.h5", "w") as f:
        grid = f.create_group("grid")
        for axis in "xyz":
            grid.create_dataset(axis, data=np.linspace(-1.0, 1.0, 21, dtype=np.float32))
        subdomains = f.create_group("subdomains")
        subdomains.create_group("lower").create_dataset("span_inds", data=np.array([0, 20, 0, 20, 0, 10], np.int32))
        subdomains.create_group("upper").create_dataset("span_inds", data=np.array([0, 20, 0, 20, 10, 20], np.int32))
    with h5py.File(folder / "freqs.h5", "w") as f:
        f.create_group("frequency").create_dataset("freqs", data=np.array([1.5e14, 2.0e14], np.float32))


def run_generator(folder):
    # The extension ends its process on internal errors, so it runs in a worker process.
    args = [str(folder / name) for name in ("spec.json", "grid.h5", "freqs.h5", "coefficients.h5")] + [0]
    code = ("from orbelle_extras._isolated_extension import _gencoeffs\n"
            f"_gencoeffs(*{args!r})\n")
    proc = subprocess.run([sys.executable, "-c", code], cwd=folder, capture_output=True, text=True)
    if proc.returncode != 0:
        sys.exit(f"coefficient generation failed (exit {proc.returncode}):\n{proc.stdout}{proc.stderr}")


def report(folder):
    with h5py.File(folder / "coefficients.h5", "r") as f:
        for name, group in f.items():
            eps = group["eps"][()].view(np.complex64)
            mu = group["mu"][()].view(np.complex64)
            print(f"subdomain {name}: eps {eps.shape}, mu {mu.shape}")
            print(f"  eps_xx range {eps[..., 0].real.min():.4g} .. {eps[..., 0].real.max():.4g}, "
                  f"mu_zz range {mu[..., 8].real.min():.4g} .. {mu[..., 8].real.max():.4g}")
            identity = np.eye(3, dtype=np.complex64).reshape(9)
            print(f"  identity tensors everywhere: {bool(np.all(eps == identity) and np.all(mu == identity))}")


def main():
    folder = Path(sys.argv[1] if len(sys.argv) > 1 else "demo-output").resolve()
    write_inputs(folder)
    run_generator(folder)
    print(f"wrote {folder / 'coefficients.h5'}")
    report(folder)


if __name__ == "__main__":
    main()
