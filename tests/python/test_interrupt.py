"""Long calls give way to signal handlers.

Each case runs in a child process that builds its objects, installs its own
handler for the signal (so that a disposition inherited from whoever started
the tests, such as SIGINT ignored in a background job, cannot change the
outcome) and starts one long call. The signal comes once the call is
provably under way: the module's internal test switch
`_signal_at_first_poll(signum, fd)` acts at the first poll of the call,
either raising the signal in the child itself or writing a byte to the
child's stdout, on which the parent sends the signal from outside. The pass
criterion is the outcome, never a duration: the call ended with the
handler's exception, the handler ran exactly once, and the same objects
answer small calls afterwards. (bench/interrupt_latency.py measures how soon
after the signal the calls end.)
"""
import json
import signal
import subprocess
import sys
import textwrap

import pytest

pytestmark = pytest.mark.skipif(sys.platform == "win32", reason="POSIX signals")

# A guard against a child that never ends, not a measure: every case stops at
# its first poll, in well under a second.
HANG_GUARD = 300

# Objects the cases share, defined in the child.
PRELUDE = textwrap.dedent(
    """
    import json, signal, sys
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

    class Stop(Exception):
        pass

    # The handler counts its runs and whether the call was under way.
    handled = []
    in_call = False

    def handler(signum, frame):
        handled.append(in_call)
        if MODE == "raise":
            raise (KeyboardInterrupt if signum == signal.SIGINT else Stop)("from the handler")

    def run(call, signum, outside):
        # Arms the switch and runs the long call; the report says which
        # exception ended it (or that the call finished).
        global in_call
        signal.signal(signum, handler)
        if outside:
            lq._signal_at_first_poll(0, sys.stdout.fileno())  # a byte: the parent signals
        else:
            lq._signal_at_first_poll(signum)
        in_call = True
        try:
            value = call()
            ended = {"finished": repr(value)[:80]}
        except (KeyboardInterrupt, Stop) as e:
            ended = {"raised": type(e).__name__}
        in_call = False
        return dict(ended, handled=handled)
    """
)

# K(12) with 11 colours is not colourable, and any complete backtracking
# search needs about 11! steps to prove it: this call cannot end by itself
# within the test.
COLOURS = 11

# (setup, the long call, the small calls made afterwards); `outside` cases
# are signalled by the parent, the others by the switch.
CASES = {
    "matching": (
        f"""
        g = lq.parse_tag_graph(colour_graph({COLOURS}))
        q = lq.parse_query(clique_query({COLOURS + 1}))
        """,
        "q.is_match(g)",
        """[
            sorted(g.collect_tags()),
            q.meta_queries(),
            q.to_sql(args), len(args),
            lq.parse_query(clique_query(2)).is_match(g),
            q.is_match(lq.parse_tag_graph("{ c0: colour }")),
        ]""",
    ),
    "explain": (
        f"""
        g = lq.parse_tag_graph(colour_graph({COLOURS}))
        q = lq.parse_query(clique_query({COLOURS + 1}))
        """,
        "q.explain(g)",
        """[
            q.explain(lq.parse_tag_graph("{ c0: colour }")).split("\\n")[0],
            lq.parse_query(clique_query(2)).explain(g).split("\\n")[0],
        ]""",
    ),
    "index build": (
        """
        n = 1_000_000
        # Most graph texts are read straight into their index; one with a
        # meta-query statement goes the long way and is indexed on first use.
        g = lq.parse_tag_graph("[kind:deep] " + deep_graph(n))
        """,
        "g.collect_tags()",
        """[
            lq.parse_query("{ s0 { s1 { s2 } } }").is_match(g),  # indexes it now
            lq.parse_query("{ s1 { s0 } }").is_match(g),
            len(g.collect_tags()) == n + 1,
        ]""",
    ),
    "parse": (
        """
        text = flat_text(1_000_000, graph=True)
        """,
        "lq.parse_tag_graph(text)",
        """[
            sorted(lq.parse_tag_graph("{ s0: t0 }").collect_tags()),
            lq.parse_query("{ s0 }").is_match(lq.parse_tag_graph("{ s0: t0 }")),
        ]""",
    ),
    "sql": (
        """
        q = lq.parse_query(flat_text(1_000_000))
        """,
        "q.to_sql(args)",
        """[
            args[0],
            q.meta_queries(),  # (a shared borrow: the call released its own)
            q.is_match(lq.parse_tag_graph("{ s0: t0 }")),
        ]""",
    ),
}

