"""Queries and tag graphs in one small tag language: parse, match, and SQL prefilters."""
# The names live in the extension module lumo_query._lumo_query; this package
# re-exports them, so that callers keep importing them from lumo_query, and
# holds the command line (python -m lumo_query, see __main__.py).
import sys as _sys

# The extension is initialised once per process; importing the package again
# (after removing it from sys.modules) is refused as importing the extension
# again always was.
if __name__ + "._lumo_query" in _sys.modules:
    raise ImportError("lumo_query may be initialized only once per interpreter process")
del _sys

from ._lumo_query import Query, TagGraph, __version__, parse_query, parse_tag_graph  # noqa: E402
from ._lumo_query import __all__, _signal_at_first_poll  # noqa: E402

__all__ = list(__all__)
