"""``python -m lpa_host scan ...``: see ``lpa_host.cli``."""

import sys

from .cli import main

sys.exit(main())
