"""Sharding with PostgreSQL's own postgres_fdw: a coordinator and two shards.

Three throwaway servers (pg_server.py) run side by side. Each shard keeps a
`records` table whose `graph` column is a `lumo_graph`, with a GIN index on
that column; the coordinator keeps a table partitioned by hash of `id` whose
two partitions are foreign tables on the shards, reached through foreign
servers that list the extension in their `extensions` option. Rows are
loaded through the coordinator, and a query is one condition, `graph @@ $1`.
The tests show that the coordinator gives the rows that one ordinary server
holding every row gives (a database of its own on the coordinator's server)
and that the module gives; that the operator runs on the shards (EXPLAIN
VERBOSE names it in each shard's Remote SQL), with its parameter; that each
shard answers from its own GIN index; what stays on the coordinator when
something cannot be shipped; and where each kind of error is raised.

docs/sharding.md is the guide to this setup; what it states, these tests saw.
"""

from __future__ import annotations

import random
import re
import sys
import threading
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Dict, List, Optional, Sequence

import pytest

import lumo_query
from pg_server import DB_USER, PgServer, PgUnavailable, unavailable
from test_pg_extension import INVALID_TEXT, connect, create_extension
from test_postgres import derived_query, random_graph, random_query

psycopg = pytest.importorskip("psycopg")

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "examples"))
from make_records import make_records  # noqa: E402

# -- the statements ---------------------------------------------------------

SHARD_TABLE = """CREATE TABLE records (
        id    bigint PRIMARY KEY,
        graph lumo_graph NOT NULL
    )"""
COORDINATOR_TABLE = """CREATE TABLE records (
        id    bigint NOT NULL,
        graph lumo_graph NOT NULL
    ) PARTITION BY HASH (id)"""
INDEX_NAME = "records_graph"
GRAPH_INDEX = f"CREATE INDEX {INDEX_NAME} ON records USING gin (graph)"
MATCH = "SELECT id FROM records WHERE graph @@ $1"
# The operator as postgres_fdw writes it into the Remote SQL: qualified,
# since it is not in pg_catalog, and with the query's type named.
REMOTE_MATCH = "graph OPERATOR(public.@@) "


def remote_match(value: str) -> str:
    """The match in the Remote SQL, the query being `value` (a literal or
    a parameter such as $1)."""
    return f"({REMOTE_MATCH}{value}::public.lumo_query)"


def literal(text: str) -> str:
    return "'" + text.replace("'", "''") + "'"


# -- the servers ------------------------------------------------------------

SHARDS = 2
SERVER_OPTIONS = ("extensions 'lumo_query', async_capable 'true', "
                  # postgres_fdw reads through a cursor, which a shard plans
                  # for its first tenth by default; it always reads to the end.
                  "options '-c cursor_tuple_fraction=1'")


def foreign_server_sql(name: str, server: PgServer, dbname: str = "postgres",
                       options: str = SERVER_OPTIONS) -> List[str]:
    return [f"CREATE SERVER {name} FOREIGN DATA WRAPPER postgres_fdw OPTIONS ("
            f"host '{server.sockdir}', port '{server.port}', dbname '{dbname}'"
            + (f", {options}" if options else "") + ")",
            f"CREATE USER MAPPING FOR CURRENT_USER SERVER {name} OPTIONS (user '{DB_USER}')"]


def start_servers(count: int) -> List[PgServer]:
    """`count` servers started side by side; all stopped if one fails."""
    servers = [PgServer() for _ in range(count)]
    errors: List[BaseException] = []

    def start(server: PgServer) -> None:
        try:
            server.start()
        except (PgUnavailable, OSError) as error:
            errors.append(error)

    threads = [threading.Thread(target=start, args=(s,)) for s in servers]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    if errors:
        for server in servers:
            server.stop()
        raise errors[0]
    return servers


