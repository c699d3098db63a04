"""`Query.to_sql`: the SQL condition text and the values appended to `args`."""
import re

import pytest

import lumo_query as lq

# (query text, SQL with an empty args list, values appended)
CASES = [
    # The documented examples.
    ("{ shirt }", "(tags @> array[$1])", ["shirt"]),
    ("{ shirt: red, large }", "(tags @> $1)", [["shirt", "red", "large"]]),
    ("{ shirt: red / blue }", "((tags && $1) and (tags @> $2))", [["red", "blue"], ["shirt"]]),
    ("{ *: -red }", "true", []),
    ("{ *: red / -blue }", "true", []),
    ("{ shirt { button } }", "(tags @> $1)", [["shirt", "button"]]),
    ("red, blue", "true", []),
    ("{ *: a, (b, c) }", "(tags @> $1)", [["a", "b", "c"]]),
    # Repeats stay: within one expression and between identity and tag.
    ("{ *: a, a }", "(tags @> $1)", [["a", "a"]]),
    ("{ a: a }", "(tags @> $1)", [["a", "a"]]),
    ("{ a { a } }", "(tags @> $1)", [["a", "a"]]),
    # Same-kind nesting is flattened, other kinds keep their own group.
    ("{ *: a / (b / c) }", "(tags && $1)", [["a", "b", "c"]]),
    ("{ *: a, (b / c, d) }", "((tags && $1) and (tags @> $2))", [["b", "c"], ["a", "d"]]),
    ("{ *: a / (b, c) }", "((tags @> $1) or (tags && $2))", [["b", "c"], ["a"]]),
    ("{ *: (a / b), (c / d) }", "((tags && $1) and (tags && $2))", [["a", "b"], ["c", "d"]]),
    ("{ *: (a, b) / (c, d) }", "((tags @> $1) or (tags @> $2))", [["a", "b"], ["c", "d"]]),
    # Negations: an any-list with a negated item holds always; a negated
    # item of an all-list is left out.
    ("{ *: a, -b, c }", "(tags @> $1)", [["a", "c"]]),
    ("{ shirt: -red }", "(tags @> array[$1])", ["shirt"]),
    ("{ shirt: red / -blue, large }", "(tags @> $1)", [["shirt", "large"]]),
    # (b, -c) keeps one item, so b joins the any-group of a.
    ("{ *: a / (b, -c) }", "(tags && $1)", [["a", "b"]]),
    ("{ *: a / (b, c, -d) }", "((tags @> $1) or (tags && $2))", [["b", "c"], ["a"]]),
    ("{ *: a / (-b, -c) }", "true", []),
    ("{ *: -(a, b) }", "true", []),
    ("{ *: --a }", "true", []),
    ("{ *: () }", "true", []),
    ("{ * }", "true", []),
    ("{ * { * } }", "true", []),
    # Relation subjects count like any other; the subject order is the
    # written order, not the order after a relation subject is moved.
    ("{ shirt\n * > @shirt : red }", "(tags @> $1)", [["shirt", "red"]]),
    ("{ a { * > @b : r }\n b }", "(tags @> $1)", [["a", "r", "b"]]),
    # Neither the root's expression nor its identity is part of the SQL;
    # names and meta queries play no part either.
    ("", "true", []),
    ("red { shirt }", "(tags @> array[$1])", ["shirt"]),
    ("[a:b] { x @n }", "(tags @> array[$1])", ["x"]),
    # A written identity "context" is an ordinary identity.
    ("{ *(context) }", "(tags @> array[$1])", ["context"]),
    ('{ "a b": "é", "x\\ty" }', "(tags @> $1)", [["a b", "é", "x\ty"]]),
]

PREFIXES = [[], ["old"], ["old", ["kept"], 3]]


def shift(sql, k):
    return re.sub(r"\$(\d+)", lambda m: f"${int(m.group(1)) + k}", sql)


def check_value_types(values):
    for value in values:
        if type(value) is list:
            assert all(type(s) is str for s in value)
        else:
            assert type(value) is str


@pytest.mark.parametrize("prefix", PREFIXES, ids=len)
@pytest.mark.parametrize("text, sql, values", CASES)
def test_sql_and_values(text, sql, values, prefix):
    query = lq.parse_query(text)
    before = list(prefix)
    args = list(prefix)
    assert query.to_sql(args) == shift(sql, len(prefix))
    assert args[len(prefix):] == values
    # Earlier values are the very same objects, untouched.
    assert all(a is b for a, b in zip(args, before))
    assert before == prefix
    check_value_types(args[len(prefix):])


def test_single_tag_gives_a_str_two_give_a_new_list():
    args = []
    lq.parse_query("{ shirt }").to_sql(args)
    assert type(args[0]) is str
    lq.parse_query("{ shirt: red }").to_sql(args)
    assert type(args[1]) is list and args[1] == ["shirt", "red"]


def test_same_list_continues_the_numbering():
    query = lq.parse_query("{ shirt: red / blue }")
    args = []
    first = query.to_sql(args)
    second = query.to_sql(args)
    assert (first, second) == ("((tags && $1) and (tags @> $2))",
                               "((tags && $3) and (tags @> $4))")
    assert args == [["red", "blue"], ["shirt"]] * 2
    assert args[0] is not args[2] and args[1] is not args[3]


def test_values_are_fresh_objects_each_call():
    query = lq.parse_query("{ shirt: red / blue }")
    first = []
    query.to_sql(first)
    first[0].append("mutated")
    first[1].clear()
    second = []
    assert query.to_sql(second) == "((tags && $1) and (tags @> $2))"
    assert second == [["red", "blue"], ["shirt"]]


def test_root_only_appends_nothing():
    args = ["x"]
    assert lq.parse_query("red, -blue / green [k:v]").to_sql(args) == "true"
    assert args == ["x"]


def test_subclass_append_is_used_and_list_identity_kept():
    class Args(list):
        def append(self, value):
            self.seen = getattr(self, "seen", 0) + 1
            super().append(value)

    args = Args(["old"])
    same = args
    assert lq.parse_query("{ a: b / c, d }").to_sql(args) == "((tags && $2) and (tags @> $3))"
    assert args is same and args.seen == 2
    assert list(args) == ["old", ["b", "c"], ["a", "d"]]
