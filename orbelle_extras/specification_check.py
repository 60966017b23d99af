"""Loading a specification without computing anything, in a worker process (an inconsistent
specification ends the loading process), and a one-line summary of what it holds."""

import json
import os
import subprocess
import sys
from collections import Counter

from orbelle_extras.errors import CoefficientError, SpecificationError

_CHILD = """
import json, sys
from orbelle_extras._isolated_extension import _check_specification
try:
    summary = _check_specification(sys.argv[1], sys.argv[2] or None)
except RuntimeError as error:
    print(json.dumps({"cause": (getattr(error, "__notes__", None) or [None])[0]}))
else:
    print(json.dumps(summary))
"""


def check_specification(json_file, hdf5_file=None):
    """Loads the specification (with the gridded media of hdf5_file, if given) and returns a
    one-line summary. Raises SpecificationError with the cause when it does not load, and
    CoefficientError when the loading process ends with an internal error."""
    json_file = os.fspath(json_file)
    hdf5_file = "" if hdf5_file is None else os.path.abspath(os.fspath(hdf5_file))
    package_parent = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    proc = subprocess.run([sys.executable, "-c", _CHILD, os.path.abspath(json_file), hdf5_file],
                          capture_output=True, text=True, cwd=package_parent)
    if proc.returncode != 0:
        raise CoefficientError(f"loading the specification failed (exit status {proc.returncode}): "
                               f"{proc.stderr.strip()!r}", exit_status=proc.returncode, stderr=proc.stderr)
    result = json.loads(proc.stdout.strip().splitlines()[-1])
    if "cause" in result:
        raise SpecificationError(f"the simulation specification could not be loaded: {result['cause']}",
                                 cause=result["cause"], exit_status=0, stderr=proc.stderr)
    return summary_line(result, json.loads(open(json_file, encoding="utf-8").read()))


def summary_line(loaded, document):
    structures = Counter(str(entry.get("type")) for entry in document.get("struct_list") or [])
    kinds = ", ".join(f"{count} {kind}" for kind, count in sorted(structures.items()))
    methods = document.get("subpixel_method") or {}
    method_text = ", ".join(f"{cls} {(value or {}).get('type')}" for cls, value in methods.items())
    return (f"{loaded['media']} media ({loaded['gridded_media']} gridded), {loaded['structures']} structures"
            f"{' (' + kinds + ')' if kinds else ''}; methods: {method_text}; "
            f"conformal metals: {'yes' if loaded['conformal_metal'] else 'no'}; "
            f"perfect magnetic conductors: {'yes' if loaded['pmc'] else 'no'}")
