"""Convergence of photonic band frequencies with resolution, for coefficients from the generator.

For every scene, resolution, lattice offset, dielectric averaging method and subpixel scheme the
generator writes a coefficient file and the Yee-grid eigen solver finds the lowest bands at the
zone-boundary points. Each band's error is taken against a reference extrapolated (Richardson, first-
and second-order terms) from the finest PolarizedAveraging runs; the errors, the fitted orders and
a log-log plot are written to the output folder.

Usage: python validation/convergence.py [--quick] [--out FOLDER]   (default: validation/results)
"""

import argparse
import hashlib
import json
import sys
import tempfile
import time
from dataclasses import dataclass
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
import scenes  # noqa: E402
import yee_fdfd  # noqa: E402

BANDS = 4
REFERENCE_METHOD, REFERENCE_SCHEME = "PolarizedAveraging", 1
K_POINTS_2D = {"X": (np.pi, 0.0, 0.0), "M": (np.pi, np.pi, 0.0)}
K_POINTS_3D = {"X": (np.pi, 0.0, 0.0)}


@dataclass(frozen=True)
class Plan:
    resolutions: dict  # scene name -> resolutions measured for every method and scheme
    reference: dict  # scene name -> resolutions of the reference runs (five, ascending)
    offsets: dict  # scene name -> lattice offsets per resolution
    fit_from: dict  # scene name -> coarsest resolution in the fitted order
    schemes: tuple = (0, 1)
    methods: tuple = scenes.METHODS


FULL = Plan(resolutions={"rods": (8, 12, 16, 24, 32, 48, 64), "holes": (8, 12, 16, 24, 32, 48, 64),
                         "spheres": (8, 12, 16, 20, 24)},
            reference={"rods": (32, 48, 64, 128, 256), "holes": (32, 48, 64, 128, 256),
                       "spheres": (12, 16, 20, 24, 32)},
            offsets={"rods": 4, "holes": 4, "spheres": 2},
            fit_from={"rods": 16, "holes": 16, "spheres": 12})
# The tests' plan: two-dimensional scenes only (the three-dimensional solver is checked on the
# homogeneous cube), at resolutions where the solver's own dispersion error no longer hides the
# averaging error.
QUICK = Plan(resolutions={"rods": (16, 24, 32), "holes": (16, 24, 32)},
             reference={"rods": (32, 48, 64, 96, 128), "holes": (32, 48, 64, 96, 128)},
             offsets={"rods": 4, "holes": 4}, fit_from={"rods": 16, "holes": 16})


def lattice_offsets(rng, scene, resolution, count):
    """Offsets of the lattice against the grid, uniform within half a cell on every axis."""
    h = 1.0 / resolution
    offsets = rng.uniform(-h / 2, h / 2, size=(count, 3))
    if scene.dimensions == 2:
        offsets[:, 2] = 0.0
    return [tuple(float(v) for v in o) for o in offsets]


def solve_bands(scene, resolution, eps, mu):
    """{label: lowest band frequencies}: labels "TM X", "TE X", "TM M", "TE M" in 2D, "X" in 3D."""
    h = 1.0 / resolution
    spacing = (h, h, scene.thickness(resolution) / eps.shape[2])
    if scene.dimensions == 2:
        result = {}
        for point, k in K_POINTS_2D.items():
            for polarisation, bands in yee_fdfd.slab_bands(eps, mu, spacing, k, BANDS).items():
                result[f"{polarisation} {point}"] = bands
        return result
    return {point: yee_fdfd.vector_bands(eps, mu, spacing, k, BANDS) for point, k in K_POINTS_3D.items()}


