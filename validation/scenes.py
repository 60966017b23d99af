"""The validation scenes as coefficient-generator inputs, and the generator run in a worker process.

Every scene is one lattice period (a = 1 micrometre) with periodic boundaries on all axes, its
structure centred in the period and moved by a lattice offset smaller than half a cell, so that no
structure crosses the periodic boundary: the period then holds exactly one copy of the lattice,
and offsets up to half a cell reach every alignment of the lattice against the uniform grid.
Two-dimensional scenes are one cell thick along z with rods that run through it.
"""

import copy
import json
import math
import subprocess
import sys
from dataclasses import dataclass
from pathlib import Path

import h5py
import numpy as np

FREQUENCY = 1e14  # hertz; the media are non-dispersive, apart from the near-vacuum below
OMEGA = 2 * math.pi * FREQUENCY

METHODS = ("Staircasing", "VolumetricAveraging", "PolarizedAveraging", "ContourPathAveraging")

# A dielectric's averaging method is one of Staircasing, PolarizedAveraging and
# ContourPathAveraging; VolumetricAveraging applies to a medium with poles whose real permittivity
# lies below 1 (a metal at the frequency). The VolumetricAveraging scenes therefore replace the
# low-index side by a near-vacuum: permittivity 1 with one lossless pole, a = (0, 2 omega) and a
# purely imaginary residue, which lowers it to 1 - NEAR_VACUUM_SHIFT at FREQUENCY, a change far
# below the discretisation errors measured.
NEAR_VACUUM_SHIFT = 5e-7
NEAR_VACUUM_POLE = [0.0, 2 * OMEGA, 0.0, 0.75 * OMEGA * NEAR_VACUUM_SHIFT]
NEAR_VACUUM = {"type": "Medium", "permittivity": 1.0, "conductivity": 0.0, "poles": [[NEAR_VACUUM_POLE]] * 3}
VACUUM = {"type": "Medium", "permittivity": 1.0, "conductivity": 0.0, "poles": [[], [], []]}


def dielectric(permittivity):
    """A lossless medium; a list of three permittivities makes it diagonally anisotropic."""
    conductivity = [0.0] * 3 if isinstance(permittivity, list) else 0.0
    return {"type": "Medium", "permittivity": permittivity, "conductivity": conductivity, "poles": [[], [], []]}


BASE_SPEC = {
    "version": "2.8.0", "run_time": 1e-12, "shutoff": 1e-5, "courant": 0.99, "courant_scaling": 1.0,
    "symmetry": [0, 0, 0], "time_step": 1e-17, "total_time_steps": 100,
    "fixed_angle_axis": 2, "fixed_angle_dir": [0, 0, 1], "fixed_angle_center": [0, 0, 0],
    "periodic_boundary": [True, True, True],
    "sources": [], "source_time_list": [], "monitor_list": [], "internal_absorbers": [],
}


