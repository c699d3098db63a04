"""Exceptions at the module surface: binding, conversion, building, borrows,
and that no error path leaks memory or references."""
import gc
import os
import sys
import tracemalloc

import pytest

import lumo_query as lq

Q = lq.parse_query("{ a }")
G = lq.parse_tag_graph("{ a }")


def make_fake_numpy_type(name, bool_impl=None, module="numpy"):
    """A class that looks like a numpy boolean scalar type by name and module."""
    namespace = {"__module__": module}
    if bool_impl is not None:
        namespace["__bool__"] = bool_impl
    return type(name, (), namespace)


# ---- argument binding ------------------------------------------------------

BINDING_CASES = [
    (lambda: lq.parse_query(),
     "parse_query() missing 1 required positional argument: 'query'"),
    (lambda: lq.parse_query(validate=True),
     "parse_query() missing 1 required positional argument: 'query'"),
    (lambda: lq.parse_tag_graph(),
     "parse_tag_graph() missing 1 required positional argument: 'graph'"),
    (lambda: lq.parse_query("a", True, 1),
     "parse_query() takes from 1 to 2 positional arguments but 3 were given"),
    (lambda: lq.parse_tag_graph("a", True, 1, 2),
     "parse_tag_graph() takes from 1 to 2 positional arguments but 4 were given"),
    # Too many positionals is reported before a bad keyword.
    (lambda: lq.parse_query("a", True, 1, nope=2),
     "parse_query() takes from 1 to 2 positional arguments but 3 were given"),
    (lambda: lq.parse_query("a", nope=1),
     "parse_query() got an unexpected keyword argument 'nope'"),
    # A bad keyword is reported before a missing argument.
    (lambda: lq.parse_tag_graph(query="a"),
     "parse_tag_graph() got an unexpected keyword argument 'query'"),
    (lambda: lq.parse_query("a", **{"\udc80x": 1}),
     "parse_query() got an unexpected keyword argument '\udc80x'"),
    (lambda: lq.parse_query("a", query="b"),
     "parse_query() got multiple values for argument 'query'"),
    (lambda: lq.parse_tag_graph("a", False, validate=True),
     "parse_tag_graph() got multiple values for argument 'validate'"),
    (lambda: Q.is_match(),
     "Query.is_match() missing 1 required positional argument: 'graph'"),
    (lambda: Q.is_match(G, G),
     "Query.is_match() takes 1 positional arguments but 2 were given"),
    (lambda: Q.is_match(G, graph=G),
     "Query.is_match() got multiple values for argument 'graph'"),
    (lambda: Q.is_match(graph=G, other=G),
     "Query.is_match() got an unexpected keyword argument 'other'"),
    (lambda: Q.to_sql(),
     "Query.to_sql() missing 1 required positional argument: 'args'"),
    (lambda: Q.to_sql([], [], []),
     "Query.to_sql() takes 1 positional arguments but 3 were given"),
    (lambda: Q.to_sql(arg=[]),
     "Query.to_sql() got an unexpected keyword argument 'arg'"),
    (lambda: lq.Query.to_sql(Q, [], args=[]),
     "Query.to_sql() got multiple values for argument 'args'"),
]


@pytest.mark.parametrize("call, text", BINDING_CASES)
def test_binding_errors(call, text):
    with pytest.raises(TypeError) as info:
        call()
    assert type(info.value) is TypeError
    assert str(info.value) == text
    assert info.value.__cause__ is None


# ---- conversions -----------------------------------------------------------


class _NoQualnameMeta(type):
    def __getattribute__(cls, name):
        if name == "__qualname__":
            raise RuntimeError("no name")
        return super().__getattribute__(name)


class _IntQualnameMeta(type):
    def __getattribute__(cls, name):
        if name == "__qualname__":
            return 42
        return super().__getattribute__(name)


NoQualname = _NoQualnameMeta("NoQualname", (), {})
IntQualname = _IntQualnameMeta("IntQualname", (), {})


def _raise(exc_type, text):
    def method(self):
        raise exc_type(text)
    return method


