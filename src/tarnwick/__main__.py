"""``python -m tarnwick``: the command line."""

import sys

from tarnwick.cli import main

sys.exit(main())
