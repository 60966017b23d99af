"""A picture of one component of the coefficients in a plane normal to a grid axis, drawn to
scale in micrometres with matplotlib."""

import matplotlib

matplotlib.use("Agg")

import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
from matplotlib.patches import Patch, Rectangle  # noqa: E402

from orbelle_extras.coefficient_file import CONDUCTOR, DIAGONAL, read_grid, read_tensors  # noqa: E402

AXES = "xyz"


def plane_index(boundaries, axis, value):
    """The cell index along the axis whose [lower, upper) boundaries hold the value."""
    b = boundaries[axis]
    if not b[0] <= value <= b[-1]:
        raise ValueError(f"plane {AXES[axis]}={value} lies outside the grid ({b[0]} .. {b[-1]})")
    return int(min(np.searchsorted(b, value, side="right") - 1, len(b) - 2))


def draw_slice(coefficients, grid_file, output, component="eps_xx", frequency=0, plane=None, subdomains=None,
               size=(800, 600)):
    """Writes a PNG of the component's real part in the plane (axis, value), default the middle
    of the grid along z, over the chosen subdomains (default all). Conductor marks get their own
    colour; every subdomain crossing the plane is outlined. Returns the number of cells drawn."""
    boundaries, spans = read_grid(grid_file)
    kind, diagonal = component.split("_") if "_" in component else ("eps", component)
    entry = DIAGONAL[diagonal]
    if plane is None:
        plane = (2, 0.5 * (boundaries[2][0] + boundaries[2][-1]))
    axis, value = plane
    index = plane_index(boundaries, axis, value)
    across, down = [a for a in range(3) if a != axis]

    names = subdomains or list(spans)
    figure, ax = plt.subplots(figsize=(size[0] / 100, size[1] / 100), dpi=100)
    colours = plt.get_cmap("viridis").copy()
    colours.set_bad("black")
    drawn, mesh = 0, None
    pieces = []
    for name in names:
        span = spans[name]
        if not span[2 * axis] <= index < span[2 * axis + 1]:
            continue
        eps, mu = read_tensors(coefficients, name)
        tensor = eps if kind == "eps" else mu
        take = [slice(None)] * 3
        take[axis] = index - span[2 * axis]
        values = tensor[frequency][tuple(take)][..., entry].real  # axes (across, down)
        pieces.append((span, np.ma.masked_equal(values, CONDUCTOR)))
    if not pieces:
        raise ValueError(f"no subdomain crosses the plane {AXES[axis]}={value}")
    finite = [p[1].compressed() for p in pieces if p[1].count()]
    low = min(float(v.min()) for v in finite) if finite else 0.0
    high = max(float(v.max()) for v in finite) if finite else 1.0
    if high <= low:
        high = low + 1.0
    for span, values in pieces:
        x = boundaries[across][span[2 * across]:span[2 * across + 1] + 1]
        y = boundaries[down][span[2 * down]:span[2 * down + 1] + 1]
        mesh = ax.pcolormesh(x, y, values.T, cmap=colours, vmin=low, vmax=high, shading="flat")
        ax.add_patch(Rectangle((x[0], y[0]), x[-1] - x[0], y[-1] - y[0], fill=False, edgecolor="red", lw=1.0))
        drawn += values.size
    figure.colorbar(mesh, ax=ax, label=f"Re {component}")
    if any(p[1].mask.any() for p in pieces if np.ma.is_masked(p[1])):
        ax.legend(handles=[Patch(color="black", label="conductor (-1e8)")], loc="upper right", fontsize="small")
    ax.set_aspect("equal")
    ax.set_xlabel(f"{AXES[across]} (µm)")
    ax.set_ylabel(f"{AXES[down]} (µm)")
    ax.set_title(f"{component}, frequency {frequency}, plane {AXES[axis]} = {value:g} µm (cell {index})")
    figure.savefig(output, dpi=100)
    plt.close(figure)
    return drawn