@dataclass(frozen=True)
class Scene:
    name: str
    dimensions: int  # 2: one cell thick along z; 3: a cubic period
    structure: str  # "rod", "hole", "sphere", or "none" for a homogeneous period
    radius: float
    permittivity: float  # of the rod or sphere, or of the slab the holes are cut into

    def thickness(self, resolution):
        return 1.0 if self.dimensions == 3 else 1.0 / resolution

    def grid(self, resolution):
        """Cell boundaries per axis."""
        nz = resolution if self.dimensions == 3 else 1
        return {"x": np.linspace(0.0, 1.0, resolution + 1), "y": np.linspace(0.0, 1.0, resolution + 1),
                "z": np.linspace(0.0, self.thickness(resolution), nz + 1)}

    def spec(self, method, offset, resolution):
        """The json_file contents of this scene for one dielectric averaging method and lattice offset."""
        low = NEAR_VACUUM if method == "VolumetricAveraging" else VACUUM
        centre = [0.5 + offset[0], 0.5 + offset[1], 0.5 + offset[2] if self.dimensions == 3 else
                  0.5 * self.thickness(resolution)]
        high = dielectric(self.permittivity)
        if self.structure == "none":
            media, background, inclusion = [high], 0, None
        elif self.structure == "hole":
            media, background, inclusion = [high, low], 0, 1
        else:
            media, background, inclusion = [high, low], 1, 0
        structures = []
        if background != 1 or low is NEAR_VACUUM:
            structures.append(box(background, len(structures)))
        if self.structure == "none":
            pass
        elif self.structure == "sphere":
            structures.append({"type": "Sphere", "name": "sphere", "str_index": len(structures),
                               "mat_index": inclusion, "radius": self.radius,
                               "x_cent": centre[0], "y_cent": centre[1], "z_cent": centre[2]})
        else:
            structures.append({"type": "Cylinder", "name": self.structure, "str_index": len(structures),
                               "mat_index": inclusion, "axis": "z", "reference_plane": "middle",
                               "radius": self.radius, "height": 100.0,
                               "x_cent": centre[0], "y_cent": centre[1], "z_cent": centre[2]})
        spec = copy.deepcopy(BASE_SPEC)
        spec["subpixel_method"] = {
            "dielectric": {"type": "PolarizedAveraging" if method == "VolumetricAveraging" else method},
            "metal": {"type": "VolumetricAveraging", "staircase_normal_component": False},
            "pec": {"type": "PECConformal", "edge_singularity_correction": False},
            "pmc": {"type": "Staircasing"},
            "lossy_metal": {"type": "SurfaceImpedance", "edge_singularity_correction": False},
        }
        spec["simulation_bounds"] = [[0.0, 0.0, 0.0], [1.0, 1.0, self.thickness(resolution)]]
        spec["medium_list"] = media
        spec["struct_list"] = structures
        return spec


def box(mat_index, str_index):
    """A box far larger than the period: a background medium."""
    return {"type": "Box", "name": "background", "str_index": str_index, "mat_index": mat_index,
            "x_cent": 0.5, "y_cent": 0.5, "z_cent": 0.5, "x_span": 100.0, "y_span": 100.0, "z_span": 100.0}


SCENES = {
    "rods": Scene("rods", 2, "rod", 0.2, 8.9),
    "holes": Scene("holes", 2, "hole", 0.4, 13.0),
    "spheres": Scene("spheres", 3, "sphere", 0.25, 12.0),
}


@dataclass(frozen=True)
class Job:
    """One generator run: a scene at a resolution, method, scheme and lattice offset."""
    scene: Scene
    resolution: int
    method: str
    scheme: int
    offset: tuple

    def write_inputs(self, folder):
        folder.mkdir(parents=True, exist_ok=True)
        (folder / "spec.json").write_text(json.dumps(self.scene.spec(self.method, self.offset, self.resolution)))
        coords = self.scene.grid(self.resolution)
        with h5py.File(folder / "grid.h5", "w") as f:
            for axis in "xyz":
                f.create_dataset(f"grid/{axis}", data=coords[axis].astype(np.float32))
            span = [0, len(coords["x"]) - 1, 0, len(coords["y"]) - 1, 0, len(coords["z"]) - 1]
            f.create_dataset("subdomains/period/span_inds", data=np.array(span, np.int32))
        with h5py.File(folder / "freqs.h5", "w") as f:
            f.create_dataset("frequency/freqs", data=np.array([FREQUENCY], np.float32))
        return [str(folder / name) for name in ("spec.json", "grid.h5", "freqs.h5", "coefficients.h5")]


def generate(jobs, folder):
    """Runs the generator for every job in one worker process (the extension ends its process on
    an internal error) and returns the coefficient file of each job."""
    folder = Path(folder)
    calls = [job.write_inputs(folder / f"job{number}") + [job.scheme] for number, job in enumerate(jobs)]
    code = ("import sys\nfrom orbelle_extras._isolated_extension import _gencoeffs\n"
            f"for args in {calls!r}:\n    _gencoeffs(*args)\n")
    proc = subprocess.run([sys.executable, "-c", code], cwd=folder, capture_output=True, text=True)
    if proc.returncode != 0 or proc.stderr:
        raise RuntimeError(f"coefficient generation failed (exit {proc.returncode}):\n{proc.stderr}")
    return [Path(call[3]) for call in calls]


def read_coefficients(path):
    """eps and mu of the single subdomain at the single frequency, each (nx, ny, nz, 9) complex."""
    with h5py.File(path, "r") as f:
        return (f["period/eps"][()].view(np.complex64)[0], f["period/mu"][()].view(np.complex64)[0])
