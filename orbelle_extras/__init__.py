"""Extras of the Orbelle electromagnetic simulation package.

The native coefficient generator lives in ``orbelle_extras._isolated_extension``. It is meant to
be imported only inside a worker subprocess (it ends the process on internal errors), so this
package does not import it.
"""
