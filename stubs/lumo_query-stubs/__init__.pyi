"""Queries and tag graphs in one small tag language: parse, match, and SQL prefilters."""
from typing import Any, final

__all__ = ["Query", "TagGraph", "parse_query", "parse_tag_graph"]

__version__: str
"""The package's version, as ``importlib.metadata.version("lumo_query")`` gives it."""

@final
class Query:
    """A parsed query: which subjects must exist, with which identities and tags.

    Made by :func:`parse_query` only (the class has no constructor). A query
    is immutable; it pickles as its text, so it can be sent to other
    processes. Equality and hashing are by identity.
    """

    def is_match(self, graph: TagGraph) -> bool:
        """Whether this query holds in ``graph``.

        Every query subject must be given a graph subject that carries its
        identity, satisfies its tag expression on its subtree's tags, and lies
        inside the subject given to its parent (a relation subject may lie
        anywhere), and every relation entry must be among the graph's
        relations. Long matches stop when a signal handler raises
        (``KeyboardInterrupt`` on Ctrl-C).
        """
    def explain(self, graph: TagGraph) -> str:
        """Why this query does or does not hold in ``graph``, as text.

        The first line is ``match`` exactly when :meth:`is_match` is true.
        A match lists one assignment of query subjects to graph subjects; a
        failure names the query subject that could not be placed, where its
        parent was placed, and the closest graph subjects with what each
        lacks (a missing tag, an excluded tag), or the relation entries that
        no graph relation meets. Subjects are written as paths of their
        identities (``alice > laptop``), graph subjects with their number in
        text order (``#2``). It takes about as long as :meth:`is_match` and
        stops on signals like it.
        """
    def to_sql(self, args: list[Any]) -> str:
        """A SQL condition on a ``tags text[]`` column that every matching graph's tags meet.

        The values are appended to ``args`` (a ``str`` or a new ``list`` of
        ``str`` each) and the condition refers to them as ``$n``, numbered
        from the list's length before the call, so one list can collect the
        parameters of several conditions. A prefilter only: confirm each row
        with :meth:`is_match`.
        """
    def meta_queries(self) -> list[tuple[bool, str, str]]:
        """The query's meta queries ``[key:value]`` as ``(negated, key, value)``, in text order."""
    def __reduce__(self) -> tuple[Any, ...]:
        """Pickles the query as ``parse_query(text, validate)``."""

@final
class TagGraph:
    """A parsed tag graph: actual subjects with their tags, nesting and relations.

    Made by :func:`parse_tag_graph` only (the class has no constructor). A
    graph is immutable; it pickles as its text, so it can be sent to other
    processes. Equality and hashing are by identity.
    """

    def collect_tags(self) -> list[str]:
        """Every distinct tag and identity of the graph, ``context`` included, in no set order.

        Store it in a ``text[]`` column named ``tags`` for the condition of
        :meth:`Query.to_sql`.
        """
    def __reduce__(self) -> tuple[Any, ...]:
        """Pickles the graph as ``parse_tag_graph(text, validate)``."""

def parse_query(query: str, validate: bool = True) -> Query:
    """Parses and checks a query text.

    Raises ``ValueError`` with a report (the message, the line and a caret)
    for a syntax or validation error. ``validate`` changes nothing for
    queries; it is accepted for symmetry with :func:`parse_tag_graph`.
    """

def parse_tag_graph(graph: str, validate: bool = True) -> TagGraph:
    """Parses and checks a tag graph text.

    Raises ``ValueError`` with a report (the message, the line and a caret)
    for a syntax or validation error. ``validate=False`` accepts a tag or an
    identity repeated within one graph subject.
    """
