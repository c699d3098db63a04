#!/usr/bin/env python3
"""Generate src/syntax/unicode_tables.cpp from the Unicode property data.

Reads a UCD-style property file (lines ``XXXX ; Property`` or
``XXXX..YYYY ; Property``, ``#`` starts a comment) and writes the C++ lookup
tables behind lumo::unicode::is_alphabetic_or_number and
lumo::unicode::is_white_space:

- a 256-entry flag table for U+0000..U+00FF, and
- sorted, coalesced, non-overlapping range tables for U+0100 and up,
  searched with a binary search.

Usage:
    tools/gen_unicode_tables.py [INPUT] [OUTPUT] [--check]

INPUT defaults to data/unicode/props-16.0.0.txt and OUTPUT to
src/syntax/unicode_tables.cpp, both relative to the repository root.
With --check nothing is written; the exit status is 1 when OUTPUT differs
from what would be generated.
"""

from __future__ import annotations

import argparse
import re
import sys
from pathlib import Path
from typing import Dict, Iterable, List, Tuple

REPO_ROOT = Path(__file__).resolve().parent.parent
DEFAULT_INPUT = REPO_ROOT / "data" / "unicode" / "props-16.0.0.txt"
DEFAULT_OUTPUT = REPO_ROOT / "src" / "syntax" / "unicode_tables.cpp"

MAX_CODE_POINT = 0x10FFFF
LATIN1_END = 0x100  # code points below this are served by the flag table

ALNUM_PROPERTIES = ("Alphabetic", "Nd", "Nl", "No")
SPACE_PROPERTIES = ("White_Space",)

# The low end of both classes is fixed by the lexer's definition; the data
# must agree with it, otherwise the file is not what we think it is.
EXPECTED_ASCII_ALNUM = frozenset(
    list(range(0x30, 0x3A)) + list(range(0x41, 0x5B)) + list(range(0x61, 0x7B))
)
EXPECTED_ASCII_SPACE = frozenset(list(range(0x09, 0x0E)) + [0x20])

Range = Tuple[int, int]

_LINE_RE = re.compile(
    r"^(?P<lo>[0-9A-Fa-f]{4,6})(?:\.\.(?P<hi>[0-9A-Fa-f]{4,6}))?\s*;\s*(?P<prop>[A-Za-z0-9_]+)$"
)


class DataError(Exception):
    pass


def parse_properties(path: Path) -> Dict[str, List[Range]]:
    """Returns property name -> list of inclusive ranges, in file order."""
    props: Dict[str, List[Range]] = {}
    with path.open(encoding="utf-8") as f:
        for lineno, raw in enumerate(f, 1):
            line = raw.split("#", 1)[0].strip()
            if not line:
                continue
            m = _LINE_RE.match(line)
            if m is None:
                raise DataError(f"{path}:{lineno}: malformed line: {raw.rstrip()!r}")
            lo = int(m.group("lo"), 16)
            hi = int(m.group("hi"), 16) if m.group("hi") else lo
            if lo > hi:
                raise DataError(f"{path}:{lineno}: range start after its end")
            if hi > MAX_CODE_POINT:
                raise DataError(f"{path}:{lineno}: code point above U+10FFFF")
            props.setdefault(m.group("prop"), []).append((lo, hi))
    return props


def coalesce(ranges: Iterable[Range]) -> List[Range]:
    """Sorts ranges and merges overlapping and adjacent ones."""
    out: List[Range] = []
    for lo, hi in sorted(ranges):
        if out and lo <= out[-1][1] + 1:
            if hi > out[-1][1]:
                out[-1] = (out[-1][0], hi)
        else:
            out.append((lo, hi))
    return out


def collect(props: Dict[str, List[Range]], names: Iterable[str]) -> List[Range]:
    ranges: List[Range] = []
    for name in names:
        if name not in props:
            raise DataError(f"property {name} missing from the data file")
        ranges.extend(props[name])
    return coalesce(ranges)


def contains(ranges: List[Range], cp: int) -> bool:
    return any(lo <= cp <= hi for lo, hi in ranges)


def split_at_latin1(ranges: List[Range]) -> List[Range]:
    """The part of the ranges at or above U+0100."""
    out: List[Range] = []
    for lo, hi in ranges:
        if hi < LATIN1_END:
            continue
        out.append((max(lo, LATIN1_END), hi))
    return out


def code_points(ranges: List[Range]) -> int:
    return sum(hi - lo + 1 for lo, hi in ranges)


def format_ranges(ranges: List[Range], per_line: int = 4) -> str:
    items = [f"{{0x{lo:04X}, 0x{hi:04X}}}," for lo, hi in ranges]
    lines = []
    for i in range(0, len(items), per_line):
        lines.append("    " + " ".join(items[i:i + per_line]))
    return "\n".join(lines)


def format_flags(flags: List[int], per_line: int = 16) -> str:
    lines = []
    for i in range(0, len(flags), per_line):
        row = ", ".join(str(v) for v in flags[i:i + per_line])
        lines.append(f"    {row},  // U+{i:04X}")
    return "\n".join(lines)


