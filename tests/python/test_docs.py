"""The user guide's examples run, and its errors page shows every error.

Every page of docs/ runs under the conventions of docs_examples.py: pycon
blocks are doctests, python blocks run, a python block followed by a text
block titled with an exception name must raise exactly that message. A page
that uses DATABASE_URL runs against a fresh database of the throwaway
PostgreSQL server (pg_server.py), so its recipes talk to a real server.
"""

from __future__ import annotations

import ast
import contextlib
import re
import uuid
from pathlib import Path
from typing import Dict, Iterator, List

import pytest

from docs_examples import SKIP_MARK, ExampleFailure, read_blocks, run_page
from pg_server import DB_USER, pg_conn, pg_server  # noqa: F401  (fixtures)

ROOT = Path(__file__).resolve().parents[2]
DOCS = ROOT / "docs"
PAGES = sorted(DOCS.glob("*.md"))
ERRORS_PAGE = DOCS / "errors.md"


@contextlib.contextmanager
def new_database(pg_server, pg_conn) -> Iterator[str]:  # noqa: F811
    """The URL of a new, empty database on the test server, dropped after."""
    name = f"docs_{uuid.uuid4().hex[:12]}"
    pg_conn.execute(f"CREATE DATABASE {name}")
    try:
        yield f"postgresql://{DB_USER}@127.0.0.1:{pg_server.port}/{name}"
    finally:
        pg_conn.execute(f"DROP DATABASE {name} WITH (FORCE)")


@pytest.fixture
def database_url(pg_server, pg_conn):  # noqa: F811
    """A URL of a new, empty database on the test server."""
    with new_database(pg_server, pg_conn) as url:
        yield url


@pytest.fixture(scope="module")
def module_database_url(pg_server, pg_conn):  # noqa: F811
    """A URL of a new, empty database on the test server, for one module."""
    with new_database(pg_server, pg_conn) as url:
        yield url


def test_the_guide_has_its_pages():
    names = {page.name for page in PAGES}
    assert {"index.md", "language.md", "matching.md", "errors.md", "databases.md",
            "performance.md", "api.md", "changelog.md"} <= names


@pytest.mark.parametrize("page", PAGES, ids=lambda page: page.name)
def test_page_examples_run(page, monkeypatch, request):
    text = page.read_text(encoding="utf-8")
    monkeypatch.chdir(ROOT)  # the pages speak of paths in the checkout
    if "DATABASE_URL" in text:
        monkeypatch.setenv("DATABASE_URL", request.getfixturevalue("database_url"))
    try:
        run = run_page(page)
    except ExampleFailure as failure:
        pytest.fail(str(failure), pytrace=False)
    # A fence the reader did not recognise would pass silently: count the
    # runnable fences independently of the reader.
    fences = len(re.findall(r"^ *```(?:python|pycon)\b", text, re.MULTILINE))
    skipped = text.count(SKIP_MARK)
    assert run.ran == fences - skipped, (run.ran, fences, skipped)


def test_database_pages_run_one_after_another_on_one_database(monkeypatch, request):
    # A reader follows the pages in the guide's order against one database:
    # no page may trip over the tables an earlier one made.
    pages = [page for page in PAGES if "DATABASE_URL" in page.read_text(encoding="utf-8")]
    assert {"databases.md", "postgres-extension.md"} <= {page.name for page in pages}
    nav = (ROOT / "mkdocs.yml").read_text(encoding="utf-8")
    pages.sort(key=lambda page: nav.index(page.name))
    monkeypatch.chdir(ROOT)
    monkeypatch.setenv("DATABASE_URL", request.getfixturevalue("database_url"))
    for page in pages:
        try:
            run_page(page)
        except ExampleFailure as failure:
            pytest.fail(f"after {[p.name for p in pages[:pages.index(page)]]}: {failure}",
                        pytrace=False)


# At 1280 px a code block of the site holds 80 characters of a line
# (scripts/check_guide.py measures it in a browser); longer lines scroll.
CODE_WIDTH = 80


@pytest.mark.parametrize("page", PAGES, ids=lambda page: page.name)
def test_code_lines_fit_the_page(page):
    long = [f"{page.name}:{block.line + k}: {len(line)} characters"
            for block in read_blocks(page.read_text(encoding="utf-8"))
            if "title" not in block.attrs      # exception messages wrap (extra.css)
            for k, line in enumerate(block.code.split("\n"))
            if len(line.expandtabs()) > CODE_WIDTH]
    assert not long


def test_skipped_examples_stay_rare():
    marks = sum(page.read_text(encoding="utf-8").count(SKIP_MARK) for page in PAGES)
    assert marks <= 2


# -- the reader's conventions ------------------------------------------------

SAMPLE = '''Intro

```python
x = 1
```

<!-- test: skip -->
```python
never()
```

!!! note
    ```pycon
    >>> x + 1
    2
    ```

```python
raise ValueError("a\\nb")
```

```text title="ValueError"
a
b
```

```sh
echo not run
```
'''


