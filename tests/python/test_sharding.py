"""Sharding with PostgreSQL's own postgres_fdw: a coordinator and two shards.

Three throwaway servers (pg_server.py) run side by side. Each shard keeps a
`records` table with a generated tags column and a GIN index; the
coordinator keeps a table partitioned by hash of `id` whose two partitions
are foreign tables on the shards, reached through foreign servers that list
the extension in their `extensions` option. Rows are loaded through the
coordinator. The tests show that a match on the coordinator gives the rows
that one ordinary server holding every row gives (a database of its own on
the coordinator's server) and that the module gives; that the match runs on
the shards (EXPLAIN VERBOSE names it in each shard's Remote SQL), with its
parameters; that each shard prefilters through its own GIN index; and what
stays on the coordinator when something cannot be shipped.

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
from typing import Dict, List, Optional, Sequence, Tuple

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
# Everything that names the stored graph's type, the tags function, the
# index and the match lives here, so that moving to a stored graph type and
# a match operator changes these lines.

GRAPH_TYPE = "text"                  # of the graph column
QUERY_TYPE = "text"                  # of the query parameter
TAGS_FUNCTION = "lumo_collect_tags"  # graph -> text[]
COLUMNS = f"""
        graph {GRAPH_TYPE} NOT NULL,
        tags  text[] GENERATED ALWAYS AS ({TAGS_FUNCTION}(graph)) STORED"""
SHARD_TABLE = f"CREATE TABLE records (\n        id    bigint PRIMARY KEY,{COLUMNS}\n    )"
# The coordinator's column is generated too: postgres_fdw then sends DEFAULT
# for it and the shard computes it. A plain column would be sent as NULL,
# which the shard's generated column refuses.
COORDINATOR_TABLE = (f"CREATE TABLE records (\n        id    bigint NOT NULL,{COLUMNS}\n"
                     "    ) PARTITION BY HASH (id)")
TAGS_INDEX = "CREATE INDEX records_tags ON records USING gin (tags)"
INDEX_NAME = "records_tags"
# The match as postgres_fdw writes it into the Remote SQL (schema-qualified),
# and as the coordinator's plan shows it when it evaluates it itself.
REMOTE_MATCH = "public.lumo_is_match("
LOCAL_MATCH = "lumo_is_match("


def match_condition(placeholder: str, graph: str = "graph") -> str:
    """The exact match of `graph` against the query that `placeholder`
    stands for."""
    return f"lumo_is_match({placeholder}, {graph})"


def remote_match(parameter: int) -> str:
    """The match as a generic plan's Remote SQL writes it, the query being
    its parameter number `parameter`."""
    return f"public.lumo_is_match(${parameter}::{QUERY_TYPE}, graph)"


def match_statement(query: str) -> Tuple[str, list]:
    return f"SELECT id FROM records WHERE {match_condition('$1')}", [query]


def prefiltered_statement(query: str) -> Tuple[str, list]:
    """The tags condition of to_sql, then the match, in one statement."""
    args: list = []
    condition = lumo_query.parse_query(query).to_sql(args)
    return (f"SELECT id FROM records WHERE {condition} "
            f"AND {match_condition(f'${len(args) + 1}')}", args + [query])


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
    collect_tags_calls: int  # on the coordinator, while loading

    def module_ids(self, query: str) -> List[int]:
        compiled = lumo_query.parse_query(query)
        return sorted(rid for rid, graph in self.parsed.items() if compiled.is_match(graph))

    def shard_ids(self, shard: int) -> List[int]:
        return sorted(row[0] for row in self.shard_conns[shard].execute("SELECT id FROM records"))

    def log(self, shard: int) -> str:
        return self.shards[shard].logfile.read_text(errors="replace")


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
            conn.execute(TAGS_INDEX)

        coord = connect(coordinator)
        conns.append(coord)
        # One ordinary table of every row, in a database of its own.
        coord.execute("CREATE DATABASE single")
        single = connect(coordinator, "single")
        conns.append(single)
        create_extension(single)
        single.execute(SHARD_TABLE)
        single.execute(TAGS_INDEX)

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
        coord.execute("SET track_functions = 'all'")
        coord.cursor().executemany("INSERT INTO records (id, graph) VALUES ($1, $2)", rows)
        coord.execute("SELECT pg_stat_force_next_flush()")
        calls = coord.execute("SELECT calls FROM pg_stat_user_functions "
                              "WHERE funcname = $1", [TAGS_FUNCTION]).fetchone()
        coord.execute("RESET track_functions")
        single.cursor().executemany("INSERT INTO records (id, graph) VALUES ($1, $2)", rows)
        for conn in shard_conns + [single]:
            conn.execute("ANALYZE records")
        yield Cluster(coordinator, shards, coord, single, shard_conns, graphs,
                      {rid: lumo_query.parse_tag_graph(g) for rid, g in graphs.items()},
                      calls[0] if calls else 0)
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


def test_rows_land_on_both_shards_and_each_computes_its_tags(cluster):
    on_shard = [cluster.shard_ids(n) for n in range(SHARDS)]
    everything = sorted(cluster.graphs)
    assert sorted(rid for part in on_shard for rid in part) == everything
    assert all(len(part) > len(everything) // 3 for part in on_shard), \
        [len(part) for part in on_shard]
    assert ids(cluster.coord, "SELECT id FROM records") == everything
    for n, conn in enumerate(cluster.shard_conns):
        tags = conn.execute("SELECT id, tags FROM records").fetchall()
        assert {rid: sorted(t) for rid, t in tags} == \
            {rid: sorted(cluster.parsed[rid].collect_tags()) for rid in on_shard[n]}
        # The coordinator sent DEFAULT for the generated column.
        assert "INSERT INTO public.records(id, graph, tags) VALUES ($1, $2, DEFAULT)" \
            in cluster.log(n)
    # The coordinator computed the column as well, once per row, before
    # sending the row; the value it computed is not sent.
    assert cluster.collect_tags_calls == len(everything)


def test_a_plain_tags_column_on_the_coordinator_is_refused_by_the_shard(cluster):
    """postgres_fdw sends a plain column's value (NULL here), which the
    shard's generated column refuses; hence the generated column above."""
    coord = cluster.coord
    coord.execute(f"CREATE TABLE plain_records (id bigint NOT NULL, graph {GRAPH_TYPE} "
                  "NOT NULL, tags text[]) PARTITION BY HASH (id)")
    try:
        coord.execute("CREATE FOREIGN TABLE plain_records_1 PARTITION OF plain_records "
                      "FOR VALUES WITH (MODULUS 1, REMAINDER 0) "
                      "SERVER shard1 OPTIONS (table_name 'records')")
        with pytest.raises(psycopg.Error) as info:
            coord.execute("INSERT INTO plain_records (id, graph) VALUES (-2, '{ a }')")
        assert (info.value.sqlstate, info.value.diag.message_primary) == \
            ("428C9", 'cannot insert a non-DEFAULT value into column "tags"')
        assert "VALUES ($1, $2, $3)" in info.value.diag.context
    finally:
        coord.execute("DROP TABLE plain_records")
    assert ids(cluster.coord, "SELECT id FROM records WHERE id = -2") == []


