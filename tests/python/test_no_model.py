"""No Query or TagGraph without a model.

Calling a class is refused; where the interpreter knows immutable types
(3.10 on) the classes cannot be changed, so `__new__` cannot be swapped for
one that makes an empty instance. An instance without a model can still be
made on 3.9, and here by clearing the immutable bit by hand; every entry
point must refuse it with TypeError. Each check runs in a child process,
since the fault it guards against crashes the interpreter.
"""
import subprocess
import sys
import textwrap

import pytest

import lumo_query as lq

IMMUTABLE = 1 << 8  # Py_TPFLAGS_IMMUTABLETYPE
HAS_IMMUTABLE_TYPES = sys.version_info >= (3, 10)


def run_child(body):
    script = "import lumo_query as lq\n" + textwrap.dedent(body)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                          timeout=60)
    assert done.returncode == 0, f"exit {done.returncode}\n{done.stdout}{done.stderr}"
    return done.stdout.splitlines()


@pytest.mark.parametrize("cls", [lq.Query, lq.TagGraph])
def test_classes_are_immutable_where_the_interpreter_allows(cls):
    assert bool(cls.__flags__ & IMMUTABLE) == HAS_IMMUTABLE_TYPES


@pytest.mark.skipif(not HAS_IMMUTABLE_TYPES, reason="immutable types arrive in 3.10")
@pytest.mark.parametrize("name", ["Query", "TagGraph"])
def test_the_classes_cannot_be_changed(name):
    lines = run_child(
        f"""
        cls = lq.{name}
        attempts = [
            lambda: setattr(cls, "__new__", staticmethod(lambda c: object.__new__(c))),
            lambda: setattr(cls, "extra", 1),
            lambda: delattr(cls, "__new__"),
            lambda: setattr(cls, "{'to_sql' if name == 'Query' else 'collect_tags'}", None),
        ]
        for attempt in attempts:
            try:
                attempt()
                print("changed")
            except TypeError as e:
                print("refused:", e)
        try:
            cls()
        except TypeError as e:
            print(e)
        """
    )
    assert lines[0] == f"refused: cannot set '__new__' attribute of immutable type 'builtins.{name}'"
    assert all(line.startswith("refused: ") and "immutable type" in line for line in lines[1:4])
    assert lines[4] == f"No constructor defined for {name}"


MODEL_LESS = """
import ctypes, sys

def make_mutable(cls):
    # As a 3.9 interpreter has it: find tp_flags by its value, clear the bit.
    word = ctypes.c_ulong
    found = [offset for offset in range(0, 512, ctypes.sizeof(word))
             if word.from_address(id(cls) + offset).value == cls.__flags__]
    assert len(found) == 1, found
    word.from_address(id(cls) + found[0]).value = cls.__flags__ & ~(1 << 8)
    ctypes.pythonapi.PyType_Modified(ctypes.py_object(cls))

for cls in (lq.Query, lq.TagGraph):
    if cls.__flags__ & (1 << 8):
        make_mutable(cls)
    cls.__new__ = staticmethod(lambda c: object.__new__(c))
empty_query, empty_graph = lq.Query(), lq.TagGraph()
query, graph = lq.parse_query("{ a }"), lq.parse_tag_graph("{ a }")
"""


@pytest.mark.parametrize(
    "call, message",
    [
        ("empty_query.to_sql([])", "this Query object has no model: only parse_query() "
                                   "makes usable ones"),
        ("empty_query.is_match(graph)", "this Query object has no model: only parse_query() "
                                        "makes usable ones"),
        ("empty_query.meta_queries()", "this Query object has no model: only parse_query() "
                                       "makes usable ones"),
        ("empty_graph.collect_tags()", "this TagGraph object has no model: only "
                                       "parse_tag_graph() makes usable ones"),
        ("query.is_match(empty_graph)", "argument 'graph': this TagGraph object has no model: "
                                        "only parse_tag_graph() makes usable ones"),
        ("empty_query.is_match(empty_graph)", "this Query object has no model: only "
                                              "parse_query() makes usable ones"),
    ],
)
def test_an_instance_without_a_model_is_refused(call, message):
    lines = run_child(
        MODEL_LESS
        + f"""
try:
    {call}
    print("no error")
except TypeError as e:
    print(e)
# The real objects still work, and the empty ones are released quietly.
print(query.is_match(graph), query.to_sql([]), sorted(graph.collect_tags()))
del empty_query, empty_graph
print("done")
"""
    )
    assert lines == [message, "True (tags @> array[$1]) ['a', 'context']", "done"]
