"""A throwaway PostgreSQL server for the tests.

`PgServer` runs Debian's `postgresql` binaries (initdb, pg_ctl) in a fresh
temporary directory: the data directory, the log and the unix socket all live
there, and the server also listens on a free loopback port. The server refuses
to run as root, so when the tests run as root the binaries run as the
`postgres` user and the directory is handed over to it. `stop()` shuts the
server down and removes the directory.

The `pg_conn` fixture (session scope) yields a psycopg 3 connection in
autocommit mode. When no server can be started the fixture skips the tests
with a reason that starts with "POSTGRESQL NOT AVAILABLE:"; with the
environment variable LUMO_REQUIRE_POSTGRES=1 it fails them instead.
"""

from __future__ import annotations

import atexit
import glob
import os
import pwd
import re
import shutil
import socket
import subprocess
import tempfile
from pathlib import Path
from typing import Iterator, List, Optional

import pytest

UNAVAILABLE = "POSTGRESQL NOT AVAILABLE: "
SERVER_USER = "postgres"
DB_USER = "lumo"


class PgUnavailable(RuntimeError):
    """Raised when a server cannot be found or started."""


def _version_key(path: str) -> List[int]:
    found = re.search(r"/postgresql/([0-9.]+)/", path)
    if not found:
        return [0]
    return [int(part) for part in found.group(1).split(".") if part]


def find_bindir() -> str:
    """The directory holding initdb and pg_ctl: $LUMO_PG_BINDIR, the newest
    /usr/lib/postgresql/*/bin, or the PATH."""
    override = os.environ.get("LUMO_PG_BINDIR")
    if override:
        candidates = [override]
    else:
        candidates = sorted(glob.glob("/usr/lib/postgresql/*/bin"),
                            key=_version_key, reverse=True)
        on_path = shutil.which("initdb")
        if on_path:
            candidates.append(os.path.dirname(on_path))
    for bindir in candidates:
        if all(os.access(os.path.join(bindir, tool), os.X_OK)
               for tool in ("initdb", "pg_ctl", "postgres")):
            return bindir
    raise PgUnavailable(
        "no initdb/pg_ctl found under /usr/lib/postgresql/*/bin or on PATH "
        "(install the Debian package `postgresql`)")


def free_port() -> int:
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


class PgServer:
    def __init__(self) -> None:
        self.bindir = find_bindir()
        self.as_root = os.geteuid() == 0
        self.tmpdir: Optional[Path] = None
        self.port = 0
        self.running = False

    # -- paths -------------------------------------------------------------
    @property
    def datadir(self) -> Path:
        assert self.tmpdir is not None
        return self.tmpdir / "data"

    @property
    def sockdir(self) -> Path:
        assert self.tmpdir is not None
        return self.tmpdir / "sock"

    @property
    def logfile(self) -> Path:
        assert self.tmpdir is not None
        return self.tmpdir / "server.log"

    def conninfo(self) -> str:
        return (f"host={self.sockdir} port={self.port} "
                f"user={DB_USER} dbname=postgres")

    # -- running the binaries ----------------------------------------------
    def _run(self, tool: str, *args: str, timeout: float = 120) -> str:
        command = [os.path.join(self.bindir, tool), *args]
        if self.as_root:
            runuser = shutil.which("runuser")
            if runuser:
                command = [runuser, "-u", SERVER_USER, "--", *command]
            else:
                command = ["su", SERVER_USER, "-s", "/bin/sh", "-c",
                           " ".join(_quote(part) for part in command)]
        env = dict(os.environ, LC_ALL="C", LANG="C")
        env.pop("PGDATA", None)
        try:
            done = subprocess.run(command, stdout=subprocess.PIPE,
                                  stderr=subprocess.STDOUT, text=True,
                                  timeout=timeout, env=env,
                                  cwd=str(self.tmpdir), check=False)
        except (OSError, subprocess.TimeoutExpired) as error:
            raise PgUnavailable(f"{tool} could not run: {error}") from error
        if done.returncode != 0:
            log = ""
            if self.logfile.exists():
                log = "\nserver log:\n" + self.logfile.read_text(errors="replace")[-2000:]
            raise PgUnavailable(
                f"{tool} exited with {done.returncode}: {done.stdout.strip()[-2000:]}{log}")
        return done.stdout

    # -- life cycle --------------------------------------------------------
    def start(self) -> "PgServer":
        base = "/tmp" if self.as_root else None
        self.tmpdir = Path(tempfile.mkdtemp(prefix="lumo-pg-", dir=base))
        atexit.register(self.stop)
        self.sockdir.mkdir()
        if self.as_root:
            try:
                entry = pwd.getpwnam(SERVER_USER)
            except KeyError as error:
                raise PgUnavailable(
                    f"running as root and there is no `{SERVER_USER}` user") from error
            for path in (self.tmpdir, self.sockdir):
                os.chown(path, entry.pw_uid, entry.pw_gid)
        self._run("initdb", "-D", str(self.datadir), "-U", DB_USER,
                  "--auth=trust", "--encoding=UTF8", "--locale=C", "--no-sync")
        self.port = free_port()
        options = " ".join([
            f"-p {self.port}",
            "-c listen_addresses=127.0.0.1",
            f"-c unix_socket_directories={self.sockdir}",
            "-c fsync=off", "-c synchronous_commit=off",
            "-c full_page_writes=off", "-c max_connections=20",
        ])
        self._run("pg_ctl", "-D", str(self.datadir), "-l", str(self.logfile),
                  "-o", options, "-w", "-t", "60", "start")
        self.running = True
        return self

    def stop(self) -> None:
        if self.tmpdir is None:
            return
        if self.running:
            self.running = False
            try:
                self._run("pg_ctl", "-D", str(self.datadir), "-m", "fast",
                          "-w", "-t", "30", "stop")
            except PgUnavailable:
                try:
                    self._run("pg_ctl", "-D", str(self.datadir), "-m",
                              "immediate", "-w", "stop")
                except PgUnavailable:
                    pass
        shutil.rmtree(self.tmpdir, ignore_errors=True)
        self.tmpdir = None


def _quote(text: str) -> str:
    return "'" + text.replace("'", "'\"'\"'") + "'"


def unavailable(reason: str) -> None:
    """Skip loudly, or fail when LUMO_REQUIRE_POSTGRES=1."""
    message = UNAVAILABLE + reason
    if os.environ.get("LUMO_REQUIRE_POSTGRES") == "1":
        pytest.fail(message + " (LUMO_REQUIRE_POSTGRES=1)", pytrace=False)
    pytest.skip(message)


@pytest.fixture(scope="session")
def pg_server() -> Iterator[PgServer]:
    server: Optional[PgServer] = None
    try:
        server = PgServer()
        server.start()
    except (PgUnavailable, OSError) as error:
        if server is not None:
            server.stop()
        unavailable(f"{type(error).__name__}: {error}")
    assert server is not None
    try:
        yield server
    finally:
        server.stop()


@pytest.fixture(scope="session")
def pg_conn(pg_server: PgServer):
    try:
        import psycopg
    except ImportError as error:
        unavailable(f"psycopg 3 is not installed ({error}); pip install 'psycopg[binary]'")
    try:
        conn = psycopg.connect(pg_server.conninfo(), autocommit=True,
                               cursor_factory=psycopg.RawCursor)
    except psycopg.Error as error:
        unavailable(f"cannot connect to the test server: {error}")
    try:
        yield conn
    finally:
        conn.close()
