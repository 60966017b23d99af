"""The safe front end of the coefficient generator.

The native generator ends its whole process on an internal error, so every run happens in a
worker process. The front end turns the worker's end into exceptions, writes the result beside
``file_out`` and renames it over ``file_out`` only once every subdomain has succeeded, and can
spread the subdomains over any ``concurrent.futures.Executor`` (a process pool, or a Dask
cluster's executor on many hosts).
"""

import os
import shutil
import signal
import tempfile
from concurrent.futures import FIRST_EXCEPTION, wait
from pathlib import Path

from tqdm import tqdm

from orbelle_extras.errors import CoefficientError, SpecificationError
from orbelle_extras.subdomain_files import gather, list_subdomains, write_subdomain_file
from orbelle_extras.worker import CAUSE_PREFIX, LOAD_FAILURE, run_jobs

LOAD_MESSAGE = "Error loading simulation specification JSON file."


def _same_file(a, b):
    try:
        return os.path.samefile(a, b)
    except OSError:
        return os.path.realpath(a) == os.path.realpath(b)


def _check_paths(json_file, hdf5_file, frequency_file, file_out):
    for label, path in (("json_file", json_file), ("hdf5_file", hdf5_file), ("frequency_file", frequency_file)):
        if _same_file(file_out, path):
            raise ValueError(f"file_out {file_out!r} is the same file as {label}; refusing to overwrite an input")


def _describe_end(status):
    if status < 0:
        try:
            name = signal.Signals(-status).name
        except ValueError:
            name = f"signal {-status}"
        text = f"the worker was killed by {name}"
        if -status == signal.SIGKILL:
            text += " (the system may have run out of memory)"
        return text
    return f"the worker exited with status {status}"


def _raise_for(outcome, subdomain):
    """Turns a failed worker's outcome into the matching exception."""
    stderr = outcome.stderr
    where = f" in subdomain {subdomain!r}" if subdomain is not None else ""
    if outcome.exit_status == LOAD_FAILURE or LOAD_MESSAGE in stderr:
        causes = [line[len(CAUSE_PREFIX):] for line in stderr.splitlines() if line.startswith(CAUSE_PREFIX)]
        cause = causes[0] if causes else None
        raise SpecificationError(f"the simulation specification could not be loaded: {cause or stderr.strip()}",
                                 cause=cause, subdomain=subdomain, exit_status=outcome.exit_status, stderr=stderr)
    raise CoefficientError(f"coefficient generation failed{where}: {_describe_end(outcome.exit_status)}; "
                           f"standard error: {stderr.strip()!r}",
                           subdomain=subdomain, exit_status=outcome.exit_status, stderr=stderr)


def _check_threads(threads):
    if isinstance(threads, bool) or not isinstance(threads, int):
        raise TypeError("threads must be an integer")
    if threads < 0:
        raise ValueError("threads must be 0 (all cores) or a positive count")


def generate_coefficients(json_file, hdf5_file, frequency_file, file_out, subpixel_scheme=0, *, threads=1,
                          executor=None, progress=False):
    """Computes the coefficient file ``file_out`` from the specification, the grid and subdomain
    file and the frequency file (``str`` or ``os.PathLike`` paths), with the given subpixel scheme.

    ``threads`` is the thread count of each subdomain's computation (0: all cores). Without an
    ``executor`` the subdomains run one after another in one worker process; with one, each
    subdomain is a task of the executor. ``progress`` shows a progress bar over the subdomains.

    Raises SpecificationError when the specification cannot be loaded and CoefficientError when
    a subdomain fails; either way an earlier ``file_out`` is left untouched and no partial file
    remains. An output path that is one of the inputs raises ValueError before anything runs.
    """
    json_file, hdf5_file, frequency_file, file_out = (os.fspath(p) for p in
                                                      (json_file, hdf5_file, frequency_file, file_out))
    _check_threads(threads)
    _check_paths(json_file, hdf5_file, frequency_file, file_out)

    directory = os.path.dirname(os.path.abspath(file_out))
    work = tempfile.mkdtemp(prefix=f".{Path(file_out).name}.", suffix=".parts", dir=directory)
    try:
        result = os.path.join(work, "coefficients.h5")
        request = {"json_file": os.path.abspath(json_file), "frequency_file": os.path.abspath(frequency_file),
                   "subpixel_scheme": subpixel_scheme, "threads": threads}
        try:
            subdomains = list_subdomains(hdf5_file)
        except (OSError, KeyError, TypeError, ValueError):
            subdomains = None
        if not subdomains:
            # Nothing to split (or nothing readable to split): one plain run gives the generator's
            # own reaction to the file.
            outcome = run_jobs({**request, "jobs": [[0, os.path.abspath(hdf5_file), result]]})
            if outcome.exit_status != 0:
                _raise_for(outcome, None)
        else:
            _run_subdomains(request, hdf5_file, subdomains, work, executor, progress)
            gather([(s.name, _part_output(work, i)) for i, s in enumerate(subdomains)], result)
        os.replace(result, file_out)
    finally:
        shutil.rmtree(work, ignore_errors=True)


def _part_output(work, index):
    return os.path.join(work, f"{index}.out.h5")


def _run_subdomains(request, hdf5_file, subdomains, work, executor, progress):
    jobs = []
    for index, entry in enumerate(subdomains):
        part_input = os.path.join(work, f"{index}.in.h5")
        write_subdomain_file(hdf5_file, entry.name, part_input)
        jobs.append([index, part_input, _part_output(work, index)])

    with tqdm(total=len(subdomains), unit="subdomain", disable=not progress) as bar:
        def finished(index, seconds):
            entry = subdomains[index]
            bar.set_postfix(subdomain=entry.name, cells_per_s=f"{entry.cells / max(seconds, 1e-9):,.0f}")
            bar.update(1)

        if executor is None:
            outcome = run_jobs({**request, "jobs": jobs}, finished)
            if outcome.exit_status != 0:
                failed = outcome.unfinished
                _raise_for(outcome, subdomains[failed].name if failed is not None else None)
            return

        futures = {executor.submit(run_jobs, {**request, "jobs": [job]}): job[0] for job in jobs}
        pending = set(futures)
        while pending:
            done, pending = wait(pending, return_when=FIRST_EXCEPTION)
            for future in done:
                index = futures[future]
                try:
                    outcome = future.result()
                except Exception as error:  # the task itself failed: its process or host was lost
                    _stop(pending)
                    raise CoefficientError(f"the task of subdomain {subdomains[index].name!r} failed: {error!r}",
                                           subdomain=subdomains[index].name) from error
                if outcome.exit_status != 0:
                    _stop(pending)
                    _raise_for(outcome, subdomains[index].name)
                finished(index, outcome.finished.get(index, 0.0))


def _stop(pending):
    """Cancels the tasks not yet started and waits for the running ones, so that none writes into
    the work folder after it is removed."""
    for future in pending:
        future.cancel()
    wait(pending)
