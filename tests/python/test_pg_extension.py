"""The PostgreSQL extension (lumo_is_match, lumo_collect_tags) on a real server.

The throwaway server of pg_server.py loads the extension that
scripts/install-postgres-extension.sh installed. Every answer is checked
against the Python module on generated texts (test_postgres.py's
generators, plus damaged copies of them for the error paths); the rest
covers the uses the extension exists for: the one-statement prefilter and
match, a generated tags column, parallel plans, cancellation, out of
memory, and a backend whose memory stays flat over a million calls.
"""

from __future__ import annotations

import os
import random
import shutil
import signal
import subprocess
import threading
import time
from dataclasses import dataclass
from typing import Dict, List, Tuple

import pytest

import lumo_query
from pg_server import PgServer, pg_server, unavailable  # noqa: F401  (fixture)
from test_postgres import derived_query, random_graph, random_query

psycopg = pytest.importorskip("psycopg")

INVALID_TEXT = "22P02"
QUERY_CANCELED = "57014"


def connect(server: PgServer, dbname: str = "postgres"):
    return psycopg.connect(server.conninfo().replace("dbname=postgres", f"dbname={dbname}"),
                           autocommit=True, cursor_factory=psycopg.RawCursor)


def create_extension(conn) -> None:
    try:
        conn.execute("CREATE EXTENSION IF NOT EXISTS lumo_query")
    except psycopg.Error as error:
        unavailable("the lumo_query extension is not installed "
                    f"(run scripts/install-postgres-extension.sh): {error}")


@pytest.fixture(scope="module")
def ext(pg_server):  # noqa: F811
    """A connection of the module's own with the extension created, and a
    PL/pgSQL wrapper that turns an error into a row."""
    conn = connect(pg_server)
    create_extension(conn)
    conn.execute("""
        CREATE OR REPLACE FUNCTION try_match(q text, g text, OUT matched boolean,
                                             OUT state text, OUT message text,
                                             OUT detail text) AS $$
        BEGIN
          matched := lumo_is_match(q, g);
        EXCEPTION WHEN others THEN
          GET STACKED DIAGNOSTICS state = RETURNED_SQLSTATE, message = MESSAGE_TEXT,
                                  detail = PG_EXCEPTION_DETAIL;
        END $$ LANGUAGE plpgsql""")
    yield conn
    conn.close()


# -- the module's answers ----------------------------------------------------

Answer = Tuple  # ("match", bool) or ("error", first line, remaining lines)


WINDOW = 40  # characters the server's messages show each side of a caret


def windowed(line: str, caret: int) -> Tuple[str, int]:
    """`line` cut to WINDOW characters each side of character `caret`, as
    the server shows it, and where the caret's character is in the cut."""
    start, end = max(0, caret - WINDOW), min(len(line), caret + WINDOW + 1)
    lead = "..." if start > 0 else ""
    return lead + line[start:end] + ("..." if end < len(line) else ""), len(lead) + caret - start


def server_form(message: str) -> str:
    """The module's error text as the server gives it: the echo of the input
    cut to a window around the caret, a long subject path cut, a NUL
    written as its escape."""
    lines = message.split("\n")
    if lines[0] == "invalid syntax" and lines[1].startswith("parse error at line"):
        bar = lines[3].index(" | ") + 3
        echo, column = windowed(lines[3][bar:], len(lines[4]) - bar - 1)
        lines[3], lines[4] = lines[3][:bar] + echo, lines[4][:bar] + " " * column + "^"
    elif lines[0] == "invalid syntax":
        # The one-line form places its caret by bytes.
        offset = len(lines[2]) - 1
        caret = len(lines[1].encode()[:offset].decode())
        echo, at = windowed(lines[1], caret)
        lines[1], lines[2] = echo, " " * len(echo[:at].encode()) + "^"
    elif lines[0].startswith("subject not found: "):
        path = lines[0][len("subject not found: "):]
        if len(path) > 2 * WINDOW:
            lines[0] = "subject not found: " + path[:2 * WINDOW] + "..."
    return "\n".join(lines).replace("\0", "\\u0000")


def error_answer(error: ValueError) -> Answer:
    first, _, rest = server_form(str(error)).partition("\n")
    return ("error", first, rest)


def module_match(query: str, graph: str) -> Answer:
    try:
        compiled = lumo_query.parse_query(query)
        parsed = lumo_query.parse_tag_graph(graph)
    except ValueError as error:
        return error_answer(error)
    return ("match", compiled.is_match(parsed))


def module_tags(graph: str) -> Answer:
    try:
        return ("tags", sorted(lumo_query.parse_tag_graph(graph).collect_tags()))
    except ValueError as error:
        return error_answer(error)


# Characters whose insertion or removal breaks a text in many different ways:
# syntax, unresolved paths, relation rules, duplicates.
DAMAGE = list("{}()@>*:,/-.\"\\ \n") + ["a", "é", "@x", "> @", "{ x }"]


def damaged(rng: random.Random, text: str) -> str:
    cut = rng.randrange(len(text) + 1)
    roll = rng.random()
    if roll < 0.4:
        return text[:cut] + rng.choice(DAMAGE) + text[cut:]
    if roll < 0.7:
        return text[:cut] + text[cut + 1:]
    if roll < 0.85:
        return text[:cut]
    # A tag written twice on one subject: a duplicate for a graph only.
    return text.replace(": ", ": dup, dup, ", 1)