CONVERSION_CASES = [
    (lambda: lq.parse_query(b"{ a }"), "query", "'bytes' object cannot be converted to 'PyString'"),
    (lambda: lq.parse_tag_graph(None), "graph",
     "'NoneType' object cannot be converted to 'PyString'"),
    (lambda: lq.parse_query(NoQualname()), "query",
     "'<failed to extract type name>' object cannot be converted to 'PyString'"),
    (lambda: lq.parse_query(IntQualname()), "query",
     "'<failed to extract type name>' object cannot be converted to 'PyString'"),
    # The query is converted before validate.
    (lambda: lq.parse_query(1, 1), "query", "'int' object cannot be converted to 'PyString'"),
    (lambda: lq.parse_query("a", 1), "validate", "'int' object cannot be converted to 'PyBool'"),
    (lambda: lq.parse_tag_graph("a", validate=None), "validate",
     "'NoneType' object cannot be converted to 'PyBool'"),
    (lambda: lq.parse_query("a", "yes"), "validate",
     "'str' object cannot be converted to 'PyBool'"),
    (lambda: lq.parse_query("a", make_fake_numpy_type("bool_")()), "validate",
     "object of type '<class 'numpy.bool_'>' does not define a '__bool__' conversion"),
    (lambda: lq.parse_query("a", make_fake_numpy_type("bool")()), "validate",
     "object of type '<class 'numpy.bool'>' does not define a '__bool__' conversion"),
    (lambda: lq.parse_query("a", make_fake_numpy_type("bool_", lambda self: 1)()), "validate",
     "'int' object cannot be converted to 'PyBool'"),
    (lambda: lq.parse_query("a", make_fake_numpy_type("bool_", _raise(TypeError, "bad"))()),
     "validate", "bad"),
    # Only numpy's boolean type names are converted.
    (lambda: lq.parse_query("a", make_fake_numpy_type("bool_", lambda s: True, "numpyx")()),
     "validate", "'bool_' object cannot be converted to 'PyBool'"),
    (lambda: lq.parse_query("a", make_fake_numpy_type("int_", lambda s: True)()),
     "validate", "'int_' object cannot be converted to 'PyBool'"),
    (lambda: Q.to_sql(()), "args", "'tuple' object cannot be converted to 'PyList'"),
    (lambda: Q.to_sql(args={}), "args", "'dict' object cannot be converted to 'PyList'"),
    (lambda: Q.is_match(Q), "graph", "'Query' object cannot be converted to 'TagGraph'"),
    (lambda: Q.is_match(None), "graph", "'NoneType' object cannot be converted to 'TagGraph'"),
]


@pytest.mark.parametrize("call, name, text", CONVERSION_CASES)
def test_conversion_errors_name_the_argument(call, name, text):
    with pytest.raises(TypeError) as info:
        call()
    assert type(info.value) is TypeError
    assert str(info.value) == f"argument '{name}': {text}"
    cause = info.value.__cause__
    assert type(cause) is TypeError and str(cause) == text


def test_numpy_bool_conversion_calls_bool_and_keeps_other_errors():
    calls = []
    FakeTrue = make_fake_numpy_type("bool_", lambda self: calls.append(1) or True)
    with pytest.raises(ValueError, match="^duplicate tags$"):
        lq.parse_tag_graph("{ x: a, a }", FakeTrue())
    assert calls == [1]
    Failing = make_fake_numpy_type("bool", _raise(ZeroDivisionError, "inner"))
    with pytest.raises(ZeroDivisionError, match="^inner$") as info:
        lq.parse_query("a", Failing())
    assert info.value.__cause__ is None


@pytest.mark.parametrize("call", [lambda t: lq.parse_query(t), lambda t: lq.parse_tag_graph(t)])
@pytest.mark.parametrize("text", ["\ud800", "{ a: b\udfff }",
                                  "{ a: b }" + " " * 20000 + "\ud800 é",  # long texts are
                                  "{ a: b }" + " é" * 20000 + "\udfff"])  # copied otherwise
def test_lone_surrogates_raise_the_encoding_error(call, text):
    with pytest.raises(UnicodeEncodeError) as info:
        call(text)
    assert info.value.encoding == "utf-8"
    assert info.value.start == text.index(info.value.object[info.value.start])
    assert info.value.reason == "surrogates not allowed"
    assert info.value.__cause__ is None


