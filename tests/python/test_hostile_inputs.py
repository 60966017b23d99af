"""Inputs a hostile or careless caller may hand over: sizes that cannot be held, datasets that
exist but cannot be read, an output path that names an input, and paths with a NUL. Each ends
with its defined reaction, never a signal, a changed input or a result presented as success."""

import copy

import h5py
import numpy as np
import pytest

from conftest import BASE_SPEC, INTERNAL_ERROR, run_gencoeffs

SMALL_BOX = {"type": "Box", "name": "b", "str_index": 0, "mat_index": 0, "x_cent": 0, "y_cent": 0, "z_cent": 0,
             "x_span": 0.2, "y_span": 0.2, "z_span": 0.2}
DIELECTRIC = {"type": "Medium", "permittivity": 4.0, "conductivity": 0.0, "poles": [[], [], []]}


def assert_internal_error(proc, inputs, output_may_exist=False):
    assert proc.returncode == 1, (proc.returncode, proc.stdout, proc.stderr[-2000:])
    assert proc.stderr.endswith(INTERNAL_ERROR)
    assert "RESULT" not in proc.stdout
    if output_may_exist and inputs.file_out.exists():
        # The run ended while computing its first subdomain: the file holds no subdomain.
        with h5py.File(inputs.file_out, "r") as f:
            assert list(f.keys()) == []
    else:
        assert not inputs.file_out.exists()


@pytest.mark.parametrize("freqs", [[], [1e14]], ids=["no frequencies", "one frequency"])
def test_grid_too_large_to_hold_is_an_internal_error(make_inputs, freqs):
    # 2^22 - 1 by 2^21 - 1 by 2^21 - 1 boundaries: the cell count and the doubled map size do not
    # fit 64 bits (the map's 2^23 * 2^22 * 2^22 entries wrap to 0). The axes are chunked datasets
    # that hold only their fill value, so the file stays small; the coordinates are all 0, which
    # the small box around the origin covers.
    spec = {**copy.deepcopy(BASE_SPEC), "medium_list": [DIELECTRIC], "struct_list": [SMALL_BOX]}
    inputs = make_inputs(spec=spec, freqs=freqs)
    counts = {"x": 2**22 - 1, "y": 2**21 - 1, "z": 2**21 - 1}
    with h5py.File(inputs.hdf5_file, "a") as f:
        for axis, count in counts.items():
            del f["grid"][axis]
            f["grid"].create_dataset(axis, shape=(count,), dtype=np.float32, chunks=(2**16,), fillvalue=0.0)
        f["subdomains/sub0/span_inds"][...] = np.array([0, 2**22 - 2, 0, 2**21 - 2, 0, 2**21 - 2], np.int32)
    assert inputs.hdf5_file.stat().st_size < 1 << 20
    assert_internal_error(run_gencoeffs(inputs), inputs, output_may_exist=True)

