"""Runs the code examples of the user guide (docs/*.md).

Conventions for the fenced code blocks of a page:

* ```pycon blocks are doctests: each `>>>` line runs and its output must be
  exactly the lines shown under it;
* ```python blocks run as they are;
* a ```python block followed directly (blank lines aside) by a ```text block
  titled with an exception class name, for example ```text title="ValueError",
  must raise exactly that exception, and the exception's message must be the
  text of that block (without the newline that closes the block's last line);
* all of a page's blocks run in text order in one namespace, so a later block
  sees the names an earlier one defined;
* a block preceded by the line `<!-- test: skip -->` does not run (keep these
  rare); blocks in any other language (pyi for signatures, sh, text, sql,
  mermaid) never run.

Indented blocks (inside admonitions or list items) count like any other.
"""

from __future__ import annotations

import doctest
import re
from dataclasses import dataclass, field
from pathlib import Path
from typing import Dict, List, Optional

FENCE = re.compile(r"^(?P<indent> *)(?P<fence>`{3,}|~{3,})\s*(?P<info>[^`]*?)\s*$")
ATTRIBUTE = re.compile(r'(\w+)="([^"]*)"')
SKIP_MARK = "<!-- test: skip -->"
RUNNABLE = ("python", "pycon")


@dataclass
class Block:
    lang: str
    attrs: Dict[str, str]
    code: str
    line: int          # 1-based line of the block's first code line
    skip: bool = False


def read_blocks(text: str) -> List[Block]:
    """The fenced code blocks of a Markdown text, in order."""
    lines = text.split("\n")
    blocks: List[Block] = []
    i = 0
    previous = ""          # last non-blank line outside a block
    while i < len(lines):
        opening = FENCE.match(lines[i])
        if not opening:
            if lines[i].strip():
                previous = lines[i].strip()
            i += 1
            continue
        indent = len(opening.group("indent"))
        fence = opening.group("fence")
        info = opening.group("info")
        lang = info.split()[0] if info else ""
        body: List[str] = []
        j = i + 1
        while j < len(lines):
            closing = FENCE.match(lines[j])
            if (closing and closing.group("fence").startswith(fence[0] * len(fence))
                    and not closing.group("info")):
                break
            line = lines[j]
            body.append(line[indent:] if line[:indent].strip() == "" else line)
            j += 1
        else:
            raise ValueError(f"line {i + 1}: code block is never closed")
        blocks.append(Block(lang=lang, attrs=dict(ATTRIBUTE.findall(info)),
                            code="\n".join(body) + "\n", line=i + 2,
                            skip=previous == SKIP_MARK))
        previous = ""
        i = j + 1
    return blocks


@dataclass
class RaisedExample:
    """An example that raised, as the page shows it."""
    exception: str
    message: str
    line: int


@dataclass
class PageRun:
    path: Path
    ran: int = 0                          # blocks that ran
    raised: List[RaisedExample] = field(default_factory=list)


class ExampleFailure(AssertionError):
    pass


def _expected_exception(blocks: List[Block], k: int, text: str) -> Optional[Block]:
    """The titled text block that directly follows block k, if any."""
    if k + 1 >= len(blocks):
        return None
    following = blocks[k + 1]
    if following.lang != "text" or "title" not in following.attrs:
        return None
    # Only blank lines may stand between the two blocks.
    lines = text.split("\n")
    end_of_code = blocks[k].line - 1 + blocks[k].code.count("\n")
    between = lines[end_of_code + 1:following.line - 2]
    if any(line.strip() for line in between):
        return None
    return following


def run_page(path: Path, namespace: Optional[dict] = None) -> PageRun:
    """Runs every runnable block of the page; raises ExampleFailure on the
    first example that does not behave as the page shows."""
    text = path.read_text(encoding="utf-8")
    blocks = read_blocks(text)
    namespace = {"__name__": f"docs.{path.stem}"} if namespace is None else namespace
    run = PageRun(path)
    consumed = set()
    for k, block in enumerate(blocks):
        if k in consumed or block.skip or block.lang not in RUNNABLE:
            continue
        where = f"{path.name}:{block.line}"
        if block.lang == "pycon":
            _run_doctest(block, namespace, path, where)
        else:
            expected = _expected_exception(blocks, k, text)
            if expected is None:
                exec(_compile(block, path), namespace)
            else:
                consumed.add(k + 1)
                run.raised.append(_run_raising(block, expected, namespace, path, where))
        run.ran += 1
    return run


def _compile(block: Block, path: Path):
    # Leading blank lines make tracebacks show the line numbers of the page.
    return compile("\n" * (block.line - 1) + block.code, str(path), "exec")


def _run_raising(block: Block, expected: Block, namespace: dict, path: Path,
                 where: str) -> RaisedExample:
    name = expected.attrs["title"]
    message = expected.code[:-1]
    try:
        exec(_compile(block, path), namespace)
    except BaseException as error:  # noqa: B036 (KeyboardInterrupt included)
        if type(error).__name__ != name or str(error) != message:
            raise ExampleFailure(
                f"{where}: the page shows {name}: {message!r}\n"
                f"but the code raised {type(error).__name__}: {str(error)!r}") from error
        return RaisedExample(name, message, block.line)
    raise ExampleFailure(f"{where}: the page shows {name}: {message!r}, "
                         f"but the code raised nothing")


def _run_doctest(block: Block, namespace: dict, path: Path, where: str) -> None:
    parser = doctest.DocTestParser()
    test = parser.get_doctest(block.code, namespace, where, str(path), block.line - 1)
    test.globs = namespace  # get_doctest copies; the page shares one namespace
    if not test.examples:
        raise ExampleFailure(f"{where}: a pycon block without a single >>> example")
    report: List[str] = []
    runner = doctest.DocTestRunner(verbose=False, optionflags=doctest.REPORT_UDIFF)
    result = runner.run(test, out=report.append, clear_globs=False)
    if result.failed:
        raise ExampleFailure("".join(report))