def measure(scene, plan, rng, workdir, log):
    """Band frequencies: {(method, scheme, resolution): {label: array (offsets, bands)}}."""
    runs = {}
    measured = set(plan.resolutions[scene.name])
    for resolution in sorted(measured | set(plan.reference[scene.name])):
        offsets = lattice_offsets(rng, scene, resolution, plan.offsets[scene.name])
        if resolution in measured:
            cases = [(m, s) for m in plan.methods for s in plan.schemes]
        else:
            cases = [(REFERENCE_METHOD, REFERENCE_SCHEME)]
        jobs = [scenes.Job(scene, resolution, m, s, o) for m, s in cases for o in offsets]
        started = time.time()
        files = scenes.generate(jobs, Path(workdir) / f"{scene.name}{resolution}")
        solved = {}  # identical coefficients (staircasing ignores the scheme) are solved once

        def bands(path):
            eps, mu = scenes.read_coefficients(path)
            key = hashlib.sha256(eps.tobytes() + mu.tobytes()).hexdigest()
            if key not in solved:
                solved[key] = solve_bands(scene, resolution, eps, mu)
            return solved[key]

        for case in cases:
            per_offset = [bands(f) for job, f in zip(jobs, files) if (job.method, job.scheme) == case]
            runs[case + (resolution,)] = {label: np.array([b[label] for b in per_offset]) for label in per_offset[0]}
        for f in files:
            f.unlink()
        log(f"  {scene.name} at {resolution}: {len(jobs)} runs, {time.time() - started:.1f} s")
    return runs


def richardson(resolutions, values):
    """Richardson extrapolation to infinite resolution: v(N) = limit + C1 / N + C2 / N^2 fitted by
    least squares. The first-order term takes up what averaging leaves at first order, the
    second-order one the solver's own dispersion error and second-order averaging errors."""
    n = np.asarray(resolutions, float)
    basis = np.stack([np.ones_like(n), 1 / n, 1 / n ** 2], axis=1)
    coefficients = np.linalg.lstsq(basis, np.asarray(values, float), rcond=None)[0]
    return coefficients[0], coefficients[1:]


def reference_bands(runs, plan, scene):
    """{label: (limit per band, (C1, C2) per band)} from the offset means of the reference runs."""
    resolutions = plan.reference[scene.name]
    first = runs[(REFERENCE_METHOD, REFERENCE_SCHEME, resolutions[0])]
    result = {}
    for label in first:
        means = np.array([runs[(REFERENCE_METHOD, REFERENCE_SCHEME, r)][label].mean(axis=0) for r in resolutions])
        fits = [richardson(resolutions, means[:, band]) for band in range(means.shape[1])]
        result[label] = (np.array([f[0] for f in fits]), np.array([f[1] for f in fits]))
    return result


def relative_errors(runs, reference):
    """{key: {label: array (offsets, bands)}} of |v - v_ref| / v_ref."""
    return {key: {label: abs(v - reference[label][0]) / reference[label][0] for label, v in values.items()}
            for key, values in runs.items()}


def rms_over_offsets(errors):
    return np.sqrt(np.mean(errors ** 2, axis=0))


def fitted_order(resolutions, errors):
    """Minus the least-squares slope of log(error) against log(resolution)."""
    return -np.polyfit(np.log(resolutions), np.log(errors), 1)[0]


def groups(scene):
    """The curves of a scene: 2D scenes split by polarisation (both k points), 3D gives one."""
    if scene.dimensions == 2:
        return {f"{scene.name} {p}": [f"{p} {point}" for point in K_POINTS_2D] for p in ("TM", "TE")}
    return {scene.name: list(K_POINTS_3D)}


def summarise(scene, plan, errors):
    """Per group, method and scheme: the band-mean RMS error per resolution, its fitted order, and
    the band-mean error of every single offset (for the scatter)."""
    summary = {}
    resolutions = plan.resolutions[scene.name]
    for group, labels in groups(scene).items():
        for method in plan.methods:
            for scheme in plan.schemes:
                curve, spread = [], []
                for r in resolutions:
                    e = errors[(method, scheme, r)]
                    curve.append(float(np.mean([rms_over_offsets(e[label]) for label in labels])))
                    spread.append(np.mean([e[label].mean(axis=1) for label in labels], axis=0).tolist())
                fitted = [i for i, r in enumerate(resolutions) if r >= plan.fit_from[scene.name]]
                order = fitted_order([resolutions[i] for i in fitted], [curve[i] for i in fitted])
                summary[(group, method, scheme)] = {"resolutions": list(resolutions), "error": curve,
                                                    "order": float(order),
                                                    "offsets": spread}
    return summary


