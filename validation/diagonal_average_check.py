"""Is first-order TE convergence the diagonal approximation or the generator's fractions?

Builds diagonal polarized coefficients independently — per E position the fill fraction of a
cell-sized square by supersampling, the exact radial normal of the circle, eps_cc = n_c^2 <1/eps>^-1
+ (1 - n_c^2) <eps> — and prints the TE band errors at X of those and of the generator's
PolarizedAveraging and Staircasing coefficients against the reference bands of the full run.

Usage: python validation/diagonal_average_check.py [rods|holes]   (needs validation/results)
"""

import json
import sys
import tempfile
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
import scenes  # noqa: E402
import yee_fdfd  # noqa: E402


def cell_box_average(scene, resolution, offset, samples=12):
    h = 1.0 / resolution
    centre = (0.5 + offset[0], 0.5 + offset[1])
    inside, outside = (scene.permittivity, 1.0) if scene.structure == "rod" else (1.0, scene.permittivity)
    t = ((np.arange(samples) + 0.5) / samples - 0.5) * h
    i, j = np.meshgrid(np.arange(resolution), np.arange(resolution), indexing="ij")
    eps = np.zeros((resolution, resolution, 1, 9))
    for c in range(3):
        px, py = (i + 0.5 * (c == 0)) * h - centre[0], (j + 0.5 * (c == 1)) * h - centre[1]
        sx, sy = px[..., None, None] + t[:, None], py[..., None, None] + t[None, :]
        values = np.where(sx ** 2 + sy ** 2 < scene.radius ** 2, inside, outside)
        n2 = [px ** 2, py ** 2, 0 * px][c] / (px ** 2 + py ** 2)
        eps[:, :, 0, 4 * c] = n2 / (1 / values).mean(axis=(2, 3)) + (1 - n2) * values.mean(axis=(2, 3))
    return eps


def main():
    scene = scenes.SCENES[sys.argv[1] if len(sys.argv) > 1 else "holes"]
    results = json.loads((Path(__file__).resolve().parent / "results" / "convergence.json").read_text())
    reference = np.array(results["references"][scene.name]["TE X"]["bands"])
    k = (np.pi, 0.0, 0.0)
    for resolution in (16, 24, 32, 48, 64):
        offset = (0.1 / resolution, -0.16 / resolution, 0.0)
        h = 1.0 / resolution
        jobs = [scenes.Job(scene, resolution, m, 1, offset) for m in ("PolarizedAveraging", "Staircasing")]
        with tempfile.TemporaryDirectory() as folder:
            coefficients = [scenes.read_coefficients(f) for f in scenes.generate(jobs, folder)]
        mu = coefficients[0][1]
        own = cell_box_average(scene, resolution, offset)
        rows = [("generator polarized", coefficients[0][0]), ("generator staircased", coefficients[1][0]),
                ("cell-box polarized", own)]
        for name, eps in rows:
            bands = yee_fdfd.slab_bands(eps, mu, (h, h, h), k, len(reference))["TE"]
            print(f"{resolution:3d} {name:21s}", " ".join(f"{e:.2e}" for e in abs(bands - reference) / reference))


if __name__ == "__main__":
    main()
