"""Extracts fuzzing seeds from the test suites.

Every string literal of tests/cpp/*.cpp and tests/python/*.py (adjacent C++
literals joined, escapes decoded; Python sums and repetitions of literals
evaluated) becomes one seed file, named by the SHA-1 of its content as
libFuzzer names its own. A few generated texts are added for what the tests
build in loops: deep nesting, long relation chains, large flat graphs.

Most literals are not texts of the language; that is fine, since the
fuzzer's merge keeps only the seeds that reach new code:

    python3 tests/fuzz/make_corpus.py /tmp/seeds
    build/fuzz/lumo_fuzz -merge=1 tests/fuzz/corpus /tmp/seeds
"""

from __future__ import annotations

import argparse
import ast
import hashlib
import pathlib
import re

ROOT = pathlib.Path(__file__).resolve().parents[2]
MAX_LEN = 4096  # the fuzz target's cap

SIMPLE_ESCAPES = {
    "n": "\n", "t": "\t", "r": "\r", "0": "\0", "\\": "\\", '"': '"', "'": "'",
    "a": "\a", "b": "\b", "f": "\f", "v": "\v", "?": "?",
}


def decode_cpp(body: str) -> bytes:
    """Decodes the escapes of a narrow C++ string literal into its bytes."""
    out = bytearray()
    i = 0
    while i < len(body):
        c = body[i]
        if c != "\\":
            out += c.encode("utf-8")
            i += 1
            continue
        e = body[i + 1]
        if e == "x":
            m = re.match(r"[0-9a-fA-F]+", body[i + 2:])
            out.append(int(m.group(0), 16) & 0xFF)
            i += 2 + len(m.group(0))
        elif e in "uU":
            n = 4 if e == "u" else 8
            out += chr(int(body[i + 2:i + 2 + n], 16)).encode("utf-8", "surrogatepass")
            i += 2 + n
        elif e in "01234567":
            m = re.match(r"[0-7]{1,3}", body[i + 1:])
            out.append(int(m.group(0), 8) & 0xFF)
            i += 1 + len(m.group(0))
        else:
            out += SIMPLE_ESCAPES.get(e, e).encode("utf-8")
            i += 2
    return bytes(out)


CPP_TOKEN = re.compile(
    r'//[^\n]*|/\*.*?\*/'                                     # comments
    r'|(?:u8)?R"(?P<delim>[^(\s]*)\((?P<raw>.*?)\)(?P=delim)"'  # raw strings
    r'|(?:u8)?"(?P<str>(?:[^"\\\n]|\\.)*)"'                    # strings
    r"|'(?:[^'\\\n]|\\.)*'"                                   # characters
    r'|(?P<other>\S)',
    re.S,
)


def cpp_literals(source: str) -> list[bytes]:
    """String literals of a C++ file, adjacent ones joined."""
    out: list[bytes] = []
    current: bytes | None = None
    for m in CPP_TOKEN.finditer(source):
        if m.group("raw") is not None:
            piece = m.group("raw").encode("utf-8")
        elif m.group("str") is not None:
            piece = decode_cpp(m.group("str"))
        else:
            if m.group(0).startswith(("//", "/*")):
                continue  # comments do not separate adjacent literals
            if current is not None:
                out.append(current)
                current = None
            continue
        current = piece if current is None else current + piece
    if current is not None:
        out.append(current)
    return out


def py_value(node: ast.AST) -> object:
    """The value of a constant expression built with + and *, else None."""
    if isinstance(node, ast.Constant):
        return node.value
    if isinstance(node, ast.BinOp) and isinstance(node.op, (ast.Add, ast.Mult)):
        left, right = py_value(node.left), py_value(node.right)
        try:
            if isinstance(node.op, ast.Add) and isinstance(left, str) and isinstance(right, str):
                return left + right
            if isinstance(node.op, ast.Mult) and {type(left), type(right)} == {str, int}:
                result = left * right  # type: ignore[operator]
                return result if len(result) <= MAX_LEN else None
        except TypeError:
            return None
    return None


def py_literals(source: str) -> list[bytes]:
    out: list[bytes] = []
    for node in ast.walk(ast.parse(source)):
        value = py_value(node)
        if isinstance(value, str):
            out.append(value.encode("utf-8", "surrogatepass"))
    return out


def generated() -> list[bytes]:
    texts = [
        "{ a " * 400 + "}" * 400,
        "(" * 1500 + "a" + ")" * 1500,
        "-" * 2000 + "a",
        "{ s {\n" + " * > @z\n" * 12 + " z\n} }",
        "{ s {\n z\n" + "".join(f" x{i}\n r{i} > @x{i}\n" for i in range(40)) + "} }",
        "{ p {\n" + "".join(f" r{i} > @q(@c)\n" for i in range(60)) + "}\n q\n c }",
        "{" + "".join(f"\n s{i}(i{i}): t{i % 7}, \"u {i}\"" for i in range(150)) + " }",
        "[k:v] " + ", ".join(f"t{i} / -u{i}" for i in range(200)),
    ]
    return [t.encode("utf-8") for t in texts]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("out", type=pathlib.Path, help="directory for the seed files")
    args = parser.parse_args()
    seeds: set[bytes] = set(generated())
    for path in sorted((ROOT / "tests" / "cpp").glob("*.cpp")):
        seeds.update(cpp_literals(path.read_text(encoding="utf-8")))
    for path in sorted((ROOT / "tests" / "python").glob("*.py")):
        seeds.update(py_literals(path.read_text(encoding="utf-8")))
    args.out.mkdir(parents=True, exist_ok=True)
    kept = 0
    for seed in sorted(seeds):
        if len(seed) <= MAX_LEN:
            (args.out / hashlib.sha1(seed).hexdigest()).write_bytes(seed)
            kept += 1
    print(f"{kept} seeds in {args.out}")


if __name__ == "__main__":
    main()
