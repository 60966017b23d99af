"""Reading a coefficient file back: the tensors of a subdomain, a per-subdomain summary, and the
grid and subdomain spans that place them in space."""

from dataclasses import dataclass

import h5py
import numpy as np

CONDUCTOR = -1e8
# Positions of the diagonal entries in the nine-entry tensors, and the names of the components.
DIAGONAL = {"xx": 0, "yy": 4, "zz": 8}
COMPONENTS = [f"{kind}_{axis}" for kind in ("eps", "mu") for axis in DIAGONAL]
IDENTITY = np.eye(3, dtype=np.complex64).reshape(9)


def read_tensors(path, name):
    """(eps, mu) of one subdomain as complex64 arrays of shape (frequencies, nx, ny, nz, 9)."""
    with h5py.File(path, "r") as f:
        return f[name]["eps"][()].view(np.complex64), f[name]["mu"][()].view(np.complex64)


def subdomain_names(path):
    with h5py.File(path, "r") as f:
        return list(f)


@dataclass
class SubdomainSummary:
    name: str
    shape: tuple
    identity: int
    uniform: int
    averaged: int
    conductor: int
    ranges: dict  # component -> (min, max) of the real part outside conductors, or None


def summarize(path):
    """Per subdomain: its shape; how many cells are the identity in eps and mu at every
    frequency; how many are uniform (one value on the eps diagonal, nothing off it, mu the
    identity: a cell inside one isotropic medium); how many hold a conductor mark; how many are
    averaged (all others); and the range of each diagonal component's real part outside
    conductor marks."""
    summaries = []
    for name in subdomain_names(path):
        eps, mu = read_tensors(path, name)
        both = np.concatenate([eps, mu], axis=-1)
        conductor = np.any(both.real == CONDUCTOR, axis=(0, -1))
        mu_identity = np.all(mu == IDENTITY, axis=(0, -1))
        identity = np.all(eps == IDENTITY, axis=(0, -1)) & mu_identity
        off = [k for k in range(9) if k % 4]
        uniform = (mu_identity & np.all(eps[..., off] == 0, axis=(0, -1))
                   & np.all(eps[..., [0]] == eps[..., [4, 8]], axis=(0, -1)) & ~identity & ~conductor)
        ranges = {}
        for component in COMPONENTS:
            kind, axis = component.split("_")
            values = (eps if kind == "eps" else mu)[..., DIAGONAL[axis]].real
            values = values[values != CONDUCTOR]
            ranges[component] = (float(values.min()), float(values.max())) if values.size else None
        averaged = ~identity & ~uniform & ~conductor
        summaries.append(SubdomainSummary(name, eps.shape[:4], int(identity.sum()), int(uniform.sum()),
                                          int(averaged.sum()), int(conductor.sum()), ranges))
    return summaries


def read_grid(path):
    """The boundaries per axis (float32 widened to float64) and the spans of the subdomains."""
    with h5py.File(path, "r") as f:
        boundaries = [np.asarray(f["grid"][a][()], np.float32).astype(np.float64) for a in "xyz"]
        spans = {name: [int(v) for v in np.asarray(g["span_inds"][()]).reshape(-1)]
                 for name, g in f["subdomains"].items()}
    return boundaries, spans
