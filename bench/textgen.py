"""Synthetic tag graph and query texts for the benchmarks.

Standard library only. Importable (``graph_text``, ``graph_json``,
``graph_text_of_size``, ``small_graph_text``, ``match_query_text``,
``adversarial_query_text``, ``query_text``, ``record_text``, ``record_json``,
``record_pair``, ``records_graph``, ``chain_text``, ``siblings_text``) and
usable from the command line:

    python bench/textgen.py graph --subjects 100000 --seed 1 -o g.txt
    python bench/textgen.py graph --mb 10 --nesting deep -o deep.txt
    python bench/textgen.py json --subjects 100000 --seed 1 -o g.json
    python bench/textgen.py query --seed 3
    python bench/textgen.py record --seed 3        # one ~430-byte record
    python bench/textgen.py chain --subjects 1000000 --distinct-names -o chain.txt

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


# --- per-record texts: one team with its people --------------------------

_R_PEOPLE = ("alice", "bob", "carol", "dave", "erin", "frank", "grace", "heidi",
             "ivan", "judy", "mallory", "niaj", "olivia", "peggy", "rupert",
             "sybil", "trent", "victor", "walter", "yolanda")
_R_ROLES = ("engineer", "manager", "designer", "analyst", "intern")
_R_TEAMS = ("storage", "billing", "mobile", "security", "search")
_R_CITIES = ("lisbon", "oslo", "montreal", "nairobi", "osaka")
_R_BRANDS = {"laptop": ("norvale", "kestrel", "ambermoor"),
             "phone": ("vantry", "ambermoor")}
_R_SYSTEMS = {"laptop": ("linux", "windows", "macos"), "phone": ("android", "ios")}
_R_DOCUMENTS = ("report", "contract", "memo", "invoice", "plan", "budget")
_R_STATES = ("draft", "signed", "archived")
_R_LEVELS = ("public", "internal", "confidential")
_R_RELATIONS = ("manages", "manages", "mentors", "reviews")


class _Record:
    """One record, flat in pre-order: index 0 is the root. `target` is the
    name a relation subject points at."""

    __slots__ = ("parent", "subject", "tags", "target", "has_children")

    def __init__(self) -> None:
        self.parent: List[int] = [0]
        self.subject: List[str] = [""]
        self.tags: List[Tuple[str, ...]] = [()]
        self.target: List[Optional[str]] = [None]
        self.has_children: List[bool] = [True]

    def add(self, parent: int, subject: str, tags: Sequence[str],
            target: Optional[str] = None) -> int:
        self.parent.append(parent)
        self.subject.append(subject)
        self.tags.append(tuple(tags))
        self.target.append(target)
        self.has_children.append(False)
        self.has_children[parent] = True
        return len(self.parent) - 1

    def __len__(self) -> int:
        return len(self.parent)


def _make_record(seed: int) -> _Record:
    rng = random.Random(f"record:{seed}")
    r = _Record()
    team = r.add(0, "team", (_R_TEAMS[rng.randrange(len(_R_TEAMS))],
                             _R_CITIES[rng.randrange(len(_R_CITIES))]))
    names = rng.sample(_R_PEOPLE, 3 if rng.random() < 0.05 else 2)
    source = rng.randrange(len(names))
    for p, name in enumerate(names):
        tags = ["person", _R_ROLES[rng.randrange(len(_R_ROLES))]]
        if rng.random() < 0.3:
            tags.append("remote")
        person = r.add(team, name, tags)
        for kind in ("laptop", "phone"):
            dev = [rng.choice(_R_BRANDS[kind]), rng.choice(_R_SYSTEMS[kind])]
            if rng.random() < 0.35:
                dev.append("encrypted")
            r.add(person, kind, dev)
        for doc in rng.sample(_R_DOCUMENTS, 3):
            tags = [rng.choice(_R_STATES)]
            if rng.random() < 0.25:
                tags.append(rng.choice(_R_LEVELS))
            r.add(person, doc, tags)
        if p == source:
            # the path may name a later sibling of the source
            other = names[(p + 1 + rng.randrange(len(names) - 1)) % len(names)]
            r.add(person, "*", (_R_RELATIONS[rng.randrange(len(_R_RELATIONS))],),
                  target=other)
    return r


def _record_lines(r: _Record, depth: int) -> List[str]:
    """The entries of r (root excluded), indented from `depth`."""
    out: List[str] = []
    stack: List[int] = []  # open subjects
    for i in range(1, len(r)):
        p = r.parent[i]
        while stack and stack[-1] != p:
            stack.pop()
            out.append("  " * (depth + len(stack)) + "}")
        line = r.subject[i]
        if r.target[i] is not None:
            line += " > @" + r.target[i]
        if r.tags[i]:
            line += " : " + ", ".join(r.tags[i])
        if r.has_children[i]:
            out.append("  " * (depth + len(stack)) + line + " {")
            stack.append(i)
        else:
            out.append("  " * (depth + len(stack)) + line)
    while stack:
        stack.pop()
        out.append("  " * (depth + len(stack)) + "}")
    return out


def _record_json(r: _Record) -> str:
    out: List[str] = ["["]
    stack: List[int] = []
    for i in range(1, len(r)):
        p = r.parent[i]
        while stack and stack[-1] != p:
            stack.pop()
            out.append("]}")
        if i != p + 1:  # not the first child (pre-order: that follows p)
            out.append(",")
        star = r.subject[i] == "*"
        obj = ('{"name":' + json.dumps(r.subject[i])
               + ',"identities":[' + ("" if star else json.dumps(r.subject[i])) + "]"
               + ',"tags":[' + ",".join(json.dumps(t) for t in r.tags[i]) + "]")
        if r.target[i] is not None:
            obj += ',"relation":{"target":[' + json.dumps(r.target[i]) + '],"context":null}'
        if r.has_children[i]:
            out.append(obj + ',"children":[')
            stack.append(i)
        else:
            out.append(obj + ',"children":[]}')
    while stack:
        stack.pop()
        out.append("]}")
    out.append("]")
    return "".join(out)


def record_text(seed: int) -> str:
    """A record of the kind an application stores one per row (about 430
    bytes, 14 subjects): a team of two people (three in one record out of
    twenty), each with a laptop, a phone and three documents, and one
    relation subject inside one person naming another (`* > @bob : manages`)."""
    return "{\n" + "\n".join(_record_lines(_make_record(seed), 1)) + "\n}\n"


def record_json(seed: int) -> str:
    """The subjects of record_text(seed) as JSON, in the form of graph_json
    (objects with name, identities, tags, children and, for the relation
    subject, relation)."""
    return _record_json(_make_record(seed))


def record_pair(seed: int) -> Tuple[str, str, int]:
    """(record_text, record_json, subject count) of one record, built once."""
    r = _make_record(seed)
    return ("{\n" + "\n".join(_record_lines(r, 1)) + "\n}\n", _record_json(r), len(r) - 1)


def records_graph(subjects: int, seed: int = 0) -> Tuple[str, int]:
    """(text, subject count) of one graph holding whole records side by side
    (their teams are top-level subjects) until it has at least `subjects`
    subjects. Relation paths stay inside their own team."""
    lines = ["// records side by side", "{"]
    count = 0
    n = 0
    while count < subjects:
        r = _make_record(seed * 1_000_003 + n)
        lines.extend(_record_lines(r, 1))
        count += len(r) - 1
        n += 1
    lines.append("}")
    lines.append("")
    return "\n".join(lines), count


# --- chains and siblings ----------------------------------------------------

def chain_text(subjects: int, distinct_names: bool = False) -> str:
    """One chain of `subjects` subjects, each the only child of the one
    before: `{ a : t0, red { a : t1 { ... } } }`, each level with its own tag
    and every third also `red`; with distinct_names, `{ n0 { n1 { ... } } }`
    with no tags. Built with a loop, one level per line."""
    lines = ["{"]
    if distinct_names:
        for i in range(subjects):
            lines.append(f"n{_b36(i)} {{")
    else:
        for i in range(subjects):
            lines.append(f"a : t{_b36(i)}, red {{" if i % 3 == 0 else f"a : t{_b36(i)} {{")
    full, rest = divmod(subjects, 64)
    lines.extend(["}" * 64] * full)
    if rest:
        lines.append("}" * rest)
    lines.append("}")
    lines.append("")
    return "\n".join(lines)


_SIBLING_TAGS = ("red", "green", "blue", "amber", "black", "white", "silver")


def siblings_text(subjects: int) -> str:
    """`subjects` subjects side by side in one body, with distinct names and
    one tag each, taken in turn from seven: `{ item-0 : red  item-1 : green ... }`
    (one entry per line). No subject has two of the seven tags."""
    lines = ["{"]
    k = len(_SIBLING_TAGS)
    for i in range(subjects):
        lines.append(f"  item-{_b36(i)} : {_SIBLING_TAGS[i % k]}")
    lines.append("}")
    lines.append("")
    return "\n".join(lines)


def _main(argv: Optional[Sequence[str]] = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("what", choices=("graph", "json", "query", "small", "match-query",
                                     "adversarial", "record", "record-json", "records",
                                     "chain", "siblings"))
    ap.add_argument("--subjects", type=int, default=None)
    ap.add_argument("--mb", type=float, default=None,
                    help="aim at this many megabytes of graph text instead of --subjects")
    ap.add_argument("--seed", type=int, default=0)
    ap.add_argument("--nesting", choices=NESTINGS, default="mixed")
    ap.add_argument("--distinct-names", action="store_true",
                    help="chain: n0 { n1 { ... } } instead of a : t0 { a : t1 { ... } }")
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
    elif a.what == "record":
        text = record_text(a.seed)
    elif a.what == "record-json":
        text = record_json(a.seed)
    elif a.what == "records":
        text = records_graph(a.subjects or 1000, a.seed)[0]
    elif a.what == "chain":
        text = chain_text(a.subjects or 1000, distinct_names=a.distinct_names)
    elif a.what == "siblings":
        text = siblings_text(a.subjects or 1000)
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
