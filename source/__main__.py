"""``python -m source``: the keltran command line."""
import sys

from source.cli import main

sys.exit(main())
