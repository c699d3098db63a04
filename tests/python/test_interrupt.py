"""Long calls give way to signal handlers.

Each case runs in a child process: the child builds its objects, says
"ready" and starts one long call; the parent sends a signal shortly after
(see WAIT). The call must end with the handler's exception soon after the
signal (100 ms for a search, see BOUND; the core polls the hook every ~1024
small steps, so this is a bound, not a speed measurement), and the same
objects must then answer small calls.
"""
import json
import signal
import subprocess
import sys
import textwrap
import time

import pytest

pytestmark = pytest.mark.skipif(sys.platform == "win32", reason="POSIX signals")

# Objects the cases share, defined in the child.
PRELUDE = textwrap.dedent(
    """
    import json, signal, sys, time
    import lumo_query as lq

    def colour_graph(k):
        # k colours and, between every ordered pair of them, a relation subject.
        lines = ["{"]
        for i in range(k):
            lines.append(f" c{i}: colour {{")
            lines += [f"  r > @c{j}" for j in range(k) if j != i]
            lines.append(" }")
        return "\\n".join(lines + ["}"])

    def clique_query(n):
        # n vertices, each pair joined by a relation: a colouring of K(n).
        lines = ["{"]
        for i in range(n):
            lines.append(f" * @v{i}: colour {{")
            lines += [f"  * > @v{j}" for j in range(i + 1, n)]
            lines.append(" }")
        return "\\n".join(lines + ["}"])

    def deep_graph(n):
        return "{" + "".join(f"s{i}{{" for i in range(n)) + "}" * n + "}"

    def flat_text(n, graph=False):
        # n subjects side by side; a query's tags use every operator.
        if graph:
            return "{\\n" + "".join(f" s{i}: t{i % 1000}, w{i}\\n" for i in range(n)) + "}"
        return "{\\n" + "".join(f" s{i}: t{i % 1000} / w{i}, -u{i}\\n" for i in range(n)) + "}"

    def run(call, expected=KeyboardInterrupt):
        # Runs the long call; the report says when the expected exception
        # arrived (or that the call finished, which fails the test).
        print("ready", flush=True)
        start = time.monotonic()
        try:
            value = call()
        except expected:
            return {"start": start, "caught": time.monotonic()}
        return {"start": start, "finished": time.monotonic(), "value": repr(value)[:80]}
    """
)

# K(12) with 11 colours is not colourable, and any complete backtracking
# search needs about 11! steps to prove it.
COLOURS = 11

CASES = {
    "matching": f"""
        g = lq.parse_tag_graph(colour_graph({COLOURS}))
        q = lq.parse_query(clique_query({COLOURS + 1}))
        report = run(lambda: q.is_match(g))
        args = ["keep"]
        report["after"] = [
            sorted(g.collect_tags()),
            q.meta_queries(),
            q.to_sql(args), len(args),
            lq.parse_query(clique_query(2)).is_match(g),
            q.is_match(lq.parse_tag_graph("{{ c0: colour }}")),
        ]
    """,
    "index build": """
        n = 1_000_000
        # Most graph texts are read straight into their index; one with a
        # meta-query statement goes the long way and is indexed on first use.
        g = lq.parse_tag_graph("[kind:deep] " + deep_graph(n))
        report = run(g.collect_tags)
        report["after"] = [
            lq.parse_query("{ s0 { s1 { s2 } } }").is_match(g),  # indexes it now
            lq.parse_query("{ s1 { s0 } }").is_match(g),
            len(g.collect_tags()) == n + 1,
        ]
    """,
    "parse": """
        text = flat_text(1_000_000, graph=True)
        report = run(lambda: lq.parse_tag_graph(text))
        small = lq.parse_tag_graph("{ s0: t0 }")
        report["after"] = [sorted(small.collect_tags()), lq.parse_query("{ s0 }").is_match(small)]
    """,
    "sql": """
        # The call creates a million lists; the cyclic collector's passes over
        # them would add pauses of the interpreter's own to the measure.
        import gc
        gc.disable()
        q = lq.parse_query(flat_text(1_000_000))
        args = ["keep"]
        report = run(lambda: q.to_sql(args))
        report["after"] = [
            args[0],
            q.meta_queries(),  # (a shared borrow: the call released its own)
            q.is_match(lq.parse_tag_graph("{ s0: t0 }")),
        ]
    """,
}