def check_same_rows(cluster, query: str) -> List[int]:
    want = cluster.module_ids(query)
    for statement in (match_statement, prefiltered_statement):
        sql, args = statement(query)
        assert ids(cluster.coord, sql, args) == want, (statement.__name__, query)
        assert ids(cluster.single, sql, args) == want, (statement.__name__, query)
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


@pytest.mark.parametrize("statement", [match_statement, prefiltered_statement],
                         ids=["match", "prefiltered"])
@pytest.mark.parametrize("name", ["narrow", "relations", "negation-only", "quoted"])
def test_each_shard_receives_the_match(cluster, statement, name):
    sql, args = statement(NAMED[name])
    lines = plan(cluster.coord, sql, args)
    scans = remote_sql(lines)
    assert sorted(scans) == [f"records_{n}" for n in range(1, SHARDS + 1)], lines
    for remote in scans.values():
        assert REMOTE_MATCH in remote, lines
        if name == "quoted":  # the values are literals here, quotes doubled
            assert "o''brien" in remote, remote
        if statement is prefiltered_statement and "tags" in lumo_query.parse_query(
                NAMED[name]).to_sql([]):
            assert re.search(r"tags (@>|&&)", remote), lines
    # The coordinator filters nothing itself, and reads both shards at once.
    assert not [line for line in local_lines(lines) if "Filter" in line or "lumo_" in line], \
        lines
    assert sum("Async Foreign Scan" in line for line in lines) == SHARDS, lines