@dataclass
class Cluster:
    coordinator: PgServer
    shards: List[PgServer]
    coord: object            # connection to the coordinator's records
    single: object           # connection to one ordinary table of every row
    shard_conns: List[object]
    graphs: Dict[int, str]   # id -> graph text
    parsed: Dict[int, object]

    def module_ids(self, query: str) -> List[int]:
        compiled = lumo_query.parse_query(query)
        return sorted(rid for rid, graph in self.parsed.items() if compiled.is_match(graph))

    def shard_ids(self, shard: int) -> List[int]:
        return sorted(row[0] for row in self.shard_conns[shard].execute("SELECT id FROM records"))

    def log(self, shard: int) -> str:
        return self.shards[shard].logfile.read_text(errors="replace")

    def log_sizes(self) -> List[int]:
        return [len(self.log(n)) for n in range(SHARDS)]

    def logged_since(self, sizes: List[int]) -> List[str]:
        return [self.log(n)[sizes[n]:] for n in range(SHARDS)]


GENERATED_FROM = 3000  # ids of the generated graphs start here


def generated_cases() -> list:
    rng = random.Random(5151)
    return [random_graph(rng, i) for i in range(1000)]


def dataset() -> Dict[int, str]:
    """The example's records and generated graphs (odd tags, quotes and
    all), a few thousand rows."""
    graphs = {record["id"]: record["graph"] for record in make_records(2000, 5150)}
    graphs.update((GENERATED_FROM + i, case.text) for i, case in enumerate(generated_cases()))
    return graphs


@pytest.fixture(scope="module")
def cluster():
    try:
        servers = start_servers(1 + SHARDS)
    except (PgUnavailable, OSError) as error:
        unavailable(f"{type(error).__name__}: {error}")
    conns: list = []
    try:
        coordinator, shards = servers[0], servers[1:]
        shard_conns = [connect(shard) for shard in shards]
        conns += shard_conns
        for conn in shard_conns:
            # Every statement the coordinator sends, with its parameters.
            conn.execute("ALTER SYSTEM SET log_statement = 'all'")
            conn.execute("SELECT pg_reload_conf()")
            create_extension(conn)
            conn.execute(SHARD_TABLE)
            conn.execute(GRAPH_INDEX)

        coord = connect(coordinator)
        conns.append(coord)
        # One ordinary table of every row, in a database of its own.
        coord.execute("CREATE DATABASE single")
        single = connect(coordinator, "single")
        conns.append(single)
        create_extension(single)
        single.execute(SHARD_TABLE)
        single.execute(GRAPH_INDEX)

        create_extension(coord)
        coord.execute("CREATE EXTENSION postgres_fdw")
        for n, shard in enumerate(shards, 1):
            for sql in foreign_server_sql(f"shard{n}", shard):
                coord.execute(sql)
        coord.execute(COORDINATOR_TABLE)
        for n in range(1, SHARDS + 1):
            coord.execute(f"CREATE FOREIGN TABLE records_{n} PARTITION OF records "
                          f"FOR VALUES WITH (MODULUS {SHARDS}, REMAINDER {n - 1}) "
                          f"SERVER shard{n} OPTIONS (table_name 'records')")

        graphs = dataset()
        rows = sorted(graphs.items())
        coord.cursor().executemany("INSERT INTO records (id, graph) VALUES ($1, $2)", rows)
        single.cursor().executemany("INSERT INTO records (id, graph) VALUES ($1, $2)", rows)
        for conn in shard_conns + [single]:
            conn.execute("ANALYZE records")
        yield Cluster(coordinator, shards, coord, single, shard_conns, graphs,
                      {rid: lumo_query.parse_tag_graph(g) for rid, g in graphs.items()})
    finally:
        for conn in conns:
            conn.close()
        for server in servers:
            server.stop()


def ids(conn, sql: str, args: Sequence = ()) -> List[int]:
    return sorted(row[0] for row in conn.execute(sql, list(args)))


