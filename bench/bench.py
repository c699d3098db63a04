#!/usr/bin/env python3
"""Benchmarks of the installed lumo_query module.

    python bench/bench.py [--quick] [--only a,b,...] [--timeout SECONDS]

Prints figures and asserts nothing. Sections:

  a  parse_tag_graph on a ~10 MB graph next to json.loads and orjson.loads
     of the same subjects as JSON
  b  build time per MB for ~1, 10 and 100 MB graph texts, flat and deep
  c  is_match over many distinct small graphs (index built in the call)
  d  index build time and memory for a 1,000,000-subject graph
  e  the adversarial query: twenty "*" subjects and one unsatisfiable one

--quick runs every section with smaller sizes. Timed calls run with the
garbage collector paused, as timeit does. A section whose module functions
are missing prints "not available".
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import platform
import resource
import statistics
import subprocess
import sys
import time
from typing import Callable, Optional, Sequence, Tuple

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import textgen  # noqa: E402

try:
    import lumo_query
except ImportError as exc:  # the sections say "not available"
    lumo_query = None
    _IMPORT_ERROR = str(exc)
else:
    _IMPORT_ERROR = ""

try:
    import orjson
except ImportError:
    orjson = None

MB = 1e6


# --- helpers ---------------------------------------------------------------

def have(*names: str) -> bool:
    """True when the module offers every dotted name (e.g. "Query.is_match")."""
    if lumo_query is None:
        return False
    for name in names:
        obj = lumo_query
        for part in name.split("."):
            obj = getattr(obj, part, None)
            if obj is None:
                return False
    return True


def not_available(*names: str) -> None:
    missing = [n for n in names if not have(n)]
    why = _IMPORT_ERROR if lumo_query is None else "missing " + ", ".join(missing)
    print(f"  not available ({why})")


def timed(fn: Callable[[], object]) -> Tuple[float, object]:
    """Seconds taken by one call of fn, with the collector paused, and its result."""
    was = gc.isenabled()
    gc.collect()
    gc.disable()
    try:
        t0 = time.perf_counter()
        out = fn()
        t = time.perf_counter() - t0
    finally:
        if was:
            gc.enable()
    return t, out


def best_of(fn: Callable[[], object], runs: int) -> Tuple[float, float]:
    """(best, median) seconds over `runs` calls; results are dropped between runs."""
    times = []
    for _ in range(runs):
        t, out = timed(fn)
        del out
        times.append(t)
    return min(times), statistics.median(times)


def rss_now_kb() -> int:
    with open("/proc/self/statm") as f:
        pages = int(f.read().split()[1])
    return pages * os.sysconf("SC_PAGE_SIZE") // 1024


def maxrss_kb() -> int:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss  # KiB on Linux


def peak_rss_kb() -> int:
    """This process's own peak RSS (VmHWM). Unlike ru_maxrss it does not take
    over the parent's peak through fork and exec, and it can be reset."""
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return maxrss_kb()


