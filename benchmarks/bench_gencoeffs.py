"""Times _gencoeffs on a 100 x 100 x 100 cell grid of a 2 um box holding nothing, a sphere of
radius 0.6 of permittivity 4, the same sphere as a perfect conductor treated conformally, and an
interface-heavy group of 150 small spheres around a conductor (one frequency, one thread and
then two), and, in the same run, the time h5py needs to write arrays of the same size: the floor
that writing the output sets.

Usage: python benchmarks/bench_gencoeffs.py [--cells N] [--scheme S] [--repeat R] [--scenes ...]
"""

import argparse
import json
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import h5py
import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "scripts"))
from demo import SPEC  # noqa: E402  (the demo's specification, without its structures)


DIELECTRIC = {"type": "Medium", "permittivity": 4.0, "conductivity": 0.0, "poles": [[], [], []]}
SPHERE = {"type": "Sphere", "name": "sphere", "str_index": 0, "mat_index": 0,
          "x_cent": 0.013, "y_cent": -0.021, "z_cent": 0.007, "radius": 0.6}


def interface_heavy():
    """150 small dielectric spheres in one group around a conducting sphere: surfaces in most cells."""
    centres = np.random.default_rng(1).uniform(-0.9, 0.9, (150, 3))
    group = {"type": "GeometryGroup", "name": "spheres", "str_index": 0, "mat_index": 0,
             "geometries": [{"type": "Sphere", "x_cent": float(x), "y_cent": float(y), "z_cent": float(z),
                             "radius": 0.08} for x, y, z in centres]}
    return [DIELECTRIC, {"type": "PEC"}], [group, {**SPHERE, "str_index": 1, "mat_index": 1, "radius": 0.3}]


# Scene name -> (media, structures).
SCENES = {
    "empty": ([], []),  # no structure: the cost of the frame and the output alone
    "dielectric": ([DIELECTRIC], [SPHERE]),
    "pec": ([{"type": "PEC"}], [SPHERE]),
    "group": interface_heavy(),
}


def write_inputs(folder, cells, scene):
    spec = json.loads(json.dumps(SPEC))
    spec["medium_list"], spec["struct_list"] = SCENES[scene]
    (folder / "spec.json").write_text(json.dumps(spec))
    with h5py.File(folder / "grid.h5", "w") as f:
        for axis in "xyz":
            f.create_dataset(f"grid/{axis}", data=np.linspace(-1.0, 1.0, cells + 1, dtype=np.float32))
        f.create_dataset("subdomains/all/span_inds", data=np.array([0, cells] * 3, np.int32))
    with h5py.File(folder / "freqs.h5", "w") as f:
        f.create_dataset("frequency/freqs", data=np.array([2e14], np.float32))


def time_gencoeffs(folder, scheme, threads=1):
    args = [str(folder / n) for n in ("spec.json", "grid.h5", "freqs.h5", "out.h5")] + [scheme]
    code = ("import time\n"
            "from orbelle_extras._isolated_extension import _gencoeffs\n"
            f"start = time.perf_counter(); _gencoeffs(*{args!r}, threads={threads})\n"
            "print(time.perf_counter() - start)\n")
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, cwd=folder)
    if proc.returncode != 0:
        sys.exit(f"_gencoeffs failed ({proc.returncode}): {proc.stderr}")
    return float(proc.stdout.strip().splitlines()[-1])


def time_h5py_floor(folder, cells):
    data = np.ones((1, cells, cells, cells, 9), np.complex64)
    start = time.perf_counter()
    with h5py.File(folder / "floor.h5", "w") as f:
        group = f.create_group("all")
        group.create_dataset("eps", data=data)
        group.create_dataset("mu", data=data)
    return time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--cells", type=int, default=100)
    parser.add_argument("--scheme", type=int, default=0)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--scenes", nargs="+", choices=sorted(SCENES), default=["empty", "dielectric", "pec", "group"])
    parser.add_argument("--threads", type=int, default=2, help="also time each scene with this many threads")
    options = parser.parse_args()
    count = options.cells ** 3
    print(f"grid {options.cells}^3 = {count} cells, 1 frequency, scheme {options.scheme}, 1 thread, "
          f"best of {options.repeat}")
    with tempfile.TemporaryDirectory() as tmp:
        folder = Path(tmp)
        floor = min(time_h5py_floor(folder, options.cells) for _ in range(options.repeat))
        print(f"h5py write of the same arrays: {floor:.3f} s")
        times = {}
        for scene in options.scenes:
            write_inputs(folder, options.cells, scene)
            times[scene] = best = min(time_gencoeffs(folder, options.scheme) for _ in range(options.repeat))
            line = f"{scene:>10}: {best:.3f} s, {count / best:,.0f} cells/s, {best / floor:.2f}x the I/O floor"
            if "empty" in times and scene != "empty":
                line += f", {best - times['empty']:.3f} s above the empty grid"
            if options.threads > 1:
                parallel = min(time_gencoeffs(folder, options.scheme, options.threads) for _ in range(options.repeat))
                line += f"; {options.threads} threads {parallel:.3f} s, speed-up {best / parallel:.2f}x"
            print(line)
        if {"empty", "dielectric", "pec"} <= times.keys():
            ratio = (times["pec"] - times["empty"]) / (times["dielectric"] - times["empty"])
            print(f"conductor work / dielectric work (each above the empty grid): {ratio:.2f}")


if __name__ == "__main__":
    main()
