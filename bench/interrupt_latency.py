"""How soon long calls end after SIGINT. Prints figures; asserts nothing.

    python bench/interrupt_latency.py [--runs N] [--delay SECONDS] [--size N] [--only CASE,...]

Each run starts a child process that builds its objects, installs a SIGINT
handler that raises KeyboardInterrupt, arms the module's internal test switch
`_signal_at_first_poll(0, fd)` (the first poll of the next long call writes
one byte to the child's stdout) and starts the long call. The parent reads
that byte, so it knows the call is under way, waits --delay seconds more
(default 0.05), sends SIGINT and reads the child's report. The figure is the
time from the signal to the KeyboardInterrupt in the child, both taken with
time.monotonic() (one clock for the whole machine on Linux); it includes the
time the child needs to be scheduled, so on a busy machine it measures the
machine as much as the module. A run whose call ended before the signal
(possible for the calls that are not the search, with a long --delay) is
counted apart.

Cases (the same calls as tests/python/test_interrupt.py, --size subjects):
  matching     the pigeonhole search, K(12) into 11 colours (never ends by itself)
  index build  collect_tags() of a chain --size deep, indexed on first use
  parse        parse_tag_graph() of --size subjects side by side
  sql          to_sql() of a query of --size subjects
"""
import argparse
import json
import signal
import statistics
import subprocess
import sys
import textwrap
import time

PRELUDE = textwrap.dedent(
    """
    import json, signal, sys, time
    import lumo_query as lq

    def colour_graph(k):
        lines = ["{"]
        for i in range(k):
            lines.append(f" c{i}: colour {{")
            lines += [f"  r > @c{j}" for j in range(k) if j != i]
            lines.append(" }")
        return "\\n".join(lines + ["}"])

    def clique_query(n):
        lines = ["{"]
        for i in range(n):
            lines.append(f" * @v{i}: colour {{")
            lines += [f"  * > @v{j}" for j in range(i + 1, n)]
            lines.append(" }")
        return "\\n".join(lines + ["}"])

    def deep_graph(n):
        return "{" + "".join(f"s{i}{{" for i in range(n)) + "}" * n + "}"

    def flat_text(n, graph=False):
        if graph:
            return "{\\n" + "".join(f" s{i}: t{i % 1000}, w{i}\\n" for i in range(n)) + "}"
        return "{\\n" + "".join(f" s{i}: t{i % 1000} / w{i}, -u{i}\\n" for i in range(n)) + "}"

    def on_sigint(signum, frame):
        raise KeyboardInterrupt

    def run(call):
        signal.signal(signal.SIGINT, on_sigint)
        lq._signal_at_first_poll(0, sys.stdout.fileno())
        try:
            call()
            report = {"finished": time.monotonic()}
        except KeyboardInterrupt:
            report = {"caught": time.monotonic()}
        print(json.dumps(report), flush=True)
    """
)

CASES = {
    "matching": """
        g = lq.parse_tag_graph(colour_graph(11))
        q = lq.parse_query(clique_query(12))
        run(lambda: q.is_match(g))
    """,
    "index build": """
        g = lq.parse_tag_graph("[kind:deep] " + deep_graph(SIZE))
        run(g.collect_tags)
    """,
    "parse": """
        text = flat_text(SIZE, graph=True)
        run(lambda: lq.parse_tag_graph(text))
    """,
    "sql": """
        import gc
        gc.disable()  # its passes over the lists made would count as latency
        q = lq.parse_query(flat_text(SIZE))
        args = []
        run(lambda: q.to_sql(args))
    """,
}


def one_run(case: str, size: int, delay: float) -> dict:
    script = PRELUDE + f"SIZE = {size}\n" + textwrap.dedent(CASES[case])
    child = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE)
    try:
        byte = child.stdout.read(1)  # the call's first poll
        if byte != b"p":
            raise RuntimeError(f"{case}: no byte from the child: {child.stderr.read().decode()}")
        time.sleep(delay)
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=600)
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
    if child.returncode != 0:
        raise RuntimeError(f"{case}: child failed: {err.decode()}")
    report = json.loads(out)
    report["sent"] = sent
    return report


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--delay", type=float, default=0.05)
    parser.add_argument("--size", type=int, default=1_000_000)
    parser.add_argument("--only", default=",".join(CASES))
    args = parser.parse_args(argv)
    print(f"SIGINT --delay {args.delay} s after the first poll; {args.runs} runs per case;"
          f" --size {args.size}")
    print(f"  {'case':<12} {'min ms':>8} {'median ms':>10} {'max ms':>8}   ended before the signal")
    for case in args.only.split(","):
        latencies = []
        before = 0
        for _ in range(args.runs):
            report = one_run(case, args.size, args.delay)
            if "caught" in report:
                latencies.append((report["caught"] - report["sent"]) * 1000)
            else:
                before += 1
        if latencies:
            print(f"  {case:<12} {min(latencies):8.2f} {statistics.median(latencies):10.2f}"
                  f" {max(latencies):8.2f}   {before}")
        else:
            print(f"  {case:<12} {'-':>8} {'-':>10} {'-':>8}   {before}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
