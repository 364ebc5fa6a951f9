"""Lets ``python -m csv_vornish`` run the command line."""

import sys

from csv_vornish.cli import main

if __name__ == "__main__":
    sys.exit(main())
