#!/usr/bin/env python3
"""Writes the sample data set examples/data/records.json.

Each record is an id, a title and a tag graph text: a person with the devices
they carry, a device with the person it is assigned to, or a document with
its sections and the people who wrote, signed or approved it. The data is
made with a fixed seed, so running this script again gives the same file.

    python3 examples/make_records.py [--count N] [--seed S] [--out PATH]
"""

from __future__ import annotations

import argparse
import json
import random
from pathlib import Path
from typing import List

PEOPLE = ["alice", "bob", "carol", "dave", "erin", "frank", "grace", "heidi",
          "ivan", "judy", "mallory", "niaj", "olivia", "peggy", "rupert",
          "sybil", "trent", "victor", "walter", "yolanda"]
SURNAMES = ["Moreau", "Okafor", "Lindqvist", "Tanaka", "Garcia", "Novak",
            "Haddad", "Kowalski", "Silva", "O'Neill"]
ROLES = ["engineer", "manager", "designer", "intern", "analyst"]
TEAMS = ["storage", "billing", "mobile", "security", "search"]
CITIES = ["lisbon", "oslo", "montreal", "nairobi", "osaka"]
DEVICES = ["laptop", "phone", "tablet", "printer"]
BRANDS = {"laptop": ["norvale", "kestrel", "ambermoor"],
          "phone": ["vantry", "ambermoor"],
          "tablet": ["vantry", "norvale"],
          "printer": ["pellway", "kestrel"]}
SYSTEMS = {"laptop": ["linux", "windows", "macos"], "phone": ["android", "ios"],
           "tablet": ["android", "ios"], "printer": ["firmware"]}
DOCUMENTS = ["report", "contract", "memo", "invoice"]
TOPICS = ["pricing", "roadmap", "hiring", "security", "budget", "travel",
          "incident", "vendor"]


class Writer:
    """Collects the lines of one tag graph text."""

    def __init__(self) -> None:
        self.lines: List[str] = []

    def line(self, depth: int, text: str) -> None:
        self.lines.append("  " * depth + text)

    def text(self) -> str:
        return "\n".join(self.lines)


def device_lines(rng: random.Random, out: Writer, depth: int, kind: str,
                 name: str) -> List[str]:
    tags = ["device", rng.choice(BRANDS[kind]), rng.choice(SYSTEMS[kind])]
    if kind != "printer" and rng.random() < 0.55:
        tags.append("encrypted")
    if rng.random() < 0.15:
        tags.append("retired")
    parts = []
    if kind in ("laptop", "phone", "tablet") and rng.random() < 0.6:
        parts.append("battery : " + rng.choice(["worn", "healthy"]))
    if rng.random() < 0.3:
        parts.append("screen : " + rng.choice(["cracked", "healthy"]))
    head = f"{kind} @{name} : " + ", ".join(tags)
    if parts:
        out.line(depth, head + " {")
        for part in parts:
            out.line(depth + 1, part)
        out.line(depth, "}")
    else:
        out.line(depth, head)
    return tags


def person_record(rng: random.Random) -> dict:
    first = rng.choice(PEOPLE)
    surname = rng.choice(SURNAMES)
    role, team = rng.choice(ROLES), rng.choice(TEAMS)
    tags = ["person", role, "team " + team, rng.choice(CITIES)]
    if rng.random() < 0.3:
        tags.append("remote")
    out = Writer()
    out.line(0, f"// {first.title()} {surname}")
    out.line(0, "{")
    out.line(1, f"{first}(\"{first.title()} {surname}\") @p : " + ", ".join(tags) + " {")
    kinds = rng.sample(DEVICES[:3], rng.randint(0, 2))
    for i, kind in enumerate(kinds):
        device_lines(rng, out, 2, kind, f"d{i}")
    if rng.random() < 0.5:
        out.line(2, "badge : access " + rng.choice(["visitor", "staff", "admin"]))
    out.line(1, "}")
    out.line(0, "}")
    carried = f", carries {' and '.join(kinds)}" if kinds else ""
    title = f"{first.title()} {surname}: {role}, {team} team{carried}"
    return {"title": title, "graph": out.text()}


def device_record(rng: random.Random) -> dict:
    kind = rng.choice(DEVICES)
    owner = rng.choice(PEOPLE)
    role = rng.choice(ROLES)
    out = Writer()
    out.line(0, "{")
    tags = device_lines(rng, out, 1, kind, "dev")
    # The owner uses the device: a relation written inside the owner, whose
    # context is the whole record.
    out.line(1, f"{owner} @owner : person, {role} {{")
    out.line(2, "* > @dev : " + rng.choice(["uses", "maintains"]))
    out.line(1, "}")
    out.line(0, "}")
    title = f"{tags[1].title()} {kind} ({', '.join(tags[2:])}) of {owner.title()}"
    return {"title": title, "graph": out.text()}


def document_record(rng: random.Random) -> dict:
    kind = rng.choice(DOCUMENTS)
    status = rng.choice(["draft", "signed", "archived"])
    level = rng.choice(["public", "internal", "confidential"])
    topics = rng.sample(TOPICS, rng.randint(1, 3))
    out = Writer()
    out.line(0, "{")
    out.line(1, f"{kind} @doc : document, {status}, {level} {{")
    for topic in topics:
        out.line(2, f"section : {topic}")
    out.line(1, "}")
    author = rng.choice(PEOPLE)
    out.line(1, f"{author} @author : person, {rng.choice(ROLES)} {{")
    out.line(2, "* > @doc : wrote")
    out.line(1, "}")
    if status == "signed":
        signer = rng.choice([p for p in PEOPLE if p != author])
        out.line(1, f"{signer} @signer : person, {rng.choice(['manager', 'analyst'])} {{")
        out.line(2, "* > @doc : signed")
        out.line(1, "}")
    if rng.random() < 0.3:
        # An approval given within a review: the relation names its context.
        reviewer = rng.choice([p for p in PEOPLE if p != author])
        out.line(1, f"review @rv : process, {rng.choice(['q1', 'q2', 'q3', 'q4'])}")
        out.line(1, f"{reviewer} @reviewer : person, manager {{")
        out.line(2, "* > @doc(@rv) : approved")
        out.line(1, "}")
    out.line(0, "}")
    title = f"{kind.title()} on {', '.join(topics)} ({status}, {level}) by {author.title()}"
    return {"title": title, "graph": out.text()}


def make_records(count: int, seed: int) -> List[dict]:
    rng = random.Random(seed)
    makers = [person_record] * 4 + [device_record] * 3 + [document_record] * 3
    records = []
    for number in range(1, count + 1):
        record = rng.choice(makers)(rng)
        records.append({"id": number, **record})
    return records


def main() -> None:
    here = Path(__file__).resolve().parent
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--count", type=int, default=400)
    parser.add_argument("--seed", type=int, default=20240611)
    parser.add_argument("--out", type=Path, default=here / "data" / "records.json")
    options = parser.parse_args()
    records = make_records(options.count, options.seed)
    options.out.parent.mkdir(parents=True, exist_ok=True)
    options.out.write_text(json.dumps(records, indent=1, ensure_ascii=False) + "\n",
                           encoding="utf-8")
    print(f"wrote {len(records)} records to {options.out}")


if __name__ == "__main__":
    main()