def plan(conn, sql: str, args: Sequence = ()) -> List[str]:
    return [row[0] for row in conn.execute("EXPLAIN (VERBOSE, COSTS OFF) " + sql, list(args))]


FOREIGN_SCAN = re.compile(r"(Async )?Foreign Scan on public\.(\w+)")


def remote_sql(lines: List[str]) -> Dict[str, str]:
    """Foreign table -> the Remote SQL of its scan, from an EXPLAIN VERBOSE."""
    scans: Dict[str, str] = {}
    table: Optional[str] = None
    for line in lines:
        found = FOREIGN_SCAN.search(line)
        if found:
            table = found.group(2)
        elif "Remote SQL: " in line and table is not None:
            scans[table] = line.split("Remote SQL: ", 1)[1]
            table = None
    return scans


def local_lines(lines: List[str]) -> List[str]:
    """The plan lines the coordinator evaluates itself."""
    return [line for line in lines if "Remote SQL: " not in line]


def evaluated_locally(lines: List[str]) -> List[str]:
    """Local plan lines that filter rows or call the extension."""
    return [line for line in local_lines(lines)
            if "Filter" in line or "@@" in line or "lumo_" in line or "_match" in line]


# -- the queries ----------------------------------------------------------------

NAMED = {
    "narrow": "{ phone: -encrypted { battery: worn } }",
    "narrow-any": "{ laptop: norvale / kestrel, -retired { screen: cracked } }",
    "broad": "{ *: person }",
    "negation-only": "{ *: -(person / document) { *: -healthy } }",
    "relations": "{ *: person, manager { * > @d: signed }  * @d: document, confidential }",
    "quoted": "{ *: \"x'); DROP TABLE graphs; --\", \"o'brien\" }",
}
# The share of the rows each named query matches on this data set: each is
# what its name says.
SHARE = {"narrow": (0, 0.05), "narrow-any": (0, 0.05), "relations": (0, 0.05),
         "quoted": (0, 0.1), "broad": (0.3, 1), "negation-only": (0.3, 1)}


def generated_queries() -> List[str]:
    """Queries made to match graphs of the data set (relations among them),
    random ones, and some made for graphs that are not there."""
    rng = random.Random(5152)
    loaded = generated_cases()
    elsewhere = [random_graph(rng, 100_000 + i) for i in range(20)]
    return ([derived_query(rng, rng.choice(loaded), i).text for i in range(30)]
            + [random_query(rng, i).text for i in range(20)]
            + [derived_query(rng, rng.choice(elsewhere), i).text for i in range(5)])


