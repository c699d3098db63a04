"""The SQL condition of `Query.to_sql` run by a real PostgreSQL server.

The server is a throwaway one (see pg_server.py). Graphs and queries are
generated from one small vocabulary, so that many queries match many graphs;
the generator keeps its own model of every text it writes, which gives an
independent account of the tags a graph holds and of the rows a condition
must select.
"""

from __future__ import annotations

import json
import random
import re
from dataclasses import dataclass, field
from typing import List, Optional, Sequence, Set, Tuple, Union

import pytest

import lumo_query
from pg_server import pg_conn, pg_server  # noqa: F401  (fixtures)

IDENTITIES = ["alice", "bob", "carol", "dave", "laptop", "phone", "badge",
              "report", "memo", "printer"]
TAGS = ["employee", "engineer", "manager", "intern", "red", "blue", "green",
        "large", "small", "secret", "draft", "signed", "owns", "uses",
        "o'brien", 'say "hi"', "semi;colon", "back\\slash",
        "x'); DROP TABLE graphs; --", "été", "select", "null"]
RELATION_TAGS = ["owns", "uses", "signed", "manages"]

BARE_TAG = re.compile(r"[A-Za-z0-9_'][A-Za-z0-9_']*\Z")


def tag_text(tag: str) -> str:
    """A tag as it is written in the language: bare when that is safe,
    otherwise as a quoted string."""
    if BARE_TAG.match(tag):
        return tag
    return json.dumps(tag, ensure_ascii=False)


# -- expressions -----------------------------------------------------------

@dataclass
class Tag:
    tag: str


@dataclass
class Not:
    operand: "Expr"


@dataclass
class Lst:
    all: bool
    items: List["Expr"]


Expr = Union[Tag, Not, Lst]


def render_term(expr: Expr) -> str:
    if isinstance(expr, Tag):
        return tag_text(expr.tag)
    if isinstance(expr, Not):
        return "-" + render_term(expr.operand)
    return "(" + render_list(expr) + ")"


def render_list(expr: Expr) -> str:
    if not isinstance(expr, Lst):
        return render_term(expr)
    separator = ", " if expr.all else " / "
    return separator.join(render_term(item) for item in expr.items)


def prefilter_holds(expr: Expr, tags: Set[str]) -> bool:
    """What the SQL condition states about one expression: every required
    tag is present, negations impose nothing."""
    if isinstance(expr, Tag):
        return expr.tag in tags
    if isinstance(expr, Not):
        return True
    if expr.all:
        return all(prefilter_holds(item, tags) for item in expr.items)
    return any(prefilter_holds(item, tags) for item in expr.items)


def random_expr(rng: random.Random, depth: int, vocab: Sequence[str]) -> Expr:
    roll = rng.random()
    if depth <= 0 or roll < 0.45:
        return Tag(rng.choice(vocab))
    if roll < 0.6:
        return Not(random_expr(rng, depth - 1, vocab))
    items = [random_expr(rng, depth - 1, vocab) for _ in range(rng.randint(1, 3))]
    return Lst(rng.random() < 0.5, items)


# -- subjects (shared by graphs and queries) --------------------------------

@dataclass
class Subject:
    name: str
    token: Optional[str] = None          # the subject tag; None for "*"
    extra: List[str] = field(default_factory=list)   # identities in "( )"
    expr: Optional[Expr] = None
    children: List["Subject"] = field(default_factory=list)
    target: Optional[List[str]] = None   # relation target path
    context: Optional[List[str]] = None  # relation context path
    parent: Optional["Subject"] = None

    @property
    def identities(self) -> List[str]:
        return self.extra + ([self.token] if self.token is not None else [])

    @property
    def is_relation(self) -> bool:
        return self.target is not None

    def add(self, child: "Subject", position: Optional[int] = None) -> "Subject":
        child.parent = self
        if position is None:
            self.children.append(child)
        else:
            self.children.insert(position, child)
        return child

    def walk(self) -> List["Subject"]:
        out, stack = [], [self]
        while stack:
            subject = stack.pop()
            out.append(subject)
            stack.extend(reversed(subject.children))
        return out

    def path_from_root(self) -> List["Subject"]:
        chain = []
        node: Optional[Subject] = self
        while node is not None:
            chain.append(node)
            node = node.parent
        return chain