@dataclass
class Pairs:
    rows: List[Tuple[int, str, str]]     # id, query text, graph text
    expected: Dict[int, Answer]
    graphs: List[str]                    # every graph text used, valid or not


@pytest.fixture(scope="module")
def pairs() -> Pairs:
    rng = random.Random(1207)
    cases = [random_graph(rng, i) for i in range(400)]
    graphs = [case.text for case in cases]
    queries = [random_query(rng, i).text for i in range(300)]
    queries += ["", "{}", "red", "{ * }", "{ été: \"say \\\"hi\\\"\" }"]
    # Queries made to match a given graph, kept with it.
    derived = [(derived_query(rng, case, i).text, case.text)
               for i, case in enumerate(cases[:200])]
    rows = []
    for pid in range(4000):
        if pid % 3 == 0:
            query, graph = rng.choice(derived)
        else:
            query, graph = rng.choice(queries), rng.choice(graphs)
        if rng.random() < 0.12:
            query = damaged(rng, query)
        if rng.random() < 0.12:
            graph = damaged(rng, graph)
        rows.append((pid, query, graph))
    # Runs of one query text between changes, so that the cached query is
    # both reused and replaced, by texts of equal and of different length.
    rows.sort(key=lambda row: (row[1], row[0]))
    rows = [(pid, q, g) for pid, (_, q, g) in enumerate(rows)]
    expected = {pid: module_match(q, g) for pid, q, g in rows}
    return Pairs(rows, expected, sorted({g for _, _, g in rows}))


@pytest.fixture(scope="module")
def pair_table(ext, pairs):
    ext.execute("DROP TABLE IF EXISTS pairs")
    ext.execute("CREATE TABLE pairs (id int PRIMARY KEY, q text, g text)")
    ext.cursor().executemany("INSERT INTO pairs VALUES ($1, $2, $3)", pairs.rows)
    return pairs


def test_generated_pairs_cover_every_outcome(pairs):
    outcomes = [answer[0] if answer[0] == "error" else answer[1]
                for answer in pairs.expected.values()]
    firsts = {answer[1] for answer in pairs.expected.values() if answer[0] == "error"}
    assert outcomes.count(True) > 400 and outcomes.count(False) > 400
    assert outcomes.count("error") > 400
    assert {"invalid syntax", "duplicate tags"} <= firsts
    assert any(first.startswith("subject not found") for first in firsts)


def test_every_pair_in_one_statement_agrees(ext, pair_table):
    """Answers and errors as in Python, every pair in one statement (the
    PL/pgSQL wrapper's exception block turns each error into a row)."""
    got = ext.execute("SELECT id, r.* FROM pairs, LATERAL try_match(q, g) r ORDER BY id"
                      ).fetchall()
    assert len(got) == len(pair_table.rows)
    wrong = []
    for pid, matched, state, message, detail in got:
        want = pair_table.expected[pid]
        if want[0] == "match":
            have: Answer = ("match", matched) if state is None else (state, message, detail)
        else:
            have = ("error", message, detail) if state == INVALID_TEXT else (state, message)
        if have != want:
            wrong.append((pair_table.rows[pid][1:], want, have))
    assert not wrong, f"{len(wrong)} pairs differ, first: {wrong[0]}"


def test_valid_pairs_in_a_plain_select_agree(ext, pair_table):
    """One call site of a plain SELECT sees the query texts change from row
    to row: its cached query must follow them."""
    valid = {pid for pid, answer in pair_table.expected.items() if answer[0] == "match"}
    got = ext.execute("SELECT id, lumo_is_match(q, g) FROM pairs "
                      "WHERE id = ANY($1) ORDER BY id", [sorted(valid)]).fetchall()
    assert {pid: matched for pid, matched in got} == \
        {pid: pair_table.expected[pid][1] for pid in valid}


def test_collected_tags_agree(ext, pair_table):
    ext.execute("""
        CREATE OR REPLACE FUNCTION try_collect(g text, OUT tags text[], OUT state text,
                                               OUT message text, OUT detail text) AS $$
        BEGIN
          tags := lumo_collect_tags(g);
        EXCEPTION WHEN others THEN
          GET STACKED DIAGNOSTICS state = RETURNED_SQLSTATE, message = MESSAGE_TEXT,
                                  detail = PG_EXCEPTION_DETAIL;
        END $$ LANGUAGE plpgsql""")
    rows = ext.execute("SELECT g, r.* FROM (SELECT DISTINCT g FROM pairs) s, "
                       "LATERAL try_collect(g) r").fetchall()
    assert len(rows) == len(pair_table.graphs)
    wrong = []
    errors = 0
    for graph, tags, state, message, detail in rows:
        want = module_tags(graph)
        have = ("tags", sorted(tags)) if state is None else \
            ("error", message, detail) if state == INVALID_TEXT else (state, message)
        errors += have[0] == "error"
        if have != want:
            wrong.append((graph, want, have))
    assert not wrong, f"{len(wrong)} graphs differ, first: {wrong[0]}"
    assert errors > 20


