"""python -m lumo_query: the command line; python -m lumo_query --help says more."""
import sys

from ._cli import main

if __name__ == "__main__":
    sys.exit(main())