def render_entry(subject: Subject, indent: str, lines: List[str]) -> None:
    text = tag_text(subject.token) if subject.token is not None else "*"
    if subject.extra:
        text += "(" + ", ".join(tag_text(i) for i in subject.extra) + ")"
    text += " @" + subject.name
    if subject.target is not None:
        text += " > @" + ".".join(subject.target)
        if subject.context is not None:
            text += "(@" + ".".join(subject.context) + ")"
    if subject.expr is not None:
        text += " : " + render_list(subject.expr)
    if subject.children:
        lines.append(indent + text + " {")
        for child in subject.children:
            render_entry(child, indent + "  ", lines)
        lines.append(indent + "}")
    else:
        lines.append(indent + text)


def render_document(top: Subject, statements: Sequence[str] = ()) -> str:
    lines = list(statements)
    lines.append("{")
    for child in top.children:
        render_entry(child, "  ", lines)
    lines.append("}")
    return "\n".join(lines)


def visible(parent: Subject) -> List[Subject]:
    """Subjects a relation written inside `parent` can name first in a path:
    the children of `parent` and of each of its ancestors."""
    seen = []
    for ancestor in parent.path_from_root():
        seen.extend(ancestor.children)
    return seen


def random_path(rng: random.Random, parent: Subject) -> Tuple[List[str], Subject]:
    start = rng.choice([s for s in visible(parent) if not s.is_relation])
    names, node = [start.name], start
    for _ in range(rng.randint(0, 2)):
        inner = [c for c in node.children if not c.is_relation]
        if not inner:
            break
        node = rng.choice(inner)
        names.append(node.name)
    return names, node


# -- tag graphs ------------------------------------------------------------

@dataclass
class GraphCase:
    text: str
    tags: Set[str]          # every tag and identity, "context" included
    root: Subject


def random_graph(rng: random.Random, serial: int) -> GraphCase:
    root = Subject(name="")
    counter = [0]

    def fresh() -> str:
        counter[0] += 1
        return f"g{serial}_{counter[0]}"

    budget = rng.randint(1, 14)
    frontier = [root]
    plain: List[Subject] = []
    while budget > 0 and frontier:
        parent = rng.choice(frontier)
        subject = Subject(name=fresh())
        if rng.random() < 0.6:
            subject.token = rng.choice(IDENTITIES)
        if rng.random() < 0.15:
            extra = rng.choice(IDENTITIES + ["context"])
            if extra != subject.token:
                subject.extra.append(extra)
        tags = rng.sample(TAGS, rng.randint(0, 3))
        if tags:
            subject.expr = Lst(True, [Tag(t) for t in tags])
        parent.add(subject)
        plain.append(subject)
        if len(subject.path_from_root()) < 6:
            frontier.append(subject)
        budget -= 1
    # Relation subjects are leaves written inside plain subjects (or at the
    # top), naming plain subjects only.
    for _ in range(rng.choice([0, 0, 1, 1, 2, 3])):
        parent = rng.choice([root] + plain)
        relation = Subject(name=fresh())
        if rng.random() < 0.3:
            relation.token = rng.choice(IDENTITIES)
        relation.expr = Tag(rng.choice(RELATION_TAGS))
        relation.target, _ = random_path(rng, parent)
        if rng.random() < 0.5:
            relation.context, _ = random_path(rng, parent)
        parent.add(relation, rng.randint(0, len(parent.children)))
    tags = {"context"}
    for subject in root.walk()[1:]:
        tags.update(subject.identities)
        if subject.expr is not None:
            tags.update(t.tag for t in flatten_tags(subject.expr))
    return GraphCase(render_document(root), tags, root)


def flatten_tags(expr: Expr) -> List[Tag]:
    if isinstance(expr, Tag):
        return [expr]
    if isinstance(expr, Lst):
        return [t for item in expr.items for t in flatten_tags(item)]
    return flatten_tags(expr.operand)


# -- queries ---------------------------------------------------------------

@dataclass
class QueryCase:
    text: str
    subjects: List[Subject]   # every subject below the root


def query_case(root: Subject, statements: Sequence[str] = ()) -> QueryCase:
    return QueryCase(render_document(root, statements), root.walk()[1:])


