"""The command line: ``orbelle-gencoeffs`` (also ``python -m orbelle_extras``).

Exit status: 0 success, 1 a specification that does not load, 2 bad usage, 3 a failed
computation (an internal error, or a worker killed by a signal).
"""

import argparse
import sys

EXIT_LOAD = 1
EXIT_USAGE = 2
EXIT_FAILED = 3


def _plane(text):
    axis, _, value = text.partition("=")
    if axis not in ("x", "y", "z") or not value:
        raise argparse.ArgumentTypeError(f"expected AXIS=VALUE with AXIS x, y or z, got {text!r}")
    try:
        return "xyz".index(axis), float(value)
    except ValueError as error:
        raise argparse.ArgumentTypeError(f"not a number: {value!r}") from error


def _size(text):
    width, _, height = text.partition("x")
    try:
        size = int(width), int(height)
    except ValueError as error:
        raise argparse.ArgumentTypeError(f"expected WIDTHxHEIGHT in pixels, got {text!r}") from error
    if min(size) < 100:
        raise argparse.ArgumentTypeError("a picture needs at least 100 x 100 pixels")
    return size


def _parser():
    from orbelle_extras.coefficient_file import COMPONENTS, DIAGONAL

    parser = argparse.ArgumentParser(prog="orbelle-gencoeffs", description="Subpixel-averaged coefficients for FDTD grids.")
    commands = parser.add_subparsers(dest="command", required=True)

    run = commands.add_parser("run", help="compute the coefficient file")
    run.add_argument("spec")
    run.add_argument("grid")
    run.add_argument("freqs")
    run.add_argument("out")
    run.add_argument("--scheme", type=int, default=0, choices=(0, 1, 2))
    run.add_argument("--threads", type=int, default=1, help="threads per subdomain (0: all cores)")
    where = run.add_mutually_exclusive_group()
    where.add_argument("--workers", type=int, help="spread the subdomains over this many local worker processes")
    where.add_argument("--scheduler", help="spread the subdomains over the Dask cluster at this address")
    run.add_argument("--quiet", action="store_true", help="no progress bar")

    check = commands.add_parser("check", help="load the specification without computing")
    check.add_argument("spec")
    check.add_argument("grid", nargs="?", help="the grid file, for its gridded media")

    summary = commands.add_parser("summary", help="cell counts and value ranges per subdomain")
    summary.add_argument("out")

    show = commands.add_parser("show", help="draw a slice of one component")
    show.add_argument("out")
    show.add_argument("grid")
    show.add_argument("--subdomain", action="append", help="draw only this subdomain (repeatable)")
    show.add_argument("--component", default="xx", choices=list(DIAGONAL) + COMPONENTS)
    show.add_argument("--frequency", type=int, default=0)
    show.add_argument("--plane", type=_plane, help="AXIS=VALUE in micrometres (default: the middle in z)")
    show.add_argument("--output", default="slice.png")
    show.add_argument("--size", type=_size, default=(800, 600), help="WIDTHxHEIGHT in pixels")
    return parser


def _run(options):
    from orbelle_extras import CoefficientError, SpecificationError, generate_coefficients

    if options.threads < 0 or (options.workers is not None and options.workers < 1):
        print("orbelle-gencoeffs: --threads must be 0 or more, --workers 1 or more", file=sys.stderr)
        return EXIT_USAGE
    executor, closing = None, []
    try:
        if options.workers is not None:
            from concurrent.futures import ProcessPoolExecutor

            executor = ProcessPoolExecutor(options.workers)
            closing.append(executor.shutdown)
        elif options.scheduler is not None:
            from dask.distributed import Client

            client = Client(options.scheduler)
            closing.append(client.close)
            executor = client.get_executor()
        generate_coefficients(options.spec, options.grid, options.freqs, options.out, options.scheme,
                              threads=options.threads, executor=executor, progress=not options.quiet)
    except SpecificationError as error:
        print(f"orbelle-gencoeffs: {error}", file=sys.stderr)
        return EXIT_LOAD
    except CoefficientError as error:
        print(f"orbelle-gencoeffs: {error}", file=sys.stderr)
        return EXIT_FAILED
    except ValueError as error:
        print(f"orbelle-gencoeffs: {error}", file=sys.stderr)
        return EXIT_USAGE
    finally:
        for close in closing:
            close()
    print(f"wrote {options.out}")
    return 0


def _check(options):
    from orbelle_extras import CoefficientError, SpecificationError
    from orbelle_extras.specification_check import check_specification

    try:
        line = check_specification(options.spec, options.grid)
    except SpecificationError as error:
        print(f"failed: {error.cause or error}")
        return EXIT_LOAD
    except CoefficientError as error:
        print(f"orbelle-gencoeffs: {error}", file=sys.stderr)
        return EXIT_FAILED
    except OSError as error:
        print(f"orbelle-gencoeffs: {error}", file=sys.stderr)
        return EXIT_USAGE
    print(f"ok: {line}")
    return 0


def _summary(options):
    from orbelle_extras.coefficient_file import COMPONENTS, summarize

    for s in summarize(options.out):
        print(f"{s.name}: {s.shape[0]} frequencies x {s.shape[1]} x {s.shape[2]} x {s.shape[3]} cells; "
              f"{s.identity} identity, {s.uniform} uniform, {s.averaged} averaged, {s.conductor} conductor")
        for component in COMPONENTS:
            r = s.ranges[component]
            print(f"  {component}: " + ("only conductor marks" if r is None else f"{r[0]:.6g} .. {r[1]:.6g}"))
    return 0


def _show(options):
    from orbelle_extras.slice_picture import draw_slice

    component = options.component if "_" in options.component else f"eps_{options.component}"
    try:
        draw_slice(options.out, options.grid, options.output, component, options.frequency, options.plane,
                   options.subdomain, options.size)
    except (ValueError, KeyError, IndexError) as error:
        print(f"orbelle-gencoeffs: {error}", file=sys.stderr)
        return EXIT_USAGE
    print(f"wrote {options.output}")
    return 0


def main(argv=None):
    options = _parser().parse_args(argv)
    return {"run": _run, "check": _check, "summary": _summary, "show": _show}[options.command](options)


if __name__ == "__main__":
    sys.exit(main())