EXPECTED_AFTER = {
    "matching": [
        sorted(["context", "colour", "r"] + [f"c{i}" for i in range(COLOURS)]),
        [],
        "(tags @> $2)", 2,
        True,
        False,
    ],
    "index build": [True, False, True],
    "parse": [["context", "s0", "t0"], True],
    "sql": ["keep", [], False],
}


def run_child(body, send, wait=0.5, timeout=120):
    """Runs PRELUDE + body in a child, sends it `send` `wait` seconds after
    it is ready; returns the child's report and the time the signal went."""
    script = PRELUDE + textwrap.dedent(body) + "\nprint(json.dumps(report), flush=True)\n"
    child = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True)
    try:
        ready = child.stdout.readline()
        assert ready == "ready\n", ready + child.stderr.read()
        time.sleep(wait)
        sent = time.monotonic()  # the same clock as the child's time.monotonic()
        child.send_signal(send)
        out, err = child.communicate(timeout=timeout)
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
    assert child.returncode == 0, err
    return json.loads(out), sent


# The search stops within the bound. The other cases work on a million
# subjects: after the stop they also release the hundreds of megabytes the
# call had built, which the bound must allow for (it is still far below the
# time the call would have taken).
BOUND = {"matching": 0.1, "index build": 0.5, "parse": 0.5, "sql": 0.5}
# Seconds between "ready" and the signal: the million-subject calls take well
# under a second on an idle machine, so their signal goes early.
WAIT = {"matching": 0.5, "index build": 0.15, "parse": 0.15, "sql": 0.15}


def assert_stopped_in_time(report, sent, bound=0.1, wait=0.5):
    assert "caught" in report, f"the call ended before the signal: {report}"
    assert report["start"] < sent - wait / 2  # the call was under way
    latency = report["caught"] - sent
    assert 0 <= latency < bound, f"{latency * 1000:.1f} ms from the signal to the exception"


@pytest.mark.parametrize("case", CASES)
def test_sigint_stops_the_call_and_objects_stay_usable(case):
    report, sent = run_child(CASES[case], signal.SIGINT, wait=WAIT[case])
    assert_stopped_in_time(report, sent, BOUND[case], WAIT[case])
    assert report["after"] == EXPECTED_AFTER[case]


def test_any_exception_from_a_handler_ends_the_call():
    body = f"""
        class Stop(Exception):
            pass
        def handler(signum, frame):
            raise Stop("stop")
        signal.signal(signal.SIGUSR1, handler)
        g = lq.parse_tag_graph(colour_graph({COLOURS}))
        q = lq.parse_query(clique_query({COLOURS + 1}))
        report = run(lambda: q.is_match(g), expected=Stop)
        report["after"] = [lq.parse_query(clique_query(3)).is_match(g)]
    """
    report, sent = run_child(body, signal.SIGUSR1)
    assert_stopped_in_time(report, sent)
    assert report["after"] == [True]


def test_a_handler_that_returns_lets_the_call_finish():
    # The handler runs during the call (the signal is not left for later) and
    # the call goes on to its full result.
    body = """
        seen = []
        signal.signal(signal.SIGUSR1, lambda signum, frame: seen.append(time.monotonic()))
        n = 1_000_000
        g = lq.parse_tag_graph("[kind:deep] " + deep_graph(n))  # indexed on first use
        tags = []
        report = run(lambda: tags.extend(g.collect_tags()), expected=())
        report["seen"] = seen
        report["after"] = [len(tags) == n + 1, sorted(tags)[:3]]
    """
    report, sent = run_child(body, signal.SIGUSR1, wait=0.15)
    assert "finished" in report, report
    assert len(report["seen"]) == 1
    assert report["start"] < sent <= report["seen"][0] < report["finished"]
    assert report["seen"][0] - sent < 0.1
    assert report["after"] == [True, ["context", "s0", "s1"]]