def random_query(rng: random.Random, serial: int) -> QueryCase:
    root = Subject(name="")
    counter = [0]

    def fresh() -> str:
        counter[0] += 1
        return f"q{serial}_{counter[0]}"

    vocab = TAGS + IDENTITIES
    plain: List[Subject] = []
    frontier = [root]
    for _ in range(rng.randint(1, 4)):
        parent = rng.choice(frontier)
        subject = Subject(name=fresh())
        roll = rng.random()
        if roll < 0.4:
            subject.token = rng.choice(IDENTITIES)
        elif roll < 0.55:
            subject.extra.append(rng.choice(IDENTITIES))
        if rng.random() < 0.75:
            subject.expr = random_expr(rng, rng.randint(0, 3), vocab)
        parent.add(subject)
        plain.append(subject)
        frontier.append(subject)
    for _ in range(rng.choice([0, 0, 1, 1, 2])):
        parent = rng.choice([root] + plain)
        relation = Subject(name=fresh())
        if rng.random() < 0.6:
            relation.expr = random_expr(rng, 1, RELATION_TAGS)
        relation.target, _ = random_path(rng, parent)
        if rng.random() < 0.4:
            relation.context, _ = random_path(rng, parent)
        parent.add(relation, rng.randint(0, len(parent.children)))
    statements = []
    if rng.random() < 0.2:
        statements.append(render_list(random_expr(rng, 2, vocab)))
    if rng.random() < 0.15:
        statements.append("[color:red, -size:" + tag_text(rng.choice(TAGS)) + "]")
    return query_case(root, statements)


def describe(graph_subject: Subject, name: str, rng: random.Random) -> Subject:
    """A query subject that the given graph subject satisfies."""
    subject = Subject(name=name)
    if graph_subject.token is not None and graph_subject.token != "context":
        subject.token = graph_subject.token
    elif graph_subject.extra and graph_subject.extra[0] != "context":
        subject.extra.append(graph_subject.extra[0])
    own = flatten_tags(graph_subject.expr) if graph_subject.expr else []
    if own:
        chosen = rng.sample(own, rng.randint(1, len(own)))
        items: List[Expr] = [Tag(t.tag) for t in chosen]
        if rng.random() < 0.5:
            items.append(Not(Tag("no-such-tag")))
        if rng.random() < 0.3:
            items = [Lst(False, [items[0], Tag(rng.choice(TAGS))])] + items[1:]
        subject.expr = Lst(True, items)
    return subject


def derived_query(rng: random.Random, graph: GraphCase, serial: int) -> QueryCase:
    """A query made to match `graph`: a subject and one of its descendants,
    or one of its relations with source, target and (sometimes) context."""
    root = Subject(name="")
    subjects = graph.root.walk()[1:]
    relations = [s for s in subjects if s.is_relation]
    if relations and rng.random() < 0.6:
        relation = rng.choice(relations)
        source = relation.parent
        assert source is not None
        target = resolve(relation.parent, relation.target)
        context = (resolve(relation.parent, relation.context)
                   if relation.context is not None else None)
        effective = context or default_context(source)
        if source is not graph.root and effective is not source:
            top_source = root.add(describe(source, f"d{serial}_s", rng))
            rel = top_source.add(describe(relation, f"d{serial}_r", rng))
            root.add(describe(target, f"d{serial}_t", rng))
            rel.target = [f"d{serial}_t"]
            if context is not None and rng.random() < 0.7:
                root.add(describe(context, f"d{serial}_c", rng))
                rel.context = [f"d{serial}_c"]
            return query_case(root)
    plain = [s for s in subjects if not s.is_relation]
    chosen = rng.choice(plain)
    outer = root.add(describe(chosen, f"d{serial}_a", rng))
    inner = [s for s in chosen.walk()[1:] if not s.is_relation]
    if inner:
        outer.add(describe(rng.choice(inner), f"d{serial}_b", rng))
    return query_case(root)


def default_context(source: Subject) -> Subject:
    """The context of a relation written inside `source` without one."""
    chain = source.path_from_root()
    return next(s for s in chain if s.parent is None or "context" in s.identities)


def resolve(parent: Subject, path: List[str]) -> Subject:
    node = next(s for s in visible(parent) if s.name == path[0])
    for name in path[1:]:
        node = next(c for c in node.children if c.name == name)
    return node


def checks_relation(subject: Subject) -> bool:
    """Whether matching looks the relation up among the graph's relations
    (its context differs from its source)."""
    if not subject.is_relation:
        return False
    assert subject.parent is not None
    context = (resolve(subject.parent, subject.context)
               if subject.context is not None else default_context(subject.parent))
    return context is not subject.parent


def prefilter_rows(query: QueryCase, graphs: Sequence[GraphCase]) -> Set[int]:
    """The ids the condition must select, from the generator's own model."""
    selected = set()
    for gid, graph in enumerate(graphs):
        if all(set(s.identities) <= graph.tags
               and (s.expr is None or prefilter_holds(s.expr, graph.tags))
               for s in query.subjects):
            selected.add(gid)
    return selected


