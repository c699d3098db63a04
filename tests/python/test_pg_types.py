"""The extension's stored types: lumo_graph, lumo_query and graph @@ query.

A lumo_graph value is read and checked once, when it is made, and matched
from its stored index after that; these tests hold it to the module's
answers on the generated pairs of test_pg_extension.py (errors included),
through every way a value travels (text out and in, binary COPY, pg_dump
and restore), against damaged binary input, and through installing as a
non-superuser and updating from 0.1.0.
"""

from __future__ import annotations

import os
import random
import struct
import subprocess
from typing import List

import pytest

import lumo_query
from pg_server import DB_USER, PgServer, pg_server  # noqa: F401  (fixture)
from test_pg_extension import (INVALID_TEXT, QUERY_CANCELED, backend_memory_kb,  # noqa: F401
                               connect, create_extension, ext, module_match, module_tags,
                               pair_table, pairs, pigeonhole, server_form)

psycopg = pytest.importorskip("psycopg")


@pytest.fixture(scope="module")
def typed(ext, pair_table):  # noqa: F811
    """The pairs, with a PL/pgSQL wrapper that makes the query, then the
    graph (the module's order of errors), and matches with @@."""
    ext.execute("""
        CREATE OR REPLACE FUNCTION try_stored(q text, g text, OUT matched boolean,
                                              OUT state text, OUT message text,
                                              OUT detail text) AS $$
        DECLARE
          query lumo_query;
          graph lumo_graph;
        BEGIN
          query := q;
          graph := g;
          matched := graph @@ query;
        EXCEPTION WHEN others THEN
          GET STACKED DIAGNOSTICS state = RETURNED_SQLSTATE, message = MESSAGE_TEXT,
                                  detail = PG_EXCEPTION_DETAIL;
        END $$ LANGUAGE plpgsql""")
    return pair_table


def test_stored_pairs_agree_with_the_module(ext, typed):  # noqa: F811
    got = ext.execute("SELECT id, r.* FROM pairs, LATERAL try_stored(q, g) r ORDER BY id"
                      ).fetchall()
    wrong = []
    for pid, matched, state, message, detail in got:
        want = typed.expected[pid]
        have = ("match", matched) if state is None else \
            ("error", message, detail or "") if state == INVALID_TEXT else (state, message)
        if have != want:
            wrong.append((typed.rows[pid][1:], want, have))
    assert len(got) == len(typed.rows)
    assert not wrong, f"{len(wrong)} pairs differ, first: {wrong[0]}"


@pytest.fixture(scope="module")
def stored(ext, typed):  # noqa: F811
    """The valid pairs in a table with typed columns."""
    valid = [(pid, q, g) for pid, q, g in typed.rows if typed.expected[pid][0] == "match"]
    ext.execute("DROP TABLE IF EXISTS stored_pairs")
    ext.execute("CREATE TABLE stored_pairs (id int PRIMARY KEY, q lumo_query, g lumo_graph)")
    ext.cursor().executemany("INSERT INTO stored_pairs VALUES ($1, $2, $3)", valid)
    ext.execute("CREATE INDEX stored_pairs_gin ON stored_pairs USING gin (g)")
    return {pid: typed.expected[pid][1] for pid, _, _ in valid}


def answers(conn, table: str = "stored_pairs") -> dict:
    return dict(conn.execute(f"SELECT id, g @@ q FROM {table}").fetchall())


def test_stored_tags_and_texts(ext, typed, stored):  # noqa: F811
    rows = ext.execute("SELECT g::text, lumo_tags(g), q::text FROM stored_pairs").fetchall()
    graphs = {g for _, _, g in typed.rows}
    for graph, tags, query in rows:
        assert graph in graphs  # the text is kept as it was written
        assert ("tags", sorted(tags)) == module_tags(graph)
    assert answers(ext) == stored
    # Text out and in again, in one statement.
    assert dict(ext.execute("SELECT id, g::text::lumo_graph @@ q::text::lumo_query "
                            "FROM stored_pairs").fetchall()) == stored


def test_binary_copy_round_trip(ext, stored):  # noqa: F811
    ext.execute("DROP TABLE IF EXISTS copied_pairs")
    ext.execute("CREATE TABLE copied_pairs (LIKE stored_pairs)")
    with ext.cursor() as out_cur, ext.cursor() as in_cur:
        with out_cur.copy("COPY stored_pairs TO STDOUT (FORMAT BINARY)") as out:
            data = b"".join(bytes(chunk) for chunk in out)
        with in_cur.copy("COPY copied_pairs FROM STDIN (FORMAT BINARY)") as into:
            into.write(data)
    assert answers(ext, "copied_pairs") == stored