@pytest.mark.parametrize("query, graph, message, has_detail", [
    ("{ alice: (red }", "{}", "invalid syntax", True),
    ("{ a }", "{ alice: (red }", "invalid syntax", True),
    ("{ a }", "{\n ok\n x: \"unterminated\n}", "invalid syntax", True),
    ("{ a }", "{ x: a, a }", "duplicate tags", False),
    ("{ a }", "{ x(x) }", "duplicate identities", False),
    ("{ * > @nope }", "{}", "subject not found: nope", False),
    ("{ *(x) { y(z) } }", "{}", "can only query one identity", False),
    ("{\n * > @r\n r > @r\n}", "{}",
     "relation's source, target & context cannot be another relation", False),
    ("{ a }", "{ r > @r(@r) }",
     "relation's context cannot be the relation itself or inside it", False),
    ("{ a }", "{ * > @nope : -x }", "invalid tags", False),
    # The query's error comes first when both texts are wrong.
    ("{ (", "{ x: a, a }", "invalid syntax", True),
])
def test_error_fields(ext, query, graph, message, has_detail):
    want = module_match(query, graph)
    assert want[:2] == ("error", message)
    with pytest.raises(psycopg.Error) as info:
        ext.execute("SELECT lumo_is_match($1, $2)", [query, graph])
    diag = info.value.diag
    assert (info.value.sqlstate, diag.message_primary) == (INVALID_TEXT, message)
    if has_detail:
        assert diag.message_detail == want[2] and "^" in want[2]
    else:
        assert diag.message_detail is None
    if query == "{ a }":
        with pytest.raises(psycopg.Error) as info:
            ext.execute("SELECT lumo_collect_tags($1)", [graph])
        assert (info.value.sqlstate, info.value.diag.message_primary) == (INVALID_TEXT, message)


NO_NUL_IN_TEXT = "22P05"  # untranslatable_character, as the server's JSON types say it


@pytest.mark.parametrize("escape", ["\\u0000", "\\u+000"])
def test_a_nul_tag_never_becomes_text(ext, escape):
    graph = f'{{ x: "a{escape}b", c }}'
    assert "a\0b" in lumo_query.parse_tag_graph(graph).collect_tags()  # the module keeps it
    with pytest.raises(psycopg.Error) as info:
        ext.execute("SELECT lumo_collect_tags($1)", [graph])
    diag = info.value.diag
    assert (info.value.sqlstate, diag.message_primary, diag.message_detail) == \
        (NO_NUL_IN_TEXT, "unsupported Unicode escape sequence",
         "\\u0000 cannot be converted to text.")
    # Matching has no text to make: it answers.
    assert ext.execute("SELECT lumo_is_match($1, $2)",
                       [f'{{ *: "a{escape}b" }}', graph]).fetchone() == (True,)


def test_a_nul_in_an_error_message_is_written_as_its_escape(ext):
    query = '{ * > @"a\\u0000b" }'
    with pytest.raises(ValueError, match="subject not found: a\0b"):
        lumo_query.parse_query(query)
    with pytest.raises(psycopg.Error) as info:
        ext.execute("SELECT lumo_is_match($1, '{}')", [query])
    assert info.value.diag.message_primary == "subject not found: a\\u0000b"


def echo_and_caret(detail: str) -> Tuple[str, str]:
    """The echoed line of an error detail and the line with its caret."""
    lines = detail.split("\n")
    return (lines[2], lines[3]) if lines[0].startswith("parse error at") else (lines[0], lines[1])


@pytest.mark.parametrize("text", [
    "{ " + "x " * 3_000_000 + "( }",
    "{ ( " + "x " * 3_000_000 + "}",
    "{\n  b: " + "x " * 3_000_000 + "(\n}",
    "{ * > @" + "p" * 1_000_000 + " }",
], ids=["end", "start", "lines", "path"])
def test_errors_echo_a_bounded_window_of_a_long_text(ext, text):
    try:
        lumo_query.parse_query(text)
    except ValueError as error:
        first, _, rest = str(error).partition("\n")
        want = ("error", first, rest)
    with pytest.raises(psycopg.Error) as info:
        ext.execute("SELECT lumo_is_match($1, '{}')", [text])
    diag = info.value.diag
    assert info.value.sqlstate == INVALID_TEXT
    assert diag.message_primary == want[1] or (
        diag.message_primary.endswith("...") and
        want[1].startswith(diag.message_primary[:-3]))
    shown = (diag.message_primary or "") + (diag.message_detail or "")
    assert len(shown.encode()) < 400, shown[:1000]
    if want[2]:
        echo, marks = echo_and_caret(diag.message_detail)
        full_echo, full_marks = echo_and_caret(want[2])
        assert "..." in echo
        # The caret stands under the same character, and what follows the
        # echo (what was expected) is the module's.
        assert echo[len(marks) - 1] == full_echo[len(full_marks) - 1], (echo, marks)
        assert diag.message_detail.split("\n")[4 if "|" in marks else 2:] == \
            want[2].split("\n")[4 if "|" in full_marks else 2:]


def test_cached_query_is_replaced_when_the_text_changes(ext):
    rows = ext.execute("""
        SELECT lumo_is_match(q, g) FROM (VALUES
          (1, '{ a }', '{ a }'), (2, '{ b }', '{ a }'), (3, '{ a }', '{ a }'),
          (4, '{ a { b } }', '{ a { b } }'), (5, '{ b { a } }', '{ a { b } }'),
          (6, '{ a { b } }', '{ b { a } }')) v(id, q, g) ORDER BY id""").fetchall()
    assert [row[0] for row in rows] == [True, False, True, True, False, False]


