"""A graph text is read straight into its index when it can be, and by the
full parser otherwise (a meta-query statement sends it that way). Both ways
must give the same graph: the same tags and the same answers to queries,
including relation queries, on random graphs that use every form the
language has."""

import random
import sys
import tracemalloc

import pytest

import lumo_query as lq

NAMES = ["alice", "bob", "carol", "team", "laptop", "doc"]
TAGS = ["red", "blue", "person", "manages", "x y", "é", "don't"]

QUERIES = [
    "{ * }",
    "{ alice }",
    "{ * : red { * : blue } }",
    "{ team { person } }",
    "{ * : person { * > @b : manages } * @b : person }",
    "{ * @a * @b { * > @a } }",
    "{ * > @x(@y) * @x * @y }",
    "red",
    "{ doc : \"x y\" }",
]


def tag(rng):
    t = rng.choice(TAGS)
    return f'"{t}"' if rng.random() < 0.2 else t


def random_graph(rng, subjects):
    lines, names, depth = [], [], 0
    for _ in range(subjects):
        subject = rng.choice(NAMES + ["*"])
        entry = subject
        if rng.random() < 0.3:
            entry += "(" + ", ".join(rng.sample(NAMES + ["context"], rng.randint(1, 2))) + ")"
        if subject == "*" or rng.random() < 0.2:
            name = rng.choice("abxy")
            entry += f" @{name}"
            names.append(name)
        if names and rng.random() < 0.12:
            entry += f" > @{rng.choice(names + NAMES)}"
            if rng.random() < 0.3:
                entry += f"(@{rng.choice(names + NAMES)})"
        if rng.random() < 0.7:
            entry += " : " + ", ".join(tag(rng) for _ in range(rng.randint(1, 3)))
        if rng.random() < 0.35:
            lines.append("  " * depth + entry + " {")
            depth += 1
        else:
            if rng.random() < 0.1:
                entry += "  // a comment"
            lines.append("  " * depth + entry)
            while depth and rng.random() < 0.3:
                depth -= 1
                lines.append("  " * depth + "}")
    lines += ["}"] * depth
    root = ", ".join(tag(rng) for _ in range(rng.randint(0, 2)))
    return root + "\n{\n" + "\n".join(lines) + "\n}"


def outcome(text, validate):
    try:
        g = lq.parse_tag_graph(text, validate)
    except ValueError as e:
        return ("error", str(e).split("\n")[0])
    return (
        sorted(g.collect_tags()),
        [lq.parse_query(q).is_match(g) for q in QUERIES],
    )


@pytest.mark.parametrize("seed", range(40))
def test_both_ways_agree_on_random_graphs(seed):
    rng = random.Random(seed)
    for _ in range(10):
        text = random_graph(rng, rng.randint(1, 25))
        for validate in (True, False):
            direct = outcome(text, validate)
            long_way = outcome("[way:long] " + text, validate)
            if direct[0] == "error":
                # Offsets differ by the prefix; the kind of error may not.
                assert long_way[0] == "error", text
                assert direct[1].split(":")[0] == long_way[1].split(":")[0], text
            else:
                assert direct == long_way, text


def test_random_graphs_are_mostly_valid():
    # The comparison above is worth little if the generator makes errors.
    rng = random.Random(7)
    texts = [random_graph(rng, rng.randint(1, 25)) for _ in range(200)]
    valid = sum(outcome(t, False)[0] != "error" for t in texts)
    assert valid > 100, valid


def test_collected_tags_are_the_texts_through_cache_churn():
    # collect_tags hands out strs it made for earlier graphs when it can;
    # thousands of distinct tags, long ones and non-ASCII ones among them,
    # must still come back exactly as written, graph after graph.
    rng = random.Random(3)
    pool = [f"t{i}" for i in range(9000)] + ["é" * 12, "x" * 31, "y" * 30, "日本", "a b"]
    for _ in range(300):
        chosen = rng.sample(pool, rng.randint(1, 40))
        text = "{ s : " + ", ".join(f'"{t}"' for t in chosen) + " }"
        got = lq.parse_tag_graph(text).collect_tags()
        assert sorted(got) == sorted(chosen + ["s", "context"])  # the root is a context
        assert all(type(t) is str for t in got)


class _Text(str):
    """A str subclass: read like any str, though never viewed in place."""


@pytest.mark.parametrize("extra, kind", [("", str), ("", _Text), ("é", str), ("é", _Text)])
def test_long_texts_read_alike_whether_viewed_or_copied(extra, kind):
    # Texts past 16 Ki characters are viewed in place when they are exact,
    # ASCII strs (on 3.10 and later) and copied otherwise; every way reads
    # the same graph.
    body = "\n".join(f"  s{i} : t{i % 50}, shared" for i in range(3000))
    text = kind("{\n" + body + f"\n  last : end{extra}\n}}")
    assert len(text) > 16 * 1024
    graph = lq.parse_tag_graph(text)
    tags = graph.collect_tags()
    assert len(tags) == 3000 + 50 + 4  # names, t0..t49, shared, last, end.., context
    assert "end" + extra in tags and "s2999" in tags
    assert lq.parse_query("{ s7 : t7, shared }").is_match(graph)


@pytest.mark.parametrize("extra", ["é", "ÿ\x80", "日本", "\U0001f600", "é日\U00010000"])
def test_long_texts_that_are_not_ascii_keep_every_character(extra):
    # A long text that is not ASCII is copied out as code points, a slice
    # at a time. The tags put `extra` at every offset from an ASCII run, in
    # every UTF-8 length and from outside the first 64 Ki code points, and
    # the text spans several slices.
    tags = [f"t{i}" + extra * (i % 3) + "x" * (i % 5) + extra for i in range(4000)]
    text = "{\n" + "\n".join(f'  s{i} : "{t}", "{t[:i % 9]}q"' for i, t in enumerate(tags)) + "\n}"
    assert len(text) > 16 * 1024
    got = set(lq.parse_tag_graph(text).collect_tags())
    want = set(tags) | {f"s{i}" for i in range(4000)} | {t[:i % 9] + "q" for i, t in enumerate(tags)}
    assert got == want | {"context"}


@pytest.mark.skipif(sys.version_info < (3, 10), reason="3.9 copies every text")
def test_a_long_ascii_text_is_not_copied():
    text = "{\n" + "\n".join(f"  s{i} : t{i % 50}" for i in range(40000)) + "\n}"
    assert text.isascii() and len(text) > 500_000
    lq.parse_tag_graph("{ warm }")
    tracemalloc.start()
    try:
        graph = lq.parse_tag_graph(text)
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert len(graph.collect_tags()) == 40000 + 50 + 1  # names, t0..t49, context
    # A copy would be traced as a bytes object of the text's size.
    assert peak < len(text) // 4, peak
