"""`Query.meta_queries`: the written key and value pairs, in text order."""
import pytest

import lumo_query as lq

CASES = [
    ("", []),
    ("{ a } red", []),
    ("[]", []),
    ("[-a:b, c:d]", [(True, "a", "b"), (False, "c", "d")]),
    ("[a:b] x [c:d]\n{ y }\n[-e:f]", [(False, "a", "b"), (False, "c", "d"), (True, "e", "f")]),
    ("[a:b, a:b]", [(False, "a", "b"), (False, "a", "b")]),
    ("[a:b] [-a:b] [a:b]", [(False, "a", "b"), (True, "a", "b"), (False, "a", "b")]),
    ("[a:b ]", [(False, "a", "b")]),
    ("[ a b:c d ]", [(False, "a b", "c d")]),
    ('["":""]', [(False, "", "")]),
    ('[-"":x, y:""]', [(True, "", "x"), (False, "y", "")]),
    ('["\\u00e9\\n":"\\"q\\\\\\/"]', [(False, "é\n", '"q\\/')]),
    ('["\\uD83D\\uDE00":"a\tb"]', [(False, "\U0001F600", "a\tb")]),
    ("[ü-1:x-y]", [(False, "ü-1", "x-y")]),
]


@pytest.mark.parametrize("validate", [True, False])
@pytest.mark.parametrize("text, expected", CASES)
def test_meta_queries(text, expected, validate):
    result = lq.parse_query(text, validate).meta_queries()
    assert type(result) is list
    assert result == expected
    for item in result:
        assert type(item) is tuple and len(item) == 3
        assert [type(x) for x in item] == [bool, str, str]


def test_flag_is_the_bool_singleton():
    result = lq.parse_query("[-a:b, c:d]").meta_queries()
    assert result[0][0] is True and result[1][0] is False


def test_calls_give_equal_but_distinct_lists():
    query = lq.parse_query("[-a:b, c:d]")
    first = query.meta_queries()
    second = query.meta_queries()
    assert first == second
    assert first is not second
    assert all(a is not b for a, b in zip(first, second))
    first.clear()
    assert query.meta_queries() == second
