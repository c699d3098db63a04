"""Writes the module-definition (.def) file of python3.dll for an import library.

A Windows extension built against the stable ABI links against python3.lib,
the import library of python3.dll, which forwards every function and datum of
the stable ABI to the interpreter's own DLL. This program makes the export
list from the CPython headers themselves: it preprocesses Python.h (and
structmember.h) for Windows with Py_LIMITED_API set to the oldest version the
module supports, so that only the limited API is declared, and keeps every
declaration marked for import from the DLL (PyAPI_FUNC and PyAPI_DATA expand
to __declspec(dllimport) there). Data are marked DATA, so that the import
library gives them only as __imp_ pointers, as the headers expect.

    python3_def.py --include DIR --cc COMPILER [--limited-api 0x03090000] > python3.def

DIR holds the CPython headers with a Windows pyconfig.h; COMPILER is a C
compiler for the Windows target (it only preprocesses).
"""
from __future__ import annotations

import argparse
import re
import subprocess
import sys
from typing import Iterator, List, Tuple

TOKEN = re.compile(r"[A-Za-z_]\w*|\d[\w.]*|\"(?:\\.|[^\"\\])*\"|'(?:\\.|[^'\\])*'|\S")
IMPORT_MARKS = ("dllimport",)


def statements(text: str) -> Iterator[List[str]]:
    """The top-level statements of preprocessed C, as token lists."""
    current: List[str] = []
    depth = 0
    for tok in TOKEN.findall(text):
        if tok == "{":
            depth += 1
        elif tok == "}":
            depth -= 1
        if tok == ";" and depth == 0:
            yield current
            current = []
        elif depth == 0 and tok == "}":
            current = []  # the end of a definition's body (struct, inline function)
        elif depth == 0:
            current.append(tok)


def strip_attributes(tokens: List[str]) -> Tuple[List[str], bool]:
    """Drops __declspec(...) and __attribute__((...)) groups from a
    declaration; says whether one of them marked it dllimport."""
    out: List[str] = []
    imported = False
    i = 0
    while i < len(tokens):
        if tokens[i] in ("__declspec", "__attribute__") and i + 1 < len(tokens) and tokens[i + 1] == "(":
            depth = 0
            j = i + 1
            while j < len(tokens):
                if tokens[j] == "(":
                    depth += 1
                elif tokens[j] == ")":
                    depth -= 1
                    if depth == 0:
                        break
                j += 1
            if any(t in IMPORT_MARKS for t in tokens[i:j]):
                imported = True
            i = j + 1
            continue
        out.append(tokens[i])
        i += 1
    return out, imported


def is_identifier(tok: str) -> bool:
    return re.fullmatch(r"[A-Za-z_]\w*", tok) is not None


def declared_name(tokens: List[str]) -> Tuple[str, bool]:
    """The name a declaration declares and whether it is data (extern)."""
    data = tokens[0] == "extern"
    if data:
        # `extern T name;`, `extern T name[];` or `extern T (*name)(...);`
        if "(" in tokens and tokens[tokens.index("(") + 1] == "*":
            return tokens[tokens.index("(") + 2], True
        names = [t for t in tokens if is_identifier(t)]
        if "[" in tokens:
            names = [t for t in tokens[: tokens.index("[")] if is_identifier(t)]
        return names[-1], True
    # `T name(params)`: the identifier before the first parenthesis.
    for k, tok in enumerate(tokens):
        if tok == "(" and k > 0 and is_identifier(tokens[k - 1]):
            return tokens[k - 1], False
    raise ValueError("no function name in: " + " ".join(tokens))


def exports(preprocessed: str) -> List[Tuple[str, bool]]:
    found = {}
    for stmt in statements(preprocessed):
        tokens, imported = strip_attributes(stmt)
        if not imported or not tokens:
            continue
        if tokens[0] == "typedef":
            continue
        name, data = declared_name(tokens)
        found[name] = data
    return sorted(found.items())


def main(argv: List[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--include", required=True, help="CPython headers with a Windows pyconfig.h")
    parser.add_argument("--cc", required=True, help="C compiler for the Windows target")
    parser.add_argument("--limited-api", default="0x03090000")
    args = parser.parse_args(argv)
    source = "#include <Python.h>\n#include <structmember.h>\n"
    result = subprocess.run(
        [args.cc, "-E", "-P", "-x", "c", f"-DPy_LIMITED_API={args.limited_api}",
         "-I", args.include, "-"],
        input=source, capture_output=True, text=True, check=False)
    if result.returncode != 0:
        sys.stderr.write(result.stderr)
        return 1
    names = exports(result.stdout)
    # Every stable-ABI interpreter has these; their absence means the
    # headers were not read as expected.
    for required in ("PyLong_FromLong", "PyExc_TypeError", "_Py_NoneStruct", "PyModule_Create2"):
        if required not in dict(names):
            sys.stderr.write(f"python3_def.py: {required} not found among the declarations\n")
            return 1
    lines = ["LIBRARY python3.dll", "EXPORTS"]
    lines += [f"    {name} DATA" if data else f"    {name}" for name, data in names]
    sys.stdout.write("\n".join(lines) + "\n")
    sys.stderr.write(f"python3_def.py: {sum(not d for _, d in names)} functions, "
                     f"{sum(d for _, d in names)} data\n")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
