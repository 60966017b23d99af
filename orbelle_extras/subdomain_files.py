"""Splitting a grid file into one small input file per subdomain, and gathering the outputs of
the parts into one coefficient file."""

import os
from dataclasses import dataclass

import h5py
import numpy as np


@dataclass
class SubdomainEntry:
    name: str
    cells: int


def list_subdomains(hdf5_file):
    """The subdomains of a grid file in the generator's order (by name), with their cell counts.
    Raises OSError, KeyError, TypeError or ValueError when the file does not hold a readable list."""
    with h5py.File(hdf5_file, "r") as f:
        entries = []
        for name, group in f["subdomains"].items():
            span = np.asarray(group["span_inds"][()], dtype=np.int64).reshape(-1)
            if span.size != 6:
                raise ValueError(f"subdomain {name!r}: span_inds holds {span.size} values")
            entries.append(SubdomainEntry(name, int(max(0, span[1] - span[0]) * max(0, span[3] - span[2])
                                                    * max(0, span[5] - span[4]))))
        return entries


def write_subdomain_file(hdf5_file, name, path):
    """A grid file holding only one subdomain; "grid" and "custom_medium" are external links into
    the caller's file, so nothing large is copied."""
    source_path = os.path.abspath(hdf5_file)
    with h5py.File(hdf5_file, "r") as source, h5py.File(path, "w") as part:
        part.create_group("subdomains")
        source.copy(source["subdomains"][name], part["subdomains"], name=name)
        for link in ("grid", "custom_medium"):
            if link in source:
                part[link] = h5py.ExternalLink(source_path, "/" + link)


def gather(parts, path):
    """Copies each part's subdomain group (name, part file) into a new file at path."""
    with h5py.File(path, "w") as out:
        for name, part_path in parts:
            with h5py.File(part_path, "r") as part:
                part.copy(part[name], out, name=name)
