"""Synthetic tag graph and query texts for the benchmarks.

Standard library only. Importable (``graph_text``, ``graph_json``,
``graph_text_of_size``, ``small_graph_text``, ``match_query_text``,
``adversarial_query_text``, ``query_text``) and usable from the command line:

    python bench/textgen.py graph --subjects 100000 --seed 1 -o g.txt
    python bench/textgen.py graph --mb 10 --nesting deep -o deep.txt
    python bench/textgen.py json --subjects 100000 --seed 1 -o g.json
    python bench/textgen.py query --seed 3

Every generated graph text is valid with ``validate=True``:

* subject tags and extra identities are unique across the whole graph, so
  no subject repeats an identity and every name resolves to exactly one
  subject; the tags of one subject are distinct;
* relation subjects (``* @r12 > @a.b(@c)``) have no children and are never
  the target, context or source of another relation;
* the first name of a relation path is a sibling of the relation subject or
  of one of its ancestors (earlier or later in the text); further names walk
  down through children; contexts lie in the same scope.

The same seed and arguments always give the same text. ``graph_json``
describes the very same subjects as JSON (a list of top-level subject
objects with ``name``, ``identities``, ``tags``, ``children`` and, for
relation subjects, ``relation``), so parsing both compares like with like.

Nothing here recurses over the tree: the "deep" shape nests one chain as
deep as the subject count allows.
"""

from __future__ import annotations

import argparse
import json
import random
import sys
from typing import List, Optional, Sequence, Tuple

NESTINGS = ("mixed", "flat", "deep")

_KINDS = (
    "person", "team", "device", "room", "project", "document", "laptop",
    "phone", "site", "service", "meeting room", "build-agent",
)

_WORDS = (
    "red", "green", "blue", "amber", "black", "white", "silver", "gold",
    "alpha", "beta", "gamma", "delta", "north", "south", "east", "west",
    "senior", "junior", "intern", "employee", "contractor", "admin", "guest",
    "linux", "mac", "windows", "mobile", "cloud", "edge", "core", "legacy",
    "active", "archived", "draft", "final", "public", "private", "shared",
    "urgent", "low", "high", "critical", "review", "approved", "rejected",
)

# Written form and value of the tags that need more than a bare tag, or that
# use the less common bare characters. JSON gets the value.
_SPECIAL_TAGS = (
    ("don't", "don't"),
    ("_internal", "_internal"),
    ("2024", "2024"),
    ("x\u00b7y", "x\u00b7y"),
    ("\u00e9t\u00e9", "\u00e9t\u00e9"),
    ("\u65e5\u672c", "\u65e5\u672c"),
    ('"quoted \\"tag\\""', 'quoted "tag"'),
    ('"caf\\u00e9 au lait"', "caf\u00e9 au lait"),
    ('"tab\\there"', "tab\there"),
    ('"a/b, c"', "a/b, c"),
)


def _b36(n: int) -> str:
    digits = "0123456789abcdefghijklmnopqrstuvwxyz"
    if n == 0:
        return "0"
    out = []
    while n:
        n, r = divmod(n, 36)
        out.append(digits[r])
    return "".join(reversed(out))


def _vocabulary() -> List[Tuple[str, str, str]]:
    """(written, value, json) for every tag the generator may use."""
    vocab: List[Tuple[str, str]] = []
    for w in _WORDS:
        vocab.append((w, w))
    for i, a in enumerate(_WORDS):
        for b in _WORDS[i + 1::3]:
            vocab.append((f"{a}-{b}", f"{a}-{b}"))
    for n in range(1, 60):
        vocab.append((f"level {n}", f"level {n}"))
        vocab.append((f"zone_{n}", f"zone_{n}"))
    vocab.extend(_SPECIAL_TAGS)
    return [(w, v, json.dumps(v, ensure_ascii=False)) for w, v in vocab]


_VOCAB = _vocabulary()
_PLAIN_VOCAB = len(_VOCAB) - len(_SPECIAL_TAGS)


class _Graph:
    """A generated graph, held flat: index 0 is the root, indices are the
    pre-order of the text."""

    __slots__ = ("parent", "children", "is_rel", "subject", "extra", "name",
                 "explicit_name", "tags", "target", "context")

    def __init__(self) -> None:
        self.parent: List[int] = [0]
        self.children: List[List[int]] = [[]]
        self.is_rel: List[bool] = [False]
        self.subject: List[str] = [""]          # written token, "*" or a tag
        self.extra: List[Optional[str]] = [None]  # identity in parentheses
        self.name: List[str] = [""]             # resolved name
        self.explicit_name: List[bool] = [False]
        self.tags: List[Tuple[int, ...]] = [()]  # indices into _VOCAB
        self.target: List[Optional[List[str]]] = [None]
        self.context: List[Optional[List[str]]] = [None]

    def __len__(self) -> int:
        return len(self.parent)


