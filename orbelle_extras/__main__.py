"""``python -m orbelle_extras``: the command line."""

import sys

from orbelle_extras.cli import main

sys.exit(main())
