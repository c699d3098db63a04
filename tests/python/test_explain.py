"""Query.explain(graph): its first line agrees with is_match, its reports."""
import random

import pytest

import lumo_query as lq
from test_graph_reading import QUERIES, random_graph
from test_surface import run_in_small_stack


def test_explain_agrees_with_is_match_on_random_graphs():
    rng = random.Random(11)
    queries = [lq.parse_query(q) for q in QUERIES]
    compared = matched = 0
    for _ in range(600):
        text = random_graph(rng, rng.randint(1, 25))
        try:
            graph = lq.parse_tag_graph(text, False)
            # Graphs as queries too: they nearly match one another.
            own = lq.parse_query(random_graph(rng, rng.randint(1, 8)))
        except ValueError:
            continue
        for query in queries + [own]:
            expected = query.is_match(graph)
            report = query.explain(graph)
            assert report.split("\n")[0] == ("match" if expected else "no match"), text
            assert query.is_match(graph) is expected  # explain changed nothing
            compared += 1
            matched += expected
    assert compared > 800 and 0.05 < matched / compared < 0.95


@pytest.mark.parametrize(
    "query, graph, expected",
    [
        ("{ alice: employee }", "{ alice: employee, engineer }",
         "match\n  `(root)` -> `(root)` #0\n  `alice` -> `alice` #1\n"),
        ("{ alice: boss }", "{ alice: employee\n bob: boss }",
         "no match\n  `(root)` -> `(root)` #0\n  `alice` cannot be placed inside `(root)` #0\n"
         "  closest graph subjects (1 of 1):\n    `alice` #1: lacks `boss`\n"),
        ("{ phone: -encrypted }", "{ phone: encrypted }",
         "no match\n  `(root)` -> `(root)` #0\n  `phone` cannot be placed inside `(root)` #0\n"
         "  closest graph subjects (1 of 1):\n"
         "    `phone` #1: has `encrypted`, which the query excludes\n"),
        ("{ alice { laptop } }", "{ alice\n laptop }",
         "no match\n  `(root)` -> `(root)` #0\n  `alice` -> `alice` #1\n"
         "  `alice > laptop` cannot be placed inside `alice` #1\n"
         "  no graph subject there has the identity `laptop`\n"),
        ("{ alice { * > @laptop: owns }\n laptop }", "{ alice { *: owns }\n laptop }",
         "no match\n  every subject has a place, but no placement meets the relation entries\n"
         "  the graph has no relations\n"),
    ],
)
def test_reports(query, graph, expected):
    assert lq.parse_query(query).explain(lq.parse_tag_graph(graph)) == expected


def test_argument_errors_are_those_of_is_match():
    query = lq.parse_query("{ a }")
    for call in (query.is_match, query.explain):
        with pytest.raises(TypeError) as info:
            call("{ a }")
        with pytest.raises(TypeError) as other:
            query.is_match("{ a }")
        assert str(info.value).replace("explain", "is_match") == str(other.value)
    with pytest.raises(TypeError):
        query.explain()


def test_deep_inputs_in_a_small_stack():
    def work():
        depth = 100_000
        graph = lq.parse_tag_graph("{" + "a{" * depth + "b: x" + "}" * depth + "}")
        return {
            "yes": lq.parse_query("{" + "a{" * depth + "b: x" + "}" * depth + "}").explain(graph),
            "no": lq.parse_query("{" + "a{" * depth + "b: y" + "}" * depth + "}").explain(graph),
        }

    result = run_in_small_stack(work)
    assert result["yes"].startswith("match\n") and result["yes"].endswith(" more\n")
    assert result["no"].endswith("    `... > a > a > b` #100001: lacks `y`\n")
