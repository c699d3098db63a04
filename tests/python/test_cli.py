"""python -m lumo_query, end to end: every command, standard input, exit codes."""
import json
import subprocess
import sys

import pytest

import lumo_query as lq


def run(*args, stdin=""):
    done = subprocess.run([sys.executable, "-m", "lumo_query", *args], input=stdin.encode(),
                          capture_output=True, timeout=120)
    return done.returncode, done.stdout.decode(), done.stderr.decode()


@pytest.fixture
def files(tmp_path):
    paths = {
        "good": "{ alice: employee, engineer { laptop } }",
        "other": "{ bob: employee }",
        "bad": "{ alice: (red }",
        "query": "{ alice: employee }",
        "badquery": "{ *(a, b) }",
    }
    for name, text in paths.items():
        (tmp_path / name).write_text(text)
    (tmp_path / "latin1").write_bytes(b"{ caf\xe9 }")
    (tmp_path / "records.jsonl").write_text(
        json.dumps({"id": 1, "graph": paths["good"]}) + "\n\n"
        + json.dumps({"id": 2, "graph": paths["other"]}) + "\n"
        + json.dumps({"id": 3, "g": paths["good"]}) + "\n"
    )
    return {name: str(tmp_path / name) for name in [*paths, "latin1", "records.jsonl"]}


def caret_report(text, parse=lq.parse_tag_graph):
    with pytest.raises(ValueError) as info:
        parse(text)
    return str(info.value)


def test_check(files):
    assert run("check", files["good"], files["other"]) == (0, "", "")
    assert run("check", "-v", files["good"]) == (0, f"{files['good']}: ok\n", "")
    code, out, err = run("check", files["good"], files["bad"])
    assert (code, out) == (1, "")
    assert err == f"{files['bad']}: {caret_report('{ alice: (red }')}\n"
    # Queries: --query; a query-only error is no graph error and the reverse.
    assert run("check", "--query", files["query"])[0] == 0
    code, _, err = run("check", "--query", files["badquery"])
    assert code == 1 and err.startswith(f"{files['badquery']}: ")
    assert err[len(files["badquery"]) + 2:] == caret_report("{ *(a, b) }", lq.parse_query) + "\n"
    # Unreadable input outranks an invalid one.
    code, _, err = run("check", files["bad"], files["good"] + ".missing", files["latin1"])
    assert code == 2
    assert "No such file or directory" in err and "not UTF-8 (byte 5)" in err


def test_check_standard_input():
    assert run("check", "-", stdin="{ a }") == (0, "", "")
    code, _, err = run("check", "-", stdin="{ a: (b }")
    assert code == 1 and err.startswith("<stdin>: invalid syntax\n")
    code, _, err = run("check", "-", "-", stdin="{ a }")
    assert code == 2 and "standard input can be read only once" in err


def test_match_files(files):
    assert run("match", "{ alice { laptop } }", files["good"], files["other"]) == (
        0, files["good"] + "\n", "")
    assert run("match", "{ carol }", files["good"], files["other"]) == (1, "", "")
    assert run("match", "{ bob }", "-", stdin="{ bob }") == (0, "-\n", "")
    # A bad graph is reported and the others still answer; the exit is 2.
    code, out, err = run("match", "{ bob }", files["bad"], files["other"])
    assert (code, out) == (2, files["other"] + "\n") and err.startswith(files["bad"] + ": ")
    code, out, err = run("match", "{ (", files["good"])
    assert (code, out) == (2, "") and err.startswith("query: invalid syntax\n")


def test_match_json_lines(files):
    code, out, err = run("match", "--jsonl", "{ *: employee }", files["records.jsonl"])
    lines = open(files["records.jsonl"]).read().splitlines()
    assert out == lines[0] + "\n" + lines[2] + "\n"
    assert code == 2 and err == f"{files['records.jsonl']}:4: no string field 'graph'\n"
    code, out, _ = run("match", "--jsonl", "--field", "g", "{ alice }", files["records.jsonl"])
    assert (code, out) == (2, lines[3] + "\n")
    code, out, err = run("match", "--jsonl", "{ a }", "-", stdin='{"graph": "{ a }"}\nnot json\n')
    assert (code, out) == (2, '{"graph": "{ a }"}\n') and "<stdin>:2: not JSON" in err


def test_tags(files):
    assert run("tags", files["good"]) == (
        0, "alice\ncontext\nemployee\nengineer\nlaptop\n", "")
    assert run("tags", "--json", "-", stdin='{ "caf\u00e9" }') == (0, '["café", "context"]\n', "")
    assert run("tags", files["bad"])[0] == 2
    assert run("tags", "--no-validate", "-", stdin="{ x: a, a }") == (0, "a\ncontext\nx\n", "")
    assert run("tags", "-", stdin="{ x: a, a }")[0] == 2


def test_sql():
    code, out, _ = run("sql", "{ shirt: red / blue }")
    args = []
    condition = lq.parse_query("{ shirt: red / blue }").to_sql(args)
    assert code == 0 and json.loads(out) == {"condition": condition, "params": args}
    assert run("sql", "{ (")[0] == 2


def test_explain(files):
    query = "{ alice: employee { laptop: encrypted } }"
    code, out, _ = run("explain", query, files["good"])
    graph = lq.parse_tag_graph(open(files["good"]).read())
    assert (code, out) == (1, lq.parse_query(query).explain(graph))
    assert out.startswith("no match\n") and "lacks `encrypted`" in out
    code, out, _ = run("explain", "{ alice }", "-", stdin="{ alice }")
    assert code == 0 and out.startswith("match\n")
    assert run("explain", "{ alice }", files["bad"])[0] == 2


@pytest.mark.parametrize("command", ["check", "match", "tags", "sql", "explain"])
def test_help_for_each_command(command):
    code, out, _ = run(command, "--help")
    assert code == 0 and out.startswith("usage: python -m lumo_query " + command)
    assert "exit codes:" in out


def test_usage_errors_exit_2():
    assert run()[0] == 2
    assert run("nosuch")[0] == 2
    assert run("match", "{ a }")[0] == 2  # no FILE
    code, out, _ = run("--version")
    assert code == 0 and out == f"lumo_query {lq.__version__}\n"