# Query texts in the order one call site meets them, each a prefix of the
# one before or after it, with the answer on the row's graph. A cache that
# compared only the bytes of the shorter text, or only as many bytes as the
# new text has, would answer some rows with the previous row's query.
PREFIX_ROWS = [
    ("{ a }", "{ a }", True),
    ("{ a } { b }", "{ a }", False),  # the cached text is a prefix of this one
    ("{ a }", "{ a }", True),  # this one is a prefix of the cached text
    ("{ a } { b }", "{ a }", False),
    ("{ a } { b }", "{ a } { b }", True),  # the same text again: reused
    ("", "{ a }", True),  # the empty text is a prefix of every text
    ("{ b }", "{ a }", False),
    ("", "{ a }", True),
    ("{ a: x }", "{ a: x }", True),
    ("{ a: x } { b }", "{ a: x }", False),
    ("{ a: x }", "{ a: x }", True),
]


def sql_literal(text: str) -> str:
    return "'" + text.replace("'", "''") + "'"


@pytest.fixture(scope="module")
def prefix_table(ext):
    """PREFIX_ROWS in a table without an index, inserted in order, so that a
    sequential scan meets them in that order."""
    ext.execute("DROP TABLE IF EXISTS prefix_rows")
    ext.execute("CREATE TABLE prefix_rows (n int, q text, g text)")
    for n, (query, graph, _) in enumerate(PREFIX_ROWS):
        ext.execute("INSERT INTO prefix_rows VALUES ($1, $2, $3)", [n, query, graph])
    return "prefix_rows"


def test_prefix_rows_answer_as_the_module_does():
    assert [module_match(q, g) for q, g, _ in PREFIX_ROWS] == \
        [("match", want) for _, _, want in PREFIX_ROWS]


def prefix_statements(table: str) -> Dict[str, str]:
    values = ", ".join(f"({n}, {sql_literal(q)}, {sql_literal(g)})"
                       for n, (q, g, _) in enumerate(PREFIX_ROWS))
    return {
        "values": f"SELECT n, lumo_is_match(q, g) FROM (VALUES {values}) v(n, q, g) ORDER BY n",
        "scan": f"SELECT n, lumo_is_match(q, g) FROM {table}",
        "filter": f"SELECT n, true FROM {table} WHERE lumo_is_match(q, g)",
    }


@pytest.mark.parametrize("shape", ["values", "scan", "filter"])
def test_cached_query_follows_texts_that_are_prefixes_of_each_other(ext, prefix_table, shape):
    """One statement, one call site, every row's query a prefix of its
    neighbour's or the other way round."""
    sql = prefix_statements(prefix_table)[shape]
    plan = "\n".join(row[0] for row in ext.execute("EXPLAIN (VERBOSE, COSTS OFF) " + sql))
    # Evaluated row by row, in the order of the rows: not folded into a
    # constant, and a plain scan where a table is read.
    assert "lumo_is_match(" in plan, plan
    if shape != "values":
        assert "Seq Scan on public.prefix_rows" in plan, plan
    got = ext.execute(sql).fetchall()
    if shape == "filter":
        assert [n for n, _ in got] == [n for n, row in enumerate(PREFIX_ROWS) if row[2]]
    else:
        assert [n for n, _ in got] == list(range(len(PREFIX_ROWS)))
        assert [matched for _, matched in got] == [want for _, _, want in PREFIX_ROWS]


def test_a_latin1_database_converts_texts(pg_server):  # noqa: F811
    admin = connect(pg_server)
    admin.execute("DROP DATABASE IF EXISTS lumo_latin1")
    admin.execute("CREATE DATABASE lumo_latin1 ENCODING 'LATIN1' TEMPLATE template0 "
                  "LC_COLLATE 'C' LC_CTYPE 'C'")
    try:
        conn = connect(pg_server, "lumo_latin1")
        create_extension(conn)
        tags = conn.execute("SELECT lumo_collect_tags('{ café: crème }')").fetchone()[0]
        assert sorted(tags) == ["café", "context", "crème"]
        assert conn.execute("SELECT lumo_is_match('{ café: crème }', '{ café: crème, x }'), "
                            "lumo_is_match('{ café: creme }', '{ café: crème }')"
                            ).fetchone() == (True, False)
        with pytest.raises(psycopg.Error) as info:
            conn.execute("SELECT lumo_is_match('{ é: (à }', '{}')")
        want = module_match("{ é: (à }", "{}")
        assert (info.value.diag.message_primary, info.value.diag.message_detail) == want[1:]
        conn.close()
    finally:
        admin.execute("DROP DATABASE lumo_latin1 WITH (FORCE)")
        admin.close()


def test_a_message_character_latin1_lacks_is_escaped(pg_server):  # noqa: F811
    admin = connect(pg_server)
    admin.execute("DROP DATABASE IF EXISTS lumo_latin1_messages")
    admin.execute("CREATE DATABASE lumo_latin1_messages ENCODING 'LATIN1' TEMPLATE template0 "
                  "LC_COLLATE 'C' LC_CTYPE 'C'")
    try:
        conn = connect(pg_server, "lumo_latin1_messages")
        create_extension(conn)
        for query, message in [('{ * > @"\\u+100" }', "subject not found: \\u0100"),
                               ('{ * > @"é\\uD83D\\uDE00x" }',
                                "subject not found: é\\uD83D\\uDE00x")]:
            with pytest.raises(psycopg.Error) as info:
                conn.execute(f"SELECT lumo_is_match('{query}', '{{ a }}')")
            assert (info.value.sqlstate, info.value.diag.message_primary) == \
                (INVALID_TEXT, message)
        conn.close()
    finally:
        admin.execute("DROP DATABASE lumo_latin1_messages WITH (FORCE)")
        admin.close()


