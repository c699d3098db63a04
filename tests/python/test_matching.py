"""Query.is_match and TagGraph.collect_tags over the cases that decide an answer."""
import pytest

import lumo_query as lq


def match(query, graph, validate=True):
    result = lq.parse_query(query).is_match(lq.parse_tag_graph(graph, validate=validate))
    assert type(result) is bool
    return result


# root 0, alice 1, laptop 2 (inside alice), bob 3, phone 4 (inside bob)
PEOPLE = """
{
  alice: employee, engineer {
    laptop: silver
  }
  bob: employee {
    phone
  }
}
"""


@pytest.mark.parametrize("query, graph, expected", [
    # root alone: the root expression against the whole graph
    ("", PEOPLE, True),
    ("", "", True),
    ("employee", PEOPLE, True),
    ("silver", PEOPLE, True),
    ("alice, phone", PEOPLE, True),
    ("employee, silver", PEOPLE, True),
    ("employee, manager", PEOPLE, False),
    ("manager", PEOPLE, False),
    ("employee", "", False),
    ("red", "red, blue", True),
    ("context", "", True),
    ("context", PEOPLE, True),
    ("-context", PEOPLE, False),
    ("-manager", PEOPLE, True),
    ("-employee", PEOPLE, False),
    ("--employee", PEOPLE, True),
    ("-(employee, manager)", PEOPLE, True),
    ("manager / silver", PEOPLE, True),
    ("manager / intern", PEOPLE, False),
    ("() / ()", PEOPLE, True),
    # identities narrow the candidates; a tag is no identity
    ("{ alice }", PEOPLE, True),
    ("{ carol }", PEOPLE, False),
    ("{ laptop }", PEOPLE, True),
    ("{ silver }", PEOPLE, False),
    ("{ *(alice): engineer }", PEOPLE, True),
    ("{ *(bob): engineer }", PEOPLE, False),
    ("{ context }", PEOPLE, True),
    ("{ context }", "", True),
    # expression tags anywhere in the candidate's subtree, tags or identities
    ("{ alice: engineer }", PEOPLE, True),
    ("{ alice: silver }", PEOPLE, True),
    ("{ alice: laptop }", PEOPLE, True),
    ("{ alice: phone }", PEOPLE, False),
    ("{ bob: engineer }", PEOPLE, False),
    ("{ alice: -silver }", PEOPLE, False),
    ("{ bob: -silver }", PEOPLE, True),
    ("{ alice: context }", PEOPLE, False),
    # "*" tries every subject inside the parent's match, the graph root included
    ("{ *: silver }", PEOPLE, True),
    ("{ *: context }", PEOPLE, True),
    ("{ *: engineer, phone }", PEOPLE, True),
    ("{ *: employee, -silver }", PEOPLE, True),
    ("{ *: employee, engineer, -silver }", PEOPLE, False),
    ("{ * }", "", True),
    ("{ *: red }", "red", True),
    ("{ alice { *: phone } }", PEOPLE, False),
    # a child may take its parent's graph subject; siblings may share one
    ("{ alice { alice } }", PEOPLE, True),
    ("{ alice { *: engineer } }", PEOPLE, True),
    ("{ *: engineer { *: phone } }", PEOPLE, True),
    ("{ alice { *: employee { *: silver } } }", PEOPLE, True),
    ("{\n *(alice): employee\n *(alice): engineer\n}", PEOPLE, True),
    ("{\n *(alice): employee\n *(bob): engineer\n}", PEOPLE, False),
    # nesting: a child lies inside its parent's match, at any depth
    ("{ alice { laptop } }", PEOPLE, True),
    ("{ bob { laptop } }", PEOPLE, False),
    ("{ laptop { alice } }", PEOPLE, False),
    ("{ alice { laptop { alice } } }", PEOPLE, False),
    ("{ a { c } }", "{ a { b { c } } }", True),
    ("{ a { b { c } } }", "{ a { b }\n c }", False),
    ("{ alice { laptop } }", "{\n alice\n alice { laptop }\n}", True),
    ("{ alice: x { laptop } }", "{\n alice: x\n alice { laptop }\n}", False),
])
def test_subjects_expressions_and_nesting(query, graph, expected):
    assert match(query, graph) is expected


# relation subject written in alice, moved under the root (implicit context)
OWNS = "{\n alice {\n  * > @laptop : owns\n }\n laptop\n office\n}"
# relation subject written in bob
BOB_OWNS = "{\n alice\n bob {\n  * > @laptop : owns\n }\n laptop\n}"
# the same subjects without any relation
NO_RELATION = "{\n alice { *: owns }\n laptop\n office\n}"
# relation subject deed moved under office, which comes later in the text
AT_OFFICE = "{\n alice {\n  deed > @laptop(@office) : owns\n }\n laptop\n office\n home\n}"