EXPECTED_AFTER = {
    "matching": [
        sorted(["context", "colour", "r"] + [f"c{i}" for i in range(COLOURS)]),
        [],
        "(tags @> $2)", 2,
        True,
        False,
    ],
    "explain": ["no match", "match"],
    "index build": [True, False, True],
    "parse": [["context", "s0", "t0"], True],
    "sql": ["keep", [], False],
}


def run_child(case, signum=signal.SIGINT, outside=False, mode="raise", ignore_sigint=False):
    """Runs `case` in a child; returns its report. With `outside`, the parent
    sends `signum` once the child's first poll has written its byte. With
    `ignore_sigint`, the child starts with SIGINT ignored, as a job started
    in the background by a shell does."""
    setup, call, after = CASES[case]
    body = textwrap.dedent(setup) + textwrap.dedent(
        f"""
        args = ["keep"]
        report = run(lambda: {call}, {int(signum)}, {outside})
        report["after"] = {textwrap.dedent(after).strip()}
        print(json.dumps(report), flush=True)
        """
    )
    script = f"MODE = {mode!r}\n" + PRELUDE + body

    def start_ignoring():
        signal.signal(signal.SIGINT, signal.SIG_IGN)

    child = subprocess.Popen(
        [sys.executable, "-c", script], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
        preexec_fn=start_ignoring if ignore_sigint else None)
    try:
        if outside:
            byte = child.stdout.read(1)  # written at the call's first poll
            assert byte == b"p", byte + child.stderr.read()
            child.send_signal(signum)
        out, err = child.communicate(timeout=HANG_GUARD)
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
    assert child.returncode == 0, err.decode()
    return json.loads(out)


@pytest.mark.parametrize("case", ["index build", "parse", "sql", "explain"])
def test_sigint_at_the_first_poll_stops_the_call_and_objects_stay_usable(case):
    report = run_child(case)
    assert report["raised"] == "KeyboardInterrupt", report
    assert report["handled"] == [True]  # once, during the call
    assert report["after"] == EXPECTED_AFTER[case]


@pytest.mark.parametrize("ignore_sigint", [False, True], ids=["default", "inherited-ignored"])
def test_sigint_from_outside_stops_the_search(ignore_sigint):
    # The parent sends SIGINT while the search runs (it cannot finish first).
    # A child that inherited SIGINT ignored still gets it: it installs its
    # own handler, as any program that wants Ctrl-C must.
    report = run_child("matching", outside=True, ignore_sigint=ignore_sigint)
    assert report["raised"] == "KeyboardInterrupt", report
    assert report["handled"] == [True]
    assert report["after"] == EXPECTED_AFTER["matching"]


@pytest.mark.parametrize("case", CASES)
def test_any_exception_from_a_handler_ends_the_call(case):
    report = run_child(case, signum=signal.SIGUSR1)
    assert report["raised"] == "Stop", report
    assert report["handled"] == [True]
    assert report["after"] == EXPECTED_AFTER[case]


@pytest.mark.parametrize("case", ["index build", "parse", "sql"])
def test_a_handler_that_returns_lets_the_call_finish(case):
    # The handler runs during the call (the signal is not left for later)
    # and the call goes on to its full result.
    report = run_child(case, signum=signal.SIGUSR1, mode="return")
    assert "finished" in report, report
    assert report["handled"] == [True]
    assert report["after"] == EXPECTED_AFTER[case]
