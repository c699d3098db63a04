"""Which build error wins when a text breaks several rules, and which rules
`validate` switches off."""
import pytest

import lumo_query as lq

Q, G = lq.parse_query, lq.parse_tag_graph
BOTH = [Q, G]
NOT_FOUND = "subject not found: "
ROR = "relation's source, target & context cannot be another relation"
INSIDE = "relation's context cannot be the relation itself or inside it"
INVALID = "invalid tags"
DUP_TAGS = "duplicate tags"
DUP_IDS = "duplicate identities"
ONE_ID = "can only query one identity"

# (functions, text, message); every case holds for validate True and False.
ALWAYS = [
    # Invalid tags are found while flattening, before any path is resolved,
    # even on a subject written after the relation.
    ([G], "{\n * > @nope\n b: x / y\n}", INVALID),
    ([G], "{ * > @nope : -x }", INVALID),
    ([G], "{\n r > @r(@r)\n y: -a\n}", INVALID),
    # Within one subject: target path, then context path, then the
    # relation-of-relation rule.
    (BOTH, "{ * > @x(@y) }", NOT_FOUND + "x"),
    (BOTH, "{\n r > @r\n * > @r(@nope)\n}", NOT_FOUND + "nope"),
    (BOTH, "{\n r > @r\n * > @nope(@r)\n}", NOT_FOUND + "nope"),
    # Across subjects the pre-order walk decides (a nested relation before a
    # later sibling of its parent).
    (BOTH, "{\n a { * > @p }\n * > @q\n}", NOT_FOUND + "p"),
    (BOTH, "{\n a\n r > @r\n * > @r\n q > @missing\n}", ROR),
    (BOTH, "{\n a\n q > @missing\n r > @r\n * > @r\n}", NOT_FOUND + "missing"),
    # Relation-of-relation: target, context or source, also when the other
    # relation subject is written later.
    (BOTH, "{\n * > @r\n r > @r\n}", ROR),
    (BOTH, "{\n a\n * > @a(@r)\n r > @r\n}", ROR),
    (BOTH, "{ r > @r {\n * > @x\n x\n }\n}", ROR),
    # The whole path is shown, also the names that did resolve.
    (BOTH, "{\n a { c }\n * > @a.b.c\n}", NOT_FOUND + "a.b.c"),
    (BOTH, "{\n a { b }\n * > @a.b.c\n}", NOT_FOUND + "a.b.c"),
    (BOTH, "{\n a\n * > @a(@a.x)\n}", NOT_FOUND + "a.x"),
    # A child is found by its name, not by its subject tag.
    (BOTH, "{\n a { x @n }\n * > @a.x\n}", NOT_FOUND + "a.x"),
    # The nearer a hides the outer one, which has the child b.
    (BOTH, "{\n a { b }\n x {\n a\n * > @a.b\n }\n}", NOT_FOUND + "a.b"),
    # A context that is the relation subject itself, lies inside it, or two
    # relation subjects moved into each other.
    (BOTH, "{ r > @r(@r) }", INSIDE),
    (BOTH, "{\n * @r > @x(@r.c) { c }\n x\n}", INSIDE),
    (BOTH, "{\n * @r > @x(@r.a.b) { a { b } }\n x\n}", INSIDE),
    (BOTH, "{\n * @p > @x(@q.c) { c }\n * @q > @x(@p.c) { c }\n x\n}", INSIDE),
    (BOTH, "{ a {\n * @r > @a(@r.c) { c }\n} }", INSIDE),
    # ... checked only after the whole relation walk ...
    (BOTH, "{\n r > @r(@r)\n * > @nope\n}", NOT_FOUND + "nope"),
    (BOTH, "{\n r > @r(@r)\n * > @q\n q > @q\n}", ROR),
    # ... and before the identity rule and the duplicate checks.
    ([Q], "{\n a(b)\n r > @r(@r)\n}", INSIDE),
    ([G], "{\n x(y, y): a, a\n r > @r(@r)\n}", INSIDE),
    # Query: relation errors before the identity rule, which no validate
    # value switches off (also below the root and on a moved subject).
    ([Q], "{\n a(b)\n * > @nope\n}", NOT_FOUND + "nope"),
    ([Q], "{\n a(b)\n * > @r\n r > @r\n}", ROR),
    ([Q], "{ *(x) { y(z) } }", ONE_ID),
    ([Q], "{ *(x, x) }", ONE_ID),
    ([Q], "{\n a { *(i, j) > @b }\n b\n}", ONE_ID),
]


@pytest.mark.parametrize("validate", [True, False])
@pytest.mark.parametrize("fns, text, message", ALWAYS)
def test_error_whatever_validate(fns, text, message, validate):
    for fn in fns:
        with pytest.raises(ValueError) as info:
            fn(text, validate)
        assert type(info.value) is ValueError
        assert info.value.args == (message,), fn.__name__


# Graph texts that fail only the duplicate checks: (text, message with validate).
DUPLICATES = [
    # Subjects are checked one by one in pre-order, tags before identities
    # of the same subject, so an earlier subject's identities win.
    ("{\n x(x)\n y: a, a\n}", DUP_IDS),
    ("{ x(x) { y: a, a } }", DUP_IDS),
    ("{ *(i, i): t, t }", DUP_TAGS),
    # The walk goes over the children after the moves: * ends up after b.
    ("{\n a { * > @b : t, t }\n b(b)\n}", DUP_IDS),
    # Written order with no move: * comes before b.
    ("{\n a\n * > @b : t, t\n b(b)\n}", DUP_TAGS),
    # The same tag or identity on different subjects is no duplicate.
    ("{\n a(b): t\n a(b): t { a: a }\n x: u, u\n}", DUP_TAGS),
]


@pytest.mark.parametrize("text, message", DUPLICATES)
def test_duplicates_only_with_validate(text, message):
    with pytest.raises(ValueError) as info:
        G(text)
    assert info.value.args == (message,)
    assert G(text, False).collect_tags()


@pytest.mark.parametrize("text, message", [
    ("{ x: a, a }", None),
    ("{ *: t, t\n * > @b : t, t\n b }", None),
    ("{ *(x, x) }", ONE_ID),
    ("{ x(x) }", ONE_ID),
])
def test_query_side_has_no_duplicate_rules(text, message):
    if message is None:
        assert isinstance(Q(text), lq.Query)
    else:
        with pytest.raises(ValueError) as info:
            Q(text)
        assert info.value.args == (message,)


# Relations that are refused by no rule, on both sides.
ACCEPTED = [
    "{ r > @r }",
    "{\n a { * > @b(@b) }\n b\n}",
    "{\n * > @x(@x.c)\n x { c }\n}",
    "{\n * @p > @x(@x.c) { c }\n x { c }\n}",
    "{ a {\n * @r > @a(@a) { c }\n} }",
    "{\n * @p > @x(@q.c)\n q { c }\n x\n}",
    "{\n a { b }\n * > @a.b\n}",
]


@pytest.mark.parametrize("validate", [True, False])
@pytest.mark.parametrize("text", ACCEPTED)
def test_accepted_relations(text, validate):
    assert isinstance(Q(text, validate), lq.Query)
    assert "context" in G(text, validate).collect_tags()