Q_OWNS = "{\n alice { * > @laptop : owns }\n laptop\n}"
Q_DEED = "{\n alice { deed > @laptop : owns }\n laptop\n}"
Q_AT_OFFICE = "{\n alice { * > @laptop(@office) : owns }\n laptop\n office\n}"
Q_AT_HOME = "{\n alice { * > @laptop(@home) : owns }\n laptop\n home\n}"
# context equal to the source: no relation entry, a subject found anywhere
Q_SELF = "{\n alice { * > @laptop(@alice) : owns }\n laptop\n}"
Q_IN_CONTEXT = "{\n *(context) { * > @laptop : owns }\n laptop\n}"


@pytest.mark.parametrize("query, graph, expected", [
    (Q_OWNS, OWNS, True),
    (Q_OWNS, BOB_OWNS, False),
    (Q_OWNS, NO_RELATION, False),
    (Q_OWNS, AT_OFFICE, True),
    (Q_DEED, AT_OFFICE, True),
    (Q_DEED, OWNS, False),
    (Q_AT_OFFICE, AT_OFFICE, True),
    (Q_AT_HOME, AT_OFFICE, False),
    (Q_AT_OFFICE, OWNS, False),
    ("{\n alice\n laptop\n}", OWNS, True),
    ("{ *: owns }", OWNS, True),
    ("{ alice: owns }", OWNS, False),
    (Q_SELF, "{\n alice\n laptop\n x: owns\n}", True),
    (Q_SELF, "{\n alice\n laptop\n}", False),
    (Q_SELF, BOB_OWNS, True),
    (Q_IN_CONTEXT, NO_RELATION, True),
    (Q_IN_CONTEXT, "{ laptop }", False),
    # the subject moved under the later office counts for office and the root
    ("owns, deed", AT_OFFICE, True),
    ("{ office: owns, deed }", AT_OFFICE, True),
    ("{ office { deed } }", AT_OFFICE, True),
    ("{ alice: owns }", AT_OFFICE, False),
    ("{ home: owns }", AT_OFFICE, False),
])
def test_relations(query, graph, expected):
    assert match(query, graph) is expected


@pytest.mark.parametrize("query, expected", [
    ("{ alice }", True),
    ("{ alice: employee }", True),
    ("{ alice: manager }", False),
    ("{ alice { laptop } }", True),
    ("{ laptop { alice } }", False),
    ("{ alice { *: employee } }", True),
    ("{ *(laptop): employee }", False),
])
def test_identity_listed_twice_changes_nothing(query, expected):
    assert match(query, "{ alice: employee { laptop } }") is expected
    assert match(query, "{ alice(alice): employee { laptop(laptop) } }", validate=False) is expected


@pytest.mark.parametrize("graph, validate, expected", [
    ("", True, {"context"}),
    ("{ * }", True, {"context"}),
    ("red, blue", True, {"context", "red", "blue"}),
    ("{ alice: employee, engineer }", True, {"context", "alice", "employee", "engineer"}),
    ("{\n alice: employee\n bob: employee\n}", True, {"context", "alice", "bob", "employee"}),
    ("{\n alice: bob\n bob\n}", True, {"context", "alice", "bob"}),
    ("{ x: context }", True, {"context", "x"}),
    ("{ a { b { c: d } } }", True, {"context", "a", "b", "c", "d"}),
    ('{ x: "" }', True, {"context", "x", ""}),
    ("{ x(x): t, t }", False, {"context", "x", "t"}),
    (AT_OFFICE, True, {"context", "alice", "deed", "owns", "laptop", "office", "home"}),
])
def test_collect_tags(graph, validate, expected):
    g = lq.parse_tag_graph(graph, validate=validate)
    tags = g.collect_tags()
    assert type(tags) is list and all(type(t) is str for t in tags)
    assert len(tags) == len(set(tags))
    assert set(tags) == expected
    assert g.collect_tags() == tags


@pytest.mark.parametrize("last", ["nope", "*: nope", "*(nope)"])
def test_many_stars_before_an_unsatisfiable_subject(last):
    query = "{ " + "* " * 20 + "\n " + last + "\n}"
    assert match(query, PEOPLE) is False
    assert match(query.replace(last, "*: silver"), PEOPLE) is True


def test_graph_shared_by_queries_and_collection():
    graph = lq.parse_tag_graph(PEOPLE)
    yes = lq.parse_query("{ alice { laptop } }")
    no = lq.parse_query("{ bob { laptop } }")
    assert yes.is_match(graph) is True
    assert no.is_match(graph) is False
    tags = graph.collect_tags()
    assert set(tags) == {"context", "alice", "bob", "employee", "engineer",
                         "laptop", "silver", "phone"}
    assert yes.is_match(graph) is True
    assert no.is_match(graph) is False
    assert graph.collect_tags() == tags

    fresh = lq.parse_tag_graph(PEOPLE)
    assert set(fresh.collect_tags()) == set(tags)
    assert no.is_match(fresh) is False
    assert yes.is_match(fresh) is True
    other = lq.parse_tag_graph("{ bob { laptop } }")
    assert yes.is_match(other) is False
    assert no.is_match(other) is True