def _add_subject(g: _Graph, rng: random.Random, parent: int, rel: bool) -> int:
    i = len(g.parent)
    g.parent.append(parent)
    g.children.append([])
    g.children[parent].append(i)
    g.is_rel.append(rel)
    k = rng.random()
    tag_count = 0 if k < 0.15 else 1 if k < 0.40 else 2 if k < 0.70 else 3 if k < 0.90 else 4
    if tag_count:
        picks = set()
        while len(picks) < tag_count:
            if rng.random() < 0.02:
                picks.add(_PLAIN_VOCAB + rng.randrange(len(_SPECIAL_TAGS)))
            else:
                picks.add(rng.randrange(_PLAIN_VOCAB))
        g.tags.append(tuple(picks))
    else:
        g.tags.append(())
    g.target.append(None)
    g.context.append(None)
    b = _b36(i)
    if rel:
        g.subject.append("*")
        g.extra.append(None)
        g.name.append("r" + b)
        g.explicit_name.append(True)
        return i
    k = rng.random()
    if k < 0.08:
        # a subject given by no tag, with one identity and a name
        g.subject.append("*")
        g.extra.append("x" + b)
        g.name.append("s" + b)
        g.explicit_name.append(True)
        return i
    tag = f"{_KINDS[rng.randrange(len(_KINDS))]}-{b}"
    g.subject.append(tag)
    g.extra.append("p" + b if k < 0.25 else None)
    if k > 0.90:
        g.name.append("n" + b)
        g.explicit_name.append(True)
    else:
        g.name.append(tag)
        g.explicit_name.append(False)
    return i


def _build_shape(subjects: int, rng: random.Random, nesting: str) -> _Graph:
    if nesting not in NESTINGS:
        raise ValueError(f"nesting must be one of {NESTINGS}, not {nesting!r}")
    g = _Graph()
    if nesting == "flat":
        for _ in range(subjects):
            _add_subject(g, rng, 0, rng.random() < 0.08)
    elif nesting == "mixed":
        max_depth = 7
        stack = [0]
        for _ in range(subjects):
            rel = rng.random() < 0.08
            i = _add_subject(g, rng, stack[-1], rel)
            if not rel and len(stack) < max_depth and rng.random() < 0.35:
                stack.append(i)
            else:
                while len(stack) > 1 and rng.random() < 0.30:
                    stack.pop()
    else:  # deep: one chain, with a few leaves beside every link
        chain = 0
        made = 0
        while made < subjects:
            leaves = rng.randrange(3)
            for _ in range(min(leaves, subjects - made - 1)):
                _add_subject(g, rng, chain, rng.random() < 0.3)
                made += 1
            chain = _add_subject(g, rng, chain, False)
            made += 1
    return g


def _pick_child(g: _Graph, rng: random.Random, node: int) -> Optional[int]:
    """A random non-relation child of node, or None."""
    kids = g.children[node]
    if not kids:
        return None
    for _ in range(6):
        c = kids[rng.randrange(len(kids))]
        if not g.is_rel[c]:
            return c
    for c in kids:
        if not g.is_rel[c]:
            return c
    return None


def _pick_path(g: _Graph, rng: random.Random, r: int) -> Optional[List[str]]:
    """A path in the scope of relation subject r to a non-relation subject."""
    node = g.parent[r]
    if rng.random() >= 0.6:
        for _ in range(1 + rng.randrange(4)):
            if node == 0:
                break
            node = g.parent[node]
    first = None
    while first is None:
        first = _pick_child(g, rng, node)
        if first is None:
            if node == 0:
                return None
            node = g.parent[node]
    path = [g.name[first]]
    cur = first
    while rng.random() < 0.35:
        nxt = _pick_child(g, rng, cur)
        if nxt is None:
            break
        path.append(g.name[nxt])
        cur = nxt
    return path


def _resolve_relations(g: _Graph, rng: random.Random) -> None:
    for r in range(1, len(g)):
        if not g.is_rel[r]:
            continue
        target = _pick_path(g, rng, r)
        if target is None:
            # nothing to point at: make it a plain (childless) subject
            g.is_rel[r] = False
            g.name[r] = "s" + _b36(r)
            g.subject[r] = "*"
            g.extra[r] = "x" + _b36(r)
            continue
        g.target[r] = target
        if rng.random() < 0.25:
            g.context[r] = _pick_path(g, rng, r)


