"""Times _gencoeffs on a 100 x 100 x 100 cell grid holding a sphere of permittivity 4 (one
frequency, one thread) and, in the same run, the time h5py needs to write arrays of the same
size: the floor that writing the output sets.

Usage: python benchmarks/bench_gencoeffs.py [--cells N] [--scheme S] [--repeat R]
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


def write_inputs(folder, cells):
    spec = json.loads(json.dumps(SPEC))
    spec["medium_list"] = [{"type": "Medium", "permittivity": 4.0, "conductivity": 0.0, "poles": [[], [], []]}]
    spec["struct_list"] = [{"type": "Sphere", "name": "sphere", "str_index": 0, "mat_index": 0,
                            "x_cent": 0.013, "y_cent": -0.021, "z_cent": 0.007, "radius": 0.71}]
    (folder / "spec.json").write_text(json.dumps(spec))
    with h5py.File(folder / "grid.h5", "w") as f:
        for axis in "xyz":
            f.create_dataset(f"grid/{axis}", data=np.linspace(-1.0, 1.0, cells + 1, dtype=np.float32))
        f.create_dataset("subdomains/all/span_inds", data=np.array([0, cells] * 3, np.int32))
    with h5py.File(folder / "freqs.h5", "w") as f:
        f.create_dataset("frequency/freqs", data=np.array([2e14], np.float32))


def time_gencoeffs(folder, scheme):
    args = [str(folder / n) for n in ("spec.json", "grid.h5", "freqs.h5", "out.h5")] + [scheme]
    code = ("import time\n"
            "from orbelle_extras._isolated_extension import _gencoeffs\n"
            f"start = time.perf_counter(); _gencoeffs(*{args!r}); print(time.perf_counter() - start)\n")
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
    options = parser.parse_args()
    count = options.cells ** 3
    with tempfile.TemporaryDirectory() as tmp:
        folder = Path(tmp)
        write_inputs(folder, options.cells)
        runs = [time_gencoeffs(folder, options.scheme) for _ in range(options.repeat)]
        floors = [time_h5py_floor(folder, options.cells) for _ in range(options.repeat)]
    best, floor = min(runs), min(floors)
    print(f"grid {options.cells}^3 = {count} cells, 1 frequency, scheme {options.scheme}, 1 thread")
    print(f"_gencoeffs: {best:.3f} s (best of {options.repeat}), {count / best:,.0f} cells/s")
    print(f"h5py write of the same arrays: {floor:.3f} s (best of {options.repeat})")
    print(f"ratio to the I/O floor: {best / floor:.2f}x")


if __name__ == "__main__":
    main()
