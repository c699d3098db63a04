"""The module's public surface: names, classes, signatures, results."""
import inspect
import os
import shutil
import subprocess
import sys
import textwrap
import threading
from pathlib import Path

import pytest

import lumo_query as lq


def test_all_lists_members_in_insertion_order():
    assert lq.__all__ == ["Query", "TagGraph", "parse_query", "parse_tag_graph"]
    for name in lq.__all__:
        assert getattr(lq, name) is not None
    assert lq.__name__ == "lumo_query"
    assert isinstance(lq.__doc__, str) and "\n" not in lq.__doc__.strip()


@pytest.mark.parametrize("cls, name", [(lq.Query, "Query"), (lq.TagGraph, "TagGraph")])
def test_class_identity_and_no_constructor(cls, name):
    assert cls.__name__ == name
    assert cls.__qualname__ == name
    assert cls.__module__ == "builtins"
    with pytest.raises(TypeError) as info:
        cls()
    assert str(info.value) == f"No constructor defined for {name}"
    with pytest.raises(TypeError) as info:
        cls.__new__(cls)
    assert str(info.value) == f"No constructor defined for {name}"
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


def test_instances_come_from_the_module_functions(query, graph):
    assert type(query) is lq.Query
    assert type(graph) is lq.TagGraph
    public = {n for n in dir(lq.Query) if not n.startswith("_")}
    assert public == {"is_match", "to_sql", "meta_queries", "explain"}
    assert {n for n in dir(lq.TagGraph) if not n.startswith("_")} == {"collect_tags"}


@pytest.mark.parametrize(
    "member, text_signature, shown",
    [
        (lq.parse_query, "(query, validate=True)", "(query, validate=True)"),
        (lq.parse_tag_graph, "(graph, validate=True)", "(graph, validate=True)"),
        (lq.Query.is_match, "($self, graph)", "(self, /, graph)"),
        (lq.Query.to_sql, "($self, args)", "(self, /, args)"),
        (lq.Query.meta_queries, "($self)", "(self, /)"),
        (lq.Query.explain, "($self, graph)", "(self, /, graph)"),
        (lq.TagGraph.collect_tags, "($self)", "(self, /)"),
    ],
)
def test_signatures(member, text_signature, shown):
    assert member.__text_signature__ == text_signature
    assert member.__doc__ is None  # the docstring holds nothing but the signature
    assert str(inspect.signature(member)) == shown


def test_parse_query_signature_defaults():
    params = inspect.signature(lq.parse_query).parameters
    assert list(params) == ["query", "validate"]
    assert params["validate"].default is True
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD for p in params.values())
    bound = inspect.signature(lq.parse_query("").to_sql).parameters
    assert list(bound) == ["args"]


def test_functions_belong_to_the_module():
    assert lq.parse_query.__module__ == "lumo_query"
    assert lq.parse_tag_graph.__self__ is lq


def test_worked_example():
    query = lq.parse_query("{ alice: employee }")
    graph = lq.parse_tag_graph("{ alice: employee, engineer }")
    assert query.is_match(graph) is True
    assert lq.parse_query("{ bob }").is_match(graph) is False
    args = []
    assert query.to_sql(args) == "(tags @> $1)"
    assert args == [["alice", "employee"]]
    assert sorted(graph.collect_tags()) == ["alice", "context", "employee", "engineer"]


@pytest.mark.parametrize(
    "call",
    [
        lambda text: lq.parse_tag_graph(text, False),
        lambda text: lq.parse_tag_graph(graph=text, validate=False),
        lambda text: lq.parse_tag_graph(text, validate=False),
    ],
)
def test_positional_and_keyword_binding_agree(call):
    graph = call("{ x: a, a }")  # a duplicate tag is allowed without validation
    assert sorted(graph.collect_tags()) == ["a", "context", "x"]


def test_validate_true_by_default_and_when_passed():
    for call in (lambda: lq.parse_tag_graph("{ x: a, a }"),
                 lambda: lq.parse_tag_graph("{ x: a, a }", True)):
        with pytest.raises(ValueError, match="^duplicate tags$"):
            call()


def test_numpy_bools_are_accepted_by_value():
    np = pytest.importorskip("numpy")
    lq.parse_tag_graph("{ x: a, a }", np.bool_(False))
    with pytest.raises(ValueError, match="^duplicate tags$"):
        lq.parse_tag_graph("{ x: a, a }", validate=np.bool_(True))
    lq.parse_query("{ a }", np.bool_(True))


def test_str_subclass_is_accepted():
    class Text(str):
        pass

    assert lq.parse_query(Text("{ a }")).is_match(lq.parse_tag_graph(Text("{ a }")))


