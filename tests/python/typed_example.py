"""Uses every public member with annotations; checked with `mypy --strict`."""
from typing import Any, List, Tuple

import lumo_query
from lumo_query import Query, TagGraph, parse_query, parse_tag_graph


def run() -> Tuple[bool, str, List[Any], List[Tuple[bool, str, str]], List[str]]:
    query: Query = parse_query("{ alice: employee } [-a:b]")
    strict: Query = lumo_query.parse_query(query="{ *: red }", validate=False)
    graph: TagGraph = parse_tag_graph("{ alice: employee, engineer }", True)
    loose: TagGraph = parse_tag_graph(graph="{ x: a, a }", validate=False)
    matched: bool = query.is_match(graph) and not strict.is_match(graph=loose)
    args: List[Any] = []
    sql: str = query.to_sql(args)
    sql += strict.to_sql(args=args)
    metas: List[Tuple[bool, str, str]] = query.meta_queries()
    tags: List[str] = sorted(graph.collect_tags())
    names: List[str] = list(lumo_query.__all__)
    return matched, sql, args + names, metas, tags


if __name__ == "__main__":
    print(run())
