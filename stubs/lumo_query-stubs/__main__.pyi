def main(argv: list[str] | None = None) -> int:
    """Runs the command line (python -m lumo_query) on ``argv`` (default: sys.argv[1:]).

    Returns the exit code: 0 when the check passed or a graph matched, 1 when
    a text has an error (check) or nothing matched (match, explain), 2 on a
    usage error, an unreadable input, or an invalid query or graph.
    """