# Malformed UTF-8 of every kind: overlong, surrogates, past U+10FFFF, cut
# short, continuation bytes alone.
MALFORMED_UTF8 = [b"\xc0\x80", b"\xc1\x81", b"\xe0\x80\x80", b"\xe0\x9f\xbf",
                  b"\xf0\x80\x80\x80", b"\xf0\x8f\xbf\xbf", b"\xed\xa0\x80", b"\xed\xbf\xbf",
                  b"\xf4\x90\x80\x80", b"\xf5\x80\x80\x80", b"\xff", b"\xc3", b"\xe2\x82",
                  b"\xf0\x9f\x98", b"\x80", b"\xbf"]


@pytest.mark.parametrize("call", [lq.parse_query, lq.parse_tag_graph])
@pytest.mark.parametrize("bad", MALFORMED_UTF8, ids=bytes.hex)
@pytest.mark.parametrize("before", ["", " é" * 20000], ids=["viewed", "copied"])
def test_malformed_utf8_cannot_reach_the_core(call, bad, before):
    """A str holds code points: bytes that are not UTF-8 come in only as the
    lone surrogates of "surrogateescape", which the encoder refuses, long
    texts (copied a slice at a time) as well as short ones. Bytes are no
    text at all."""
    raw = before.encode() + b'{ a: "t' + bad + b'" }'  # a quoted tag keeps its bytes
    text = raw.decode("utf-8", "surrogateescape")
    with pytest.raises(UnicodeEncodeError) as info:
        call(text)
    assert info.value.reason == "surrogates not allowed"
    assert (info.value.start, info.value.end) == (len(before) + 7, len(before) + 7 + len(bad))
    assert info.value.object[info.value.start:info.value.end] == \
        "".join(chr(0xDC00 + byte) for byte in bad)
    with pytest.raises(TypeError, match="'bytes' object cannot be converted to 'PyString'"):
        call(raw)


@pytest.mark.parametrize("bad", MALFORMED_UTF8, ids=bytes.hex)
def test_replaced_malformed_utf8_reaches_the_core_as_u_fffd(bad):
    """Decoded with "replace", the text holds U+FFFD, a character like any
    other: no tag character, kept in a quoted tag, and counted as one
    column of a line (a malformed byte would count as one column each)."""
    fffd = bad.decode("utf-8", "replace")
    assert set(fffd) == {"\ufffd"}
    bare = "{ a: t" + fffd + "u }"
    for call in (lq.parse_query, lq.parse_tag_graph):
        with pytest.raises(ValueError) as info:
            call(bare)
        assert str(info.value) == f"invalid syntax\n{bare}\n      ^\nexpected }}"
    assert sorted(lq.parse_tag_graph('{ a: "t' + fffd + '" }').collect_tags()) == \
        ["a", "context", "t" + fffd]
    lined = '{\n a: "t' + fffd + '" ^\n}'
    column = 9 + len(fffd)
    with pytest.raises(ValueError) as info:
        lq.parse_tag_graph(lined)
    assert str(info.value) == (
        f"invalid syntax\nparse error at line 2, column {column}\n  |\n"
        f'2 |  a: "t{fffd}" ^\n  | {" " * (column - 1)}^\nexpected }}')


def test_failed_to_sql_conversion_releases_the_borrow(query):
    with pytest.raises(TypeError):
        query.to_sql(("not", "a", "list"))
    assert query.to_sql([]) == "((tags && $1) and (tags @> $2))"


# ---- build errors ----------------------------------------------------------

BUILD_ERRORS = [
    (lq.parse_query, "{ alice(bob) }", True, "can only query one identity"),
    (lq.parse_query, "{ alice(bob) }", False, "can only query one identity"),
    (lq.parse_query, "{ * > @a.b.c }", True, "subject not found: a.b.c"),
    (lq.parse_tag_graph, "{ * > @a.b }", True, "subject not found: a.b"),
    (lq.parse_query, "{\n a\n b > @a\n c > @b\n}", True,
     "relation's source, target & context cannot be another relation"),
    (lq.parse_tag_graph, "{ x: a, a }", True, "duplicate tags"),
    (lq.parse_tag_graph, "{ x(x) }", True, "duplicate identities"),
    (lq.parse_tag_graph, "{ x(y, y): a, a }", True, "duplicate tags"),
    (lq.parse_tag_graph, "{ x: -a }", False, "invalid tags"),
    (lq.parse_tag_graph, "{ x: a / b }", True, "invalid tags"),
]