# -- malformed UTF-8 -------------------------------------------------------------

@pytest.fixture(scope="module")
def sql_ascii(pg_server):  # noqa: F811
    """A connection to an SQL_ASCII database, which takes any bytes as text."""
    admin = connect(pg_server)
    admin.execute("DROP DATABASE IF EXISTS lumo_sql_ascii")
    admin.execute("CREATE DATABASE lumo_sql_ascii ENCODING 'SQL_ASCII' TEMPLATE template0 "
                  "LC_COLLATE 'C' LC_CTYPE 'C'")
    conn = connect(pg_server, "lumo_sql_ascii")
    create_extension(conn)
    yield conn
    conn.close()
    admin.execute("DROP DATABASE lumo_sql_ascii WITH (FORCE)")
    admin.close()


def escaped_literal(raw: bytes) -> str:
    """An E'' literal of `raw`, written in ASCII with \\x escapes."""
    return "E'" + "".join(chr(b) if 0x20 <= b < 0x7F and b not in b"'\\" else f"\\x{b:02x}"
                          for b in raw) + "'"


BAD_TEXT = "22021"  # character_not_in_repertoire: invalid byte sequence


@pytest.mark.parametrize("database", ["utf8", "sql_ascii"])
@pytest.mark.parametrize("bad", [b"\xc0\x80", b"\xc1\x81", b"\xe0\x80\x80", b"\xf0\x8f\xbf\xbf",
                                 b"\xed\xa0\x80", b"\xf4\x90\x80\x80", b"\xf5\x80\x80\x80",
                                 b"\xff", b"\xc3", b"\xf0\x9f\x98", b"\x80"], ids=bytes.hex)
def test_malformed_utf8_never_reaches_the_core(request, database, bad):
    """In a UTF-8 database the server refuses the text before any call; in an
    SQL_ASCII one, which stores any bytes, the extension's conversion to the
    core's UTF-8 checks them and refuses them the same way. Either way the
    error is the server's, never a verdict of the core on the bytes (which
    would take them in a quoted tag)."""
    conn = request.getfixturevalue("ext" if database == "utf8" else "sql_ascii")
    raw = b'{ a: "t' + bad + b'" }'
    text = escaped_literal(raw)
    if database == "sql_ascii":
        # The database itself takes the bytes: the refusal is the extension's.
        assert conn.execute(f"SELECT octet_length({text})").fetchone() == (len(raw),)
    good = escaped_literal('{ a: "t\u00e9" }'.encode())
    for sql in [f"SELECT lumo_is_match({text}, {good})", f"SELECT lumo_is_match({good}, {text})",
                f"SELECT lumo_collect_tags({text})"]:
        with pytest.raises(psycopg.Error) as info:
            conn.execute(sql)
        assert info.value.sqlstate == BAD_TEXT, sql
        assert info.value.diag.message_primary.startswith(
            f'invalid byte sequence for encoding "UTF8": 0x{bad[0]:02x}'), sql
    assert conn.execute(f"SELECT lumo_is_match({good}, {good})").fetchone() == (True,)


# -- the workflow in one statement ---------------------------------------------

@dataclass
class Records:
    graphs: List[str]
    parsed: list
    queries: List[str]


@pytest.fixture(scope="module")
def records(ext) -> Records:
    """A table whose tags column the database derives itself."""
    rng = random.Random(77)
    cases = [random_graph(rng, i) for i in range(3000)]
    graphs = [case.text for case in cases]
    queries = [derived_query(rng, rng.choice(cases), i).text if i % 2
               else random_query(rng, i).text for i in range(160)]
    queries += ["{ * { *: -red } }", "{ alice: secret }", "-(red, blue)"]
    ext.execute("DROP TABLE IF EXISTS records")
    ext.execute("""CREATE TABLE records (
        id int PRIMARY KEY, graph text NOT NULL,
        tags text[] GENERATED ALWAYS AS (lumo_collect_tags(graph)) STORED)""")
    ext.execute("CREATE INDEX records_tags ON records USING gin (tags)")
    ext.cursor().executemany("INSERT INTO records (id, graph) VALUES ($1, $2)",
                             list(enumerate(graphs)))
    ext.execute("ANALYZE records")
    return Records(graphs, [lumo_query.parse_tag_graph(g) for g in graphs], queries)


def one_statement(query: str) -> Tuple[str, list]:
    args: list = []
    condition = lumo_query.parse_query(query).to_sql(args)
    sql = (f"SELECT id FROM records WHERE {condition} "
           f"AND lumo_is_match(${len(args) + 1}, graph)")
    return sql, args + [query]


def application_loop(conn, query: str) -> List[int]:
    """The application-side way: fetch the prefiltered rows, match in Python."""
    compiled = lumo_query.parse_query(query)
    args: list = []
    condition = compiled.to_sql(args)
    rows = conn.execute(f"SELECT id, graph FROM records WHERE {condition}", args).fetchall()
    return sorted(rid for rid, graph in rows
                  if compiled.is_match(lumo_query.parse_tag_graph(graph)))


