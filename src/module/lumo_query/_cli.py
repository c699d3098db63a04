"""The command line behind python -m lumo_query (see __main__.py)."""
import argparse
import json
import sys

from . import __version__, parse_query, parse_tag_graph

# Exit codes, the same for every command.
OK = 0          # check: every text is valid; match, explain: a graph matched
NO = 1          # check: some text has an error; match, explain: no graph matched
TROUBLE = 2     # a usage error, an unreadable file, or (match, tags, sql,
                # explain) an invalid query or graph

EXIT_CODES = """\
exit codes:
  0  check: every text is valid; match, explain: some graph matched;
     tags, sql: done
  1  check: some text has an error; match, explain: no graph matched
  2  a usage error, a file that cannot be read or is not UTF-8, or, for
     match, tags, sql and explain, a query or graph with an error (match
     goes on with the other graphs and exits 2 at the end)
"""

FILES = "a file name, or - for standard input (at most once)"


class Trouble(Exception):
    """An input the command cannot use: the message says why."""


class Inputs:
    """Reads the named files as UTF-8 text; `-` is standard input, once."""

    def __init__(self):
        self.stdin_read = False

    def read(self, path):
        name = display(path)
        if path == "-":
            if self.stdin_read:
                raise Trouble("<stdin>: standard input can be read only once")
            self.stdin_read = True
            data = sys.stdin.buffer.read()
        else:
            try:
                with open(path, "rb") as f:
                    data = f.read()
            except OSError as e:
                raise Trouble(f"{name}: {e.strerror or e}") from None
        try:
            return data.decode("utf-8")
        except UnicodeDecodeError as e:
            raise Trouble(f"{name}: not UTF-8 (byte {e.start})") from None


def display(path):
    return "<stdin>" if path == "-" else path


def report(where, error):
    """An error of a text as its caret report, prefixed with where it was."""
    print(f"{where}: {error}", file=sys.stderr)


def parse(kind, text, where, validate=True):
    """Parses `text` as a query or graph; Trouble with the report printed."""
    try:
        if kind == "query":
            return parse_query(text, validate)
        return parse_tag_graph(text, validate)
    except ValueError as e:
        report(where, e)
        raise Trouble(None) from None


# ---- commands -----------------------------------------------------------------

def cmd_check(args):
    inputs = Inputs()
    status = OK
    for path in args.files:
        try:
            text = inputs.read(path)
        except Trouble as e:
            print(e, file=sys.stderr)
            status = TROUBLE
            continue
        try:
            parse(args.kind, text, display(path), args.validate)
        except Trouble:
            status = max(status, NO)
        else:
            if args.verbose:
                print(f"{display(path)}: ok")
    return status


def graph_records(inputs, path, field):
    """(where, line, graph text) of each record of a JSON-lines file."""
    text = inputs.read(path)
    for number, line in enumerate(text.splitlines(), 1):
        if not line.strip():
            continue
        where = f"{display(path)}:{number}"
        try:
            record = json.loads(line)
        except ValueError as e:
            yield where, line, Trouble(f"{where}: not JSON: {e}")
            continue
        value = record.get(field) if isinstance(record, dict) else None
        if not isinstance(value, str):
            yield where, line, Trouble(f"{where}: no string field {field!r}")
            continue
        yield where, line, value


def cmd_match(args):
    query = parse("query", args.query, "query")
    inputs = Inputs()
    found = False
    trouble = False
    for path in args.files:
        try:
            if args.jsonl:
                records = list(graph_records(inputs, path, args.field))
            else:
                records = [(display(path), path, inputs.read(path))]
        except Trouble as e:
            print(e, file=sys.stderr)
            trouble = True
            continue
        for where, shown, graph_text in records:
            if isinstance(graph_text, Trouble):
                print(graph_text, file=sys.stderr)
                trouble = True
                continue
            try:
                graph = parse("graph", graph_text, where, args.validate)
            except Trouble:
                trouble = True
                continue
            if query.is_match(graph):
                found = True
                print(shown)
    if trouble:
        return TROUBLE
    return OK if found else NO


def cmd_tags(args):
    graph = parse("graph", Inputs().read(args.file), display(args.file), args.validate)
    tags = sorted(graph.collect_tags())
    if args.json:
        print(json.dumps(tags, ensure_ascii=False))
    else:
        for tag in tags:
            print(tag)
    return OK


def cmd_sql(args):
    query = parse("query", args.query, "query")
    params = []
    condition = query.to_sql(params)
    print(json.dumps({"condition": condition, "params": params}, ensure_ascii=False))
    return OK