def display_path(path: Path) -> str:
    try:
        return path.resolve().relative_to(REPO_ROOT).as_posix()
    except ValueError:
        return path.name


def generate(input_path: Path) -> str:
    props = parse_properties(input_path)
    alnum = collect(props, ALNUM_PROPERTIES)
    space = collect(props, SPACE_PROPERTIES)

    ascii_alnum = {cp for cp in range(0x80) if contains(alnum, cp)}
    ascii_space = {cp for cp in range(0x80) if contains(space, cp)}
    if ascii_alnum != EXPECTED_ASCII_ALNUM:
        raise DataError("ASCII letters and digits do not match the data file")
    if ascii_space != EXPECTED_ASCII_SPACE:
        raise DataError("ASCII white space does not match the data file")

    flags = []
    for cp in range(LATIN1_END):
        bits = 0
        if contains(alnum, cp):
            bits |= 1
        if contains(space, cp):
            bits |= 2
        flags.append(bits)

    alnum_hi = split_at_latin1(alnum)
    space_hi = split_at_latin1(space)
    if not alnum_hi or not space_hi:
        raise DataError("expected code points above U+00FF in both classes")

    source = display_path(input_path)
    return f"""\
// Generated by tools/gen_unicode_tables.py from {source}.
// Do not edit by hand: change the data or the script and regenerate.
//
// is_alphabetic_or_number: Alphabetic, Nd, Nl, No ({code_points(alnum)} code points).
// is_white_space: White_Space ({code_points(space)} code points).

#include "syntax/unicode.h"

#include <cstddef>
#include <cstdint>

namespace lumo::unicode {{
namespace {{

struct Range {{
    char32_t lo;
    char32_t hi;
}};

constexpr std::uint8_t kAlnumFlag = 1;
constexpr std::uint8_t kSpaceFlag = 2;

// Flags for U+0000..U+00FF: bit 0 alphabetic or number, bit 1 white space.
constexpr std::uint8_t kLatin1Flags[256] = {{
{format_flags(flags)}
}};

// Alphabetic or number, U+0100 and up: {len(alnum_hi)} ranges.
constexpr Range kAlnumRanges[] = {{
{format_ranges(alnum_hi)}
}};

// White space, U+0100 and up: {len(space_hi)} ranges.
constexpr Range kSpaceRanges[] = {{
{format_ranges(space_hi)}
}};

template <std::size_t N>
constexpr bool well_formed(const Range (&ranges)[N]) {{
    if (ranges[0].lo < 0x100) return false;
    for (std::size_t i = 0; i < N; ++i) {{
        if (ranges[i].lo > ranges[i].hi || ranges[i].hi > 0x10FFFF) return false;
        // Sorted, disjoint and not adjacent (adjacent ranges are merged).
        if (i > 0 && ranges[i].lo <= ranges[i - 1].hi + 1) return false;
    }}
    return true;
}}

static_assert(well_formed(kAlnumRanges));
static_assert(well_formed(kSpaceRanges));

template <std::size_t N>
inline bool in_ranges(const Range (&ranges)[N], char32_t c) {{
    if (c < ranges[0].lo || c > ranges[N - 1].hi) return false;
    // Find the last range whose start is <= c.
    std::size_t lo = 0;
    std::size_t len = N;
    while (len > 1) {{
        const std::size_t half = len / 2;
        if (ranges[lo + half].lo <= c) lo += half;
        len -= half;
    }}
    return c <= ranges[lo].hi;
}}

}}  // namespace

bool is_alphabetic_or_number(char32_t c) {{
    if (c < 0x100) return (kLatin1Flags[c] & kAlnumFlag) != 0;
    return in_ranges(kAlnumRanges, c);
}}

bool is_white_space(char32_t c) {{
    if (c < 0x100) return (kLatin1Flags[c] & kSpaceFlag) != 0;
    return in_ranges(kSpaceRanges, c);
}}

}}  // namespace lumo::unicode
"""


def main(argv: List[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("input", nargs="?", type=Path, default=DEFAULT_INPUT,
                        help="property data file (default: %(default)s)")
    parser.add_argument("output", nargs="?", type=Path, default=DEFAULT_OUTPUT,
                        help="C++ file to write (default: %(default)s)")
    parser.add_argument("--check", action="store_true",
                        help="only report whether OUTPUT is up to date")
    args = parser.parse_args(argv)

    try:
        text = generate(args.input)
    except (OSError, DataError) as e:
        print(f"gen_unicode_tables: {e}", file=sys.stderr)
        return 2

    if args.check:
        try:
            current = args.output.read_text(encoding="utf-8")
        except OSError:
            current = None
        if current != text:
            print(f"gen_unicode_tables: {args.output} is out of date", file=sys.stderr)
            return 1
        return 0

    args.output.parent.mkdir(parents=True, exist_ok=True)
    with args.output.open("w", encoding="utf-8", newline="\n") as f:
        f.write(text)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