def tool(server: PgServer, name: str, *args: str, stdin: bytes = b"") -> bytes:
    done = subprocess.run([os.path.join(server.bindir, name), "-h", str(server.sockdir),
                           "-p", str(server.port), "-U", DB_USER, *args],
                          input=stdin, capture_output=True, timeout=300)
    assert done.returncode == 0, done.stderr.decode(errors="replace")
    return done.stdout


def test_dump_and_restore(pg_server, ext, stored):  # noqa: F811
    dump = tool(pg_server, "pg_dump", "-Fc", "-t", "stored_pairs", "-d", "postgres")
    admin = connect(pg_server)
    admin.execute("DROP DATABASE IF EXISTS lumo_restored")
    admin.execute("CREATE DATABASE lumo_restored")
    try:
        restored = connect(pg_server, "lumo_restored")
        create_extension(restored)
        tool(pg_server, "pg_restore", "-d", "lumo_restored", stdin=dump)
        assert answers(restored) == stored
        # The index came back, and serves a query.
        restored.execute("SET enable_seqscan = off")
        sql = "SELECT count(*) FROM stored_pairs WHERE g @@ '{ * }'"
        plan = "\n".join(row[0] for row in restored.execute("EXPLAIN " + sql))
        assert "stored_pairs_gin" in plan, plan
        assert restored.execute(sql).fetchone() == (len(stored),)
        restored.close()
    finally:
        admin.execute("DROP DATABASE lumo_restored WITH (FORCE)")
        admin.close()


# -- binary input is untrusted -----------------------------------------------------

def copy_binary(values: List[bytes]) -> bytes:
    """A binary COPY stream of one-column rows holding `values`."""
    out = [b"PGCOPY\n\xff\r\n\x00", struct.pack("!ii", 0, 0)]
    for value in values:
        out.append(struct.pack("!hi", 1, len(value)) + value)
    out.append(struct.pack("!h", -1))
    return b"".join(out)


def mutated(rng: random.Random, value: bytes) -> bytes:
    data = bytearray(value)
    for _ in range(rng.randint(1, 4)):
        roll = rng.random()
        at = rng.randrange(len(data) + 1)
        if roll < 0.4 and data:
            data[min(at, len(data) - 1)] = rng.randrange(256)
        elif roll < 0.7:
            data[at:at] = bytes([rng.randrange(256)])
        elif data:
            del data[min(at, len(data) - 1)]
    return bytes(data)


@pytest.mark.parametrize("column", ["lumo_graph", "lumo_query"])
def test_received_bytes_are_checked(ext, typed, column):  # noqa: F811
    """Mutated binary values: each is refused with an SQL error or stored as
    exactly what its text says; the backend never fails."""
    rng = random.Random(99 if column == "lumo_graph" else 100)
    texts = sorted({g if column == "lumo_graph" else q for _, q, g in typed.rows})
    ext.execute("DROP TABLE IF EXISTS received")
    ext.execute(f"CREATE TABLE received (v {column})")
    refused = accepted = 0
    for round_ in range(600):
        value = mutated(rng, b"\x01" + rng.choice(texts).encode())
        if round_ % 10 == 0:
            value = bytes(rng.randrange(256) for _ in range(rng.randrange(12)))
        try:
            with ext.cursor() as cur:
                with cur.copy("COPY received FROM STDIN (FORMAT BINARY)") as into:
                    into.write(copy_binary([value]))
        except psycopg.Error as error:
            assert error.sqlstate in {INVALID_TEXT, "22P03", "22021", "08P01"}, error
            refused += 1
            continue
        accepted += 1
        text = value[1:].decode()
        parse = lumo_query.parse_tag_graph if column == "lumo_graph" else lumo_query.parse_query
        parse(text)  # the module accepts what the server accepted
    assert ext.execute("SELECT count(*) FROM received").fetchone() == (accepted,)
    assert ext.execute("SELECT v::text FROM received").fetchall() is not None
    assert refused > 100 and accepted > 10, (refused, accepted)


# -- errors, cancellation, memory ---------------------------------------------------

@pytest.mark.parametrize("text", ["{ a: (b }", "{ x: a, a }", "{ * > @nope }"])
def test_input_errors_are_the_modules(ext, text):  # noqa: F811
    for kind, parse in [("lumo_graph", lumo_query.parse_tag_graph),
                        ("lumo_query", lumo_query.parse_query)]:
        try:
            parse(text)
            continue
        except ValueError as error:
            first, _, rest = server_form(str(error)).partition("\n")
        with pytest.raises(psycopg.Error) as info:
            ext.execute(f"SELECT $1::text::{kind}", [text])
        diag = info.value.diag
        assert (info.value.sqlstate, diag.message_primary, diag.message_detail or "") == \
            (INVALID_TEXT, first, rest)