def test_reader_finds_blocks_marks_and_lines():
    blocks = read_blocks(SAMPLE)
    assert [(b.lang, b.line, b.skip) for b in blocks] == [
        ("python", 4, False), ("python", 9, True), ("pycon", 14, False),
        ("python", 19, False), ("text", 23, False), ("sh", 28, False)]
    assert blocks[2].code == ">>> x + 1\n2\n"        # indentation removed
    assert blocks[4].attrs == {"title": "ValueError"}


def _sample_page(tmp_path, old="", new=""):
    page = tmp_path / "sample.md"
    page.write_text(SAMPLE.replace(old, new), encoding="utf-8")
    return page


def test_runner_runs_the_sample(tmp_path):
    run = run_page(_sample_page(tmp_path))
    assert run.ran == 3
    assert [(r.exception, r.message, r.line) for r in run.raised] == [("ValueError", "a\nb", 19)]


RAISE = 'raise ValueError("a\\nb")'


@pytest.mark.parametrize("old, new, complaint", [
    ("    2\n    ```", "    3\n    ```", "Failed example"),
    (RAISE, 'raise ValueError("a b")', "but the code raised ValueError: 'a b'"),
    (RAISE, 'raise TypeError("a\\nb")', "but the code raised TypeError: 'a\\nb'"),
    (RAISE, "pass", "but the code raised nothing"),
    ("x = 1", "x = 2", "Failed example"),      # namespace shared across blocks
])
def test_runner_reports_what_differs(tmp_path, old, new, complaint):
    with pytest.raises(ExampleFailure, match=re.escape(complaint)):
        run_page(_sample_page(tmp_path, old, new))


# -- the errors page -----------------------------------------------------------

def _c_strings(pattern: str, source: Path) -> List[str]:
    """The string literals that `pattern` captures in a C++ source."""
    text = source.read_text(encoding="utf-8")
    return [ast.literal_eval('"' + literal + '"') for literal in re.findall(pattern, text)]


# The errors page's last section needs a database; without a server the
# module's own errors, above it, are still checked.
DATABASE_SECTION = "\n## Errors from the database, the driver and Python\n"


@pytest.fixture(scope="module")
def shown(request, tmp_path_factory) -> Dict[str, List[str]]:
    """Exception name -> the messages the errors page shows raised."""
    text = ERRORS_PAGE.read_text(encoding="utf-8")
    assert text.count(DATABASE_SECTION) == 1 and "DATABASE_URL" not in text.split(DATABASE_SECTION)[0]
    page = ERRORS_PAGE
    with pytest.MonkeyPatch.context() as patch:
        try:
            patch.setenv("DATABASE_URL", request.getfixturevalue("module_database_url"))
        except pytest.skip.Exception:
            page = tmp_path_factory.mktemp("errors") / ERRORS_PAGE.name
            page.write_text(text.split(DATABASE_SECTION)[0], encoding="utf-8")
        messages: Dict[str, List[str]] = {}
        for example in run_page(page).raised:
            messages.setdefault(example.exception, []).append(example.message)
    return messages


# Catalogue texts no call can produce, and why.
NOT_RAISED = {
    "duplicate relations": "no rule raises it: each relation subject is its own relation",
    "interrupted": "an interrupted call raises KeyboardInterrupt, which the page describes",
}


def test_errors_page_shows_every_build_error(shown):
    catalogue = _c_strings(r'return "((?:[^"\\]|\\.)*)"', ROOT / "src/model/build_error.cpp")
    assert "can only query one identity" in catalogue  # the pattern still reads the file
    missing = []
    for text in catalogue:
        if text in NOT_RAISED:
            continue
        if text.endswith(("\n", ": ")):   # a prefix followed by details
            found = any(m.startswith(text) for m in shown.get("ValueError", []))
        else:
            found = text in shown.get("ValueError", [])
        if not found:
            missing.append(text)
    assert not missing, f"errors the page never shows raised: {missing}"


def test_errors_page_shows_every_syntax_report_line(shown):
    source = ROOT / "src/syntax/parser.cpp"
    invalid = set(_c_strings(r'\binvalid\("([^"]*)"\)', source))
    expected = set(_c_strings(r'\bexpected\("([^"]*)"\)', source))
    literal = set(_c_strings(r'\bexpected_literal\("([^"]*)"\)', source))
    assert {"expression", "relation"} <= invalid and "tag" in expected and "string" in literal
    reports = [m for m in shown.get("ValueError", []) if m.startswith("invalid syntax\n")]
    lines = {line for m in reports for line in m.split("\n")}
    items = {item for line in lines if line.startswith("expected ")
             for item in line[len("expected "):].split(", ")}
    assert {f"invalid {c}" for c in invalid} <= lines
    assert expected | {f"`{c}`" for c in literal} <= items
    # Both report forms, and a report with nothing expected after the caret.
    assert any("\nparse error at line " in m for m in reports)
    assert any(m.split("\n")[2].lstrip(" ") == "^" for m in reports)
    assert any(m.endswith("^\n") for m in reports)


