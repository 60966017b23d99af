"""The exceptions of the coefficient front end."""


class CoefficientError(RuntimeError):
    """A coefficient run failed: an internal error of the generator, a worker killed by a signal
    or by lack of memory, or an unusable input.

    ``subdomain`` names the subdomain that was being computed (None when the failure is not tied
    to one), ``exit_status`` is the worker's exit status (negative: the signal number that ended
    it; None when no worker ran) and ``stderr`` is what the worker wrote to its standard error.
    """

    def __init__(self, message, *, subdomain=None, exit_status=None, stderr=""):
        super().__init__(message)
        self.subdomain = subdomain
        self.exit_status = exit_status
        self.stderr = stderr


class SpecificationError(CoefficientError):
    """The simulation specification could not be loaded. ``cause`` says which value was wrong
    and why (for example ``struct_list[3].radius: expected a number, got string``), or is None
    when the loader gave none."""

    def __init__(self, message, *, cause=None, **details):
        super().__init__(message, **details)
        self.cause = cause