@pytest.mark.parametrize("fn, text, validate, message", BUILD_ERRORS)
def test_build_errors_are_value_errors(fn, text, validate, message):
    with pytest.raises(ValueError) as info:
        fn(text, validate)
    assert type(info.value) is ValueError
    assert info.value.args == (message,)


@pytest.mark.parametrize("fn", [lq.parse_query, lq.parse_tag_graph])
@pytest.mark.parametrize("text", ["{ alice", "{ a, b }", "(red", "*", "{ é: (ü }"])
def test_syntax_errors_start_with_invalid_syntax(fn, text):
    with pytest.raises(ValueError) as info:
        fn(text)
    lines = str(info.value).split("\n")
    assert lines[0] == "invalid syntax"
    assert len(lines) >= 3


# ---- borrows ---------------------------------------------------------------


class ReentrantArgs(list):
    """An argument list whose append runs `action` first and records any
    RuntimeError it raised."""

    def __init__(self, action, swallow=True):
        super().__init__()
        self.action = action
        self.swallow = swallow
        self.refused = []

    def append(self, value):
        try:
            self.action()
        except RuntimeError as e:
            if not self.swallow:
                raise
            self.refused += [str(e)]
        super().append(value)


@pytest.mark.parametrize(
    "action, message",
    [
        (lambda q, g: q.to_sql([]), "Already borrowed"),
        (lambda q, g: q.meta_queries(), "Already mutably borrowed"),
        (lambda q, g: q.is_match(g), "Already mutably borrowed"),
    ],
)
def test_reentrant_calls_during_to_sql_are_refused(query, graph, action, message):
    args = ReentrantArgs(lambda: action(query, graph))
    assert query.to_sql(args) == "((tags && $1) and (tags @> $2))"
    assert args.refused == [message, message]
    assert list(args) == [["red", "blue"], ["shirt"]]
    # Everything is released afterwards.
    action(query, graph)


def test_reentrant_use_of_other_objects_is_allowed(query, graph):
    other = lq.parse_query("{ alice }")
    inner = []
    args = ReentrantArgs(lambda: inner.append((other.to_sql([]), other.is_match(graph),
                                               graph.collect_tags() and None)))
    query.to_sql(args)
    assert inner == [("(tags @> array[$1])", True, None)] * 2
    assert args.refused == []


def test_refused_borrow_propagates_and_releases(query):
    args = ReentrantArgs(lambda: query.to_sql([]), swallow=False)
    with pytest.raises(RuntimeError) as info:
        query.to_sql(args)
    assert type(info.value) is RuntimeError and str(info.value) == "Already borrowed"
    assert list(args) == []
    assert query.to_sql([]) == "((tags && $1) and (tags @> $2))"


class Boom(Exception):
    pass


class FailingArgs(list):
    """Refuses the append that would make the list `limit` long."""

    def __init__(self, items, limit):
        super().__init__(items)
        self.limit = limit

    def append(self, value):
        if len(self) + 1 == self.limit:
            raise Boom(value)
        super().append(value)


@pytest.mark.parametrize("limit, kept", [(2, ["x"]), (3, ["x", ["red", "blue"]])])
def test_failed_append_keeps_earlier_values(query, limit, kept):
    args = FailingArgs(["x"], limit)
    with pytest.raises(Boom):
        query.to_sql(args)
    assert list(args) == kept
    assert query.to_sql([]) == "((tags && $1) and (tags @> $2))"


class DoublingArgs(list):
    """Appends every value twice: placeholders follow the real length."""

    def append(self, value):
        super().append(value)
        super().append(value)


def test_placeholders_follow_the_length_after_each_append(query):
    args = DoublingArgs(["x"])
    assert query.to_sql(args) == "((tags && $3) and (tags @> $5))"
    assert list(args) == ["x", ["red", "blue"], ["red", "blue"], ["shirt"], ["shirt"]]