@pytest.mark.parametrize("exception, pieces", [
    ("TypeError", [" missing 1 required positional argument: ",
                   " takes from 1 to 2 positional arguments but ",
                   " takes 1 positional arguments but ",
                   " got an unexpected keyword argument ",
                   " got multiple values for argument ",
                   " cannot be converted to 'PyString'",
                   " cannot be converted to 'PyBool'",
                   " does not define a '__bool__' conversion",
                   " cannot be converted to 'PyList'",
                   " cannot be converted to 'TagGraph'",
                   "No constructor defined for "]),
    ("RuntimeError", ["Already borrowed", "Already mutably borrowed"]),
    ("ImportError", ["may be initialized only once"]),
    ("UnicodeEncodeError", ["surrogates not allowed"]),
])
def test_errors_page_shows_every_surface_error(shown, exception, pieces):
    messages = shown.get(exception, [])
    missing = [p for p in pieces if not any(p in m for m in messages)]
    assert not missing, f"{exception} texts the page never shows raised: {missing}"


@pytest.mark.parametrize("exception, piece", [
    ("ProgrammingError", "the query has 0 placeholders but 1 parameters were passed"),
    ("AmbiguousColumn", 'column reference "tags" is ambiguous'),
    ("InsufficientPrivilege", 'permission denied to create extension "lumo_query"'),
])
def test_errors_page_shows_the_integration_errors(shown, module_database_url, exception, piece):
    assert any(m.startswith(piece) for m in shown.get(exception, [])), shown.get(exception)


# -- versions and the cookbook ------------------------------------------------

CHANGELOG = DOCS / "changelog.md"
RELEASE = re.compile(r"^## (\d+\.\d+\.\d+) — (\d{4}-\d{2}-\d{2})$")
EXTENSION = re.compile(r"^### PostgreSQL extension (\d+\.\d+\.\d+) — (\d{4}-\d{2}-\d{2})$")


def _version_key(version: str):
    return tuple(int(part) for part in version.split("."))


def _changelog_versions():
    """(module releases, extension versions): [(version, date)] in page order."""
    import datetime

    releases, extensions = [], []
    for line in CHANGELOG.read_text(encoding="utf-8").split("\n"):
        for pattern, found in ((RELEASE, releases), (EXTENSION, extensions)):
            match = pattern.match(line)
            if match:
                datetime.date.fromisoformat(match.group(2))  # a real date
                found.append((match.group(1), match.group(2)))
        if line.startswith("## "):
            assert line == "## Unreleased" or RELEASE.match(line), line
    return releases, extensions


def test_changelog_versions_match_the_package_and_the_extension():
    releases, extensions = _changelog_versions()
    project = re.search(r'^version = "([^"]+)"$',
                        (ROOT / "pyproject.toml").read_text(encoding="utf-8"), re.M).group(1)
    control = re.search(r"^default_version = '([^']+)'$",
                        (ROOT / "src/postgres/lumo_query.control").read_text(encoding="utf-8"),
                        re.M).group(1)
    scripts = {name for path in (ROOT / "src/postgres").glob("lumo_query--*.sql")
               for name in path.stem.split("--")[1:]}
    assert releases and releases[0][0] == project, (releases, project)
    assert extensions and extensions[0][0] == control, (extensions, control)
    assert {version for version, _ in extensions} == scripts | {control}
    for versions in (releases, extensions):   # newest first, by version and date
        assert versions == sorted(versions, key=lambda v: (_version_key(v[0]), v[1]), reverse=True)


def test_install_page_reports_the_package_version():
    project = re.search(r'^version = "([^"]+)"$',
                        (ROOT / "pyproject.toml").read_text(encoding="utf-8"), re.M).group(1)
    assert f">>> lumo_query.__version__\n'{project}'\n" in (DOCS / "install.md").read_text(encoding="utf-8")


def test_cookbook_questions_show_their_figures():
    # Each question shows what to_sql gives and the two counts; the page's
    # doctest (test_page_examples_run) checks that the counts are right.
    text = (DOCS / "cookbook.md").read_text(encoding="utf-8")
    questions = re.split(r"^### ", text.split("\n## Questions\n")[1].split("\n## ")[0], flags=re.M)[1:]
    assert 10 <= len(questions) <= 15, len(questions)
    for question in questions:
        if ">>> ask(" not in question:
            continue
        asked = question.count(">>> ask(")
        assert len(re.findall(r"^selects \d+ of 400, matches \d+$", question, re.M)) == asked, question
        assert question.count("\ncondition: ") == asked
    assert sum(">>> ask(" in q for q in questions) >= len(questions) - 1