def test_a_nul_tag_is_stored_but_not_listed(ext):  # noqa: F811
    graph = '{ x: "a\\u0000b" }'
    assert ext.execute("SELECT $1::text::lumo_graph @@ '{ *: \"a\\u0000b\" }'",
                       [graph]).fetchone() == (True,)
    assert ext.execute("SELECT $1::text::lumo_graph::text", [graph]).fetchone() == (graph,)
    with pytest.raises(psycopg.Error) as info:
        ext.execute("SELECT lumo_tags($1::text::lumo_graph)", [graph])
    assert info.value.sqlstate == "22P05"


def test_statement_timeout_stops_a_hostile_match_on_stored_graphs(pg_server):  # noqa: F811
    conn = connect(pg_server)
    create_extension(conn)
    query, graph = pigeonhole(10)
    conn.execute("DROP TABLE IF EXISTS hostile_stored")
    conn.execute("CREATE TABLE hostile_stored AS SELECT i, $1::text::lumo_graph AS g "
                 "FROM generate_series(1, 3) i", [graph])
    conn.execute("SET statement_timeout = 500")
    with pytest.raises(psycopg.Error) as info:
        conn.execute("SELECT count(*) FROM hostile_stored WHERE g @@ $1::text::lumo_query",
                     [query])
    assert info.value.sqlstate == QUERY_CANCELED
    assert conn.execute("SELECT '{ a }'::lumo_graph @@ '{ a }'").fetchone() == (True,)
    conn.close()