def reset_peak_rss() -> bool:
    """Lets the peak start again from the current RSS (Linux 4.0+)."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def heading(key: str, title: str) -> None:
    print(f"\n[{key}] {title}")


def fmt_s(seconds: float) -> str:
    return f"{seconds * 1e3:9.1f} ms" if seconds < 10 else f"{seconds:9.2f} s "


# --- sections ----------------------------------------------------------------

def section_a(quick: bool, **_: object) -> None:
    heading("a", "parse_tag_graph against json.loads / orjson.loads, same subjects")
    if not have("parse_tag_graph"):
        return not_available("parse_tag_graph")
    mb = 1.0 if quick else 10.0
    runs = 3 if quick else 5
    n = textgen.subjects_for_size(mb, seed=1)
    text, js = textgen.graph_pair(n, seed=1)
    text_mb = len(text.encode()) / MB
    js_mb = len(js.encode()) / MB
    print(f"  {n} subjects (mixed nesting); graph text {text_mb:.2f} MB, JSON {js_mb:.2f} MB;"
          f" best of {runs}")

    ours, ours_med = best_of(lambda: lumo_query.parse_tag_graph(text), runs)
    rows = [("parse_tag_graph", text_mb, ours, ours_med)]
    j, j_med = best_of(lambda: json.loads(js), runs)
    rows.append(("json.loads", js_mb, j, j_med))
    o = None
    if orjson is not None:
        o, o_med = best_of(lambda: orjson.loads(js), runs)
        rows.append(("orjson.loads", js_mb, o, o_med))
    for name, size, best, med in rows:
        print(f"  {name:16s} best {fmt_s(best)}  {size / best:8.1f} MB/s"
              f"   (median {size / med:8.1f} MB/s)")
    print(f"  time json.loads / time parse_tag_graph   = {j / ours:6.2f}")
    if o is None:
        print("  orjson: skipped (not importable; pip install orjson)")
    else:
        print(f"  time orjson.loads / time parse_tag_graph = {o / ours:6.2f}")


def section_b(quick: bool, **_: object) -> None:
    heading("b", "build time per MB (parse_tag_graph), flat and deep nesting")
    if not have("parse_tag_graph"):
        return not_available("parse_tag_graph")
    sizes = (0.5, 2.0, 8.0) if quick else (1.0, 10.0, 100.0)
    print(f"  {'nesting':7s} {'MB':>8s} {'subjects':>9s} {'time':>12s} {'s/MB':>8s} {'MB/s':>8s}")
    for nesting in ("flat", "deep"):
        for mb in sizes:
            n = textgen.subjects_for_size(mb, seed=2, nesting=nesting)
            text = textgen.graph_text(n, seed=2, nesting=nesting)
            size = len(text.encode()) / MB
            runs = 2 if size > 50 else 3
            best, _ = best_of(lambda: lumo_query.parse_tag_graph(text), runs)
            print(f"  {nesting:7s} {size:8.2f} {n:9d} {fmt_s(best)} {best / size:8.4f}"
                  f" {size / best:8.1f}")
            text = ""  # let the next size start from a clean heap
            gc.collect()


def section_c(quick: bool, **_: object) -> None:
    heading("c", "is_match over distinct small graphs (10 subjects; index built in the call)")
    if not have("parse_tag_graph", "parse_query", "Query.is_match"):
        return not_available("parse_tag_graph", "parse_query", "Query.is_match")
    count = 10_000 if quick else 100_000
    texts = [textgen.small_graph_text(seed) for seed in range(count)]
    t, graphs = timed(lambda: [lumo_query.parse_tag_graph(s) for s in texts])
    print(f"  {count} graphs parsed in {fmt_s(t).strip()} ({count / t:,.0f} graphs/s)")
    query = lumo_query.parse_query(textgen.match_query_text())
    print("  query: " + " ".join(textgen.match_query_text().split()))

    t_first, hits = timed(lambda: sum(1 for g in graphs if query.is_match(g)))
    print(f"  first call (builds index): {count / t_first:12,.0f} graphs/s"
          f"  ({t_first / count * 1e6:.2f} us/graph, {hits} matched)")
    t_again, hits2 = timed(lambda: sum(1 for g in graphs if query.is_match(g)))
    print(f"  second call (indexed):     {count / t_again:12,.0f} graphs/s"
          f"  ({t_again / count * 1e6:.2f} us/graph, {hits2} matched)")


def _index_child(n: int, via: str) -> None:
    """Runs in a fresh interpreter, so that memory freed by earlier work
    cannot hide the index's growth; prints one JSON line."""
    text = textgen.graph_text(n, seed=4)
    out = {"size": len(text.encode())}
    gc.collect()
    out["rss_pre"] = rss_now_kb()
    out["parse"], graph = timed(lambda: lumo_query.parse_tag_graph(text))
    gc.collect()
    out["reset"] = reset_peak_rss()
    out["rss0"], out["peak0"], out["maxrss0"] = rss_now_kb(), peak_rss_kb(), maxrss_kb()
    if via == "collect_tags":
        out["first"], tags = timed(graph.collect_tags)
        out["rss1"], out["peak1"], out["maxrss1"] = rss_now_kb(), peak_rss_kb(), maxrss_kb()
        out["second"], _ = timed(graph.collect_tags)
        out["strings"] = len(tags)
        out["list_kb"] = (sys.getsizeof(tags) + sum(sys.getsizeof(s) for s in tags)) / 1024
    else:
        empty = lumo_query.parse_query("")
        out["first"], _ = timed(lambda: empty.is_match(graph))
        out["rss1"], out["peak1"], out["maxrss1"] = rss_now_kb(), peak_rss_kb(), maxrss_kb()
        out["list_kb"] = 0
    print(json.dumps(out))


def _run_index_child(n: int, via: str) -> Optional[dict]:
    done = subprocess.run([sys.executable, os.path.abspath(__file__), "--index-child",
                           f"{n}:{via}"], capture_output=True, text=True)
    if done.returncode != 0:
        print("  failed: " + " ".join(done.stderr.strip().splitlines()[-1:]))
        return None
    return json.loads(done.stdout.strip().splitlines()[-1])


