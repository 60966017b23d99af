"""Extras of the Orbelle electromagnetic simulation package.

``generate_coefficients`` computes a coefficient file safely: each run happens in a worker
process, failures become exceptions (``CoefficientError``, ``SpecificationError``) and the output
appears only when every subdomain succeeded.

The native coefficient generator lives in ``orbelle_extras._isolated_extension``. It is meant to
be imported only inside a worker subprocess (it ends the process on internal errors), so this
package does not import it.
"""

from orbelle_extras.errors import CoefficientError, SpecificationError
from orbelle_extras.frontend import generate_coefficients

__all__ = ["CoefficientError", "SpecificationError", "generate_coefficients"]
