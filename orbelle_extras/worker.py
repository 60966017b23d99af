"""The worker side of the front end.

The worker process reads a job description (JSON) from standard input and runs
``_gencoeffs`` once per subdomain job, in order, announcing each on standard output:
``BEGIN <index>`` before it and ``END <index> <seconds>`` after it. The generator ends the whole
process on an internal error, so the last ``BEGIN`` without its ``END`` names the subdomain that
failed. A specification that cannot be loaded ends the worker with status ``LOAD_FAILURE``, after
a ``cause: ...`` line on standard error that says what was wrong.

``run_jobs`` starts such a worker as a child process and waits for it; it is what an executor's
task runs, so it must stay importable and its arguments and result picklable.
"""

import json
import os
import subprocess
import sys
import time
from dataclasses import dataclass

LOAD_FAILURE = 3
# A line of the worker's standard error that carries the cause of a failed load.
CAUSE_PREFIX = "cause: "


@dataclass
class WorkerOutcome:
    """How a worker ended: its exit status, the indices of the jobs it finished (with their
    seconds), the index of a job it began but did not finish, and its standard error."""

    exit_status: int
    finished: dict
    unfinished: object
    stderr: str


def run_jobs(request, on_finished=None):
    """Runs a worker for the request and returns its WorkerOutcome. on_finished(index, seconds)
    is called as each job ends."""
    # The worker imports the package this process uses, wherever the caller's working folder is.
    package_parent = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    child = subprocess.Popen([sys.executable, "-c", "from orbelle_extras.worker import main; main()"],
                             stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                             cwd=package_parent)
    child.stdin.write(json.dumps(request))
    child.stdin.close()
    finished, begun = {}, None
    for line in child.stdout:
        words = line.split()
        if len(words) == 2 and words[0] == "BEGIN":
            begun = int(words[1])
        elif len(words) == 3 and words[0] == "END":
            finished[int(words[1])] = float(words[2])
            begun = None
            if on_finished is not None:
                on_finished(int(words[1]), float(words[2]))
    stderr = child.stderr.read()
    return WorkerOutcome(child.wait(), finished, begun, stderr)


def main():
    request = json.load(sys.stdin)
    from orbelle_extras._isolated_extension import _gencoeffs

    for index, hdf5_file, file_out in request["jobs"]:
        print("BEGIN", index, flush=True)
        start = time.perf_counter()
        try:
            _gencoeffs(request["json_file"], hdf5_file, request["frequency_file"], file_out,
                       request["subpixel_scheme"], threads=request["threads"])
        except RuntimeError as error:
            for note in getattr(error, "__notes__", ()):
                print(CAUSE_PREFIX + note, file=sys.stderr)
            sys.stderr.flush()
            sys.exit(LOAD_FAILURE)
        print("END", index, f"{time.perf_counter() - start:.6f}", flush=True)


if __name__ == "__main__":
    main()