def _make(subjects: int, seed: int, nesting: str) -> _Graph:
    rng = random.Random(f"{seed}:{subjects}:{nesting}")
    g = _build_shape(subjects, rng, nesting)
    _resolve_relations(g, rng)
    return g


def _entry_line(g: _Graph, i: int) -> str:
    parts = [g.subject[i]]
    if g.extra[i] is not None:
        parts.append(f"({g.extra[i]})")
    if g.explicit_name[i]:
        parts.append(f" @{g.name[i]}")
    if g.target[i] is not None:
        parts.append(" > @" + ".".join(g.target[i]))
        if g.context[i] is not None:
            parts.append("(@" + ".".join(g.context[i]) + ")")
    if g.tags[i]:
        parts.append(" : " + ", ".join(_VOCAB[t][0] for t in g.tags[i]))
    if g.children[i]:
        parts.append(" {")
    return "".join(parts)


def _emit_text(g: _Graph, block: int = 500) -> str:
    out: List[str] = ["// generated tag graph", "{"]
    stack: List[int] = []  # open subjects (those with children)
    top_in_block = 0
    blocks = 0
    for i in range(1, len(g)):
        p = g.parent[i]
        while stack and stack[-1] != p:
            stack.pop()
            out.append("  " * min(len(stack) + 1, 8) + "}")
        if p == 0:
            if top_in_block >= block:
                blocks += 1
                out.append("}")
                out.append(f"// block {blocks}")
                out.append("{")
                top_in_block = 0
            top_in_block += 1
        out.append("  " * min(len(stack) + 1, 8) + _entry_line(g, i))
        if g.children[i]:
            stack.append(i)
    while stack:
        stack.pop()
        out.append("  " * min(len(stack) + 1, 8) + "}")
    out.append("}")
    out.append("")
    return "\n".join(out)


def _emit_json(g: _Graph) -> str:
    out: List[str] = ["["]
    stack: List[int] = []
    for i in range(1, len(g)):
        p = g.parent[i]
        while stack and stack[-1] != p:
            stack.pop()
            out.append("]}")
        if g.children[p][0] != i:
            out.append(",")
        ids = []
        if g.extra[i] is not None:
            ids.append(f'"{g.extra[i]}"')
        if g.subject[i] != "*":
            ids.append(f'"{g.subject[i]}"')
        obj = (f'{{"name":"{g.name[i]}","identities":[{",".join(ids)}],'
               f'"tags":[{",".join(_VOCAB[t][2] for t in g.tags[i])}]')
        if g.target[i] is not None:
            tgt = ",".join(f'"{n}"' for n in g.target[i])
            ctx = ("null" if g.context[i] is None
                   else "[" + ",".join(f'"{n}"' for n in g.context[i]) + "]")
            obj += f',"relation":{{"target":[{tgt}],"context":{ctx}}}'
        if g.children[i]:
            out.append(obj + ',"children":[')
            stack.append(i)
        else:
            out.append(obj + ',"children":[]}')
    while stack:
        stack.pop()
        out.append("]}")
    out.append("]")
    return "".join(out)


def graph_text(subjects: int, seed: int = 0, nesting: str = "mixed") -> str:
    """Tag graph text with `subjects` subjects below the root."""
    return _emit_text(_make(subjects, seed, nesting))


def graph_json(subjects: int, seed: int = 0, nesting: str = "mixed") -> str:
    """The subjects of graph_text(subjects, seed, nesting) as JSON."""
    return _emit_json(_make(subjects, seed, nesting))


def graph_pair(subjects: int, seed: int = 0, nesting: str = "mixed") -> Tuple[str, str]:
    """(graph_text, graph_json) of one generated graph, built once."""
    g = _make(subjects, seed, nesting)
    return _emit_text(g), _emit_json(g)


def subjects_for_size(mb: float, seed: int = 0, nesting: str = "mixed") -> int:
    """Subject count whose graph text is about `mb` megabytes (10**6 bytes)."""
    sample = 4000
    per = len(graph_text(sample, seed, nesting).encode()) / sample
    return max(1, int(mb * 1e6 / per))


def graph_text_of_size(mb: float, seed: int = 0, nesting: str = "mixed") -> str:
    """Tag graph text of about `mb` megabytes."""
    return graph_text(subjects_for_size(mb, seed, nesting), seed, nesting)


# --- small graphs and queries for matching -------------------------------

_SMALL_KINDS = ("team", "person", "laptop", "phone", "desk")
_SMALL_TAGS = ("engineering", "sales", "senior", "junior", "intern", "employee",
               "linux", "mac", "remote", "office")