def test_an_aggregate_is_computed_on_the_coordinator(cluster):
    """count(*) over the shards: each sends one empty row per match."""
    query = NAMED["broad"]
    sql = f"SELECT count(*) FROM records WHERE {match_condition('$1')}"
    lines = plan(cluster.coord, sql, [query])
    scans = remote_sql(lines)
    assert len(scans) == SHARDS and lines[0] == "Aggregate", lines
    assert all(remote.startswith("SELECT NULL FROM public.records WHERE")
               and REMOTE_MATCH in remote for remote in scans.values()), lines
    assert cluster.coord.execute(sql, [query]).fetchone() == (len(cluster.module_ids(query)),)


def test_a_condition_on_the_key_reaches_one_shard(cluster):
    query = NAMED["broad"]
    sql = f"SELECT id FROM records WHERE id = $1 AND {match_condition('$2')}"
    for rid in (1, 2, 3):
        scans = remote_sql(plan(cluster.coord, sql, [rid, query]))
        assert len(scans) == 1
        (table, remote), = scans.items()
        assert REMOTE_MATCH in remote and re.search(rf"\(id = {rid}\b", remote), remote
        shard = int(table.rsplit("_", 1)[1]) - 1
        assert rid in cluster.shard_ids(shard)
        assert ids(cluster.coord, sql, [rid, query]) == [rid]


def test_parameters_travel_as_parameters(cluster):
    """A generic plan keeps $n in the Remote SQL, and postgres_fdw sends the
    values to the shard as parameters of the statement."""
    query = NAMED["narrow"]
    sql, args = prefiltered_statement(query)
    conn = connect(cluster.coordinator)
    try:
        conn.execute("SET plan_cache_mode = force_generic_plan")
        types = ["text[]" if isinstance(arg, list) else "text" for arg in args[:-1]]
        types.append(QUERY_TYPE)
        conn.execute(f"PREPARE find ({', '.join(types)}) AS {sql}")
        # EXPLAIN cannot type parameters of its own: the values go as literals.
        execute = "EXECUTE find (" + ", ".join(
            psycopg.sql.Literal(arg).as_string(conn) for arg in args) + ")"
        lines = plan(conn, execute)
        remotes = remote_sql(lines)
        assert len(remotes) == SHARDS, lines
        for remote in remotes.values():
            assert remote_match(len(args)) in remote, remote
            assert "$1::text[]" in remote, remote
        logs_before = [len(cluster.log(n)) for n in range(SHARDS)]
        got = ids(conn, execute)
    finally:
        conn.close()
    assert got == cluster.module_ids(query) and got
    array = "{" + ",".join(args[0]) + "}"
    for n in range(SHARDS):
        sent = cluster.log(n)[logs_before[n]:]
        assert re.search(r"execute <unnamed>: DECLARE c\d+ CURSOR FOR\n\s*SELECT id FROM "
                         r"public.records WHERE .*" + re.escape(remote_match(len(args))),
                         sent), sent
        assert f"parameters: $1 = '{array}', ${len(args)} = '{query}'" in sent, sent


def index_scans(conn) -> int:
    """The shard's count of scans of the tags index, once every other
    session on it has ended (a session reports its counts as it ends)."""
    deadline = time.monotonic() + 10
    while conn.execute("SELECT count(*) FROM pg_stat_activity WHERE backend_type = "
                       "'client backend' AND pid <> pg_backend_pid()").fetchone()[0]:
        assert time.monotonic() < deadline, "a session on the shard did not end"
        time.sleep(0.05)
    conn.execute("SELECT pg_stat_clear_snapshot()")
    return conn.execute("SELECT idx_scan FROM pg_stat_user_indexes WHERE indexrelname = $1",
                        [INDEX_NAME]).fetchone()[0]


PREFILTERED = ["narrow", "narrow-any", "relations", "quoted"]


def cursor_plan(conn, sql: str, fraction: Optional[float]) -> str:
    """A shard's plan of `sql` as postgres_fdw runs it, a cursor, with
    cursor_tuple_fraction at `fraction` (None: the server's default)."""
    if fraction is not None:
        conn.execute(f"SET cursor_tuple_fraction = {fraction}")
    try:
        return "\n".join(row[0] for row in conn.execute("EXPLAIN DECLARE c1 CURSOR FOR " + sql))
    finally:
        conn.execute("RESET cursor_tuple_fraction")


