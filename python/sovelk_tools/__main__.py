"""``python -m sovelk_tools`` runs the ``sovelk`` command."""

import sys

from .cli import main

sys.exit(main())
