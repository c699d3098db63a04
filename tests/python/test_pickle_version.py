"""Query and TagGraph travel (pickle, deepcopy, process pools); __version__."""
import concurrent.futures
import copy
import importlib.metadata
import multiprocessing
import pickle
import re
from pathlib import Path

import pytest

import lumo_query as lq

GRAPH = "{ alice: employee, engineer { laptop: encrypted } }"


def roundtrips():
    yield "pickle", lambda obj: pickle.loads(pickle.dumps(obj))
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        yield f"pickle protocol {protocol}", lambda obj, p=protocol: pickle.loads(pickle.dumps(obj, p))
    yield "copy", copy.copy
    yield "deepcopy", copy.deepcopy


@pytest.mark.parametrize("how, trip", list(roundtrips()), ids=[h for h, _ in roundtrips()])
def test_round_trip_keeps_meaning(how, trip):
    query = lq.parse_query("{ alice: employee { laptop: -broken } }")
    graph = lq.parse_tag_graph(GRAPH)
    q2, g2 = trip(query), trip(graph)
    assert type(q2) is lq.Query and type(g2) is lq.TagGraph
    assert q2 is not query and g2 is not graph
    assert q2.is_match(g2) and q2.is_match(graph) and query.is_match(g2)
    assert q2.to_sql([]) == query.to_sql([])
    assert sorted(g2.collect_tags()) == sorted(graph.collect_tags())
    # Equality and hashing stay by identity.
    assert q2 != query and hash(q2) != hash(query)


def test_validate_travels_with_the_graph():
    lenient = lq.parse_tag_graph("{ x: a, a }", validate=False)
    assert lenient.__reduce__() == (lq.parse_tag_graph, ("{ x: a, a }", False))
    assert sorted(pickle.loads(pickle.dumps(lenient)).collect_tags()) == ["a", "context", "x"]
    assert lq.parse_query("{ a }").__reduce__() == (lq.parse_query, ("{ a }", True))


def test_a_str_subclass_pickles_as_str():
    class Text(str):
        pass

    query = lq.parse_query(Text("{ a }"))
    func, (text, validate) = query.__reduce__()
    assert type(text) is str and text == "{ a }"
    assert b"Text" not in pickle.dumps(query)


def test_pickled_graph_is_read_again_not_copied():
    # The pickle holds the text and the call, nothing of the index.
    graph = lq.parse_tag_graph(GRAPH)
    data = pickle.dumps(graph)
    assert GRAPH.encode() in data and len(data) < len(GRAPH) + 80


def answer(query, graph):
    return query.is_match(graph), query.explain(graph).split("\n")[0], sorted(graph.collect_tags())


def test_process_pool_executor_and_spawned_processes():
    query = lq.parse_query("{ alice { laptop: encrypted } }")
    graphs = [lq.parse_tag_graph(GRAPH), lq.parse_tag_graph("{ bob }")]
    expected = [answer(query, g) for g in graphs]
    context = multiprocessing.get_context("spawn")
    with concurrent.futures.ProcessPoolExecutor(max_workers=2, mp_context=context) as pool:
        assert list(pool.map(answer, [query] * 2, graphs)) == expected
    with context.Pool(2) as pool:
        assert pool.starmap(answer, [(query, g) for g in graphs]) == expected


def test_version_is_the_package_metadata_and_the_changelog():
    assert lq.__version__ == importlib.metadata.version("lumo_query")
    assert re.fullmatch(r"\d+\.\d+\.\d+", lq.__version__)
    changelog = Path(__file__).resolve().parents[2] / "docs" / "changelog.md"
    released = re.findall(r"^## (\d+\.\d+\.\d+)", changelog.read_text(), re.M)
    assert released and released[0] == lq.__version__
