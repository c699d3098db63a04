#!/usr/bin/env python3
"""Find records whose tag graph matches a query.

The records of examples/data/records.json (an id, a title and a tag graph
text each) are loaded into a database table whose `tags` column holds every
tag and identity of the record's graph (`TagGraph.collect_tags()`). A query
is then answered in two steps:

1. the database selects the candidate rows with the condition and parameters
   of `Query.to_sql`, run unchanged (the GIN index on `tags` serves it in
   PostgreSQL);
2. `Query.is_match` confirms each candidate against its graph, which checks
   what a flat tag array cannot: nesting, negations and relations.

By default the database is DuckDB, in process; `--postgres DSN` runs the same
steps against a PostgreSQL server (in a temporary table).

Examples:
    python3 examples/find.py
    python3 examples/find.py '{ * : person, manager { * > @d : signed }  * @d : document, confidential }'
    python3 examples/find.py '{ review @r  * : person { * > @d(@r) : approved }  contract @d }'
    python3 examples/find.py '{ laptop : norvale / kestrel, -retired { screen : cracked } }'
    python3 examples/find.py '{ * : person { * > @d : uses }  laptop @d : retired }'
"""

from __future__ import annotations

import argparse
import json
import os
import sys
from pathlib import Path
from typing import Dict, List, Sequence, Tuple

import lumo_query

# Phones without encryption whose battery is worn: the tag array of a record
# holds phone, battery and worn also when the worn battery belongs to another
# device, or when the phone is encrypted; is_match sorts those out.
DEFAULT_QUERY = "{ phone : -encrypted { battery : worn } }"
DEFAULT_DATA = Path(__file__).resolve().parent / "data" / "records.json"

Row = Tuple[int, str, List[str]]


class DuckDatabase:
    """An in-process DuckDB database holding the records table."""

    name = "duckdb (in process)"

    def __init__(self) -> None:
        import duckdb

        self.conn = duckdb.connect(":memory:")
        self.conn.execute("CREATE TABLE records "
                          "(id INTEGER PRIMARY KEY, title VARCHAR, tags VARCHAR[])")

    def load(self, rows: Sequence[Row]) -> None:
        self.conn.executemany("INSERT INTO records VALUES ($1, $2, $3)", rows)

    def ids(self, condition: str, params: list) -> List[int]:
        sql = f"SELECT id FROM records WHERE {condition} ORDER BY id"
        return [row[0] for row in self.conn.execute(sql, params).fetchall()]

    def close(self) -> None:
        self.conn.close()


class PostgresDatabase:
    """A PostgreSQL server; the records go into a temporary table."""

    def __init__(self, dsn: str) -> None:
        import psycopg

        self.name = "postgresql"
        self.conn = psycopg.connect(dsn, autocommit=True,
                                    cursor_factory=psycopg.RawCursor)
        cur = self.conn.cursor()
        cur.execute("CREATE TEMPORARY TABLE records "
                    "(id integer PRIMARY KEY, title text, tags text[] NOT NULL)")
        cur.execute("CREATE INDEX ON records USING gin (tags)")

    def load(self, rows: Sequence[Row]) -> None:
        cur = self.conn.cursor()
        cur.executemany("INSERT INTO records VALUES ($1, $2, $3)", rows)
        cur.execute("ANALYZE records")

    def ids(self, condition: str, params: list) -> List[int]:
        cur = self.conn.cursor()
        cur.execute(f"SELECT id FROM records WHERE {condition} ORDER BY id", params)
        return [row[0] for row in cur.fetchall()]

    def close(self) -> None:
        self.conn.close()


def load_graphs(path: Path) -> Tuple[Dict[int, "lumo_query.TagGraph"], Dict[int, str]]:
    records = json.loads(path.read_text(encoding="utf-8"))
    graphs, titles = {}, {}
    for record in records:
        try:
            graphs[record["id"]] = lumo_query.parse_tag_graph(record["graph"])
        except ValueError as error:
            raise SystemExit(f"record {record['id']} of {path} is not a valid "
                             f"tag graph:\n{error}")
        titles[record["id"]] = record["title"]
    return graphs, titles


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        description=__doc__.split("\n\n")[0],
        epilog=__doc__[__doc__.index("Examples:"):],
        formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("query", nargs="?", default=DEFAULT_QUERY,
                        help=f"query text (default: {DEFAULT_QUERY})")
    parser.add_argument("--data", type=Path, default=DEFAULT_DATA,
                        help="records file (JSON list of id, title, graph)")
    parser.add_argument("--postgres", metavar="DSN",
                        help="use this PostgreSQL server instead of DuckDB")
    options = parser.parse_args(argv)

    try:
        query = lumo_query.parse_query(options.query)
    except ValueError as error:
        print(error, file=sys.stderr)
        return 2

    graphs, titles = load_graphs(options.data)
    database = (PostgresDatabase(options.postgres) if options.postgres
                else DuckDatabase())
    try:
        database.load([(rid, titles[rid], graph.collect_tags())
                       for rid, graph in graphs.items()])
        params: list = []
        condition = query.to_sql(params)
        candidates = database.ids(condition, params)
    finally:
        database.close()
    matches = [rid for rid in candidates if query.is_match(graphs[rid])]

    print(f"query:      {options.query}")
    meta = query.meta_queries()
    if meta:
        print(f"meta:       {meta}")
    print(f"database:   {database.name}")
    print(f"sql:        SELECT id FROM records WHERE {condition}")
    print(f"parameters: {params}")
    print(f"records:             {len(graphs):5d}")
    print(f"after SQL prefilter: {len(candidates):5d}")
    print(f"after is_match:      {len(matches):5d}")
    print()
    if matches:
        print("matching records:")
        for rid in matches:
            print(f"  {rid:4d}  {titles[rid]}")
    else:
        print("no record matches.")
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except BrokenPipeError:
        # The reader went away (for instance `| head`): stop quietly.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        sys.exit(1)