def cmd_explain(args):
    query = parse("query", args.query, "query")
    graph = parse("graph", Inputs().read(args.file), display(args.file), args.validate)
    text = query.explain(graph)
    sys.stdout.write(text)
    return OK if text.startswith("match\n") else NO


# ---- arguments ----------------------------------------------------------------

def parser():
    main = argparse.ArgumentParser(
        prog="python -m lumo_query",
        description="Check, match and explain lumo_query queries and tag graphs.",
        epilog=EXIT_CODES,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    main.add_argument("--version", action="version", version=f"lumo_query {__version__}")
    commands = main.add_subparsers(dest="command", metavar="COMMAND")
    commands.required = True

    def command(name, help, description):
        sub = commands.add_parser(name, help=help, description=description, epilog=EXIT_CODES,
                                  formatter_class=argparse.RawDescriptionHelpFormatter)
        return sub

    def no_validate(sub):
        sub.add_argument("--no-validate", dest="validate", action="store_false",
                         help="accept a tag or identity repeated within one graph subject "
                              "(parse_tag_graph(..., validate=False))")

    check = command(
        "check", "parse files, print the errors",
        "Parse each FILE and print the error report (with its caret line) of each one that "
        "has an error, on standard error. Files are graphs unless --query says they are "
        "queries: the two languages share their syntax, so nothing in a text tells them "
        "apart. Exit 1 when some file has an error; usable in pre-commit and CI.")
    kind = check.add_mutually_exclusive_group()
    kind.add_argument("--graph", dest="kind", action="store_const", const="graph",
                      default="graph", help="the files are tag graphs (the default)")
    kind.add_argument("--query", dest="kind", action="store_const", const="query",
                      help="the files are queries")
    no_validate(check)
    check.add_argument("-v", "--verbose", action="store_true",
                       help="also print FILE: ok for each valid file")
    check.add_argument("files", nargs="+", metavar="FILE", help=FILES)
    check.set_defaults(run=cmd_check)

    match = command(
        "match", "print the graphs that a query matches",
        "Print the name of each graph FILE that QUERY matches, or, with --jsonl, each line "
        "of the JSON-lines FILEs whose graph (the string in field --field of the line's "
        "object) QUERY matches, unchanged. Exit 0 when something matched, 1 when nothing "
        "did.")
    match.add_argument("query", metavar="QUERY", help="the query text")
    match.add_argument("files", nargs="+", metavar="FILE", help=FILES)
    match.add_argument("--jsonl", action="store_true",
                       help="each FILE holds one JSON object per line")
    match.add_argument("--field", default="graph",
                       help="with --jsonl: the field holding the graph text (default: graph)")
    no_validate(match)
    match.set_defaults(run=cmd_match)

    tags = command(
        "tags", "print the tags of a graph",
        "Print every distinct tag and identity of the graph in FILE (collect_tags()), "
        "sorted, one per line.")
    tags.add_argument("file", metavar="FILE", help=FILES)
    tags.add_argument("--json", action="store_true", help="print them as one JSON list")
    no_validate(tags)
    tags.set_defaults(run=cmd_tags)

    sql = command(
        "sql", "print a query's SQL prefilter",
        "Print the SQL condition of QUERY (to_sql()) and its parameters, $1 first, as one "
        'JSON object: {"condition": ..., "params": [...]}.')
    sql.add_argument("query", metavar="QUERY", help="the query text")
    sql.set_defaults(run=cmd_sql)

    explain = command(
        "explain", "say why a graph matches a query or not",
        "Print Query.explain(graph): for a match, one assignment of query subjects to "
        "graph subjects; otherwise which query subject could not be placed, where, and "
        "what the closest graph subjects lack. Exit 0 on a match, 1 otherwise.")
    explain.add_argument("query", metavar="QUERY", help="the query text")
    explain.add_argument("file", metavar="FILE", help=FILES)
    no_validate(explain)
    explain.set_defaults(run=cmd_explain)
    return main


def main(argv=None):
    for stream in (sys.stdout, sys.stderr):
        if hasattr(stream, "reconfigure"):
            stream.reconfigure(encoding="utf-8", errors="backslashreplace")
    args = parser().parse_args(argv)
    try:
        return args.run(args)
    except Trouble as e:
        if e.args and e.args[0] is not None:
            print(e, file=sys.stderr)
        return TROUBLE
    except KeyboardInterrupt:
        return 130
    except BrokenPipeError:
        # The reader went away (`| head`): stop quietly.
        sys.stderr.close()
        return OK