# -- database helpers ------------------------------------------------------

def create_table(conn, name: str, rows: Sequence[Tuple[int, List[str]]]) -> None:
    cur = conn.cursor()
    cur.execute(f"DROP TABLE IF EXISTS {name}")
    cur.execute(f"CREATE TABLE {name} (id int PRIMARY KEY, tags text[] NOT NULL)")
    cur.execute(f"CREATE INDEX ON {name} USING gin (tags)")
    cur.executemany(f"INSERT INTO {name} VALUES ($1, $2)", rows)
    cur.execute(f"ANALYZE {name}")


def select_ids(conn, table: str, condition: str, args: list) -> Set[int]:
    cur = conn.cursor()
    cur.execute(f"SELECT id FROM {table} WHERE {condition}", args)
    return {row[0] for row in cur.fetchall()}


# -- tests -----------------------------------------------------------------

GRAPH_COUNT = 1500
QUERY_COUNT = 500


@dataclass
class Generated:
    graphs: List[GraphCase]
    parsed: list                       # lumo_query.TagGraph per graph
    queries: List[QueryCase]
    compiled: list                     # lumo_query.Query per query

    def rows(self) -> List[Tuple[int, List[str]]]:
        return [(i, p.collect_tags()) for i, p in enumerate(self.parsed)]


@pytest.fixture(scope="module")
def generated() -> Generated:
    rng = random.Random(20240611)
    graphs = [random_graph(rng, i) for i in range(GRAPH_COUNT)]
    queries = []
    for i in range(QUERY_COUNT):
        if i % 2:
            queries.append(random_query(rng, i))
        else:
            queries.append(derived_query(rng, rng.choice(graphs), i))
    return Generated(graphs, [lumo_query.parse_tag_graph(g.text) for g in graphs],
                     queries, [lumo_query.parse_query(q.text) for q in queries])


@pytest.fixture(scope="module")
def pg_graphs(pg_conn, generated):  # noqa: F811
    create_table(pg_conn, "graphs", generated.rows())
    # Make the planner answer through the GIN index wherever it can, so the
    # rows below come from the index's reading of the operators.
    pg_conn.cursor().execute("SET enable_seqscan = off")
    return generated


def test_collected_tags_are_the_graphs_tags(generated):
    wrong = [(g.text, sorted(g.tags), sorted(p.collect_tags()))
             for g, p in zip(generated.graphs, generated.parsed)
             if sorted(p.collect_tags()) != sorted(g.tags)]
    assert not wrong, f"{len(wrong)} graphs differ, first: {wrong[0]}"


def test_every_match_passes_the_prefilter(pg_conn, pg_graphs):  # noqa: F811
    graphs, parsed = pg_graphs.graphs, pg_graphs.parsed
    total_matches = relation_matches = selective = 0
    for query, compiled in zip(pg_graphs.queries, pg_graphs.compiled):
        args: list = []
        condition = compiled.to_sql(args)
        rows = select_ids(pg_conn, "graphs", condition, args)
        assert rows == prefilter_rows(query, graphs), (query.text, condition, args)
        matches = {gid for gid, graph in enumerate(parsed) if compiled.is_match(graph)}
        missed = matches - rows
        assert not missed, (
            f"query {query.text!r} -> {condition} {args}: matching graphs "
            f"left out by the SQL: {[graphs[g].text for g in sorted(missed)[:3]]}")
        total_matches += len(matches)
        if any(checks_relation(s) for s in query.subjects):
            relation_matches += len(matches)
        selective += len(rows) < len(graphs)
    # The corpus must exercise the property, not pass it vacuously.
    assert total_matches > QUERY_COUNT
    assert relation_matches > 50
    assert selective > QUERY_COUNT // 2


@pytest.mark.parametrize("text", ["{ alice: red / blue }", "{ *(laptop) { * : secret } }"])
def test_gin_index_serves_the_condition(pg_conn, pg_graphs, text):  # noqa: F811
    args: list = []
    condition = lumo_query.parse_query(text).to_sql(args)
    cur = pg_conn.cursor()
    cur.execute(f"EXPLAIN SELECT id FROM graphs WHERE {condition}", args)
    plan = "\n".join(row[0] for row in cur.fetchall())
    assert "Bitmap Index Scan on graphs_tags_idx" in plan, plan