def test_generated_column_holds_the_collected_tags(ext, records):
    rows = ext.execute("SELECT id, tags FROM records ORDER BY id").fetchall()
    assert [sorted(tags) for _, tags in rows] == \
        [sorted(parsed.collect_tags()) for parsed in records.parsed]
    ext.execute("UPDATE records SET graph = '{ changed: now }' WHERE id = 0")
    assert sorted(ext.execute("SELECT tags FROM records WHERE id = 0").fetchone()[0]) == \
        ["changed", "context", "now"]
    ext.execute("UPDATE records SET graph = $1 WHERE id = 0", [records.graphs[0]])
    with pytest.raises(psycopg.Error) as info:
        ext.execute("INSERT INTO records (id, graph) VALUES (-1, '{ x: a, a }')")
    assert info.value.sqlstate == INVALID_TEXT


def test_one_statement_equals_the_application_loop(ext, records):
    matched_queries = 0
    for query in records.queries:
        sql, args = one_statement(query)
        got = sorted(row[0] for row in ext.execute(sql, args).fetchall())
        assert got == application_loop(ext, query), query
        truth = [i for i, parsed in enumerate(records.parsed)
                 if lumo_query.parse_query(query).is_match(parsed)]
        assert got == truth, query
        matched_queries += bool(got)
    assert matched_queries > len(records.queries) // 3


@pytest.mark.parametrize("query", ["{ alice: secret }", "{ *(laptop) { * : secret } }"])
def test_the_prefilter_uses_the_gin_index(ext, records, query):
    sql, args = one_statement(query)
    plan = "\n".join(row[0] for row in ext.execute("EXPLAIN " + sql, args).fetchall())
    assert "Bitmap Index Scan on records_tags" in plan, plan
    assert "lumo_is_match" in plan, plan


# -- parallel query ------------------------------------------------------------

def force_parallel(conn) -> None:
    names = {row[0] for row in conn.execute(
        "SELECT name FROM pg_settings "
        "WHERE name IN ('debug_parallel_query', 'force_parallel_mode')").fetchall()}
    force = "debug_parallel_query" if "debug_parallel_query" in names else "force_parallel_mode"
    for setting in ["max_parallel_workers_per_gather = 2", "parallel_setup_cost = 0",
                    "parallel_tuple_cost = 0", "min_parallel_table_scan_size = 0",
                    "enable_bitmapscan = off", f"{force} = on"]:
        conn.execute("SET " + setting)


@pytest.fixture
def parallel(pg_server):  # noqa: F811
    conn = connect(pg_server)
    create_extension(conn)
    force_parallel(conn)
    yield conn
    conn.close()


def test_parallel_plans_give_the_same_answers(parallel, records):
    checked = 0
    for query in records.queries[::4]:
        sql, args = one_statement(query)
        plan = "\n".join(row[0] for row in parallel.execute(
            "EXPLAIN (ANALYZE, COSTS OFF) " + sql, args).fetchall())
        assert "Gather" in plan and "Workers Launched: 0" not in plan, plan
        got = sorted(row[0] for row in parallel.execute(sql, args).fetchall())
        assert got == application_loop(parallel, query), query
        checked += bool(got)
    assert checked > 5
    tags = parallel.execute("SELECT id, lumo_collect_tags(graph) FROM records").fetchall()
    assert {rid: sorted(t) for rid, t in tags} == \
        {rid: sorted(p.collect_tags()) for rid, p in enumerate(records.parsed)}


# -- cancellation ----------------------------------------------------------------

def pigeonhole(colours: int) -> Tuple[str, str]:
    """A query that asks to colour a complete graph on colours + 1 vertices
    with the graph's `colours` colours, where an edge is a relation between
    two distinct colours. No colouring exists, and proving it takes any
    complete search a time exponential in `colours`."""
    query = ["{"]
    for i in range(colours + 1):
        query.append(f"  colour @v{i} {{")
        query.extend(f"    * > @v{j} : edge" for j in range(i + 1, colours + 1))
        query.append("  }")
    graph = ["{"]
    for i in range(colours):
        graph.append(f"  colour @c{i} {{")
        graph.extend(f"    * > @c{j} : edge" for j in range(colours) if j != i)
        graph.append("  }")
    return "\n".join(query + ["}"]), "\n".join(graph + ["}"])


def test_pigeonhole_has_its_answer_in_small():
    for colours, expected in [(2, False), (3, False)]:
        query, graph = pigeonhole(colours)
        assert module_match(query, graph) == ("match", expected)
        # One colour more than vertices need: a colouring exists.
        bigger_query, _ = pigeonhole(colours - 1)
        assert module_match(bigger_query, graph) == ("match", True)


HOSTILE = pigeonhole(10)
SLACK = 0.5  # seconds allowed between the stop request and the error


def still_serves(conn) -> None:
    assert conn.execute("SELECT lumo_is_match('{ a }', '{ a }')").fetchone() == (True,)