def test_to_sql_appends_str_and_new_lists(query):
    args = ["earlier"]
    assert query.to_sql(args) == "((tags && $2) and (tags @> $3))"
    assert args == ["earlier", ["red", "blue"], ["shirt"]]
    # Numbering continues on the same list; every group is a fresh list.
    assert query.to_sql(args) == "((tags && $4) and (tags @> $5))"
    assert args[1] == args[3] and args[1] is not args[3]
    single = []
    assert lq.parse_query("{ shirt }").to_sql(single) == "(tags @> array[$1])"
    assert single == ["shirt"] and type(single[0]) is str


def test_to_sql_accepts_list_subclasses(query):
    class Args(list):
        pass

    args = Args()
    assert query.to_sql(args=args) == "((tags && $1) and (tags @> $2))"
    assert list(args) == [["red", "blue"], ["shirt"]]


def test_meta_queries_shape():
    query = lq.parse_query("[-a:b, c:d] x [c:d]")
    first = query.meta_queries()
    assert first == [(True, "a", "b"), (False, "c", "d"), (False, "c", "d")]
    assert all(type(t) is tuple and type(t[0]) is bool for t in first)
    second = query.meta_queries()
    assert second == first and second is not first
    assert lq.parse_query("{ a }").meta_queries() == []


def test_collect_tags_is_a_list_of_str_stable_across_calls(graph):
    first = graph.collect_tags()
    assert type(first) is list and all(type(s) is str for s in first)
    assert graph.collect_tags() == first
    assert lq.parse_tag_graph("").collect_tags() == ["context"]


def test_methods_without_arguments_refuse_arguments(query, graph):
    with pytest.raises(TypeError):
        query.meta_queries(1)
    with pytest.raises(TypeError):
        graph.collect_tags(x=1)


def test_second_initialisation_raises_import_error():
    script = textwrap.dedent(
        """
        import importlib.util, sys
        import lumo_query
        extension = sys.modules["lumo_query._lumo_query"]
        module_spec = importlib.util.spec_from_file_location(extension.__name__,
                                                             extension.__file__)
        try:
            importlib.util.module_from_spec(module_spec)
        except ImportError as e:
            print("ImportError:", e)
        else:
            print("no error")
        """
    )
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                         check=True).stdout
    assert out.startswith("ImportError:"), out
    assert "once" in out


def run_in_small_stack(fn):
    """Runs fn in a thread whose stack is 256 KiB; returns its result."""
    result = {}

    def target():
        try:
            result["value"] = fn()
        except BaseException as e:  # re-raised in the caller
            result["error"] = e

    old = threading.stack_size(256 * 1024)
    try:
        t = threading.Thread(target=target)
        t.start()
        t.join()
    finally:
        threading.stack_size(old)
    if "error" in result:
        raise result["error"]
    return result["value"]


def test_deep_inputs_in_a_small_stack():
    def work():
        depth_q, depth_g = 100_000, 1_000_000
        query = lq.parse_query("{" + "a{" * depth_q + "}" * depth_q + "}")
        graph = lq.parse_tag_graph("{" + "a{" * depth_g + "}" * depth_g + "}")
        matched = query.is_match(graph)
        tags = sorted(graph.collect_tags())
        args = []
        sql = query.to_sql(args)
        del query, graph  # released inside the small stack too
        return matched, tags, sql, len(args[0])

    matched, tags, sql, group = run_in_small_stack(work)
    assert matched is True
    assert tags == ["a", "context"]
    assert sql == "(tags @> $1)" and group == 100_000


def test_deep_expression_in_a_small_stack():
    def work():
        depth = 100_000
        query = lq.parse_query("{ x: " + "(" * depth + "a" + ")" * depth + " }")
        return query.is_match(lq.parse_tag_graph("{ x: a }"))

    assert run_in_small_stack(work) is True


def test_typed_example_passes_mypy_strict(tmp_path):
    pytest.importorskip("mypy")
    example = Path(__file__).with_name("typed_example.py")
    shutil.copy(example, tmp_path / "typed_example.py")
    (tmp_path / "wrong.py").write_text(
        "import lumo_query\n"
        "q: lumo_query.Query = lumo_query.parse_query(b'x')\n"
        "n: int = q.to_sql([])\n"
    )
    env = {k: v for k, v in os.environ.items() if k != "MYPYPATH"}

    def mypy(name):
        return subprocess.run(
            [sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(tmp_path / "cache"),
             name],
            cwd=tmp_path, capture_output=True, text=True, env=env,
        )

    ok = mypy("typed_example.py")
    assert ok.returncode == 0, ok.stdout + ok.stderr
    # The installed stubs are what mypy reads: wrong uses are caught.
    bad = mypy("wrong.py")
    assert bad.returncode == 1, bad.stdout + bad.stderr
    assert 'incompatible type "bytes"' in bad.stdout
    assert 'Incompatible types in assignment (expression has type "str"' in bad.stdout


def test_installed_stubs_agree_with_the_module(tmp_path):
    pytest.importorskip("mypy")
    done = subprocess.run([sys.executable, "-m", "mypy.stubtest", "lumo_query"],
                          capture_output=True, text=True, cwd=tmp_path)
    assert done.returncode == 0, done.stdout + done.stderr