def test_each_shard_prefilters_with_its_gin_index(cluster):
    # The shard's own plan of the statement postgres_fdw sends it, planned
    # as postgres_fdw has it planned: a cursor read to the end. With the
    # default fraction, these shards plan a scan of the whole table instead
    # (docs/sharding.md shows both; update it when this changes).
    for name in PREFILTERED:
        sql, args = prefiltered_statement(NAMED[name])
        remotes = remote_sql(plan(cluster.coord, sql, args))
        for n, conn in enumerate(cluster.shard_conns, 1):
            shard_plan = cursor_plan(conn, remotes[f"records_{n}"], 1)
            assert f"Bitmap Index Scan on {INDEX_NAME}" in shard_plan, (name, shard_plan)
            assert LOCAL_MATCH in shard_plan, shard_plan
            default_plan = cursor_plan(conn, remotes[f"records_{n}"], None)
            assert default_plan.startswith("Seq Scan on records"), (name, default_plan)
    # The shards' own counters, around a coordinator session of its own
    # that runs the statements. The fixture's session lets go of its shard
    # connections first, so that nothing else reports scans meanwhile.
    cluster.coord.execute("SELECT postgres_fdw_disconnect_all()")
    before = [index_scans(conn) for conn in cluster.shard_conns]
    conn = connect(cluster.coordinator)
    try:
        for name in PREFILTERED:
            sql, args = prefiltered_statement(NAMED[name])
            assert ids(conn, sql, args) == cluster.module_ids(NAMED[name])
    finally:
        conn.close()
    after = [index_scans(conn) for conn in cluster.shard_conns]
    assert [a - b for a, b in zip(after, before)] == [len(PREFILTERED)] * SHARDS, \
        (before, after)


def test_a_shard_plans_the_remote_sql_without_parallel_workers(cluster):
    """postgres_fdw reads through a cursor, and PostgreSQL never plans a
    cursor in parallel: the same Remote SQL gets workers only as a plain
    statement."""
    sql, args = match_statement(NAMED["negation-only"])
    remote = remote_sql(plan(cluster.coord, sql, args))["records_1"]
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
    assert any(LOCAL_MATCH in line for line in cursor), cursor


# -- what stays on the coordinator -----------------------------------------------

@pytest.fixture(scope="module")
def unlisted(cluster):
    """Shard 1's table through a foreign server without the extensions
    option, and wrappers of the coordinator's own around the match."""
    coord = cluster.coord
    for sql in foreign_server_sql("shard1_unlisted", cluster.shards[0], options=""):
        coord.execute(sql)
    coord.execute(f"CREATE FOREIGN TABLE records_unlisted (id bigint, graph {GRAPH_TYPE}, "
                  "tags text[]) SERVER shard1_unlisted OPTIONS (table_name 'records')")
    signature = f"(q {QUERY_TYPE}, g {GRAPH_TYPE}) RETURNS boolean IMMUTABLE"
    coord.execute(f"CREATE FUNCTION sql_match{signature} LANGUAGE sql "
                  f"AS $$ SELECT {match_condition('q', 'g')} $$")
    coord.execute(f"CREATE FUNCTION plpgsql_match{signature} LANGUAGE plpgsql "
                  f"AS $$ BEGIN RETURN {match_condition('q', 'g')}; END $$")
    return cluster


# name, statement, whether the shards run the match, what the coordinator
# evaluates itself
SHIPPING = [
    ("unlisted extension", f"SELECT id FROM records_unlisted WHERE {match_condition('$1')}",
     False, LOCAL_MATCH),
    ("plpgsql wrapper", "SELECT id FROM records WHERE plpgsql_match($1, graph)",
     False, "plpgsql_match("),
    # An SQL function is inlined before planning: its body is shipped.
    ("sql wrapper", "SELECT id FROM records WHERE sql_match($1, graph)", True, None),
    # For a plain scan only the WHERE clause is shipped: a call in the select
    # list runs on the coordinator, over the graph fetched for it.
    ("select list", f"SELECT id, {TAGS_FUNCTION}(graph) FROM records "
     f"WHERE {match_condition('$1')}", True, f"{TAGS_FUNCTION}("),
]


@pytest.mark.parametrize("name, sql, shipped, local", SHIPPING,
                         ids=[case[0] for case in SHIPPING])