def run_stopped(conn, killer, sql: str, args: list, stop=None) -> Tuple[object, float]:
    """Runs `sql` on `conn` in a thread; `stop(pid)`, when given, is called
    from here once the statement is well under way. Returns the error the
    statement ended with and the time it ended. A backend that ignores the
    stop request is killed after ten seconds, failing the test."""
    pid = conn.execute("SELECT pg_backend_pid()").fetchone()[0]
    outcome: Dict[str, object] = {}

    def work() -> None:
        try:
            conn.execute(sql, args)
            outcome["error"] = None
        except psycopg.Error as error:
            outcome["error"] = error
        outcome["at"] = time.monotonic()

    thread = threading.Thread(target=work, daemon=True)
    thread.start()
    if stop is not None:
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            state = killer.execute("SELECT state FROM pg_stat_activity WHERE pid = $1",
                                   [pid]).fetchone()
            if state and state[0] == "active":
                break
            time.sleep(0.01)
        time.sleep(0.3)  # well inside the search
        stop(pid)
    thread.join(10)
    if thread.is_alive():
        os.kill(pid, signal.SIGKILL)
        pytest.fail("the backend did not stop within 10 s")
    return outcome["error"], float(outcome["at"])  # type: ignore[arg-type]


@pytest.mark.parametrize("timeout_ms", [300, 1200])
def test_statement_timeout_stops_a_hostile_match(pg_server, timeout_ms):  # noqa: F811
    conn, killer = connect(pg_server), connect(pg_server)
    create_extension(conn)
    conn.execute(f"SET statement_timeout = {timeout_ms}")
    started = time.monotonic()
    error, ended = run_stopped(conn, killer, "SELECT lumo_is_match($1, $2)", list(HOSTILE))
    assert isinstance(error, psycopg.errors.QueryCanceled), error
    elapsed = ended - started
    assert timeout_ms / 1000 <= elapsed < timeout_ms / 1000 + SLACK, elapsed
    still_serves(conn)
    conn.close()
    killer.close()


def run_cancelled(pg_server, sql: str, args: list, prepare=None) -> float:  # noqa: F811
    """Runs `sql` on one connection and cancels it from another once it is
    active; returns the seconds from pg_cancel_backend to the error."""
    victim, killer = connect(pg_server), connect(pg_server)
    create_extension(victim)
    if prepare is not None:
        prepare(victim)
    asked: List[float] = []

    def cancel(pid: int) -> None:
        asked.append(time.monotonic())
        assert killer.execute("SELECT pg_cancel_backend($1)", [pid]).fetchone() == (True,)

    error, ended = run_stopped(victim, killer, sql, args, cancel)
    assert isinstance(error, psycopg.Error) and error.sqlstate == QUERY_CANCELED, error
    still_serves(victim)
    leftover = killer.execute("SELECT count(*) FROM pg_stat_activity "
                              "WHERE backend_type = 'parallel worker'").fetchone()[0]
    victim.close()
    killer.close()
    assert leftover == 0
    return ended - asked[0]


def test_cancel_stops_a_hostile_match(pg_server):  # noqa: F811
    delay = run_cancelled(pg_server, "SELECT lumo_is_match($1, $2)", list(HOSTILE))
    assert delay < SLACK, delay


def test_cancel_stops_hostile_matches_in_parallel_workers(pg_server):  # noqa: F811
    # Every row's graph is hostile: the workers are all deep in a search.
    query, graph = HOSTILE
    conn = connect(pg_server)
    force_parallel(conn)
    conn.execute("DROP TABLE IF EXISTS hostile_rows")
    conn.execute("CREATE TABLE hostile_rows AS SELECT i AS id, $1::text AS graph "
                 "FROM generate_series(1, 4) i", [graph])
    sql = "SELECT id FROM hostile_rows WHERE lumo_is_match($1, graph)"
    plan = "\n".join(row[0] for row in conn.execute("EXPLAIN " + sql, [query]))
    assert "Gather" in plan, plan
    conn.close()
    delay = run_cancelled(pg_server, sql, [query], prepare=force_parallel)
    assert delay < SLACK, delay


# Interrupts that end nothing (a client connection check, a request to log
# the backend's memory contexts) arrive while a call runs; the call goes on
# to its answer instead of stopping for them.
SLOW_CALLS = [
    ("SELECT lumo_is_match($1, $2)", list(pigeonhole(8)), (False,)),
    ("SELECT cardinality(lumo_collect_tags(repeat(E'{ s: t }\\n', 2000000)))", [], (3,)),
]


@pytest.mark.parametrize("sql, args, answer", SLOW_CALLS, ids=["match", "collect"])
@pytest.mark.parametrize("benign", ["connection_checks", "memory_context_logging"])
def test_benign_interrupts_do_not_stop_a_call(pg_server, sql, args, answer, benign):  # noqa: F811
    conn, other = connect(pg_server), connect(pg_server)
    create_extension(conn)
    # A call that started over at each interrupt would never end: the
    # timeout ends the test instead.
    conn.execute("SET statement_timeout = '30s'")
    pid = conn.execute("SELECT pg_backend_pid()").fetchone()[0]
    done = threading.Event()
    sent = []
    if benign == "connection_checks":
        conn.execute("SET client_connection_check_interval = '5ms'")
    else:
        def keep_asking() -> None:
            while not done.wait(0.005):
                sent.append(other.execute("SELECT pg_log_backend_memory_contexts($1)",
                                          [pid]).fetchone()[0])
        asker = threading.Thread(target=keep_asking, daemon=True)
        asker.start()
    try:
        assert conn.execute(sql, args).fetchone() == answer
    finally:
        done.set()
    if benign == "memory_context_logging":
        asker.join()
        assert len(sent) >= 3 and all(sent), sent
    still_serves(conn)
    conn.close()
    other.close()