# ---- leaks -----------------------------------------------------------------

_LIST = FailingArgs([], 1)
_REENTER = ReentrantArgs(lambda: _Q2.to_sql([]), swallow=False)
_Q2 = lq.parse_query("{ shirt: red / blue, green } [a:b]")
_BIG_TEXT = "{\n" + "".join(f"  *(x{i}) @s{i} : t{i}, u{i} {{ c{i} }}\n" for i in range(20))
_NUMPY_NO_BOOL = make_fake_numpy_type("bool_")()
_NUMPY_INT = make_fake_numpy_type("bool", lambda self: 1)()
_NUMPY_RAISES = make_fake_numpy_type("bool", _raise(ZeroDivisionError, "x"))()

# (call, arguments whose reference counts must not change)
ERROR_PATHS = [
    (lambda: lq.parse_query(), ()),
    (lambda: lq.parse_query("a", True, _LIST), (_LIST,)),
    (lambda: lq.parse_query("a", nope=_LIST), (_LIST,)),
    (lambda: lq.parse_query("a", query=_LIST), (_LIST,)),
    (lambda: lq.parse_query(_LIST), (_LIST,)),
    (lambda: lq.parse_query(NoQualname()), ()),
    (lambda: lq.parse_tag_graph("a", _LIST), (_LIST,)),
    (lambda: lq.parse_tag_graph("a", _NUMPY_NO_BOOL), (_NUMPY_NO_BOOL,)),
    (lambda: lq.parse_tag_graph("a", _NUMPY_INT), (_NUMPY_INT,)),
    (lambda: lq.parse_tag_graph("a", _NUMPY_RAISES), (_NUMPY_RAISES,)),
    (lambda: lq.parse_query("\ud800 x"), ()),
    (lambda: lq.parse_query(_BIG_TEXT), ()),  # syntax error after 20 subjects
    (lambda: lq.parse_tag_graph(_BIG_TEXT + "}\n{ x: a, a }"), ()),
    (lambda: lq.parse_query(_BIG_TEXT + "}\n{ * > @s1.nope }"), ()),
    (lambda: _Q2.is_match(_Q2), (_Q2,)),
    (lambda: _Q2.is_match(G, G), (_Q2, G)),
    (lambda: _Q2.to_sql(_Q2), (_Q2,)),
    (lambda: _Q2.to_sql(_LIST), (_Q2, _LIST)),
    (lambda: _Q2.to_sql(_REENTER), (_Q2, _REENTER)),
]

SUCCESS_PATHS = [
    lambda: lq.parse_query(_BIG_TEXT + "}", False).meta_queries(),
    lambda: lq.parse_tag_graph(_BIG_TEXT + "}").collect_tags(),
    lambda: lq.parse_query(_BIG_TEXT + "}").is_match(lq.parse_tag_graph(_BIG_TEXT + "}")),
    lambda: _Q2.to_sql([]),
    lambda: _Q2.meta_queries(),
]


def _run_paths(rounds):
    for _ in range(rounds):
        for call, _args in ERROR_PATHS:
            try:
                call()
            except Exception:
                pass
            else:
                raise AssertionError("expected an error")
        for call in SUCCESS_PATHS:
            call()


def _rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def test_error_paths_do_not_leak_references():
    _run_paths(10)
    watched = [obj for _call, objs in ERROR_PATHS for obj in objs]
    before = [sys.getrefcount(obj) for obj in watched]
    _run_paths(300)
    gc.collect()
    assert [sys.getrefcount(obj) for obj in watched] == before


def test_error_and_success_paths_do_not_leak_memory():
    tracemalloc.start()
    try:
        _run_paths(300)  # warm-up: caches, free lists, allocator arenas
        gc.collect()
        traced_before, rss_before = tracemalloc.get_traced_memory()[0], _rss_bytes()
        _run_paths(3000)
        gc.collect()
        traced_after, rss_after = tracemalloc.get_traced_memory()[0], _rss_bytes()
    finally:
        tracemalloc.stop()
    assert traced_after - traced_before < 256 * 1024
    assert rss_after - rss_before < 8 * 1024 * 1024