def test_duckdb_runs_the_conditions_unchanged(generated):
    """The embedded engine of the example takes the same text and values."""
    duckdb = pytest.importorskip("duckdb")
    conn = duckdb.connect(":memory:")
    conn.execute("CREATE TABLE graphs (id INTEGER PRIMARY KEY, tags VARCHAR[])")
    conn.executemany("INSERT INTO graphs VALUES ($1, $2)", generated.rows())
    for query, compiled in zip(generated.queries, generated.compiled):
        args: list = []
        condition = compiled.to_sql(args)
        rows = conn.execute(f"SELECT id FROM graphs WHERE {condition}", args).fetchall()
        assert {row[0] for row in rows} == prefilter_rows(query, generated.graphs), \
            (query.text, condition, args)


def test_true_selects_every_row(pg_conn, pg_graphs):  # noqa: F811
    args: list = []
    condition = lumo_query.parse_query("{ * { *: -red } }").to_sql(args)
    assert (condition, args) == ("true", [])
    assert len(select_ids(pg_conn, "graphs", condition, args)) == GRAPH_COUNT


SMALL = [
    (1, ["shirt", "red", "large"]),
    (2, ["shirt", "blue"]),
    (3, ["shirt", "button", "blue"]),
    (4, ["pants", "red"]),
    (5, []),
]
ALL_SMALL = {row[0] for row in SMALL}


@pytest.mark.parametrize("text, sql, expected_args, ids", [
    ("{ shirt }", "(tags @> array[$1])", ["shirt"], {1, 2, 3}),
    ("{ shirt: red, large }", "(tags @> $1)", [["shirt", "red", "large"]], {1}),
    ("{ shirt: red / blue }", "((tags && $1) and (tags @> $2))",
     [["red", "blue"], ["shirt"]], {1, 2, 3}),
    ("{ *: -red }", "true", [], ALL_SMALL),
    ("{ *: red / -blue }", "true", [], ALL_SMALL),
    ("{ shirt { button } }", "(tags @> $1)", [["shirt", "button"]], {3}),
    ("red, blue", "true", [], ALL_SMALL),
    ("{ *: a, (b, c) }", "(tags @> $1)", [["a", "b", "c"]], set()),
    ("{ pants: red / blue, -large }", "((tags && $1) and (tags @> $2))",
     [["red", "blue"], ["pants"]], {4}),
    ("{ * : -large { * : red / blue } }", "(tags && $1)", [["red", "blue"]], {1, 2, 3, 4}),
])
def test_worked_examples_run(pg_conn, text, sql, expected_args, ids):
    create_table(pg_conn, "small", SMALL)
    args: list = []
    condition = lumo_query.parse_query(text).to_sql(args)
    assert (condition, args) == (sql, expected_args)
    assert select_ids(pg_conn, "small", condition, args) == ids


def test_placeholders_continue_after_existing_args(pg_conn):
    create_table(pg_conn, "small", SMALL)
    args: list = ["blue"]
    condition = lumo_query.parse_query("{ shirt: red / button }").to_sql(args)
    assert condition == "((tags && $2) and (tags @> $3))"
    rows = select_ids(pg_conn, "small", f"(tags @> array[$1]) and {condition}", args)
    assert rows == {3}


# Everything a condition may consist of: values never appear in it.
SQL_TOKENS = re.compile(r"(?:[()\s]|tags|@>|&&|array\[|\]|\$[0-9]+|and|or|true|false)*")

HOSTILE = [
    "x'); DROP TABLE hostile; --",
    "it's",
    'say "hi"',
    "back\\slash\\",
    "semi;colon;",
    "SELECT * FROM pg_user",
    "$1",
    "array[1]",
    "' OR '1'='1",
    "tab\tand\nnewline",
]


@pytest.mark.parametrize("value", HOSTILE)
def test_hostile_values_go_only_through_parameters(pg_conn, value):
    rows = [(1, [value, "plain"]), (2, ["plain"]), (3, [value])]
    create_table(pg_conn, "hostile", rows)
    for text, ids in [
        ("{ " + tag_text(value) + " }", {1, 3}),
        ("{ * : plain, " + tag_text(value) + " }", {1}),
        ("{ * : nothing / " + tag_text(value) + " }", {1, 3}),
        ("{ *(" + tag_text(value) + ") { * : plain } }", {1}),
    ]:
        args: list = []
        condition = lumo_query.parse_query(text).to_sql(args)
        assert SQL_TOKENS.fullmatch(condition), condition
        assert select_ids(pg_conn, "hostile", condition, args) == ids, text
    cur = pg_conn.cursor()
    cur.execute("SELECT count(*) FROM hostile")
    assert cur.fetchone()[0] == len(rows)