# -- memory --------------------------------------------------------------------

def backend_memory_kb(conn) -> int:
    """The backend's private resident memory (RssAnon): the C++ heap and the
    server's memory contexts, without the shared buffers it touched."""
    pid = conn.execute("SELECT pg_backend_pid()").fetchone()[0]
    with open(f"/proc/{pid}/status", encoding="ascii") as status:
        for line in status:
            if line.startswith("RssAnon:"):
                return int(line.split()[1])
    raise AssertionError("no RssAnon in /proc/<pid>/status")


def million_calls(conn, scale: int) -> int:
    """Cached and replaced queries, tag collection and error paths; returns
    the number of calls made. The series is produced row by row (in the
    select list), not stored first."""
    n = 100_000 * scale
    conn.execute("SELECT count(*) FROM (SELECT generate_series(1, $1) i) s "
                 "WHERE lumo_is_match('{ a: x { b } }', "
                 "'{ a: x' || (i % 97) || ' { b: t' || i || ' } }')", [4 * n // 10])
    conn.execute("SELECT count(*) FROM (SELECT generate_series(1, $1) i) s "
                 "WHERE lumo_is_match('{ a: t' || (i % 13) || ' }', '{ a: t5 }')", [3 * n // 10])
    conn.execute("SELECT sum(cardinality(lumo_collect_tags('{ a: t' || i || ' { b } }'))) "
                 "FROM (SELECT generate_series(1, $1) i) s", [2 * n // 10])
    # Errors: a bad query, a bad graph after a good query, a bad graph alone.
    conn.execute("""
        DO $$
        DECLARE i int;
        BEGIN
          FOR i IN 1 .. %s LOOP
            BEGIN
              CASE i %% 3
                WHEN 0 THEN PERFORM lumo_is_match('{ a: (' || i, '{ a }');
                WHEN 1 THEN PERFORM lumo_is_match('{ a }', '{ a: t, t' || i || ', t }');
                ELSE PERFORM lumo_collect_tags('{ a ' || i);
              END CASE;
            EXCEPTION WHEN invalid_text_representation THEN NULL;
            END;
          END LOOP;
        END $$""" % (n // 10))
    return n


def test_memory_stays_flat_over_a_million_calls(pg_server):  # noqa: F811
    conn = connect(pg_server)
    create_extension(conn)
    # The JIT compiler (loaded by the first statement costly enough) would
    # add its own one-time megabytes to the figure.
    conn.execute("SET jit = off")
    million_calls(conn, 1)  # warm up: caches, plans, allocator arenas
    before = backend_memory_kb(conn)
    calls = million_calls(conn, 10)
    after = backend_memory_kb(conn)
    conn.close()
    assert calls == 1_000_000
    # A single byte kept per call would show as about 1 MB.
    assert after - before < 512, (before, after)


# -- out of memory ---------------------------------------------------------------

def limit_address_space(server: PgServer, pid: int, kilobytes) -> None:
    """Sets the backend's soft address-space limit (run as the server's
    user, who may lower and raise it below the unlimited hard limit)."""
    value = "unlimited" if kilobytes is None else str(kilobytes * 1024)
    command = ["prlimit", f"--pid={pid}", f"--as={value}:"]
    if server.as_root:
        command = ["runuser", "-u", "postgres", "--"] + command
    subprocess.run(command, check=True, capture_output=True)


def test_out_of_memory_in_the_core_is_an_sql_error(pg_server):  # noqa: F811
    if shutil.which("prlimit") is None:
        pytest.skip("prlimit (util-linux) is not installed")
    conn = connect(pg_server)
    create_extension(conn)
    pid = conn.execute("SELECT pg_backend_pid()").fetchone()[0]
    # About 9 MB of text, which the core needs about a hundred MB of address
    # space to read and index.
    graph = "{\n" + "\n".join(f" s{i}: t{i % 50}, u{i}" for i in range(400_000)) + "\n}"
    with open(f"/proc/{pid}/status", encoding="ascii") as status:
        size = int(next(line for line in status if line.startswith("VmSize:")).split()[1])
    core_failures = 0
    # With little headroom the server itself may fail first (receiving the
    # text); with more the core does, at one step or another.
    for headroom_mb in [45, 60, 75]:
        limit_address_space(pg_server, pid, size + headroom_mb * 1024)
        try:
            for sql, args in [("SELECT lumo_collect_tags($1)", [graph]),
                              ("SELECT lumo_is_match('{ s7: t7 }', $1)", [graph])]:
                with pytest.raises(psycopg.errors.OutOfMemory) as info:
                    conn.execute(sql, args)
                core_failures += "lumo_query" in (info.value.diag.message_detail or "")
        finally:
            limit_address_space(pg_server, pid, None)
        # The same backend goes on serving.
        assert conn.execute("SELECT pg_backend_pid()").fetchone()[0] == pid
        still_serves(conn)
    assert core_failures >= 3
    assert conn.execute("SELECT cardinality(lumo_collect_tags($1))", [graph]).fetchone() == \
        (2 * 400_000 + 50 + 1,)  # names, u-tags, t-tags, context
    conn.close()