def test_rows_land_on_both_shards_as_the_graphs_sent(cluster):
    on_shard = [cluster.shard_ids(n) for n in range(SHARDS)]
    everything = sorted(cluster.graphs)
    assert sorted(rid for part in on_shard for rid in part) == everything
    assert all(len(part) > len(everything) // 3 for part in on_shard), \
        [len(part) for part in on_shard]
    assert ids(cluster.coord, "SELECT id FROM records") == everything
    for n, conn in enumerate(cluster.shard_conns):
        # The coordinator read each graph and sent its text, which the
        # shard read again: the same text, the same tags.
        stored = conn.execute("SELECT id, graph::text, lumo_tags(graph) FROM records").fetchall()
        assert {rid: text for rid, text, _ in stored} == \
            {rid: cluster.graphs[rid] for rid in on_shard[n]}
        assert {rid: sorted(tags) for rid, _, tags in stored} == \
            {rid: sorted(cluster.parsed[rid].collect_tags()) for rid in on_shard[n]}
        assert "INSERT INTO public.records(id, graph) VALUES ($1, $2)" in cluster.log(n)
    # One version, the installed default, in one schema on every server.
    versions = {conn.execute("SELECT extversion, extnamespace::regnamespace::text, "
                             "default_version FROM pg_extension JOIN pg_available_extensions "
                             "ON name = extname WHERE extname = 'lumo_query'").fetchone()
                for conn in [cluster.coord, *cluster.shard_conns]}
    assert len(versions) == 1, versions
    (version, schema, default), = versions
    assert (version, schema) == (default, "public")


def check_same_rows(cluster, query: str) -> List[int]:
    want = cluster.module_ids(query)
    assert ids(cluster.coord, MATCH, [query]) == want, query
    assert ids(cluster.single, MATCH, [query]) == want, query
    return want


@pytest.mark.parametrize("name", NAMED)
def test_the_coordinator_answers_as_one_server_and_the_module(cluster, name):
    query = NAMED[name]
    matched = check_same_rows(cluster, query)
    low, high = SHARE[name]
    assert low * len(cluster.graphs) < len(matched) < high * len(cluster.graphs), len(matched)
    if name == "negation-only":
        assert lumo_query.parse_query(query).to_sql([]) == "true"


def test_generated_queries_give_the_same_rows(cluster):
    queries = generated_queries()
    answered = [check_same_rows(cluster, query) for query in queries]
    assert sum(bool(rows) for rows in answered) > len(queries) // 3


@pytest.mark.parametrize("name", ["narrow", "relations", "negation-only", "quoted"])
def test_each_shard_receives_the_match(cluster, name):
    query = NAMED[name]
    lines = plan(cluster.coord, MATCH, [query])
    scans = remote_sql(lines)
    assert sorted(scans) == [f"records_{n}" for n in range(1, SHARDS + 1)], lines
    # The query travels as a literal of its type, quotes doubled.
    want = f"SELECT id FROM public.records WHERE ({remote_match(literal(query))})"
    assert set(scans.values()) == {want}, lines
    # The coordinator filters nothing itself, and reads both shards at once.
    assert not evaluated_locally(lines), lines
    assert sum("Async Foreign Scan" in line for line in lines) == SHARDS, lines


def test_an_aggregate_is_computed_on_the_coordinator(cluster):
    """count(*) over the shards: each sends one empty row per match."""
    query = NAMED["broad"]
    sql = "SELECT count(*) FROM records WHERE graph @@ $1"
    lines = plan(cluster.coord, sql, [query])
    scans = remote_sql(lines)
    assert len(scans) == SHARDS and lines[0] == "Aggregate", lines
    assert set(scans.values()) == \
        {f"SELECT NULL FROM public.records WHERE ({remote_match(literal(query))})"}, lines
    assert cluster.coord.execute(sql, [query]).fetchone() == (len(cluster.module_ids(query)),)


def test_a_condition_on_the_key_reaches_one_shard(cluster):
    query = NAMED["broad"]
    sql = "SELECT id FROM records WHERE id = $1 AND graph @@ $2"
    for rid in (1, 2, 3):
        scans = remote_sql(plan(cluster.coord, sql, [rid, query]))
        assert len(scans) == 1
        (table, remote), = scans.items()
        assert REMOTE_MATCH in remote and re.search(rf"\(id = {rid}\b", remote), remote
        shard = int(table.rsplit("_", 1)[1]) - 1
        assert rid in cluster.shard_ids(shard)
        assert ids(cluster.coord, sql, [rid, query]) == [rid]


# A prepared statement run with a generic plan: how its parameter is
# declared, and whether the match is shipped with the parameter.
GENERIC = [
    ("typed", "PREPARE find (lumo_query) AS " + MATCH, "{lumo_query}", True),
    # An undeclared parameter takes the type the operator wants (as with a
    # client that sends its values untyped, psycopg among them).
    ("inferred", "PREPARE find AS " + MATCH, "{lumo_query}", True),
    # postgres_fdw ships no cast through the types' text forms: the
    # coordinator matches every row.
    ("text cast", "PREPARE find (text) AS SELECT id FROM records WHERE graph @@ $1::lumo_query",
     "{text}", False),
]


@pytest.mark.parametrize("name, prepare, types, shipped", GENERIC,
                         ids=[case[0] for case in GENERIC])
def test_a_generic_plan_ships_a_typed_parameter(cluster, name, prepare, types, shipped):
    query = NAMED["narrow"]
    conn = connect(cluster.coordinator)
    try:
        conn.execute("SET plan_cache_mode = force_generic_plan")
        conn.execute(prepare)
        assert conn.execute("SELECT parameter_types::text FROM pg_prepared_statements "
                            "WHERE name = 'find'").fetchone() == (types,)
        # EXPLAIN cannot type parameters of its own: the value goes as a literal.
        execute = f"EXECUTE find ({psycopg.sql.Literal(query).as_string(conn)})"
        lines = plan(conn, execute)
        before = cluster.log_sizes()
        got = ids(conn, execute)
    finally:
        conn.close()
    assert got == cluster.module_ids(query) and got
    remotes = remote_sql(lines)
    assert len(remotes) == SHARDS, lines
    sent = cluster.logged_since(before)
    if shipped:
        assert set(remotes.values()) == \
            {f"SELECT id FROM public.records WHERE ({remote_match('$1')})"}, lines
        assert not evaluated_locally(lines), lines
        # The shards receive the value as a parameter of the cursor's
        # statement, never in its text.
        for log in sent:
            assert re.search(r"execute <unnamed>: DECLARE c\d+ CURSOR FOR\n\s*SELECT id FROM "
                             r"public.records WHERE " + re.escape(f"({remote_match('$1')})"),
                             log), log
            assert f"parameters: $1 = '{query}'" in log, log
    else:
        assert set(remotes.values()) == {"SELECT id, graph FROM public.records"}, lines
        assert any("Filter: " in line and "@@ ($1)::lumo_query" in line
                   for line in local_lines(lines)), lines
        for log in sent:
            assert re.search(r"DECLARE c\d+ CURSOR FOR\n\s*SELECT id, graph FROM public.records\n",
                             log) and "parameters:" not in log, log


def index_scans(conn) -> int:
    """The shard's count of scans of the graph index, once every other
    session on it has ended (a session reports its counts as it ends)."""
    deadline = time.monotonic() + 10
    while conn.execute("SELECT count(*) FROM pg_stat_activity WHERE backend_type = "
                       "'client backend' AND pid <> pg_backend_pid()").fetchone()[0]:
        assert time.monotonic() < deadline, "a session on the shard did not end"
        time.sleep(0.05)
    conn.execute("SELECT pg_stat_clear_snapshot()")
    return conn.execute("SELECT idx_scan FROM pg_stat_user_indexes WHERE indexrelname = $1",
                        [INDEX_NAME]).fetchone()[0]


INDEXED = ["narrow", "narrow-any", "relations", "quoted"]


def cursor_plan(conn, sql: str, fraction: Optional[float]) -> str:
    """A shard's plan of `sql` as postgres_fdw runs it, a cursor, with
    cursor_tuple_fraction at `fraction` (None: the server's default)."""
    if fraction is not None:
        conn.execute(f"SET cursor_tuple_fraction = {fraction}")
    try:
        return "\n".join(row[0] for row in conn.execute("EXPLAIN DECLARE c1 CURSOR FOR " + sql))
    finally:
        conn.execute("RESET cursor_tuple_fraction")


def test_each_shard_answers_from_its_gin_index(cluster):
    # The shard's own plan of the statement postgres_fdw sends it, planned
    # as postgres_fdw has it planned: a cursor read to the end. With the
    # default fraction, these shards scan the whole table instead, and an
    # always-true query scans it either way (docs/sharding.md shows these
    # plans; update it when they change).
    for name in INDEXED + ["negation-only"]:
        remotes = remote_sql(plan(cluster.coord, MATCH, [NAMED[name]]))
        for n, conn in enumerate(cluster.shard_conns, 1):
            remote = remotes[f"records_{n}"]
            tuned = cursor_plan(conn, remote, 1)
            if name in INDEXED:
                assert f"Bitmap Index Scan on {INDEX_NAME}" in tuned, (name, tuned)
                assert "Recheck Cond: (graph @@ " in tuned, tuned
            else:
                assert tuned.startswith("Seq Scan on records"), (name, tuned)
            default = cursor_plan(conn, remote, None)
            assert default.startswith("Seq Scan on records"), (name, default)
            assert "Filter: (graph @@ " in default, default
    # The shards' own counters, around coordinator sessions of their own
    # that run the statements, with the query as a literal (a custom plan)
    # and as a parameter (a generic plan of a prepared statement). The
    # fixture's session lets go of its shard connections first, so that
    # nothing else reports scans meanwhile.
    cluster.coord.execute("SELECT postgres_fdw_disconnect_all()")
    before = [index_scans(conn) for conn in cluster.shard_conns]
    custom, generic = connect(cluster.coordinator), connect(cluster.coordinator)
    try:
        generic.prepare_threshold = 0
        generic.execute("SET plan_cache_mode = force_generic_plan")
        for name in INDEXED + ["negation-only"]:
            for conn in (custom, generic):
                assert ids(conn, MATCH, [NAMED[name]]) == cluster.module_ids(NAMED[name])
        assert generic.execute("SELECT generic_plans FROM pg_prepared_statements "
                               "WHERE statement = $1", [MATCH]).fetchone() == (len(INDEXED) + 1,)
    finally:
        custom.close()
        generic.close()
    after = [index_scans(conn) for conn in cluster.shard_conns]
    assert [a - b for a, b in zip(after, before)] == [2 * len(INDEXED)] * SHARDS, \
        (before, after)


def test_a_shard_plans_the_remote_sql_without_parallel_workers(cluster):
    """postgres_fdw reads through a cursor, and PostgreSQL never plans a
    cursor in parallel: the same Remote SQL gets workers only as a plain
    statement."""
    remote = remote_sql(plan(cluster.coord, MATCH, [NAMED["negation-only"]]))["records_1"]
    shard = connect(cluster.shards[0])
    try:
        for setting in ["max_parallel_workers_per_gather = 2", "parallel_setup_cost = 0",
                        "parallel_tuple_cost = 0", "min_parallel_table_scan_size = 0"]:
            shard.execute("SET " + setting)
        plain = [row[0] for row in shard.execute("EXPLAIN (COSTS OFF) " + remote)]
        cursor = [row[0] for row in shard.execute(
            "EXPLAIN (COSTS OFF) DECLARE c1 CURSOR FOR " + remote)]
    finally:
        shard.close()
    assert plain[0] == "Gather", plain
    assert not [line for line in cursor if "Gather" in line or "Parallel" in line], cursor
    assert any("graph @@ " in line for line in cursor), cursor


# -- what stays on the coordinator -----------------------------------------------

@pytest.fixture(scope="module")
def unlisted(cluster):
    """Shard 1's table through a foreign server without the extensions
    option; a view of it with the graph as text, for the text functions;
    and wrappers of the coordinator's own around the match."""
    coord = cluster.coord
    for sql in foreign_server_sql("shard1_unlisted", cluster.shards[0], options=""):
        coord.execute(sql)
    coord.execute("CREATE FOREIGN TABLE records_unlisted (id bigint, graph lumo_graph) "
                  "SERVER shard1_unlisted OPTIONS (table_name 'records')")
    cluster.shard_conns[0].execute("CREATE VIEW records_text AS "
                                   "SELECT id, graph::text AS graph FROM records")
    coord.execute("CREATE FOREIGN TABLE records_text (id bigint, graph text) "
                  "SERVER shard1 OPTIONS (table_name 'records_text')")
    signature = "(q lumo_query, g lumo_graph) RETURNS boolean IMMUTABLE"
    coord.execute(f"CREATE FUNCTION sql_match{signature} LANGUAGE sql AS $$ SELECT g @@ q $$")
    coord.execute(f"CREATE FUNCTION plpgsql_match{signature} LANGUAGE plpgsql "
                  "AS $$ BEGIN RETURN g @@ q; END $$")
    return cluster


# name, statement, the match in the Remote SQL (None: the shards send every
# row's graph), what the coordinator evaluates itself (None: nothing)
SHIPPING = [
    ("unlisted extension", "SELECT id FROM records_unlisted WHERE graph @@ $1", None, "@@"),
    ("plpgsql wrapper", "SELECT id FROM records WHERE plpgsql_match($1, graph)",
     None, "plpgsql_match("),
    # An SQL function is inlined before planning: its body is shipped.
    ("sql wrapper", "SELECT id FROM records WHERE sql_match($1, graph)", REMOTE_MATCH, None),
    # For a plain scan only the WHERE clause is shipped: a call in the select
    # list runs on the coordinator, over the graph fetched for it.
    ("select list", "SELECT id, lumo_tags(graph) FROM records WHERE graph @@ $1",
     REMOTE_MATCH, "lumo_tags("),
    # @> compares text under a collation that no column of the foreign
    # table gave (graph has none): not shipped.
    ("tags condition", "SELECT id FROM records WHERE lumo_tags(graph) @> '{person}' "
     "AND graph @@ $1", REMOTE_MATCH, "lumo_tags("),
    # Casts through the types' text forms are not shipped.
    ("text match of a cast", "SELECT id FROM records WHERE lumo_is_match($1, graph::text)",
     None, "lumo_is_match("),
    # The text functions are shipped like the operator, over a text column.
    ("text match of a text column", "SELECT id FROM records_text WHERE lumo_is_match($1, graph)",
     "public.lumo_is_match(", None),
]
ONE_SHARD = {"unlisted extension", "text match of a text column"}


@pytest.mark.parametrize("name, sql, shipped, local", SHIPPING,
                         ids=[case[0] for case in SHIPPING])
def test_what_the_coordinator_cannot_ship_it_evaluates_itself(unlisted, name, sql, shipped,
                                                              local):
    query = NAMED["relations"]
    lines = plan(unlisted.coord, sql, [query])
    remotes = remote_sql(lines)
    assert len(remotes) == (1 if name in ONE_SHARD else SHARDS), lines
    for table, remote in remotes.items():
        if shipped is None:
            # The shard sends every row's graph for the coordinator to match.
            view = "records_text" if table == "records_text" else "records"
            assert remote == f"SELECT id, graph FROM public.{view}", remote
        else:
            assert shipped in remote and " WHERE " in remote, remote
    kept = evaluated_locally(lines)
    if local is None:
        assert not kept, lines
    else:
        assert any(local in line for line in kept), lines
    want = unlisted.module_ids(query)
    if name in ONE_SHARD:
        want = sorted(set(want) & set(unlisted.shard_ids(0)))
    rows = unlisted.coord.execute(sql, [query]).fetchall()
    assert sorted(row[0] for row in rows) == want and want
    if name == "select list":
        assert all(sorted(row[1]) == sorted(unlisted.parsed[row[0]].collect_tags())
                   for row in rows)


# -- errors -----------------------------------------------------------------------

BAD_QUERY = "{ alice: (red }"
BAD_GRAPH = "{ x: a, a }"
PARAMETER = "unnamed portal parameter $1 = '...'"
# name, statement, its parameters, message, detail, context: the error a
# value that does not parse raises on the coordinator.
REFUSED = [
    ("query parameter", MATCH, [BAD_QUERY], "invalid syntax",
     "{ alice: (red }\n              ^\ninvalid expression", PARAMETER),
    ("query literal", f"SELECT id FROM records WHERE graph @@ {literal(BAD_QUERY)}", [],
     "invalid syntax", "{ alice: (red }\n              ^\ninvalid expression", None),
    ("graph parameter", "INSERT INTO records (id, graph) VALUES (-1, $1)", [BAD_GRAPH],
     "duplicate tags", None, PARAMETER),
    ("graph literal", f"INSERT INTO records (id, graph) VALUES (-1, {literal(BAD_GRAPH)})", [],
     "duplicate tags", None, None),
]


@pytest.mark.parametrize("name, sql, args, message, detail, context", REFUSED,
                         ids=[case[0] for case in REFUSED])
def test_a_value_that_does_not_parse_fails_on_the_coordinator(cluster, name, sql, args,
                                                              message, detail, context):
    """The coordinator reads the query (or the graph) into its type before it
    plans or sends anything: the error is the one server's, and no shard
    hears of the statement."""
    with pytest.raises(psycopg.Error) as single:
        cluster.single.execute(sql, args)
    before = cluster.log_sizes()
    with pytest.raises(psycopg.Error) as sharded:
        cluster.coord.execute(sql, args)
    want, got = single.value, sharded.value
    assert (got.sqlstate, got.diag.message_primary, got.diag.message_detail,
            got.diag.context) == \
        (want.sqlstate, want.diag.message_primary, want.diag.message_detail,
         want.diag.context) == (INVALID_TEXT, message, detail, context)
    for log in cluster.logged_since(before):
        assert "statement: " not in log and "execute " not in log, log
    assert ids(cluster.coord, "SELECT id FROM records WHERE id = -1") == []


# name, what the shard's database is set up with, its graph column's type
BARE = [
    ("missing", [], "text"),
    ("0.1.0", ["CREATE EXTENSION lumo_query VERSION '0.1.0'"], "text"),
    ("other schema", ["CREATE SCHEMA other", "CREATE EXTENSION lumo_query SCHEMA other"],
     "other.lumo_graph"),
]


@pytest.mark.parametrize("name, setup, column", BARE, ids=[case[0] for case in BARE])
def test_a_shard_without_the_types_in_public_fails_the_match(cluster, name, setup, column):
    """Without the extension (or with a version without the types) a shard
    cannot have a lumo_graph column, but the coordinator may declare one over
    a text column: it reads the rows, reading each graph itself, while the
    Remote SQL of a match names public.lumo_query, which the shard lacks; so
    does a shard with the extension in another schema."""
    dbname = "bare_" + re.sub(r"\W", "_", name)
    admin = connect(cluster.shards[0])
    admin.execute(f"CREATE DATABASE {dbname}")
    try:
        bare = connect(cluster.shards[0], dbname)
        for statement in setup:
            bare.execute(statement)
        bare.execute(f"CREATE TABLE records (id bigint, graph {column})")
        bare.execute("INSERT INTO records VALUES (1, '{ a }')")
        bare.close()
        coord = cluster.coord
        for sql in foreign_server_sql(dbname, cluster.shards[0], dbname):
            coord.execute(sql)
        coord.execute(f"CREATE FOREIGN TABLE records_{dbname} (id bigint, graph lumo_graph) "
                      f"SERVER {dbname} OPTIONS (table_name 'records')")
        rows = coord.execute(f"SELECT id, graph::text, lumo_tags(graph) FROM records_{dbname}"
                             ).fetchall()
        assert [(rid, text, sorted(tags)) for rid, text, tags in rows] == \
            [(1, "{ a }", ["a", "context"])]
        with pytest.raises(psycopg.Error) as info:
            coord.execute(f"SELECT id FROM records_{dbname} WHERE graph @@ $1", ["{ a }"])
        assert (info.value.sqlstate, info.value.diag.message_primary,
                info.value.diag.context) == \
            ("42704", 'type "public.lumo_query" does not exist',
             "remote SQL command: SELECT id FROM public.records WHERE "
             f"({remote_match(literal('{ a }'))})")
    finally:
        cluster.coord.execute(f"DROP SERVER IF EXISTS {dbname} CASCADE")
        admin.execute(f"DROP DATABASE {dbname} WITH (FORCE)")
        admin.close()