COLOURS = {"Staircasing": "tab:red", "VolumetricAveraging": "tab:orange", "PolarizedAveraging": "tab:blue",
           "ContourPathAveraging": "tab:green"}


def plot(summary, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.ticker import NullFormatter, ScalarFormatter

    names = list(dict.fromkeys(key[0] for key in summary))
    methods = list(dict.fromkeys(key[1] for key in summary))
    schemes = sorted(set(key[2] for key in summary))
    fig, axes = plt.subplots(1, len(names), figsize=(3.2 * len(names), 3.6), sharey=True, squeeze=False)
    for ax, group in zip(axes[0], names):
        for method in methods:
            for scheme in schemes:
                s = summary[(group, method, scheme)]
                n = np.array(s["resolutions"])
                label = f"{method.replace('Averaging', '')} s{scheme}" if group == names[0] else None
                ax.loglog(n, s["error"], "-" if scheme == 1 else "--", color=COLOURS[method], lw=1.2, label=label)
                if scheme == 1:
                    for r, values in zip(n, s["offsets"]):
                        ax.loglog([r] * len(values), values, ".", color=COLOURS[method], ms=3, alpha=0.6)
        n = np.array(summary[(group, methods[0], schemes[0])]["resolutions"], float)
        top = max(summary[(group, m, schemes[0])]["error"][0] for m in methods)
        ax.loglog(n, top * (n / n[0]) ** -1, ":", color="grey", lw=1)
        ax.loglog(n, top * (n / n[0]) ** -2, ":", color="black", lw=1)
        ax.set_title(group, fontsize=9)
        ax.set_xlabel("cells per period", fontsize=8)
        ax.set_xticks(n)
        ax.xaxis.set_major_formatter(ScalarFormatter())
        ax.xaxis.set_minor_formatter(NullFormatter())
        ax.tick_params(labelsize=7)
    axes[0][0].set_ylabel("relative band error", fontsize=8)
    fig.legend(loc="lower center", ncol=4, fontsize=7, frameon=False)
    fig.text(0.99, 0.01, "lines: RMS over offsets, mean over bands; dots: single offsets (scheme 1); "
             "dotted: slopes 1 (grey) and 2 (black)", fontsize=6, ha="right")
    fig.tight_layout(rect=(0, 0.12, 1, 1))
    fig.savefig(path, dpi=80)
    plt.close(fig)


def order_table(summary, plan):
    """Markdown table of fitted orders: one row per group, one column per method and scheme."""
    names = list(dict.fromkeys(key[0] for key in summary))
    columns = [(m, s) for m in plan.methods for s in plan.schemes]
    lines = ["| scene | " + " | ".join(f"{m.replace('Averaging', '')} s{s}" for m, s in columns) + " |",
             "|---|" + "---|" * len(columns)]
    for group in names:
        lines.append(f"| {group} | " + " | ".join(f"{summary[(group, m, s)]['order']:.2f}" for m, s in columns) + " |")
    return "\n".join(lines)


def homogeneous_check(workdir):
    """Largest relative deviation of solver bands from the closed-form discrete dispersion relation,
    for homogeneous media written by the generator: an anisotropic (2, 3, 4) slab (TM and TE) and
    an isotropic 2.25 cube, at general Bloch vectors."""
    worst = 0.0
    for dimensions, permittivity, resolution, k in ((2, [2.0, 3.0, 4.0], 10, (0.9, -2.3, 0.0)),
                                                   (3, 2.25, 6, (0.7, 1.9, -1.3))):
        scene = scenes.Scene("homogeneous", dimensions, "none", 0.0, permittivity)
        eps, mu = scenes.read_coefficients(
            scenes.generate([scenes.Job(scene, resolution, "PolarizedAveraging", 1, (0.0, 0.0, 0.0))],
                            Path(workdir) / f"homogeneous{dimensions}")[0])
        h = 1.0 / resolution
        thickness = scene.thickness(resolution) / eps.shape[2]
        spacing = (h, h, thickness)
        # |K_a|^2 of every Bloch plane wave the grid holds: 4 sin^2(q_a h_a / 2) / h_a^2.
        k2 = [4 * np.sin((k[a] + 2 * np.pi * np.arange(n) / (n * spacing[a])) * spacing[a] / 2) ** 2
              / spacing[a] ** 2 for a, n in enumerate(eps.shape[:3])]
        kx, ky, kz = np.meshgrid(*k2, indexing="ij")
        if dimensions == 2:
            ex, ey, ez = permittivity
            bands = yee_fdfd.slab_bands(eps, mu, spacing, k, 6)
            expected = {"TM": (kx + ky) / ez, "TE": kx / ey + ky / ex}
            pairs = [(bands[p], np.sort(expected[p].ravel())[:6]) for p in ("TM", "TE")]
        else:
            bands = yee_fdfd.vector_bands(eps, mu, spacing, k, 6)
            # Two transverse polarisations per plane wave.
            pairs = [(bands, np.sort(np.repeat(((kx + ky + kz) / permittivity).ravel(), 2))[:6])]
        for got, eigenvalues in pairs:
            worst = max(worst, float(np.max(abs(got - yee_fdfd.to_frequency(eigenvalues)) / got)))
    return worst


def run(plan, out, log=print, seed=16):
    """Runs the whole measurement; writes convergence.png, convergence.md and convergence.json
    into `out` and returns (homogeneous deviation, summary, errors per scene)."""
    out = Path(out)
    out.mkdir(parents=True, exist_ok=True)
    rng = np.random.default_rng(seed)
    summary, all_errors, references = {}, {}, {}
    with tempfile.TemporaryDirectory() as workdir:
        homogeneous = homogeneous_check(workdir)
        log(f"homogeneous media: largest relative deviation from the dispersion relation {homogeneous:.2e}")
        for name in plan.resolutions:
            scene = scenes.SCENES[name]
            runs = measure(scene, plan, rng, workdir, log)
            reference = reference_bands(runs, plan, scene)
            references[name] = {label: {"bands": r[0].tolist(), "first_and_second_order_terms": r[1].tolist()}
                                for label, r in reference.items()}
            errors = relative_errors({k: v for k, v in runs.items() if k[2] in plan.resolutions[name]}, reference)
            all_errors[name] = errors
            summary.update(summarise(scene, plan, errors))
    plot(summary, out / "convergence.png")
    table = order_table(summary, plan)
    (out / "convergence.md").write_text(table + "\n")
    (out / "convergence.json").write_text(json.dumps({
        "homogeneous_deviation": homogeneous, "references": references,
        "curves": [{"group": g, "method": m, "scheme": s, **v} for (g, m, s), v in summary.items()]}, indent=1))
    log(table)
    return homogeneous, summary, all_errors


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="small resolutions, for the tests")
    parser.add_argument("--out", default=str(Path(__file__).resolve().parent / "results"))
    parser.add_argument("--plot-only", action="store_true", help="redraw the plot from convergence.json")
    args = parser.parse_args()
    if args.plot_only:
        curves = json.loads((Path(args.out) / "convergence.json").read_text())["curves"]
        plot({(c["group"], c["method"], c["scheme"]): c for c in curves}, Path(args.out) / "convergence.png")
        return
    started = time.time()
    run(QUICK if args.quick else FULL, args.out, log=lambda text: print(text, flush=True))
    print(f"done in {time.time() - started:.0f} s")


if __name__ == "__main__":
    main()
