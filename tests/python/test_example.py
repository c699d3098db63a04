"""The examples/find.py program, run as a user runs it."""

from __future__ import annotations

import json
import re
import subprocess
import sys
from pathlib import Path

import pytest

import lumo_query
from pg_server import pg_server  # noqa: F401  (fixture)

ROOT = Path(__file__).resolve().parents[2]
EXAMPLES = ROOT / "examples"
RECORDS = EXAMPLES / "data" / "records.json"


def run_find(*args: str) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, str(EXAMPLES / "find.py"), *args],
                          capture_output=True, text=True, timeout=300, cwd=ROOT)


def counts(stdout: str) -> dict:
    found = dict(re.findall(r"^(records|after SQL prefilter|after is_match):\s+(\d+)$",
                            stdout, re.M))
    return {key: int(value) for key, value in found.items()}


def listed_ids(stdout: str) -> list:
    return [int(m) for m in re.findall(r"^  +(\d+)  ", stdout, re.M)]


def expected_matches(query_text: str) -> list:
    query = lumo_query.parse_query(query_text)
    records = json.loads(RECORDS.read_text(encoding="utf-8"))
    return [r["id"] for r in records
            if query.is_match(lumo_query.parse_tag_graph(r["graph"]))]


QUERIES = [
    None,  # the default query
    "{ * : person, manager { * > @d : signed }  * @d : document, confidential }",
    "{ review @r  * : person { * > @d(@r) : approved }  contract @d }",
    "{ laptop : norvale / kestrel, -retired { screen : cracked } }",
]


@pytest.mark.parametrize("query", QUERIES)
def test_find_prints_the_steps_and_the_matches(query):
    done = run_find(*([query] if query else []))
    assert done.returncode == 0, done.stderr
    out = done.stdout
    default = query is None
    if default:
        query = re.search(r"^query:\s+(.*)$", out, re.M).group(1)
        assert query.startswith("{")
    assert re.search(r"^sql:\s+SELECT id FROM records WHERE \(+tags", out, re.M)
    assert re.search(r"^parameters:\s+\[\[?'", out, re.M)
    numbers = counts(out)
    assert numbers["records"] == len(json.loads(RECORDS.read_text(encoding="utf-8")))
    assert numbers["records"] > numbers["after SQL prefilter"] >= numbers["after is_match"] > 0
    if default:
        # The default query shows both steps narrowing the records down.
        assert numbers["after SQL prefilter"] > numbers["after is_match"]
    assert listed_ids(out) == expected_matches(query)
    assert len(listed_ids(out)) == numbers["after is_match"]


@pytest.mark.parametrize("query", ["{ alice", "{ alice: red\n  bob: (blue\n}", "red,"])
def test_syntax_error_prints_the_report_and_exits_2(query):
    with pytest.raises(ValueError) as raised:
        lumo_query.parse_query(query)
    done = run_find(query)
    assert done.returncode == 2
    assert done.stdout == ""
    assert done.stderr == str(raised.value) + "\n"
    assert done.stderr.startswith("invalid syntax\n")
    assert "^" in done.stderr


def test_validation_error_exits_2():
    done = run_find("{ * > @nowhere }")
    assert done.returncode == 2
    assert done.stderr == "subject not found: nowhere\n"


def test_postgres_gives_the_same_answer(pg_server):  # noqa: F811
    pytest.importorskip("psycopg")
    query = QUERIES[1]
    local = run_find(query)
    remote = run_find(query, "--postgres", pg_server.conninfo())
    assert local.returncode == remote.returncode == 0, remote.stderr
    assert "database:   postgresql" in remote.stdout
    assert counts(remote.stdout) == counts(local.stdout)
    assert listed_ids(remote.stdout) == listed_ids(local.stdout)


def test_bundled_records_come_from_the_script(tmp_path):
    out = tmp_path / "records.json"
    subprocess.run([sys.executable, str(EXAMPLES / "make_records.py"), "--out", str(out)],
                   check=True, capture_output=True, timeout=120)
    assert out.read_bytes() == RECORDS.read_bytes()


def _suggested_queries():
    """Every query the README, the examples' README, find.py's help and the
    guide suggest running with find.py."""
    sources = [ROOT / "README.md", EXAMPLES / "README.md", EXAMPLES / "find.py",
               *sorted((ROOT / "docs").glob("*.md"))]
    found = []
    for source in sources:
        text = source.read_text(encoding="utf-8")
        for query in re.findall(r"find\.py(?: --\S+(?: '[^']*')?)* '([^']+)'", text):
            found.append(pytest.param(query, id=f"{source.name}: {query}"))
    return found


@pytest.mark.parametrize("query", _suggested_queries())
def test_every_suggested_query_finds_a_record(query):
    # A suggested query that matches nothing teaches the wrong thing first.
    assert expected_matches(query), f"{query} matches none of the bundled records"


def test_suggested_queries_are_found():
    assert len(_suggested_queries()) >= 6