def stored_calls(conn, n: int) -> None:
    conn.execute("SELECT count(*) FROM (SELECT generate_series(1, $1) i) s "
                 "WHERE ('{ a: x' || (i % 97) || ' { b: t' || i || ' } }')::lumo_graph "
                 "@@ ('{ a: x' || (i % 13) || ' }')::lumo_query", [n])
    conn.execute("SELECT sum(cardinality(lumo_tags(('{ a: t' || i || ' }')::lumo_graph))) "
                 "FROM (SELECT generate_series(1, $1) i) s", [n // 4])
    conn.execute("""
        DO $$
        DECLARE i int;
        BEGIN
          FOR i IN 1 .. %s LOOP
            BEGIN
              CASE i %% 2
                WHEN 0 THEN PERFORM ('{ a: (' || i)::lumo_graph;
                ELSE PERFORM ('{ * > @x' || i || ' }')::lumo_query;
              END CASE;
            EXCEPTION WHEN invalid_text_representation THEN NULL;
            END;
          END LOOP;
        END $$""" % (n // 10))


def test_memory_stays_flat_over_a_million_stored_calls(pg_server):  # noqa: F811
    conn = connect(pg_server)
    create_extension(conn)
    conn.execute("SET jit = off")
    stored_calls(conn, 50_000)
    before = backend_memory_kb(conn)
    stored_calls(conn, 750_000)
    after = backend_memory_kb(conn)
    conn.close()
    assert after - before < 512, (before, after)


def test_parallel_workers_match_stored_graphs(ext, stored):  # noqa: F811
    conn = ext
    conn.execute("SET max_parallel_workers_per_gather = 2")
    conn.execute("SET parallel_setup_cost = 0")
    conn.execute("SET parallel_tuple_cost = 0")
    conn.execute("SET min_parallel_table_scan_size = 0")
    try:
        sql = "SELECT id FROM stored_pairs WHERE g @@ q"
        plan = "\n".join(row[0] for row in conn.execute("EXPLAIN " + sql))
        assert "Gather" in plan, plan
        got = {row[0] for row in conn.execute(sql)}
    finally:
        conn.execute("RESET ALL")
    assert got == {pid for pid, matched in stored.items() if matched}


# -- installing ---------------------------------------------------------------------

def test_a_non_superuser_installs_and_updates(pg_server):  # noqa: F811
    admin = connect(pg_server)
    admin.execute("DROP DATABASE IF EXISTS lumo_plain")
    admin.execute("DROP ROLE IF EXISTS lumo_plain_user")
    admin.execute("CREATE ROLE lumo_plain_user LOGIN")
    admin.execute("CREATE DATABASE lumo_plain")
    admin.execute("GRANT CREATE ON DATABASE lumo_plain TO lumo_plain_user")
    try:
        info = pg_server.conninfo().replace(f"user={DB_USER}", "user=lumo_plain_user")
        conn = psycopg.connect(info.replace("dbname=postgres", "dbname=lumo_plain"),
                               autocommit=True)
        assert conn.execute("SELECT rolsuper FROM pg_roles WHERE rolname = current_user"
                            ).fetchone() == (False,)
        # Since PostgreSQL 15 only the database owner may create in public:
        # the user makes a schema of their own (CREATE on the database).
        conn.execute("CREATE SCHEMA app")
        conn.execute("SET search_path = app")
        conn.execute("CREATE EXTENSION lumo_query VERSION '0.1.0'")
        assert conn.execute("SELECT to_regtype('lumo_graph')").fetchone() == (None,)
        conn.execute("CREATE TABLE kept AS SELECT lumo_is_match('{ a }', '{ a }') AS m")
        conn.execute("ALTER EXTENSION lumo_query UPDATE")
        assert conn.execute("SELECT extversion FROM pg_extension WHERE extname = 'lumo_query'"
                            ).fetchone() == ("0.2.0",)
        assert conn.execute("SELECT m, lumo_is_match('{ a }', '{ b }'), "
                            "'{ a: x }'::lumo_graph @@ '{ *: x }' FROM kept"
                            ).fetchone() == (True, False, True)
        conn.execute("DROP TABLE kept")
        conn.execute("DROP EXTENSION lumo_query")
        conn.execute("CREATE EXTENSION lumo_query")
        assert conn.execute("SELECT '{ a }'::lumo_graph @@ '{ a }'").fetchone() == (True,)
        conn.close()
    finally:
        admin.execute("DROP DATABASE lumo_plain WITH (FORCE)")
        admin.execute("DROP ROLE lumo_plain_user")
        admin.close()


# -- the GIN operator class ---------------------------------------------------------

NAMED_QUERIES = [
    "{ phone : -encrypted { battery : worn } }",        # narrow
    "{ * : person / document }",                          # broad, an any-list
    "{ * : -(person / document) { * : -healthy } }",     # negations only: every row
    "{ alice { * > @doc : wrote } doc }",                 # a relation
    "{ *(nobody-has-this) }",                             # nothing
    "{}",
]


@pytest.fixture(scope="module")
def indexed(ext, typed):  # noqa: F811
    """Every valid graph of the pairs and the example's records, with a GIN
    index; the queries are the pairs' valid ones and the named ones."""
    import sys
    sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "examples"))
    from make_records import make_records
    graphs = sorted({g for pid, _, g in typed.rows if typed.expected[pid][0] == "match"})
    graphs += [record["graph"] for record in make_records(3000, 5)]
    ext.execute("DROP TABLE IF EXISTS indexed_graphs")
    ext.execute("CREATE TABLE indexed_graphs (id int PRIMARY KEY, g lumo_graph)")
    ext.cursor().executemany("INSERT INTO indexed_graphs VALUES ($1, $2)", list(enumerate(graphs)))
    ext.execute("CREATE INDEX indexed_graphs_gin ON indexed_graphs USING gin (g)")
    ext.execute("ANALYZE indexed_graphs")
    queries = sorted({q for pid, q, _ in typed.rows if typed.expected[pid][0] == "match"})
    return graphs, NAMED_QUERIES + queries[:150]


def rows_of(conn, query: str, index: bool) -> set:
    conn.execute(f"SET enable_seqscan = {'off' if index else 'on'}")
    conn.execute(f"SET enable_bitmapscan = {'on' if index else 'off'}")
    conn.execute(f"SET enable_indexscan = {'on' if index else 'off'}")
    try:
        sql = "SELECT id FROM indexed_graphs WHERE g @@ $1::text::lumo_query"
        plan = "\n".join(row[0] for row in conn.execute("EXPLAIN " + sql, [query]))
        assert ("indexed_graphs_gin" in plan) == index, plan
        return {row[0] for row in conn.execute(sql, [query])}
    finally:
        conn.execute("RESET enable_seqscan")
        conn.execute("RESET enable_bitmapscan")
        conn.execute("RESET enable_indexscan")


def test_index_scans_return_the_rows_of_sequential_scans(ext, indexed):  # noqa: F811
    graphs, queries = indexed
    nonempty = 0
    for query in queries:
        seq = rows_of(ext, query, index=False)
        assert rows_of(ext, query, index=True) == seq, query
        nonempty += bool(seq)
    assert nonempty > 20
    # The named ones against the module.
    parsed = [lumo_query.parse_tag_graph(g) for g in graphs]
    for query in NAMED_QUERIES:
        compiled = lumo_query.parse_query(query)
        assert rows_of(ext, query, index=True) == \
            {i for i, g in enumerate(parsed) if compiled.is_match(g)}, query


def test_the_planner_picks_the_index_for_a_selective_query(ext, indexed):  # noqa: F811
    plan = "\n".join(row[0] for row in ext.execute(
        "EXPLAIN SELECT id FROM indexed_graphs WHERE g @@ '{ phone : -encrypted { battery : worn } }'"))
    assert "Bitmap Index Scan on indexed_graphs_gin" in plan, plan
