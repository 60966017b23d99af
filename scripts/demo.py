"""Computes the coefficients of a small scene — a dielectric sphere, a dielectric cylinder and a
perfectly conducting plate (treated conformally) in vacuum, at two frequencies — in a worker
process, reads the coefficient file back, and writes a picture of a slice of eps_xx beside it.

Usage: python scripts/demo.py [output folder]   (default: demo-output)
"""

import json
import struct
import subprocess
import sys
import zlib
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


def run_generator(folder):
    # The extension ends its process on internal errors, so it runs in a worker process.
    args = [str(folder / name) for name in ("spec.json", "grid.h5", "freqs.h5", "coefficients.h5")] + [0]
    code = ("from orbelle_extras._isolated_extension import _gencoeffs\n"
            f"_gencoeffs(*{args!r})\n")
    proc = subprocess.run([sys.executable, "-c", code], cwd=folder, capture_output=True, text=True)
    if proc.returncode != 0:
        sys.exit(f"coefficient generation failed (exit {proc.returncode}):\n{proc.stdout}{proc.stderr}")


def write_png(path, values, low, high):
    """Writes a 2D array as an 8-bit greyscale PNG, `low` black and `high` white, first axis down."""
    scaled = np.clip((np.asarray(values, float) - low) / (high - low), 0, 1)
    pixels = (scaled * 255 + 0.5).astype(np.uint8)
    pixels = np.repeat(np.repeat(pixels, 4, axis=0), 4, axis=1)  # enlarge for viewing
    rows = b"".join(b"\x00" + row.tobytes() for row in pixels)

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    header = struct.pack(">IIBBBBB", pixels.shape[1], pixels.shape[0], 8, 0, 0, 0, 0)
    path.write_bytes(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(rows, 9))
                     + chunk(b"IEND", b""))


def report(folder):
    with h5py.File(folder / "coefficients.h5", "r") as f:
        parts = []
        for name in ("lower", "upper"):
            eps = f[name]["eps"][()].view(np.complex64)
            mu = f[name]["mu"][()].view(np.complex64)
            print(f"subdomain {name}: eps {eps.shape}, mu {mu.shape}")
            for k, label in ((0, "xx"), (4, "yy"), (8, "zz")):
                values = eps[..., k].real
                conductor = values == -1e8
                between = np.count_nonzero(~conductor & ~np.isin(values, (1.0, 2.25, 4.0)))
                print(f"  eps_{label}: {np.count_nonzero(conductor)} inside the conductor, {between} averaged "
                      "or with an edge partly in the conductor")
            shorted = np.count_nonzero(mu[..., [0, 4, 8]].real == -1e8)
            partial = np.count_nonzero((mu[..., [0, 4, 8]].real > 0) & (mu[..., [0, 4, 8]].real < 1))
            print(f"  mu: {shorted} closed faces, {partial} faces partly in the conductor")
            parts.append(eps)
    eps = np.concatenate(parts, axis=3)  # the two subdomains split z
    picture = folder / "eps_xx_slice.png"
    # Slice through the sphere's centre plane z = 0, x down the picture, y across. The conductor's
    # mark (-1e8) shows black, vacuum dark grey, permittivity 4 and above white.
    write_png(picture, eps[0, :, :, CELLS // 2, 0].real, 0.0, 4.0)
    print(f"wrote {picture} (eps_xx at z = 0, first frequency; black conductor, 1 dark grey, 4 white)")


def main():
    folder = Path(sys.argv[1] if len(sys.argv) > 1 else "demo-output").resolve()
    write_inputs(folder)
    run_generator(folder)
    print(f"wrote {folder / 'coefficients.h5'}")
    report(folder)


if __name__ == "__main__":
    main()