def test_what_the_coordinator_cannot_ship_it_evaluates_itself(unlisted, name, sql, shipped,
                                                              local):
    query = NAMED["relations"]
    lines = plan(unlisted.coord, sql, [query])
    remotes = remote_sql(lines)
    assert len(remotes) == (1 if name == "unlisted extension" else SHARDS), lines
    for remote in remotes.values():
        assert (REMOTE_MATCH in remote) == shipped, lines
        if not shipped:
            # The shard sends every row's graph for the coordinator to match.
            assert remote == "SELECT id, graph FROM public.records", remote
    kept = local_lines(lines)
    if local is None:
        assert not [line for line in kept if "lumo_" in line or "_match" in line], lines
    elif shipped:
        assert any(line.strip().startswith("Output: ") and local in line for line in kept), lines
    else:
        assert any(line.strip().startswith("Filter: ") and local in line for line in kept), lines
    want = unlisted.module_ids(query)
    if name == "unlisted extension":
        want = sorted(set(want) & set(unlisted.shard_ids(0)))
    rows = unlisted.coord.execute(sql, [query]).fetchall()
    assert sorted(row[0] for row in rows) == want and want
    if name == "select list":
        assert all(sorted(row[1]) == sorted(unlisted.parsed[row[0]].collect_tags())
                   for row in rows)


# -- errors -----------------------------------------------------------------------

def test_a_shards_error_reaches_the_client_as_it_is(cluster):
    query = "{ alice: (red }"
    sql, args = match_statement(query)
    with pytest.raises(psycopg.Error) as single:
        cluster.single.execute(sql, args)
    with pytest.raises(psycopg.Error) as sharded:
        cluster.coord.execute(sql, args)
    want, got = single.value, sharded.value
    assert (got.sqlstate, got.diag.message_primary, got.diag.message_detail) == \
        (want.sqlstate, want.diag.message_primary, want.diag.message_detail) == \
        (INVALID_TEXT, "invalid syntax", "{ alice: (red }\n              ^\ninvalid expression")
    assert "remote SQL command: SELECT id FROM public.records WHERE" in got.diag.context
    # A graph that fails fails on the coordinator, which computes the tags
    # column before it sends the row.
    with pytest.raises(psycopg.Error) as info:
        cluster.coord.execute("INSERT INTO records (id, graph) VALUES (-1, '{ x: a, a }')")
    assert (info.value.sqlstate, info.value.diag.message_primary) == \
        (INVALID_TEXT, "duplicate tags")
    assert info.value.diag.context is None
    assert ids(cluster.coord, "SELECT id FROM records WHERE id = -1") == []


@pytest.mark.parametrize("setup", ["", "CREATE SCHEMA other; "
                                       "CREATE EXTENSION lumo_query SCHEMA other"],
                         ids=["missing", "other schema"])
def test_a_shard_without_the_extension_in_public_fails_the_statement(cluster, setup):
    """The Remote SQL names public.lumo_is_match: the shard needs the
    extension, and in the schema it has on the coordinator."""
    dbname = "bare_other" if setup else "bare"
    admin = connect(cluster.shards[0])
    admin.execute(f"CREATE DATABASE {dbname}")
    try:
        bare = connect(cluster.shards[0], dbname)
        for statement in filter(None, setup.split("; ")):
            bare.execute(statement)
        bare.execute("CREATE TABLE records (id bigint, graph text, tags text[])")
        bare.execute("INSERT INTO records VALUES (1, '{ a }', '{context,a}')")
        bare.close()
        coord = cluster.coord
        for sql in foreign_server_sql(dbname, cluster.shards[0], dbname):
            coord.execute(sql)
        coord.execute(f"CREATE FOREIGN TABLE records_{dbname} (id bigint, graph text, "
                      f"tags text[]) SERVER {dbname} OPTIONS (table_name 'records')")
        with pytest.raises(psycopg.Error) as info:
            coord.execute(f"SELECT id FROM records_{dbname} WHERE lumo_is_match($1, graph)",
                          ["{ a }"])
        assert (info.value.sqlstate, info.value.diag.message_primary) == \
            ("42883", "function public.lumo_is_match(text, text) does not exist")
    finally:
        cluster.coord.execute(f"DROP SERVER IF EXISTS {dbname} CASCADE")
        admin.execute(f"DROP DATABASE {dbname} WITH (FORCE)")
        admin.close()
