"""Compares two builds of the module on one benchmark section, in one run.

Each build is an interpreter with the module installed (a virtual
environment's python). The section's script runs in a fresh process per
pass, the two builds taking turns, so that a change in the machine's load
falls on both alike. Prints, per row of the section's table, the median
over passes of each build's best time and the ratio of the two.

    python bench/ab.py /tmp/venv-before/bin/python /tmp/venv-after/bin/python
    python bench/ab.py A B --section f --passes 7

It prints figures and asserts nothing. Rows are the lines of the section's
table: a name, then a time in us and more numbers.
"""
import argparse
import os
import re
import statistics
import subprocess
import sys
from typing import Dict, List

HERE = os.path.dirname(os.path.abspath(__file__))
REFERENCE = "json.loads"
ROW = re.compile(r"^\s{2,}(\S.*?\S)\s{2,}([0-9]+\.[0-9]+)\s+[0-9]+\.[0-9]+\s+[0-9,]+\s*$")


def one_pass(python: str, section: str) -> Dict[str, float]:
    # From outside the source tree, so that the installed module is imported.
    out = subprocess.run([python, os.path.join(HERE, "bench.py"), "--only", section],
                         cwd="/" if os.name != "nt" else None, capture_output=True,
                         text=True, check=True).stdout
    rows: Dict[str, float] = {}
    for line in out.splitlines():
        m = ROW.match(line)
        if m:
            rows[m.group(1)] = float(m.group(2))
    if not rows:
        raise SystemExit(f"no table rows in the output of {python}:\n{out}")
    return rows


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("before", help="python of the first build")
    ap.add_argument("after", help="python of the second build")
    ap.add_argument("--section", default="f", help="bench.py section (default f)")
    ap.add_argument("--passes", type=int, default=5, help="passes of each build (default 5)")
    args = ap.parse_args()
    runs: Dict[str, List[Dict[str, float]]] = {"before": [], "after": []}
    for k in range(args.passes):
        order = ("before", "after") if k % 2 == 0 else ("after", "before")
        for which in order:
            runs[which].append(one_pass(getattr(args, which), args.section))
        print(f"pass {k + 1} of {args.passes} done", file=sys.stderr, flush=True)
    names = [n for n in runs["before"][0] if all(n in r for rs in runs.values() for r in rs)]
    # Each row also over the same pass's reference row (json.loads where the
    # section has it), which takes out most of a load that changed between
    # passes.
    ref = REFERENCE if REFERENCE in names else None
    print(f"section {args.section}, {args.passes} passes each, builds taking turns; "
          "median over passes of each pass's best, in us")
    head = f"  {'row':<42} {'before':>9} {'after':>9} {'after/before':>13}"
    if ref:
        head += f" {'same, over ' + ref:>24}"
    print(head)
    for name in names:
        b = statistics.median(r[name] for r in runs["before"])
        a = statistics.median(r[name] for r in runs["after"])
        line = f"  {name:<42} {b:9.2f} {a:9.2f} {a / b:13.3f}"
        if ref:
            bn = statistics.median(r[name] / r[ref] for r in runs["before"])
            an = statistics.median(r[name] / r[ref] for r in runs["after"])
            line += f" {an / bn:24.3f}"
        print(line)
    return 0


if __name__ == "__main__":
    sys.exit(main())