def section_d(quick: bool, **_: object) -> None:
    heading("d", "index build: time and memory of the first collect_tags()")
    if not have("parse_tag_graph", "TagGraph.collect_tags"):
        return not_available("parse_tag_graph", "TagGraph.collect_tags")
    n = 100_000 if quick else 1_000_000
    r = _run_index_child(n, "collect_tags")
    if r is None:
        return
    size = r["size"]
    print(f"  {n} subjects, text {size / MB:.1f} MB, parse_tag_graph {fmt_s(r['parse']).strip()}"
          " (fresh interpreter)")
    print(f"  first collect_tags (index build + list): {fmt_s(r['first']).strip()};"
          f" second (list only): {fmt_s(r['second']).strip()}; {r['strings']} strings")
    build = r["first"] - r["second"]
    print(f"  index build ~ {fmt_s(build).strip()} = {build / n * 1e9:.0f} ns/subject")
    print(f"  ru_maxrss before {r['maxrss0'] / 1024:8.1f} MiB, after {r['maxrss1'] / 1024:8.1f} MiB"
          " (the process's peak so far, the parse included)")
    note = "reset just before the call" if r["reset"] else "not resettable here: includes the parse"
    print(f"  peak RSS (VmHWM, {note}) before {r['peak0'] / 1024:8.1f} MiB,"
          f" after {r['peak1'] / 1024:8.1f} MiB")
    print(f"  current RSS before {r['rss0'] / 1024:8.1f} MiB, after {r['rss1'] / 1024:8.1f} MiB;"
          f" the returned list itself ~{r['list_kb'] / 1024:.1f} MiB")
    grown = (r["peak1"] - r["peak0"] - r["list_kb"]) * 1024
    kept = (r["rss1"] - r["rss0"] - r["list_kb"]) * 1024
    print(f"  index memory, list excluded: peak +{grown / MB:.1f} MB"
          f" ({grown / n:.0f} B/subject, {grown / size:.2f}x the text);"
          f" kept +{kept / MB:.1f} MB ({kept / n:.0f} B/subject, {kept / size:.2f}x the text)")
    whole = (r["rss1"] - r["rss_pre"] - r["list_kb"]) * 1024
    print(f"  indexed graph in all (model + index, RSS over the process before the parse):"
          f" {whole / MB:.1f} MB ({whole / n:.0f} B/subject, {whole / size:.2f}x the text)")

    if have("parse_query", "Query.is_match"):
        r = _run_index_child(n, "is_match")
        if r is None:
            return
        grown = (r["peak1"] - r["peak0"]) * 1024
        kept = (r["rss1"] - r["rss0"]) * 1024
        print(f"  cross-check, index built by is_match(empty query), no list:"
              f" {fmt_s(r['first']).strip()} = {r['first'] / n * 1e9:.0f} ns/subject;"
              f" peak +{grown / MB:.1f} MB ({grown / n:.0f} B/subject),"
              f" kept +{kept / MB:.1f} MB ({kept / n:.0f} B/subject)")


_ADVERSARIAL_CHILD = r"""
import sys, time
import lumo_query, textgen
q = lumo_query.parse_query(textgen.adversarial_query_text(20, sys.argv[1]))
g = lumo_query.parse_tag_graph(textgen.graph_text(50, seed=5))
lumo_query.parse_query("").is_match(g)  # index built before the clock starts
t0 = time.perf_counter()
r = q.is_match(g)
print(f"{(time.perf_counter() - t0) * 1e3:.3f} {r}")
"""


def section_e(quick: bool, timeout: float, **_: object) -> None:
    heading("e", "adversarial query: twenty '*' subjects, then one nothing satisfies;"
                 " 50-subject graph")
    if not have("parse_tag_graph", "parse_query", "Query.is_match"):
        return not_available("parse_tag_graph", "parse_query", "Query.is_match")
    limit = min(timeout, 10.0) if quick else timeout
    env = dict(os.environ)
    env["PYTHONPATH"] = HERE + os.pathsep + env.get("PYTHONPATH", "")
    for last in ("* : no such tag", "ghost"):
        label = f"last subject «{last}»"
        try:
            done = subprocess.run([sys.executable, "-c", _ADVERSARIAL_CHILD, last],
                                  capture_output=True, text=True, timeout=limit, env=env)
        except subprocess.TimeoutExpired:
            print(f"  {label:32s} did not finish within {limit:g} s (stopped)")
            continue
        if done.returncode != 0:
            print(f"  {label:32s} failed: {done.stderr.strip().splitlines()[-1:]}")
            continue
        ms, result = done.stdout.split()
        print(f"  {label:32s} {float(ms):10.3f} ms, is_match -> {result}")


SECTIONS = {"a": section_a, "b": section_b, "c": section_c, "d": section_d, "e": section_e}


def machine() -> str:
    cpu = platform.processor() or "?"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return f"{os.cpu_count()} cores, {cpu}; Python {platform.python_version()}"


def main(argv: Optional[Sequence[str]] = None) -> int:
    ap = argparse.ArgumentParser(description="lumo_query benchmarks (prints figures)")
    ap.add_argument("--quick", action="store_true", help="smaller sizes")
    ap.add_argument("--only", default="abcde",
                    help="sections to run, e.g. 'a,c' (default: all)")
    ap.add_argument("--timeout", type=float, default=60.0,
                    help="seconds before section e gives up on a query (default 60)")
    ap.add_argument("--index-child", help=argparse.SUPPRESS)
    a = ap.parse_args(argv)
    if a.index_child:
        n, via = a.index_child.split(":")
        _index_child(int(n), via)
        return 0
    print("machine: " + machine())
    where = getattr(lumo_query, "__file__", None) if lumo_query else None
    print(f"module: {where or 'lumo_query not importable: ' + _IMPORT_ERROR}")
    print(f"orjson: {getattr(orjson, '__version__', 'not installed')}")
    for key in a.only.replace(",", ""):
        if key not in SECTIONS:
            ap.error(f"unknown section {key!r}")
        SECTIONS[key](quick=a.quick, timeout=a.timeout)
    return 0


if __name__ == "__main__":
    sys.exit(main())
