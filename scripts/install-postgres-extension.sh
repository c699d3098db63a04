#!/usr/bin/env bash
# Builds the PostgreSQL extension from this tree and installs it into the
# local PostgreSQL server, so that `CREATE EXTENSION lumo_query;` works:
#   1. finds the server (the newest /usr/lib/postgresql/*/bin, or
#      $LUMO_PG_BINDIR) and installs Debian's matching
#      postgresql-server-dev-<major> when its headers are missing;
#   2. builds the extension with CMake in build/pg (cmake >= 3.26 and ninja
#      from PATH, e.g. the test environment; otherwise a tools venv is made
#      in build/pg-tools with pip);
#   3. copies lumo_query.so into `pg_config --pkglibdir` and the control and
#      SQL files into `pg_config --sharedir`/extension.
# With --portable it builds the core with every fast path off
# (LUMO_PORTABLE=ON, in build/pg-portable) and installs that instead, as
# scripts/test.sh does for its last pytest run.
# Run as root (or with sudo available), like scripts/test.sh, which calls it.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
jobs=${LUMO_JOBS:-2}
build="$root/build/pg"
portable=OFF
case "${1:-}" in
  "") ;;
  --portable)
    build="$root/build/pg-portable"
    portable=ON
    ;;
  *)
    echo "usage: $0 [--portable]" >&2
    exit 2
    ;;
esac

say() { printf '%s\n' "install-postgres-extension: $*"; }
die() { say "$*" >&2; exit 1; }

sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo

# -- the server --------------------------------------------------------------
bindir=${LUMO_PG_BINDIR:-}
if [ -z "$bindir" ]; then
  bindir=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -t/ -k5,5n | tail -n 1 || true)
fi
[ -n "$bindir" ] && [ -x "$bindir/postgres" ] ||
  die "no PostgreSQL server found under /usr/lib/postgresql/*/bin (install the Debian package postgresql)"
major=$("$bindir/postgres" --version | sed -E 's/^[^0-9]*([0-9]+).*/\1/')
say "server $("$bindir/postgres" --version) in $bindir"

pg_config="$bindir/pg_config"
headers_present() {
  [ -x "$pg_config" ] && [ -f "$("$pg_config" --includedir-server)/postgres.h" ]
}
if ! headers_present; then
  say "installing postgresql-server-dev-$major"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends \
    "postgresql-server-dev-$major"
  headers_present || die "postgresql-server-dev-$major installed, still no server headers"
fi

# -- build tools -------------------------------------------------------------
cmake_ok() {
  command -v cmake >/dev/null 2>&1 &&
    cmake -P /dev/stdin <<<'if(CMAKE_VERSION VERSION_LESS 3.26)
message(FATAL_ERROR old)
endif()' >/dev/null 2>&1
}
if ! cmake_ok || ! command -v ninja >/dev/null 2>&1; then
  tools="$root/build/pg-tools"
  if [ ! -x "$tools/bin/cmake" ] || [ ! -x "$tools/bin/ninja" ]; then
    say "no cmake >= 3.26 with ninja on PATH: installing them into $tools"
    python3 -m venv "$tools"
    "$tools/bin/python" -m pip install -q cmake ninja
  fi
  export PATH="$tools/bin:$PATH"
fi

# -- build -------------------------------------------------------------------
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DLUMO_BUILD_MODULE=OFF -DLUMO_BUILD_TESTS=OFF -DLUMO_BUILD_POSTGRES=ON \
  -DLUMO_PG_CONFIG="$pg_config" -DLUMO_PORTABLE="$portable" >/dev/null
cmake --build "$build" -j "$jobs" --target lumo_query_pg

# -- install -----------------------------------------------------------------
libdir=$("$pg_config" --pkglibdir)
extdir="$("$pg_config" --sharedir)/extension"
$sudo install -d "$libdir" "$extdir"
$sudo install -m 755 "$build/lumo_query.so" "$libdir/lumo_query.so"
$sudo install -m 644 src/postgres/lumo_query.control src/postgres/lumo_query--*.sql "$extdir/"
say "installed $libdir/lumo_query.so (LUMO_PORTABLE=$portable) and lumo_query.control into $extdir"
