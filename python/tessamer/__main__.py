"""python3 -m tessamer: the tessamer-check command (see python3 -m tessamer --help)."""

import sys

from ._cli import main

sys.exit(main(prog="python3 -m tessamer"))