def small_graph_text(seed: int, subjects: int = 10) -> str:
    """A small graph (`subjects` subjects, nesting up to three levels) over a
    fixed vocabulary, so that queries written with that vocabulary hit."""
    rng = random.Random(seed)
    lines = ["{"]
    depth = 0
    top: List[int] = []  # top-level plain subjects so far
    for i in range(subjects):
        # relation subject now and then, pointing at an earlier top-level name
        if top and depth == 0 and rng.random() < 0.15:
            lines.append(f"  * @r{i} > @k{top[rng.randrange(len(top))]}")
            continue
        if depth == 0:
            top.append(i)
        # teams tend to hold people, people laptops and phones
        kind = depth + rng.randrange(2) * depth if rng.random() < 0.6 else \
            rng.randrange(len(_SMALL_KINDS))
        tags = rng.sample(_SMALL_TAGS, rng.randrange(4))
        line = "  " * (depth + 1) + f"{_SMALL_KINDS[kind]} @k{i}"
        if tags:
            line += " : " + ", ".join(tags)
        goes_down = depth < 2 and rng.random() < 0.45 and i < subjects - 1
        if goes_down:
            lines.append(line + " {")
            depth += 1
        else:
            lines.append(line)
            while depth and rng.random() < 0.35:
                depth -= 1
                lines.append("  " * (depth + 1) + "}")
    while depth:
        depth -= 1
        lines.append("  " * (depth + 1) + "}")
    lines.append("}")
    return "\n".join(lines)


def match_query_text() -> str:
    """A typical three-subject query over the small-graph vocabulary."""
    return ("{\n"
            "  team : engineering {\n"
            "    person : -intern {\n"
            "      laptop : linux / mac\n"
            "    }\n"
            "  }\n"
            "}\n")


def adversarial_query_text(stars: int = 20, last: str = "* : no such tag") -> str:
    """A root body of `stars` bare "*" subjects, then one subject that no
    graph subject satisfies."""
    return "{\n" + "  *\n" * stars + f"  {last}\n}}\n"


def query_text(seed: int, subjects: int = 3) -> str:
    """A random query over the graph_text vocabulary: nested subjects with
    tag expressions (and, or, not), an optional relation and meta queries."""
    rng = random.Random(seed)

    def expr() -> str:
        items = []
        for _ in range(1 + rng.randrange(3)):
            t = _VOCAB[rng.randrange(_PLAIN_VOCAB)][0]
            r = rng.random()
            if r < 0.2:
                t = "-" + t
            elif r < 0.35:
                t = f"({t} / {_VOCAB[rng.randrange(_PLAIN_VOCAB)][0]})"
            items.append(t)
        return ", ".join(items)

    lines = ["[owner:bench, -state:draft]", "{"]
    for i in range(subjects):
        ind = "  " * (i + 1)
        subj = "*" if rng.random() < 0.5 else _KINDS[rng.randrange(len(_KINDS))]
        lines.append(f"{ind}{subj} @q{i} : {expr()}" + (" {" if i < subjects - 1 else ""))
    if subjects > 1 and rng.random() < 0.5:
        lines.append("  " * subjects + "* > @q0")
    for i in reversed(range(subjects - 1)):
        lines.append("  " * (i + 1) + "}")
    lines.append("}")
    return "\n".join(lines) + "\n"


def _main(argv: Optional[Sequence[str]] = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("what", choices=("graph", "json", "query", "small", "match-query",
                                     "adversarial"))
    ap.add_argument("--subjects", type=int, default=None)
    ap.add_argument("--mb", type=float, default=None,
                    help="aim at this many megabytes of graph text instead of --subjects")
    ap.add_argument("--seed", type=int, default=0)
    ap.add_argument("--nesting", choices=NESTINGS, default="mixed")
    ap.add_argument("-o", "--output", default="-")
    a = ap.parse_args(argv)

    if a.what in ("graph", "json"):
        n = a.subjects
        if n is None:
            n = subjects_for_size(a.mb if a.mb is not None else 10.0, a.seed, a.nesting)
        text = (graph_text if a.what == "graph" else graph_json)(n, a.seed, a.nesting)
    elif a.what == "query":
        text = query_text(a.seed, a.subjects or 3)
    elif a.what == "small":
        text = small_graph_text(a.seed, a.subjects or 10)
    elif a.what == "match-query":
        text = match_query_text()
    else:
        text = adversarial_query_text()

    if a.output == "-":
        sys.stdout.write(text)
    else:
        with open(a.output, "w", encoding="utf-8") as f:
            f.write(text)
    return 0


if __name__ == "__main__":
    sys.exit(_main())
